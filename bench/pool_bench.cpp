// Worker pool: job round trip and item throughput.
#include <benchmark/benchmark.h>

#include <atomic>

#include "thread_manager.h"

namespace {

using KvrnLib::FuncThreadProcess2;
using KvrnLib::ThreadManagerCore;

// Start an empty job and wait for every worker to go idle again.
void BM_PoolEmptyJobRoundTrip(benchmark::State& state) {
    ThreadManagerCore pool(static_cast<int>(state.range(0)));
    auto empty = std::make_shared<FuncThreadProcess2>([](int, int, int) { return false; });
    for (auto _ : state) pool.StartProcess(empty, true, nullptr);
}
BENCHMARK(BM_PoolEmptyJobRoundTrip)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Items of a job whose work is one relaxed add: the cost of handing out an item.
void BM_PoolTrivialItems(benchmark::State& state) {
    constexpr int kItems = 100000;
    ThreadManagerCore pool(static_cast<int>(state.range(0)));
    std::atomic<int64_t> sum{0};
    auto job = std::make_shared<FuncThreadProcess2>([&](int item, int, int) {
        if (item >= kItems) return false;
        sum.fetch_add(item, std::memory_order_relaxed);
        return true;
    });
    for (auto _ : state) pool.StartProcess(job, true, nullptr);
    benchmark::DoNotOptimize(sum.load());
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_PoolTrivialItems)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
