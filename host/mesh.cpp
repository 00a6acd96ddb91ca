// Mesh helpers. Polygons are triangulated by ear clipping (Meisters' two-ears theorem) in the
// plane of the polygon's Newell normal.
#include "mesh.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

Point3 Cross(const Point3& a, const Point3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Point3 Normalized(const Point3& v) {
    const float len = v.Length();
    return len > 0.0f ? v * (1.0f / len) : Point3();
}

bool Finite(const Point3& p) {
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

std::string IndexError(const char* what, size_t face, uint32_t index, size_t count) {
    return std::string(what) + " face " + std::to_string(face) + ": index " +
           std::to_string(index) + " out of range (" + std::to_string(count) + " available)";
}

struct Point2d {
    double x, y;
};

double Cross2(const Point2d& o, const Point2d& a, const Point2d& b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// The polygon's corners in its plane, counter-clockwise when seen against the Newell normal.
std::vector<Point2d> ProjectPolygon(const std::vector<Point3>& verts,
                                    const std::vector<uint32_t>& vtx) {
    double nx = 0, ny = 0, nz = 0;
    const size_t n = vtx.size();
    for (size_t i = 0; i < n; ++i) {
        const Point3& a = verts[vtx[i]];
        const Point3& b = verts[vtx[(i + 1) % n]];
        nx += (double(a.y) - b.y) * (double(a.z) + b.z);
        ny += (double(a.z) - b.z) * (double(a.x) + b.x);
        nz += (double(a.x) - b.x) * (double(a.y) + b.y);
    }
    // Drop the dominant axis; keep the orientation by swapping the kept axes when it is negative.
    const double ax = std::fabs(nx), ay = std::fabs(ny), az = std::fabs(nz);
    int drop = az >= ax && az >= ay ? 2 : (ay >= ax ? 1 : 0);
    const double sign = drop == 0 ? nx : (drop == 1 ? ny : nz);
    std::vector<Point2d> out(n);
    for (size_t i = 0; i < n; ++i) {
        const Point3& p = verts[vtx[i]];
        double u = drop == 0 ? p.y : (drop == 1 ? p.z : p.x);
        double v = drop == 0 ? p.z : (drop == 1 ? p.x : p.y);
        out[i] = sign >= 0 ? Point2d{u, v} : Point2d{v, u};
    }
    return out;
}

double LengthSquared(const Point2d& a, const Point2d& b) {
    return (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y);
}

// Inside or within eps of the triangle: a corner that rounding moved just off an ear's long
// side still blocks it, or the ear would leave a zero-area sliver behind.
bool InsideTriangle(const Point2d& p, const Point2d& a, const Point2d& b, const Point2d& c,
                    double eps) {
    return Cross2(a, b, p) >= -eps && Cross2(b, c, p) >= -eps && Cross2(c, a, p) >= -eps;
}

constexpr double kRelativeTolerance = 1e-6;

// Corner triples (indices into the polygon) covering it.
std::vector<std::array<uint32_t, 3>> ClipEars(const std::vector<Point2d>& pts) {
    std::vector<std::array<uint32_t, 3>> tris;
    std::vector<uint32_t> ring(pts.size());
    for (size_t i = 0; i < ring.size(); ++i) ring[i] = uint32_t(i);
    size_t i = 0;
    size_t misses = 0;
    while (ring.size() > 3) {
        const size_t m = ring.size();
        const uint32_t a = ring[(i + m - 1) % m], b = ring[i % m], c = ring[(i + 1) % m];
        // Cross products are in squared lengths: the tolerance scales with the ear's size.
        const double eps = kRelativeTolerance *
                           std::max({LengthSquared(pts[a], pts[b]), LengthSquared(pts[b], pts[c]),
                                     LengthSquared(pts[c], pts[a])});
        bool ear = Cross2(pts[a], pts[b], pts[c]) > eps;
        for (size_t k = 0; ear && k < m; ++k) {
            const uint32_t q = ring[k];
            if (q == a || q == b || q == c) continue;
            if (InsideTriangle(pts[q], pts[a], pts[b], pts[c], eps)) ear = false;
        }
        // A degenerate or self-intersecting outline can run out of ears: clip anyway.
        if (ear || misses >= m) {
            tris.push_back({a, b, c});
            ring.erase(ring.begin() + std::ptrdiff_t(i % m));
            misses = 0;
            i = i % (m - 1);
        } else {
            ++misses;
            i = (i + 1) % m;
        }
    }
    tris.push_back({ring[0], ring[1], ring[2]});
    return tris;
}

}  // namespace

void Box3::Add(const Point3& p) {
    pmin = {std::min(pmin.x, p.x), std::min(pmin.y, p.y), std::min(pmin.z, p.z)};
    pmax = {std::max(pmax.x, p.x), std::max(pmax.y, p.y), std::max(pmax.z, p.z)};
}

Box3 BoundingBox(const Mesh& mesh) {
    Box3 box;
    for (const Point3& p : mesh.verts) box.Add(p);
    return box;
}

std::string ValidateMesh(const Mesh& mesh) {
    for (size_t v = 0; v < mesh.verts.size(); ++v) {
        if (!Finite(mesh.verts[v])) return "vertex " + std::to_string(v) + " is not finite";
    }
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
        for (uint32_t v : mesh.faces[f].v) {
            if (v >= mesh.verts.size()) return IndexError("vertex", f, v, mesh.verts.size());
        }
    }
    for (int ch = 0; ch < MAX_MESHMAPS; ++ch) {
        const MeshMap& map = mesh.maps[size_t(ch)];
        if (!map.IsUsed()) continue;
        const std::string name = "map channel " + std::to_string(ch);
        if (map.tf.size() != mesh.faces.size()) {
            return name + ": " + std::to_string(map.tf.size()) + " faces for " +
                   std::to_string(mesh.faces.size()) + " mesh faces";
        }
        for (size_t f = 0; f < map.tf.size(); ++f) {
            for (uint32_t t : map.tf[f].t) {
                if (t >= map.tv.size()) return IndexError(name.c_str(), f, t, map.tv.size());
            }
        }
    }
    const MeshNormalSpec& normalSpec = mesh.specifiedNormals;
    if (normalSpec.IsUsed()) {
        if (normalSpec.faces.size() != mesh.faces.size()) {
            return "specified normals: " + std::to_string(normalSpec.faces.size()) + " faces for " +
                   std::to_string(mesh.faces.size()) + " mesh faces";
        }
        for (size_t f = 0; f < normalSpec.faces.size(); ++f) {
            for (uint32_t n : normalSpec.faces[f]) {
                if (n >= normalSpec.normals.size()) {
                    return IndexError("specified normal", f, n, normalSpec.normals.size());
                }
            }
        }
    }
    return {};
}

std::string ValidateMNMesh(const MNMesh& mesh) {
    for (size_t v = 0; v < mesh.verts.size(); ++v) {
        if (!Finite(mesh.verts[v])) return "vertex " + std::to_string(v) + " is not finite";
    }
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
        const MNFace& face = mesh.faces[f];
        if (face.vtx.size() < 3) {
            return "polygon " + std::to_string(f) + " has " + std::to_string(face.vtx.size()) +
                   " corners";
        }
        if (!face.edgeVisible.empty() && face.edgeVisible.size() != face.vtx.size()) {
            return "polygon " + std::to_string(f) + ": edge flags do not match its corners";
        }
        for (uint32_t v : face.vtx) {
            if (v >= mesh.verts.size()) return IndexError("vertex", f, v, mesh.verts.size());
        }
    }
    for (int ch = 0; ch < MAX_MESHMAPS; ++ch) {
        const MNMap& map = mesh.maps[size_t(ch)];
        if (!map.IsUsed()) continue;
        const std::string name = "map channel " + std::to_string(ch);
        if (map.tf.size() != mesh.faces.size()) {
            return name + ": " + std::to_string(map.tf.size()) + " faces for " +
                   std::to_string(mesh.faces.size()) + " polygons";
        }
        for (size_t f = 0; f < map.tf.size(); ++f) {
            if (map.tf[f].size() != mesh.faces[f].vtx.size()) {
                return name + " face " + std::to_string(f) + ": corners do not match its polygon";
            }
            for (uint32_t t : map.tf[f]) {
                if (t >= map.tv.size()) return IndexError(name.c_str(), f, t, map.tv.size());
            }
        }
    }
    return {};
}

