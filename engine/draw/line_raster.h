// Line rasters and the over-sampled fragment buffer that stroke drawing fills and resolves.
//
// Pixels are float RGBA. Output rasters hold premultiplied colour, as rendered frames do; a
// render element's background (r, g, b, 0) therefore shows through uncovered pixels unchanged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "color_float.h"
#include "line_effect_exception.h"
#include "thread_manager.h"
#include "tiled_array.h"

namespace KvrnLib {

// In-memory raster, zero-filled, in one block from calloc: a large raster comes from the kernel
// as untouched zero pages. Along a row the pixels form blocks of kBlockPixels, each with a flag
// saying whether it may have been written; a block never written is known to be zero and can be
// read without paging it in (a read of a zero page followed by a write costs two page faults and,
// with threads, a TLB flush on every core). Rows are padded to whole blocks and the pixels start
// on a page, so for 16-byte pixels a block is exactly one page.
// T's zero bytes must be a value. Throws LineEffectException "invalid raster size." for a width or
// height below 1 and "raster alloc failed." when memory runs out.
template <class T>
class _Raster {
  public:
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr int32_t kBlockShift = 8;
    static constexpr int32_t kBlockPixels = 1 << kBlockShift;
    static constexpr size_t kPageBytes = 4096;

    _Raster(int32_t width, int32_t height) : width_(width), height_(height) {
        if (width < 1 || height < 1) throw LineEffectException("invalid raster size.");
        blocksPerRow_ = (width + kBlockPixels - 1) >> kBlockShift;
        stride_ = static_cast<size_t>(blocksPerRow_) << kBlockShift;
        const size_t pixels = stride_ * static_cast<size_t>(height);
        try {
            written_.assign(static_cast<size_t>(blocksPerRow_) * static_cast<size_t>(height), 0);
        } catch (const std::exception&) {
            throw LineEffectException("raster alloc failed.");
        }
        if (pixels > (SIZE_MAX - kPageBytes) / sizeof(T)) {
            throw LineEffectException("raster alloc failed.");
        }
        memory_.reset(static_cast<std::byte*>(std::calloc(pixels * sizeof(T) + kPageBytes, 1)));
        if (!memory_) throw LineEffectException("raster alloc failed.");
        const uintptr_t base = reinterpret_cast<uintptr_t>(memory_.get());
        pixels_ =
            reinterpret_cast<T*>(memory_.get() + (kPageBytes - base % kPageBytes) % kPageBytes);
    }

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    // y in 0 .. Height() - 1; the row holds Width() pixels. The mutable row counts as written.
    T* Row(int32_t y) {
        std::fill_n(written_.begin() + static_cast<ptrdiff_t>(y) * blocksPerRow_, blocksPerRow_,
                    uint8_t{1});
        return pixels_ + static_cast<size_t>(y) * stride_;
    }
    const T* Row(int32_t y) const { return pixels_ + static_cast<size_t>(y) * stride_; }
    // Pixel (x, y) for writing; marks its block only.
    T& Pixel(int32_t x, int32_t y) {
        written_[static_cast<size_t>(y) * blocksPerRow_ + (x >> kBlockShift)] = 1;
        return pixels_[static_cast<size_t>(y) * stride_ + x];
    }
    // False when no pixel of the block holding (x, y) has been written: it is zero.
    bool BlockWritten(int32_t x, int32_t y) const {
        return written_[static_cast<size_t>(y) * blocksPerRow_ + (x >> kBlockShift)] != 0;
    }

  private:
    struct Free {
        void operator()(std::byte* p) const { std::free(p); }
    };
    int32_t width_;
    int32_t height_;
    int32_t blocksPerRow_ = 0;
    size_t stride_ = 0;
    std::vector<uint8_t> written_;
    std::unique_ptr<std::byte, Free> memory_;
    T* pixels_ = nullptr;
};

using ColorFloatRaster = _Raster<ColorFloat>;

// Row-oriented pixel access. No locking: callers give each thread its own rows. A row or x
// outside the raster, or an x beyond the caller's buffer, throws std::out_of_range.
class LineEffectRasterInterface {
  public:
    virtual ~LineEffectRasterInterface() = default;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    // Copies the listed pixels of row y into the same positions of `row`.
    virtual void ReadPixels(int32_t y, std::span<ColorFloat> row,
                            std::span<const int32_t> xs) const = 0;
    // Copies min(row.size(), Width()) pixels of row y.
    virtual void ReadRow(int32_t y, std::vector<ColorFloat>& row) const = 0;
    // Writes the listed positions of row y from `row`; the other pixels keep their values.
    virtual void WritePixels(int32_t y, std::span<const ColorFloat> row,
                             std::span<const int32_t> xs) = 0;
    // Writes min(row.size(), Width()) pixels of row y.
    virtual void WriteRow(int32_t y, const std::vector<ColorFloat>& row) = 0;
};

// Over an engine raster; a null raster is 0 x 0, which drawing rejects as "invalid raster size.".
class LineEffectRasterForColorFloatRaster final : public LineEffectRasterInterface {
  public:
    explicit LineEffectRasterForColorFloatRaster(std::shared_ptr<ColorFloatRaster> raster)
        : raster_(std::move(raster)) {}

