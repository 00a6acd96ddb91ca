// Shaded renders end to end through the built binary: lights and shading settings in scene
// files, the default lighting of plain model renders, and the checks made before any frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using test::Image;
using test::ReadPng;
using test::RunKovrin;
using test::TempDir;

// Mean luminance (0..255) and coverage of the pixels with alpha over minAlpha.
struct Coverage {
    int covered = 0;
    double meanLuma = 0.0, minLuma = 255.0, maxLuma = 0.0;
};
Coverage Measure(const Image& image, int minAlpha = 127) {
    Coverage c;
    double sum = 0.0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const uint8_t* p = image.Pixel(x, y);
            if (p[3] <= minAlpha) continue;
            const double luma = 0.3 * p[0] + 0.59 * p[1] + 0.11 * p[2];
            ++c.covered;
            sum += luma;
            c.minLuma = std::min(c.minLuma, luma);
            c.maxLuma = std::max(c.maxLuma, luma);
        }
    }
    if (c.covered > 0) c.meanLuma = sum / c.covered;
    return c;
}

// A box on a plane seen from above at a slant, small enough to render in a blink.
Json BoxScene() {
    return Json::parse(R"({
        "camera": {"width": 96, "height": 64, "eye": [60, -80, 70], "target": [0, 0, 0],
                   "fov": 40},
        "objects": [
            {"name": "floor", "primitive": "plane", "length": 120, "width": 120},
            {"name": "box", "primitive": "box", "length": 20, "width": 20, "height": 20}
        ]
    })");
}

TEST(ShadingCli, BadLightsAndShadingSettingsAreNamedBeforeRendering) {
    const TempDir dir;
    const std::string png = (dir.Path() / "out.png").string();
    const auto run = [&](const Json& scene) {
        const std::string file = dir.Write("scene.json", scene.dump());
        return RunKovrin("render " + file + " --quiet -o " + png);
    };
    struct Case {
        const char* what;
        Json lights;
        Json shading;
        const char* message;
    };
    const Json none;
    const Case cases[] = {
        {"multiplier out of range",
         {{"sun", {{"class", "Directional"}, {"position", {1, 1, 1}}, {"multiplier", 500}}}},
         none,
         "lights.sun.multiplier: value 500 out of range"},
        {"unknown light class",
         {{"sun", {{"class", "Laser"}, {"position", {1, 1, 1}}}}},
         none,
         "lights.sun.class: \"Laser\" is not a light class"},
        {"excluded object missing",
         {{"lamp", {{"class", "Omni"}, {"position", {0, 0, 50}}, {"excludeList", {"teapot"}}}}},
         none,
         "lights.lamp.excludeList"},
        {"spot without a position",
         {{"spot", {{"class", "Spot"}}}},
         none,
         "lights.spot: needs a \"position\""},
        {"target at the position",
         {{"spot", {{"class", "Spot"}, {"position", {0, 0, 0}}, {"target", {0, 0, 0}}}}},
         none,
         "lights.spot.target: the light's target is at its position"},
        {"samples not a pattern",
         none,
         {{"samples", 3}},
         "shading.samples: expected 1, 4, 8 or 16"},
        {"unknown filter", none, {{"filter", "lanczos"}}, "shading.filter"},
        {"environment map missing",
         none,
         {{"environment", "sky"}},
         "shading.environment: no map named \"sky\""},
        {"adaptive below the base rate",
         none,
         {{"samples", 16}, {"adaptiveSamples", 8}},
         "shading.adaptiveSamples: 8 is fewer than the 16 samples"},
    };
    for (const Case& c : cases) {
        Json scene = BoxScene();
        if (!c.lights.is_null()) scene["lights"] = c.lights;
        if (!c.shading.is_null()) scene["shading"] = c.shading;
        const test::RunResult result = run(scene);
        EXPECT_EQ(result.exitCode, 2) << c.what << ": " << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.what << ": " << result.err;
        EXPECT_FALSE(fs::exists(png)) << c.what;
    }
    const test::RunResult samples = RunKovrin("render --builtin default --samples 5 -o " + png);
    EXPECT_EQ(samples.exitCode, 2);
    EXPECT_NE(samples.err.find("--samples 5"), std::string::npos) << samples.err;
}

// A plain model render is shaded with the default grey material and lights: the model covers
// its pixels, lit unevenly (a key and a fill), with lines over it; --no-shading leaves lines on
// a transparent background as before.
TEST(ShadingCli, APlainModelRenderIsShadedAndNoShadingKeepsLinesOnly) {
    const std::string bunny = test::ModelPath("stanford-bunny.obj");
    if (bunny.empty()) GTEST_SKIP() << "no models folder";
    const TempDir dir;
    const fs::path shaded = dir.Path() / "shaded.png", lines = dir.Path() / "lines.png";
    const std::string size = " --width 240 --height 180 --quiet";
    ASSERT_EQ(RunKovrin("render " + bunny + " -o " + shaded.string() + size).exitCode, 0);
    ASSERT_EQ(RunKovrin("render " + bunny + " --no-shading -o " + lines.string() + size).exitCode,
              0);
    const Coverage s = Measure(ReadPng(shaded)), l = Measure(ReadPng(lines), 0);
    // The shaded bunny fills its silhouette; the lines alone cover far less.
    EXPECT_GT(s.covered, 3 * l.covered);
    EXPECT_GT(l.covered, 0);
    // Lit and shadowed sides: bright and dark pixels, not one flat grey.
    EXPECT_GT(s.maxLuma, 120.0);
    EXPECT_LT(s.minLuma, 60.0);
    EXPECT_GT(s.meanLuma, 50.0);
}

