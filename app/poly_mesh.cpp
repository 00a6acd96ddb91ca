// Polygon triangulation by ear clipping (ear_clip.h) in the plane of the Newell normal, and
// corner normals by angle-weighted averaging (Thürmer and Wüthrich) over the faces
// that are smooth with each other.
#include "poly_mesh.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <span>

#include "check.h"
#include "ear_clip.h"
#include "polygon_copies.h"
#include "thread_manager.h"
#include "vec3d.h"

namespace KvrnApp {

using KvrnLib::FaceEdgeHardBit;
using KvrnLib::FaceEdgeVisibleBit;
using KvrnLib::FaceRecord;
using KvrnLib::Point3;

namespace {

// Long loops poll for an interrupt once per this many polygons.
constexpr int kPollPolygons = 4096;

// NormalizedD into *unit, false (and *unit untouched) for a zero vector.
bool Normalize(Vec3d a, Vec3d* unit) {
    const double len = LengthD(a);
    if (!(len > 0)) return false;
    *unit = {a.x / len, a.y / len, a.z / len};
    return true;
}

// Polygons after validation and clean-up, stored flat: corners of polygon p are
// [start[p], start[p + 1]). The arrays are the mesh's packed ones, compacted in place.
struct CleanMesh {
    bool explicitNormals = false;  // every polygon has a normal per corner
    std::vector<int32_t> cornerVertex;
    std::vector<Point3> cornerNormal;  // filled only with explicit normals
    std::vector<int32_t> start{0};
    std::vector<uint16_t> material;
    std::vector<uint32_t> group;    // smoothing groups; empty while all are 0
    std::vector<uint8_t> twoSided;  // empty while none is
    // Per map channel with map vertices, the map index of each corner; corners of polygons
    // without map corners get index mapVertices[channel].size(), an added (0, 0, 0) map vertex.
    std::array<std::vector<int32_t>, kPolyMapChannels> cornerMap;
    std::array<bool, kPolyMapChannels> usesAddedMapVertex{};

    int PolygonCount() const { return static_cast<int>(start.size()) - 1; }
    int Size(int p) const { return start[p + 1] - start[p]; }
    uint32_t Group(int p) const { return group.empty() ? 0 : group[p]; }
    bool TwoSided(int p) const { return !twoSided.empty() && twoSided[p]; }
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

constexpr std::array<const char*, kPolyMapChannels> kMapChannelNames = {"vertex colour",
                                                                        "texture coordinate"};

[[noreturn]] void ThrowMapIndexError(const PolyMesh& mesh, int channel, int32_t index, size_t p,
                                     const std::string& where) {
    const int64_t count = static_cast<int64_t>(mesh.mapVertices[channel].size());
    throw InputError(where + ", polygon " + std::to_string(p) + ": " + kMapChannelNames[channel] +
                     " index " + std::to_string(index) + " is out of range (" +
                     (count == 0 ? std::string("the mesh has none")
                                 : "expected 0 to " + std::to_string(count - 1)) +
                     ")");
}

[[noreturn]] void ThrowVertexIndexError(const PolyMesh& mesh, int32_t v, size_t p,
                                        const std::string& where) {
    throw InputError(where + ", polygon " + std::to_string(p) + ": vertex index " +
                     std::to_string(v) + " is out of range (expected 0 to " +
                     std::to_string(mesh.vertices.size() - 1) + ")");
}

// Checks polygon p of `polygons` (map corners first, as one per corner and in range, then vertex
// indices) and appends it to `packed`, with normals when they are explicit and map corners in
// the channels that have map vertices.
void PackPolygon(const PolyMesh& mesh, const Polygon& poly, size_t p, const std::string& where,
                 bool explicitNormals, PackedPolygons* packed) {
    const size_t n = poly.vertices.size();
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        const std::vector<int32_t>& corners = poly.mapCorners[channel];
        if (corners.empty()) continue;
        if (corners.size() != n) {
            throw InputError(where + ", polygon " + std::to_string(p) + ": " +
                             kMapChannelNames[channel] +
                             " indices: " + std::to_string(corners.size()) + " for " +
                             std::to_string(n) + " corners (expected one per corner)");
        }
        const int64_t count = static_cast<int64_t>(mesh.mapVertices[channel].size());
        for (int32_t m : corners)
            if (m < 0 || m >= count) ThrowMapIndexError(mesh, channel, m, p, where);
    }
    const int64_t vertexCount = static_cast<int64_t>(mesh.vertices.size());
    for (int32_t v : poly.vertices)
        if (v < 0 || v >= vertexCount) ThrowVertexIndexError(mesh, v, p, where);
    packed->vertices.insert(packed->vertices.end(), poly.vertices.begin(), poly.vertices.end());
    packed->start.push_back(static_cast<int32_t>(packed->vertices.size()));
    if (explicitNormals)
        packed->normals.insert(packed->normals.end(), poly.normals.begin(), poly.normals.end());
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        if (mesh.mapVertices[channel].empty()) continue;
        const std::vector<int32_t>& corners = poly.mapCorners[channel];
        std::vector<int32_t>& out = packed->mapCorners[channel];
        if (corners.empty()) {
            out.insert(out.end(), n, -1);
        } else {
            out.insert(out.end(), corners.begin(), corners.end());
        }
    }
    packed->materialIDs.push_back(poly.materialID);
    packed->smoothingGroups.push_back(poly.smoothingGroup);
    packed->twoSided.push_back(poly.twoSided ? 1 : 0);
}

// Appends the per-polygon or per-corner array `from` to `to` of `toCount` entries, either of
// them empty meaning `fill` throughout.
template <typename T>
void AppendOrFill(std::vector<T>& to, size_t toCount, std::vector<T>&& from, size_t fromCount,
                  T fill) {
    if (to.empty() && from.empty()) return;
    if (to.empty()) to.assign(toCount, fill);
    if (from.empty()) {
        to.insert(to.end(), fromCount, fill);
    } else {
        to.insert(to.end(), from.begin(), from.end());
    }
}

// Moves the mesh's `polygons`, checked, in front of its packed polygons, so that the steps after
// see one packed list.
void PackPolygons(PolyMesh& mesh, bool explicitNormals, const std::string& where) {
    if (mesh.polygons.empty()) return;
    size_t corners = 0;
    for (const Polygon& poly : mesh.polygons) corners += poly.vertices.size();
    // Corner indices are int32_t.
    if (corners + mesh.packed.vertices.size() > size_t(INT32_MAX))
        throw InputError(where + " has more than 2^31 - 1 polygon corners");
    PackedPolygons out;
    out.vertices.reserve(corners);
    if (explicitNormals) out.normals.reserve(corners);
    const size_t outCount = mesh.polygons.size();
    for (size_t p = 0; p < outCount; ++p)
        PackPolygon(mesh, mesh.polygons[p], p, where, explicitNormals, &out);
    mesh.polygons = {};
    PackedPolygons& in = mesh.packed;
    const size_t inCount = in.Count(), inCorners = in.vertices.size(), outCorners = corners;
    for (size_t p = 1; p < in.start.size(); ++p)
        out.start.push_back(static_cast<int32_t>(outCorners + size_t(in.start[p])));
    out.vertices.insert(out.vertices.end(), in.vertices.begin(), in.vertices.end());
    if (explicitNormals)
        out.normals.insert(out.normals.end(), in.normals.begin(), in.normals.end());
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        AppendOrFill(out.mapCorners[channel], outCorners, std::move(in.mapCorners[channel]),
                     inCorners, -1);
    }
    out.materialIDs.insert(out.materialIDs.end(), in.materialIDs.begin(), in.materialIDs.end());
    AppendOrFill(out.smoothingGroups, outCount, std::move(in.smoothingGroups), inCount, 0u);
    AppendOrFill(out.twoSided, outCount, std::move(in.twoSided), inCount, uint8_t{0});
    mesh.packed = std::move(out);
}

