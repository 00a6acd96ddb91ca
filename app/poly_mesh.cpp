// Polygon triangulation by ear clipping (Meisters' two-ears theorem) in the plane of the Newell
// normal, and corner normals by angle-weighted averaging (Thürmer and Wüthrich) over the faces
// that are smooth with each other.
#include "poly_mesh.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <span>

#include "vec3d.h"

namespace KvrnApp {

using KvrnLib::FaceEdgeHardBit;
using KvrnLib::FaceEdgeVisibleBit;
using KvrnLib::FaceRecord;
using KvrnLib::Point3;

namespace {

// NormalizedD into *unit, false (and *unit untouched) for a zero vector.
bool Normalize(Vec3d a, Vec3d* unit) {
    const double len = LengthD(a);
    if (!(len > 0)) return false;
    *unit = {a.x / len, a.y / len, a.z / len};
    return true;
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

// Working arrays of EarClip, kept between polygons so that a mesh of quads allocates once.
struct ClipScratch {
    std::vector<Point2d> pts;
    std::vector<int> next, prev;
};

// Ear clipping of a counter-clockwise simple polygon (scratch.pts); appends local corner triples
// in polygon order. Self-intersecting or degenerate input still terminates: when no ear exists
// the most convex corner is clipped.
void EarClip(ClipScratch& scratch, std::vector<std::array<int, 3>>* out) {
    const std::vector<Point2d>& pts = scratch.pts;
    std::vector<int>& next = scratch.next;
    std::vector<int>& prev = scratch.prev;
    const int n = static_cast<int>(pts.size());
    next.resize(n);
    prev.resize(n);
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
    bool explicitNormals = false;  // every polygon has a normal per corner
    std::vector<int32_t> cornerVertex;
    std::vector<Point3> cornerNormal;  // filled only with explicit normals
    std::vector<int32_t> start{0};
    std::vector<int32_t> source;  // index of the PolyMesh polygon
    std::vector<uint32_t> group;  // smoothing groups; empty while all are 0

    int PolygonCount() const { return static_cast<int>(source.size()); }
    int Size(int p) const { return start[p + 1] - start[p]; }
    uint32_t Group(int p) const { return group.empty() ? 0 : group[p]; }
};

bool HasNormalPerCorner(const Polygon& p) {
    return !p.vertices.empty() && p.normals.size() == p.vertices.size();
}

// At least three different values among corners[0, n).
bool HasThreeDistinct(const int32_t* corners, size_t n) {
    if (n < 3) return false;
    size_t i = 1;
    while (i < n && corners[i] == corners[0]) ++i;
    if (i == n) return false;
    const int32_t second = corners[i];
    for (++i; i < n; ++i)
        if (corners[i] != corners[0] && corners[i] != second) return true;
    return false;
}

CleanMesh Clean(const PolyMesh& mesh, int64_t* dropped) {
    const std::string where = mesh.source + ": mesh '" + mesh.name + "'";
    if (mesh.vertices.empty()) throw InputError(where + " has no vertices");
    if (mesh.polygons.empty()) throw InputError(where + " has no polygons");
    const int64_t vertexCount = static_cast<int64_t>(mesh.vertices.size());

    size_t cornerTotal = 0;
    bool explicitNormals = true;  // PolyMesh::HasCornerNormals, in the same pass
    for (const Polygon& poly : mesh.polygons) {
        cornerTotal += poly.vertices.size();
        explicitNormals = explicitNormals && HasNormalPerCorner(poly);
    }
    CleanMesh clean;
    clean.explicitNormals = explicitNormals;
    ReserveLarge(clean.cornerVertex, cornerTotal);
    if (explicitNormals) ReserveLarge(clean.cornerNormal, cornerTotal);
    ReserveLarge(clean.start, mesh.polygons.size() + 1);
    ReserveLarge(clean.source, mesh.polygons.size());
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
        const size_t first = clean.cornerVertex.size();
        const size_t n = poly.vertices.size();
        for (size_t i = 0; i < n; ++i) {
            if (poly.vertices[i] == poly.vertices[(i + 1) % n]) continue;
            clean.cornerVertex.push_back(poly.vertices[i]);
            if (explicitNormals) clean.cornerNormal.push_back(poly.normals[i]);
        }
        if (!HasThreeDistinct(clean.cornerVertex.data() + first,
                              clean.cornerVertex.size() - first)) {
            ++*dropped;
            clean.cornerVertex.resize(first);
            if (explicitNormals) clean.cornerNormal.resize(first);
            continue;
        }
        clean.start.push_back(static_cast<int32_t>(clean.cornerVertex.size()));
        clean.source.push_back(static_cast<int32_t>(p));
        if (poly.smoothingGroup != 0 || !clean.group.empty()) {
            clean.group.resize(clean.source.size() - 1, 0);
            clean.group.push_back(poly.smoothingGroup);
        }
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
        const Vec3d b =
            Sub(ToD(mesh.vertices[clean.cornerVertex[i + 1 == size ? s : s + i + 1]]), origin);
        n.x += (a.y - b.y) * (a.z + b.z);
        n.y += (a.z - b.z) * (a.x + b.x);
        n.z += (a.x - b.x) * (a.y + b.y);
    }
    return n;
}

// Per polygon corner: the normal, and whether polygon edge i (corner i to i + 1) is hard.
struct CornerShading {
    std::vector<Point3> normals;
    std::vector<uint8_t> hardEdges;
};

// Walks the corners around each vertex once to find both:
// - the angle-weighted normal at each corner over the polygons around its vertex that are smooth
//   with the corner's own polygon;
// - the hard edges: those shared by exactly two polygons that are not smooth with each other.
//   Every polygon edge has an end at the vertex being visited, so the corners there find all
//   edges to a given neighbour.
// Polygons are smooth with each other when both carry smoothing groups that share a bit, or,
// when either has none, when their normals are within the crease angle.
CornerShading ShadeCorners(const PolyMesh& mesh, const CleanMesh& clean,
                           const std::vector<Vec3d>& faceNormals, float creaseAngleDeg) {
    const size_t cornerCount = clean.cornerVertex.size();
    const size_t vertexCount = mesh.vertices.size();
    const double cosLimit = std::cos(creaseAngleDeg * std::numbers::pi / 180.0);

    // Corners around each vertex in compressed-row form, in corner order: the sums below add in
    // that order.
    std::vector<int32_t> ringStart;
    ReserveLarge(ringStart, vertexCount + 1);
    ringStart.assign(vertexCount + 1, 0);
    for (int32_t v : clean.cornerVertex) ++ringStart[v + 1];
    for (size_t v = 0; v < vertexCount; ++v) ringStart[v + 1] += ringStart[v];

    // What the tests between the polygons around one vertex need.
    struct RingCorner {
        int32_t corner, polygon;
        int32_t prevVertex, nextVertex;
        uint32_t group;
        Vec3d normal;
        Vec3d weightedNormal;  // times the corner angle
    };
    auto smooth = [cosLimit](const RingCorner& a, const RingCorner& b) {
        if (a.polygon == b.polygon) return true;
        if (a.group != 0 && b.group != 0) return (a.group & b.group) != 0;
        return DotD(a.normal, b.normal) >= cosLimit;
    };
    CornerShading result;
    ReserveLarge(result.normals, cornerCount);
    result.normals.resize(cornerCount);
    ReserveLarge(result.hardEdges, cornerCount);
    result.hardEdges.resize(cornerCount);
    // Vertices go in blocks whose corners fit a buffer of about 5 MB. The corners are first sorted
    // by block, keeping polygon order; each block then gathers its corners' data from polygons
    // visited in storage order, and the walks around its vertices read only the buffer. Gathering
    // vertex by vertex instead misses the cache at nearly every step.
    constexpr int32_t kBlockCorners = 1 << 16;
    std::vector<size_t> blockFirst{0};  // first vertex of each block, then vertexCount
    std::vector<int32_t> vertexBlock(vertexCount);
    for (size_t v = 0; v < vertexCount; ++v) {
        if (v > blockFirst.back() &&
            ringStart[v + 1] - ringStart[blockFirst.back()] > kBlockCorners)
            blockFirst.push_back(v);
        vertexBlock[v] = int32_t(blockFirst.size() - 1);
    }
    blockFirst.push_back(vertexCount);
    struct CornerRef {
        int32_t corner, polygon;
    };
    std::vector<CornerRef> byBlock;
    ReserveLarge(byBlock, cornerCount);
    byBlock.resize(cornerCount);
    {
        std::vector<int32_t> cursor;
        for (size_t b = 0; b + 1 < blockFirst.size(); ++b)
            cursor.push_back(ringStart[blockFirst[b]]);
        for (int p = 0; p < clean.PolygonCount(); ++p) {
            for (int32_t c = clean.start[p]; c < clean.start[p + 1]; ++c)
                byBlock[cursor[vertexBlock[clean.cornerVertex[c]]]++] = {c, p};
        }
    }

    int32_t largestBlock = 0;
    for (size_t b = 0; b + 1 < blockFirst.size(); ++b)
        largestBlock =
            std::max(largestBlock, ringStart[blockFirst[b + 1]] - ringStart[blockFirst[b]]);
    const auto block = std::make_unique_for_overwrite<RingCorner[]>(size_t(largestBlock));
    std::vector<int32_t> fill;
    for (size_t b = 0; b + 1 < blockFirst.size(); ++b) {
        const size_t first = blockFirst[b], end = blockFirst[b + 1];
        const int32_t base = ringStart[first];
        fill.assign(ringStart.begin() + first, ringStart.begin() + end);
        for (int32_t k = base; k < ringStart[end]; ++k) {
            const auto [c, p] = byBlock[k];
            const int32_t s = clean.start[p], e = clean.start[p + 1];
            const int32_t v = clean.cornerVertex[c];
            const int32_t prev = clean.cornerVertex[c == s ? e - 1 : c - 1];
            const int32_t next = clean.cornerVertex[c + 1 == e ? s : c + 1];
            const Vec3d at = ToD(mesh.vertices[v]);
            const Vec3d toPrev = Sub(ToD(mesh.vertices[prev]), at);
            const Vec3d toNext = Sub(ToD(mesh.vertices[next]), at);
            const double w = std::atan2(LengthD(CrossD(toPrev, toNext)), DotD(toPrev, toNext));
            const Vec3d& n = faceNormals[p];
            block[fill[v - first]++ - base] = {
                c, p, prev, next, clean.Group(p), n, {w * n.x, w * n.y, w * n.z}};
        }

        for (size_t v = first; v < end; ++v) {
            const std::span<const RingCorner> ring(block.get() + (ringStart[v] - base),
                                                   block.get() + (ringStart[v + 1] - base));
            for (size_t i = 0; i < ring.size(); ++i) {
                const RingCorner& corner = ring[i];
                Vec3d sum;
                int edgeCount = 0;  // polygon edges between v and corner.nextVertex
                size_t edgeOther = i;
                for (size_t j = 0; j < ring.size(); ++j) {
                    const RingCorner& other = ring[j];
                    if (smooth(corner, other)) {
                        const Vec3d& wn = other.weightedNormal;
                        sum = {sum.x + wn.x, sum.y + wn.y, sum.z + wn.z};
                    }
                    if (other.nextVertex == corner.nextVertex) {
                        ++edgeCount;
                        if (j != i) edgeOther = j;
                    }
                    if (other.prevVertex == corner.nextVertex) {
                        ++edgeCount;
                        edgeOther = j;
                    }
                }
                // A degenerate polygon has no normal of its own: it borrows its neighbours'.
                Vec3d n;
                if (!Normalize(sum, &n)) {
                    Vec3d all;
                    for (const RingCorner& other : ring) {
                        const Vec3d& wn = other.weightedNormal;
                        all = {all.x + wn.x, all.y + wn.y, all.z + wn.z};
                    }
                    if (!Normalize(all, &n)) n = {0, 0, 1};
                }
                result.normals[corner.corner] = {float(n.x), float(n.y), float(n.z)};
                result.hardEdges[corner.corner] =
                    edgeCount == 2 && !smooth(corner, ring[edgeOther]);
            }
        }
    }
    return result;
}

// Local corner triples of polygon p, given its unit normal (zero when it has none).
void TriangulatePolygon(const PolyMesh& mesh, const CleanMesh& clean, int p, const Vec3d& n,
                        ClipScratch& scratch, std::vector<std::array<int, 3>>* triangles) {
    triangles->clear();
    const int s = clean.start[p], size = clean.Size(p);
    if (size == 3) {
        triangles->push_back({0, 1, 2});
        return;
    }
    if (LengthD(n) == 0) {
        // No plane to work in (all corners on a line): any fan is as good as another.
        for (int i = 1; i + 1 < size; ++i) triangles->push_back({0, i, i + 1});
        return;
    }
    // In-plane basis with u x v = n, so the polygon stays counter-clockwise in 2D.
    const Vec3d axis = std::fabs(n.x) < 0.6 ? Vec3d{1, 0, 0} : Vec3d{0, 1, 0};
    const Vec3d u = NormalizedD(CrossD(axis, n));
    const Vec3d v = CrossD(n, u);
    scratch.pts.resize(size);
    for (int i = 0; i < size; ++i) {
        const Vec3d q = ToD(mesh.vertices[clean.cornerVertex[s + i]]);
        scratch.pts[i] = {DotD(q, u), DotD(q, v)};
    }
    EarClip(scratch, triangles);
}

}  // namespace

void PollInterrupt(const volatile std::sig_atomic_t* interrupt) {
    if (interrupt && *interrupt) throw ImportInterrupted();
}

void AdviseHugePages(const void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

bool PolyMesh::HasCornerNormals() const {
    if (polygons.empty()) return false;
    return std::all_of(polygons.begin(), polygons.end(), HasNormalPerCorner);
}

Triangulation Triangulate(const PolyMesh& mesh, const TriangulateOptions& options) {
    Triangulation result;
    CleanMesh clean = Clean(mesh, &result.droppedPolygons);
    const bool explicitNormals = clean.explicitNormals;
    if (clean.PolygonCount() == 0) {
        throw InputError(mesh.source + ": mesh '" + mesh.name +
                         "' has no polygon with 3 or more distinct vertices");
    }

    std::vector<Vec3d> faceNormals;
    ReserveLarge(faceNormals, clean.PolygonCount());
    for (int p = 0; p < clean.PolygonCount(); ++p)
        faceNormals.push_back(NormalizedD(NewellNormal(mesh, clean, p)));
    CornerShading shading;
    if (!explicitNormals) {
        shading = ShadeCorners(mesh, clean, faceNormals, options.creaseAngleDeg);
    }
    std::vector<Point3> cornerNormals =
        explicitNormals ? std::move(clean.cornerNormal) : std::move(shading.normals);
    // Then triangle corners are polygon corners, in the same order.
    const bool allTriangles = clean.cornerVertex.size() == 3 * size_t(clean.PolygonCount());

    auto object = std::make_shared<KvrnLib::RenderObject>();
    object->name = mesh.name;
    ReserveLarge(object->vertices, mesh.vertices.size());
    object->vertices.assign(mesh.vertices.begin(), mesh.vertices.end());
    object->objToWorld = mesh.objToWorld;
    object->explicitNormals = explicitNormals ? 1 : 0;
    // Every polygon of n corners gives n - 2 triangles.
    const size_t triangleCount = clean.cornerVertex.size() - 2 * size_t(clean.PolygonCount());
    ReserveLarge(object->faces, triangleCount);
    if (!allTriangles) ReserveLarge(object->cornerNormals, 3 * triangleCount);

    std::vector<std::array<int, 3>> triangles;
    ClipScratch scratch;
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        const Polygon& poly = mesh.polygons[clean.source[p]];
        const int s = clean.start[p], size = clean.Size(p);
        TriangulatePolygon(mesh, clean, p, faceNormals[p], scratch, &triangles);
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
                if (!explicitNormals && shading.hardEdges[s + from])
                    face.flags |= FaceEdgeHardBit(k);
            }
            object->faces.push_back(face);
            if (!allTriangles) {
                for (int k = 0; k < 3; ++k)
                    object->cornerNormals.push_back(cornerNormals[s + tri[k]]);
            }
        }
    }
    if (allTriangles) object->cornerNormals = std::move(cornerNormals);
    result.object = std::move(object);
    return result;
}

}  // namespace KvrnApp
