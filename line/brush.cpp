#include "brush.h"

#include <atomic>
#include <stdexcept>

#include "class_desc.h"
#include "line_reduction.h"
#include "max_texmap_interface.h"
#include "string_table.h"

namespace {

constexpr int kClassNameString = 11300;  // "Brush Settings"
constexpr int kSubMapNameStrings[] = {11390, 11391, 11392};
constexpr float kPercent = 0.01f;
constexpr float kDefaultSplitAngle = 90.0f;
constexpr float kDefaultLinkLength = 2.0f;

class BrushClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return KvrnHost::GetStringOrEmpty(kClassNameString); }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_BRUSH_CLASS_ID; }
    std::string InternalName() const override { return "KvrnBrush"; }
};

// Numbers brushes made through the class descriptor; NewBrush callers pass their own.
std::atomic<int> nextBrushNumber{1};

KvrnBrush* MakeBrush(bool withDetail, int number) {
    BrushBlockDesc();
    auto* brush = new KvrnBrush;
    BrushClassDesc().MakeAutoParamBlocks(brush);
    if (withDetail) {
        brush->ReplaceReference(KvrnBrush::kRefDetail, NewBrushDetail(number));
        brush->SetName(std::string(KvrnHost::GetStringOrEmpty(kClassNameString)) + "#" +
                       std::to_string(number));
    }
    return brush;
}

}  // namespace

ClassDesc2& BrushClassDesc() {
    static BrushClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& BrushBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "basic", &BrushClassDesc(), P_AUTO_CONSTRUCT,
                                      KvrnBrush::kRefParams);
        d->AddParam(kBrushDetail, "detail", ParamType::Texmap, P_SUBANIM, 1320)
            .OwnerRef(KvrnBrush::kRefDetail);
        d->AddParam(kBrushColor, "color", ParamType::Color, P_ANIMATABLE, 1310)
            .Default(ParamValue(Color(0.0f, 0.0f, 0.0f)));
        d->AddParam(kBrushColorMapOpacity, "colorMapOpacity", ParamType::Float, P_ANIMATABLE, 1311)
            .Default(100.0)
            .Range(0, 100);
        d->AddParam(kBrushColorMapEnable, "colorMapEnable", ParamType::Bool, P_ANIMATABLE, 1312)
            .Default(true);
        d->AddParam(kBrushColorMap, "colorMap", ParamType::Texmap, P_SUBANIM, 1313)
            .OwnerRef(KvrnBrush::kRefColorMap);
        d->AddParam(kBrushBlend, "blend", ParamType::Int, 0, 1314)
            .Default(0)
            .Range(0, kBlendModeCount - 1);
        d->AddParam(kBrushAlpha, "alpha", ParamType::Float, P_ANIMATABLE, 1315)
            .Default(100.0)
            .Range(0, 100);
        d->AddParam(kBrushSize, "size", ParamType::Float, P_ANIMATABLE, 1316)
            .Default(1.0)
            .Range(0.001f, 100);
        d->AddParam(kBrushSizeMapAmount, "sizeMapAmount", ParamType::Float, P_ANIMATABLE, 1317)
            .Default(100.0)
            .Range(0, 100);
        d->AddParam(kBrushSizeMapEnable, "sizeMapEnable", ParamType::Bool, P_ANIMATABLE, 1318)
            .Default(true);
        d->AddParam(kBrushSizeMap, "sizeMap", ParamType::Texmap, P_SUBANIM, 1319)
            .OwnerRef(KvrnBrush::kRefSizeMap);
        d->AddParam(kBrushDialogOpen, "dialogOpen", ParamType::Bool, 0, 1321).Default(false);
        d->AddParam(kBrushDetailDialogOpen, "detailDialogOpen", ParamType::Bool, 0, 1322)
            .Default(false);
        return d;
    }();
    return *desc;
}

ReferenceTarget* BrushClassDesc2::Create(bool loading) {
    // A loaded brush gets its detail from the file.
    return MakeBrush(!loading, nextBrushNumber++);
}

void RegisterBrushClasses(ClassDirectory& directory) {
    directory.Register(&BrushClassDesc());
    directory.Register(&BrushDetailClassDesc());
    directory.Register(&LineReductionClassDesc());
}

KvrnBrush* NewBrush(int number) { return MakeBrush(true, number); }

KvrnBrush* AsBrush(ReferenceTarget* target) {
    if (!target || target->SuperClassID() != TEXMAP_CLASS_ID ||
        target->ClassID() != KVRN_BRUSH_CLASS_ID)
        return nullptr;
    // Only KvrnBrush answers with this class ID; slot look-ups make this a hot path.
    return static_cast<KvrnBrush*>(target);
}

std::string KvrnBrush::ClassName() const { return KvrnHost::GetStringOrEmpty(kClassNameString); }

std::string KvrnBrush::SubAnimName(int i) {
    if (i == kRefParams) return "basic";
    if (i > kRefParams && i < kRefCount)
        return KvrnHost::GetStringOrEmpty(kSubMapNameStrings[i - 1]);
    return std::string();
}

