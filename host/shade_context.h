// What a texture map may ask about the point being shaded. A renderer (or the line effect's
// adaptor over the engine's texture context) implements it; one context per thread and call.
#pragma once

#include <cmath>

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

class INode;
class LightDesc;
class RenderGlobalContext;

// What a sample is shaded for: the picture, or the light a transparent surface lets through
// towards a shadowed point (materials then only fill out.t).
constexpr int SCMODE_NORMAL = 0;
constexpr int SCMODE_SHADOW = 1;

// The light components a material reports besides its colour, for the renderer's shading
// elements. Each is what the material added to out.c for that component (already weighted by
// opacity); shadow is the light the sample lost to shadows.
struct ShadeComponents {
    Color diffuse;
    Color specular;
    Color selfIllum;
    Color reflection;
    Color shadow;
};

// What a material writes for a sample: the colour it adds and how much of what lies behind shows
// through, per channel: pixel = c + t * behind. c is already weighted by opacity.
struct ShadeOutput {
    static constexpr int kMaxElementVals = 16;
    Color c;
    Color t;
    ShadeComponents parts;
    // One slot per render element of the render, in list order (RenderGlobalContext's index);
    // the element decides what it means. Slots past kMaxElementVals are not kept.
    AColor elementVals[kMaxElementVals];
    int gbufId = 0;  // the material's effects channel

    void Reset() { *this = ShadeOutput(); }
};

// A ray a material asks the renderer to follow (reflection, refraction, the view through a
// surface), and what came back.
struct TraceRequest {
    Point3 origin;  // camera space
    Point3 dir;     // unit, camera space
    float maxDist = 1e30f;
    bool skipSelf = true;  // ignore the sample's own face at the origin
};
struct TraceResult {
    bool hit = false;
    AColor
        color;  // shaded colour (premultiplied) along the ray; the background/environment on a miss
    float distance = 0.0f;
    INode* node = nullptr;
};

// The shading queries. Directions are unit vectors in camera space (the camera looks down -z);
// screen coordinates are pixels from the top-left corner. Map channels count from 1 (0 is the
// vertex colour channel); a channel without data reads (0, 0, 0). Renderers implement the
// virtuals; the defaults serve contexts without a scene (map previews, the line effect's brush
// maps): no lights, no rays, no derivatives.
class ShadeContext {
  public:
    virtual ~ShadeContext() = default;

    virtual Point3 P() = 0;   // shaded point
    virtual Point3 N() = 0;   // shading normal (after SetNormal)
    virtual Point3 Ng() = 0;  // geometric (face) normal, facing the viewer on two-sided faces
    virtual Point3 V() = 0;   // from the viewer towards the point
    virtual Point3 UVW(int channel) = 0;
    // Change of UVW over one pixel (absolute values); zero when unknown.
    virtual Point3 DUVW(int channel) = 0;
    // dP/du, dP/dv, dP/dw of the channel (bump basis); zero vectors when unknown.
    virtual void DPdUVW(int channel, Point3 basis[3]) = 0;
    virtual Point2 ScreenCoord() = 0;
    virtual Point2 ScreenUV() = 0;  // ScreenCoord over the image size, 0..1
    virtual int MtlNum() = 0;       // material ID of the face
    virtual int NodeID() = 0;       // -1 for none
    virtual int ImageWidth() = 0;
    virtual int ImageHeight() = 0;
    // Global ambient light (the ambient-only lights are lights of their own).
    virtual Color AmbientLight() = 0;
    virtual TimeValue CurTime() = 0;

    // Replaces the shading normal until set again (bump mapping); OrigNormal is the one the
    // sample arrived with.
    virtual void SetNormal(const Point3& /*n*/) {}
    virtual Point3 OrigNormal() { return N(); }
    // Change of P over one pixel in x and in y (camera space); zero when unknown.
    virtual void DP(Point3& dpdx, Point3& dpdy) { dpdx = dpdy = Point3(); }
    // Change of UVW over one pixel in x and in y; zero when unknown.
    virtual void DUVWdXY(int /*channel*/, Point3& dx, Point3& dy) { dx = dy = Point3(); }
    // Change of the shading normal over one pixel (length): how fast shading that follows
    // N.L varies across the pixel, for filtering it.
    virtual float Curve() { return 0.0f; }
    // Camera-space distance from the eye to P (along the ray).
    virtual float Distance() { return P().Length(); }

    // The lights that reach this sample (exclusions already applied). Valid until the context
    // moves to another sample.
    virtual int NumLights() { return 0; }
    virtual LightDesc* Light(int /*i*/) { return nullptr; }
    // Fraction of light passing from `from` along dir for maxDist (camera space): 1 unblocked,
    // 0 blocked, the colour of transparent surfaces in between. Nodes in `skip` cast no shadow.
    // Without a ray tracer nothing blocks.
    virtual Color Transmission(const Point3& /*from*/, const Point3& /*dir*/, float /*maxDist*/,
                               const INode* const* /*skip*/ = nullptr, int /*skipCount*/ = 0) {
        return {1.0f, 1.0f, 1.0f};
    }
    // Environment seen along dir (camera space): the environment map, else the background.
    virtual AColor EvalEnvironMap(const Point3& /*dir*/) { return AColor(0, 0, 0, 0); }
    // The background behind this sample (the image, gradient or colour at its screen point).
    virtual AColor Background() { return AColor(0, 0, 0, 0); }
    // Shades what a ray meets; false (and a miss in out) without a ray tracer or past the
    // renderer's depth limit.
    virtual bool TraceRay(const TraceRequest& /*ray*/, TraceResult& result) {
        result = TraceResult();
        return false;
    }

    // The sample's node (null outside a render) and its object channel (G-buffer ID).
    virtual INode* Node() { return nullptr; }
    virtual int ObjectID() { return 0; }
    // Camera-space direction in world space (z up).
    virtual Point3 CamToWorldVector(const Point3& v) { return v; }
    // Perspective or parallel (PROJ_* of the render context).
    virtual int ProjType() { return 0; }
    virtual bool InMtlEditor() { return false; }
    // The render's context (its render elements), null outside a render.
    virtual const RenderGlobalContext* GlobContext() { return nullptr; }

    // Mirror direction of the view about the shading normal.
    Point3 ReflectVector() {
        const Point3 n = N(), v = V();
        return Normalize(v - n * (2.0f * DotProd(n, v)));
    }
    // Direction through the surface for a relative index of refraction ior (outside over
    // inside); the mirror direction on total internal reflection.
    Point3 RefractVector(float ior);

    int mode = SCMODE_NORMAL;
    bool shadow = true;      // shadows are computed for this sample
    bool doMaps = true;      // maps are evaluated
    bool filterMaps = true;  // maps filter over the pixel footprint
    bool backFace = false;   // the point lies on a face seen from behind
    int rayLevel = 0;        // 0 for camera rays, one more per traced bounce
    ShadeOutput out;
};

inline Point3 ShadeContext::RefractVector(float ior) {
    Point3 n = N();
    const Point3 v = V();
    float cosi = -DotProd(n, v);
    if (cosi < 0.0f) {
        n = -n;
        cosi = -cosi;
    }
    const float k = 1.0f - ior * ior * (1.0f - cosi * cosi);
    if (k < 0.0f) return ReflectVector();
    return Normalize(v * ior + n * (ior * cosi - std::sqrt(k)));
}

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
    void DPdUVW(int /*channel*/, Point3 basis[3]) override {
        basis[0] = basis[1] = basis[2] = Point3();
    }
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
