// The sixteen colour blend modes shared by brushes, the toon material and its maps. Colours are
// not clamped: values outside 0 to 1 pass through the formulas as they are.
#pragma once

#include <cstdint>

#include "color_float.h"

namespace KvrnLib {

// Blend mode indices as stored in every blend parameter. Hard Light is 6 and Soft Light 7.
enum BlendMode : int32_t {
    kBlendNormal = 0,
    kBlendAdditive = 1,
    kBlendSubtractive = 2,
    kBlendMultiply = 3,
    kBlendScreen = 4,
    kBlendOverlay = 5,
    kBlendHardLight = 6,
    kBlendSoftLight = 7,
    kBlendDarken = 8,
    kBlendLighten = 9,
    kBlendDifference = 10,
    kBlendExclusion = 11,
    kBlendHue = 12,
    kBlendSaturation = 13,
    kBlendColor = 14,
    kBlendLuminosity = 15,
};
inline constexpr int32_t kBlendModeCount = 16;

inline bool IsValidBlendMode(int32_t mode) { return mode >= 0 && mode < kBlendModeCount; }
// Throws std::invalid_argument naming the mode when it is outside 0 to 15.
void CheckBlendMode(int32_t mode);

// Hue, saturation and value, each 0 to 1 for colours in 0 to 1; grey has hue 0.
struct ColorHSV {
    float h = 0.0f;
    float s = 0.0f;
    float v = 0.0f;
};
ColorHSV RGBtoHSV(float r, float g, float b);
ColorFloat HSVtoRGB(const ColorHSV& hsv, float alpha);

// Applies colour b onto colour a with `mode`, per RGB channel; the result keeps a's alpha.
// Throws std::invalid_argument for a mode outside 0 to 15.
ColorFloat BlendOp(const ColorFloat& a, const ColorFloat& b, int32_t mode);

// dst moved towards BlendOp(dst, src, mode) by `amount` (RGB, no clamping); amount 0 returns dst
// unchanged for every mode.
ColorFloat Blend(const ColorFloat& dst, const ColorFloat& src, float amount, int32_t mode);

}  // namespace KvrnLib