Texmap* KvrnBrush::GetSubTexmap(int i) {
    if (i < 0 || i >= NumSubTexmaps()) return nullptr;
    return dynamic_cast<Texmap*>(GetReference(i + 1));
}

void KvrnBrush::SetSubTexmap(int i, Texmap* map) {
    if (i >= 0 && i < NumSubTexmaps()) ReplaceReference(i + 1, map);
}

ReferenceTarget* KvrnBrush::Clone(RemapDir& remap) {
    auto* clone = new KvrnBrush;
    remap.AddEntry(this, clone);
    for (int i = 0; i < kRefCount; ++i) clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
    clone->SetName(GetName() + "_");
    BaseClone(this, clone, remap);
    return clone;
}

Interval KvrnBrush::Validity(TimeValue t) {
    Interval valid = FOREVER;
    if (IParamBlock2* block = Params()) valid &= block->Validity(t);
    for (int i = 0; i < NumSubTexmaps(); ++i) {
        if (Texmap* map = GetSubTexmap(i)) valid &= map->Validity(t);
    }
    return valid;
}

IParamBlock2* KvrnBrush::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }

KvrnBrushDetail* KvrnBrush::Detail() {
    return dynamic_cast<KvrnBrushDetail*>(GetReference(kRefDetail));
}

namespace {

// The engine's view of a map slot: empty without a map or at zero weight (the enable switches
// already zeroed the weight). A map that cannot be prepared is reported against its brush and
// slot before anything is drawn.
std::shared_ptr<const KvrnLib::TexmapInterface> MapOf(const std::string& brushName,
                                                      const char* slot, Texmap* map, float weight,
                                                      TimeValue t) {
    if (!map || weight == 0.0f) return nullptr;
    try {
        return MakeTexmapInterface(map, t);
    } catch (const std::exception& e) {
        throw std::invalid_argument(brushName + ": " + slot + " \"" + map->GetName() +
                                    "\": " + e.what());
    }
}

void ReadDetail(KvrnBrushDetail& detail, const std::string& brushName, TimeValue t,
                KvrnLib::BrushDrawSettings& b) {
    IParamBlock2* basic = detail.Block(kDetailBasic);
    IParamBlock2* stroke = detail.Block(kDetailStroke);
    IParamBlock2* noise = detail.Block(kDetailNoise);
    IParamBlock2* colorRange = detail.Block(kDetailColorRange);
    IParamBlock2* sizeReduction = detail.Block(kDetailSizeReduction);
    IParamBlock2* alphaReduction = detail.Block(kDetailAlphaReduction);
    if (basic) {
        b.brushType = KvrnLib::BrushTypeOfDetailType(basic->GetInt(kType, t));
        b.mapOpacity =
            basic->GetBool(kMapEnable, t) ? basic->GetFloat(kMapOpacity, t) * kPercent : 0.0f;
        b.angle = basic->GetFloat(kAngle, t);
        b.angleRnd = basic->GetFloat(kAngleRnd, t);
        b.stretch = basic->GetFloat(kStretch, t) * kPercent;
        b.stretchRnd = basic->GetFloat(kStretchRnd, t) * kPercent;
        b.groove = basic->GetFloat(kGroove, t) * kPercent;
        b.grooveNum = basic->GetInt(kGrooveNum, t);
        b.stampSize = basic->GetFloat(kStampSize, t) * kPercent;
        b.sizeRnd = basic->GetFloat(kSizeRnd, t) * kPercent;
        b.anti = basic->GetFloat(kAnti, t) * kPercent;
        b.hSpace = basic->GetFloat(kHSpace, t) * kPercent;
        b.hSpaceRnd = basic->GetFloat(kHSpaceRnd, t) * kPercent;
        b.vSpace = basic->GetFloat(kVSpace, t) * kPercent;
        b.vSpaceRnd = basic->GetFloat(kVSpaceRnd, t) * kPercent;
        b.reductionStart = basic->GetFloat(kReductionStartParam, t) * kPercent;
        b.reductionEnd = basic->GetFloat(kReductionEndParam, t) * kPercent;
    }
    if (stroke) {
        b.strokeSizeRnd = stroke->GetFloat(kStrokeSizeRnd, t) * kPercent;
        b.strokeDirectionAngle = stroke->GetFloat(kStrokeDirectionAngle, t);
        b.loopRight = stroke->GetInt(kStrokeLoopDirection, t) == 0;
        b.strokeMinLength = stroke->GetFloat(kStrokeMinLength, t);
        b.dashed = stroke->GetInt(kStrokeStyle, t) != 0;
        b.strokeLength = stroke->GetFloat(kStrokeLength, t);
        b.strokeLengthRnd = stroke->GetFloat(kStrokeLengthRnd, t) * kPercent;
        b.strokeSpace = stroke->GetFloat(kStrokeSpace, t);
        b.strokeSpaceRnd = stroke->GetFloat(kStrokeSpaceRnd, t) * kPercent;
        b.strokeCopy = stroke->GetInt(kStrokeCopy, t);
        b.strokeCopyRnd = stroke->GetInt(kStrokeCopyRnd, t);
        b.strokeExtend = stroke->GetFloat(kStrokeExtend, t);
        b.strokeeExtendRnd = stroke->GetFloat(kStrokeExtendRnd, t) * kPercent;
        b.strokeOffsetX = stroke->GetFloat(kStrokeOffsetX, t);
        b.strokeOffsetY = stroke->GetFloat(kStrokeOffsetY, t);
        b.strokeOffsetXRnd = stroke->GetFloat(kStrokeOffsetXRnd, t);
        b.strokeOffsetYRnd = stroke->GetFloat(kStrokeOffsetYRnd, t);
        b.strokeNormalOffset = stroke->GetFloat(kStrokeNormalOffset, t);
        b.strokeNormalOffsetRnd = stroke->GetFloat(kStrokeNormalOffsetRnd, t);
        b.strokeType = stroke->GetInt(kStrokeType, t);
    }
    if (noise) {
        b.noiseAmount = noise->GetBool(kNoiseEnable, t) ? noise->GetFloat(kNoiseAmount, t) : 0.0f;
        b.noiseAmountRandom = noise->GetFloat(kNoiseAmountRandom, t) * kPercent;
        b.noiseCycle = noise->GetFloat(kNoiseCycle, t);
        b.noiseCycleRandom = noise->GetFloat(kNoiseCycleRandom, t) * kPercent;
        b.noisePhase = noise->GetFloat(kNoisePhase, t);
        b.noisePhaseRandom = noise->GetFloat(kNoisePhaseRandom, t) * kPercent;
        // Pixels per unit of map value: kept as shown, not a fraction.
        b.noiseMapOpacity =
            noise->GetBool(kNoiseMapEnable, t) ? noise->GetFloat(kNoiseMapOpacity, t) : 0.0f;
    }
    if (colorRange) {
        b.colorRangeHSV = colorRange->GetInt(kColorRangeType, t) == 1;
        b.colorRangeR = colorRange->GetFloat(kColorRangeR, t) * kPercent;
        b.colorRangeG = colorRange->GetFloat(kColorRangeG, t) * kPercent;
        b.colorRangeB = colorRange->GetFloat(kColorRangeB, t) * kPercent;
    }
    b.brushMap = MapOf(brushName, "map", detail.GetSubTexmap(0), b.mapOpacity, t);
    b.noiseMap = MapOf(brushName, "noiseMap", detail.GetSubTexmap(1), b.noiseMapOpacity, t);
    if (sizeReduction && sizeReduction->GetBool(kReductionEnable, t))
        b.sizeReductionCurve = BakeCurve(detail.SizeCurve());
    if (alphaReduction && alphaReduction->GetBool(kReductionEnable, t))
        b.alphaReductionCurve = BakeCurve(detail.AlphaCurve());
}

}  // namespace