Mesh TriangulateMNMesh(const MNMesh& poly) {
    if (std::string error = ValidateMNMesh(poly); !error.empty()) {
        throw std::invalid_argument("polygon mesh: " + error);
    }
    Mesh mesh;
    mesh.verts = poly.verts;
    mesh.vertexWeights = poly.vertexWeights;
    mesh.vertSel = poly.vertSel;
    mesh.selLevel = poly.selLevel;
    std::vector<int> usedMaps;
    for (int ch = 0; ch < MAX_MESHMAPS; ++ch) {
        if (!poly.maps[size_t(ch)].IsUsed()) continue;
        usedMaps.push_back(ch);
        mesh.maps[size_t(ch)].tv = poly.maps[size_t(ch)].tv;
    }
    const bool faceSel = poly.faceSel.size() == poly.faces.size() && !poly.faceSel.empty();
    for (size_t f = 0; f < poly.faces.size(); ++f) {
        const MNFace& src = poly.faces[f];
        const size_t n = src.vtx.size();
        std::vector<std::array<uint32_t, 3>> corners;
        if (n == 3) {
            corners.push_back({0, 1, 2});
        } else {
            corners = ClipEars(ProjectPolygon(poly.verts, src.vtx));
        }
        for (const auto& c : corners) {
            Face face;
            face.smGroup = src.smGroup;
            face.matID = src.matID;
            face.flags = 0;
            for (int k = 0; k < 3; ++k) {
                face.v[size_t(k)] = src.vtx[c[size_t(k)]];
                const uint32_t from = c[size_t(k)], to = c[size_t((k + 1) % 3)];
                // Only an edge between neighbouring corners is an edge of the polygon.
                const bool polygonEdge = (from + 1) % n == to;
                const bool visible =
                    polygonEdge && (src.edgeVisible.empty() || src.edgeVisible[from] != 0);
                if (visible) face.flags |= 1u << k;
            }
            mesh.faces.push_back(face);
            if (faceSel) mesh.faceSel.push_back(poly.faceSel[f]);
            for (int ch : usedMaps) {
                const std::vector<uint32_t>& tf = poly.maps[size_t(ch)].tf[f];
                mesh.maps[size_t(ch)].tf.push_back(TVFace{{tf[c[0]], tf[c[1]], tf[c[2]]}});
            }
        }
    }
    return mesh;
}

