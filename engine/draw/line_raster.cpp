#include "line_raster.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "blend_op.h"

namespace KvrnLib {

namespace {

constexpr float kMaxFilterWidth = 16.0f;

void CheckRow(int32_t y, int32_t height) {
    if (y < 0 || y >= height) {
        throw std::out_of_range("raster row " + std::to_string(y) + " outside 0 to " +
                                std::to_string(height - 1) + ".");
    }
}

void CheckX(int32_t x, int32_t width, size_t bufferSize) {
    if (x < 0 || x >= width || static_cast<size_t>(x) >= bufferSize) {
        throw std::out_of_range("raster x " + std::to_string(x) + " outside the row of " +
                                std::to_string(std::min<size_t>(width, bufferSize)) + " pixels.");
    }
}

// Runs f(band, bandCount) once per pool thread and waits; a worker's exception is rethrown here.
template <class F>
void RunBands(ThreadManager& pool, F&& f) {
    const int count = std::max(1, pool.GetThreadCount());
    pool.Run(
        [&](int item, int, int) {
            if (item >= count) return false;
            f(item, count);
            return true;
        },
        true);
    if (std::exception_ptr error = pool.TakeWorkerError()) std::rethrow_exception(error);
}

// Integral from -inf to x of the tent CDF, tent of half-width h (h = 0: a unit step).
double TentCdfIntegral(double x, double h) {
    if (h <= 0.0) return std::max(x, 0.0);
    if (x <= -h) return 0.0;
    if (x <= 0.0) return (x + h) * (x + h) * (x + h) / (6.0 * h * h);
    if (x <= h) return h / 6.0 + x + ((h - x) * (h - x) * (h - x) - h * h * h) / (6.0 * h * h);
    return x;
}

// CDF of the unit box convolved with the tent.
double KernelCdf(double x, double h) {
    return TentCdfIntegral(x + 0.5, h) - TentCdfIntegral(x - 0.5, h);
}

}  // namespace

// ---- LineEffectRasterForColorFloatRaster ----

void LineEffectRasterForColorFloatRaster::ReadPixels(int32_t y, std::span<ColorFloat> row,
                                                     std::span<const int32_t> xs) const {
    CheckRow(y, Height());
    const ColorFloat* src = raster_->Row(y);
    for (int32_t x : xs) {
        CheckX(x, Width(), row.size());
        row[static_cast<size_t>(x)] = src[x];
    }
}

void LineEffectRasterForColorFloatRaster::ReadRow(int32_t y, std::vector<ColorFloat>& row) const {
    CheckRow(y, Height());
    const size_t count = std::min(row.size(), static_cast<size_t>(Width()));
    std::copy_n(raster_->Row(y), count, row.begin());
}

void LineEffectRasterForColorFloatRaster::WritePixels(int32_t y, std::span<const ColorFloat> row,
                                                      std::span<const int32_t> xs) {
    CheckRow(y, Height());
    ColorFloat* dst = raster_->Row(y);
    for (int32_t x : xs) {
        CheckX(x, Width(), row.size());
        dst[x] = row[static_cast<size_t>(x)];
    }
}

void LineEffectRasterForColorFloatRaster::WriteRow(int32_t y, const std::vector<ColorFloat>& row) {
    CheckRow(y, Height());
    const size_t count = std::min(row.size(), static_cast<size_t>(Width()));
    std::copy_n(row.begin(), count, raster_->Row(y));
}

// ---- Group alpha and compositing ----

ColorFloat CombineFragmentGroups(std::vector<FragmentGroup>& groups, float coverage) {
    const double c = std::clamp(static_cast<double>(coverage), 0.0, 1.0);
    double p = 1.0;
    for (FragmentGroup& g : groups) {
        g.alpha = std::clamp(g.alpha, 0.0f, 1.0f);
        p *= 1.0 - g.alpha;
    }
    if (groups.size() > 1 && p > 0.0 && p < 1.0) {
        // Each group keeps its share of the combined opacity while the union is held to C.
        const double exponent = c < 1.0 ? std::log(1.0 - c) / std::log(p) : 0.0;
        for (FragmentGroup& g : groups) {
            if (g.alpha <= 0.0f) continue;
            const double a = c < 1.0 ? 1.0 - std::pow(1.0 - g.alpha, exponent) : 1.0;
            const float scale = static_cast<float>(a / g.alpha);
            g.r *= scale;
            g.g *= scale;
            g.b *= scale;
            g.alpha = static_cast<float>(a);
        }
    }
    // Stable insertion sort: pixels hold a handful of groups.
    for (size_t i = 1; i < groups.size(); ++i) {
        for (size_t j = i; j > 0 && groups[j].key < groups[j - 1].key; --j) {
            std::swap(groups[j], groups[j - 1]);
        }
    }
    ColorFloat out;
    for (const FragmentGroup& g : groups) {
        const float keep = 1.0f - g.alpha;
        out.r = g.r + out.r * keep;
        out.g = g.g + out.g * keep;
        out.b = g.b + out.b * keep;
        out.a = g.alpha + out.a * keep;
    }
    return out;
}

ColorFloat CompositeLine(const ColorFloat& dst, const ColorFloat& line, int32_t blendMode) {
    const float as = std::min(line.a, 1.0f);
    if (!(as > 0.0f)) return dst;
    const ColorFloat cs{line.r / line.a, line.g / line.a, line.b / line.a, 1.0f};
    // The blend acts where the destination is opaque; over its transparent part the line
    // colour is used as it is (the separable-blend rule of the W3C compositing model).
    const float ab = std::clamp(dst.a, 0.0f, 1.0f);
    const ColorFloat cb = dst.a > 0.0f
                              ? ColorFloat{dst.r / dst.a, dst.g / dst.a, dst.b / dst.a, 1.0f}
                              : ColorFloat{dst.r, dst.g, dst.b, 1.0f};
    const ColorFloat mixed = BlendOp(cb, cs, blendMode);
    const float plain = as * (1.0f - ab);
    const float blended = as * ab;
    const float keep = 1.0f - as;
    return {plain * cs.r + blended * mixed.r + keep * dst.r,
            plain * cs.g + blended * mixed.g + keep * dst.g,
            plain * cs.b + blended * mixed.b + keep * dst.b, as + dst.a * keep};
}

// ---- Filter ----

namespace {

void CheckOverSampling(int32_t overSampling) {
    if (overSampling < 1) {
        throw std::invalid_argument("over-sampling " + std::to_string(overSampling) +
                                    " is below 1.");
    }
}

}  // namespace

int32_t FilterWindowSize(int32_t overSampling, float filterWidth) {
    CheckOverSampling(overSampling);
    filterWidth = std::min(filterWidth, kMaxFilterWidth);
    const float s = static_cast<float>(overSampling);
    int32_t n = overSampling;
    if (filterWidth > 0.0f) {
        n = static_cast<int32_t>(
            std::floor(2.0f * std::max(filterWidth - 1.0f, 0.0f) * s + s + 1.5f));
    }
    if ((n - overSampling) % 2 != 0) ++n;
    return n;
}

int32_t MaskRadius(int32_t overSampling, int32_t windowSize) {
    CheckOverSampling(overSampling);
    return ((windowSize + 1) / 2 - 1 + overSampling) / overSampling;
}

std::vector<float> BuildFilterTable(int32_t overSampling, float filterWidth) {
    const int32_t n = FilterWindowSize(overSampling, filterWidth);
    filterWidth = std::min(filterWidth, kMaxFilterWidth);
    const double h = filterWidth > 1.0f ? filterWidth - 1.0 : 0.0;
    const double s = overSampling;
    std::vector<double> weights(static_cast<size_t>(n));
    double sum = 0.0;
    for (int32_t j = 0; j < n; ++j) {
        const double lo = (j - 0.5 * n) / s;
        weights[j] = KernelCdf(lo + 1.0 / s, h) - KernelCdf(lo, h);
        sum += weights[j];
    }
    std::vector<float> table(static_cast<size_t>(n));
    for (int32_t j = 0; j < n; ++j) table[j] = static_cast<float>(weights[j] / sum);
    return table;
}

// ---- LineEffectWorkBuffer ----

void LineEffectWorkBuffer::Prepare(int32_t width, int32_t height, int32_t overSampling,
                                   float filterWidth) {
    if (width < 1 || height < 1) throw LineEffectException("invalid raster size.");
    if (overSampling < 1 || !(filterWidth <= kMaxFilterWidth)) {
        throw LineEffectException("invalid settings.");
    }
    const int64_t subWidth = int64_t{width} * overSampling;
    const int64_t subHeight = int64_t{height} * overSampling;
    const int64_t limit = std::numeric_limits<int32_t>::max();
    if (subWidth > limit || subHeight > limit) throw LineEffectException("raster alloc failed.");

    if (width == width_ && height == height_ && overSampling == overSampling_) {
        Reset(nullptr);
        std::fill(passChanged_.begin(), passChanged_.end(), uint8_t{0});
        std::fill(passRows_.begin(), passRows_.end(), uint8_t{0});
    } else {
        *this = LineEffectWorkBuffer();  // frees the old buffers before the new ones are made
        try {
            const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
            first_ = ZeroedArray<int32_t>(static_cast<size_t>(subWidth) *
                                          static_cast<size_t>(subHeight));
            rows_.resize(static_cast<size_t>(subHeight));
            mask_.assign(pixels, 0);
            maskRows_.assign(static_cast<size_t>(height), 0);
            pass_ = ZeroedArray<ColorFloat>(pixels);
            passRowZero_.assign(static_cast<size_t>(height), 1);
            passChanged_.assign(pixels, 0);
            passRows_.assign(static_cast<size_t>(height), 0);
        } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
            *this = LineEffectWorkBuffer();
            throw LineEffectException("raster alloc failed.");
        }
        width_ = width;
        height_ = height;
        overSampling_ = overSampling;
        subWidth_ = static_cast<int32_t>(subWidth);
        subHeight_ = static_cast<int32_t>(subHeight);
    }
    if (filterWidth != filterWidth_ || filter_.empty()) {
        filterWidth_ = filterWidth;
        windowSize_ = FilterWindowSize(overSampling, filterWidth);
        radius_ = MaskRadius(overSampling, windowSize_);
        filter_ = BuildFilterTable(overSampling, filterWidth);
        filterBegin_ = 0;
        filterEnd_ = windowSize_;
        while (filterBegin_ < filterEnd_ && filter_[filterBegin_] <= 0.0f) ++filterBegin_;
        while (filterEnd_ > filterBegin_ && filter_[filterEnd_ - 1] <= 0.0f) --filterEnd_;
    }
}

