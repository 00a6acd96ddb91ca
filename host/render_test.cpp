#include "render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "camera.h"
#include "image_library.h"
#include "node.h"
#include "test_util.h"

namespace KvrnHost {
namespace {

std::vector<std::string> gLog;

void LogNotification(void* param, NotifyInfo* info) {
    const char* names[] = {"pre-render", "post-render", "pre-frame", "post-frame"};
    std::string entry = names[info->intcode - NOTIFY_PRE_RENDER];
    if (info->intcode == NOTIFY_PRE_RENDERFRAME || info->intcode == NOTIFY_POST_RENDERFRAME) {
        entry += " " + std::to_string(static_cast<RenderGlobalContext*>(info->callParam)->time);
    }
    if (param) entry += " " + *static_cast<std::string*>(param);
    gLog.push_back(entry);
}

class LogEffect : public Effect {
  public:
    explicit LogEffect(std::string name) { SetName(name); }
    void Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc, CheckAbortCallback*) override {
        gLog.push_back(GetName() + " " + std::to_string(t));
        if (onApply) onApply(bm, gc);
    }
    std::function<void(Bitmap*, RenderGlobalContext*)> onApply;
};

class TestElement : public IRenderElement {
  public:
    explicit TestElement(bool enabled) : enabled_(enabled) {}
    bool IsEnabled() const override { return enabled_; }
    std::string ElementName() const override { return "test"; }

