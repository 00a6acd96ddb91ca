#include "stroke_draw.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>

#include "line_effect.h"
#include "stage_runner.h"
#include "stroke_test_util.h"
#include "test_util.h"
#include "texmap_context.h"

namespace KvrnLib {
namespace {

// A chain of edges through `points`, linked as connection links them.
Stroke MakeStroke(std::deque<DetectedEdge>& store, const std::vector<Point2>& points,
                  int kind = 0) {
    Stroke stroke;
    DetectedEdge* previous = nullptr;
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        store.push_back(test::MakeEdge(points[i], points[i + 1], 0, kind));
        store.back().z0 = store.back().z1 = -10.0f;
        DetectedEdge* edge = &store.back();
        if (previous) {
            previous->next = edge;
            previous->nextEnd = 0;
            edge->prev = previous;
            edge->prevEnd = 1;
        } else {
            stroke.first = edge;
        }
        stroke.length += edge->length;
        previous = edge;
    }
    stroke.last = previous;
    stroke.lastEnd = 1;
    return stroke;
}

struct Canvas {
    explicit Canvas(int w = 80, int h = 60)
        : raster(std::make_shared<ColorFloatRaster>(w, h)),
          output(std::make_shared<LineEffectRasterForColorFloatRaster>(raster)) {}
    float Alpha(int x, int y) const { return raster->Row(y)[x].a; }
    double ColumnAlpha(int x) const {
        double sum = 0;
        for (int y = 0; y < raster->Height(); ++y) sum += raster->Row(y)[x].a;
        return sum;
    }
    double TotalAlpha() const {
        double sum = 0;
        for (int y = 0; y < raster->Height(); ++y)
            for (int x = 0; x < raster->Width(); ++x) sum += raster->Row(y)[x].a;
        return sum;
    }
    std::shared_ptr<ColorFloatRaster> raster;
    std::shared_ptr<LineEffectRasterForColorFloatRaster> output;
};

DrawSettings OneLineSet(const BrushDrawSettings& brush, int oversampling = 1) {
    DrawSettings settings;
    settings.lineSets.resize(1);
    settings.lineSets[0].visible.fill(brush);
    settings.lineSets[0].hidden.fill(brush);
    settings.oversampling = oversampling;
    return settings;
}

void DrawHandMade(Canvas& canvas, const DrawSettings& settings,
                  std::vector<ConnectionResult>& connection, int threads = 2) {
    Scene scene;
    ThreadManagerCore pool(threads);
    std::unique_ptr<LineEffectWorkBuffer> buffer;
    ASSERT_TRUE(DrawStrokes(*canvas.output, settings, connection, scene, pool, nullptr, false,
                            nullptr, buffer));
}

TEST(StrokeDraw, LinesCoverTheirLengthEvenlyAcrossJointsAndDashes) {
    for (int oversampling : {1, 2, 4}) {
        std::deque<DetectedEdge> store;
        std::vector<ConnectionResult> connection(1);
        // Three collinear pieces whose joints fall inside pixels.
        connection[0].Slot(false, 0).Append(
            MakeStroke(store, {{10.3f, 20.5f}, {23.7f, 20.5f}, {41.2f, 20.5f}, {60.3f, 20.5f}}));
        Canvas canvas;
        BrushDrawSettings brush;
        DrawHandMade(canvas, OneLineSet(brush, oversampling), connection);
        EXPECT_NEAR(canvas.TotalAlpha(), 50.0, 50.0 * 0.02) << oversampling;
        // Every column well inside the line carries the same coverage, joints included.
        for (int x = 13; x < 58; ++x) {
            EXPECT_NEAR(canvas.ColumnAlpha(x), 1.0, 0.02)
                << "column " << x << " oversampling " << oversampling;
        }
    }

    // Dashes of 6 and gaps of 4 keep 60 % of the line.
    std::deque<DetectedEdge> store;
    std::vector<ConnectionResult> connection(1);
    connection[0].Slot(false, 0).Append(
        MakeStroke(store, {{10, 20.5f}, {55, 20.5f}, {110, 20.5f}}));
    BrushDrawSettings brush;
    brush.dashed = 1;
    brush.strokeLength = 6.0f;
    brush.strokeSpace = 4.0f;
    Canvas canvas(130, 40);
    DrawHandMade(canvas, OneLineSet(brush), connection);
    EXPECT_NEAR(canvas.TotalAlpha(), 60.0, 60.0 * 0.02);
    // Inside the first dash (10 to 16) and the first gap (16 to 20).
    EXPECT_NEAR(canvas.ColumnAlpha(13), 1.0, 1e-3);
    EXPECT_NEAR(canvas.ColumnAlpha(18), 0.0, 1e-3);

    // A render element without the wire edge that starts the stroke keeps the dashes of the
    // outline edge where the main output has them.
    Stroke mixed = MakeStroke(store, {{10, 20.5f}, {37.3f, 20.5f}, {110, 20.5f}});
    mixed.first->kind = 6;
    connection[0].Slot(false, 0).Clear();
    connection[0].Slot(false, 0).Append(mixed);
    Canvas main(130, 40), element(130, 40);
    DrawSettings settings = OneLineSet(brush);
    auto withoutWire = std::make_shared<RenderElementOutputSettings>();
    withoutWire->raster = element.output;
    withoutWire->excludedEdgeKinds = {6};
    settings.renderElementOutputs = {withoutWire};
    DrawHandMade(main, settings, connection);
    EXPECT_EQ(element.ColumnAlpha(13), 0.0);
    EXPECT_NEAR(main.ColumnAlpha(13), 1.0, 1e-3);
    for (int x = 39; x < 110; ++x) EXPECT_EQ(element.ColumnAlpha(x), main.ColumnAlpha(x)) << x;
}

// Angle (degrees, of the major axis, image y down) and axis ratio of the coverage in columns
// x0 to x1 - 1, from its second moments.
std::pair<double, double> BlobAxis(const Canvas& canvas, int x0, int x1) {
    double m = 0, mx = 0, my = 0, mxx = 0, myy = 0, mxy = 0;
    for (int y = 0; y < canvas.raster->Height(); ++y) {
        for (int x = x0; x < x1; ++x) {
            const double a = canvas.Alpha(x, y);
            m += a;
            mx += a * x;
            my += a * y;
            mxx += a * x * x;
            myy += a * y * y;
            mxy += a * x * y;
        }
    }
    const double sxx = mxx / m - (mx / m) * (mx / m), syy = myy / m - (my / m) * (my / m);
    const double sxy = mxy / m - (mx / m) * (my / m);
    const double spread = std::sqrt((sxx - syy) * (sxx - syy) / 4 + sxy * sxy);
    const double major = (sxx + syy) / 2 + spread, minor = (sxx + syy) / 2 - spread;
    return {std::atan2(2 * sxy, sxx - syy) * 90 / kPi, std::sqrt(major / minor)};
}

TEST(StrokeDraw, StretchedStampsLieAlongTheirAngle) {
    // Strokes too short to show their length draw the copy's stamp: squashed by 1 + 5 stretch
    // along the stamp angle (counter-clockwise on screen), so the major axis lies across it.
    std::deque<DetectedEdge> store;
    std::vector<ConnectionResult> connection(1);
    for (int i = 0; i < 4; ++i) {
        const float x = 20.0f + 40.0f * float(i);
        connection[0].Slot(false, 0).Append(MakeStroke(store, {{x, 30}, {x + 0.01f, 30}}));
    }
    BrushDrawSettings brush;
    brush.brushType = kBrushNormal;
    brush.lineSize = 30.0f;
    brush.stretch = 0.3f;
    for (float stretchRnd : {0.0f, 0.6f}) {
        for (float angle : {0.0f, 30.0f, 120.0f}) {
            brush.angle = angle;
            brush.stretchRnd = stretchRnd;  // the copies' stretch differs from the images'
            Canvas canvas(160, 60);
            DrawHandMade(canvas, OneLineSet(brush, 2), connection);
            for (int i = 0; i < 4; ++i) {
                const auto [axis, ratio] = BlobAxis(canvas, 40 * i, 40 * i + 40);
                EXPECT_NEAR(std::remainder(axis - (90.0 - angle), 180.0), 0.0, 1.5)
                    << angle << " " << stretchRnd << " " << i;
                if (stretchRnd == 0.0f) {
                    EXPECT_NEAR(ratio, 2.5, 0.1) << angle;
                } else {
                    EXPECT_GT(ratio, 1.4) << angle << " " << i;
                    EXPECT_LT(ratio, 2.6) << angle << " " << i;
                }
            }
        }
    }
}

TEST(StrokeDraw, CrossingStrokesOfOneSlotDoNotDarkenEachOther) {
    std::deque<DetectedEdge> store;
    std::vector<ConnectionResult> connection(1);
    StrokeList& slot = connection[0].Slot(false, 0);
    slot.Append(MakeStroke(store, {{10, 30.5f}, {70, 30.5f}}));
    slot.Append(MakeStroke(store, {{40.5f, 5}, {40.5f, 55}}));
    BrushDrawSettings brush;
    brush.lineSize = 3.0f;
    brush.anti = 0.0f;
    brush.alpha = 0.5f;
    Canvas canvas;
    DrawHandMade(canvas, OneLineSet(brush, 2), connection);
    EXPECT_NEAR(canvas.Alpha(20, 30), 0.5f, 1e-3f);
    EXPECT_NEAR(canvas.Alpha(40, 15), 0.5f, 1e-3f);
    // Where they cross the coverage is still 0.5, not 1 - 0.5 * 0.5.
    EXPECT_NEAR(canvas.Alpha(40, 30), 0.5f, 1e-3f);
}

ConnectSettings OutlineGroups() {
    ConnectSettings settings;
    settings.visibleGroup.fill(-1);
    settings.hiddenGroup.fill(-1);
    settings.visibleGroup[kEdgeOutline] = 0;
    settings.visibleGroup[kEdgeObject] = 1;
    settings.hiddenGroup[kEdgeOutline] = 0;
    settings.visibleParams[0] = settings.visibleParams[1] = {60, 2};
    settings.hiddenParams[0] = {60, 2};
    return settings;
}

// A sphere in front of a box, hiding part of its outline.
struct SceneFixture {
    SceneFixture()
        : camera(test::LookAtCamera({3, -10, 6}, {0, 0, 0}, 160, 120, 200)),
          scene(camera, {test::MakeSphere({2.25f, -5, 3}, 1, 32, 16, camera),
                         test::MakeBox({0.5f, -1, -1}, {2.5f, 1, 1}, camera)}),
          host(std::make_shared<test::PollCountingDelegate>()),
          effect(&scene, host) {}
    bool Prepare() {
        auto pool = std::make_shared<ThreadManagerCore>(2);
        return effect.Detect(test::DetectingKinds(2, {kEdgeOutline, kEdgeObject}, {kEdgeOutline}),
                             pool) &&
               effect.Connect({OutlineGroups()}, pool);
    }
    Camera camera;
    Scene scene;
    std::shared_ptr<test::PollCountingDelegate> host;
    LineEffect effect;
};

TEST(StrokeDraw, PixelsDoNotDependOnTheThreadCount) {
    SceneFixture fixture;
    ASSERT_TRUE(fixture.Prepare());
    BrushDrawSettings dashed;
    dashed.lineSize = 2.5f;
    dashed.strokeSizeRnd = 0.5f;
    dashed.dashed = 1;
    dashed.strokeLength = 7.0f;
    dashed.strokeLengthRnd = 0.5f;
    dashed.strokeSpace = 3.0f;
    dashed.strokeCopy = 1;
    dashed.strokeCopyRnd = 2;
    dashed.strokeExtend = 4.0f;
    dashed.color = {0.2f, 0.5f, 0.9f};
    dashed.colorRangeR = 0.3f;
    BrushDrawSettings stamped;
    stamped.brushType = kBrushMultiple;
    stamped.lineSize = 5.0f;
    stamped.noiseAmount = 2.0f;
    stamped.noiseCycle = 20.0f;
    stamped.noiseAmountRandom = 0.5f;
    stamped.strokeNormalOffset = 1.0f;
    stamped.angleRnd = 40.0f;
    DrawSettings settings = OneLineSet(dashed, 2);
    settings.lineSets[0].visible[1] = stamped;
    settings.lineSets[0].hidden[0] = stamped;
    settings.lineSets[0].hidden[0].brushType = kBrushNormal;
    settings.lineSets[0].seed = 77;

    std::vector<std::vector<ColorFloat>> images;
    for (int threads : {1, 2, 7}) {
        Canvas canvas(160, 120);
        ASSERT_TRUE(fixture.effect.Draw(
            canvas.output, settings, std::make_shared<ThreadManagerCore>(threads), false, nullptr));
        std::vector<ColorFloat> pixels;
        for (int y = 0; y < 120; ++y)
            pixels.insert(pixels.end(), canvas.raster->Row(y), canvas.raster->Row(y) + 160);
        images.push_back(std::move(pixels));
    }
    ASSERT_GT(std::count_if(images[0].begin(), images[0].end(),
                            [](const ColorFloat& c) { return c.a > 0.5f; }),
              200);
    for (size_t i = 1; i < images.size(); ++i) {
        for (size_t p = 0; p < images[0].size(); ++p) {
            const ColorFloat &a = images[0][p], &b = images[i][p];
            ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a)
                << "pixel " << p << " image " << i;
        }
    }
}

