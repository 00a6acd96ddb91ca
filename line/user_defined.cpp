#include "user_defined.h"

#include "line_classes.h"
#include "string_table.h"

namespace {

// 68/255 in each channel.
constexpr float kLabelGrey = 68.0f / 255.0f;

class UserDefinedClassDesc : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override { return new KvrnUserDefined(loading); }
    std::string ClassName() const override { return "Kovrin_User_Defined"; }
    SClass_ID SuperClassID() const override { return CUST_ATTRIB_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_USER_DEFINED_CLASS_ID; }
};

struct UserDefinedClass {
    UserDefinedClassDesc desc;
    ParamBlockDesc2 block{0, "userDefined", &desc, P_AUTO_CONSTRUCT, 0};

    UserDefinedClass() {
        const Color grey(kLabelGrey, kLabelGrey, kLabelGrey);
        block.AddParam(KvrnUserDefined::kColor, "color", ParamType::Color, 0, 4910).Default(grey);
        block.AddParam(KvrnUserDefined::kComment, "comment", ParamType::String, 0, 4911);
        block.AddParam(KvrnUserDefined::kExtraName, "extraName", ParamType::String, 0, 4912);
        block.AddParam(KvrnUserDefined::kExtraVisible, "extraVisible", ParamType::Bool, 0, 4913)
            .Default(true);
        block.AddParam(KvrnUserDefined::kTag, "tag", ParamType::String, 0, 4914);
        block.AddParam(KvrnUserDefined::kTagColor, "tagColor", ParamType::Color, 0, 4915)
            .Default(grey);
    }
};

UserDefinedClass& TheClass() {
    static UserDefinedClass theClass;
    return theClass;
}

}  // namespace

ClassDesc2* GetKvrnUserDefinedDesc() { return &TheClass().desc; }

KvrnUserDefined::KvrnUserDefined(bool loading) {
    if (!loading) TheClass().desc.MakeAutoParamBlocks(this);
}

Class_ID KvrnUserDefined::ClassID() const { return KVRN_USER_DEFINED_CLASS_ID; }

std::string KvrnUserDefined::GetName() const { return KvrnHost::GetStringOrEmpty(14900); }

std::string KvrnUserDefined::SubAnimName(int i) {
    return i == 0 ? KvrnHost::GetStringOrEmpty(14901) : std::string();
}

ReferenceTarget* KvrnUserDefined::Clone(RemapDir& remap) {
    auto* clone = new KvrnUserDefined(true);
    clone->ReplaceReference(0, remap.CloneRef(GetReference(0)));
    BaseClone(this, clone, remap);
    return clone;
}
