#include "line_reduction.h"

#include <algorithm>
#include <atomic>

#include "class_desc.h"
#include "node.h"
#include "string_table.h"

namespace {

constexpr int kClassNameString = 11500;  // "Reduction Settings"
constexpr int kCurveControlDisplayFlags = 128;

class LineReductionClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return KvrnHost::GetStringOrEmpty(kClassNameString); }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_LINE_REDUCTION_CLASS_ID; }
    std::string InternalName() const override { return "KvrnLineReduction"; }
};

// Running number of new objects' names; objects may be made from any thread that edits scenes.
std::atomic<int> nextReductionNumber{1};

double Bezier(double p0, double p1, double p2, double p3, double t) {
    const double s = 1.0 - t;
    return s * s * s * p0 + 3.0 * s * s * t * p1 + 3.0 * s * t * t * p2 + t * t * t * p3;
}

// Points sorted by x. Computed in double with 60 bisection steps, as the scene-file driver bakes
// its curves, so both give the same samples.
float EvaluateSorted(const std::vector<CurvePoint>& points, float x) {
    if (!(x > points.front().p.x)) return points.front().p.y;  // NaN too
    if (x >= points.back().p.x) return points.back().p.y;
    const auto next = std::upper_bound(points.begin(), points.end(), x,
                                       [](float v, const CurvePoint& p) { return v < p.p.x; });
    const CurvePoint& a = *(next - 1);
    const CurvePoint& b = *next;
    // Handles reaching past the neighbouring point would fold x(t) back on itself.
    const double x1 = std::clamp(double(a.p.x) + a.out.x, double(a.p.x), double(b.p.x));
    const double x2 = std::clamp(double(b.p.x) + b.in.x, double(a.p.x), double(b.p.x));
    // Bisection rather than Newton: x'(t) vanishes at the ends for zero-length handles.
    double lo = 0.0, hi = 1.0;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (Bezier(a.p.x, x1, x2, b.p.x, mid) < x)
            lo = mid;
        else
            hi = mid;
    }
    const double t = 0.5 * (lo + hi);
    return float(Bezier(a.p.y, double(a.p.y) + a.out.y, double(b.p.y) + b.in.y, b.p.y, t));
}

}  // namespace

ClassDesc2& LineReductionClassDesc() {
    static LineReductionClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& LineReductionBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "params", &LineReductionClassDesc(), P_AUTO_CONSTRUCT,
                                      KvrnLineReduction::kRefParams);
        d->AddParam(kReductionStart, "start", ParamType::World, P_ANIMATABLE, 1510)
            .Default(100.0)
            .Range(1.0f, 1000000.0f);
        d->AddParam(kReductionEnd, "end", ParamType::World, P_ANIMATABLE, 1511)
            .Default(1000.0)
            .Range(1.0f, 1000000.0f);
        d->AddParam(kReductionObjectEnable, "objectEnable", ParamType::Bool, P_ANIMATABLE, 1512)
            .Default(false);
        d->AddParam(kReductionObjectNode, "objectNode", ParamType::Node, 0, 1513);
        return d;
    }();
    return *desc;
}

ReferenceTarget* LineReductionClassDesc2::Create(bool loading) {
    LineReductionBlockDesc();
    auto* reduction = new KvrnLineReduction;
    MakeAutoParamBlocks(reduction);
    reduction->ReplaceReference(KvrnLineReduction::kRefCurve, NewReductionCurveControl());
    if (!loading) {
        reduction->SetName(std::string(KvrnHost::GetStringOrEmpty(kClassNameString)) + "#" +
                           std::to_string(nextReductionNumber++));
    }
    return reduction;
}

std::string KvrnLineReduction::ClassName() const {
    return KvrnHost::GetStringOrEmpty(kClassNameString);
}

std::string KvrnLineReduction::SubAnimName(int i) {
    if (i == kRefParams) return "params";
    if (i == kRefCurve) return "cctl";
    return std::string();
}

