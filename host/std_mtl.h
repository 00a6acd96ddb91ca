// The standard material: ambient, diffuse and Blinn specular shading with maps, opacity, bump,
// self-illumination and reflection and refraction (mapped or traced).
//
// Shading, per sample (camera space; V from the eye to P; fractions as the getters return them):
//   N      = Ng when faceted, else sc.N(); flipped with Ng when Ng faces away from the viewer.
//            Bump: N = normalize(N + bumpAmount * map.EvalNormalPerturb), the perturbation
//            negated on back faces; set with SetNormal for the rest of the sample, then restored.
//   D      = diffuse + (map.rgb - diffuse) * map.a * diffuseMapAmount
//   o      = opacity + (opacityMap mono - opacity) * opacityMapAmount
//   level  = specularLevel + (map mono - specularLevel) * specularLevelMapAmount; gloss alike
//   e      = 2^(1 + 10 * gloss)                          (gloss 0.1: 4, gloss 1: 2048)
//   Amb    = ambient * (sc.AmbientLight() + sum of ambient-only lights' colour)
//   Diff   = D * sum over diffuse lights of colour * diffuseCoef
//   Hi     = specular * level * sum over specular lights of
//              colour * max(N.H, 0)^e * Soften(N.L),   H = normalize(L - V)
//   Soften(x) = smoothstep(0, soften, x), 1 when soften is 0
//   Self   = selfIllumColor when selfIllumColorOn, else D * selfIllum (and then Amb and Diff
//            are scaled by 1 - selfIllum)
//   Refl   = traced reflection * reflectionAmount when reflectionTrace (the map fills in where
//            the ray cannot be traced), else reflection map rgb * a * reflectionMapAmount,
//            looked up along sc.ReflectVector()
//   c      = o * (Amb + Diff + Self) + Hi + Refl (highlights and reflections stay on glass)
//   t      = 1 - o straight through; with refractionTrace and a traced ray along
//            RefractVector(1 / ior entering, ior leaving) c += (1 - o) * traced colour, t = 0.
// parts: diffuse = o * Diff, specular = Hi, selfIllum = o * Self, reflection = Refl, shadow =
// o * D * (1 - selfIllum) * sum of (unshadowed - shadowed) colour * diffuseCoef.
// SCMODE_SHADOW: t = (1 - o) * lerp(white, D, o): clear glass casts no shadow, tinted glass
// filters the light by its diffuse colour the more opaque it is.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "texmap.h"

inline constexpr Class_ID STDMTL_CLASS_ID(0x5A3C0020, 0x19D4E3A7);

// Parameters of the "parameters" block (id 0, reference 0). Percentages are stored as shown.
enum StdMtlParam : ParamID {
    kStdAmbient = 0,
    kStdDiffuse = 1,
    kStdSpecular = 2,
    kStdGlossiness = 3,     // percent
    kStdSpecularLevel = 4,  // percent, 0 to 999
    kStdSelfIllum = 5,      // percent
    kStdOpacity = 6,        // percent
    kStdTwoSided = 7,
    kStdFaceted = 8,
    kStdWire = 9,
    kStdDiffuseMap = 10,  // reference 1
    kStdDiffuseMapAmount = 11,
    kStdDiffuseMapEnable = 12,
    kStdOpacityMap = 13,  // reference 2
    kStdOpacityMapAmount = 14,
    kStdOpacityMapEnable = 15,
    kStdBumpMap = 16,        // reference 3
    kStdBumpMapAmount = 17,  // percent, -999 to 999
    kStdBumpMapEnable = 18,
    kStdSoften = 19,  // 0 to 1
    kStdSelfIllumColor = 20,
    kStdSelfIllumColorOn = 21,
    kStdSpecularLevelMap = 22,  // reference 4
    kStdSpecularLevelMapAmount = 23,
    kStdSpecularLevelMapEnable = 24,
    kStdGlossinessMap = 25,  // reference 5
    kStdGlossinessMapAmount = 26,
    kStdGlossinessMapEnable = 27,
    kStdReflectionMap = 28,  // reference 6
    kStdReflectionMapAmount = 29,
    kStdReflectionMapEnable = 30,
    kStdReflectionTrace = 31,
    kStdReflectionAmount = 32,  // percent, of the traced reflection
    kStdRefractionTrace = 33,
    kStdIor = 34,  // 1 to 10
};

