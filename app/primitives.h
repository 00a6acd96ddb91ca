// Built-in primitives as polygon meshes, and the built-in scenes made of them. All primitives are
// closed (except the plane), wound counter-clockwise seen from outside, Z up, in scene units.
#pragma once

#include <string>
#include <vector>

#include "poly_mesh.h"

namespace KvrnApp {

// Where a primitive goes: rotation about X, then Y, then Z (degrees), then translation.
struct Placement {
    KvrnLib::Point3 position;
    KvrnLib::Point3 rotationDeg;

    KvrnLib::Matrix3 ToMatrix() const;
};

// Base centred on the origin, from z = 0 to height; quads, one smoothing group per side
// (-Z 1, +Z 2, -Y 4, +X 8, +Y 16, -X 32).
struct BoxParams {
    float length = 40, width = 40, height = 40;  // along X, Y, Z
    int lengthSegments = 1, widthSegments = 1, heightSegments = 1;
};
// Centred on the origin, poles on Z; quads and triangle fans at the poles; smoothing group 1.
struct SphereParams {
    float radius = 20;
    int segments = 24;  // around Z
    int rings = 12;     // pole to pole
};
// Base centred on the origin, axis Z; side quads smoothing group 1, caps (one polygon each)
// 2 (bottom) and 4 (top).
struct CylinderParams {
    float radius = 10, height = 40;
    int sides = 24, heightSegments = 1;
    bool caps = true;
};
// Centred on the origin in the XY plane; smoothing group 1.
struct TorusParams {
    float majorRadius = 20, minorRadius = 6;
    int segments = 32;  // around the ring
    int sides = 12;     // around the tube
};
// Tube around the (p, q) torus knot whose base torus has radius `radius` and `radius` / 2 winding
// radius; smoothing group 1.
struct TorusKnotParams {
    int p = 2, q = 3;
    float radius = 20, tubeRadius = 4;
    int segments = 128, sides = 12;
};
// In the XY plane facing +Z, centred on the origin; smoothing group 1. Open.
struct PlaneParams {
    float length = 100, width = 100;  // along X, Y
    int lengthSegments = 4, widthSegments = 4;
};

// Segment counts below the minimum (1 for boxes and planes, 3 around, 2 sphere rings) and
// non-positive sizes throw InputError naming the parameter and value.
PolyMesh MakeBox(const BoxParams& params, const Placement& placement = {});
PolyMesh MakeSphere(const SphereParams& params, const Placement& placement = {});
PolyMesh MakeCylinder(const CylinderParams& params, const Placement& placement = {});
PolyMesh MakeTorus(const TorusParams& params, const Placement& placement = {});
PolyMesh MakeTorusKnot(const TorusKnotParams& params, const Placement& placement = {});
PolyMesh MakePlane(const PlaneParams& params, const Placement& placement = {});

// Names accepted by BuiltinScene, "default" first.
std::vector<std::string> BuiltinSceneNames();
// "default": a box on a plane, a sphere half inside the box and a tilted torus around a
// cylinder that goes through the box, giving outlines, creases and intersection lines. The other
// names give one primitive with default parameters. Throws InputError for an unknown name.
std::vector<PolyMesh> BuiltinScene(const std::string& name);

}  // namespace KvrnApp
