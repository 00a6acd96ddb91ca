// The line effect's frame run through the host's notifications and Effect::Apply: identity with
// a direct engine run, render elements, relative sizes, the stage caches across the bitmap and
// file-output drawings, which effect runs the file outputs, and the progress forwarding.
#include "line_render_driver.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "hold.h"
#include "kvrn_line.h"
#include "kvrn_line_rend_elem.h"
#include "line_classes.h"
#include "line_file_output.h"
#include "line_records.h"
#include "lineset.h"
#include "node.h"

namespace {

constexpr TimeValue kTime = 0;

// A closed box of 12 triangles wound counter-clockwise seen from outside; quad diagonals are
// invisible edges.
std::shared_ptr<Mesh> BoxMesh(Point3 center, float half) {
    auto mesh = std::make_shared<Mesh>();
    for (int i = 0; i < 8; ++i)
        mesh->verts.push_back({center.x + ((i & 1) ? half : -half),
                               center.y + ((i & 2) ? half : -half),
                               center.z + ((i & 4) ? half : -half)});
    const std::array<std::array<uint32_t, 4>, 6> quads = {
        {{0, 2, 6, 4}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 5, 7, 6}}};
    for (std::array<uint32_t, 4> q : quads) {
        const Point3 a = mesh->verts[q[0]], b = mesh->verts[q[1]], c = mesh->verts[q[2]];
        const Point3 e1 = b - a, e2 = c - a;
        const Point3 n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z,
                       e1.x * e2.y - e1.y * e2.x};
        const Point3 out = a - center;
        if (n.x * out.x + n.y * out.y + n.z * out.z < 0) std::swap(q[1], q[3]);
        Face first, second;
        first.v = {q[0], q[1], q[2]};
        first.flags = EDGE_A | EDGE_B;
        second.v = {q[0], q[2], q[3]};
        second.flags = EDGE_B | EDGE_C;
        mesh->faces.push_back(first);
        mesh->faces.push_back(second);
    }
    return mesh;
}

// Strokes seen by a file output, per line-set index.
class RecordingDrawDelegate : public KvrnLib::LineEffectDrawDelegate {
  public:
    bool VisitLineSetsReversed() override { return false; }
    bool BeginLineSet(const KvrnLib::LineSetId*, int, bool) override { return true; }
    void BeginStrokeCopy(float width, float, float, float, bool, float, float) override {
        widths.push_back(width);
    }
    void Segment(int, float, float, float, float) override { ++segments; }
    void EndStrokeCopy() override {}
    std::vector<float> widths;
    int segments = 0;
};

// Draws every active line effect through its delegate when the frame's outputs run.
class FakeFileOutput : public Effect, public LineFileOutput {
  public:
    void Apply(TimeValue, Bitmap*, RenderGlobalContext*, CheckAbortCallback*) override {}
    void Output(TimeValue t, RenderGlobalContext* gc, CheckAbortCallback* cb) override {
        ++outputs;
        for (KvrnLine* line : ActiveLineEffects(gc, t))
            if (RenderLinesForFileOut(*line, t, *this, cb)) ++drawings;
    }
    std::shared_ptr<KvrnLib::LineEffectDrawDelegate> GetLineDrawDelegate(
        TimeValue, const std::vector<std::wstring>& layerNames) override {
        names = layerNames;
        return delegate;
    }
    int OutputWidth() const override { return width; }
    int OutputHeight() const override { return height; }

    std::shared_ptr<RecordingDrawDelegate> delegate = std::make_shared<RecordingDrawDelegate>();
    std::vector<std::wstring> names;
    int outputs = 0;
    int drawings = 0;
    int width = 160;
    int height = 120;
};

class AbortingCallback : public CheckAbortCallback {
  public:
    bool Check() override { return true; }
    bool Progress(int, int) override { return true; }
    void SetTitle(const std::string&) override {}
};

double Ink(const Bitmap& bitmap) {
    double sum = 0.0;
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            if (bitmap.BlockWritten(x, y)) sum += bitmap.Pixel(x, y).a;
    return sum;
}

bool AnyBlockWritten(const Bitmap& bitmap) {
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); x += Bitmap::kBlockPixels)
            if (bitmap.BlockWritten(x, y)) return true;
    return false;
}

// Number of pixels whose channels differ by more than tolerance.
int DifferingPixels(const Bitmap& a, const Bitmap& b, float tolerance = 1e-6f) {
    int count = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const BMM_Color_fl p = a.Pixel(x, y), q = b.Pixel(x, y);
            if (std::abs(p.r - q.r) > tolerance || std::abs(p.g - q.g) > tolerance ||
                std::abs(p.b - q.b) > tolerance || std::abs(p.a - q.a) > tolerance)
                ++count;
        }
    return count;
}

class LineDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterBrushClasses(ClassDirectory::Instance());
        RegisterLineSetClasses(ClassDirectory::Instance());
        RegisterLineRenderElementClass(ClassDirectory::Instance());
        RegisterLineRenderHooks();
        SetLineThreadCountOverride(2);
        theHold.Clear();
        SetSize(160, 120);
        gc_.setup = &setup_;
        // Box A in front, box B behind it and partly covered: B has hidden lines.
        front_ = AddBox("A", {-0.3f, 0.0f, -5.0f}, 0.6f);
        back_ = AddBox("B", {0.5f, 0.2f, -7.0f}, 0.8f);
    }
    void TearDown() override {
        SetLineThreadCountOverride(0);
        SharedFrameRenderInfo().Clear();
        theHold.Clear();
    }

    void SetSize(int width, int height) {
        gc_.devWidth = width;
        gc_.devHeight = height;
        gc_.projType = PROJ_PERSPECTIVE;
        gc_.xc = float(width) * 0.5f;
        gc_.yc = float(height) * 0.5f;
        const float focal = float(height) * 1.25f;
        gc_.xscale = -focal;
        gc_.yscale = focal;
    }

    INode* AddBox(const std::string& name, Point3 center, float half) {
        auto* node = new INode;
        node->SetName(name);
        scene_.GetRootNode()->AttachChild(node);
        RenderInstance instance;
        instance.node = node;
        instance.mesh = BoxMesh(center, half);
        gc_.instances.push_back(instance);
        return node;
    }

    KvrnLine& AddLine(const std::string& name) {
        auto* line = new KvrnLine;
        line->SetName(name);
        setup_.effects.emplace_back(line);
        return *line;
    }

    // A line set with the ID holding nodes, drawing outlines and object edges both visible and
    // hidden with its general brushes.
    KvrnLineset& AddSet(KvrnLine& line, int id, const std::vector<INode*>& nodes) {
        KvrnLineset& set = *line.AddLineSet();
        set.MainBlock()->SetValue(KvrnLineset::kID, kTime, id);
        set.AddObjects(nodes);
        for (int v = 0; v < 2; ++v) {
            IParamBlock2& edges = *set.EdgeBlock(v);
            edges.SetValue(KvrnLineset::kEdgeOutline, kTime, true);
            edges.SetValue(KvrnLineset::kEdgeObject, kTime, true);
        }
        return set;
    }

    KvrnLineRendElem& AddElement() {
        auto* element = new KvrnLineRendElem;
        element->SetPBitmap(std::make_shared<Bitmap>(gc_.devWidth, gc_.devHeight));
        setup_.elements.emplace_back(element);
        return *element;
    }

    // The host's frame: the pre-render-frame notification, then every active effect in order.
    std::unique_ptr<Bitmap> RenderFrame(CheckAbortCallback* cb = nullptr) {
        auto frame = std::make_unique<Bitmap>(gc_.devWidth, gc_.devHeight);
        for (const RefPtr<IRenderElement>& element : setup_.elements)
            element->SetPBitmap(std::make_shared<Bitmap>(gc_.devWidth, gc_.devHeight));
        BroadcastNotification(NOTIFY_PRE_RENDERFRAME, &gc_);
        for (const RefPtr<Effect>& effect : setup_.effects)
            if (effect->GetActive(kTime)) effect->Apply(kTime, frame.get(), &gc_, cb);
        return frame;
    }

    Scene scene_;
    RenderSetup setup_;
    RenderGlobalContext gc_;
    INode* front_ = nullptr;
    INode* back_ = nullptr;
};

TEST_F(LineDriverTest, DrawsTheSamePixelsAsADirectEngineRun) {
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_, back_});
    const std::unique_ptr<Bitmap> frame = RenderFrame();
    ASSERT_GT(Ink(*frame), 10.0);

    // The direct run over the same frame scene, as the command line does it.
    const KvrnFrameRenderInfo& info = SharedFrameRenderInfo();
    const EngineLineRecords records =
        BuildEngineRecords(line, info.Nodes(), kTime, gc_.devHeight, 2);
    KvrnLib::LineEffect effect(info.ScenePtr(), nullptr);
    auto pool = std::make_shared<KvrnLib::ThreadManagerCore>(3);
    ASSERT_TRUE(effect.Detect(records.detection, pool));
    ASSERT_TRUE(effect.Connect(records.connect, pool));
    auto raster = std::make_shared<KvrnLib::ColorFloatRaster>(gc_.devWidth, gc_.devHeight);
    ASSERT_TRUE(effect.Draw(std::make_shared<KvrnLib::LineEffectRasterForColorFloatRaster>(raster),
                            records.draw, pool, false, nullptr));
    int differing = 0;
    for (int y = 0; y < gc_.devHeight; ++y)
        for (int x = 0; x < gc_.devWidth; ++x) {
            const KvrnLib::ColorFloat d = raster->Row(y)[x];
            const BMM_Color_fl p = frame->Pixel(x, y);
            differing += d.r != p.r || d.g != p.g || d.b != p.b || d.a != p.a;
        }
    EXPECT_EQ(differing, 0);
}

