#include "scene_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <variant>

#include "poly_mesh.h"
#include "primitives.h"
#include "scene_objects.h"
#include "test_util.h"

namespace KvrnApp {
namespace {

using Json = nlohmann::ordered_json;
using KvrnLib::Point3;

// A scalar key of record R and the non-default value a test gives it (bools are flipped).
template <class R>
struct Key {
    const char* name;
    std::variant<float R::*, int32_t R::*, bool R::*> member;
    double value = 0;
};

template <class R>
void SetKeys(const std::vector<Key<R>>& keys, Json& out, const std::string& suffix = "") {
    const R defaults{};
    for (const Key<R>& key : keys) {
        if (auto* flag = std::get_if<bool R::*>(&key.member))
            out[key.name + suffix] = !(defaults.**flag);
        else
            out[key.name + suffix] = key.value;
    }
}

template <class R>
void ExpectKeys(const std::vector<Key<R>>& keys, const R& got, bool given = true) {
    const R defaults{};
    for (const Key<R>& key : keys) {
        SCOPED_TRACE(key.name);
        std::visit(
            [&](auto member) {
                using T = std::remove_cvref_t<decltype(got.*member)>;
                const T set = std::is_same_v<T, bool> ? T(!(defaults.*member)) : T(key.value);
                ASSERT_NE(set, defaults.*member) << "the table must differ from the default";
                EXPECT_EQ(got.*member, given ? set : defaults.*member);
            },
            key.member);
    }
}

// Keys are named as their members: K(size, 2) is {"size", &R::size, 2}.
#define K(member, ...) \
    Key<R> { #member, &R::member __VA_OPT__(, ) __VA_ARGS__ }
// clang-format off
const auto kDetailKeys = [] {
    using R = BrushDetailDesc;
    return std::vector{
        K(mapOpacity, 40), K(mapEnable), K(type, 3), K(stretch, -50), K(stretchRnd, 20),
        K(angle, -3000), K(angleRnd, 300), K(groove, 30), K(grooveNum, 20), K(size, 0.1),
        K(sizeRnd, 10), K(anti, 999), K(hSpace, 1), K(hSpaceRnd, 2), K(vSpace, 3), K(vSpaceRnd, 4),
        K(reductionStart, 5), K(reductionEnd, 6), K(strokeType, 2), K(strokeStyle, 1),
        K(strokeLength, 10000), K(strokeLengthRnd, 7), K(strokeSizeRnd, 8), K(strokeSpace, 1000),
        K(strokeSpaceRnd, 9), K(strokeExtend, 11), K(strokeeExtendRnd, 12), K(strokeCopy, 10),
        K(strokeCopyRnd, 3), K(strokeNormalOffset, -1000), K(strokeNormalOffsetRnd, 13),
        K(strokeOffsetX, -14), K(strokeOffsetXRnd, 15), K(strokeOffsetY, 16),
        K(strokeOffsetYRnd, 17), K(strokeSplitAngle, 180), K(strokeMinLength, 18),
        K(linkLength, 100), K(strokeDirectionAngle, -180), K(strokeLoopDirection, 0),
        K(noiseEnable), K(noiseMapOpacity, 19), K(noiseMapEnable), K(noiseAmount, 1000),
        K(noiseAmountRandom, 21), K(noiseCycle, 5), K(noiseCycleRandom, 22), K(noisePhase, -9999.9),
        K(noisePhaseRandom, 23), K(sizeReductionEnable), K(alphaReductionEnable),
        K(colorRangeType, 1), K(colorRangeR, 24), K(colorRangeG, 25), K(colorRangeB, 100),
    };
}();
const auto kBrushKeys = [] {
    using R = BrushDesc;
    return std::vector{
        K(colorMapOpacity, 0), K(colorMapEnable), K(blend, 15), K(alpha, 30), K(size, 0.001),
        K(sizeMapAmount, 31), K(sizeMapEnable),
    };
}();
const auto kEdgeKeys = [] {
    using R = EdgeSwitchesDesc;
    return std::vector{
        K(edgeOutline), K(openEdgeOutline), K(groupOutline), K(edgeObject), K(openEdgeObject),
        K(edgeIsect), K(edgeSelfIsect), K(edgeSmooth), K(edgeMatID), K(edgeNormal),
        K(edgeNormalMax, 170), K(edgeNormalMin, 0), K(edgeWire), K(edgeSel),
        K(specificOutlineEnable), K(specificObjectEnable), K(specificIsectEnable),
        K(specificSmoothEnable), K(specificMatIDEnable), K(specificNormalEnable),
        K(specificWireEnable), K(specificSelEnable), K(sizeReductionEnable),
        K(alphaReductionEnable),
    };
}();
const auto kOptionKeys = [] {
    using R = LineOptionsDesc;
    return std::vector{
        K(randomSeed, 65535), K(OffscreenDistance, 1000), K(overSampling, 4), K(antialiasing, 2),
        K(lineSizeType, 0), K(multithread),
    };
}();
const auto kReductionKeys = [] {
    using R = ReductionDesc;
    return std::vector{
        K(start, 1), K(end, 1000000), K(objectEnable),
    };
}();
// clang-format on
#undef K

const Json kCurve = Json::parse(R"([{"x": 0, "y": 0.5, "out": [0.2, 0.1]},
    {"x": 0.5, "y": 2, "in": [-0.1, 0], "out": [0.1, 0]}, {"x": 1, "y": 0, "in": [-0.3, 0.4]}])");

void ExpectCurve(const CurveDesc& curve) {
    ASSERT_EQ(curve.points.size(), 3u);
    EXPECT_EQ(curve.points[1].x, 0.5f);
    EXPECT_EQ(curve.points[1].y, 2.0f);
    EXPECT_EQ(curve.points[0].outX, 0.2f);
    EXPECT_EQ(curve.points[0].inX, 0.0f);
    EXPECT_EQ(curve.points[2].inY, 0.4f);
}

Json FullBrush() {
    Json brush, detail;
    SetKeys(kBrushKeys, brush);
    brush["color"] = "#FF8000";
    SetKeys(kDetailKeys, detail);
    detail["sizeCurve"] = detail["alphaCurve"] = kCurve;
    brush["detail"] = detail;
    return brush;
}

void ExpectFullBrush(const BrushDesc& brush) {
    ExpectKeys(kBrushKeys, brush);
    EXPECT_EQ(brush.color, (std::array<float, 3>{1.0f, 128 / 255.0f, 0.0f}));
    ExpectKeys(kDetailKeys, brush.detail);
    ExpectCurve(brush.detail.sizeCurve);
    ExpectCurve(brush.detail.alphaCurve);
}

const char* const kTriangleObj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

// The message of the InputError that `run` throws, or "" when it throws none.
template <class F>
std::string ErrorOf(F&& run) {
    try {
        run();
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

TEST(SceneFile, EveryKeyReachesTheDescription) {
    Json scene;
    SetKeys(kOptionKeys, scene);
    scene["camera"] = {{"width", 640},        {"height", 480},   {"eye", {1, 2, 3}},
                       {"target", {4, 5, 6}}, {"up", {0, 1, 0}}, {"projection", "parallel"},
                       {"parallelWidth", 55}, {"near", 2},       {"far", 900}};
    scene["objects"] = Json::parse(R"([
        {"name": "b", "primitive": "box", "length": 1, "width": 2, "height": 3,
         "lengthSegments": 4, "widthSegments": 5, "heightSegments": 6,
         "position": [7, 8, 9], "rotation": [10, 20, 30], "scale": 2},
        {"name": "c", "primitive": "cylinder", "caps": false, "sides": 5, "scale": [1, -2, 3]},
        {"name": "k", "primitive": "torusKnot", "p": 3, "q": 5},
        {"name": "d", "builtin": "default"}])");
    scene["brushes"]["full"] = FullBrush();
    Json visibleOnly = {{"name", "first"},
                        {"enable", false},
                        {"ID", 8},
                        {"weldEdgesBetweenObjects", true},
                        {"maskHiddenLinesOfOtherLinesets", true},
                        {"objects", {"c", "b"}}};
    Json hiddenOnly = {{"objects", {"d"}}};
    SetKeys(kEdgeKeys, visibleOnly, "Visible");
    SetKeys(kEdgeKeys, hiddenOnly, "Hidden");
    Json reduction;
    SetKeys(kReductionKeys, reduction);
    reduction["objectNode"] = "k";
    reduction["curve"] = kCurve;
    for (int s = 0; s < kBrushSlotCount; ++s) {
        visibleOnly[kBrushSlotNames[s]] = "full";
        hiddenOnly[std::string(kBrushSlotNames[s]) + "_Hidden"] = FullBrush();
    }
    for (const char* key : {"sizeReduction", "alphaReduction"}) {
        visibleOnly[key] = reduction;
        hiddenOnly[key + std::string("_Hidden")] = reduction;
    }
    scene["linesets"] = {visibleOnly, hiddenOnly};

    const SceneDescription got = ParseScene(scene.dump(), "scene.json");
    EXPECT_EQ(got.path, "scene.json");
    ExpectKeys(kOptionKeys, got.options);
    const CameraDesc& c = got.camera;
    EXPECT_TRUE(c.given && c.parallel);
    EXPECT_EQ(std::pair(c.width, c.height), std::pair(640, 480));
    EXPECT_TRUE(c.eye == Point3(1, 2, 3) && c.target == Point3(4, 5, 6) && c.up == Point3(0, 1, 0));
    EXPECT_EQ(std::tuple(c.parallelWidth, c.nearRange, c.farRange),
              std::tuple(55.0f, 2.0f, 900.0f));

    ASSERT_EQ(got.objects.size(), 4u);
    const ObjectDesc& box = got.objects[0];
    EXPECT_EQ(box.source, ObjectSource::kBox);
    EXPECT_EQ(std::tuple(box.box.length, box.box.width, box.box.height),
              std::tuple(1.0f, 2.0f, 3.0f));
    EXPECT_EQ(std::tuple(box.box.lengthSegments, box.box.widthSegments, box.box.heightSegments),
              std::tuple(4, 5, 6));
    EXPECT_TRUE(box.position == Point3(7, 8, 9) && box.rotation == Point3(10, 20, 30) &&
                box.scale == Point3(2, 2, 2));
    EXPECT_EQ(got.objects[1].source, ObjectSource::kCylinder);
    EXPECT_FALSE(got.objects[1].cylinder.caps);
    EXPECT_EQ(got.objects[1].cylinder.sides, 5);
    EXPECT_TRUE(got.objects[1].scale == Point3(1, -2, 3));
    EXPECT_EQ(std::pair(got.objects[2].torusKnot.p, got.objects[2].torusKnot.q), std::pair(3, 5));
    EXPECT_EQ(got.objects[3].source, ObjectSource::kBuiltin);
    EXPECT_EQ(got.objects[3].builtin, "default");

    ASSERT_EQ(got.lineSets.size(), 2u);
    // One named brush, nine inline ones and nine fresh ones for the slots of each set not given.
    ASSERT_EQ(got.brushes.size(), 1u + 9 + 18);
    for (int v = 0; v < 2; ++v) {
        SCOPED_TRACE(v == 0 ? "visible" : "hidden");
        const LineSetDesc& set = got.lineSets[v];
        ExpectKeys(kEdgeKeys, set.edges[0], v == 0);
        ExpectKeys(kEdgeKeys, set.edges[1], v == 1);
        std::set<int32_t> slots(set.brushSlots[v].begin(), set.brushSlots[v].end());
        EXPECT_EQ(slots.size(), v == 0 ? 1u : 9u);
        for (int32_t slot : slots) ExpectFullBrush(got.brushes[slot]);
        for (int32_t slot : set.brushSlots[1 - v]) EXPECT_EQ(got.brushes[slot].size, 1.0f);
        for (const ReductionDesc& r : set.reductions[v]) {
            ExpectKeys(kReductionKeys, r);
            EXPECT_EQ(r.objectNode, "k");
            ExpectCurve(r.curve);
        }
        EXPECT_EQ(set.reductions[1 - v][0].objectNode, "");
    }
    const LineSetDesc& first = got.lineSets[0];
    EXPECT_EQ(first.name, "first");
    EXPECT_FALSE(first.enable || first.allObjects);
    EXPECT_TRUE(first.weldEdgesBetweenObjects && first.maskHiddenLinesOfOtherLinesets);
    EXPECT_EQ(first.ID, 8);
    EXPECT_EQ(first.objects, (std::vector<std::string>{"c", "b"}));
}

TEST(SceneFile, CameraByLensAndEnumerationsByName) {
    const SceneDescription named = ParseScene(R"({
        "camera": {"eye": [0, -5, 0], "focalLength": 35, "filmWidth": 24},
        "lineSizeType": "absolute",
        "brushes": {"n": {"blend": "hardlight", "detail": {"type": "Multiple",
            "strokeType": "Rake", "strokeStyle": "Dashed", "strokeLoopDirection": "Right",
            "colorRangeType": "HSV"}}}})",
                                              "scene.json");
    EXPECT_EQ(std::pair(named.camera.focalLength, named.camera.filmWidth), std::pair(35.0f, 24.0f));
    EXPECT_EQ(named.camera.fov, 0.0f);
    EXPECT_EQ(named.options.lineSizeType, 0);
    const BrushDesc& n = named.brushes[0];
    EXPECT_EQ(n.blend, 6);
    EXPECT_EQ(std::vector<int32_t>({n.detail.type, n.detail.strokeType, n.detail.strokeStyle,
                                    n.detail.strokeLoopDirection, n.detail.colorRangeType}),
              std::vector<int32_t>({1, 1, 1, 0, 1}));
}

TEST(SceneFile, BadInputIsReportedWithItsKeyPath) {
    const test::TempDir dir;
    dir.Write("cube.obj", kTriangleObj);
    dir.Write("notes.txt", "not a model");
    const std::string file = (dir.Path() / "scene.json").string();
    const std::string objects = R"({"objects": [{"name": "a", "primitive": "box"},
                                               {"name": "b", "file": "cube.obj"}])";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"linesets": [{}, {"brushOutline": {"siez": 1}}]})",
         "linesets[1].brushOutline.siez: unknown key"},
        {R"({"camera": {"width": 100, "lense": 3}})", "scene.json: camera.lense: unknown key"},
        {R"({"linesets": [{"brush": {"size": 0}}]})", "linesets[0].brush.size: 0 is out of range"},
        {R"({"brushes": {"x": {"detail": {"sizeCurve": [{"x": 0, "y": 1}, {"x": 1.5, "y": 1}]}}}})",
         "brushes.x.detail.sizeCurve[1].x: 1.5 is out of range"},
        {R"({"brushes": {"x": {"detail": {"alphaCurve": [{"x": 0.5, "y": 1}, {"x": 0.5}]}}}})",
         "alphaCurve[1]: needs \"x\" and \"y\""},
        {R"({"brushes": {"x": {"detail": {"sizeCurve": [{"x": 1, "y": 1}, {"x": 1, "y": 0}]}}}})",
         "sizeCurve[1].x: 1 is not greater than"},
        {R"({"brushes": {"x": {"detail": {"grooveNum": 4.5}}}})",
         "grooveNum: expected a whole number"},
        {R"({"antialiasing": true})", "scene.json: antialiasing: expected a number"},
        {R"({"multithread": 1})", "multithread: expected true or false"},
        {R"({"brushes": {"x": {"color": "#12345"}}})", "\"#12345\" is not a colour \"#rrggbb\""},
        {R"({"brushes": {"x": {"blend": "Burn"}}})", "brushes.x.blend: \"Burn\" is not one of"},
        {"{\n  \"randomSeed\": 1,\n}", "scene.json: line 3, column 1: syntax error"},
        {"[1, 2]", "scene.json: expected a JSON object"},
        {"{\"randomSeed\": 1e400}", "scene.json: number overflow"},
        {std::string(40, '[') + std::string(40, ']'), "nested more than 32 levels deep"},
        {R"({"linesets": [{"ID": 1, "ID": 2}]})", "scene.json: linesets[0].ID: key given twice"},
        {objects + R"(, "linesets": [{"objects": ["a", "c"]}]})",
         "linesets[0].objects[1]: no object named \"c\""},
        {objects + R"(, "linesets": [{"objects": ["a"]}, {"objects": ["b", "a"]}]})",
         "linesets[1].objects[1]: \"a\" is already in linesets[0]"},
        {objects + R"(, "linesets": [{"sizeReduction_Hidden": {"objectNode": "z"}}]})",
         "linesets[0].sizeReduction_Hidden.objectNode: no object named"},
        {R"({"linesets": [{"brushWire_Hidden": "ink"}]})",
         "linesets[0].brushWire_Hidden: no brush named"},
        {R"({"objects": [{"name": "a", "builtin": "default"}, {"name": "a", "primitive": "box"}]})",
         "objects[1].name: \"a\" is already the name of objects[0]"},
        {R"({"objects": [{"name": "a", "file": "bunny.obj"}]})",
         "objects[0].file: bunny.obj: no such file"},
        {R"({"objects": [{"name": "a", "file": "notes.txt"}]})",
         "objects[0].file: notes.txt: not a supported"},
        {R"({"objects": [{"name": "a", "primitive": "box", "radius": 3}]})",
         "objects[0].radius: unknown key"},
        {R"({"objects": [{"name": "a", "primitive": "box", "up": "y"}]})",
         "objects[0].up: unknown key"},
        {R"({"objects": [{"name": "a", "file": "cube.obj", "up": "x"}]})",
         "objects[0].up: \"x\" is not one of"},
        {R"({"objects": [{"name": "a", "file": "cube.obj", "weld": -1}]})",
         "objects[0].weld: -1 is out of range 0 to"},
        {R"({"objects": [{"name": "a", "primitive": "box", "scale": [1, 0, 1]}]})",
         "objects[0].scale: must not be zero"},
        {R"({"objects": [{"name": "a"}]})", "objects[0]: needs exactly one of"},
        {R"({"camera": {"fov": 40}})", "camera.fov: needs \"eye\""},
        {R"({"camera": {"eye": [1, 2, 3], "target": [1, 2, 3]}})",
         "scene.json: camera: eye and target are the same"},
        {R"({"camera": {"eye": [0, 0, 5], "up": [0, 0, 2]}})", "is parallel to the view"},
        {R"({"camera": {"eye": [0, 0, 5], "near": 10, "far": 5}})",
         "camera.near: 10 is not less than"},
        {R"({"camera": {"eye": [0, 0, 5], "fov": 30, "focalLength": 20}})",
         "give either fov or focalLength"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        const std::string error = ErrorOf([&] { ParseScene(text, file); });
        // The messages above name the file as "scene.json"; here it has its folder.
        const std::string expected =
            message.starts_with("scene.json:") ? file + message.substr(10) : message;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    EXPECT_EQ(ErrorOf([&] { ParseScene(objects + "}", file); }), "");
    const std::string missing = (dir.Path() / "missing.json").string();
    EXPECT_EQ(ErrorOf([&] { ReadSceneFile(missing); }), missing + ": no such file");
}

TEST(SceneFile, ModelObjectsTakeAnUpAxisAndAWeldDistance) {
    const test::TempDir dir;
    dir.Write("cube.obj", kTriangleObj);
    const SceneDescription turned = ParseScene(
        R"({"objects": [{"name": "a", "file": "cube.obj", "up": "Y", "weld": 0.25},
                        {"name": "b", "file": "cube.obj"}]})",
        (dir.Path() / "scene.json").string());
    EXPECT_EQ(turned.objects[0].up, UpAxis::kY);
    EXPECT_EQ(turned.objects[0].weld, 0.25f);
    EXPECT_EQ(turned.objects[1].up, UpAxis::kFormatDefault);
    EXPECT_LT(turned.objects[1].weld, 0.0f) << "unset: the command line's --weld applies";
}

