#include "std_mtl.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "light_desc.h"

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
    {kStdSpecularLevelMap, kStdSpecularLevelMapAmount, kStdSpecularLevelMapEnable},
    {kStdGlossinessMap, kStdGlossinessMapAmount, kStdGlossinessMapEnable},
    {kStdReflectionMap, kStdReflectionMapAmount, kStdReflectionMapEnable},
};

// Blinn exponent from glossiness 0..1: 2 (a broad sheen) to 2048 (a pin-point highlight).
float SpecularExponent(float glossiness) { return std::exp2(1.0f + 10.0f * glossiness); }

// Highlights fade in over the first `soften` of N.L instead of cutting off at the terminator.
float Soften(float dotNL, float soften) {
    if (soften <= 0.0f) return 1.0f;
    const float x = std::clamp(dotNL / soften, 0.0f, 1.0f);
    return x * x * (3.0f - 2.0f * x);
}

// Light gathered over a sample's lights.
struct Lighting {
    Color ambient;
    Color diffuse;  // colour * diffuseCoef
    Color diffuseUnshadowed;
    Color specular;  // colour * (N.H)^e * Soften(N.L), before the specular colour and level
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
        d->AddParam(kStdSoften, "soften", ParamType::Float, P_ANIMATABLE)
            .Default(0.1)
            .Range(0.0f, 1.0f);
        d->AddParam(kStdSelfIllumColor, "selfIllumColor", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(0.0f, 0.0f, 0.0f)));
        d->AddParam(kStdSelfIllumColorOn, "selfIllumColorOn", ParamType::Bool).Default(false);
        AddMapSlot(d, kSlots[StdMtl::kMapSpecularLevel], "specularLevelMap",
                   StdMtl::kRefSpecularLevelMap, 100.0, 0, 100);
        AddMapSlot(d, kSlots[StdMtl::kMapGlossiness], "glossinessMap", StdMtl::kRefGlossinessMap,
                   100.0, 0, 100);
        AddMapSlot(d, kSlots[StdMtl::kMapReflection], "reflectionMap", StdMtl::kRefReflectionMap,
                   100.0, 0, 100);
        d->AddParam(kStdReflectionTrace, "reflectionTrace", ParamType::Bool).Default(false);
        d->AddParam(kStdReflectionAmount, "reflectionAmount", ParamType::Percent, P_ANIMATABLE)
            .Default(100.0)
            .Range(0, 100);
        d->AddParam(kStdRefractionTrace, "refractionTrace", ParamType::Bool).Default(false);
        d->AddParam(kStdIor, "ior", ParamType::Float, P_ANIMATABLE).Default(1.5).Range(1.0f, 10.0f);
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
    static const char* const names[] = {"parameters",   "diffuseMap",       "opacityMap",
                                        "bumpMap",      "specularLevelMap", "glossinessMap",
                                        "reflectionMap"};
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

void StdMtl::Update(TimeValue t, Interval& valid) {
    IParamBlock2& p = Block();
    valid &= p.Validity(t);
    Cache c;
    c.ambient = GetAmbient(t);
    c.diffuse = GetDiffuse(t);
    c.specular = GetSpecular(t);
    c.glossiness = GetGlossiness(t);
    c.specularLevel = GetSpecularLevel(t);
    c.selfIllum = GetSelfIllum(t);
    c.opacity = GetOpacity(t);
    c.soften = p.GetFloat(kStdSoften, t);
    c.selfIllumColor = p.GetColor(kStdSelfIllumColor, t);
    c.selfIllumColorOn = p.GetBool(kStdSelfIllumColorOn, t);
    c.twoSided = GetTwoSided(t);
    c.faceted = GetFaceted(t);
    c.reflectionTrace = p.GetBool(kStdReflectionTrace, t);
    c.reflectionAmount = p.GetFloat(kStdReflectionAmount, t) * kPercent;
    c.refractionTrace = p.GetBool(kStdRefractionTrace, t);
    c.ior = p.GetFloat(kStdIor, t);
    for (int i = 0; i < kMapSlotCount; ++i) {
        const auto slot = MapSlot(i);
        Texmap* map = GetActiveMap(slot, t);
        const float amount = GetMapAmount(slot, t);
        if (!map || amount == 0.0f) continue;
        try {
            map->Update(t, valid);
        } catch (const std::exception& e) {
            throw std::runtime_error(GetName() + ": " + SubAnimName(i + 1) + ": " + e.what());
        }
        c.maps[i] = {map, amount};
    }
    cache_ = c;
}

bool StdMtl::MayBeTransparent(int /*subMtlNum*/) {
    return cache_.opacity < 1.0f || cache_.maps[kMapOpacity].map != nullptr;
}

StdMtl::Surface StdMtl::EvalSurface(ShadeContext& sc) const {
    const Cache& c = cache_;
    Surface s{c.diffuse, c.opacity, c.specularLevel, c.glossiness};
    if (!sc.doMaps) return s;
    if (const MapUse& m = c.maps[kMapDiffuse]; m.map) {
        const AColor a = m.map->EvalColor(sc);
        s.diffuse += (a.Rgb() - s.diffuse) * (a.a * m.amount);
    }
    auto mono = [&sc](const MapUse& m, float& value) {
        if (m.map) value += (m.map->EvalMono(sc) - value) * m.amount;
    };
    mono(c.maps[kMapOpacity], s.opacity);
    if (sc.mode == SCMODE_NORMAL) {
        mono(c.maps[kMapSpecularLevel], s.specularLevel);
        mono(c.maps[kMapGlossiness], s.glossiness);
    }
    s.opacity = std::clamp(s.opacity, 0.0f, 1.0f);
    return s;
}

