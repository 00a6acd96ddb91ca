// Gradient noise after K. Perlin, "Improving Noise" (SIGGRAPH 2002): the quintic fade curve
// and the twelve cube-edge gradients picked by hashing through his permutation table.
#include "noise_tex.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr unsigned char kPermutation[256] = {
    151, 160, 137, 91,  90,  15,  131, 13,  201, 95,  96,  53,  194, 233, 7,   225, 140, 36,  103,
    30,  69,  142, 8,   99,  37,  240, 21,  10,  23,  190, 6,   148, 247, 120, 234, 75,  0,   26,
    197, 62,  94,  252, 219, 203, 117, 35,  11,  32,  57,  177, 33,  88,  237, 149, 56,  87,  174,
    20,  125, 136, 171, 168, 68,  175, 74,  165, 71,  134, 139, 48,  27,  166, 77,  146, 158, 231,
    83,  111, 229, 122, 60,  211, 133, 230, 220, 105, 92,  41,  55,  46,  245, 40,  244, 102, 143,
    54,  65,  25,  63,  161, 1,   216, 80,  73,  209, 76,  132, 187, 208, 89,  18,  169, 200, 196,
    135, 130, 116, 188, 159, 86,  164, 100, 109, 198, 173, 186, 3,   64,  52,  217, 226, 250, 124,
    123, 5,   202, 38,  147, 118, 126, 255, 82,  85,  212, 207, 206, 59,  227, 47,  16,  58,  17,
    182, 189, 28,  42,  223, 183, 170, 213, 119, 248, 152, 2,   44,  154, 163, 70,  221, 153, 101,
    155, 167, 43,  172, 9,   129, 22,  39,  253, 19,  98,  108, 110, 79,  113, 224, 232, 178, 185,
    112, 104, 218, 246, 97,  228, 251, 34,  242, 193, 238, 210, 144, 12,  191, 179, 162, 241, 81,
    51,  145, 235, 249, 14,  239, 107, 49,  192, 214, 31,  181, 199, 106, 157, 184, 84,  204, 176,
    115, 121, 50,  45,  127, 4,   150, 254, 138, 236, 205, 93,  222, 114, 67,  29,  24,  72,  243,
    141, 128, 195, 78,  66,  215, 61,  156, 180};

int Perm(int i) { return kPermutation[i & 255]; }

double Fade(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }
double Mix(double a, double b, double t) { return a + t * (b - a); }

double Grad(int hash, double x, double y, double z) {
    const int h = hash & 15;
    const double u = h < 8 ? x : y;
    const double v = h < 4 ? y : (h == 12 || h == 14 ? x : z);
    return ((h & 1) == 0 ? u : -u) + ((h & 2) == 0 ? v : -v);
}

// Phase moves through the noise along z in whole cells, blending between neighbouring slices
// so the pattern changes smoothly without sliding.
constexpr float kPhaseSliceOffset = 57.31f;

// Mean of |PerlinNoise| over space: what a turbulence octave too fine for the pixel shows.
constexpr float kMeanAbsNoise = 0.224f;

// Share of an octave of period 1 / scale kept for a footprint (in noise cells): whole below
// half a period per pixel, gone at a period per pixel (it would only alias).
float OctaveFade(float footprint, float scale) {
    return std::clamp(2.0f - 2.0f * footprint * scale, 0.0f, 1.0f);
}

class NoiseClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Noise"; }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return NOISE_CLASS_ID; }
    std::string Category() const override { return "Maps"; }
};

}  // namespace

float PerlinNoise(const Point3& p) {
    const double fx = std::floor(double(p.x)), fy = std::floor(double(p.y)),
                 fz = std::floor(double(p.z));
    // Lattice cells wrap every 256: the table repeats there.
    const int X = int(std::fmod(fx, 256.0) + 256.0) & 255;
    const int Y = int(std::fmod(fy, 256.0) + 256.0) & 255;
    const int Z = int(std::fmod(fz, 256.0) + 256.0) & 255;
    const double x = p.x - fx, y = p.y - fy, z = p.z - fz;
    const double u = Fade(x), v = Fade(y), w = Fade(z);
    const int A = Perm(X) + Y, AA = Perm(A) + Z, AB = Perm(A + 1) + Z;
    const int B = Perm(X + 1) + Y, BA = Perm(B) + Z, BB = Perm(B + 1) + Z;
    const double r = Mix(
        Mix(Mix(Grad(Perm(AA), x, y, z), Grad(Perm(BA), x - 1, y, z), u),
            Mix(Grad(Perm(AB), x, y - 1, z), Grad(Perm(BB), x - 1, y - 1, z), u), v),
        Mix(Mix(Grad(Perm(AA + 1), x, y, z - 1), Grad(Perm(BA + 1), x - 1, y, z - 1), u),
            Mix(Grad(Perm(AB + 1), x, y - 1, z - 1), Grad(Perm(BB + 1), x - 1, y - 1, z - 1), u),
            v),
        w);
    return float(r);
}

