#include "intersection.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "render_object_info.h"
#include "triangle_intersection.h"

namespace KvrnLib {

namespace {

constexpr int kProgressInterval = 256;        // candidate pairs between progress reports
constexpr float kParallelNormals = 0.99999f;  // |nA . nB| at or above: no line

using Bound = FaceBoundingPack::Bound;

bool BoxesOverlap(const Box3& a, const Box3& b) {
    return a.min.x <= b.max.x && b.min.x <= a.max.x && a.min.y <= b.max.y && b.min.y <= a.max.y &&
           a.min.z <= b.max.z && b.min.z <= a.max.z;
}

// Line set of a face, or -1.
int32_t LineSetOfFace(const LineDetectionSettings& settings, const Scene& scene, int object,
                      int face) {
    const int32_t set = settings.objects[size_t(object)].LineSetOfMaterial(
        scene.Object(object).faces[size_t(face)].materialID);
    return set >= 0 && set < int32_t(settings.lineSets.size()) ? set : -1;
}

bool IsectDisabled(const LineDetectionSettings& settings, const Scene& scene, int object,
                   int face) {
    const int32_t index = settings.objects[size_t(object)].FunctionsOfMaterial(
        scene.Object(object).faces[size_t(face)].materialID);
    return index >= 0 && index < int32_t(settings.materialFunctions.size()) &&
           settings.materialFunctions[size_t(index)].isectDisable;
}

bool TakesPart(const LineDetectionSettings& settings, const Scene& scene, const Box2& screen,
               int o) {
    const RenderObject& object = scene.Object(o);
    if (object.invalid || object.faces.empty()) return false;
    const Box2& bounds = scene.Info(o).ScreenBounds();
    if (bounds.IsEmpty() || !bounds.Overlaps(screen)) return false;
    const ObjectDetection& record = settings.objects[size_t(o)];
    auto drawsIsect = [&](int32_t set) {
        return set >= 0 && set < int32_t(settings.lineSets.size()) &&
               settings.lineSets[size_t(set)].AnyClassHas(kEdgeIntersection);
    };
    if (record.materialLineSets.empty()) return drawsIsect(record.defaultLineSet);
    for (int32_t set : record.materialLineSets)
        if (drawsIsect(set)) return true;
    return false;
}

bool SharesVertex(const FaceRecord& a, const FaceRecord& b) {
    const auto has = [&b](int32_t v) {
        return (v == b.vertexA) | (v == b.vertexB) | (v == b.vertexC);
    };
    return has(a.vertexA) | has(a.vertexB) | has(a.vertexC);
}

class TreeBuilder {
  public:
    TreeBuilder(const FaceBoundingPack& pack, int leafFaces, std::vector<ISectTree::Node>* nodes)
        : pack_(pack), leafFaces_(leafFaces), nodes_(*nodes) {}

    // Fills nodes_[index] with the subtree over order[begin, end) and returns its bound.
    Bound Build(int index, int begin, int end) {
        ISectTree::Node node;
        node.index = begin;
        if (end - begin <= leafFaces_) {
            for (int k = begin; k < end; ++k) node.bound.Add(pack_.bounds[size_t(k)]);
            node.count = end - begin;
            nodes_[size_t(index)] = node;
            return node.bound;
        }
        int mid = begin + (end - begin) / 2;  // a run of equal codes splits in the middle
        const uint32_t first = pack_.codes[size_t(begin)], last = pack_.codes[size_t(end - 1)];
        if (first != last) {
            const int bit = 31 - std::countl_zero(first ^ last);
            mid = int(std::partition_point(pack_.codes.begin() + begin, pack_.codes.begin() + end,
                                           [bit](uint32_t c) { return ((c >> bit) & 1u) == 0; }) -
                      pack_.codes.begin());
        }
        const int children = int(nodes_.size());
        nodes_.resize(nodes_.size() + 2);
        node.bound = Build(children, begin, mid);
        node.bound.Add(Build(children + 1, mid, end));
        node.index = children;
        nodes_[size_t(index)] = node;
        return node.bound;
    }

