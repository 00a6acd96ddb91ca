// Texture coordinates of 2D maps: the source (a map channel or the screen), a rotation about
// the centre of the map, offset and tiling, and how coordinates outside 0..1 wrap.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "shade_context.h"
#include "texmap.h"

inline constexpr Class_ID UVGEN_CLASS_ID(0x5A3C0001, 0x1B2E7D41);

// Parameters of the "coordinates" block (id 0, reference 0).
enum UVGenParam : ParamID {
    kUVMapping = 0,     // 0 explicit map channel, 1 screen
    kUVMapChannel = 1,  // 1 to 99
    kUOffset = 2,
    kVOffset = 3,
    kUTiling = 4,
    kVTiling = 5,
    kWAngle = 6,  // degrees, about (0.5, 0.5)
    kUTile = 7,
    kVTile = 8,
    kUMirror = 9,
    kVMirror = 10,
};

// A coordinate pair in map space (one repeat spans 0..1) with its change over one pixel.
struct MapUV {
    float u = 0.0f;
    float v = 0.0f;
    float du = 0.0f;
    float dv = 0.0f;
};

class UVGen : public ReferenceTarget {
  public:
    enum Ref { kRefParams = 0, kRefCount };

    Class_ID ClassID() const override { return UVGEN_CLASS_ID; }
    std::string ClassName() const override { return "UVGen"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override { return i == kRefParams ? "coordinates" : ""; }
    ReferenceTarget* Clone(RemapDir& remap) override;

    IParamBlock2* Params();
    Interval Validity(TimeValue t);

    // Reads the parameters at t into the cache the other functions use (render thread).
    void Update(TimeValue t, Interval& valid);
    // u' = (R(u) - uOffset) * uTiling, R rotating by the W angle about (0.5, 0.5); v alike.
    // Not wrapped. Thread-safe after Update.
    MapUV Transform(ShadeContext& sc) const;
    // Signed change of (u, v) in map space over one pixel in x and in y, for anisotropic
    // filtering: the channel's DUVWdXY, else its DUVW as an axis-aligned footprint; the screen's
    // pixel for screen mapping. Thread-safe after Update.
    void Derivatives(ShadeContext& sc, Point2& dx, Point2& dy) const;
    // Wraps u and v into 0..1: repeats when tiled, reflects every other repeat when mirrored.
    // False when an axis that neither tiles nor mirrors lies outside 0..1: the map does not
    // cover the point.
    bool Wrap(MapUV& uv) const;
    // The map channel the coordinates come from; 0 for screen mapping.
    int Channel() const { return cache_.mapping == 1 ? 0 : cache_.channel; }
    // Bump through the map's mono value along the channel's basis; zero for screen mapping.
    Point3 BumpPerturb(Texmap& map, ShadeContext& sc) const;
    bool TilesU() const { return cache_.uTile; }
    bool TilesV() const { return cache_.vTile; }
    bool MirrorsU() const { return cache_.uMirror; }
    bool MirrorsV() const { return cache_.vMirror; }

  private:
    struct Cache {
        int mapping = 0;
        int channel = 1;
        float uOffset = 0.0f, vOffset = 0.0f;
        float uTiling = 1.0f, vTiling = 1.0f;
        float cosW = 1.0f, sinW = 0.0f;
        bool uTile = true, vTile = true;
        bool uMirror = false, vMirror = false;
    };
    Cache cache_;
};

ClassDesc2& UVGenClassDesc();
ParamBlockDesc2& UVGenBlockDesc();
// A new UVGen from the current defaults, unheld.
UVGen* NewUVGen();