TEST(SceneFile, LineSetsShareNamedBrushesAndGetFreshOnesForTheRest) {
    const SceneDescription shared = ParseScene(R"({"brushes": {"ink": {"size": 2}},
        "linesets": [{"brush": "ink", "brushOutline": "ink", "brushObject": null},
                     {"brushIntersection_Hidden": "ink"}]})",
                                               "s.json");
    ASSERT_EQ(shared.lineSets.size(), 2u);
    const auto& slots = shared.lineSets[0].brushSlots;
    EXPECT_EQ(slots[0][0], 0);
    EXPECT_EQ(slots[0][1], 0);
    EXPECT_EQ(slots[0][2], -1);
    EXPECT_EQ(shared.lineSets[1].brushSlots[1][3], 0);
    EXPECT_EQ(shared.brushes[0].size, 2.0f);
    // Every slot not given gets a brush of its own.
    std::set<int32_t> fresh;
    for (const LineSetDesc& set : shared.lineSets)
        for (const auto& visibility : set.brushSlots)
            for (int32_t slot : visibility)
                if (slot > 0) fresh.insert(slot);
    EXPECT_EQ(fresh.size(), 18u - 3 + 18 - 1);
    EXPECT_EQ(shared.brushes.size(), fresh.size() + 1);
    EXPECT_EQ(shared.brushes[1].size, 1.0f);
}