void LineEffectWorkBuffer::MarkFragment(int32_t x, int32_t y) {
    if (static_cast<uint32_t>(x) >= static_cast<uint32_t>(subWidth_) ||
        static_cast<uint32_t>(y) >= static_cast<uint32_t>(subHeight_)) {
        throw std::out_of_range("fragment at (" + std::to_string(x) + ", " + std::to_string(y) +
                                ") outside the buffer.");
    }
    // Sub-rows of one cell belong to different drawing threads, so the mask bytes they share are
    // written atomically; the loads keep already-marked cache lines unshared.
    const int32_t cx = x / overSampling_;
    const int32_t cy = y / overSampling_;
    const auto mark = [](uint8_t& flags) {
        std::atomic_ref<uint8_t> shared(flags);
        if (!(shared.load(std::memory_order_relaxed) & kCellTouched)) {
            shared.fetch_or(kCellTouched, std::memory_order_relaxed);
        }
    };
    mark(mask_[static_cast<size_t>(cy) * width_ + cx]);
    mark(maskRows_[cy]);
}

bool LineEffectWorkBuffer::Merge(int32_t x, int32_t y, const LineFragment& fragment) {
    MarkFragment(x, y);
    int32_t& head = first_[static_cast<size_t>(y) * subWidth_ + x];
    ChunkedArray<LineFragment>& row = rows_[y];
    for (int32_t i = head - 1; i >= 0; i = row[i].next) {
        LineFragment& f = row[i];
        if (f.id == fragment.id) {
            f.r += fragment.r;
            f.g += fragment.g;
            f.b += fragment.b;
            f.alpha += fragment.alpha;
            if (fragment.coverage > f.coverage) {
                f.coverage = fragment.coverage;
                f.key = fragment.key;
            } else if (fragment.coverage == f.coverage) {
                f.key = std::max(f.key, fragment.key);
            }
            return true;
        }
    }
    Append(head, row, fragment);
    return false;
}

