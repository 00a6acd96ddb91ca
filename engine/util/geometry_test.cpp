#include "geometry.h"

#include <gtest/gtest.h>

#include <cstring>

#include "scene.h"

namespace KvrnLib {
namespace {

TEST(Geometry, EmptyBoxesHoldTheLargestFloat) {
    Box2 b2;
    Box3 b3;
    EXPECT_TRUE(b3.IsEmpty());
    b3.Add(Point3{1, -2, 3});
    EXPECT_FALSE(b3.IsEmpty());
    b3.Add(Box3{});  // adding an empty box changes nothing
    EXPECT_EQ(b3.max, (Point3{1, -2, 3}));

    b2.Add(Point2{5, 5});
    b2.Add(Point2{-1, 2});
    Box2 other;
    other.Add(Point2{4.5f, -3});
    other.Add(Point2{10, 2});
    EXPECT_TRUE(b2.Overlaps(other));
    Box2 far;
    far.Add(Point2{6, 6});
    EXPECT_FALSE(b2.Overlaps(far));
    EXPECT_FALSE(b2.Overlaps(Box2{}));
}

TEST(Geometry, TransformsComposeInvertAndMapNormals) {
    // Rotate 90 degrees about Z, scale x by 2 (applied first), then translate.
    Matrix3 scale;
    scale.row[0] = {2, 0, 0};
    Matrix3 rotate;
    rotate.row[0] = {0, 1, 0};
    rotate.row[1] = {-1, 0, 0};
    Matrix3 move;
    move.row[3] = {10, 20, 30};
    const Matrix3 m = scale * rotate * move;
    EXPECT_EQ(m.PointTransform({1, 0, 0}), (Point3{10, 22, 30}));
    EXPECT_EQ(m.PointTransform({0, 1, 0}), (Point3{9, 20, 30}));
    EXPECT_DOUBLE_EQ(m.Determinant(), 2.0);

    Matrix3 inverse;
    ASSERT_TRUE(m.Inverse(&inverse));
    const Point3 back = inverse.PointTransform(m.PointTransform({0.5f, -3, 7}));
    EXPECT_NEAR(back.x, 0.5f, 1e-5);
    EXPECT_NEAR(back.z, 7.0f, 1e-5);

    // A normal stays perpendicular to a transformed tangent under non-uniform scale.
    Matrix3 normalMatrix;
    ASSERT_TRUE(m.NormalMatrix(&normalMatrix));
    const Point3 tangent = m.VectorTransform({1, 1, 0});
    const Point3 normal = normalMatrix.VectorTransform({1, -1, 0});
    EXPECT_NEAR(Dot(tangent, normal), 0.0f, 1e-5);

    Matrix3 flat;
    flat.row[2] = {0, 0, 0};
    Matrix3 untouched;
    untouched.row[3] = {1, 2, 3};
    EXPECT_FALSE(flat.Inverse(&untouched));
    EXPECT_EQ(untouched.row[3], (Point3{1, 2, 3}));
}

TEST(Geometry, CameraProjectionAndDepthLimits) {
    Camera perspective;
    perspective.width = 200;
    perspective.height = 100;
    perspective.center = {100, 50};
    perspective.scale = {-100, 100};
    // Right of and above the view axis lands right of and above the centre (y grows down).
    const Point2 p = perspective.Project({1, 1, -2});
    EXPECT_EQ(p, (Point2{150.0f, 0.0f}));
    const Point2 atEye = perspective.Project({1e-9f, 0, 0});  // 1/Z taken as 1e10
    EXPECT_FLOAT_EQ(atEye.x, 100.0f - 100.0f * 1e-9f * 1e10f);

    perspective.SetDepthLimits(0.01f, 500.0f);
    EXPECT_EQ(perspective.nearZ, -0.1f);  // never nearer than 0.1
    EXPECT_EQ(perspective.farZ, -500.0f);
    perspective.SetDepthLimits(5.0f, 2.0f);  // near past far: no far limit is set
    EXPECT_EQ(perspective.nearZ, -5.0f);
    EXPECT_EQ(perspective.farZ, -500.0f);

    Camera parallel;
    parallel.parallel = 1;
    parallel.center = {10, 10};
    parallel.scale = {4, -4};
    const Point2 q = parallel.Project({1, 1, -7});
    EXPECT_EQ(q, (Point2{14.0f, 6.0f}));
    parallel.SetDepthLimits(3.0f, 1e30f);  // infinite far range: no depth limits at all
    EXPECT_EQ(parallel.nearZ, 1e30f);
    EXPECT_EQ(parallel.farZ, -1e30f);
}

}  // namespace
}  // namespace KvrnLib
