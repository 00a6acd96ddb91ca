#include "line_objects.h"

#include <gtest/gtest.h>

#include "poly_mesh.h"
#include "reduction.h"

namespace KvrnApp {
namespace {

using KvrnLib::kEdgeIntersection;
using KvrnLib::kEdgeObject;
using KvrnLib::kEdgeSelected;
using KvrnLib::kEdgeWire;

constexpr int kVisible = 0;
constexpr int kHidden = 1;

// A scene with `lineSetCount` new line sets, objects A to D and absolute line sizes.
SceneDescription MakeScene(int lineSetCount) {
    SceneDescription scene;
    scene.path = "job.json";
    scene.options.lineSizeType = 0;
    for (const char* name : {"A", "B", "C", "D"}) {
        ObjectDesc object;
        object.name = name;
        scene.objects.push_back(object);
    }
    for (int i = 0; i < lineSetCount; ++i) {
        scene.lineSets.push_back(NewLineSet(scene.brushes));
        scene.lineSets.back().name = "Set" + std::to_string(i + 1);
    }
    // The tests state their brushes' values, rather than take the user defaults.
    for (BrushDesc& brush : scene.brushes) brush.fresh = false;
    return scene;
}

EngineLineRecords Build(const SceneDescription& scene, int32_t height = 480,
                        const std::vector<int32_t>& descIndex = {0, 1, 2, 3}, int32_t cores = 4) {
    SceneLineObjects objects(scene);
    return BuildSceneRecords(objects, scene, descIndex, height, cores);
}

std::string BuildError(const SceneDescription& scene) {
    try {
        Build(scene);
    } catch (const InputError& e) {
        return e.what();
    }
    return "no error";
}

CurveDesc Line(float y0, float y1) {
    CurveDesc curve;
    curve.points = {{0, y0, 0, 0, 0, 0}, {1, y1, 0, 0, 0, 0}};
    return curve;
}

TEST(SceneLineObjects, EffectiveBrushesBecomeSharedEdgeGroups) {
    SceneDescription scene = MakeScene(1);
    LineSetDesc& set = scene.lineSets[0];
    auto& visible = set.brushSlots[kVisible];
    // The outline brush sorts before the general brush, so it takes group 0.
    std::swap(visible[0], visible[1]);
    for (int32_t b = 0; b < int32_t(scene.brushes.size()); ++b) {
        scene.brushes[size_t(b)].color = {float(b) / 100.0f, 0.0f, 0.0f};
        scene.brushes[size_t(b)].detail.linkLength = float(b);
    }
    set.edges[kVisible].specificOutlineEnable = true;
    set.edges[kVisible].specificObjectEnable = true;
    visible[1 + kEdgeObject] = -1;  // empty specific slot: no fallback
    set.edges[kVisible].edgeIsect = false;
    set.edges[kVisible].specificIsectEnable = true;
    set.edges[kVisible].edgeWire = true;
    // Hidden: the selected-edge slot instances the general brush.
    auto& hidden = set.brushSlots[kHidden];
    hidden[1 + kEdgeSelected] = hidden[0];
    set.edges[kHidden].specificSelEnable = true;

    const EngineLineRecords s = Build(scene);
    const KvrnLib::LineSetDetection& d = s.detection.lineSets[0];
    const KvrnLib::ConnectSettings& c = s.connect[0];
    const std::array<int32_t, 10> visibleGroups{0, -1, -1, 1, 1, -1, 1, 1, -1, -1};
    EXPECT_EQ(c.visibleGroup, visibleGroups);
    for (int k = 0; k < KvrnLib::kEdgeKindCount; ++k)
        EXPECT_EQ(d.visible.kind[size_t(k)], visibleGroups[size_t(k)] >= 0) << "kind " << k;
    const std::array<int32_t, 10> hiddenGroups{0, 0, 0, 0, 0, -1, -1, 0, -1, -1};
    EXPECT_EQ(c.hiddenGroup, hiddenGroups);

    // Group g names the same brush in the connection and the draw record.
    const KvrnLib::LineSetDrawSettings& draw = s.draw.lineSets[0];
    for (const auto& [group, brush] : {std::pair{0, visible[1]}, std::pair{1, visible[0]}}) {
        EXPECT_EQ(c.visibleParams[size_t(group)].linkLength, float(brush));
        EXPECT_FLOAT_EQ(draw.visible[size_t(group)].color[0], float(brush) / 100.0f);
    }
    EXPECT_EQ(c.hiddenParams[0].linkLength, float(hidden[0]));
    EXPECT_EQ(c.hiddenParams[1].linkLength, 0.0f);
    EXPECT_FLOAT_EQ(draw.hidden[0].color[0], float(hidden[0]) / 100.0f);
}

TEST(SceneLineObjects, SizeScaleAndFrameOptions) {
    SceneDescription scene = MakeScene(1);
    scene.options.lineSizeType = 1;
    scene.options.OffscreenDistance = 37.5f;
    scene.options.overSampling = 3;
    BrushDesc& general = scene.brushes[size_t(scene.lineSets[0].brushSlots[kVisible][0])];
    general.size = 1.5f;
    general.detail.linkLength = 4.0f;

    EngineLineRecords s = Build(scene, 1280);
    EXPECT_FLOAT_EQ(s.sizeScale, 2.0f);
    EXPECT_FLOAT_EQ(s.draw.lineSets[0].visible[0].lineSize, 3.0f);
    EXPECT_FLOAT_EQ(s.connect[0].visibleParams[0].linkLength, 4.0f);  // link lengths unscaled
    for (const float margin : s.detection.offscreen) EXPECT_EQ(margin, 37.5f);
    EXPECT_EQ(s.draw.oversampling, 4);  // 3 rounds up
    EXPECT_EQ(s.threadCount, 4);

    scene.options.lineSizeType = 0;
    scene.options.multithread = false;
    s = Build(scene, 1280);
    EXPECT_EQ(s.sizeScale, 1.0f);
    EXPECT_EQ(s.draw.lineSets[0].visible[0].lineSize, 1.5f);
    EXPECT_EQ(s.threadCount, 1);

    scene.options.overSampling = 5;
    EXPECT_NE(BuildError(scene).find("overSampling = 5"), std::string::npos);
}

TEST(SceneLineObjects, BrushValuesAndSwitches) {
    SceneDescription scene = MakeScene(2);
    scene.lineSets[1].ID = 6;
    BrushDesc& brush = scene.brushes[size_t(scene.lineSets[1].brushSlots[kHidden][0])];
    brush.alpha = 40.0f;
    brush.colorMapEnable = false;
    brush.detail.strokeStyle = 1;
    brush.detail.strokeLoopDirection = 0;
    brush.detail.noiseAmount = 7.0f;
    brush.detail.alphaReductionEnable = true;
    brush.detail.alphaCurve = Line(1.0f, 0.0f);

    const EngineLineRecords settings = Build(scene);
    const KvrnLib::LineSetDrawSettings& set = settings.draw.lineSets[1];
    EXPECT_EQ(set.lineSetId, 6);
    EXPECT_NE(set.seed, settings.draw.lineSets[0].seed);
    const KvrnLib::BrushDrawSettings& b = set.hidden[0];
    EXPECT_FLOAT_EQ(b.alpha, 0.4f);      // percent to fraction
    EXPECT_EQ(b.colorMapOpacity, 0.0f);  // map off
    EXPECT_EQ(b.dashed, 1);
    EXPECT_EQ(b.loopRight, 1);           // loop direction 0 is Right
    EXPECT_EQ(b.noiseAmount, 0.0f);      // noise off
    EXPECT_EQ(b.noiseMapOpacity, 5.0f);  // kept as shown
    EXPECT_EQ(b.sizeReductionCurve, nullptr);
    ASSERT_NE(b.alphaReductionCurve, nullptr);
    EXPECT_NEAR(b.alphaReductionCurve->Evaluate(0.25f), 0.75f, 0.01f);

    brush.detail.noiseEnable = true;
    brush.detail.noiseMapEnable = false;
    const KvrnLib::BrushDrawSettings noisy = Build(scene).draw.lineSets[1].hidden[0];
    EXPECT_EQ(noisy.noiseAmount, 7.0f);
    EXPECT_EQ(noisy.noiseMapOpacity, 0.0f);

    // A value out of its parameter's range names the brush and the value, not clamped.
    brush.detail.grooveNum = 2;
    const std::string error = BuildError(scene);
    EXPECT_NE(error.find("job.json: brush "), std::string::npos) << error;
    EXPECT_NE(error.find("grooveNum = 2, expected 3 to 20"), std::string::npos) << error;
    brush.detail.grooveNum = 5;

    scene.lineSets[0].brushSlots[kVisible][3] = 500;
    EXPECT_NE(BuildError(scene).find("brushIntersection refers to brush 500"), std::string::npos);
}

TEST(SceneLineObjects, ReductionsPresentOnlyWhenEnabledAndComplete) {
    SceneDescription scene = MakeScene(1);
    scene.objects[1].position = {3.0f, -4.0f, 5.0f};
    LineSetDesc& set = scene.lineSets[0];
    EXPECT_EQ(Build(scene).draw.lineSets[0].reductions,
              (std::array<std::shared_ptr<const KvrnLib::ReductionSettings>, 4>{}));

    set.edges[kVisible].sizeReductionEnable = true;
    set.edges[kHidden].alphaReductionEnable = true;
    set.reductions[kVisible][0].start = 20.0f;
    set.reductions[kHidden][1].objectEnable = true;
    set.reductions[kHidden][1].objectNode = "B";
    auto reductions = Build(scene).draw.lineSets[0].reductions;
    ASSERT_NE(reductions[0], nullptr);
    EXPECT_EQ(reductions[0]->start, 20.0f);
    EXPECT_EQ(reductions[0]->end, 1000.0f);
    EXPECT_EQ(reductions[0]->objectReference, 0);
    EXPECT_FLOAT_EQ(reductions[0]->curve->Evaluate(1.0f), 0.1f);
    EXPECT_EQ(reductions[1], nullptr);
    EXPECT_EQ(reductions[2], nullptr);
    ASSERT_NE(reductions[3], nullptr);
    EXPECT_EQ(reductions[3]->objectReference, 1);
    EXPECT_EQ(reductions[3]->referencePosition.y, -4.0f);

    // No node picked, or no curve: absent rather than measured from the camera.
    set.reductions[kHidden][1].objectNode.clear();
    set.reductions[kVisible][0].curve.points.clear();
    reductions = Build(scene).draw.lineSets[0].reductions;
    EXPECT_EQ(reductions[0], nullptr);
    EXPECT_EQ(reductions[3], nullptr);

    set.reductions[kHidden][1].objectNode = "Lamp";
    EXPECT_NE(BuildError(scene).find("\"Lamp\" is not an object"), std::string::npos);
}

TEST(SceneLineObjects, ObjectsBelongToTheLowestIndexedLineSet) {
    SceneDescription scene = MakeScene(3);
    for (LineSetDesc& set : scene.lineSets) set.allObjects = false;
    scene.lineSets[0].objects = {"B"};
    scene.lineSets[1].allObjects = true;
    scene.lineSets[2].objects = {"A", "B"};
    // Render objects: A, two from B, C, none, D.
    const std::vector<int32_t> descOfObject{0, 1, 1, 2, -1, 3};
    auto owners = [&] {
        std::vector<int32_t> result;
        for (const auto& o : Build(scene, 480, descOfObject, 1).detection.objects)
            result.push_back(o.defaultLineSet);
        return result;
    };
    EXPECT_EQ(owners(), (std::vector<int32_t>{1, 0, 0, 1, -1, 1}));

    scene.lineSets[1].allObjects = false;
    scene.lineSets[1].objects = {"C", "A"};
    scene.lineSets[2].objects = {"C", "D"};
    EXPECT_EQ(owners(), (std::vector<int32_t>{1, 0, 0, 1, -1, 2}));

    scene.lineSets[2].objects = {};
    EXPECT_EQ(owners(), (std::vector<int32_t>{1, 0, 0, 1, -1, -1}));

    scene.lineSets[2].objects = {"E"};
    const std::string error = BuildError(scene);
    EXPECT_NE(error.find("line set 2 \"Set3\": object \"E\""), std::string::npos) << error;
}

TEST(SceneLineObjects, DisabledLineSetKeepsItsPlaceAndObjects) {
    SceneDescription scene = MakeScene(2);
    scene.lineSets[0].enable = false;
    scene.lineSets[0].maskHiddenLinesOfOtherLinesets = true;
    scene.lineSets[1].name = "Sk\xC3\xA4tch";
    const EngineLineRecords s = Build(scene);
    ASSERT_EQ(s.detection.lineSets.size(), 2u);
    EXPECT_EQ(s.detection.lineSets[0], KvrnLib::LineSetDetection::Disabled());
    EXPECT_EQ(s.detection.lineSets[1].visible.kind[kEdgeIntersection], 1);
    for (const auto& object : s.detection.objects) EXPECT_EQ(object.defaultLineSet, 0);
    EXPECT_EQ(s.draw.lineSets.size(), 2u);
    EXPECT_EQ(s.lineSetIndex, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(s.layerNames, (std::vector<std::wstring>{L"Set1", L"Sk\u00E4tch"}));
}

}  // namespace
}  // namespace KvrnApp