  private:
    const FaceBoundingPack& pack_;
    const int leafFaces_;
    std::vector<ISectTree::Node>& nodes_;
};

// Walks two trees together (or one tree against itself), collecting the face pairs whose
// bounds meet, leaf against leaf.
class CandidateWalk {
  public:
    // `faces`: the object's faces when a and b are the same object, so that neighbours sharing
    // a vertex (which meet along their common edge or corner, never crossing) are left out here.
    CandidateWalk(const ISectTree& treeA, const FaceBoundingPack& packA, const ISectTree& treeB,
                  const FaceBoundingPack& packB, const std::vector<FaceRecord>* faces,
                  std::vector<std::pair<int32_t, int32_t>>* out)
        : treeA_(treeA),
          packA_(packA),
          treeB_(treeB),
          packB_(packB),
          self_(faces != nullptr),
          faces_(faces),
          out_(out) {}

    // Walks from each start in turn (node pairs from CandidateWalkStarts, or the two roots).
    void Run(const WalkStart* starts, size_t startCount) {
        if (treeA_.nodes.empty() || treeB_.nodes.empty()) return;
        const WalkStart root{0, 0};
        if (!starts) {
            starts = &root;
            startCount = 1;
        }
        std::vector<WalkStart> stack;
        for (size_t i = 0; i < startCount; ++i) {
            stack.push_back(starts[i]);
            while (!stack.empty()) {
                const WalkStart pair = stack.back();
                stack.pop_back();
                if (Step(pair, true)) Expand(pair, &stack);
            }
        }
    }

    // The start pairs below the roots down to `depth`, in walk order; every pair the walk would
    // finish above that depth is a start of its own.
    std::vector<WalkStart> Starts(int depth) {
        std::vector<WalkStart> starts;
        if (treeA_.nodes.empty() || treeB_.nodes.empty()) return starts;
        std::vector<std::pair<WalkStart, int>> stack{{{0, 0}, 0}};
        std::vector<WalkStart> children;
        while (!stack.empty()) {
            const auto [pair, level] = stack.back();
            stack.pop_back();
            if (level >= depth || !Step(pair, false)) {
                starts.push_back(pair);
                continue;
            }
            children.clear();
            Expand(pair, &children);
            for (const WalkStart& child : children) stack.push_back({child, level + 1});
        }
        return starts;
    }

  private:
    // Handles a pair that needs no descent (collecting its leaves' candidates when `collect`);
    // true when the walk goes on below it.
    bool Step(WalkStart pair, bool collect) {
        const ISectTree::Node& na = treeA_.nodes[size_t(pair.a)];
        const ISectTree::Node& nb = treeB_.nodes[size_t(pair.b)];
        if (self_ && pair.a == pair.b) {
            if (na.count == 0) return true;
            if (collect) Leaves(na, nb, true);
            return false;
        }
        if (!na.bound.Overlaps(nb.bound)) return false;
        if (na.count > 0 && nb.count > 0) {
            if (collect) Leaves(na, nb, false);
            return false;
        }
        return true;
    }

    // Pushes the pairs below `pair`, the one to walk first last.
    void Expand(WalkStart pair, std::vector<WalkStart>* stack) const {
        const auto [a, b] = pair;
        const ISectTree::Node& na = treeA_.nodes[size_t(a)];
        const ISectTree::Node& nb = treeB_.nodes[size_t(b)];
        // Within one tree, a pair (n, n) stands for the node against itself: its children each
        // against themselves, then against each other, so no pair of leaves is met twice.
        if (self_ && a == b) {
            stack->push_back({na.index, na.index + 1});
            stack->push_back({na.index + 1, na.index + 1});
            stack->push_back({na.index, na.index});
            return;
        }
        // Descend the node with the larger screen box, or the inner one.
        const auto area = [](const Bound& x) {
            return (x.screen.maxX - x.screen.minX) * (x.screen.maxY - x.screen.minY);
        };
        if (nb.count > 0 || (na.count == 0 && area(na.bound) >= area(nb.bound))) {
            stack->push_back({na.index + 1, b});
            stack->push_back({na.index, b});
        } else {
            stack->push_back({a, nb.index + 1});
            stack->push_back({a, nb.index});
        }
    }

