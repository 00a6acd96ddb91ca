#include "stage_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace KvrnLib {
namespace {

// Host-side delegate that records what reaches it and on which thread.
class HostDelegate : public LineEffectDelegate {
  public:
    bool IsQuiet() override { return quiet; }
    void SetMessage(const char* text) override {
        Touch();
        messages.push_back(text);
    }
    void SetThreadMessage(int index, const char* text) override {
        Touch();
        threadMessages.emplace_back(index, text);
    }
    void SetProgress(float ratio) override {
        Touch();
        progress.push_back(ratio);
    }
    void SetThreadProgress(int, float) override { Touch(); }
    bool IsAborted() override {
        Touch();
        return abort.load();
    }

    void Touch() {
        if (std::this_thread::get_id() != owner) foreignCalls.fetch_add(1);
    }

    bool quiet = false;
    std::atomic<bool> abort{false};
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<int> foreignCalls{0};
    std::vector<std::string> messages;
    std::vector<std::pair<int, std::string>> threadMessages;
    std::vector<float> progress;
};

TEST(LineEffectThreadManagerDelegate, FlushForwardsDirtyReportsOnceAndPollsOnRequest) {
    auto host = std::make_shared<HostDelegate>();
    LineEffectThreadManagerDelegate buffer(host, 2);
    EXPECT_FALSE(buffer.IsQuiet());
    buffer.SetMessage("first");
    buffer.SetMessage("second");  // only the last overall message survives
    buffer.SetThreadMessage(1, "Object 3");
    buffer.SetProgress(0.5f);
    buffer.SetThreadMessage(7, "out of range is ignored");
    buffer.Flush();
    ASSERT_EQ(host->messages, std::vector<std::string>{"second"});
    ASSERT_EQ(host->threadMessages.size(), 1u);
    EXPECT_EQ(host->threadMessages[0], std::make_pair(1, std::string("Object 3")));
    EXPECT_EQ(host->progress, std::vector<float>{0.5f});

    buffer.Flush();  // nothing dirty: nothing forwarded again
    EXPECT_EQ(host->messages.size(), 1u);
    EXPECT_EQ(host->progress.size(), 1u);

    host->abort = true;
    EXPECT_FALSE(buffer.IsAborted());  // only a flush reads the host's state
    buffer.Flush();
    EXPECT_TRUE(buffer.IsAborted());
}

TEST(LineEffectThreadManagerDelegate, QuietOrMissingTargetDropsEverything) {
    auto host = std::make_shared<HostDelegate>();
    host->quiet = true;
    LineEffectThreadManagerDelegate quiet(host, 1);
    EXPECT_TRUE(quiet.IsQuiet());
    quiet.SetMessage("x");
    quiet.Flush();
    EXPECT_TRUE(host->messages.empty());

    std::weak_ptr<LineEffectDelegate> gone;
    {
        auto temporary = std::make_shared<HostDelegate>();
        gone = temporary;
    }
    LineEffectThreadManagerDelegate orphan(gone, 1);
    EXPECT_TRUE(orphan.IsQuiet());
    orphan.Flush();  // must not crash
}

TEST(StageRun, WorkerReportsReachTheHostOnlyOnTheRenderThread) {
    auto host = std::make_shared<HostDelegate>();
    ThreadManagerCore pool(2);
    StageRun run(host, pool);
    ASSERT_FALSE(run.Quiet());
    auto process = std::make_shared<FuncThreadProcess>([](const ThreadProcessInfo& info) {
        if (info.itemIndex >= 30) return false;
        info.SetThreadMessage("Object " + std::to_string(info.itemIndex + 1));
        info.SetMessage("[Object] " + std::to_string(info.itemIndex + 1));
        info.SetProgress(info.itemIndex + 1, 30);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
    });
    run.Run(process);
    EXPECT_FALSE(pool.IsBusy());
    EXPECT_EQ(host->foreignCalls.load(), 0);
    EXPECT_FALSE(host->messages.empty());
    EXPECT_FALSE(host->threadMessages.empty());
    // Progress moves forward within a job of 60 ms flushed every 20 ms.
    EXPECT_GE(host->progress.size(), 1u);
}

// Runs `work` as the stage `name` on a two-thread pool inside the containment; returns what the
// containment wrote, or "ok".
std::string RunContained(const char* name, const std::shared_ptr<HostDelegate>& host,
                         ThreadManagerCore& pool,
                         std::function<bool(const ThreadProcessInfo&)> work) {
    std::string written;
    SetDebugOutputSink([&](const char* text) { written += text; });
    const bool ok = ContainStageFailure(name, [&] {
        StageRun run(host, pool);
        run.Run(std::make_shared<FuncThreadProcess>(std::move(work)));
    });
    SetDebugOutputSink(nullptr);
    return ok ? "ok" : written;
}

TEST(StageRun, AbortOrAWorkerErrorEndsTheJobAndIsContained) {
    auto host = std::make_shared<HostDelegate>();
    ThreadManagerCore pool(2);
    std::atomic<int> items{0};
    EXPECT_EQ(RunContained("Detect", host, pool,
                           [&](const ThreadProcessInfo& info) {
                               if (info.itemIndex >= 1000000) return false;
                               if (items.fetch_add(1) == 10) host->abort = true;  // user cancels
                               if (info.IsAborted()) return true;
                               std::this_thread::sleep_for(std::chrono::microseconds(100));
                               return true;
                           }),
              "LineEffect::Detect aborted.\n");
    EXPECT_LT(items.load(), 1000);
    EXPECT_FALSE(pool.IsBusy());

    host->abort = false;
    items = 0;
    EXPECT_EQ(RunContained("Draw", host, pool,
                           [&](const ThreadProcessInfo& info) {
                               if (info.itemIndex >= 100000) return false;
                               items.fetch_add(1);
                               if (info.itemIndex == 3)
                                   throw LineEffectException("raster alloc failed.");
                               return true;
                           }),
              "LineEffect::Draw error : raster alloc failed.\n");
    EXPECT_LT(items.load(), 100000);
    EXPECT_EQ(pool.TakeWorkerError(), nullptr);  // taken once

    std::atomic<int> after{0};
    pool.Run([&](int item, int, int) { return item < 10 && after.fetch_add(1) >= 0; }, true);
    EXPECT_EQ(after.load(), 10);
}

TEST(StageRun, ContainmentWritesTheFixedMessages) {
    std::string written;
    SetDebugOutputSink([&](const char* text) { written += text; });
    EXPECT_FALSE(ContainStageFailure(
        "Connect", [] { throw LineEffectException("invalid detection result."); }));
    EXPECT_FALSE(ContainStageFailure("Draw", [] { throw std::bad_alloc(); }));
    EXPECT_TRUE(ContainStageFailure("Detect", [] {}));
    SetDebugOutputSink(nullptr);
    EXPECT_EQ(written,
              "LineEffect::Connect error : invalid detection result.\n"
              "LineEffect::Draw error : work buffer alloc failed.\n");
}

// A quiet stage waits inside StartProcess instead of flushing reports, and still finishes every
// item.
TEST(StageRun, AQuietStageStillFinishesEveryItem) {
    ThreadManagerCore pool(2);
    StageRun run(DefaultLineEffectDelegate().lock(), pool);
    ASSERT_TRUE(run.Quiet());
    std::atomic<int> done{0};
    run.Run(std::make_shared<FuncThreadProcess>([&](const ThreadProcessInfo& info) {
        if (info.itemIndex >= 100) return false;
        done.fetch_add(1);
        return true;
    }));
    EXPECT_EQ(done.load(), 100);
}

}  // namespace
}  // namespace KvrnLib