  private:
    bool enabled_;
};

class FlagAbort : public CheckAbortCallback {
  public:
    bool Check() override { return abort; }
    bool Progress(int, int) override { return abort; }
    void SetTitle(const std::string&) override {}
    bool abort = false;
};

class RenderTest : public HoldTest {
  protected:
    void SetUp() override {
        HoldTest::SetUp();
        gLog.clear();
        for (int code = NOTIFY_PRE_RENDER; code <= NOTIFY_POST_RENDERFRAME; ++code)
            RegisterNotification(LogNotification, nullptr, code);
    }
    void TearDown() override {
        for (int code = NOTIFY_PRE_RENDER; code <= NOTIFY_POST_RENDERFRAME; ++code)
            UnRegisterNotification(LogNotification, nullptr, code);
        HoldTest::TearDown();
    }
};

TriObject* OneTriangle() {
    Mesh mesh;
    mesh.verts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    mesh.faces.resize(1);
    mesh.faces[0].v = {0, 1, 2};
    return new TriObject(std::move(mesh));
}

INode* AddNode(Scene& scene, const std::string& name, Object* obj) {
    auto* node = new INode;
    node->SetName(name);
    node->SetObjectRef(obj);
    scene.GetRootNode()->AttachChild(node);
    return node;
}

// Camera at eye looking at the origin along +Y, up +Z: right = +X, up = +Z, back = -Y.
INode* AddCamera(Scene& scene, CameraObject* camera, const Point3& eye) {
    INode* node = AddNode(scene, "camera", camera);
    Matrix3 tm;
    tm.SetRow(0, {1, 0, 0});
    tm.SetRow(1, {0, 0, 1});
    tm.SetRow(2, {0, -1, 0});
    tm.SetRow(3, eye);
    node->SetLocalTM(tm);
    return node;
}

Point3 Project(const RenderGlobalContext& gc, const Point3& world) {
    const Point3 c = gc.worldToCam.PointTransform(world);
    if (gc.projType == PROJ_PARALLEL)
        return {gc.xscale * c.x + gc.xc, gc.yscale * c.y + gc.yc, c.z};
    return {gc.xscale * c.x / c.z + gc.xc, gc.yscale * c.y / c.z + gc.yc, c.z};
}

TEST_F(RenderTest, NotificationsAndActiveEffectsRunInOrderOverTwoFrames) {
    Scene scene;
    RenderSetup setup;
    setup.settings.width = 300;
    setup.settings.height = 2;
    RefPtr<LogEffect> a(new LogEffect("a")), off(new LogEffect("off")),
        ranged(new LogEffect("ranged")), b(new LogEffect("b"));
    off->SetActive(false);
    ranged->SetActiveRange(0, 100);
    setup.effects = {a, off, ranged, nullptr, b};
    RefPtr<TestElement> element(new TestElement(true)), disabled(new TestElement(false));
    setup.elements = {element, disabled};

    // The effect dirties the element's bitmap; the next frame must start from a zero one.
    std::vector<bool> freshAtApply;
    a->onApply = [&](Bitmap*, RenderGlobalContext* gc) {
        ASSERT_EQ(gc->NumRenderElements(), 2);
        Bitmap* bm = gc->GetRenderElement(0)->GetPBitmap();
        ASSERT_NE(bm, nullptr);
        EXPECT_EQ(bm->Width(), 300);
        freshAtApply.push_back(!bm->BlockWritten(10, 1) && bm->Pixel(10, 1) == BMM_Color_fl{});
        bm->Pixel(10, 1) = BMM_Color_fl{1, 1, 1, 1};
    };

    Bitmap frame(300, 2);
    {
        FrameRenderer renderer(scene, setup);
        renderer.Open();
        EXPECT_TRUE(renderer.RenderFrame(0, frame, nullptr));
        EXPECT_TRUE(renderer.RenderFrame(160, frame, nullptr));
    }  // destruction closes
    EXPECT_EQ(gLog, (std::vector<std::string>{"pre-render", "pre-frame 0", "a 0", "ranged 0", "b 0",
                                              "post-frame 0", "pre-frame 160", "a 160", "b 160",
                                              "post-frame 160", "post-render"}));
    EXPECT_EQ(freshAtApply, (std::vector<bool>{true, true}));
    EXPECT_EQ(disabled->GetPBitmap(), nullptr);
}

TEST_F(RenderTest, AbortStopsBeforeLaterEffectsButEndsTheFrame) {
    Scene scene;
    RenderSetup setup;
    setup.settings.width = 4;
    setup.settings.height = 4;
    FlagAbort abort;
    RefPtr<LogEffect> first(new LogEffect("first")), second(new LogEffect("second"));
    first->onApply = [&](Bitmap*, RenderGlobalContext*) { abort.abort = true; };
    setup.effects = {first, second};
    Bitmap frame(4, 4);
    FrameRenderer renderer(scene, setup);
    EXPECT_FALSE(renderer.RenderFrame(0, frame, &abort));
    renderer.Close();
    EXPECT_EQ(gLog, (std::vector<std::string>{"pre-render", "pre-frame 0", "first 0",
                                              "post-frame 0", "post-render"}));

    Bitmap wrongSize(5, 4);
    try {
        renderer.RenderFrame(0, wrongSize, nullptr);
        FAIL() << "a frame of the wrong size was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("5 x 4"), std::string::npos) << e.what();
    }
}

TEST_F(RenderTest, BroadcastSurvivesCallbacksThatRegisterAndUnregister) {
    static std::string late = "late", victim = "victim";
    struct Self {
        static void Reentrant(void*, NotifyInfo* info) {
            gLog.push_back("reentrant");
            RegisterNotification(LogNotification, &late, info->intcode);
            UnRegisterNotification(LogNotification, &victim, info->intcode);
        }
    };
    const int code = NOTIFY_POST_RENDER;
    EXPECT_EQ(RegisterNotification(Self::Reentrant, nullptr, code), 1);
    EXPECT_EQ(RegisterNotification(Self::Reentrant, nullptr, code), 0);
    RegisterNotification(LogNotification, &victim, code);
    gLog.clear();
    BroadcastNotification(code);
    // The victim was removed before its turn; the late one joins from the next broadcast.
    EXPECT_EQ(gLog, (std::vector<std::string>{"post-render", "reentrant"}));
    gLog.clear();
    BroadcastNotification(code);
    EXPECT_EQ(gLog, (std::vector<std::string>{"post-render", "reentrant", "post-render late"}));
    EXPECT_EQ(UnRegisterNotification(Self::Reentrant, nullptr, code), 1);
    EXPECT_EQ(UnRegisterNotification(LogNotification, &late, code), 1);
    EXPECT_EQ(UnRegisterNotification(LogNotification, &victim, code), 0);
}

TEST_F(RenderTest, ContextCameraProjectsKnownPoints) {
    Scene scene;
    RenderSetup setup;
    setup.settings.width = 200;
    setup.settings.height = 100;
    RefPtr<CameraObject> camera(new CameraObject);
    setup.camera = AddCamera(scene, camera.get(), {0, -10, 0});
    Bitmap frame(200, 100);
    FrameRenderer renderer(scene, setup);
    const Point3 p(1, 0, 0.5f);

    // 90 degrees across the height of 100 pixels: a focal length of 50 pixels.
    camera->SetVerticalFOV(0, 90.0f, false);
    renderer.RenderFrame(0, frame, nullptr);
    const RenderGlobalContext& gc = renderer.Context();
    EXPECT_EQ(gc.projType, PROJ_PERSPECTIVE);
    Point3 s = Project(gc, p);
    EXPECT_NEAR(s.x, 100 + 50 * 1 / 10.0f, 1e-4);
    EXPECT_NEAR(s.y, 50 - 50 * 0.5f / 10.0f, 1e-4);
    EXPECT_FLOAT_EQ(s.z, -10);
    EXPECT_TRUE(gc.hasViewParams);
    EXPECT_EQ(gc.viewParams.farRange, 1e30f);

    // 50 mm on 25 mm film: twice the width.
    camera->SetLens(0, 50.0f, 25.0f, false);
    camera->SetClipManual(true);
    camera->SetClipRange(0, 2.0f, 30.0f, false);
    renderer.RenderFrame(0, frame, nullptr);
    EXPECT_FLOAT_EQ(gc.xscale, -400.0f);
    EXPECT_FLOAT_EQ(gc.yscale, 400.0f);
    EXPECT_FLOAT_EQ(gc.viewParams.nearRange, 2.0f);
    EXPECT_FLOAT_EQ(gc.viewParams.farRange, 30.0f);
    EXPECT_NEAR(camera->GetFOV(0, 200, 100), 2 * std::atan(100.0 / 400.0), 1e-6);

    // 20 units across 200 pixels.
    camera->SetOrtho(true);
    camera->SetParallelWidth(0, 20.0f, false);
    renderer.RenderFrame(0, frame, nullptr);
    s = Project(gc, p);
    EXPECT_EQ(gc.projType, PROJ_PARALLEL);
    EXPECT_NEAR(s.x, 110.0f, 1e-4);
    EXPECT_NEAR(s.y, 45.0f, 1e-4);

    camera->SetParallelWidth(0, 0.0f, false);
    try {
        renderer.RenderFrame(0, frame, nullptr);
        FAIL() << "a zero parallel width was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("\"camera\""), std::string::npos) << e.what();
    }
    camera->SetOrtho(false);
    camera->SetVerticalFOV(0, 180.0f, false);
    EXPECT_THROW(renderer.RenderFrame(0, frame, nullptr), std::invalid_argument);

    // Without a camera: identity view, 45 degrees across the width.
    setup.camera.reset();
    renderer.RenderFrame(0, frame, nullptr);
    EXPECT_TRUE(gc.worldToCam.IsIdentity(0.0f));
    EXPECT_FALSE(gc.hasViewParams);
    EXPECT_NEAR(gc.yscale, 100.0 / std::tan(std::numbers::pi / 8), 1e-3);
    EXPECT_EQ(gc.xscale, -gc.yscale);
}

