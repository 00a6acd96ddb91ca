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

#include "ear_clip.h"
#include "polygon_copies.h"
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
// [start[p], start[p + 1]).
struct CleanMesh {
    bool explicitNormals = false;  // every polygon has a normal per corner
    std::vector<int32_t> cornerVertex;
    std::vector<Point3> cornerNormal;  // filled only with explicit normals
    std::vector<int32_t> start{0};
    std::vector<int32_t> source;  // index of the PolyMesh polygon
    std::vector<uint32_t> group;  // smoothing groups; empty while all are 0
    // Per map channel with map vertices, the map index of each corner; corners of polygons
    // without map corners get index mapVertices[channel].size(), an added (0, 0, 0) map vertex.
    std::array<std::vector<int32_t>, kPolyMapChannels> cornerMap;
    std::array<bool, kPolyMapChannels> usesAddedMapVertex{};

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

constexpr std::array<const char*, kPolyMapChannels> kMapChannelNames = {"vertex colour",
                                                                        "texture coordinate"};

// Map corners are absent, or one valid map index per corner.
bool MapCornersValid(const PolyMesh& mesh, const Polygon& poly) {
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        const std::vector<int32_t>& corners = poly.mapCorners[channel];
        if (corners.empty()) continue;
        if (corners.size() != poly.vertices.size()) return false;
        const int64_t count = static_cast<int64_t>(mesh.mapVertices[channel].size());
        for (int32_t m : corners)
            if (m < 0 || m >= count) return false;
    }
    return true;
}

// Says what MapCornersValid found wrong with polygon p.
[[noreturn]] void ThrowMapCornerError(const PolyMesh& mesh, const Polygon& poly, size_t p,
                                      const std::string& where) {
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        const std::vector<int32_t>& corners = poly.mapCorners[channel];
        if (corners.empty()) continue;
        const std::string at =
            where + ", polygon " + std::to_string(p) + ": " + kMapChannelNames[channel];
        if (corners.size() != poly.vertices.size()) {
            throw InputError(at + " indices: " + std::to_string(corners.size()) + " for " +
                             std::to_string(poly.vertices.size()) +
                             " corners (expected one per corner)");
        }
        const int64_t count = static_cast<int64_t>(mesh.mapVertices[channel].size());
        for (int32_t m : corners) {
            if (m < 0 || m >= count) {
                throw InputError(at + " index " + std::to_string(m) + " is out of range (" +
                                 (count == 0 ? std::string("the mesh has none")
                                             : "expected 0 to " + std::to_string(count - 1)) +
                                 ")");
            }
        }
    }
    throw InputError(where + ", polygon " + std::to_string(p) + ": bad map corners");
}

// The map corners of the corners Clean keeps of a polygon: the same repeated ones are skipped.
void AppendMapCorners(const PolyMesh& mesh, const Polygon& poly, CleanMesh* clean) {
    const size_t n = poly.vertices.size();
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        if (mesh.mapVertices[channel].empty()) continue;
        const std::vector<int32_t>& corners = poly.mapCorners[channel];
        const int32_t added = static_cast<int32_t>(mesh.mapVertices[channel].size());
        if (corners.empty()) clean->usesAddedMapVertex[channel] = true;
        for (size_t i = 0; i < n; ++i) {
            if (poly.vertices[i] == poly.vertices[(i + 1) % n]) continue;
            clean->cornerMap[channel].push_back(corners.empty() ? added : corners[i]);
        }
    }
}

