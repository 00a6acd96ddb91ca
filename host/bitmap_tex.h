// The bitmap map: an image file filtered through OpenImageIO's texture system (mipmapped,
// thread-safe), placed by a UVGen and adjusted by an output curve.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "tex_output.h"
#include "texmap.h"
#include "uvgen.h"

inline constexpr Class_ID BITMAPTEX_CLASS_ID(0x5A3C0013, 0x4A07D35E);

// Parameters of the "parameters" block (id 0, reference 0).
enum BitmapTexParam : ParamID {
    kBitmapFileName = 0,
    kBitmapFiltering = 1,    // 0 trilinear (mipmaps), 1 bilinear, 2 nearest texel
    kBitmapAlphaSource = 2,  // 0 the file's alpha (opaque without one), 1 RGB intensity, 2 none
    kBitmapCoords = 3,       // the UVGen (reference 1)
    kBitmapOutput = 4,       // the TexOutput (reference 2)
};

class BitmapTex : public Texmap {
  public:
    enum Ref { kRefParams = 0, kRefUVGen = 1, kRefOutput = 2, kRefCount };

    Class_ID ClassID() const override { return BITMAPTEX_CLASS_ID; }
    std::string ClassName() const override { return "Bitmap"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    Interval Validity(TimeValue t) override;
    // Opens the file (reopening it when it changed on disk). Throws std::runtime_error
    // "<file>: cannot read texture: <reason>" for a file that cannot be read, and
    // "<map name>: no bitmap file set" for an empty file name; the map then evaluates to
    // transparent black.
    void Update(TimeValue t, Interval& valid) override;
    // Straight colour as the file stores it (filtered without premultiplying); transparent
    // black off the image where the coordinates do not repeat.
    AColor EvalColor(ShadeContext& sc) override;
    Point3 EvalNormalPerturb(ShadeContext& sc) override;

    IParamBlock2* Params();
    UVGen* GetUVGen();
    TexOutput* GetTexOutput();

  private:
    struct Cache {
        void* handle = nullptr;  // the texture system's handle; null until a good Update
        int channels = 0;
        int filtering = 0;
        int alphaSource = 0;
        const UVGen* uvGen = nullptr;
        const TexOutput* output = nullptr;
    };
    Cache cache_;
};

ClassDesc2& BitmapTexClassDesc();
ParamBlockDesc2& BitmapTexBlockDesc();