void LineEffectWorkBuffer::AppendNew(int32_t x, int32_t y, const LineFragment& fragment) {
    MarkFragment(x, y);
    Append(first_[static_cast<size_t>(y) * subWidth_ + x], rows_[y], fragment);
}

// The first fragment of a sub-pixel keeps the index of its last, so appending never walks.
void LineEffectWorkBuffer::Append(int32_t& head, ChunkedArray<LineFragment>& row,
                                  const LineFragment& fragment) {
    const int32_t index = static_cast<int32_t>(row.Size());
    LineFragment& added = row.Append(fragment);
    added.next = -1;
    added.tail = -1;
    if (head == 0) {
        head = index + 1;
        added.tail = index;
    } else {
        LineFragment& first = row[head - 1];
        row[first.tail].next = index;
        first.tail = index;
    }
}

int32_t LineEffectWorkBuffer::FirstFragment(int32_t x, int32_t y) const {
    CheckRow(y, subHeight_);
    CheckX(x, subWidth_, static_cast<size_t>(subWidth_));
    return first_[static_cast<size_t>(y) * subWidth_ + x] - 1;
}

const LineFragment& LineEffectWorkBuffer::Fragment(int32_t y, int32_t index) const {
    CheckRow(y, subHeight_);
    if (index < 0 || static_cast<size_t>(index) >= rows_[y].Size()) {
        throw std::out_of_range("fragment " + std::to_string(index) + " not in row " +
                                std::to_string(y) + ".");
    }
    return rows_[y][index];
}

