// Occlusion hierarchy: per object a linear bounding volume hierarchy over a Morton curve
// (Lauterbach et al., "Fast BVH construction on GPUs", 2009), cut top-down into groups. Rays are
// tested with the watertight ray-triangle test of Woop, Benthin and Wald (2013), in double: a ray
// through an edge shared by two faces hits at least one of them, and a face through the ray origin
// is met within rounding of t = 0, far inside the hide epsilon. Box tests widen the far distance by
// 2 gamma(3) (Ize, "Robust BVH ray traversal", 2013) so float rounding never culls a box whose
// triangle the exact test would hit.
#include "occlusion.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "morton.h"
#include "radix_sort.h"
#include "render_object_info.h"
#include "thread_manager.h"

namespace KvrnLib {
namespace {

// Objects above this size have their hierarchy below the top levels built as separate items, and
// so do objects built without a pool: the node layout never depends on the pool.
constexpr int kTaskFaces = 8192;
// Morton codes split at most 30 levels; runs of equal codes split at the middle below that, so
// the depth stays under 30 + log2(faces), well inside the query stack.
constexpr int kStackSize = 128;
// 1 + 2 gamma(3) for float, with 1 % to spare.
constexpr float kBoxWiden = 1.0f + 2.0f * 3.0f * 0.5f * 1.1920929e-7f * 1.01f;

// Four lanes so that growing a box is one min and one max of a vector register; lane 3 is
// unused in boxes and holds the face index in references.
struct alignas(16) Bounds {
    float lo[4] = {kBoxEmptyMin, kBoxEmptyMin, kBoxEmptyMin, kBoxEmptyMin};
    float hi[4] = {-kBoxEmptyMin, -kBoxEmptyMin, -kBoxEmptyMin, -kBoxEmptyMin};

