#include "settings_commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using test::RunKovrin;
using test::RunResult;

const std::string kDemo = std::string(KVRN_SCENES_DIR) + "/demo.json";

// Each test gets its own module folders, so presets and defaults never touch the user's.
class SettingsCommands : public ::testing::Test {
  protected:
    void SetUp() override { setenv("KOVRIN_HOME", (dir_.Path() / "home").c_str(), 1); }
    void TearDown() override { unsetenv("KOVRIN_HOME"); }

    std::string At(const std::string& name) const { return (dir_.Path() / name).string(); }
    RunResult Render(const std::string& scene, const std::string& png) {
        return RunKovrin("render " + scene + " -o " + At(png) + " --threads 2 --quiet");
    }

    test::TempDir dir_;
};

// A line set saved as a .kvx file and loaded back through a scene file's "load" draws the same
// pixels; the scene's own keys still win over the file's.
TEST_F(SettingsCommands, ASavedLineSetLoadsBackToTheSameRender) {
    ASSERT_EQ(RunKovrin("lineset save " + kDemo + " Solids " + At("solids.kvx")).exitCode, 0);
    nlohmann::json scene = nlohmann::json::parse(test::ReadFile(kDemo), nullptr, true, true);
    nlohmann::json& solids = scene["linesets"][0];
    const nlohmann::json objects = solids["objects"];
    solids = {{"load", At("solids.kvx")}, {"name", "Solids"}, {"ID", 1}, {"objects", objects}};
    const std::string loaded = dir_.Write("loaded.json", scene.dump());
    ASSERT_EQ(Render(kDemo, "a.png").exitCode, 0);
    ASSERT_EQ(Render(loaded, "b.png").exitCode, 0);
    // Settings files keep colours to six decimals ("#1c1c1c" comes back as 0.109804), which
    // may move a blended pixel by one level.
    const test::Image a = test::ReadPng(At("a.png")), b = test::ReadPng(At("b.png"));
    ASSERT_EQ(a.rgba.size(), b.rgba.size());
    ASSERT_FALSE(a.rgba.empty());
    int worst = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i)
        worst = std::max(worst, std::abs(a.rgba[i] - b.rgba[i]));
    EXPECT_LE(worst, 1);

    solids["edgeOutlineVisible"] = false;
    ASSERT_EQ(Render(dir_.Write("changed.json", scene.dump()), "c.png").exitCode, 0);
    EXPECT_FALSE(test::ReadFile(At("a.png")) == test::ReadFile(At("c.png")));
}

// A bad .kvx names the file, the section and the key, exits 2 and writes nothing.
TEST_F(SettingsCommands, ABadLineSettingsFileStopsTheRenderNamingItsKey) {
    ASSERT_EQ(RunKovrin("lineset save " + kDemo + " Solids " + At("solids.kvx")).exitCode, 0);
    std::string text = test::ReadFile(At("solids.kvx"));
    const size_t at = text.find("edgeNormalMaxVisible = ");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find('\n', at) - at, "edgeNormalMaxVisible = 400.000000");
    dir_.Write("solids.kvx", text);
    const std::string scene = dir_.Write(
        "scene.json", R"({"objects":[{"name":"b","primitive":"box"}],"linesets":[{"load":")" +
                          At("solids.kvx") + R"("}]})");
    const RunResult run = Render(scene, "out.png");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("solids.kvx"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("PB2"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("edgeNormalMaxVisible"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(At("out.png")));
}

// Presets: saved from one brush, applied to another (the scene written with it draws the
// applied brush), listed once however often saved, deleted; unknown names exit 2.
TEST_F(SettingsCommands, PresetsSaveApplyListAndDelete) {
    EXPECT_EQ(RunKovrin("preset save stroke dashes " + kDemo + " --from hidden").exitCode, 0);
    EXPECT_EQ(RunKovrin("preset save stroke dashes " + kDemo + " --from hidden").exitCode, 0);
    EXPECT_EQ(RunKovrin("preset save lineset ground " + kDemo + " --from Ground").exitCode, 0);
    EXPECT_EQ(RunKovrin("preset list").out, "stroke: dashes\nlineset: ground\n");

    ASSERT_EQ(
        RunKovrin("preset apply stroke dashes " + kDemo + " --to ink -o " + At("d.json")).exitCode,
        0);
    const nlohmann::json written = nlohmann::json::parse(test::ReadFile(At("d.json")));
    EXPECT_EQ(written["brushes"]["ink"]["detail"]["strokeStyle"], 1);
    EXPECT_EQ(written["brushes"]["ink"]["detail"]["strokeLength"], 6.0);
    ASSERT_EQ(Render(kDemo, "a.png").exitCode, 0);
    ASSERT_EQ(Render(At("d.json"), "b.png").exitCode, 0);
    EXPECT_FALSE(test::ReadFile(At("a.png")) == test::ReadFile(At("b.png")));

    EXPECT_EQ(RunKovrin("preset delete stroke dashes").exitCode, 0);
    EXPECT_EQ(RunKovrin("preset list stroke").out, "");
    const RunResult missing = RunKovrin("preset apply brush none " + kDemo + " --to ink -o x.json");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("no brush preset named 'none'"), std::string::npos);
    EXPECT_EQ(RunKovrin("preset save stroke x " + kDemo + " --from nosuch").exitCode, 2);
}

