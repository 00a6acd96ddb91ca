// The standard material's data: colours, specular and opacity values, shading flags and its
// diffuse, opacity and bump maps. Shading reads these through the accessors.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "texmap.h"

inline constexpr Class_ID STDMTL_CLASS_ID(0x5A3C0020, 0x19D4E3A7);

// Parameters of the "parameters" block (id 0, reference 0). Percentages are stored as shown.
enum StdMtlParam : ParamID {
    kStdAmbient = 0,
    kStdDiffuse = 1,
    kStdSpecular = 2,
    kStdGlossiness = 3,     // percent
    kStdSpecularLevel = 4,  // percent, 0 to 999
    kStdSelfIllum = 5,      // percent
    kStdOpacity = 6,        // percent
    kStdTwoSided = 7,
    kStdFaceted = 8,
    kStdWire = 9,
    kStdDiffuseMap = 10,  // reference 1
    kStdDiffuseMapAmount = 11,
    kStdDiffuseMapEnable = 12,
    kStdOpacityMap = 13,  // reference 2
    kStdOpacityMapAmount = 14,
    kStdOpacityMapEnable = 15,
    kStdBumpMap = 16,        // reference 3
    kStdBumpMapAmount = 17,  // percent, -999 to 999
    kStdBumpMapEnable = 18,
};

class StdMtl : public Mtl {
  public:
    enum Ref { kRefParams = 0, kRefDiffuseMap = 1, kRefOpacityMap = 2, kRefBumpMap = 3, kRefCount };
    // Sub-map slots (reference = slot + 1).
    enum MapSlot { kMapDiffuse = 0, kMapOpacity = 1, kMapBump = 2, kMapSlotCount };

    Class_ID ClassID() const override { return STDMTL_CLASS_ID; }
    std::string ClassName() const override { return "Standard"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    // MTLREQ_2SIDE while two-sided (at the current time).
    unsigned Requirements(int subMtlNum) override;
    int NumSubTexmaps() { return kMapSlotCount; }
    Texmap* GetSubTexmap(int i);
    void SetSubTexmap(int i, Texmap* map);
    Interval Validity(TimeValue t);

    IParamBlock2* Params();
    // Values at t (the getters throw std::runtime_error for a material without its block).
    Color GetAmbient(TimeValue t);
    Color GetDiffuse(TimeValue t);
    Color GetSpecular(TimeValue t);
    float GetGlossiness(TimeValue t);     // 0 to 1
    float GetSpecularLevel(TimeValue t);  // 0 to 9.99
    float GetSelfIllum(TimeValue t);      // 0 to 1
    float GetOpacity(TimeValue t);        // 0 to 1
    bool GetTwoSided(TimeValue t);
    bool GetFaceted(TimeValue t);
    bool GetWire(TimeValue t);
    // The slot's map when one is set and enabled, else null; amount as a fraction.
    Texmap* GetActiveMap(MapSlot slot, TimeValue t);
    float GetMapAmount(MapSlot slot, TimeValue t);

  private:
    // The block; std::runtime_error naming the material when it has none.
    IParamBlock2& Block();
};

ClassDesc2& StdMtlClassDesc();
ParamBlockDesc2& StdMtlBlockDesc();
