// The gradient map: three colours along v (linear) or outwards from the centre of the map
// (radial), the middle one at a chosen position, optionally disturbed by noise.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "texmap.h"
#include "uvgen.h"

inline constexpr Class_ID GRADIENT_CLASS_ID(0x5A3C0012, 0x7C1F88B4);

// Parameters of the "parameters" block (id 0, reference 0).
enum GradientParam : ParamID {
    kGradientColor1 = 0,  // at position 0: the top (v = 1) or the centre
    kGradientColor2 = 1,  // at color2Pos
    kGradientColor3 = 2,  // at position 1: the bottom (v = 0) or radius 0.5 and beyond
    kGradientColor2Pos = 3,
    kGradientType = 4,         // 0 linear, 1 radial
    kGradientNoiseAmount = 5,  // shift of the position by noise, 0 to 1
    kGradientNoiseSize = 6,    // noise cells per repeat are 1 / noiseSize
    kGradientCoords = 7,       // the UVGen (reference 1)
};

class Gradient : public Texmap {
  public:
    enum Ref { kRefParams = 0, kRefUVGen = 1, kRefCount };

    Class_ID ClassID() const override { return GRADIENT_CLASS_ID; }
    std::string ClassName() const override { return "Gradient"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    Interval Validity(TimeValue t) override;
    void Update(TimeValue t, Interval& valid) override;
    AColor EvalColor(ShadeContext& sc) override;
    Point3 EvalNormalPerturb(ShadeContext& sc) override;

    IParamBlock2* Params();
    UVGen* GetUVGen();

  private:
    struct Cache {
        AColor color1{0.0f, 0.0f, 0.0f};
        AColor color2{0.5f, 0.5f, 0.5f};
        AColor color3{1.0f, 1.0f, 1.0f};
        float pos2 = 0.5f;
        int type = 0;
        float noiseAmount = 0.0f;
        float invNoiseSize = 1.0f;
        const UVGen* uvGen = nullptr;
    };
    Cache cache_;
};

ClassDesc2& GradientClassDesc();
ParamBlockDesc2& GradientBlockDesc();