// The packed arrays agree in size: a reader's slip, not the file's.
void CheckPacked(const PackedPolygons& packed) {
    const size_t count = packed.Count(), corners = packed.vertices.size();
    KVRN_CHECK(!packed.start.empty() && packed.start[0] == 0);
    KVRN_CHECK_EQ(size_t(packed.start.back()), corners);
    KVRN_CHECK_EQ(packed.materialIDs.size(), count);
    KVRN_CHECK(packed.normals.empty() || packed.normals.size() == corners);
    for (const std::vector<int32_t>& channel : packed.mapCorners)
        KVRN_CHECK(channel.empty() || channel.size() == corners);
    KVRN_CHECK(packed.smoothingGroups.empty() || packed.smoothingGroups.size() == count);
    KVRN_CHECK(packed.twoSided.empty() || packed.twoSided.size() == count);
}

// Keeps, in order, the entries of a per-polygon or a per-corner array of the polygons p with
// keep[p] set.
template <typename T>
void KeepPolygons(std::vector<T>& values, const std::vector<uint8_t>& keep) {
    if (values.empty()) return;
    size_t out = 0;
    for (size_t p = 0; p < keep.size(); ++p)
        if (keep[p]) values[out++] = values[p];
    values.resize(out);
}
template <typename T>
void KeepCorners(std::vector<T>& values, const std::vector<int32_t>& start,
                 const std::vector<uint8_t>& keep) {
    if (values.empty()) return;
    size_t out = 0;
    for (size_t p = 0; p < keep.size(); ++p) {
        if (!keep[p]) continue;
        for (int32_t c = start[p]; c < start[p + 1]; ++c) values[out++] = values[size_t(c)];
    }
    values.resize(out);
}

// Removes the polygons that exactly repeat an earlier one (FindPolygonCopies), counting them.
void DropCopies(CleanMesh* clean, KvrnLib::ThreadManager* pool, int64_t* dropped) {
    std::vector<uint8_t> keep =
        FindPolygonCopies(clean->cornerVertex, clean->start, clean->material, pool);
    const int64_t found = std::count(keep.begin(), keep.end(), uint8_t{1});
    if (found == 0) return;
    *dropped += found;
    for (uint8_t& k : keep) k = !k;
    // Corner arrays first: they read the old starts.
    KeepCorners(clean->cornerVertex, clean->start, keep);
    KeepCorners(clean->cornerNormal, clean->start, keep);
    for (auto& channel : clean->cornerMap) KeepCorners(channel, clean->start, keep);
    KeepPolygons(clean->material, keep);
    KeepPolygons(clean->group, keep);
    KeepPolygons(clean->twoSided, keep);
    size_t out = 0;
    for (size_t p = 0; p < keep.size(); ++p) {
        if (!keep[p]) continue;
        const int32_t size = clean->start[p + 1] - clean->start[p];
        clean->start[out + 1] = clean->start[out] + size;
        ++out;
    }
    clean->start.resize(out + 1);
}

