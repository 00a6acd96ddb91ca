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
// Levels of the candidate walk expanded to find a pair's part starts: several thousand starts
// on a million-face object, enough to balance the parts.
constexpr int kWalkSplitDepth = 12;

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

DetectionPlan::DetectionPlan(DetectionResult& result, const LineDetectionSettings& settings,
                             const Scene& scene, std::vector<int32_t> copyOf, int threadCount,
                             DetectPartSizes sizes)
    : result_(result),
      settings_(settings),
      scene_(scene),
      rect_(WidenedScreenRect(scene.GetCamera(), settings.offscreen)),
      copyOf_(std::move(copyOf)),
      sizes_{std::max(1, sizes.facesPerObjectPart), std::max<int64_t>(1, sizes.facesPerPairPart),
             std::max<int64_t>(1, sizes.shareFactor)},
      threadCount_(std::max(1, threadCount)),
      edges_(size_t(scene.ObjectCount())),
      inParts_(size_t(scene.ObjectCount()), 0) {
    // Pairs are listed here, before any item runs, so their slots never move.
    result_.pairs.clear();
    int64_t totalFaces = 0;
    for (int o = 0; o < scene.ObjectCount(); ++o) {
        if (!ObjectHasWork(o)) continue;
        objects_.push_back(o);
        totalFaces += int64_t(scene.Object(o).faces.size());
    }
    for (int o : objects_) {
        const int64_t faces = int64_t(scene.Object(o).faces.size());
        inParts_[size_t(o)] =
            faces > sizes_.facesPerObjectPart && LargeShare(faces, totalFaces) ? 1 : 0;
    }
    for (const auto& [a, b] : ListIntersectionPairs(settings, scene, rect_, copyOf_)) {
        IntersectionPair& pair = result_.pairs.emplace_back();
        pair.objectA = a;
        pair.objectB = b;
        pairObjects_.push_back(a);
        pairObjects_.push_back(b);
    }
    std::sort(pairObjects_.begin(), pairObjects_.end());
    pairObjects_.erase(std::unique(pairObjects_.begin(), pairObjects_.end()), pairObjects_.end());
    starts_.resize(result_.pairs.size());
}

bool DetectionPlan::LargeShare(int64_t faces, int64_t totalFaces) const {
    return threadCount_ > 1 && faces * sizes_.shareFactor * threadCount_ > totalFaces;
}

