// Clipping of a camera-space segment to the camera's depth range and the widened screen
// rectangle, and perspective-correct mapping of screen positions back into camera space.
#pragma once

#include <array>

#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

struct ScreenRect {
    float minX = 0.0f, minY = 0.0f, maxX = 0.0f, maxY = 0.0f;
};

// x from -offscreen[0] to width + offscreen[1], y from -offscreen[2] to height + offscreen[3].
ScreenRect WidenedScreenRect(const Camera& camera, const std::array<float, 4>& offscreen);

// What is left of a segment: camera-space ends and their screen positions.
struct ClippedSegment {
    Point3 c0, c1;
    Point2 s0, s1;
    float length = 0.0f;  // screen length
};

// False when nothing of a -> b lies inside both the depth range [farZ, nearZ] and the rectangle.
bool ClipSegment(const Camera& camera, const ScreenRect& rect, Point3 a, Point3 b,
                 ClippedSegment* out);

// Camera-space parameter (0 at c0, 1 at c1) of the point seen at screen parameter s, for ends at
// depths z0 and z1: perspective-correct, or s itself for a parallel camera.
float CameraParameter(bool parallel, float s, float z0, float z1);

}  // namespace KvrnLib
