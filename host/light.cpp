#include "light.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "time_value.h"

namespace {

constexpr std::array<const char*, 4> kClassNames = {"Omni", "Spot", "Directional", "Ambient"};
constexpr std::array<Class_ID, 4> kClassIds = {Class_ID(0x1011, 0), Class_ID(0x1012, 0),
                                               Class_ID(0x1013, 0), Class_ID(0x1014, 0)};

class LightClassDesc2 : public ClassDesc2 {
  public:
    explicit LightClassDesc2(LightType type) : type_(type) {}
    ReferenceTarget* Create(bool /*loading*/) override { return new LightObject(type_); }
    std::string ClassName() const override { return kClassNames[size_t(type_)]; }
    SClass_ID SuperClassID() const override { return LIGHT_CLASS_ID; }
    Class_ID ClassID() const override { return kClassIds[size_t(type_)]; }
    std::string Category() const override { return "Lights"; }

  private:
    LightType type_;
};

ParamBlockDesc2* MakeBlockDesc(ClassDesc2* owner) {
    auto* d =
        new ParamBlockDesc2(0, "parameters", owner, P_AUTO_CONSTRUCT, LightObject::kRefParams);
    d->AddParam(kLightOn, "on", ParamType::Bool).Default(true);
    d->AddParam(kLightColor, "color", ParamType::Color, P_ANIMATABLE)
        .Default(ParamValue(Color(1.0f, 1.0f, 1.0f)));
    d->AddParam(kLightMultiplier, "multiplier", ParamType::Float, P_ANIMATABLE)
        .Default(1.0)
        .Range(-100, 100);
    d->AddParam(kLightAffectDiffuse, "affectDiffuse", ParamType::Bool).Default(true);
    d->AddParam(kLightAffectSpecular, "affectSpecular", ParamType::Bool).Default(true);
    d->AddParam(kLightHotspot, "hotspot", ParamType::Angle, P_ANIMATABLE)
        .Default(43.0)
        .Range(0.5f, 179.0f);
    d->AddParam(kLightFalloff, "falloff", ParamType::Angle, P_ANIMATABLE)
        .Default(45.0)
        .Range(1.0f, 179.5f);
    d->AddParam(kLightDecayType, "decayType", ParamType::Int).Default(0).Range(0, 2);
    d->AddParam(kLightDecayStart, "decayStart", ParamType::World, P_ANIMATABLE)
        .Default(40.0)
        .Range(0.001f, 1e9f);
    d->AddParam(kLightNearAttenEnable, "nearAttenEnable", ParamType::Bool).Default(false);
    d->AddParam(kLightNearAttenStart, "nearAttenStart", ParamType::World, P_ANIMATABLE)
        .Default(0.0)
        .Range(0, 1e9f);
    d->AddParam(kLightNearAttenEnd, "nearAttenEnd", ParamType::World, P_ANIMATABLE)
        .Default(40.0)
        .Range(0, 1e9f);
    d->AddParam(kLightFarAttenEnable, "farAttenEnable", ParamType::Bool).Default(false);
    d->AddParam(kLightFarAttenStart, "farAttenStart", ParamType::World, P_ANIMATABLE)
        .Default(80.0)
        .Range(0, 1e9f);
    d->AddParam(kLightFarAttenEnd, "farAttenEnd", ParamType::World, P_ANIMATABLE)
        .Default(200.0)
        .Range(0, 1e9f);
    d->AddParam(kLightCastShadows, "castShadows", ParamType::Bool).Default(false);
    d->AddParam(kLightShadowColor, "shadowColor", ParamType::Color, P_ANIMATABLE)
        .Default(ParamValue(Color(0.0f, 0.0f, 0.0f)));
    d->AddParam(kLightShadowDensity, "shadowDensity", ParamType::Float, P_ANIMATABLE)
        .Default(1.0)
        .Range(-10, 10);
    d->AddTable(kLightExcludeList, "excludeList", ParamType::Node, P_VARIABLE_SIZE);
    d->AddParam(kLightExcludeMode, "excludeMode", ParamType::Int).Default(2).Range(0, 2);
    d->AddParam(kLightIncludeMode, "includeMode", ParamType::Bool).Default(false);
    return d;
}

}  // namespace

ClassDesc2& LightClassDesc(LightType type) {
    static std::array<LightClassDesc2, 4> descs = {
        LightClassDesc2(LightType::kOmni), LightClassDesc2(LightType::kSpot),
        LightClassDesc2(LightType::kDirectional), LightClassDesc2(LightType::kAmbient)};
    return descs[size_t(type)];
}

