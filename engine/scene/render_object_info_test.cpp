#include "render_object_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <latch>
#include <random>
#include <thread>

#include "test_util.h"

namespace KvrnLib {
namespace {

using Bound = FaceBoundingPack::Bound;

// Camera at the world origin looking down -z: camera space is world space.
Camera OriginCamera(float nearZ, float farZ) {
    Camera camera;
    camera.width = camera.height = 100;
    camera.center = {50, 50};
    camera.scale = {-100, 100};
    camera.nearZ = nearZ;
    camera.farZ = farZ;
    return camera;
}

std::shared_ptr<RenderObject> MakeMesh(std::vector<Point3> vertices,
                                       std::vector<std::array<int32_t, 3>> faces,
                                       const Camera& camera, uint32_t flags = 0) {
    auto mesh = std::make_shared<RenderObject>();
    mesh->vertices = std::move(vertices);
    for (const auto& f : faces) mesh->faces.push_back({f[0], f[1], f[2], flags, 0, 1});
    mesh->SetTransforms(Matrix3::Identity(), camera.worldToCam);
    return mesh;
}

// Bound of a face in the pack; empty for a face left out.
Bound BoundOf(const FaceBoundingPack& pack, int32_t face) {
    const auto it = std::find(pack.order.begin(), pack.order.end(), face);
    return it == pack.order.end() ? Bound{} : pack.bounds[size_t(it - pack.order.begin())];
}

// The pack's structural promises, checked against the facing bytes and screen points.
void ExpectPackConsistent(const RenderObjectInfoEx& info) {
    const FaceBoundingPack& pack = info.FaceBounds();
    const std::vector<uint8_t>& facing = info.FacingBytes();
    const size_t faceCount = info.object->faces.size();
    ASSERT_EQ(pack.bounds.size(), pack.order.size());

    std::vector<int> seen(faceCount, 0);
    for (int32_t f : pack.order) {
        ASSERT_GE(f, 0);
        ASSERT_LT(size_t(f), faceCount);
        ++seen[size_t(f)];
    }
    for (size_t f = 0; f < faceCount; ++f) {
        EXPECT_EQ(seen[f], IsFacingUnusable(facing[f]) ? 0 : 1) << "face " << f;
        if (!IsFacingUnusable(facing[f]) && (facing[f] & kFacingNearCountMask) == 0) {
            Box2 expected;
            for (int k = 0; k < 3; ++k)
                expected.Add(info.ScreenPoints()[size_t(info.object->faces[f].Vertex(k))]);
            const Bound bound = BoundOf(pack, int32_t(f));
            EXPECT_EQ(bound.screen.minX, expected.minX);
            EXPECT_EQ(bound.screen.maxY, expected.maxY);
        }
    }
    ASSERT_EQ(pack.codes.size(), pack.order.size());
    EXPECT_TRUE(std::is_sorted(pack.codes.begin(), pack.codes.end()));
}

// Side normals of test::MakeBox, in its side order.
const Point3 kBoxSideNormals[6] = {{0, 0, -1}, {0, 0, 1},  {0, -1, 0},
                                   {0, 1, 0},  {-1, 0, 0}, {1, 0, 0}};

TEST(RenderObjectInfo, BoxFacingAndNormalsFromCornerPlainAndMirrored) {
    // Plain box [0,1]^3 seen from (4,-5,3): sides +x, -y and +z face the eye.
    // The mirrored box is the same mesh placed with x -> -x: it occupies [-1,0] x [0,1]^2 and,
    // seen from (-4,-5,3), shows its sides that were +x (now -x in the world), -y and +z.
    for (const bool mirrored : {false, true}) {
        SCOPED_TRACE(mirrored ? "mirrored" : "plain");
        const Camera camera = test::LookAtCamera(
            {mirrored ? -4.0f : 4.0f, -5, 3}, {mirrored ? -0.5f : 0.5f, 0.5f, 0.5f}, 640, 480, 800);
        auto box = test::MakeBox({0, 0, 0}, {1, 1, 1}, camera);
        Matrix3 placement;
        if (mirrored) placement.row[0] = {-1, 0, 0};
        box->SetTransforms(placement, camera.worldToCam);
        const Scene scene(camera, {box});
        const RenderObjectInfoEx& info = scene.Info(0);
        EXPECT_EQ(info.IsMirrored(), mirrored);

        ASSERT_EQ(info.FacingBytes().size(), 12u);
        for (int f = 0; f < 12; ++f) {
            const int side = f / 2;
            const bool expectFront = side == 1 || side == 2 || side == 5;
            EXPECT_EQ(info.FacingBytes()[size_t(f)], expectFront ? 0x00 : 0x34) << "face " << f;
            Point3 worldNormal = kBoxSideNormals[side];
            if (mirrored) worldNormal.x = -worldNormal.x;
            const Point3 error =
                info.FaceNormals()[size_t(f)] - camera.worldToCam.VectorTransform(worldNormal);
            EXPECT_LT(Dot(error, error), 1e-9f) << "face " << f;
        }
        ExpectPackConsistent(info);
        EXPECT_EQ(info.FaceBounds().order.size(), 12u);  // back faces stay in the pack
    }
}

TEST(RenderObjectInfo, DegenerateAndOutOfRangeFacesAreUnusable) {
    const Camera camera = OriginCamera(-1, -100);
    // Vertex 3 sits where vertex 0 is.
    auto mesh = MakeMesh({{0, 0, -5}, {1, 0, -5}, {0, 1, -5}, {0, 0, -5}},
                         {{0, 1, 2}, {0, 0, 1}, {0, 3, 1}, {0, 1, 7}, {-1, 1, 2}}, camera);
    mesh->faces.push_back({2, 2, 1, kFaceTwoSided, 0, 1});
    const Scene scene(camera, {mesh});
    const RenderObjectInfoEx& info = scene.Info(0);
    EXPECT_EQ(info.FacingBytes(),
              (std::vector<uint8_t>{0x00, 0x33, 0x33, 0x33, 0x33, 0x33 | kFacingTwoSided}));
    const std::vector<Point3>& normals = info.FaceNormals();
    EXPECT_EQ(normals[0], (Point3{0, 0, 1}));
    for (size_t f = 1; f < normals.size(); ++f) EXPECT_EQ(normals[f], (Point3{0, 0, 0}));
    EXPECT_EQ(info.FaceBounds().order, std::vector<int32_t>{0});
    ExpectPackConsistent(info);
}

TEST(RenderObjectInfo, DepthLimitsEdgeOnAndTwoSidedFacingBytes) {
    const Camera camera = OriginCamera(-1, -100);
    // Faces: 0 in front of the near limit, 1 one vertex behind the camera, 2 two vertices past
    // near, 3 beyond far, 4 plane through the eye, 5 turned away.
    auto mesh = MakeMesh({{0, 0, -0.5f},
                          {1, 0, -0.5f},
                          {0, 1, -0.5f},
                          {0, 0, -2},
                          {1, 0, -2},
                          {0, 1, 2},
                          {0, 0, -2},
                          {1, 0, -0.5f},
                          {0, 1, -0.5f},
                          {0, 0, -200},
                          {1, 0, -200},
                          {0, 1, -200},
                          {0, 0, -5},
                          {1, 0, -5},
                          {0, 0, -6},
                          {0, 0, -5},
                          {0, 1, -5},
                          {1, 0, -5}},
                         {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {9, 10, 11}, {12, 13, 14}, {15, 16, 17}},
                         camera);
    mesh->faces.push_back({15, 16, 17, kFaceTwoSided, 0, 1});  // 6: turned away, two-sided
    mesh->faces.push_back({12, 13, 14, kFaceTwoSided, 0, 1});  // 7: edge-on, two-sided
    const Scene scene(camera, {mesh});
    const RenderObjectInfoEx& info = scene.Info(0);
    EXPECT_EQ(info.FacingBytes(),
              (std::vector<uint8_t>{0x33, 0x01, 0x02, 0x33, 0x33, 0x34, 0x0C, 0x3B}));

    // Faces past the near limit are clipped to z = -1 before projecting.
    const FaceBoundingPack& pack = info.FaceBounds();
    const Bound straddling = BoundOf(pack, 1);  // keeps (0,0,-2) (1,0,-2) (.75,.25,-1) (0,.25,-1)
    EXPECT_NEAR(straddling.screen.maxX, 125, 1e-3);
    EXPECT_NEAR(straddling.screen.minY, 25, 1e-3);
    EXPECT_EQ(straddling.minZ, -2.0f);
    EXPECT_EQ(straddling.maxZ, -1.0f);
    const Bound twoPast = BoundOf(pack, 2);  // keeps (0,0,-2) (2/3,0,-1) (0,2/3,-1)
    EXPECT_NEAR(twoPast.screen.maxX, 50 + 200.0 / 3, 1e-3);
    EXPECT_NEAR(twoPast.screen.minY, 50 - 200.0 / 3, 1e-3);
    std::vector<int32_t> order = pack.order;
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 5, 6}));
    ExpectPackConsistent(info);
}