// User defaults reach the brushes a scene leaves to them (a model job's) and nothing else; a
// value out of range is refused, and a bad defaults file stops a render.
TEST_F(SettingsCommands, DefaultsReachNewBrushesOnly) {
    const std::string model = std::string(KVRN_MODELS_DIR) + "/teapot.obj";
    if (!fs::exists(model)) GTEST_SKIP() << "models folder missing: " << model;
    ASSERT_EQ(Render(model, "plain.png").exitCode, 0);
    ASSERT_EQ(Render(kDemo, "demo.png").exitCode, 0);
    ASSERT_EQ(RunKovrin("defaults set size=3 color=[1,0,0]").exitCode, 0);
    EXPECT_NE(RunKovrin("defaults show").out.find("size = 3.0"), std::string::npos);
    ASSERT_EQ(Render(model, "thick.png").exitCode, 0);
    ASSERT_EQ(Render(kDemo, "demo2.png").exitCode, 0);
    EXPECT_FALSE(test::ReadFile(At("plain.png")) == test::ReadFile(At("thick.png")));
    EXPECT_TRUE(test::ReadFile(At("demo.png")) == test::ReadFile(At("demo2.png")));

    const RunResult refused = RunKovrin("defaults set alpha=500");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("alpha"), std::string::npos);

    const fs::path file = dir_.Path() / "home" / "Configs" / "kovrin_brush.ini";
    std::string text = test::ReadFile(file);
    const size_t at = text.find("alpha = ");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find('\n', at) - at, "alpha = lots");
    dir_.Write("home/Configs/kovrin_brush.ini", text);
    const RunResult bad = Render(model, "bad.png");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("kovrin_brush.ini"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("alpha"), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(At("bad.png")));
    EXPECT_EQ(RunKovrin("defaults reset").exitCode, 0);
    ASSERT_EQ(Render(model, "again.png").exitCode, 0);
    EXPECT_TRUE(test::ReadFile(At("plain.png")) == test::ReadFile(At("again.png")));
}

// --save-scene writes every setting by name; reading it back draws the same pixels and writes
// the same scene again.
TEST_F(SettingsCommands, ASavedSceneReadsBackToTheSameRender) {
    ASSERT_EQ(RunKovrin("render " + kDemo + " -o " + At("a.png") + " --threads 2 --quiet" +
                        " --save-scene " + At("saved.json"))
                  .exitCode,
              0);
    ASSERT_EQ(RunKovrin("render " + At("saved.json") + " -o " + At("b.png") +
                        " --threads 2 --quiet --save-scene " + At("again.json"))
                  .exitCode,
              0);
    EXPECT_TRUE(test::ReadFile(At("a.png")) == test::ReadFile(At("b.png")));
    EXPECT_EQ(test::ReadFile(At("saved.json")), test::ReadFile(At("again.json")));
    const nlohmann::json saved = nlohmann::json::parse(test::ReadFile(At("saved.json")));
    EXPECT_EQ(saved["linesets"][0]["brush"], "ink");
    EXPECT_TRUE(saved["brushes"]["ink"]["detail"].contains("strokeeExtendRnd"));

    // An animated scene keeps its frames, keys and render elements.
    const std::string orbit = std::string(KVRN_SCENES_DIR) + "/orbit.json";
    ASSERT_EQ(RunKovrin("render " + orbit + " --frames 5 -o " + At("c.png") +
                        " --quiet --save-scene " + At("orbit.json"))
                  .exitCode,
              0);
    ASSERT_EQ(RunKovrin("render " + At("orbit.json") + " --frames 5 -o " + At("d.png") + " --quiet")
                  .exitCode,
              0);
    EXPECT_TRUE(test::ReadFile(At("c.png")) == test::ReadFile(At("d.png")));
    const nlohmann::json orbitSaved = nlohmann::json::parse(test::ReadFile(At("orbit.json")));
    EXPECT_EQ(orbitSaved["keys"]["camera"]["eye"].size(), 9u);
    EXPECT_EQ(orbitSaved["renderElements"][0]["name"], "hidden");
}

}  // namespace
}  // namespace KvrnApp