class StdMtl : public Mtl {
  public:
    enum Ref {
        kRefParams = 0,
        kRefDiffuseMap = 1,
        kRefOpacityMap = 2,
        kRefBumpMap = 3,
        kRefSpecularLevelMap = 4,
        kRefGlossinessMap = 5,
        kRefReflectionMap = 6,
        kRefCount
    };
    // Sub-map slots (reference = slot + 1).
    enum MapSlot {
        kMapDiffuse = 0,
        kMapOpacity = 1,
        kMapBump = 2,
        kMapSpecularLevel = 3,
        kMapGlossiness = 4,
        kMapReflection = 5,
        kMapSlotCount
    };

    Class_ID ClassID() const override { return STDMTL_CLASS_ID; }
    std::string ClassName() const override { return "Standard"; }
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    // MTLREQ_2SIDE while two-sided (at the current time).
    unsigned Requirements(int subMtlNum) override;
    int NumSubTexmaps() { return kMapSlotCount; }
    Texmap* GetSubTexmap(int i);
    void SetSubTexmap(int i, Texmap* map);
    Interval Validity(TimeValue t);

    IParamBlock2* Params();
    // Values at t (the getters throw std::runtime_error for a material without its block).
    Color GetAmbient(TimeValue t);
    Color GetDiffuse(TimeValue t);
    Color GetSpecular(TimeValue t);
    float GetGlossiness(TimeValue t);     // 0 to 1
    float GetSpecularLevel(TimeValue t);  // 0 to 9.99
    float GetSelfIllum(TimeValue t);      // 0 to 1
    float GetOpacity(TimeValue t);        // 0 to 1
    bool GetTwoSided(TimeValue t);
    bool GetFaceted(TimeValue t);
    bool GetWire(TimeValue t);
    // The slot's map when one is set and enabled, else null; amount as a fraction.
    Texmap* GetActiveMap(MapSlot slot, TimeValue t);
    float GetMapAmount(MapSlot slot, TimeValue t);

    // Reads every parameter at t into the shading cache and updates the active maps; throws
    // std::runtime_error naming the material (and the map's own message).
    void Update(TimeValue t, Interval& valid) override;
    // The formulas above; reads only the cache (thread-safe after Update).
    void Shade(ShadeContext& sc) override;
    bool MayBeTransparent(int subMtlNum) override;

  private:
    struct MapUse {
        Texmap* map = nullptr;  // null when unset or disabled
        float amount = 0.0f;
    };
    struct Cache {
        Color ambient, diffuse, specular, selfIllumColor;
        float glossiness = 0.1f, specularLevel = 0.0f, selfIllum = 0.0f, opacity = 1.0f;
        float soften = 0.1f;
        bool selfIllumColorOn = false, twoSided = false, faceted = false;
        MapUse maps[kMapSlotCount];
        bool reflectionTrace = false, refractionTrace = false;
        float reflectionAmount = 1.0f;
        float ior = 1.5f;
    };
    // What the maps make of the sample's base values.
    struct Surface {
        Color diffuse;
        float opacity, specularLevel, glossiness;
    };
    Surface EvalSurface(ShadeContext& sc) const;
    Point3 ShadingNormal(ShadeContext& sc) const;
    Color Reflection(ShadeContext& sc) const;
    void ShadeLights(ShadeContext& sc, const Point3& n, const Surface& s) const;
    // The block; std::runtime_error naming the material when it has none.
    IParamBlock2& Block();

    Cache cache_;
};

ClassDesc2& StdMtlClassDesc();
ParamBlockDesc2& StdMtlBlockDesc();
