// The pipeline's sections of a scene file: shapes checked while reading, with key paths.
#include "scene_sections.h"

#include <gtest/gtest.h>

#include "poly_mesh.h"
#include "scene_file.h"

namespace KvrnApp {
namespace {

// The message of the InputError that parsing `text` throws, or "" when it parses.
std::string ParseError(const std::string& text) {
    try {
        ParseScene(text, "s.json");
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

TEST(SceneSections, AnimationKeysAreReadInTheirFramesAndBadOnesNamed) {
    const SceneDescription scene = ParseScene(R"({
        "objects": [{"name": "ball", "primitive": "sphere"}],
        "animation": {"frameRate": 24, "start": 1, "end": 48},
        "keys": {"objects": {"ball": {"position": [[1, [0, 0, 0]], [48, [10, 0, 0]]]}},
                 "camera": {"fov": [[1, 30], [24, 40]]}}
    })",
                                              "s.json");
    EXPECT_EQ(scene.animation.frameRate, 24);
    EXPECT_EQ(scene.animation.start, 1);
    EXPECT_EQ(scene.animation.end, 48);
    ASSERT_EQ(scene.tracks.size(), 2u);
    EXPECT_EQ(scene.tracks[0].where, "keys.objects.ball.position");
    EXPECT_EQ(scene.tracks[0].path, (std::vector<std::string>{"objects", "ball", "position"}));
    ASSERT_EQ(scene.tracks[0].keys.size(), 2u);
    EXPECT_EQ(scene.tracks[0].keys[1].first, 48);
    EXPECT_EQ(scene.tracks[0].keys[1].second, "[10,0,0]");
    EXPECT_EQ(scene.tracks[1].path, (std::vector<std::string>{"camera", "fov"}));

    const char* base = R"({"animation": {"start": 0, "end": 10}, "keys": )";
    EXPECT_TRUE(StartsWith(
        ParseError(std::string(base) + R"({"line": {"randomSeed": [[0, 1], [11, 2]]}}})"),
        "s.json: keys.line.randomSeed[1]: frame 11 is outside the "
        "animation's frames 0 to 10"));
    EXPECT_TRUE(
        StartsWith(ParseError(std::string(base) + R"({"line": {"randomSeed": [[3, 1], [3, 2]]}}})"),
                   "s.json: keys.line.randomSeed[1]: frame 3 has a key already"));
    EXPECT_TRUE(StartsWith(ParseError(std::string(base) + R"({"sounds": {}}})"),
                           "s.json: keys.sounds: unknown section"));
    EXPECT_TRUE(StartsWith(ParseError(R"({"animation": {"start": 5, "end": 4}})"),
                           "s.json: animation: end 4 is before start 5"));
    EXPECT_TRUE(StartsWith(ParseError(R"({"animation": {"frameRate": 7}})"),
                           "s.json: animation.frameRate: 7 must divide 4800"));
    // Keys outside the default single frame 0.
    EXPECT_TRUE(StartsWith(ParseError(R"({"keys": {"line": {"randomSeed": [[1, 3]]}}})"),
                           "s.json: keys.line.randomSeed[0]: frame 1 is outside"));
}

TEST(SceneSections, EffectsElementsMaterialsAndMapsAreListedAndCrossChecked) {
    const SceneDescription scene = ParseScene(R"({
        "maps": {"check": {"class": "Checker", "color1": [1, 0, 0]}},
        "materials": {"red": {"class": "Standard", "twoSided": true}},
        "objects": [{"name": "box", "primitive": "box", "material": "red"},
                    {"name": "lid", "primitive": "box", "parent": "box", "hidden": true}],
        "brushes": {"ink": {"colorMap": "check"}},
        "effects": [{"type": "fileOutput", "fileName": "out/l_####.eps", "fileType": "eps",
                     "wireEnable": false}],
        "renderElements": [{"class": "line", "name": "hidden2", "png": "h_####.png",
                            "visibleLineEnable": false}]
    })",
                                              "s.json");
    ASSERT_EQ(scene.maps.size(), 1u);
    EXPECT_EQ(scene.maps[0].className, "Checker");
    EXPECT_EQ(scene.maps[0].paramsJson, R"({"color1":[1,0,0]})");
    EXPECT_EQ(scene.objects[0].material, "red");
    EXPECT_EQ(scene.objects[1].parent, "box");
    EXPECT_TRUE(scene.objects[1].hidden);
    EXPECT_EQ(scene.brushes.front().colorMap, "check");
    // The line effect comes first when the list leaves it out.
    ASSERT_EQ(scene.effects.size(), 2u);
    EXPECT_EQ(scene.effects[0].kind, EffectDesc::Kind::kLines);
    EXPECT_EQ(scene.effects[1].kind, EffectDesc::Kind::kFileOutput);
    EXPECT_EQ(scene.effects[1].paramsJson,
              R"({"fileName":"out/l_####.eps","fileType":1,"wireEnable":false})");
    ASSERT_EQ(scene.renderElements.size(), 1u);
    EXPECT_EQ(scene.renderElements[0].png, "h_####.png");
    EXPECT_EQ(scene.renderElements[0].element.paramsJson, R"({"visibleLineEnable":false})");

    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {R"({"brushes": {"ink": {"sizeMap": "nope"}}})",
         "s.json: brushes.ink.sizeMap: no map named \"nope\""},
        {R"({"objects": [{"name": "a", "primitive": "box", "parent": "b"}]})",
         "s.json: objects[0].parent: no earlier object named \"b\""},
        {R"({"objects": [{"name": "a", "primitive": "box", "material": "m"}]})",
         "s.json: objects[0].material: no material named \"m\""},
        {R"({"effects": [{"type": "lines"}, {"type": "lines"}]})",
         "s.json: effects[1]: the scene's line effect is in the list already"},
        {R"({"effects": [{"type": "fileOutput", "fileName": "a.eps", "fileType": "pdf"}]})",
         "s.json: effects[0].fileType: expected \"eps\" or \"ai\""},
        {R"({"effects": [{"type": "fileOutput"}]})", "s.json: effects[0]: needs a \"fileName\""},
        {R"({"renderElements": [{"class": "line", "name": "a"}, {"class": "line", "name": "a"}]})",
         "s.json: renderElements[1].name: \"a\" is used already"},
        {R"({"maps": {"m": {"color1": [1, 0, 0]}}})", "s.json: maps.m: needs a \"class\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(StartsWith(ParseError(c.text), c.error)) << ParseError(c.text);
    }
}

}  // namespace
}  // namespace KvrnApp
