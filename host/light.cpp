#include "light.h"

#include <algorithm>

Color LightObject::GetRGBColor(TimeValue t) const {
    Interval ignored = FOREVER;
    const Point3 c = color_.GetValue(t, ignored);
    return {c.x, c.y, c.z};
}

void LightObject::SetRGBColor(TimeValue t, const Color& color, bool animate) {
    color_.SetValue(t, Point3(color.r, color.g, color.b), animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

float LightObject::GetIntensity(TimeValue t) const {
    Interval ignored = FOREVER;
    return intensity_.GetValue(t, ignored);
}

void LightObject::SetIntensity(TimeValue t, float intensity, bool animate) {
    intensity_.SetValue(t, intensity, animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

void LightObject::SetHotspot(float degrees) {
    hotspot_ = std::clamp(degrees, 0.0f, 179.0f);
    falloff_ = std::max(falloff_, hotspot_);
}

void LightObject::SetFallsize(float degrees) {
    falloff_ = std::clamp(degrees, 0.0f, 179.0f);
    hotspot_ = std::min(hotspot_, falloff_);
}

void LightObject::SetAtten(float start, float end) {
    attenStart_ = std::max(0.0f, start);
    attenEnd_ = std::max(attenStart_, end);
}

Interval LightObject::ObjectValidity(TimeValue t) {
    Interval valid = FOREVER;
    color_.GetValue(t, valid);
    intensity_.GetValue(t, valid);
    return valid;
}

ReferenceTarget* LightObject::Clone(RemapDir& remap) {
    auto* clone = new LightObject(type_);
    clone->on_ = on_;
    clone->castShadows_ = castShadows_;
    clone->color_ = color_;
    clone->intensity_ = intensity_;
    clone->hotspot_ = hotspot_;
    clone->falloff_ = falloff_;
    clone->useAtten_ = useAtten_;
    clone->attenStart_ = attenStart_;
    clone->attenEnd_ = attenEnd_;
    BaseClone(this, clone, remap);
    return clone;
}
