#include "shading_elements.h"

#include <array>
#include <stdexcept>

namespace {

constexpr int kKindCount = int(ShadingElementKind::kAlpha) + 1;

constexpr std::array<const char*, kKindCount> kClassNames = {
    "Diffuse", "Specular", "Shadow",   "SelfIllumination", "Reflection",
    "ZDepth",  "Normals",  "ObjectID", "MaterialID",       "Alpha"};

// One class per kind; the second word is shared by the family.
constexpr uint32_t kClassIdBase = 0x4B0E5100;
constexpr uint32_t kClassIdFamily = 0x7C21D9A4;

class ShadingElementClassDesc2 : public ClassDesc2 {
  public:
    explicit ShadingElementClassDesc2(ShadingElementKind kind) : kind_(kind) {}
    ReferenceTarget* Create(bool /*loading*/) override { return new ShadingRenderElement(kind_); }
    std::string ClassName() const override { return kClassNames[size_t(kind_)]; }
    SClass_ID SuperClassID() const override { return RENDER_ELEMENT_CLASS_ID; }
    Class_ID ClassID() const override {
        return Class_ID(kClassIdBase + uint32_t(kind_), kClassIdFamily);
    }
    std::string Category() const override { return "Shading elements"; }

  private:
    ShadingElementKind kind_;
};

ParamBlockDesc2* MakeBlockDesc(ClassDesc2* owner) {
    auto* d = new ParamBlockDesc2(0, "parameters", owner, P_AUTO_CONSTRUCT,
                                  ShadingRenderElement::kRefParams);
    d->AddParam(kElemEnabled, "enabled", ParamType::Bool).Default(true);
    d->AddParam(kElemName, "elementName", ParamType::String).Default("");
    d->AddParam(kElemZMin, "zMin", ParamType::World).Default(0.0).Range(0.0f, 1e9f);
    d->AddParam(kElemZMax, "zMax", ParamType::World).Default(100.0).Range(0.0f, 1e9f);
    return d;
}

std::array<ParamBlockDesc2*, kKindCount>& BlockDescs() {
    static std::array<ParamBlockDesc2*, kKindCount> blocks = [] {
        std::array<ParamBlockDesc2*, kKindCount> made{};
        for (size_t i = 0; i < made.size(); ++i)
            made[i] = MakeBlockDesc(&ShadingElementClassDesc(ShadingElementKind(i)));
        return made;
    }();
    return blocks;
}

}  // namespace

ClassDesc2& ShadingElementClassDesc(ShadingElementKind kind) {
    static std::array<ShadingElementClassDesc2, kKindCount> descs = [] {
        return std::array<ShadingElementClassDesc2, kKindCount>{
            ShadingElementClassDesc2(ShadingElementKind::kDiffuse),
            ShadingElementClassDesc2(ShadingElementKind::kSpecular),
            ShadingElementClassDesc2(ShadingElementKind::kShadow),
            ShadingElementClassDesc2(ShadingElementKind::kSelfIllum),
            ShadingElementClassDesc2(ShadingElementKind::kReflection),
            ShadingElementClassDesc2(ShadingElementKind::kZDepth),
            ShadingElementClassDesc2(ShadingElementKind::kNormals),
            ShadingElementClassDesc2(ShadingElementKind::kObjectID),
            ShadingElementClassDesc2(ShadingElementKind::kMaterialID),
            ShadingElementClassDesc2(ShadingElementKind::kAlpha)};
    }();
    const int i = int(kind);
    if (i < 0 || i >= kKindCount)
        throw std::invalid_argument("shading element kind " + std::to_string(i) + " is unknown");
    return descs[size_t(i)];
}

void RegisterShadingElementClasses(ClassDirectory& directory) {
    BlockDescs();
    for (int i = 0; i < kKindCount; ++i)
        directory.Register(&ShadingElementClassDesc(ShadingElementKind(i)));
}

ShadingRenderElement::ShadingRenderElement(ShadingElementKind kind) : kind_(kind) {
    BlockDescs();
    ShadingElementClassDesc(kind).MakeAutoParamBlocks(this);
}

Class_ID ShadingRenderElement::ClassID() const { return ShadingElementClassDesc(kind_).ClassID(); }

std::string ShadingRenderElement::ClassName() const { return kClassNames[size_t(kind_)]; }

IParamBlock2* ShadingRenderElement::Params() const {
    return dynamic_cast<IParamBlock2*>(
        const_cast<ShadingRenderElement*>(this)->GetReference(kRefParams));
}

bool ShadingRenderElement::IsEnabled() const {
    IParamBlock2* p = Params();
    return p && p->GetBool(kElemEnabled);
}

std::string ShadingRenderElement::ElementName() const {
    IParamBlock2* p = Params();
    const std::string name = p ? p->GetStr(kElemName) : std::string();
    return name.empty() ? ClassName() : name;
}

ReferenceTarget* ShadingRenderElement::Clone(RemapDir& remap) {
    auto* clone = new ShadingRenderElement(kind_);
    if (IParamBlock2* p = Params()) clone->ReplaceReference(kRefParams, remap.CloneRef(p));
    BaseClone(this, clone, remap);
    return clone;
}
