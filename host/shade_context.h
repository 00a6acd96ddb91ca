// What a texture map may ask about the point being shaded. A renderer (or the line effect's
// adaptor over the engine's texture context) implements it; one context per thread and call.
#pragma once

#include "curve_ctl.h"
#include "point3.h"
#include "time_value.h"

// RGBA colour; maps return straight (not premultiplied) colour with alpha 1 where opaque.
struct AColor {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;

    constexpr AColor() = default;
    constexpr AColor(float rIn, float gIn, float bIn, float aIn = 1.0f)
        : r(rIn), g(gIn), b(bIn), a(aIn) {}
    constexpr explicit AColor(const Color& c, float aIn = 1.0f) : r(c.r), g(c.g), b(c.b), a(aIn) {}
    constexpr AColor operator+(const AColor& o) const {
        return {r + o.r, g + o.g, b + o.b, a + o.a};
    }
    constexpr AColor operator-(const AColor& o) const {
        return {r - o.r, g - o.g, b - o.b, a - o.a};
    }
    constexpr AColor operator*(float s) const { return {r * s, g * s, b * s, a * s}; }
    constexpr bool operator==(const AColor&) const = default;
    constexpr Color Rgb() const { return {r, g, b}; }
};

// a + (b - a) * s per channel.
constexpr AColor Lerp(const AColor& a, const AColor& b, float s) { return a + (b - a) * s; }
// Mean of the three colour channels: the mono value of a colour.
constexpr float Intensity(const AColor& c) { return (c.r + c.g + c.b) / 3.0f; }

// The shading queries. Directions are unit vectors in camera space (the camera looks down -z);
// screen coordinates are pixels from the top-left corner. Map channels count from 1 (0 is the
// vertex colour channel); a channel without data reads (0, 0, 0).
class ShadeContext {
  public:
    virtual ~ShadeContext() = default;

    virtual Point3 P() = 0;   // shaded point
    virtual Point3 N() = 0;   // shading normal
    virtual Point3 Ng() = 0;  // geometric (face) normal
    virtual Point3 V() = 0;   // from the viewer towards the point
    virtual Point3 UVW(int channel) = 0;
    // Change of UVW over one pixel (absolute values); zero when unknown.
    virtual Point3 DUVW(int channel) = 0;
    // dP/du, dP/dv, dP/dw of the channel (bump basis); zero vectors when unknown.
    virtual void DPdUVW(int channel, Point3 out[3]) = 0;
    virtual Point2 ScreenCoord() = 0;
    virtual Point2 ScreenUV() = 0;  // ScreenCoord over the image size, 0..1
    virtual int MtlNum() = 0;       // material ID of the face
    virtual int NodeID() = 0;       // -1 for none
    virtual int ImageWidth() = 0;
    virtual int ImageHeight() = 0;
    virtual Color AmbientLight() = 0;
    virtual TimeValue CurTime() = 0;

    bool backFace = false;  // the point lies on a face seen from behind
};

// A context whose answers are plain fields: for evaluating a map at a chosen point outside a
// render (previews, swatches, tests). Every channel reads the same uvw and duvw.
class FixedShadeContext : public ShadeContext {
  public:
    Point3 p;
    Point3 n{0.0f, 0.0f, 1.0f};
    Point3 v{0.0f, 0.0f, -1.0f};
    Point3 uvw;
    Point3 duvw;
    Point2 screen;
    int width = 0;
    int height = 0;
    int mtlNum = 0;
    TimeValue time = 0;

    Point3 P() override { return p; }
    Point3 N() override { return n; }
    Point3 Ng() override { return n; }
    Point3 V() override { return v; }
    Point3 UVW(int /*channel*/) override { return uvw; }
    Point3 DUVW(int /*channel*/) override { return duvw; }
    void DPdUVW(int /*channel*/, Point3 out[3]) override { out[0] = out[1] = out[2] = Point3(); }
    Point2 ScreenCoord() override { return screen; }
    Point2 ScreenUV() override {
        return {width > 0 ? screen.x / float(width) : 0.0f,
                height > 0 ? screen.y / float(height) : 0.0f};
    }
    int MtlNum() override { return mtlNum; }
    int NodeID() override { return -1; }
    int ImageWidth() override { return width; }
    int ImageHeight() override { return height; }
    Color AmbientLight() override { return {1.0f, 1.0f, 1.0f}; }
    TimeValue CurTime() override { return time; }
};
