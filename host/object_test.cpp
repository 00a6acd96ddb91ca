#include "object.h"

#include <gtest/gtest.h>

#include <string>

#include "light.h"
#include "node.h"
#include "test_util.h"

namespace KvrnHost {
namespace {

using ObjectTest = HoldTest;

// Moves every vertex: x' = x * scale + offset. Animated modifiers change with time.
class AffineMod : public Modifier {
  public:
    AffineMod(float scale, float offset, bool animated = false)
        : scale_(scale), offset_(offset), animated_(animated) {}
    void ModifyObject(TimeValue t, ModContext& mc, ObjectState* os, INode*) override {
        ++calls;
        lastBox = mc.box;
        auto* tri = dynamic_cast<TriObject*>(os->obj.get());
        ASSERT_NE(tri, nullptr);
        for (Point3& p : tri->GetMeshForWrite().verts)
            p.x = p.x * scale_ + offset_ + (animated_ ? float(t) : 0.0f);
    }
    Interval LocalValidity(TimeValue t) override { return animated_ ? Interval(t, t) : FOREVER; }
    int calls = 0;
    Box3 lastBox;

  private:
    float scale_, offset_;
    bool animated_;
};

Mesh Triangle(float x) {
    Mesh mesh;
    mesh.verts = {{x, 0, 0}, {x + 1, 0, 0}, {x, 1, 0}};
    mesh.faces.resize(1);
    mesh.faces[0].v = {0, 1, 2};
    return mesh;
}

INode* AddNode(Scene& scene, Object* obj) {
    auto* node = new INode;
    node->SetObjectRef(obj);
    scene.GetRootNode()->AttachChild(node);
    return node;
}

float FirstX(INode* node, TimeValue t) { return node->EvalTriObject(t)->GetMesh().verts[0].x; }

TEST_F(ObjectTest, ModifiersApplyBottomToTopOnACopyAndStaticResultsAreReused) {
    Scene scene;
    auto* base = new TriObject(Triangle(1));
    INode* node = AddNode(scene, base);
    RefPtr<AffineMod> twice(new AffineMod(2, 0)), plusOne(new AffineMod(1, 1));
    node->AddModifier(twice.get());
    node->AddModifier(plusOne.get());
    ASSERT_EQ(node->NumModifiers(), 2);
    EXPECT_EQ(node->GetBaseObject(), base);
    EXPECT_EQ(FirstX(node, 0), 3.0f);  // (1 * 2) + 1, not (1 + 1) * 2
    EXPECT_EQ(base->GetMesh().verts[0].x, 1.0f);
    EXPECT_EQ(twice->lastBox.pmax.x, 2.0f);  // the input box of the bottom modifier

    // Static: later frames reuse the evaluation.
    RefPtr<TriObject> first = node->EvalTriObject(0);
    EXPECT_EQ(node->EvalTriObject(4800).get(), first.get());
    EXPECT_EQ(twice->calls, 1);
    EXPECT_EQ(plusOne->calls, 1);

    // A change below the node throws the cache away.
    plusOne->SetEnabled(false);
    EXPECT_EQ(FirstX(node, 0), 2.0f);
    EXPECT_EQ(twice->calls, 2);
    base->SetMesh(Triangle(5));
    EXPECT_EQ(FirstX(node, 0), 10.0f);

    // An animated modifier is evaluated for each new time only.
    RefPtr<AffineMod> moving(new AffineMod(1, 0, true));
    node->AddModifier(moving.get(), 0);
    EXPECT_EQ(FirstX(node, 3), 16.0f);  // (5 + 3) * 2
    EXPECT_EQ(FirstX(node, 3), 16.0f);
    EXPECT_EQ(FirstX(node, 4), 18.0f);
    EXPECT_EQ(moving->calls, 2);
}

TEST_F(ObjectTest, AddingAndDeletingModifiersIsUndoable) {
    Scene scene;
    INode* node = AddNode(scene, new TriObject(Triangle(1)));
    RefPtr<AffineMod> twice(new AffineMod(2, 0)), plusOne(new AffineMod(1, 1));
    node->AddModifier(twice.get());
    theHold.Begin();
    node->AddModifier(plusOne.get());
    theHold.Accept("add");
    EXPECT_EQ(FirstX(node, 0), 3.0f);
    theHold.Undo();
    EXPECT_EQ(node->NumModifiers(), 1);
    EXPECT_EQ(FirstX(node, 0), 2.0f);
    theHold.Redo();
    EXPECT_EQ(node->GetModifier(1), plusOne.get());

    theHold.Begin();
    EXPECT_TRUE(node->DeleteModifier(0));
    theHold.Accept("delete");
    EXPECT_FALSE(node->DeleteModifier(5));
    EXPECT_EQ(FirstX(node, 0), 2.0f);  // 1 + 1
    theHold.Undo();
    EXPECT_EQ(node->GetModifier(0), twice.get());
    EXPECT_EQ(FirstX(node, 0), 3.0f);
}

TEST_F(ObjectTest, UnmodifiedObjectsAreSharedAndPolygonsTriangulatedOnce) {
    Scene scene;
    auto* tri = new TriObject(Triangle(0));
    INode* plain = AddNode(scene, tri);
    EXPECT_EQ(plain->EvalTriObject(0).get(), tri);
    const CornerNormals& normals = tri->GetCornerNormals();
    EXPECT_EQ(tri->GetCornerNormals().normals.get(), normals.normals.get());

    MNMesh quad;
    quad.verts = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    quad.faces.resize(1);
    quad.faces[0].vtx = {0, 1, 2, 3};
    auto* poly = new PolyObject(quad);
    INode* polyNode = AddNode(scene, poly);
    polyNode->SetName("quad");
    RefPtr<TriObject> split = polyNode->EvalTriObject(0);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->GetMesh().NumFaces(), 2);
    EXPECT_EQ(polyNode->EvalTriObject(100).get(), split.get());

    // Writing a shared mesh copies it: the evaluated triangles keep theirs.
    const Mesh* before = &split->GetMesh();
    poly->GetMeshForWrite().faces[0].vtx[3] = 7;
    poly->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
    EXPECT_EQ(&split->GetMesh(), before);
    try {
        polyNode->EvalTriObject(0);
        FAIL() << "a bad polygon mesh was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("\"quad\""), std::string::npos) << e.what();
    }
}

TEST_F(ObjectTest, LightsKeyColourAndIntensityAndKeepTheirConeOrdered) {
    RefPtr<LightObject> light(new LightObject(LightType::kSpot));
    light->SetIntensity(0, 1.0f, true);
    light->SetIntensity(100, 3.0f, true);
    light->SetRGBColor(0, Color(1, 0, 0), false);
    EXPECT_FLOAT_EQ(light->GetIntensity(50), 2.0f);
    EXPECT_EQ(light->GetRGBColor(50), Color(1, 0, 0));
    EXPECT_EQ(light->ObjectValidity(50), Interval(50, 50));
    EXPECT_EQ(light->ObjectValidity(150), Interval(100, TIME_PosInfinity));

    light->SetFallsize(30.0f);
    EXPECT_FLOAT_EQ(light->GetHotspot(), 29.5f);  // was 43: pulled inside the falloff
    light->SetHotspot(60.0f);
    EXPECT_FLOAT_EQ(light->GetFallsize(), 60.5f);
    light->SetAtten(50.0f, 10.0f);
    EXPECT_FLOAT_EQ(light->GetAttenEnd(), 50.0f);
}

}  // namespace
}  // namespace KvrnHost
