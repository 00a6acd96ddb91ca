#include "reduction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "render_object_info.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

TEST(BakedCurve, SamplesAtI255AndLooksUpWith256) {
    const BakedCurve curve([](float x) { return x * x; });
    const auto& s = curve.Samples();
    EXPECT_EQ(s[0], 0.0f);
    EXPECT_NEAR(s[255], 1.0f, 1e-6f);
    EXPECT_NEAR(s[100], (100.0f / 255) * (100.0f / 255), 1e-6f);

    // 0.99 * 256 = 253.44: between samples 253 and 254, though sample 252 is nearest to 0.99.
    const float at099 = curve.Evaluate(0.99f);
    EXPECT_NEAR(at099, s[253] + (s[254] - s[253]) * 0.44f, 1e-5f);
    EXPECT_NEAR(curve.Evaluate(0.5f), s[128], 1e-7f);  // i = 128 exactly

    EXPECT_EQ(curve.Evaluate(0.998f), s[255]);  // i = 255 is outside 0 to 254
    EXPECT_EQ(curve.Evaluate(-0.25f), s[0]);
    EXPECT_EQ(curve.Evaluate(std::numeric_limits<float>::quiet_NaN()), s[0]);
}

TEST(ReductionSettings, DistanceFromTheCameraOrAReferencePoint) {
    std::array<float, 256> ramp;
    for (int i = 0; i < 256; ++i) ramp[i] = 1.0f - static_cast<float>(i) / 255.0f;
    ReductionSettings r;
    r.start = 100.0f;
    r.end = 1000.0f;
    r.curve = std::make_shared<BakedCurve>(ramp);

    EXPECT_EQ(r.Position(50.0f), 0.0f);
    EXPECT_EQ(r.Position(2000.0f), 1.0f);
    EXPECT_NEAR(r.Position(325.0f), 0.25f, 1e-6f);
    ReductionSettings swapped = r;
    swapped.start = 1000.0f;
    swapped.end = 100.0f;
    EXPECT_EQ(swapped.Position(50.0f), 1.0f);
    EXPECT_NEAR(swapped.Position(775.0f), 0.25f, 1e-6f);
    ReductionSettings equal = r;
    equal.end = equal.start;
    EXPECT_EQ(equal.Position(100.0f), 0.0f);
    EXPECT_EQ(equal.Position(100.5f), 1.0f);

    // From the camera: the depth -z. 325 in front is a quarter of the way: 1 - 64/255.
    Camera camera;
    const float quarter = 1.0f - 64.0f / 255.0f;
    EXPECT_NEAR(ReductionFactor(&r, {40.0f, -30.0f, -325.0f}, camera), quarter, 1e-5f);
    EXPECT_EQ(ReductionFactor(&r, {0.0f, 0.0f, -5000.0f}, camera), 0.0f);

    // From a reference point at world (0, 0, 0), which the camera puts 100 in front of it.
    camera.worldToCam.row[3] = {0.0f, 0.0f, -100.0f};
    r.objectReference = 1;
    r.referencePosition = {0.0f, 0.0f, 0.0f};
    EXPECT_NEAR(ReductionFactor(&r, {195.0f, 0.0f, -360.0f}, camera), quarter, 1e-5f);  // 325 off
    EXPECT_EQ(ReductionFactor(&r, {0.0f, 0.0f, -100.0f}, camera), 1.0f);  // at the reference

    // Absent settings or curve: no reduction.
    EXPECT_EQ(ReductionFactor(nullptr, {0.0f, 0.0f, -5000.0f}, camera), 1.0f);
    r.curve.reset();
    EXPECT_EQ(ReductionFactor(&r, {0.0f, 0.0f, -5000.0f}, camera), 1.0f);
}

TEST(TexmapContext, FlatAndTriangleContextsAnswerFromTheirPoint) {
    TexmapContext2D flat;
    flat.u = 0.25f;
    flat.v = 0.75f;
    EXPECT_EQ(flat.TextureCoord(1), (Point3{0.25f, 0.75f, 0.0f}));

    // A unit box seen from above in parallel projection: camera space equals world space.
    Camera camera = test::TopParallelCamera({0, 0, 0}, 200, 100, 10.0f);
    auto box = test::MakeBox({0, 0, -3}, {1, 1, -2}, camera);
    // Channel 1 covers every face; channel 2 only the first two.
    auto uv = std::make_shared<UVMesh>();
    uv->vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    for (size_t f = 0; f < box->faces.size(); ++f) uv->faces.push_back({0, 1, 2});
    box->mapChannels[1] = uv;
    auto partial = std::make_shared<UVMesh>(*uv);
    partial->faces.resize(2);
    box->mapChannels[2] = partial;
    Scene scene(camera, {box});

    TexmapContext3D context(scene);
    // Face 2 is the first triangle of the top side (z = -2), corners 4, 5, 7.
    context.Set(0, 2, {0.5f, 0.25f, 0.25f}, {50.0f, 25.0f}, -2.0f);
    EXPECT_NEAR(context.ShadedPoint().z, -2.0f, 1e-6f);
    EXPECT_EQ(context.Normal(), (Point3{0.0f, 0.0f, 1.0f}));
    EXPECT_EQ(context.ViewDirection(), (Point3{0.0f, 0.0f, -1.0f}));  // parallel
    EXPECT_FALSE(context.IsBackFace());
    EXPECT_EQ(context.TextureCoord(1), (Point3{0.25f, 0.25f, 0.0f}));
    EXPECT_EQ(context.TextureCoord(2), (Point3{}));  // the channel lacks this face
    EXPECT_EQ(context.TextureCoord(kMapChannelCount), (Point3{}));
    context.Set(0, 0, {1.0f, 0.0f, 0.0f}, {}, -3.0f);  // the bottom side faces away
    EXPECT_TRUE(context.IsBackFace());
    EXPECT_THROW(context.Set(1, 0, {}, {}, 0.0f), std::out_of_range);
    EXPECT_THROW(context.Set(0, 12, {}, {}, 0.0f), std::out_of_range);

    // Perspective: the view direction is the point normalised. An empty image has reciprocal 0.
    Camera eye = camera;
    eye.parallel = 0;
    eye.width = 0;
    Scene perspective(eye, {test::MakeBox({0, 0, -3}, {1, 1, -2}, eye)});
    TexmapContext3D far(perspective);
    EXPECT_EQ(far.InvWidth(), 0.0f);
    far.Set(0, 2, {0.0f, 0.0f, 1.0f}, {}, -2.0f);  // corner 7 at (1, 1, -2)
    const Point3 v = far.ViewDirection();
    EXPECT_NEAR(v.x, 1.0f / std::sqrt(6.0f), 1e-6f);
    EXPECT_NEAR(v.z, -2.0f / std::sqrt(6.0f), 1e-6f);
}

}  // namespace
}  // namespace KvrnLib