// Checks the packed polygons' indices (map corners first, then vertices, polygon by polygon),
// then drops, in place, repeated consecutive corners, polygons left with fewer than 3 distinct
// vertices and polygons that copy an earlier one.
CleanMesh Clean(PolyMesh& mesh, const volatile std::sig_atomic_t* interrupt,
                KvrnLib::ThreadManager* pool, int64_t* dropped, int64_t* copies) {
    const std::string where = mesh.source + ": mesh '" + mesh.name + "'";
    if (mesh.vertices.empty()) throw InputError(where + " has no vertices");
    if (mesh.PolygonCount() == 0) throw InputError(where + " has no polygons");
    CleanMesh clean;
    clean.explicitNormals = mesh.HasCornerNormals();
    PackPolygons(mesh, clean.explicitNormals, where);
    PackedPolygons& packed = mesh.packed;
    CheckPacked(packed);
    const size_t count = packed.Count();
    const int64_t vertexCount = static_cast<int64_t>(mesh.vertices.size());
    clean.cornerVertex = std::move(packed.vertices);
    clean.start = std::move(packed.start);
    clean.material = std::move(packed.materialIDs);
    clean.group = std::move(packed.smoothingGroups);
    clean.twoSided = std::move(packed.twoSided);
    if (clean.explicitNormals) clean.cornerNormal = std::move(packed.normals);
    std::array<int32_t*, kPolyMapChannels> maps{};
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        clean.cornerMap[channel] = std::move(packed.mapCorners[channel]);
        if (!clean.cornerMap[channel].empty()) maps[channel] = clean.cornerMap[channel].data();
    }
    packed = {};
    const bool anyMap = maps[0] || maps[1];
    int32_t* const vertices = clean.cornerVertex.data();
    Point3* const normals = clean.explicitNormals ? clean.cornerNormal.data() : nullptr;
    int32_t* const start = clean.start.data();

    // Compacting in place: writes (at `out`) never pass reads, except that a polygon's first
    // corner and its end are needed after their slots may have been taken.
    int32_t out = 0, s = 0;
    size_t kept = 0;
    for (size_t p = 0; p < count; ++p) {
        if (p % kPollPolygons == 0) PollInterrupt(interrupt);
        const int32_t e = start[p + 1];
        KVRN_CHECK_LE(s, e);
        for (int channel = 0; channel < kPolyMapChannels && anyMap; ++channel) {
            if (!maps[channel]) continue;
            const int64_t mapCount = static_cast<int64_t>(mesh.mapVertices[channel].size());
            for (int32_t c = s; c < e; ++c) {
                const int32_t m = maps[channel][c];
                if (m < -1 || m >= mapCount) ThrowMapIndexError(mesh, channel, m, p, where);
            }
        }
        for (int32_t c = s; c < e; ++c)
            if (vertices[c] < 0 || vertices[c] >= vertexCount)
                ThrowVertexIndexError(mesh, vertices[c], p, where);
        // Repeated consecutive corners add nothing but zero-length edges.
        const int32_t first = out, firstVertex = e > s ? vertices[s] : 0;
        for (int32_t c = s; c < e; ++c) {
            if (vertices[c] == (c + 1 < e ? vertices[c + 1] : firstVertex)) continue;
            vertices[out] = vertices[c];
            if (normals) normals[out] = normals[c];
            for (int32_t* map : maps)
                if (map) map[out] = map[c];
            ++out;
        }
        s = e;
        if (!HasThreeDistinct(vertices + first, size_t(out - first))) {
            ++*dropped;
            out = first;
            continue;
        }
        clean.material[kept] = clean.material[p];
        if (!clean.group.empty()) clean.group[kept] = clean.group[p];
        if (!clean.twoSided.empty()) clean.twoSided[kept] = clean.twoSided[p];
        start[kept + 1] = out;
        ++kept;
    }
    clean.cornerVertex.resize(size_t(out));
    if (normals) clean.cornerNormal.resize(size_t(out));
    clean.start.resize(kept + 1);
    clean.material.resize(kept);
    if (!clean.group.empty()) clean.group.resize(kept);
    if (!clean.twoSided.empty()) clean.twoSided.resize(kept);
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        std::vector<int32_t>& map = clean.cornerMap[channel];
        if (mesh.mapVertices[channel].empty()) {
            map = {};  // only "none" was left in it
            continue;
        }
        map.resize(size_t(out));
        const int32_t added = static_cast<int32_t>(mesh.mapVertices[channel].size());
        if (map.empty()) {
            map.assign(size_t(out), added);
            clean.usesAddedMapVertex[channel] = true;
            continue;
        }
        for (int32_t& m : map) {
            if (m >= 0) continue;
            m = added;
            clean.usesAddedMapVertex[channel] = true;
        }
    }
    DropCopies(&clean, pool, copies);
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

// Runs fn(p, thread) for every polygon p in [0, count), in chunks on the pool's workers (or in
// order on this thread), polling for an interrupt once per chunk.
template <class F>
void ForEachPolygon(const TriangulateOptions& options, int count, F&& fn) {
    constexpr int kChunk = 16384;  // a millisecond or so of work
    KvrnLib::ParallelFor(options.pool, (count + kChunk - 1) / kChunk, [&](int chunk, int thread) {
        PollInterrupt(options.interrupt);
        const int end = std::min(count, (chunk + 1) * kChunk);
        for (int p = chunk * kChunk; p < end; ++p) fn(p, thread);
    });
}

// The angle in radians at corner c, in [s, e) of its polygon, between its two edges.
double CornerAngle(const PolyMesh& mesh, const CleanMesh& clean, int32_t c, int32_t s, int32_t e) {
    const Vec3d at = ToD(mesh.vertices[clean.cornerVertex[c]]);
    const Vec3d toPrev = Sub(ToD(mesh.vertices[clean.cornerVertex[c == s ? e - 1 : c - 1]]), at);
    const Vec3d toNext = Sub(ToD(mesh.vertices[clean.cornerVertex[c + 1 == e ? s : c + 1]]), at);
    return std::atan2(LengthD(CrossD(toPrev, toNext)), DotD(toPrev, toNext));
}

