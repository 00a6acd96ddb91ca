#include "node.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>

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

void INode::SetController(KeyController<Point3> INode::*which, TimeValue t, const Point3& value,
                          bool animate) {
    KeyController<Point3>& ctrl = this->*which;
    if (theHold.Holding()) {
        RefPtr<INode> self(this);
        KeyController<Point3> before = ctrl;
        KeyController<Point3> after = ctrl;
        after.SetValue(t, value, animate);
        theHold.Put(std::make_unique<FunctionRestore>(
            [self, which, before] {
                self.get()->*which = before;
                self->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
            },
            [self, which, after] {
                self.get()->*which = after;
                self->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
            }));
    }
    ctrl.SetValue(t, value, animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

void INode::SetPosition(TimeValue t, const Point3& pos, bool animate) {
    SetController(&INode::pos_, t, pos, animate);
}
void INode::SetRotation(TimeValue t, const Point3& eulerDegrees, bool animate) {
    SetController(&INode::rot_, t, eulerDegrees, animate);
}
void INode::SetScale(TimeValue t, const Point3& scale, bool animate) {
    SetController(&INode::scale_, t, scale, animate);
}

Point3 INode::GetPosition(TimeValue t) const {
    Interval ignored = FOREVER;
    return pos_.GetValue(t, ignored);
}
Point3 INode::GetRotation(TimeValue t) const {
    Interval ignored = FOREVER;
    return rot_.GetValue(t, ignored);
}
Point3 INode::GetScale(TimeValue t) const {
    Interval ignored = FOREVER;
    return scale_.GetValue(t, ignored);
}

namespace {

// Axes of a view from eye towards target with up as close to `up` as it allows (rows right, up,
// back, eye), in double precision; the identity rotation when eye and target meet or up lies
// along the view.
Matrix3 LookAtTM(const Point3& eye, const Point3& target, const Point3& up) {
    const double bx = double(eye.x) - target.x, by = double(eye.y) - target.y,
                 bz = double(eye.z) - target.z;
    const double bl = std::sqrt(bx * bx + by * by + bz * bz);
    Matrix3 tm = Matrix3::Translation(eye);
    if (!(bl > 0)) return tm;
    const double back[3] = {bx / bl, by / bl, bz / bl};
    const double ul = std::sqrt(double(up.x) * up.x + double(up.y) * up.y + double(up.z) * up.z);
    if (!(ul > 0)) return tm;
    const double u[3] = {up.x / ul, up.y / ul, up.z / ul};
    double right[3] = {u[1] * back[2] - u[2] * back[1], u[2] * back[0] - u[0] * back[2],
                       u[0] * back[1] - u[1] * back[0]};
    const double rl = std::sqrt(right[0] * right[0] + right[1] * right[1] + right[2] * right[2]);
    if (!(rl > 1e-9)) return tm;
    for (double& c : right) c /= rl;
    const double upv[3] = {back[1] * right[2] - back[2] * right[1],
                           back[2] * right[0] - back[0] * right[2],
                           back[0] * right[1] - back[1] * right[0]};
    tm.SetRow(0, {float(right[0]), float(right[1]), float(right[2])});
    tm.SetRow(1, {float(upv[0]), float(upv[1]), float(upv[2])});
    tm.SetRow(2, {float(back[0]), float(back[1]), float(back[2])});
    return tm;
}

}  // namespace

void INode::SetLookAt(INode* target, const Point3& up) {
    lookAt_ = target;
    lookAtUp_ = up;
}

Matrix3 INode::GetObjectTM(TimeValue t) const {
    const Matrix3 nodeTM = GetNodeTM(t);
    return objectOffset_.IsIdentity(0.0f) ? nodeTM : objectOffset_ * nodeTM;
}

Matrix3 INode::GetNodeTM(TimeValue t) const {
    const Point3 pos = GetPosition(t), rot = GetRotation(t), scale = GetScale(t);
    if (lookAt_) {
        const Matrix3 parentTM = parent_ ? parent_->GetNodeTM(t) : Matrix3();
        const Point3 eye = pos * parentTM;
        return LookAtTM(eye, lookAt_->GetNodeTM(t).GetTrans(), lookAtUp_);
    }
    Matrix3 local = localTM_;
    // An untouched node multiplies by nothing, so a fixed transform (a camera's) comes back
    // bit for bit.
    if (!(pos == Point3() && rot == Point3() && scale == Point3(1, 1, 1))) {
        constexpr float kDegree = std::numbers::pi_v<float> / 180.0f;
        local = Matrix3::Scale(scale) * Matrix3::RotationX(rot.x * kDegree) *
                Matrix3::RotationY(rot.y * kDegree) * Matrix3::RotationZ(rot.z * kDegree) *
                Matrix3::Translation(pos) * localTM_;
    }
    if (!parent_) return local;
    const Matrix3 parentTM = parent_->GetNodeTM(t);
    return parentTM.IsIdentity(0.0f) ? local : local * parentTM;
}

Interval INode::TMValidity(TimeValue t) const {
    Interval valid = FOREVER;
    if (lookAt_) valid &= lookAt_->TMValidity(t);
    pos_.GetValue(t, valid);
    rot_.GetValue(t, valid);
    scale_.GetValue(t, valid);
    if (parent_) valid &= parent_->TMValidity(t);
    return valid;
}

void INode::SetRenderable(bool on) {
    if (on == renderable_) return;
    if (theHold.Holding()) {
        RefPtr<INode> self(this);
        theHold.Put(std::make_unique<FunctionRestore>([self, on] { self->SetRenderable(!on); },
                                                      [self, on] { self->SetRenderable(on); }));
    }
    renderable_ = on;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

void INode::Hide(bool on) {
    if (on == hidden_) return;
    if (theHold.Holding()) {
        RefPtr<INode> self(this);
        theHold.Put(std::make_unique<FunctionRestore>([self, on] { self->Hide(!on); },
                                                      [self, on] { self->Hide(on); }));
    }
    hidden_ = on;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

Object* INode::GetObjectRef() { return dynamic_cast<Object*>(GetReference(1)); }
void INode::SetObjectRef(Object* obj) { ReplaceReference(1, obj); }

Object* INode::GetBaseObject() {
    Object* obj = GetObjectRef();
    if (auto* derived = dynamic_cast<DerivedObject*>(obj)) return derived->GetBaseObject();
    return obj;
}

void INode::AddModifier(Modifier* mod, int index) {
    if (!mod) return;
    auto* derived = dynamic_cast<DerivedObject*>(GetObjectRef());
    if (!derived) {
        derived = new DerivedObject;
        derived->SetBaseObject(GetObjectRef());
        SetObjectRef(derived);
    }
    derived->AddModifier(mod, index);
}

int INode::NumModifiers() {
    auto* derived = dynamic_cast<DerivedObject*>(GetObjectRef());
    return derived ? derived->NumModifiers() : 0;
}

Modifier* INode::GetModifier(int i) {
    auto* derived = dynamic_cast<DerivedObject*>(GetObjectRef());
    return derived ? derived->GetModifier(i) : nullptr;
}

bool INode::DeleteModifier(int i) {
    auto* derived = dynamic_cast<DerivedObject*>(GetObjectRef());
    return derived && derived->DeleteModifier(i);
}

ObjectState INode::EvalWorldState(TimeValue t) {
    if (cache_.valid && cache_.state.validity.InInterval(t)) return cache_.state;
    cache_ = EvalCache();
    Object* obj = GetObjectRef();
    if (auto* derived = dynamic_cast<DerivedObject*>(obj)) {
        cache_.state = derived->Eval(t, this);
    } else if (obj) {
        cache_.state.obj = obj;
        cache_.state.validity = obj->ObjectValidity(t);
    }
    // An empty validity still serves this one time.
    if (cache_.state.validity.Empty()) cache_.state.validity.SetInstant(t);
    cache_.valid = true;
    return cache_.state;
}

RefPtr<TriObject> INode::EvalTriObject(TimeValue t) {
    EvalWorldState(t);
    if (!cache_.triDone) {
        if (cache_.state.obj) {
            try {
                cache_.tri = cache_.state.obj->ConvertToTriObject(t);
            } catch (const std::invalid_argument& e) {
                throw std::invalid_argument("node \"" + name_ + "\": " + e.what());
            }
        }
        cache_.triDone = true;
    }
    return cache_.tri;
}

RefResult INode::NotifyRefChanged(const Interval&, ReferenceTarget* hTarget, PartID,
                                  RefMessage message) {
    if (hTarget == GetReference(1) && (message == REFMSG_CHANGE || message == REFMSG_REF_CHANGED)) {
        InvalidateCache();
    }
    return REF_SUCCEED;
}

void INode::SetReference(int i, ReferenceTarget* target) {
    ReferenceMaker::SetReference(i, target);
    if (i == 1) InvalidateCache();
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