TEST(SceneFile, AnEmptySceneHasOneLineSetForAllObjects) {
    const SceneDescription plain = ParseScene("{}", "s.json");
    ASSERT_EQ(plain.lineSets.size(), 1u);
    EXPECT_TRUE(plain.lineSets[0].allObjects);
    EXPECT_EQ(plain.brushes.size(), 18u);
    EXPECT_FALSE(plain.camera.given);
    EXPECT_TRUE(ParseScene(R"({"linesets": []})", "s.json").lineSets.empty());
}

TEST(SceneFile, ModelFilesAreFoundFromTheSceneAndNamedApart) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir.Path() / "a");
    std::filesystem::create_directories(dir.Path() / "b");
    const std::string a = dir.Write("a/m.obj", kTriangleObj),
                      b = dir.Write("b/m.obj", kTriangleObj);
    const std::string sceneFile =
        dir.Write("a/s.json", R"({"objects": [{"name": "m", "file": "../b/m.obj"}]})");
    EXPECT_EQ(std::filesystem::canonical(ReadSceneFile(sceneFile).objects[0].file),
              std::filesystem::canonical(b));

    const SceneDescription models = SceneForModels({a, b, a});
    ASSERT_EQ(models.objects.size(), 3u);
    EXPECT_EQ(models.objects[1].name, "m.obj (2)");
    EXPECT_EQ(models.objects[2].name, "m.obj (3)");
    EXPECT_EQ(models.objects[2].file, a);
    ASSERT_EQ(models.lineSets.size(), 1u);
    EXPECT_TRUE(models.lineSets[0].allObjects);
    const std::string missing = (dir.Path() / "c.obj").string();
    EXPECT_EQ(ErrorOf([&] { SceneForModels({a, missing}); }), missing + ": no such file");
}

