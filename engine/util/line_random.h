// Position-hashed random values for stroke drawing. A stroke's variations depend on where its
// ends lie on screen and on the copy's seed, not on the order strokes are drawn in, so they stay
// stable from frame to frame and between threads. One LineRandom per thread; the table it reads
// is shared, built once on first use and read-only afterwards.
#pragma once

#include <array>
#include <cstdint>

#include "geometry.h"

namespace KvrnLib {

// One step of the 16-bit generator s <- (s * 2061 + 7) mod 65536. Only the low 16 bits of s
// matter, so a negative seed converted to uint32_t steps like its value mod 65536.
constexpr uint32_t LineRandomStep(uint32_t s) { return (s * 2061u + 7u) & 0xFFFFu; }

// A generator value mapped to [-1, 1): s / 32768 - 1.
constexpr float LineRandomToSigned(uint32_t s) { return float(s & 0xFFFFu) / 32768.0f - 1.0f; }

class LineRandom {
  public:
    static constexpr int kTableSize = 65536;
    // Added to the keys of the second point of Place2.
    static constexpr uint32_t kSecondPointOffset = 16384;

    struct Place {
        uint32_t key = 0;  // only the low 16 bits take part in Noise
        float weight = 0.0f;
    };

    // T[i] is the generator's i-th value from s = 0 (T[0] = 0, T[1] = 7). The generator has the
    // full period, so T is a permutation of 0 .. 65535. Safe to call from any thread.
    static const std::array<uint16_t, kTableSize>& Table();

    // base = the generator applied nine times to copySeed.
    void Seed(uint32_t copySeed);

    // The four grid cells around p, then around q (keys offset by kSecondPointOffset), with
    // bilinear weights, on a grid of cell size max(cell, 0.001). Coordinates beyond +-2^30 cells
    // are clamped there; NaN counts as 0.
    void Place2(Point2 p, Point2 q, float cell);
    // Place2 of p - (cell/4, cell/4) and p + (cell/4, cell/4).
    void Place1(Point2 p, float cell);

    // Shaped noise at the current place, in [-1, 1]: the unshaped value lies in [-1, 1), but the
    // shaping rounds the largest values to exactly 1 in float, so an index computed from Unit
    // must be limited by its caller. Before the first Place call every weight is 0 and the
    // result is -1.
    float Noise(uint32_t salt) const;
    // Noise(salt) * range; exactly 0 when range is 0.
    float Signed(float range, uint32_t salt) const;
    // (Noise(salt) + 1) / 2, in [0, 1].
    float Unit(uint32_t salt) const;
    // Signed(range / 2, salt) + range / 2, in [0, range] for range >= 0.
    float Positive(float range, uint32_t salt) const;

    uint32_t Base() const { return base_; }
    const std::array<Place, 8>& Places() const { return places_; }

  private:
    uint32_t base_ = 0;
    std::array<Place, 8> places_{};
};

}  // namespace KvrnLib
