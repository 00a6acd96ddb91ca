// The multi/sub-object material: a table of sub-materials, each with the material ID of the
// faces it covers, a name and an on/off switch.
#pragma once

#include <string>
#include <vector>

#include "class_desc.h"
#include "mtl.h"
#include "param_block.h"

inline constexpr Class_ID MULTIMTL_CLASS_ID(0x5A3C0021, 0x6B8A0C3F);

// Parameters of the "parameters" block (id 0, reference 0): four tables of one length.
enum MultiMtlParam : ParamID {
    kMultiMaterials = 0,  // Mtl, may hold null
    kMultiIds = 1,        // face material IDs, 0-based as faces store them
    kMultiNames = 2,
    kMultiEnabled = 3,
};

class MultiMtl : public Mtl {
  public:
    enum Ref { kRefParams = 0, kRefCount };
    static constexpr int kDefaultCount = 10;

    Class_ID ClassID() const override { return MULTIMTL_CLASS_ID; }
    std::string ClassName() const override { return "Multi/Sub-Object"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override { return i == kRefParams ? "parameters" : ""; }
    // Sub-materials are copied too (the block alone would share them).
    ReferenceTarget* Clone(RemapDir& remap) override;

    // subMtlNum -1: everything any enabled sub-material needs; otherwise what the material for
    // that ID needs.
    unsigned Requirements(int subMtlNum) override;
    int NumSubMtls() override;
    Mtl* GetSubMtl(int i) override;
    void SetSubMtl(int i, Mtl* m) override;

    // Resizes the four tables (undoable); new entries get IDs after the largest one, no name,
    // no material, and are enabled.
    void SetNumSubMtls(int n);
    int GetSubMtlID(int i);
    void SetSubMtlID(int i, int id);
    std::string GetSubMtlName(int i);
    void SetSubMtlName(int i, const std::string& name);
    bool GetSubMtlEnabled(int i);
    void SetSubMtlEnabled(int i, bool on);

    // The enabled sub-material for a face's material ID: the entry with that ID, else the entry
    // whose ID is the face ID modulo the entry count (as faces past the last ID wrap), else null.
    Mtl* MaterialForID(int mtlId);

    // Updates every sub-material and caches the ID table for Shade; throws naming this material
    // and the entry.
    void Update(TimeValue t, Interval& valid) override;
    // Hands the sample to the cached MaterialForID(sc.MtlNum()). A face whose ID finds no
    // enabled sub-material is opaque black, as a face without a material, with this material's
    // effects channel.
    void Shade(ShadeContext& sc) override;
    bool MayBeTransparent(int subMtlNum) override;

    IParamBlock2* Params();

  private:
    struct Entry {
        int id = 0;
        bool enabled = true;
        Mtl* mtl = nullptr;
    };
    static Mtl* Find(const std::vector<Entry>& entries, int mtlId);
    std::vector<Entry> Entries();

    std::vector<Entry> cache_;
};

ClassDesc2& MultiMtlClassDesc();
ParamBlockDesc2& MultiMtlBlockDesc();