TEST(StrokeDraw, RakeAndRandomTypesChangeOnlyHowTheBrushIsLaid) {
    SceneFixture fixture;
    ASSERT_TRUE(fixture.Prepare());
    auto draw = [&](const BrushDrawSettings& brush, int threads) {
        Canvas canvas(160, 120);
        EXPECT_TRUE(fixture.effect.Draw(canvas.output, OneLineSet(brush, 2),
                                        std::make_shared<ThreadManagerCore>(threads), false,
                                        nullptr));
        return canvas;
    };
    for (int type : {kBrushSimple, kBrushMultiple}) {
        BrushDrawSettings brush;
        brush.brushType = type;
        brush.lineSize = 7.0f;
        brush.strokeCopy = 2;
        brush.noiseAmount = 1.5f;
        brush.noiseCycle = 30.0f;
        const Canvas normal = draw(brush, 2);
        // Within a copy the normal footprint holds the rake's; the random width may pass it by
        // a pixel.
        auto outside = [&](const Canvas& c, int grow) {
            int count = 0;
            for (int y = 0; y < 120; ++y)
                for (int x = 0; x < 160; ++x) {
                    bool near = false;
                    for (int dy = -grow; dy <= grow && !near; ++dy)
                        for (int dx = -grow; dx <= grow && !near; ++dx)
                            near = x + dx >= 0 && x + dx < 160 && y + dy >= 0 && y + dy < 120 &&
                                   normal.Alpha(x + dx, y + dy) > 0.0f;
                    count += c.Alpha(x, y) > 0.0f && !near;
                }
            return count;
        };
        for (int strokeType : {kStrokeRake, kStrokeRandom}) {
            brush.strokeType = strokeType;
            const Canvas one = draw(brush, 1), two = draw(brush, 2);
            int changed = 0;
            for (int y = 0; y < 120; ++y)
                for (int x = 0; x < 160; ++x) {
                    ASSERT_EQ(one.Alpha(x, y), two.Alpha(x, y)) << x << " " << y;
                    changed += std::fabs(one.Alpha(x, y) - normal.Alpha(x, y)) > 0.2f;
                }
            EXPECT_EQ(outside(one, strokeType == kStrokeRake ? 0 : 1), 0) << type << strokeType;
            EXPECT_GT(changed, 150) << type << " " << strokeType;
        }
    }

    // Across a wide rake stroke the coverage rises and falls over several separate tines.
    std::deque<DetectedEdge> store;
    std::vector<ConnectionResult> connection(1);
    connection[0].Slot(false, 0).Append(MakeStroke(store, {{10, 30.5f}, {150, 30.5f}}));
    for (int type : {kBrushSimple, kBrushNormal}) {
        BrushDrawSettings rake;
        rake.brushType = type;
        rake.lineSize = 24.0f;
        rake.strokeType = kStrokeRake;
        Canvas canvas(160, 60);
        DrawHandMade(canvas, OneLineSet(rake), connection);
        for (int x : {40, 80, 120}) {
            // Local maxima counted when the coverage fell well below both since the last one.
            int peaks = 0;
            float last = 0.0f, valley = 0.0f;
            for (int y = 1; y < 59; ++y) {
                const float a = canvas.Alpha(x, y);
                valley = std::min(valley, a);
                if (a > 0.2f && a > canvas.Alpha(x, y - 1) && a >= canvas.Alpha(x, y + 1) &&
                    (peaks == 0 || valley < 0.6f * std::min(a, last))) {
                    ++peaks;
                    last = valley = a;
                }
            }
            EXPECT_GE(peaks, 4) << type << " column " << x;
        }
    }
}

