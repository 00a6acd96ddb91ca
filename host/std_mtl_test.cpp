#include "std_mtl.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <vector>

#include "checker.h"
#include "gradient_tex.h"
#include "hold.h"
#include "host_classes.h"
#include "light_desc.h"
#include "multi_mtl.h"

namespace {

// A directional light towards `toLight`; `reach` is the share that passes the shadows.
class DirectionalLight : public LightDesc {
  public:
    DirectionalLight(Color c, Point3 toLight, float reachIn = 1.0f)
        : color_(c), dir_(Normalize(toLight)), reach(reachIn) {}
    bool Illuminate(ShadeContext& sc, const Point3& n, Color& c, Point3& dir, float& nl,
                    float& coef) override {
        if (!IlluminateUnshadowed(sc, n, c, dir, nl, coef)) return false;
        c = c * reach;
        return true;
    }
    bool IlluminateUnshadowed(ShadeContext&, const Point3& n, Color& c, Point3& dir, float& nl,
                              float& coef) override {
        dir = ambientOnly ? n : dir_;
        nl = ambientOnly ? 1.0f : DotProd(n, dir_);
        coef = nl;
        c = nl > 0.0f ? color_ : Color();
        return nl > 0.0f;
    }

  private:
    Color color_;
    Point3 dir_;

  public:
    float reach;
};

// A point on a surface facing the camera at (0, 0, -5), u along x and v along y.
class SurfaceContext : public FixedShadeContext {
  public:
    SurfaceContext() {
        p = Point3(0.0f, 0.0f, -5.0f);
        uvw = Point3(0.5f, 0.5f, 0.0f);
    }
    Point3 Ng() override { return ng; }
    void SetNormal(const Point3& nIn) override { n = nIn; }
    void DPdUVW(int, Point3 basis[3]) override {
        basis[0] = Point3(1.0f, 0.0f, 0.0f);
        basis[1] = Point3(0.0f, 1.0f, 0.0f);
        basis[2] = Point3(0.0f, 0.0f, 1.0f);
    }
    Color AmbientLight() override { return ambient; }
    int NumLights() override { return int(lights.size()); }
    LightDesc* Light(int i) override { return lights[size_t(i)]; }

