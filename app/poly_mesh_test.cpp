#include "poly_mesh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <set>
#include <utility>

#include "thread_manager.h"

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

// Triangulate refuses the mesh with a message naming its file and name, then the reason.
void ExpectError(const PolyMesh& mesh, const std::string& reason) {
    std::string message = "no error";
    try {
        Triangulate(mesh);
    } catch (const InputError& e) {
        message = e.what();
    }
    EXPECT_TRUE(message.starts_with("test.obj: mesh 'm'" + reason)) << message;
}

// A comb of teeth 0.6 wide on a bar, outlined counter-clockwise, scaled by (sx, sy).
std::vector<Point3> Comb(int teeth, float sx, float sy) {
    std::vector<Point3> comb = {{float(teeth) * sx, -sy, 0}, {float(teeth) * sx, 0, 0}};
    for (int t = teeth - 1; t >= 0; --t) {
        for (Point3 p :
             {Point3{0.8f, 0, 0}, Point3{0.8f, 1, 0}, Point3{0.2f, 1, 0}, Point3{0.2f, 0, 0}})
            comb.push_back({(p.x + float(t)) * sx, p.y * sy, 0});
    }
    comb.push_back({0, -sy, 0});
    return comb;
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

TEST(Triangulate, RejectsEmptyMeshesAndBadIndices) {
    const std::vector<Point3> square = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    ExpectError(MeshOf({}, {{0, 1, 2}}), " has no vertices");
    ExpectError(MeshOf(square, {}), " has no polygons");
    ExpectError(MeshOf(square, {{0, 1, 2}, {0, 2, 4}}),
                ", polygon 1: vertex index 4 is out of range");
    ExpectError(MeshOf(square, {{0, 1, 1}}), " has no polygon with 3 or more");
}

// A repeated corner collapses; fewer than 3 distinct vertices drops the polygon.
TEST(Triangulate, DropsPolygonsOfFewerThanThreeDistinctCorners) {
    const std::vector<Point3> square = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
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

TEST(Triangulate, ATubeBendingByExactlyTheCreaseAngleIsSmooth) {
    // A 12-sided tube of triangles, as STL stores it: neighbours meet at 30 degrees, the limit.
    constexpr int kSides = 12;
    std::vector<Point3> vertices;
    for (int i = 0; i < kSides; ++i) {
        const double a = 2 * std::numbers::pi * i / kSides;
        for (float z : {0.0f, 3.0f})
            vertices.push_back({float(std::cos(a)), float(std::sin(a)), z});
    }
    std::vector<std::vector<int32_t>> faces;
    for (int i = 0; i < kSides; ++i) {
        const int32_t a = 2 * i, b = 2 * ((i + 1) % kSides);
        faces.push_back({a, b, b + 1});
        faces.push_back({a, b + 1, a + 1});
    }
    TriangulateOptions atLimit;
    atLimit.creaseAngleDeg = 30.0f;
    const Triangulation t = Triangulate(MeshOf(vertices, faces), atLimit);
    for (const auto& face : t.object->faces)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(face.flags & FaceEdgeHardBit(k), 0u);
    TriangulateOptions tighter;
    tighter.creaseAngleDeg = 29.9f;
    int hard = 0;
    const Triangulation creased = Triangulate(MeshOf(vertices, faces), tighter);
    for (const auto& face : creased.object->faces)
        for (int k = 0; k < 3; ++k) hard += (face.flags & FaceEdgeHardBit(k)) != 0;
    EXPECT_EQ(hard, 2 * kSides);  // each side edge, marked on both its faces
}

// Twice the signed area of a triangle's projection on z = 0.
double TwiceAreaXY(Point3 a, Point3 b, Point3 c) {
    return (double(b.x) - a.x) * (double(c.y) - a.y) - (double(b.y) - a.y) * (double(c.x) - a.x);
}

TEST(Triangulate, VerticesSharedByThousandsOfFacesGetPlaneNormalsAndCreases) {
    // A disc of n triangles around vertex 0, folded along the x axis: the half y < 0 turns up
    // by 45 degrees (z = -y), past the crease angle. Planar halves, and halves with a slight
    // ripple so that no two faces have the same normal.
    const int n = 4000;
    std::vector<std::vector<int32_t>> fan;
    for (int i = 0; i < n; ++i) fan.push_back({0, 1 + i, 1 + (i + 1) % n});
    const float h = float(std::sqrt(0.5));
    const Point3 flat{0, 0, 1}, tilted{0, h, h};
    std::vector<Point3> vertices;
    for (const double ripple : {0.0, 1e-5}) {
        SCOPED_TRACE(testing::Message() << "ripple " << ripple);
        vertices = {{0, 0, 0}};
        for (int i = 0; i < n; ++i) {
            const double a = 2 * std::numbers::pi * i / n;
            const float y = i == n / 2 ? 0.0f : float(std::sin(a));  // on the fold exactly
            vertices.push_back(
                {float(std::cos(a)), y, (y < 0 ? -y : 0.0f) + float(ripple * (i * i % 7))});
        }
        const Triangulation folded = Triangulate(MeshOf(vertices, fan));
        const RenderObject& object = *folded.object;
        ASSERT_EQ(object.faces.size(), size_t(n));
        std::multiset<std::pair<int32_t, int32_t>> hard;
        for (size_t f = 0; f < object.faces.size(); ++f) {
            const auto& face = object.faces[f];
            EXPECT_EQ(face.flags & KvrnLib::kFaceAllEdgesVisible, KvrnLib::kFaceAllEdgesVisible);
            for (int k = 0; k < 3; ++k)
                if (face.flags & FaceEdgeHardBit(k))
                    hard.insert({face.Vertex(k), face.Vertex((k + 1) % 3)});
            // The centre corner sums its own half only.
            const Point3 expected = f < size_t(n / 2) ? flat : tilted;
            const Point3 centre = object.cornerNormals[3 * f];
            EXPECT_NEAR(KvrnLib::Dot(centre, expected), 1.0f, 1e-6f) << f;
        }
        // The fold's two edges, once from each side.
        const int32_t start = 1, half = 1 + n / 2;
        EXPECT_EQ(hard, (std::multiset<std::pair<int32_t, int32_t>>{
                            {0, start}, {start, 0}, {0, half}, {half, 0}}));
    }

    // Flat, with smoothing groups in four runs of n / 4 faces: creases where the group changes.
    for (Point3& v : vertices) v.z = 0;
    PolyMesh grouped = MeshOf(vertices, fan);
    for (int i = 0; i < n; ++i) grouped.polygons[i].smoothingGroup = 1u << (i / (n / 4) % 2);
    const Triangulation groupedResult = Triangulate(grouped);
    const RenderObject& groups = *groupedResult.object;
    int hardMarks = 0;
    for (size_t f = 0; f < groups.faces.size(); ++f) {
        for (int k = 0; k < 3; ++k) {
            if (!(groups.faces[f].flags & FaceEdgeHardBit(k))) continue;
            ++hardMarks;
            const int32_t a = groups.faces[f].Vertex(k), b = groups.faces[f].Vertex((k + 1) % 3);
            EXPECT_EQ(std::min(a, b), 0);
            EXPECT_EQ((std::max(a, b) - 1) % (n / 4), 0) << a << " " << b;
        }
        for (int k = 0; k < 3; ++k) EXPECT_EQ(groups.cornerNormals[3 * f + k], flat);
    }
    EXPECT_EQ(hardMarks, 8);

    // Every face on one edge: no edge of two faces, so nothing is hard, and each face keeps its
    // own normal at the shared vertices.
    std::vector<Point3> book = {{0, 0, 0}, {1, 0, 0}};
    std::vector<std::vector<int32_t>> pages;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * i / n;
        book.push_back({0.5f, float(std::cos(a)), float(std::sin(a))});
        pages.push_back({0, 1, 2 + i});
    }
    const Triangulation bookResult = Triangulate(MeshOf(book, pages));
    const RenderObject& bound = *bookResult.object;
    ASSERT_EQ(bound.faces.size(), size_t(n));
    for (size_t f = 0; f < bound.faces.size(); ++f) {
        EXPECT_EQ(
            bound.faces[f].flags & (FaceEdgeHardBit(0) | FaceEdgeHardBit(1) | FaceEdgeHardBit(2)),
            0u);
        Point3 faceNormal = TriangleNormalTimes2(bound, bound.faces[f]);
        faceNormal = faceNormal * (1 / std::sqrt(KvrnLib::Dot(faceNormal, faceNormal)));
        EXPECT_NEAR(KvrnLib::Dot(bound.cornerNormals[3 * f], faceNormal), 1.0f, 1e-5f) << f;
    }
}

// Found by fuzzing the PLY reader: the reflex-corner grid of a polygon far longer than wide
// overflowed its cell count.
TEST(Triangulate, ACombFarLongerThanWideIsClipped) {
    const std::vector<Point3> comb = Comb(40, 1e28f, 1e-12f);  // 40: enough reflex corners
    std::vector<int32_t> corners(comb.size());
    for (size_t i = 0; i < corners.size(); ++i) corners[i] = int32_t(i);
    const Triangulation t = Triangulate(MeshOf(comb, {corners}));
    EXPECT_EQ(t.object->faces.size(), comb.size() - 2);
}

TEST(Triangulate, PolygonsOfTwentyThousandCornersAreCoveredWithoutOverlap) {
    const int n = 20000;
    std::vector<std::pair<std::string, std::vector<Point3>>> shapes;
    // A circle, a star, a star of random spikes, a spiral band of 2.4 turns (reflex corners of
    // one turn lie in ears of the next)...
    std::vector<Point3> circle, star, spiky, spiral;
    std::mt19937 random(3);
    std::uniform_real_distribution<double> radius(0.1, 1);
    for (int i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * i / n, r = i % 2 ? 0.5 : 1.0, s = radius(random);
        circle.push_back({float(std::cos(a)), float(std::sin(a)), 0});
        star.push_back({float(r * std::cos(a)), float(r * std::sin(a)), 0});
        spiky.push_back({float(s * std::cos(a)), float(s * std::sin(a)), 0});
        const int step = i < n / 2 ? i : n - 1 - i;  // out along one side, back along the other
        const double t = 5.0 * step / (n / 2), side = i < n / 2 ? 1.5 + t : 1 + t;
        spiral.push_back({float(side * std::cos(3 * t)), float(side * std::sin(3 * t)), 0});
    }
    // ... and a comb.
    shapes = {{"circle", circle},
              {"star", star},
              {"spiky", spiky},
              {"spiral", spiral},
              {"comb", Comb((n - 2) / 4, 1, 1)}};

    for (const auto& [name, outline] : shapes) {
        SCOPED_TRACE(name);
        const int corners = int(outline.size());
        std::vector<int32_t> polygon(corners);
        std::multiset<std::pair<int32_t, int32_t>> edges;
        double area = 0;
        for (int i = 0; i < corners; ++i) {
            polygon[i] = i;
            edges.insert({i, (i + 1) % corners});
            area += TwiceAreaXY({0, 0, 0}, outline[i], outline[(i + 1) % corners]) / 2;
        }
        const Triangulation t = Triangulate(MeshOf(outline, {polygon}));
        const RenderObject& object = *t.object;
        ASSERT_EQ(object.faces.size(), size_t(corners - 2));
        // Clipping always leaves a triangulated disc, so with no triangle clockwise each point is
        // covered as often as the outline winds round it: once inside, never outside. Collinear
        // corners may give flat triangles.
        double covered = 0;
        int clockwise = 0;
        for (const auto& f : object.faces) {
            const double triangle =
                TwiceAreaXY(object.vertices[f.vertexA], object.vertices[f.vertexB],
                            object.vertices[f.vertexC]) /
                2;
            clockwise += triangle < -1e-9 * area;
            covered += std::fabs(triangle);
        }
        EXPECT_EQ(clockwise, 0);
        EXPECT_NEAR(covered, area, 1e-9 * area);
        EXPECT_EQ(VisibleEdges(object), edges);
    }
}

TEST(Triangulate, MapCornersAndTwoSidedFollowTheirPolygonsTriangles) {
    // Polygon 1 is dropped and polygon 2 loses a repeated corner; polygon 3 has no map corners.
    // The texture vertex of a corner on vertex v of polygon p is (v, p, 0); the list is reversed
    // so that map and vertex indices differ.
    const std::vector<Point3> square = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}};
    PolyMesh mesh = MeshOf(square, {{0, 1, 2, 3}, {1, 1, 2}, {1, 4, 4, 2}, {0, 2, 3}});
    std::vector<Point3>& texture = mesh.mapVertices[kTextureChannel];
    for (int p = 0; p < 3; ++p)
        for (int32_t v : mesh.polygons[p].vertices) texture.push_back({float(v), float(p), 0});
    std::reverse(texture.begin(), texture.end());
    int32_t index = int32_t(texture.size());
    for (int p = 0; p < 3; ++p)
        for (size_t i = 0; i < mesh.polygons[p].vertices.size(); ++i)
            mesh.polygons[p].mapCorners[kTextureChannel].push_back(--index);
    mesh.polygons[2].twoSided = true;

    const Triangulation t = Triangulate(mesh);
    const RenderObject& object = *t.object;
    EXPECT_EQ(t.droppedPolygons, 1);
    // The quad's two, the cleaned triangle 1-4-2 and triangle 0-2-3.
    ASSERT_EQ(object.faces.size(), 4u);
    EXPECT_EQ(object.mapChannels[kColorChannel], nullptr);
    ASSERT_NE(object.mapChannels[kTextureChannel], nullptr);
    const KvrnLib::UVMesh& map = *object.mapChannels[kTextureChannel];
    ASSERT_EQ(map.faces.size(), object.faces.size());
    ASSERT_EQ(map.vertices.size(), texture.size() + 1);
    EXPECT_EQ(map.vertices.back(), (Point3{0, 0, 0}));
    const float polygonOf[] = {0, 0, 2, 3};
    for (size_t f = 0; f < object.faces.size(); ++f) {
        const bool last = f == 3;  // the polygon without map corners
        for (int k = 0; k < 3; ++k) {
            const int32_t m = map.faces[f][k];
            ASSERT_GE(m, 0);
            ASSERT_LT(size_t(m), map.vertices.size());
            const Point3 expected =
                last ? Point3{0, 0, 0} : Point3{float(object.faces[f].Vertex(k)), polygonOf[f], 0};
            EXPECT_EQ(map.vertices[m], expected) << f << " " << k;
        }
        EXPECT_EQ((object.faces[f].flags & KvrnLib::kFaceTwoSided) != 0, f == 2) << f;
    }

    PolyMesh outOfRange = mesh;
    outOfRange.polygons[2].mapCorners[kTextureChannel][1] = int32_t(texture.size());
    ExpectError(outOfRange, ", polygon 2: texture coordinate index " +
                                std::to_string(texture.size()) + " is out of range");
    PolyMesh fewer = mesh;
    fewer.polygons[0].mapCorners[kTextureChannel].pop_back();
    ExpectError(fewer, ", polygon 0: texture coordinate indices: 3 for 4 corners");
    PolyMesh noColours = mesh;
    noColours.polygons[3].mapCorners[kColorChannel] = {0, 0, 0};
    ExpectError(noColours, ", polygon 3: vertex colour index 0 is out of range");
}