class ConstantMap : public TexmapInterface {
  public:
    explicit ConstantMap(ColorFloat c) : c_(c) {}
    ColorFloat EvalColor(const TexmapContext&) const override { return c_; }
    float EvalMono(const TexmapContext&) const override { return c_.r; }

  private:
    ColorFloat c_;
};

TEST(StrokeDraw, SizeAndColourMapsAreEvaluatedOnTheEdgesFaces) {
    SceneFixture fixture;
    ASSERT_TRUE(fixture.Prepare());
    BrushDrawSettings brush;
    brush.lineSize = 4.0f;
    brush.anti = 0.0f;
    auto draw = [&](const BrushDrawSettings& b) {
        Canvas canvas(160, 120);
        EXPECT_TRUE(fixture.effect.Draw(canvas.output, OneLineSet(b),
                                        std::make_shared<ThreadManagerCore>(2), false, nullptr));
        return canvas;
    };
    const double full = draw(brush).TotalAlpha();
    brush.sizeMap = std::make_shared<ConstantMap>(ColorFloat{0.5f, 0, 0, 1});
    brush.colorMap = std::make_shared<ConstantMap>(ColorFloat{0, 1, 0, 1});
    const Canvas mapped = draw(brush);
    EXPECT_NEAR(mapped.TotalAlpha() / full, 0.5, 0.1);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x) {
            const ColorFloat& c = mapped.raster->Row(y)[x];
            ASSERT_NEAR(c.g, c.a, 1e-5f);
            ASSERT_EQ(c.r, 0.0f);
        }
}

