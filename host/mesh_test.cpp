#include "mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "matrix3.h"

namespace KvrnHost {
namespace {

Point3 Cross(const Point3& a, const Point3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float Dot(const Point3& a, const Point3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Point in polygon by the even-odd rule, in the XY plane.
bool InsideXY(const std::vector<Point3>& outline, const Point3& p) {
    bool inside = false;
    for (size_t i = 0, j = outline.size() - 1; i < outline.size(); j = i++) {
        const Point3& a = outline[i];
        const Point3& b = outline[j];
        if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x)
            inside = !inside;
    }
    return inside;
}

// An L of area 3 with a reflex corner at (1, 1), counter-clockwise seen from +Z.
const std::vector<Point3> kOutline = {{0, 0, 0}, {2, 0, 0}, {2, 1, 0},
                                      {1, 1, 0}, {1, 2, 0}, {0, 2, 0}};

// The L placed by tm, its corners listed backwards when reversed. Map channel 1 holds the
// untransformed outline point of each corner; corner 2's edge (to corner 3) is hidden.
MNMesh LShape(const Matrix3& tm, bool reversed) {
    MNMesh mesh;
    MNFace face;
    MNMap& map = mesh.maps[1];
    for (size_t i = 0; i < kOutline.size(); ++i) {
        const size_t k = reversed ? kOutline.size() - 1 - i : i;
        mesh.verts.push_back(tm.PointTransform(kOutline[k]));
        map.tv.push_back(kOutline[k]);
        face.vtx.push_back(uint32_t(i));
    }
    face.edgeVisible.assign(kOutline.size(), 1);
    face.edgeVisible[2] = 0;
    face.smGroup = 4;
    face.matID = 7;
    mesh.faces.push_back(face);
    map.tf.push_back(face.vtx);
    mesh.faceSel = {1};
    mesh.vertSel = {0, 1, 0, 0, 0, 1};
    return mesh;
}

TEST(MeshTest, ConcavePolygonSplitsInsideItsOutlineKeepingEdgesAndMaps) {
    const Matrix3 tilt =
        Matrix3::RotationX(0.7f) * Matrix3::RotationY(-0.4f) * Matrix3::Translation({3, -2, 5});
    const Matrix3 untilt = tilt.Inverse();
    const Point3 planeNormal = tilt.VectorTransform({0, 0, 1});
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "clockwise" : "counter-clockwise");
        const MNMesh poly = LShape(tilt, reversed);
        const Mesh mesh = TriangulateMNMesh(poly);
        ASSERT_EQ(mesh.NumFaces(), 4);
        EXPECT_EQ(mesh.vertSel, poly.vertSel);
        EXPECT_EQ(mesh.faceSel, (std::vector<uint8_t>(4, 1)));
        ASSERT_TRUE(mesh.MapSupport(1));
        float area = 0.0f;
        int visibleEdges = 0;
        for (int f = 0; f < mesh.NumFaces(); ++f) {
            const Face& face = mesh.faces[size_t(f)];
            EXPECT_EQ(face.smGroup, 4u);
            EXPECT_EQ(face.matID, 7);
            const Point3& a = mesh.verts[face.v[0]];
            const Point3 n = Cross(mesh.verts[face.v[1]] - a, mesh.verts[face.v[2]] - a);
            // Every triangle faces the way the polygon does (no folded-over triangle).
            EXPECT_GT(Dot(n, planeNormal) * (reversed ? -1 : 1), 0.0f) << f;
            // The L splits into triangles of area 0.5 or more: no zero-area sliver.
            EXPECT_GT(n.Length() / 2, 0.25f) << f;
            area += n.Length() / 2;
            const Point3 centroid =
                (a + mesh.verts[face.v[1]] + mesh.verts[face.v[2]]) * (1.0f / 3.0f);
            EXPECT_TRUE(InsideXY(kOutline, untilt.PointTransform(centroid))) << f;
            for (int k = 0; k < 3; ++k) {
                const uint32_t from = face.v[size_t(k)], to = face.v[size_t((k + 1) % 3)];
                const bool outlineEdge = (from + 1) % 6 == to;
                const bool hiddenEdge = from == 2 && to == 3;
                EXPECT_EQ(face.EdgeVisible(k), outlineEdge && !hiddenEdge) << f << " " << k;
                visibleEdges += face.EdgeVisible(k);
                // Texture corners follow the mesh corners.
                EXPECT_EQ(mesh.maps[1].tv[mesh.maps[1].tf[size_t(f)].t[size_t(k)]],
                          poly.maps[1].tv[face.v[size_t(k)]]);
            }
        }
        EXPECT_NEAR(area, 3.0f, 1e-4f);
        EXPECT_EQ(visibleEdges, 5);
    }
}

TEST(MeshTest, InconsistentMeshesAreNamedByTheirFirstBadFace) {
    MNMesh poly = LShape(Matrix3(), false);
    poly.faces[0].vtx[4] = 9;
    try {
        TriangulateMNMesh(poly);
        FAIL() << "an index out of range was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("face 0: index 9"), std::string::npos) << e.what();
    }

    Mesh mesh;
    mesh.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.faces.resize(2);
    mesh.faces[0].v = {0, 1, 2};
    mesh.faces[1].v = {0, 2, 1};
    EXPECT_EQ(ValidateMesh(mesh), "");
    mesh.faces[1].v[2] = 3;
    EXPECT_NE(ValidateMesh(mesh).find("face 1: index 3"), std::string::npos);
    mesh.faces[1].v[2] = 1;
    mesh.maps[2].tv = {{0, 0, 0}};
    mesh.maps[2].tf = {TVFace{{0, 0, 0}}, TVFace{{0, 1, 0}}};
    EXPECT_NE(ValidateMesh(mesh).find("map channel 2 face 1: index 1"), std::string::npos)
        << ValidateMesh(mesh);
    mesh.verts[1].y = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ValidateMesh(mesh), "vertex 1 is not finite");
}

