#include "mesh_edges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "render_object_info.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

std::shared_ptr<RenderObject> MakeTriangles(std::vector<Point3> vertices,
                                            std::vector<std::array<int32_t, 3>> faces) {
    auto mesh = std::make_shared<RenderObject>();
    mesh->vertices = std::move(vertices);
    for (const auto& f : faces) mesh->faces.push_back({f[0], f[1], f[2], 0, 0, 1});
    return mesh;
}

// Records follow face0's winding, come in face-then-edge order, and pair reversed half-edges.
void ExpectWellFormed(const RenderObject& object, const std::vector<MeshEdge>& edges) {
    for (size_t i = 0; i < edges.size(); ++i) {
        const MeshEdge& e = edges[i];
        const FaceRecord& f0 = object.faces[size_t(e.face0)];
        EXPECT_EQ(f0.Vertex(e.edge0), e.v0);
        EXPECT_EQ(f0.Vertex((e.edge0 + 1) % 3), e.v1);
        if (e.face1 >= 0) {
            const FaceRecord& f1 = object.faces[size_t(e.face1)];
            const int32_t a = f1.Vertex(e.edge1), b = f1.Vertex((e.edge1 + 1) % 3);
            EXPECT_TRUE((a == e.v1 && b == e.v0) || (a == e.v0 && b == e.v1));
        } else {
            EXPECT_EQ(e.edge1, -1);
        }
        if (i > 0) {
            const MeshEdge& p = edges[i - 1];
            EXPECT_TRUE(p.face0 < e.face0 || (p.face0 == e.face0 && p.edge0 < e.edge0));
        }
    }
}

TEST(MeshEdges, BoxFromCornerHasHexagonSilhouette) {
    const Camera camera = test::LookAtCamera({4, -5, 3}, {0.5f, 0.5f, 0.5f}, 640, 480, 800);
    const Scene scene(camera, {test::MakeBox({0, 0, 0}, {1, 1, 1}, camera)});
    const RenderObject& box = scene.Object(0);
    const std::vector<uint8_t>& facing = scene.Info(0).FacingBytes();
    const std::vector<MeshEdge> edges = BuildMeshEdges(box, facing);
    ExpectWellFormed(box, edges);

    // Three front sides: their 3 diagonals and the 3 edges at the near corner join two front
    // faces; the 6 edges around them are the silhouette. The 6 hidden edges give nothing.
    const MeshEdgeCounts counts = CountMeshEdges(edges);
    EXPECT_EQ(counts.twoFace, 6);
    EXPECT_EQ(counts.singleFace, 6);
    EXPECT_EQ(counts.open, 0);

    // The silhouette is a closed loop through every corner but the nearest (x=1, y=0, z=1:
    // index 5) and the farthest (index 2).
    std::map<int32_t, int> degree;
    for (const MeshEdge& e : edges) {
        EXPECT_FALSE(IsFacingCulled(facing[size_t(e.face0)]));
        if (e.face1 != kMeshEdgeSilhouette) continue;
        ++degree[e.v0];
        ++degree[e.v1];
    }
    EXPECT_EQ(degree, (std::map<int32_t, int>{{0, 2}, {1, 2}, {3, 2}, {4, 2}, {6, 2}, {7, 2}}));

    // Two-sided: back faces keep bit 2 but are not culled, and all 18 edges join two faces.
    auto twoSided = test::MakeBox({0, 0, 0}, {1, 1, 1}, camera);
    for (FaceRecord& f : twoSided->faces) f.flags |= kFaceTwoSided;
    const Scene twoSidedScene(camera, {twoSided});
    const std::vector<uint8_t>& twoSidedFacing = twoSidedScene.Info(0).FacingBytes();
    for (size_t f = 0; f < 12; ++f) EXPECT_EQ(twoSidedFacing[f], facing[f] ? 0x0C : 0x08);
    const std::vector<MeshEdge> all = BuildMeshEdges(*twoSided, twoSidedFacing);
    ExpectWellFormed(*twoSided, all);
    EXPECT_EQ(CountMeshEdges(all).twoFace, 18);
    EXPECT_EQ(all.size(), 18u);
}

