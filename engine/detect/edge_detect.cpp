#include "edge_detect.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "object_copies.h"
#include "render_object_info.h"
#include "stage_runner.h"

namespace KvrnLib {

namespace {

constexpr int kProgressInterval = 1024;  // edges between progress reports and abort polls

// Line functions record of a face, or null.
const MaterialLineFunctions* FunctionsOfFace(const LineDetectionSettings& settings,
                                             const Scene& scene, int object, int face) {
    const int32_t index = settings.objects[size_t(object)].FunctionsOfMaterial(
        scene.Object(object).faces[size_t(face)].materialID);
    if (index < 0 || index >= int32_t(settings.materialFunctions.size())) return nullptr;
    return &settings.materialFunctions[size_t(index)];
}

// Faces whose material masks nothing, or not this edge's face, do not hide it.
class MaskingFilter final : public OccluderFilter {
  public:
    MaskingFilter(const LineDetectionSettings& settings, const Scene& scene, int object, int face)
        : settings_(settings), scene_(scene), object_(object), face_(face) {}
    bool Accept(int object, int face) const override {
        const MaterialLineFunctions* f = FunctionsOfFace(settings_, scene_, object, face);
        return !f || (!f->maskingDisable && !f->maskingOff.Contains(object_, face_));
    }

  private:
    const LineDetectionSettings& settings_;
    const Scene& scene_;
    const int object_, face_;
};

// The faces an edge lies on cannot hide it; near a silhouette one of them is almost edge-on to
// the view, and rounding alone would let it hide samples at random, breaking the line into dots.
class EdgeOccluderFilter final : public OccluderFilter {
  public:
    EdgeOccluderFilter(const OccluderFilter* masking, int object, int face0, int face1)
        : masking_(masking), object_(object), face0_(face0), face1_(face1) {}
    bool AcceptObject(int object) const override {
        return !masking_ || masking_->AcceptObject(object);
    }
    bool Accept(int object, int face) const override {
        if (object == object_ && (face == face0_ || face == face1_)) return false;
        return !masking_ || masking_->Accept(object, face);
    }

  private:
    const OccluderFilter* masking_;
    const int object_, face0_, face1_;
};

// A hiding face drops this edge's hidden lines when its line set masks the hidden lines of other
// line sets, or its material's mask-hidden-lines selection holds the edge's face.
class HiddenMask final : public HiddenLineMask {
  public:
    HiddenMask(const LineDetectionSettings& settings, const Scene& scene, int lineSet, int object,
               int face)
        : settings_(settings), scene_(scene), lineSet_(lineSet), object_(object), face_(face) {}
    bool Masks(int object, int face) const override {
        const int32_t set = settings_.objects[size_t(object)].LineSetOfMaterial(
            scene_.Object(object).faces[size_t(face)].materialID);
        if (set >= 0 && set != lineSet_ && set < int32_t(settings_.lineSets.size()) &&
            settings_.lineSets[size_t(set)].maskHiddenLinesOfOtherLinesets)
            return true;
        const MaterialLineFunctions* f = FunctionsOfFace(settings_, scene_, object, face);
        return f && f->maskHiddenLines.Contains(object_, face_);
    }