    int32_t Width() const override { return raster_ ? raster_->Width() : 0; }
    int32_t Height() const override { return raster_ ? raster_->Height() : 0; }
    void ReadPixels(int32_t y, std::span<ColorFloat> row,
                    std::span<const int32_t> xs) const override;
    void ReadRow(int32_t y, std::vector<ColorFloat>& row) const override;
    void WritePixels(int32_t y, std::span<const ColorFloat> row,
                     std::span<const int32_t> xs) override;
    void WriteRow(int32_t y, const std::vector<ColorFloat>& row) override;

    const std::shared_ptr<ColorFloatRaster>& Raster() const { return raster_; }

  private:
    std::shared_ptr<ColorFloatRaster> raster_;
};

// Where one render element's lines go. Its raster must have the frame's width and height.
struct RenderElementOutputSettings {
    std::shared_ptr<LineEffectRasterInterface> raster;
    uint8_t hideVisible = 0;
    uint8_t hideHidden = 0;
    std::vector<int32_t> excludedLineSetIds;
    std::vector<int32_t> excludedEdgeKinds;  // 0 .. 9
};

// One stroke's contribution to one sub-pixel. r, g, b are premultiplied by alpha; coverage is
// the stroke's opacity there (0 to 1, alpha factors included). Fragments with equal id belong
// to one stroke and never darken each other. key orders strokes: a larger key lies on top
// (camera-space z, which grows towards the viewer, suits).
struct LineFragment {
    float coverage = 0.0f;
    float key = 0.0f;
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float alpha = 0.0f;
    uint32_t id = 0;
    int32_t next = -1;  // next fragment of the same sub-pixel in its row, -1 at the end
};

// The strokes of one sub-pixel or pixel gathered per id, for the group alpha formula.
struct FragmentGroup {
    uint32_t id = 0;
    float key = 0.0f;
    float alpha = 0.0f;  // 0 to 1
    float r = 0.0f;      // premultiplied
    float g = 0.0f;
    float b = 0.0f;
};

// Combines the groups of one pixel into a premultiplied colour. With more than one group each
// alpha a becomes 1 - (1 - a)^(ln(1 - C) / ln P), P the product of the (1 - a), so that the
// groups together cover exactly `coverage` C (as C reaches 1 the alphas reach 1); the groups are
// then laid over each other in key order, ties in the given order. Reorders `groups`.
ColorFloat CombineFragmentGroups(std::vector<FragmentGroup>& groups, float coverage);

// Lays a premultiplied line colour over a premultiplied destination with a blend mode (0 to
// 15): where the destination is opaque the result is Blend(dst, line, line alpha, mode); where
// it is transparent the line is laid over it unchanged.
ColorFloat CompositeLine(const ColorFloat& dst, const ColorFloat& line, int32_t blendMode);

// Side n of the filter window in sub-pixels for over-sampling s and filter width a (output
// pixels, taken as at most 16), and the widening radius of the touched mask in cells. An
// over-sampling below 1 throws std::invalid_argument, here and in BuildFilterTable.
int32_t FilterWindowSize(int32_t overSampling, float filterWidth);
int32_t MaskRadius(int32_t overSampling, int32_t windowSize);

// One axis of the filter table: n weights summing to 1, symmetric, each the integral of the
// kernel over its sub-pixel. The kernel is the pixel box, widened for a > 1 by a tent of
// half-width a - 1 (box convolved with tent: smooth, never negative, so no ringing); a <= 1
// gives the exact area coverage of the pixel.
std::vector<float> BuildFilterTable(int32_t overSampling, float filterWidth);

// Mask cell bit: a cell is one output pixel, an s x s block of sub-pixels.
inline constexpr uint8_t kCellTouched = 1;  // a fragment was merged into the block

// The drawing stage's buffers, held by the caller between frames and reused while the frame
// size and over-sampling stay the same. Past a few per-row headers everything is kept in tiles
// tiles claimed on first touch from pools kept between frames, so a frame's memory and sweeps
// follow its ink, not its size. Per slot: the drawing threads Merge fragments, then ResolveSlot
// composites them onto the pass's output raster and empties the fragment buffer. The threaded
// calls run jobs on the pool and must not be made from one of its workers.
class LineEffectWorkBuffer {
  public:
    // Sizes and empties the buffers for width x height output pixels, overSampling (1 or more)
    // sub-pixels per pixel side, and filterWidth (output pixels, at most 16; 0 or less: the
    // pixel box without margin). Throws "invalid raster size.", "invalid settings." or
    // "raster alloc failed.".
    void Prepare(int32_t width, int32_t height, int32_t overSampling, float filterWidth);

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t OverSampling() const { return overSampling_; }
    int32_t SubWidth() const { return subWidth_; }
    int32_t SubHeight() const { return subHeight_; }
    int32_t WindowSize() const { return windowSize_; }
    int32_t Radius() const { return radius_; }
    // Bytes held: tiles claimed or pooled, tables and fragment rows.
    int64_t MemoryBytes() const;

