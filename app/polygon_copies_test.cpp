#include "polygon_copies.h"

#include <gtest/gtest.h>

#include "poly_mesh.h"

namespace KvrnApp {
namespace {

Polygon Face(std::vector<int32_t> vertices, uint16_t material = 0) {
    Polygon polygon;
    polygon.vertices = std::move(vertices);
    polygon.materialID = material;
    return polygon;
}

// Only the same turn of the same corners with the same material is a copy: a face seen from the
// other side, or of another material, draws lines of its own.
TEST(PolygonCopies, OnlyTheSameTurnAndMaterialIsACopy) {
    PolyMesh mesh;
    mesh.source = "copies.obj";
    mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}};
    mesh.polygons = {
        Face({0, 1, 2, 3}),    Face({2, 3, 0, 1}),  // the same quad from another corner: a copy
        Face({3, 2, 1, 0}),                         // the other side
        Face({0, 1, 2, 3}, 7),                      // another material
        Face({0, 1, 4}),       Face({1, 4, 0}),     // a copy
        Face({0, 0, 1, 4}),                         // the same after its repeated corner goes
    };
    const Triangulation t = Triangulate(mesh);
    EXPECT_EQ(t.copiedPolygons, 3);
    EXPECT_EQ(t.object->faces.size(), 3u * 2u + 1u);
}

// Enough polygons to grow the table several times: every copy is still found, and no distinct
// polygon is taken for one.
TEST(PolygonCopies, CopiesAreFoundAcrossTableGrowth) {
    std::vector<int32_t> corners;
    std::vector<int32_t> start = {0};
    PolygonCopies copies(corners, start, 4);
    int found = 0;
    for (int round = 0; round < 2; ++round) {
        for (int32_t i = 0; i < 20000; ++i) {
            const size_t first = corners.size();
            // The second round starts each triangle from its next corner.
            const int32_t a = i, b = i + 1, c = i + 2;
            for (int32_t v : round == 0 ? std::vector{a, b, c} : std::vector{b, c, a})
                corners.push_back(v);
            if (copies.CopiesEarlier(first, corners.size(), 0, int32_t(start.size()) - 1)) {
                ++found;
                corners.resize(first);
            } else {
                start.push_back(int32_t(corners.size()));
            }
        }
    }
    EXPECT_EQ(found, 20000);
    EXPECT_EQ(start.size(), 20001u);
}

}  // namespace
}  // namespace KvrnApp