Point3 StdMtl::ShadingNormal(ShadeContext& sc) const {
    const Cache& c = cache_;
    Point3 n = c.faceted ? sc.Ng() : sc.N();
    // Shade the side the viewer sees; a bump seen from behind is a dent.
    const bool flipped = DotProd(sc.Ng(), sc.V()) > 0.0f;
    if (flipped) n = -n;
    const MapUse& bump = c.maps[kMapBump];
    if (bump.map && sc.doMaps) {
        const Point3 d = bump.map->EvalNormalPerturb(sc) * bump.amount;
        n = Normalize(flipped ? n - d : n + d);
    }
    return n;
}

Color StdMtl::Reflection(ShadeContext& sc) const {
    const Cache& c = cache_;
    if (c.reflectionTrace && c.reflectionAmount > 0.0f) {
        TraceRequest ray;
        ray.origin = sc.P();
        ray.dir = sc.ReflectVector();
        TraceResult hit;
        if (sc.TraceRay(ray, hit)) return hit.color.Rgb() * c.reflectionAmount;
    }
    const MapUse& m = c.maps[kMapReflection];
    if (!m.map || !sc.doMaps) return {};
    const AColor env = m.map->HandlesOwnViewPerturb()
                           ? m.map->EvalColor(sc)
                           : EvalEnvironmentMap(*m.map, sc, sc.ReflectVector());
    return env.Rgb() * (env.a * m.amount);
}

namespace {

Lighting GatherLights(ShadeContext& sc, const Point3& n, float exponent, bool wantSpecular,
                      float soften) {
    Lighting l;
    const Point3 v = sc.V();
    for (int i = 0; i < sc.NumLights(); ++i) {
        LightDesc* light = sc.Light(i);
        if (!light) continue;
        Color color;
        Point3 dir;
        float dotNL = 0.0f, coef = 0.0f;
        const bool lit = light->Illuminate(sc, n, color, dir, dotNL, coef);
        if (light->ambientOnly) {
            if (lit) l.ambient += color;
            continue;
        }
        if (light->affectDiffuse) {
            if (lit) l.diffuse += color * coef;
            if (sc.shadow) {
                Color open;
                Point3 openDir;
                float openNL = 0.0f, openCoef = 0.0f;
                if (light->IlluminateUnshadowed(sc, n, open, openDir, openNL, openCoef))
                    l.diffuseUnshadowed += open * openCoef;
            }
        }
        if (lit && wantSpecular && light->affectSpecular && dotNL > 0.0f) {
            const float dotNH = DotProd(n, Normalize(dir - v));
            if (dotNH > 0.0f)
                l.specular += color * (std::pow(dotNH, exponent) * Soften(dotNL, soften));
        }
    }
    return l;
}

Color Max0(const Color& c) {
    return {std::max(c.r, 0.0f), std::max(c.g, 0.0f), std::max(c.b, 0.0f)};
}

}  // namespace

void StdMtl::Shade(ShadeContext& sc) {
    const Cache& c = cache_;
    ShadeOutput& out = sc.out;
    out.gbufId = GetGBufID();
    const Surface s = EvalSurface(sc);
    const float o = s.opacity;
    const Color white(1.0f, 1.0f, 1.0f);
    if (sc.mode == SCMODE_SHADOW) {
        out.t = (white + (s.diffuse - white) * o) * (1.0f - o);
        return;
    }

    const Point3 arrived = sc.N();
    const Point3 n = ShadingNormal(sc);
    const bool setNormal = !(n == arrived);
    if (setNormal) sc.SetNormal(n);

    const Lighting l =
        GatherLights(sc, n, SpecularExponent(s.glossiness), s.specularLevel > 0.0f, c.soften);
    const float lit = c.selfIllumColorOn ? 1.0f : 1.0f - c.selfIllum;
    const Color self = c.selfIllumColorOn ? c.selfIllumColor : s.diffuse * c.selfIllum;
    const Color ambient = c.ambient * (sc.AmbientLight() + l.ambient) * (lit * o);
    ShadeComponents& parts = out.parts;
    parts.diffuse = s.diffuse * l.diffuse * (lit * o);
    parts.shadow = Max0(s.diffuse * (l.diffuseUnshadowed - l.diffuse) * (lit * o));
    parts.selfIllum = self * o;
    parts.specular = c.specular * l.specular * s.specularLevel;
    parts.reflection = Reflection(sc);
    out.c = ambient + parts.diffuse + parts.selfIllum + parts.specular + parts.reflection;
    out.t = white * (1.0f - o);

    if (c.refractionTrace && o < 1.0f) {
        TraceRequest ray;
        ray.origin = sc.P();
        ray.dir = sc.RefractVector(sc.backFace ? c.ior : 1.0f / c.ior);
        TraceResult behind;
        if (sc.TraceRay(ray, behind)) {
            out.c += behind.color.Rgb() * (1.0f - o);
            out.t = Color();
        }
    }
    if (setNormal) sc.SetNormal(arrived);
}
