// The frame's engine scene from render instances: face flags, select-edge marks, placeholders,
// map channels and the camera's depth limits.
#include "frame_render_info.h"

#include <gtest/gtest.h>

#include <bit>

#include "mtl.h"
#include "node.h"

namespace {

// One quad as two triangles, x and y from 0 to 1 at z = -5; material IDs 0 and 1.
std::shared_ptr<Mesh> QuadMesh() {
    auto mesh = std::make_shared<Mesh>();
    mesh->verts = {{0, 0, -5}, {1, 0, -5}, {1, 1, -5}, {0, 1, -5}};
    Face first, second;
    first.v = {0, 1, 2};
    first.flags = EDGE_A | EDGE_B | (FACE_HARD_EDGE_A << 2);
    first.smGroup = 1;
    second.v = {0, 2, 3};
    second.flags = EDGE_B | EDGE_C;
    second.matID = 1;
    second.smGroup = 2;
    mesh->faces = {first, second};
    return mesh;
}

class TwoSidedSubMtl : public Mtl {
  public:
    explicit TwoSidedSubMtl(int subs, unsigned twoSidedMask) : subs_(subs), mask_(twoSidedMask) {}
    int NumSubMtls() override { return subs_; }
    unsigned Requirements(int sub) override {
        return sub >= 0 && ((mask_ >> sub) & 1u) ? MTLREQ_2SIDE : 0u;
    }

