// A map's output curve: inversion, RGB level and offset, an optional curve on each channel,
// output amount and clamping, applied to the map's colour and mono values.
#pragma once

#include <array>
#include <string>

#include "class_desc.h"
#include "curve_ctl.h"
#include "param_block.h"
#include "shade_context.h"

inline constexpr Class_ID TEXOUTPUT_CLASS_ID(0x5A3C0002, 0x62F0A913);

// Parameters of the "output" block (id 0, reference 0).
enum TexOutputParam : ParamID {
    kOutputAmount = 0,
    kRgbLevel = 1,
    kRgbOffset = 2,
    kOutputInvert = 3,
    kOutputClamp = 4,
    kOutputCurve = 5,  // a curve control (reference 1); its first curve maps 0..1 to 0..1
};

class TexOutput : public ReferenceTarget {
  public:
    enum Ref { kRefParams = 0, kRefCurve = 1, kRefCount };

    Class_ID ClassID() const override { return TEXOUTPUT_CLASS_ID; }
    std::string ClassName() const override { return "Output"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    IParamBlock2* Params();
    Interval Validity(TimeValue t);

    // Reads the parameters at t and samples the curve into the cache (render thread).
    void Update(TimeValue t, Interval& valid);
    // Per channel: x -> 1 - x when inverted, then x * rgbLevel + rgbOffset, then the curve,
    // then * outputAmount, then 0..1 when clamped. Alpha passes unchanged. Thread-safe after
    // Update.
    AColor Filter(const AColor& c) const;
    float Filter(float x) const;

  private:
    static constexpr int kCurveSamples = 256;
    struct Cache {
        float amount = 1.0f;
        float level = 1.0f;
        float offset = 0.0f;
        bool invert = false;
        bool clamp = false;
        bool hasCurve = false;
        std::array<float, kCurveSamples> curve{};
    };
    float Curve(float x) const;
    Cache cache_;
};

ClassDesc2& TexOutputClassDesc();
ParamBlockDesc2& TexOutputBlockDesc();
// A new output from the current defaults, without a curve, unheld.
TexOutput* NewTexOutput();
