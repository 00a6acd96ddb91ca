// Stroke drawing at 1920 x 1080 on the detection benchmarks' inputs, detected and connected once
// outside the timing, with 1 and 2 threads: the simple brush of size 1 and 3 at over-sampling 2
// and 4, and a normal brush of size 8 with distortion and two copies, also as rake and random
// strokes. Reports the work buffer's memory.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include "connection.h"
#include "detect_inputs.h"
#include "stroke_draw.h"

namespace {

// Args: input, threads, brush (0: simple size 1, 1: simple size 3, 2: normal size 8 with
// distortion and two copies, 3 and 4: brush 2 as rake and random strokes), over-sampling.
void BM_Draw(benchmark::State& state) {
    KvrnBench::Detected* detected = KvrnBench::Detection(state, int(state.range(0)));
    if (!detected) return;
    KvrnLib::ThreadManagerCore pool(int(state.range(1)));
    std::vector<KvrnLib::ConnectionResult> connection;
    KvrnLib::ConnectEdges(connection, detected->result, *detected->scene, {KvrnBench::OneGroup()},
                          pool, nullptr);
    KvrnLib::BrushDrawSettings brush;
    brush.lineSize = state.range(2) == 0 ? 1.0f : 3.0f;
    if (state.range(2) >= 2) {
        brush.brushType = KvrnLib::kBrushNormal;
        brush.lineSize = 8;
        brush.strokeCopy = 2;
        brush.noiseAmount = 4;
        brush.noiseCycle = 60;
    }
    if (state.range(2) == 3) brush.strokeType = KvrnLib::kStrokeRake;
    if (state.range(2) == 4) brush.strokeType = KvrnLib::kStrokeRandom;
    KvrnLib::DrawSettings settings;
    settings.lineSets.resize(1);
    settings.lineSets[0].visible.fill(brush);
    settings.lineSets[0].hidden.fill(brush);
    settings.oversampling = int32_t(state.range(3));
    const auto raster = std::make_shared<KvrnLib::ColorFloatRaster>(1920, 1080);
    KvrnLib::LineEffectRasterForColorFloatRaster output(raster);
    std::unique_ptr<KvrnLib::LineEffectWorkBuffer> buffer;
    int64_t strokes = 0;
    for (const auto& result : connection)
        for (const auto& slot : result.slots) strokes += int64_t(slot.Size());
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        KvrnLib::DrawStrokes(output, settings, connection, *detected->scene, pool, nullptr, false,
                             nullptr, buffer);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["strokes"] = double(strokes);
    state.counters["buffer_MB"] = buffer ? double(buffer->MemoryBytes()) / 1e6 : 0.0;
}
BENCHMARK(BM_Draw)
    ->ArgNames({"input", "threads", "brush", "oversampling"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}, {0, 1, 2}, {2}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Draw)
    ->ArgNames({"input", "threads", "brush", "oversampling"})
    ->ArgsProduct({{1}, {1, 2}, {0}, {4}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Draw)
    ->ArgNames({"input", "threads", "brush", "oversampling"})
    ->ArgsProduct({{1}, {2}, {3, 4}, {2}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
