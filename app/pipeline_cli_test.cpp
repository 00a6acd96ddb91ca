// Frames through the host's pipeline, end to end through the built binary: file outputs in the
// effects list, animation, chunks, brush maps, render elements and the checks made before any
// frame is rendered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using test::Image;
using test::ReadFile;
using test::ReadPng;
using test::RunKovrin;
using test::TempDir;

Json DemoScene() {
    return Json::parse(ReadFile(fs::path(KVRN_SCENES_DIR) / "demo.json"), nullptr, true, true);
}

// A file output in the effects list writes what the command line's own vector options wrote
// before the pipeline existed, byte for byte, and the frame's pixels are those of then too.
TEST(PipelineCli, FileOutputsAndTheFrameMatchTheEarlierRenderer) {
    const TempDir dir;
    const fs::path testdata = fs::path(KVRN_SCENES_DIR) / ".." / "app" / "testdata";
    Json scene = DemoScene();
    scene["effects"] = Json::array({{{"type", "lines"}},
                                    {{"type", "fileOutput"},
                                     {"fileName", (dir.Path() / "scene.eps").string()},
                                     {"fileType", "eps"}},
                                    {{"type", "fileOutput"},
                                     {"fileName", (dir.Path() / "scene.ai").string()},
                                     {"fileType", "ai"}}});
    const std::string file = dir.Write("demo.json", scene.dump());
    const test::RunResult run = RunKovrin(
        "render " + file + " --width 480 --height 270 --no-shading --quiet -o " +
        (dir.Path() / "frame.png").string() + " --eps " + (dir.Path() / "cli.eps").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string eps = ReadFile(testdata / "demo_480x270.eps");
    ASSERT_FALSE(eps.empty());
    EXPECT_TRUE(ReadFile(dir.Path() / "scene.eps") == eps);
    EXPECT_TRUE(ReadFile(dir.Path() / "cli.eps") == eps);
    EXPECT_TRUE(ReadFile(dir.Path() / "scene.ai") == ReadFile(testdata / "demo_480x270.ai"));
    EXPECT_TRUE(ReadFile(dir.Path() / "frame.png") == ReadFile(testdata / "demo_480x270.png"));
}

// Middle of the drawn pixels' extent (alpha over half), in pixel coordinates.
std::pair<double, double> InkMiddle(const Image& image) {
    int x0 = image.width, x1 = -1, y0 = image.height, y1 = -1;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (image.Alpha(x, y) > 128) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
    return {(x0 + x1 + 1) / 2.0, (y0 + y1 + 1) / 2.0};
}

// The camera slides along X by its keys (eye and target together): the sphere's outline moves
// across the image by the focal length times the slide over the distance, frame by frame. Two
// chunks of the frames render each frame once between them.
TEST(PipelineCli, AKeyFramedCameraMovesTheOutlineAndChunksShareTheFrames) {
    const TempDir dir;
    const int width = 320, height = 240;
    const double fov = 40, distance = 100;
    Json scene = Json::parse(R"({
        "camera": {"width": 320, "height": 240, "eye": [0, -100, 0], "target": [0, 0, 0],
                   "up": [0, 0, 1], "fov": 40},
        "objects": [{"name": "ball", "primitive": "sphere", "radius": 15, "segments": 64,
                     "rings": 32}],
        "animation": {"start": 0, "end": 4},
        "keys": {"camera": {"eye": [[0, [-20, -100, 0]], [4, [20, -100, 0]]],
                            "target": [[0, [-20, 0, 0]], [4, [20, 0, 0]]]}},
        "linesets": [{"name": "outline", "brush": {"size": 2}}]
    })");
    const std::string file = dir.Write("orbit.json", scene.dump());
    const std::string pattern = (dir.Path() / "f_##.png").string();
    const test::RunResult first =
        RunKovrin("render " + file + " --quiet --chunk 0/2 -o " + pattern);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_TRUE(fs::exists(dir.Path() / "f_02.png"));
    EXPECT_FALSE(fs::exists(dir.Path() / "f_03.png"));
    const test::RunResult second =
        RunKovrin("render " + file + " --quiet --chunk 1/2 -o " + pattern);
    ASSERT_EQ(second.exitCode, 0) << second.err;

    // The outline of a sphere off the view axis is an ellipse between the two tangents from the
    // eye, centred between their image positions.
    const double focal = 0.5 * height / std::tan(fov * M_PI / 360), radius = 15;
    for (int frame = 0; frame <= 4; ++frame) {
        SCOPED_TRACE(frame);
        const Image image = ReadPng(dir.Path() / ("f_0" + std::to_string(frame) + ".png"));
        ASSERT_EQ(image.width, width);
        const double slide = -20 + 10 * frame;
        const double toCentre = std::atan2(-slide, distance);
        const double halfAngle = std::asin(radius / std::hypot(slide, distance));
        const double expected =
            width / 2.0 +
            focal * (std::tan(toCentre - halfAngle) + std::tan(toCentre + halfAngle)) / 2;
        const auto [x, y] = InkMiddle(image);
        EXPECT_NEAR(x, expected, 1.0);
        EXPECT_NEAR(y, height / 2.0, 1.0);
    }
}

