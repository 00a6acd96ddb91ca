// Append-only sequence stored in blocks of 256 elements. Elements never move once appended, so
// other records may point at them; moving the array moves only its block map. One writer at a
// time; concurrent readers of already appended elements are safe while nothing is appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace KvrnLib {

template <class T>
class ChunkedArray {
  public:
    static constexpr size_t kBlockSize = 256;

    ChunkedArray() = default;
    ChunkedArray(const ChunkedArray&) = delete;
    ChunkedArray& operator=(const ChunkedArray&) = delete;
    ChunkedArray(ChunkedArray&& other) noexcept { Swap(other); }
    ChunkedArray& operator=(ChunkedArray&& other) noexcept {
        if (this != &other) {
            Clear();
            Swap(other);
        }
        return *this;
    }
    ~ChunkedArray() { Clear(); }

    size_t Size() const { return count_; }
    bool Empty() const { return count_ == 0; }

    T& operator[](size_t i) { return blocks_[i / kBlockSize][i % kBlockSize]; }
    const T& operator[](size_t i) const { return blocks_[i / kBlockSize][i % kBlockSize]; }

    // Appends and returns the new element, whose address stays valid until Clear.
    template <class... Args>
    T& Append(Args&&... args) {
        if (nextBlock_ == blocks_.size()) {
            blocks_.push_back(static_cast<T*>(
                ::operator new(sizeof(T) * kBlockSize, std::align_val_t(alignof(T)))));
        }
        T* slot = blocks_[nextBlock_] + nextSlot_;
        new (slot) T(std::forward<Args>(args)...);
        ++count_;
        if (++nextSlot_ == kBlockSize) {
            nextSlot_ = 0;
            ++nextBlock_;
        }
        return *slot;
    }

    // Blocks held, used or not (memory accounting).
    size_t BlockCount() const { return blocks_.size(); }

    // Destroys every element and frees the blocks.
    void Clear() {
        for (size_t i = 0; i < count_; ++i) (*this)[i].~T();
        for (T* block : blocks_) ::operator delete(block, std::align_val_t(alignof(T)));
        blocks_.clear();
        count_ = nextBlock_ = nextSlot_ = 0;
    }

    // Calls f(element) in order.
    template <class F>
    void ForEach(F&& f) {
        for (size_t i = 0; i < count_; ++i) f((*this)[i]);
    }
    template <class F>
    void ForEach(F&& f) const {
        for (size_t i = 0; i < count_; ++i) f((*this)[i]);
    }

  private:
    void Swap(ChunkedArray& other) noexcept {
        blocks_.swap(other.blocks_);
        std::swap(count_, other.count_);
        std::swap(nextBlock_, other.nextBlock_);
        std::swap(nextSlot_, other.nextSlot_);
    }

    std::vector<T*> blocks_;
    size_t count_ = 0;
    size_t nextBlock_ = 0;
    size_t nextSlot_ = 0;
};

}  // namespace KvrnLib
