#include "thread_manager.h"

namespace KvrnLib {

void ThreadProcessInfo::SetMessage(const std::string& text) const {
    if (delegate) delegate->SetMessage(text);
}

void ThreadProcessInfo::SetThreadMessage(const std::string& text) const {
    if (delegate) delegate->SetThreadMessage(threadIndex, text);
}

static float Ratio(int32_t done, int32_t total) {
    return total == 0 ? 0.0f : static_cast<float>(done) / static_cast<float>(total);
}

void ThreadProcessInfo::SetProgress(int32_t done, int32_t total) const {
    if (delegate) delegate->SetProgress(Ratio(done, total));
}

void ThreadProcessInfo::SetThreadProgress(int32_t done, int32_t total) const {
    if (delegate) delegate->SetThreadProgress(threadIndex, Ratio(done, total));
}

bool ThreadProcessInfo::IsAborted() const { return manager && manager->CurrentJobAborted(); }

ThreadManagerCore::ThreadManagerCore(int threadCount)
    : threadCount_(threadCount < 1 ? 1 : threadCount), idleCount_(threadCount_) {
    threads_.reserve(threadCount_);
    for (int i = 0; i < threadCount_; ++i) threads_.emplace_back([this, i] { WorkerLoop(i); });
}

ThreadManagerCore::~ThreadManagerCore() {
    DropJob();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        shutdown_ = true;
        ++generation_;
    }
    startCv_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void ThreadManagerCore::TakeJob(std::shared_ptr<ThreadProcess>* job,
                                std::shared_ptr<ThreadManagerDelegate>* delegate) {
    std::lock_guard<std::mutex> lock(jobMutex_);
    *job = job_;
    *delegate = delegate_;
}

void ThreadManagerCore::DropJob() {
    std::shared_ptr<ThreadProcess> job;
    std::shared_ptr<ThreadManagerDelegate> delegate;
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        job.swap(job_);
        delegate.swap(delegate_);
        hasJob_.store(false);
    }
    // The job (and whatever it owns) is released here, outside the lock.
}

void ThreadManagerCore::WorkerLoop(int threadIndex) {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(stateMutex_);
            startCv_.wait(lock, [&] { return generation_ != seen || shutdown_; });
            seen = generation_;
            if (shutdown_) return;
        }
        // The job cannot change while this worker is not idle, so one locked copy serves the
        // whole job; per item only the atomic flag is read to see whether it was dropped.
        std::shared_ptr<ThreadProcess> job;
        std::shared_ptr<ThreadManagerDelegate> delegate;
        TakeJob(&job, &delegate);
        const std::shared_ptr<ThreadManagerDelegate> reporter = delegate;
        ThreadProcessInfo info;
        info.manager = this;
        info.delegate = std::move(delegate);
        info.threadCount = threadCount_;
        info.threadIndex = threadIndex;
        while (job && hasJob_.load()) {
            info.itemIndex = itemCounter_.fetch_add(1);
            if (info.delegate) {
                info.delegate->SetThreadMessage(threadIndex, std::string());
                info.delegate->SetThreadProgress(threadIndex, 0.0f);
            }
            bool more = false;
            try {
                more = job->Work(info);
            } catch (...) {
                {
                    std::lock_guard<std::mutex> lock(jobMutex_);
                    if (!workerError_) workerError_ = std::current_exception();
                }
                DropJob();
            }
            if (!more) break;
        }
        job.reset();
        info.delegate.reset();
        if (reporter) reporter->SetThreadMessage(threadIndex, "(idle)");
        if (idleCount_.fetch_add(1) + 1 == threadCount_) {
            DropJob();
            // Taking the state lock orders this wake-up after any waiter's predicate check.
            std::lock_guard<std::mutex> lock(stateMutex_);
            doneCv_.notify_all();
        }
    }
}

bool ThreadManagerCore::IsBusy() { return idleCount_.load() < threadCount_ || hasJob_.load(); }

void ThreadManagerCore::Wait() {
    std::unique_lock<std::mutex> lock(stateMutex_);
    doneCv_.wait(lock, [&] { return !IsBusy(); });
}

bool ThreadManagerCore::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    return doneCv_.wait_for(lock, timeout, [&] { return !IsBusy(); });
}

void ThreadManagerCore::ReleaseProcess() { DropJob(); }

void ThreadManagerCore::StartProcess(std::shared_ptr<ThreadProcess> process, bool wait,
                                     std::shared_ptr<ThreadManagerDelegate> delegate) {
    if (IsBusy()) Wait();
    if (!process) return;
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        job_ = std::move(process);
        delegate_ = std::move(delegate);
        hasJob_.store(true);
    }
    itemCounter_.store(0);
    idleCount_.store(0);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++generation_;
    }
    startCv_.notify_all();
    if (wait) Wait();
}

void ThreadManagerCore::Run(FuncThreadProcess2::Func func, bool wait) {
    StartProcess(std::make_shared<FuncThreadProcess2>(std::move(func)), wait, nullptr);
}

void ThreadManagerCore::_ProcessFunc(FuncThreadProcess::Func func, bool wait,
                                     std::shared_ptr<ThreadManagerDelegate> delegate) {
    StartProcess(std::make_shared<FuncThreadProcess>(std::move(func)), wait, std::move(delegate));
}

std::exception_ptr ThreadManagerCore::TakeWorkerError() {
    std::lock_guard<std::mutex> lock(jobMutex_);
    std::exception_ptr error;
    std::swap(error, workerError_);
    return error;
}

bool ThreadManagerCore::CurrentJobAborted() {
    std::shared_ptr<ThreadManagerDelegate> delegate;
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        if (!job_) return true;
        delegate = delegate_;
    }
    if (delegate && delegate->IsAborted()) {
        DropJob();
        return true;
    }
    return !hasJob_.load();
}

}  // namespace KvrnLib
