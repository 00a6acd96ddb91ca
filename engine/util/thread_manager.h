// The engine's worker pool. A job is a ThreadProcess whose work call every worker repeats,
// each call taking the next number from one shared item counter, until the call returns
// false. Jobs never overlap; the pool's threads live as long as the pool.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace KvrnLib {

class ThreadManagerCore;

// Worker-side reporting. Called from any worker thread; implementations lock.
class ThreadManagerDelegate {
  public:
    virtual void SetMessage(const std::string& text) = 0;
    virtual void SetThreadMessage(int threadIndex, const std::string& text) = 0;
    virtual void SetProgress(float ratio) = 0;
    virtual void SetThreadProgress(int threadIndex, float ratio) = 0;
    virtual bool IsAborted() = 0;
    virtual ~ThreadManagerDelegate() = default;
};

// Built by a worker for each work call.
struct ThreadProcessInfo {
    ThreadManagerCore* manager = nullptr;
    std::shared_ptr<ThreadManagerDelegate> delegate;  // may be empty
    int32_t threadCount = 0;
    int32_t threadIndex = 0;
    int32_t itemIndex = 0;  // 0, 1, 2, ... across all workers of the job

    // Each does nothing without a delegate.
    void SetMessage(const std::string& text) const;
    void SetThreadMessage(const std::string& text) const;
    void SetProgress(int32_t done, int32_t total) const;  // ratio done / total, 0 when total is 0
    void SetThreadProgress(int32_t done, int32_t total) const;
    // Asks the pool; when the job's delegate reports an abort the pool drops the job.
    // True when the pool has no current job any more: the caller stops its item.
    bool IsAborted() const;
};

class ThreadProcess {
  public:
    virtual ~ThreadProcess() = default;
    // True when an item was done and the worker should call again; false when none is left.
    virtual bool Work(const ThreadProcessInfo& info) = 0;
};

class FuncThreadProcess final : public ThreadProcess {
  public:
    using Func = std::function<bool(const ThreadProcessInfo&)>;
    explicit FuncThreadProcess(Func func) : func_(std::move(func)) {}
    bool Work(const ThreadProcessInfo& info) override { return func_(info); }

  private:
    Func func_;
};

class FuncThreadProcess2 final : public ThreadProcess {
  public:
    // (item index, thread index, thread count)
    using Func = std::function<bool(int, int, int)>;
    explicit FuncThreadProcess2(Func func) : func_(std::move(func)) {}
    bool Work(const ThreadProcessInfo& info) override {
        return func_(info.itemIndex, info.threadIndex, info.threadCount);
    }

  private:
    Func func_;
};

class ThreadManager {
  public:
    virtual ~ThreadManager() = default;
    // Wraps func in a FuncThreadProcess2 and starts it with no delegate.
    virtual void Run(FuncThreadProcess2::Func func, bool wait) = 0;
    // Drops the current job: workers finish their current call and go idle.
    virtual void ReleaseProcess() = 0;
    // Returns when no job is running.
    virtual void Wait() = 0;
    // True while a job runs: fewer than all workers idle, or a job still set.
    virtual bool IsBusy() = 0;
    virtual int GetThreadCount() = 0;
    // Waits for a running job first, then starts this one on all workers.
    virtual void StartProcess(std::shared_ptr<ThreadProcess> process, bool wait,
                              std::shared_ptr<ThreadManagerDelegate> delegate) = 0;
    // Wraps func in a FuncThreadProcess and starts it.
    virtual void _ProcessFunc(FuncThreadProcess::Func func, bool wait,
                              std::shared_ptr<ThreadManagerDelegate> delegate) = 0;
    // The first exception a work call threw since the last call (it also dropped the job), or
    // null. Lets the caller raise a stage error on its own thread instead of losing a worker.
    virtual std::exception_ptr TakeWorkerError() = 0;
    // Waits for the running job at most `timeout`; true when no job is running. Lets the render
    // thread sleep between progress flushes instead of taking a core from the workers.
    virtual bool WaitFor(std::chrono::milliseconds timeout) = 0;
};

// Methods may be called from any thread that is not one of the pool's workers, except
// CurrentJobAborted, which workers call through ThreadProcessInfo::IsAborted.
class ThreadManagerCore final : public ThreadManager {
  public:
    // Starts threadCount (at least 1) workers at once.
    explicit ThreadManagerCore(int threadCount);
    // Drops the current job and joins every worker.
    ~ThreadManagerCore() override;
    ThreadManagerCore(const ThreadManagerCore&) = delete;
    ThreadManagerCore& operator=(const ThreadManagerCore&) = delete;

    void Run(FuncThreadProcess2::Func func, bool wait) override;
    void ReleaseProcess() override;
    void Wait() override;
    bool IsBusy() override;
    int GetThreadCount() override { return threadCount_; }
    void StartProcess(std::shared_ptr<ThreadProcess> process, bool wait,
                      std::shared_ptr<ThreadManagerDelegate> delegate) override;
    void _ProcessFunc(FuncThreadProcess::Func func, bool wait,
                      std::shared_ptr<ThreadManagerDelegate> delegate) override;
    std::exception_ptr TakeWorkerError() override;
    bool WaitFor(std::chrono::milliseconds timeout) override;

    // Polls the current delegate's abort state, dropping the job on an abort.
    // True when there is no current job.
    bool CurrentJobAborted();

  private:
    void WorkerLoop(int threadIndex);
    void TakeJob(std::shared_ptr<ThreadProcess>* job,
                 std::shared_ptr<ThreadManagerDelegate>* delegate);
    void DropJob();

    const int threadCount_;
    std::vector<std::thread> threads_;

    // jobMutex_ guards the job and delegate pointers only, so workers taking them per item do
    // not contend with the start/done handshake on stateMutex_.
    std::mutex jobMutex_;
    std::shared_ptr<ThreadProcess> job_;
    std::shared_ptr<ThreadManagerDelegate> delegate_;
    std::atomic<bool> hasJob_{false};
    std::exception_ptr workerError_;  // guarded by jobMutex_

    std::atomic<int32_t> itemCounter_{0};
    std::atomic<int32_t> idleCount_;

    // Start/done handshake: a job start bumps generation_ and wakes every worker; the last
    // worker to go idle wakes the waiters.
    std::mutex stateMutex_;
    std::condition_variable startCv_;
    std::condition_variable doneCv_;
    uint64_t generation_ = 0;
    bool shutdown_ = false;
};

// Runs fn(item) for every item in [0, count), or fn(item, threadIndex) when fn takes two ints,
// on the pool's workers, each taking the next item from the pool's counter; returns when all are
// done. Without a pool, runs them in order on the calling thread (thread index 0). Must not be
// called from one of the pool's own workers. An exception thrown by fn drops the remaining items
// and is rethrown here.
template <class F>
void ParallelFor(ThreadManager* pool, int count, F&& fn) {
    constexpr bool kTakesThread = std::is_invocable_v<F&, int, int>;
    const auto call = [&fn](int item, int thread) {
        if constexpr (kTakesThread)
            fn(item, thread);
        else
            fn(item);
    };
    if (!pool || count <= 0) {
        for (int i = 0; i < count; ++i) call(i, 0);
        return;
    }
    pool->Run(
        [&](int item, int thread, int) {
            if (item >= count) return false;
            call(item, thread);
            return true;
        },
        true);
    if (std::exception_ptr error = pool->TakeWorkerError()) std::rethrow_exception(error);
}

}  // namespace KvrnLib
