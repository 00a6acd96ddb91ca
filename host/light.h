// Light objects: omni, spot, directional and ambient lights with their parameter block. The
// renderer reads them at the frame's time (render_light.h); the importer and scene files fill
// them. A light shines down its node's local -z axis.
#pragma once

#include "class_desc.h"
#include "object.h"
#include "param_block.h"

enum class LightType { kOmni, kSpot, kDirectional, kAmbient };

// Parameters of the "parameters" block (id 0, reference 0).
enum LightParam : ParamID {
    kLightOn = 0,
    kLightColor = 1,
    kLightMultiplier = 2,  // -100 to 100
    kLightAffectDiffuse = 3,
    kLightAffectSpecular = 4,
    kLightHotspot = 5,     // degrees, full cone angle, 0.5 to 179
    kLightFalloff = 6,     // degrees, full cone angle, 1 to 179.5; kept above the hotspot
    kLightDecayType = 7,   // 0 none, 1 inverse, 2 inverse square
    kLightDecayStart = 8,  // world units: full intensity up to here
    kLightNearAttenEnable = 9,
    kLightNearAttenStart = 10,  // no light before start, full from end
    kLightNearAttenEnd = 11,
    kLightFarAttenEnable = 12,
    kLightFarAttenStart = 13,  // full up to start, none beyond end
    kLightFarAttenEnd = 14,
    kLightCastShadows = 15,
    kLightShadowColor = 16,
    kLightShadowDensity = 17,  // -10 to 10; 1 blocks fully
    kLightExcludeList = 18,    // node table
    kLightExcludeMode = 19,    // 0 illumination, 1 shadow casting, 2 both
    kLightIncludeMode = 20,    // the list names the only nodes affected
};

class LightObject : public Object {
  public:
    enum Ref { kRefParams = 0, kRefCount };

    // A light with its block built from the defaults (the class descriptors do the same).
    explicit LightObject(LightType type = LightType::kOmni);
    SClass_ID SuperClassID() const override { return LIGHT_CLASS_ID; }
    Class_ID ClassID() const override;
    std::string ClassName() const override;
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override { return i == kRefParams ? "parameters" : ""; }
    Interval ObjectValidity(TimeValue t) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    IParamBlock2* Params();
    LightType GetType() const { return type_; }
    void SetType(LightType type) { type_ = type; }

    // Accessors over the block (values at t); setters are undoable and animate sets a key.
    bool GetUseLight(TimeValue t = 0);
    void SetUseLight(bool on);
    bool GetShadow(TimeValue t = 0);
    void SetShadow(bool on);
    Color GetRGBColor(TimeValue t);
    void SetRGBColor(TimeValue t, const Color& color, bool animate);
    float GetIntensity(TimeValue t);  // the multiplier
    void SetIntensity(TimeValue t, float intensity, bool animate);
    float GetHotspot(TimeValue t = 0);
    float GetFallsize(TimeValue t = 0);
    void SetHotspot(float degrees);
    void SetFallsize(float degrees);
    // Far attenuation.
    bool GetUseAtten(TimeValue t = 0);
    void SetUseAtten(bool on);
    float GetAttenStart(TimeValue t = 0);
    float GetAttenEnd(TimeValue t = 0);
    void SetAtten(float start, float end);

  private:
    IParamBlock2& Block();
    LightType type_;
};

// Class descriptors by type; their class names ("Omni", "Spot", "Directional", "Ambient") are
// what scene files give as a light's class.
ClassDesc2& LightClassDesc(LightType type);
ParamBlockDesc2& LightBlockDesc(LightType type);
// Registering again is harmless.
void RegisterLightClasses(ClassDirectory& directory);