// Per polygon its unit Newell normal (zero when it has none); per corner, when asked for, its
// angle, the weight of its polygon's normal in the vertex normal. Measured while the polygon's
// vertices are at hand, not later around each vertex, where they would be fetched from all over.
struct FaceGeometry {
    std::vector<Vec3d> normals;
    std::vector<double> cornerAngles;
};

FaceGeometry MeasureFaces(const PolyMesh& mesh, const CleanMesh& clean, bool angles,
                          const TriangulateOptions& options) {
    FaceGeometry geometry;
    const int count = clean.PolygonCount();
    ReserveLarge(geometry.normals, size_t(count));
    geometry.normals.resize(size_t(count));
    if (angles) {
        ReserveLarge(geometry.cornerAngles, clean.cornerVertex.size());
        geometry.cornerAngles.resize(clean.cornerVertex.size());
    }
    ForEachPolygon(options, count, [&](int p, int) {
        geometry.normals[size_t(p)] = NormalizedD(NewellNormal(mesh, clean, p));
        if (!angles) return;
        const int32_t s = clean.start[p], e = clean.start[p + 1];
        for (int32_t c = s; c < e; ++c)
            geometry.cornerAngles[size_t(c)] = CornerAngle(mesh, clean, c, s, e);
    });
    return geometry;
}

// Per polygon corner: the normal, and whether polygon edge i (corner i to i + 1) is hard.
struct CornerShading {
    std::vector<Point3> normals;
    std::vector<uint8_t> hardEdges;
};

// What the tests between the polygons around one vertex need.
struct RingCorner {
    int32_t corner;  // where the results go
    int32_t polygon;
    int32_t prevVertex, nextVertex;
    uint32_t group;
    Vec3d normal;
    Vec3d weightedNormal;  // times the corner angle
};

// Polygons are smooth with each other when both carry smoothing groups that share a bit, or,
// when either has none, when their normals are within the crease angle.
struct SmoothTest {
    double cosLimit;

    bool ByRule(const RingCorner& a, const RingCorner& b) const {
        if (a.group != 0 && b.group != 0) return (a.group & b.group) != 0;
        return DotD(a.normal, b.normal) >= cosLimit;
    }
    bool operator()(const RingCorner& a, const RingCorner& b) const {
        return a.polygon == b.polygon || ByRule(a, b);
    }
};

void Accumulate(Vec3d& sum, const Vec3d& add) {
    sum = {sum.x + add.x, sum.y + add.y, sum.z + add.z};
}

// Normals and hard edges of the corners around one vertex:
// - the angle-weighted normal at each corner over the polygons around the vertex that are smooth
//   with the corner's own polygon;
// - the hard edges: those shared by exactly two polygons that are not smooth with each other.
//   Every polygon edge has an end at the vertex being visited, so the corners there find all
//   edges to a given neighbour.
//
// Up to kPairwiseRingLimit corners, every pair is compared. Around a larger vertex (a fan of
// thousands of triangles) that is quadratic, so edges are matched through a tally per far
// vertex, and normals are summed in one of two ways:
// - when at most kMaxSmoothClasses classes of corners decide smoothness alike (same smoothing
//   groups, and the same normal where a group is 0), per class over the same corners in the same
//   order as the pairwise rule: the result is identical;
// - otherwise over the corner's fan: the corners joined through smooth edges shared by two
//   polygons. This is the pairwise rule wherever smoothness around the vertex is transitive; it
//   differs where gentle bends add up past the crease angle, or where polygons smooth with each
//   other are parted by a crease.
class RingShader {
  public:
    RingShader(double cosLimit, size_t vertexCount)
        : smooth_{cosLimit}, vertexCount_(vertexCount) {}

    // Writes the normal and hard-edge flag of ring corner k at normals[ring[k].corner] and
    // hardEdges[ring[k].corner].
    void Shade(std::span<const RingCorner> ring, Point3* normals, uint8_t* hardEdges) {
        normals_ = normals;
        hardEdges_ = hardEdges;
        haveRingSum_ = false;
        if (ring.size() <= kPairwiseRingLimit) {
            ShadePairwise(ring);
            return;
        }
        MatchEdges(ring);
        if (!SumClasses(ring)) SumFans(ring);
        for (size_t k = 0; k < ring.size(); ++k)
            normals_[ring[k].corner] = NormalOf(ring, sums_[sumIndex_[k]]);
    }

  private:
    static constexpr size_t kPairwiseRingLimit = 64;
    static constexpr size_t kMaxSmoothClasses = 64;

