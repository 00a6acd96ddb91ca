#include "frame_render_info.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "mtl.h"
#include "node.h"
#include "select_edge.h"

namespace {

// Arrays are filled by appending to reserved storage: sizing them first would write every
// element twice, and for a large mesh the copy is bound by memory traffic and first-touch page
// faults, not by arithmetic.
// Host and engine points are both three floats: large arrays go across in one copy.
static_assert(sizeof(Point3) == sizeof(KvrnLib::Point3) && std::is_trivially_copyable_v<Point3> &&
              std::is_trivially_copyable_v<KvrnLib::Point3>);
void CopyPoints(const std::vector<Point3>& from, std::vector<KvrnLib::Point3>& to) {
    to.resize(from.size());
    if (!from.empty())
        std::memcpy(static_cast<void*>(to.data()), from.data(), from.size() * sizeof(Point3));
}

KvrnLib::Point3 EnginePoint(const Point3& p) { return {p.x, p.y, p.z}; }

KvrnLib::Matrix3 EngineMatrix(const Matrix3& m) {
    KvrnLib::Matrix3 out;
    for (int r = 0; r < 4; ++r) out.row[r] = EnginePoint(m.GetRow(r));
    return out;
}

// Two-sided flag per material slot; a material without slots counts as one slot.
std::vector<uint8_t> TwoSidedSlots(Mtl* mtl) {
    const int count = std::max(MaterialSlotCount(mtl), 1);
    std::vector<uint8_t> twoSided(size_t(count), 0);
    if (mtl)
        for (int s = 0; s < count; ++s)
            twoSided[size_t(s)] = (mtl->Requirements(s) & MTLREQ_2SIDE) != 0;
    return twoSided;
}

std::shared_ptr<KvrnLib::UVMesh> ConvertMap(const MeshMap& map) {
    auto uv = std::make_shared<KvrnLib::UVMesh>();
    CopyPoints(map.tv, uv->vertices);
    uv->faces.reserve(map.tf.size());
    for (const TVFace& f : map.tf)
        uv->faces.push_back({int32_t(f.t[0]), int32_t(f.t[1]), int32_t(f.t[2])});
    return uv;
}

// The frame's part of an engine object: its transforms and its node's name.
void PlaceObject(KvrnLib::RenderObject& object, const RenderInstance& instance) {
    object.objToWorld = EngineMatrix(instance.objToWorld);
    object.objToCam = EngineMatrix(instance.objToCam);
    object.normalToCam = EngineMatrix(instance.normalObjToCam);
    object.camToObj = EngineMatrix(instance.camToObj);
    object.name = instance.node ? instance.node->GetName() : std::string();
    object.invalid = 0;
}

void ApplyTwoSided(KvrnLib::RenderObject& object, const std::vector<uint8_t>& twoSided) {
    const size_t slots = twoSided.size();
    for (KvrnLib::FaceRecord& face : object.faces) {
        const bool on = twoSided[slots == 1 ? 0 : face.materialID % slots] != 0;
        face.flags = (face.flags & ~KvrnLib::kFaceTwoSided) | (on ? KvrnLib::kFaceTwoSided : 0u);
    }
}

}  // namespace

KvrnLib::Camera CameraFromContext(const RenderGlobalContext& gc) {
    KvrnLib::Camera camera;
    camera.width = gc.devWidth;
    camera.height = gc.devHeight;
    camera.parallel = gc.projType != PROJ_PERSPECTIVE ? 1 : 0;
    camera.center = {gc.xc, gc.yc};
    camera.scale = {gc.xscale, gc.yscale};
    camera.worldToCam = EngineMatrix(gc.worldToCam);
    camera.camToWorld = EngineMatrix(gc.camToWorld);
    if (gc.hasViewParams) camera.SetDepthLimits(gc.viewParams.nearRange, gc.viewParams.farRange);
    return camera;
}

