#include "reference.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "hold.h"

namespace {
int gRefMsgsDisabled = 0;

// Undo of one ReplaceReference. Keeps both targets alive, and the maker too when it is
// counted, so undoing after the scene let go of them still finds them.
class RefRestore : public RestoreObj {
  public:
    RefRestore(ReferenceMaker* maker, int index, ReferenceTarget* oldTarget,
               ReferenceTarget* newTarget)
        : maker_(maker),
          makerHold_(dynamic_cast<ReferenceTarget*>(maker)),
          index_(index),
          old_(oldTarget),
          new_(newTarget) {}
    void Restore(bool) override { maker_->ReplaceReference(index_, old_.get()); }
    void Redo() override { maker_->ReplaceReference(index_, new_.get()); }
    std::string Description() const override { return "RefRestore"; }

  private:
    ReferenceMaker* maker_;
    RefPtr<ReferenceTarget> makerHold_;
    int index_;
    RefPtr<ReferenceTarget> old_;
    RefPtr<ReferenceTarget> new_;
};
}  // namespace

void DisableRefMsgs() { ++gRefMsgsDisabled; }
void EnableRefMsgs() {
    if (gRefMsgsDisabled > 0) --gRefMsgsDisabled;
}
bool RefMsgsEnabled() { return gRefMsgsDisabled == 0; }

// ---- ReferenceMaker

ReferenceMaker::~ReferenceMaker() {
    // No virtual calls here: the derived parts are gone, so only the counted holds are undone.
    std::vector<ReferenceTarget*> held = std::move(held_);
    held_.clear();
    for (ReferenceTarget* target : held) {
        auto& deps = target->dependents_;
        auto it = std::find(deps.begin(), deps.end(), this);
        if (it != deps.end()) deps.erase(it);
        target->Release();
    }
}

ReferenceTarget* ReferenceMaker::GetReference(int i) {
    if (i < 0 || i >= static_cast<int>(slots_.size())) return nullptr;
    return slots_[i];
}

void ReferenceMaker::SetReference(int i, ReferenceTarget* target) {
    if (i < 0) return;
    if (i >= static_cast<int>(slots_.size())) slots_.resize(i + 1, nullptr);
    slots_[i] = target;
}

RefResult ReferenceMaker::ReplaceReference(int i, ReferenceTarget* target) {
    if (i < 0 || i >= NumRefs()) return REF_FAIL;
    RefPtr<ReferenceTarget> old = GetReference(i);
    if (old.get() == target) return REF_SUCCEED;
    if (theHold.Holding()) {
        theHold.Put(std::make_unique<RefRestore>(this, i, old.get(), target));
    }
    LinkTarget(target);
    SetReference(i, target);
    UnlinkTarget(old.get());
    old.reset();
    if (auto* self = dynamic_cast<ReferenceTarget*>(this)) {
        self->NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
    }
    return REF_SUCCEED;
}

void ReferenceMaker::DeleteAllRefsFromMe() {
    for (int i = 0; i < NumRefs(); ++i) DeleteReference(i);
}

int ReferenceMaker::FindRef(const ReferenceTarget* target) {
    for (int i = 0; i < NumRefs(); ++i) {
        if (GetReference(i) == target) return i;
    }
    return -1;
}

void ReferenceMaker::LinkTarget(ReferenceTarget* target) {
    if (!target) return;
    target->AddRef();
    target->dependents_.push_back(this);
    held_.push_back(target);
}

void ReferenceMaker::UnlinkTarget(ReferenceTarget* target) {
    if (!target) return;
    auto it = std::find(held_.begin(), held_.end(), target);
    if (it == held_.end()) return;
    held_.erase(it);
    auto& deps = target->dependents_;
    auto dep = std::find(deps.begin(), deps.end(), this);
    if (dep != deps.end()) deps.erase(dep);
    target->Release();
}

void ReferenceMaker::DropReferencesTo(ReferenceTarget* target) {
    for (int i = 0; i < NumRefs(); ++i) {
        if (GetReference(i) == target) ReplaceReference(i, nullptr);
    }
}

// ---- ReferenceTarget

uint64_t ReferenceTarget::NextCreationSerial() {
    static std::atomic<uint64_t> next{0};
    return next.fetch_add(1, std::memory_order_relaxed);
}

ReferenceTarget::~ReferenceTarget() {
    // Normally nobody depends on a target that dies; a directly deleted one (a stack object
    // in a caller) still must not leave dangling references behind.
    dying_ = true;
    if (!dependents_.empty()) {
        theHold.Suspend();
        for (ReferenceMaker* maker : Dependents()) maker->DropReferencesTo(this);
        theHold.Resume();
    }
}

void ReferenceTarget::Release() {
    if (dying_ || count_ <= 0) return;
    if (--count_ == 0) {
        delete this;
    }
}

std::vector<ReferenceMaker*> ReferenceTarget::Dependents() const {
    std::vector<ReferenceMaker*> unique;
    for (ReferenceMaker* maker : dependents_) {
        if (std::find(unique.begin(), unique.end(), maker) == unique.end()) unique.push_back(maker);
    }
    return unique;
}

