#include "blend_op.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace KvrnLib {

namespace {

// 32/255 rounded to single precision: the knee between Soft Light's two lightening curves.
constexpr float kSoftLightKnee = 0.1254902f;

float Overlay(float a, float b) {
    return a < 0.5f ? 2.0f * a * b : 1.0f - 2.0f * (1 - a) * (1 - b);
}

float SoftLight(float a, float b) {
    const float d = 2.0f * b - 1.0f;
    if (b < 0.5f) return a + d * (a - a * a);
    if (a > kSoftLightKnee) return a + d * (std::sqrt(a) - a);
    return a + d * (a - a * a) * (3.0f - 8.0f * a);
}

float Channel(float a, float b, int32_t mode) {
    switch (mode) {
        case kBlendNormal:
            return b;
        case kBlendAdditive:
            return a + b;
        case kBlendSubtractive:
            return a - b;
        case kBlendMultiply:
            return a * b;
        case kBlendScreen:
            return 1.0f - (1.0f - a) * (1.0f - b);
        case kBlendOverlay:
            return Overlay(a, b);
        case kBlendHardLight:
            return Overlay(b, a);
        case kBlendSoftLight:
            return SoftLight(a, b);
        case kBlendDarken:
            return std::min(a, b);
        case kBlendLighten:
            return std::max(a, b);
        case kBlendDifference:
            return std::fabs(a - b);
        case kBlendExclusion:
            return (1.0f - a) * b + (1.0f - b) * a;
        default:
            return b;
    }
}

}  // namespace

ColorHSV RGBtoHSV(float r, float g, float b) {
    const float hi = std::max({r, g, b});
    const float lo = std::min({r, g, b});
    const float delta = hi - lo;
    ColorHSV out;
    out.v = hi;
    out.s = hi > 0.0f ? delta / hi : 0.0f;
    if (delta <= 0.0f) return out;
    float h;
    if (r == hi)
        h = (g - b) / delta;
    else if (g == hi)
        h = 2.0f + (b - r) / delta;
    else
        h = 4.0f + (r - g) / delta;
    h /= 6.0f;
    out.h = h < 0.0f ? h + 1.0f : h;
    return out;
}

ColorFloat HSVtoRGB(const ColorHSV& hsv, float alpha) {
    const float v = hsv.v;
    if (hsv.s <= 0.0f) return {v, v, v, alpha};
    float h6 = (hsv.h - std::floor(hsv.h)) * 6.0f;
    if (h6 >= 6.0f) h6 = 0.0f;
    const int sector = static_cast<int>(h6);
    const float f = h6 - static_cast<float>(sector);
    const float p = v * (1.0f - hsv.s);
    const float q = v * (1.0f - hsv.s * f);
    const float t = v * (1.0f - hsv.s * (1.0f - f));
    switch (sector) {
        case 0:
            return {v, t, p, alpha};
        case 1:
            return {q, v, p, alpha};
        case 2:
            return {p, v, t, alpha};
        case 3:
            return {p, q, v, alpha};
        case 4:
            return {t, p, v, alpha};
        default:
            return {v, p, q, alpha};
    }
}

void CheckBlendMode(int32_t mode) {
    if (!IsValidBlendMode(mode)) {
        throw std::invalid_argument("blend mode " + std::to_string(mode) +
                                    " is out of range 0 to 15.");
    }
}

ColorFloat BlendOp(const ColorFloat& a, const ColorFloat& b, int32_t mode) {
    CheckBlendMode(mode);
    if (mode >= kBlendHue) {
        const ColorHSV ha = RGBtoHSV(a.r, a.g, a.b);
        const ColorHSV hb = RGBtoHSV(b.r, b.g, b.b);
        ColorHSV out;
        switch (mode) {
            case kBlendHue:
                out = {ha.h, hb.s, hb.v};
                break;
            case kBlendSaturation:
                out = {hb.h, ha.s, hb.v};
                break;
            case kBlendColor:
                out = {ha.h, ha.s, hb.v};
                break;
            default:
                out = {hb.h, hb.s, ha.v};
                break;
        }
        return HSVtoRGB(out, a.a);
    }
    return {Channel(a.r, b.r, mode), Channel(a.g, b.g, mode), Channel(a.b, b.b, mode), a.a};
}

ColorFloat Blend(const ColorFloat& dst, const ColorFloat& src, float amount, int32_t mode) {
    if (amount == 0.0f) return dst;
    const ColorFloat t = BlendOp(dst, src, mode);
    return {dst.r + (t.r - dst.r) * amount, dst.g + (t.g - dst.g) * amount,
            dst.b + (t.b - dst.b) * amount, dst.a};
}

}  // namespace KvrnLib
