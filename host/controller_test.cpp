#include "controller.h"

#include <gtest/gtest.h>

namespace KvrnHost {
namespace {

TEST(KeyControllerTest, LinearKeysInterpolateExactlyWithTheirValidity) {
    KeyController<float> c(5.0f, Interpolation::Linear);
    Interval valid = FOREVER;
    EXPECT_FLOAT_EQ(c.GetValue(123, valid), 5.0f);
    EXPECT_EQ(valid, FOREVER);
    c.SetValue(0, 0.0f, true);
    c.SetValue(400, 40.0f, true);
    c.SetValue(200, 10.0f, true);
    valid = FOREVER;
    EXPECT_FLOAT_EQ(c.GetValue(100, valid), 5.0f);
    EXPECT_EQ(valid, Interval(100, 100));
    EXPECT_FLOAT_EQ(c.GetValue(300, valid), 25.0f);
    valid = FOREVER;
    EXPECT_FLOAT_EQ(c.GetValue(-50, valid), 0.0f);
    EXPECT_EQ(valid, Interval(TIME_NegInfinity, 0));
    valid = FOREVER;
    EXPECT_FLOAT_EQ(c.GetValue(900, valid), 40.0f);
    EXPECT_EQ(valid, Interval(400, TIME_PosInfinity));
}

TEST(KeyControllerTest, SmoothKeysPassThroughKeysAndBendBetween) {
    KeyController<float> c(0.0f, Interpolation::Smooth);
    c.SetValue(0, 0.0f, true);
    c.SetValue(100, 10.0f, true);
    c.SetValue(200, 0.0f, true);
    Interval valid = FOREVER;
    EXPECT_FLOAT_EQ(c.GetValue(0, valid), 0.0f);
    EXPECT_FLOAT_EQ(c.GetValue(100, valid), 10.0f);
    EXPECT_FLOAT_EQ(c.GetValue(200, valid), 0.0f);
    // A peak key has a flat tangent, so the curve is above the straight line next to it.
    EXPECT_GT(c.GetValue(50, valid), 5.0f);
    EXPECT_FLOAT_EQ(c.GetValue(50, valid), c.GetValue(150, valid));
}

TEST(KeyControllerTest, TwoSmoothKeysGiveTheStraightLine) {
    KeyController<Point3> c;
    c.SetValue(0, Point3(0, 0, 0), true);
    c.SetValue(100, Point3(10, 20, -30), true);
    Interval valid = FOREVER;
    Point3 mid = c.GetValue(25, valid);
    EXPECT_NEAR(mid.x, 2.5f, 1e-5f);
    EXPECT_NEAR(mid.y, 5.0f, 1e-5f);
    EXPECT_NEAR(mid.z, -7.5f, 1e-5f);
}

TEST(KeyControllerTest, BoolStepsAndIntRounds) {
    KeyController<bool> b(false, Interpolation::Linear);
    b.SetValue(0, true, true);
    b.SetValue(100, false, true);
    Interval valid = FOREVER;
    EXPECT_TRUE(b.GetValue(99, valid));
    EXPECT_EQ(valid, Interval(0, 99));
    EXPECT_FALSE(b.GetValue(100, valid));

    KeyController<int> i(0, Interpolation::Linear);
    i.SetValue(0, 0, true);
    i.SetValue(4, 3, true);
    EXPECT_EQ(i.GetValue(1, valid), 1);  // 0.75
    EXPECT_EQ(i.GetValue(2, valid), 2);  // 1.5 rounds away from zero
}

TEST(KeyControllerTest, SettingWithoutAnimateMovesEveryKeyByTheChange) {
    KeyController<Color> c(Color(), Interpolation::Linear);
    c.SetValue(0, Color(0.1f, 0.1f, 0.1f), true);
    c.SetValue(10, Color(0.3f, 0.3f, 0.3f), true);
    c.SetValue(0, Color(0.2f, 0.1f, 0.1f), false);
    ASSERT_EQ(c.Keys().size(), 2u);
    EXPECT_NEAR(c.Keys()[1].value.r, 0.4f, 1e-6f);
    EXPECT_NEAR(c.Keys()[1].value.g, 0.3f, 1e-6f);
    // Replacing the key at an existing time keeps one key there.
    c.SetValue(10, Color(1, 1, 1), true);
    EXPECT_EQ(c.Keys().size(), 2u);
}

}  // namespace
}  // namespace KvrnHost