class RecordingDrawDelegate : public LineEffectDrawDelegate {
  public:
    bool VisitLineSetsReversed() override { return false; }
    bool BeginLineSet(const LineSetId*, int index, bool hidden) override {
        log += "set " + std::to_string(index) + (hidden ? " hidden;" : " visible;");
        return true;
    }
    void BeginStrokeCopy(float width, float, float, float, bool, float, float) override {
        EXPECT_FALSE(open);
        open = true;
        widths.push_back(width);
    }
    void Segment(int, float x0, float y0, float x1, float y1) override {
        EXPECT_TRUE(open);
        segments.push_back({x0, y0, x1, y1});
    }
    void EndStrokeCopy() override {
        EXPECT_TRUE(open);
        open = false;
    }
    std::string log;
    bool open = false;
    std::vector<float> widths;
    std::vector<std::array<float, 4>> segments;
};

TEST(StrokeDraw, DelegateReceivesTheSegmentsOfEveryDrawnCopy) {
    SceneFixture fixture;
    ASSERT_TRUE(fixture.Prepare());
    // The connected edges, as unordered segments, and their stroke count.
    std::vector<std::array<float, 4>> edges;
    size_t strokes = 0;
    for (const ConnectionResult& r : *fixture.effect.Connection()) {
        for (const StrokeList& slot : r.slots) {
            strokes += slot.Size();
            slot.ForEach([&](const Stroke& s) {
                for (const DetectedEdge* e : test::Walk(s, 3.0f))
                    edges.push_back({e->p0.x, e->p0.y, e->p1.x, e->p1.y});
            });
        }
    }
    ASSERT_GT(strokes, 2u);
    auto normalise = [](std::vector<std::array<float, 4>> list) {
        for (auto& s : list)
            if (std::make_pair(s[2], s[3]) < std::make_pair(s[0], s[1])) {
                std::swap(s[0], s[2]);
                std::swap(s[1], s[3]);
            }
        std::sort(list.begin(), list.end());
        return list;
    };

    BrushDrawSettings brush;
    brush.strokeCopy = 2;
    DrawSettings settings = OneLineSet(brush);
    auto delegate = std::make_shared<RecordingDrawDelegate>();
    ASSERT_TRUE(fixture.effect.Draw(delegate, settings));
    EXPECT_EQ(delegate->log, "set 0 hidden;set 0 visible;");
    EXPECT_FALSE(delegate->open);
    EXPECT_EQ(delegate->widths.size(), 2 * strokes);
    std::vector<std::array<float, 4>> twice = edges;
    twice.insert(twice.end(), edges.begin(), edges.end());
    EXPECT_EQ(normalise(delegate->segments), normalise(twice));

    // Strokes below the minimum length reach neither the pixels nor the delegate.
    brush.strokeMinLength = 1e6f;
    settings = OneLineSet(brush);
    delegate = std::make_shared<RecordingDrawDelegate>();
    ASSERT_TRUE(fixture.effect.Draw(delegate, settings));
    EXPECT_TRUE(delegate->widths.empty());
    EXPECT_TRUE(delegate->segments.empty());
}