TEST(Triangulate, ASetInterruptFlagStopsIt) {
    std::vector<Point3> vertices;
    std::vector<std::vector<int32_t>> quads;
    for (int i = 0; i < 10000; ++i) {
        vertices.push_back({float(i), 0, 0});
        vertices.push_back({float(i), 1, 0});
        if (i > 0) quads.push_back({2 * i - 2, 2 * i, 2 * i + 1, 2 * i - 1});
    }
    const PolyMesh mesh = MeshOf(vertices, quads);
    volatile std::sig_atomic_t flag = 0;
    EXPECT_EQ(Triangulate(mesh, {.interrupt = &flag}).object->faces.size(), 2u * quads.size());
    flag = 1;
    EXPECT_THROW(Triangulate(mesh, {.interrupt = &flag}), ImportInterrupted);
}

// Every output of a triangulation, for comparing two of them.
void ExpectSameObject(const RenderObject& a, const RenderObject& b) {
    ASSERT_EQ(a.faces.size(), b.faces.size());
    for (size_t f = 0; f < a.faces.size(); ++f) {
        const KvrnLib::FaceRecord &x = a.faces[f], &y = b.faces[f];
        ASSERT_TRUE(x.vertexA == y.vertexA && x.vertexB == y.vertexB && x.vertexC == y.vertexC &&
                    x.flags == y.flags && x.materialID == y.materialID &&
                    x.smoothingGroup == y.smoothingGroup)
            << "face " << f;
    }
    EXPECT_EQ(a.vertices, b.vertices);
    EXPECT_EQ(a.cornerNormals, b.cornerNormals);
    EXPECT_EQ(a.explicitNormals, b.explicitNormals);
    for (int channel = 0; channel < kPolyMapChannels; ++channel) {
        ASSERT_EQ(a.mapChannels[channel] == nullptr, b.mapChannels[channel] == nullptr);
        if (!a.mapChannels[channel]) continue;
        EXPECT_EQ(a.mapChannels[channel]->vertices, b.mapChannels[channel]->vertices);
        EXPECT_EQ(a.mapChannels[channel]->faces, b.mapChannels[channel]->faces);
    }
}

