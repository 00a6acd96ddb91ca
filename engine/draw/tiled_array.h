// A two-dimensional array stored in square tiles that are taken on first write from a pool kept
// for reuse, so that memory and clearing follow the area written rather than the array's size.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace KvrnLib {

// Width x height entries of T (a trivially copyable type whose zero bytes are a value), in tiles of
// 2^TileShift entries a side. Entries
// of a tile never written read as zero. At may be called from several threads at once for
// distinct entries: the tile claim takes a lock, the lookup of a claimed tile does not. The
// other members are for one thread while no At runs.
template <class T, int32_t TileShift = 6>
class TiledArray {
  public:
    static constexpr int32_t kTileShift = TileShift;
    static constexpr int32_t kTileSide = 1 << kTileShift;  // entries per tile side
    static constexpr size_t kTileEntries = size_t{kTileSide} * kTileSide;

    TiledArray() = default;
    TiledArray(const TiledArray&) = delete;
    TiledArray& operator=(const TiledArray&) = delete;
    ~TiledArray() {
        Release(false);
        Trim();
    }

    // Sets the size. The same size keeps the claimed tiles; another releases them (cleared).
    void Resize(int32_t width, int32_t height) {
        if (width == width_ && height == height_ && table_) return;
        Release(true);
        width_ = width;
        height_ = height;
        tilesX_ = (width + kTileSide - 1) >> kTileShift;
        tilesY_ = (height + kTileSide - 1) >> kTileShift;
        table_ = std::make_unique<std::atomic<T*>[]>(size_t(tilesX_) * size_t(tilesY_));
    }

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t TilesX() const { return tilesX_; }
    int32_t TilesY() const { return tilesY_; }

    // (x, y) must lie inside the array. The tile is claimed (zero) when it has none.
    T& At(int32_t x, int32_t y) {
        std::atomic<T*>& slot = table_[TileIndex(x, y)];
        T* tile = slot.load(std::memory_order_acquire);
        if (!tile) tile = Claim(slot, TileIndex(x, y));
        return tile[Offset(x, y)];
    }
    // Zero where no tile was claimed.
    T Get(int32_t x, int32_t y) const {
        const T* tile = table_[TileIndex(x, y)].load(std::memory_order_relaxed);
        return tile ? tile[Offset(x, y)] : T{};
    }
    // The tile at tile coordinates (tx, ty), row-major kTileSide x kTileSide; null if unclaimed.
    T* Tile(int32_t tx, int32_t ty) const {
        return table_[size_t(ty) * size_t(tilesX_) + size_t(tx)].load(std::memory_order_relaxed);
    }
    // Table indices (ty * TilesX() + tx) of the claimed tiles, in claim order.
    const std::vector<size_t>& UsedTiles() const { return used_; }

    // Returns every claimed tile to the pool. With `clear` false the caller vouches that the
    // tiles hold only zeros again, so they are not written.
    void Release(bool clear) {
        for (size_t index : used_) {
            T* tile = table_[index].load(std::memory_order_relaxed);
            if (clear) std::fill_n(tile, kTileEntries, T{});
            table_[index].store(nullptr, std::memory_order_relaxed);
            free_.push_back(tile);
        }
        used_.clear();
    }
    // Frees the pooled tiles that are not claimed.
    void Trim() {
        for (T* tile : free_) delete[] tile;
        tileCount_ -= free_.size();
        free_.clear();
    }

    // Bytes of the tiles held, claimed or pooled, and of the tile table.
    int64_t MemoryBytes() const {
        return int64_t(tileCount_ * kTileEntries * sizeof(T) +
                       size_t(tilesX_) * size_t(tilesY_) * sizeof(std::atomic<T*>));
    }

  private:
    size_t TileIndex(int32_t x, int32_t y) const {
        return size_t(y >> kTileShift) * size_t(tilesX_) + size_t(x >> kTileShift);
    }
    static size_t Offset(int32_t x, int32_t y) {
        return (size_t(y & (kTileSide - 1)) << kTileShift) + size_t(x & (kTileSide - 1));
    }

    // Rare (once per tile and use), so a lock is cheap here; it keeps the pool and the list of
    // claimed tiles consistent when drawing threads meet at a new tile.
    T* Claim(std::atomic<T*>& slot, size_t index) {
        std::lock_guard<std::mutex> lock(claimMutex_);
        if (T* tile = slot.load(std::memory_order_relaxed)) return tile;
        used_.reserve(used_.size() + 1);
        T* tile = nullptr;
        if (!free_.empty()) {
            tile = free_.back();
            free_.pop_back();
        } else {
            tile = new T[kTileEntries]();
            ++tileCount_;
        }
        used_.push_back(index);
        slot.store(tile, std::memory_order_release);
        return tile;
    }

    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t tilesX_ = 0;
    int32_t tilesY_ = 0;
    std::unique_ptr<std::atomic<T*>[]> table_;
    std::vector<size_t> used_;
    std::vector<T*> free_;
    size_t tileCount_ = 0;
    std::mutex claimMutex_;
};

}  // namespace KvrnLib
