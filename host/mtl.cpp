#include "mtl.h"

#include <atomic>
#include <memory>

#include "hold.h"

namespace {
class NameRestore : public RestoreObj {
  public:
    NameRestore(MtlBase* object, std::string before, std::string after)
        : object_(object), before_(std::move(before)), after_(std::move(after)) {}
    void Restore(bool) override { object_->SetName(before_); }
    void Redo() override { object_->SetName(after_); }
    std::string Description() const override { return "NameRestore"; }

  private:
    RefPtr<MtlBase> object_;
    std::string before_;
    std::string after_;
};
}  // namespace

void MtlBase::SetName(const std::string& name) {
    if (name == name_) return;
    if (theHold.Holding()) theHold.Put(std::make_unique<NameRestore>(this, name_, name));
    name_ = name;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_NAME_CHANGED);
}

void MtlBase::CloneInto(MtlBase* clone, RemapDir& remap) {
    remap.AddEntry(this, clone);
    for (int i = 0; i < NumRefs(); ++i) clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
    clone->SetName(GetName());
    BaseClone(this, clone, remap);
}

std::string NextMtlBaseName(bool map) {
    // Objects may be made on any thread that edits a scene.
    static std::atomic<int> nextMaterial{1};
    static std::atomic<int> nextMap{1};
    return map ? "Map #" + std::to_string(nextMap++)
               : "Material #" + std::to_string(nextMaterial++);
}
