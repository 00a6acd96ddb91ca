#include "edge_kinds.h"

#include <gtest/gtest.h>

#include <cmath>

#include "render_object_info.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

LineSetDetection AllKinds(float minDegrees, float maxDegrees) {
    LineSetDetection set;
    for (LineClassDetection* c : {&set.visible, &set.hidden}) {
        c->kind.fill(0);
        for (int k = 0; k < 8; ++k) c->kind[k] = 1;
        c->openEdgeOutline = c->openEdgeObject = 1;
        c->cosMin = std::cos(Radians(minDegrees));
        c->cosMax = std::cos(Radians(maxDegrees));
    }
    return set;
}

// Two triangles hinged on the x axis: face 0 in the z = 0 plane, face 1 turned up by `degrees`.
std::shared_ptr<RenderObject> Hinge(float degrees, const Camera& camera) {
    auto object = std::make_shared<RenderObject>();
    const float a = Radians(degrees);
    object->vertices = {{0, 0, 0}, {1, 0, 0}, {0.5f, -1, 0}, {0.5f, std::cos(a), std::sin(a)}};
    // Both wound so their normals point up (+z side) when flat.
    // The shared edge (face 0's edge 2, face 1's edge 0) is an invisible edge of the mesh.
    FaceRecord f0{0, 2, 1, FaceEdgeVisibleBit(0) | FaceEdgeVisibleBit(1), 0, 1};
    FaceRecord f1{0, 1, 3, FaceEdgeVisibleBit(1), 0, 1};
    object->faces = {f0, f1};
    object->cornerNormals.assign(6, Point3{0, 0, 1});
    object->SetTransforms(Matrix3::Identity(), camera.worldToCam);
    return object;
}

// The kinds of the one edge the object's faces share.
EdgeKinds SharedEdge(const std::shared_ptr<RenderObject>& object, const Camera& camera,
                     const LineSetDetection& set) {
    Scene scene(camera, {object});
    const RenderObjectInfoEx& info = scene.Info(0);
    for (const MeshEdge& e : BuildMeshEdges(scene.Object(0), info.FacingBytes()))
        if (e.face1 >= 0) return ClassifyEdge(scene.Object(0), info.FaceNormals(), e, set);
    ADD_FAILURE() << "no shared edge";
    return EdgeKinds{};
}

TEST(EdgeKinds, BoxEdgesBySmoothingWireAndAngle) {
    const Camera camera = test::LookAtCamera({5, -4, 3}, {0, 0, 0}, 320, 240, 300);
    Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)});
    const RenderObjectInfoEx& info = scene.Info(0);
    const std::vector<MeshEdge> edges = BuildMeshEdges(scene.Object(0), info.FacingBytes());
    const LineSetDetection set = AllKinds(45, 180);
    int sideEdges = 0, diagonals = 0, silhouettes = 0;
    for (const MeshEdge& e : edges) {
        const EdgeKinds kinds = ClassifyEdge(scene.Object(0), info.FaceNormals(), e, set);
        if (e.face1 < 0) {
            ++silhouettes;
            EXPECT_EQ(kinds.mask, 0x3u);  // outline and object, chosen later by the side test
            EXPECT_EQ(PieceKind(kinds, set, false, true, true), kEdgeOutline);
            EXPECT_EQ(PieceKind(kinds, set, true, true, false), kEdgeObject);
            continue;
        }
        if (kinds.mask == 0) {
            ++diagonals;  // same side, same group, invisible edge, flat
            continue;
        }
        ++sideEdges;
        EXPECT_EQ(kinds.mask,
                  (1u << kEdgeSmoothing) | (1u << kEdgeNormalAngle) | (1u << kEdgeWire));
        EXPECT_EQ(PieceKind(kinds, set, false, false, false), kEdgeSmoothing);
    }
    EXPECT_EQ(sideEdges, 3);  // the three visible edges between front sides
    EXPECT_EQ(diagonals, 3);
    EXPECT_EQ(silhouettes, 6);

    // With smoothing off, the priority falls to the angle, then the wire.
    LineSetDetection noSmoothing = set;
    noSmoothing.visible.kind[kEdgeSmoothing] = 0;
    noSmoothing.hidden.kind[kEdgeNormalAngle] = 0;
    noSmoothing.hidden.kind[kEdgeSmoothing] = 0;
    for (const MeshEdge& e : edges) {
        const EdgeKinds kinds = ClassifyEdge(scene.Object(0), info.FaceNormals(), e, noSmoothing);
        if (e.face1 < 0 || kinds.mask == 0) continue;
        EXPECT_EQ(PieceKind(kinds, noSmoothing, false, false, false), kEdgeNormalAngle);
        EXPECT_EQ(PieceKind(kinds, noSmoothing, true, false, false), kEdgeWire);
    }
}

