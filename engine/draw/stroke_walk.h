// The stroke walk: a connected stroke's edges in drawing order with their screen ends and depths,
// turned the way the brush asks, and the normals along which offsets and noise displace it.
#pragma once

#include <cstdint>
#include <vector>

#include "draw_settings.h"
#include "geometry.h"
#include "scene.h"
#include "stroke.h"

namespace KvrnLib {

// An edge of a stroke as drawn: from a to b in drawing order.
struct WalkEdge {
    Point2 a, b;
    float za = 0.0f, zb = 0.0f;
    int32_t kind = 0;
    int32_t object = -1;
    int32_t face = -1;
    float length = 0.0f;
    bool fromEnd1 = false;  // walked from the detected edge's end 1
};

// Depth at parameter t from z0 to z1: linear in parallel views, 1/z-linear in perspective ones.
float InterpolateDepth(float z0, float z1, float t, bool parallel);

// The edges of `stroke` from its first to its last (or once round a loop) into `out`.
void CollectEdges(const Stroke& stroke, std::vector<WalkEdge>& out);

// Loops: positive orientation about the box centre, start at the edge lowest along the brush's
// stroke direction, then the loop direction (mirrored screens flip what "Left" means).
void OrientLoop(std::vector<WalkEdge>& edges, const BrushDrawSettings& brush, const Camera& cam);
// Open strokes run along the brush's stroke direction.
void OrientOpen(std::vector<WalkEdge>& edges, const BrushDrawSettings& brush);

// Normals at both ends of every edge (2 per edge: at a, at b), perpendicular to the mean
// direction of the edges meeting there, so offset and noise stay continuous across joints; one
// side for the whole stroke.
void ComputeWalkNormals(const std::vector<WalkEdge>& edges, bool loop,
                        std::vector<Point2>& normals);

// Whether the walk holds an outline or object edge.
bool WalkHasOutline(const std::vector<WalkEdge>& edges);

}  // namespace KvrnLib