    Point3 ng{0.0f, 0.0f, 1.0f};
    Color ambient;
    std::vector<LightDesc*> lights;
};

void ExpectColorNear(const Color& a, const Color& b, const char* what) {
    EXPECT_NEAR(a.r, b.r, 1e-4f) << what;
    EXPECT_NEAR(a.g, b.g, 1e-4f) << what;
    EXPECT_NEAR(a.b, b.b, 1e-4f) << what;
}

class MaterialTest : public ::testing::Test {
  protected:
    void SetUp() override { theHold.Clear(); }
    void TearDown() override { theHold.Clear(); }
};

StdMtl* NewStd(RefHolder& holder) {
    holder.Set(StdMtlClassDesc().Create(false));
    return static_cast<StdMtl*>(holder.Get());
}

TEST_F(MaterialTest, StandardMaterialStatesTwoSidedAndReadsFractions) {
    RefHolder holder;
    StdMtl* mtl = NewStd(holder);
    EXPECT_EQ(mtl->Requirements(-1) & MTLREQ_2SIDE, 0u);
    mtl->Params()->SetValue(kStdTwoSided, 0, true);
    EXPECT_EQ(mtl->Requirements(-1) & MTLREQ_2SIDE, MTLREQ_2SIDE);
    EXPECT_TRUE(mtl->GetTwoSided(0));

    mtl->Params()->SetValue(kStdOpacity, 0, 40.0);
    mtl->Params()->SetValue(kStdDiffuse, 0, ParamValue(Color(0.1f, 0.2f, 0.3f)));
    EXPECT_FLOAT_EQ(mtl->GetOpacity(0), 0.4f);
    EXPECT_EQ(mtl->GetDiffuse(0), Color(0.1f, 0.2f, 0.3f));
    EXPECT_FLOAT_EQ(mtl->GetGlossiness(0), 0.1f);

    auto* map = static_cast<Texmap*>(CheckerClassDesc().Create(false));
    ASSERT_TRUE(mtl->Params()->SetValue(kStdDiffuseMap, 0, ParamValue(map)));
    EXPECT_EQ(mtl->GetSubTexmap(StdMtl::kMapDiffuse), map);
    EXPECT_EQ(mtl->GetActiveMap(StdMtl::kMapDiffuse, 0), map);
    mtl->Params()->SetValue(kStdDiffuseMapEnable, 0, false);
    EXPECT_EQ(mtl->GetActiveMap(StdMtl::kMapDiffuse, 0), nullptr);
    EXPECT_FLOAT_EQ(mtl->GetMapAmount(StdMtl::kMapBump, 0), 0.3f);

    RefHolder copy(CloneRefHierarchy(mtl).get());
    auto* clone = static_cast<StdMtl*>(copy.Get());
    EXPECT_TRUE(clone->GetTwoSided(0));
    EXPECT_EQ(clone->GetName(), mtl->GetName());
    ASSERT_NE(clone->GetSubTexmap(StdMtl::kMapDiffuse), nullptr);
    EXPECT_NE(clone->GetSubTexmap(StdMtl::kMapDiffuse), map);

    StdMtl bare;  // built without its class descriptor: no block
    EXPECT_THROW(bare.GetDiffuse(0), std::runtime_error);
}

// Shades sc with mtl updated at time 0.
void ShadeAt(StdMtl* mtl, ShadeContext& sc) {
    Interval valid = FOREVER;
    mtl->Update(0, valid);
    sc.out.Reset();
    mtl->Shade(sc);
}

TEST_F(MaterialTest, StandardMaterialIsLambertPlusBlinn) {
    RefHolder holder;
    StdMtl* mtl = NewStd(holder);
    IParamBlock2* p = mtl->Params();
    const Color diffuse(0.5f, 0.4f, 0.3f), ambient(0.1f, 0.2f, 0.3f), white(1, 1, 1);
    p->SetValue(kStdDiffuse, 0, ParamValue(diffuse));
    p->SetValue(kStdAmbient, 0, ParamValue(ambient));
    p->SetValue(kStdSpecular, 0, ParamValue(Color(1.0f, 0.5f, 1.0f)));
    p->SetValue(kStdSpecularLevel, 0, 50.0);
    p->SetValue(kStdGlossiness, 0, 30.0);  // exponent 2^4
    p->SetValue(kStdSoften, 0, 0.0);
    mtl->SetGBufID(3);

    SurfaceContext sc;
    sc.ambient = Color(0.2f, 0.2f, 0.2f);
    // 45 degrees from the normal: the half vector lies 22.5 degrees off it.
    DirectionalLight key(Color(1.0f, 0.8f, 0.6f), Point3(1.0f, 0.0f, 1.0f), 0.25f);
    DirectionalLight fill(Color(0.1f, 0.1f, 0.1f), Point3(0.0f, 0.0f, 1.0f));
    fill.ambientOnly = true;
    sc.lights = {&key, &fill};
    ShadeAt(mtl, sc);

    const float nl = std::sqrt(0.5f), nh = std::cos(3.14159265f / 8.0f);
    const Color keyColor = Color(1.0f, 0.8f, 0.6f) * 0.25f;
    const Color diff = diffuse * keyColor * nl;
    const Color highlight = Color(1.0f, 0.5f, 1.0f) * keyColor * (0.5f * std::pow(nh, 16.0f));
    const Color amb = ambient * Color(0.3f, 0.3f, 0.3f);
    ExpectColorNear(sc.out.c, amb + diff + highlight, "colour");
    ExpectColorNear(sc.out.t, Color(), "opaque");
    ExpectColorNear(sc.out.parts.diffuse, diff, "diffuse part");
    ExpectColorNear(sc.out.parts.specular, highlight, "specular part");
    ExpectColorNear(sc.out.parts.shadow, diffuse * Color(1.0f, 0.8f, 0.6f) * (0.75f * nl),
                    "shadow part: the three quarters the key light lost");
    EXPECT_EQ(sc.out.gbufId, 3);

    // Soften 1 fades the highlight by smoothstep(N.L).
    p->SetValue(kStdSoften, 0, 1.0);
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.parts.specular, highlight * (nl * nl * (3.0f - 2.0f * nl)), "softened");

