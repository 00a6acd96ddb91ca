#include "poly_mesh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <set>
#include <utility>

namespace KvrnApp {
namespace {

using KvrnLib::FaceEdgeHardBit;
using KvrnLib::FaceEdgeVisibleBit;
using KvrnLib::Point3;
using KvrnLib::RenderObject;

PolyMesh MeshOf(std::vector<Point3> vertices, std::vector<std::vector<int32_t>> polygons,
                uint32_t smoothingGroup = 0) {
    PolyMesh mesh;
    mesh.name = "m";
    mesh.source = "test.obj";
    mesh.vertices = std::move(vertices);
    for (auto& p : polygons) {
        Polygon poly;
        poly.vertices = std::move(p);
        poly.smoothingGroup = smoothingGroup;
        mesh.polygons.push_back(std::move(poly));
    }
    return mesh;
}

// Visible triangle edges as (from, to) vertex pairs, in face winding.
std::multiset<std::pair<int32_t, int32_t>> VisibleEdges(const RenderObject& object) {
    std::multiset<std::pair<int32_t, int32_t>> edges;
    for (const auto& f : object.faces)
        for (int k = 0; k < 3; ++k)
            if (f.flags & FaceEdgeVisibleBit(k)) edges.insert({f.Vertex(k), f.Vertex((k + 1) % 3)});
    return edges;
}

Point3 TriangleNormalTimes2(const RenderObject& object, const KvrnLib::FaceRecord& f) {
    const Point3 a = object.vertices[f.vertexA];
    return KvrnLib::Cross(object.vertices[f.vertexB] - a, object.vertices[f.vertexC] - a);
}

TEST(Triangulate, QuadHasFourVisibleOuterEdgesAndAnInvisibleDiagonal) {
    PolyMesh mesh = MeshOf({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2, 3}});
    mesh.polygons[0].materialID = 7;
    mesh.polygons[0].smoothingGroup = 5;
    const Triangulation t = Triangulate(mesh);
    const RenderObject& object = *t.object;
    ASSERT_EQ(object.faces.size(), 2u);
    EXPECT_EQ(VisibleEdges(object),
              (std::multiset<std::pair<int32_t, int32_t>>{{0, 1}, {1, 2}, {2, 3}, {3, 0}}));
    // The diagonal is the one edge both triangles have, and neither shows it.
    int invisible = 0;
    for (const auto& f : object.faces) {
        EXPECT_EQ(f.materialID, 7);
        EXPECT_EQ(f.smoothingGroup, 5u);
        EXPECT_GT(TriangleNormalTimes2(object, f).z, 0.0f);
        for (int k = 0; k < 3; ++k) invisible += (f.flags & FaceEdgeVisibleBit(k)) ? 0 : 1;
    }
    EXPECT_EQ(invisible, 2);
}

TEST(Triangulate, ConcavePolygonsInATiltedPlaneAreCoveredExactly) {
    // An L-shaped hexagon of area 3 (reflex corner at (1, 1)) and an arrowhead of area 6 whose
    // convex tip (4, 2) would make an ear around the reflex (1, 2). Both are turned out of every
    // axis plane by an area-preserving rotation; each start corner moves the reflex one.
    struct Shape {
        std::vector<std::array<double, 2>> corners;
        double area;
    };
    const Shape shapes[] = {{{{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}}, 3.0},
                            {{{0, 0}, {4, 2}, {0, 4}, {1, 2}}, 6.0}};
    const double c = std::cos(0.7), s = std::sin(0.7);
    const Point3 normal{float(s * s), float(-s * c), float(c)};
    for (const Shape& shape : shapes) {
        const int n = int(shape.corners.size());
        for (int start = 0; start < n; ++start) {
            SCOPED_TRACE(testing::Message() << n << " corners, start " << start);
            std::vector<Point3> vertices;
            std::vector<int32_t> polygon;
            std::multiset<std::pair<int32_t, int32_t>> outline;
            for (int i = 0; i < n; ++i) {
                const double x = shape.corners[(start + i) % n][0];
                const double y = shape.corners[(start + i) % n][1];
                // Rotation about X by 0.7 rad, then about Z by 0.7 rad.
                const double y1 = y * c, z1 = y * s;
                vertices.push_back({float(x * c - y1 * s), float(x * s + y1 * c), float(z1 + 3)});
                polygon.push_back(i);
                outline.insert({i, (i + 1) % n});
            }
            const Triangulation t = Triangulate(MeshOf(vertices, {polygon}));
            const RenderObject& object = *t.object;
            ASSERT_EQ(object.faces.size(), size_t(n - 2));
            double area = 0;
            for (const auto& f : object.faces) {
                const double signedArea = KvrnLib::Dot(TriangleNormalTimes2(object, f), normal) / 2;
                EXPECT_GT(signedArea, 1e-3);
                area += signedArea;
            }
            EXPECT_NEAR(area, shape.area, 1e-5);
            EXPECT_EQ(VisibleEdges(object), outline);
        }
    }
}

TEST(Triangulate, RejectsEmptyMeshesAndBadIndicesAndDropsDegeneratePolygons) {
    const std::vector<Point3> square = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    auto message = [](const PolyMesh& mesh) {
        try {
            Triangulate(mesh);
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message(MeshOf({}, {{0, 1, 2}})).find("test.obj: mesh 'm' has no vertices"),
              std::string::npos);
    EXPECT_NE(message(MeshOf(square, {})).find("has no polygons"), std::string::npos);
    const std::string outOfRange = message(MeshOf(square, {{0, 1, 2}, {0, 2, 4}}));
    EXPECT_NE(outOfRange.find("test.obj"), std::string::npos) << outOfRange;
    EXPECT_NE(outOfRange.find("polygon 1: vertex index 4 is out of range"), std::string::npos)
        << outOfRange;
    EXPECT_NE(message(MeshOf(square, {{0, 1, 1}})).find("no polygon with 3 or more"),
              std::string::npos);

    // A repeated corner collapses; fewer than 3 distinct vertices drops the polygon.
    const Triangulation t =
        Triangulate(MeshOf(square, {{0, 1, 1, 2}, {0, 1, 0, 1}, {2, 2, 3}, {}}));
    EXPECT_EQ(t.droppedPolygons, 3);
    ASSERT_EQ(t.object->faces.size(), 1u);
    EXPECT_EQ(t.object->faces[0].flags & KvrnLib::kFaceAllEdgesVisible,
              KvrnLib::kFaceAllEdgesVisible);
}

TEST(Triangulate, NormalsComeFromTheFileOrFromSmoothNeighbours) {
    // Two quads folded by 10 degrees along x = 1 and a third folded 80 degrees at x = 2.
    const double fold = 10 * std::numbers::pi / 180, steep = 80 * std::numbers::pi / 180;
    const float x2 = float(1 + std::cos(fold)), z2 = float(std::sin(fold));
    const float x3 = float(x2 + std::cos(steep)), z3 = float(z2 + std::sin(steep));
    std::vector<Point3> vertices;
    for (float y : {0.0f, 1.0f})
        for (Point3 p : {Point3{0, 0, 0}, Point3{1, 0, 0}, Point3{x2, 0, z2}, Point3{x3, 0, z3}})
            vertices.push_back({p.x, y, p.z});
    PolyMesh mesh = MeshOf(vertices, {{0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}});
    const Triangulation computed = Triangulate(mesh);
    const RenderObject& object = *computed.object;
    ASSERT_EQ(object.faces.size(), 6u);
    int hardMarks = 0;
    for (size_t f = 0; f < object.faces.size(); ++f) {
        for (int k = 0; k < 3; ++k) {
            const auto& face = object.faces[f];
            const int32_t a = face.Vertex(k), b = face.Vertex((k + 1) % 3);
            const bool onSteepFold = std::min(a, b) == 2 && std::max(a, b) == 6;
            EXPECT_EQ((face.flags & FaceEdgeHardBit(k)) != 0, onSteepFold) << f << " " << k;
            hardMarks += onSteepFold;
            // At x = 1 the two gently folded quads share the bisecting normal.
            const Point3 n = object.cornerNormals[f * 3 + k];
            if (a == 1 || a == 5) {
                EXPECT_NEAR(n.x, -std::sin(fold / 2), 1e-5);
                EXPECT_NEAR(n.z, std::cos(fold / 2), 1e-5);
            }
        }
    }
    EXPECT_EQ(hardMarks, 2);  // once on each side of the steep fold

    for (Polygon& poly : mesh.polygons) poly.normals.assign(poly.vertices.size(), {0, 1, 0});
    const Triangulation given = Triangulate(mesh);
    EXPECT_EQ(given.object->explicitNormals, 1);
    for (const Point3& n : given.object->cornerNormals) EXPECT_EQ(n, (Point3{0, 1, 0}));
    for (const auto& face : given.object->faces)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(face.flags & FaceEdgeHardBit(k), 0u);
}

}  // namespace
}  // namespace KvrnApp
