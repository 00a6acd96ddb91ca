// Texture maps: named targets with sub-maps, a validity interval and evaluation at a shading
// point.
#pragma once

#include "mtl.h"
#include "shade_context.h"

class Texmap : public MtlBase {
  public:
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    virtual int NumSubTexmaps() { return 0; }
    virtual Texmap* GetSubTexmap(int /*i*/) { return nullptr; }
    virtual void SetSubTexmap(int /*i*/, Texmap* /*map*/) {}
    // Times around t over which the map's output stays the same.
    virtual Interval Validity(TimeValue /*t*/) { return FOREVER; }

    // Prepares the map (and its sub-maps) for rendering at t on the scene-editing thread: reads
    // the parameters into a cache and narrows valid to the cache's interval. Throws
    // std::runtime_error naming the file or value when the map cannot be used. Afterwards, and
    // until the map is edited or updated again, the Eval functions read only that cache and may
    // be called from many threads at once.
    virtual void Update(TimeValue /*t*/, Interval& /*valid*/) {}
    // Transparent black for maps without a colour (settings objects held as maps).
    virtual AColor EvalColor(ShadeContext& /*sc*/) { return AColor(0.0f, 0.0f, 0.0f, 0.0f); }
    virtual float EvalMono(ShadeContext& sc) { return Intensity(EvalColor(sc)); }
    // Bump: how the map's mono value tilts the shading normal, in camera space (the gradient
    // of the value along the context's bump basis, scaled for a unit amount). Zero for maps
    // without a value that varies over the surface.
    virtual Point3 EvalNormalPerturb(ShadeContext& /*sc*/) { return Point3(); }
    // Maps that work out their own view direction (rather than being looked up along a
    // reflected ray as environment maps) are evaluated directly in reflection slots.
    virtual bool HandlesOwnViewPerturb() { return false; }
};

// The map as an environment seen along dir (camera space): its coordinates are the direction's
// spherical angles in world space (u around the world's up axis z from +y, v from the nadir to
// the zenith), and its filter width follows the context's pixel footprint.
AColor EvalEnvironmentMap(Texmap& map, ShadeContext& sc, const Point3& dir);

// Bump helpers for maps: the gradient of map.EvalMono by central differences, returned as the
// tilt -(dm/du * Bu + dm/dv * Bv) with Bu, Bv the unit directions of the channel's dP/du and
// dP/dv (so a unit amount tilts by the change of the value over one repeat). Steps are the
// pixel footprint of the channel (DUVW), at least kMinBumpStep. Zero without a bump basis.
inline constexpr float kMinBumpStep = 1e-3f;
Point3 ChannelBumpPerturb(Texmap& map, ShadeContext& sc, int channel);
// The same for maps of the shaded point: differences along two directions of the tangent plane
// of N, steps of the pixel footprint (DP) but at least kMinBumpStep * cellSize, gradients per
// cellSize of distance.
Point3 PointBumpPerturb(Texmap& map, ShadeContext& sc, float cellSize);
