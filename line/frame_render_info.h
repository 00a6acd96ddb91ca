// The frame's engine scene built from the host's render instances: one engine object per
// instance (placeholders where an instance has no node or mesh), the camera from the render
// context, and the node of each object. Built and cleared on the render thread only; read by
// every line effect of the frame while no rebuild runs.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "render.h"
#include "scene.h"
#include "time_value.h"

class INode;

// What a plug-in object asks of the frame before the frame's effects run. Line effects answer
// it, and toon materials will.
class KvrnRenderGlobalUser {
  public:
    virtual ~KvrnRenderGlobalUser() = default;
    virtual bool NeedsFrameRenderInfo(TimeValue t) = 0;
    virtual bool NeedsMotionInfo(TimeValue t) = 0;
};

// The engine camera of a render context: size, projection, matrices and depth limits (no
// limits for a parallel view whose far range is exactly 1e30; defaults without view params).
KvrnLib::Camera CameraFromContext(const RenderGlobalContext& gc);

// Number of sub-material slots of a material: 0 for null; else the largest count among its
// sub-materials (recursively), at least 1 and at least its own sub-material count.
int MaterialSlotCount(Mtl* mtl);

// Fills object from a render instance. selectEdgeChannel: the map channel carrying select-edge
// markers (-1: none). mainObject (may be null): an object of another frame info built from the
// same node, whose map channels are shared when the mesh is the same. False (object untouched)
// when the instance has no mesh.
bool ConvertRenderInstance(KvrnLib::RenderObject& object, const RenderInstance& instance,
                           const KvrnLib::RenderObject* mainObject, int selectEdgeChannel);

class KvrnFrameRenderInfo {
  public:
    KvrnFrameRenderInfo();
    KvrnFrameRenderInfo(const KvrnFrameRenderInfo&) = delete;
    KvrnFrameRenderInfo& operator=(const KvrnFrameRenderInfo&) = delete;

    // Rebuilds from gc's render instances, leaving out nodeToLeaveOut (may be null). mainInfo
    // (may be null): the frame's main info, for a secondary info. False when the scene could
    // not be built (the info is then clear).
    bool Initialize(const RenderGlobalContext& gc, INode* nodeToLeaveOut = nullptr,
                    const KvrnFrameRenderInfo* mainInfo = nullptr);
    // The empty scene with the empty camera; the select-edge marks stay.
    void Clear();
    bool Initialized() const { return initialized_; }
    // Changes at every Initialize and Clear: engine objects built over an older scene are stale.
    uint64_t Generation() const { return generation_; }

    // A new scene object replaces the old one at every Initialize and Clear: holders of the
    // pointer compare it to notice.
    const KvrnLib::Scene& GetScene() const { return *scene_; }
    const KvrnLib::Scene* ScenePtr() const { return scene_.get(); }
    // Per object: its node (null for placeholders) and its material's slot count.
    const std::vector<INode*>& Nodes() const { return nodes_; }
    const std::vector<int>& SubMaterialCounts() const { return subMtlCounts_; }
    int ObjectIndex(const INode* node) const;  // -1 when the node has no object

    // The hook through which the select-edge modifier names the map channel of its markers on
    // a node (-1 removes the mark). Read at the next Initialize.
    void SetSelectEdgeChannel(INode* node, int channel);
    int SelectEdgeChannel(const INode* node) const;  // -1: none

    // Engine objects are kept from one Initialize to the next, by node: while a node's mesh, its
    // corner normals, its material's two-sided slots and its select-edge channel stay the same,
    // its object serves again with the frame's transforms instead of being converted anew (a
    // static mesh in an animation is converted once). A loader that made the engine form of a
    // mesh itself hands it over here, so that not even the first frame converts it; its faces'
    // two-sided bits are set from the material at first use.
    void Adopt(const INode* node, const std::shared_ptr<const Mesh>& mesh,
               const std::shared_ptr<const std::vector<Point3>>& cornerNormals,
               bool explicitNormals, std::shared_ptr<KvrnLib::RenderObject> object);

  private:
    struct Converted {
        std::weak_ptr<const Mesh> mesh;
        std::weak_ptr<const std::vector<Point3>> normals;
        bool explicitNormals = false;
        int selectEdgeChannel = -1;
        std::vector<uint8_t> twoSided;  // slots applied to the faces; empty: none yet
        std::shared_ptr<KvrnLib::RenderObject> object;
    };
    // The kept object for the instance, brought up to date, or null when it must be converted.
    std::shared_ptr<KvrnLib::RenderObject> Reuse(const RenderInstance& instance, int channel);
    std::unique_ptr<KvrnLib::Scene> scene_;
    std::vector<INode*> nodes_;
    std::vector<int> subMtlCounts_;
    std::unordered_map<const INode*, int> objectOfNode_;
    std::unordered_map<const INode*, int> selectEdgeChannels_;
    std::unordered_map<const INode*, Converted> converted_;
    bool initialized_ = false;
    uint64_t generation_ = 0;
};