  private:
    const LineDetectionSettings& settings_;
    const Scene& scene_;
    const int lineSet_, object_, face_;
};

bool AnyLineSetMasksHidden(const LineDetectionSettings& settings) {
    for (const LineSetDetection& set : settings.lineSets)
        if (set.maskHiddenLinesOfOtherLinesets) return true;
    for (const MaterialLineFunctions& f : settings.materialFunctions)
        if (!f.maskHiddenLines.Empty()) return true;
    return false;
}

bool AnyMaterialMasks(const LineDetectionSettings& settings) {
    for (const MaterialLineFunctions& f : settings.materialFunctions)
        if (f.maskingDisable || !f.maskingOff.Empty()) return true;
    return false;
}

// Corner indices from the lowest (a usable face has three distinct ones).
std::array<int32_t, 3> LowestFirst(const FaceRecord& r) {
    const int32_t a = r.vertexA, b = r.vertexB, c = r.vertexC;
    if (a < b && a < c) return {a, b, c};
    if (b < c) return {b, c, a};
    return {c, a, b};
}

// Copies (face_copies.h) that also repeat the corner indices of an earlier face of their group
// (the face they copy, or another copy), ascending: they add no mesh edges. A copy over vertices
// of its own, as in an unwelded mesh, keeps its edges, since the faces around it may join it
// there.
std::vector<int32_t> SharedCornerCopies(const RenderObject& object,
                                        const std::vector<FaceCopy>& copies) {
    std::vector<int32_t> out;
    // (group, corner indices, face) of the copies that differ from their original, and of those
    // originals; rare, so sorted only when there are some.
    std::vector<std::array<int32_t, 5>> unwelded;
    for (const FaceCopy& c : copies) {
        const std::array<int32_t, 3> corners = LowestFirst(object.faces[size_t(c.face)]);
        const std::array<int32_t, 3> original = LowestFirst(object.faces[size_t(c.original)]);
        if (corners == original) {
            out.push_back(c.face);
            continue;
        }
        unwelded.push_back({c.original, corners[0], corners[1], corners[2], c.face});
        unwelded.push_back({c.original, original[0], original[1], original[2], c.original});
    }
    if (unwelded.empty()) return out;
    std::sort(unwelded.begin(), unwelded.end());
    unwelded.erase(std::unique(unwelded.begin(), unwelded.end()), unwelded.end());
    for (size_t i = 1; i < unwelded.size(); ++i)
        if (std::equal(unwelded[i].begin(), unwelded[i].begin() + 4, unwelded[i - 1].begin()))
            out.push_back(unwelded[i][4]);
    std::sort(out.begin(), out.end());
    return out;
}

// Sign of the screen-space winding of a front face: the projection scales' product, flipped
// for mirrored objects.
float FrontWinding(const Camera& camera, bool mirrored) {
    const float sign = camera.scale.x * camera.scale.y >= 0.0f ? 1.0f : -1.0f;
    return mirrored ? -sign : sign;
}

}  // namespace

EdgeDetectThreadProcess::EdgeDetectThreadProcess(DetectionResult& result,
                                                 const LineDetectionSettings& settings,
                                                 const Scene& scene,
                                                 const OcclusionScene& occlusion, bool quiet,
                                                 int threadCount, std::vector<int32_t> copyOf)
    : result_(result),
      settings_(settings),
      scene_(scene),
      occlusion_(occlusion),
      quiet_(quiet),
      rect_(WidenedScreenRect(scene.GetCamera(), settings.offscreen)),
      masking_(AnyMaterialMasks(settings)),
      hiddenMasking_(AnyLineSetMasksHidden(settings)),
      copyOf_(std::move(copyOf)),
      scratch_(size_t(threadCount < 1 ? 1 : threadCount)) {
    // Pairs are listed here, before any item runs, so their slots never move.
    result_.pairs.clear();
    for (int o = 0; o < scene.ObjectCount(); ++o) {
        if (!ObjectHasWork(o)) continue;
        prepare_.push_back(o);
        const int64_t cost = int64_t(scene.Object(o).faces.size()) + 1;
        items_.push_back({0, o, cost});
        totalCost_ += cost;
        ++objectItems_;
    }
    for (const auto& [a, b] : ListIntersectionPairs(settings, scene, rect_, copyOf_)) {
        IntersectionPair& pair = result_.pairs.emplace_back();
        pair.objectA = a;
        pair.objectB = b;
        const int64_t cost =
            (int64_t(scene.Object(a).faces.size()) + int64_t(scene.Object(b).faces.size())) / 2 + 1;
        items_.push_back({1, int32_t(result_.pairs.size()) - 1, cost});
        totalCost_ += cost;
        ++pairItems_;
    }
}

bool EdgeDetectThreadProcess::ObjectHasWork(int o) const {
    const RenderObject& object = scene_.Object(o);
    if (object.invalid || object.faces.empty()) return false;
    if (size_t(o) < copyOf_.size() && copyOf_[size_t(o)] >= 0) return false;
    const Box2& bounds = scene_.Info(o).ScreenBounds();
    const Box2 screen{rect_.minX, rect_.minY, rect_.maxX, rect_.maxY};
    if (bounds.IsEmpty() || !bounds.Overlaps(screen)) return false;
    const ObjectDetection& record = settings_.objects[size_t(o)];
    auto drawsEdges = [&](int32_t set) {
        if (set < 0 || set >= int32_t(settings_.lineSets.size())) return false;
        for (int k = 0; k < kEdgeKindCount; ++k)
            if (k != kEdgeIntersection && settings_.lineSets[size_t(set)].AnyClassHas(k))
                return true;
        return false;
    };
    if (record.materialLineSets.empty()) return drawsEdges(record.defaultLineSet);
    for (int32_t set : record.materialLineSets)
        if (drawsEdges(set)) return true;
    return false;
}

void EdgeDetectThreadProcess::RefreshProgress(const ThreadProcessInfo& info) const {
    const int64_t done = workDone_.load();
    const int ratio = totalCost_ > 0 ? int(double(done) * 1000.0 / double(totalCost_) + 0.5) : 0;
    info.SetProgress(ratio, 1000);
    info.SetMessage("[Object] " + std::to_string(objectsDone_.load()) + " / " +
                    std::to_string(objectItems_) + "  [Intersection] " +
                    std::to_string(pairsDone_.load()) + " / " + std::to_string(pairItems_));
}

bool EdgeDetectThreadProcess::Work(const ThreadProcessInfo& info) {
    const int i = info.itemIndex;
    if (i == 0 && !quiet_) RefreshProgress(info);
    const int prepareCount = int(prepare_.size());
    if (i < prepareCount) {
        const int o = prepare_[size_t(i)];
        if (!quiet_) info.SetThreadMessage("Prepare " + std::to_string(o + 1));
        const RenderObjectInfoEx& objectInfo = scene_.Info(o);
        objectInfo.FacingBytes();
        objectInfo.FaceNormals();
        return true;
    }
    const int j = i - prepareCount;
    if (j < int(items_.size())) {
        const DetectWorkItem& item = items_[size_t(j)];
        if (item.type == 0) {
            if (!quiet_) info.SetThreadMessage("Object " + std::to_string(item.index + 1));
            DetectObject(item.index, info);
        } else {
            IntersectionPair& pair = result_.pairs[size_t(item.index)];
            if (!quiet_)
                info.SetThreadMessage("I " + std::to_string(pair.objectA + 1) + ":" +
                                      std::to_string(pair.objectB + 1));
            std::unique_ptr<Scratch>& scratch = scratch_[size_t(info.threadIndex)];
            if (!scratch) scratch = std::make_unique<Scratch>();
            IntersectPair(scene_, settings_, occlusion_, rect_, pair, scratch->intersection, info);
        }
        if (!quiet_) {
            (item.type == 0 ? objectsDone_ : pairsDone_).fetch_add(1);
            workDone_.fetch_add(item.cost);
            RefreshProgress(info);
        }
        return true;
    }
    scratch_[size_t(info.threadIndex)].reset();
    return false;
}

void EdgeDetectThreadProcess::DetectObject(int o, const ThreadProcessInfo& info) {
    if (info.IsAborted()) return;
    info.SetThreadProgress(0, 1);
    std::unique_ptr<Scratch>& scratch = scratch_[size_t(info.threadIndex)];
    if (!scratch) scratch = std::make_unique<Scratch>();

    const RenderObject& object = scene_.Object(o);
    const RenderObjectInfoEx& objectInfo = scene_.Info(o);
    const Camera& camera = scene_.GetCamera();
    const std::vector<Point3>& cameraVertices = objectInfo.CameraVertices();
    const std::vector<Point3>& normals = objectInfo.FaceNormals();
    const ObjectDetection& record = settings_.objects[size_t(o)];
    const float frontWinding = FrontWinding(camera, objectInfo.IsMirrored());

    const std::vector<uint8_t>& facing = objectInfo.FacingBytes();
    scratch->edges =
        BuildMeshEdges(object, facing, SharedCornerCopies(object, occlusion_.FaceCopies(o)));
    const std::vector<MeshEdge>& edges = scratch->edges;
    const int edgeCount = int(edges.size());
    for (int e = 0; e < edgeCount; ++e) {
        if (e % kProgressInterval == 0 && e > 0) {
            info.SetThreadProgress(e, edgeCount);
            if (info.IsAborted()) return;
        }
        const MeshEdge& edge = edges[size_t(e)];
        const FaceRecord& face0 = object.faces[size_t(edge.face0)];
        const int32_t set = record.LineSetOfMaterial(face0.materialID);
        if (set < 0 || set >= int32_t(settings_.lineSets.size())) continue;
        const LineSetDetection& lineSet = settings_.lineSets[size_t(set)];
        const EdgeKinds kinds = ClassifyEdge(object, normals, edge, lineSet);
        if (kinds.mask == 0) continue;

        ClippedSegment segment;
        if (!ClipSegment(camera, rect_, cameraVertices[size_t(edge.v0)],
                         cameraVertices[size_t(edge.v1)], &segment))
            continue;
        // Orient so the front face lies on the left of p0 -> p1 in screen terms (the side where
        // the cross product has the front winding's sign); the outward side is then the right.
        const bool singleFace = edge.face1 < 0;
        int front = edge.face0;
        if (!singleFace && normals[size_t(edge.face1)].z > normals[size_t(edge.face0)].z)
            front = edge.face1;  // the face turned more towards the viewer
        // The edge runs v0 -> v1 in face0's winding, so the other way round in face1's.
        if ((frontWinding < 0.0f) != (front != edge.face0)) {
            std::swap(segment.c0, segment.c1);
            std::swap(segment.s0, segment.s1);
        }
        if (segment.length <= 0.0f) continue;
        const Point2 dir{(segment.s1.x - segment.s0.x) / segment.length,
                         (segment.s1.y - segment.s0.y) / segment.length};

        MaskingFilter filter(settings_, scene_, o, front);
        HiddenMask hiddenMask(settings_, scene_, set, o, front);
        VisibilityQuery query;
        query.occlusion = &occlusion_;
        query.camera = &camera;
        const EdgeOccluderFilter ownFaces(masking_ ? &filter : nullptr, o, edge.face0, edge.face1);
        query.filter = &ownFaces;
        query.hiddenMask = hiddenMasking_ ? &hiddenMask : nullptr;
        query.singleFace = singleFace;
        query.object = o;
        query.outward = {dir.y, -dir.x};
        SampleVisibility(query, segment, &scratch->runs);

        const bool parallel = camera.parallel != 0;
        for (const VisibilityRun& run : scratch->runs) {
            const bool hidden = (run.state & kSampleHidden) != 0;
            const int kind =
                PieceKind(kinds, lineSet, hidden, singleFace, (run.state & kSampleOutline) != 0);
            if (kind < 0) continue;
            LineSetEdges& out = result_.lineSets[size_t(set)];
            ObjectEdges& lists = hidden ? out.hidden[size_t(o)] : out.visible[size_t(o)];
            DetectedEdge& piece = lists.kinds[size_t(kind)].Append();
            piece.kind = kind;
            SetPieceGeometry(&piece, segment, run.from, run.to, parallel);
            piece.face = front;
            piece.lineSet = set;
        }
    }
}

void DetectEdges(DetectionResult& result, const LineDetectionSettings& settings, const Scene& scene,
                 ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate) {
    if (int(settings.objects.size()) != scene.ObjectCount())
        throw LineEffectException("invalid LineDetectionSettings.");
    result.Reset(int(settings.lineSets.size()), scene.ObjectCount());
    std::vector<int32_t> copyOf = FindObjectCopies(scene, settings);
    const OcclusionScene occlusion(scene, manager, copyOf);
    StageRun run(delegate, manager);
    auto process =
        std::make_shared<EdgeDetectThreadProcess>(result, settings, scene, occlusion, run.Quiet(),
                                                  manager.GetThreadCount(), std::move(copyOf));
    run.Run(process);
}

}  // namespace KvrnLib
