// Deferred per-object data. Face groups follow a Morton (Z-order) curve of the face bounds'
// centres (screen position and depth), ordered with an LSD radix sort, so that neighbouring
// groups stay close on screen and in depth.
//
// Cost notes, measured on a 1.1M-face mesh: touching fresh memory is the largest cost here (on
// the project's virtual machines about 2 ms per MB, in page faults), so results are written
// once, in place, and scratch arrays are few and narrow; and faces index vertices far apart, so
// vertex loads are gathered for a block of faces before the arithmetic (ForEachFaceGathered).
#include "render_object_info.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "face_copies.h"
#include "morton.h"
#include "radix_sort.h"

namespace KvrnLib {
namespace {

using Bound = FaceBoundingPack::Bound;

// Above this a normal's length has overflowed or come from infinite coordinates.
constexpr double kHugeLength = 1e300;

bool VertexInRange(int32_t v, size_t count) { return v >= 0 && size_t(v) < count; }

bool FaceInRange(const FaceRecord& f, size_t count) {
    return VertexInRange(f.vertexA, count) && VertexInRange(f.vertexB, count) &&
           VertexInRange(f.vertexC, count);
}

// One face's corners, gathered ahead of the arithmetic.
struct Corners {
    Point3 a, b, c;     // camera space
    Point2 sa, sb, sc;  // screen, where the computation needs them
    bool valid;         // false: indices out of range (or face skipped); corners are zero
};

// Runs gather(i, slot) for a block of faces, then compute(i, slot) for the same block. With the
// vertex loads apart from the arithmetic, many cache misses are in flight at once: about four
// times faster than one loop on a 1.1M-face mesh whose faces index vertices far apart.
template <class Gather, class Compute>
void ForEachFaceGathered(size_t faceCount, Gather gather, Compute compute) {
    constexpr size_t kBlock = 64;
    Corners slots[kBlock];
    for (size_t base = 0; base < faceCount; base += kBlock) {
        const size_t count = std::min(kBlock, faceCount - base);
        for (size_t j = 0; j < count; ++j) gather(base + j, slots[j]);
        for (size_t j = 0; j < count; ++j) compute(base + j, slots[j]);
    }
}

// Camera-space corners of face f; out-of-range faces get zero corners, which every later test
// treats as degenerate.
inline void GatherCamera(const FaceRecord& f, const std::vector<Point3>& cam, Corners& c) {
    c.valid = FaceInRange(f, cam.size());
    c.a = c.valid ? cam[size_t(f.vertexA)] : Point3{};
    c.b = c.valid ? cam[size_t(f.vertexB)] : Point3{};
    c.c = c.valid ? cam[size_t(f.vertexC)] : Point3{};
}

struct DoubleCross {
    double x, y, z;
};

// e1 x e2 in double: for small faces far from the camera the float product cancels badly.
inline DoubleCross CrossInDouble(const Corners& c) {
    const double e1x = double(c.b.x) - c.a.x, e1y = double(c.b.y) - c.a.y,
                 e1z = double(c.b.z) - c.a.z;
    const double e2x = double(c.c.x) - c.a.x, e2y = double(c.c.y) - c.a.y,
                 e2z = double(c.c.z) - c.a.z;
    return {e1y * e2z - e1z * e2y, e1z * e2x - e1x * e2z, e1x * e2y - e1y * e2x};
}

// Box of the part of triangle a, b, c with z <= nearZ (Sutherland-Hodgman against one plane).
Bound ClippedFaceBound(const Camera& camera, Point3 a, Point3 b, Point3 c) {
    const Point3 in[3] = {a, b, c};
    Point3 kept[4];
    int keptCount = 0;
    for (int i = 0; i < 3; ++i) {
        const Point3 p = in[i];
        const Point3 q = in[(i + 1) % 3];
        const bool pIn = p.z <= camera.nearZ;
        const bool qIn = q.z <= camera.nearZ;
        if (pIn) kept[keptCount++] = p;
        if (pIn != qIn) {
            const float t = (camera.nearZ - p.z) / (q.z - p.z);
            Point3 x = p + (q - p) * t;
            x.z = camera.nearZ;  // exactly on the plane despite rounding in t
            kept[keptCount++] = x;
        }
    }
    Bound bound;
    for (int i = 0; i < keptCount; ++i) {
        bound.screen.Add(camera.Project(kept[i]));
        bound.minZ = std::min(bound.minZ, kept[i].z);
        bound.maxZ = std::max(bound.maxZ, kept[i].z);
    }
    return bound;
}

// Centre of a face's bound: screen position and depth.
struct BoundCentre {
    float x, y, z;
};

BoundCentre CentreOf(const Bound& b) {
    return {0.5f * (b.screen.minX + b.screen.maxX), 0.5f * (b.screen.minY + b.screen.maxY),
            0.5f * (b.minZ + b.maxZ)};
}

// Morton codes of the bound centres (screen x, y and depth) on a 1024^3 grid over `span`;
// centres outside it go to the border cells. Depth takes part so that the front and back of a
// closed object fall into different groups: with screen position alone a group mixes both and
// its depth range spans the whole object, which leaves the intersection search nothing to prune.
class MortonGrid {
  public:
    explicit MortonGrid(const Box3& span)
        : lo_{span.min.x, span.min.y, span.min.z},
          scale_{Scale(span.min.x, span.max.x), Scale(span.min.y, span.max.y),
                 Scale(span.min.z, span.max.z)} {}