RefResult ReferenceTarget::NotifyDependents(const Interval& changeInt, PartID part,
                                            RefMessage message) {
    // The flag stops a message from circling through a cycle of references.
    // Without dependents there is nobody to tell (and a count of 0: a keep-alive handle
    // here would delete an object its creator still owns).
    if (!RefMsgsEnabled() || notifying_ || dependents_.empty()) return REF_SUCCEED;
    notifying_ = true;
    RefPtr<ReferenceTarget> keep(this);
    for (ReferenceMaker* maker : Dependents()) {
        // A maker may let go of us while handling the message; skip the ones already gone.
        if (std::find(dependents_.begin(), dependents_.end(), maker) == dependents_.end()) continue;
        RefResult result = maker->NotifyRefChanged(changeInt, this, part, message);
        if (message == REFMSG_CHANGE && result == REF_SUCCEED) {
            if (auto* upper = dynamic_cast<ReferenceTarget*>(maker)) {
                upper->NotifyDependents(changeInt, part, message);
            }
        }
    }
    notifying_ = false;
    return REF_SUCCEED;
}

CustAttrib* ReferenceTarget::GetCustAttrib(int i) const {
    if (i < 0 || i >= NumCustAttribs()) return nullptr;
    return custAttribs_[i];
}

class CustAttribRestore : public RestoreObj {
  public:
    CustAttribRestore(ReferenceTarget* owner, int index, CustAttrib* attrib, bool added)
        : owner_(owner), index_(index), attrib_(attrib), added_(added) {}
    void Restore(bool) override { Apply(!added_); }
    void Redo() override { Apply(added_); }
    std::string Description() const override { return "CustAttribRestore"; }

  private:
    void Apply(bool add) {
        if (add) {
            owner_->InsertCustAttrib(index_, attrib_.get());
        } else {
            owner_->EraseCustAttrib(index_);
        }
    }
    RefPtr<ReferenceTarget> owner_;
    int index_;
    RefPtr<CustAttrib> attrib_;
    bool added_;
};

void ReferenceTarget::InsertCustAttrib(int i, CustAttrib* attrib) {
    i = std::clamp(i, 0, NumCustAttribs());
    LinkTarget(attrib);
    custAttribs_.insert(custAttribs_.begin() + i, attrib);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
}

void ReferenceTarget::EraseCustAttrib(int i) {
    if (i < 0 || i >= NumCustAttribs()) return;
    CustAttrib* attrib = custAttribs_[i];
    custAttribs_.erase(custAttribs_.begin() + i);
    UnlinkTarget(attrib);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_REF_CHANGED);
}

void ReferenceTarget::AppendCustAttrib(CustAttrib* attrib) {
    if (!attrib) return;
    if (theHold.Holding()) {
        theHold.Put(std::make_unique<CustAttribRestore>(this, NumCustAttribs(), attrib, true));
    }
    InsertCustAttrib(NumCustAttribs(), attrib);
}

bool ReferenceTarget::RemoveCustAttrib(int i) {
    if (i < 0 || i >= NumCustAttribs()) return false;
    if (theHold.Holding()) {
        theHold.Put(std::make_unique<CustAttribRestore>(this, i, custAttribs_[i], false));
    }
    EraseCustAttrib(i);
    return true;
}

void ReferenceTarget::BaseClone(ReferenceTarget* from, ReferenceTarget* to, RemapDir& remap) {
    if (!from || !to) return;
    for (CustAttrib* attrib : from->custAttribs_) {
        auto* copy = dynamic_cast<CustAttrib*>(remap.CloneRef(attrib));
        if (copy) to->InsertCustAttrib(to->NumCustAttribs(), copy);
    }
}

void ReferenceTarget::DropReferencesTo(ReferenceTarget* target) {
    ReferenceMaker::DropReferencesTo(target);
    for (int i = NumCustAttribs() - 1; i >= 0; --i) {
        if (custAttribs_[i] == target) RemoveCustAttrib(i);
    }
}

void ReferenceTarget::DeleteMe() {
    if (dependents_.empty()) return;
    RefPtr<ReferenceTarget> keep(this);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_TARGET_DELETED);
    for (ReferenceMaker* maker : Dependents()) maker->DropReferencesTo(this);
}

// ---- Cloning

ReferenceTarget* RemapDir::CloneRef(ReferenceTarget* original) {
    if (!original) return nullptr;
    if (ReferenceTarget* done = FindMapping(original)) return done;
    ReferenceTarget* clone = original->Clone(*this);
    if (!clone) clone = original;
    AddEntry(original, clone);
    return clone;
}

ReferenceTarget* RemapDir::FindMapping(const ReferenceTarget* original) const {
    auto it = map_.find(original);
    return it == map_.end() ? nullptr : it->second.get();
}

void RemapDir::AddEntry(const ReferenceTarget* original, ReferenceTarget* clone) {
    map_[original] = clone;
}

RefPtr<ReferenceTarget> CloneRefHierarchy(ReferenceTarget* original) {
    RemapDir remap;
    return RefPtr<ReferenceTarget>(remap.CloneRef(original));
}