KvrnLib::BrushDrawSettings BrushDrawSettingsOf(KvrnBrush& brush, TimeValue t) {
    KvrnLib::BrushDrawSettings b;
    if (IParamBlock2* p = brush.Params()) {
        b.lineSize = p->GetFloat(kBrushSize, t);
        b.sizeMapAmount = p->GetBool(kBrushSizeMapEnable, t)
                              ? p->GetFloat(kBrushSizeMapAmount, t) * kPercent
                              : 0.0f;
        const Color color = p->GetColor(kBrushColor, t);
        b.color = {color.r, color.g, color.b};
        b.alpha = p->GetFloat(kBrushAlpha, t) * kPercent;
        b.colorMapOpacity = p->GetBool(kBrushColorMapEnable, t)
                                ? p->GetFloat(kBrushColorMapOpacity, t) * kPercent
                                : 0.0f;
        b.blend = p->GetInt(kBrushBlend, t);
    }
    b.colorMap = MapOf(brush.GetName(), "colorMap", brush.GetSubTexmap(1), b.colorMapOpacity, t);
    b.sizeMap = MapOf(brush.GetName(), "sizeMap", brush.GetSubTexmap(2), b.sizeMapAmount, t);
    if (KvrnBrushDetail* detail = brush.Detail()) ReadDetail(*detail, brush.GetName(), t, b);
    return b;
}

float StrokeSplitAngleOf(KvrnBrush& brush, TimeValue t) {
    KvrnBrushDetail* detail = brush.Detail();
    IParamBlock2* stroke = detail ? detail->Block(kDetailStroke) : nullptr;
    return stroke ? stroke->GetFloat(kStrokeSplitAngle, t) : kDefaultSplitAngle;
}

float LinkLengthOf(KvrnBrush& brush, TimeValue t) {
    KvrnBrushDetail* detail = brush.Detail();
    IParamBlock2* stroke = detail ? detail->Block(kDetailStroke) : nullptr;
    return stroke ? stroke->GetFloat(kLinkLength, t) : kDefaultLinkLength;
}