int MaterialSlotCount(Mtl* mtl) {
    if (!mtl) return 0;
    int count = std::max(1, mtl->NumSubMtls());
    for (int i = 0; i < mtl->NumSubMtls(); ++i)
        count = std::max(count, MaterialSlotCount(mtl->GetSubMtl(i)));
    return count;
}

bool ConvertRenderInstance(KvrnLib::RenderObject& object, const RenderInstance& instance,
                           const KvrnLib::RenderObject* mainObject, int selectEdgeChannel) {
    if (!instance.mesh) return false;
    const Mesh& mesh = *instance.mesh;
    CopyPoints(mesh.verts, object.vertices);

    const std::vector<uint8_t> twoSided = TwoSidedSlots(instance.mtl);
    const size_t slots = twoSided.size();
    // Edge visibility (host bits 0-2) and hard-edge marks (3-5) move to the engine's bits 1-3
    // and 7-9 together.
    static_assert(KvrnLib::FaceEdgeVisibleBit(0) == EDGE_A << 1 &&
                  KvrnLib::FaceEdgeHardBit(0) == FACE_HARD_EDGE_A << 4);
    object.faces.resize(mesh.faces.size());
    KvrnLib::FaceRecord* to = object.faces.data();
    for (const Face& from : mesh.faces) {
        to->vertexA = int32_t(from.v[0]);
        to->vertexB = int32_t(from.v[1]);
        to->vertexC = int32_t(from.v[2]);
        to->materialID = from.matID;
        to->smoothingGroup = from.smGroup;
        to->flags = ((from.flags & EDGE_ALL) << 1) | ((from.flags & FACE_HARD_EDGE_ALL) << 4) |
                    (twoSided[slots == 1 ? 0 : from.matID % slots] ? KvrnLib::kFaceTwoSided : 0u);
        ++to;
    }

    object.cornerNormals.clear();
    object.explicitNormals = 0;
    if (instance.cornerNormals && instance.cornerNormals->size() == mesh.faces.size() * 3) {
        CopyPoints(*instance.cornerNormals, object.cornerNormals);
        object.explicitNormals = instance.explicitNormals ? 1 : 0;
    }

    // A secondary info's object comes from the same node at the same time: its maps are the same.
    const bool shareMaps = mainObject && mainObject->faces.size() == object.faces.size();
    for (int c = 0; c < MAX_MESHMAPS && c < KvrnLib::kMapChannelCount; ++c) {
        std::shared_ptr<KvrnLib::UVMesh>& slot = object.mapChannels[size_t(c)];
        slot.reset();
        if (!mesh.MapSupport(c) || mesh.maps[size_t(c)].tv.empty()) continue;
        slot = shareMaps && mainObject->mapChannels[size_t(c)] ? mainObject->mapChannels[size_t(c)]
                                                               : ConvertMap(mesh.maps[size_t(c)]);
    }
    if (selectEdgeChannel >= 0) KvrnLib::MarkSelectedEdges(object, selectEdgeChannel);

    PlaceObject(object, instance);
    return true;
}

KvrnFrameRenderInfo::KvrnFrameRenderInfo() : scene_(std::make_unique<KvrnLib::Scene>()) {}

void KvrnFrameRenderInfo::Clear() {
    scene_ = std::make_unique<KvrnLib::Scene>();
    nodes_.clear();
    subMtlCounts_.clear();
    objectOfNode_.clear();
    initialized_ = false;
    ++generation_;
}