    // A light that does not affect specular adds no highlight; one that does not affect
    // diffuse adds no diffuse.
    key.affectSpecular = false;
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.parts.specular, Color(), "no specular");
    key.affectSpecular = true;
    key.affectDiffuse = false;
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.parts.diffuse, Color(), "no diffuse");
    key.affectDiffuse = true;

    // Faceted shading takes the face normal; a face turned away is shaded from the side seen.
    sc.n = Normalize(Point3(-1.0f, 0.0f, 1.0f));  // smooth normal at right angles to the light
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.parts.diffuse, Color(), "smooth normal unlit");
    p->SetValue(kStdFaceted, 0, true);
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.parts.diffuse, diff, "faceted");
    sc.ng = Point3(0.0f, 0.0f, -1.0f);
    sc.n = sc.ng;
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.parts.diffuse, diff, "back face shaded as its front");
}

TEST_F(MaterialTest, StandardMaterialSelfIlluminatesAndLetsLightThrough) {
    RefHolder holder;
    StdMtl* mtl = NewStd(holder);
    IParamBlock2* p = mtl->Params();
    const Color diffuse(0.8f, 0.4f, 0.2f), white(1, 1, 1);
    p->SetValue(kStdDiffuse, 0, ParamValue(diffuse));
    p->SetValue(kStdAmbient, 0, ParamValue(Color()));
    SurfaceContext sc;
    DirectionalLight light(Color(0.5f, 0.5f, 0.5f), Point3(0.0f, 0.0f, 1.0f));
    sc.lights = {&light};

    // Half self-illuminated: halfway between the lit colour and the diffuse colour.
    p->SetValue(kStdSelfIllum, 0, 50.0);
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.c, diffuse * 0.5f * 0.5f + diffuse * 0.5f, "half self-illuminated");
    ExpectColorNear(sc.out.parts.selfIllum, diffuse * 0.5f, "self-illumination part");
    p->SetValue(kStdSelfIllum, 0, 100.0);
    sc.lights.clear();
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.c, diffuse, "full self-illumination needs no light");
    // A self-illumination colour glows on top of the lit surface.
    p->SetValue(kStdSelfIllumColorOn, 0, true);
    p->SetValue(kStdSelfIllumColor, 0, ParamValue(Color(0.0f, 0.1f, 0.0f)));
    sc.lights = {&light};
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.c, diffuse * 0.5f + Color(0.0f, 0.1f, 0.0f), "glow colour");
    p->SetValue(kStdSelfIllumColorOn, 0, false);
    p->SetValue(kStdSelfIllum, 0, 0.0);

    // 40% opaque: 60% of what is behind shows and the colour is weighted by 0.4.
    EXPECT_FALSE(mtl->MayBeTransparent(-1));
    p->SetValue(kStdOpacity, 0, 40.0);
    ShadeAt(mtl, sc);
    EXPECT_TRUE(mtl->MayBeTransparent(-1));
    ExpectColorNear(sc.out.t, white * 0.6f, "transparency");
    ExpectColorNear(sc.out.c, diffuse * 0.5f * 0.4f, "colour weighted by opacity");
    // Shadow rays: the light passing is tinted by the diffuse colour as the glass gets opaque.
    sc.mode = SCMODE_SHADOW;
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.t, (white * 0.6f + diffuse * 0.4f) * 0.6f, "shadow transmission");
    p->SetValue(kStdOpacity, 0, 0.0);
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.t, white, "clear glass casts no shadow");
    p->SetValue(kStdOpacity, 0, 100.0);
    ShadeAt(mtl, sc);
    ExpectColorNear(sc.out.t, Color(), "opaque blocks");
}

