#include "thread_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace KvrnLib {
namespace {

// Records worker reports; thread-safe.
class RecordingDelegate : public ThreadManagerDelegate {
  public:
    void SetMessage(const std::string&) override {}
    void SetThreadMessage(int threadIndex, const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        lastThreadMessage[threadIndex] = text;
    }
    void SetProgress(float ratio) override {
        std::lock_guard<std::mutex> lock(mutex);
        progress.push_back(ratio);
    }
    void SetThreadProgress(int, float) override {}
    bool IsAborted() override { return abortAfter >= 0 && polls.fetch_add(1) >= abortAfter; }

    std::mutex mutex;
    std::map<int, std::string> lastThreadMessage;
    std::vector<float> progress;
    std::atomic<int> polls{0};
    int abortAfter = -1;
};

TEST(ThreadManager, ZeroItemJobEndsAtOnceWithEveryWorkerIdle) {
    for (int threads : {1, 2, 7}) {
        ThreadManagerCore pool(threads);
        auto delegate = std::make_shared<RecordingDelegate>();
        std::atomic<int> calls{0};
        pool._ProcessFunc(
            [&](const ThreadProcessInfo&) {
                calls.fetch_add(1);
                return false;
            },
            true, delegate);
        EXPECT_FALSE(pool.IsBusy());
        EXPECT_EQ(calls.load(), threads);
        ASSERT_EQ(delegate->lastThreadMessage.size(), size_t(threads));
        for (const auto& [index, text] : delegate->lastThreadMessage) EXPECT_EQ(text, "(idle)");
    }
}

TEST(ThreadManager, EveryItemIndexIsHandedOutOnce) {
    constexpr int kItems = 20000;
    for (int threads : {1, 2, 7}) {
        ThreadManagerCore pool(threads);
        std::vector<std::atomic<int>> seen(kItems);
        std::atomic<int> badThreadCount{0};
        pool.Run(
            [&](int item, int thread, int count) {
                if (count != threads) badThreadCount.fetch_add(1);
                if (item >= kItems) return false;
                seen[item].fetch_add(1);
                if (thread < 0 || thread >= threads) badThreadCount.fetch_add(1);
                return true;
            },
            true);
        EXPECT_EQ(badThreadCount.load(), 0);
        EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](auto& s) { return s.load() == 1; }));
    }
}

TEST(ThreadManager, JobsNeverOverlapAndTheLastWorkerReleasesTheJob) {
    ThreadManagerCore pool(2);
    std::atomic<int> firstDone{0};
    std::atomic<bool> overlapped{false};
    struct Guarded : ThreadProcess {
        std::atomic<bool>* destroyed;
        std::atomic<int>* done;
        bool Work(const ThreadProcessInfo& info) override {
            if (info.itemIndex >= 40) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            done->fetch_add(1);
            return true;
        }
        ~Guarded() override { destroyed->store(true); }
    };
    std::atomic<bool> destroyed{false};
    auto first = std::make_shared<Guarded>();
    first->destroyed = &destroyed;
    first->done = &firstDone;
    pool.StartProcess(std::move(first), false, nullptr);
    EXPECT_TRUE(pool.IsBusy());
    // Starting a second job must wait for the first to finish completely.
    pool.Run(
        [&](int item, int, int) {
            if (firstDone.load() != 40 || !destroyed.load()) overlapped = true;
            return item < 10;
        },
        true);
    EXPECT_FALSE(overlapped.load());
    EXPECT_TRUE(destroyed.load());
    EXPECT_FALSE(pool.IsBusy());
}

TEST(ThreadManager, AbortDropsTheJobAndThePoolStaysUsable) {
    ThreadManagerCore pool(2);
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->abortAfter = 5;
    std::atomic<int> started{0};
    std::atomic<int> abortedSeen{0};
    pool._ProcessFunc(
        [&](const ThreadProcessInfo& info) {
            if (info.itemIndex >= 100000) return false;
            started.fetch_add(1);
            if (info.IsAborted()) {
                abortedSeen.fetch_add(1);
                return true;  // the pool must still stop handing out items
            }
            return true;
        },
        true, delegate);
    EXPECT_FALSE(pool.IsBusy());
    EXPECT_GE(abortedSeen.load(), 1);
    EXPECT_LT(started.load(), 100);  // far from the 100000 items

    std::atomic<int> after{0};
    pool.Run(
        [&](int item, int, int) {
            if (item >= 50) return false;
            after.fetch_add(1);
            return true;
        },
        true);
    EXPECT_EQ(after.load(), 50);
}

TEST(ThreadManager, DestructionJoinsIdleAndBusyPools) {
    { ThreadManagerCore idle(4); }
    std::atomic<int> calls{0};
    {
        ThreadManagerCore busy(2);
        busy.Run(
            [&](int, int, int) {
                calls.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                return true;  // endless: only destruction stops it
            },
            false);
        // Destroyed while items run, however slowly a loaded machine starts them.
        while (calls.load() == 0) std::this_thread::yield();
    }
}

TEST(ThreadManager, WaitReturnsOnlyAfterLongItems) {
    ThreadManagerCore pool(2);
    std::atomic<int> done{0};
    pool.Run(
        [&](int item, int, int) {
            if (item >= 4) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            done.fetch_add(1);
            return true;
        },
        false);
    pool.Wait();
    EXPECT_EQ(done.load(), 4);
    EXPECT_FALSE(pool.IsBusy());
}

TEST(ParallelFor, RunsEveryItemOnceWithOrWithoutAPool) {
    constexpr int kItems = 5000;
    for (int threads : {0, 1, 2, 7}) {
        std::unique_ptr<ThreadManagerCore> pool;
        if (threads > 0) pool = std::make_unique<ThreadManagerCore>(threads);
        std::vector<std::atomic<int>> seen(kItems);
        std::atomic<int> badThread{0};
        ParallelFor(pool.get(), kItems, [&](int item, int thread) {
            seen[size_t(item)].fetch_add(1);
            if (thread < 0 || thread >= std::max(1, threads)) badThread.fetch_add(1);
        });
        for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[size_t(i)].load(), 1) << i;
        EXPECT_EQ(badThread.load(), 0);
        int calls = 0;
        ParallelFor(pool.get(), 0, [&](int) { ++calls; });
        EXPECT_EQ(calls, 0);
    }
}

TEST(ParallelFor, RethrowsAWorkerErrorAndLeavesThePoolUsable) {
    ThreadManagerCore pool(2);
    EXPECT_THROW(ParallelFor(&pool, 100,
                             [](int item) {
                                 if (item == 37) throw std::runtime_error("item 37");
                             }),
                 std::runtime_error);
    std::atomic<int> sum{0};
    ParallelFor(&pool, 10, [&](int item) { sum.fetch_add(item); });
    EXPECT_EQ(sum.load(), 45);
}

}  // namespace
}  // namespace KvrnLib
