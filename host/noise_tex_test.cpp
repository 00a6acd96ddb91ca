#include "noise_tex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "gradient_tex.h"
#include "hold.h"

namespace {

class NoiseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        theHold.Clear();
        holder_.Set(NoiseClassDesc().Create(false));
        noise_ = static_cast<Noise*>(holder_.Get());
        noise_->Params()->SetValue(kNoiseSize, 0, 1.0);
    }
    void TearDown() override {
        theHold.Clear();
        SetAnimateMode(false);
    }

    // The mono values on a line of points through several noise cells at time t.
    std::vector<float> Samples(Noise& map, TimeValue t = 0) {
        Interval valid = FOREVER;
        map.Update(t, valid);
        std::vector<float> values;
        for (int i = 0; i < 400; ++i) {
            FixedShadeContext sc;
            sc.p = Point3(0.137f * float(i), 0.071f * float(i), 0.29f * float(i % 7));
            values.push_back(map.EvalMono(sc));
        }
        return values;
    }

    RefHolder holder_;
    Noise* noise_ = nullptr;
};

TEST(PerlinNoiseTest, VanishesOnTheLatticeAndStaysWithinItsRange) {
    for (int i = -3; i < 3; ++i)
        EXPECT_EQ(PerlinNoise(Point3(float(i), 2.0f * float(i), 7.0f)), 0.0f);
    float lo = 0.0f, hi = 0.0f;
    for (int i = 0; i < 5000; ++i) {
        const float n =
            PerlinNoise(Point3(0.0731f * float(i), 0.0413f * float(i), 0.0179f * float(i)));
        lo = std::min(lo, n);
        hi = std::max(hi, n);
    }
    EXPECT_GE(lo, -1.05f);
    EXPECT_LE(hi, 1.05f);
    EXPECT_LT(lo, -0.3f);
    EXPECT_GT(hi, 0.3f);
}

TEST_F(NoiseTest, EveryTypeIsDeterministicVariedAndWithinZeroToOne) {
    RefHolder otherHolder(NoiseClassDesc().Create(false));
    auto* other = static_cast<Noise*>(otherHolder.Get());
    other->Params()->SetValue(kNoiseSize, 0, 1.0);
    for (int type = 0; type < 3; ++type) {
        noise_->Params()->SetValue(kNoiseType, 0, type);
        other->Params()->SetValue(kNoiseType, 0, type);
        const std::vector<float> a = Samples(*noise_);
        EXPECT_EQ(a, Samples(*other)) << "type " << type;
        float lo = 1.0f, hi = 0.0f;
        for (float v : a) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        EXPECT_GE(lo, 0.0f) << "type " << type;
        EXPECT_LE(hi, 1.0f) << "type " << type;
        EXPECT_GT(hi - lo, 0.3f) << "type " << type;
    }
}

// A point whose pixel covers `footprint` world units.
class FootprintContext : public FixedShadeContext {
  public:
    void DP(Point3& dpdx, Point3& dpdy) override {
        dpdx = Point3(footprint, 0.0f, 0.0f);
        dpdy = Point3(0.0f, footprint, 0.0f);
    }
    float footprint = 0.0f;
};

TEST_F(NoiseTest, OctavesFinerThanThePixelFadeToTheirMean) {
    // type, value with every octave faded
    const std::pair<int, float> types[] = {{0, 0.5f}, {1, 0.5f}, {2, 0.224f}};
    for (const auto& [type, flat] : types) {
        noise_->Params()->SetValue(kNoiseType, 0, type);
        noise_->Params()->SetValue(kNoiseLevels, 0, 4.0);
        Interval valid = FOREVER;
        noise_->Update(0, valid);
        auto range = [this](float footprint) {
            float lo = 1.0f, hi = 0.0f;
            for (int i = 0; i < 200; ++i) {
                FootprintContext sc;
                sc.p = Point3(0.137f * float(i), 0.071f * float(i), 0.29f * float(i % 7));
                sc.footprint = footprint;
                const float v = noise_->EvalMono(sc);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            return std::pair(lo, hi);
        };
        const auto sharp = range(0.0f);
        const auto blurred = range(0.6f);  // only the first octave left, and faded
        const auto flatRange = range(2.0f);
        EXPECT_GT(sharp.second - sharp.first, 0.3f) << type;
        EXPECT_LT(blurred.second - blurred.first, sharp.second - sharp.first) << type;
        EXPECT_NEAR(flatRange.first, flat, 1e-3f) << type;
        EXPECT_NEAR(flatRange.second, flat, 1e-3f) << type;
    }
}

TEST_F(NoiseTest, ThresholdsCutBelowLowAndAboveHigh) {
    noise_->Params()->SetValue(kNoiseThresholdLow, 0, 0.45);
    noise_->Params()->SetValue(kNoiseThresholdHigh, 0, 0.55);
    const std::vector<float> cut = Samples(*noise_);
    noise_->Params()->SetValue(kNoiseThresholdLow, 0, 0.0);
    noise_->Params()->SetValue(kNoiseThresholdHigh, 0, 1.0);
    const std::vector<float> raw = Samples(*noise_);
    int zeros = 0, ones = 0, between = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] <= 0.45f) {
            EXPECT_EQ(cut[i], 0.0f) << raw[i];
            ++zeros;
        } else if (raw[i] >= 0.55f) {
            EXPECT_EQ(cut[i], 1.0f) << raw[i];
            ++ones;
        } else {
            EXPECT_NEAR(cut[i], (raw[i] - 0.45f) / 0.1f, 1e-4f);
            ++between;
        }
    }
    EXPECT_GT(zeros, 0);
    EXPECT_GT(ones, 0);
    EXPECT_GT(between, 0);

    // Colours follow the mono value.
    noise_->Params()->SetValue(kNoiseColor1, 0, ParamValue(Color(1.0f, 0.0f, 0.0f)));
    noise_->Params()->SetValue(kNoiseColor2, 0, ParamValue(Color(0.0f, 0.0f, 1.0f)));
    Interval valid = FOREVER;
    noise_->Update(0, valid);
    FixedShadeContext sc;
    sc.p = Point3(0.3f, 0.6f, 0.9f);
    const float m = noise_->EvalMono(sc);
    const AColor c = noise_->EvalColor(sc);
    EXPECT_FLOAT_EQ(c.r, 1.0f - m);
    EXPECT_FLOAT_EQ(c.b, m);
}