    void Grow(const float* l, const float* h) {
        for (int k = 0; k < 4; ++k) lo[k] = l[k] < lo[k] ? l[k] : lo[k];
        for (int k = 0; k < 4; ++k) hi[k] = h[k] > hi[k] ? h[k] : hi[k];
    }
    void Grow(const Bounds& b) { Grow(b.lo, b.hi); }
};

struct Task {
    int32_t node, begin, end;
};

bool Finite(Point3 p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

Bounds TriangleBox(const OcclusionTriangle& t) {
    Bounds b;
    b.lo[0] = std::min(t.v0.x, std::min(t.v1.x, t.v2.x));
    b.lo[1] = std::min(t.v0.y, std::min(t.v1.y, t.v2.y));
    b.lo[2] = std::min(t.v0.z, std::min(t.v1.z, t.v2.z));
    b.hi[0] = std::max(t.v0.x, std::max(t.v1.x, t.v2.x));
    b.hi[1] = std::max(t.v0.y, std::max(t.v1.y, t.v2.y));
    b.hi[2] = std::max(t.v0.z, std::max(t.v1.z, t.v2.z));
    b.lo[3] = b.hi[3] = 0.0f;
    return b;
}

void SetBox(OcclusionNode& node, const Bounds& b) {
    node.minX = b.lo[0];
    node.minY = b.lo[1];
    node.minZ = b.lo[2];
    node.maxX = b.hi[0];
    node.maxY = b.hi[1];
    node.maxZ = b.hi[2];
}

Bounds NodeBounds(const OcclusionNode& n) {
    Bounds b;
    b.lo[0] = n.minX;
    b.lo[1] = n.minY;
    b.lo[2] = n.minZ;
    b.hi[0] = n.maxX;
    b.hi[1] = n.maxY;
    b.hi[2] = n.maxZ;
    return b;
}

Box3 NodeBox(const OcclusionNode& n) {
    return {{n.minX, n.minY, n.minZ}, {n.maxX, n.maxY, n.maxZ}};
}

// Adds twice the centre of `box` to `centres`.
void GrowCentres(Bounds& centres, const Bounds& box) {
    alignas(16) float c[4];
    for (int k = 0; k < 4; ++k) c[k] = box.lo[k] + box.hi[k];
    centres.Grow(c, c);
}

// Sorts items along a 30-bit Morton curve of the centres of their boxes (boxOf(item), computed
// again rather than stored) over `centres`, the box of the doubled centres (GrowCentres); x is
// in the highest bit of each triple, and ties keep the input order. Returns the keys,
// code << 32 | item.
template <class BoxOf>
std::vector<uint64_t> SortByMorton(const std::vector<int32_t>& items, const Bounds& centres,
                                   BoxOf boxOf) {
    float scale[3];
    for (int a = 0; a < 3; ++a) {
        const float extent = centres.hi[a] - centres.lo[a];
        scale[a] = extent > 0.0f ? 1023.0f / extent : 0.0f;
        if (!std::isfinite(scale[a])) scale[a] = 0.0f;
    }
    std::vector<uint64_t> keys(items.size()), scratch;
    for (size_t i = 0; i < items.size(); ++i) {
        const Bounds b = boxOf(items[i]);
        uint32_t code = 0;
        for (int a = 0; a < 3; ++a) {
            const float v = (b.lo[a] + b.hi[a] - centres.lo[a]) * scale[a];
            const uint32_t cell = v > 0.0f ? uint32_t(std::min(v, 1023.0f)) : 0u;  // NaN: 0
            code |= MortonSpread3(cell) << (2 - a);
        }
        keys[i] = (uint64_t(code) << 32) | uint32_t(items[i]);
    }
    RadixSortBits(keys, scratch, 32, 30);
    return keys;
}

// Linear hierarchy over Morton-sorted triangles: a node splits where the highest bit that its
// first and last codes differ in turns from 0 to 1, which halves its cell along one axis. Orders
// of magnitude cheaper to build than a binned SAH tree and, for rays towards the viewer, about
// as fast to query.
class TreeBuilder {
  public:
    TreeBuilder(const std::vector<OcclusionTriangle>& triangles, const std::vector<uint32_t>& codes,
                std::vector<OcclusionNode>& nodes, std::vector<Task>* tasks)
        : triangles_(triangles), codes_(codes), nodes_(nodes), tasks_(tasks) {}

    // Fills nodes_[nodeIndex] with the subtree over triangles_[begin, end) and returns its box. A
    // range left as a task returns an empty box; its parents' boxes are filled in afterwards.
    Bounds BuildNode(int nodeIndex, int begin, int end) {
        const int count = end - begin;
        OcclusionNode node{};
        if (tasks_ && count <= kTaskFaces) {
            tasks_->push_back({nodeIndex, begin, end});
            return {};
        }
        Bounds box;
        if (count <= OcclusionScene::kLeafFaces) {
            for (int i = begin; i < end; ++i) box.Grow(TriangleBox(triangles_[size_t(i)]));
            SetBox(node, box);
            node.index = begin;
            node.count = uint16_t(count);
            nodes_[size_t(nodeIndex)] = node;
            return box;
        }
        int axis = 0, mid = begin + count / 2;
        const uint32_t first = codes_[size_t(begin)], last = codes_[size_t(end - 1)];
        if (first != last) {
            const int bit = 31 - std::countl_zero(first ^ last);
            axis = 2 - bit % 3;
            mid = int(std::partition_point(codes_.begin() + begin, codes_.begin() + end,
                                           [bit](uint32_t c) { return ((c >> bit) & 1u) == 0; }) -
                      codes_.begin());
        }
        const int children = int(nodes_.size());
        nodes_.resize(nodes_.size() + 2);
        box = BuildNode(children, begin, mid);
        box.Grow(BuildNode(children + 1, mid, end));
        SetBox(node, box);
        node.index = children;
        node.axis = uint16_t(axis);
        nodes_[size_t(nodeIndex)] = node;
        return box;
    }

  private:
    const std::vector<OcclusionTriangle>& triangles_;
    const std::vector<uint32_t>& codes_;
    std::vector<OcclusionNode>& nodes_;
    std::vector<Task>* tasks_;
};

// Per-object build state between the passes.
struct ObjectBuild {
    std::vector<uint32_t> codes;  // Morton code per triangle
    int32_t topNodes = 0;         // nodes built before the tasks
    std::vector<Task> tasks;
    std::vector<std::vector<OcclusionNode>> taskNodes;
};

// Drops the copies of earlier faces (face_copies.h) from Morton-ordered triangles, faces and
// codes, and lists them: a copy's box is its original's, so both have the same code. Faces in
// one Morton cell are common in dense meshes; a copy has the first corner's x among its own.
void DropCopies(const std::vector<FaceRecord>& records, std::vector<OcclusionTriangle>& triangles,
                std::vector<int32_t>& faces, std::vector<uint32_t>& codes,
                std::vector<FaceCopy>* copies) {
    std::vector<uint8_t> dropped;
    FindFaceCopies(
        codes, faces, records,
        [&](size_t k) {
            return FaceCorners{triangles[k].v0, triangles[k].v1, triangles[k].v2};
        },
        [&](size_t j, size_t k) {
            const float x = triangles[j].v0.x;
            const OcclusionTriangle& t = triangles[k];
            return x == t.v0.x || x == t.v1.x || x == t.v2.x;
        },
        &dropped, copies);
    if (dropped.empty()) return;
    size_t kept = 0;
    for (size_t k = 0; k < faces.size(); ++k) {
        if (dropped[k]) continue;
        triangles[kept] = triangles[k];
        faces[kept] = faces[k];
        codes[kept] = codes[k];
        ++kept;
    }
    triangles.resize(kept);
    faces.resize(kept);
    codes.resize(kept);
}

}  // namespace

struct OcclusionScene::Ray {
    double o[3], d[3];
    int kx, ky, kz;
    double sx, sy, sz;
    float fo[3], inv[3];
    double tMin, tMax;

