// Sample patterns and the pixel filter: a rotated grid for 4 samples, rank-1 lattices for 8 and
// 16, and a separable filter (Mitchell-Netravali for B = C = 1/3).
#include "pixel_filter.h"

#include <algorithm>
#include <cmath>

namespace KvrnShading {

// Positions in the pixel, 0..1. 1: the centre; 4: rotated grid; 8 and 16: rank-1 lattices
// (n-rooks with a generator chosen for even spacing).
std::vector<Point2> SamplePattern(int count) {
    if (count == 1) return {{0.5f, 0.5f}};
    if (count == 4) return {{0.375f, 0.125f}, {0.875f, 0.375f}, {0.125f, 0.625f}, {0.625f, 0.875f}};
    const int generator = count == 8 ? 3 : 5;
    std::vector<Point2> pattern;
    for (int i = 0; i < count; ++i) {
        pattern.push_back({(float(i) + 0.5f) / float(count),
                           (float((i * generator) % count) + 0.5f) / float(count)});
    }
    return pattern;
}

float FilterWeight(PixelFilter filter, float x, float radius) {
    const float ax = std::fabs(x);
    if (ax > radius) return 0.0f;
    switch (filter) {
        case PixelFilter::kBox:
            return 1.0f;
        case PixelFilter::kTent:
            return 1.0f - ax / radius;
        case PixelFilter::kGaussian: {
            // Sigma of half the radius, shifted to reach zero at the radius.
            const float alpha = 2.0f / (radius * radius);
            return std::max(0.0f, std::exp(-alpha * ax * ax) - std::exp(-alpha * radius * radius));
        }
        case PixelFilter::kMitchell: {
            constexpr float B = 1.0f / 3.0f, C = 1.0f / 3.0f;
            const float t = 2.0f * ax / radius;
            if (t < 1.0f) {
                return ((12 - 9 * B - 6 * C) * t * t * t + (-18 + 12 * B + 6 * C) * t * t +
                        (6 - 2 * B)) /
                       6.0f;
            }
            return ((-B - 6 * C) * t * t * t + (6 * B + 30 * C) * t * t + (-12 * B - 48 * C) * t +
                    (8 * B + 24 * C)) /
                   6.0f;
        }
    }
    return 0.0f;
}

FilterTable MakeFilterTable(const std::vector<Point2>& pattern, PixelFilter filter, float radius,
                            int reach) {
    FilterTable table;
    table.reach = reach;
    table.samples = int(pattern.size());
    const int side = 2 * reach + 1;
    table.weights.resize(size_t(side * side) * pattern.size());
    table.pixelSums.assign(size_t(side * side), 0.0f);
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            const size_t cell = size_t((dy + reach) * side + dx + reach);
            for (size_t k = 0; k < pattern.size(); ++k) {
                const float w = FilterWeight(filter, float(dx) + pattern[k].x - 0.5f, radius) *
                                FilterWeight(filter, float(dy) + pattern[k].y - 0.5f, radius);
                table.weights[cell * pattern.size() + k] = w;
                table.pixelSums[cell] += w;
            }
        }
    }
    return table;
}

