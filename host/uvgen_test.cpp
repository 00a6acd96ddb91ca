#include "uvgen.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "checker.h"
#include "hold.h"
#include "tex_output.h"

namespace {

const Color kRed(1.0f, 0.0f, 0.0f);
const Color kBlue(0.0f, 0.0f, 1.0f);

class CheckerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        theHold.Clear();
        holder_.Set(CheckerClassDesc().Create(false));
        checker_ = static_cast<Checker*>(holder_.Get());
        checker_->Params()->SetValue(kCheckerColor1, 0, ParamValue(kRed));
        checker_->Params()->SetValue(kCheckerColor2, 0, ParamValue(kBlue));
    }
    void TearDown() override { theHold.Clear(); }

    IParamBlock2* Coords() { return checker_->GetUVGen()->Params(); }
    AColor At(float u, float v) {
        Interval valid = FOREVER;
        checker_->Update(0, valid);
        FixedShadeContext sc;
        sc.uvw = Point3(u, v, 0.0f);
        return checker_->EvalColor(sc);
    }

    RefHolder holder_;
    Checker* checker_ = nullptr;
};

TEST_F(CheckerTest, CellsFollowTilingAndOffset) {
    Coords()->SetValue(kUTiling, 0, 2.0);
    Coords()->SetValue(kUOffset, 0, 0.1);
    // u' = (u - 0.1) * 2 repeated over 0..1; the cell of each axis is floor(2 * coordinate).
    struct Case {
        float u, v;
        Color expected;
    } cases[] = {
        {0.2f, 0.1f, kRed},    // u' 0.2: cells (0, 0)
        {0.4f, 0.1f, kBlue},   // u' 0.6: (1, 0)
        {0.4f, 0.7f, kRed},    // (1, 1)
        {0.7f, 0.3f, kRed},    // u' 1.2 -> 0.2
        {0.05f, 0.3f, kBlue},  // u' -0.1 -> 0.9
    };
    for (const Case& c : cases) {
        const AColor got = At(c.u, c.v);
        EXPECT_EQ(got.Rgb(), c.expected) << c.u << ", " << c.v;
        EXPECT_EQ(got.a, 1.0f);
    }
}

TEST_F(CheckerTest, RotationMirrorAndUntiledCoordinates) {
    EXPECT_EQ(At(0.25f, 0.25f).Rgb(), kRed);
    Coords()->SetValue(kWAngle, 0, 90.0);
    // A quarter turn about the centre takes (0.25, 0.25) to (0.75, 0.25).
    EXPECT_EQ(At(0.25f, 0.25f).Rgb(), kBlue);
    Coords()->SetValue(kWAngle, 0, 0.0);

    EXPECT_EQ(At(1.2f, 0.25f).Rgb(), kRed);  // repeats: 0.2
    Coords()->SetValue(kUMirror, 0, true);
    EXPECT_EQ(At(1.2f, 0.25f).Rgb(), kBlue);  // reflected: 0.8
    Coords()->SetValue(kUMirror, 0, false);
    Coords()->SetValue(kUTile, 0, false);
    EXPECT_EQ(At(1.2f, 0.25f), AColor(0.0f, 0.0f, 0.0f, 0.0f));
    EXPECT_EQ(At(0.8f, 0.25f).Rgb(), kBlue);
}

TEST_F(CheckerTest, SubMapsReplaceColoursAndSoftenBlendsAcrossEdges) {
    auto* inner = static_cast<Checker*>(CheckerClassDesc().Create(false));
    const Color green(0.0f, 1.0f, 0.0f);
    inner->Params()->SetValue(kCheckerColor1, 0, ParamValue(green));
    checker_->SetSubTexmap(0, inner);
    EXPECT_EQ(At(0.25f, 0.25f).Rgb(), green);
    checker_->Params()->SetValue(kCheckerMap1On, 0, false);
    EXPECT_EQ(At(0.25f, 0.25f).Rgb(), kRed);

    checker_->Params()->SetValue(kCheckerSoften, 0, 0.2);
    const AColor edge = At(0.5f, 0.25f);
    EXPECT_FLOAT_EQ(edge.r, 0.5f);
    EXPECT_FLOAT_EQ(edge.b, 0.5f);
    EXPECT_EQ(At(0.25f, 0.25f).Rgb(), kRed);  // a cell's middle stays pure
}