    Ray(Point3 origin, const double direction[3], double tMinIn, double tMaxIn)
        : tMin(tMinIn), tMax(tMaxIn) {
        o[0] = origin.x;
        o[1] = origin.y;
        o[2] = origin.z;
        for (int k = 0; k < 3; ++k) {
            d[k] = direction[k];
            fo[k] = float(o[k]);
            // Clamped instead of infinite so that 0 * inv never gives NaN.
            const double i = d[k] != 0.0 ? 1.0 / d[k] : 1e30;
            inv[k] = float(std::clamp(i, -1e30, 1e30));
        }
        kz = std::fabs(d[0]) > std::fabs(d[1]) ? (std::fabs(d[0]) > std::fabs(d[2]) ? 0 : 2)
                                               : (std::fabs(d[1]) > std::fabs(d[2]) ? 1 : 2);
        kx = (kz + 1) % 3;
        ky = (kx + 1) % 3;
        if (d[kz] < 0.0) std::swap(kx, ky);
        sx = d[kx] / d[kz];
        sy = d[ky] / d[kz];
        sz = 1.0 / d[kz];
    }

    bool HitsBox(const OcclusionNode& n, double tLimit) const {
        float tx1 = (n.minX - fo[0]) * inv[0], tx2 = (n.maxX - fo[0]) * inv[0];
        float ty1 = (n.minY - fo[1]) * inv[1], ty2 = (n.maxY - fo[1]) * inv[1];
        float tz1 = (n.minZ - fo[2]) * inv[2], tz2 = (n.maxZ - fo[2]) * inv[2];
        const float tNear =
            std::max({std::min(tx1, tx2), std::min(ty1, ty2), std::min(tz1, tz2), 0.0f});
        const float tFar =
            std::min({std::max(tx1, tx2), std::max(ty1, ty2), std::max(tz1, tz2), float(tLimit)});
        return tNear <= tFar * kBoxWiden;
    }

