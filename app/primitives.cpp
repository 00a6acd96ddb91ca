#include "primitives.h"

#include <array>
#include <cmath>
#include <map>
#include <numbers>

namespace KvrnApp {

using KvrnLib::Matrix3;
using KvrnLib::Point3;

namespace {

constexpr double kPi = std::numbers::pi;

void RequirePositive(const char* primitive, const char* param, double value) {
    if (!(value > 0)) {
        throw InputError(std::string(primitive) + ": " + param + " must be positive, got " +
                         std::to_string(value));
    }
}

void RequireAtLeast(const char* primitive, const char* param, int value, int minimum) {
    if (value < minimum) {
        throw InputError(std::string(primitive) + ": " + param + " must be at least " +
                         std::to_string(minimum) + ", got " + std::to_string(value));
    }
}

PolyMesh NewMesh(const char* name, const Placement& placement) {
    PolyMesh mesh;
    mesh.name = name;
    mesh.source = std::string("built-in ") + name;
    mesh.objToWorld = placement.ToMatrix();
    return mesh;
}

void AddPolygon(PolyMesh* mesh, std::vector<int32_t> vertices, uint32_t smoothingGroup) {
    Polygon poly;
    poly.vertices = std::move(vertices);
    poly.smoothingGroup = smoothingGroup;
    mesh->polygons.push_back(std::move(poly));
}

// Tube of radius r around a closed centreline given at `count` samples by its points and unit
// normals; the binormal is tangent x normal. Quads wound so that their normals point away from
// the centreline.
void SweepTube(PolyMesh* mesh, const std::vector<Point3>& centre, const std::vector<Point3>& normal,
               const std::vector<Point3>& binormal, float r, int sides) {
    const int count = static_cast<int>(centre.size());
    for (int i = 0; i < count; ++i) {
        for (int j = 0; j < sides; ++j) {
            const double a = 2 * kPi * j / sides;
            const float c = float(std::cos(a)), s = float(std::sin(a));
            mesh->vertices.push_back(centre[i] + (normal[i] * c + binormal[i] * s) * r);
        }
    }
    auto at = [&](int i, int j) { return int32_t((i % count) * sides + j % sides); };
    for (int i = 0; i < count; ++i)
        for (int j = 0; j < sides; ++j)
            AddPolygon(mesh, {at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j)}, 1);
}

Placement At(Point3 position, Point3 rotationDeg = {}) {
    Placement placement;
    placement.position = position;
    placement.rotationDeg = rotationDeg;
    return placement;
}

Point3 Normalized(Point3 v) {
    const float len = std::sqrt(KvrnLib::Dot(v, v));
    return len > 0 ? v * (1.0f / len) : v;
}

}  // namespace

Matrix3 Placement::ToMatrix() const {
    const double rx = rotationDeg.x * kPi / 180, ry = rotationDeg.y * kPi / 180,
                 rz = rotationDeg.z * kPi / 180;
    Matrix3 x, y, z;
    x.row[1] = {0, float(std::cos(rx)), float(std::sin(rx))};
    x.row[2] = {0, float(-std::sin(rx)), float(std::cos(rx))};
    y.row[0] = {float(std::cos(ry)), 0, float(-std::sin(ry))};
    y.row[2] = {float(std::sin(ry)), 0, float(std::cos(ry))};
    z.row[0] = {float(std::cos(rz)), float(std::sin(rz)), 0};
    z.row[1] = {float(-std::sin(rz)), float(std::cos(rz)), 0};
    Matrix3 m = x * y * z;
    m.row[3] = position;
    return m;
}

PolyMesh MakeBox(const BoxParams& params, const Placement& placement) {
    RequirePositive("box", "length", params.length);
    RequirePositive("box", "width", params.width);
    RequirePositive("box", "height", params.height);
    RequireAtLeast("box", "length segments", params.lengthSegments, 1);
    RequireAtLeast("box", "width segments", params.widthSegments, 1);
    RequireAtLeast("box", "height segments", params.heightSegments, 1);
    PolyMesh mesh = NewMesh("box", placement);

    const std::array<int, 3> segs = {params.lengthSegments, params.widthSegments,
                                     params.heightSegments};
    const std::array<float, 3> size = {params.length, params.width, params.height};
    const std::array<float, 3> origin = {-params.length / 2, -params.width / 2, 0.0f};
    // Vertices live on the box's lattice; sides share the ones on their common edges.
    std::map<std::array<int, 3>, int32_t> lattice;
    auto vertexAt = [&](std::array<int, 3> ijk) {
        auto [it, added] = lattice.emplace(ijk, int32_t(mesh.vertices.size()));
        if (added) {
            float p[3];
            for (int a = 0; a < 3; ++a) p[a] = origin[a] + size[a] * ijk[a] / segs[a];
            mesh.vertices.push_back({p[0], p[1], p[2]});
        }
        return it->second;
    };

    struct Side {
        int fixedAxis;
        bool atMax;
        int sAxis, tAxis;  // s x t is the outward normal
        uint32_t group;
    };
    const Side sides[6] = {{2, false, 1, 0, 1}, {2, true, 0, 1, 2},  {1, false, 0, 2, 4},
                           {0, true, 1, 2, 8},  {1, true, 2, 0, 16}, {0, false, 2, 1, 32}};
    for (const Side& side : sides) {
        for (int a = 0; a < segs[side.sAxis]; ++a) {
            for (int b = 0; b < segs[side.tAxis]; ++b) {
                auto corner = [&](int da, int db) {
                    std::array<int, 3> ijk{};
                    ijk[side.fixedAxis] = side.atMax ? segs[side.fixedAxis] : 0;
                    ijk[side.sAxis] = a + da;
                    ijk[side.tAxis] = b + db;
                    return vertexAt(ijk);
                };
                AddPolygon(&mesh, {corner(0, 0), corner(1, 0), corner(1, 1), corner(0, 1)},
                           side.group);
            }
        }
    }
    return mesh;
}