bool KvrnFrameRenderInfo::Initialize(const RenderGlobalContext& gc, INode* nodeToLeaveOut,
                                     const KvrnFrameRenderInfo* mainInfo) {
    Clear();
    try {
        const size_t count = size_t(gc.NumRenderInstances());
        const KvrnLib::Camera camera = CameraFromContext(gc);
        std::vector<std::shared_ptr<KvrnLib::RenderObject>> objects(count);
        nodes_.assign(count, nullptr);
        subMtlCounts_.assign(count, 0);
        objectOfNode_.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const RenderInstance& instance = gc.instances[i];
            if (!instance.node || instance.node == nodeToLeaveOut || !instance.mesh) continue;
            const KvrnLib::RenderObject* mainObject = nullptr;
            if (mainInfo) {
                const int index = mainInfo->ObjectIndex(instance.node);
                if (index >= 0) mainObject = &mainInfo->GetScene().Object(index);
            }
            const int channel = SelectEdgeChannel(instance.node);
            std::shared_ptr<KvrnLib::RenderObject> object =
                mainInfo ? nullptr : Reuse(instance, channel);
            if (!object) {
                object = std::make_shared<KvrnLib::RenderObject>();
                if (!ConvertRenderInstance(*object, instance, mainObject, channel)) continue;
                if (!mainInfo) {
                    converted_[instance.node] = {
                        instance.mesh, instance.cornerNormals,      instance.explicitNormals,
                        channel,       TwoSidedSlots(instance.mtl), object};
                }
            }
            // The derived transforms in the engine's own arithmetic, from the placement: the
            // same scene gives the same numbers whichever way its objects were made.
            object->SetTransforms(object->objToWorld, camera.worldToCam);
            objects[i] = std::move(object);
            nodes_[i] = instance.node;
            objectOfNode_.emplace(instance.node, int(i));
            subMtlCounts_[i] = MaterialSlotCount(instance.mtl);
        }
        // Objects of nodes that left the frame, or whose meshes are gone, go with them.
        if (!mainInfo) {
            for (auto it = converted_.begin(); it != converted_.end();)
                it = objectOfNode_.contains(it->first) && !it->second.mesh.expired()
                         ? std::next(it)
                         : converted_.erase(it);
        }
        scene_ = std::make_unique<KvrnLib::Scene>(camera, std::move(objects));
    } catch (const std::exception&) {
        Clear();
        return false;
    }
    initialized_ = true;
    return true;
}

void KvrnFrameRenderInfo::Adopt(const INode* node, const std::shared_ptr<const Mesh>& mesh,
                                const std::shared_ptr<const std::vector<Point3>>& cornerNormals,
                                bool explicitNormals,
                                std::shared_ptr<KvrnLib::RenderObject> object) {
    if (!node || !mesh || !object) return;
    converted_[node] = {mesh, cornerNormals, explicitNormals, -1, {}, std::move(object)};
}

std::shared_ptr<KvrnLib::RenderObject> KvrnFrameRenderInfo::Reuse(const RenderInstance& instance,
                                                                  int channel) {
    const auto it = converted_.find(instance.node);
    if (it == converted_.end()) return nullptr;
    Converted& kept = it->second;
    if (kept.mesh.lock() != instance.mesh || kept.normals.lock() != instance.cornerNormals ||
        kept.explicitNormals != instance.explicitNormals || kept.selectEdgeChannel != channel) {
        converted_.erase(it);
        return nullptr;
    }
    std::vector<uint8_t> twoSided = TwoSidedSlots(instance.mtl);
    if (twoSided != kept.twoSided) {
        ApplyTwoSided(*kept.object, twoSided);
        kept.twoSided = std::move(twoSided);
    }
    PlaceObject(*kept.object, instance);
    return kept.object;
}

int KvrnFrameRenderInfo::ObjectIndex(const INode* node) const {
    auto it = objectOfNode_.find(node);
    return it == objectOfNode_.end() ? -1 : it->second;
}

void KvrnFrameRenderInfo::SetSelectEdgeChannel(INode* node, int channel) {
    if (!node) return;
    if (channel < 0)
        selectEdgeChannels_.erase(node);
    else
        selectEdgeChannels_[node] = channel;
}

int KvrnFrameRenderInfo::SelectEdgeChannel(const INode* node) const {
    auto it = selectEdgeChannels_.find(node);
    return it == selectEdgeChannels_.end() ? -1 : it->second;
}