uint8_t LineEffectWorkBuffer::Cell(int32_t x, int32_t y) const {
    CheckRow(y, height_);
    CheckX(x, width_, static_cast<size_t>(width_));
    return mask_[static_cast<size_t>(y) * width_ + x];
}

const ColorFloat& LineEffectWorkBuffer::PassPixel(int32_t x, int32_t y) const {
    CheckRow(y, height_);
    CheckX(x, width_, static_cast<size_t>(width_));
    return pass_[static_cast<size_t>(y) * width_ + x];
}

void LineEffectWorkBuffer::BeginPass(const LineEffectRasterInterface& output) {
    if (width_ < 1 || output.Width() != width_ || output.Height() != height_) {
        throw LineEffectException("invalid raster size.");
    }
    std::vector<ColorFloat> row(static_cast<size_t>(width_));
    for (int32_t y = 0; y < height_; ++y) {
        output.ReadRow(y, row);
        // An empty row over an empty row is left untouched, so its pages are never faulted in.
        const bool zero = std::all_of(row.begin(), row.end(), [](const ColorFloat& c) {
            return c.r == 0.0f && c.g == 0.0f && c.b == 0.0f && c.a == 0.0f;
        });
        if (zero && passRowZero_[y]) continue;
        std::copy(row.begin(), row.end(), pass_.data() + static_cast<ptrdiff_t>(y) * width_);
        passRowZero_[y] = zero ? 1 : 0;
    }
}

