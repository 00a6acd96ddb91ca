// Progress and abort callbacks of the line effect's runs: the module's progress window over the
// host's, and a windowless callback that only forwards to the host's. Render thread only.
#pragma once

#include <memory>
#include <string>

#include "line_effect_delegate.h"
#include "render.h"

// A host callback with a caption and per-worker-thread rows. Thread indices outside the rows
// are ignored.
class KvrnCheckAbortCallback : public CheckAbortCallback {
  public:
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void ThreadProgress(int thread, int done, int total) = 0;
    virtual void SetThreadTitle(int thread, const std::string& title) = 0;
};

// Over the host's progress window (none in quiet mode: then captions and overall progress go to
// the parent as a DummyCheckAbortCallback's do). Check is the Cancel button OR an earlier
// Cancel OR the parent's Check.
class ModelessCheckAbortCallback final : public KvrnCheckAbortCallback {
  public:
    // parent (may be null) must outlive the callback or the next Initialize.
    ModelessCheckAbortCallback(int threadCount, CheckAbortCallback* parent);
    // New thread count (rows rebuilt when it differs) and parent. A Cancel pressed earlier
    // stays: the frame's later runs stop too.
    void Initialize(int threadCount, CheckAbortCallback* parent);
    bool HasWindow() const { return window_ != nullptr; }

    bool Check() override;
    bool Progress(int done, int total) override;
    void SetTitle(const std::string& title) override;
    void SetCaption(const std::string& caption) override;
    void ThreadProgress(int thread, int done, int total) override;
    void SetThreadTitle(int thread, const std::string& title) override;

  private:
    bool ValidThread(int thread) const { return thread >= 0 && thread < threadCount_; }

    CheckAbortCallback* parent_ = nullptr;
    std::unique_ptr<ProgressWindow> window_;
    int threadCount_ = 0;
    bool aborted_ = false;  // Cancel was pressed: every later Check is true
};

// No window: Check and Progress forward to the parent (false without one), the caption goes to
// the parent's title; the rest does nothing.
class DummyCheckAbortCallback final : public KvrnCheckAbortCallback {
  public:
    explicit DummyCheckAbortCallback(CheckAbortCallback* parent) : parent_(parent) {}
    bool Check() override { return parent_ && parent_->Check(); }
    bool Progress(int done, int total) override {
        return parent_ ? parent_->Progress(done, total) : false;
    }
    void SetTitle(const std::string&) override {}
    void SetCaption(const std::string& caption) override {
        if (parent_) parent_->SetTitle(caption);
    }
    void ThreadProgress(int, int, int) override {}
    void SetThreadTitle(int, const std::string&) override {}

  private:
    CheckAbortCallback* parent_;
};

// Percent of done / total rounded to nearest (0 when total is 0), as the window's bars show.
int ProgressPercent(int done, int total);

// The engine's reports forwarded to a callback (null: nothing is forwarded and nothing aborts).
// Ratios become done of 1000, rounded to nearest.
class KvrnLineEffectDelegate final : public KvrnLib::LineEffectDelegate {
  public:
    explicit KvrnLineEffectDelegate(KvrnCheckAbortCallback* callback) : callback_(callback) {}
    bool IsQuiet() override { return false; }
    void SetMessage(const char* text) override;
    void SetThreadMessage(int threadIndex, const char* text) override;
    void SetProgress(float ratio) override;
    void SetThreadProgress(int threadIndex, float ratio) override;
    bool IsAborted() override { return callback_ && callback_->Check(); }

  private:
    KvrnCheckAbortCallback* callback_;
};

// done of 1000 for a ratio: int(ratio * 1000 + 0.5), truncated towards zero.
int PermilleOf(float ratio);