float SignedArea(const std::vector<std::array<float, 4>>& segments) {
    float area = 0;
    for (const auto& s : segments) area += s[0] * s[3] - s[2] * s[1];
    return area;
}

TEST(StrokeDraw, LoopDirectionAndExtraCopiesFollowTheSettings) {
    std::deque<DetectedEdge> store;
    std::vector<ConnectionResult> connection(1);
    Stroke loop = MakeStroke(store, {{10, 10}, {30, 10}, {30, 30}, {10, 30}, {10, 10}});
    loop.last->next = loop.first;
    loop.first->prev = loop.last;
    loop.first->prevEnd = 1;
    loop.loop = 1;
    connection[0].Slot(false, 0).Append(loop);
    Scene scene;
    ThreadManagerCore pool(1);
    std::unique_ptr<LineEffectWorkBuffer> buffer;
    Canvas canvas;
    auto draw = [&](const BrushDrawSettings& brush) {
        auto delegate = std::make_shared<RecordingDrawDelegate>();
        EXPECT_TRUE(DrawStrokes(*canvas.output, OneLineSet(brush), connection, scene, pool, nullptr,
                                false, delegate, buffer));
        return delegate;
    };
    BrushDrawSettings brush;
    brush.loopRight = 0;
    const auto left = draw(brush);
    brush.loopRight = 1;
    const auto right = draw(brush);
    ASSERT_EQ(left->segments.size(), 4u);
    ASSERT_EQ(right->segments.size(), 4u);
    EXPECT_NE(SignedArea(left->segments) > 0, SignedArea(right->segments) > 0);

    // Open strokes spread over the frame: two copies always, the others by position.
    connection[0].Slot(false, 0).Clear();
    for (int i = 0; i < 40; ++i) {
        const float x = float(i % 8) * 9.0f + 2.0f, y = float(i / 8) * 11.0f + 3.0f;
        connection[0].Slot(false, 0).Append(MakeStroke(store, {{x, y}, {x + 6, y + 4}}));
    }
    brush.strokeCopy = 2;
    brush.strokeCopyRnd = 2;
    const size_t copies = draw(brush)->widths.size();
    EXPECT_GT(copies, 90u);
    EXPECT_LT(copies, 150u);
    EXPECT_EQ(draw(brush)->widths.size(), copies);
}

