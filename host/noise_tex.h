// The noise map: 3D Perlin noise (regular, fractal or turbulent) between two colours, over the
// shaded point or a map channel, animated by its phase. Deterministic: the same point, time,
// footprint and parameters always give the same value. Octaves finer than the pixel footprint
// fade to their mean.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "texmap.h"

inline constexpr Class_ID NOISE_CLASS_ID(0x5A3C0011, 0x3D9E6F02);

// Parameters of the "parameters" block (id 0, reference 0).
enum NoiseParam : ParamID {
    kNoiseType = 0,  // 0 regular, 1 fractal, 2 turbulence
    kNoiseSize = 1,  // world units (or map units) per noise cell
    kNoisePhaseParam = 2,
    kNoiseLevels = 3,  // octaves of fractal and turbulent noise, 1 to 10, fractions blend
    kNoiseThresholdLow = 4,
    kNoiseThresholdHigh = 5,
    kNoiseColor1 = 6,       // at value 0
    kNoiseColor2 = 7,       // at value 1
    kNoiseCoordSource = 8,  // 0 the shaded point (camera space), 1 the map channel
    kNoiseMapChannel = 9,
};

class Noise : public Texmap {
  public:
    enum Ref { kRefParams = 0, kRefCount };

    Class_ID ClassID() const override { return NOISE_CLASS_ID; }
    std::string ClassName() const override { return "Noise"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override { return i == kRefParams ? "parameters" : ""; }
    ReferenceTarget* Clone(RemapDir& remap) override;

    Interval Validity(TimeValue t) override;
    void Update(TimeValue t, Interval& valid) override;
    AColor EvalColor(ShadeContext& sc) override;
    // The noise value after the thresholds, 0 to 1.
    float EvalMono(ShadeContext& sc) override;
    // Along the map channel's basis, or across the normal per noise cell for the shaded point.
    Point3 EvalNormalPerturb(ShadeContext& sc) override;

    IParamBlock2* Params();

  private:
    struct Cache {
        int type = 0;
        float invSize = 1.0f / 25.0f;
        float phase = 0.0f;
        float levels = 3.0f;
        float low = 0.0f;
        float high = 1.0f;
        AColor color1{0.0f, 0.0f, 0.0f};
        AColor color2{1.0f, 1.0f, 1.0f};
        int source = 0;
        int channel = 1;
    };
    Cache cache_;
};

ClassDesc2& NoiseClassDesc();
ParamBlockDesc2& NoiseBlockDesc();

// Improved Perlin noise at p, about -1 to 1, 0 at integer lattice points.
float PerlinNoise(const Point3& p);