ParamBlockDesc2& LightBlockDesc(LightType type) {
    static std::array<ParamBlockDesc2*, 4> blocks = [] {
        std::array<ParamBlockDesc2*, 4> made{};
        for (size_t i = 0; i < made.size(); ++i)
            made[i] = MakeBlockDesc(&LightClassDesc(LightType(i)));
        return made;
    }();
    return *blocks[size_t(type)];
}

void RegisterLightClasses(ClassDirectory& directory) {
    for (LightType type :
         {LightType::kOmni, LightType::kSpot, LightType::kDirectional, LightType::kAmbient}) {
        LightBlockDesc(type);
        directory.Register(&LightClassDesc(type));
    }
}

LightObject::LightObject(LightType type) : type_(type) {
    LightBlockDesc(type);
    LightClassDesc(type).MakeAutoParamBlocks(this);
}

Class_ID LightObject::ClassID() const { return kClassIds[size_t(type_)]; }
std::string LightObject::ClassName() const { return kClassNames[size_t(type_)]; }

IParamBlock2* LightObject::Params() {
    return dynamic_cast<IParamBlock2*>(GetReference(kRefParams));
}

IParamBlock2& LightObject::Block() {
    IParamBlock2* p = Params();
    if (!p) throw std::runtime_error("light has no parameter block");
    return *p;
}

bool LightObject::GetUseLight(TimeValue t) { return Block().GetBool(kLightOn, t); }
void LightObject::SetUseLight(bool on) { Block().SetValue(kLightOn, 0, on); }
bool LightObject::GetShadow(TimeValue t) { return Block().GetBool(kLightCastShadows, t); }
void LightObject::SetShadow(bool on) { Block().SetValue(kLightCastShadows, 0, on); }
Color LightObject::GetRGBColor(TimeValue t) { return Block().GetColor(kLightColor, t); }
float LightObject::GetIntensity(TimeValue t) { return Block().GetFloat(kLightMultiplier, t); }
float LightObject::GetHotspot(TimeValue t) { return Block().GetFloat(kLightHotspot, t); }
float LightObject::GetFallsize(TimeValue t) { return Block().GetFloat(kLightFalloff, t); }
bool LightObject::GetUseAtten(TimeValue t) { return Block().GetBool(kLightFarAttenEnable, t); }
void LightObject::SetUseAtten(bool on) { Block().SetValue(kLightFarAttenEnable, 0, on); }
float LightObject::GetAttenStart(TimeValue t) { return Block().GetFloat(kLightFarAttenStart, t); }
float LightObject::GetAttenEnd(TimeValue t) { return Block().GetFloat(kLightFarAttenEnd, t); }

namespace {

// Sets a value at t, as a key when asked (whatever the global animate mode).
template <typename T>
void SetAnimated(IParamBlock2& block, ParamID id, TimeValue t, const T& value, bool animate) {
    const bool was = IsAnimateOn();
    SetAnimateMode(animate);
    block.SetValue(id, t, ParamValue(value));
    SetAnimateMode(was);
}

}  // namespace

void LightObject::SetRGBColor(TimeValue t, const Color& color, bool animate) {
    SetAnimated(Block(), kLightColor, t, color, animate);
}

void LightObject::SetIntensity(TimeValue t, float intensity, bool animate) {
    SetAnimated(Block(), kLightMultiplier, t, intensity, animate);
}

// The cone keeps the falloff above the hotspot: moving one pushes the other.
void LightObject::SetHotspot(float degrees) {
    IParamBlock2& b = Block();
    b.SetValue(kLightHotspot, 0, double(degrees));
    const float hot = b.GetFloat(kLightHotspot, 0);
    if (b.GetFloat(kLightFalloff, 0) < hot + 0.5f) b.SetValue(kLightFalloff, 0, double(hot + 0.5f));
}

void LightObject::SetFallsize(float degrees) {
    IParamBlock2& b = Block();
    b.SetValue(kLightFalloff, 0, double(degrees));
    const float fall = b.GetFloat(kLightFalloff, 0);
    if (b.GetFloat(kLightHotspot, 0) > fall - 0.5f)
        b.SetValue(kLightHotspot, 0, double(fall - 0.5f));
}

void LightObject::SetAtten(float start, float end) {
    IParamBlock2& b = Block();
    b.SetValue(kLightFarAttenStart, 0, double(std::max(0.0f, start)));
    b.SetValue(kLightFarAttenEnd, 0, double(std::max(std::max(0.0f, start), end)));
}

Interval LightObject::ObjectValidity(TimeValue t) {
    IParamBlock2* p = Params();
    return p ? p->Validity(t) : FOREVER;
}

ReferenceTarget* LightObject::Clone(RemapDir& remap) {
    auto* clone = new LightObject(type_);
    if (IParamBlock2* p = Params()) clone->ReplaceReference(kRefParams, remap.CloneRef(p));
    BaseClone(this, clone, remap);
    return clone;
}
