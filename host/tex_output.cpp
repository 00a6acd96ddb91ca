#include "tex_output.h"

#include <algorithm>
#include <cmath>

namespace {

class TexOutputClassDesc2 : public ClassDesc2 {
  public:
    bool IsPublic() const override { return false; }
    ReferenceTarget* Create(bool /*loading*/) override { return NewTexOutput(); }
    std::string ClassName() const override { return "Output"; }
    SClass_ID SuperClassID() const override { return REF_TARGET_CLASS_ID; }
    Class_ID ClassID() const override { return TEXOUTPUT_CLASS_ID; }
};

}  // namespace

ClassDesc2& TexOutputClassDesc() {
    static TexOutputClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& TexOutputBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "output", &TexOutputClassDesc(), P_AUTO_CONSTRUCT,
                                      TexOutput::kRefParams);
        d->AddParam(kOutputAmount, "outputAmount", ParamType::Float, P_ANIMATABLE)
            .Default(1.0)
            .Range(0.0f, 100.0f);
        d->AddParam(kRgbLevel, "rgbLevel", ParamType::Float, P_ANIMATABLE)
            .Default(1.0)
            .Range(0.0f, 100.0f);
        d->AddParam(kRgbOffset, "rgbOffset", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(-100.0f, 100.0f);
        d->AddParam(kOutputInvert, "invert", ParamType::Bool).Default(false);
        d->AddParam(kOutputClamp, "clamp", ParamType::Bool).Default(false);
        d->AddParam(kOutputCurve, "curve", ParamType::RefTarg).OwnerRef(TexOutput::kRefCurve);
        return d;
    }();
    return *desc;
}

TexOutput* NewTexOutput() {
    TexOutputBlockDesc();
    auto* output = new TexOutput;
    TexOutputClassDesc().MakeAutoParamBlocks(output);
    return output;
}

std::string TexOutput::SubAnimName(int i) {
    if (i == kRefParams) return "output";
    if (i == kRefCurve) return "curve";
    return std::string();
}

ReferenceTarget* TexOutput::Clone(RemapDir& remap) {
    auto* clone = new TexOutput;
    remap.AddEntry(this, clone);
    for (int i = 0; i < kRefCount; ++i) clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
    BaseClone(this, clone, remap);
    return clone;
}

IParamBlock2* TexOutput::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }

Interval TexOutput::Validity(TimeValue t) {
    IParamBlock2* block = Params();
    return block ? block->Validity(t) : FOREVER;
}

void TexOutput::Update(TimeValue t, Interval& valid) {
    IParamBlock2* p = Params();
    if (!p) return;
    valid &= p->Validity(t);
    Cache c;
    c.amount = p->GetFloat(kOutputAmount, t);
    c.level = p->GetFloat(kRgbLevel, t);
    c.offset = p->GetFloat(kRgbOffset, t);
    c.invert = p->GetBool(kOutputInvert, t);
    c.clamp = p->GetBool(kOutputClamp, t);
    auto* control = dynamic_cast<ICurveCtl*>(GetReference(kRefCurve));
    const ICurve* curve = control ? control->GetControlCurve(0) : nullptr;
    // Sampled once: the drawing threads must not read the editable curve.
    if (curve && curve->GetNumPts() > 0) {
        c.hasCurve = true;
        for (int i = 0; i < kCurveSamples; ++i)
            c.curve[size_t(i)] = curve->GetValue(float(i) / float(kCurveSamples - 1));
    }
    cache_ = c;
}

float TexOutput::Curve(float x) const {
    const float s = std::clamp(x, 0.0f, 1.0f) * float(kCurveSamples - 1);
    const int i = std::min(int(s), kCurveSamples - 2);
    const float f = s - float(i);
    return cache_.curve[size_t(i)] * (1.0f - f) + cache_.curve[size_t(i) + 1] * f;
}

float TexOutput::Filter(float x) const {
    const Cache& c = cache_;
    if (c.invert) x = 1.0f - x;
    x = x * c.level + c.offset;
    if (c.hasCurve) x = Curve(x);
    x *= c.amount;
    return c.clamp ? std::clamp(x, 0.0f, 1.0f) : x;
}

AColor TexOutput::Filter(const AColor& color) const {
    return AColor(Filter(color.r), Filter(color.g), Filter(color.b), color.a);
}
