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

// Blocks never written read as zero without touching their (zero) pages.
void LineEffectRasterForColorFloatRaster::ReadPixels(int32_t y, std::span<ColorFloat> row,
                                                     std::span<const int32_t> xs) const {
    CheckRow(y, Height());
    const ColorFloatRaster& raster = *raster_;
    const ColorFloat* src = raster.Row(y);
    for (int32_t x : xs) {
        CheckX(x, Width(), row.size());
        row[static_cast<size_t>(x)] = raster.BlockWritten(x, y) ? src[x] : ColorFloat{};
    }
}

void LineEffectRasterForColorFloatRaster::ReadRow(int32_t y, std::vector<ColorFloat>& row) const {
    CheckRow(y, Height());
    const ColorFloatRaster& raster = *raster_;
    const int32_t count = static_cast<int32_t>(std::min(row.size(), static_cast<size_t>(Width())));
    const ColorFloat* src = raster.Row(y);
    for (int32_t x = 0; x < count; x += ColorFloatRaster::kBlockPixels) {
        const int32_t end = std::min(count, x + ColorFloatRaster::kBlockPixels);
        if (raster.BlockWritten(x, y)) {
            std::copy(src + x, src + end, row.begin() + x);
        } else {
            std::fill(row.begin() + x, row.begin() + end, ColorFloat{});
        }
    }
}

