#include "checker.h"

#include <algorithm>
#include <cmath>

namespace {

class CheckerClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Checker"; }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return CHECKER_CLASS_ID; }
    std::string Category() const override { return "Maps"; }
};

// How much of the second colour a box of width w cells centred on x takes, x in cells (two per
// repeat, the second cell of each repeat taking colour 2). Exact: the box integral of the square
// wave from its antiderivative. Softening is a box of its own width, which turns the edge into
// the linear ramp; widths of boxes in a row add up as a conservative footprint.
float CellWeight(float x, float w) {
    if (w <= 0.0f) {
        const float f = x - 2.0f * std::floor(x * 0.5f);
        return f < 1.0f ? 0.0f : 1.0f;
    }
    auto integral = [](float y) {
        const float repeats = std::floor(y * 0.5f);
        return repeats + std::max(y - 2.0f * repeats - 1.0f, 0.0f);
    };
    return std::clamp((integral(x + 0.5f * w) - integral(x - 0.5f * w)) / w, 0.0f, 1.0f);
}

}  // namespace

ClassDesc2& CheckerClassDesc() {
    static CheckerClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& CheckerBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "parameters", &CheckerClassDesc(), P_AUTO_CONSTRUCT,
                                      Checker::kRefParams);
        d->AddParam(kCheckerColor1, "color1", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(0.0f, 0.0f, 0.0f)));
        d->AddParam(kCheckerColor2, "color2", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(1.0f, 1.0f, 1.0f)));
        d->AddParam(kCheckerMap1, "map1", ParamType::Texmap, P_SUBANIM).OwnerRef(Checker::kRefMap1);
        d->AddParam(kCheckerMap2, "map2", ParamType::Texmap, P_SUBANIM).OwnerRef(Checker::kRefMap2);
        d->AddParam(kCheckerMap1On, "map1On", ParamType::Bool).Default(true);
        d->AddParam(kCheckerMap2On, "map2On", ParamType::Bool).Default(true);
        d->AddParam(kCheckerSoften, "soften", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(0.0f, 1.0f);
        d->AddParam(kCheckerCoords, "coords", ParamType::RefTarg).OwnerRef(Checker::kRefUVGen);
        return d;
    }();
    return *desc;
}

ReferenceTarget* CheckerClassDesc2::Create(bool loading) {
    CheckerBlockDesc();
    auto* checker = new Checker;
    MakeAutoParamBlocks(checker);
    checker->ReplaceReference(Checker::kRefUVGen, NewUVGen());
    if (!loading) checker->SetName(NextMtlBaseName(true));
    return checker;
}

std::string Checker::SubAnimName(int i) {
    static const char* const names[] = {"parameters", "coordinates", "map1", "map2"};
    return i >= 0 && i < kRefCount ? names[i] : "";
}

ReferenceTarget* Checker::Clone(RemapDir& remap) {
    auto* clone = new Checker;
    CloneInto(clone, remap);
    return clone;
}

Texmap* Checker::GetSubTexmap(int i) {
    return i >= 0 && i < 2 ? dynamic_cast<Texmap*>(GetReference(kRefMap1 + i)) : nullptr;
}

void Checker::SetSubTexmap(int i, Texmap* map) {
    if (i >= 0 && i < 2) ReplaceReference(kRefMap1 + i, map);
}

IParamBlock2* Checker::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }
UVGen* Checker::GetUVGen() { return dynamic_cast<UVGen*>(GetReference(kRefUVGen)); }

Interval Checker::Validity(TimeValue t) {
    Interval valid = FOREVER;
    if (IParamBlock2* p = Params()) valid &= p->Validity(t);
    if (UVGen* uv = GetUVGen()) valid &= uv->Validity(t);
    for (int i = 0; i < NumSubTexmaps(); ++i) {
        if (Texmap* map = GetSubTexmap(i)) valid &= map->Validity(t);
    }
    return valid;
}

void Checker::Update(TimeValue t, Interval& valid) {
    Cache c;
    if (IParamBlock2* p = Params()) {
        valid &= p->Validity(t);
        c.color1 = AColor(p->GetColor(kCheckerColor1, t));
        c.color2 = AColor(p->GetColor(kCheckerColor2, t));
        c.soften = p->GetFloat(kCheckerSoften, t);
        if (p->GetBool(kCheckerMap1On, t)) c.map1 = GetSubTexmap(0);
        if (p->GetBool(kCheckerMap2On, t)) c.map2 = GetSubTexmap(1);
    }
    if (UVGen* uv = GetUVGen()) {
        uv->Update(t, valid);
        c.uvGen = uv;
    }
    if (c.map1) c.map1->Update(t, valid);
    if (c.map2) c.map2->Update(t, valid);
    cache_ = c;
}

AColor Checker::EvalColor(ShadeContext& sc) {
    const Cache& c = cache_;
    if (!c.uvGen) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
    const MapUV uv = c.uvGen->Transform(sc);
    MapUV wrapped = uv;
    if (!c.uvGen->Wrap(wrapped)) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
    // Repeats filter across their seams; mirrored and single repeats within their own.
    const float u = c.uvGen->TilesU() && !c.uvGen->MirrorsU() ? uv.u : wrapped.u;
    const float v = c.uvGen->TilesV() && !c.uvGen->MirrorsV() ? uv.v : wrapped.v;
    const float fu = sc.filterMaps ? 2.0f * uv.du : 0.0f;
    const float fv = sc.filterMaps ? 2.0f * uv.dv : 0.0f;
    const float wu = CellWeight(u * 2.0f, fu + c.soften);
    const float wv = CellWeight(v * 2.0f, fv + c.soften);
    // Colour 2 where exactly one axis is in its second cell; the axes filter independently.
    const float mix = wu + wv - 2.0f * wu * wv;
    const AColor a = c.map1 ? c.map1->EvalColor(sc) : c.color1;
    if (mix <= 0.0f) return a;
    const AColor b = c.map2 ? c.map2->EvalColor(sc) : c.color2;
    return mix >= 1.0f ? b : Lerp(a, b, mix);
}

Point3 Checker::EvalNormalPerturb(ShadeContext& sc) {
    return cache_.uvGen ? cache_.uvGen->BumpPerturb(*this, sc) : Point3();
}
