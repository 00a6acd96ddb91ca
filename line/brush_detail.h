// The brush detail: stamp shape, stroke rules, distortion, size and alpha reduction along the
// stroke and colour range, in six parameter blocks, with two stroke curves and two maps.
#pragma once

#include <string>

#include "curve_ctl.h"
#include "line_classes.h"
#include "param_block.h"
#include "texmap.h"

// Block IDs (equal to the reference each block sits in).
enum BrushDetailBlock : BlockID {
    kDetailBasic = 0,
    kDetailStroke = 1,
    kDetailNoise = 2,
    kDetailSizeReduction = 3,
    kDetailAlphaReduction = 4,
    kDetailColorRange = 5,
    kDetailBlockCount = 6,
};

// "basic": the stamp (brush editor).
enum DetailBasicParam : ParamID {
    kMapOpacity = 0,
    kMapEnable = 1,
    kMap = 2,
    kType = 3,  // 0 normal, 1 multiple, 2 simple
    kStretch = 4,
    kStretchRnd = 5,
    kAngle = 6,
    kAngleRnd = 7,
    kGroove = 8,
    kGrooveNum = 9,
    kStampSize = 10,  // internal name "size"
    kSizeRnd = 11,
    kAnti = 12,
    kHSpace = 13,
    kHSpaceRnd = 14,
    kVSpace = 15,
    kVSpaceRnd = 16,
    kReductionStartParam = 17,
    kReductionEndParam = 18,
};

enum DetailStrokeParam : ParamID {
    kStrokeType = 0,
    kStrokeStyle = 1,  // 0 full, 1 dashed
    kStrokeLength = 2,
    kStrokeLengthRnd = 3,
    kStrokeSpace = 4,
    kStrokeSpaceRnd = 5,
    kStrokeExtend = 6,
    kStrokeExtendRnd = 7,  // internal name "strokeeExtendRnd"
    kStrokeCopy = 8,
    kStrokeCopyRnd = 9,
    kStrokeNormalOffset = 10,
    kStrokeNormalOffsetRnd = 11,
    kStrokeOffsetX = 12,
    kStrokeOffsetXRnd = 13,
    kStrokeOffsetY = 14,
    kStrokeOffsetYRnd = 15,
    kStrokeSplitAngle = 16,
    kStrokeMinLength = 17,
    kLinkLength = 18,
    kStrokeDirectionAngle = 19,
    kStrokeLoopDirection = 21,  // 0 right, 1 left
    kStrokeSizeRnd = 22,
};

enum DetailNoiseParam : ParamID {
    kNoiseEnable = 0,
    kNoiseMap = 1,
    kNoiseMapOpacity = 2,
    kNoiseMapEnable = 3,
    kNoiseAmount = 4,
    kNoiseAmountRandom = 5,
    kNoiseCycle = 6,
    kNoiseCycleRandom = 7,
    kNoisePhase = 8,
    kNoisePhaseRandom = 9,
};

enum DetailReductionParam : ParamID { kReductionEnable = 0 };  // in both reduction blocks

enum DetailColorRangeParam : ParamID {
    kColorRangeType = 0,  // 0 RGB, 1 HSV
    kColorRangeR = 1,
    kColorRangeG = 2,
    kColorRangeB = 3,
};

class KvrnBrushDetail : public Texmap {
  public:
    // References 0-5 are the blocks (reference = block ID).
    enum Ref { kRefSizeCurve = 6, kRefAlphaCurve = 7, kRefMap = 8, kRefNoiseMap = 9, kRefCount };

    Class_ID ClassID() const override { return KVRN_BRUSH_DETAIL_CLASS_ID; }
    std::string ClassName() const override;

    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;

    // Sub-map 0 the brush map (reference 8), 1 the noise map (reference 9).
    int NumSubTexmaps() override { return 2; }
    Texmap* GetSubTexmap(int i) override;
    void SetSubTexmap(int i, Texmap* map) override;

    ReferenceTarget* Clone(RemapDir& remap) override;
    // Blocks and maps at t.
    Interval Validity(TimeValue t) override;

    IParamBlock2* Block(BrushDetailBlock id);
    // The first curve of the size (reference 6) or alpha (reference 7) control, or null.
    ICurve* SizeCurve();
    ICurve* AlphaCurve();
};

ClassDesc2& BrushDetailClassDesc();
// Descriptor of block id (static lifetime).
ParamBlockDesc2& BrushDetailBlockDesc(BrushDetailBlock id);

// A new detail named "Brush Details#number" from the current defaults, unheld.
KvrnBrushDetail* NewBrushDetail(int number);

// Sets curve to the flat stroke curve a new detail starts with: (0, 1) to (1, 1), corner points.
void SetDefaultStrokeCurve(ICurve& curve);
