// Object offsets and look-at views: where render instances and cameras end up.
#include <gtest/gtest.h>

#include "node.h"
#include "test_util.h"

namespace {

void ExpectNear(const Point3& a, const Point3& b) {
    EXPECT_NEAR(a.x, b.x, 1e-5f);
    EXPECT_NEAR(a.y, b.y, 1e-5f);
    EXPECT_NEAR(a.z, b.z, 1e-5f);
}

TEST(NodePlacement, ObjectOffsetMovesTheObjectButNotTheChildren) {
    Scene scene;
    auto* parent = new INode;
    auto* child = new INode;
    scene.GetRootNode()->AttachChild(parent);
    parent->AttachChild(child);
    parent->SetPosition(0, {10, 0, 0}, false);
    parent->SetObjectOffsetTM(Matrix3::Translation({0, 5, 0}));
    ExpectNear(Point3(0, 0, 0) * parent->GetObjectTM(0), {10, 5, 0});
    ExpectNear(Point3(0, 0, 0) * parent->GetNodeTM(0), {10, 0, 0});
    ExpectNear(Point3(0, 0, 0) * child->GetObjectTM(0), {10, 0, 0});
}

TEST(NodePlacement, LookAtFollowsAnAnimatedTargetWithItsUpDirection) {
    Scene scene;
    auto* camera = new INode;
    auto* target = new INode;
    scene.GetRootNode()->AttachChild(camera);
    scene.GetRootNode()->AttachChild(target);
    camera->SetPosition(0, {0, -10, 0}, false);
    camera->SetLookAt(target, {0, 0, 1});
    target->SetPosition(0, {0, 0, 0}, true);
    target->SetPosition(100, {10, -10, 0}, true);

    const Matrix3 start = camera->GetNodeTM(0);
    ExpectNear(start.GetTrans(), {0, -10, 0});
    ExpectNear(start.GetRow(2), {0, -1, 0});  // back: from the target to the eye
    ExpectNear(start.GetRow(1), {0, 0, 1});
    ExpectNear(start.GetRow(0), {1, 0, 0});
    // At the end the target is straight along +X: the camera looks down +X.
    ExpectNear(camera->GetNodeTM(100).GetRow(2), {-1, 0, 0});
    EXPECT_FALSE(camera->TMValidity(50).InInterval(60));
    // Up along the view leaves the rotation alone rather than inventing one.
    camera->SetLookAt(target, {0, 1, 0});
    ExpectNear(camera->GetNodeTM(0).GetRow(0), {1, 0, 0});
}

}  // namespace