  private:
    int subs_;
    unsigned mask_;
};

TEST(FrameRenderInfo, FacesCarryTwoSidedAndEdgeVisibilityBits) {
    RefPtr<Mtl> mtl(new TwoSidedSubMtl(2, 0b10));
    RenderInstance instance;
    instance.mesh = QuadMesh();
    instance.mtl = mtl.get();
    instance.objToWorld = Matrix3::Translation({1, 2, 3});
    KvrnLib::RenderObject object;
    ASSERT_TRUE(ConvertRenderInstance(object, instance, nullptr, -1));
    ASSERT_EQ(object.faces.size(), 2u);
    EXPECT_EQ(object.faces[0].flags, KvrnLib::FaceEdgeVisibleBit(0) |
                                         KvrnLib::FaceEdgeVisibleBit(1) |
                                         KvrnLib::FaceEdgeHardBit(2));
    EXPECT_EQ(object.faces[1].flags, KvrnLib::kFaceTwoSided | KvrnLib::FaceEdgeVisibleBit(1) |
                                         KvrnLib::FaceEdgeVisibleBit(2));
    EXPECT_EQ(object.faces[1].smoothingGroup, 2u);
    EXPECT_EQ(object.faces[1].vertexC, 3);
    EXPECT_EQ(object.objToWorld.row[3].z, 3.0f);
    EXPECT_TRUE(object.cornerNormals.empty());

    // Material IDs wrap by the slot count: ID 3 of two slots is slot 1.
    instance.mesh = [] {
        auto mesh = QuadMesh();
        mesh->faces[1].matID = 3;
        mesh->faces[0].matID = 2;
        return mesh;
    }();
    ASSERT_TRUE(ConvertRenderInstance(object, instance, nullptr, -1));
    EXPECT_EQ(object.faces[0].flags & KvrnLib::kFaceTwoSided, 0u);
    EXPECT_NE(object.faces[1].flags & KvrnLib::kFaceTwoSided, 0u);

    EXPECT_EQ(MaterialSlotCount(nullptr), 0);
    EXPECT_EQ(MaterialSlotCount(mtl.get()), 2);
    instance.mesh.reset();
    EXPECT_FALSE(ConvertRenderInstance(object, instance, nullptr, -1));
}

TEST(FrameRenderInfo, MapChannelsAndCornerNormalsAreCopied) {
    auto mesh = QuadMesh();
    mesh->maps[1].tv = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    mesh->maps[1].tf = {{{0, 1, 2}}, {{0, 2, 3}}};
    RenderInstance instance;
    instance.mesh = mesh;
    instance.cornerNormals = std::make_shared<std::vector<Point3>>(6, Point3{0, 0, 1});
    instance.explicitNormals = true;
    KvrnLib::RenderObject object;
    ASSERT_TRUE(ConvertRenderInstance(object, instance, nullptr, -1));
    ASSERT_NE(object.mapChannels[1], nullptr);
    EXPECT_EQ(object.mapChannels[1]->faces[1], (std::array<int32_t, 3>{0, 2, 3}));
    EXPECT_EQ(object.mapChannels[1]->vertices[2].y, 1.0f);
    EXPECT_EQ(object.mapChannels[0], nullptr);
    EXPECT_EQ(object.mapChannels[2], nullptr);
    EXPECT_EQ(object.cornerNormals.size(), 6u);
    EXPECT_EQ(object.explicitNormals, 1);

    // A secondary object shares the main object's maps.
    KvrnLib::RenderObject secondary;
    ASSERT_TRUE(ConvertRenderInstance(secondary, instance, &object, -1));
    EXPECT_EQ(secondary.mapChannels[1], object.mapChannels[1]);

    // Corner normals of another count than three per face are not taken.
    instance.cornerNormals = std::make_shared<std::vector<Point3>>(5);
    ASSERT_TRUE(ConvertRenderInstance(object, instance, nullptr, -1));
    EXPECT_TRUE(object.cornerNormals.empty());
    EXPECT_EQ(object.explicitNormals, 0);
}

TEST(FrameRenderInfo, SelectEdgeChannelMarksOnlyMarkerValues) {
    Scene scene;
    auto* node = new INode;
    scene.GetRootNode()->AttachChild(node);
    auto mesh = QuadMesh();
    // Face 0: its edge 0 (texture vertices 0 and 1) carries the marker; face 1's edge 1
    // (texture vertices 2 and 3) carries 4.0, which is no marker.
    const float marker = 3.9999998f;
    ASSERT_EQ(std::bit_cast<uint32_t>(marker) & 0x407FFFFFu, 0x407FFFFFu);
    mesh->maps[98].tv = {{marker, 0, 0}, {marker, 0.5f, 0}, {4.0f, 0, 0}, {4.0f, 2, 0}};
    mesh->maps[98].tf = {{{0, 1, 2}}, {{0, 2, 3}}};

    RenderGlobalContext gc;
    gc.devWidth = 64;
    gc.devHeight = 48;
    RenderInstance instance;
    instance.node = node;
    instance.mesh = mesh;
    gc.instances = {instance};

    KvrnFrameRenderInfo info;
    ASSERT_TRUE(info.Initialize(gc));
    const uint32_t selected = KvrnLib::FaceEdgeSelectedBit(0) | KvrnLib::FaceEdgeSelectedBit(1) |
                              KvrnLib::FaceEdgeSelectedBit(2);
    EXPECT_EQ(info.GetScene().Object(0).faces[0].flags & selected, 0u);

    info.SetSelectEdgeChannel(node, 98);
    ASSERT_TRUE(info.Initialize(gc));
    EXPECT_EQ(info.GetScene().Object(0).faces[0].flags & selected, KvrnLib::FaceEdgeSelectedBit(0));
    EXPECT_EQ(info.GetScene().Object(0).faces[1].flags & selected, 0u);

    info.SetSelectEdgeChannel(node, -1);
    ASSERT_TRUE(info.Initialize(gc));
    EXPECT_EQ(info.GetScene().Object(0).faces[0].flags & selected, 0u);
}

// A node whose mesh, normals and material stay the same keeps its engine object from frame to
// frame with the new transforms; a new mesh or a two-sided change is taken up; an object a loader
// handed over serves the first frame with the material's two-sided bits.
TEST(FrameRenderInfo, UnchangedMeshesKeepTheirObjectsAcrossFrames) {
    Scene scene;
    auto* node = new INode;
    scene.GetRootNode()->AttachChild(node);
    RefPtr<Mtl> oneSided(new TwoSidedSubMtl(2, 0b00)), secondTwoSided(new TwoSidedSubMtl(2, 0b10));
    RenderGlobalContext gc;
    RenderInstance instance;
    instance.node = node;
    instance.mesh = QuadMesh();
    instance.mtl = oneSided.get();
    gc.instances = {instance};

    KvrnFrameRenderInfo info;
    ASSERT_TRUE(info.Initialize(gc));
    const KvrnLib::RenderObject* first = &info.GetScene().Object(0);
    gc.instances[0].objToWorld = Matrix3::Translation({0, 0, 7});
    ASSERT_TRUE(info.Initialize(gc));
    EXPECT_EQ(&info.GetScene().Object(0), first);
    EXPECT_EQ(info.GetScene().Object(0).objToWorld.row[3].z, 7.0f);
    EXPECT_EQ(info.GetScene().Object(0).faces[1].flags & KvrnLib::kFaceTwoSided, 0u);

    gc.instances[0].mtl = secondTwoSided.get();
    ASSERT_TRUE(info.Initialize(gc));
    EXPECT_NE(info.GetScene().Object(0).faces[1].flags & KvrnLib::kFaceTwoSided, 0u);
    EXPECT_EQ(info.GetScene().Object(0).faces[0].flags & KvrnLib::kFaceTwoSided, 0u);

    auto moved = QuadMesh();
    moved->verts[0].z = -9;
    gc.instances[0].mesh = moved;
    ASSERT_TRUE(info.Initialize(gc));
    EXPECT_EQ(info.GetScene().Object(0).vertices[0].z, -9.0f);

    // Handed over: used as it is, two-sided bits from the material.
    auto adopted = std::make_shared<KvrnLib::RenderObject>();
    ASSERT_TRUE(ConvertRenderInstance(*adopted, gc.instances[0], nullptr, -1));
    adopted->vertices[1].z = -11;  // marks it as the handed-over object
    for (KvrnLib::FaceRecord& face : adopted->faces) face.flags &= ~KvrnLib::kFaceTwoSided;
    auto fresh = QuadMesh();
    gc.instances[0].mesh = fresh;
    info.Adopt(node, fresh, nullptr, false, adopted);
    ASSERT_TRUE(info.Initialize(gc));
    EXPECT_EQ(info.GetScene().Object(0).vertices[1].z, -11.0f);
    EXPECT_NE(info.GetScene().Object(0).faces[1].flags & KvrnLib::kFaceTwoSided, 0u);
}

TEST(FrameRenderInfo, InstancesWithoutMeshOrNodeBecomePlaceholders) {
    Scene scene;
    auto* a = new INode;
    auto* b = new INode;
    auto* left = new INode;
    a->SetName("a");
    for (INode* node : {a, b, left}) scene.GetRootNode()->AttachChild(node);
    RenderGlobalContext gc;
    RenderInstance withMesh;
    withMesh.node = a;
    withMesh.mesh = QuadMesh();
    RenderInstance noMesh;
    noMesh.node = b;
    RenderInstance noNode;
    noNode.mesh = QuadMesh();
    RenderInstance leftOut;
    leftOut.node = left;
    leftOut.mesh = QuadMesh();
    gc.instances = {noMesh, withMesh, noNode, leftOut};

    KvrnFrameRenderInfo info;
    const uint64_t before = info.Generation();
    ASSERT_TRUE(info.Initialize(gc, left));
    EXPECT_NE(info.Generation(), before);
    const KvrnLib::Scene& built = info.GetScene();
    ASSERT_EQ(built.ObjectCount(), 4);
    EXPECT_EQ(built.Object(0).invalid, 1);
    EXPECT_EQ(built.Object(1).invalid, 0);
    EXPECT_EQ(built.Object(1).name, "a");
    EXPECT_EQ(built.Object(2).invalid, 1);
    EXPECT_EQ(built.Object(3).invalid, 1);
    EXPECT_EQ(info.Nodes(), (std::vector<INode*>{nullptr, a, nullptr, nullptr}));
    EXPECT_EQ(info.ObjectIndex(a), 1);
    EXPECT_EQ(info.ObjectIndex(b), -1);

    info.Clear();
    EXPECT_FALSE(info.Initialized());
    EXPECT_EQ(info.GetScene().ObjectCount(), 0);
    EXPECT_TRUE(info.Nodes().empty());
}

TEST(FrameRenderInfo, CameraDepthLimitsFollowTheViewParams) {
    RenderGlobalContext gc;
    gc.devWidth = 320;
    gc.devHeight = 240;
    gc.xc = 160;
    gc.yc = 120;
    gc.xscale = -300;
    gc.yscale = 300;
    gc.worldToCam = Matrix3::Translation({0, 0, -10});
    KvrnLib::Camera camera = CameraFromContext(gc);
    EXPECT_EQ(camera.width, 320);
    EXPECT_EQ(camera.parallel, 0);
    EXPECT_EQ(camera.scale.x, -300.0f);
    EXPECT_EQ(camera.worldToCam.row[3].z, -10.0f);
    EXPECT_EQ(camera.nearZ, -0.1f);  // no view params: the defaults
    EXPECT_EQ(camera.farZ, -1e30f);

    gc.hasViewParams = true;
    gc.viewParams = {2.0f, 50.0f};
    camera = CameraFromContext(gc);
    EXPECT_EQ(camera.nearZ, -2.0f);
    EXPECT_EQ(camera.farZ, -50.0f);

    // Orthographic with an infinite far range: no depth limit at all.
    gc.projType = PROJ_PARALLEL;
    gc.viewParams = {2.0f, 1e30f};
    camera = CameraFromContext(gc);
    EXPECT_EQ(camera.parallel, 1);
    EXPECT_EQ(camera.nearZ, 1e30f);
    EXPECT_EQ(camera.farZ, -1e30f);
}

}  // namespace