    void ShadePairwise(std::span<const RingCorner> ring) {
        const size_t size = ring.size();
        // Bit j of row i: corner j is smooth with corner i. The test is symmetric.
        std::array<uint64_t, kPairwiseRingLimit> smoothWith;
        for (size_t i = 0; i < size; ++i) smoothWith[i] = uint64_t(1) << i;
        for (size_t i = 0; i < size; ++i) {
            for (size_t j = i + 1; j < size; ++j) {
                if (!smooth_(ring[i], ring[j])) continue;
                smoothWith[i] |= uint64_t(1) << j;
                smoothWith[j] |= uint64_t(1) << i;
            }
        }
        // Around most vertices every corner is smooth with every other, and one sum serves all.
        const uint64_t everyCorner = size == 64 ? ~uint64_t(0) : (uint64_t(1) << size) - 1;
        const bool allSmooth =
            std::all_of(smoothWith.begin(), smoothWith.begin() + size,
                        [everyCorner](uint64_t row) { return row == everyCorner; });
        Point3 sharedNormal;
        if (allSmooth) {
            Vec3d sum;
            for (const RingCorner& other : ring) Accumulate(sum, other.weightedNormal);
            sharedNormal = NormalOf(ring, sum);
        }
        for (size_t i = 0; i < size; ++i) {
            const RingCorner& corner = ring[i];
            if (allSmooth) {
                normals_[corner.corner] = sharedNormal;
            } else {
                Vec3d sum;
                for (size_t j = 0; j < size; ++j)
                    if (smoothWith[i] >> j & 1) Accumulate(sum, ring[j].weightedNormal);
                normals_[corner.corner] = NormalOf(ring, sum);
            }
            int edgeCount = 0;  // polygon edges between the vertex and corner.nextVertex
            size_t edgeOther = i;
            for (size_t j = 0; j < size; ++j) {
                const RingCorner& other = ring[j];
                if (other.nextVertex == corner.nextVertex) {
                    ++edgeCount;
                    if (j != i) edgeOther = j;
                }
                if (other.prevVertex == corner.nextVertex) {
                    ++edgeCount;
                    edgeOther = j;
                }
            }
            hardEdges_[corner.corner] = edgeCount == 2 && !(smoothWith[i] >> edgeOther & 1);
        }
    }

    // Hard edges, and in edgePairs_ the corners (ring positions) on each edge of two corners.
    void MatchEdges(std::span<const RingCorner> ring) {
        // Allocated on the first large ring only: most meshes have none.
        if (tally_.empty()) tally_.resize(vertexCount_);
        // An end's slot is 2 * ring position, + 1 when the edge ends at the corner.
        auto count = [this](int32_t farVertex, int32_t slot) {
            EdgeTally& t = tally_[farVertex];
            if (t.count < 2) t.slots[t.count] = slot;
            ++t.count;
        };
        for (size_t k = 0; k < ring.size(); ++k) {
            count(ring[k].nextVertex, int32_t(2 * k));
            count(ring[k].prevVertex, int32_t(2 * k + 1));
        }
        edgePairs_.clear();
        for (size_t k = 0; k < ring.size(); ++k) {
            const int32_t slot = int32_t(2 * k);
            const EdgeTally& next = tally_[ring[k].nextVertex];
            bool hard = false;
            if (next.count == 2) {
                const int32_t other = next.slots[0] == slot ? next.slots[1] : next.slots[0];
                hard = !smooth_(ring[k], ring[other / 2]);
                if (next.slots[0] == slot) edgePairs_.push_back({int32_t(k), other / 2});
            }
            hardEdges_[ring[k].corner] = hard;
            const EdgeTally& prev = tally_[ring[k].prevVertex];
            if (prev.count == 2 && prev.slots[0] == slot + 1)
                edgePairs_.push_back({int32_t(k), prev.slots[1] / 2});
        }
        for (const RingCorner& corner : ring)
            tally_[corner.nextVertex] = tally_[corner.prevVertex] = {};
    }

    bool SumClasses(std::span<const RingCorner> ring) {
        const bool anyUngrouped =
            std::any_of(ring.begin(), ring.end(), [](const RingCorner& c) { return c.group == 0; });
        // Without group 0 smoothness depends on the groups alone.
        auto key = [anyUngrouped](const RingCorner& c) {
            const Vec3d& n = c.normal;
            return anyUngrouped
                       ? ClassKey{c.group, std::bit_cast<uint64_t>(n.x),
                                  std::bit_cast<uint64_t>(n.y), std::bit_cast<uint64_t>(n.z)}
                       : ClassKey{c.group, 0, 0, 0};
        };
        // Classes by open addressing in a table twice the size of their limit.
        std::array<int32_t, 2 * kMaxSmoothClasses> table;
        table.fill(-1);
        classKeys_.clear();
        classFirst_.clear();
        sumIndex_.resize(ring.size());
        for (size_t k = 0; k < ring.size(); ++k) {
            const ClassKey c = key(ring[k]);
            uint64_t hash = 0;
            for (uint64_t word : c) hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
            size_t at = hash >> 57;  // 7 bits for the 128 entries
            while (table[at] >= 0 && classKeys_[table[at]] != c) at = (at + 1) % table.size();
            if (table[at] < 0) {
                if (classFirst_.size() == kMaxSmoothClasses) return false;
                table[at] = int32_t(classFirst_.size());
                classKeys_.push_back(c);
                classFirst_.push_back(int32_t(k));
            }
            sumIndex_[k] = table[at];
        }
        // Corners of one polygon are in one class, and must be smooth with each other by rule
        // too (a zero or NaN normal is not), for the class to stand for each of its corners.
        const size_t classes = classFirst_.size();
        classSmooth_.resize(classes * classes);
        for (size_t a = 0; a < classes; ++a) {
            for (size_t b = 0; b < classes; ++b) {
                classSmooth_[a * classes + b] =
                    smooth_.ByRule(ring[classFirst_[a]], ring[classFirst_[b]]);
            }
            if (!classSmooth_[a * classes + a]) return false;
        }
        sums_.assign(classes, Vec3d{});
        for (size_t k = 0; k < ring.size(); ++k) {
            const size_t b = size_t(sumIndex_[k]);
            for (size_t a = 0; a < classes; ++a)
                if (classSmooth_[a * classes + b]) Accumulate(sums_[a], ring[k].weightedNormal);
        }
        return true;
    }

