#include "object_copies.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "render_object_info.h"
#include "stage_runner.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

LineDetectionSettings DefaultSettings(int objectCount) {
    return test::DetectingKinds(objectCount, {}, {});
}

// Objects 0 and 2 are plain boxes; object 1 (the candidate) is a box changed by `change`, or left
// alone; `changeSettings` may change the detection settings.
std::vector<int32_t> CopiesWith(const std::function<void(RenderObject&)>& change,
                                const std::function<void(LineDetectionSettings&)>& changeSettings) {
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    auto candidate = test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera);
    if (change) change(*candidate);
    const Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera), candidate,
                               test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)});
    LineDetectionSettings settings = DefaultSettings(3);
    if (changeSettings) changeSettings(settings);
    return FindObjectCopies(scene, settings);
}

TEST(ObjectCopies, ExactCopiesPointAtTheFirstAndAnyDifferenceKeepsAnObject) {
    EXPECT_EQ(CopiesWith(nullptr, nullptr), (std::vector<int32_t>{-1, 0, 0}));

    // Each of these makes object 1 an object of its own; object 2 still copies object 0.
    const std::vector<std::pair<std::string, std::function<void(RenderObject&)>>> changes = {
        {"vertex bit", [](RenderObject& o) { o.vertices[3].x = std::nextafter(1.0f, 2.0f); }},
        {"face order", [](RenderObject& o) { std::swap(o.faces[0], o.faces[1]); }},
        {"material", [](RenderObject& o) { o.faces[5].materialID = 1; }},
        {"smoothing", [](RenderObject& o) { o.faces[5].smoothingGroup = 7; }},
        {"edge flags", [](RenderObject& o) { o.faces[5].flags ^= FaceEdgeHardBit(1); }},
        {"corner normal", [](RenderObject& o) { o.cornerNormals[4].z += 0.5f; }},
    };
    for (const auto& [name, change] : changes)
        EXPECT_EQ(CopiesWith(change, nullptr), (std::vector<int32_t>{-1, -1, 0})) << name;

    const std::vector<std::pair<std::string, std::function<void(LineDetectionSettings&)>>>
        settingChanges = {
            {"line set", [](LineDetectionSettings& s) { s.objects[1].defaultLineSet = -1; }},
            {"masking selection",
             [](LineDetectionSettings& s) {
                 s.materialFunctions.resize(1);
                 s.materialFunctions[0].maskingOff.objects.resize(2);
                 s.materialFunctions[0].maskingOff.objects[1].faceBits = {1};
             }},
            {"hidden line selection",
             [](LineDetectionSettings& s) {
                 s.materialFunctions.resize(1);
                 s.materialFunctions[0].maskHiddenLines.objects.resize(2);
                 s.materialFunctions[0].maskHiddenLines.objects[1].wholeObject = 1;
             }},
        };
    for (const auto& [name, change] : settingChanges)
        EXPECT_EQ(CopiesWith(nullptr, change), (std::vector<int32_t>{-1, -1, 0})) << name;

    // A selection naming objects 0 and 1 alike (the missing word counts as empty) keeps the copy;
    // object 2, which it does not name, is then a copy of neither.
    EXPECT_EQ(CopiesWith(nullptr,
                         [](LineDetectionSettings& s) {
                             s.materialFunctions.resize(1);
                             auto& objects = s.materialFunctions[0].maskingOff.objects;
                             objects.resize(2);
                             objects[0].faceBits = {5, 0};
                             objects[1].faceBits = {5};
                         }),
              (std::vector<int32_t>{-1, 0, -1}));
}

TEST(ObjectCopies, MirroredPlacementOfTheSameCornersIsNoCopy) {
    // Corners negated in x, placed through a mirroring transform: the same camera-space corners,
    // but every face turns the other way.
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    auto mirrored = test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera);
    for (Point3& v : mirrored->vertices) v.x = -v.x;
    Matrix3 flip;
    flip.row[0] = {-1, 0, 0};
    const Matrix3 worldToCam = mirrored->objToCam;
    mirrored->SetTransforms(flip, worldToCam);
    const Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera), mirrored});
    const std::vector<Point3>& a = scene.Info(0).CameraVertices();
    const std::vector<Point3>& b = scene.Info(1).CameraVertices();
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(Point3)), 0);
    ASSERT_TRUE(scene.Info(1).IsMirrored());
    EXPECT_EQ(FindObjectCopies(scene, DefaultSettings(2)), (std::vector<int32_t>{-1, -1}));
}

TEST(ObjectCopies, ManyCopiesInvalidObjectsAndMismatchedSettings) {
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    std::vector<std::shared_ptr<RenderObject>> objects;
    for (int i = 0; i < 300; ++i) {
        // Two shapes, interleaved, each repeated; an invalid object and an empty one between.
        const float size = i % 2 ? 1.0f : 2.0f;
        objects.push_back(test::MakeBox({-size, -1, -1}, {size, 1, 1}, camera));
    }
    objects[10] = nullptr;
    objects[11] = std::make_shared<RenderObject>();
    const Scene scene(camera, objects);
    const std::vector<int32_t> copyOf = FindObjectCopies(scene, DefaultSettings(300));
    ASSERT_EQ(copyOf.size(), 300u);
    EXPECT_EQ(copyOf[0], -1);
    EXPECT_EQ(copyOf[1], -1);
    EXPECT_EQ(copyOf[10], -1);
    EXPECT_EQ(copyOf[11], -1);
    for (int i = 2; i < 300; ++i)
        if (i != 10 && i != 11) {
            EXPECT_EQ(copyOf[size_t(i)], i % 2) << i;
        }

    EXPECT_THROW(FindObjectCopies(scene, DefaultSettings(299)), LineEffectException);
}

}  // namespace
}  // namespace KvrnLib
