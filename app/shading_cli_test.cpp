// Shaded renders end to end through the built binary: lights and shading settings in scene
// files, the default lighting of plain model renders, and the checks made before any frame.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using test::RunKovrin;
using test::TempDir;

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

}  // namespace
}  // namespace KvrnApp
