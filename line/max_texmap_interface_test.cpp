#include "max_texmap_interface.h"

#include <gtest/gtest.h>

#include "bitmap_tex.h"
#include "brush.h"
#include "checker.h"
#include "hold.h"
#include "noise_tex.h"

namespace {

class MaxTexmapInterfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        theHold.Clear();
        brushHolder_.Set(NewBrush(1));
        brush_ = AsBrush(brushHolder_.Get());
        brush_->SetName("Ink");
        checkerHolder_.Set(CheckerClassDesc().Create(false));
        checker_ = static_cast<Checker*>(checkerHolder_.Get());
        checker_->Params()->SetValue(kCheckerColor1, 0, ParamValue(Color(1.0f, 0.0f, 0.0f)));
        checker_->Params()->SetValue(kCheckerColor2, 0, ParamValue(Color(0.0f, 0.0f, 1.0f)));
    }
    void TearDown() override { theHold.Clear(); }

    static KvrnLib::ColorFloat At(const KvrnLib::TexmapInterface& map, float u, float v) {
        KvrnLib::TexmapContext2D context;
        context.u = u;
        context.v = v;
        return map.EvalColor(context);
    }

    RefHolder brushHolder_;
    KvrnBrush* brush_ = nullptr;
    RefHolder checkerHolder_;
    Checker* checker_ = nullptr;
};

TEST_F(MaxTexmapInterfaceTest, ShadeContextAnswersFromTheEngineContext) {
    KvrnLib::TexmapContext2D context;
    context.u = 0.25f;
    context.v = 0.75f;
    KvrnLibShadeContext sc(context, 160);
    EXPECT_EQ(sc.UVW(1), Point3(0.25f, 0.75f, 0.0f));
    EXPECT_EQ(sc.UVW(3), Point3(0.25f, 0.75f, 0.0f));
    EXPECT_EQ(sc.P(), Point3(0.25f, 0.75f, 0.0f));
    EXPECT_EQ(sc.N(), Point3(0.0f, 0.0f, -1.0f));
    EXPECT_EQ(sc.V(), Point3(0.0f, 0.0f, 1.0f));
    EXPECT_EQ(sc.DUVW(1), Point3());
    EXPECT_EQ(sc.NodeID(), -1);
    EXPECT_EQ(sc.AmbientLight(), Color(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(sc.CurTime(), 160);
    EXPECT_FALSE(sc.backFace);
    Point3 bump[3] = {Point3(1, 1, 1), Point3(1, 1, 1), Point3(1, 1, 1)};
    sc.DPdUVW(1, bump);
    EXPECT_EQ(bump[2], Point3());

    EXPECT_EQ(MakeTexmapInterface(nullptr, 0), nullptr);
}

TEST_F(MaxTexmapInterfaceTest, BrushColourMapEvaluatesToTheCheckerColours) {
    checker_->GetUVGen()->Params()->SetValue(kUTiling, 0, 2.0);
    ASSERT_TRUE(brush_->Params()->SetValue(kBrushColorMap, 0, ParamValue(checker_)));
    const KvrnLib::BrushDrawSettings b = BrushDrawSettingsOf(*brush_, 0);
    ASSERT_NE(b.colorMap, nullptr);
    EXPECT_EQ(b.sizeMap, nullptr);
    EXPECT_EQ(b.brushMap, nullptr);
    EXPECT_EQ(b.noiseMap, nullptr);
    // Two repeats across u: cells a quarter wide.
    const struct {
        float u, v, r, b;
    } cases[] = {{0.1f, 0.1f, 1, 0}, {0.3f, 0.1f, 0, 1}, {0.6f, 0.1f, 1, 0}, {0.6f, 0.8f, 0, 1}};
    for (const auto& c : cases) {
        const KvrnLib::ColorFloat got = At(*b.colorMap, c.u, c.v);
        EXPECT_EQ(got.r, c.r) << c.u << ", " << c.v;
        EXPECT_EQ(got.b, c.b) << c.u << ", " << c.v;
        EXPECT_EQ(got.a, 1.0f);
    }
    KvrnLib::TexmapContext2D context;
    context.u = 0.3f;
    context.v = 0.1f;
    EXPECT_FLOAT_EQ(b.colorMap->EvalMono(context), 1.0f / 3.0f);

    brush_->Params()->SetValue(kBrushColorMapEnable, 0, false);
    EXPECT_EQ(BrushDrawSettingsOf(*brush_, 0).colorMap, nullptr);
    brush_->Params()->SetValue(kBrushColorMapEnable, 0, true);
    brush_->Params()->SetValue(kBrushColorMapOpacity, 0, 0.0);
    EXPECT_EQ(BrushDrawSettingsOf(*brush_, 0).colorMap, nullptr);
}

TEST_F(MaxTexmapInterfaceTest, SizeBrushAndNoiseMapsFollowTheirSwitches) {
    brush_->SetSubTexmap(2, checker_);
    KvrnBrushDetail* detail = brush_->Detail();
    ASSERT_NE(detail, nullptr);
    detail->SetSubTexmap(0, checker_);
    auto* noise = static_cast<Texmap*>(NoiseClassDesc().Create(false));
    detail->SetSubTexmap(1, noise);

    KvrnLib::BrushDrawSettings b = BrushDrawSettingsOf(*brush_, 0);
    EXPECT_NE(b.sizeMap, nullptr);
    EXPECT_NE(b.brushMap, nullptr);
    EXPECT_NE(b.noiseMap, nullptr);
    EXPECT_EQ(At(*b.brushMap, 0.1f, 0.1f).r, 1.0f);

    brush_->Params()->SetValue(kBrushSizeMapEnable, 0, false);
    detail->Block(kDetailBasic)->SetValue(kMapOpacity, 0, 0.0);
    detail->Block(kDetailNoise)->SetValue(kNoiseMapEnable, 0, false);
    b = BrushDrawSettingsOf(*brush_, 0);
    EXPECT_EQ(b.sizeMap, nullptr);
    EXPECT_EQ(b.brushMap, nullptr);
    EXPECT_EQ(b.noiseMap, nullptr);
}

TEST_F(MaxTexmapInterfaceTest, MapErrorsNameTheBrushTheSlotAndTheFile) {
    auto* bitmap = static_cast<BitmapTex*>(BitmapTexClassDesc().Create(false));
    bitmap->SetName("Paper");
    bitmap->Params()->SetValue(kBitmapFileName, 0, "/nonexistent/paper.png");
    brush_->Detail()->SetSubTexmap(0, bitmap);
    try {
        BrushDrawSettingsOf(*brush_, 0);
        FAIL() << "no error for a missing bitmap";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        EXPECT_EQ(
            message.rfind("Ink: map \"Paper\": /nonexistent/paper.png: cannot read texture", 0), 0u)
            << message;
    }
    // Switched off, the broken map is not touched.
    brush_->Detail()->Block(kDetailBasic)->SetValue(kMapEnable, 0, false);
    EXPECT_NO_THROW(BrushDrawSettingsOf(*brush_, 0));
}

}  // namespace