TEST_F(LineDriverTest, ElementTakesOnlyTheLinesItSelects) {
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_});
    KvrnLineset& second = AddSet(line, 2, {back_});
    KvrnLineRendElem& element = AddElement();
    element.MainBlock()->SetValue(KvrnLineRendElem::kVisibleLineEnable, kTime, false);
    element.MainBlock()->SetValue(KvrnLineRendElem::kLinesetID, kTime, false, 0);
    const std::unique_ptr<Bitmap> full = RenderFrame();
    auto elementImage = element.GetBitmapPtr();
    ASSERT_GT(Ink(*elementImage), 1.0);
    EXPECT_GT(Ink(*full), Ink(*elementImage) + 1.0);

    // The same lines drawn on the frame with everything else switched off.
    setup_.elements.clear();
    KvrnLineset& first = *line.GetLineSet(1);
    ASSERT_EQ(first.LineSetID(kTime), 1);
    first.MainBlock()->SetValue(KvrnLineset::kEnable, kTime, false);
    second.EdgeBlock(0)->SetValue(KvrnLineset::kEdgeOutline, kTime, false);
    second.EdgeBlock(0)->SetValue(KvrnLineset::kEdgeObject, kTime, false);
    const std::unique_ptr<Bitmap> restricted = RenderFrame();
    EXPECT_EQ(DifferingPixels(*elementImage, *restricted, 1e-5f), 0);
}

TEST_F(LineDriverTest, RenderElementOnlyLeavesTheFrameUntouched) {
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_, back_});
    line.MainBlock()->SetValue(KvrnLine::kRenderElementOnly, kTime, true);

    // Without an element nothing is drawn and no stage runs.
    std::unique_ptr<Bitmap> frame = RenderFrame();
    EXPECT_FALSE(AnyBlockWritten(*frame));
    ASSERT_NE(line.CurrentLineEffect(), nullptr);
    EXPECT_EQ(line.CurrentLineEffect()->Runs().detections, 0);

    KvrnLineRendElem& element = AddElement();
    frame = RenderFrame();
    EXPECT_FALSE(AnyBlockWritten(*frame));
    EXPECT_GT(Ink(*element.GetBitmapPtr()), 10.0);
}

TEST_F(LineDriverTest, RelativeSizesDoubleOnA1280PixelFrame) {
    // A tall narrow strip: the boxes' horizontal edges cross it from side to side.
    SetSize(320, 1280);
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_, back_});
    line.MainBlock()->SetValue(KvrnLine::kLineSizeType, kTime, 1);
    const std::unique_ptr<Bitmap> relative = RenderFrame();
    line.MainBlock()->SetValue(KvrnLine::kLineSizeType, kTime, 0);
    const std::unique_ptr<Bitmap> absolute = RenderFrame();

    // Coverage down the middle column is the sum of the crossed lines' widths.
    const auto columnInk = [](const Bitmap& bitmap) {
        double sum = 0.0;
        for (int y = 0; y < bitmap.Height(); ++y) sum += bitmap.Pixel(bitmap.Width() / 2, y).a;
        return sum;
    };
    ASSERT_GT(columnInk(*absolute), 2.0);
    EXPECT_NEAR(columnInk(*relative) / columnInk(*absolute), 2.0, 0.1);
}

TEST_F(LineDriverTest, FileOutputReusesTheFramesDetectionAndConnection) {
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_, back_});
    auto* output = new FakeFileOutput;
    setup_.effects.emplace_back(output);
    RenderFrame();

    ASSERT_EQ(output->outputs, 1);
    EXPECT_EQ(output->drawings, 1);
    EXPECT_GT(output->delegate->segments, 0);
    ASSERT_EQ(output->names.size(), 1u);
    EXPECT_EQ(output->names[0], L"Set1");
    const KvrnLib::LineEffect::RunCounts& runs = line.CurrentLineEffect()->Runs();
    EXPECT_EQ(runs.detections, 1);
    EXPECT_EQ(runs.cachedDetections, 1);
    EXPECT_EQ(runs.connections, 1);
    EXPECT_EQ(runs.cachedConnections, 1);

    // The next frame starts over.
    RenderFrame();
    EXPECT_EQ(line.CurrentLineEffect()->Runs().detections, 1);
}

