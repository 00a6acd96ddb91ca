// Scene nodes: a named tree with materials, transforms and groups, and the scene root.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "controller.h"
#include "matrix3.h"
#include "object.h"
#include "reference.h"

class Mtl;

// A scene node. Reference 0 is its material, reference 1 its object (a base object or a
// DerivedObject carrying its modifiers). A parent holds its children (counted); the child's
// parent link is not counted. Attach, detach, the material, the object, the modifiers, the
// name, the transforms and the flags are undoable.
class INode : public ReferenceTarget {
  public:
    ~INode() override;

    SClass_ID SuperClassID() const override { return BASENODE_CLASS_ID; }
    Class_ID ClassID() const override { return Class_ID(1, 0); }

    const std::string& GetName() const { return name_; }
    void SetName(const std::string& name);

    INode* GetParentNode() const { return parent_; }
    int NumberOfChildren() const { return static_cast<int>(children_.size()); }
    INode* GetChildNode(int i) const;
    // Makes child the last child of this node (or at index), detaching it from its old
    // parent first. Refuses null, this node or one of its ancestors.
    bool AttachChild(INode* child, int index = -1);
    // Detaches this node from its parent (it dies if nothing else holds it).
    void Detach();

    Mtl* GetMtl();
    void SetMtl(Mtl* mtl);
    // The object channel (G-buffer object ID) render elements select by, 0 to 65535.
    int GetGBufID() const { return gbufID_; }
    void SetGBufID(int id) { gbufID_ = id; }

    // Groups: a head stands for its children (members). A closed head's members are
    // reached only through it.
    void SetGroupHead(bool head);
    bool IsGroupHead() const { return groupHead_; }
    void SetGroupHeadOpen(bool open);
    bool IsOpenGroupHead() const { return groupHead_ && groupOpen_; }
    bool IsGroupMember() const { return parent_ && parent_->groupHead_; }

    // Transforms. The local transform at t is scale, then rotation (Euler angles in degrees
    // about X, then Y, then Z), then position, then the fixed local transform; the world
    // transform is that times the parent's world transform. Position, rotation and scale are
    // key controllers interpolated linearly: animate true sets a key at t, false moves the value
    // (see KeyController).
    const Matrix3& GetLocalTM() const { return localTM_; }
    void SetLocalTM(const Matrix3& tm);
    void SetPosition(TimeValue t, const Point3& pos, bool animate);
    void SetRotation(TimeValue t, const Point3& eulerDegrees, bool animate);
    void SetScale(TimeValue t, const Point3& scale, bool animate);
    Point3 GetPosition(TimeValue t) const;
    Point3 GetRotation(TimeValue t) const;
    Point3 GetScale(TimeValue t) const;
    const KeyController<Point3>& PositionController() const { return pos_; }
    const KeyController<Point3>& RotationController() const { return rot_; }
    const KeyController<Point3>& ScaleController() const { return scale_; }
    Matrix3 GetNodeTM(TimeValue t) const;
    // The object's placement within the node (a model file's own node transform): the object
    // sits at GetObjectOffsetTM() * GetNodeTM(t). Not animated; children do not inherit it.
    void SetObjectOffsetTM(const Matrix3& tm) { objectOffset_ = tm; }
    const Matrix3& GetObjectOffsetTM() const { return objectOffset_; }
    Matrix3 GetObjectTM(TimeValue t) const;
    // Look-at: the node keeps its position and turns its -Z towards target's position, its +Y
    // as close to `up` (world space) as the view allows. Null target: off. The target is held.
    void SetLookAt(INode* target, const Point3& up);
    INode* GetLookAtTarget() const { return lookAt_.get(); }
    // Times around t over which GetNodeTM stays the same (the parents' included).
    Interval TMValidity(TimeValue t) const;

    // Nodes that are not renderable, or hidden, give no render instance.
    bool Renderable() const { return renderable_; }
    void SetRenderable(bool on);
    bool IsHidden() const { return hidden_; }
    void Hide(bool on);

    // The object: the base object, or the DerivedObject when the node has modifiers.
    Object* GetObjectRef();
    void SetObjectRef(Object* obj);
    // The object below the modifiers.
    Object* GetBaseObject();
    // Modifiers, bottom (0, applied first) to top. AddModifier wraps the object in a
    // DerivedObject on first use; index -1 adds on top.
    void AddModifier(Modifier* mod, int index = -1);
    int NumModifiers();
    Modifier* GetModifier(int i);  // null out of range
    bool DeleteModifier(int i);

    // The object at the end of the pipeline at t. Cached with its validity: while t stays in
    // it and nothing below the node changes, the same state comes back without evaluating.
    ObjectState EvalWorldState(TimeValue t);
    // The world state as a triangle mesh (cached with it); null when it has no surface.
    // Throws std::invalid_argument naming the node for geometry that cannot be triangulated.
    RefPtr<TriObject> EvalTriObject(TimeValue t);

    int NumRefs() override { return 2; }
    RefResult NotifyRefChanged(const Interval& changeInt, ReferenceTarget* hTarget, PartID part,
                               RefMessage message) override;

  protected:
    void DropReferencesTo(ReferenceTarget* target) override;
    void SetReference(int i, ReferenceTarget* target) override;

  private:
    friend class NodeRestore;
    void InsertChild(INode* child, int index);
    void RemoveChild(INode* child);

    std::string name_;
    INode* parent_ = nullptr;
    std::vector<INode*> children_;
    int gbufID_ = 0;
    bool groupHead_ = false;
    bool groupOpen_ = false;
    bool renderable_ = true;
    bool hidden_ = false;
    Matrix3 localTM_;
    Matrix3 objectOffset_;
    RefPtr<INode> lookAt_;
    Point3 lookAtUp_{0.0f, 0.0f, 1.0f};
    KeyController<Point3> pos_{Point3(), Interpolation::Linear};
    KeyController<Point3> rot_{Point3(), Interpolation::Linear};
    KeyController<Point3> scale_{Point3(1, 1, 1), Interpolation::Linear};

    struct EvalCache {
        ObjectState state;
        RefPtr<TriObject> tri;
        bool triDone = false;
        bool valid = false;
    };
    void SetController(KeyController<Point3> INode::*which, TimeValue t, const Point3& value,
                       bool animate);
    void InvalidateCache() { cache_.valid = false; }
    EvalCache cache_;
};

// Replaces each closed group head in nodes by its members (recursively: a closed group
// inside a closed group gives its members too; heads themselves are dropped). Other nodes,
// open heads included, stay. Order: input order, members in child order; each node once.
std::vector<INode*> ExpandClosedGroups(const std::vector<INode*>& nodes);

// A scene: the root node (nameless, never part of a walk) and what hangs below it.
class Scene {
  public:
    Scene();
    INode* GetRootNode() const { return root_.get(); }
    // Every node below the root, depth first, children in index order, parent before children.
    void Walk(const std::function<void(INode*)>& visit) const;
    std::vector<INode*> AllNodes() const;
    // First node of that name in walk order (exact, case-sensitive), or null.
    INode* FindNode(const std::string& name) const;

  private:
    RefPtr<INode> root_;
};

// The scene the application works on.
Scene& GetActiveScene();
