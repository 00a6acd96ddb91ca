#include "weld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace KvrnApp {
namespace {

using KvrnLib::Point3;

// Two unit squares side by side stored apart, as a flat-shaded export writes them: each with its
// own corners and its own normal per corner.
PolyMesh TwoSquaresApart() {
    PolyMesh mesh;
    mesh.source = "squares.test";
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                     {1, 0, 0}, {2, 0, 0}, {2, 1, 0}, {1, 1, 0}};
    for (int32_t first : {0, 4}) {
        Polygon& poly = mesh.polygons.emplace_back();
        poly.vertices = {first, first + 1, first + 2, first + 3};
        const Point3 normal = first == 0 ? Point3{0, 0, 1} : Point3{0, 0.6f, 0.8f};
        poly.normals.assign(4, normal);
        poly.mapCorners[kTextureChannel] = poly.vertices;
    }
    mesh.mapVertices[kTextureChannel].resize(8);
    return mesh;
}

TEST(Weld, EqualPositionsShareOneVertexAndCornerDataStays) {
    PolyMesh mesh = TwoSquaresApart();
    mesh.vertices[2] = {1, 1, -0.0f};  // minus zero is the same place as vertex 7's zero
    EXPECT_EQ(WeldVertices(mesh, 0.0f), 2);
    ASSERT_EQ(mesh.vertices.size(), 6u);
    // Kept vertices keep their order; the second square now uses the first one's shared edge.
    EXPECT_EQ(mesh.polygons[1].vertices, (std::vector<int32_t>{1, 4, 5, 2}));
    EXPECT_EQ(mesh.polygons[1].normals[0], (Point3{0, 0.6f, 0.8f}));
    EXPECT_EQ(mesh.polygons[1].mapCorners[kTextureChannel], (std::vector<int32_t>{4, 5, 6, 7}));
    EXPECT_EQ(mesh.mapVertices[kTextureChannel].size(), 8u);

    // Packed polygons are joined alike.
    PolyMesh packed = TwoSquaresApart();
    packed.polygons.pop_back();
    packed.packed.vertices = {4, 5, 6, 7};
    packed.packed.start = {0, 4};
    packed.packed.materialIDs = {0};
    EXPECT_EQ(WeldVertices(packed, 0.0f), 2);
    EXPECT_TRUE(std::ranges::equal(packed.packed.Corners(0), std::vector<int32_t>{1, 4, 5, 2}));

    PolyMesh apart = TwoSquaresApart();
    apart.vertices[4].x = std::nextafter(1.0f, 2.0f);  // one step off: not the same place
    EXPECT_EQ(WeldVertices(apart, 0.0f), 1);
}

TEST(Weld, DistanceJoinsToTheEarliestVertexInReachWithoutDrifting) {
    PolyMesh mesh;
    mesh.source = "chain.test";
    // A chain 0.4 apart: with reach 0.5 each joins the earliest kept vertex within 0.5, never a
    // vertex that itself joined another, so the chain does not collapse into one point.
    for (int i = 0; i < 6; ++i) mesh.vertices.push_back({0.4f * float(i), 0, 0});
    mesh.polygons.emplace_back().vertices = {0, 1, 2, 3, 4, 5};
    EXPECT_EQ(WeldVertices(mesh, 0.5f), 3);
    ASSERT_EQ(mesh.vertices.size(), 3u);
    EXPECT_EQ(mesh.vertices[1].x, 0.8f);
    EXPECT_EQ(mesh.polygons[0].vertices, (std::vector<int32_t>{0, 0, 1, 1, 2, 2}));

    // Neighbours across a cell border of the grid are found too.
    PolyMesh border;
    border.source = "border.test";
    border.vertices = {{0.999f, 5, 5}, {1.001f, 5, 5}, {-0.001f, -1, -1}, {0.001f, -1, -1}};
    border.polygons.emplace_back().vertices = {0, 1, 2, 3};
    EXPECT_EQ(WeldVertices(border, 0.01f), 2);
}

TEST(Weld, RejectsBadDistancesAndLeavesBadIndicesBad) {
    PolyMesh mesh = TwoSquaresApart();
    for (float bad :
         {-1.0f, std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        try {
            WeldVertices(mesh, bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("squares.test: weld distance"), std::string::npos)
                << e.what();
        }
    }
    PolyMesh far = TwoSquaresApart();
    far.vertices[0] = {3e38f, 0, 0};
    EXPECT_THROW(WeldVertices(far, 1e-30f), InputError);

    // An index past the end stays past the (shorter) end, so triangulation still reports it.
    mesh.polygons[0].vertices[0] = 8;
    WeldVertices(mesh, 0.0f);
    EXPECT_GE(mesh.polygons[0].vertices[0], int32_t(mesh.vertices.size()));
}

}  // namespace
}  // namespace KvrnApp
