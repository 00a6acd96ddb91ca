// Line rasters and the over-sampled fragment buffer that stroke drawing fills and resolves.
//
// Pixels are float RGBA. Output rasters hold premultiplied colour, as rendered frames do; a
// render element's background (r, g, b, 0) therefore shows through uncovered pixels unchanged.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "chunked_array.h"
#include "color_float.h"
#include "line_effect_exception.h"
#include "thread_manager.h"

namespace KvrnLib {

// In-memory raster, each row allocated separately and zero-filled. Throws LineEffectException
// "invalid raster size." for a width or height below 1 and "raster alloc failed." when memory
// runs out.
template <class T>
class _Raster {
  public:
    _Raster(int32_t width, int32_t height) : width_(width), height_(height) {
        if (width < 1 || height < 1) throw LineEffectException("invalid raster size.");
        try {
            rows_.reserve(static_cast<size_t>(height));
            for (int32_t y = 0; y < height; ++y) {
                rows_.push_back(std::make_unique<T[]>(static_cast<size_t>(width)));
            }
        } catch (const std::bad_alloc&) {
            throw LineEffectException("raster alloc failed.");
        }
    }

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    // y in 0 .. Height() - 1; the row holds Width() pixels.
    T* Row(int32_t y) { return rows_[static_cast<size_t>(y)].get(); }
    const T* Row(int32_t y) const { return rows_[static_cast<size_t>(y)].get(); }

  private:
    int32_t width_;
    int32_t height_;
    std::vector<std::unique_ptr<T[]>> rows_;
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
    int32_t tail = -1;  // in a sub-pixel's first fragment: its last fragment
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

// Mask cell bits: a cell is one output pixel, an s x s block of sub-pixels.
inline constexpr uint8_t kCellTouched = 1;  // a fragment was merged into the block
inline constexpr uint8_t kCellWidened = 2;  // within the mask radius of a touched cell, along y

// An array of zero bytes from calloc: large blocks come from the kernel as untouched zero pages,
// so a frame faults in only the parts it draws on. For types whose zero bytes are a value.
template <class T>
class ZeroedArray {
  public:
    ZeroedArray() = default;
    explicit ZeroedArray(size_t size)
        : data_(static_cast<T*>(std::calloc(size > 0 ? size : 1, sizeof(T)))), size_(size) {
        if (!data_) throw std::bad_alloc();
    }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_.get()[i]; }
    const T& operator[](size_t i) const { return data_.get()[i]; }

  private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    size_t size_ = 0;
};

// The drawing stage's buffers, held by the caller between frames and reused while the frame
// size and over-sampling stay the same. Per slot: the drawing threads Merge fragments, then
// ResolveSlot composites them onto the pass colours and empties the fragment buffer. Per pass:
// BeginPass loads the output raster, EndPass writes back the pixels the pass changed.
// The threaded calls run jobs on the pool and must not be made from one of its workers.
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
    // Bytes held (capacities and fragment blocks).
    int64_t MemoryBytes() const;

    // Merges a fragment into sub-pixel (x, y) and marks its cell: with the same id as one there,
    // colour and alpha add and coverage rises to the larger (taking its key; on equal coverage
    // the larger key stays); otherwise the fragment is appended. True when merged. Only the
    // thread owning row y may call it; x or y outside the buffer throws std::out_of_range.
    bool Merge(int32_t x, int32_t y, const LineFragment& fragment);
    // Merge for a fragment whose id the sub-pixel cannot hold yet (a stroke copy's single flush):
    // appended at once, however many strokes the sub-pixel already has.
    void AppendNew(int32_t x, int32_t y, const LineFragment& fragment);

    // Read access for checks: the first fragment index of a sub-pixel (-1 for none), a fragment
    // of a row, and the mask bits of a cell.
    int32_t FirstFragment(int32_t x, int32_t y) const;
    const LineFragment& Fragment(int32_t y, int32_t index) const;
    uint8_t Cell(int32_t x, int32_t y) const;

    // Loads the pass's output raster, which must be Width() x Height() ("invalid raster size.").
    void BeginPass(const LineEffectRasterInterface& output);
    // Widens the mask, resolves every pixel near a touched cell onto the pass colours with the
    // slot brush's blend mode (0 to 15, else std::invalid_argument), then resets.
    void ResolveSlot(ThreadManager& pool, int32_t blendMode);
    // Writes the pixels the pass changed to the output raster; the others are left alone.
    void EndPass(LineEffectRasterInterface& output);
    // The pass colours (premultiplied), row-major; valid between BeginPass and EndPass.
    const ColorFloat& PassPixel(int32_t x, int32_t y) const;

    // The steps of ResolveSlot. WidenMask marks the cells within the radius of a touched cell
    // along its column; Reset empties the fragment lists and the mask (thread t of T takes a
    // band of rows), on the pool or, without one, on this thread.
    void WidenMask(ThreadManager& pool);
    void Resolve(ThreadManager& pool, int32_t blendMode);
    void Reset(ThreadManager* pool);

  private:
    // Checks the position and marks its cell touched.
    void MarkFragment(int32_t x, int32_t y);
    void Append(int32_t& head, ChunkedArray<LineFragment>& row, const LineFragment& fragment);
    void ResetRows(int32_t cellRowBegin, int32_t cellRowEnd);
    void ResolveRow(int32_t y, int32_t blendMode, std::vector<FragmentGroup>& groups,
                    std::vector<int32_t>& spans);

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

    // Over-sampled: first fragment index per sub-pixel and the fragments of each row.
    // One more than the index of the sub-pixel's first fragment; 0 for none.
    ZeroedArray<int32_t> first_;
    std::vector<ChunkedArray<LineFragment>> rows_;
    // Frame-size: the touched mask with a flag per row (any cell set), and the pass colours
    // with the pixels the pass changed and a flag per row.
    std::vector<uint8_t> mask_;
    std::vector<uint8_t> maskRows_;
    ZeroedArray<ColorFloat> pass_;
    std::vector<uint8_t> passRowZero_;  // the row of pass_ holds only zeros
    std::vector<uint8_t> passChanged_;
    std::vector<uint8_t> passRows_;
};

}  // namespace KvrnLib