    uint32_t Code(const Bound& bound) const {
        const BoundCentre c = CentreOf(bound);
        return (MortonSpread3(Quantize(c.x, 0)) << 2) | (MortonSpread3(Quantize(c.y, 1)) << 1) |
               MortonSpread3(Quantize(c.z, 2));
    }

  private:
    static constexpr float kCells = 1023.0f;

    static float Scale(float lo, float hi) {
        const float range = hi - lo;
        return range > 0.0f && std::isfinite(range) ? kCells / range : 0.0f;
    }
    // NaN goes to cell 0 rather than into an undefined float-to-int conversion.
    uint32_t Quantize(float value, int axis) const {
        const float t = (value - lo_[axis]) * scale_[axis];
        if (!(t > 0.0f)) return 0;
        if (t >= kCells) return uint32_t(kCells);
        return uint32_t(t);
    }

    float lo_[3], scale_[3];
};

}  // namespace

RenderObjectInfoEx::RenderObjectInfoEx(const Scene& scene, const RenderObject* owner,
                                       int objectIndex)
    : object(owner), index(objectIndex), scene_(scene) {
    if (!object) return;
    mirrored_ = object->normalToCam.Determinant() < 0.0;
    if (object->invalid || object->vertices.empty() || object->faces.empty()) return;

    // Conservative and cheap: the object-space box through the transform, clipped in depth.
    Box3 objectBox;
    for (const Point3& v : object->vertices) objectBox.Add(v);
    if (objectBox.IsEmpty()) return;  // every vertex NaN
    Box3 cameraBox;
    for (int corner = 0; corner < 8; ++corner) {
        const Point3 p{(corner & 1) ? objectBox.max.x : objectBox.min.x,
                       (corner & 2) ? objectBox.max.y : objectBox.min.y,
                       (corner & 4) ? objectBox.max.z : objectBox.min.z};
        cameraBox.Add(object->objToCam.PointTransform(p));
    }
    const Camera& camera = scene_.GetCamera();
    const float nearZ = std::min(cameraBox.max.z, camera.nearZ);
    const float farZ = std::max(cameraBox.min.z, camera.farZ);
    if (!(farZ <= nearZ)) return;
    // With z < 0, X / Z is monotone in each coordinate over the box, so the corners bound it.
    for (int corner = 0; corner < 8; ++corner) {
        const Point3 p{(corner & 1) ? cameraBox.max.x : cameraBox.min.x,
                       (corner & 2) ? cameraBox.max.y : cameraBox.min.y,
                       (corner & 4) ? nearZ : farZ};
        screenBounds_.Add(camera.Project(p));
    }
}

// Each deferred result is computed inside std::call_once: the first requester computes it while
// concurrent requesters block, and call_once's synchronisation publishes the filled vector to
// every thread that returns from it. Results that build on others request them first; the
// dependencies form no cycle, so nested call_once cannot deadlock.

const std::vector<Point3>& RenderObjectInfoEx::CameraVertices() const {
    std::call_once(cameraOnce_, [this] {
        if (!object) return;
        // The box of the camera-space vertices comes with them: one pass instead of two.
        const Matrix3& m = object->objToCam;
        cameraVertices_.reserve(object->vertices.size());
        Point3 lo = bounds_.min, hi = bounds_.max;
        for (const Point3& v : object->vertices) {
            const Point3 p{v.x * m.row[0].x + v.y * m.row[1].x + v.z * m.row[2].x + m.row[3].x,
                           v.x * m.row[0].y + v.y * m.row[1].y + v.z * m.row[2].y + m.row[3].y,
                           v.x * m.row[0].z + v.y * m.row[1].z + v.z * m.row[2].z + m.row[3].z};
            cameraVertices_.push_back(p);
            lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
            hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        }
        bounds_.min = lo;
        bounds_.max = hi;
    });
    return cameraVertices_;
}

const Box3& RenderObjectInfoEx::Bounds() const {
    CameraVertices();
    return bounds_;
}

const std::vector<Point3>& RenderObjectInfoEx::FaceNormals() const {
    std::call_once(normalsOnce_, [this] {
        if (!object) return;
        const std::vector<Point3>& cam = CameraVertices();
        const std::vector<FaceRecord>& faces = object->faces;
        faceNormals_.resize(faces.size());
        const double sign = mirrored_ ? -1.0 : 1.0;
        ForEachFaceGathered(
            faces.size(), [&](size_t i, Corners& c) { GatherCamera(faces[i], cam, c); },
            [&](size_t i, const Corners& c) {
                const DoubleCross n = CrossInDouble(c);
                const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
                // Zero, NaN or infinite length leaves the normal at (0, 0, 0).
                const bool usable = length > 0.0 && length < kHugeLength;
                const double s = usable ? sign / length : 0.0;
                faceNormals_[i] =
                    usable ? Point3{float(n.x * s), float(n.y * s), float(n.z * s)} : Point3{};
            });
    });
    return faceNormals_;
}

const std::vector<Point2>& RenderObjectInfoEx::ScreenPoints() const {
    std::call_once(screenOnce_, [this] {
        const std::vector<Point3>& cam = CameraVertices();
        const Camera& camera = scene_.GetCamera();
        screenPoints_.reserve(cam.size());
        for (const Point3& p : cam) screenPoints_.push_back(camera.Project(p));
    });
    return screenPoints_;
}

const std::vector<uint8_t>& RenderObjectInfoEx::FacingBytes() const {
    std::call_once(facingOnce_, [this] {
        if (!object) return;
        const std::vector<Point3>& cam = CameraVertices();
        const std::vector<Point2>& screen = ScreenPoints();
        const Camera& camera = scene_.GetCamera();
        const std::vector<FaceRecord>& faces = object->faces;
        facing_.resize(faces.size());
        // Relative tolerances for screen edges counted as parallel: perspective division keeps
        // more precision near the image than a parallel scale does far from the centre.
        const double tolerance = camera.parallel ? 1e-4 : 1e-6;
        const double toleranceSquared = tolerance * tolerance;
        const double scaleSign = double(camera.scale.x) * double(camera.scale.y);
        const Point2 origin{};
        ForEachFaceGathered(
            faces.size(),
            [&](size_t i, Corners& c) {
                const FaceRecord& f = faces[i];
                GatherCamera(f, cam, c);
                c.sa = c.valid ? screen[size_t(f.vertexA)] : origin;
                c.sb = c.valid ? screen[size_t(f.vertexB)] : origin;
                c.sc = c.valid ? screen[size_t(f.vertexC)] : origin;
            },
            [&](size_t i, const Corners& c) {
                const FaceRecord& f = faces[i];
                const uint8_t twoSided = (f.flags & kFaceTwoSided) ? kFacingTwoSided : 0;
                const uint8_t unusable = kFacingUnusable | twoSided;
                const int nearCount = int(c.a.z > camera.nearZ) + int(c.b.z > camera.nearZ) +
                                      int(c.c.z > camera.nearZ);
                if (!c.valid || f.vertexA == f.vertexB || f.vertexB == f.vertexC ||
                    f.vertexA == f.vertexC || c.a == c.b || c.b == c.c || c.a == c.c ||
                    nearCount == 3 ||
                    (c.a.z < camera.farZ && c.b.z < camera.farZ && c.c.z < camera.farZ)) {
                    facing_[i] = unusable;
                    return;
                }
                const double d1x = double(c.sb.x) - c.sa.x, d1y = double(c.sb.y) - c.sa.y;
                const double d2x = double(c.sc.x) - c.sa.x, d2y = double(c.sc.y) - c.sa.y;
                const double screenCross = d1x * d2y - d1y * d2x;
                const double lengthsSquared = (d1x * d1x + d1y * d1y) * (d2x * d2x + d2y * d2y);
                // |cross| <= tol * |d1| * |d2|, squared; written so that NaN or infinite screen
                // points also end up unusable.
                if (!(screenCross * screenCross > toleranceSquared * lengthsSquared)) {
                    facing_[i] = unusable;
                    return;
                }
                bool back;
                if (camera.parallel) {
                    back = screenCross * scaleSign <= 0.0;
                } else {
                    const DoubleCross n = CrossInDouble(c);
                    back = double(c.a.x) * n.x + double(c.a.y) * n.y + double(c.a.z) * n.z >= 0.0;
                }
                if (mirrored_) back = !back;
                uint8_t byte = uint8_t(nearCount) | twoSided;
                if (back) byte |= twoSided ? kFacingBack : uint8_t(kFacingBack | kFacingCulled);
                facing_[i] = byte;
            });
    });
    return facing_;
}

const FaceBoundingPack& RenderObjectInfoEx::FaceBounds() const {
    std::call_once(faceBoundsOnce_, [this] {
        if (!object) return;
        const std::vector<uint8_t>& facing = FacingBytes();
        const std::vector<Point3>& cam = CameraVertices();
        const std::vector<Point2>& screen = ScreenPoints();
        const Camera& camera = scene_.GetCamera();
        const std::vector<FaceRecord>& faces = object->faces;
        FaceBoundingPack& pack = faceBounds_;

        // Unusable faces have their indices checked by FacingBytes: all others are valid.
        const auto gather = [&](size_t face, Corners& c) {
            c.valid = !IsFacingUnusable(facing[face]);
            if (!c.valid) return;
            const FaceRecord& f = faces[face];
            c.a = cam[size_t(f.vertexA)];
            c.b = cam[size_t(f.vertexB)];
            c.c = cam[size_t(f.vertexC)];
            c.sa = screen[size_t(f.vertexA)];
            c.sb = screen[size_t(f.vertexB)];
            c.sc = screen[size_t(f.vertexC)];
        };
        const auto boundOf = [&](size_t face, const Corners& c) {
            // Vertices on the viewer's side of the near limit project onto the wrong side.
            if ((facing[face] & kFacingNearCountMask) != 0)
                return ClippedFaceBound(camera, c.a, c.b, c.c);
            Bound bound;
            bound.screen = {std::min({c.sa.x, c.sb.x, c.sc.x}), std::min({c.sa.y, c.sb.y, c.sc.y}),
                            std::max({c.sa.x, c.sb.x, c.sc.x}), std::max({c.sa.y, c.sb.y, c.sc.y})};
            bound.minZ = std::min({c.a.z, c.b.z, c.c.z});
            bound.maxZ = std::max({c.a.z, c.b.z, c.c.z});
            return bound;
        };

        // The bounds are computed twice, for the Morton keys in face order and then in the
        // sorted order, rather than held per face in between: that array would be the largest
        // of the detection stage's peak. The grid spans the object's screen bounds and depth.
        const Box3& box = Bounds();
        const MortonGrid grid(Box3{{screenBounds_.minX, screenBounds_.minY, box.min.z},
                                   {screenBounds_.maxX, screenBounds_.maxY, box.max.z}});
        std::vector<uint64_t> keys, scratch;
        keys.reserve(faces.size());
        ForEachFaceGathered(faces.size(), gather, [&](size_t i, const Corners& c) {
            if (c.valid) keys.push_back((uint64_t(grid.Code(boundOf(i, c))) << 32) | uint64_t(i));
        });
        if (keys.empty()) return;
        RadixSortBits(keys, scratch, 32, 30);
        std::vector<uint64_t>().swap(scratch);
        pack.order.resize(keys.size());
        pack.codes.resize(keys.size());
        for (size_t k = 0; k < keys.size(); ++k) {
            pack.order[k] = int32_t(keys[k] & 0xFFFFFFFFu);
            pack.codes[k] = uint32_t(keys[k] >> 32);
        }
        std::vector<uint64_t>().swap(keys);
        pack.bounds.reserve(pack.order.size());
        ForEachFaceGathered(
            pack.order.size(), [&](size_t k, Corners& c) { gather(size_t(pack.order[k]), c); },
            [&](size_t k, const Corners& c) {
                pack.bounds.push_back(boundOf(size_t(pack.order[k]), c));
            });
        // Copies would only meet what their originals meet, once per copy. Equal bounds come
        // first: distinct faces rarely have them, so corners are seldom fetched.
        static_assert(sizeof(Bound) == 6 * sizeof(float), "bounds are compared bit for bit");
        std::vector<uint8_t> dropped;
        std::vector<FaceCopy> copies;
        FindFaceCopies(
            pack.codes, pack.order, faces,
            [&](size_t k) {
                const FaceRecord& f = faces[size_t(pack.order[k])];
                return FaceCorners{cam[size_t(f.vertexA)], cam[size_t(f.vertexB)],
                                   cam[size_t(f.vertexC)]};
            },
            [&](size_t j, size_t k) {
                return std::memcmp(&pack.bounds[j], &pack.bounds[k], sizeof(Bound)) == 0;
            },
            &dropped, &copies);
        if (!dropped.empty()) {
            size_t kept = 0;
            for (size_t k = 0; k < pack.order.size(); ++k) {
                if (dropped[k]) continue;
                pack.order[kept] = pack.order[k];
                pack.codes[kept] = pack.codes[k];
                pack.bounds[kept] = pack.bounds[k];
                ++kept;
            }
            pack.order.resize(kept);
            pack.codes.resize(kept);
            pack.bounds.resize(kept);
        }
    });
    return faceBounds_;
}

const ISectTree* RenderObjectInfoEx::IntersectionTree(
    const std::function<std::shared_ptr<const ISectTree>()>& build) const {
    // The acquire load pairs with the release store below, so a reader that sees the flag also
    // sees the tree; the lock is taken only until the tree exists.
    if (isectBuilt_.load(std::memory_order_acquire)) return isectTree_.get();
    const std::lock_guard<std::mutex> lock(isectMutex_);
    if (!isectBuilt_.load(std::memory_order_relaxed)) {
        isectTree_ = build();
        isectBuilt_.store(true, std::memory_order_release);
    }
    return isectTree_.get();
}

}  // namespace KvrnLib
