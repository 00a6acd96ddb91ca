// Edge connection on the detection benchmark's inputs (bunny, twice-subdivided bunny, crowd of
// 100 instances, intersections on) with 1 and 2 threads, and on the reproducers of slow
// connection; and Phase 1 end-point pairing on a long polyline cut into shuffled pieces and on
// many edges through one point, to show how it scales with the piece count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "bench_models.h"
#include "connection.h"
#include "detect_inputs.h"
#include "edge_detect.h"

namespace {

using KvrnBench::Detected;
using KvrnBench::Detection;

using KvrnBench::OneGroup;

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

// Arg: edge count. Edges through one point, half of them along 24 lines (a face repeated), of
// four kinds: pairing where many edges meet.
void BM_CoincidentEnds(benchmark::State& state) {
    const int n = int(state.range(0));
    std::mt19937 random(3);
    std::vector<KvrnLib::DetectedEdge> edges(static_cast<size_t>(n));
    std::vector<KvrnLib::DetectedEdge*> order;
    for (int i = 0; i < n; ++i) {
        const double a =
            i % 2 ? 6.2831853 * double(random() % 24) / 24 : double(random() % 62832) * 1e-4;
        const float r = 5.0f + float(random() % 100000) * 1e-3f;
        KvrnLib::DetectedEdge& e = edges[size_t(i)];
        e.kind = int32_t(random() % 4);
        e.p1 = {r * float(std::cos(a)), r * float(std::sin(a))};
        e.z0 = e.z1 = 10.0f;
        e.length = std::hypot(e.p1.x, e.p1.y);
        e.dir = {e.p1.x / e.length, e.p1.y / e.length};
        order.push_back(&e);
    }
    const std::function<bool()> never = [] { return false; };
    std::vector<KvrnLib::Stroke> strokes;
    for (auto _ : state) {
        strokes.clear();
        KvrnLib::ChainCoincidentEdges(order, {60, 4}, never, &strokes);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["strokes"] = double(strokes.size());
}
BENCHMARK(BM_CoincidentEnds)->Arg(1000)->Arg(4000)->Arg(64000)->Unit(benchmark::kMillisecond);

// Arg: 0 the fuzzed mesh whose faces share edges many times, 1 one triangle 2,000 times (the
// reproducers beside the models). Detection once, then connection with 2 threads.
void BM_ConnectReproducer(benchmark::State& state) {
    static const char* const kFiles[] = {"../repro/connection-stall.obj",
                                         "../repro/dup_faces_2000.obj"};
    static std::unique_ptr<Detected> detected[2];
    const int which = int(state.range(0));
    std::unique_ptr<Detected>& input = detected[which];
    if (!input) {
        try {
            const KvrnBench::TriangleMesh& mesh = KvrnBench::ModelMesh(kFiles[which], 0);
            const KvrnLib::Camera camera = KvrnBench::FramingCamera(mesh);
            input = std::make_unique<Detected>();
            input->scene = std::make_unique<KvrnLib::Scene>(
                camera, std::vector{KvrnBench::MakeRenderObject(mesh, camera)});
            KvrnLib::ThreadManagerCore pool(2);
            KvrnLib::DetectEdges(input->result, KvrnBench::Settings(1, true), *input->scene, pool,
                                 nullptr);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    KvrnLib::ThreadManagerCore pool(2);
    const std::vector<KvrnLib::ConnectSettings> settings{OneGroup()};
    std::vector<KvrnLib::ConnectionResult> out;
    KvrnLib::ConnectStats stats;
    double phase1 = 0.0;
    for (auto _ : state) {
        KvrnLib::ConnectEdges(out, input->result, *input->scene, settings, pool, nullptr, &stats);
        phase1 += stats.phaseMs[0];
    }
    state.counters["phase1_ms"] = phase1 / double(state.iterations());
    state.counters["strokes"] = double(stats.phaseStrokes[2]);
}
BENCHMARK(BM_ConnectReproducer)->DenseRange(0, 1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
