#include "render_light.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "light.h"
#include "node.h"
#include "test_util.h"

namespace KvrnHost {
namespace {

using RenderLightTest = HoldTest;

// A sample at p facing +z towards a camera-space light; shadow rays report `pass` and record
// which nodes they were told to skip.
class LitPoint : public FixedShadeContext {
  public:
    Color Transmission(const Point3& /*from*/, const Point3& dir, float maxDist,
                       const INode* const* skip, int skipCount) override {
        ++rays;
        lastDir = dir;
        lastDist = maxDist;
        skipped.assign(skip, skip + skipCount);
        return pass;
    }
    Color pass{1.0f, 1.0f, 1.0f};
    int rays = 0;
    Point3 lastDir;
    float lastDist = 0.0f;
    std::vector<const INode*> skipped;
};

struct Rig {
    RefPtr<LightObject> light;
    RefPtr<INode> node;
    RenderGlobalContext gc;

    explicit Rig(LightType type) : light(new LightObject(type)), node(new INode) {
        node->SetObjectRef(light.get());
        LightInstance li;
        li.node = node.get();
        li.light = light.get();
        gc.lights.push_back(li);
    }
    // Puts the light at pos shining along -z (camera space is the light's space here).
    void Place(const Point3& pos) { gc.lights[0].lightToCam = Matrix3::Translation(pos); }
    std::unique_ptr<RenderLight> Make(bool shadows = true) {
        auto lights = MakeRenderLights(gc, shadows);
        EXPECT_EQ(lights.size(), 1u);
        return lights.empty() ? nullptr : std::move(lights[0]);
    }
};

Color Lit(RenderLight& light, LitPoint& sc, float* dotNl = nullptr) {
    Color c;
    Point3 dir;
    float nl = 0.0f, coef = 0.0f;
    light.Illuminate(sc, sc.n, c, dir, nl, coef);
    if (dotNl) *dotNl = nl;
    return c;
}

TEST_F(RenderLightTest, SpotConeIsFullInsideTheHotspotAndEndsAtTheFalloff) {
    Rig rig(LightType::kSpot);
    rig.light->SetFallsize(60.0f);
    rig.light->SetHotspot(30.0f);
    rig.light->SetIntensity(0, 2.0f, false);
    rig.Place(Point3(0, 0, 10));
    auto light = rig.Make();
    LitPoint sc;
    sc.n = Point3(0, 0, 1);
    const auto at = [&](float degreesOffAxis) {
        sc.p = Point3(10.0f * std::tan(degreesOffAxis * std::numbers::pi_v<float> / 180.0f), 0, 0);
        return Lit(*light, sc).r;
    };
    EXPECT_FLOAT_EQ(at(0.0f), 2.0f);
    EXPECT_FLOAT_EQ(at(14.9f), 2.0f);  // hotspot half-angle 15
    EXPECT_GT(at(16.0f), 0.0f);
    EXPECT_LT(at(16.0f), 2.0f);
    EXPECT_GT(at(22.0f), at(26.0f));  // falls off monotonically
    EXPECT_GT(at(29.8f), 0.0f);
    EXPECT_EQ(at(30.1f), 0.0f);  // falloff half-angle 30
    // The spot lights only what faces it.
    sc.p = Point3(0, 0, 0);
    sc.n = Point3(0, 0, -1);
    float nl = 1.0f;
    EXPECT_EQ(Lit(*light, sc, &nl), Color());
    EXPECT_LT(nl, 0.0f);
}

TEST_F(RenderLightTest, DecayAndAttenuationFollowDistance) {
    Rig rig(LightType::kOmni);
    IParamBlock2& p = *rig.light->Params();
    p.SetValue(kLightDecayType, 0, 2);
    p.SetValue(kLightDecayStart, 0, 10.0);
    rig.Place(Point3(0, 0, 0));
    LitPoint sc;
    sc.n = Point3(0, 0, 1);
    const auto at = [&](RenderLight& light, float dist) {
        sc.p = Point3(0, 0, -dist);
        return Lit(light, sc).g;
    };
    auto light = rig.Make();
    EXPECT_FLOAT_EQ(at(*light, 5.0f), 1.0f);  // inside the decay start
    EXPECT_FLOAT_EQ(at(*light, 20.0f), 0.25f);
    EXPECT_FLOAT_EQ(at(*light, 40.0f), 1.0f / 16.0f);

    p.SetValue(kLightDecayType, 0, 0);
    p.SetValue(kLightFarAttenEnable, 0, true);
    p.SetValue(kLightFarAttenStart, 0, 10.0);
    p.SetValue(kLightFarAttenEnd, 0, 20.0);
    p.SetValue(kLightNearAttenEnable, 0, true);
    p.SetValue(kLightNearAttenStart, 0, 2.0);
    p.SetValue(kLightNearAttenEnd, 0, 4.0);
    light = rig.Make();
    EXPECT_EQ(at(*light, 1.0f), 0.0f);
    EXPECT_FLOAT_EQ(at(*light, 3.0f), 0.5f);
    EXPECT_FLOAT_EQ(at(*light, 8.0f), 1.0f);
    EXPECT_FLOAT_EQ(at(*light, 15.0f), 0.5f);
    EXPECT_EQ(at(*light, 25.0f), 0.0f);
}

TEST_F(RenderLightTest, ShadowsTakeDensityAndColourAndSkipExcludedCasters) {
    Rig rig(LightType::kDirectional);
    IParamBlock2& p = *rig.light->Params();
    rig.light->SetShadow(true);
    rig.Place(Point3(0, 0, 100));
    // Two casters: one in a group the light's shadow exclusion names.
    RefPtr<INode> group(new INode), member(new INode), other(new INode);
    group->AttachChild(member.get());
    for (INode* n : {member.get(), other.get()}) {
        RenderInstance ri;
        ri.node = n;
        rig.gc.instances.push_back(ri);
    }
    p.Append(kLightExcludeList, ParamValue(static_cast<ReferenceTarget*>(group.get())));
    p.SetValue(kLightExcludeMode, 0, 1);  // shadow casting only

    LitPoint sc;
    sc.n = Point3(0, 0, 1);
    sc.pass = Color(0.0f, 0.0f, 0.0f);
    auto light = rig.Make();
    EXPECT_EQ(Lit(*light, sc), Color());
    EXPECT_EQ(sc.rays, 1);
    EXPECT_FLOAT_EQ(sc.lastDir.z, 1.0f);
    ASSERT_EQ(sc.skipped.size(), 1u);
    EXPECT_EQ(sc.skipped[0], member.get());
    EXPECT_TRUE(light->Illuminates(member.get()));  // illumination is not excluded

    // Half density leaves half the light; a red shadow colour tints what the blocker took.
    p.SetValue(kLightShadowDensity, 0, 0.5);
    p.SetValue(kLightShadowColor, 0, ParamValue(Color(1, 0, 0)));
    light = rig.Make();
    const Color half = Lit(*light, sc);
    EXPECT_FLOAT_EQ(half.r, 1.0f);
    EXPECT_FLOAT_EQ(half.g, 0.5f);
    // Unshadowed light, render-wide shadows off and shadow-mode samples trace nothing.
    Color c;
    Point3 dir;
    float nl, coef;
    sc.rays = 0;
    EXPECT_TRUE(light->IlluminateUnshadowed(sc, sc.n, c, dir, nl, coef));
    EXPECT_EQ(c, Color(1, 1, 1));
    EXPECT_EQ(Lit(*rig.Make(false), sc), Color(1, 1, 1));
    sc.mode = SCMODE_SHADOW;
    EXPECT_EQ(Lit(*light, sc), Color(1, 1, 1));
    EXPECT_EQ(sc.rays, 0);
}

TEST_F(RenderLightTest, ExcludeAndIncludeListsDecideWhatIsLit) {
    Rig rig(LightType::kAmbient);
    IParamBlock2& p = *rig.light->Params();
    RefPtr<INode> a(new INode), b(new INode);
    p.Append(kLightExcludeList, ParamValue(static_cast<ReferenceTarget*>(a.get())));
    p.SetValue(kLightExcludeMode, 0, 0);
    auto light = rig.Make();
    EXPECT_FALSE(light->Illuminates(a.get()));
    EXPECT_TRUE(light->Illuminates(b.get()));
    EXPECT_TRUE(light->ambientOnly);
    EXPECT_FALSE(light->CastsShadows());
    p.SetValue(kLightIncludeMode, 0, true);
    light = rig.Make();
    EXPECT_TRUE(light->Illuminates(a.get()));
    EXPECT_FALSE(light->Illuminates(b.get()));
    // An ambient light arrives whatever the normal.
    LitPoint sc;
    sc.n = Point3(0, 0, -1);
    float nl = 0.0f;
    EXPECT_EQ(Lit(*light, sc, &nl), Color(1, 1, 1));
    EXPECT_EQ(nl, 1.0f);
}

}  // namespace
}  // namespace KvrnHost