class ThrowingMap : public TexmapInterface {
  public:
    ColorFloat EvalColor(const TexmapContext&) const override { throw std::runtime_error("x"); }
    float EvalMono(const TexmapContext&) const override { throw std::runtime_error("x"); }
};

TEST(StrokeDraw, FailuresAreReportedWithTheirMessages) {
    SceneFixture fixture;
    std::string written;
    SetDebugOutputSink([&](const char* text) { written += text; });
    Canvas canvas;
    auto pool = std::make_shared<ThreadManagerCore>(2);
    const DrawSettings good = OneLineSet(BrushDrawSettings{});
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, good, pool, false, nullptr));
    ASSERT_TRUE(fixture.Prepare());
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, good, nullptr, false, nullptr));
    auto empty = std::make_shared<LineEffectRasterForColorFloatRaster>(nullptr);
    EXPECT_FALSE(fixture.effect.Draw(empty, good, pool, false, nullptr));
    DrawSettings bad = good;
    bad.oversampling = 0;
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, bad, pool, false, nullptr));
    bad = good;
    bad.lineSets.resize(2);
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, bad, pool, false, nullptr));
    bad = good;
    auto element = std::make_shared<RenderElementOutputSettings>();
    element->raster = Canvas(10, 10).output;
    bad.renderElementOutputs = {element};
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, bad, pool, false, nullptr));
    BrushDrawSettings mapped;
    mapped.brushType = kBrushNormal;
    mapped.brushMap = std::make_shared<ThrowingMap>();
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, OneLineSet(mapped), pool, false, nullptr));
    fixture.host->abort = true;
    EXPECT_FALSE(fixture.effect.Draw(canvas.output, good, pool, false, nullptr));
    EXPECT_EQ(canvas.TotalAlpha(), 0.0);
    SetDebugOutputSink(nullptr);
    EXPECT_EQ(written,
              "LineEffect::Draw error : invalid connection result.\n"
              "LineEffect::Draw error : threadManager is null.\n"
              "LineEffect::Draw error : invalid raster size.\n"
              "LineEffect::Draw error : invalid settings.\n"
              "LineEffect::Draw error : invalid settings or connection results.\n"
              "LineEffect::Draw error : invalid renderElementOutputSettings.\n"
              "LineEffect::Draw error : brush cache error.\n"
              "LineEffect::Draw aborted.\n");
}

}  // namespace
}  // namespace KvrnLib