// The same polygons, listed or packed, or half and half, give the same object and the same
// checks: texture corners (one polygon without), two-sided and smoothing groups, a repeated
// corner, a degenerate polygon and a copy, with and without explicit normals.
TEST(Triangulate, PackedPolygonsTriangulateAsListedOnes) {
    std::vector<Point3> grid;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) grid.push_back({float(x), float(y), float((x * y) % 3) * 0.3f});
    const std::vector<std::vector<int32_t>> corners = {
        {0, 1, 5, 4},  {1, 2, 6, 5},      {2, 3, 7, 6},   {4, 5, 9, 9, 8},
        {5, 6, 10, 9}, {6, 7, 11, 10, 6}, {8, 9, 13, 12}, {9, 9, 9},
        {10, 11, 15},  {10, 15, 14},      {14, 10, 15},   {9, 10, 14, 13}};
    for (const bool normals : {false, true}) {
        SCOPED_TRACE(normals ? "explicit normals" : "computed normals");
        PolyMesh listed = MeshOf(grid, corners);
        listed.mapVertices[kTextureChannel] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
        for (size_t p = 0; p < listed.polygons.size(); ++p) {
            Polygon& poly = listed.polygons[p];
            for (size_t i = 0; i < poly.vertices.size() && p != 4; ++i)
                poly.mapCorners[kTextureChannel].push_back(int32_t((p + i) % 4));
            if (normals) poly.normals.assign(poly.vertices.size(), {0, 0.6f, 0.8f});
            poly.twoSided = p % 3 == 0;
            poly.smoothingGroup = p % 5 == 0 ? 0 : 1u << (p % 2);
            poly.materialID = uint16_t(p == 10 ? 1 : p % 2);
        }
        const auto pack = [](PolyMesh mesh, size_t from) {
            PackedPolygons& packed = mesh.packed;
            for (size_t p = from; p < mesh.polygons.size(); ++p) {
                const Polygon& poly = mesh.polygons[p];
                packed.vertices.insert(packed.vertices.end(), poly.vertices.begin(),
                                       poly.vertices.end());
                packed.start.push_back(int32_t(packed.vertices.size()));
                packed.normals.insert(packed.normals.end(), poly.normals.begin(),
                                      poly.normals.end());
                std::vector<int32_t>& uv = packed.mapCorners[kTextureChannel];
                if (poly.mapCorners[kTextureChannel].empty()) {
                    uv.insert(uv.end(), poly.vertices.size(), -1);
                } else {
                    uv.insert(uv.end(), poly.mapCorners[kTextureChannel].begin(),
                              poly.mapCorners[kTextureChannel].end());
                }
                packed.materialIDs.push_back(poly.materialID);
                packed.smoothingGroups.push_back(poly.smoothingGroup);
                packed.twoSided.push_back(poly.twoSided);
            }
            mesh.polygons.resize(from);
            return mesh;
        };
        const Triangulation expected = Triangulate(listed);
        EXPECT_EQ(expected.droppedPolygons, 1);
        EXPECT_EQ(expected.copiedPolygons, 1);
        EXPECT_EQ(expected.object->explicitNormals, normals ? 1 : 0);
        for (const size_t from : {size_t(0), size_t(6)}) {
            SCOPED_TRACE(testing::Message() << "packed from polygon " << from);
            PolyMesh mesh = pack(listed, from);
            EXPECT_EQ(mesh.HasCornerNormals(), normals);
            const Triangulation t = Triangulate(std::move(mesh));
            EXPECT_EQ(t.droppedPolygons, 1);
            EXPECT_EQ(t.copiedPolygons, 1);
            ExpectSameObject(*t.object, *expected.object);

            PolyMesh bad = pack(listed, from);
            bad.packed.vertices[bad.packed.start[2] + 1] = 16;
            ExpectError(bad, ", polygon " + std::to_string(from + 2) +
                                 ": vertex index 16 is out of range (expected 0 to 15)");
            bad = pack(listed, from);
            bad.packed.mapCorners[kTextureChannel][1] = 4;
            ExpectError(bad, ", polygon " + std::to_string(from) +
                                 ": texture coordinate index 4 is out of range (expected 0 to 3)");
        }
    }
}