    void Leaves(const ISectTree::Node& leafA, const ISectTree::Node& leafB, bool same) {
        // Only faces that reach into the other leaf's bound can meet one of its faces.
        int32_t nearB[kISectMaxLeafFaces];  // entries of B's order
        int countB = 0;
        for (int32_t j = leafB.index; j < leafB.index + leafB.count; ++j) {
            if (!packB_.bounds[size_t(j)].Overlaps(leafA.bound)) continue;
            nearB[countB++] = j;
        }
        if (countB == 0) return;
        for (int32_t i = leafA.index; i < leafA.index + leafA.count; ++i) {
            const Bound& faceA = packA_.bounds[size_t(i)];
            if (!faceA.Overlaps(leafB.bound)) continue;
            const int32_t fa = packA_.order[size_t(i)];
            for (int k = 0; k < countB; ++k) {
                const int32_t j = nearB[k];
                if (same && j <= i) continue;
                if (!faceA.Overlaps(packB_.bounds[size_t(j)])) continue;
                const int32_t fb = packB_.order[size_t(j)];
                if (self_ && SharesVertex((*faces_)[size_t(fa)], (*faces_)[size_t(fb)])) continue;
                out_->push_back({fa, fb});
            }
        }
    }

    const ISectTree& treeA_;
    const FaceBoundingPack& packA_;
    const ISectTree& treeB_;
    const FaceBoundingPack& packB_;
    const bool self_;
    const std::vector<FaceRecord>* faces_;
    std::vector<std::pair<int32_t, int32_t>>* out_;
};

// True when t touches the plane of p without passing through it. Within one object: every
// corner on one side or on the plane, as where one part rests against another. Between objects
// a corner on the plane counts as outside p's surface (the side its normal points to), so a
// triangle resting on p from outside draws nothing, while one reaching inside from the plane
// does: a sphere whose edges lie exactly in a box face still meets the box along them. An edge
// shared with p (a seam between two objects) stays a touch.
bool OnOneSide(const Point3 t[3], const Point3 p[3], bool self) {
    const double ux = double(p[1].x) - p[0].x, uy = double(p[1].y) - p[0].y,
                 uz = double(p[1].z) - p[0].z;
    const double vx = double(p[2].x) - p[0].x, vy = double(p[2].y) - p[0].y,
                 vz = double(p[2].z) - p[0].z;
    const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    const double n = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (n == 0.0) return true;
    double size = 0.0;
    for (int k = 0; k < 3; ++k)
        size = std::max({size, std::fabs(double(t[k].x) - p[0].x),
                         std::fabs(double(t[k].y) - p[0].y), std::fabs(double(t[k].z) - p[0].z)});
    // Distances within float rounding of the corners count as on the plane.
    const double tolerance = 1e-6 * size;
    bool above = false, below = false;
    int on = 0, shared = 0;
    for (int k = 0; k < 3; ++k) {
        const double d = ((double(t[k].x) - p[0].x) * nx + (double(t[k].y) - p[0].y) * ny +
                          (double(t[k].z) - p[0].z) * nz) /
                         n;
        above |= d > tolerance;
        below |= d < -tolerance;
        if (std::fabs(d) <= tolerance) {
            ++on;
            for (int j = 0; j < 3; ++j) {
                if (std::fabs(double(t[k].x) - p[j].x) <= tolerance &&
                    std::fabs(double(t[k].y) - p[j].y) <= tolerance &&
                    std::fabs(double(t[k].z) - p[j].z) <= tolerance) {
                    ++shared;
                    break;
                }
            }
        }
    }
    if (self || shared >= 2) return !(above && below);
    return !(below && (above || on > 0));
}

void Corners(const RenderObject& object, const std::vector<Point3>& camera, int face,
             Point3 out[3]) {
    const FaceRecord& f = object.faces[size_t(face)];
    for (int k = 0; k < 3; ++k) out[k] = camera[size_t(f.Vertex(k))];
}

}  // namespace

std::shared_ptr<const ISectTree> CalcISectTree(const Scene& scene, int object, int leafFaces) {
    auto tree = std::make_shared<ISectTree>();
    const FaceBoundingPack& pack = scene.Info(object).FaceBounds();
    if (pack.order.empty()) return tree;
    const int leaf = std::clamp(leafFaces, 1, kISectMaxLeafFaces);
    tree->nodes.reserve(2 * pack.order.size() / size_t(leaf) + 1);
    tree->nodes.resize(1);
    TreeBuilder(pack, leaf, &tree->nodes).Build(0, 0, int(pack.order.size()));
    tree->nodes.shrink_to_fit();
    return tree;
}

const ISectTree& RequestISectTree(const Scene& scene, int object) {
    return *scene.Info(object).IntersectionTree(
        [&] { return CalcISectTree(scene, object, kISectLeafFaces); });
}

std::vector<std::pair<int, int>> ListIntersectionPairs(const LineDetectionSettings& settings,
                                                       const Scene& scene, const ScreenRect& rect,
                                                       const std::vector<int32_t>& copyOf) {
    const Box2 screen{rect.minX, rect.minY, rect.maxX, rect.maxY};
    const int n = scene.ObjectCount();
    std::vector<uint8_t> part(static_cast<size_t>(n));
    for (int o = 0; o < n; ++o) part[size_t(o)] = TakesPart(settings, scene, screen, o);
    const auto left = [&](int o) {
        return scene.Object(o).invalid || scene.Object(o).faces.empty() ||
               (size_t(o) < copyOf.size() && copyOf[size_t(o)] >= 0);
    };
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i < n; ++i) {
        if (left(i)) continue;
        const Box2& si = scene.Info(i).ScreenBounds();
        for (int j = i; j < n; ++j) {
            if (!part[size_t(i)] && !part[size_t(j)]) continue;
            if (left(j)) continue;
            const Box2& sj = scene.Info(j).ScreenBounds();
            if (si.IsEmpty() || sj.IsEmpty() || !si.Overlaps(sj)) continue;
            if (!BoxesOverlap(scene.Info(i).Bounds(), scene.Info(j).Bounds())) continue;
            pairs.push_back({i, j});
        }
    }
    return pairs;
}