// A scene light with animated keys lights the frames as keyed: its multiplier doubles from
// frame 0 to frame 1, and the box gets brighter; a key on a light that does not exist is named.
TEST(ShadingCli, LightKeysAnimateTheLighting) {
    const TempDir dir;
    Json scene = BoxScene();
    scene["lights"] = {{"sun",
                        {{"class", "Directional"},
                         {"position", {30, -40, 80}},
                         {"castShadows", true},
                         {"multiplier", 0.4}}}};
    scene["animation"] = {{"start", 0}, {"end", 1}};
    scene["keys"] = {{"lights", {{"sun", {{"multiplier", {{0, 0.4}, {1, 0.8}}}}}}}};
    scene["linesets"] = Json::array();  // the shading alone
    const std::string file = dir.Write("anim.json", scene.dump());
    const std::string pattern = (dir.Path() / "f_#.png").string();
    const test::RunResult run = RunKovrin("render " + file + " --quiet -o " + pattern);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Coverage first = Measure(ReadPng(dir.Path() / "f_0.png"));
    const Coverage second = Measure(ReadPng(dir.Path() / "f_1.png"));
    ASSERT_GT(first.covered, 0);
    EXPECT_GT(second.meanLuma, first.meanLuma * 1.5);

    scene["keys"] = {{"lights", {{"moon", {{"multiplier", {{0, 0.4}}}}}}}};
    const test::RunResult bad =
        RunKovrin("render " + dir.Write("bad.json", scene.dump()) + " --quiet -o " + pattern);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("keys.lights.moon"), std::string::npos) << bad.err;
}

// Object IDs and effects channels set in the scene reach the ID elements: the box and the floor
// get different colours, the empty background none; a bad channel is refused.
TEST(ShadingCli, SceneIdsReachTheIdRenderElements) {
    const TempDir dir;
    Json scene = BoxScene();
    scene["materials"] = {{"m", {{"class", "Standard"}, {"effectsChannel", 3}}}};
    scene["objects"][0]["objectID"] = 7;
    scene["objects"][1]["objectID"] = 9;
    scene["objects"][1]["material"] = "m";
    const fs::path oid = dir.Path() / "oid.png", mid = dir.Path() / "mid.png";
    scene["renderElements"] = {{{"class", "ObjectID"}, {"name", "oid"}, {"png", oid.string()}},
                               {{"class", "MaterialID"}, {"name", "mid"}, {"png", mid.string()}}};
    scene["camera"]["eye"] = {0, -1, 120};  // straight down: the box in the middle
    const std::string file = dir.Write("ids.json", scene.dump());
    const test::RunResult run =
        RunKovrin("render " + file + " --quiet -o " + (dir.Path() / "f.png").string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Image objects = ReadPng(oid), materials = ReadPng(mid);
    ASSERT_EQ(objects.width, 96);
    const auto rgb = [](const Image& image, int x, int y) {
        const uint8_t* p = image.Pixel(x, y);
        return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    const auto box = rgb(objects, 48, 32), floor = rgb(objects, 8, 32);
    EXPECT_EQ(box[3], 255);
    EXPECT_EQ(floor[3], 255);
    EXPECT_NE(box, floor);
    // The floor's material channel is 0 (no material): the box alone has a colour there.
    EXPECT_NE(rgb(materials, 48, 32), rgb(materials, 8, 32));

    scene["objects"][1]["objectID"] = 70000;
    const test::RunResult bad = RunKovrin("render " + dir.Write("bad.json", scene.dump()) +
                                          " --quiet -o " + (dir.Path() / "g.png").string());
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("objects[1].objectID"), std::string::npos) << bad.err;
}

// Every model that once broke the renderer shades too (degenerate and huge meshes reach the ray
// tracer), at a small size and one sample.
TEST(ShadingCli, EveryReproModelShadesOrGivesAClearError) {
    const auto models = test::ReproModels();
    if (!models) GTEST_SKIP() << "no repro folder at " << KVRN_REPRO_DIR;
    const test::TempDir dir;
    for (const fs::path& model : *models) {
        const std::string name = model.filename().string();
        const fs::path png = dir.Path() / (name + ".png");
        const test::RunResult run =
            RunKovrin("render " + model.string() + " --width 160 --height 120 --samples 1 -q -o " +
                          png.string(),
                      60);
        if (run.exitCode == 0) {
            EXPECT_GT(Measure(ReadPng(png)).covered, 0) << name << ": rendered nothing";
        } else {
            EXPECT_EQ(run.exitCode, 2) << name << " (137: killed after 60 s)\n" << run.err;
            EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
        }
    }
    EXPECT_FALSE(models->empty());
}

}  // namespace
}  // namespace KvrnApp
