#include "stage_runner.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

namespace KvrnLib {

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

DebugOutputSink& Sink() {
    static DebugOutputSink sink;
    return sink;
}

constexpr int64_t kFlushIntervalTicks = 200000;  // 20 ms

}  // namespace

void SetDebugOutputSink(DebugOutputSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    Sink() = std::move(sink);
}

void DebugOutput(const char* text) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    if (Sink()) {
        Sink()(text);
    } else {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
}

bool ContainStageFailure(const char* stage, const std::function<void()>& body) {
    char line[1024];
    try {
        body();
        return true;
    } catch (const LineEffectException& e) {
        if (e.IsAbort())
            std::snprintf(line, sizeof line, "LineEffect::%s aborted.\n", stage);
        else
            std::snprintf(line, sizeof line, "LineEffect::%s error : %s\n", stage, e.what());
    } catch (const std::bad_alloc&) {
        std::snprintf(line, sizeof line, "LineEffect::%s error : %s\n", stage,
                      "work buffer alloc failed.");
    } catch (const std::exception& e) {
        std::snprintf(line, sizeof line, "LineEffect::%s error : %s\n", stage, e.what());
    }
    DebugOutput(line);
    return false;
}

int64_t NowTicks() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

static bool TargetIsQuiet(const std::weak_ptr<LineEffectDelegate>& target) {
    const auto locked = target.lock();
    return !locked || locked->IsQuiet();
}

LineEffectThreadManagerDelegate::LineEffectThreadManagerDelegate(
    std::weak_ptr<LineEffectDelegate> target, int threadCount)
    : target_(std::move(target)),
      threadMessages_(threadCount < 1 ? 1 : threadCount),
      threadProgress_(threadCount < 1 ? 1 : threadCount),
      quiet_(TargetIsQuiet(target_) ? 1 : 0) {}

void LineEffectThreadManagerDelegate::SetMessage(const std::string& text) {
    if (quiet_) return;
    std::lock_guard<std::mutex> lock(lock_);
    message_ = text;
    messageDirty_ = 1;
}

void LineEffectThreadManagerDelegate::SetThreadMessage(int threadIndex, const std::string& text) {
    if (quiet_ || threadIndex < 0 || threadIndex >= int(threadMessages_.size())) return;
    std::lock_guard<std::mutex> lock(lock_);
    threadMessages_[threadIndex].text = text;
    threadMessages_[threadIndex].dirty = 1;
}

void LineEffectThreadManagerDelegate::SetProgress(float ratio) {
    if (quiet_) return;
    std::lock_guard<std::mutex> lock(lock_);
    progress_ = ratio;
    progressDirty_ = 1;
}

void LineEffectThreadManagerDelegate::SetThreadProgress(int threadIndex, float ratio) {
    if (quiet_ || threadIndex < 0 || threadIndex >= int(threadProgress_.size())) return;
    std::lock_guard<std::mutex> lock(lock_);
    threadProgress_[threadIndex].ratio = ratio;
    threadProgress_[threadIndex].dirty = 1;
}

bool LineEffectThreadManagerDelegate::IsAborted() {
    std::lock_guard<std::mutex> lock(lock_);
    if (aborted_) return true;
    pollRequested_ = 1;
    return false;
}

void LineEffectThreadManagerDelegate::Flush() {
    const auto target = target_.lock();
    if (!target) return;
    bool poll = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (messageDirty_) {
            messageDirty_ = 0;
            target->SetMessage(message_.c_str());
        }
        for (size_t i = 0; i < threadMessages_.size(); ++i) {
            if (!threadMessages_[i].dirty) continue;
            threadMessages_[i].dirty = 0;
            target->SetThreadMessage(int(i), threadMessages_[i].text.c_str());
        }
        if (progressDirty_) {
            progressDirty_ = 0;
            target->SetProgress(progress_);
        }
        for (size_t i = 0; i < threadProgress_.size(); ++i) {
            if (!threadProgress_[i].dirty) continue;
            threadProgress_[i].dirty = 0;
            target->SetThreadProgress(int(i), threadProgress_[i].ratio);
        }
        poll = pollRequested_ != 0;
        pollRequested_ = 0;
    }
    // The target is asked outside the lock: it may take its time (a host message pump).
    if (poll) {
        const bool aborted = target->IsAborted();
        std::lock_guard<std::mutex> lock(lock_);
        aborted_ = aborted ? 1 : 0;
    }
}

StageRun::StageRun(std::shared_ptr<LineEffectDelegate> target, ThreadManager& manager)
    : target_(std::move(target)),
      manager_(manager),
      delegate_(
          std::make_shared<LineEffectThreadManagerDelegate>(target_, manager.GetThreadCount())) {}

void StageRun::Run(std::shared_ptr<ThreadProcess> process) {
    const bool quiet = delegate_->IsQuiet();
    manager_.StartProcess(std::move(process), quiet, delegate_);
    // Sleeps between flushes; a spinning render thread would take a core from the workers.
    const auto interval = std::chrono::milliseconds(kFlushIntervalTicks / 10000);
    while (!manager_.WaitFor(interval)) {
        if (quiet) continue;
        delegate_->Flush();
        delegate_->nextFlush = NowTicks() + kFlushIntervalTicks;
    }
    if (std::exception_ptr error = manager_.TakeWorkerError()) std::rethrow_exception(error);
    if (target_ && target_->IsAborted()) throw LineEffectException::Aborted();
}

}  // namespace KvrnLib