std::vector<WalkStart> CandidateWalkStarts(const Scene& scene, int objectA, int objectB,
                                           int depth) {
    const RenderObjectInfoEx& infoA = scene.Info(objectA);
    const RenderObjectInfoEx& infoB = scene.Info(objectB);
    std::vector<std::pair<int32_t, int32_t>> unused;
    return CandidateWalk(RequestISectTree(scene, objectA), infoA.FaceBounds(),
                         RequestISectTree(scene, objectB), infoB.FaceBounds(),
                         objectA == objectB ? &scene.Object(objectA).faces : nullptr, &unused)
        .Starts(depth);
}

void IntersectPair(const Scene& scene, const LineDetectionSettings& settings,
                   const OcclusionScene& occlusion, const ScreenRect& rect,
                   const IntersectionPair& pair, const WalkStart* starts, size_t startCount,
                   const PieceSink& sink, IntersectionScratch& scratch,
                   const ThreadProcessInfo& info) {
    if (info.IsAborted()) return;
    info.SetThreadProgress(0, 1);
    const int oa = pair.objectA, ob = pair.objectB;
    const bool self = oa == ob;
    const RenderObject& a = scene.Object(oa);
    const RenderObject& b = scene.Object(ob);
    const RenderObjectInfoEx& infoA = scene.Info(oa);
    const RenderObjectInfoEx& infoB = scene.Info(ob);
    const std::vector<Point3>& camA = infoA.CameraVertices();
    const std::vector<Point3>& camB = infoB.CameraVertices();
    const std::vector<Point3>& normalsA = infoA.FaceNormals();
    const std::vector<Point3>& normalsB = infoB.FaceNormals();
    const Camera& camera = scene.GetCamera();

    scratch.candidates.clear();
    CandidateWalk(RequestISectTree(scene, oa), infoA.FaceBounds(), RequestISectTree(scene, ob),
                  infoB.FaceBounds(), self ? &a.faces : nullptr, &scratch.candidates)
        .Run(starts, startCount);
    const int count = int(scratch.candidates.size());
    const bool parallel = camera.parallel != 0;
    for (int c = 0; c < count; ++c) {
        if (c % kProgressInterval == 0 && c > 0) {
            info.SetThreadProgress(c, count);
            if (info.IsAborted()) return;
        }
        const int fa = scratch.candidates[size_t(c)].first;
        const int fb = scratch.candidates[size_t(c)].second;
        if (std::fabs(Dot(normalsA[size_t(fa)], normalsB[size_t(fb)])) >= kParallelNormals)
            continue;
        const int32_t setA = LineSetOfFace(settings, scene, oa, fa);
        const int32_t setB = LineSetOfFace(settings, scene, ob, fb);
        if (self) {
            const bool selfA = setA >= 0 && (settings.lineSets[size_t(setA)].visible.selfIsect ||
                                             settings.lineSets[size_t(setA)].hidden.selfIsect);
            const bool selfB = setB >= 0 && (settings.lineSets[size_t(setB)].visible.selfIsect ||
                                             settings.lineSets[size_t(setB)].hidden.selfIsect);
            if (!selfA && !selfB) continue;
        }
        if (IsectDisabled(settings, scene, oa, fa) || IsectDisabled(settings, scene, ob, fb))
            continue;
        // The piece belongs to A's face when its line set draws intersections, else to B's.
        const bool useA =
            setA >= 0 && settings.lineSets[size_t(setA)].AnyClassHas(kEdgeIntersection);
        const bool useB =
            setB >= 0 && settings.lineSets[size_t(setB)].AnyClassHas(kEdgeIntersection);
        if (!useA && !useB) continue;
        const int32_t set = useA ? setA : setB;

        Point3 ta[3], tb[3], p0, p1;
        Corners(a, camA, fa, ta);
        Corners(b, camB, fb, tb);
        if (OnOneSide(ta, tb, self) || OnOneSide(tb, ta, self)) continue;
        if (!IntersectTriangles(ta, tb, &p0, &p1)) continue;
        const Point2 s0 = camera.Project(p0), s1 = camera.Project(p1);
        const float dx = s1.x - s0.x, dy = s1.y - s0.y;
        if (IsTouchingSegment(p0, p1, ta, tb, dx * dx + dy * dy)) continue;

        ClippedSegment segment;
        if (!ClipSegment(camera, rect, p0, p1, &segment) || segment.length <= 0.0f) continue;
        VisibilityQuery query;
        query.occlusion = &occlusion;
        query.camera = &camera;
        SampleVisibility(query, segment, &scratch.runs);
        const LineSetDetection& lineSet = settings.lineSets[size_t(set)];
        for (const VisibilityRun& run : scratch.runs) {
            const bool isHidden = (run.state & kSampleHidden) != 0;
            if (!(isHidden ? lineSet.hidden : lineSet.visible).kind[kEdgeIntersection]) continue;
            DetectedEdge& piece = sink(isHidden);
            piece.kind = kEdgeIntersection;
            SetPieceGeometry(&piece, segment, run.from, run.to, parallel);
            piece.object = useA ? oa : ob;
            piece.face = useA ? fa : fb;
            piece.secondObject = self ? -1 : (useA ? ob : oa);
            piece.secondFace = useA ? fb : fa;
            piece.lineSet = set;
        }
    }
}

}  // namespace KvrnLib
