#include "blend_op.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

namespace KvrnLib {
namespace {

// Per channel (a, b): red (0.25, 0.75) takes Soft Light's square-root branch, green
// (0.75, 0.25) its darkening branch, blue (0.1, 0.9) its near-black branch.
const ColorFloat kBase{0.25f, 0.75f, 0.1f, 0.8f};
const ColorFloat kApplied{0.75f, 0.25f, 0.9f, 0.3f};

TEST(BlendOp, SeparableModesGiveTheirValuesPerChannel) {
    struct Case {
        int32_t mode;
        std::array<float, 3> rgb;
    };
    const Case cases[] = {
        {kBlendNormal, {0.75f, 0.25f, 0.9f}},
        {kBlendAdditive, {1.0f, 1.0f, 1.0f}},
        {kBlendSubtractive, {-0.5f, 0.5f, -0.8f}},
        {kBlendMultiply, {0.1875f, 0.1875f, 0.09f}},
        {kBlendScreen, {0.8125f, 0.8125f, 0.91f}},
        {kBlendOverlay, {0.375f, 0.625f, 0.18f}},    // chosen by the base
        {kBlendHardLight, {0.625f, 0.375f, 0.82f}},  // chosen by the applied colour
        {kBlendSoftLight, {0.375f, 0.65625f, 0.2584f}},
        {kBlendDarken, {0.25f, 0.25f, 0.1f}},
        {kBlendLighten, {0.75f, 0.75f, 0.9f}},
        {kBlendDifference, {0.5f, 0.5f, 0.8f}},
        {kBlendExclusion, {0.625f, 0.625f, 0.82f}},
    };
    for (const Case& c : cases) {
        const ColorFloat out = BlendOp(kBase, kApplied, c.mode);
        EXPECT_NEAR(out.r, c.rgb[0], 1e-6f) << "mode " << c.mode;
        EXPECT_NEAR(out.g, c.rgb[1], 1e-6f) << "mode " << c.mode;
        EXPECT_NEAR(out.b, c.rgb[2], 1e-6f) << "mode " << c.mode;
        EXPECT_EQ(out.a, kBase.a) << "mode " << c.mode;
    }
}

TEST(BlendOp, HsvModesMixHueSaturationAndValue) {
    const ColorFloat red{1.0f, 0.0f, 0.0f, 1.0f};    // hue 0, saturation 1, value 1
    const ColorFloat teal{0.25f, 0.5f, 0.5f, 0.5f};  // hue 0.5, saturation 0.5, value 0.5
    const auto expect = [&](int32_t mode, float r, float g, float b) {
        const ColorFloat out = BlendOp(red, teal, mode);
        EXPECT_NEAR(out.r, r, 1e-6f) << "mode " << mode;
        EXPECT_NEAR(out.g, g, 1e-6f) << "mode " << mode;
        EXPECT_NEAR(out.b, b, 1e-6f) << "mode " << mode;
    };
    expect(kBlendHue, 0.5f, 0.25f, 0.25f);       // hue of a, saturation and value of b
    expect(kBlendSaturation, 0.0f, 0.5f, 0.5f);  // saturation of a
    expect(kBlendColor, 0.5f, 0.0f, 0.0f);       // hue and saturation of a
    expect(kBlendLuminosity, 0.5f, 1.0f, 1.0f);  // value of a

    // Grey has hue 0 and no saturation; conversions go both ways.
    EXPECT_EQ(RGBtoHSV(0.3f, 0.3f, 0.3f).s, 0.0f);
    for (const ColorFloat& c : {ColorFloat{0.0f, 0.5f, 0.95f, 1}, ColorFloat{0.9f, 0.1f, 0.7f, 1},
                                ColorFloat{0.2f, 1.0f, 0.0f, 1}, ColorFloat{0.9f, 0.5f, 0.0f, 1}}) {
        const ColorFloat back = HSVtoRGB(RGBtoHSV(c.r, c.g, c.b), 1.0f);
        EXPECT_NEAR(back.r, c.r, 1e-6f);
        EXPECT_NEAR(back.g, c.g, 1e-6f);
        EXPECT_NEAR(back.b, c.b, 1e-6f);
    }
}

TEST(BlendOp, BlendMovesByTheAmountAndRejectsUnknownModes) {
    for (int32_t mode = 0; mode < kBlendModeCount; ++mode) {
        const ColorFloat same = Blend(kBase, kApplied, 0.0f, mode);
        EXPECT_TRUE(same.r == kBase.r && same.g == kBase.g && same.b == kBase.b) << mode;
    }
    const ColorFloat half = Blend(kBase, kApplied, 0.5f, kBlendMultiply);
    EXPECT_NEAR(half.r, 0.25f + (0.1875f - 0.25f) * 0.5f, 1e-6f);

    EXPECT_THROW(BlendOp(kBase, kApplied, 16), std::invalid_argument);
    EXPECT_THROW(Blend(kBase, kApplied, 0.5f, 99), std::invalid_argument);
}

}  // namespace
}  // namespace KvrnLib