void LineEffectWorkBuffer::EndPass(LineEffectRasterInterface& output) {
    if (width_ < 1 || output.Width() != width_ || output.Height() != height_) {
        throw LineEffectException("invalid raster size.");
    }
    std::vector<int32_t> xs;
    for (int32_t y = 0; y < height_; ++y) {
        if (!passRows_[y]) continue;
        const size_t base = static_cast<size_t>(y) * width_;
        xs.clear();
        for (int32_t x = 0; x < width_; ++x) {
            if (passChanged_[base + x]) xs.push_back(x);
        }
        output.WritePixels(y, std::span<const ColorFloat>(pass_.data() + base, width_), xs);
        std::fill_n(passChanged_.begin() + static_cast<ptrdiff_t>(base), width_, uint8_t{0});
        passRows_[y] = 0;
    }
}

void LineEffectWorkBuffer::ResolveSlot(ThreadManager& pool, int32_t blendMode) {
    CheckBlendMode(blendMode);
    WidenMask(pool);
    Resolve(pool, blendMode);
    Reset(&pool);
}

void LineEffectWorkBuffer::WidenMask(ThreadManager& pool) {
    if (width_ < 1) return;
    RunBands(pool, [&](int band, int bands) {
        const int32_t x0 = static_cast<int32_t>(int64_t{width_} * band / bands);
        const int32_t x1 = static_cast<int32_t>(int64_t{width_} * (band + 1) / bands);
        for (int32_t cy = 0; cy < height_; ++cy) {
            if (!(std::atomic_ref<uint8_t>(maskRows_[cy]).load(std::memory_order_relaxed) &
                  kCellTouched)) {
                continue;
            }
            const int32_t y0 = std::max(0, cy - radius_);
            const int32_t y1 = std::min(height_ - 1, cy + radius_);
            bool any = false;
            for (int32_t x = x0; x < x1; ++x) {
                if (!(mask_[static_cast<size_t>(cy) * width_ + x] & kCellTouched)) continue;
                any = true;
                for (int32_t y = y0; y <= y1; ++y) {
                    mask_[static_cast<size_t>(y) * width_ + x] |= kCellWidened;
                }
            }
            if (!any) continue;
            for (int32_t y = y0; y <= y1; ++y) {
                std::atomic_ref<uint8_t>(maskRows_[y])
                    .fetch_or(kCellWidened, std::memory_order_relaxed);
            }
        }
    });
}

void LineEffectWorkBuffer::Resolve(ThreadManager& pool, int32_t blendMode) {
    CheckBlendMode(blendMode);
    if (width_ < 1) return;
    RunBands(pool, [&](int band, int bands) {
        std::vector<FragmentGroup> groups;
        std::vector<int32_t> spans;
        for (int32_t y = band; y < height_; y += bands) {
            if (maskRows_[y] & kCellWidened) ResolveRow(y, blendMode, groups, spans);
        }
    });
}