TEST_F(MaterialTest, BumpTiltsTheNormalDownhillAndIsRestored) {
    RefHolder holder;
    StdMtl* mtl = NewStd(holder);
    IParamBlock2* p = mtl->Params();
    // A linear gradient is 1 - v as a value: the surface falls towards +v, which is +y here.
    auto* ramp = static_cast<Texmap*>(GradientClassDesc().Create(false));
    p->SetValue(kStdBumpMap, 0, ParamValue(ramp));
    p->SetValue(kStdBumpMapAmount, 0, 30.0);
    p->SetValue(kStdAmbient, 0, ParamValue(Color()));
    p->SetValue(kStdDiffuse, 0, ParamValue(Color(1.0f, 1.0f, 1.0f)));

    SurfaceContext sc;
    // A light at right angles to the unbumped normal: only a tilt towards +y lights it.
    DirectionalLight light(Color(1.0f, 1.0f, 1.0f), Point3(0.0f, 1.0f, 0.0f));
    sc.lights = {&light};
    ShadeAt(mtl, sc);
    const float expected = 0.3f / std::sqrt(1.0f + 0.09f);
    EXPECT_NEAR(sc.out.c.r, expected, 2e-3f);
    EXPECT_EQ(sc.n, Point3(0.0f, 0.0f, 1.0f)) << "normal restored";

    // Seen from behind the bump is a dent: the tilt turns away from the light.
    sc.ng = sc.n = Point3(0.0f, 0.0f, -1.0f);
    ShadeAt(mtl, sc);
    EXPECT_NEAR(sc.out.c.r, 0.0f, 1e-6f);
    // A negative amount turns the bump back towards it.
    p->SetValue(kStdBumpMapAmount, 0, -30.0);
    ShadeAt(mtl, sc);
    EXPECT_NEAR(sc.out.c.r, expected, 2e-3f);
}

TEST_F(MaterialTest, MultiMaterialFindsSubMaterialsByIdModuloTheCount) {
    RefHolder holder(MultiMtlClassDesc().Create(false));
    auto* multi = static_cast<MultiMtl*>(holder.Get());
    multi->SetNumSubMtls(3);
    ASSERT_EQ(multi->NumSubMtls(), 3);
    RefHolder subs[3];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(multi->GetSubMtlID(i), i);
        multi->SetSubMtl(i, NewStd(subs[i]));
    }
    EXPECT_EQ(multi->MaterialForID(1), multi->GetSubMtl(1));
    EXPECT_EQ(multi->MaterialForID(7), multi->GetSubMtl(1));  // 7 mod 3
    EXPECT_EQ(multi->MaterialForID(-2), multi->GetSubMtl(1));

    multi->SetSubMtlID(2, 25);  // an exact ID wins over the modulo
    EXPECT_EQ(multi->MaterialForID(25), multi->GetSubMtl(2));
    EXPECT_EQ(multi->MaterialForID(2), nullptr);  // nothing has ID 2 any more
    multi->SetSubMtlEnabled(1, false);
    EXPECT_EQ(multi->MaterialForID(1), nullptr);

    // Growing continues the IDs after the largest.
    multi->SetNumSubMtls(4);
    EXPECT_EQ(multi->GetSubMtlID(3), 26);
    EXPECT_EQ(multi->GetSubMtl(3), nullptr);

    static_cast<StdMtl*>(multi->GetSubMtl(0))->Params()->SetValue(kStdTwoSided, 0, true);
    EXPECT_EQ(multi->Requirements(0), MTLREQ_2SIDE);
    EXPECT_EQ(multi->Requirements(25), 0u);
    EXPECT_EQ(multi->Requirements(-1), MTLREQ_2SIDE);

    multi->SetSubMtlName(0, "Walls");
    RefHolder copy(CloneRefHierarchy(multi).get());
    auto* clone = static_cast<MultiMtl*>(copy.Get());
    ASSERT_EQ(clone->NumSubMtls(), 4);
    EXPECT_EQ(clone->GetSubMtlName(0), "Walls");
    EXPECT_NE(clone->GetSubMtl(0), multi->GetSubMtl(0));
    ASSERT_NE(clone->GetSubMtl(0), nullptr);
    EXPECT_EQ(clone->Requirements(0), MTLREQ_2SIDE);

    theHold.Begin();
    multi->SetNumSubMtls(1);
    theHold.Accept("shrink");
    EXPECT_EQ(multi->NumSubMtls(), 1);
    theHold.Undo();
    EXPECT_EQ(multi->NumSubMtls(), 4);
}

