// The checker map: two colours (or two sub-maps) in a 2 x 2 checker over one repeat of its
// texture coordinates, with optionally softened edges, box-filtered over the pixel footprint
// (a checker far away or at a grazing angle turns into the mean of its colours).
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "texmap.h"
#include "uvgen.h"

inline constexpr Class_ID CHECKER_CLASS_ID(0x5A3C0010, 0x0E4B27C5);

// Parameters of the "parameters" block (id 0, reference 0).
enum CheckerParam : ParamID {
    kCheckerColor1 = 0,  // the cells at (0..0.5, 0..0.5) and (0.5..1, 0.5..1)
    kCheckerColor2 = 1,
    kCheckerMap1 = 2,  // reference 2; replaces colour 1 while map1On
    kCheckerMap2 = 3,  // reference 3
    kCheckerMap1On = 4,
    kCheckerMap2On = 5,
    kCheckerSoften = 6,  // width of the blend across an edge, in cells (0 to 1)
    kCheckerCoords = 7,  // the UVGen (reference 1)
};

class Checker : public Texmap {
  public:
    enum Ref { kRefParams = 0, kRefUVGen = 1, kRefMap1 = 2, kRefMap2 = 3, kRefCount };

    Class_ID ClassID() const override { return CHECKER_CLASS_ID; }
    std::string ClassName() const override { return "Checker"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    int NumSubTexmaps() override { return 2; }
    Texmap* GetSubTexmap(int i) override;
    void SetSubTexmap(int i, Texmap* map) override;

    Interval Validity(TimeValue t) override;
    void Update(TimeValue t, Interval& valid) override;
    // Transparent black where an unrepeated coordinate leaves 0..1.
    AColor EvalColor(ShadeContext& sc) override;
    Point3 EvalNormalPerturb(ShadeContext& sc) override;

    IParamBlock2* Params();
    UVGen* GetUVGen();

  private:
    struct Cache {
        AColor color1{0.0f, 0.0f, 0.0f};
        AColor color2{1.0f, 1.0f, 1.0f};
        float soften = 0.0f;
        Texmap* map1 = nullptr;
        Texmap* map2 = nullptr;
        const UVGen* uvGen = nullptr;
    };
    Cache cache_;
};

ClassDesc2& CheckerClassDesc();
ParamBlockDesc2& CheckerBlockDesc();