ClassDesc2& NoiseClassDesc() {
    static NoiseClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& NoiseBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "parameters", &NoiseClassDesc(), P_AUTO_CONSTRUCT,
                                      Noise::kRefParams);
        d->AddParam(kNoiseType, "noiseType", ParamType::Int).Default(0).Range(0, 2);
        d->AddParam(kNoiseSize, "size", ParamType::World, P_ANIMATABLE)
            .Default(25.0)
            .Range(0.001f, 1e6f);
        d->AddParam(kNoisePhaseParam, "phase", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(-1e6f, 1e6f);
        d->AddParam(kNoiseLevels, "levels", ParamType::Float, P_ANIMATABLE)
            .Default(3.0)
            .Range(1.0f, 10.0f);
        d->AddParam(kNoiseThresholdLow, "thresholdLow", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(0.0f, 1.0f);
        d->AddParam(kNoiseThresholdHigh, "thresholdHigh", ParamType::Float, P_ANIMATABLE)
            .Default(1.0)
            .Range(0.0f, 1.0f);
        d->AddParam(kNoiseColor1, "color1", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(0.0f, 0.0f, 0.0f)));
        d->AddParam(kNoiseColor2, "color2", ParamType::Color, P_ANIMATABLE)
            .Default(ParamValue(Color(1.0f, 1.0f, 1.0f)));
        d->AddParam(kNoiseCoordSource, "coordSource", ParamType::Int).Default(0).Range(0, 1);
        d->AddParam(kNoiseMapChannel, "mapChannel", ParamType::Int).Default(1).Range(1, 99);
        return d;
    }();
    return *desc;
}

ReferenceTarget* NoiseClassDesc2::Create(bool loading) {
    NoiseBlockDesc();
    auto* noise = new Noise;
    MakeAutoParamBlocks(noise);
    if (!loading) noise->SetName(NextMtlBaseName(true));
    return noise;
}

ReferenceTarget* Noise::Clone(RemapDir& remap) {
    auto* clone = new Noise;
    CloneInto(clone, remap);
    return clone;
}

IParamBlock2* Noise::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }

Interval Noise::Validity(TimeValue t) {
    IParamBlock2* p = Params();
    return p ? p->Validity(t) : FOREVER;
}

void Noise::Update(TimeValue t, Interval& valid) {
    IParamBlock2* p = Params();
    if (!p) return;
    valid &= p->Validity(t);
    Cache c;
    c.type = p->GetInt(kNoiseType, t);
    c.invSize = 1.0f / p->GetFloat(kNoiseSize, t);
    c.phase = p->GetFloat(kNoisePhaseParam, t);
    c.levels = p->GetFloat(kNoiseLevels, t);
    c.low = p->GetFloat(kNoiseThresholdLow, t);
    c.high = p->GetFloat(kNoiseThresholdHigh, t);
    c.color1 = AColor(p->GetColor(kNoiseColor1, t));
    c.color2 = AColor(p->GetColor(kNoiseColor2, t));
    c.source = p->GetInt(kNoiseCoordSource, t);
    c.channel = p->GetInt(kNoiseMapChannel, t);
    cache_ = c;
}

float Noise::EvalMono(ShadeContext& sc) {
    const Cache& c = cache_;
    const Point3 q = (c.source == 1 ? sc.UVW(c.channel) : sc.P()) * c.invSize;
    float footprint = 0.0f;
    if (sc.filterMaps) {
        if (c.source == 1) {
            footprint = sc.DUVW(c.channel).Length() * c.invSize;
        } else {
            Point3 dpdx, dpdy;
            sc.DP(dpdx, dpdy);
            footprint = std::max(dpdx.Length(), dpdy.Length()) * c.invSize;
        }
    }
    const float slice = std::floor(c.phase);
    const float blend = float(Fade(double(c.phase - slice)));
    auto sample = [&](const Point3& p) {
        auto at = [&](float z) {
            return PerlinNoise(Point3(p.x, p.y, p.z + z * kPhaseSliceOffset));
        };
        const float a = at(slice), b = at(slice + 1.0f);
        return a + (b - a) * blend;
    };
    float value;
    if (c.type == 0) {
        value = 0.5f * (sample(q) * OctaveFade(footprint, 1.0f) + 1.0f);
    } else {
        // Octaves at doubling frequency and halving weight; a fractional last level blends in.
        float sum = 0.0f, weight = 0.0f, scale = 1.0f;
        for (int i = 0; float(i) < c.levels; ++i) {
            const float share = std::min(1.0f, c.levels - float(i));
            const float fade = OctaveFade(footprint, scale);
            float n = 0.0f;
            if (fade > 0.0f) n = sample(q * scale);
            n = c.type == 2 ? std::fabs(n) * fade + kMeanAbsNoise * (1.0f - fade) : n * fade;
            sum += n * share / scale;
            weight += share / scale;
            scale *= 2.0f;
        }
        const float n = sum / weight;
        value = c.type == 2 ? n : 0.5f * (n + 1.0f);
    }
    value = std::clamp(value, 0.0f, 1.0f);
    if (value <= c.low) return 0.0f;
    if (value >= c.high) return 1.0f;
    return (value - c.low) / (c.high - c.low);
}

AColor Noise::EvalColor(ShadeContext& sc) {
    return Lerp(cache_.color1, cache_.color2, EvalMono(sc));
}

Point3 Noise::EvalNormalPerturb(ShadeContext& sc) {
    if (cache_.source == 1) return ChannelBumpPerturb(*this, sc, cache_.channel);
    return PointBumpPerturb(*this, sc, 1.0f / cache_.invSize);
}