TEST(EdgeKinds, NormalAngleIncludesBothLimits) {
    const Camera camera = test::LookAtCamera({0.5f, -2, 6}, {0.5f, 0, 0}, 320, 240, 300);
    // A minimum of 45 degrees includes 45 and excludes 44; a maximum of 44 the other way round.
    for (float degrees : {44.0f, 45.0f}) {
        const auto hinge = Hinge(degrees, camera);
        EXPECT_EQ(SharedEdge(hinge, camera, AllKinds(45, 180)).angleVisible, degrees >= 45.0f);
        EXPECT_EQ(SharedEdge(hinge, camera, AllKinds(10, 44)).angleVisible, degrees <= 44.0f);
    }
}

TEST(EdgeKinds, ExplicitNormalsHardMarksMaterialsAndSelection) {
    const Camera camera = test::LookAtCamera({0.5f, -2, 6}, {0.5f, 0, 0}, 320, 240, 300);
    const LineSetDetection set = AllKinds(170, 180);  // angle lines need a fold past 170
    auto shared = [&](const std::shared_ptr<RenderObject>& object) {
        return SharedEdge(object, camera, set);
    };
    auto hinge = Hinge(30, camera);
    EXPECT_EQ(shared(hinge).mask, 0u);  // same group, flat enough, not a wire edge

    hinge->faces[0].flags |= FaceEdgeHardBit(2);
    EXPECT_TRUE(shared(hinge).mask & (1u << kEdgeSmoothing));

    auto split = Hinge(30, camera);
    split->explicitNormals = 1;  // equal corner normals: smooth whatever the groups say
    split->faces[1].smoothingGroup = 2;
    EXPECT_FALSE(shared(split).mask & (1u << kEdgeSmoothing));
    split->cornerNormals[3] = {0, 1, 0};  // face 1's corner at vertex 0 differs
    EXPECT_TRUE(shared(split).mask & (1u << kEdgeSmoothing));

    auto materials = Hinge(30, camera);
    materials->faces[1].materialID = 3;
    materials->faces[1].flags |= FaceEdgeSelectedBit(0);  // edge 0 -> 1 of face 1
    const EdgeKinds k = shared(materials);
    EXPECT_EQ(k.mask, (1u << kEdgeMaterialID) | (1u << kEdgeSelected));
    EXPECT_EQ(PieceKind(k, set, false, false, false), kEdgeMaterialID);
}

TEST(EdgeKinds, OpenEdgeSwitchesPerClass) {
    LineSetDetection set = AllKinds(45, 180);
    set.visible.openEdgeOutline = 0;
    set.hidden.openEdgeObject = 0;
    const Camera camera = test::LookAtCamera({0.5f, -2, 6}, {0.5f, 0, 0}, 320, 240, 300);
    Scene scene(camera, {Hinge(30, camera)});
    const RenderObjectInfoEx& info = scene.Info(0);
    int open = 0;
    for (const MeshEdge& e : BuildMeshEdges(scene.Object(0), info.FacingBytes())) {
        if (e.face1 != kMeshEdgeOpen) continue;
        ++open;
        const EdgeKinds k = ClassifyEdge(scene.Object(0), info.FaceNormals(), e, set);
        EXPECT_EQ(PieceKind(k, set, false, true, true), -1);  // visible open outline is off
        EXPECT_EQ(PieceKind(k, set, false, true, false), kEdgeObject);
        EXPECT_EQ(PieceKind(k, set, true, true, true), kEdgeOutline);
        EXPECT_EQ(PieceKind(k, set, true, true, false), -1);
    }
    EXPECT_EQ(open, 4);
}

}  // namespace
}  // namespace KvrnLib
