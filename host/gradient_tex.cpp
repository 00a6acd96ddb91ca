#include "gradient_tex.h"

#include <algorithm>
#include <cmath>

#include "noise_tex.h"

namespace {

class GradientClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Gradient"; }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return GRADIENT_CLASS_ID; }
    std::string Category() const override { return "Maps"; }
};

}  // namespace

ClassDesc2& GradientClassDesc() {
    static GradientClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& GradientBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "parameters", &GradientClassDesc(), P_AUTO_CONSTRUCT,
                                      Gradient::kRefParams);
        d->AddParam(kGradientColor1, "color1", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(0.0f, 0.0f, 0.0f)));
        d->AddParam(kGradientColor2, "color2", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(0.5f, 0.5f, 0.5f)));
        d->AddParam(kGradientColor3, "color3", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(1.0f, 1.0f, 1.0f)));
        d->AddParam(kGradientColor2Pos, "color2Pos", ParamType::Float, P_ANIMATABLE)
            .Default(0.5)
            .Range(0.0f, 1.0f);
        d->AddParam(kGradientType, "gradientType", ParamType::Int).Default(0).Range(0, 1);
        d->AddParam(kGradientNoiseAmount, "noiseAmount", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(0.0f, 1.0f);
        d->AddParam(kGradientNoiseSize, "noiseSize", ParamType::Float, P_ANIMATABLE)
            .Default(0.25)
            .Range(0.001f, 1e6f);
        d->AddParam(kGradientCoords, "coords", ParamType::RefTarg).OwnerRef(Gradient::kRefUVGen);
        return d;
    }();
    return *desc;
}

ReferenceTarget* GradientClassDesc2::Create(bool loading) {
    GradientBlockDesc();
    auto* gradient = new Gradient;
    MakeAutoParamBlocks(gradient);
    gradient->ReplaceReference(Gradient::kRefUVGen, NewUVGen());
    if (!loading) gradient->SetName(NextMtlBaseName(true));
    return gradient;
}

std::string Gradient::SubAnimName(int i) {
    if (i == kRefParams) return "parameters";
    if (i == kRefUVGen) return "coordinates";
    return std::string();
}

ReferenceTarget* Gradient::Clone(RemapDir& remap) {
    auto* clone = new Gradient;
    CloneInto(clone, remap);
    return clone;
}

IParamBlock2* Gradient::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }
UVGen* Gradient::GetUVGen() { return dynamic_cast<UVGen*>(GetReference(kRefUVGen)); }

Interval Gradient::Validity(TimeValue t) {
    Interval valid = FOREVER;
    if (IParamBlock2* p = Params()) valid &= p->Validity(t);
    if (UVGen* uv = GetUVGen()) valid &= uv->Validity(t);
    return valid;
}

void Gradient::Update(TimeValue t, Interval& valid) {
    Cache c;
    if (IParamBlock2* p = Params()) {
        valid &= p->Validity(t);
        c.color1 = AColor(p->GetColor(kGradientColor1, t));
        c.color2 = AColor(p->GetColor(kGradientColor2, t));
        c.color3 = AColor(p->GetColor(kGradientColor3, t));
        c.pos2 = p->GetFloat(kGradientColor2Pos, t);
        c.type = p->GetInt(kGradientType, t);
        c.noiseAmount = p->GetFloat(kGradientNoiseAmount, t);
        c.invNoiseSize = 1.0f / p->GetFloat(kGradientNoiseSize, t);
    }
    if (UVGen* uv = GetUVGen()) {
        uv->Update(t, valid);
        c.uvGen = uv;
    }
    cache_ = c;
}

AColor Gradient::EvalColor(ShadeContext& sc) {
    const Cache& c = cache_;
    if (!c.uvGen) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
    MapUV uv = c.uvGen->Transform(sc);
    if (!c.uvGen->Wrap(uv)) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
    float x;
    if (c.type == 1) {
        x = 2.0f * std::hypot(uv.u - 0.5f, uv.v - 0.5f);
    } else {
        x = 1.0f - uv.v;
    }
    if (c.noiseAmount > 0.0f)
        x +=
            c.noiseAmount * PerlinNoise(Point3(uv.u * c.invNoiseSize, uv.v * c.invNoiseSize, 0.5f));
    x = std::clamp(x, 0.0f, 1.0f);
    if (x <= c.pos2) {
        return c.pos2 > 0.0f ? Lerp(c.color1, c.color2, x / c.pos2) : c.color2;
    }
    return Lerp(c.color2, c.color3, (x - c.pos2) / (1.0f - c.pos2));
}

Point3 Gradient::EvalNormalPerturb(ShadeContext& sc) {
    return cache_.uvGen ? cache_.uvGen->BumpPerturb(*this, sc) : Point3();
}