void FilterPixel(const SampleSet& base, const SampleSet* refined,
                 const std::vector<int>* refinedSlot, int width, int height, size_t channelCount,
                 int row0, int px, int py, Filtered& out, float* channelsOut) {
    out = Filtered();
    if (channelsOut) std::fill_n(channelsOut, channelCount * 4, 0.0f);
    const int reach = base.table.reach;
    // Most pixels of a frame see no surface near them: they are the background exactly.
    bool anySurface = false;
    for (int qy = std::max(0, py - reach); qy <= std::min(height - 1, py + reach); ++qy) {
        for (int qx = std::max(0, px - reach); qx <= std::min(width - 1, px + reach); ++qx) {
            const size_t q = size_t(qy - row0) * size_t(width) + size_t(qx);
            const bool refinedHere = refinedSlot && (*refinedSlot)[q] >= 0;
            anySurface = anySurface || refinedHere || !base.empty[q];
        }
    }
    if (!anySurface) {
        out.t[0] = out.t[1] = out.t[2] = 1.0f;
        return;
    }
    float c0 = 0, c1 = 0, c2 = 0, t0 = 0, t1 = 0, t2 = 0, weight = 0;
    for (int dy = -reach; dy <= reach; ++dy) {
        const int qy = py + dy;
        if (qy < 0 || qy >= height) continue;
        for (int dx = -reach; dx <= reach; ++dx) {
            const int qx = px + dx;
            if (qx < 0 || qx >= width) continue;
            const size_t q = size_t(qy - row0) * size_t(width) + size_t(qx);
            const SampleSet* set = &base;
            size_t slot = q;
            if (refinedSlot && (*refinedSlot)[q] >= 0) {
                set = refined;
                slot = size_t((*refinedSlot)[q]);
            }
            const FilterTable& table = set->table;
            const size_t cell = size_t((dy + reach) * (2 * reach + 1) + dx + reach);
            if (set->empty[slot]) {
                // Every sample missed: nothing added, everything let through.
                const float w = table.pixelSums[cell];
                weight += w;
                t0 += w;
                t1 += w;
                t2 += w;
                continue;
            }
            const size_t count = size_t(table.samples);
            const float* weights = &table.weights[cell * count];
            const SampleValue* values = &set->values[slot * count];
            for (size_t k = 0; k < count; ++k) {
                const float w = weights[k];
                const SampleValue& v = values[k];
                weight += w;
                c0 += w * v.c[0];
                c1 += w * v.c[1];
                c2 += w * v.c[2];
                t0 += w * v.t[0];
                t1 += w * v.t[1];
                t2 += w * v.t[2];
            }
            if (channelsOut) {
                const float* ch = &set->channels[slot * count * channelCount * 4];
                for (size_t k = 0; k < count; ++k, ch += channelCount * 4)
                    for (size_t i = 0; i < channelCount * 4; ++i)
                        channelsOut[i] += weights[k] * ch[i];
            }
        }
    }
    out = {{c0, c1, c2}, {t0, t1, t2}, weight};
    if (out.weight != 0.0f) {
        const float inv = 1.0f / out.weight;
        for (int i = 0; i < 3; ++i) {
            out.c[i] = std::max(0.0f, out.c[i] * inv);
            out.t[i] = std::clamp(out.t[i] * inv, 0.0f, 1.0f);
        }
        if (channelsOut)
            for (size_t i = 0; i < channelCount * 4; ++i) channelsOut[i] *= inv;
    } else {
        out.t[0] = out.t[1] = out.t[2] = 1.0f;
    }
}

// Whether a refined pixel lies within reach of (px, py).
bool RefinedWithin(const std::vector<int>& refinedSlot, int row0, int width, int height, int reach,
                   int px, int py) {
    for (int qy = std::max(0, py - reach); qy <= std::min(height - 1, py + reach); ++qy) {
        const int* row = refinedSlot.data() + size_t(qy - row0) * size_t(width);
        for (int qx = std::max(0, px - reach); qx <= std::min(width - 1, px + reach); ++qx)
            if (row[qx] >= 0) return true;
    }
    return false;
}

// The pixel over its background: premultiplied, alpha = coverage over the background's alpha.
BMM_Color_fl Composite(const Filtered& v, const BMM_Color_fl& bg) {
    const float covered = 1.0f - (v.t[0] + v.t[1] + v.t[2]) / 3.0f;
    return {v.c[0] + v.t[0] * bg.r, v.c[1] + v.t[1] * bg.g, v.c[2] + v.t[2] * bg.b,
            covered + (1.0f - covered) * bg.a};
}

bool Differs(const BMM_Color_fl& a, const BMM_Color_fl& b, float threshold) {
    const auto c = [](float x) { return std::clamp(x, 0.0f, 1.0f); };
    return std::fabs(c(a.r) - c(b.r)) > threshold || std::fabs(c(a.g) - c(b.g)) > threshold ||
           std::fabs(c(a.b) - c(b.b)) > threshold || std::fabs(c(a.a) - c(b.a)) > threshold;
}

}  // namespace KvrnShading
