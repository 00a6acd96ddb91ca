#include "node.h"

#include <gtest/gtest.h>

#include <numbers>

#include "curve_ctl.h"
#include "test_util.h"

namespace KvrnHost {
namespace {

using NodeTest = HoldTest;

INode* AddNode(INode* parent, const std::string& name) {
    auto* node = new INode;
    node->SetName(name);
    parent->AttachChild(node);
    return node;
}

TEST_F(NodeTest, ClosedGroupsStandForTheirMembers) {
    Scene scene;
    INode* root = scene.GetRootNode();
    INode* box = AddNode(root, "Box");
    INode* head = AddNode(root, "Group");
    head->SetGroupHead(true);
    INode* a = AddNode(head, "A");
    INode* inner = AddNode(head, "Inner");
    inner->SetGroupHead(true);
    INode* b = AddNode(inner, "B");
    INode* open = AddNode(root, "Open");
    open->SetGroupHead(true);
    open->SetGroupHeadOpen(true);
    AddNode(open, "C");

    EXPECT_TRUE(a->IsGroupMember());
    EXPECT_EQ(ExpandClosedGroups({box, head, a, open}), (std::vector<INode*>{box, a, b, open}));
    head->SetGroupHeadOpen(true);
    EXPECT_EQ(ExpandClosedGroups({head}), (std::vector<INode*>{head}));
}

TEST_F(NodeTest, WalkIsDepthFirstInChildOrderAndFindsByExactName) {
    Scene scene;
    INode* root = scene.GetRootNode();
    INode* a = AddNode(root, "a");
    INode* b = AddNode(root, "b");
    INode* a1 = AddNode(a, "a1");
    INode* first = AddNode(root, "first");
    root->AttachChild(first, 0);
    EXPECT_EQ(scene.AllNodes(), (std::vector<INode*>{first, a, a1, b}));
    EXPECT_EQ(scene.FindNode("a1"), a1);
    EXPECT_EQ(scene.FindNode("A1"), nullptr);
    EXPECT_FALSE(a1->AttachChild(a));
}

TEST_F(NodeTest, DetachIsUndoableAndTheLastHoldFreesTheNode) {
    Scene scene;
    INode* node = AddNode(scene.GetRootNode(), "n");
    RefPtr<TestMtl> mtl(new TestMtl);
    node->SetMtl(mtl.get());
    theHold.Begin();
    node->Detach();
    theHold.Accept("detach");
    EXPECT_EQ(scene.GetRootNode()->NumberOfChildren(), 0);
    theHold.Undo();
    ASSERT_EQ(scene.GetRootNode()->GetChildNode(0), node);
    EXPECT_EQ(node->GetParentNode(), scene.GetRootNode());
    theHold.Clear();
    node->Detach();
    // The material's only other holder was the node.
    EXPECT_EQ(mtl->RefCount(), 1);
}

TEST_F(NodeTest, WorldTransformChainsLocalTransforms) {
    Scene scene;
    INode* parent = AddNode(scene.GetRootNode(), "p");
    INode* child = AddNode(parent, "c");
    parent->SetLocalTM(Matrix3::RotationZ(std::numbers::pi_v<float> / 2) *
                       Matrix3::Translation(Point3(10, 0, 0)));
    child->SetLocalTM(Matrix3::Translation(Point3(1, 0, 0)));
    Point3 p = child->GetNodeTM(0).PointTransform(Point3(0, 0, 0));
    EXPECT_NEAR(p.x, 10.0f, 1e-5f);
    EXPECT_NEAR(p.y, 1.0f, 1e-5f);
    Matrix3 tm = child->GetNodeTM(0);
    EXPECT_TRUE((tm * tm.Inverse()).IsIdentity(1e-5f));
}

TEST_F(NodeTest, CurveEvaluatesThroughItsPointsAndUndoesEdits) {
    RefPtr<ICurveCtl> ctl(new ICurveCtl);
    ICurve* curve = ctl->GetControlCurve(0);
    // Straight handles along the chord give the straight line.
    curve->SetNumPts(2);
    curve->SetPoint(0, {Point2(0, 1), Point2(), Point2(0.25f, -0.25f), kCurvePointCornerFlags});
    curve->SetPoint(1, {Point2(1, 0), Point2(-0.25f, 0.25f), Point2(), kCurvePointCornerFlags});
    EXPECT_NEAR(curve->GetValue(0.3f), 0.7f, 1e-4f);
    EXPECT_FLOAT_EQ(curve->GetValue(-1.0f), 1.0f);
    EXPECT_FLOAT_EQ(curve->GetValue(2.0f), 0.0f);
    // A flat out-handle keeps the curve above the line near the start.
    theHold.Begin();
    curve->SetPoint(0, {Point2(0, 1), Point2(), Point2(0.3f, 0), 0});
    curve->Insert(2, {Point2(0.5f, 5), Point2(), Point2(), 0});
    theHold.Accept("edit");
    EXPECT_GT(curve->GetValue(0.1f), 0.9f);
    EXPECT_FLOAT_EQ(curve->GetValue(0.5f), 5.0f);
    theHold.Undo();
    EXPECT_EQ(curve->GetNumPts(), 2);
    EXPECT_EQ(curve->GetPoint(0).flags, kCurvePointCornerFlags);
}

TEST_F(NodeTest, AnimatedTransformsInterpolateAndChildrenFollowTheirParent) {
    Scene scene;
    INode* parent = AddNode(scene.GetRootNode(), "p");
    INode* child = AddNode(parent, "c");
    parent->SetPosition(0, Point3(0, 0, 0), true);
    parent->SetPosition(100, Point3(10, 0, 0), true);
    // Scale, then rotation, then position, then the fixed transform.
    child->SetScale(0, Point3(2, 1, 1), false);
    child->SetRotation(0, Point3(0, 0, 90), false);
    child->SetPosition(0, Point3(0, 0, 5), false);
    child->SetLocalTM(Matrix3::Translation(Point3(100, 0, 0)));

    Point3 p = child->GetNodeTM(50).PointTransform(Point3(1, 0, 0));
    EXPECT_NEAR(p.x, 105.0f, 1e-4f);  // the parent is half-way at t = 50
    EXPECT_NEAR(p.y, 2.0f, 1e-4f);
    EXPECT_NEAR(p.z, 5.0f, 1e-4f);
    EXPECT_NEAR(child->GetNodeTM(200).GetTrans().x, 110.0f, 1e-4f);
    EXPECT_EQ(child->TMValidity(50), Interval(50, 50));
    EXPECT_EQ(child->TMValidity(200), Interval(100, TIME_PosInfinity));

    // An untouched node hands back its fixed transform bit for bit.
    INode* fixed = AddNode(scene.GetRootNode(), "f");
    Matrix3 tm = Matrix3::RotationX(0.3f) * Matrix3::Translation(Point3(1.1f, -2.3f, 0.7f));
    fixed->SetLocalTM(tm);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(fixed->GetNodeTM(0).GetRow(i), tm.GetRow(i));
}

TEST_F(NodeTest, TransformKeysAndFlagsAreUndoable) {
    Scene scene;
    INode* node = AddNode(scene.GetRootNode(), "n");
    theHold.Begin();
    node->SetPosition(0, Point3(1, 2, 3), true);
    node->SetRotation(10, Point3(0, 90, 0), true);
    node->Hide(true);
    node->SetRenderable(false);
    theHold.Accept("edit");
    EXPECT_TRUE(node->PositionController().IsKeyed());
    EXPECT_TRUE(node->IsHidden());
    theHold.Undo();
    EXPECT_FALSE(node->PositionController().IsKeyed());
    EXPECT_FALSE(node->RotationController().IsKeyed());
    EXPECT_FALSE(node->IsHidden());
    EXPECT_TRUE(node->Renderable());
    EXPECT_TRUE(node->GetNodeTM(0).IsIdentity(0.0f));
    theHold.Redo();
    EXPECT_EQ(node->GetPosition(0), Point3(1, 2, 3));
    EXPECT_FALSE(node->Renderable());
}

}  // namespace
}  // namespace KvrnHost
