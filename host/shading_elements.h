// The shading renderer's render elements: the light components, depth, normals, IDs and alpha
// of the shaded frame, each as an image of its own. The renderer fills every enabled one among
// the render's elements; where nothing is hit they stay zero.
#pragma once

#include <string>

#include "class_desc.h"
#include "param_block.h"
#include "render.h"

enum class ShadingElementKind {
    kDiffuse,     // diffuse light times the surface colour
    kSpecular,    // highlights
    kShadow,      // light lost to shadows (the diffuse component that shadows took away)
    kSelfIllum,   // self-illumination
    kReflection,  // reflections
    kZDepth,      // camera distance mapped white (zMin) to black (zMax)
    kNormals,     // camera-space shading normal, n * 0.5 + 0.5
    kObjectID,    // the node's object channel as a colour per ID (alpha 1 where covered)
    kMaterialID,  // the material's effects channel as a colour per ID
    kAlpha,       // coverage, white on black
};

// Parameters of the "parameters" block (id 0, reference 0).
enum ShadingElementParam : ParamID {
    kElemEnabled = 0,
    kElemName = 1,  // string; empty: the class name
    kElemZMin = 2,  // world units, Z depth only
    kElemZMax = 3,
};

class ShadingRenderElement : public IRenderElement {
  public:
    enum Ref { kRefParams = 0, kRefCount };
    explicit ShadingRenderElement(ShadingElementKind kind);
    Class_ID ClassID() const override;
    std::string ClassName() const override;
    int NumRefs() override { return kRefCount; }
    int NumSubs() override { return kRefCount; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override { return i == kRefParams ? "parameters" : ""; }
    ReferenceTarget* Clone(RemapDir& remap) override;

    bool IsEnabled() const override;
    std::string ElementName() const override;
    ShadingElementKind Kind() const { return kind_; }
    IParamBlock2* Params() const;

  private:
    ShadingElementKind kind_;
};

// Class names: "Diffuse", "Specular", "Shadow", "SelfIllumination", "Reflection", "ZDepth",
// "Normals", "ObjectID", "MaterialID", "Alpha".
ClassDesc2& ShadingElementClassDesc(ShadingElementKind kind);
// Registering again is harmless.
void RegisterShadingElementClasses(ClassDirectory& directory);