bool DetectionPlan::ObjectHasWork(int o) const {
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

void DetectionPlan::Prepare(int item) {
    if (item < int(objects_.size())) {
        const int o = objects_[size_t(item)];
        const RenderObjectInfoEx& info = scene_.Info(o);
        info.FaceNormals();
        if (inParts_[size_t(o)])
            edges_[size_t(o)] = BuildMeshEdgeTable(scene_.Object(o), info.FacingBytes());
        return;
    }
    const int o = pairObjects_[size_t(item) - objects_.size()];
    scene_.Info(o).FaceNormals();
    RequestISectTree(scene_, o);
}

std::vector<int32_t> DetectionPlan::ObjectsWithSharedCornerCopies(
    const OcclusionScene& occlusion) const {
    std::vector<int32_t> out;
    for (int o : objects_)
        if (inParts_[size_t(o)] &&
            !SharedCornerCopies(scene_.Object(o), occlusion.FaceCopies(o)).empty())
            out.push_back(o);
    return out;
}

void DetectionPlan::RebuildEdges(int o, const OcclusionScene& occlusion) {
    const RenderObject& object = scene_.Object(o);
    edges_[size_t(o)] = BuildMeshEdgeTable(object, scene_.Info(o).FacingBytes(),
                                           SharedCornerCopies(object, occlusion.FaceCopies(o)));
}

void DetectionPlan::ListItems() {
    items_.clear();
    bufferCount_ = 0;
    totalCost_ = 0;
    const auto add = [&](DetectItemType type, int index, int begin, int end, int64_t cost) {
        const bool first =
            items_.empty() || items_.back().type != type || items_.back().index != index;
        items_.push_back({type, int32_t(index), int32_t(begin), int32_t(end),
                          first ? -1 : bufferCount_++, cost});
        totalCost_ += cost;
    };
    for (int o : objects_) {
        const int64_t count = inParts_[size_t(o)] ? int64_t(edges_[size_t(o)].partner.size() / 3)
                                                  : int64_t(scene_.Object(o).faces.size());
        // An object of one part builds its edges in its item: it must have exactly one. An
        // object without edges still gets an item, so that it counts as done.
        const int64_t step =
            inParts_[size_t(o)] ? sizes_.facesPerObjectPart : std::max<int64_t>(1, count);
        for (int64_t begin = 0; begin == 0 || begin < count; begin += step) {
            const int64_t end = std::min<int64_t>(count, begin + step);
            add(DetectItemType::kObjectEdges, o, int(begin), int(end), end - begin + 1);
        }
    }
    // The faces a pair's walk meets, copies left out (the intersection data is prepared).
    const auto pairFaces = [&](const IntersectionPair& pair) {
        return (int64_t(scene_.Info(pair.objectA).FaceBounds().order.size()) +
                int64_t(scene_.Info(pair.objectB).FaceBounds().order.size())) /
               2;
    };
    int64_t totalPairFaces = 0;
    for (const IntersectionPair& pair : result_.pairs) totalPairFaces += pairFaces(pair);
    for (size_t p = 0; p < result_.pairs.size(); ++p) {
        const IntersectionPair& pair = result_.pairs[p];
        const int64_t faces = pairFaces(pair);
        const int64_t parts = LargeShare(faces, totalPairFaces)
                                  ? (faces + sizes_.facesPerPairPart - 1) / sizes_.facesPerPairPart
                                  : 1;
        std::vector<WalkStart>& starts = starts_[p];
        if (parts > 1)
            starts = CandidateWalkStarts(scene_, pair.objectA, pair.objectB, kWalkSplitDepth);
        if (parts <= 1 || starts.size() < 2) {
            starts.clear();
            add(DetectItemType::kPairPart, int(p), 0, 0, faces + 1);
            continue;
        }
        const int64_t count = int64_t(starts.size());
        const int64_t used = std::min(parts, count);
        for (int64_t k = 0; k < used; ++k)
            add(DetectItemType::kPairPart, int(p), int(count * k / used),
                int(count * (k + 1) / used), faces / used + 1);
    }
}

EdgeDetectThreadProcess::EdgeDetectThreadProcess(DetectionPlan& plan,
                                                 const OcclusionScene& occlusion, bool quiet,
                                                 int threadCount)
    : plan_(plan),
      result_(plan.result_),
      settings_(plan.settings_),
      scene_(plan.scene_),
      occlusion_(occlusion),
      quiet_(quiet),
      masking_(AnyMaterialMasks(plan.settings_)),
      hiddenMasking_(AnyLineSetMasksHidden(plan.settings_)),
      scratch_(size_t(threadCount < 1 ? 1 : threadCount)),
      buffers_(size_t(plan.bufferCount_)),
      objectPartsLeft_(size_t(plan.scene_.ObjectCount())),
      pairPartsLeft_(plan.result_.pairs.size()) {
    for (const DetectWorkItem& item : plan_.items_) {
        const bool object = item.type == DetectItemType::kObjectEdges;
        std::atomic<int32_t>& left =
            (object ? objectPartsLeft_ : pairPartsLeft_)[size_t(item.index)];
        if (left.fetch_add(1) == 0) ++(object ? objectCount_ : pairCount_);
    }
}

void EdgeDetectThreadProcess::RefreshProgress(const ThreadProcessInfo& info) const {
    const int64_t done = workDone_.load();
    const int64_t total = plan_.totalCost_;
    const int ratio = total > 0 ? int(double(done) * 1000.0 / double(total) + 0.5) : 0;
    info.SetProgress(ratio, 1000);
    info.SetMessage("[Object] " + std::to_string(objectsDone_.load()) + " / " +
                    std::to_string(objectCount_) + "  [Intersection] " +
                    std::to_string(pairsDone_.load()) + " / " + std::to_string(pairCount_));
}

void EdgeDetectThreadProcess::PartDone(const DetectWorkItem& item) {
    if (item.type == DetectItemType::kObjectEdges) {
        if (objectPartsLeft_[size_t(item.index)].fetch_sub(1) != 1) return;
        // The last part: no other worker reads this object's edges any more.
        std::vector<int32_t>().swap(plan_.edges_[size_t(item.index)].partner);
        objectsDone_.fetch_add(1);
    } else if (pairPartsLeft_[size_t(item.index)].fetch_sub(1) == 1) {
        pairsDone_.fetch_add(1);
    }
}

bool EdgeDetectThreadProcess::Work(const ThreadProcessInfo& info) {
    const int i = info.itemIndex;
    if (i == 0 && !quiet_) RefreshProgress(info);
    const std::vector<DetectWorkItem>& items = plan_.items_;
    if (i >= int(items.size())) {
        scratch_[size_t(info.threadIndex)].reset();
        return false;
    }
    std::unique_ptr<Scratch>& scratch = scratch_[size_t(info.threadIndex)];
    if (!scratch) scratch = std::make_unique<Scratch>();
    const DetectWorkItem& item = items[size_t(i)];
    PartBuffer* buffer = item.buffer >= 0 ? &buffers_[size_t(item.buffer)] : nullptr;
    if (item.type == DetectItemType::kObjectEdges) {
        if (!quiet_) info.SetThreadMessage("Object " + std::to_string(item.index + 1));
        DetectObjectEdges(item.index, item.begin, item.end, buffer, *scratch, info);
    } else {
        IntersectionPair& pair = result_.pairs[size_t(item.index)];
        if (!quiet_)
            info.SetThreadMessage("I " + std::to_string(pair.objectA + 1) + ":" +
                                  std::to_string(pair.objectB + 1));
        const std::vector<WalkStart>& starts = plan_.starts_[size_t(item.index)];
        const WalkStart* first = starts.empty() ? nullptr : starts.data() + item.begin;
        const PieceSink sink = [&](bool hidden) -> DetectedEdge& {
            if (buffer) return (hidden ? buffer->hidden : buffer->visible).emplace_back();
            return (hidden ? pair.hiddenEdges : pair.visibleEdges).Append();
        };
        IntersectPair(scene_, settings_, occlusion_, plan_.rect_, pair, first,
                      size_t(item.end - item.begin), sink, scratch->intersection, info);
    }
    PartDone(item);
    if (!quiet_) {
        workDone_.fetch_add(item.cost);
        RefreshProgress(info);
    }
    return true;
}

void EdgeDetectThreadProcess::DetectObjectEdges(int o, int begin, int end, PartBuffer* buffer,
                                                Scratch& scratch, const ThreadProcessInfo& info) {
    if (info.IsAborted()) return;
    info.SetThreadProgress(0, 1);
    const RenderObject& object = scene_.Object(o);
    const RenderObjectInfoEx& objectInfo = scene_.Info(o);
    const Camera& camera = scene_.GetCamera();
    const std::vector<Point3>& cameraVertices = objectInfo.CameraVertices();
    const std::vector<Point3>& normals = objectInfo.FaceNormals();
    const ObjectDetection& record = settings_.objects[size_t(o)];
    const float frontWinding = FrontWinding(camera, objectInfo.IsMirrored());
    if (!plan_.inParts_[size_t(o)]) {
        scratch.edges = BuildMeshEdgeTable(object, objectInfo.FacingBytes(),
                                           SharedCornerCopies(object, occlusion_.FaceCopies(o)));
    }
    const MeshEdgeTable& edges =
        plan_.inParts_[size_t(o)] ? plan_.edges_[size_t(o)] : scratch.edges;
    const ScreenRect& rect = plan_.rect_;
    const bool parallel = camera.parallel != 0;
    const size_t first = size_t(begin) * 3;
    const size_t last = std::min(size_t(end) * 3, edges.partner.size());
    for (size_t h = first; h < last; ++h) {
        if ((h - first) % kProgressInterval == 0 && h > first) {
            info.SetThreadProgress(int(h - first), int(last - first));
            if (info.IsAborted()) return;
        }
        if (edges.partner[h] == kNoMeshEdge) continue;
        const MeshEdge edge = edges.Edge(object, h);
        const FaceRecord& face0 = object.faces[size_t(edge.face0)];
        const int32_t set = record.LineSetOfMaterial(face0.materialID);
        if (set < 0 || set >= int32_t(settings_.lineSets.size())) continue;
        const LineSetDetection& lineSet = settings_.lineSets[size_t(set)];
        const EdgeKinds kinds = ClassifyEdge(object, normals, edge, lineSet);
        if (kinds.mask == 0) continue;

        ClippedSegment segment;
        if (!ClipSegment(camera, rect, cameraVertices[size_t(edge.v0)],
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
        SampleVisibility(query, segment, &scratch.runs);

        for (const VisibilityRun& run : scratch.runs) {
            const bool hidden = (run.state & kSampleHidden) != 0;
            const int kind =
                PieceKind(kinds, lineSet, hidden, singleFace, (run.state & kSampleOutline) != 0);
            if (kind < 0) continue;
            DetectedEdge* piece;
            if (buffer) {
                piece = &(hidden ? buffer->hidden : buffer->visible).emplace_back();
            } else {
                LineSetEdges& out = result_.lineSets[size_t(set)];
                ObjectEdges& lists = hidden ? out.hidden[size_t(o)] : out.visible[size_t(o)];
                piece = &lists.kinds[size_t(kind)].Append();
            }
            piece->kind = kind;
            SetPieceGeometry(piece, segment, run.from, run.to, parallel);
            piece->face = front;
            piece->lineSet = set;
        }
    }
}

void EdgeDetectThreadProcess::MergeParts() {
    for (const DetectWorkItem& item : plan_.items_) {
        if (item.buffer < 0) continue;
        PartBuffer& buffer = buffers_[size_t(item.buffer)];
        for (const bool hidden : {false, true}) {
            for (const DetectedEdge& piece : hidden ? buffer.hidden : buffer.visible) {
                if (item.type == DetectItemType::kPairPart) {
                    IntersectionPair& pair = result_.pairs[size_t(item.index)];
                    (hidden ? pair.hiddenEdges : pair.visibleEdges).Append(piece);
                    continue;
                }
                // A piece's line set and kind name its list.
                LineSetEdges& out = result_.lineSets[size_t(piece.lineSet)];
                ObjectEdges& lists =
                    hidden ? out.hidden[size_t(item.index)] : out.visible[size_t(item.index)];
                lists.kinds[size_t(piece.kind)].Append(piece);
            }
        }
        buffer = PartBuffer{};
    }
}

void DetectEdges(DetectionResult& result, const LineDetectionSettings& settings, const Scene& scene,
                 ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate,
                 DetectPartSizes sizes) {
    if (int(settings.objects.size()) != scene.ObjectCount())
        throw LineEffectException("invalid LineDetectionSettings.");
    result.Reset(int(settings.lineSets.size()), scene.ObjectCount());
    DetectionPlan plan(result, settings, scene, FindObjectCopies(scene, settings),
                       manager.GetThreadCount(), sizes);
    // The occlusion leaves out copies of faces, which the mesh edges leave out too when they
    // repeat corner indices; copies are rare, so edges are built without first and rebuilt where
    // there are some. One worker gains nothing from the overlap, and would hold the occlusion's
    // build state and the preparation's results at once.
    const bool alongside = manager.GetThreadCount() > 1;
    const auto prepare = [&](int item) { plan.Prepare(item); };
    const OcclusionScene occlusion(scene, manager, plan.CopyOf(),
                                   alongside ? plan.PrepareCount() : 0, prepare);
    if (!alongside) ParallelFor(&manager, plan.PrepareCount(), prepare);
    StageRun run(delegate, manager);
    const bool quiet = run.Quiet();
    const std::vector<int32_t> rebuild = plan.ObjectsWithSharedCornerCopies(occlusion);
    if (!rebuild.empty()) {
        run.RunItems(int(rebuild.size()), [&](int item, const ThreadProcessInfo& info) {
            const int o = rebuild[size_t(item)];
            if (!quiet) info.SetThreadMessage("Prepare " + std::to_string(o + 1));
            plan.RebuildEdges(o, occlusion);
        });
    }
    plan.ListItems();
    auto process =
        std::make_shared<EdgeDetectThreadProcess>(plan, occlusion, quiet, manager.GetThreadCount());
    run.Run(process);
    process->MergeParts();
}

}  // namespace KvrnLib