    // Merges a fragment into sub-pixel (x, y) and marks its cell: with the same id as one there,
    // colour and alpha add and coverage rises to the larger (taking its key; on equal coverage
    // the larger key stays); otherwise the fragment is appended. True when merged. Only the
    // thread owning row y may call it; x or y outside the buffer throws std::out_of_range.
    bool Merge(int32_t x, int32_t y, const LineFragment& fragment);
    // A stroke copy's fragment at sub-pixel (x, y), for the copy to raise as it is drawn: the
    // last fragment there when it has `id`, else a new zero fragment with `id`, appended. A
    // thread draws its copies one after another, so a copy always finds its own fragment last.
    // Valid until the next append to row y; only the thread owning row y may call it.
    LineFragment& CopyFragment(int32_t x, int32_t y, uint32_t id);

    // Read access for checks: the first fragment index of a sub-pixel (-1 for none), a fragment
    // of a row, and the mask bits of a cell.
    int32_t FirstFragment(int32_t x, int32_t y) const;
    const LineFragment& Fragment(int32_t y, int32_t index) const;
    uint8_t Cell(int32_t x, int32_t y) const;

    // Starts a pass onto `output`, which must be Width() x Height() ("invalid raster size.")
    // and outlive the pass.
    void BeginPass(LineEffectRasterInterface& output);
    // Resolves every pixel within the mask radius (along x and y) of a touched cell and lays the
    // line colour over the output's pixel there with the slot brush's blend mode (0 to 15, else
    // std::invalid_argument); other pixels are neither read nor written. Then empties the
    // fragment buffer and the mask. Worker t of T writes the rows of every T-th tile row.
    void ResolveSlot(ThreadManager& pool, int32_t blendMode);
    // Ends the pass; the output is no longer used.
    void EndPass(LineEffectRasterInterface& output);
    // An output pixel (premultiplied) between BeginPass and EndPass.
    ColorFloat PassPixel(int32_t x, int32_t y) const;

    // Empties the fragment lists and the mask.
    void Reset();

  private:
    // One resolving thread's working space.
    struct ResolveScratch {
        std::vector<FragmentGroup> groups;
        std::vector<uint8_t> near;    // cells with a touched cell within the radius along y
        std::vector<int32_t> marked;  // running count of those along a row
        std::vector<int32_t> xs;      // pixels of a row with line colour
        std::vector<ColorFloat> lines;
        std::vector<ColorFloat> row;  // output pixels of a row, by x
    };

    // A sub-pixel's fragment list: one more than the indices of its first and last fragments in
    // the row, 0 for none. The last is kept so that appending never walks.
    struct FragmentList {
        int32_t first = 0;
        int32_t last = 0;
    };

    // Checks the position; the list of sub-pixel (x, y), its cell marked touched when it is new.
    FragmentList& ListAt(int32_t x, int32_t y);
    void Append(FragmentList& list, std::vector<LineFragment>& row, const LineFragment& fragment);
    // Zeroes the fragment lists of the touched cells of a mask tile (table index).
    void ClearTouchedLists(size_t tile);
    // Returns the tiles to their pools and empties the fragment rows; the lists must be clear.
    void ReleaseTiles();
    // The tiles (table index) holding a pixel within the radius of a touched cell, ascending.
    void CollectResolveTiles();
    void ResolveTile(size_t tile, int32_t blendMode, ResolveScratch& scratch);
    // The filtered line colour of pixel (px, py); false when no fragment reaches it.
    bool ResolvePixel(int32_t px, int32_t py, std::vector<FragmentGroup>& groups,
                      ColorFloat& line) const;

    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t overSampling_ = 0;
    int32_t subWidth_ = 0;
    int32_t subHeight_ = 0;
    float filterWidth_ = 0.0f;
    int32_t windowSize_ = 0;
    int32_t radius_ = 0;
    std::vector<float> filter_;
    int32_t filterBegin_ = 0;  // the non-zero part of filter_
    int32_t filterEnd_ = 0;

    // Over-sampled: the fragment list of each sub-pixel, and the fragments of each row.
    // Small tiles: a thin line crossing a tile uses a few of its sub-pixels, and a frame's first
    // touch of each tile pays for zeroing all of it.
    TiledArray<FragmentList, 4> lists_;
    std::vector<std::vector<LineFragment>> rows_;
    // Per output pixel: the touched mask of the slot.
    TiledArray<uint8_t> mask_;
    LineEffectRasterInterface* passOutput_ = nullptr;
    std::vector<size_t> resolveTiles_;
};

}  // namespace KvrnLib
