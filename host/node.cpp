#include "node.h"

#include <algorithm>
#include <memory>

#include "hold.h"
#include "mtl.h"

INode::~INode() {
    for (INode* child : children_) child->parent_ = nullptr;
}

void INode::SetName(const std::string& name) {
    if (name == name_) return;
    if (theHold.Holding()) {
        RefPtr<INode> self(this);
        std::string before = name_;
        theHold.Put(std::make_unique<FunctionRestore>([self, before] { self->SetName(before); },
                                                      [self, name] { self->SetName(name); }));
    }
    name_ = name;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_NAME_CHANGED);
}

INode* INode::GetChildNode(int i) const {
    if (i < 0 || i >= NumberOfChildren()) return nullptr;
    return children_[i];
}

void INode::InsertChild(INode* child, int index) {
    index = (index < 0 || index > NumberOfChildren()) ? NumberOfChildren() : index;
    LinkTarget(child);
    children_.insert(children_.begin() + index, child);
    child->parent_ = this;
}

void INode::RemoveChild(INode* child) {
    auto it = std::find(children_.begin(), children_.end(), child);
    if (it == children_.end()) return;
    children_.erase(it);
    child->parent_ = nullptr;
    UnlinkTarget(child);
}

bool INode::AttachChild(INode* child, int index) {
    if (!child) return false;
    for (INode* n = this; n; n = n->parent_) {
        if (n == child) return false;
    }
    RefPtr<INode> keep(child);
    INode* oldParent = child->parent_;
    int oldIndex = -1;
    if (oldParent) {
        oldIndex = static_cast<int>(
            std::find(oldParent->children_.begin(), oldParent->children_.end(), child) -
            oldParent->children_.begin());
        oldParent->RemoveChild(child);
    }
    InsertChild(child, index);
    if (theHold.Holding()) {
        RefPtr<INode> self(this);
        RefPtr<INode> old(oldParent);
        int newIndex = static_cast<int>(std::find(children_.begin(), children_.end(), child) -
                                        children_.begin());
        theHold.Put(std::make_unique<FunctionRestore>(
            [self, keep, old, oldIndex] {
                self->RemoveChild(keep.get());
                if (old) old->InsertChild(keep.get(), oldIndex);
            },
            [self, keep, old, newIndex] {
                if (old) old->RemoveChild(keep.get());
                self->InsertChild(keep.get(), newIndex);
            }));
    }
    NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
    return true;
}

void INode::Detach() {
    if (!parent_) return;
    RefPtr<INode> self(this);
    RefPtr<INode> parent(parent_);
    int index =
        static_cast<int>(std::find(parent_->children_.begin(), parent_->children_.end(), this) -
                         parent_->children_.begin());
    parent_->RemoveChild(this);
    if (theHold.Holding()) {
        theHold.Put(std::make_unique<FunctionRestore>(
            [self, parent, index] { parent->InsertChild(self.get(), index); },
            [self, parent] { parent->RemoveChild(self.get()); }));
    }
    parent->NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
}

Mtl* INode::GetMtl() { return dynamic_cast<Mtl*>(GetReference(0)); }
void INode::SetMtl(Mtl* mtl) { ReplaceReference(0, mtl); }

void INode::SetGroupHead(bool head) { groupHead_ = head; }
void INode::SetGroupHeadOpen(bool open) { groupOpen_ = open; }

void INode::SetLocalTM(const Matrix3& tm) {
    if (theHold.Holding()) {
        RefPtr<INode> self(this);
        Matrix3 before = localTM_;
        theHold.Put(std::make_unique<FunctionRestore>([self, before] { self->SetLocalTM(before); },
                                                      [self, tm] { self->SetLocalTM(tm); }));
    }
    localTM_ = tm;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

Matrix3 INode::GetNodeTM(TimeValue t) const {
    return parent_ ? localTM_ * parent_->GetNodeTM(t) : localTM_;
}

void INode::DropReferencesTo(ReferenceTarget* target) {
    ReferenceTarget::DropReferencesTo(target);
    auto it = std::find(children_.begin(), children_.end(), target);
    if (it != children_.end()) (*it)->Detach();
}

namespace {
void AddExpanded(INode* node, std::vector<INode*>& out) {
    if (!node) return;
    if (node->IsGroupHead() && !node->IsOpenGroupHead()) {
        for (int i = 0; i < node->NumberOfChildren(); ++i) AddExpanded(node->GetChildNode(i), out);
        return;
    }
    if (std::find(out.begin(), out.end(), node) == out.end()) out.push_back(node);
}

void WalkBelow(INode* node, const std::function<void(INode*)>& visit) {
    for (int i = 0; i < node->NumberOfChildren(); ++i) {
        INode* child = node->GetChildNode(i);
        visit(child);
        WalkBelow(child, visit);
    }
}
}  // namespace

std::vector<INode*> ExpandClosedGroups(const std::vector<INode*>& nodes) {
    std::vector<INode*> out;
    for (INode* node : nodes) AddExpanded(node, out);
    return out;
}

Scene::Scene() : root_(new INode) {}

void Scene::Walk(const std::function<void(INode*)>& visit) const { WalkBelow(root_.get(), visit); }

std::vector<INode*> Scene::AllNodes() const {
    std::vector<INode*> nodes;
    Walk([&](INode* node) { nodes.push_back(node); });
    return nodes;
}

INode* Scene::FindNode(const std::string& name) const {
    for (INode* node : AllNodes()) {
        if (node->GetName() == name) return node;
    }
    return nullptr;
}

Scene& GetActiveScene() {
    static Scene scene;
    return scene;
}
