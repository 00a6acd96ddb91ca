// The reduction settings object: a distance range, a falloff curve and an optional reference
// node, turned into the engine's ReductionSettings at render time. Also the curve baking the
// brush detail's stroke curves share.
#pragma once

#include <memory>
#include <string>

#include "curve_ctl.h"
#include "line_classes.h"
#include "param_block.h"
#include "texmap.h"

// Parameters of the reduction's block (id 0, reference 0).
enum LineReductionParam : ParamID {
    kReductionStart = 0,  // world units, 1 to 1000000
    kReductionEnd = 1,
    kReductionObjectEnable = 2,
    kReductionObjectNode = 3,
};

class KvrnLineReduction : public Texmap {
  public:
    enum Ref { kRefParams = 0, kRefCurve = 1, kRefCount = 2 };

    Class_ID ClassID() const override { return KVRN_LINE_REDUCTION_CLASS_ID; }
    std::string ClassName() const override;

    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;

    ReferenceTarget* Clone(RemapDir& remap) override;
    // The block's interval at t; the curve is not animated.
    Interval Validity(TimeValue t) override;

    IParamBlock2* Params();
    ICurveCtl* CurveControl();
    // The control's first curve, or null.
    ICurve* Curve();
};

// The class descriptor and the block descriptor (static lifetime).
ClassDesc2& LineReductionClassDesc();
ParamBlockDesc2& LineReductionBlockDesc();

// Sets curve to the falloff a new reduction starts with: (0, 1) with out-handle (0.05, -1) to
// (1, 0.1) with in-handle (-0.5, 0.1), both corner points.
void SetDefaultReductionCurve(ICurve& curve);
// A new curve control (display flags 128) holding the default falloff.
ICurveCtl* NewReductionCurveControl();

// The curve sampled 256 times at x = i / 255 for the engine; empty for a curve without points.
// Between points y follows the Bezier segment with its x solved by bisection, handles kept
// inside their segment; outside the points the end values hold.
std::shared_ptr<const KvrnLib::CurveInterface> BakeCurve(const ICurve* curve);
