// Optimising and writing a large vector recording, as the file output does after a frame: the
// strokes of a dense line drawing (50 connected segments per stroke, a few brush colours and
// widths) recorded through the file-output delegate. Only Optimize and Write are timed; the
// complexity fit over 12.5K to 100K segments shows whether both stay linear.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>

#include "file_out_delegate.h"
#include "file_output.h"

namespace {

constexpr int kSegmentsPerStroke = 50;

std::unique_ptr<KvrnVectorOut::VectorImage> Record(int fileType, int segments) {
    auto writer = KvrnVectorOut::CreateVectorImage(fileType);
    KvrnVectorOut::RecordPageSetup(*writer, 1920, 1080);
    KvrnVectorOut::LineEffectDrawDelegateForFileOut delegate({L"Set1", L"Set2"}, 1920, 1080,
                                                             writer.get(), {});
    const KvrnLib::LineSetId id = 1;
    delegate.BeginLineSet(&id, 0, true);
    for (int s = 0; s * kSegmentsPerStroke < segments; ++s) {
        if (s == segments / kSegmentsPerStroke / 2) delegate.BeginLineSet(&id, 1, false);
        delegate.BeginStrokeCopy(1.0f + float(s % 3), 0.1f * float(s % 4), 0.0f, 0.0f, s % 5 == 0,
                                 6.0f, 2.0f);
        float x = float((s * 37) % 1900), y = float((s * 91) % 1060);
        for (int i = 0; i < kSegmentsPerStroke; ++i) {
            const float nx = x + 3.0f * std::cos(0.1f * float(i + s));
            const float ny = y + 3.0f * std::sin(0.1f * float(i + s));
            delegate.Segment(i % 7, x, y, nx, ny);
            x = nx;
            y = ny;
        }
        delegate.EndStrokeCopy();
    }
    return writer;
}

void BM_OptimizeAndWrite(benchmark::State& state, int fileType) {
    const int segments = int(state.range(0));
    const auto path = std::filesystem::temp_directory_path() /
                      ("kvrn_vectorout_bench" + std::to_string(fileType) + ".eps");
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto writer = Record(fileType, segments);
        state.ResumeTiming();
        writer->Optimize();
        if (writer->Write(path) != 0) {
            state.SkipWithError(("cannot write " + path.string()).c_str());
            break;
        }
        state.PauseTiming();
        bytes = std::filesystem::file_size(path);
        writer.reset();
        state.ResumeTiming();
    }
    std::filesystem::remove(path);
    state.SetComplexityN(segments);
    state.SetItemsProcessed(state.iterations() * segments);
    state.counters["fileMB"] = double(bytes) / 1e6;
}

BENCHMARK_CAPTURE(BM_OptimizeAndWrite, Illustrator8, 0)
    ->RangeMultiplier(2)
    ->Range(12500, 100000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OptimizeAndWrite, Eps, 1)
    ->RangeMultiplier(2)
    ->Range(12500, 100000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

}  // namespace
