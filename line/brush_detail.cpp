#include "brush_detail.h"

#include <array>

#include "class_desc.h"
#include "string_table.h"

namespace {

constexpr int kClassNameString = 11600;   // "Brush Details"
constexpr int kDetailNameString = 11390;  // the name prefix of a new detail

class BrushDetailClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return KvrnHost::GetStringOrEmpty(kClassNameString); }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_BRUSH_DETAIL_CLASS_ID; }
    std::string InternalName() const override { return "KvrnBrushDetail"; }
};

constexpr int kAnim = P_ANIMATABLE;

ParamBlockDesc2* NewBlockDesc(BrushDetailBlock id, const char* name) {
    return new ParamBlockDesc2(id, name, &BrushDetailClassDesc(), P_AUTO_CONSTRUCT, id);
}

ParamBlockDesc2* MakeBasic() {
    auto* d = NewBlockDesc(kDetailBasic, "basic");
    d->AddParam(kMapOpacity, "mapOpacity", ParamType::Float, kAnim, 1610)
        .Default(100.0)
        .Range(0, 100);
    d->AddParam(kMapEnable, "mapEnable", ParamType::Bool, kAnim, 1611).Default(true);
    d->AddParam(kMap, "map", ParamType::Texmap, P_SUBANIM, 1612).OwnerRef(KvrnBrushDetail::kRefMap);
    d->AddParam(kType, "type", ParamType::Int, 0, 1613).Default(2).Range(0, 3);
    d->AddParam(kStretch, "stretch", ParamType::Float, kAnim, 1614).Default(0.0).Range(-100, 100);
    d->AddParam(kStretchRnd, "stretchRnd", ParamType::Float, kAnim, 1615)
        .Default(0.0)
        .Range(0, 100);
    d->AddParam(kAngle, "angle", ParamType::Float, kAnim, 1616).Default(0.0).Range(-3600, 3600);
    d->AddParam(kAngleRnd, "angleRnd", ParamType::Float, kAnim, 1617).Default(0.0).Range(0, 360);
    d->AddParam(kGroove, "groove", ParamType::Float, kAnim, 1618).Default(0.0).Range(0, 100);
    d->AddParam(kGrooveNum, "grooveNum", ParamType::Int, kAnim, 1619).Default(5).Range(3, 20);
    d->AddParam(kStampSize, "size", ParamType::Float, kAnim, 1620).Default(16.0).Range(0.1f, 100);
    d->AddParam(kSizeRnd, "sizeRnd", ParamType::Float, kAnim, 1621).Default(80.0).Range(0, 100);
    d->AddParam(kAnti, "anti", ParamType::Float, kAnim, 1622).Default(50.0).Range(0, 1000);
    d->AddParam(kHSpace, "hSpace", ParamType::Float, kAnim, 1623).Default(10.0).Range(0, 100);
    d->AddParam(kHSpaceRnd, "hSpaceRnd", ParamType::Float, kAnim, 1624)
        .Default(100.0)
        .Range(0, 100);
    d->AddParam(kVSpace, "vSpace", ParamType::Float, kAnim, 1625).Default(10.0).Range(0, 100);
    d->AddParam(kVSpaceRnd, "vSpaceRnd", ParamType::Float, kAnim, 1626)
        .Default(100.0)
        .Range(0, 100);
    d->AddParam(kReductionStartParam, "reductionStart", ParamType::Float, kAnim, 1627)
        .Default(100.0)
        .Range(0, 100);
    d->AddParam(kReductionEndParam, "reductionEnd", ParamType::Float, kAnim, 1628)
        .Default(100.0)
        .Range(0, 100);
    return d;
}

