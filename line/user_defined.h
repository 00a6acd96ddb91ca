// The user-defined custom attribute carried by line sets (and toon materials): a label colour,
// a comment, an extra name and a tag. None of its values affects rendering.
#pragma once

#include "class_desc.h"
#include "param_block.h"
#include "reference.h"

class KvrnUserDefined : public CustAttrib {
  public:
    // Parameter IDs of block "userDefined" (block 0, reference 0).
    enum ParamId : ParamID {
        kColor = 0,
        kComment = 1,
        kExtraName = 2,
        kExtraVisible = 3,
        kTag = 4,
        kTagColor = 5,
    };

    // loading: the block comes from a file (or a clone), so none is built here.
    explicit KvrnUserDefined(bool loading = false);

    Class_ID ClassID() const override;
    std::string ClassName() const override { return "Kovrin_User_Defined"; }
    // The display name (string 14900).
    std::string GetName() const override;

    int NumRefs() override { return 1; }
    int NumSubs() override { return 1; }
    Animatable* SubAnim(int i) override { return i == 0 ? GetReference(0) : nullptr; }
    std::string SubAnimName(int i) override;

    IParamBlock2* Block() { return dynamic_cast<IParamBlock2*>(GetReference(0)); }
    ReferenceTarget* Clone(RemapDir& remap) override;
};

ClassDesc2* GetKvrnUserDefinedDesc();
