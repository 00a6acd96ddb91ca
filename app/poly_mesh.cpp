// Polygon triangulation by ear clipping (Meisters' two-ears theorem) in the plane of the Newell
// normal, and corner normals by angle-weighted averaging (Thürmer and Wüthrich) over the faces
// that are smooth with each other.
#include "poly_mesh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <tuple>

namespace KvrnApp {

using KvrnLib::FaceEdgeHardBit;
using KvrnLib::FaceEdgeVisibleBit;
using KvrnLib::FaceRecord;
using KvrnLib::Point3;

namespace {

struct Vec3d {
    double x = 0, y = 0, z = 0;
};

Vec3d ToD(Point3 p) { return {p.x, p.y, p.z}; }
Vec3d Sub(Vec3d a, Vec3d b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double DotD(Vec3d a, Vec3d b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3d CrossD(Vec3d a, Vec3d b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double LengthD(Vec3d a) { return std::sqrt(DotD(a, a)); }
Vec3d NormalizedD(Vec3d a) {
    const double len = LengthD(a);
    return len > 0 ? Vec3d{a.x / len, a.y / len, a.z / len} : Vec3d{};
}

struct Point2d {
    double x = 0, y = 0;
};

// > 0 when a, b, c turn counter-clockwise.
double Orient(Point2d a, Point2d b, Point2d c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

double Distance(Point2d a, Point2d b) { return std::hypot(b.x - a.x, b.y - a.y); }

// Inside, or within `tolerance` of the triangle's edges.
bool InTriangle(Point2d p, Point2d a, Point2d b, Point2d c, double tolerance) {
    return Orient(a, b, p) >= -tolerance * Distance(a, b) &&
           Orient(b, c, p) >= -tolerance * Distance(b, c) &&
           Orient(c, a, p) >= -tolerance * Distance(c, a);
}

bool SamePoint(Point2d a, Point2d b) { return a.x == b.x && a.y == b.y; }

// Ear clipping of a counter-clockwise simple polygon; appends local corner triples in polygon
// order. Self-intersecting or degenerate input still terminates: when no ear exists the most
// convex corner is clipped.
void EarClip(const std::vector<Point2d>& pts, std::vector<std::array<int, 3>>* out) {
    const int n = static_cast<int>(pts.size());
    std::vector<int> next(n), prev(n);
    for (int i = 0; i < n; ++i) {
        next[i] = (i + 1) % n;
        prev[i] = (i + n - 1) % n;
    }
    // Float input puts a vertex that lies on a diagonal up to about 1e-7 of the polygon's size
    // off it; such near-misses count as hits so that no sliver triangles come out.
    double minX = pts[0].x, maxX = minX, minY = pts[0].y, maxY = minY;
    for (const Point2d& p : pts) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const double size = std::max(maxX - minX, maxY - minY);
    const double tolerance = 1e-6 * size;
    auto cornerOrient = [&](int i) { return Orient(pts[prev[i]], pts[i], pts[next[i]]); };
    auto isEar = [&](int i) {
        const int a = prev[i], c = next[i];
        if (cornerOrient(i) <= tolerance * Distance(pts[a], pts[c])) return false;
        // A vertex inside a candidate ear is always a reflex one, so only those are tested.
        for (int j = next[c]; j != a; j = next[j]) {
            if (cornerOrient(j) > tolerance * Distance(pts[prev[j]], pts[next[j]])) continue;
            if (SamePoint(pts[j], pts[a]) || SamePoint(pts[j], pts[i]) || SamePoint(pts[j], pts[c]))
                continue;
            if (InTriangle(pts[j], pts[a], pts[i], pts[c], tolerance)) return false;
        }
        return true;
    };
    auto clip = [&](int i) {
        out->push_back({prev[i], i, next[i]});
        next[prev[i]] = next[i];
        prev[next[i]] = prev[i];
    };

    // Starting at corner 1 makes a convex polygon come out as the fan around corner 0.
    int cur = 1 % n;
    for (int remaining = n; remaining > 3; --remaining) {
        bool clipped = false;
        for (int tries = 0; tries < remaining; ++tries, cur = next[cur]) {
            if (isEar(cur)) {
                const int following = next[cur];
                clip(cur);
                cur = following;
                clipped = true;
                break;
            }
        }
        if (!clipped) {
            int best = cur;
            double bestOrient = cornerOrient(cur);
            for (int j = next[cur]; j != cur; j = next[j]) {
                if (cornerOrient(j) > bestOrient) {
                    best = j;
                    bestOrient = cornerOrient(j);
                }
            }
            cur = next[best];
            clip(best);
        }
    }
    out->push_back({prev[cur], cur, next[cur]});
}

// Polygons after validation and clean-up, stored flat: corners of polygon p are
// [start[p], start[p + 1]).
struct CleanMesh {
    std::vector<int32_t> cornerVertex;
    std::vector<Point3> cornerNormal;  // filled only with explicit normals
    std::vector<int32_t> start{0};
    std::vector<int32_t> source;  // index of the PolyMesh polygon

    int PolygonCount() const { return static_cast<int>(source.size()); }
    int Size(int p) const { return start[p + 1] - start[p]; }
};

CleanMesh Clean(const PolyMesh& mesh, bool explicitNormals, int64_t* dropped) {
    const std::string where = mesh.source + ": mesh '" + mesh.name + "'";
    if (mesh.vertices.empty()) throw InputError(where + " has no vertices");
    if (mesh.polygons.empty()) throw InputError(where + " has no polygons");
    const int64_t vertexCount = static_cast<int64_t>(mesh.vertices.size());

    CleanMesh clean;
    std::vector<int32_t> corners;
    std::vector<Point3> normals;
    for (size_t p = 0; p < mesh.polygons.size(); ++p) {
        const Polygon& poly = mesh.polygons[p];
        for (int32_t v : poly.vertices) {
            if (v < 0 || v >= vertexCount) {
                throw InputError(where + ", polygon " + std::to_string(p) + ": vertex index " +
                                 std::to_string(v) + " is out of range (expected 0 to " +
                                 std::to_string(vertexCount - 1) + ")");
            }
        }
        // Repeated consecutive corners add nothing but zero-length edges.
        corners.clear();
        normals.clear();
        const size_t n = poly.vertices.size();
        for (size_t i = 0; i < n; ++i) {
            if (poly.vertices[i] == poly.vertices[(i + 1) % n]) continue;
            corners.push_back(poly.vertices[i]);
            if (explicitNormals) normals.push_back(poly.normals[i]);
        }
        std::vector<int32_t> distinct = corners;
        std::sort(distinct.begin(), distinct.end());
        if (std::unique(distinct.begin(), distinct.end()) - distinct.begin() < 3) {
            ++*dropped;
            continue;
        }
        clean.cornerVertex.insert(clean.cornerVertex.end(), corners.begin(), corners.end());
        clean.cornerNormal.insert(clean.cornerNormal.end(), normals.begin(), normals.end());
        clean.start.push_back(static_cast<int32_t>(clean.cornerVertex.size()));
        clean.source.push_back(static_cast<int32_t>(p));
    }
    return clean;
}

// Newell's normal: robust for non-planar and concave polygons; length is twice the area.
Vec3d NewellNormal(const PolyMesh& mesh, const CleanMesh& clean, int p) {
    Vec3d n;
    const int s = clean.start[p], size = clean.Size(p);
    const Vec3d origin = ToD(mesh.vertices[clean.cornerVertex[s]]);
    for (int i = 0; i < size; ++i) {
        const Vec3d a = Sub(ToD(mesh.vertices[clean.cornerVertex[s + i]]), origin);
        const Vec3d b = Sub(ToD(mesh.vertices[clean.cornerVertex[s + (i + 1) % size]]), origin);
        n.x += (a.y - b.y) * (a.z + b.z);
        n.y += (a.z - b.z) * (a.x + b.x);
        n.z += (a.x - b.x) * (a.y + b.y);
    }
    return n;
}

class SmoothTest {
  public:
    SmoothTest(const PolyMesh& mesh, const CleanMesh& clean, const std::vector<Vec3d>& normals,
               float creaseAngleDeg)
        : mesh_(mesh),
          clean_(clean),
          normals_(normals),
          cosLimit_(std::cos(creaseAngleDeg * std::numbers::pi / 180.0)) {}

    bool operator()(int p, int q) const {
        if (p == q) return true;
        const uint32_t gp = Group(p), gq = Group(q);
        if (gp != 0 && gq != 0) return (gp & gq) != 0;
        return DotD(normals_[p], normals_[q]) >= cosLimit_;
    }

  private:
    uint32_t Group(int p) const { return mesh_.polygons[clean_.source[p]].smoothingGroup; }

    const PolyMesh& mesh_;
    const CleanMesh& clean_;
    const std::vector<Vec3d>& normals_;
    double cosLimit_;
};

// Angle-weighted normal at each polygon corner over the polygons around its vertex that are
// smooth with the corner's own polygon.
std::vector<Point3> ComputeCornerNormals(const PolyMesh& mesh, const CleanMesh& clean,
                                         const std::vector<Vec3d>& faceNormals,
                                         const SmoothTest& smooth) {
    const size_t cornerCount = clean.cornerVertex.size();
    std::vector<int32_t> cornerPolygon(cornerCount);
    std::vector<double> cornerAngle(cornerCount);
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        const int s = clean.start[p], size = clean.Size(p);
        for (int i = 0; i < size; ++i) {
            cornerPolygon[s + i] = p;
            const Vec3d v = ToD(mesh.vertices[clean.cornerVertex[s + i]]);
            const Vec3d toPrev =
                Sub(ToD(mesh.vertices[clean.cornerVertex[s + (i + size - 1) % size]]), v);
            const Vec3d toNext = Sub(ToD(mesh.vertices[clean.cornerVertex[s + (i + 1) % size]]), v);
            cornerAngle[s + i] = std::atan2(LengthD(CrossD(toPrev, toNext)), DotD(toPrev, toNext));
        }
    }

    // Corners around each vertex, compressed-row form.
    std::vector<int32_t> vertexStart(mesh.vertices.size() + 1, 0);
    for (int32_t v : clean.cornerVertex) ++vertexStart[v + 1];
    for (size_t v = 0; v < mesh.vertices.size(); ++v) vertexStart[v + 1] += vertexStart[v];
    std::vector<int32_t> vertexCorners(cornerCount);
    std::vector<int32_t> fill(vertexStart.begin(), vertexStart.end() - 1);
    for (size_t c = 0; c < cornerCount; ++c) vertexCorners[fill[clean.cornerVertex[c]]++] = c;

    std::vector<Point3> result(cornerCount);
    for (size_t c = 0; c < cornerCount; ++c) {
        const int32_t v = clean.cornerVertex[c];
        const int p = cornerPolygon[c];
        Vec3d sum, all;
        for (int32_t k = vertexStart[v]; k < vertexStart[v + 1]; ++k) {
            const int32_t other = vertexCorners[k];
            const int q = cornerPolygon[other];
            const Vec3d& nq = faceNormals[q];
            const double w = cornerAngle[other];
            all = {all.x + w * nq.x, all.y + w * nq.y, all.z + w * nq.z};
            if (smooth(p, q)) sum = {sum.x + w * nq.x, sum.y + w * nq.y, sum.z + w * nq.z};
        }
        // A degenerate polygon has no normal of its own: it borrows its neighbours'.
        Vec3d n = NormalizedD(sum);
        if (LengthD(n) == 0) n = NormalizedD(all);
        if (LengthD(n) == 0) n = {0, 0, 1};
        result[c] = {float(n.x), float(n.y), float(n.z)};
    }
    return result;
}

// Marks, per polygon corner i, whether polygon edge i (corner i to i + 1) is a hard edge: it is
// shared by exactly two polygons that are not smooth with each other.
std::vector<uint8_t> HardEdges(const CleanMesh& clean, const SmoothTest& smooth) {
    std::vector<std::tuple<int32_t, int32_t, int32_t>> edges;  // low vertex, high vertex, corner
    edges.reserve(clean.cornerVertex.size());
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        const int s = clean.start[p], size = clean.Size(p);
        for (int i = 0; i < size; ++i) {
            const int32_t a = clean.cornerVertex[s + i], b = clean.cornerVertex[s + (i + 1) % size];
            edges.emplace_back(std::min(a, b), std::max(a, b), s + i);
        }
    }
    std::sort(edges.begin(), edges.end());
    std::vector<int32_t> cornerPolygon(clean.cornerVertex.size());
    for (int p = 0; p < clean.PolygonCount(); ++p)
        std::fill(cornerPolygon.begin() + clean.start[p],
                  cornerPolygon.begin() + clean.start[p + 1], p);

    std::vector<uint8_t> hard(clean.cornerVertex.size(), 0);
    for (size_t i = 0; i < edges.size();) {
        size_t j = i + 1;
        while (j < edges.size() && std::get<0>(edges[j]) == std::get<0>(edges[i]) &&
               std::get<1>(edges[j]) == std::get<1>(edges[i]))
            ++j;
        if (j - i == 2) {
            const int32_t c0 = std::get<2>(edges[i]), c1 = std::get<2>(edges[i + 1]);
            if (!smooth(cornerPolygon[c0], cornerPolygon[c1])) hard[c0] = hard[c1] = 1;
        }
        i = j;
    }
    return hard;
}

void TriangulatePolygon(const PolyMesh& mesh, const CleanMesh& clean, int p, const Vec3d& normal,
                        std::vector<std::array<int, 3>>* triangles) {
    triangles->clear();
    const int s = clean.start[p], size = clean.Size(p);
    if (size == 3) {
        triangles->push_back({0, 1, 2});
        return;
    }
    const Vec3d n = NormalizedD(normal);
    if (LengthD(n) == 0) {
        // No plane to work in (all corners on a line): any fan is as good as another.
        for (int i = 1; i + 1 < size; ++i) triangles->push_back({0, i, i + 1});
        return;
    }
    // In-plane basis with u x v = n, so the polygon stays counter-clockwise in 2D.
    const Vec3d axis = std::fabs(n.x) < 0.6 ? Vec3d{1, 0, 0} : Vec3d{0, 1, 0};
    const Vec3d u = NormalizedD(CrossD(axis, n));
    const Vec3d v = CrossD(n, u);
    std::vector<Point2d> pts(size);
    for (int i = 0; i < size; ++i) {
        const Vec3d q = ToD(mesh.vertices[clean.cornerVertex[s + i]]);
        pts[i] = {DotD(q, u), DotD(q, v)};
    }
    EarClip(pts, triangles);
}

}  // namespace

bool PolyMesh::HasCornerNormals() const {
    if (polygons.empty()) return false;
    return std::all_of(polygons.begin(), polygons.end(), [](const Polygon& p) {
        return !p.vertices.empty() && p.normals.size() == p.vertices.size();
    });
}

Triangulation Triangulate(const PolyMesh& mesh, const TriangulateOptions& options) {
    Triangulation result;
    const bool explicitNormals = mesh.HasCornerNormals();
    const CleanMesh clean = Clean(mesh, explicitNormals, &result.droppedPolygons);
    if (clean.PolygonCount() == 0) {
        throw InputError(mesh.source + ": mesh '" + mesh.name +
                         "' has no polygon with 3 or more distinct vertices");
    }

    std::vector<Vec3d> newell(clean.PolygonCount()), faceNormals(clean.PolygonCount());
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        newell[p] = NewellNormal(mesh, clean, p);
        faceNormals[p] = NormalizedD(newell[p]);
    }
    const SmoothTest smooth(mesh, clean, faceNormals, options.creaseAngleDeg);
    std::vector<Point3> cornerNormals = clean.cornerNormal;
    std::vector<uint8_t> hard(clean.cornerVertex.size(), 0);
    if (!explicitNormals) {
        cornerNormals = ComputeCornerNormals(mesh, clean, faceNormals, smooth);
        hard = HardEdges(clean, smooth);
    }

    auto object = std::make_shared<KvrnLib::RenderObject>();
    object->name = mesh.name;
    object->vertices = mesh.vertices;
    object->objToWorld = mesh.objToWorld;
    object->explicitNormals = explicitNormals ? 1 : 0;
    object->faces.reserve(clean.cornerVertex.size());
    object->cornerNormals.reserve(clean.cornerVertex.size() * 3);

    std::vector<std::array<int, 3>> triangles;
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        const Polygon& poly = mesh.polygons[clean.source[p]];
        const int s = clean.start[p], size = clean.Size(p);
        TriangulatePolygon(mesh, clean, p, newell[p], &triangles);
        for (const auto& tri : triangles) {
            FaceRecord face;
            face.vertexA = clean.cornerVertex[s + tri[0]];
            face.vertexB = clean.cornerVertex[s + tri[1]];
            face.vertexC = clean.cornerVertex[s + tri[2]];
            face.materialID = poly.materialID;
            face.smoothingGroup = poly.smoothingGroup;
            for (int k = 0; k < 3; ++k) {
                const int from = tri[k], to = tri[(k + 1) % 3];
                if ((from + 1) % size != to) continue;  // a diagonal
                face.flags |= FaceEdgeVisibleBit(k);
                if (hard[s + from]) face.flags |= FaceEdgeHardBit(k);
            }
            object->faces.push_back(face);
            for (int k = 0; k < 3; ++k) object->cornerNormals.push_back(cornerNormals[s + tri[k]]);
        }
    }
    result.object = std::move(object);
    return result;
}

}  // namespace KvrnApp