std::vector<Point3> ComputeCornerNormals(const Mesh& mesh, bool* allExplicit) {
    const size_t faceCount = mesh.faces.size();
    std::vector<Point3> corners(faceCount * 3);
    const MeshNormalSpec& normalSpec = mesh.specifiedNormals;
    const bool useSpec = normalSpec.IsUsed() && normalSpec.faces.size() == faceCount;
    std::vector<uint8_t> done(faceCount * 3, 0);
    size_t specified = 0, fixedCount = 0;
    if (useSpec) {
        for (size_t f = 0; f < faceCount; ++f) {
            for (size_t k = 0; k < 3; ++k) {
                const uint32_t n = normalSpec.faces[f][k];
                if (n >= normalSpec.normals.size()) continue;
                corners[f * 3 + k] = normalSpec.normals[n];
                done[f * 3 + k] = 1;
                ++specified;
                fixedCount +=
                    normalSpec.explicitNormal.empty() ||
                    (n < normalSpec.explicitNormal.size() && normalSpec.explicitNormal[n]);
            }
        }
    }
    if (allExplicit) *allExplicit = faceCount > 0 && fixedCount == faceCount * 3;
    if (specified == faceCount * 3) return corners;

    // Unnormalised cross products: their length is twice the face area, the averaging weight.
    std::vector<Point3> faceNormals(faceCount);
    for (size_t f = 0; f < faceCount; ++f) {
        const auto& v = mesh.faces[f].v;
        const Point3& a = mesh.verts[v[0]];
        faceNormals[f] = Cross(mesh.verts[v[1]] - a, mesh.verts[v[2]] - a);
    }

    // Faces around each vertex, in compressed rows.
    std::vector<uint32_t> start(mesh.verts.size() + 1, 0);
    for (const Face& face : mesh.faces)
        for (uint32_t v : face.v) ++start[v + 1];
    for (size_t v = 0; v < mesh.verts.size(); ++v) start[v + 1] += start[v];
    std::vector<uint32_t> around(start.back());
    std::vector<uint32_t> fillAt(start.begin(), start.end() - 1);
    for (size_t f = 0; f < faceCount; ++f)
        for (uint32_t v : mesh.faces[f].v) around[fillAt[v]++] = uint32_t(f);

    for (size_t f = 0; f < faceCount; ++f) {
        const Face& face = mesh.faces[f];
        for (size_t k = 0; k < 3; ++k) {
            if (done[f * 3 + k]) continue;
            if (face.smGroup == 0) {
                corners[f * 3 + k] = Normalized(faceNormals[f]);
                continue;
            }
            const uint32_t v = face.v[k];
            Point3 sum;
            for (uint32_t i = start[v]; i < start[v + 1]; ++i) {
                const uint32_t g = around[i];
                // A face listing the vertex twice still counts once.
                if (i > start[v] && around[i - 1] == g) continue;
                if (mesh.faces[g].smGroup & face.smGroup) sum = sum + faceNormals[g];
            }
            corners[f * 3 + k] = Normalized(sum);
        }
    }
    return corners;
}