// Unit cube, two triangles per side; side s gets smoothing group groupOf(s).
Mesh Cube(uint32_t (*groupOf)(int)) {
    Mesh mesh;
    for (int i = 0; i < 8; ++i)
        mesh.verts.push_back({float(i & 1), float(i >> 1 & 1), float(i >> 2)});
    const uint32_t sides[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                  {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (int s = 0; s < 6; ++s) {
        const uint32_t* q = sides[s];
        for (auto tri : {std::array<uint32_t, 3>{q[0], q[1], q[2]}, {q[0], q[2], q[3]}}) {
            Face face;
            face.v = tri;
            face.smGroup = groupOf(s);
            mesh.faces.push_back(face);
        }
    }
    return mesh;
}

TEST(MeshTest, SmoothingGroupsDecideWhichFacesAverage) {
    // Faceted: every corner takes its own side's normal, outwards.
    const Mesh faceted = Cube([](int s) { return uint32_t(1) << s; });
    std::vector<Point3> normals = ComputeCornerNormals(faceted);
    ASSERT_EQ(normals.size(), 36u);
    const Point3 centre(0.5f, 0.5f, 0.5f);
    for (int f = 0; f < 12; ++f) {
        const Face& face = faceted.faces[size_t(f)];
        const Point3 mid = (faceted.verts[face.v[0]] + faceted.verts[face.v[2]]) * 0.5f;
        const Point3 outward = (mid - centre) * 2.0f;  // the side's unit normal
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(Dot(normals[size_t(f) * 3 + k], outward), 1.0f, 1e-6f) << f;
        }
    }
    EXPECT_EQ(ComputeCornerNormals(Cube([](int) { return 0u; })), normals);

    // One group: every corner of a vertex gets the same normal, pointing away from the centre
    // into the vertex's octant.
    const Mesh smooth = Cube([](int) { return 1u; });
    normals = ComputeCornerNormals(smooth);
    for (int f = 0; f < 12; ++f) {
        for (int k = 0; k < 3; ++k) {
            const Point3& n = normals[size_t(f) * 3 + k];
            const Point3 dir = smooth.verts[smooth.faces[size_t(f)].v[size_t(k)]] - centre;
            EXPECT_NEAR(n.Length(), 1.0f, 1e-6f);
            EXPECT_GT(n.x * dir.x, 0.0f);
            EXPECT_GT(n.y * dir.y, 0.0f);
            EXPECT_GT(n.z * dir.z, 0.0f);
        }
    }

    // Specified normals override the groups, the user's (explicit) and the computed ones kept
    // with them alike; a corner the normal faces leave without one falls back to the groups.
    Mesh normalSpec = faceted;
    normalSpec.specifiedNormals.normals = {{0, 0, 1}, {1, 0, 0}};
    normalSpec.specifiedNormals.faces.assign(12, {0, 1, 7});
    normalSpec.specifiedNormals.explicitNormal = {1, 0};
    bool allExplicit = true;
    normals = ComputeCornerNormals(normalSpec, &allExplicit);
    EXPECT_FALSE(allExplicit);
    EXPECT_EQ(normals[0], Point3(0, 0, 1));
    EXPECT_EQ(normals[1], Point3(1, 0, 0));
    EXPECT_EQ(normals[2], ComputeCornerNormals(faceted)[2]);
    normalSpec.specifiedNormals.faces.assign(12, {0, 0, 1});
    normalSpec.specifiedNormals.explicitNormal.clear();
    normals = ComputeCornerNormals(normalSpec, &allExplicit);
    EXPECT_TRUE(allExplicit);
    EXPECT_EQ(normals[35], Point3(1, 0, 0));
}

}  // namespace
}  // namespace KvrnHost
