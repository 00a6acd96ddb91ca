#include "polygon_copies.h"

#include <gtest/gtest.h>

#include <memory>

#include "poly_mesh.h"
#include "thread_manager.h"

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

// Many polygons (the table far beyond the look-ahead), each given twice, the second time from
// its next corner: every copy is found, and no distinct polygon is taken for one, whether one
// table holds them all or the workers split them (into 2 and 3 parts).
TEST(PolygonCopies, EveryCopyIsFoundAmongMany) {
    std::vector<int32_t> corners, start = {0};
    std::vector<uint16_t> materials;
    constexpr int32_t kCount = 100000;
    for (int round = 0; round < 2; ++round) {
        for (int32_t i = 0; i < kCount; ++i) {
            const std::vector<int32_t> turn =
                round == 0 ? std::vector{i, i + 1, i + 2} : std::vector{i + 1, i + 2, i};
            corners.insert(corners.end(), turn.begin(), turn.end());
            start.push_back(int32_t(corners.size()));
            materials.push_back(uint16_t(i % 3));
        }
    }
    for (const int threads : {0, 2, 7}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        std::unique_ptr<KvrnLib::ThreadManagerCore> pool;
        if (threads > 0) pool = std::make_unique<KvrnLib::ThreadManagerCore>(threads);
        const std::vector<uint8_t> copies =
            FindPolygonCopies(corners, start, materials, pool.get());
        ASSERT_EQ(copies.size(), size_t(2 * kCount));
        for (int32_t i = 0; i < kCount; ++i) {
            ASSERT_EQ(copies[size_t(i)], 0) << "polygon " << i;
            ASSERT_EQ(copies[size_t(kCount + i)], 1) << "copy of " << i;
        }
    }
}

}  // namespace
}  // namespace KvrnApp