    void SumFans(std::span<const RingCorner> ring) {
        fan_.resize(ring.size());
        for (size_t k = 0; k < ring.size(); ++k) fan_[k] = int32_t(k);
        auto root = [this](int32_t k) {
            while (fan_[k] != k) k = fan_[k] = fan_[fan_[k]];
            return k;
        };
        auto join = [&](int32_t a, int32_t b) {
            a = root(a);
            b = root(b);
            if (a != b) fan_[std::max(a, b)] = std::min(a, b);
        };
        // The ring is in corner order, so a polygon's corners at the vertex are neighbours in it.
        for (size_t k = 1; k < ring.size(); ++k)
            if (ring[k].polygon == ring[k - 1].polygon) join(int32_t(k - 1), int32_t(k));
        for (const auto& [a, b] : edgePairs_)
            if (smooth_(ring[a], ring[b])) join(a, b);
        sums_.assign(ring.size(), Vec3d{});
        sumIndex_.resize(ring.size());
        for (size_t k = 0; k < ring.size(); ++k) {
            sumIndex_[k] = root(int32_t(k));
            Accumulate(sums_[sumIndex_[k]], ring[k].weightedNormal);
        }
    }

    Point3 NormalOf(std::span<const RingCorner> ring, const Vec3d& sum) {
        // A degenerate polygon has no normal of its own: it borrows its neighbours'.
        Vec3d n;
        if (!Normalize(sum, &n)) {
            if (!haveRingSum_) {
                ringSum_ = {};
                for (const RingCorner& other : ring) Accumulate(ringSum_, other.weightedNormal);
                haveRingSum_ = true;
            }
            if (!Normalize(ringSum_, &n)) n = {0, 0, 1};
        }
        return ToF(n);
    }

    // Edge ends at the vertex being shaded that lead to one far vertex: how many, and the first
    // two slots.
    struct EdgeTally {
        int32_t count = 0;
        std::array<int32_t, 2> slots;
    };
    using ClassKey = std::array<uint64_t, 4>;

    SmoothTest smooth_;
    size_t vertexCount_;
    Point3* normals_ = nullptr;
    uint8_t* hardEdges_ = nullptr;
    Vec3d ringSum_;
    bool haveRingSum_ = false;
    std::vector<EdgeTally> tally_;  // per vertex; all zero between rings
    std::vector<std::pair<int32_t, int32_t>> edgePairs_;
    std::vector<ClassKey> classKeys_;
    std::vector<int32_t> classFirst_, fan_;
    std::vector<uint8_t> classSmooth_;
    std::vector<int32_t> sumIndex_;  // per ring position: its entry in sums_
    std::vector<Vec3d> sums_;
};

// Walks the corners around each vertex once (RingShader) to find both normals and hard edges.
CornerShading ShadeCorners(const PolyMesh& mesh, const CleanMesh& clean,
                           const FaceGeometry& geometry, float creaseAngleDeg,
                           const volatile std::sig_atomic_t* interrupt,
                           KvrnLib::ThreadManager* pool) {
    const size_t cornerCount = clean.cornerVertex.size();
    const size_t vertexCount = mesh.vertices.size();
    // The limit counts as within: a 12-sided tube bends by exactly 30 degrees, which rounding
    // would otherwise put on either side facet by facet.
    constexpr double kLimitSlackDeg = 1e-3;
    const double cosLimit = std::cos((creaseAngleDeg + kLimitSlackDeg) * std::numbers::pi / 180.0);

    // Corners around each vertex in compressed-row form, in corner order: the sums add in that
    // order.
    std::vector<int32_t> ringStart;
    ReserveLarge(ringStart, vertexCount + 1);
    ringStart.assign(vertexCount + 1, 0);
    for (int32_t v : clean.cornerVertex) ++ringStart[v + 1];
    for (size_t v = 0; v < vertexCount; ++v) ringStart[v + 1] += ringStart[v];

    CornerShading result;
    ReserveLarge(result.normals, cornerCount);
    result.normals.resize(cornerCount);
    ReserveLarge(result.hardEdges, cornerCount);
    result.hardEdges.resize(cornerCount);
    // Vertices go in blocks of up to 64K corners, whose data fit a buffer of some 5 MB. The
    // corners are first sorted by block, keeping polygon order; each block then gathers its
    // corners' data from polygons visited in storage order, and the walks around its vertices
    // read only the buffer. Gathering vertex by vertex instead misses the cache at nearly every
    // step. A smaller mesh gets smaller blocks, a dozen or more, to share out among the workers.
    const int32_t blockCorners = std::clamp(int32_t(std::bit_ceil(cornerCount / 16 + 1)),
                                            int32_t(1) << 12, int32_t(1) << 16);
    std::vector<size_t> blockFirst{0};  // first vertex of each block, then vertexCount
    std::vector<int32_t> vertexBlock(vertexCount);
    for (size_t v = 0; v < vertexCount; ++v) {
        if (v > blockFirst.back() && ringStart[v + 1] - ringStart[blockFirst.back()] > blockCorners)
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
            if (p % kPollPolygons == 0) PollInterrupt(interrupt);
            for (int32_t c = clean.start[p]; c < clean.start[p + 1]; ++c)
                byBlock[cursor[vertexBlock[clean.cornerVertex[c]]]++] = {c, p};
        }
    }

    int32_t largestBlock = 0;
    for (size_t b = 0; b + 1 < blockFirst.size(); ++b)
        largestBlock =
            std::max(largestBlock, ringStart[blockFirst[b + 1]] - ringStart[blockFirst[b]]);
    // Blocks are independent: each worker shades whole blocks with buffers and a shader of its
    // own, and writes only the corners of its blocks' vertices. Results go to the buffers in
    // the blocks' polygon order first, so that their copy out runs through the corners forward
    // rather than jumping about.
    struct BlockWorker {
        std::unique_ptr<RingCorner[]> ring;
        std::unique_ptr<Point3[]> normals;
        std::unique_ptr<uint8_t[]> hardEdges;
        std::vector<int32_t> fill;
        std::unique_ptr<RingShader> shader;
    };
    std::vector<BlockWorker> workers(pool ? size_t(pool->GetThreadCount()) : 1);
    KvrnLib::ParallelFor(pool, int(blockFirst.size() - 1), [&](int b, int thread) {
        PollInterrupt(interrupt);
        BlockWorker& worker = workers[size_t(thread)];
        if (!worker.ring) {
            worker.ring = std::make_unique_for_overwrite<RingCorner[]>(size_t(largestBlock));
            worker.normals = std::make_unique_for_overwrite<Point3[]>(size_t(largestBlock));
            worker.hardEdges = std::make_unique_for_overwrite<uint8_t[]>(size_t(largestBlock));
            worker.shader = std::make_unique<RingShader>(cosLimit, vertexCount);
        }
        RingCorner* const ring = worker.ring.get();
        std::vector<int32_t>& fill = worker.fill;
        const size_t first = blockFirst[size_t(b)], end = blockFirst[size_t(b) + 1];
        const int32_t base = ringStart[first], blockEnd = ringStart[end];
        fill.assign(ringStart.begin() + first, ringStart.begin() + end);
        for (int32_t k = base; k < blockEnd; ++k) {
            const auto [c, p] = byBlock[k];
            const int32_t s = clean.start[p], e = clean.start[p + 1];
            const int32_t v = clean.cornerVertex[c];
            const int32_t prev = clean.cornerVertex[c == s ? e - 1 : c - 1];
            const int32_t next = clean.cornerVertex[c + 1 == e ? s : c + 1];
            const double w = geometry.cornerAngles[c];
            const Vec3d& n = geometry.normals[p];
            ring[fill[v - first]++ - base] = {
                k - base, p, prev, next, clean.Group(p), n, {w * n.x, w * n.y, w * n.z}};
        }
        for (size_t v = first; v < end; ++v) {
            worker.shader->Shade(std::span<const RingCorner>(ring + (ringStart[v] - base),
                                                             ring + (ringStart[v + 1] - base)),
                                 worker.normals.get(), worker.hardEdges.get());
        }
        for (int32_t k = base; k < blockEnd; ++k) {
            const int32_t c = byBlock[k].corner;
            result.normals[c] = worker.normals[k - base];
            result.hardEdges[c] = worker.hardEdges[k - base];
        }
    });
    return result;
}

