// Ray tests against the frame's faces for edge visibility: is a sample hidden from the viewer,
// and which face does a ray meet first. Built once per frame, then queried from many threads.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "face_copies.h"
#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

class ThreadManager;

// Lets a query ignore faces. Called from query threads at once: implementations are read-only.
struct OccluderFilter {
    virtual ~OccluderFilter() = default;
    // Checked once per object before its faces; false skips the whole object.
    virtual bool AcceptObject(int object) const {
        (void)object;
        return true;
    }
    // Checked for each face the ray crosses.
    virtual bool Accept(int object, int face) const = 0;
};

struct OccluderHit {
    int32_t object = -1;
    int32_t face = -1;  // index into the object's faces
    int32_t group = -1;
    // FindOccluder: perspective, parameter on the segment from the viewer (0) to the sample (1);
    // parallel, height of the crossing above the sample (camera units). ClosestHit: the ray
    // parameter (origin + t * direction).
    float t = 0.0f;
};

// Flat bounding volume hierarchy node: children of an inner node sit at index and index + 1;
// a leaf holds triangles [index, index + count) of its object.
struct OcclusionNode {
    float minX, minY, minZ;
    float maxX, maxY, maxZ;
    int32_t index;
    uint16_t count;  // 0 for inner nodes
    uint16_t axis;   // split axis of an inner node
};
static_assert(sizeof(OcclusionNode) == 32);

struct OcclusionTriangle {
    Point3 v0, v1, v2;  // camera space
};

// A subtree of at most kGroupFaces faces of one object's hierarchy.
struct OcclusionGroup {
    int32_t object = 0;
    int32_t node = 0;       // root node in the object's hierarchy
    int32_t firstFace = 0;  // its triangles, in leaf order
    int32_t faceCount = 0;
    Box3 box;
};

// Faces whose facing byte is not unusable (back faces included: an open mesh hides with them)
// and whose camera-space corners are finite, less copies of earlier faces (face_copies.h). Queries
// are const, lock-free and allocate nothing; any number of threads may run them at once.
class OcclusionScene {
  public:
    static constexpr int kGroupFaces = 2048;
    static constexpr int kLeafFaces = 4;
    // A face crossing the segment within this share of its length from the sample (parallel: of
    // the sample's largest coordinate) does not hide it, so a face through the sample never
    // does. Crossings are computed in double from the float corners: rounding stays far below it.
    static constexpr double kHideEpsilon = 1e-6;

    // Built on the calling thread, or on `pool` (one item per object, the hierarchies of big
    // objects split into subtrees built as further items). The result does not depend on the
    // pool's thread count. The scene must outlive this object. Objects whose entry in `copyOf`
    // is not -1 (copies of an earlier object, see object_copies.h) add no faces; an empty
    // `copyOf` leaves none out.
    // `sideWork` (may be empty) is called for items [0, sideItems) on the pool alongside the
    // build's first pass, which is one item per object: with one big object the other workers
    // would wait.
    explicit OcclusionScene(const Scene& scene, const std::vector<int32_t>& copyOf = {});
    OcclusionScene(const Scene& scene, ThreadManager& pool, const std::vector<int32_t>& copyOf = {},
                   int sideItems = 0, const std::function<void(int)>& sideWork = {});

    // True when a face lies strictly between the viewer and the camera-space `sample`
    // (perspective: on the segment from the origin; parallel: above it along +z). `filter` and
    // `hit` may be null. `groupHint` (may be null) is in/out: the group that hid the previous
    // sample of the same edge, or -1; that group is tried first, then the other groups of its
    // object, then the rest. On a hit it is set to the hiding group.
    bool FindOccluder(Point3 sample, const OccluderFilter* filter, int* groupHint,
                      OccluderHit* hit) const;
    // Nearest face crossed by origin + t * direction for 0 < t < tMax. `filter` and `hit` may be
    // null. Same threading rules as FindOccluder.
    bool ClosestHit(Point3 origin, Point3 direction, float tMax, const OccluderFilter* filter,
                    OccluderHit* hit) const;

    // The usable faces of `object` left out as copies, ascending by face; mostly empty.
    const std::vector<FaceCopy>& FaceCopies(int object) const {
        return objects_[size_t(object)].copies;
    }

    int GroupCount() const { return int(groups_.size()); }
    const OcclusionGroup& Group(int index) const { return groups_[size_t(index)]; }
    int ObjectCount() const { return int(objects_.size()); }
    const std::vector<OcclusionNode>& ObjectNodes(int object) const {
        return objects_[size_t(object)].nodes;
    }
    int64_t TriangleCount() const;
    // Memory held by the structure (capacities, not sizes).
    int64_t MemoryBytes() const;

  private:
    using Triangle = OcclusionTriangle;
    struct ObjectTree {
        std::vector<OcclusionNode> nodes;     // empty: no usable face
        std::vector<Triangle> triangles;      // leaf order
        std::vector<int32_t> faces;           // face index per triangle
        std::vector<int32_t> groupFirstFace;  // first triangle of each group, ascending
        int32_t firstGroup = 0;
        std::vector<FaceCopy> copies;  // left out, ascending by face
    };
    struct Ray;

    void Build(const Scene& scene, ThreadManager* pool, const std::vector<int32_t>& copyOf,
               int sideItems, const std::function<void(int)>& sideWork);
    bool AnyHit(const Ray& ray, int object, int root, int skipNode, const OccluderFilter* filter,
                OccluderHit* hit) const;
    // Visits the leaves of `nodes` whose boxes the ray meets before *limit, the nearer child
    // first, so that a visitor lowering *limit prunes the rest early.
    template <class VisitLeaf>
    static void NearFirst(const std::vector<OcclusionNode>& nodes, const Ray& ray,
                          const double* limit, VisitLeaf visit);
    // Nearest crossing within one object's hierarchy, closer than *best.
    void Closest(const Ray& ray, int object, double* best, int* bestTriangle,
                 const OccluderFilter* filter) const;
    int GroupOf(int object, int triangle) const;

    bool parallel_ = false;
    float topZ_ = 0.0f;  // highest camera-space z of any usable face
    std::vector<ObjectTree> objects_;
    // Hierarchy over the objects' boxes, so that a ray meets only the objects near it; its
    // leaves hold entries of topObjects_.
    std::vector<OcclusionNode> top_;
    std::vector<int32_t> topObjects_;
    std::vector<Box3> objectBoxes_;
    std::vector<OcclusionGroup> groups_;
};

}  // namespace KvrnLib
