// Scene nodes: a named tree with materials, transforms and groups, and the scene root.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "matrix3.h"
#include "reference.h"

class Mtl;

// A scene node. Reference 0 is its material. A parent holds its children (counted); the
// child's parent link is not counted. Attach, detach, the material, the name and the local
// transform are undoable.
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

    // Groups: a head stands for its children (members). A closed head's members are
    // reached only through it.
    void SetGroupHead(bool head);
    bool IsGroupHead() const { return groupHead_; }
    void SetGroupHeadOpen(bool open);
    bool IsOpenGroupHead() const { return groupHead_ && groupOpen_; }
    bool IsGroupMember() const { return parent_ && parent_->groupHead_; }

    // Transform relative to the parent and in world space. Transforms are not animated:
    // t is accepted for the calling convention.
    const Matrix3& GetLocalTM() const { return localTM_; }
    void SetLocalTM(const Matrix3& tm);
    Matrix3 GetNodeTM(TimeValue t) const;

    int NumRefs() override { return 1; }

  protected:
    void DropReferencesTo(ReferenceTarget* target) override;

  private:
    friend class NodeRestore;
    void InsertChild(INode* child, int index);
    void RemoveChild(INode* child);

    std::string name_;
    INode* parent_ = nullptr;
    std::vector<INode*> children_;
    bool groupHead_ = false;
    bool groupOpen_ = false;
    Matrix3 localTM_;
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