void LineEffectRasterForColorFloatRaster::WritePixels(int32_t y, std::span<const ColorFloat> row,
                                                      std::span<const int32_t> xs) {
    CheckRow(y, Height());
    for (int32_t x : xs) {
        CheckX(x, Width(), row.size());
        raster_->Pixel(x, y) = row[static_cast<size_t>(x)];
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

namespace {

constexpr int32_t kTileSide = TiledArray<uint8_t>::kTileSide;
// A row's first allocation, so that short rows do not grow through many small ones.
constexpr size_t kFirstRowFragments = 64;

}  // namespace

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

    passOutput_ = nullptr;
    if (width == width_ && height == height_ && overSampling == overSampling_) {
        Reset();
    } else {
        try {
            Reset();
            rows_ = std::vector<std::vector<LineFragment>>();
            rows_.resize(static_cast<size_t>(subHeight));
            lists_.Resize(static_cast<int32_t>(subWidth), static_cast<int32_t>(subHeight));
            mask_.Resize(width, height);
        } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
            rows_ = std::vector<std::vector<LineFragment>>();
            lists_.Resize(0, 0);
            mask_.Resize(0, 0);
            width_ = height_ = overSampling_ = subWidth_ = subHeight_ = 0;
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

LineEffectWorkBuffer::FragmentList& LineEffectWorkBuffer::ListAt(int32_t x, int32_t y) {
    if (static_cast<uint32_t>(x) >= static_cast<uint32_t>(subWidth_) ||
        static_cast<uint32_t>(y) >= static_cast<uint32_t>(subHeight_)) {
        throw std::out_of_range("fragment at (" + std::to_string(x) + ", " + std::to_string(y) +
                                ") outside the buffer.");
    }
    FragmentList& list = lists_.At(x, y);
    // A sub-pixel that has fragments has marked its cell already this slot. Sub-rows of one cell
    // belong to different drawing threads, so the mask bytes they share are written atomically;
    // the load keeps already-marked cache lines unshared.
    if (list.first == 0) {
        std::atomic_ref<uint8_t> shared(mask_.At(x / overSampling_, y / overSampling_));
        if (!(shared.load(std::memory_order_relaxed) & kCellTouched)) {
            shared.fetch_or(kCellTouched, std::memory_order_relaxed);
        }
    }
    return list;
}

bool LineEffectWorkBuffer::Merge(int32_t x, int32_t y, const LineFragment& fragment) {
    FragmentList& list = ListAt(x, y);
    std::vector<LineFragment>& row = rows_[y];
    for (int32_t i = list.first - 1; i >= 0; i = row[i].next) {
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
    Append(list, row, fragment);
    return false;
}

LineFragment& LineEffectWorkBuffer::CopyFragment(int32_t x, int32_t y, uint32_t id) {
    FragmentList& list = ListAt(x, y);
    std::vector<LineFragment>& row = rows_[y];
    if (list.last > 0 && row[list.last - 1].id == id) return row[list.last - 1];
    LineFragment fresh;
    fresh.id = id;
    Append(list, row, fresh);
    return row.back();
}

void LineEffectWorkBuffer::Append(FragmentList& list, std::vector<LineFragment>& row,
                                  const LineFragment& fragment) {
    const int32_t index = static_cast<int32_t>(row.size());
    if (row.capacity() == 0) row.reserve(kFirstRowFragments);
    row.push_back(fragment);
    row.back().next = -1;
    if (list.first == 0) {
        list.first = index + 1;
    } else {
        row[list.last - 1].next = index;
    }
    list.last = index + 1;
}

int32_t LineEffectWorkBuffer::FirstFragment(int32_t x, int32_t y) const {
    CheckRow(y, subHeight_);
    CheckX(x, subWidth_, static_cast<size_t>(subWidth_));
    return lists_.Get(x, y).first - 1;
}

const LineFragment& LineEffectWorkBuffer::Fragment(int32_t y, int32_t index) const {
    CheckRow(y, subHeight_);
    if (index < 0 || static_cast<size_t>(index) >= rows_[y].size()) {
        throw std::out_of_range("fragment " + std::to_string(index) + " not in row " +
                                std::to_string(y) + ".");
    }
    return rows_[y][index];
}

uint8_t LineEffectWorkBuffer::Cell(int32_t x, int32_t y) const {
    CheckRow(y, height_);
    CheckX(x, width_, static_cast<size_t>(width_));
    return mask_.Get(x, y);
}

ColorFloat LineEffectWorkBuffer::PassPixel(int32_t x, int32_t y) const {
    CheckRow(y, height_);
    CheckX(x, width_, static_cast<size_t>(width_));
    if (!passOutput_) throw std::logic_error("no pass begun.");
    std::vector<ColorFloat> row(static_cast<size_t>(x) + 1);
    const int32_t xs[] = {x};
    passOutput_->ReadPixels(y, row, xs);
    return row[static_cast<size_t>(x)];
}

void LineEffectWorkBuffer::BeginPass(LineEffectRasterInterface& output) {
    if (width_ < 1 || output.Width() != width_ || output.Height() != height_) {
        throw LineEffectException("invalid raster size.");
    }
    passOutput_ = &output;
}

void LineEffectWorkBuffer::EndPass(LineEffectRasterInterface& output) {
    if (width_ < 1 || output.Width() != width_ || output.Height() != height_) {
        throw LineEffectException("invalid raster size.");
    }
    passOutput_ = nullptr;
}

void LineEffectWorkBuffer::ResolveSlot(ThreadManager& pool, int32_t blendMode) {
    CheckBlendMode(blendMode);
    if (width_ < 1) return;
    if (!passOutput_) throw std::logic_error("no pass begun.");
    CollectResolveTiles();
    // A thread takes whole rows of tiles, so it alone reads and writes those output rows.
    const int bands = std::max(1, pool.GetThreadCount());
    ParallelFor(&pool, bands, [&](int band) {
        ResolveScratch scratch;
        scratch.row.resize(static_cast<size_t>(width_));
        for (size_t i = 0; i < resolveTiles_.size(); ++i) {
            const int32_t ty = static_cast<int32_t>(resolveTiles_[i] / size_t(mask_.TilesX()));
            if (ty % bands == band) ResolveTile(resolveTiles_[i], blendMode, scratch);
        }
    });
    // Only once every pixel is resolved: a tile's lists are read by its neighbours' pixels too.
    const std::vector<size_t>& used = mask_.UsedTiles();
    ParallelFor(&pool, bands, [&](int band) {
        for (size_t i = size_t(band); i < used.size(); i += size_t(bands))
            ClearTouchedLists(used[i]);
    });
    ReleaseTiles();
}

void LineEffectWorkBuffer::CollectResolveTiles() {
    resolveTiles_.clear();
    const int32_t tilesX = mask_.TilesX(), tilesY = mask_.TilesY();
    for (size_t tile : mask_.UsedTiles()) {
        const int32_t tx = static_cast<int32_t>(tile % size_t(tilesX));
        const int32_t ty = static_cast<int32_t>(tile / size_t(tilesX));
        const uint8_t* cells = mask_.Tile(tx, ty);
        int32_t lx = kTileSide, hx = -1, ly = kTileSide, hy = -1;
        for (int32_t y = 0; y < kTileSide; ++y) {
            for (int32_t x = 0; x < kTileSide; ++x) {
                if (!(cells[y * kTileSide + x] & kCellTouched)) continue;
                lx = std::min(lx, x);
                hx = std::max(hx, x);
                ly = std::min(ly, y);
                hy = std::max(hy, y);
            }
        }
        if (hx < 0) continue;
        // The touched box widened by the radius, in tiles.
        const int32_t tx0 = std::max(0, (tx * kTileSide + lx - radius_) / kTileSide);
        const int32_t tx1 = std::min(tilesX - 1, (tx * kTileSide + hx + radius_) / kTileSide);
        const int32_t ty0 = std::max(0, (ty * kTileSide + ly - radius_) / kTileSide);
        const int32_t ty1 = std::min(tilesY - 1, (ty * kTileSide + hy + radius_) / kTileSide);
        for (int32_t y = ty0; y <= ty1; ++y)
            for (int32_t x = tx0; x <= tx1; ++x)
                resolveTiles_.push_back(size_t(y) * size_t(tilesX) + size_t(x));
    }
    std::sort(resolveTiles_.begin(), resolveTiles_.end());
    resolveTiles_.erase(std::unique(resolveTiles_.begin(), resolveTiles_.end()),
                        resolveTiles_.end());
}

void LineEffectWorkBuffer::ResolveTile(size_t tile, int32_t blendMode, ResolveScratch& scratch) {
    const int32_t tx = static_cast<int32_t>(tile % size_t(mask_.TilesX()));
    const int32_t ty = static_cast<int32_t>(tile / size_t(mask_.TilesX()));
    const int32_t x0 = tx * kTileSide, y0 = ty * kTileSide;
    const int32_t x1 = std::min(width_, x0 + kTileSide), y1 = std::min(height_, y0 + kTileSide);
    const int32_t r = radius_;
    // Cells of the tile's rows with a touched cell within r along y, over the columns the tile's
    // pixels reach along x; then the pixels with such a cell within r along x.
    const int32_t cx0 = std::max(0, x0 - r), cx1 = std::min(width_, x1 + r);
    const int32_t span = cx1 - cx0;
    std::vector<uint8_t>& near = scratch.near;
    near.assign(static_cast<size_t>(span) * static_cast<size_t>(y1 - y0), 0);
    for (int32_t cy = std::max(0, y0 - r); cy < std::min(height_, y1 + r); ++cy) {
        const int32_t ny0 = std::max(y0, cy - r), ny1 = std::min(y1 - 1, cy + r);
        for (int32_t cx = cx0; cx < cx1;) {
            const uint8_t* cells = mask_.Tile(cx / kTileSide, cy / kTileSide);
            const int32_t chunkEnd = std::min(cx1, (cx / kTileSide + 1) * kTileSide);
            if (cells) {
                const uint8_t* cellRow = cells + (cy % kTileSide) * kTileSide;
                for (int32_t x = cx; x < chunkEnd; ++x) {
                    if (!(cellRow[x % kTileSide] & kCellTouched)) continue;
                    for (int32_t y = ny0; y <= ny1; ++y) {
                        near[static_cast<size_t>(y - y0) * span + (x - cx0)] = 1;
                    }
                }
            }
            cx = chunkEnd;
        }
    }
    std::vector<int32_t>& marked = scratch.marked;
    marked.resize(static_cast<size_t>(span) + 1);
    std::vector<ColorFloat>& row = scratch.row;
    for (int32_t py = y0; py < y1; ++py) {
        // Marked cells before each column, so a pixel asks its window [px - r, px + r] at once.
        const uint8_t* nearRow = near.data() + static_cast<size_t>(py - y0) * span;
        marked[0] = 0;
        for (int32_t i = 0; i < span; ++i) marked[i + 1] = marked[i] + nearRow[i];
        if (marked[span] == 0) continue;
        scratch.xs.clear();
        scratch.lines.clear();
        for (int32_t px = x0; px < x1; ++px) {
            const int32_t lo = std::max(cx0, px - r) - cx0;
            const int32_t hi = std::min(cx1 - 1, px + r) - cx0;
            if (marked[hi + 1] == marked[lo]) continue;
            ColorFloat line;
            if (!ResolvePixel(px, py, scratch.groups, line)) continue;
            scratch.xs.push_back(px);
            scratch.lines.push_back(line);
        }
        if (scratch.xs.empty()) continue;
        passOutput_->ReadPixels(py, row, scratch.xs);
        for (size_t k = 0; k < scratch.xs.size(); ++k) {
            ColorFloat& pixel = row[static_cast<size_t>(scratch.xs[k])];
            pixel = CompositeLine(pixel, scratch.lines[k], blendMode);
        }
        passOutput_->WritePixels(py, row, scratch.xs);
    }
}

bool LineEffectWorkBuffer::ResolvePixel(int32_t px, int32_t py, std::vector<FragmentGroup>& groups,
                                        ColorFloat& line) const {
    const int32_t s = overSampling_;
    const int32_t margin = (windowSize_ - s) / 2;
    const int32_t sy0 = py * s - margin;
    const int32_t jy0 = std::max(filterBegin_, -sy0);
    const int32_t jy1 = std::min(filterEnd_, subHeight_ - sy0);
    const int32_t sx0 = px * s - margin;
    const int32_t jx0 = std::max(filterBegin_, -sx0);
    const int32_t jx1 = std::min(filterEnd_, subWidth_ - sx0);
    groups.clear();
    float coverage = 0.0f;
    for (int32_t jy = jy0; jy < jy1; ++jy) {
        const int32_t sy = sy0 + jy;
        const std::vector<LineFragment>& row = rows_[sy];
        if (row.empty()) continue;
        for (int32_t jx = jx0; jx < jx1; ++jx) {
            int32_t i = lists_.Get(sx0 + jx, sy).first - 1;
            if (i < 0) continue;
            const float w = filter_[jy] * filter_[jx];
            float strongest = 0.0f;
            for (; i >= 0; i = row[i].next) {
                const LineFragment& f = row[i];
                const float opacity = std::clamp(f.coverage, 0.0f, 1.0f);
                if (!(opacity > 0.0f)) continue;
                // The fragment's colour at its coverage: merged fragments of one stroke keep
                // their mean colour but not their summed alpha.
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
    if (groups.empty()) return false;
    line = CombineFragmentGroups(groups, coverage);
    return line.a > 0.0f;
}

void LineEffectWorkBuffer::ClearTouchedLists(size_t tile) {
    // Only the sub-pixels of touched cells have lists (a cell is marked before its first list is
    // set), so those are cleared instead of whole tiles.
    const int32_t s = overSampling_;
    const int32_t tx = static_cast<int32_t>(tile % size_t(mask_.TilesX()));
    const int32_t ty = static_cast<int32_t>(tile / size_t(mask_.TilesX()));
    const uint8_t* cells = mask_.Tile(tx, ty);
    for (int32_t cy = 0; cy < kTileSide; ++cy) {
        for (int32_t cx = 0; cx < kTileSide; ++cx) {
            if (!(cells[cy * kTileSide + cx] & kCellTouched)) continue;
            const int32_t x0 = (tx * kTileSide + cx) * s, y0 = (ty * kTileSide + cy) * s;
            for (int32_t y = y0; y < y0 + s; ++y)
                for (int32_t x = x0; x < x0 + s; ++x) lists_.At(x, y) = {};
        }
    }
}

void LineEffectWorkBuffer::ReleaseTiles() {
    lists_.Release(false);
    mask_.Release(true);
    // Emptied, not freed: a row's capacity serves the next slot and frame without new pages.
    for (std::vector<LineFragment>& row : rows_) row.clear();
}

void LineEffectWorkBuffer::Reset() {
    if (width_ < 1) return;
    for (size_t tile : mask_.UsedTiles()) ClearTouchedLists(tile);
    ReleaseTiles();
}

int64_t LineEffectWorkBuffer::MemoryBytes() const {
    int64_t bytes = lists_.MemoryBytes() + mask_.MemoryBytes() +
                    int64_t(filter_.capacity() * sizeof(float) +
                            rows_.capacity() * sizeof(std::vector<LineFragment>) +
                            resolveTiles_.capacity() * sizeof(size_t));
    for (const std::vector<LineFragment>& row : rows_)
        bytes += int64_t(row.capacity() * sizeof(LineFragment));
    return bytes;
}

}  // namespace KvrnLib
