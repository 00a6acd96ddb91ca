// A light as materials see it while shading one sample: what arrives at the point and from where.
// The renderer builds one per light and frame (camera space); materials call Illuminate from many
// threads at once, so implementations keep per-sample state on the stack.
#pragma once

#include "point3.h"

class ShadeContext;

class LightDesc {
  public:
    virtual ~LightDesc() = default;

    // Light reaching sc's point for a surface with the given normal: colour (multiplier,
    // attenuation, cone and shadows applied), unit direction from the point towards the light,
    // dot_nl = N.L and diffuseCoef, the diffuse factor (N.L for the plain Lambert model). False
    // when no light arrives (outside the cone or range, behind the surface with dot_nl <= 0 for
    // lights that are not ambient-only); color is then black. Ambient-only lights return their
    // colour with dot_nl = diffuseCoef = 1 and dir = the normal.
    virtual bool Illuminate(ShadeContext& sc, const Point3& normal, Color& color, Point3& dir,
                            float& dot_nl, float& diffuseCoef) = 0;
    // The same light with shadows ignored (for the shadow render element and shadow blending).
    virtual bool IlluminateUnshadowed(ShadeContext& sc, const Point3& normal, Color& color,
                                      Point3& dir, float& dot_nl, float& diffuseCoef) {
        return Illuminate(sc, normal, color, dir, dot_nl, diffuseCoef);
    }

    bool ambientOnly = false;
    bool affectDiffuse = true;
    bool affectSpecular = true;
};
