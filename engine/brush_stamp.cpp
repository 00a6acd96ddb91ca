#include "brush_stamp.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "line_random.h"
#include "stage_runner.h"

namespace KvrnLib {

namespace {

constexpr float kPi = 3.1415927f;
constexpr float kDegreesToRadians = 0.017453292f;

// Cubic with S(0) = 0, S(0.5) = 0.5, S(1) = 1 and S(1 - f) = 1 - S(f).
float Smooth(float f) { return 0.5f - (f + 0.5f) * (f - 0.5f) * (f - 1.5f) * 1.3333334f; }

// Radial falloff over r^2 with a = start^2 and b = end^2: a solid core fading out for a <= b,
// a ring rising towards the rim for a > b.
float Falloff(float r2, float start, float end) {
    const float a = start * start;
    const float b = end * end;
    if (a <= b) {
        if (r2 <= a) return 1.0f;
        if (r2 <= b) return 1.0f - (r2 - a) / (b - a);  // here b > a
        return 0.0f;
    }
    if (r2 < b) return 0.0f;
    if (r2 <= a) return 1.0f - (a - r2) / (a - b);
    return 1.0f;
}

// Per-cell random values of the multiple type's dots, hashed like LineRandom's cell keys so a
// dot keeps its place and size whatever part of the grid is visited.
uint32_t DotKey(int64_t i, int64_t j, uint32_t seed) {
    const auto& t = LineRandom::Table();
    const uint32_t tj = t[size_t((j + 32768) & 0xFFFF)];
    return (tj + 1u) * t[size_t(i & 0xFFFF)] + tj + seed;
}

float DotRandom(uint32_t key, uint32_t salt) {
    uint32_t s = (key + salt) ^ salt;
    for (int k = 0; k < 4; ++k) s = LineRandomStep(s);
    return float(s) / 65536.0f;
}

// Validated brushes visit at most about 20 cells per axis; the cap keeps unchecked values from
// stalling the cache build.
constexpr int64_t kMaxDotCells = 64;

int64_t FloorToCell(float v) {
    if (std::isnan(v)) return 0;
    return int64_t(std::floor(std::clamp(v, -1.0e9f, 1.0e9f)));
}

float Dot2(Point2 a, Point2 b) { return a.x * b.x + a.y * b.y; }

// Clamp that maps NaN to the lower limit.
float Limit(float v, float lo, float hi) { return v >= lo ? (v <= hi ? v : hi) : lo; }

// The multiple type's dot grid at the point (x, y) of the shape's first three steps. Each dot
// sits in its cell, moved by up to half a cell by hSpaceRnd and vSpaceRnd, with radius
// z * (1 + sizeRnd * [-1, 1)); its profile reaches `scale` radii and is flat out to k of that
// (softness k > 0), or peaks below 1 when k < 0 (very soft brushes fade rather than blur).
float DotPattern(const BrushDrawSettings& brush, float x, float y, uint32_t seed) {
    if (seed != 0) {
        const auto& t = LineRandom::Table();
        const uint32_t s1 = LineRandomStep(t[(seed + 0x24D83u) & 0xFFFFu]);
        const uint32_t s2 = LineRandomStep(s1);
        x += LineRandomToSigned(s2) * 256.0f;
        y += LineRandomToSigned(s1) * 256.0f;
    }
    x *= 0.5f;
    y *= 0.5f;

    const float z = brush.stampSize;
    const float cx = 2.0f * z + brush.hSpace;
    const float cy = 2.0f * z + brush.vSpace;
    if (!(cx > 0.0f && cy > 0.0f)) return 0.0f;
    const float scale = 0.75f * brush.anti + 1.0f;
    const float reach = (brush.sizeRnd + 1.0f) * z * scale;
    float k = 0.9f * (1.0f - brush.anti);
    if (k < 0.0f) k = k / (1.0f - 0.5f * k);

    const int64_t i0 = FloorToCell((x - cx - reach) / cx + 0.5f);
    const int64_t i1 = std::min(FloorToCell((x + cx + reach) / cx + 0.5f), i0 + kMaxDotCells);
    const int64_t j0 = FloorToCell((y - cy - reach) / cy + 0.5f);
    const int64_t j1 = std::min(FloorToCell((y + cy + reach) / cy + 0.5f), j0 + kMaxDotCells);
    float sum = 0.0f;
    for (int64_t j = j0; j < j1; ++j) {
        for (int64_t i = i0; i < i1; ++i) {
            const uint32_t key = DotKey(i, j, seed);
            const float dotX =
                float(i) * cx + (DotRandom(key, 0x3A7) - 0.5f) * brush.hSpaceRnd * cx;
            const float dotY =
                float(j) * cy + (DotRandom(key, 0x1F1D) - 0.5f) * brush.vSpaceRnd * cy;
            const float radius =
                z * (1.0f + brush.sizeRnd * (2.0f * DotRandom(key, 0x5C35) - 1.0f));
            if (!(radius > 0.0f)) continue;
            const float t = std::hypot(x - dotX, y - dotY) / (radius * scale);
            sum += Smooth(std::clamp((1.0f - t) / (1.0f - k), 0.0f, 1.0f));
            if (sum >= 1.0f) return 1.0f;
        }
    }
    return sum;
}

}  // namespace

float StampShape(const BrushDrawSettings& brush, float u, float v, uint32_t seed) {
    if (!std::isfinite(u) || !std::isfinite(v)) return 0.0f;
    const bool simple = brush.brushType != kBrushNormal && brush.brushType != kBrushMultiple;

    float angle = brush.angle;
    if (seed != 0) {
        const uint32_t s = LineRandomStep(LineRandom::Table()[(seed + 777u) & 0xFFFFu]);
        angle += LineRandomToSigned(s) * brush.angleRnd * 0.5f;
    }
    const float radians = angle * kDegreesToRadians;
    const float c = std::cos(radians);
    const float s = std::sin(radians);
    const float px = 2.0f * u - 1.0f;
    const float py = 2.0f * v - 1.0f;
    float x = px * c - py * s;
    float y = px * s + py * c;

    if (brush.stretch > 0.0f)
        x *= 1.0f + 5.0f * brush.stretch;
    else
        y *= 1.0f - 5.0f * brush.stretch;
    float r2 = x * x + y * y;

    if (!simple && brush.groove > 0.0f) {
        const float theta = std::atan2(x, y);
        const float r = std::sqrt(r2);
        const Point2 direction = r > 0.0f ? Point2{x / r, y / r} : Point2{};
        LineRandom random;
        random.Seed(seed);
        random.Place1(direction, 0.125f);
        const float n1 = random.Unit(0);
        const float turns = float(brush.grooveNum) * (0.25f * n1 + theta + kPi) / (2.0f * kPi);
        const float w = std::fabs(2.0f * (turns - std::floor(turns)) - 1.0f);
        random.Place1(direction, 0.05f);
        const float n2 = random.Unit(100);
        const float g = (0.5f * n2 + 1.25f) * w * w * w * brush.groove;
        r2 *= 1.25f * g + 1.0f;
        x *= 1.0f - 0.25f * g;
        y *= 1.0f - 0.25f * g;
    }

    if (!(r2 < 1.0f)) return 0.0f;  // also for a NaN from unchecked settings
    if (simple) return 1.0f;
    float value = Smooth(Falloff(r2, brush.reductionStart, brush.reductionEnd));
    if (brush.brushType == kBrushMultiple) value *= DotPattern(brush, x, y, seed);
    return value;
}

std::array<uint16_t, 10> StampSeeds(int32_t lineSetSeed, int32_t slotsDrawn) {
    uint32_t s = uint32_t(lineSetSeed) + 4095u * uint32_t(slotsDrawn) + 127u;
    std::array<uint16_t, 10> seeds{};
    for (uint16_t& seed : seeds) {
        s = LineRandomStep(s);
        seed = uint16_t(s);
    }
    return seeds;
}

uint8_t StampCache::At(int32_t index, int32_t x, int32_t y) const {
    if (index < 0 || index >= imageCount || x < -1 || x > imageSize || y < -1 || y > imageSize)
        return 0;
    return pixels[size_t(index) * size_t(storedImageSize) + size_t(y + 1) * size_t(rowLength) +
                  size_t(x + 1)];
}

float StampCache::Sample(int32_t index, float u, float v) const {
    const float gx = u * float(imageSize) - 0.5f;
    const float gy = v * float(imageSize) - 0.5f;
    if (!(gx >= -1.0f && gx <= float(imageSize) && gy >= -1.0f && gy <= float(imageSize)))
        return 0.0f;
    const int32_t x = int32_t(std::floor(gx));
    const int32_t y = int32_t(std::floor(gy));
    const float tx = gx - float(x);
    const float ty = gy - float(y);
    const float top = float(At(index, x, y)) * (1.0f - tx) + float(At(index, x + 1, y)) * tx;
    const float bottom =
        float(At(index, x, y + 1)) * (1.0f - tx) + float(At(index, x + 1, y + 1)) * tx;
    return (top * (1.0f - ty) + bottom * ty) / 255.0f;
}

StampCache BuildStampCache(const BrushDrawSettings& brush, const std::array<uint16_t, 10>& seeds,
                           const StampMapSampler& brushMap) {
    if (brush.brushType < kBrushSimple || brush.brushType > kBrushMultiple)
        throw LineEffectException("brush cache error.");
    StampCache cache;
    cache.imageCount = StampCache::kImageCount;
    cache.imageSize = StampCache::kImageSize;
    cache.rowLength = StampCache::kRowLength;
    cache.storedImageSize = StampCache::kStoredImageSize;
    cache.seeds = seeds;
    try {
        cache.pixels.resize(size_t(cache.imageCount) * size_t(cache.storedImageSize));
        const float size = float(cache.imageSize);
        uint8_t* out = cache.pixels.data();
        for (uint16_t seed : seeds) {
            for (int32_t y = -1; y <= cache.imageSize; ++y) {
                for (int32_t x = -1; x <= cache.imageSize; ++x) {
                    const float u = (float(x) + 0.5f) / size;
                    const float v = (float(y) + 0.5f) / size;
                    float value = StampShape(brush, u, v, seed);
                    if (brushMap && value > 0.0f)
                        value *= 1.0f - brush.mapOpacity + brush.mapOpacity * brushMap(u, v);
                    *out++ = uint8_t(std::floor(255.0f * Limit(value, 0.0f, 1.0f) + 0.5f));
                }
            }
        }
    } catch (const LineEffectException&) {
        throw;
    } catch (const std::exception&) {
        throw LineEffectException("brush cache error.");
    }
    return cache;
}

float PieceHalfWidth(float lineSize, float margin, int32_t oversampling) {
    const float w = lineSize >= 2.0f ? lineSize + margin + 1.0f : (margin + 1.0f) * lineSize;
    return float(oversampling) * w * 0.5f;
}

StampExtent StretchExtent(float stretch) {
    StampExtent e;
    if (stretch > 0.0f) e.along = 1.0f / (1.0f + 5.0f * stretch);
    if (stretch < 0.0f) e.across = 1.0f / (1.0f - 5.0f * stretch);
    return e;
}

static float SimpleFilterWidth(float anti, int32_t oversampling) {
    return 1.0f + std::max(anti, 0.0f) * float(std::max(oversampling, 1));
}

float SimpleBrushCoverage(float distance, float width, float anti, int32_t oversampling) {
    // Overlap of the filter window centred at the pixel with the line's cross-section.
    const float filter = SimpleFilterWidth(anti, oversampling);
    const float d = std::fabs(distance);
    const float overlap =
        std::min(d + 0.5f * filter, 0.5f * width) - std::max(d - 0.5f * filter, -0.5f * width);
    return overlap > 0.0f ? overlap / filter : 0.0f;
}

float SimpleBrushReach(float width, float anti, int32_t oversampling) {
    return 0.5f * (std::max(width, 0.0f) + SimpleFilterWidth(anti, oversampling));
}

float SimplePieceCoverage(Point2 centre, Point2 a, Point2 b, float width, float anti,
                          int32_t oversampling, bool coverStart) {
    const Point2 d{b.x - a.x, b.y - a.y};
    const Point2 e{centre.x - a.x, centre.y - a.y};
    // Compared unnormalised, so a centre exactly on b gives along == squared length bit for bit
    // and the end is covered by this piece, not lost between two.
    const float squaredLength = Dot2(d, d);
    const float along = Dot2(e, d);
    if (!(squaredLength > 0.0f) || along > squaredLength || along < 0.0f ||
        (along == 0.0f && !coverStart))
        return 0.0f;
    const float across = (e.x * d.y - e.y * d.x) / std::sqrt(squaredLength);
    return SimpleBrushCoverage(across, width, anti, oversampling);
}

float PieceStrokeCoordinate(float u0, float u1, float t) {
    return std::clamp(u0 + (u1 - u0) * t, 0.0f, 1.0f);
}

PixelFactors BrushPixelFactors(const PixelFactorInputs& in) {
    PixelFactors f;
    f.size *= in.sizeReduction;
    f.alpha *= in.alphaReduction;
    f.size *= in.sizeCurve;
    f.alpha *= in.alphaCurve;
    f.size *= std::clamp((in.sizeMapValue - 1.0f) * in.sizeMapAmount + 1.0f, 0.0f, 1.0f);
    return f;
}

}  // namespace KvrnLib