// Ear-clips polygon p in the plane of its unit normal n.
void ClipInPlane(const PolyMesh& mesh, const CleanMesh& clean, int p, const Vec3d& n, EarClip& clip,
                 const volatile std::sig_atomic_t* interrupt,
                 std::vector<std::array<int, 3>>* triangles) {
    const int s = clean.start[p], size = clean.Size(p);
    // In-plane basis with u x v = n, so the polygon stays counter-clockwise in 2D.
    const Vec3d axis = std::fabs(n.x) < 0.6 ? Vec3d{1, 0, 0} : Vec3d{0, 1, 0};
    const Vec3d u = NormalizedD(CrossD(axis, n));
    const Vec3d v = CrossD(n, u);
    std::vector<Point2d>& points = clip.Points();
    points.resize(size);
    for (int i = 0; i < size; ++i) {
        const Vec3d q = ToD(mesh.vertices[clean.cornerVertex[s + i]]);
        points[i] = {DotD(q, u), DotD(q, v)};
    }
    clip.Run(interrupt, triangles);
}

// Local corner triples of polygon p, given its unit normal (zero when it has none).
void TriangulatePolygon(const PolyMesh& mesh, const CleanMesh& clean, int p, const Vec3d& n,
                        EarClip& clip, const volatile std::sig_atomic_t* interrupt,
                        std::vector<std::array<int, 3>>* triangles) {
    triangles->clear();
    const int size = clean.Size(p);
    if (size == 3) {
        triangles->push_back({0, 1, 2});
    } else if (LengthD(n) == 0) {
        // No plane to work in (all corners on a line): any fan is as good as another.
        for (int i = 1; i + 1 < size; ++i) triangles->push_back({0, i, i + 1});
    } else {
        ClipInPlane(mesh, clean, p, n, clip, interrupt, triangles);
    }
}

// The object's map channels for the mesh's channels with map vertices, faces still to fill.
// The mesh's map vertices move into them.
std::array<KvrnLib::UVMesh*, kPolyMapChannels> AddMapChannels(PolyMesh& mesh,
                                                              const CleanMesh& clean,
                                                              size_t triangleCount,
                                                              KvrnLib::RenderObject& object) {
    std::array<KvrnLib::UVMesh*, kPolyMapChannels> maps{};
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        std::vector<Point3>& mapVertices = mesh.mapVertices[channel];
        if (mapVertices.empty()) continue;
        auto map = std::make_shared<KvrnLib::UVMesh>();
        map->vertices = std::move(mapVertices);
        if (clean.usesAddedMapVertex[channel]) map->vertices.push_back({0, 0, 0});
        ReserveLarge(map->faces, triangleCount);
        map->faces.resize(triangleCount);
        maps[channel] = map.get();
        object.mapChannels[channel] = std::move(map);
    }
    return maps;
}

// Writes the object's triangles polygon by polygon: polygon p's n - 2 triangles are faces
// start[p] - 2p on, so that polygons can be written in any order, on any thread. The outputs are
// sized beforehand.
struct TriangleWriter {
    struct Scratch {
        EarClip clip;
        std::vector<std::array<int, 3>> triangles;
    };

