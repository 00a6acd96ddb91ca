#include "line_random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace KvrnLib {
namespace {

uint32_t Steps(uint32_t s, int n) {
    for (int k = 0; k < n; ++k) s = LineRandomStep(s);
    return s;
}

float Shaped(float v) { return v <= 0.0f ? (v + 1) * (v + 1) - 1 : 1 - (1 - v) * (1 - v); }

TEST(LineRandom, TableStartsAtZeroAndHoldsOneFullPeriod) {
    const auto& t = LineRandom::Table();
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[1], 7);
    EXPECT_EQ(t[2], 14434);  // 7 * 2061 + 7
    EXPECT_EQ(t[3], 60673);  // (14434 * 2061 + 7) mod 65536
    std::vector<bool> seen(65536, false);
    for (uint16_t v : t) {
        ASSERT_FALSE(seen[v]) << v;
        seen[v] = true;
    }
    EXPECT_EQ(LineRandomStep(t[65535]), 0u);  // the next value closes the cycle
    EXPECT_EQ(LineRandomStep(uint32_t(-1)), LineRandomStep(65535));
}

TEST(LineRandom, PlaceGivesTheCellKeysAndBilinearWeights) {
    const auto& t = LineRandom::Table();
    LineRandom r;
    // Grid position (2.25, -0.5) on cell 8: cells (2, -1), (3, -1), (2, 0), (3, 0).
    r.Place2({18.0f, -4.0f}, {18.0f, -4.0f}, 8.0f);
    const auto& p = r.Places();
    const float expectedWeights[4] = {0.375f, 0.125f, 0.375f, 0.125f};
    auto key = [&](uint32_t i, uint32_t jIndex) { return (t[jIndex] + 1u) * t[i] + t[jIndex]; };
    const uint32_t expectedKeys[4] = {key(2, 32767), key(3, 32767), key(2, 32768), key(3, 32768)};
    float total = 0;
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(p[k].key, expectedKeys[k]) << k;
        EXPECT_EQ(p[k + 4].key, expectedKeys[k] + 16384u) << k;
        EXPECT_FLOAT_EQ(p[k].weight, expectedWeights[k]) << k;
        EXPECT_FLOAT_EQ(p[k + 4].weight, expectedWeights[k]) << k;
        total += p[k].weight + p[k + 4].weight;
    }
    EXPECT_FLOAT_EQ(total, 2.0f);

    // Cells beyond one table period get the extra terms 13 / 255 (i) and 19 / 127 (j).
    r.Place2({-8.0f, 0.0f}, {0.0f, 32768.0f * 8.0f}, 8.0f);
    EXPECT_EQ(p[0].key, key(65535, 32768) + 13u);  // i = -1
    EXPECT_EQ(p[4].key, 19u + 16384u);             // i = 0, j = 32768: T[0] = 0
    r.Place2({65536.0f * 8.0f, -32769.0f * 8.0f}, {0, 0}, 8.0f);
    EXPECT_EQ(p[0].key, key(0, 65535) + 255u + 127u);  // i = 65536, j = -32769

    // Place1 straddles p by a quarter cell each way.
    LineRandom a, b;
    a.Place1({5.0f, 7.0f}, 4.0f);
    b.Place2({4.0f, 6.0f}, {6.0f, 8.0f}, 4.0f);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(a.Places()[k].key, b.Places()[k].key);
        EXPECT_EQ(a.Places()[k].weight, b.Places()[k].weight);
    }

    // A zero cell works as 0.001; positions that are not numbers do not break the grid.
    a.Place2({0.0105f, 0.0f}, {0, 0}, 0.0f);
    EXPECT_NEAR(a.Places()[1].weight, 0.5f, 1e-3f);
    a.Place2({std::numeric_limits<float>::quiet_NaN(), 1e30f}, {-1e30f, 0}, 1.0f);
    EXPECT_TRUE(std::isfinite(a.Noise(3)));
}

TEST(LineRandom, NoiseFollowsTheHashAndShaping) {
    const auto& t = LineRandom::Table();
    LineRandom r;
    r.Seed(123);
    EXPECT_EQ(r.Base(), Steps(123, 9));
    r.Place2({16.0f, -24.0f}, {16.0f, -24.0f}, 8.0f);  // exactly on cell (2, -3)
    const uint32_t k = (t[32765] + 1u) * t[2] + t[32765];
    for (uint32_t salt : {0u, 0x560Cu}) {
        auto u = [&](uint32_t key) {
            return float(Steps((key + r.Base() + salt) ^ salt, 4)) / 65536.0f;
        };
        const float noise = Shaped(u(k) + u(k + 16384) - 1.0f);
        EXPECT_FLOAT_EQ(r.Noise(salt), noise) << salt;
        EXPECT_FLOAT_EQ(r.Unit(salt), (noise + 1) / 2) << salt;
        EXPECT_FLOAT_EQ(r.Signed(3.0f, salt), noise * 3.0f) << salt;
        EXPECT_FLOAT_EQ(r.Positive(3.0f, salt), noise * 1.5f + 1.5f) << salt;
    }
    EXPECT_EQ(r.Signed(0.0f, 5), 0.0f);
    EXPECT_EQ(LineRandom().Noise(9), -1.0f);  // no place yet: every weight 0
}

TEST(LineRandom, NoiseIsBoundedRepeatableAndBalanced) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> coord(-3000.0f, 3000.0f);
    const int n = 20000;
    int nonNegative = 0, differsBySeed = 0;
    double sum = 0, sumSquares = 0;
    for (int i = 0; i < n; ++i) {
        const Point2 p{coord(gen), coord(gen)};
        const Point2 q{coord(gen), coord(gen)};
        LineRandom a, b, c;
        a.Seed(uint32_t(i));
        b.Seed(uint32_t(i));
        c.Seed(uint32_t(i) + 1);
        a.Place2(p, q, 8.0f);
        b.Place2(p, q, 8.0f);
        c.Place2(p, q, 8.0f);
        const float v = a.Noise(0x560C);
        ASSERT_GE(v, -1.0f);
        ASSERT_LE(v, 1.0f);
        ASSERT_EQ(v, b.Noise(0x560C));
        ASSERT_GE(a.Positive(2.0f, 0xC864E), 0.0f);
        ASSERT_LE(a.Positive(2.0f, 0xC864E), 2.0f);
        differsBySeed += v != c.Noise(0x560C);
        nonNegative += v >= 0.0f;
        sum += v;
        sumSquares += double(v) * v;
    }
    // Extra stroke copies are drawn where noise(0x560C) >= 0: about half of the positions.
    EXPECT_NEAR(double(nonNegative) / n, 0.5, 0.05);
    EXPECT_NEAR(sum / n, 0.0, 0.05);
    EXPECT_GT(sumSquares / n, 0.1);  // not collapsed onto a few values
    EXPECT_GT(differsBySeed, n * 9 / 10);
}

}  // namespace
}  // namespace KvrnLib
