// The settings objects around the engine: making them from a scene description and building the
// engine records from them, which every frame does. Both should stay invisible next to the
// engine's stages (records for 100 line sets of 18 brushes each well under a millisecond).
#include <benchmark/benchmark.h>

#include <string>

#include "line_objects.h"
#include "scene_description.h"

namespace {

using namespace KvrnApp;

// `sets` new line sets (18 brushes each) over 100 objects, each set holding one object.
SceneDescription Description(int sets) {
    SceneDescription scene;
    scene.path = "bench.json";
    for (int i = 0; i < 100; ++i) {
        ObjectDesc object;
        object.name = "m" + std::to_string(i);
        scene.objects.push_back(object);
    }
    for (int i = 0; i < sets; ++i) {
        LineSetDesc& set = scene.lineSets.emplace_back(NewLineSet(scene.brushes));
        set.name = "Set" + std::to_string(i + 1);
        set.allObjects = false;
        set.objects = {scene.objects[size_t(i % 100)].name};
        set.edges[0].specificOutlineEnable = set.edges[0].specificIsectEnable = true;
    }
    return scene;
}

std::vector<int32_t> OneRenderObjectEach() {
    std::vector<int32_t> index(100);
    for (int32_t i = 0; i < 100; ++i) index[size_t(i)] = i;
    return index;
}

void BM_LineSettingsRecords(benchmark::State& state) {
    const SceneDescription scene = Description(int(state.range(0)));
    SceneLineObjects objects(scene);
    const std::vector<int32_t> index = OneRenderObjectEach();
    for (auto _ : state) {
        EngineLineRecords records = BuildSceneRecords(objects, scene, index, 1080, 2);
        benchmark::DoNotOptimize(records);
    }
}
BENCHMARK(BM_LineSettingsRecords)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_LineSettingsObjects(benchmark::State& state) {
    const SceneDescription scene = Description(int(state.range(0)));
    for (auto _ : state) {
        SceneLineObjects objects(scene);
        benchmark::DoNotOptimize(&objects);
    }
}
BENCHMARK(BM_LineSettingsObjects)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