    const PolyMesh& mesh;
    const CleanMesh& clean;
    const FaceGeometry& geometry;
    const uint8_t* hardEdges;     // per polygon corner; null with explicit normals
    const Point3* cornerNormals;  // per polygon corner
    const TriangulateOptions& options;
    FaceRecord* faces;
    Point3* faceCornerNormals;  // three per face; null when they are the polygons' own
    std::array<std::array<int32_t, 3>*, kPolyMapChannels> mapFaces;  // null for no channel

    void Write(int p, Scratch& scratch) const {
        const int s = clean.start[p], size = clean.Size(p);
        TriangulatePolygon(mesh, clean, p, geometry.normals[p], scratch.clip, options.interrupt,
                           &scratch.triangles);
        KVRN_DCHECK(scratch.triangles.size() == size_t(size - 2));
        const int32_t* const corners = clean.cornerVertex.data() + s;
        FaceRecord face;
        face.materialID = clean.material[p];
        face.smoothingGroup = clean.Group(p);
        const uint32_t sided = clean.TwoSided(p) ? KvrnLib::kFaceTwoSided : 0;
        size_t f = size_t(s) - 2 * size_t(p);
        for (const auto& tri : scratch.triangles) {
            face.vertexA = corners[tri[0]];
            face.vertexB = corners[tri[1]];
            face.vertexC = corners[tri[2]];
            face.flags = sided;
            for (int k = 0; k < 3; ++k) {
                const int from = tri[k], to = tri[(k + 1) % 3];
                if ((from + 1) % size != to) continue;  // a diagonal
                face.flags |= FaceEdgeVisibleBit(k);
                if (hardEdges && hardEdges[s + from]) face.flags |= FaceEdgeHardBit(k);
            }
            faces[f] = face;
            for (int channel = 0; channel < kPolyMapChannels; ++channel) {
                if (!mapFaces[channel]) continue;
                const int32_t* cornerMap = clean.cornerMap[channel].data() + s;
                mapFaces[channel][f] = {cornerMap[tri[0]], cornerMap[tri[1]], cornerMap[tri[2]]};
            }
            if (faceCornerNormals) {
                for (int k = 0; k < 3; ++k)
                    faceCornerNormals[3 * f + k] = cornerNormals[s + tri[k]];
            }
            ++f;
        }
    }
};

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
    if (PolygonCount() == 0) return false;
    if (!std::all_of(polygons.begin(), polygons.end(), HasNormalPerCorner)) return false;
    return packed.Count() == 0 || !packed.normals.empty();
}

Triangulation Triangulate(const PolyMesh& mesh, const TriangulateOptions& options) {
    PolyMesh copy = mesh;
    return Triangulate(std::move(copy), options);
}

Triangulation Triangulate(PolyMesh&& mesh, const TriangulateOptions& options) {
    Triangulation result;
    CleanMesh clean = Clean(mesh, options.interrupt, options.pool, &result.droppedPolygons,
                            &result.copiedPolygons);
    const bool explicitNormals = clean.explicitNormals;
    if (clean.PolygonCount() == 0) {
        throw InputError(mesh.source + ": mesh '" + mesh.name +
                         "' has no polygon with 3 or more distinct vertices");
    }

    const FaceGeometry geometry = MeasureFaces(mesh, clean, !explicitNormals, options);
    CornerShading shading;
    if (!explicitNormals) {
        shading = ShadeCorners(mesh, clean, geometry, options.creaseAngleDeg, options.interrupt,
                               options.pool);
    }
    std::vector<Point3> cornerNormals =
        explicitNormals ? std::move(clean.cornerNormal) : std::move(shading.normals);
    // Then triangle corners are polygon corners, in the same order.
    const bool allTriangles = clean.cornerVertex.size() == 3 * size_t(clean.PolygonCount());

    auto object = std::make_shared<KvrnLib::RenderObject>();
    object->name = mesh.name;
    object->objToWorld = mesh.objToWorld;
    object->explicitNormals = explicitNormals ? 1 : 0;
    // Every polygon of n corners gives n - 2 triangles.
    const size_t triangleCount = clean.cornerVertex.size() - 2 * size_t(clean.PolygonCount());
    ReserveLarge(object->faces, triangleCount);
    object->faces.resize(triangleCount);
    if (!allTriangles) {
        ReserveLarge(object->cornerNormals, 3 * triangleCount);
        object->cornerNormals.resize(3 * triangleCount);
    }
    const std::array<KvrnLib::UVMesh*, kPolyMapChannels> maps =
        AddMapChannels(mesh, clean, triangleCount, *object);
    std::array<std::array<int32_t, 3>*, kPolyMapChannels> mapFaces{};
    for (int channel = 0; channel < kPolyMapChannels; ++channel)
        if (maps[channel]) mapFaces[channel] = maps[channel]->faces.data();
    const TriangleWriter writer{mesh,
                                clean,
                                geometry,
                                explicitNormals ? nullptr : shading.hardEdges.data(),
                                cornerNormals.data(),
                                options,
                                object->faces.data(),
                                allTriangles ? nullptr : object->cornerNormals.data(),
                                mapFaces};
    std::vector<TriangleWriter::Scratch> scratch(
        options.pool ? size_t(options.pool->GetThreadCount()) : 1);
    ForEachPolygon(options, clean.PolygonCount(),
                   [&](int p, int thread) { writer.Write(p, scratch[size_t(thread)]); });
    if (allTriangles) object->cornerNormals = std::move(cornerNormals);
    object->vertices = std::move(mesh.vertices);
    result.object = std::move(object);
    return result;
}

}  // namespace KvrnApp
