// Light objects: data the importer fills and the surface shading will read. Colour and
// intensity are keyable; the rest is static.
#pragma once

#include "controller.h"
#include "object.h"

enum class LightType { kOmni, kSpot, kDirectional };

class LightObject : public Object {
  public:
    explicit LightObject(LightType type = LightType::kOmni) : type_(type) {}
    SClass_ID SuperClassID() const override { return LIGHT_CLASS_ID; }
    Class_ID ClassID() const override { return Class_ID(0x1011, 0); }
    std::string ClassName() const override { return "Light"; }

    LightType GetType() const { return type_; }
    void SetType(LightType type) { type_ = type; }
    bool GetUseLight() const { return on_; }
    void SetUseLight(bool on) { on_ = on; }
    bool GetShadow() const { return castShadows_; }
    void SetShadow(bool on) { castShadows_ = on; }

    // Colour (linear RGB) and its multiplier; animate sets a key at t.
    Color GetRGBColor(TimeValue t) const;
    void SetRGBColor(TimeValue t, const Color& color, bool animate);
    float GetIntensity(TimeValue t) const;
    void SetIntensity(TimeValue t, float intensity, bool animate);

    // Spot cone angles in degrees (full angles); the falloff is kept at least the hotspot.
    float GetHotspot() const { return hotspot_; }
    float GetFallsize() const { return falloff_; }
    void SetHotspot(float degrees);
    void SetFallsize(float degrees);

    // Far attenuation: full intensity up to start, none beyond end (world units). Off by default.
    bool GetUseAtten() const { return useAtten_; }
    void SetUseAtten(bool on) { useAtten_ = on; }
    float GetAttenStart() const { return attenStart_; }
    float GetAttenEnd() const { return attenEnd_; }
    void SetAtten(float start, float end);

    Interval ObjectValidity(TimeValue t) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

  private:
    LightType type_;
    bool on_ = true;
    bool castShadows_ = false;
    KeyController<Point3> color_{Point3(1, 1, 1), Interpolation::Linear};
    KeyController<float> intensity_{1.0f, Interpolation::Linear};
    float hotspot_ = 43.0f;
    float falloff_ = 45.0f;
    bool useAtten_ = false;
    float attenStart_ = 80.0f;
    float attenEnd_ = 200.0f;
};
