// Edge detection on the bunny, the twice-subdivided bunny (1.1M triangles) and a crowd of 100
// overlapping model instances, with 1 and 2 threads, with and without intersection lines; with
// the engine's peak and retained heap per triangle. Then on copies of faces and of objects.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bench_models.h"
#include "detect_inputs.h"
#include "edge_detect.h"
#include "heap_peak.h"

namespace {

using KvrnBench::DetectInput;
using KvrnBench::Input;
using KvrnBench::Settings;

int64_t Pieces(const KvrnLib::DetectionResult& result) {
    int64_t n = 0;
    for (const auto& set : result.lineSets)
        for (const auto* side : {&set.visible, &set.hidden})
            for (const auto& object : *side)
                for (const auto& list : object.kinds) n += int64_t(list.Size());
    for (const auto& pair : result.pairs)
        n += int64_t(pair.visibleEdges.Size() + pair.hiddenEdges.Size());
    return n;
}

// Args: input, threads, intersections. Each iteration detects on a fresh scene, so the
// deferred per-object data and the occlusion structure are part of the time.
void BM_Detect(benchmark::State& state) {
    const DetectInput* input = Input(state, int(state.range(0)));
    if (!input) return;
    KvrnLib::ThreadManagerCore pool(int(state.range(1)));
    const auto settings = Settings(int(input->objects.size()), state.range(2) != 0);
    int64_t pieces = 0;
    double bytes = 0, peak = 0;
    for (auto _ : state) {
        auto scene = std::make_unique<KvrnLib::Scene>(input->camera, input->objects);
        KvrnLib::DetectionResult result;
        const size_t before = KvrnBench::HeapInUse();
        KvrnBench::ResetHeapPeak();
        const auto start = std::chrono::steady_clock::now();
        KvrnLib::DetectEdges(result, settings, *scene, pool, nullptr);
        const auto end = std::chrono::steady_clock::now();
        bytes = double(KvrnBench::HeapInUse() - before);
        peak = double(KvrnBench::HeapPeak() - before);
        pieces = Pieces(result);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["triangles"] = double(input->triangles);
    state.counters["pieces"] = double(pieces);
    state.counters["retained_B_per_tri"] = bytes / double(input->triangles);
    state.counters["peak_B_per_tri"] = peak / double(input->triangles);
}
BENCHMARK(BM_Detect)
    ->ArgNames({"input", "threads", "isect"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Args: copies, layout (0: every face of spot given `copies` times in one object; 1: `copies`
// coincident objects of spot), intersections; 2 threads. Copies should cost little more than
// their triangles' share of the occlusion build, and leave the pieces as they are.
void BM_DetectCopies(benchmark::State& state) {
    const int copies = int(state.range(0));
    const bool objects = state.range(1) != 0;
    std::shared_ptr<KvrnLib::RenderObject> spot;
    KvrnLib::Camera camera;
    try {
        const KvrnBench::TriangleMesh& mesh = KvrnBench::ModelMesh("spot.obj", 0);
        camera = KvrnBench::FramingCamera(mesh);
        spot = KvrnBench::MakeRenderObject(mesh, camera);
    } catch (const std::exception& e) {
        state.SkipWithError((std::string("models folder missing: ") + e.what()).c_str());
        return;
    }
    std::vector<std::shared_ptr<KvrnLib::RenderObject>> scene(1, spot);
    if (objects) {
        for (int i = 1; i < copies; ++i)
            scene.push_back(std::make_shared<KvrnLib::RenderObject>(*spot));
    } else {
        auto repeated = std::make_shared<KvrnLib::RenderObject>(*spot);
        for (int i = 1; i < copies; ++i)
            repeated->faces.insert(repeated->faces.end(), spot->faces.begin(), spot->faces.end());
        repeated->cornerNormals.clear();
        scene[0] = repeated;
    }
    KvrnLib::ThreadManagerCore pool(2);
    const auto settings = Settings(int(scene.size()), state.range(2) != 0);
    int64_t pieces = 0;
    for (auto _ : state) {
        KvrnLib::Scene frame(camera, scene);
        KvrnLib::DetectionResult result;
        const auto start = std::chrono::steady_clock::now();
        KvrnLib::DetectEdges(result, settings, frame, pool, nullptr);
        const auto end = std::chrono::steady_clock::now();
        pieces = Pieces(result);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["triangles"] = double(copies) * double(spot->faces.size());
    state.counters["pieces"] = double(pieces);
}
BENCHMARK(BM_DetectCopies)
    ->ArgNames({"copies", "objects", "isect"})
    ->ArgsProduct({{1, 50}, {0, 1}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