// A checker colour map in screen space, four cells across: the outline of a plane seen from
// above takes the cell's colour wherever it runs.
TEST(PipelineCli, ACheckerColourMapColoursTheStrokesByItsCells) {
    const TempDir dir;
    const std::string file = dir.Write("checker.json", R"({
        "camera": {"width": 320, "height": 240, "eye": [0, 0, 100], "target": [0, 0, 0],
                   "up": [0, 1, 0], "projection": "parallel", "parallelWidth": 120},
        "maps": {"cells": {"class": "Checker", "color1": [1, 0, 0], "color2": [0, 0, 1],
                           "coords": {"mapping": 1, "uTiling": 2, "vTiling": 2}}},
        "objects": [{"name": "sheet", "primitive": "plane", "length": 100, "width": 80}],
        "brushes": {"ink": {"size": 6, "colorMap": "cells"}},
        "linesets": [{"name": "border", "brush": "ink"}]
    })");
    const fs::path png = dir.Path() / "checker.png";
    const test::RunResult run = RunKovrin("render " + file + " --quiet -o " + png.string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Image image = ReadPng(png);
    ASSERT_EQ(image.width, 320);
    int red = 0, blue = 0, wrong = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = image.Pixel(x, y);
            if (p[3] < 200) continue;
            // Two repeats of two cells each way: cells a quarter of the image, v running up.
            const double u = (x + 0.5) / image.width, v = 1.0 - (y + 0.5) / image.height;
            const bool first = (int(std::floor(4 * u)) + int(std::floor(4 * v))) % 2 == 0;
            const bool isRed = p[0] > 200 && p[2]<60, isBlue = p[2]> 200 && p[0] < 60;
            red += isRed;
            blue += isBlue;
            wrong += first ? isBlue : isRed;
        }
    }
    EXPECT_GT(red, 200);
    EXPECT_GT(blue, 200);
    EXPECT_LT(wrong, (red + blue) / 50);
}

// Render elements go into the OpenEXR file as layers and, when asked, into PNGs of their own:
// an element taking hidden lines only shows none of the frame's visible outline.
TEST(PipelineCli, RenderElementsBecomeLayersAndImages) {
    const TempDir dir;
    Json scene = DemoScene();
    scene["camera"]["width"] = 960;
    scene["camera"]["height"] = 540;
    scene["renderElements"] = Json::array({{{"class", "line"},
                                            {"name", "hiddenOnly"},
                                            {"visibleLineEnable", false},
                                            {"png", (dir.Path() / "hidden.png").string()}}});
    const std::string file = dir.Write("demo.json", scene.dump());
    const fs::path exr = dir.Path() / "frame.exr", png = dir.Path() / "frame.png";
    const test::RunResult run =
        RunKovrin("render " + file + " --quiet -o " + png.string() + " --exr " + exr.string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string bytes = ReadFile(exr);
    EXPECT_NE(bytes.find("hiddenOnly.A"), std::string::npos);
    const Image frame = ReadPng(png), hidden = ReadPng(dir.Path() / "hidden.png");
    ASSERT_EQ(hidden.width, frame.width);
    int frameInk = 0, hiddenInk = 0, hiddenOnlyInk = 0;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            frameInk += frame.Alpha(x, y) > 0;
            hiddenInk += hidden.Alpha(x, y) > 0;
            // The demo's hidden lines are blue; none of its visible brushes is.
            const uint8_t* p = hidden.Pixel(x, y);
            hiddenOnlyInk += p[3] > 0 && p[2] > p[0] + 40;
        }
    EXPECT_GT(hiddenInk, 100);
    EXPECT_LT(hiddenInk, frameInk);
    EXPECT_GT(hiddenOnlyInk, hiddenInk / 2);
}