ParamBlockDesc2* MakeStroke() {
    auto* d = NewBlockDesc(kDetailStroke, "stroke");
    auto f = [d](ParamID id, const char* name, int label, double def, float lo, float hi) {
        d->AddParam(id, name, ParamType::Float, kAnim, label).Default(def).Range(lo, hi);
    };
    d->AddParam(kStrokeType, "strokeType", ParamType::Int, 0, 1640).Default(0).Range(0, 3);
    d->AddParam(kStrokeStyle, "strokeStyle", ParamType::Int, 0, 1641).Default(0).Range(0, 2);
    f(kStrokeLength, "strokeLength", 1642, 5.0, 1, 10000);
    f(kStrokeLengthRnd, "strokeLengthRnd", 1643, 0.0, 0, 100);
    f(kStrokeSizeRnd, "strokeSizeRnd", 1644, 0.0, 0, 100);
    f(kStrokeSpace, "strokeSpace", 1645, 5.0, 1, 1000);
    f(kStrokeSpaceRnd, "strokeSpaceRnd", 1646, 0.0, 0, 100);
    f(kStrokeExtend, "strokeExtend", 1647, 0.0, 0, 1000);
    f(kStrokeExtendRnd, "strokeeExtendRnd", 1648, 0.0, 0, 100);
    d->AddParam(kStrokeCopy, "strokeCopy", ParamType::Int, kAnim, 1649).Default(1).Range(1, 10);
    d->AddParam(kStrokeCopyRnd, "strokeCopyRnd", ParamType::Int, kAnim, 1650)
        .Default(0)
        .Range(0, 10);
    f(kStrokeNormalOffset, "strokeNormalOffset", 1651, 0.0, -1000, 1000);
    f(kStrokeNormalOffsetRnd, "strokeNormalOffsetRnd", 1652, 0.0, 0, 1000);
    f(kStrokeOffsetX, "strokeOffsetX", 1653, 0.0, -1000, 1000);
    f(kStrokeOffsetXRnd, "strokeOffsetXRnd", 1654, 0.0, 0, 1000);
    f(kStrokeOffsetY, "strokeOffsetY", 1655, 0.0, -1000, 1000);
    f(kStrokeOffsetYRnd, "strokeOffsetYRnd", 1656, 0.0, 0, 1000);
    f(kStrokeSplitAngle, "strokeSplitAngle", 1657, 90.0, 0, 180);
    f(kStrokeMinLength, "strokeMinLength", 1658, 0.0, 0, 100);
    f(kLinkLength, "linkLength", 1659, 2.0, 0, 100);
    f(kStrokeDirectionAngle, "strokeDirectionAngle", 1660, -30.0, -180, 180);
    d->AddParam(kStrokeLoopDirection, "strokeLoopDirection", ParamType::Int, 0, 1661)
        .Default(1)
        .Range(0, 1);
    return d;
}

ParamBlockDesc2* MakeNoise() {
    auto* d = NewBlockDesc(kDetailNoise, "noise");
    auto f = [d](ParamID id, const char* name, int label, double def, float lo, float hi) {
        d->AddParam(id, name, ParamType::Float, kAnim, label).Default(def).Range(lo, hi);
    };
    d->AddParam(kNoiseEnable, "noiseEnable", ParamType::Bool, kAnim, 1670).Default(false);
    d->AddParam(kNoiseMap, "noiseMap", ParamType::Texmap, P_SUBANIM, 1671)
        .OwnerRef(KvrnBrushDetail::kRefNoiseMap);
    f(kNoiseMapOpacity, "noiseMapOpacity", 1672, 5.0, 0, 100);
    d->AddParam(kNoiseMapEnable, "noiseMapEnable", ParamType::Bool, kAnim, 1673).Default(true);
    f(kNoiseAmount, "noiseAmount", 1674, 5.0, 0, 1000);
    f(kNoiseAmountRandom, "noiseAmountRandom", 1675, 0.0, 0, 100);
    f(kNoiseCycle, "noiseCycle", 1676, 100.0, 5, 1000);
    f(kNoiseCycleRandom, "noiseCycleRandom", 1677, 0.0, 0, 100);
    f(kNoisePhase, "noisePhase", 1678, 0.0, -9999.9f, 9999.9f);
    f(kNoisePhaseRandom, "noisePhaseRandom", 1679, 0.0, 0, 100);
    return d;
}

ParamBlockDesc2* MakeReduction(BrushDetailBlock id, const char* block, const char* name,
                               int label) {
    auto* d = NewBlockDesc(id, block);
    d->AddParam(kReductionEnable, name, ParamType::Bool, kAnim, label).Default(false);
    return d;
}

ParamBlockDesc2* MakeColorRange() {
    auto* d = NewBlockDesc(kDetailColorRange, "colorRange");
    d->AddParam(kColorRangeType, "colorRangeType", ParamType::Int, 0, 1682).Default(0).Range(0, 1);
    d->AddParam(kColorRangeR, "colorRangeR", ParamType::Float, kAnim, 1683)
        .Default(0.0)
        .Range(0, 100);
    d->AddParam(kColorRangeG, "colorRangeG", ParamType::Float, kAnim, 1684)
        .Default(0.0)
        .Range(0, 100);
    d->AddParam(kColorRangeB, "colorRangeB", ParamType::Float, kAnim, 1685)
        .Default(0.0)
        .Range(0, 100);
    return d;
}

