#include "render_light.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <unordered_set>

#include "light.h"
#include "node.h"
#include "shade_context.h"

namespace {

constexpr float kDegToRad = std::numbers::pi_v<float> / 180.0f;

float SmoothStep(float x) {
    x = std::clamp(x, 0.0f, 1.0f);
    return x * x * (3.0f - 2.0f * x);
}

// 1 from start on, rising smoothly from 0 at start to 1 at end; a step when end <= start.
float Ramp(float d, float start, float end) {
    if (end <= start) return d >= start ? 1.0f : 0.0f;
    return SmoothStep((d - start) / (end - start));
}

// The node or one of its ancestors is in the set (a listed group excludes its members).
bool Listed(const std::unordered_set<const INode*>& set, const INode* node) {
    for (const INode* n = node; n; n = n->GetParentNode())
        if (set.count(n)) return true;
    return false;
}

class FrameLight : public RenderLight {
  public:
    FrameLight(const LightInstance& li, const RenderGlobalContext& gc, bool shadows);

    bool Illuminate(ShadeContext& sc, const Point3& normal, Color& color, Point3& dir,
                    float& dot_nl, float& diffuseCoef) override {
        return Light(sc, normal, color, dir, dot_nl, diffuseCoef, true);
    }
    bool IlluminateUnshadowed(ShadeContext& sc, const Point3& normal, Color& color, Point3& dir,
                              float& dot_nl, float& diffuseCoef) override {
        return Light(sc, normal, color, dir, dot_nl, diffuseCoef, false);
    }
    bool Illuminates(const INode* node) const override {
        if (!listLights_) return true;
        return Listed(list_, node) == include_;
    }
    bool CastsShadows() const override { return shadows_; }

  private:
    bool Light(ShadeContext& sc, const Point3& normal, Color& color, Point3& dir, float& dot_nl,
               float& diffuseCoef, bool withShadows) const;