    // Ray parameter of the crossing in (tMin, tLimit), or a negative value.
    double Hit(const Triangle& tri, double tLimit) const {
        const double a[3] = {tri.v0.x - o[0], tri.v0.y - o[1], tri.v0.z - o[2]};
        const double b[3] = {tri.v1.x - o[0], tri.v1.y - o[1], tri.v1.z - o[2]};
        const double c[3] = {tri.v2.x - o[0], tri.v2.y - o[1], tri.v2.z - o[2]};
        const double ax = a[kx] - sx * a[kz], ay = a[ky] - sy * a[kz];
        const double bx = b[kx] - sx * b[kz], by = b[ky] - sy * b[kz];
        const double cx = c[kx] - sx * c[kz], cy = c[ky] - sy * c[kz];
        const double u = cx * by - cy * bx;
        const double v = ax * cy - ay * cx;
        const double w = bx * ay - by * ax;
        if ((u < 0.0 || v < 0.0 || w < 0.0) && (u > 0.0 || v > 0.0 || w > 0.0)) return -1.0;
        const double det = u + v + w;
        if (det == 0.0) return -1.0;
        const double t = (u * sz * a[kz] + v * sz * b[kz] + w * sz * c[kz]) / det;
        return t > tMin && t < tLimit ? t : -1.0;
    }
};

OcclusionScene::OcclusionScene(const Scene& scene, const std::vector<int32_t>& copyOf) {
    Build(scene, nullptr, copyOf, 0, {});
}

OcclusionScene::OcclusionScene(const Scene& scene, ThreadManager& pool,
                               const std::vector<int32_t>& copyOf, int sideItems,
                               const std::function<void(int)>& sideWork) {
    Build(scene, &pool, copyOf, sideWork ? sideItems : 0, sideWork);
}

void OcclusionScene::Build(const Scene& scene, ThreadManager* pool,
                           const std::vector<int32_t>& copyOf, int sideItems,
                           const std::function<void(int)>& sideWork) {
    parallel_ = scene.GetCamera().parallel != 0;
    const int objectCount = scene.ObjectCount();
    objects_.assign(size_t(objectCount), {});
    objectBoxes_.assign(size_t(objectCount), {});
    std::vector<ObjectBuild> builds(static_cast<size_t>(objectCount));

    // Pass 1, per object: the usable faces' triangles in Morton order, and the top of the
    // hierarchy.
    ParallelFor(pool, objectCount + sideItems, [&](int item) {
        if (item >= objectCount) {
            sideWork(item - objectCount);
            return;
        }
        const int object = item;
        const RenderObject& source = scene.Object(object);
        if (source.invalid || source.faces.empty()) return;
        if (size_t(object) < copyOf.size() && copyOf[size_t(object)] >= 0) return;
        const RenderObjectInfoEx& info = scene.Info(object);
        const std::vector<uint8_t>& facing = info.FacingBytes();
        const std::vector<Point3>& cam = info.CameraVertices();
        const auto corners = [&](int32_t f) {
            const FaceRecord& face = source.faces[size_t(f)];
            return OcclusionTriangle{cam[size_t(face.vertexA)], cam[size_t(face.vertexB)],
                                     cam[size_t(face.vertexC)]};
        };
        std::vector<int32_t> usable;
        usable.reserve(source.faces.size());
        Bounds centres;
        for (size_t f = 0; f < source.faces.size(); ++f) {
            if (IsFacingUnusable(facing[f])) continue;
            const OcclusionTriangle t = corners(int32_t(f));
            if (!Finite(t.v0) || !Finite(t.v1) || !Finite(t.v2)) continue;
            usable.push_back(int32_t(f));
            GrowCentres(centres, TriangleBox(t));
        }
        if (usable.empty()) return;
        const std::vector<uint64_t> keys =
            SortByMorton(usable, centres, [&](int32_t f) { return TriangleBox(corners(f)); });
        std::vector<int32_t>().swap(usable);
        ObjectTree& tree = objects_[size_t(object)];
        ObjectBuild& build = builds[size_t(object)];
        tree.triangles.resize(keys.size());
        tree.faces.resize(keys.size());
        build.codes.resize(keys.size());
        for (size_t k = 0; k < keys.size(); ++k) {
            const int32_t f = int32_t(keys[k] & 0xFFFFFFFFu);
            tree.triangles[k] = corners(f);
            tree.faces[k] = f;
            build.codes[k] = uint32_t(keys[k] >> 32);
        }
        DropCopies(source.faces, tree.triangles, tree.faces, build.codes, &tree.copies);
        const size_t count = tree.triangles.size();
        const bool big = count > size_t(kTaskFaces);
        tree.nodes.reserve(big ? 64 : 2 * count);  // a leaf holds at least one face
        tree.nodes.resize(1);
        TreeBuilder(tree.triangles, build.codes, tree.nodes, big ? &build.tasks : nullptr)
            .BuildNode(0, 0, int(count));
        build.topNodes = int32_t(tree.nodes.size());
        build.taskNodes.resize(build.tasks.size());
    });

    // Pass 2: the subtrees below the top, one item each, in object and task order.
    std::vector<std::pair<int, int>> items;
    for (int object = 0; object < objectCount; ++object)
        for (size_t t = 0; t < builds[size_t(object)].tasks.size(); ++t)
            items.emplace_back(object, int(t));
    ParallelFor(pool, int(items.size()), [&](int item) {
        ObjectBuild& build = builds[size_t(items[size_t(item)].first)];
        const int t = items[size_t(item)].second;
        const Task& task = build.tasks[size_t(t)];
        std::vector<OcclusionNode>& local = build.taskNodes[size_t(t)];
        local.reserve(2 * size_t(task.end - task.begin));
        local.resize(1);
        TreeBuilder(objects_[size_t(items[size_t(item)].first)].triangles, build.codes, local,
                    nullptr)
            .BuildNode(0, task.begin, task.end);
        local.shrink_to_fit();  // the reserve assumed one face per leaf
    });

    // Pass 3, per object: splice the subtrees and cut the groups.
    std::vector<std::vector<OcclusionGroup>> objectGroups(static_cast<size_t>(objectCount));
    ParallelFor(pool, objectCount, [&](int object) {
        ObjectBuild& build = builds[size_t(object)];
        ObjectTree& tree = objects_[size_t(object)];
        if (tree.nodes.empty()) return;
        size_t nodeTotal = tree.nodes.size();
        for (const std::vector<OcclusionNode>& local : build.taskNodes)
            nodeTotal += local.size() - 1;
        tree.nodes.reserve(nodeTotal);
        for (size_t t = 0; t < build.tasks.size(); ++t) {
            std::vector<OcclusionNode>& local = build.taskNodes[size_t(t)];
            // Local node i > 0 lands at offset + i - 1; local node 0 replaces the placeholder.
            const int32_t offset = int32_t(tree.nodes.size()) - 1;
            for (OcclusionNode& n : local)
                if (n.count == 0) n.index += offset;
            tree.nodes[size_t(build.tasks[t].node)] = local[0];
            tree.nodes.insert(tree.nodes.end(), local.begin() + 1, local.end());
            std::vector<OcclusionNode>().swap(local);
        }
        // The nodes above the subtrees: children follow their parents, so a backward pass sees
        // both children before the parent.
        if (!build.tasks.empty()) {
            for (int32_t i = build.topNodes; i-- > 0;) {
                OcclusionNode& n = tree.nodes[size_t(i)];
                if (n.count > 0) continue;
                Bounds box = NodeBounds(tree.nodes[size_t(n.index)]);
                box.Grow(NodeBounds(tree.nodes[size_t(n.index) + 1]));
                SetBox(n, box);
            }
        }
        std::vector<uint32_t>().swap(build.codes);
        tree.nodes.shrink_to_fit();
        // Triangle range of every subtree: children always follow their parent.
        const size_t nodeCount = tree.nodes.size();
        std::vector<int32_t> first(nodeCount), end(nodeCount);
        for (size_t i = nodeCount; i-- > 0;) {
            const OcclusionNode& n = tree.nodes[i];
            if (n.count > 0) {
                first[i] = n.index;
                end[i] = n.index + n.count;
            } else {
                first[i] = first[size_t(n.index)];
                end[i] = end[size_t(n.index) + 1];
            }
        }
        // Top-down cut, left child first, so groups follow the leaf order.
        std::vector<int32_t> stack{0};
        while (!stack.empty()) {
            const int32_t i = stack.back();
            stack.pop_back();
            const OcclusionNode& n = tree.nodes[size_t(i)];
            if (n.count > 0 || end[size_t(i)] - first[size_t(i)] <= kGroupFaces) {
                objectGroups[size_t(object)].push_back(
                    {object, i, first[size_t(i)], end[size_t(i)] - first[size_t(i)], NodeBox(n)});
                continue;
            }
            stack.push_back(n.index + 1);
            stack.push_back(n.index);
        }
        objectBoxes_[size_t(object)] = NodeBox(tree.nodes[0]);
    });

    // The hierarchy over the objects, built like an object's over its faces, each object's box
    // standing in as a triangle with the same box.
    std::vector<int32_t> withFaces;
    for (int object = 0; object < objectCount; ++object)
        if (!objects_[size_t(object)].nodes.empty()) withFaces.push_back(object);
    top_.clear();
    topObjects_.clear();
    if (!withFaces.empty()) {
        const auto boxTriangle = [&](int32_t object) {
            const Box3& box = objectBoxes_[size_t(object)];
            return OcclusionTriangle{box.min, box.max, box.max};
        };
        Bounds centres;
        for (const int32_t o : withFaces) GrowCentres(centres, TriangleBox(boxTriangle(o)));
        const std::vector<uint64_t> keys = SortByMorton(
            withFaces, centres, [&](int32_t o) { return TriangleBox(boxTriangle(o)); });
        std::vector<OcclusionTriangle> boxes;
        std::vector<uint32_t> codes;
        for (const uint64_t key : keys) {
            topObjects_.push_back(int32_t(key & 0xFFFFFFFFu));
            boxes.push_back(boxTriangle(topObjects_.back()));
            codes.push_back(uint32_t(key >> 32));
        }
        top_.resize(1);
        TreeBuilder(boxes, codes, top_, nullptr).BuildNode(0, 0, int(boxes.size()));
    }

    topZ_ = -3.4e38f;
    for (int object = 0; object < objectCount; ++object) {
        if (!objectBoxes_[size_t(object)].IsEmpty())
            topZ_ = std::max(topZ_, objectBoxes_[size_t(object)].max.z);
        ObjectTree& tree = objects_[size_t(object)];
        tree.firstGroup = int32_t(groups_.size());
        for (const OcclusionGroup& g : objectGroups[size_t(object)]) {
            tree.groupFirstFace.push_back(g.firstFace);
            groups_.push_back(g);
        }
    }
}

int OcclusionScene::GroupOf(int object, int triangle) const {
    const std::vector<int32_t>& starts = objects_[size_t(object)].groupFirstFace;
    const auto it = std::upper_bound(starts.begin(), starts.end(), triangle);
    return objects_[size_t(object)].firstGroup + int(it - starts.begin()) - 1;
}

bool OcclusionScene::AnyHit(const Ray& ray, int object, int root, int skipNode,
                            const OccluderFilter* filter, OccluderHit* hit) const {
    const ObjectTree& tree = objects_[size_t(object)];
    int32_t stack[kStackSize];
    int top = 0;
    stack[top++] = root;
    while (top > 0) {
        const int32_t i = stack[--top];
        if (i == skipNode) continue;
        const OcclusionNode& n = tree.nodes[size_t(i)];
        if (!ray.HitsBox(n, ray.tMax)) continue;
        if (n.count == 0) {
            stack[top++] = n.index + 1;
            stack[top++] = n.index;
            continue;
        }
        for (int k = n.index; k < n.index + n.count; ++k) {
            const double t = ray.Hit(tree.triangles[size_t(k)], ray.tMax);
            if (t < 0.0) continue;
            if (filter && !filter->Accept(object, tree.faces[size_t(k)])) continue;
            hit->object = object;
            hit->face = tree.faces[size_t(k)];
            hit->group = GroupOf(object, k);
            hit->t = float(t);
            return true;
        }
    }
    return false;
}

bool OcclusionScene::FindOccluder(Point3 sample, const OccluderFilter* filter, int* groupHint,
                                  OccluderHit* hit) const {
    // The ray runs from the sample towards the viewer, so crossings near the sample, which decide
    // self-hiding, are computed with the smallest rounding.
    double direction[3];
    double tMin, tMax, height = 1.0;
    if (parallel_) {
        const float top = topZ_;
        if (!(double(top) > double(sample.z))) return false;
        height = double(top) - double(sample.z);
        direction[0] = direction[1] = 0.0;
        direction[2] = height;
        const double scale =
            std::max({std::fabs(sample.x), std::fabs(sample.y), std::fabs(sample.z)});
        tMin = kHideEpsilon * scale / height;
        tMax = 1.5;  // past the top of every object
    } else {
        direction[0] = -double(sample.x);
        direction[1] = -double(sample.y);
        direction[2] = -double(sample.z);
        if (direction[0] == 0.0 && direction[1] == 0.0 && direction[2] == 0.0) return false;
        tMin = kHideEpsilon;
        tMax = 1.0;
    }
    const Ray ray(sample, direction, tMin, tMax);
    OccluderHit found;
    bool hidden = false;
    int hintObject = -1;
    const int hint = groupHint ? *groupHint : -1;
    if (hint >= 0 && hint < int(groups_.size())) {
        const OcclusionGroup& g = groups_[size_t(hint)];
        hintObject = g.object;
        if (!filter || filter->AcceptObject(hintObject)) {
            hidden = AnyHit(ray, hintObject, g.node, -1, filter, &found) ||
                     AnyHit(ray, hintObject, 0, g.node, filter, &found);
        }
    }
    int32_t stack[kStackSize];
    int top = 0;
    if (!hidden && !top_.empty()) stack[top++] = 0;
    while (!hidden && top > 0) {
        const OcclusionNode& n = top_[size_t(stack[--top])];
        if (!ray.HitsBox(n, tMax)) continue;
        if (n.count == 0) {
            stack[top++] = n.index + 1;
            stack[top++] = n.index;
            continue;
        }
        for (int k = n.index; !hidden && k < n.index + n.count; ++k) {
            const int object = topObjects_[size_t(k)];
            if (object == hintObject || (filter && !filter->AcceptObject(object))) continue;
            hidden = AnyHit(ray, object, 0, -1, filter, &found);
        }
    }
    if (!hidden) return false;
    found.t = parallel_ ? float(double(found.t) * height) : float(1.0 - double(found.t));
    if (groupHint) *groupHint = found.group;
    if (hit) *hit = found;
    return true;
}

bool OcclusionScene::ClosestHit(Point3 origin, Point3 direction, float tMax,
                                const OccluderFilter* filter, OccluderHit* hit) const {
    const double d[3] = {direction.x, direction.y, direction.z};
    if ((d[0] == 0.0 && d[1] == 0.0 && d[2] == 0.0) || !(tMax > 0.0f)) return false;
    const Ray ray(origin, d, 0.0, double(tMax));
    double best = double(tMax);
    int bestObject = -1, bestTriangle = -1;
    NearFirst(top_, ray, &best, [&](const OcclusionNode& leaf) {
        for (int k = leaf.index; k < leaf.index + leaf.count; ++k) {
            const int object = topObjects_[size_t(k)];
            if (filter && !filter->AcceptObject(object)) continue;
            const double before = best;
            Closest(ray, object, &best, &bestTriangle, filter);
            if (best < before) bestObject = object;
        }
    });
    if (bestObject < 0) return false;
    if (hit) {
        hit->object = bestObject;
        hit->face = objects_[size_t(bestObject)].faces[size_t(bestTriangle)];
        hit->group = GroupOf(bestObject, bestTriangle);
        hit->t = float(best);
    }
    return true;
}

template <class VisitLeaf>
void OcclusionScene::NearFirst(const std::vector<OcclusionNode>& nodes, const Ray& ray,
                               const double* limit, VisitLeaf visit) {
    if (nodes.empty()) return;
    int32_t stack[kStackSize];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const OcclusionNode& n = nodes[size_t(stack[--top])];
        if (!ray.HitsBox(n, *limit)) continue;
        if (n.count == 0) {
            const bool rightFirst = ray.d[n.axis] < 0.0;
            stack[top++] = n.index + (rightFirst ? 0 : 1);
            stack[top++] = n.index + (rightFirst ? 1 : 0);
            continue;
        }
        visit(n);
    }
}

void OcclusionScene::Closest(const Ray& ray, int object, double* best, int* bestTriangle,
                             const OccluderFilter* filter) const {
    const ObjectTree& tree = objects_[size_t(object)];
    NearFirst(tree.nodes, ray, best, [&](const OcclusionNode& leaf) {
        for (int k = leaf.index; k < leaf.index + leaf.count; ++k) {
            const double t = ray.Hit(tree.triangles[size_t(k)], *best);
            if (t < 0.0) continue;
            if (filter && !filter->Accept(object, tree.faces[size_t(k)])) continue;
            *best = t;
            *bestTriangle = k;
        }
    });
}

int64_t OcclusionScene::TriangleCount() const {
    int64_t count = 0;
    for (const ObjectTree& tree : objects_) count += int64_t(tree.triangles.size());
    return count;
}

int64_t OcclusionScene::MemoryBytes() const {
    int64_t bytes =
        int64_t(objects_.capacity() * sizeof(ObjectTree) + objectBoxes_.capacity() * sizeof(Box3) +
                groups_.capacity() * sizeof(OcclusionGroup) +
                top_.capacity() * sizeof(OcclusionNode) + topObjects_.capacity() * sizeof(int32_t));
    for (const ObjectTree& tree : objects_)
        bytes += int64_t(tree.nodes.capacity() * sizeof(OcclusionNode) +
                         tree.triangles.capacity() * sizeof(Triangle) +
                         tree.faces.capacity() * sizeof(int32_t) +
                         tree.groupFirstFace.capacity() * sizeof(int32_t) +
                         tree.copies.capacity() * sizeof(FaceCopy));
    return bytes;
}

}  // namespace KvrnLib