// Workers share the polygons and vertices out among them; the object does not change with their
// number. A wavy grid of quads and hexagons, with creases, so that normals and hard edges vary.
TEST(Triangulate, ObjectsDoNotDependOnTheThreadCount) {
    constexpr int kSide = 300;
    std::vector<Point3> vertices;
    for (int y = 0; y <= kSide; ++y) {
        for (int x = 0; x <= kSide; ++x) {
            const float wave = std::sin(float(x) * 0.3f) + (x % 17 == 0 ? 1.5f : 0.0f);
            vertices.push_back({float(x), float(y), wave + float(y % 7) * 0.2f});
        }
    }
    std::vector<std::vector<int32_t>> polygons;
    const auto at = [](int x, int y) { return int32_t(y * (kSide + 1) + x); };
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x + 1 < kSide; x += 2) {
            if ((x + y) % 3 == 0) {
                polygons.push_back({at(x, y), at(x + 1, y), at(x + 2, y), at(x + 2, y + 1),
                                    at(x + 1, y + 1), at(x, y + 1)});
            } else {
                polygons.push_back({at(x, y), at(x + 1, y), at(x + 1, y + 1), at(x, y + 1)});
                polygons.push_back({at(x + 1, y), at(x + 2, y), at(x + 2, y + 1)});
                polygons.push_back({at(x + 1, y), at(x + 2, y + 1), at(x + 1, y + 1)});
            }
        }
    }
    // A fan of hundreds of triangles around one vertex takes the other way round a vertex.
    const int32_t apex = int32_t(vertices.size());
    vertices.push_back({float(kSide) / 2, -5, 3});
    for (int x = 0; x < kSide; ++x) polygons.push_back({apex, at(x + 1, 0), at(x, 0)});
    const PolyMesh mesh = MeshOf(vertices, polygons);
    const Triangulation one = Triangulate(mesh);
    for (const int threads : {1, 2, 7}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        KvrnLib::ThreadManagerCore pool(threads);
        const Triangulation t = Triangulate(mesh, {.pool = &pool});
        ExpectSameObject(*t.object, *one.object);
    }
}

}  // namespace
}  // namespace KvrnApp
