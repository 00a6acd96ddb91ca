#include "progress_display.h"

#include <algorithm>
#include <cmath>

namespace KvrnApp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBarWidth = 24;

float Clamp01(float v) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f; }

int Percent(float ratio) { return int(Clamp01(ratio) * 100.0f + 0.5f); }

}  // namespace

ProgressDisplay::ProgressDisplay(std::ostream& out, ProgressMode mode, int threadCount, int columns)
    : out_(out),
      mode_(mode),
      columns_(std::max(columns, 40)),
      threads_(size_t(std::max(threadCount, 0))) {}

ProgressDisplay::~ProgressDisplay() { Clear(); }

void ProgressDisplay::SetThreadCount(int threadCount) {
    threads_.resize(size_t(std::max(threadCount, 0)));
}

void ProgressDisplay::SetCaption(const std::string& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    overall_ = Row{};
    for (Row& row : threads_) row = Row{};
    captionPrinted_ = false;
    Refresh(true);
}

void ProgressDisplay::SetMessage(const std::string& message) { overall_.message = message; }

void ProgressDisplay::SetProgress(float ratio) { overall_.ratio = Clamp01(ratio); }

void ProgressDisplay::SetThreadMessage(int thread, const std::string& message) {
    if (thread >= 0 && size_t(thread) < threads_.size()) threads_[size_t(thread)].message = message;
}

void ProgressDisplay::SetThreadProgress(int thread, float ratio) {
    if (thread >= 0 && size_t(thread) < threads_.size()) {
        threads_[size_t(thread)].ratio = Clamp01(ratio);
    }
}

std::string ProgressDisplay::Line(const std::string& label, const Row& row) const {
    const int filled = int(Clamp01(row.ratio) * kBarWidth + 0.5f);
    std::string line = label;
    line.resize(std::max<size_t>(line.size(), 12), ' ');
    line += " [" + std::string(size_t(filled), '#') + std::string(size_t(kBarWidth - filled), '-') +
            "] ";
    const std::string percent = std::to_string(Percent(row.ratio)) + "%";
    line += std::string(4 - std::min<size_t>(percent.size(), 4), ' ') + percent;
    if (!row.message.empty()) line += "  " + row.message;
    if (line.size() > size_t(columns_ - 1)) line.resize(size_t(columns_ - 1));
    return line;
}

void ProgressDisplay::DrawLive() {
    // Back to the top of the block, then every line rewritten and cleared to its end.
    if (drawnLines_ > 0) out_ << "\r\x1b[" << drawnLines_ << "A";
    std::string caption = caption_;
    if (caption.size() > size_t(columns_ - 1)) caption.resize(size_t(columns_ - 1));
    out_ << "\r\x1b[K" << caption << "\n";
    out_ << "\r\x1b[K" << Line("  overall", overall_) << "\n";
    for (size_t t = 0; t < threads_.size(); ++t) {
        out_ << "\r\x1b[K" << Line("  thread " + std::to_string(t + 1), threads_[t]) << "\n";
    }
    drawnLines_ = 2 + int(threads_.size());
    out_.flush();
}

void ProgressDisplay::Refresh(bool force) {
    if (mode_ == ProgressMode::kQuiet || caption_.empty()) return;
    const Clock::time_point now = Clock::now();
    if (mode_ == ProgressMode::kLive) {
        if (force || now - lastDraw_ >= std::chrono::milliseconds(100)) {
            DrawLive();
            lastDraw_ = now;
        }
        return;
    }
    if (!captionPrinted_) {
        out_ << caption_ << "\n";
        captionPrinted_ = true;
        lastDraw_ = now;
    } else if (force || now - lastDraw_ >= std::chrono::seconds(2)) {
        out_ << "  " << Percent(overall_.ratio) << "%"
             << (overall_.message.empty() ? "" : "  " + overall_.message) << "\n";
        lastDraw_ = now;
    }
    out_.flush();
}

void ProgressDisplay::Clear() {
    if (mode_ != ProgressMode::kLive || drawnLines_ == 0) return;
    out_ << "\r\x1b[" << drawnLines_ << "A\x1b[J";
    out_.flush();
    drawnLines_ = 0;
}

void DisplayWindow::SetCaption(const std::string& caption) {
    display_.SetCaption(caption);
    display_.Refresh();
}

void DisplayWindow::SetStatus(const std::string& text) {
    display_.SetMessage(text);
    display_.Refresh();
}

void DisplayWindow::SetProgress(int percent) {
    display_.SetProgress(float(percent) * 0.01f);
    display_.Refresh();
}

void DisplayWindow::SetThreadTitle(int thread, const std::string& title) {
    display_.SetThreadMessage(thread, title);
}

void DisplayWindow::SetThreadProgress(int thread, int percent) {
    display_.SetThreadProgress(thread, float(percent) * 0.01f);
}

bool DisplayWindow::CancelPressed() {
    display_.Refresh();
    return abortFlag_ && *abortFlag_ != 0;
}

void DisplayDelegate::SetMessage(const char* text) {
    display_.SetMessage(text ? text : "");
    display_.Refresh();
}

void DisplayDelegate::SetThreadMessage(int threadIndex, const char* text) {
    display_.SetThreadMessage(threadIndex, text ? text : "");
}

void DisplayDelegate::SetProgress(float ratio) {
    display_.SetProgress(ratio);
    display_.Refresh();
}

void DisplayDelegate::SetThreadProgress(int threadIndex, float ratio) {
    display_.SetThreadProgress(threadIndex, ratio);
}

bool DisplayDelegate::IsAborted() { return abortFlag_ && *abortFlag_ != 0; }

}  // namespace KvrnApp
