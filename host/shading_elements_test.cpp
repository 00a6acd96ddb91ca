#include "shading_elements.h"

#include <gtest/gtest.h>

#include "node.h"
#include "shade_renderer.h"

namespace KvrnHost {
namespace {

constexpr ShadingElementKind kAllKinds[] = {
    ShadingElementKind::kDiffuse,    ShadingElementKind::kSpecular,
    ShadingElementKind::kShadow,     ShadingElementKind::kSelfIllum,
    ShadingElementKind::kReflection, ShadingElementKind::kZDepth,
    ShadingElementKind::kNormals,    ShadingElementKind::kObjectID,
    ShadingElementKind::kMaterialID, ShadingElementKind::kAlpha};

TEST(ShadingElements, ClassesRegisterOnceAndCreateElementsOfTheirKind) {
    ClassDirectory directory;
    RegisterShadingElementClasses(directory);
    RegisterShadingElementClasses(directory);
    EXPECT_EQ(directory.Count(), 10);
    for (ShadingElementKind kind : kAllKinds) {
        ClassDesc2& desc = ShadingElementClassDesc(kind);
        RefPtr<ReferenceTarget> made(
            directory.CreateInstance(RENDER_ELEMENT_CLASS_ID, desc.ClassID()));
        auto* element = dynamic_cast<ShadingRenderElement*>(made.get());
        ASSERT_NE(element, nullptr) << desc.ClassName();
        EXPECT_EQ(element->Kind(), kind);
        EXPECT_EQ(element->ClassName(), desc.ClassName());
        EXPECT_EQ(element->ElementName(), desc.ClassName());
        EXPECT_TRUE(element->IsEnabled());
    }
    EXPECT_EQ(ShadingElementClassDesc(ShadingElementKind::kSelfIllum).ClassName(),
              "SelfIllumination");

    // Its own name and switch, kept by a clone.
    RefPtr<ShadingRenderElement> depth(new ShadingRenderElement(ShadingElementKind::kZDepth));
    depth->Params()->SetValue(kElemName, 0, ParamValue(std::string("Depth pass")));
    depth->Params()->SetValue(kElemEnabled, 0, ParamValue(0));
    depth->Params()->SetValue(kElemZMax, 0, ParamValue(12.5f));
    RefPtr<ReferenceTarget> copy = CloneRefHierarchy(depth.get());
    auto* cloned = dynamic_cast<ShadingRenderElement*>(copy.get());
    ASSERT_NE(cloned, nullptr);
    EXPECT_NE(cloned->Params(), depth->Params());
    EXPECT_EQ(cloned->Kind(), ShadingElementKind::kZDepth);
    EXPECT_EQ(cloned->ElementName(), "Depth pass");
    EXPECT_FALSE(cloned->IsEnabled());
    EXPECT_EQ(cloned->Params()->GetFloat(kElemZMax), 12.5f);
}

// A surface of constant diffuse and specular parts, its own effects channel.
class PartsMtl : public Mtl {
  public:
    void Shade(ShadeContext& sc) override {
        sc.out.parts.diffuse = {0.5f, 0.25f, 0.0f};
        sc.out.parts.specular = {0.1f, 0.1f, 0.1f};
        sc.out.c = sc.out.parts.diffuse + sc.out.parts.specular;
        sc.out.gbufId = 3;
    }
};

TEST(ShadingElements, RendererFillsEveryEnabledElement) {
    // A 2 x 2 square 10 units away (depth 10) in parallel view, object channel 7, over the
    // left half of a 40 x 20 frame down to row 14; the rest is empty.
    RenderSetup setup;
    setup.settings.width = 40;
    setup.settings.height = 20;
    setup.shading.enabled = true;
    setup.shading.samples = 1;
    setup.shading.adaptive = false;
    setup.shading.filter = PixelFilter::kBox;
    setup.shading.filterRadius = 0.5f;
    std::vector<RefPtr<ShadingRenderElement>> elements;
    for (ShadingElementKind kind : kAllKinds) {
        elements.emplace_back(new ShadingRenderElement(kind));
        setup.elements.emplace_back(elements.back().get());
    }
    elements[5]->Params()->SetValue(kElemZMin, 0, ParamValue(5.0f));
    elements[5]->Params()->SetValue(kElemZMax, 0, ParamValue(15.0f));
    elements[1]->Params()->SetValue(kElemEnabled, 0, ParamValue(0));

    auto mesh = std::make_shared<Mesh>();
    mesh->verts = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    Face a, b;
    a.v = {0, 1, 2};
    b.v = {0, 2, 3};
    mesh->faces = {a, b};
    RefPtr<INode> node(new INode);
    node->SetGBufID(7);
    RefPtr<Mtl> mtl(new PartsMtl);
    RenderGlobalContext gc;
    gc.setup = &setup;
    gc.devWidth = 40;
    gc.devHeight = 20;
    gc.projType = PROJ_PARALLEL;
    gc.xc = 10;  // the square's centre at (10, 5): rows 15 to 19 are empty
    gc.yc = 5;
    gc.xscale = 10;
    gc.yscale = -10;
    RenderInstance ri;
    ri.node = node.get();
    ri.mtl = mtl.get();
    ri.mesh = mesh;
    ri.cornerNormals = std::make_shared<std::vector<Point3>>(ComputeCornerNormals(*mesh));
    ri.objToCam = Matrix3::Translation({0, 0, -10});
    gc.instances.push_back(ri);

    Bitmap frame(40, 20);
    ShadeRenderer renderer;
    ASSERT_TRUE(renderer.Render(0, frame, gc, nullptr));
    const auto at = [&](int i, int x, int y) {
        return elements[size_t(i)]->GetPBitmap()->Pixel(x, y);
    };
    EXPECT_EQ(elements[1]->GetPBitmap(), nullptr);
    const int hx = 10, hy = 10, mx = 30, my = 10;  // a covered and an empty pixel
    EXPECT_EQ(at(0, hx, hy), (BMM_Color_fl{0.5f, 0.25f, 0.0f, 1.0f}));
    EXPECT_EQ(at(0, mx, my), (BMM_Color_fl{0, 0, 0, 0}));
    EXPECT_EQ(at(2, hx, hy), (BMM_Color_fl{0, 0, 0, 1}));  // nothing lost to shadows
    EXPECT_NEAR(at(5, hx, hy).r, 0.5f, 1e-5f);             // depth 10 halfway from 5 to 15
    EXPECT_EQ(at(5, mx, my), (BMM_Color_fl{0, 0, 0, 0}));
    EXPECT_EQ(at(5, hx, 17), (BMM_Color_fl{0, 0, 0, 0}));
    EXPECT_EQ(at(6, hx, hy), (BMM_Color_fl{0.5f, 0.5f, 1.0f, 1.0f}));  // normal (0, 0, 1)
    const BMM_Color_fl objectColour = at(7, hx, hy);
    EXPECT_EQ(objectColour.a, 1.0f);
    EXPECT_GT(objectColour.r + objectColour.g + objectColour.b, 0.0f);
    EXPECT_NE(at(8, hx, hy), objectColour);  // channel 3 is another colour than 7
    EXPECT_EQ(at(9, hx, hy), (BMM_Color_fl{1, 1, 1, 1}));
    EXPECT_EQ(at(9, mx, my), (BMM_Color_fl{0, 0, 0, 1}));
    // The square's edge at x = 20 falls between pixels 19 and 20.
    EXPECT_EQ(at(9, 19, hy).r, 1.0f);
    EXPECT_EQ(at(9, 20, hy).r, 0.0f);

    // Shaded a row at a time, every element comes out the same.
    std::vector<std::shared_ptr<Bitmap>> first;
    for (const auto& element : elements) first.push_back(element->GetBitmapPtr());
    for (const auto& element : elements)
        if (element->IsEnabled()) element->SetPBitmap(std::make_shared<Bitmap>(40, 20));
    ShadeRenderer banded;
    banded.SetSampleMemory(1);
    ASSERT_TRUE(banded.Render(0, frame, gc, nullptr));
    for (size_t i = 0; i < elements.size(); ++i) {
        if (!first[i]) continue;
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 40; ++x)
                ASSERT_EQ(elements[i]->GetPBitmap()->Pixel(x, y), first[i]->Pixel(x, y))
                    << i << ": " << x << ", " << y;
    }
}

// An element of another module: it takes what materials write in its slot of elementVals.
class SlotElement : public IRenderElement {
  public:
    bool IsEnabled() const override { return true; }
    std::string ElementName() const override { return "slot"; }
};

// Writes a value into element slot 1 on its left half only.
class SlotMtl : public Mtl {
  public:
    void Shade(ShadeContext& sc) override {
        sc.out.c = {1, 1, 1};
        if (sc.P().x < 0) sc.out.elementVals[1] = {0.25f, 0.5f, 0.75f, 1.0f};
    }
};

TEST(ShadingElements, ElementSlotsOfOtherElementsTakeWhatMaterialsWrite) {
    RenderSetup setup;
    setup.settings.width = 20;
    setup.settings.height = 20;
    setup.shading.enabled = true;
    RefPtr<SlotElement> unused(new SlotElement), written(new SlotElement);
    setup.elements = {RefPtr<IRenderElement>(unused.get()), RefPtr<IRenderElement>(written.get())};
    // The unused element's bitmap keeps what it held.
    unused->SetPBitmap(std::make_shared<Bitmap>(20, 20));
    unused->GetPBitmap()->Fill({0, 1, 0, 1});
    auto mesh = std::make_shared<Mesh>();
    mesh->verts = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    Face a, b;
    a.v = {0, 1, 2};
    b.v = {0, 2, 3};
    mesh->faces = {a, b};
    RefPtr<Mtl> mtl(new SlotMtl);
    RenderGlobalContext gc;
    gc.setup = &setup;
    gc.devWidth = gc.devHeight = 20;
    gc.projType = PROJ_PARALLEL;
    gc.xc = gc.yc = 10;
    gc.xscale = 5;  // the square covers pixels 5 to 14
    gc.yscale = -5;
    RenderInstance ri;
    ri.mtl = mtl.get();
    ri.mesh = mesh;
    ri.objToCam = Matrix3::Translation({0, 0, -10});
    gc.instances.push_back(ri);
    Bitmap frame(20, 20);
    ShadeRenderer renderer;
    ASSERT_TRUE(renderer.Render(0, frame, gc, nullptr));
    EXPECT_EQ(unused->GetPBitmap()->Pixel(7, 10), (BMM_Color_fl{0, 1, 0, 1}));
    ASSERT_NE(written->GetPBitmap(), nullptr);
    EXPECT_EQ(written->GetPBitmap()->Pixel(7, 10), (BMM_Color_fl{0.25f, 0.5f, 0.75f, 1.0f}));
    EXPECT_EQ(written->GetPBitmap()->Pixel(12, 10), (BMM_Color_fl{0, 0, 0, 0}));
    EXPECT_EQ(written->GetPBitmap()->Pixel(2, 10), (BMM_Color_fl{0, 0, 0, 0}));
}

}  // namespace
}  // namespace KvrnHost
