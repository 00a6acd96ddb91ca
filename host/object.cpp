#include "object.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "hold.h"

// ---- TriObject

Mesh& TriObject::GetMeshForWrite() {
    // Copy on write: evaluations and render instances may still hold the current mesh.
    auto copy = std::make_shared<Mesh>(*mesh_);
    Mesh& writable = *copy;
    mesh_ = std::move(copy);
    normals_ = CornerNormals();
    return writable;
}

void TriObject::SetMesh(Mesh mesh) {
    mesh_ = std::make_shared<const Mesh>(std::move(mesh));
    normals_ = CornerNormals();
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

const CornerNormals& TriObject::GetCornerNormals() {
    if (!normals_.normals) {
        bool allExplicit = false;
        normals_.normals =
            std::make_shared<const std::vector<Point3>>(ComputeCornerNormals(*mesh_, &allExplicit));
        normals_.allExplicit = allExplicit;
    }
    return normals_;
}

void TriObject::SetCornerNormals(std::vector<Point3> normals, bool allExplicit) {
    if (normals.size() != mesh_->faces.size() * 3)
        throw std::invalid_argument("corner normals: " + std::to_string(normals.size()) + " for " +
                                    std::to_string(mesh_->faces.size()) +
                                    " faces, expected three per face");
    normals_.normals = std::make_shared<const std::vector<Point3>>(std::move(normals));
    normals_.allExplicit = allExplicit;
}

Object* TriObject::MakeShallowCopy() {
    auto* copy = new TriObject;
    copy->mesh_ = mesh_;
    copy->normals_ = normals_;
    return copy;
}

RefPtr<TriObject> TriObject::ConvertToTriObject(TimeValue) { return RefPtr<TriObject>(this); }

ReferenceTarget* TriObject::Clone(RemapDir& remap) {
    auto* clone = static_cast<TriObject*>(MakeShallowCopy());
    BaseClone(this, clone, remap);
    return clone;
}

// ---- PolyObject

MNMesh& PolyObject::GetMeshForWrite() {
    auto copy = std::make_shared<MNMesh>(*mesh_);
    MNMesh& writable = *copy;
    mesh_ = std::move(copy);
    return writable;
}

void PolyObject::SetMesh(MNMesh mesh) {
    mesh_ = std::make_shared<const MNMesh>(std::move(mesh));
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

Object* PolyObject::MakeShallowCopy() {
    auto* copy = new PolyObject;
    copy->mesh_ = mesh_;
    return copy;
}

RefPtr<TriObject> PolyObject::ConvertToTriObject(TimeValue) {
    return RefPtr<TriObject>(new TriObject(TriangulateMNMesh(*mesh_)));
}

ReferenceTarget* PolyObject::Clone(RemapDir& remap) {
    auto* clone = static_cast<PolyObject*>(MakeShallowCopy());
    BaseClone(this, clone, remap);
    return clone;
}

// ---- Modifier

void Modifier::SetEnabled(bool on) {
    if (on == enabled_) return;
    if (theHold.Holding()) {
        RefPtr<Modifier> self(this);
        theHold.Put(std::make_unique<FunctionRestore>([self, on] { self->SetEnabled(!on); },
                                                      [self, on] { self->SetEnabled(on); }));
    }
    enabled_ = on;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

// ---- DerivedObject

ReferenceTarget* DerivedObject::GetReference(int i) {
    if (i == 0) return base_;
    return GetModifier(i - 1);
}

void DerivedObject::SetReference(int i, ReferenceTarget* target) {
    if (i == 0) {
        base_ = dynamic_cast<Object*>(target);
    } else if (i - 1 < NumModifiers()) {
        mods_[size_t(i - 1)].mod = dynamic_cast<Modifier*>(target);
    }
}

Modifier* DerivedObject::GetModifier(int i) const {
    return i >= 0 && i < NumModifiers() ? mods_[size_t(i)].mod : nullptr;
}

ModContext* DerivedObject::GetModContext(int i) {
    return i >= 0 && i < NumModifiers() ? &mods_[size_t(i)].mc : nullptr;
}

void DerivedObject::Insert(int index, Modifier* mod, const ModContext& mc) {
    LinkTarget(mod);
    mods_.insert(mods_.begin() + index, Entry{mod, mc, !mc.box.IsEmpty()});
    NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
}

void DerivedObject::Erase(int index) {
    Modifier* mod = mods_[size_t(index)].mod;
    mods_.erase(mods_.begin() + index);
    UnlinkTarget(mod);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
}

void DerivedObject::AddModifier(Modifier* mod, int index) {
    if (!mod) return;
    if (index < 0 || index > NumModifiers()) index = NumModifiers();
    Insert(index, mod, ModContext());
    if (theHold.Holding()) {
        RefPtr<DerivedObject> self(this);
        RefPtr<Modifier> keep(mod);
        theHold.Put(std::make_unique<FunctionRestore>(
            [self, index] { self->Erase(index); },
            [self, keep, index] { self->Insert(index, keep.get(), ModContext()); }));
    }
}

bool DerivedObject::DeleteModifier(int i) {
    if (i < 0 || i >= NumModifiers()) return false;
    RefPtr<Modifier> keep(mods_[size_t(i)].mod);
    ModContext mc = mods_[size_t(i)].mc;
    Erase(i);
    if (theHold.Holding()) {
        RefPtr<DerivedObject> self(this);
        theHold.Put(std::make_unique<FunctionRestore>(
            [self, keep, i, mc] { self->Insert(i, keep.get(), mc); },
            [self, i] { self->Erase(i); }));
    }
    return true;
}

Interval DerivedObject::ObjectValidity(TimeValue t) {
    Interval valid = base_ ? base_->ObjectValidity(t) : FOREVER;
    for (const Entry& e : mods_) {
        if (e.mod && e.mod->IsEnabled()) valid &= e.mod->LocalValidity(t);
    }
    return valid;
}

ObjectState DerivedObject::Eval(TimeValue t, INode* node) {
    ObjectState os;
    if (!base_) return os;
    os.obj = base_;
    os.validity = base_->ObjectValidity(t);
    bool copied = false;
    for (Entry& e : mods_) {
        if (!e.mod || !e.mod->IsEnabled()) continue;
        if (!copied) {
            // The base stays untouched: modifiers work on a copy sharing its geometry.
            Object* copy = base_->MakeShallowCopy();
            if (!copy) return os;
            os.obj = copy;
            copied = true;
        }
        if (!e.boxSet) {
            if (RefPtr<TriObject> tri = os.obj->ConvertToTriObject(t))
                e.mc.box = BoundingBox(tri->GetMesh());
            e.boxSet = true;
        }
        e.mod->ModifyObject(t, e.mc, &os, node);
        os.validity &= e.mod->LocalValidity(t);
        if (!os.obj) break;
    }
    return os;
}
