// Occlusion structure on the bunny (69K triangles) and the bunny subdivided twice (1.1M): build
// time on pools of 1 and 2 threads, and FindOccluder queries per second on samples along random
// mesh edges, as edge visibility asks them, with and without the group hint.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_models.h"
#include "occlusion.h"
#include "render_object_info.h"
#include "thread_manager.h"

namespace {

using Clock = std::chrono::steady_clock;
using KvrnLib::OcclusionScene;
using KvrnLib::Point3;
using KvrnLib::Scene;

// As in the kovrin program: freed per-frame arrays stay in the heap.
const bool kKeepFreedMemory = [] {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return true;
}();

struct Input {
    KvrnLib::Camera camera;
    std::shared_ptr<KvrnLib::RenderObject> object;
    std::unique_ptr<Scene> scene;  // deferred data already computed
};

// The bunny with `subdivisions`; null (and the benchmark skipped) when the model is missing.
const Input* GetInput(benchmark::State& state, int subdivisions) {
    static std::shared_ptr<Input> inputs[3];
    std::shared_ptr<Input>& input = inputs[subdivisions];
    if (input) return input.get();
    try {
        const KvrnBench::TriangleMesh& mesh =
            KvrnBench::ModelMesh("stanford-bunny.obj", subdivisions);
        input = std::make_shared<Input>();
        input->camera = KvrnBench::FramingCamera(mesh);
        input->object = KvrnBench::MakeRenderObject(mesh, input->camera);
        input->scene = std::make_unique<Scene>(
            input->camera, std::vector<std::shared_ptr<KvrnLib::RenderObject>>{input->object});
        input->scene->Info(0).FacingBytes();
        input->scene->Info(0).CameraVertices();
    } catch (const std::exception& e) {
        input.reset();
        const std::string message = std::string("models folder missing: ") + e.what();
        state.SkipWithError(message.c_str());
        return nullptr;
    }
    return input.get();
}

void BM_OcclusionBuild(benchmark::State& state) {
    const Input* input = GetInput(state, int(state.range(0)));
    if (!input) return;
    KvrnLib::ThreadManagerCore pool(int(state.range(1)));
    double bytesPerTriangle = 0.0, groups = 0.0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        auto occlusion = std::make_unique<OcclusionScene>(*input->scene, pool);
        const Clock::time_point end = Clock::now();
        bytesPerTriangle = double(occlusion->MemoryBytes()) /
                           double(std::max<int64_t>(1, occlusion->TriangleCount()));
        groups = occlusion->GroupCount();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["faces"] = double(input->object->faces.size());
    state.counters["bytes/tri"] = bytesPerTriangle;
    state.counters["groups"] = groups;
}

// Samples along random edges of front and back faces, pulled towards the viewer by the caller's
// perspective bias |Z| * 0.01 / f; 8 samples per edge.
constexpr int kSamplesPerEdge = 8;

std::vector<Point3> EdgeSamples(const Input& input, int edges) {
    const std::vector<Point3>& cam = input.scene->Info(0).CameraVertices();
    const auto& faces = input.object->faces;
    const float focal = std::fabs(input.camera.scale.x);
    std::mt19937 random(5);
    std::uniform_int_distribution<size_t> pickFace(0, faces.size() - 1);
    std::vector<Point3> samples;
    for (int e = 0; e < edges; ++e) {
        const KvrnLib::FaceRecord& f = faces[pickFace(random)];
        const Point3 a = cam[size_t(f.vertexA)], b = cam[size_t(f.vertexB)];
        for (int k = 0; k < kSamplesPerEdge; ++k) {
            const float t = (float(k) + 0.5f) / float(kSamplesPerEdge);
            const Point3 p = a + (b - a) * t;
            samples.push_back(p * (1.0f - 0.01f / focal));
        }
    }
    return samples;
}

void BM_OcclusionQuery(benchmark::State& state) {
    const Input* input = GetInput(state, int(state.range(0)));
    if (!input) return;
    const bool useHint = state.range(1) != 0;
    const OcclusionScene occlusion(*input->scene);
    const std::vector<Point3> samples = EdgeSamples(*input, 4096);
    int64_t hidden = 0;
    for (auto _ : state) {
        int hint = -1;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (i % kSamplesPerEdge == 0) hint = -1;
            hidden +=
                occlusion.FindOccluder(samples[i], nullptr, useHint ? &hint : nullptr, nullptr);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(samples.size()));
    state.counters["hidden"] =
        double(hidden) /
        double(std::max<int64_t>(1, int64_t(state.iterations()) * int64_t(samples.size())));
}

BENCHMARK(BM_OcclusionBuild)
    ->ArgNames({"subdivisions", "threads"})
    ->ArgsProduct({{0, 2}, {1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OcclusionQuery)
    ->ArgNames({"subdivisions", "hint"})
    ->ArgsProduct({{0, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