TEST_F(LineDriverTest, FileOutputsRunOnceAfterTheLastActiveLineEffect) {
    KvrnLine& first = AddLine("First");
    AddSet(first, 1, {front_});
    auto* output = new FakeFileOutput;
    setup_.effects.emplace_back(output);
    KvrnLine& second = AddLine("Second");
    AddSet(second, 1, {back_});
    second.SetActive(false);

    EXPECT_EQ(ActiveLineEffects(&gc_, kTime), std::vector<KvrnLine*>{&first});
    EXPECT_TRUE(ActiveLineEffects(nullptr, kTime).empty());
    RenderFrame();
    EXPECT_EQ(output->outputs, 1);
    EXPECT_EQ(output->drawings, 1);

    // With both active the first one is no longer last: still one output, drawing both.
    second.SetActive(true);
    RenderFrame();
    EXPECT_EQ(output->outputs, 2);
    EXPECT_EQ(output->drawings, 3);

    // A bitmap-only call never runs the outputs.
    Bitmap frame(gc_.devWidth, gc_.devHeight);
    second.Apply(kTime, &frame, nullptr, nullptr);
    EXPECT_EQ(output->outputs, 2);
}

TEST_F(LineDriverTest, AbortBeforeTheRunDrawsNothing) {
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_, back_});
    AbortingCallback abort;
    const std::unique_ptr<Bitmap> frame = RenderFrame(&abort);
    EXPECT_FALSE(AnyBlockWritten(*frame));
    EXPECT_EQ(line.CurrentLineEffect()->Runs().detections, 0);
}

TEST_F(LineDriverTest, PixelsDoNotDependOnTheThreadCount) {
    KvrnLine& line = AddLine("Lines");
    AddSet(line, 1, {front_, back_});
    SetLineThreadCountOverride(1);
    const std::unique_ptr<Bitmap> one = RenderFrame();
    SetLineThreadCountOverride(7);
    const std::unique_ptr<Bitmap> seven = RenderFrame();
    EXPECT_EQ(LineThreadCount(line, kTime), 7);
    EXPECT_EQ(DifferingPixels(*one, *seven), 0);
    line.MainBlock()->SetValue(KvrnLine::kMultithread, kTime, false);
    EXPECT_EQ(LineThreadCount(line, kTime), 1);
}

TEST_F(LineDriverTest, FrameHookBuildsTheSceneOnlyWhenALineEffectNeedsIt) {
    KvrnLine& line = AddLine("Lines");
    BroadcastNotification(NOTIFY_PRE_RENDERFRAME, &gc_);
    EXPECT_FALSE(line.NeedsFrameRenderInfo(kTime));
    EXPECT_FALSE(SharedFrameRenderInfo().Initialized());

    AddSet(line, 1, {front_});
    BroadcastNotification(NOTIFY_PRE_RENDERFRAME, &gc_);
    ASSERT_TRUE(SharedFrameRenderInfo().Initialized());
    EXPECT_EQ(SharedFrameRenderInfo().GetScene().ObjectCount(), 2);
    EXPECT_EQ(SharedFrameRenderInfo().Nodes(), (std::vector<INode*>{front_, back_}));

    // The next frame releases the engine object built over the previous scene.
    RenderFrame();
    ASSERT_NE(line.CurrentLineEffect(), nullptr);
    BroadcastNotification(NOTIFY_PRE_RENDERFRAME, &gc_);
    EXPECT_EQ(line.CurrentLineEffect(), nullptr);

    EXPECT_FALSE(line.NeedsMotionInfo(kTime));
    line.MainBlock()->SetValue(KvrnLine::kAnimationEnable, kTime, true);
    line.MainBlock()->SetValue(KvrnLine::kAnimationMotionOnly, kTime, true);
    EXPECT_TRUE(line.NeedsMotionInfo(kTime));
    line.SetActive(false);
    EXPECT_FALSE(line.NeedsFrameRenderInfo(kTime));
}

TEST(LineDriverCaptions, NameTheEffectInEachStage) {
    EXPECT_EQ(StageCaption(11197, "Lines 1"), "Processing: [Lines 1] edge detection.");
    EXPECT_EQ(StageCaption(11198, "%s"), "Processing: [%s] edge connection.");
    EXPECT_EQ(StageCaption(11199, "x"), "Processing: [x] drawing.");
}

}  // namespace