// Built once, in block order, so the class descriptor lists them by reference number.
const std::array<ParamBlockDesc2*, kDetailBlockCount>& BlockDescs() {
    static const std::array<ParamBlockDesc2*, kDetailBlockCount> descs = {
        MakeBasic(),
        MakeStroke(),
        MakeNoise(),
        MakeReduction(kDetailSizeReduction, "sizeReduction", "sizeReductionEnable", 1680),
        MakeReduction(kDetailAlphaReduction, "alphaReduction", "alphaReductionEnable", 1681),
        MakeColorRange(),
    };
    return descs;
}

ICurveCtl* NewStrokeCurveControl() {
    auto* control = new ICurveCtl;
    SetDefaultStrokeCurve(*control->GetControlCurve(0));
    return control;
}

ICurve* FirstCurve(ReferenceTarget* target) {
    auto* control = dynamic_cast<ICurveCtl*>(target);
    return control ? control->GetControlCurve(0) : nullptr;
}

}  // namespace

ClassDesc2& BrushDetailClassDesc() {
    static BrushDetailClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& BrushDetailBlockDesc(BrushDetailBlock id) { return *BlockDescs().at(size_t(id)); }

ReferenceTarget* BrushDetailClassDesc2::Create(bool /*loading*/) {
    BlockDescs();
    auto* detail = new KvrnBrushDetail;
    MakeAutoParamBlocks(detail);
    // A loaded detail reads its curves into these controls, so they exist either way.
    detail->ReplaceReference(KvrnBrushDetail::kRefSizeCurve, NewStrokeCurveControl());
    detail->ReplaceReference(KvrnBrushDetail::kRefAlphaCurve, NewStrokeCurveControl());
    return detail;
}

KvrnBrushDetail* NewBrushDetail(int number) {
    auto* detail = static_cast<KvrnBrushDetail*>(BrushDetailClassDesc().Create(false));
    detail->SetName(std::string(KvrnHost::GetStringOrEmpty(kDetailNameString)) + "#" +
                    std::to_string(number));
    return detail;
}

void SetDefaultStrokeCurve(ICurve& curve) {
    CurvePoint first;
    first.p = {0.0f, 1.0f};
    first.flags = kCurvePointCornerFlags;
    CurvePoint second;
    second.p = {1.0f, 1.0f};
    second.flags = kCurvePointCornerFlags;
    curve.SetNumPts(2);
    curve.SetPoint(0, first);
    curve.SetPoint(1, second);
}

std::string KvrnBrushDetail::ClassName() const {
    return KvrnHost::GetStringOrEmpty(kClassNameString);
}

std::string KvrnBrushDetail::SubAnimName(int i) {
    if (i >= 0 && i < kDetailBlockCount) return BlockDescs()[size_t(i)]->InternalName();
    if (i == kRefSizeCurve || i == kRefAlphaCurve) return "cctl";
    if (i == kRefMap) return KvrnHost::GetStringOrEmpty(1612);
    if (i == kRefNoiseMap) return KvrnHost::GetStringOrEmpty(1671);
    return std::string();
}

Texmap* KvrnBrushDetail::GetSubTexmap(int i) {
    if (i < 0 || i >= NumSubTexmaps()) return nullptr;
    return dynamic_cast<Texmap*>(GetReference(kRefMap + i));
}

void KvrnBrushDetail::SetSubTexmap(int i, Texmap* map) {
    if (i >= 0 && i < NumSubTexmaps()) ReplaceReference(kRefMap + i, map);
}

ReferenceTarget* KvrnBrushDetail::Clone(RemapDir& remap) {
    auto* clone = new KvrnBrushDetail;
    remap.AddEntry(this, clone);
    for (int i = 0; i < kRefCount; ++i) clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
    clone->SetName(GetName() + "_");
    BaseClone(this, clone, remap);
    return clone;
}

Interval KvrnBrushDetail::Validity(TimeValue t) {
    Interval valid = FOREVER;
    for (int i = 0; i < kDetailBlockCount; ++i) {
        if (IParamBlock2* block = Block(BrushDetailBlock(i))) valid &= block->Validity(t);
    }
    for (int i = 0; i < NumSubTexmaps(); ++i) {
        if (Texmap* map = GetSubTexmap(i)) valid &= map->Validity(t);
    }
    return valid;
}

IParamBlock2* KvrnBrushDetail::Block(BrushDetailBlock id) {
    if (id < 0 || id >= kDetailBlockCount) return nullptr;
    return dynamic_cast<IParamBlock2*>(GetReference(id));
}

ICurve* KvrnBrushDetail::SizeCurve() { return FirstCurve(GetReference(kRefSizeCurve)); }
ICurve* KvrnBrushDetail::AlphaCurve() { return FirstCurve(GetReference(kRefAlphaCurve)); }
