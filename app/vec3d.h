// Double-precision 3-vectors for the app's geometry set-up (cameras, normals, triangulation),
// where float rounding of large scenes would show.
#pragma once

#include <cmath>

#include "geometry.h"

namespace KvrnApp {

struct Vec3d {
    double x = 0, y = 0, z = 0;
};

inline Vec3d ToD(KvrnLib::Point3 p) { return {p.x, p.y, p.z}; }
inline KvrnLib::Point3 ToF(Vec3d a) { return {float(a.x), float(a.y), float(a.z)}; }
inline Vec3d Sub(Vec3d a, Vec3d b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline double DotD(Vec3d a, Vec3d b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3d CrossD(Vec3d a, Vec3d b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double LengthD(Vec3d a) { return std::sqrt(DotD(a, a)); }
// The unit vector along a; the zero vector for a zero a.
inline Vec3d NormalizedD(Vec3d a) {
    const double len = LengthD(a);
    return len > 0 ? Vec3d{a.x / len, a.y / len, a.z / len} : Vec3d{};
}

}  // namespace KvrnApp
