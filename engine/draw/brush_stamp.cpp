#include "brush_stamp.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "line_random.h"
#include "stage_runner.h"

namespace KvrnLib {

namespace {

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

float StampImageAngle(const BrushDrawSettings& brush, uint32_t seed) {
    float angle = brush.angle;
    if (seed != 0) {
        const uint32_t s = LineRandomStep(LineRandom::Table()[(seed + 777u) & 0xFFFFu]);
        angle += LineRandomToSigned(s) * brush.angleRnd * 0.5f;
    }
    return angle;
}

bool StampIsRadial(const BrushDrawSettings& brush) {
    const bool mapped = brush.brushMap && brush.mapOpacity != 0.0f;
    return brush.brushType == kBrushNormal && !(brush.groove > 0.0f) && !mapped &&
           brush.reductionStart * brush.reductionStart <= brush.reductionEnd * brush.reductionEnd;
}

float StampShape(const BrushDrawSettings& brush, float u, float v, uint32_t seed) {
    if (!std::isfinite(u) || !std::isfinite(v)) return 0.0f;
    const bool simple = brush.brushType != kBrushNormal && brush.brushType != kBrushMultiple;

    const float radians = Radians(StampImageAngle(brush, seed));
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
    if (!(gx >= -1.0f && gx <= float(imageSize) && gy >= -1.0f && gy <= float(imageSize)) ||
        index < 0 || index >= imageCount)
        return 0.0f;
    // Hot in stroke drawing: the stored image starts at -1, so g + 1 >= 0 truncates like floor;
    // on the last column or row the taps step back one and take weight 1 on the far tap.
    const int32_t column = std::min(int32_t(gx + 1.0f), imageSize);
    const int32_t row = std::min(int32_t(gy + 1.0f), imageSize);
    const float tx = gx - float(column - 1);
    const float ty = gy - float(row - 1);
    const uint8_t* p = pixels.data() + size_t(index) * size_t(storedImageSize) +
                       size_t(row) * size_t(rowLength) + size_t(column);
    const float top = float(p[0]) * (1.0f - tx) + float(p[1]) * tx;
    const float bottom = float(p[rowLength]) * (1.0f - tx) + float(p[rowLength + 1]) * tx;
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
    const float squaredLength = Dot(d, d);
    const float along = Dot(e, d);
    if (!(squaredLength > 0.0f) || along > squaredLength || along < 0.0f ||
        (along == 0.0f && !coverStart))
        return 0.0f;
    const float across = (e.x * d.y - e.y * d.x) / std::sqrt(squaredLength);
    return SimpleBrushCoverage(across, width, anti, oversampling);
}

float PieceStrokeCoordinate(float u0, float u1, float t) {
    return std::clamp(u0 + (u1 - u0) * t, 0.0f, 1.0f);
}

StampFrame CopyStampFrame(float imageAngle, float imageStretch, float copyAngle,
                          float copyStretch) {
    const float ca = std::cos(Radians(imageAngle));
    const float sa = std::sin(Radians(imageAngle));
    const float cc = std::cos(Radians(copyAngle));
    const float sc = std::sin(Radians(copyAngle));
    const StampExtent image = StretchExtent(imageStretch), copy = StretchExtent(copyStretch);
    const float sx = image.along / copy.along, sy = image.across / copy.across;
    // R(-imageAngle) * diag(sx, sy) * R(copyAngle), R turning as StampShape does.
    return {ca * sx * cc + sa * sy * sc, -ca * sx * sc + sa * sy * cc, -sa * sx * cc + ca * sy * sc,
            sa * sx * sc + ca * sy * cc};
}

StampFrame CopyStampMetric(float copyAngle, float copyStretch) {
    const StampExtent extent = StretchExtent(copyStretch);
    const float ex = 1.0f / extent.along, ey = 1.0f / extent.across;
    if (ex == 1.0f && ey == 1.0f) return {};
    const float c = std::cos(Radians(copyAngle));
    const float s = std::sin(Radians(copyAngle));
    const float xy = s * c * (ey * ey - ex * ex);
    return {ex * ex * c * c + ey * ey * s * s, xy, xy, ex * ex * s * s + ey * ey * c * c};
}

void RowSpan::AddBand(Point2 from, Point2 alongVec, float s0, float s1, Point2 normal, float reach,
                      float y) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    float a = -kInfinity, b = kInfinity;
    const float dy = y - from.y;
    // coef * dx + offset within [low, high], for dx = x - from.x.
    auto limit = [&](float coef, float offset, float low, float high) {
        if (coef == 0.0f) {
            if (offset < low || offset > high) {
                a = kInfinity;
                b = -kInfinity;
            }
            return;
        }
        float l = (low - offset) / coef, h = (high - offset) / coef;
        if (l > h) std::swap(l, h);
        a = std::max(a, l);
        b = std::min(b, h);
    };
    limit(alongVec.x, dy * alongVec.y, s0, s1);
    limit(normal.x, dy * normal.y, -reach, reach);
    if (a <= b) {
        lo = std::min(lo, from.x + a);
        hi = std::max(hi, from.x + b);
    }
}

void RowSpan::AddDisc(Point2 centre, float reach, float y, const std::array<Point2, 2>* wedge,
                      float slack) {
    const float dy = y - centre.y;
    const float h2 = reach * reach - dy * dy;
    if (!(h2 >= 0.0f)) return;
    const float h = std::sqrt(h2);
    float a = -h, b = h;
    if (wedge) {
        for (const Point2& v : *wedge) {
            // v.x * dx + v.y * dy >= -slack, for dx = x - centre.x.
            const float offset = v.y * dy + slack;
            if (v.x == 0.0f) {
                if (offset < 0.0f) return;
            } else if (v.x > 0.0f) {
                a = std::max(a, -offset / v.x);
            } else {
                b = std::min(b, -offset / v.x);
            }
        }
        if (!(a <= b)) return;
    }
    lo = std::min(lo, centre.x + a);
    hi = std::max(hi, centre.x + b);
}

uint32_t StrokeHash(uint32_t a, uint32_t b) {
    // Two rounds of a multiply-xorshift finaliser (as in MurmurHash3) over the mixed inputs.
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}

namespace {

// The whole cells on either side of s (wrapped by period when it is positive) and the
// smoothstep weight of the second.
struct CellPair {
    uint32_t first = 0;
    uint32_t second = 0;
    float weight = 0.0f;
};

CellPair CellsAround(float s, int32_t period) {
    if (!std::isfinite(s)) s = 0.0f;
    s = std::clamp(s, -1.0e6f, 1.0e6f);
    const float cell = std::floor(s);
    int64_t first = int64_t(cell), second = first + 1;
    if (period > 0) {
        first = ((first % period) + period) % period;
        second = ((second % period) + period) % period;
    }
    const float f = s - cell;
    return {uint32_t(first), uint32_t(second), f * f * (3.0f - 2.0f * f)};
}

float HashUnit(uint32_t h) { return float(h >> 8) * (1.0f / 16777215.0f); }

float SmoothStep(float lo, float hi, float x) {
    const float t = std::clamp((x - lo) / (hi - lo), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

}  // namespace

float StrokeNoise(uint32_t seed, float s, int32_t period) {
    const CellPair cells = CellsAround(s, period);
    const float a = HashUnit(StrokeHash(seed, cells.first));
    const float b = HashUnit(StrokeHash(seed, cells.second));
    return a + (b - a) * cells.weight;
}

RakeTines MakeRakeTines(float lineSize, uint32_t seed) {
    RakeTines rake;
    const float size = std::isfinite(lineSize) ? std::clamp(lineSize, 0.0f, 1000.0f) : 0.0f;
    rake.count = std::clamp(int32_t(size / 2.5f + 0.5f), 3, RakeTines::kMaxCount);
    rake.spacing = 2.0f / float(rake.count);
    // Thin brushes keep tines of most of a pixel, or they would fade to grey.
    const float minHalfWidth =
        size > 0.0f ? std::min(0.8f / size, 0.42f * rake.spacing) : 0.42f * rake.spacing;
    for (int32_t k = 0; k < rake.count; ++k) {
        const uint32_t h = StrokeHash(seed, uint32_t(k));
        auto part = [h](int shift) { return float((h >> shift) & 0x3FFu) / 1023.0f; };
        RakeTine& tine = rake.tines[size_t(k)];
        // Jitter and widths keep most gaps open; an occasional pair merges, as bristles do.
        tine.centre = -1.0f + rake.spacing * (float(k) + 0.5f + 0.4f * (part(0) - 0.5f));
        tine.halfWidth = std::max(rake.spacing * (0.17f + 0.15f * part(10)), minHalfWidth);
        tine.strength = 0.6f + 0.4f * part(20);
        tine.seed = StrokeHash(h, 0x5EEDu);
    }
    return rake;
}

float RakeCoverage(const RakeTines& rake, float across, float filterHalf, float along) {
    if (rake.count <= 0 || !(filterHalf > 0.0f) || !std::isfinite(across)) return 0.0f;
    const float position = (std::clamp(across, -2.0f, 2.0f) + 1.0f) / rake.spacing - 0.5f;
    const float extra = std::min(filterHalf / rake.spacing, float(rake.count)) + 1.0f;
    const int32_t k0 = std::max(int32_t(std::floor(position - extra)), 0);
    const int32_t k1 = std::min(int32_t(std::ceil(position + extra)), rake.count - 1);
    float sum = 0.0f;
    for (int32_t k = k0; k <= k1; ++k) {
        const RakeTine& tine = rake.tines[size_t(k)];
        const float overlap = std::min(across + filterHalf, tine.centre + tine.halfWidth) -
                              std::max(across - filterHalf, tine.centre - tine.halfWidth);
        if (!(overlap > 0.0f)) continue;
        // Paint runs thin in places: the tine fades to 40 % and back along the stroke.
        const float wander = 0.4f + 0.6f * SmoothStep(0.15f, 0.6f, StrokeNoise(tine.seed, along));
        sum += overlap / (2.0f * filterHalf) * tine.strength * wander;
    }
    return std::min(sum, 1.0f);
}

StampBlend RandomStampAt(uint32_t seed, float s, int32_t imageCount, int32_t period) {
    StampBlend blend;
    if (imageCount <= 1) return blend;
    const CellPair cells = CellsAround(s, period);
    blend.first = int32_t(StrokeHash(seed, cells.first) % uint32_t(imageCount));
    blend.second = int32_t(StrokeHash(seed, cells.second) % uint32_t(imageCount));
    blend.weight = cells.weight;
    return blend;
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