TEST_F(RenderTest, OnlyRenderableVisibleMeshesBecomeInstancesSharingTheirMesh) {
    Scene scene;
    RenderSetup setup;
    setup.settings.width = 8;
    setup.settings.height = 8;
    RefPtr<TestMtl> mtl(new TestMtl);
    TriObject* tri = OneTriangle();
    INode* shown = AddNode(scene, "shown", tri);
    shown->SetMtl(mtl.get());
    shown->SetPosition(0, {5, 0, 0}, false);
    AddNode(scene, "hidden", OneTriangle())->Hide(true);
    AddNode(scene, "off", OneTriangle())->SetRenderable(false);
    AddNode(scene, "empty", nullptr);
    setup.camera = AddCamera(scene, new CameraObject, {0, -10, 0});

    Bitmap frame(8, 8);
    FrameRenderer renderer(scene, setup);
    renderer.RenderFrame(0, frame, nullptr);
    const RenderGlobalContext& gc = renderer.Context();
    ASSERT_EQ(gc.NumRenderInstances(), 1);
    const RenderInstance* ri = gc.GetRenderInstance(0);
    EXPECT_EQ(gc.GetRenderInstance(1), nullptr);
    EXPECT_EQ(ri->node, shown);
    EXPECT_EQ(ri->mtl, mtl.get());
    EXPECT_EQ(ri->mesh.get(), tri->GetMeshPtr().get());
    // The triangle's corner (1, 0, 0) sits at world (6, 0, 0), camera (6, 0, -10).
    const Point3 cam = ri->objToCam.PointTransform({1, 0, 0});
    EXPECT_NEAR(cam.x, 6, 1e-5);
    EXPECT_NEAR(cam.z, -10, 1e-5);
    EXPECT_TRUE((ri->objToCam * ri->camToObj).IsIdentity(1e-5f));
    // The face normal +Z looks up in camera space (+Y) and comes from the cached normals.
    const Point3 n = ri->normalObjToCam.VectorTransform(ri->GetFaceVertNormal(0, 2));
    EXPECT_NEAR(n.y, 1, 1e-6);
    EXPECT_EQ(ri->GetFaceVertNormal(1, 0), Point3());
    const auto* normals = ri->cornerNormals.get();
    renderer.RenderFrame(1, frame, nullptr);
    EXPECT_EQ(gc.GetRenderInstance(0)->cornerNormals.get(), normals);
}