// Removes the polygons that exactly repeat an earlier one (FindPolygonCopies), counting them.
void DropCopies(const PolyMesh& mesh, CleanMesh* clean, int64_t* dropped) {
    std::vector<uint16_t> materials(clean->source.size());
    for (size_t p = 0; p < materials.size(); ++p)
        materials[p] = mesh.polygons[size_t(clean->source[p])].materialID;
    const std::vector<uint8_t> copies =
        FindPolygonCopies(clean->cornerVertex, clean->start, materials);
    const int64_t found = std::count(copies.begin(), copies.end(), uint8_t{1});
    if (found == 0) return;
    *dropped += found;
    // Corner arrays and polygon arrays shrink in place, keeping order.
    const auto keepCorners = [&](auto& values) {
        if (values.empty()) return;
        size_t out = 0;
        for (size_t p = 0; p < copies.size(); ++p) {
            if (copies[p]) continue;
            for (int32_t c = clean->start[p]; c < clean->start[p + 1]; ++c)
                values[out++] = values[size_t(c)];
        }
        values.resize(out);
    };
    const auto keepPolygons = [&](auto& values) {
        if (values.empty()) return;
        size_t out = 0;
        for (size_t p = 0; p < copies.size(); ++p)
            if (!copies[p]) values[out++] = values[p];
        values.resize(out);
    };
    keepCorners(clean->cornerVertex);
    keepCorners(clean->cornerNormal);
    for (auto& channel : clean->cornerMap) keepCorners(channel);
    keepPolygons(clean->source);
    keepPolygons(clean->group);
    std::vector<int32_t> start{0};
    start.reserve(clean->source.size() + 1);
    for (size_t p = 0; p < copies.size(); ++p)
        if (!copies[p]) start.push_back(start.back() + clean->start[p + 1] - clean->start[p]);
    clean->start = std::move(start);
}

CleanMesh Clean(const PolyMesh& mesh, const volatile std::sig_atomic_t* interrupt, int64_t* dropped,
                int64_t* copies) {
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
    bool anyMap = false;
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        if (mesh.mapVertices[channel].empty()) continue;
        ReserveLarge(clean.cornerMap[channel], cornerTotal);
        anyMap = true;
    }
    for (size_t p = 0; p < mesh.polygons.size(); ++p) {
        if (p % kPollPolygons == 0) PollInterrupt(interrupt);
        const Polygon& poly = mesh.polygons[p];
        if (!MapCornersValid(mesh, poly)) ThrowMapCornerError(mesh, poly, p, where);
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
        if (anyMap) AppendMapCorners(mesh, poly, &clean);
        clean.start.push_back(static_cast<int32_t>(clean.cornerVertex.size()));
        clean.source.push_back(static_cast<int32_t>(p));
        if (poly.smoothingGroup != 0 || !clean.group.empty()) {
            clean.group.resize(clean.source.size() - 1, 0);
            clean.group.push_back(poly.smoothingGroup);
        }
    }
    DropCopies(mesh, &clean, copies);
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

// What the tests between the polygons around one vertex need.
struct RingCorner {
    int32_t corner, polygon;
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
    RingShader(double cosLimit, size_t vertexCount, CornerShading* result)
        : smooth_{cosLimit}, vertexCount_(vertexCount), result_(*result) {}

    void Shade(std::span<const RingCorner> ring) {
        haveRingSum_ = false;
        if (ring.size() <= kPairwiseRingLimit) {
            ShadePairwise(ring);
            return;
        }
        MatchEdges(ring);
        if (!SumClasses(ring)) SumFans(ring);
        for (size_t k = 0; k < ring.size(); ++k) SetNormal(ring, ring[k], sums_[sumIndex_[k]]);
    }

  private:
    static constexpr size_t kPairwiseRingLimit = 64;
    static constexpr size_t kMaxSmoothClasses = 64;

