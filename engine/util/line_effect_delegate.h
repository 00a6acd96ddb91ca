// Host-side reporting interface of a LineEffect: progress, messages and abort. Every operation
// is called on the render thread only (workers report through LineEffectThreadManagerDelegate).
#pragma once

#include <memory>

namespace KvrnLib {

class LineEffectDelegate {
  public:
    virtual ~LineEffectDelegate() = default;
    // True: stages need not build progress texts.
    virtual bool IsQuiet() = 0;
    virtual void SetMessage(const char* text) = 0;
    virtual void SetThreadMessage(int threadIndex, const char* text) = 0;
    virtual void SetProgress(float ratio) = 0;  // 0 to 1
    virtual void SetThreadProgress(int threadIndex, float ratio) = 0;
    // True when the work is to stop.
    virtual bool IsAborted() = 0;
};

// Quiet, never aborted, ignores everything: what a LineEffect reports to when idle.
class LineEffectDelegateDefault final : public LineEffectDelegate {
  public:
    bool IsQuiet() override { return true; }
    void SetMessage(const char*) override {}
    void SetThreadMessage(int, const char*) override {}
    void SetProgress(float) override {}
    void SetThreadProgress(int, float) override {}
    bool IsAborted() override { return false; }
};

// Weak reference to the one process-wide default delegate, created on the first call
// (thread-safe) and kept until the program ends.
std::weak_ptr<LineEffectDelegate> DefaultLineEffectDelegate();

}  // namespace KvrnLib
