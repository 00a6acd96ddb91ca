// The line render element: a separate output image receiving the lines of the line effects,
// chosen by visibility, edge kind and line set ID, over a background colour of its own. The
// element draws nothing itself: it fills its image before the frame and hands the line effect
// a record saying which lines go into it. The output bitmap is the one the renderer gives
// through SetPBitmap; the `bitmap` parameter holds only an optional file name.
#pragma once

#include <memory>

#include "class_desc.h"
#include "line_raster.h"
#include "param_block.h"
#include "render.h"

struct KvrnLineRendElemRefsDef {
    static constexpr int kRefMain = 0;
    static constexpr int kNumRefs = 1;
};

class KvrnLineRendElem : public IRenderElement, public KvrnLineRendElemRefsDef {
  public:
    enum Param : ParamID {
        kEnabled = 0,
        kFilterOn = 1,
        kElementName = 2,
        kBitmap = 3,
        kLineBackgroundColorEnable = 4,
        kLineBackgroundColor = 5,
        kVisibleLineEnable = 6,
        kHiddenLineEnable = 7,
        kOutlineEnable = 9,
        kObjectEnable = 10,
        kIsectEnable = 11,
        kSmoothEnable = 12,
        kMatidEnable = 13,
        kNormalEnable = 14,
        kLinesetID = 15,
        kSelEnable = 16,
        kWireEnable = 17,
    };
    static constexpr int kLineSetIdCount = 8;

    explicit KvrnLineRendElem(bool loading = false);

    Class_ID ClassID() const override;
    std::string ClassName() const override;
    int NumRefs() override { return kNumRefs; }
    int NumSubs() override { return kNumRefs; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    ReferenceTarget* Clone(RemapDir& remap) override;

    bool IsEnabled() const override;
    std::string ElementName() const override;
    IParamBlock2* MainBlock() const;

    // What the line effect draws into this element at t; null without an output bitmap.
    std::shared_ptr<const KvrnLib::RenderElementOutputSettings> FillRecord(TimeValue t) const;
    // (r, g, b, 0) of the background colour when enabled at t, else transparent black.
    BMM_Color_fl BackgroundColor(TimeValue t) const;
    // Fills the output bitmap with the background colour through 16 bits per channel; a
    // transparent black background leaves the (zero) bitmap untouched.
    void FillBackground(TimeValue t);
};

inline const Class_ID KVRN_LINE_REND_ELEM_CLASS_ID(0x5FE949AF, 0x20671F95);

ClassDesc2* GetKvrnLineRendElemDesc();
// The line render element the target is, or null.
KvrnLineRendElem* AsLineRendElem(ReferenceTarget* target);