TEST_F(RenderTest, BackgroundColourImageAndUnreadableFile) {
    Scene scene;
    RenderSetup setup;
    setup.settings.width = 600;
    setup.settings.height = 2;
    Bitmap frame(600, 2);
    {
        FrameRenderer renderer(scene, setup);
        renderer.RenderFrame(0, frame, nullptr);
    }
    // Transparent black on a fresh frame: no block paged in.
    EXPECT_FALSE(frame.BlockWritten(0, 0));
    EXPECT_FALSE(frame.BlockWritten(599, 1));

    // A 2 x 1 image (black, white) stretched to 4 x 1: 0, 1/4, 3/4, 1.
    const std::string file =
        (std::filesystem::temp_directory_path() / "kvrn_background_test.exr").string();
    {
        std::string error;
        ASSERT_TRUE(GetImageLibrary().WriteImage(file, {2, 1, 3, {0, 0, 0, 1, 1, 1}}, error))
            << error;
    }
    setup.settings.width = 4;
    setup.settings.height = 1;
    setup.settings.backgroundImage = file;
    Bitmap small(4, 1);
    FrameRenderer renderer(scene, setup);
    renderer.RenderFrame(0, small, nullptr);
    const float expected[] = {0.0f, 0.25f, 0.75f, 1.0f};
    for (int x = 0; x < 4; ++x) {
        EXPECT_FLOAT_EQ(small.Pixel(x, 0).g, expected[x]) << x;
        EXPECT_FLOAT_EQ(small.Pixel(x, 0).a, 1.0f) << x;
    }
    std::filesystem::remove(file);

    setup.settings.backgroundImage = "/nonexistent/back.png";
    FrameRenderer broken(scene, setup);
    try {
        broken.RenderFrame(0, small, nullptr);
        FAIL() << "an unreadable background was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/back.png"), std::string::npos);
    }
}

}  // namespace
}  // namespace KvrnHost