PolyMesh MakeSphere(const SphereParams& params, const Placement& placement) {
    RequirePositive("sphere", "radius", params.radius);
    RequireAtLeast("sphere", "segments", params.segments, 3);
    RequireAtLeast("sphere", "rings", params.rings, 2);
    PolyMesh mesh = NewMesh("sphere", placement);
    const int n = params.segments;
    const float r = params.radius;

    mesh.vertices.push_back({0, 0, r});
    for (int i = 1; i < params.rings; ++i) {
        const double theta = kPi * i / params.rings;
        const double rho = r * std::sin(theta), z = r * std::cos(theta);
        for (int j = 0; j < n; ++j) {
            const double phi = 2 * kPi * j / n;
            mesh.vertices.push_back(
                {float(rho * std::cos(phi)), float(rho * std::sin(phi)), float(z)});
        }
    }
    mesh.vertices.push_back({0, 0, -r});
    const int32_t south = int32_t(mesh.vertices.size()) - 1;
    auto ring = [&](int i, int j) { return int32_t(1 + (i - 1) * n + j % n); };

    for (int j = 0; j < n; ++j) AddPolygon(&mesh, {0, ring(1, j), ring(1, j + 1)}, 1);
    for (int i = 1; i + 1 < params.rings; ++i)
        for (int j = 0; j < n; ++j)
            AddPolygon(&mesh, {ring(i, j), ring(i + 1, j), ring(i + 1, j + 1), ring(i, j + 1)}, 1);
    const int last = params.rings - 1;
    for (int j = 0; j < n; ++j) AddPolygon(&mesh, {ring(last, j), south, ring(last, j + 1)}, 1);
    return mesh;
}

PolyMesh MakeCylinder(const CylinderParams& params, const Placement& placement) {
    RequirePositive("cylinder", "radius", params.radius);
    RequirePositive("cylinder", "height", params.height);
    RequireAtLeast("cylinder", "sides", params.sides, 3);
    RequireAtLeast("cylinder", "height segments", params.heightSegments, 1);
    PolyMesh mesh = NewMesh("cylinder", placement);
    const int n = params.sides;
    for (int k = 0; k <= params.heightSegments; ++k) {
        const float z = params.height * k / params.heightSegments;
        for (int j = 0; j < n; ++j) {
            const double phi = 2 * kPi * j / n;
            mesh.vertices.push_back(
                {float(params.radius * std::cos(phi)), float(params.radius * std::sin(phi)), z});
        }
    }
    auto at = [&](int k, int j) { return int32_t(k * n + j % n); };
    for (int k = 0; k < params.heightSegments; ++k)
        for (int j = 0; j < n; ++j)
            AddPolygon(&mesh, {at(k, j), at(k, j + 1), at(k + 1, j + 1), at(k + 1, j)}, 1);
    if (params.caps) {
        std::vector<int32_t> bottom, top;
        for (int j = 0; j < n; ++j) {
            bottom.push_back(at(0, n - 1 - j));
            top.push_back(at(params.heightSegments, j));
        }
        AddPolygon(&mesh, std::move(bottom), 2);
        AddPolygon(&mesh, std::move(top), 4);
    }
    return mesh;
}

PolyMesh MakeTorus(const TorusParams& params, const Placement& placement) {
    RequirePositive("torus", "major radius", params.majorRadius);
    RequirePositive("torus", "minor radius", params.minorRadius);
    RequireAtLeast("torus", "segments", params.segments, 3);
    RequireAtLeast("torus", "sides", params.sides, 3);
    PolyMesh mesh = NewMesh("torus", placement);
    std::vector<Point3> centre, normal, binormal;
    for (int i = 0; i < params.segments; ++i) {
        const double t = 2 * kPi * i / params.segments;
        const Point3 radial{float(std::cos(t)), float(std::sin(t)), 0};
        centre.push_back(radial * params.majorRadius);
        normal.push_back(radial);
        binormal.push_back({0, 0, -1});  // tangent x radial
    }
    SweepTube(&mesh, centre, normal, binormal, params.minorRadius, params.sides);
    return mesh;
}