ReferenceTarget* KvrnLineReduction::Clone(RemapDir& remap) {
    auto* clone = new KvrnLineReduction;
    remap.AddEntry(this, clone);
    for (int i = 0; i < kRefCount; ++i) clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
    clone->SetName(GetName());
    BaseClone(this, clone, remap);
    return clone;
}

Interval KvrnLineReduction::Validity(TimeValue t) {
    IParamBlock2* block = Params();
    return block ? block->Validity(t) : FOREVER;
}

IParamBlock2* KvrnLineReduction::Params() {
    return dynamic_cast<IParamBlock2*>(GetReference(kRefParams));
}

ICurveCtl* KvrnLineReduction::CurveControl() {
    return dynamic_cast<ICurveCtl*>(GetReference(kRefCurve));
}

ICurve* KvrnLineReduction::Curve() {
    ICurveCtl* control = CurveControl();
    return control ? control->GetControlCurve(0) : nullptr;
}

void SetDefaultReductionCurve(ICurve& curve) {
    CurvePoint first;
    first.p = {0.0f, 1.0f};
    first.out = {0.05f, -1.0f};
    first.flags = kCurvePointCornerFlags;
    CurvePoint second;
    second.p = {1.0f, 0.1f};
    second.in = {-0.5f, 0.1f};
    second.flags = kCurvePointCornerFlags;
    curve.SetNumPts(2);
    curve.SetPoint(0, first);
    curve.SetPoint(1, second);
}

ICurveCtl* NewReductionCurveControl() {
    auto* control = new ICurveCtl;
    control->SetCCFlags(kCurveControlDisplayFlags);
    SetDefaultReductionCurve(*control->GetControlCurve(0));
    return control;
}

std::shared_ptr<const KvrnLib::CurveInterface> BakeCurve(const ICurve* curve) {
    if (!curve || curve->GetNumPts() == 0) return nullptr;
    std::vector<CurvePoint> points;
    for (int i = 0; i < curve->GetNumPts(); ++i) points.push_back(curve->GetPoint(i));
    std::stable_sort(points.begin(), points.end(),
                     [](const CurvePoint& a, const CurvePoint& b) { return a.p.x < b.p.x; });
    return std::make_shared<KvrnLib::BakedCurve>(
        [&points](float x) { return EvaluateSorted(points, x); });
}

KvrnLineReduction* NewLineReduction(int kind) {
    // Size and alpha reductions start alike; the kind only says which slot will hold it.
    static_cast<void>(kind);
    return static_cast<KvrnLineReduction*>(LineReductionClassDesc().Create(false));
}

KvrnLineReduction* AsLineReduction(ReferenceTarget* target) {
    if (!target || target->SuperClassID() != TEXMAP_CLASS_ID ||
        target->ClassID() != KVRN_LINE_REDUCTION_CLASS_ID)
        return nullptr;
    return dynamic_cast<KvrnLineReduction*>(target);
}

// The engine record keeps the reference node's world position and turns it into camera space
// itself, so cameraFromWorld is not needed for it.
std::shared_ptr<const KvrnLib::ReductionSettings> ReductionSettingsOf(
    KvrnLineReduction& reduction, TimeValue t, const Matrix3& /*cameraFromWorld*/) {
    IParamBlock2* block = reduction.Params();
    if (!block) return nullptr;
    INode* node = nullptr;
    const bool objectEnable = block->GetBool(kReductionObjectEnable, t);
    if (objectEnable) {
        node = block->GetINode(kReductionObjectNode, t);
        if (!node) return nullptr;
    }
    auto curve = BakeCurve(reduction.Curve());
    if (!curve) return nullptr;
    auto settings = std::make_shared<KvrnLib::ReductionSettings>();
    settings->start = block->GetFloat(kReductionStart, t);
    settings->end = block->GetFloat(kReductionEnd, t);
    settings->curve = std::move(curve);
    if (node) {
        const Point3 p = node->GetNodeTM(t).GetTrans();
        settings->objectReference = 1;
        settings->referencePosition = KvrnLib::Point3{p.x, p.y, p.z};
    }
    return settings;
}