// A missing object is an invalid placeholder; an object behind the camera has no usable face.
TEST(RenderObjectInfo, PlaceholdersAndObjectsBehindTheCameraHaveNothingToDraw) {
    const Camera camera = test::LookAtCamera({0, -10, 0}, {0, 0, 0}, 320, 240, 300);
    const Scene scene(camera, {nullptr, test::MakeBox({-1, -14, -1}, {1, -12, 1}, camera)});
    const RenderObjectInfoEx& placeholder = scene.Info(0);
    EXPECT_EQ(placeholder.object->invalid, 1);
    EXPECT_TRUE(placeholder.ScreenBounds().IsEmpty());
    EXPECT_TRUE(placeholder.FacingBytes().empty());
    EXPECT_TRUE(placeholder.FaceBounds().order.empty());

    const RenderObjectInfoEx& behind = scene.Info(1);
    EXPECT_TRUE(behind.ScreenBounds().IsEmpty());
    EXPECT_EQ(behind.FacingBytes(), std::vector<uint8_t>(12, 0x33));
    EXPECT_TRUE(behind.FaceBounds().order.empty());
}

TEST(RenderObjectInfo, IntersectionTreeBuildsOnceAndRetriesAfterThrow) {
    const Camera camera = test::LookAtCamera({0, -8, 2}, {0, 0, 0}, 320, 240, 300);
    const Scene scene(camera, {test::MakeBox({0, 0, 0}, {1, 1, 1}, camera)});
    static int token = 0;
    int builds = 0;
    const auto failing = [&]() -> std::shared_ptr<const ISectTree> {
        ++builds;
        throw std::runtime_error("no tree");
    };
    const auto building = [&] {
        ++builds;
        return std::shared_ptr<const ISectTree>(std::shared_ptr<int>(),
                                                reinterpret_cast<const ISectTree*>(&token));
    };
    EXPECT_THROW(scene.Info(0).IntersectionTree(failing), std::runtime_error);
    EXPECT_EQ(scene.Info(0).IntersectionTree(building), reinterpret_cast<const ISectTree*>(&token));
    EXPECT_EQ(scene.Info(0).IntersectionTree(building), reinterpret_cast<const ISectTree*>(&token));
    EXPECT_EQ(builds, 2);
}

