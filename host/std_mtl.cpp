#include "std_mtl.h"

#include <stdexcept>

namespace {

constexpr float kPercent = 0.01f;

class StdMtlClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Standard"; }
    SClass_ID SuperClassID() const override { return MATERIAL_CLASS_ID; }
    Class_ID ClassID() const override { return STDMTL_CLASS_ID; }
    std::string Category() const override { return "Materials"; }
};

struct SlotParams {
    ParamID map, amount, enable;
};
constexpr SlotParams kSlots[] = {
    {kStdDiffuseMap, kStdDiffuseMapAmount, kStdDiffuseMapEnable},
    {kStdOpacityMap, kStdOpacityMapAmount, kStdOpacityMapEnable},
    {kStdBumpMap, kStdBumpMapAmount, kStdBumpMapEnable},
};

void AddMapSlot(ParamBlockDesc2* d, const SlotParams& slot, const char* name, int ref,
                double amount, float lo, float hi) {
    const std::string base(name);
    d->AddParam(slot.map, base, ParamType::Texmap, P_SUBANIM).OwnerRef(ref);
    d->AddParam(slot.amount, base + "Amount", ParamType::Percent, P_ANIMATABLE)
        .Default(amount)
        .Range(lo, hi);
    d->AddParam(slot.enable, base + "Enable", ParamType::Bool).Default(true);
}

}  // namespace

ClassDesc2& StdMtlClassDesc() {
    static StdMtlClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& StdMtlBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "parameters", &StdMtlClassDesc(), P_AUTO_CONSTRUCT,
                                      StdMtl::kRefParams);
        const Color grey(0.588f, 0.588f, 0.588f);
        d->AddParam(kStdAmbient, "ambient", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(grey));
        d->AddParam(kStdDiffuse, "diffuse", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(grey));
        d->AddParam(kStdSpecular, "specular", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(0.9f, 0.9f, 0.9f)));
        d->AddParam(kStdGlossiness, "glossiness", ParamType::Percent, P_ANIMATABLE)
            .Default(10.0)
            .Range(0, 100);
        d->AddParam(kStdSpecularLevel, "specularLevel", ParamType::Percent, P_ANIMATABLE)
            .Default(0.0)
            .Range(0, 999);
        d->AddParam(kStdSelfIllum, "selfIllum", ParamType::Percent, P_ANIMATABLE)
            .Default(0.0)
            .Range(0, 100);
        d->AddParam(kStdOpacity, "opacity", ParamType::Percent, P_ANIMATABLE)
            .Default(100.0)
            .Range(0, 100);
        d->AddParam(kStdTwoSided, "twoSided", ParamType::Bool).Default(false);
        d->AddParam(kStdFaceted, "faceted", ParamType::Bool).Default(false);
        d->AddParam(kStdWire, "wire", ParamType::Bool).Default(false);
        AddMapSlot(d, kSlots[StdMtl::kMapDiffuse], "diffuseMap", StdMtl::kRefDiffuseMap, 100.0, 0,
                   100);
        AddMapSlot(d, kSlots[StdMtl::kMapOpacity], "opacityMap", StdMtl::kRefOpacityMap, 100.0, 0,
                   100);
        AddMapSlot(d, kSlots[StdMtl::kMapBump], "bumpMap", StdMtl::kRefBumpMap, 30.0, -999, 999);
        return d;
    }();
    return *desc;
}

ReferenceTarget* StdMtlClassDesc2::Create(bool loading) {
    StdMtlBlockDesc();
    auto* mtl = new StdMtl;
    MakeAutoParamBlocks(mtl);
    if (!loading) mtl->SetName(NextMtlBaseName(false));
    return mtl;
}

std::string StdMtl::SubAnimName(int i) {
    static const char* const names[] = {"parameters", "diffuseMap", "opacityMap", "bumpMap"};
    return i >= 0 && i < kRefCount ? names[i] : "";
}

ReferenceTarget* StdMtl::Clone(RemapDir& remap) {
    auto* clone = new StdMtl;
    CloneInto(clone, remap);
    return clone;
}

unsigned StdMtl::Requirements(int /*subMtlNum*/) {
    return GetTwoSided(GetCurrentTime()) ? MTLREQ_2SIDE : 0u;
}

Texmap* StdMtl::GetSubTexmap(int i) {
    return i >= 0 && i < kMapSlotCount ? dynamic_cast<Texmap*>(GetReference(i + 1)) : nullptr;
}

void StdMtl::SetSubTexmap(int i, Texmap* map) {
    if (i >= 0 && i < kMapSlotCount) ReplaceReference(i + 1, map);
}

Interval StdMtl::Validity(TimeValue t) {
    Interval valid = FOREVER;
    if (IParamBlock2* p = Params()) valid &= p->Validity(t);
    for (int i = 0; i < kMapSlotCount; ++i) {
        if (Texmap* map = GetSubTexmap(i)) valid &= map->Validity(t);
    }
    return valid;
}

IParamBlock2* StdMtl::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }

IParamBlock2& StdMtl::Block() {
    IParamBlock2* p = Params();
    if (!p) throw std::runtime_error(GetName() + ": material has no parameter block");
    return *p;
}

Color StdMtl::GetAmbient(TimeValue t) { return Block().GetColor(kStdAmbient, t); }
Color StdMtl::GetDiffuse(TimeValue t) { return Block().GetColor(kStdDiffuse, t); }
Color StdMtl::GetSpecular(TimeValue t) { return Block().GetColor(kStdSpecular, t); }
float StdMtl::GetGlossiness(TimeValue t) { return Block().GetFloat(kStdGlossiness, t) * kPercent; }
float StdMtl::GetSpecularLevel(TimeValue t) {
    return Block().GetFloat(kStdSpecularLevel, t) * kPercent;
}
float StdMtl::GetSelfIllum(TimeValue t) { return Block().GetFloat(kStdSelfIllum, t) * kPercent; }
float StdMtl::GetOpacity(TimeValue t) { return Block().GetFloat(kStdOpacity, t) * kPercent; }
bool StdMtl::GetTwoSided(TimeValue t) { return Block().GetBool(kStdTwoSided, t); }
bool StdMtl::GetFaceted(TimeValue t) { return Block().GetBool(kStdFaceted, t); }
bool StdMtl::GetWire(TimeValue t) { return Block().GetBool(kStdWire, t); }

Texmap* StdMtl::GetActiveMap(MapSlot slot, TimeValue t) {
    if (slot < 0 || slot >= kMapSlotCount) return nullptr;
    if (!Block().GetBool(kSlots[slot].enable, t)) return nullptr;
    return GetSubTexmap(slot);
}

float StdMtl::GetMapAmount(MapSlot slot, TimeValue t) {
    if (slot < 0 || slot >= kMapSlotCount) return 0.0f;
    return Block().GetFloat(kSlots[slot].amount, t) * kPercent;
}