TEST_F(NoiseTest, AnimatedPhaseChangesThePatternAndNarrowsValidity) {
    SetAnimateMode(true);
    noise_->Params()->SetValue(kNoisePhaseParam, 0, 0.0);
    noise_->Params()->SetValue(kNoisePhaseParam, 4800, 2.0);
    SetAnimateMode(false);
    const std::vector<float> start = Samples(*noise_, 0);
    EXPECT_EQ(start, Samples(*noise_, 0));
    EXPECT_NE(start, Samples(*noise_, 2400));
    Interval valid = FOREVER;
    noise_->Update(2400, valid);
    EXPECT_EQ(valid, Interval(2400, 2400));
}

TEST(GradientTest, ColoursSitAtTheirPositionsLinearAndRadial) {
    theHold.Clear();
    RefHolder holder(GradientClassDesc().Create(false));
    auto* gradient = static_cast<Gradient*>(holder.Get());
    IParamBlock2* p = gradient->Params();
    p->SetValue(kGradientColor1, 0, ParamValue(Color(1.0f, 0.0f, 0.0f)));
    p->SetValue(kGradientColor2, 0, ParamValue(Color(0.0f, 1.0f, 0.0f)));
    p->SetValue(kGradientColor3, 0, ParamValue(Color(0.0f, 0.0f, 1.0f)));
    p->SetValue(kGradientColor2Pos, 0, 0.4);
    auto at = [gradient](float u, float v) {
        Interval valid = FOREVER;
        gradient->Update(0, valid);
        FixedShadeContext sc;
        sc.uvw = Point3(u, v, 0.0f);
        return gradient->EvalColor(sc).Rgb();
    };
    auto near = [](const Color& got, const Color& want) {
        return std::fabs(got.r - want.r) < 1e-4f && std::fabs(got.g - want.g) < 1e-4f &&
               std::fabs(got.b - want.b) < 1e-4f;
    };
    EXPECT_TRUE(near(at(0.3f, 0.99999f), Color(1.0f, 0.0f, 0.0f)));  // top
    EXPECT_TRUE(near(at(0.3f, 0.6f), Color(0.0f, 1.0f, 0.0f)));      // 0.4 from the top
    EXPECT_TRUE(near(at(0.3f, 0.3f), Color(0.0f, 0.5f, 0.5f)));      // halfway to colour 3
    EXPECT_TRUE(near(at(0.3f, 0.0f), Color(0.0f, 0.0f, 1.0f)));      // bottom

    p->SetValue(kGradientType, 0, 1);
    EXPECT_TRUE(near(at(0.5f, 0.5f), Color(1.0f, 0.0f, 0.0f)));  // centre
    EXPECT_TRUE(near(at(0.5f, 0.7f), Color(0.0f, 1.0f, 0.0f)));  // radius 0.2: position 0.4
    EXPECT_TRUE(near(at(0.0f, 0.5f), Color(0.0f, 0.0f, 1.0f)));  // the edge

    auto column = [&at] {
        std::vector<Color> colours;
        for (int i = 1; i < 20; ++i) colours.push_back(at(0.5f, 0.5f + 0.02f * float(i)));
        return colours;
    };
    const std::vector<Color> smooth = column();
    p->SetValue(kGradientNoiseAmount, 0, 0.5);
    EXPECT_NE(column(), smooth);
    theHold.Clear();
}

}  // namespace
