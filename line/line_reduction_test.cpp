#include "line_reduction.h"

#include <gtest/gtest.h>

#include "hold.h"
#include "node.h"

namespace {

class LineReductionTest : public ::testing::Test {
  protected:
    void SetUp() override { theHold.Clear(); }
    void TearDown() override { theHold.Clear(); }
};

TEST_F(LineReductionTest, NewObjectsAreNumberedAndFallFromOneToATenth) {
    RefHolder first(NewLineReduction(1));
    RefHolder second(NewLineReduction(2));
    KvrnLineReduction* a = AsLineReduction(first.Get());
    KvrnLineReduction* b = AsLineReduction(second.Get());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const std::string prefix = "Reduction Settings#";
    ASSERT_EQ(a->GetName().rfind(prefix, 0), 0u) << a->GetName();
    EXPECT_EQ(std::stoi(b->GetName().substr(prefix.size())),
              std::stoi(a->GetName().substr(prefix.size())) + 1);

    EXPECT_EQ(a->CurveControl()->GetCCFlags(), 128);
    ICurve* curve = a->Curve();
    ASSERT_EQ(curve->GetNumPts(), 2);
    EXPECT_EQ(curve->GetPoint(0).flags, kCurvePointCornerFlags);
    EXPECT_EQ(curve->GetPoint(1).flags, kCurvePointCornerFlags);
    EXPECT_EQ(curve->GetPoint(0).out, Point2(0.05f, -1.0f));
    EXPECT_EQ(curve->GetPoint(1).in, Point2(-0.5f, 0.1f));

    auto settings = ReductionSettingsOf(*a, 0, Matrix3());
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->start, 100.0f);
    EXPECT_EQ(settings->end, 1000.0f);
    EXPECT_EQ(settings->objectReference, 0);
    EXPECT_FLOAT_EQ(settings->curve->Evaluate(0.0f), 1.0f);
    EXPECT_FLOAT_EQ(settings->curve->Evaluate(1.0f), 0.1f);
    // Monotone fall in between.
    float last = 2.0f;
    for (float x = 0.0f; x <= 1.0f; x += 0.0625f) {
        const float y = settings->curve->Evaluate(x);
        EXPECT_LE(y, last) << x;
        last = y;
    }
}

TEST_F(LineReductionTest, BakedCurveTakesTheLastSampleAtOneAndInterpolates253And254AtPoint99) {
    RefHolder holder(NewLineReduction(1));
    ICurve* curve = AsLineReduction(holder.Get())->Curve();
    // Zero-length handles: y = x exactly, so sample i is i / 255.
    curve->SetPoint(0, CurvePoint{{0.0f, 0.0f}, {}, {}, kCurvePointCornerFlags});
    curve->SetPoint(1, CurvePoint{{1.0f, 1.0f}, {}, {}, kCurvePointCornerFlags});
    auto baked = BakeCurve(curve);
    ASSERT_NE(baked, nullptr);
    EXPECT_FLOAT_EQ(baked->Evaluate(1.0f), 1.0f);
    EXPECT_FLOAT_EQ(baked->Evaluate(5.0f), 1.0f);
    EXPECT_FLOAT_EQ(baked->Evaluate(-1.0f), 0.0f);
    const float s253 = 253.0f / 255.0f;
    const float s254 = 254.0f / 255.0f;
    const float weight = 0.99f * 256.0f - 253.0f;
    EXPECT_NEAR(baked->Evaluate(0.99f), s253 + (s254 - s253) * weight, 1e-6f);
    EXPECT_GT(baked->Evaluate(0.99f), 0.99f);  // not the nearest sample's value

    curve->SetNumPts(0);
    EXPECT_EQ(BakeCurve(curve), nullptr);
    EXPECT_EQ(ReductionSettingsOf(*AsLineReduction(holder.Get()), 0, Matrix3()), nullptr);
}

TEST_F(LineReductionTest, ObjectReferenceNeedsANodeAndRecordsItsWorldPosition) {
    RefHolder holder(NewLineReduction(2));
    KvrnLineReduction* reduction = AsLineReduction(holder.Get());
    IParamBlock2* params = reduction->Params();
    params->SetValue(kReductionObjectEnable, 0, true);
    EXPECT_EQ(ReductionSettingsOf(*reduction, 0, Matrix3()), nullptr);

    RefHolder node(new INode);
    static_cast<INode*>(node.Get())->SetLocalTM(Matrix3::Translation(Point3(1.0f, 2.0f, 3.0f)));
    params->SetValue(kReductionObjectNode, 0, ParamValue(node.Get()));
    params->SetValue(kReductionStart, 0, 0.0);  // below the range
    params->SetValue(kReductionEnd, 0, 250.0);
    auto settings = ReductionSettingsOf(*reduction, 0, Matrix3::Translation(Point3(0, 0, -9)));
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->objectReference, 1);
    EXPECT_EQ(settings->referencePosition.x, 1.0f);
    EXPECT_EQ(settings->referencePosition.y, 2.0f);
    EXPECT_EQ(settings->referencePosition.z, 3.0f);
    EXPECT_EQ(settings->start, 1.0f);
    EXPECT_EQ(settings->end, 250.0f);

    // Switched off, the node is ignored and distances are depths again.
    params->SetValue(kReductionObjectEnable, 0, false);
    settings = ReductionSettingsOf(*reduction, 0, Matrix3());
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->objectReference, 0);
}

TEST_F(LineReductionTest, CloneOwnsItsCurveAndKeepsTheNode) {
    RefHolder holder(NewLineReduction(1));
    KvrnLineReduction* reduction = AsLineReduction(holder.Get());
    RefHolder node(new INode);
    reduction->Params()->SetValue(kReductionObjectNode, 0, ParamValue(node.Get()));
    RefPtr<ReferenceTarget> copy = CloneRefHierarchy(reduction);
    KvrnLineReduction* clone = AsLineReduction(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->GetName(), reduction->GetName());
    EXPECT_NE(clone->CurveControl(), reduction->CurveControl());
    EXPECT_EQ(clone->CurveControl()->GetCCFlags(), 128);
    EXPECT_EQ(clone->Params()->GetINode(kReductionObjectNode), node.Get());
    clone->Curve()->SetNumPts(0);
    EXPECT_EQ(reduction->Curve()->GetNumPts(), 2);
}

}  // namespace