// A second line effect in the effects list draws its own line sets over the same objects, after
// the scene's; its settings' mistakes are reported under its place in the list.
TEST(PipelineCli, ALineEffectOfItsOwnDrawsOverTheScenes) {
    const TempDir dir;
    const std::string scene = R"({
        "camera": {"width": 320, "height": 240, "eye": [120, -160, 100], "target": [0, 0, 20],
                   "up": [0, 0, 1], "fov": 30},
        "objects": [{"name": "box", "primitive": "box"}],
        "brushes": {"ink": {"color": [0, 0, 0], "size": 16}},
        "linesets": [{"name": "Ink", "brush": "ink"}],
        "effects": [{"type": "lines"},
                    {"type": "lines", "name": "Sketch", "lineSizeType": "Absolute",
                     "brushes": {"red": {"color": [1, 0, 0], "size": 2.5)";
    const std::string file =
        dir.Write("two.json", scene + R"(}}, "linesets": [{"name": "Red", "brush": "red"}]}]})");
    const fs::path png = dir.Path() / "two.png", ai = dir.Path() / "two.ai";
    const test::RunResult run =
        RunKovrin("render " + file + " -o " + png.string() + " --ai " + ai.string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Processing: [Sketch] drawing."), std::string::npos) << run.err;
    const Image image = ReadPng(png);
    int red = 0, black = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = image.Pixel(x, y);
            red += p[3] > 200 && p[0] > 200 && p[1] < 60;
            black += p[3] > 200 && p[0] < 60;
        }
    // The thin red lines lie over the middles of the wide black ones.
    EXPECT_GT(red, 100);
    EXPECT_GT(black, red);
    const std::string layers = ReadFile(ai);
    EXPECT_NE(layers.find("(Ink)"), std::string::npos);
    EXPECT_NE(layers.find("(Red)"), std::string::npos);

    const std::string bad =
        dir.Write("bad.json", scene + R"(}}, "linesets": [{"brush": "blue"}]}]})");
    const test::RunResult failed = RunKovrin("render " + bad + " -o " + png.string());
    EXPECT_EQ(failed.exitCode, 2);
    EXPECT_NE(failed.err.find("effects[1].linesets[0].brush"), std::string::npos) << failed.err;
}

// Bad input stops the run before any frame with exit code 2 and a message naming the problem;
// nothing is written.
TEST(PipelineCli, BadInputStopsBeforeAnyFrame) {
    const TempDir dir;
    const auto scene = [&](const std::string& name, const std::string& extra) {
        return dir.Write(name,
                         R"({"objects": [{"name": "box", "primitive": "box"}],)" + extra + "}");
    };
    const std::string out = " -o " + (dir.Path() / "out_##.png").string();
    struct Case {
        std::string args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"render " +
             scene("tex.json", R"("maps": {"paper": {"class": "Bitmap", "fileName": "nope.png"}},
                                  "brushes": {"ink": {"colorMap": "paper"}},
                                  "linesets": [{"brush": "ink"}])") +
             out,
         "nope.png"},
        {"render " + scene("key.json", R"("animation": {"end": 3},
                                  "keys": {"line": {"overSampling": [[0, 1], [3, 2]]}})") +
             out,
         "keys.line.overSampling: the parameter is not animatable"},
        {"render " + scene("elem.json", R"("renderElements": [{"class": "depth", "name": "z"}])") +
             out,
         "renderElements[0].class: \"depth\" is not a render element class"},
        {"render " + scene("plain.json", R"("animation": {"end": 3})") + " --frames 5-2" + out,
         "--frames"},
        {"render " + scene("plain2.json", R"("animation": {"end": 3})") + " --chunk 2/2" + out,
         "--chunk"},
        {"render " + scene("plain3.json", R"("animation": {"end": 3})") + " -o " +
             (dir.Path() / "single.png").string(),
         "need a run of '#'"},
        {"render " + scene("plain4.json", R"("animation": {"end": 0})") + " --background-image " +
             (dir.Path() / "plain4.json").string() + out,
         "--background-image"},
    };
    for (const Case& c : cases) {
        const test::RunResult run = RunKovrin(c.args);
        EXPECT_EQ(run.exitCode, 2) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    }
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        EXPECT_EQ(entry.path().extension(), ".json") << entry.path();
}

// A frame that cannot be written stops the run with exit code 1; the frames before it stay.
TEST(PipelineCli, AFailingFrameStopsTheRunAndKeepsTheFramesBefore) {
    const TempDir dir;
    fs::create_directories(dir.Path() / "lines_1");
    const std::string file = dir.Write("two.json", R"({
        "objects": [{"name": "box", "primitive": "box"}],
        "animation": {"start": 1, "end": 3},
        "effects": [{"type": "fileOutput", "fileName": ")" +
                                                       (dir.Path() / "lines_#" / "x.eps").string() +
                                                       R"(", "fileType": "eps"}]
    })");
    const test::RunResult run =
        RunKovrin("render " + file + " --quiet -o " + (dir.Path() / "f#.png").string());
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("frame 2"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(dir.Path() / "f1.png"));
    EXPECT_TRUE(fs::exists(dir.Path() / "lines_1" / "x.eps"));
    EXPECT_FALSE(fs::exists(dir.Path() / "f2.png"));
    EXPECT_FALSE(fs::exists(dir.Path() / "f3.png"));
}

}  // namespace
}  // namespace KvrnApp
