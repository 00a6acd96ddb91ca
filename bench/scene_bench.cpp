// Scene set-up and the deferred per-object results on the bunny (69K triangles) and the bunny
// subdivided twice (1.1M triangles). Each iteration builds a fresh scene; only the part named by
// the benchmark is timed (manual wall-clock time), so allocation of the scene, results that the
// measured one depends on, and freeing everything stay out of the numbers.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "bench_models.h"
#include "mesh_edges.h"
#include "render_object_info.h"

namespace {

using Clock = std::chrono::steady_clock;

// As in the kovrin program: freed per-frame arrays stay in the heap, so these numbers are the
// steady per-frame cost. A process's first frame also pays the page faults of fresh memory.
const bool kKeepFreedMemory = [] {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return true;
}();
using KvrnLib::RenderObjectInfoEx;
using KvrnLib::Scene;

struct SceneInput {
    KvrnLib::Camera camera;
    std::shared_ptr<KvrnLib::RenderObject> object;
};

// The bunny with state.range(0) subdivisions; null (and the benchmark skipped) when the model
// cannot be read.
const SceneInput* Input(benchmark::State& state) {
    static std::shared_ptr<SceneInput> inputs[3];
    const int subdivisions = int(state.range(0));
    std::shared_ptr<SceneInput>& input = inputs[subdivisions];
    if (input) return input.get();
    const std::string path = KvrnBench::ModelPath("stanford-bunny.obj");
    try {
        const KvrnBench::TriangleMesh& mesh =
            KvrnBench::ModelMesh("stanford-bunny.obj", subdivisions);
        input = std::make_shared<SceneInput>();
        input->camera = KvrnBench::FramingCamera(mesh);
        input->object = KvrnBench::MakeRenderObject(mesh, input->camera);
    } catch (const std::exception& e) {
        input.reset();
        const std::string message = std::string("models folder missing: ") + e.what();
        state.SkipWithError(message.c_str());
        return nullptr;
    }
    state.counters["faces"] = double(input->object->faces.size());
    return input.get();
}

std::unique_ptr<Scene> MakeScene(const SceneInput& input) {
    return std::make_unique<Scene>(
        input.camera, std::vector<std::shared_ptr<KvrnLib::RenderObject>>{input.object});
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

void RequestAll(const RenderObjectInfoEx& info) {
    benchmark::DoNotOptimize(info.CameraVertices().data());
    benchmark::DoNotOptimize(info.FaceNormals().data());
    benchmark::DoNotOptimize(info.ScreenPoints().data());
    benchmark::DoNotOptimize(info.FacingBytes().data());
    benchmark::DoNotOptimize(&info.Bounds());
    benchmark::DoNotOptimize(&info.FaceBounds());
}

void BM_SceneSetup(benchmark::State& state) {
    const SceneInput* input = Input(state);
    if (!input) return;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        std::unique_ptr<Scene> scene = MakeScene(*input);
        const Clock::time_point end = Clock::now();
        benchmark::DoNotOptimize(&scene->Info(0).ScreenBounds());
        state.SetIterationTime(Seconds(start, end));
    }
}

// One deferred result alone: the results it builds on are requested before the clock starts.
// Bounds are filled together with the camera-space vertices, so they have no entry of their own.
enum class Deferred { CameraVertices, FaceNormals, ScreenPoints, FacingBytes, FaceBounds };

template <Deferred kResult>
void BM_SceneDeferred(benchmark::State& state) {
    const SceneInput* input = Input(state);
    if (!input) return;
    for (auto _ : state) {
        std::unique_ptr<Scene> scene = MakeScene(*input);
        const RenderObjectInfoEx& info = scene->Info(0);
        if (kResult != Deferred::CameraVertices) info.CameraVertices();
        if (kResult == Deferred::FacingBytes || kResult == Deferred::FaceBounds)
            info.ScreenPoints();
        if (kResult == Deferred::FaceBounds) info.FacingBytes();
        const Clock::time_point start = Clock::now();
        switch (kResult) {
            case Deferred::CameraVertices:
                benchmark::DoNotOptimize(info.CameraVertices().data());
                break;
            case Deferred::FaceNormals:
                benchmark::DoNotOptimize(info.FaceNormals().data());
                break;
            case Deferred::ScreenPoints:
                benchmark::DoNotOptimize(info.ScreenPoints().data());
                break;
            case Deferred::FacingBytes:
                benchmark::DoNotOptimize(info.FacingBytes().data());
                break;
            case Deferred::FaceBounds:
                benchmark::DoNotOptimize(&info.FaceBounds());
                break;
        }
        const Clock::time_point end = Clock::now();
        state.SetIterationTime(Seconds(start, end));
    }
}

// Set-up plus every deferred result: the per-frame cost that the detection stage starts with.
void BM_SceneSetupAndAllDeferred(benchmark::State& state) {
    const SceneInput* input = Input(state);
    if (!input) return;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        std::unique_ptr<Scene> scene = MakeScene(*input);
        RequestAll(scene->Info(0));
        const Clock::time_point end = Clock::now();
        state.SetIterationTime(Seconds(start, end));
    }
}

void BM_SceneMeshEdges(benchmark::State& state) {
    const SceneInput* input = Input(state);
    if (!input) return;
    const std::unique_ptr<Scene> scene = MakeScene(*input);
    const std::vector<uint8_t>& facing = scene->Info(0).FacingBytes();
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        // The half-edge table detection reads, not the list written out for reports.
        KvrnLib::MeshEdgeTable edges = KvrnLib::BuildMeshEdgeTable(*input->object, facing);
        const Clock::time_point end = Clock::now();
        benchmark::DoNotOptimize(edges.partner.data());
        state.SetIterationTime(Seconds(start, end));
    }
}

void SceneArgs(benchmark::internal::Benchmark* b) {
    b->ArgName("subdivisions")->Arg(0)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SceneSetup)->Apply(SceneArgs);
BENCHMARK(BM_SceneDeferred<Deferred::CameraVertices>)->Apply(SceneArgs);
BENCHMARK(BM_SceneDeferred<Deferred::FaceNormals>)->Apply(SceneArgs);
BENCHMARK(BM_SceneDeferred<Deferred::ScreenPoints>)->Apply(SceneArgs);
BENCHMARK(BM_SceneDeferred<Deferred::FacingBytes>)->Apply(SceneArgs);
BENCHMARK(BM_SceneDeferred<Deferred::FaceBounds>)->Apply(SceneArgs);
BENCHMARK(BM_SceneSetupAndAllDeferred)->Apply(SceneArgs);
BENCHMARK(BM_SceneMeshEdges)->Apply(SceneArgs);

}  // namespace
