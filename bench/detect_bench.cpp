// Edge detection on the bunny, the twice-subdivided bunny (1.1M triangles) and a crowd of 100
// overlapping model instances, with 1 and 2 threads, with and without intersection lines; with
// the engine's peak and retained heap per triangle.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <string>

#include "bench_models.h"
#include "default_camera.h"
#include "edge_detect.h"
#include "heap_peak.h"

namespace {

using KvrnLib::RenderObject;
using ObjectList = std::vector<std::shared_ptr<RenderObject>>;

struct DetectInput {
    KvrnLib::Camera camera;
    ObjectList objects;
    int64_t triangles = 0;
};

std::shared_ptr<RenderObject> Instance(const KvrnBench::TriangleMesh& mesh, float scale,
                                       float angle, KvrnLib::Point3 at) {
    auto object = KvrnBench::MakeRenderObject(mesh, KvrnLib::Camera{});
    KvrnLib::Matrix3 place;
    const float c = std::cos(angle) * scale, s = std::sin(angle) * scale;
    place.row[0] = {c, s, 0};
    place.row[1] = {-s, c, 0};
    place.row[2] = {0, 0, scale};
    place.row[3] = at;
    object->objToWorld = place;
    return object;
}

// 0: bunny; 1: bunny subdivided twice; 2: crowd of 100 instances on a 10 x 10 grid, each about
// 2.4 units across on a 1.5 unit pitch, so neighbours pass through each other.
const DetectInput* Input(benchmark::State& state, int which) {
    static std::unique_ptr<DetectInput> inputs[3];
    std::unique_ptr<DetectInput>& input = inputs[which];
    if (input) return input.get();
    try {
        auto made = std::make_unique<DetectInput>();
        if (which < 2) {
            made->objects.push_back(
                Instance(KvrnBench::ModelMesh("stanford-bunny.obj", which == 0 ? 0 : 2), 1, 0, {}));
        } else {
            const char* names[] = {"stanford-bunny.obj", "fandisk.obj",       "rocker-arm.obj",
                                   "spot.obj",           "teapot.obj",        "cow.obj",
                                   "suzanne.obj",        "stanford-bunny.obj"};
            for (int i = 0; i < 100; ++i) {
                const KvrnBench::TriangleMesh& mesh = KvrnBench::ModelMesh(names[i % 8], 0);
                float radius = 0;
                for (const KvrnLib::Point3& v : mesh.vertices)
                    radius = std::max(radius, std::sqrt(KvrnLib::Dot(v, v)));
                made->objects.push_back(Instance(
                    mesh, 1.2f / radius, 0.7f * float(i),
                    {1.5f * float(i % 10), 1.5f * float(i / 10), 0.3f * float((i * 7) % 5)}));
            }
        }
        KvrnApp::FramedCamera framed = KvrnApp::FrameObjects(made->objects);
        made->camera = framed.camera;
        for (auto& object : made->objects) {
            object->SetTransforms(object->objToWorld, made->camera.worldToCam);
            made->triangles += int64_t(object->faces.size());
        }
        input = std::move(made);
    } catch (const std::exception& e) {
        state.SkipWithError((std::string("models folder missing: ") + e.what()).c_str());
        return nullptr;
    }
    return input.get();
}

KvrnLib::LineDetectionSettings Settings(int objectCount, bool intersections) {
    KvrnLib::LineDetectionSettings settings;
    KvrnLib::LineSetDetection set;
    for (KvrnLib::LineClassDetection* c : {&set.visible, &set.hidden}) {
        for (int k : {KvrnLib::kEdgeOutline, KvrnLib::kEdgeObject, KvrnLib::kEdgeSmoothing,
                      KvrnLib::kEdgeMaterialID, KvrnLib::kEdgeSelected})
            c->kind[size_t(k)] = 1;
        c->kind[KvrnLib::kEdgeIntersection] = intersections;
        c->selfIsect = intersections;
        c->openEdgeOutline = c->openEdgeObject = 1;
    }
    settings.lineSets = {set};
    settings.offscreen = {10, 10, 10, 10};
    settings.objects.resize(size_t(objectCount));
    for (auto& o : settings.objects) o.defaultLineSet = 0;
    return settings;
}

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

}  // namespace
