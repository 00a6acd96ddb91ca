// A render's progress on a stream: a live block of bars (overall and one per worker thread)
// redrawn in place on a terminal, plain lines at a steady pace otherwise, nothing when quiet.
// Used from the render thread only.
#pragma once

#include <chrono>
#include <csignal>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "line_effect_delegate.h"
#include "render.h"

namespace KvrnApp {

enum class ProgressMode { kQuiet, kPlain, kLive };

class ProgressDisplay {
  public:
    // columns: the terminal width for the live block (lines are cut to it).
    ProgressDisplay(std::ostream& out, ProgressMode mode, int threadCount, int columns = 100);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    ProgressMode Mode() const { return mode_; }
    // Rows for that many worker threads; kept rows keep their text.
    void SetThreadCount(int threadCount);
    // A new stage: its caption, progress back to 0.
    void SetCaption(const std::string& caption);
    void SetMessage(const std::string& message);
    void SetProgress(float ratio);
    void SetThreadMessage(int thread, const std::string& message);
    void SetThreadProgress(int thread, float ratio);
    // Redraws when due (live: every 100 ms; plain: a line every 2 s); `force` draws now.
    void Refresh(bool force = false);
    // Removes the live block, so that what follows starts on a clean line.
    void Clear();

  private:
    struct Row {
        std::string message;
        float ratio = 0.0f;
    };
    void DrawLive();
    std::string Line(const std::string& label, const Row& row) const;

    std::ostream& out_;
    ProgressMode mode_;
    int columns_;
    std::string caption_;
    Row overall_;
    std::vector<Row> threads_;
    int drawnLines_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
    bool captionPrinted_ = true;
};

// The host's progress window over a display: what the line effect shows while it draws. Cancel
// is the stop signal: pressed once `abortFlag` is non-zero (set by a signal handler). The display
// must outlive the window.
class DisplayWindow final : public ProgressWindow {
  public:
    DisplayWindow(ProgressDisplay& display, const volatile std::sig_atomic_t* abortFlag)
        : display_(display), abortFlag_(abortFlag) {}

    void SetCaption(const std::string& caption) override;
    void SetStatus(const std::string& text) override;
    void SetProgress(int percent) override;
    void SetThreadCount(int count) override { display_.SetThreadCount(count); }
    void SetThreadTitle(int thread, const std::string& title) override;
    void SetThreadProgress(int thread, int percent) override;
    bool CancelPressed() override;

  private:
    ProgressDisplay& display_;
    const volatile std::sig_atomic_t* abortFlag_;
};

// The engine's reporting interface over a display; aborted once `abortFlag` is non-zero (set by
// a signal handler). The display must outlive the delegate.
class DisplayDelegate final : public KvrnLib::LineEffectDelegate {
  public:
    DisplayDelegate(ProgressDisplay& display, const volatile std::sig_atomic_t* abortFlag)
        : display_(display), abortFlag_(abortFlag) {}

    // Never quiet: a quiet engine runs each stage to its end without polling for an abort, so
    // even a silent display takes the progress texts (and ignores them).
    bool IsQuiet() override { return false; }
    void SetMessage(const char* text) override;
    void SetThreadMessage(int threadIndex, const char* text) override;
    void SetProgress(float ratio) override;
    void SetThreadProgress(int threadIndex, float ratio) override;
    bool IsAborted() override;

  private:
    ProgressDisplay& display_;
    const volatile std::sig_atomic_t* abortFlag_;
};

}  // namespace KvrnApp