TEST(RenderObjectInfoConcurrent, AllThreadsShareOneResult) {
    const Camera camera = test::LookAtCamera({3, -6, 2}, {0, 0, 0}, 640, 480, 600);
    const auto makeScene = [&] {
        return std::make_unique<Scene>(camera,
                                       std::vector<std::shared_ptr<RenderObject>>{
                                           test::MakeSphere({0, 0, 0}, 1.0f, 64, 32, camera)});
    };
    const auto shared = makeScene();
    const RenderObjectInfoEx& info = shared->Info(0);
    static int token = 0;
    std::atomic<int> builds{0};

    // Different request orders reach the nested results from different sides.
    const std::array<std::function<const void*()>, 7> requests = {
        [&]() -> const void* { return &info.FacingBytes(); },
        [&]() -> const void* { return &info.CameraVertices(); },
        [&]() -> const void* { return &info.FaceNormals(); },
        [&]() -> const void* { return &info.ScreenPoints(); },
        [&]() -> const void* { return &info.FaceBounds(); },
        [&]() -> const void* { return &info.Bounds(); },
        [&]() -> const void* {
            return info.IntersectionTree([&] {
                builds.fetch_add(1);
                return std::shared_ptr<const ISectTree>(std::shared_ptr<int>(),
                                                        reinterpret_cast<const ISectTree*>(&token));
            });
        }};
    constexpr int kThreads = 8;
    std::array<std::array<const void*, 7>, kThreads> seen{};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (size_t k = 0; k < requests.size(); ++k) {
                const size_t which = (k + size_t(t)) % requests.size();
                seen[size_t(t)][which] = requests[which]();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[size_t(t)], seen[0]);
    EXPECT_EQ(builds.load(), 1);

    const auto fresh = makeScene();
    const RenderObjectInfoEx& single = fresh->Info(0);
    EXPECT_EQ(info.FacingBytes(), single.FacingBytes());
    EXPECT_TRUE(info.ScreenPoints() == single.ScreenPoints());
    EXPECT_EQ(info.FaceBounds().codes, single.FaceBounds().codes);
}

}  // namespace
}  // namespace KvrnLib
