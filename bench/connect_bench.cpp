// Edge connection on the detection benchmark's inputs (bunny, twice-subdivided bunny, crowd of
// 100 instances, intersections on) with 1 and 2 threads; and Phase 1 end-point pairing on a long
// polyline cut into shuffled pieces, to show how it scales with the piece count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <random>
#include <string>

#include "bench_models.h"
#include "connection.h"
#include "default_camera.h"
#include "edge_detect.h"

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

// An input's scene and detection, made once per process: connection relinks the edges from
// scratch on every run, so one detection serves every iteration.
struct Detected {
    std::unique_ptr<KvrnLib::Scene> scene;
    KvrnLib::DetectionResult result;
    int64_t pieces = 0;
};

Detected* Detection(benchmark::State& state, int which) {
    static std::unique_ptr<Detected> detected[3];
    if (detected[which]) return detected[which].get();
    const DetectInput* input = Input(state, which);
    if (!input) return nullptr;
    auto made = std::make_unique<Detected>();
    made->scene = std::make_unique<KvrnLib::Scene>(input->camera, input->objects);
    KvrnLib::ThreadManagerCore pool(2);
    KvrnLib::DetectEdges(made->result, Settings(int(input->objects.size()), true), *made->scene,
                         pool, nullptr);
    for (const auto& set : made->result.lineSets)
        for (const auto* side : {&set.visible, &set.hidden})
            for (const auto& object : *side)
                for (const auto& list : object.kinds) made->pieces += int64_t(list.Size());
    for (const auto& pair : made->result.pairs)
        made->pieces += int64_t(pair.visibleEdges.Size() + pair.hiddenEdges.Size());
    detected[which] = std::move(made);
    return detected[which].get();
}

// Every kind to group 0, visible and hidden; split angle 60, link length 4.
KvrnLib::ConnectSettings OneGroup() {
    KvrnLib::ConnectSettings settings;
    settings.visibleGroup.fill(0);
    settings.hiddenGroup.fill(0);
    settings.visibleParams.fill({60, 4});
    settings.hiddenParams.fill({60, 4});
    return settings;
}

// Args: input, threads.
void BM_Connect(benchmark::State& state) {
    Detected* detected = Detection(state, int(state.range(0)));
    if (!detected) return;
    KvrnLib::ThreadManagerCore pool(int(state.range(1)));
    const std::vector<KvrnLib::ConnectSettings> settings{OneGroup()};
    std::vector<KvrnLib::ConnectionResult> out;
    KvrnLib::ConnectStats stats, total;
    for (auto _ : state) {
        KvrnLib::ConnectEdges(out, detected->result, *detected->scene, settings, pool, nullptr,
                              &stats);
        for (int p = 0; p < 3; ++p) total.phaseMs[size_t(p)] += stats.phaseMs[size_t(p)];
    }
    const double runs = double(state.iterations());
    for (int p = 0; p < 3; ++p) {
        const std::string phase = "phase" + std::to_string(p + 1);
        state.counters[phase + "_ms"] = total.phaseMs[size_t(p)] / runs;
        state.counters[phase + "_strokes"] = double(stats.phaseStrokes[size_t(p)]);
    }
    state.counters["pieces"] = double(detected->pieces);
}
BENCHMARK(BM_Connect)
    ->ArgNames({"input", "threads"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Arg: piece count. One edge per piece of a gentle wave, shuffled, every third reversed.
void BM_Pairing(benchmark::State& state) {
    const int n = int(state.range(0));
    std::vector<KvrnLib::Point2> points(size_t(n) + 1);
    for (int i = 0; i <= n; ++i)
        points[size_t(i)] = {float(i), 100.0f * std::sin(float(i) / 500.0f)};
    std::vector<KvrnLib::DetectedEdge> edges(static_cast<size_t>(n));
    std::vector<KvrnLib::DetectedEdge*> order;
    for (int i = 0; i < n; ++i) {
        KvrnLib::DetectedEdge& e = edges[size_t(i)];
        const bool reversed = i % 3 == 0;
        e.p0 = points[size_t(reversed ? i + 1 : i)];
        e.p1 = points[size_t(reversed ? i : i + 1)];
        e.z0 = e.z1 = 10.0f;
        e.length = std::hypot(e.p1.x - e.p0.x, e.p1.y - e.p0.y);
        e.dir = {(e.p1.x - e.p0.x) / e.length, (e.p1.y - e.p0.y) / e.length};
        order.push_back(&e);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(1));
    const std::function<bool()> never = [] { return false; };
    std::vector<KvrnLib::Stroke> strokes;
    for (auto _ : state) {
        strokes.clear();
        KvrnLib::ChainCoincidentEdges(order, {60, 4}, never, &strokes);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["strokes"] = double(strokes.size());
}
BENCHMARK(BM_Pairing)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