TEST(SceneObjects, PlacesObjectsAndBuildsTheCamera) {
    const test::TempDir dir;
    dir.Write("two.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\no first\nf 1 2 3\no second\nf 1 3 2\n");
    const SceneDescription scene = ParseScene(R"({"objects": [
        {"name": "d", "builtin": "default", "position": [0, 0, 100], "rotation": [0, 0, 90],
         "scale": 2},
        {"name": "t", "file": "two.obj"}, {"name": "b", "primitive": "box"}]})",
                                              (dir.Path() / "s.json").string());
    const SceneObjects loaded = LoadSceneObjects(scene);
    const std::vector<PolyMesh> builtin = BuiltinScene("default");
    ASSERT_EQ(loaded.objects.size(), builtin.size() + 3);
    EXPECT_EQ(loaded.descIndex, (std::vector<int32_t>{0, 0, 0, 0, 0, 1, 1, 2}));
    EXPECT_EQ(loaded.objects[1]->name, "d/block");
    EXPECT_EQ(loaded.objects[6]->name, "t/second");
    EXPECT_EQ(loaded.objects[7]->name, "b");
    // The object's own transform comes after the built-in placement: (x, y, z) -> (-2y, 2x,
    // 2z + 100).
    for (size_t m = 0; m < builtin.size(); ++m) {
        const Point3 p = builtin[m].objToWorld.PointTransform(builtin[m].vertices[0]);
        const auto& object = *loaded.objects[m];
        const Point3 q = object.objToWorld.PointTransform(object.vertices[0]);
        EXPECT_NEAR(q.x, -2 * p.y, 1e-3);
        EXPECT_NEAR(q.y, 2 * p.x, 1e-3);
        EXPECT_NEAR(q.z, 2 * p.z + 100, 1e-3);
    }

    // A given camera placed where the framing camera is reproduces it, by lens or by field of
    // view.
    CameraDesc camera;
    camera.width = 800;
    camera.height = 600;
    const FramedCamera framed = MakeSceneCamera(camera, loaded.objects);
    camera.given = true;
    camera.eye = framed.eye;
    camera.target = framed.target;
    for (float fov : {0.0f, float(framed.VerticalFovDeg())}) {
        camera.fov = fov;
        const KvrnLib::Camera got = MakeSceneCamera(camera, {}).camera;
        const KvrnLib::Camera& want = framed.camera;
        EXPECT_NEAR(got.scale.x, want.scale.x, 1e-2);
        EXPECT_NEAR(got.scale.y, want.scale.y, 1e-2);
        EXPECT_TRUE(got.center == KvrnLib::Point2(400, 300));
        EXPECT_EQ(got.nearZ, want.nearZ);
        EXPECT_EQ(got.farZ, want.farZ);
        for (int r = 0; r < 4; ++r) {
            EXPECT_NEAR(got.worldToCam.row[r].x, want.worldToCam.row[r].x, 1e-3);
            EXPECT_NEAR(got.worldToCam.row[r].y, want.worldToCam.row[r].y, 1e-3);
            EXPECT_NEAR(got.worldToCam.row[r].z, want.worldToCam.row[r].z, 1e-3);
        }
    }

    // Parallel, from above: 100 units across 800 pixels, world +X to the right, +Y up the image.
    camera = {};
    camera.given = camera.parallel = true;
    camera.eye = {10, 20, 50};
    camera.target = {10, 20, 0};
    camera.up = {0, 1, 0};
    camera.width = 800;
    camera.height = 600;
    camera.farRange = 60;
    const KvrnLib::Camera top = MakeSceneCamera(camera, {}).camera;
    const KvrnLib::Point2 s = top.Project(top.worldToCam.PointTransform({11, 22, 0}));
    EXPECT_NEAR(s.x, 408, 1e-3);
    EXPECT_NEAR(s.y, 284, 1e-3);
    EXPECT_NEAR(top.farZ, -60, 1e-6);
}

}  // namespace
}  // namespace KvrnApp
