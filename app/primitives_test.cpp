#include "primitives.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <numbers>

#include "test_util.h"

namespace KvrnApp {
namespace {

using KvrnLib::Point3;

constexpr double kPi = std::numbers::pi;

TEST(Primitives, ClosedOutwardAndOfTheRightVolume) {
    struct Case {
        PolyMesh mesh;
        double volume;     // of the faceted solid, or of the smooth one; 0: sign only
        double tolerance;  // relative
    };
    const CylinderParams cylinder{.radius = 3, .height = 5, .sides = 7, .heightSegments = 3};
    const BoxParams box{.length = 2, .width = 3, .height = 4, .lengthSegments = 2};
    const double prism = 0.5 * 7 * 9 * std::sin(2 * kPi / 7) * 5;
    Case cases[] = {
        {MakeBox(box), 24, 1e-6},
        {MakeSphere({.radius = 2, .segments = 48, .rings = 24}), 4.0 / 3 * kPi * 8, 0.01},
        {MakeCylinder(cylinder), prism, 1e-5},
        {MakeTorus({.majorRadius = 5, .minorRadius = 1, .segments = 64, .sides = 32}),
         2 * kPi * kPi * 5, 0.01},
        {MakeTorusKnot({.segments = 256, .sides = 16}), 0, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.mesh.name);
        const Triangulation t = Triangulate(c.mesh);
        const auto& object = *t.object;
        const KvrnLib::MeshEdgeCounts edges = test::AllEdgeCounts(object);
        EXPECT_EQ(edges.open, 0);
        EXPECT_EQ(edges.singleFace, 0);
        EXPECT_EQ(edges.twoFace * 2, int64_t(object.faces.size()) * 3);
        const double volume = test::SignedVolume(object);
        EXPECT_GT(volume, 0);
        if (c.volume > 0) {
            EXPECT_NEAR(volume, c.volume, c.volume * c.tolerance);
        }
    }
}

TEST(Primitives, SmoothingGroupsAndVisibleEdgesFollowTheSides) {
    const Triangulation box = Triangulate(MakeBox({.lengthSegments = 2}));
    std::map<uint32_t, int> facesPerGroup;
    int visible = 0;
    for (const auto& f : box.object->faces) {
        ++facesPerGroup[f.smoothingGroup];
        visible += std::popcount(f.flags & KvrnLib::kFaceAllEdgesVisible);
    }
    // Sides along X have two quads, the two ends one.
    EXPECT_EQ(facesPerGroup,
              (std::map<uint32_t, int>{{1, 4}, {2, 4}, {4, 4}, {8, 2}, {16, 4}, {32, 2}}));
    EXPECT_EQ(visible, 10 * 4);  // every quad shows its 4 sides, no diagonal

    const Triangulation cylinder = Triangulate(MakeCylinder({.sides = 8}));
    std::map<uint32_t, int> cylinderGroups;
    for (const auto& f : cylinder.object->faces) ++cylinderGroups[f.smoothingGroup];
    EXPECT_EQ(cylinderGroups, (std::map<uint32_t, int>{{1, 16}, {2, 6}, {4, 6}}));
    // Caps meet the side at 90 degrees: hard; the sides are one smooth group.
    for (const auto& f : cylinder.object->faces)
        for (int k = 0; k < 3; ++k) {
            const bool hard = f.flags & KvrnLib::FaceEdgeHardBit(k);
            const bool rim = (f.flags & KvrnLib::FaceEdgeVisibleBit(k)) &&
                             cylinder.object->vertices[f.Vertex(k)].z ==
                                 cylinder.object->vertices[f.Vertex((k + 1) % 3)].z;
            EXPECT_EQ(hard, rim);
        }
}

TEST(Primitives, PlacementRotatesThenMoves) {
    Placement placement;
    placement.position = {10, 20, 30};
    placement.rotationDeg = {0, 0, 90};
    const PolyMesh box = MakeBox({.length = 4, .width = 2, .height = 1}, placement);
    KvrnLib::Box3 bounds;
    for (const Point3& v : box.vertices) bounds.Add(box.objToWorld.PointTransform(v));
    EXPECT_NEAR(bounds.min.x, 9, 1e-5);  // the 2-wide side now runs along X
    EXPECT_NEAR(bounds.max.y, 22, 1e-5);
    EXPECT_NEAR(bounds.max.z, 31, 1e-5);

    Placement tilt;
    tilt.rotationDeg = {90, 0, 0};  // +Y turns to +Z
    EXPECT_NEAR(tilt.ToMatrix().VectorTransform({0, 1, 0}).z, 1, 1e-6);
}

TEST(Primitives, EveryBuiltinSceneTriangulates) {
    for (const std::string& name : BuiltinSceneNames()) {
        const std::vector<PolyMesh> meshes = BuiltinScene(name);
        ASSERT_FALSE(meshes.empty()) << name;
        for (const PolyMesh& mesh : meshes) EXPECT_GT(Triangulate(mesh).object->faces.size(), 0u);
    }
}

TEST(Primitives, UnknownScenesAndBadParametersAreRefused) {
    try {
        BuiltinScene("teapot");
        ADD_FAILURE() << "no error";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("'teapot'"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("torusknot"), std::string::npos);
    }
    EXPECT_THROW(MakeBox({.length = -1}), InputError);
    EXPECT_THROW(MakeSphere({.rings = 1}), InputError);
    try {
        MakeCylinder({.sides = 2});
        ADD_FAILURE() << "no error";
    } catch (const InputError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("cylinder: sides")) << e.what();
    }
}

}  // namespace
}  // namespace KvrnApp
