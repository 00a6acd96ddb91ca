// Running an engine stage on the pool from the render thread: buffered worker reports flushed
// to the LineEffect's delegate, abort handling, and the failure containment of the entry points.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line_effect_delegate.h"
#include "line_effect_exception.h"
#include "thread_manager.h"

namespace KvrnLib {

// Where the entry points' failure lines go. The default (an empty sink) writes to stderr.
using DebugOutputSink = std::function<void(const char* text)>;
void SetDebugOutputSink(DebugOutputSink sink);
void DebugOutput(const char* text);

// Runs body for the entry point named `stage` ("Detect", "Connect", "Draw"). A stage error
// writes "LineEffect::<stage> error : <message>\n", an abort "LineEffect::<stage> aborted.\n",
// to the debug output; both return false. Nothing escapes.
bool ContainStageFailure(const char* stage, const std::function<void()>& body);

// Buffers worker reports under a lock; the render thread hands them to the target in Flush.
class LineEffectThreadManagerDelegate final : public ThreadManagerDelegate {
  public:
    // quiet is the target's IsQuiet now (true without a target).
    LineEffectThreadManagerDelegate(std::weak_ptr<LineEffectDelegate> target, int threadCount);

    void SetMessage(const std::string& text) override;
    void SetThreadMessage(int threadIndex, const std::string& text) override;
    void SetProgress(float ratio) override;
    void SetThreadProgress(int threadIndex, float ratio) override;
    // True once a flush has read an abort from the target; otherwise asks the next flush to
    // poll the target and returns false.
    bool IsAborted() override;

    bool IsQuiet() const { return quiet_; }
    // Render thread only: forwards dirty reports to the target, then polls its abort state
    // when a worker asked for it.
    void Flush();

    int64_t nextFlush = 0;  // render thread only; 100 ns ticks since 1970-01-01

  private:
    struct ThreadMessage {
        std::string text;
        uint8_t dirty = 0;
    };
    struct ThreadProgress {
        float ratio = 0.0f;
        uint8_t dirty = 0;
    };

    std::weak_ptr<LineEffectDelegate> target_;
    std::mutex lock_;
    std::string message_;
    uint8_t messageDirty_ = 0;
    std::vector<ThreadMessage> threadMessages_;
    float progress_ = 0.0f;
    uint8_t progressDirty_ = 0;
    std::vector<ThreadProgress> threadProgress_;
    uint8_t pollRequested_ = 0;
    uint8_t aborted_ = 0;
    const uint8_t quiet_;
};

// Current time in 100 ns ticks since 1970-01-01.
int64_t NowTicks();

// A stage run from the render thread: create it (the stage delegate is sized to the pool),
// build the stage's process (it may read Quiet()), then Run it.
class StageRun {
  public:
    StageRun(std::shared_ptr<LineEffectDelegate> target, ThreadManager& manager);

    bool Quiet() const { return delegate_->IsQuiet(); }
    const std::shared_ptr<LineEffectThreadManagerDelegate>& Delegate() const { return delegate_; }

    // Starts the process (waiting when quiet), polls the pool with zero-length sleeps while it
    // is busy, flushing reports at most every 20 ms, then rethrows the first error a work call
    // raised, or throws the abort when the target reports one.
    void Run(std::shared_ptr<ThreadProcess> process);
    // Runs fn(item, info) for every item in [0, count) as one job, like Run; for items that
    // report to the stage's delegate but keep no state of their own.
    template <class F>
    void RunItems(int count, F fn) {
        Run(std::make_shared<FuncThreadProcess>([count, fn](const ThreadProcessInfo& info) {
            if (info.itemIndex >= count) return false;
            fn(info.itemIndex, info);
            return true;
        }));
    }

  private:
    std::shared_ptr<LineEffectDelegate> target_;
    ThreadManager& manager_;
    std::shared_ptr<LineEffectThreadManagerDelegate> delegate_;
};

}  // namespace KvrnLib