// The scene files set parameters by internal name: every class registers, builds its blocks and
// names each parameter in lower camel case.
TEST_F(MaterialTest, MultiMaterialShadesWithTheSubMaterialOfTheFaceId) {
    RefHolder holder(MultiMtlClassDesc().Create(false));
    auto* multi = static_cast<MultiMtl*>(holder.Get());
    multi->SetNumSubMtls(2);
    multi->SetGBufID(5);
    RefHolder subs[2];
    const Color colors[2] = {Color(1.0f, 0.0f, 0.0f), Color(0.0f, 0.0f, 1.0f)};
    for (int i = 0; i < 2; ++i) {
        StdMtl* sub = NewStd(subs[i]);
        sub->Params()->SetValue(kStdSelfIllum, 0, 100.0);
        sub->Params()->SetValue(kStdDiffuse, 0, ParamValue(colors[i]));
        multi->SetSubMtl(i, sub);
    }
    static_cast<StdMtl*>(subs[1].Get())->Params()->SetValue(kStdOpacity, 0, 50.0);
    multi->SetSubMtlID(1, 6);

    SurfaceContext sc;
    Interval valid = FOREVER;
    multi->Update(0, valid);
    auto shade = [&](int id) {
        sc.mtlNum = id;
        sc.out.Reset();
        multi->Shade(sc);
        return sc.out.c;
    };
    ExpectColorNear(shade(0), colors[0], "ID 0");
    ExpectColorNear(shade(6), colors[1] * 0.5f, "ID 6");
    ExpectColorNear(shade(2), colors[0], "ID 2 wraps to 0");
    EXPECT_TRUE(multi->MayBeTransparent(-1));
    EXPECT_TRUE(multi->MayBeTransparent(6));
    EXPECT_FALSE(multi->MayBeTransparent(0));

    // A disabled entry (or none) leaves the face opaque black on this material's channel.
    multi->SetSubMtlEnabled(0, false);
    multi->Update(0, valid);
    sc.out.c = Color(1, 1, 1);
    ExpectColorNear(shade(0), Color(), "disabled");
    ExpectColorNear(sc.out.t, Color(), "disabled is opaque");
    EXPECT_EQ(sc.out.gbufId, 5);

    // A sub-material that cannot be updated is named through the multi-material.
    RefHolder bare(new StdMtl);  // built without its class descriptor: no block
    static_cast<StdMtl*>(bare.Get())->SetName("Bare");
    multi->SetSubMtlEnabled(0, true);
    multi->SetSubMtl(0, static_cast<StdMtl*>(bare.Get()));
    try {
        multi->Update(0, valid);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(multi->GetName() + ": sub-material 1: Bare", 0), 0u)
            << e.what();
    }
}

TEST_F(MaterialTest, RegisteredClassesCreateBlocksWithLowerCamelCaseNames) {
    ClassDirectory directory;
    RegisterHostMaterialClasses(directory);
    RegisterHostMaterialClasses(directory);  // again: nothing changes
    ASSERT_EQ(directory.Count(), 8);
    for (int i = 0; i < directory.Count(); ++i) {
        ClassDesc2* desc = directory.Get(i);
        RefHolder holder(directory.CreateInstance(desc->SuperClassID(), desc->ClassID(), false));
        ReferenceTarget* object = holder.Get();
        ASSERT_NE(object, nullptr) << desc->ClassName();
        EXPECT_EQ(object->ClassID(), desc->ClassID());
        ASSERT_GE(object->NumParamBlocks(), 1) << desc->ClassName();
        const ParamBlockDesc2* block = object->GetParamBlock(0)->GetDesc();
        for (int p = 0; p < block->Count(); ++p) {
            const std::string& name = block->GetParamDefByIndex(p).internalName;
            ASSERT_FALSE(name.empty());
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(name[0])))
                << desc->ClassName() << "." << name;
            for (char c : name)
                EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)))
                    << desc->ClassName() << "." << name;
        }
    }
}

}  // namespace