PolyMesh MakeTorusKnot(const TorusKnotParams& params, const Placement& placement) {
    RequirePositive("torus knot", "radius", params.radius);
    RequirePositive("torus knot", "tube radius", params.tubeRadius);
    RequireAtLeast("torus knot", "p", params.p, 1);
    RequireAtLeast("torus knot", "q", params.q, 1);
    RequireAtLeast("torus knot", "segments", params.segments, 3);
    RequireAtLeast("torus knot", "sides", params.sides, 3);
    PolyMesh mesh = NewMesh("torusknot", placement);
    const double big = params.radius, wind = params.radius / 2;
    auto curve = [&](double t) {
        const double rho = big + wind * std::cos(params.q * t);
        return Point3{float(rho * std::cos(params.p * t)), float(rho * std::sin(params.p * t)),
                      float(wind * std::sin(params.q * t))};
    };
    // Frenet frame from central differences: periodic in t, so the tube closes without a seam
    // twist. A torus knot's curvature does not vanish, so the normal is always defined.
    std::vector<Point3> centre, normal, binormal;
    const double h = 1e-3;
    for (int i = 0; i < params.segments; ++i) {
        const double t = 2 * kPi * i / params.segments;
        const Point3 c = curve(t), ahead = curve(t + h), behind = curve(t - h);
        const Point3 tangent = Normalized(ahead - behind);
        const Point3 accel = ahead + behind - c * 2.0f;
        const Point3 n = Normalized(accel - tangent * KvrnLib::Dot(accel, tangent));
        centre.push_back(c);
        normal.push_back(n);
        binormal.push_back(KvrnLib::Cross(tangent, n));
    }
    SweepTube(&mesh, centre, normal, binormal, params.tubeRadius, params.sides);
    return mesh;
}

PolyMesh MakePlane(const PlaneParams& params, const Placement& placement) {
    RequirePositive("plane", "length", params.length);
    RequirePositive("plane", "width", params.width);
    RequireAtLeast("plane", "length segments", params.lengthSegments, 1);
    RequireAtLeast("plane", "width segments", params.widthSegments, 1);
    PolyMesh mesh = NewMesh("plane", placement);
    const int nx = params.lengthSegments, ny = params.widthSegments;
    for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i)
            mesh.vertices.push_back({-params.length / 2 + params.length * i / nx,
                                     -params.width / 2 + params.width * j / ny, 0.0f});
    auto at = [&](int i, int j) { return int32_t(j * (nx + 1) + i); };
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
            AddPolygon(&mesh, {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)}, 1);
    return mesh;
}

std::vector<std::string> BuiltinSceneNames() {
    return {"default", "box", "sphere", "cylinder", "torus", "torusknot", "plane"};
}

std::vector<PolyMesh> BuiltinScene(const std::string& name) {
    std::vector<PolyMesh> meshes;
    if (name == "default") {
        meshes.push_back(MakePlane({.length = 160, .width = 160}));
        // The box sinks 5 units into the ground so its base cuts the plane.
        meshes.push_back(MakeBox({.length = 40, .width = 40, .height = 35}, At({0, 0, -5})));
        meshes.push_back(MakeSphere({.radius = 14}, At({0, -20, 16})));  // centre on the -Y side
        meshes.push_back(MakeCylinder({.radius = 5, .height = 70}, At({8, 8, -10})));
        // Tilted far enough that the ring's tube cuts through the post.
        meshes.push_back(
            MakeTorus({.majorRadius = 11, .minorRadius = 2.5f}, At({8, 8, 45}, {55, 0, 0})));
        meshes[0].name = "ground";
        meshes[1].name = "block";
        meshes[2].name = "ball";
        meshes[3].name = "post";
        meshes[4].name = "ring";
    } else if (name == "box") {
        meshes.push_back(MakeBox({}));
    } else if (name == "sphere") {
        meshes.push_back(MakeSphere({}));
    } else if (name == "cylinder") {
        meshes.push_back(MakeCylinder({}));
    } else if (name == "torus") {
        meshes.push_back(MakeTorus({}));
    } else if (name == "torusknot") {
        meshes.push_back(MakeTorusKnot({}));
    } else if (name == "plane") {
        meshes.push_back(MakePlane({}));
    } else {
        std::string known;
        for (const std::string& n : BuiltinSceneNames()) known += (known.empty() ? "" : ", ") + n;
        throw InputError("unknown built-in scene '" + name + "' (expected one of: " + known + ")");
    }
    for (PolyMesh& mesh : meshes) mesh.source = "built-in scene '" + name + "'";
    return meshes;
}

}  // namespace KvrnApp