    void ShadePairwise(std::span<const RingCorner> ring) {
        for (size_t i = 0; i < ring.size(); ++i) {
            const RingCorner& corner = ring[i];
            Vec3d sum;
            int edgeCount = 0;  // polygon edges between the vertex and corner.nextVertex
            size_t edgeOther = i;
            for (size_t j = 0; j < ring.size(); ++j) {
                const RingCorner& other = ring[j];
                if (smooth_(corner, other)) Accumulate(sum, other.weightedNormal);
                if (other.nextVertex == corner.nextVertex) {
                    ++edgeCount;
                    if (j != i) edgeOther = j;
                }
                if (other.prevVertex == corner.nextVertex) {
                    ++edgeCount;
                    edgeOther = j;
                }
            }
            SetNormal(ring, corner, sum);
            result_.hardEdges[corner.corner] = edgeCount == 2 && !smooth_(corner, ring[edgeOther]);
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
            result_.hardEdges[ring[k].corner] = hard;
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

    void SetNormal(std::span<const RingCorner> ring, const RingCorner& corner, const Vec3d& sum) {
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
        result_.normals[corner.corner] = ToF(n);
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
    CornerShading& result_;
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
                           const std::vector<Vec3d>& faceNormals, float creaseAngleDeg,
                           const volatile std::sig_atomic_t* interrupt) {
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
            if (p % kPollPolygons == 0) PollInterrupt(interrupt);
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
    RingShader shader(cosLimit, vertexCount, &result);
    for (size_t b = 0; b + 1 < blockFirst.size(); ++b) {
        PollInterrupt(interrupt);
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
            shader.Shade(std::span<const RingCorner>(block.get() + (ringStart[v] - base),
                                                     block.get() + (ringStart[v + 1] - base)));
        }
    }
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
std::array<KvrnLib::UVMesh*, kPolyMapChannels> AddMapChannels(const PolyMesh& mesh,
                                                              const CleanMesh& clean,
                                                              size_t triangleCount,
                                                              KvrnLib::RenderObject& object) {
    std::array<KvrnLib::UVMesh*, kPolyMapChannels> maps{};
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        const std::vector<Point3>& mapVertices = mesh.mapVertices[channel];
        if (mapVertices.empty()) continue;
        auto map = std::make_shared<KvrnLib::UVMesh>();
        ReserveLarge(map->vertices, mapVertices.size() + 1);
        map->vertices.assign(mapVertices.begin(), mapVertices.end());
        if (clean.usesAddedMapVertex[channel]) map->vertices.push_back({0, 0, 0});
        ReserveLarge(map->faces, triangleCount);
        maps[channel] = map.get();
        object.mapChannels[channel] = std::move(map);
    }
    return maps;
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
    CleanMesh clean =
        Clean(mesh, options.interrupt, &result.droppedPolygons, &result.copiedPolygons);
    const bool explicitNormals = clean.explicitNormals;
    if (clean.PolygonCount() == 0) {
        throw InputError(mesh.source + ": mesh '" + mesh.name +
                         "' has no polygon with 3 or more distinct vertices");
    }

    std::vector<Vec3d> faceNormals;
    ReserveLarge(faceNormals, clean.PolygonCount());
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        if (p % kPollPolygons == 0) PollInterrupt(options.interrupt);
        faceNormals.push_back(NormalizedD(NewellNormal(mesh, clean, p)));
    }
    CornerShading shading;
    if (!explicitNormals) {
        shading = ShadeCorners(mesh, clean, faceNormals, options.creaseAngleDeg, options.interrupt);
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
    const std::array<KvrnLib::UVMesh*, kPolyMapChannels> maps =
        AddMapChannels(mesh, clean, triangleCount, *object);
    const bool anyMap = std::any_of(maps.begin(), maps.end(), [](auto* map) { return map; });

    std::vector<std::array<int, 3>> triangles;
    EarClip clip;
    for (int p = 0; p < clean.PolygonCount(); ++p) {
        if (p % kPollPolygons == 0) PollInterrupt(options.interrupt);
        const Polygon& poly = mesh.polygons[clean.source[p]];
        const int s = clean.start[p], size = clean.Size(p);
        TriangulatePolygon(mesh, clean, p, faceNormals[p], clip, options.interrupt, &triangles);
        for (const auto& tri : triangles) {
            FaceRecord face;
            face.vertexA = clean.cornerVertex[s + tri[0]];
            face.vertexB = clean.cornerVertex[s + tri[1]];
            face.vertexC = clean.cornerVertex[s + tri[2]];
            face.materialID = poly.materialID;
            face.smoothingGroup = poly.smoothingGroup;
            if (poly.twoSided) face.flags |= KvrnLib::kFaceTwoSided;
            for (int k = 0; k < 3; ++k) {
                const int from = tri[k], to = tri[(k + 1) % 3];
                if ((from + 1) % size != to) continue;  // a diagonal
                face.flags |= FaceEdgeVisibleBit(k);
                if (!explicitNormals && shading.hardEdges[s + from])
                    face.flags |= FaceEdgeHardBit(k);
            }
            object->faces.push_back(face);
            for (int channel = 0; channel < kPolyMapChannels && anyMap; ++channel) {
                if (!maps[channel]) continue;
                const int32_t* cornerMap = clean.cornerMap[channel].data() + s;
                maps[channel]->faces.push_back(
                    {cornerMap[tri[0]], cornerMap[tri[1]], cornerMap[tri[2]]});
            }
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
