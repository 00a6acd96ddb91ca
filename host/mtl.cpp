#include "mtl.h"

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
