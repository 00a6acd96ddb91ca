#include "number_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

namespace KvrnVectorOut {
namespace {

std::string PrintfG(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%G", double(value));
    return text;
}

// printf itself is the oracle: the test process never changes the C locale. The listed values
// sit on the edges of the fixed and exponent forms, signed zero, infinities and NaN.
TEST(FormatG, MatchesPrintfOnEdgesAndOverManyMagnitudes) {
    const float inf = std::numeric_limits<float>::infinity();
    for (const float value : {0.00001f, 0.0001f, 1234567.0f, 320.5f, 0.0f, -0.0f, 999999.0f,
                              1000000.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(FormatG(value), PrintfG(value));
    }
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> mantissa(-10.0f, 10.0f);
    std::uniform_int_distribution<int> exponent(-12, 12);
    for (int i = 0; i < 20000; ++i) {
        float value = mantissa(random) * std::pow(10.0f, float(exponent(random)));
        if (i % 4 == 0) value = std::round(value * 100.0f) / 100.0f;  // short decimals
        ASSERT_EQ(FormatG(value), PrintfG(value)) << "value bits " << std::hexfloat << value;
    }
}

}  // namespace
}  // namespace KvrnVectorOut