TEST(MeshEdges, OpenQuadFromFrontBackAndTwoSided) {
    // Quad in the plane z = 0, counter-clockwise seen from +z.
    auto quad = MakeTriangles({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}});
    const auto countsFrom = [&](Point3 eye, bool twoSided) {
        const Camera camera = test::LookAtCamera(eye, {0.5f, 0.5f, 0}, 320, 240, 300);
        for (FaceRecord& f : quad->faces) f.flags = twoSided ? kFaceTwoSided : 0;
        quad->SetTransforms(Matrix3::Identity(), camera.worldToCam);
        const Scene scene(camera, {quad});
        const std::vector<MeshEdge> edges = BuildMeshEdges(*quad, scene.Info(0).FacingBytes());
        ExpectWellFormed(*quad, edges);
        return CountMeshEdges(edges);
    };
    const MeshEdgeCounts front = countsFrom({0.7f, 0.2f, 3}, false);
    EXPECT_EQ(front.twoFace, 1);
    EXPECT_EQ(front.open, 4);
    EXPECT_EQ(front.singleFace, 0);
    const MeshEdgeCounts back = countsFrom({0.7f, 0.2f, -3}, false);
    EXPECT_EQ(back.twoFace + back.open + back.singleFace, 0);
    const MeshEdgeCounts backTwoSided = countsFrom({0.7f, 0.2f, -3}, true);
    EXPECT_EQ(backTwoSided.twoFace, 1);
    EXPECT_EQ(backTwoSided.open, 4);
}

TEST(MeshEdges, NonManifoldDegenerateAndBadInput) {
    // Four faces on the edge 0-1, plus a face with a repeated index and one out of range.
    auto fan = MakeTriangles({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}},
                             {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}, {1, 0, 5}, {2, 2, 4}, {0, 9, 4}});
    std::vector<uint8_t> facing(6, 0x00);
    std::vector<MeshEdge> edges = BuildMeshEdges(*fan, facing);
    ExpectWellFormed(*fan, edges);
    std::vector<MeshEdge> onEdge01;
    for (const MeshEdge& e : edges)
        if (std::min(e.v0, e.v1) == 0 && std::max(e.v0, e.v1) == 1) onEdge01.push_back(e);
    ASSERT_EQ(onEdge01.size(), 3u);
    EXPECT_EQ(onEdge01[0].face0, 0);
    EXPECT_EQ(onEdge01[0].face1, 1);
    EXPECT_EQ(onEdge01[1].face0, 2);
    EXPECT_EQ(onEdge01[1].face1, kMeshEdgeSilhouette);
    EXPECT_EQ(onEdge01[2].face0, 3);
    EXPECT_EQ(onEdge01[2].face1, kMeshEdgeSilhouette);
    // Face 4's edge 2-2 is skipped, its edges 2-4 and 4-2 pair with each other; face 5 is ignored.
    for (const MeshEdge& e : edges) {
        EXPECT_NE(e.v0, e.v1);
        EXPECT_NE(e.face0, 5);
    }

    // With face 1 culled, faces 0 and 2 pair up.
    facing[1] = 0x34;
    edges = BuildMeshEdges(*fan, facing);
    for (const MeshEdge& e : edges) {
        if (std::min(e.v0, e.v1) != 0 || std::max(e.v0, e.v1) != 1) continue;
        EXPECT_TRUE((e.face0 == 0 && e.face1 == 2) || (e.face0 == 3 && e.face1 == -2));
    }

    EXPECT_THROW(BuildMeshEdges(*fan, std::vector<uint8_t>(5, 0)), std::invalid_argument);
    EXPECT_TRUE(BuildMeshEdges(RenderObject{}, {}).empty());
}

}  // namespace
}  // namespace KvrnLib
