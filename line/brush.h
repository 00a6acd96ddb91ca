// The brush: colour, opacity, size and blend mode of one edge group's strokes, with a colour
// map, a size map and the brush detail that shapes the stamps and strokes.
#pragma once

#include <string>

#include "brush_detail.h"
#include "line_classes.h"
#include "param_block.h"
#include "texmap.h"

// Parameters of the brush's "basic" block (id 0, reference 0).
enum BrushParam : ParamID {
    kBrushColor = 0,
    kBrushColorMapOpacity = 1,
    kBrushColorMap = 2,
    kBrushColorMapEnable = 3,
    kBrushBlend = 4,  // blend mode 0-15
    kBrushAlpha = 5,
    kBrushSize = 6,
    kBrushSizeMapEnable = 7,
    kBrushSizeMapAmount = 8,
    kBrushSizeMap = 9,
    kBrushDetail = 10,
    kBrushDialogOpen = 11,
    kBrushDetailDialogOpen = 12,
};

inline constexpr int kBlendModeCount = 16;

class KvrnBrush : public Texmap {
  public:
    enum Ref { kRefParams = 0, kRefDetail = 1, kRefColorMap = 2, kRefSizeMap = 3, kRefCount };

    Class_ID ClassID() const override { return KVRN_BRUSH_CLASS_ID; }
    std::string ClassName() const override;

    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;

    // Sub-map 0 the detail, 1 the colour map, 2 the size map (reference i + 1).
    int NumSubTexmaps() override { return 3; }
    Texmap* GetSubTexmap(int i) override;
    void SetSubTexmap(int i, Texmap* map) override;

    // Copies the four references through remap and names the copy after this brush with "_".
    ReferenceTarget* Clone(RemapDir& remap) override;
    // The block, the detail and the maps at t.
    Interval Validity(TimeValue t) override;

    IParamBlock2* Params();
    KvrnBrushDetail* Detail();
};

ClassDesc2& BrushClassDesc();
ParamBlockDesc2& BrushBlockDesc();
