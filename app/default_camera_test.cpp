#include "default_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "poly_mesh.h"
#include "primitives.h"

namespace KvrnApp {
namespace {

using KvrnLib::Point3;
using Objects = std::vector<std::shared_ptr<KvrnLib::RenderObject>>;

Objects Triangulated(const std::vector<PolyMesh>& meshes) {
    Objects objects;
    for (const PolyMesh& mesh : meshes) objects.push_back(Triangulate(mesh).object);
    return objects;
}

// Largest distance from the image centre of a projected face vertex, as a fraction of the
// half-frame along its axis; also checks every vertex is in front of the near limit.
double FarthestFraction(const Objects& objects, const KvrnLib::Camera& camera) {
    double farthest = 0;
    for (const auto& object : objects)
        for (const auto& f : object->faces)
            for (int k = 0; k < 3; ++k) {
                const Point3 world =
                    object->objToWorld.PointTransform(object->vertices[f.Vertex(k)]);
                const Point3 cam = camera.worldToCam.PointTransform(world);
                EXPECT_LT(cam.z, camera.nearZ);
                const KvrnLib::Point2 s = camera.Project(cam);
                farthest =
                    std::max({farthest, std::fabs(s.x - camera.center.x) / (camera.width / 2.0),
                              std::fabs(s.y - camera.center.y) / (camera.height / 2.0)});
            }
    return farthest;
}

TEST(DefaultCamera, FramesTheFarthestVertexAtEightyPercent) {
    // A wide cloud is limited by the frame width, a tall one by its height.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(-1, 1);
    for (const Point3 stretch : {Point3{30, 2, 1}, Point3{1, 1, 40}, Point3{5, 5, 5}}) {
        PolyMesh cloud;
        cloud.source = "cloud";
        for (int i = 0; i < 300; ++i)
            cloud.vertices.push_back({unit(random) * stretch.x + 3, unit(random) * stretch.y - 7,
                                      unit(random) * stretch.z});
        for (int i = 0; i + 2 < 300; i += 3)
            cloud.polygons.emplace_back().vertices = {i, i + 1, i + 2};
        const Objects objects = Triangulated({cloud});
        const FramedCamera framed = FrameObjects(objects);
        EXPECT_NEAR(FarthestFraction(objects, framed.camera), 0.8, 1e-3);
    }

    const Objects scene = Triangulated(BuiltinScene("default"));
    const FramedCamera framed = FrameObjects(scene);
    const KvrnLib::Camera& camera = framed.camera;
    EXPECT_NEAR(FarthestFraction(scene, camera), 0.8, 1e-3);
    EXPECT_NEAR(framed.HorizontalFovDeg(), 39.60, 0.005);
    EXPECT_NEAR(framed.VerticalFovDeg(), 22.90, 0.005);
    // The default scene's box spans -80..80, -80..80, -10..60.
    EXPECT_NEAR(framed.target.x, 0, 1e-5);
    EXPECT_NEAR(framed.target.z, 25, 1e-5);
    const Point3 view = framed.eye - framed.target;
    EXPECT_NEAR(view.x, -view.y, 1e-3);
    EXPECT_NEAR(view.z / view.x, 0.6, 1e-5);
    EXPECT_NEAR(std::sqrt(KvrnLib::Dot(view, view)), framed.distance, 1e-3);
    const Point3 targetOnScreen = camera.worldToCam.PointTransform(framed.target);
    EXPECT_NEAR(camera.Project(targetOnScreen).x, 960, 1e-3);
    EXPECT_NEAR(camera.Project(targetOnScreen).y, 540, 1e-3);
    // World Z points up on the screen (screen y grows downwards).
    const Point3 above = camera.worldToCam.PointTransform(framed.target + Point3{0, 0, 1});
    EXPECT_LT(camera.Project(above).y, 540);
}

TEST(DefaultCamera, HonoursSizeAndSurvivesDegenerateScenes) {
    auto object = std::make_shared<KvrnLib::RenderObject>();
    object->vertices = {{4, 5, 6}, {4, 5, 6}, {4, 5, 6}, {100, 100, 100}};  // last one unused
    object->faces.push_back({0, 1, 2, 0, 0, 0});
    CameraOptions options;
    options.width = 640;
    options.height = 480;
    const FramedCamera framed = FrameObjects({object}, options);
    EXPECT_NEAR(framed.camera.scale.x, -640 * 50 / 36.0, 1e-3);
    EXPECT_EQ(framed.target, (Point3{4, 5, 6}));
    EXPECT_GT(framed.distance, 0);
    EXPECT_NEAR(framed.camera.Project(framed.camera.worldToCam.PointTransform({4, 5, 6})).x, 320,
                1e-3);

    const FramedCamera empty = FrameObjects({});
    EXPECT_GT(empty.distance, 0);
    options.width = 0;
    EXPECT_THROW(FrameObjects({object}, options), InputError);
}

}  // namespace
}  // namespace KvrnApp