void LineEffectWorkBuffer::ResolveRow(int32_t y, int32_t blendMode,
                                      std::vector<FragmentGroup>& groups,
                                      std::vector<int32_t>& spans) {
    // Pixels within the radius of a widened cell of this row, as merged [begin, end) spans.
    spans.clear();
    const uint8_t* maskRow = mask_.data() + static_cast<size_t>(y) * width_;
    for (int32_t x = 0; x < width_; ++x) {
        if (!(maskRow[x] & kCellWidened)) continue;
        const int32_t begin = std::max(0, x - radius_);
        const int32_t end = std::min(width_, x + radius_ + 1);
        if (!spans.empty() && spans.back() >= begin)
            spans.back() = end;
        else {
            spans.push_back(begin);
            spans.push_back(end);
        }
    }

    const int32_t s = overSampling_;
    const int32_t margin = (windowSize_ - s) / 2;
    const int32_t sy0 = y * s - margin;
    const int32_t jy0 = std::max(filterBegin_, -sy0);
    const int32_t jy1 = std::min(filterEnd_, subHeight_ - sy0);
    for (size_t k = 0; k < spans.size(); k += 2) {
        for (int32_t px = spans[k]; px < spans[k + 1]; ++px) {
            const int32_t sx0 = px * s - margin;
            const int32_t jx0 = std::max(filterBegin_, -sx0);
            const int32_t jx1 = std::min(filterEnd_, subWidth_ - sx0);
            groups.clear();
            float coverage = 0.0f;
            for (int32_t jy = jy0; jy < jy1; ++jy) {
                const int32_t sy = sy0 + jy;
                const ChunkedArray<LineFragment>& row = rows_[sy];
                if (row.Empty()) continue;
                const int32_t* firstRow = first_.data() + static_cast<size_t>(sy) * subWidth_;
                for (int32_t jx = jx0; jx < jx1; ++jx) {
                    int32_t i = firstRow[sx0 + jx] - 1;
                    if (i < 0) continue;
                    const float w = filter_[jy] * filter_[jx];
                    float strongest = 0.0f;
                    for (; i >= 0; i = row[i].next) {
                        const LineFragment& f = row[i];
                        const float opacity = std::clamp(f.coverage, 0.0f, 1.0f);
                        if (!(opacity > 0.0f)) continue;
                        // The fragment's colour at its coverage: merged fragments of one stroke
                        // keep their mean colour but not their summed alpha.
                        const float toCoverage = f.alpha > 0.0f ? w * opacity / f.alpha : 0.0f;
                        auto g = std::find_if(groups.begin(), groups.end(),
                                              [&](const FragmentGroup& e) { return e.id == f.id; });
                        if (g == groups.end()) {
                            groups.push_back({f.id, f.key, 0.0f, 0.0f, 0.0f, 0.0f});
                            g = groups.end() - 1;
                        }
                        g->key = std::max(g->key, f.key);
                        g->alpha += w * opacity;
                        g->r += f.r * toCoverage;
                        g->g += f.g * toCoverage;
                        g->b += f.b * toCoverage;
                        strongest = std::max(strongest, opacity);
                    }
                    coverage += w * strongest;
                }
            }
            if (groups.empty()) continue;
            const ColorFloat line = CombineFragmentGroups(groups, coverage);
            if (!(line.a > 0.0f)) continue;
            const size_t index = static_cast<size_t>(y) * width_ + px;
            pass_[index] = CompositeLine(pass_[index], line, blendMode);
            passChanged_[index] = 1;
            passRows_[y] = 1;
            passRowZero_[y] = 0;
        }
    }
}

void LineEffectWorkBuffer::Reset(ThreadManager* pool) {
    if (width_ < 1) return;
    if (!pool) {
        ResetRows(0, height_);
        return;
    }
    RunBands(*pool, [&](int band, int bands) {
        ResetRows(static_cast<int32_t>(int64_t{height_} * band / bands),
                  static_cast<int32_t>(int64_t{height_} * (band + 1) / bands));
    });
}

void LineEffectWorkBuffer::ResetRows(int32_t cellRowBegin, int32_t cellRowEnd) {
    for (int32_t cy = cellRowBegin; cy < cellRowEnd; ++cy) {
        if (!maskRows_[cy]) continue;
        std::fill_n(mask_.begin() + static_cast<ptrdiff_t>(cy) * width_, width_, uint8_t{0});
        maskRows_[cy] = 0;
        for (int32_t y = cy * overSampling_; y < (cy + 1) * overSampling_; ++y) {
            if (rows_[y].Empty()) continue;
            std::fill_n(first_.data() + static_cast<ptrdiff_t>(y) * subWidth_, subWidth_, 0);
            rows_[y].Clear();
        }
    }
}

int64_t LineEffectWorkBuffer::MemoryBytes() const {
    int64_t bytes =
        int64_t(first_.size() * sizeof(int32_t) + filter_.capacity() * sizeof(float) +
                mask_.capacity() + maskRows_.capacity() + pass_.size() * sizeof(ColorFloat) +
                passRowZero_.capacity() + passChanged_.capacity() + passRows_.capacity() +
                rows_.capacity() * sizeof(ChunkedArray<LineFragment>));
    for (const ChunkedArray<LineFragment>& row : rows_)
        bytes += int64_t(row.BlockCount() * ChunkedArray<LineFragment>::kBlockSize *
                         sizeof(LineFragment));
    return bytes;
}

}  // namespace KvrnLib
