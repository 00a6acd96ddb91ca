// Writes sample PNGs of every brush type (simple, normal, multiple; solid and dashed; with
// distortion and copies; the rake and random stroke types) drawn along a spiral, a zig-zag and
// a circle, for looking at:
//   kvrn_draw_samples [output folder]   (default: samples)
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "connection.h"
#include "png_writer.h"
#include "stroke_draw.h"

namespace {

using KvrnLib::BrushDrawSettings;
using KvrnLib::DetectedEdge;
using KvrnLib::Point2;

constexpr int kWidth = 480, kHeight = 320;

// Edges along a polyline, chained into one stroke in group 0 of the visible slots.
void AddStroke(std::deque<DetectedEdge>& store, const std::vector<Point2>& points,
               KvrnLib::ConnectionResult& result) {
    std::vector<DetectedEdge*> edges;
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        DetectedEdge& e = store.emplace_back();
        e.p0 = points[i];
        e.p1 = points[i + 1];
        e.z0 = e.z1 = -10.0f;
        e.length = std::hypot(e.p1.x - e.p0.x, e.p1.y - e.p0.y);
        e.dir = {(e.p1.x - e.p0.x) / e.length, (e.p1.y - e.p0.y) / e.length};
        edges.push_back(&e);
    }
    std::vector<KvrnLib::Stroke> strokes;
    KvrnLib::ChainCoincidentEdges(
        edges, {180, 0}, [] { return false; }, &strokes);
    for (const KvrnLib::Stroke& s : strokes) result.Slot(false, 0).Append(s);
}

std::vector<Point2> Curve(int n, const std::function<Point2(float)>& at) {
    std::vector<Point2> points;
    for (int i = 0; i <= n; ++i) points.push_back(at(float(i) / float(n)));
    return points;
}

void DrawSample(const std::filesystem::path& path, const BrushDrawSettings& brush) {
    std::deque<DetectedEdge> store;
    std::vector<KvrnLib::ConnectionResult> connection(1);
    AddStroke(store,
              Curve(400,
                    [](float t) {
                        const float a = 6 * 3.14159265f * t, r = 10 + 90 * t;
                        return Point2{120 + r * std::cos(a), 160 + r * std::sin(a)};
                    }),
              connection[0]);
    AddStroke(store,
              Curve(8,
                    [](float t) {
                        return Point2{250 + 200 * t, (int(t * 8 + 0.5f) % 2) ? 60.0f : 120.0f};
                    }),
              connection[0]);
    std::vector<Point2> circle = Curve(120, [](float t) {
        const float a = 2 * 3.14159265f * t;
        return Point2{350 + 80 * std::cos(a), 230 + 60 * std::sin(a)};
    });
    circle.back() = circle.front();  // the same bits, so the circle closes into a loop
    AddStroke(store, circle, connection[0]);

    KvrnLib::DrawSettings settings;
    settings.lineSets.resize(1);
    settings.lineSets[0].visible.fill(brush);
    settings.lineSets[0].hidden.fill(brush);
    settings.oversampling = 2;
    auto raster = std::make_shared<KvrnLib::ColorFloatRaster>(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) raster->Row(y)[x] = {1, 1, 1, 1};
    KvrnLib::LineEffectRasterForColorFloatRaster output(raster);
    KvrnLib::Scene scene;
    KvrnLib::ThreadManagerCore pool(2);
    std::unique_ptr<KvrnLib::LineEffectWorkBuffer> buffer;
    KvrnLib::DrawStrokes(output, settings, connection, scene, pool, nullptr, false, nullptr,
                         buffer);
    Bitmap image(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const KvrnLib::ColorFloat& c = raster->Row(y)[x];
            image.Row(y)[x] = {c.r, c.g, c.b, c.a};
        }
    KvrnApp::WritePng(path, image);
    std::printf("wrote %s\n", path.string().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::filesystem::path folder = argc > 1 ? argv[1] : "samples";
        std::filesystem::create_directories(folder);
        struct Sample {
            const char* name;
            std::function<void(BrushDrawSettings&)> set;
        };
        const Sample samples[] = {
            {"simple-1", [](BrushDrawSettings& b) { b.lineSize = 1; }},
            {"simple-3", [](BrushDrawSettings& b) { b.lineSize = 3; }},
            {"simple-3-dashed",
             [](BrushDrawSettings& b) {
                 b.lineSize = 3;
                 b.dashed = 1;
                 b.strokeLength = 12;
                 b.strokeSpace = 6;
             }},
            {"normal-8",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushNormal;
                 b.lineSize = 8;
             }},
            {"normal-8-distorted-2-copies",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushNormal;
                 b.lineSize = 8;
                 b.strokeCopy = 2;
                 b.noiseAmount = 4;
                 b.noiseCycle = 60;
                 b.strokeOffsetXRnd = 2;
                 b.strokeOffsetYRnd = 2;
             }},
            {"multiple-12",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushMultiple;
                 b.lineSize = 12;
             }},
            {"normal-12-stretched-angled",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushNormal;
                 b.lineSize = 12;
                 b.angle = 45;
                 b.stretch = 0.3f;
                 b.stretchRnd = 0.5f;
             }},
            {"simple-3-rake",
             [](BrushDrawSettings& b) {
                 b.lineSize = 3;
                 b.strokeType = KvrnLib::kStrokeRake;
             }},
            {"simple-8-rake",
             [](BrushDrawSettings& b) {
                 b.lineSize = 8;
                 b.strokeType = KvrnLib::kStrokeRake;
             }},
            {"normal-16-rake",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushNormal;
                 b.lineSize = 16;
                 b.strokeType = KvrnLib::kStrokeRake;
             }},
            {"normal-40-rake-distorted",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushNormal;
                 b.lineSize = 40;
                 b.reductionStart = 0.6f;
                 b.strokeType = KvrnLib::kStrokeRake;
                 b.noiseAmount = 4;
                 b.noiseCycle = 60;
             }},
            {"simple-6", [](BrushDrawSettings& b) { b.lineSize = 6; }},
            {"simple-6-random",
             [](BrushDrawSettings& b) {
                 b.lineSize = 6;
                 b.strokeType = KvrnLib::kStrokeRandom;
             }},
            {"normal-12-grooved-random",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushNormal;
                 b.lineSize = 12;
                 b.groove = 0.6f;
                 b.angleRnd = 90;
                 b.strokeType = KvrnLib::kStrokeRandom;
             }},
            {"multiple-16-random",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushMultiple;
                 b.lineSize = 16;
                 b.strokeType = KvrnLib::kStrokeRandom;
             }},
            {"multiple-12-dashed",
             [](BrushDrawSettings& b) {
                 b.brushType = KvrnLib::kBrushMultiple;
                 b.lineSize = 12;
                 b.dashed = 1;
                 b.strokeLength = 20;
                 b.strokeSpace = 10;
             }},
        };
        for (const Sample& sample : samples) {
            BrushDrawSettings brush;
            sample.set(brush);
            DrawSample(folder / (std::string(sample.name) + ".png"), brush);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvrn_draw_samples: %s\n", e.what());
        return 1;
    }
}
