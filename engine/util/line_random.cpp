#include "line_random.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace KvrnLib {

namespace {

// Keeps cell indices (and i + 1) far from the int64 limits and the products of the key terms
// small; no screen position comes near 2^30 cells.
constexpr float kMaxCell = 1073741824.0f;

struct GridPoint {
    int64_t cell;
    float frac;
};

GridPoint ToGrid(float coordinate, float cell) {
    float g = coordinate / cell;
    if (std::isnan(g)) g = 0.0f;
    g = std::clamp(g, -kMaxCell, kMaxCell);
    const float whole = std::floor(g);
    return {int64_t(whole), g - whole};
}

// One table period of cells along each axis; rows start half a period below 0.
constexpr int kPeriodBits = 16;
static_assert(LineRandom::kTableSize == 1 << kPeriodBits);
constexpr int64_t kPeriodMask = LineRandom::kTableSize - 1;
constexpr int64_t kRowShift = LineRandom::kTableSize / 2;
// Salts per table period away from the central one, so that far cells do not repeat its keys:
// columns before the first period end and after it, rows above and below.
constexpr uint32_t kSaltColumnNear = 13, kSaltColumnFar = 255;
constexpr uint32_t kSaltRowAbove = 19, kSaltRowBelow = 127;

// Key of grid cell (i, j). The table index of i is i mod the period and that of j is
// (j + half a period) mod the period; cells beyond one table period get the small extra terms hi
// and hj. Divisions round down.
uint32_t CellKey(const std::array<uint16_t, LineRandom::kTableSize>& t, int64_t i, int64_t j,
                 uint32_t offset) {
    const int64_t jShifted = j + kRowShift;
    const uint32_t tj = t[size_t(jShifted & kPeriodMask)];
    const uint32_t ti = t[size_t(i & kPeriodMask)];
    const int64_t iPeriod = i >> kPeriodBits;
    const int64_t jPeriod = jShifted >> kPeriodBits;
    const uint32_t hi = uint32_t(std::llabs(iPeriod) *
                                 (i < LineRandom::kTableSize ? kSaltColumnNear : kSaltColumnFar));
    const uint32_t hj =
        uint32_t(std::llabs(jPeriod) * (jPeriod > 0 ? kSaltRowAbove : kSaltRowBelow));
    return (tj + 1u) * ti + tj + hi + hj + offset;
}

void PlaceFour(const std::array<uint16_t, LineRandom::kTableSize>& t, Point2 p, float cell,
               uint32_t offset, LineRandom::Place* out) {
    const GridPoint x = ToGrid(p.x, cell);
    const GridPoint y = ToGrid(p.y, cell);
    out[0] = {CellKey(t, x.cell, y.cell, offset), (1.0f - x.frac) * (1.0f - y.frac)};
    out[1] = {CellKey(t, x.cell + 1, y.cell, offset), x.frac * (1.0f - y.frac)};
    out[2] = {CellKey(t, x.cell, y.cell + 1, offset), (1.0f - x.frac) * y.frac};
    out[3] = {CellKey(t, x.cell + 1, y.cell + 1, offset), x.frac * y.frac};
}

}  // namespace

const std::array<uint16_t, LineRandom::kTableSize>& LineRandom::Table() {
    // A function-local static: the language makes its one-time initialisation thread-safe.
    static const std::array<uint16_t, kTableSize> table = [] {
        std::array<uint16_t, kTableSize> t{};
        uint32_t s = 0;
        for (uint16_t& entry : t) {
            entry = uint16_t(s);
            s = LineRandomStep(s);
        }
        return t;
    }();
    return table;
}

void LineRandom::Seed(uint32_t copySeed) {
    uint32_t s = copySeed;
    for (int k = 0; k < 9; ++k) s = LineRandomStep(s);
    base_ = s;
}

void LineRandom::Place2(Point2 p, Point2 q, float cell) {
    const float size = std::max(cell, 0.001f);
    const auto& t = Table();
    PlaceFour(t, p, size, 0, &places_[0]);
    PlaceFour(t, q, size, kSecondPointOffset, &places_[4]);
}

void LineRandom::Place1(Point2 p, float cell) {
    const float d = cell / 4.0f;
    Place2({p.x - d, p.y - d}, {p.x + d, p.y + d}, cell);
}

float LineRandom::Noise(uint32_t salt) const {
    float sum = 0.0f;
    for (const Place& place : places_) {
        uint32_t s = (place.key + base_ + salt) ^ salt;
        for (int k = 0; k < 4; ++k) s = LineRandomStep(s);
        sum += place.weight * (float(s) / float(kTableSize));
    }
    // The weights add up to 2, so v lies in [-1, 1); the shaping pushes values away from 0.
    const float v = sum - 1.0f;
    if (v <= 0.0f) return (v + 1.0f) * (v + 1.0f) - 1.0f;
    return 1.0f - (1.0f - v) * (1.0f - v);
}

float LineRandom::Signed(float range, uint32_t salt) const {
    return range == 0.0f ? 0.0f : Noise(salt) * range;
}

float LineRandom::Unit(uint32_t salt) const { return (Noise(salt) + 1.0f) / 2.0f; }

float LineRandom::Positive(float range, uint32_t salt) const {
    return Signed(range / 2.0f, salt) + range / 2.0f;
}

}  // namespace KvrnLib
