#include "edge_clip.h"

#include <cmath>

namespace KvrnLib {

ScreenRect WidenedScreenRect(const Camera& camera, const std::array<float, 4>& offscreen) {
    return {-offscreen[0], -offscreen[2], float(camera.width) + offscreen[1],
            float(camera.height) + offscreen[3]};
}

float CameraParameter(bool parallel, float s, float z0, float z1) {
    if (parallel) return s;
    const double den = double(1.0f - s) * z1 + double(s) * z0;
    if (den == 0.0) return s;
    return float(double(s) * z0 / den);
}

namespace {

Point3 Lerp(Point3 a, Point3 b, float t) { return a + (b - a) * t; }
Point2 Lerp(Point2 a, Point2 b, float t) { return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}; }

// Liang-Barsky: narrows [t0, t1] to the part of p + t * d with lo <= coordinate <= hi.
bool ClipAxis(float p, float d, float lo, float hi, float* t0, float* t1) {
    if (d == 0.0f) return p >= lo && p <= hi;
    float a = (lo - p) / d, b = (hi - p) / d;
    if (a > b) std::swap(a, b);
    if (a > *t0) *t0 = a;
    if (b < *t1) *t1 = b;
    return *t0 <= *t1;
}

}  // namespace

bool ClipSegment(const Camera& camera, const ScreenRect& rect, Point3 a, Point3 b,
                 ClippedSegment* out) {
    float t0 = 0.0f, t1 = 1.0f;
    if (!ClipAxis(a.z, b.z - a.z, camera.farZ, camera.nearZ, &t0, &t1)) return false;
    const Point3 c0 = Lerp(a, b, t0), c1 = Lerp(a, b, t1);
    const Point2 s0 = camera.Project(c0), s1 = camera.Project(c1);
    if (!std::isfinite(s0.x) || !std::isfinite(s0.y) || !std::isfinite(s1.x) ||
        !std::isfinite(s1.y))
        return false;
    float u0 = 0.0f, u1 = 1.0f;
    if (!ClipAxis(s0.x, s1.x - s0.x, rect.minX, rect.maxX, &u0, &u1)) return false;
    if (!ClipAxis(s0.y, s1.y - s0.y, rect.minY, rect.maxY, &u0, &u1)) return false;
    const bool parallel = camera.parallel != 0;
    out->s0 = Lerp(s0, s1, u0);
    out->s1 = Lerp(s0, s1, u1);
    out->c0 = Lerp(c0, c1, CameraParameter(parallel, u0, c0.z, c1.z));
    out->c1 = Lerp(c0, c1, CameraParameter(parallel, u1, c0.z, c1.z));
    out->length = std::hypot(out->s1.x - out->s0.x, out->s1.y - out->s0.y);
    return true;
}

}  // namespace KvrnLib