    LightType type_;
    Color color_;      // colour times multiplier
    Point3 position_;  // camera space
    Point3 axis_;      // the direction the light shines, camera space, unit
    float cosHot_ = 1.0f, cosFall_ = 0.0f, hotAngle_ = 0.0f, fallAngle_ = 0.0f;  // half-angles
    int decay_ = 0;
    float decayStart_ = 1.0f;
    bool near_ = false, far_ = false;
    float nearStart_ = 0, nearEnd_ = 0, farStart_ = 0, farEnd_ = 0;
    bool shadows_ = false;
    Color shadowColor_;
    float density_ = 1.0f;
    std::unordered_set<const INode*> list_;
    bool include_ = false;
    bool listLights_ = false;         // the list decides what is lit
    std::vector<const INode*> skip_;  // nodes that cast no shadow from this light
};

FrameLight::FrameLight(const LightInstance& li, const RenderGlobalContext& gc, bool shadows) {
    LightObject& light = *li.light;
    IParamBlock2& p = *light.Params();
    const TimeValue t = gc.time;
    type_ = light.GetType();
    color_ = p.GetColor(kLightColor, t) * p.GetFloat(kLightMultiplier, t);
    ambientOnly = type_ == LightType::kAmbient;
    affectDiffuse = p.GetBool(kLightAffectDiffuse, t);
    affectSpecular = p.GetBool(kLightAffectSpecular, t);
    position_ = li.lightToCam.GetTrans();
    axis_ = Normalize(li.lightToCam.VectorTransform(Point3(0, 0, -1)));
    const float fall = p.GetFloat(kLightFalloff, t);
    const float hot = std::min(p.GetFloat(kLightHotspot, t), fall);
    hotAngle_ = 0.5f * hot * kDegToRad;
    fallAngle_ = 0.5f * fall * kDegToRad;
    cosHot_ = std::cos(hotAngle_);
    cosFall_ = std::cos(fallAngle_);
    decay_ = p.GetInt(kLightDecayType, t);
    decayStart_ = std::max(p.GetFloat(kLightDecayStart, t), 1e-6f);
    near_ = p.GetBool(kLightNearAttenEnable, t);
    far_ = p.GetBool(kLightFarAttenEnable, t);
    nearStart_ = p.GetFloat(kLightNearAttenStart, t);
    nearEnd_ = p.GetFloat(kLightNearAttenEnd, t);
    farStart_ = p.GetFloat(kLightFarAttenStart, t);
    farEnd_ = p.GetFloat(kLightFarAttenEnd, t);
    shadows_ = shadows && !ambientOnly && p.GetBool(kLightCastShadows, t);
    shadowColor_ = p.GetColor(kLightShadowColor, t);
    density_ = p.GetFloat(kLightShadowDensity, t);

    for (int i = 0; i < p.Count(kLightExcludeList); ++i)
        if (INode* n = p.GetINode(kLightExcludeList, t, i)) list_.insert(n);
    include_ = p.GetBool(kLightIncludeMode, t);
    const int mode = p.GetInt(kLightExcludeMode, t);
    // An empty include list lights nothing; an empty exclude list excludes nothing.
    listLights_ = (mode == 0 || mode == 2) && (include_ || !list_.empty());
    if (shadows_ && (mode == 1 || mode == 2) && (include_ || !list_.empty())) {
        for (const RenderInstance& ri : gc.instances) {
            if (Listed(list_, ri.node) != include_) skip_.push_back(ri.node);
        }
    }
}

bool FrameLight::Light(ShadeContext& sc, const Point3& normal, Color& color, Point3& dir,
                       float& dot_nl, float& diffuseCoef, bool withShadows) const {
    color = Color();
    if (ambientOnly) {
        color = color_;
        dir = normal;
        dot_nl = diffuseCoef = 1.0f;
        return true;
    }
    const Point3 p = sc.P();
    float dist = 1e30f;
    if (type_ == LightType::kDirectional) {
        dir = -axis_;
    } else {
        const Point3 toLight = position_ - p;
        dist = toLight.Length();
        if (!(dist > 0.0f)) return false;
        dir = toLight * (1.0f / dist);
    }
    dot_nl = DotProd(normal, dir);
    diffuseCoef = std::max(dot_nl, 0.0f);
    if (dot_nl <= 0.0f) return false;

    float k = 1.0f;
    if (type_ == LightType::kSpot) {
        const float cosAngle = -DotProd(dir, axis_);
        if (cosAngle <= cosFall_) return false;
        if (cosAngle < cosHot_) {
            const float angle = std::acos(std::clamp(cosAngle, -1.0f, 1.0f));
            k = 1.0f - SmoothStep((angle - hotAngle_) / (fallAngle_ - hotAngle_));
        }
    }
    if (type_ != LightType::kDirectional) {
        if (decay_ > 0 && dist > decayStart_) {
            const float r = decayStart_ / dist;
            k *= decay_ == 1 ? r : r * r;
        }
        if (near_) k *= Ramp(dist, nearStart_, nearEnd_);
        if (far_) k *= 1.0f - Ramp(dist, farStart_, farEnd_);
    }
    if (k <= 0.0f) return false;
    color = color_ * k;

    if (withShadows && shadows_ && sc.shadow && sc.mode == SCMODE_NORMAL) {
        const Color pass = sc.Transmission(p, dir, dist, skip_.empty() ? nullptr : skip_.data(),
                                           int(skip_.size()));
        if (!(pass == Color(1.0f, 1.0f, 1.0f))) {
            // Density scales how much the blockers take; the shadow colour tints what they take.
            const float strength = (color.r + color.g + color.b) / 3.0f;
            const auto shade = [&](float c, float through, float tint) {
                const float blocked = (1.0f - through) * density_;
                return c * (1.0f - blocked) + tint * strength * blocked;
            };
            color = {shade(color.r, pass.r, shadowColor_.r), shade(color.g, pass.g, shadowColor_.g),
                     shade(color.b, pass.b, shadowColor_.b)};
        }
    }
    return true;
}

}  // namespace

std::vector<std::unique_ptr<RenderLight>> MakeRenderLights(const RenderGlobalContext& gc,
                                                           bool shadows) {
    std::vector<std::unique_ptr<RenderLight>> lights;
    lights.reserve(gc.lights.size());
    for (const LightInstance& li : gc.lights) {
        if (!li.light || !li.light->Params()) continue;
        lights.push_back(std::make_unique<FrameLight>(li, gc, shadows));
    }
    return lights;
}