TEST_F(CheckerTest, FootprintBoxFiltersTowardsTheMeanColour) {
    Coords()->SetValue(kUTiling, 0, 4.0);
    Coords()->SetValue(kVTiling, 0, 4.0);
    Interval valid = FOREVER;
    checker_->Update(0, valid);
    // Spread of the blue share over a row of points, and its mean, for a footprint in uv.
    auto spread = [this](float footprint, float& mean) {
        float lo = 1.0f, hi = 0.0f, sum = 0.0f;
        const int n = 97;
        for (int i = 0; i < n; ++i) {
            FixedShadeContext sc;
            sc.uvw = Point3(0.013f + 0.0101f * float(i), 0.37f + 0.0053f * float(i), 0.0f);
            sc.duvw = Point3(footprint, footprint, 0.0f);
            const float blue = checker_->EvalColor(sc).b;
            lo = std::min(lo, blue);
            hi = std::max(hi, blue);
            sum += blue;
        }
        mean = sum / float(n);
        return hi - lo;
    };
    float mean = 0.0f;
    EXPECT_FLOAT_EQ(spread(0.0f, mean), 1.0f);  // sharp cells
    float previous = 1.0f;
    for (float footprint : {0.15f, 0.18f, 0.21f}) {
        const float s = spread(footprint, mean);
        EXPECT_LT(s, previous) << footprint;
        EXPECT_NEAR(mean, 0.5f, 0.08f) << footprint;
        previous = s;
    }
    // A footprint of a whole repeat (a quarter of uv at tiling 4) covers both cells equally.
    EXPECT_NEAR(spread(0.25f, mean), 0.0f, 1e-5f);
    EXPECT_NEAR(mean, 0.5f, 1e-5f);

    // Half-way across a cell edge a one-cell box sees the two colours equally; off the edge by
    // a quarter of the box it sees three quarters of its own cell.
    FixedShadeContext sc;
    sc.uvw = Point3(0.0625f, 0.03125f, 0.0f);  // edge in u at 1/8, inside the first cell in v
    sc.duvw = Point3(0.125f, 0.0f, 0.0f);
    sc.uvw.x = 0.125f;
    EXPECT_NEAR(checker_->EvalColor(sc).b, 0.5f, 1e-5f);
    sc.uvw.x = 0.125f + 0.03125f;
    EXPECT_NEAR(checker_->EvalColor(sc).b, 0.75f, 1e-5f);
    // Without filtering the footprint is ignored.
    sc.filterMaps = false;
    EXPECT_EQ(checker_->EvalColor(sc).b, 1.0f);
}

TEST_F(CheckerTest, CloneHasItsOwnCoordinates) {
    RefHolder copy(CloneRefHierarchy(checker_).get());
    auto* clone = static_cast<Checker*>(copy.Get());
    ASSERT_NE(clone->GetUVGen(), nullptr);
    EXPECT_NE(clone->GetUVGen(), checker_->GetUVGen());
    clone->GetUVGen()->Params()->SetValue(kUTiling, 0, 3.0);
    EXPECT_FLOAT_EQ(Coords()->GetFloat(kUTiling), 1.0f);
    EXPECT_EQ(clone->Params()->GetColor(kCheckerColor2), kBlue);
}

TEST(TexOutputTest, InvertLevelOffsetCurveAmountAndClampApplyInOrder) {
    RefHolder holder(NewTexOutput());
    auto* out = static_cast<TexOutput*>(holder.Get());
    IParamBlock2* p = out->Params();
    auto update = [out] {
        Interval valid = FOREVER;
        out->Update(0, valid);
    };
    update();
    EXPECT_FLOAT_EQ(out->Filter(0.3f), 0.3f);

    p->SetValue(kOutputInvert, 0, true);
    update();
    EXPECT_FLOAT_EQ(out->Filter(0.2f), 0.8f);
    p->SetValue(kOutputAmount, 0, 0.5);
    update();
    EXPECT_FLOAT_EQ(out->Filter(0.2f), 0.4f);
    p->SetValue(kRgbLevel, 0, 2.0);
    p->SetValue(kRgbOffset, 0, 0.1);
    update();
    EXPECT_FLOAT_EQ(out->Filter(0.2f), 0.85f);  // (0.8 * 2 + 0.1) * 0.5
    p->SetValue(kOutputAmount, 0, 1.0);
    p->SetValue(kOutputClamp, 0, true);
    update();
    EXPECT_FLOAT_EQ(out->Filter(0.2f), 1.0f);
    const AColor c = out->Filter(AColor(0.2f, 0.7f, 1.0f, 0.25f));
    EXPECT_FLOAT_EQ(c.g, 0.7f);  // (0.3 * 2 + 0.1)
    EXPECT_FLOAT_EQ(c.b, 0.1f);
    EXPECT_FLOAT_EQ(c.a, 0.25f);

    // A straight falling line (corner points, no handles) turns the curve into an inversion.
    p->SetValue(kOutputInvert, 0, false);
    p->SetValue(kRgbLevel, 0, 1.0);
    p->SetValue(kRgbOffset, 0, 0.0);
    auto* control = new ICurveCtl;
    ICurve* curve = control->GetControlCurve(0);
    curve->SetNumPts(2);
    curve->SetPoint(0, CurvePoint{{0.0f, 1.0f}, {}, {}, kCurvePointCornerFlags});
    curve->SetPoint(1, CurvePoint{{1.0f, 0.0f}, {}, {}, kCurvePointCornerFlags});
    ASSERT_TRUE(p->SetValue(kOutputCurve, 0, ParamValue(control)));
    EXPECT_EQ(out->GetReference(TexOutput::kRefCurve), control);
    update();
    EXPECT_NEAR(out->Filter(0.3f), 0.7f, 1e-3f);
    EXPECT_NEAR(out->Filter(0.9f), 0.1f, 1e-3f);
}

}  // namespace
