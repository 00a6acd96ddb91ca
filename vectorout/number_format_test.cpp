#include "number_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

namespace KvrnVectorOut {
namespace {

TEST(FormatG, KnownValues) {
    EXPECT_EQ(FormatG(0.00001f), "1E-05");
    EXPECT_EQ(FormatG(1234567.0f), "1.23457E+06");
    EXPECT_EQ(FormatG(320.5f), "320.5");
    EXPECT_EQ(FormatG(640.0f), "640");
    EXPECT_EQ(FormatG(0.0f), "0");
    EXPECT_EQ(FormatG(-0.0f), "-0");
    EXPECT_EQ(FormatG(-1.0f), "-1");
    EXPECT_EQ(FormatG(0.1f), "0.1");
    EXPECT_EQ(FormatG(0.0001f), "0.0001");
    EXPECT_EQ(FormatG(999999.0f), "999999");
    EXPECT_EQ(FormatG(1000000.0f), "1E+06");
    EXPECT_EQ(FormatG(std::numeric_limits<float>::infinity()), "INF");
    EXPECT_EQ(FormatG(-std::numeric_limits<float>::infinity()), "-INF");
    EXPECT_EQ(FormatG(std::numeric_limits<float>::quiet_NaN()), "NAN");
}

// printf itself is the oracle: the test process never changes the C locale.
TEST(FormatG, MatchesPrintfOverManyMagnitudes) {
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> mantissa(-10.0f, 10.0f);
    std::uniform_int_distribution<int> exponent(-12, 12);
    char expected[64];
    for (int i = 0; i < 20000; ++i) {
        float value = mantissa(random) * std::pow(10.0f, float(exponent(random)));
        if (i % 4 == 0) value = std::round(value * 100.0f) / 100.0f;  // short decimals
        std::snprintf(expected, sizeof expected, "%G", double(value));
        ASSERT_EQ(FormatG(value), expected) << "value bits " << std::hexfloat << value;
    }
}

TEST(PsText, NumbersIntegersAndLineEnds) {
    PsText text;
    text.Numbers({1.5f, -2.0f, 1e-5f}).Put(" x").EndLine();
    text.D(-12).Put(" ").D(0).Line(" j");
    text.Numbers({}).Line("end");
    EXPECT_EQ(text.Take(), "1.5 -2 1E-05 x\r\n-12 0 j\r\nend\r\n");
}

}  // namespace
}  // namespace KvrnVectorOut
