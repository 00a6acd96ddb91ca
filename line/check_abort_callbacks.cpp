#include "check_abort_callbacks.h"

ModelessCheckAbortCallback::ModelessCheckAbortCallback(int threadCount, CheckAbortCallback* parent)
    : window_(CreateProgressWindow()) {
    Initialize(threadCount, parent);
}

void ModelessCheckAbortCallback::Initialize(int threadCount, CheckAbortCallback* parent) {
    parent_ = parent;
    if (threadCount != threadCount_ && window_) window_->SetThreadCount(threadCount);
    threadCount_ = threadCount;
}

bool ModelessCheckAbortCallback::Check() {
    // The window's Cancel is polled first so that its pending input is dispatched every time.
    if (window_ && window_->CancelPressed()) aborted_ = true;
    return aborted_ || (parent_ && parent_->Check());
}

bool ModelessCheckAbortCallback::Progress(int done, int total) {
    if (window_) {
        window_->SetProgress(ProgressPercent(done, total));
    } else if (parent_) {
        parent_->Progress(done, total);
    }
    return Check();
}

void ModelessCheckAbortCallback::SetTitle(const std::string& title) {
    if (window_) window_->SetStatus(title);
}

void ModelessCheckAbortCallback::SetCaption(const std::string& caption) {
    if (window_) {
        window_->SetCaption(caption);
    } else if (parent_) {
        parent_->SetTitle(caption);
    }
}

void ModelessCheckAbortCallback::ThreadProgress(int thread, int done, int total) {
    if (window_ && ValidThread(thread))
        window_->SetThreadProgress(thread, ProgressPercent(done, total));
}

void ModelessCheckAbortCallback::SetThreadTitle(int thread, const std::string& title) {
    if (window_ && ValidThread(thread)) window_->SetThreadTitle(thread, title);
}

int ProgressPercent(int done, int total) {
    if (total == 0) return 0;
    return int(double(done) * 100.0 / double(total) + 0.5);
}

int PermilleOf(float ratio) { return int(ratio * 1000.0f + 0.5f); }

void KvrnLineEffectDelegate::SetMessage(const char* text) {
    if (callback_) callback_->SetTitle(text ? text : "");
}

void KvrnLineEffectDelegate::SetThreadMessage(int threadIndex, const char* text) {
    if (callback_) callback_->SetThreadTitle(threadIndex, text ? text : "");
}

void KvrnLineEffectDelegate::SetProgress(float ratio) {
    if (callback_) callback_->Progress(PermilleOf(ratio), 1000);
}

void KvrnLineEffectDelegate::SetThreadProgress(int threadIndex, float ratio) {
    if (callback_) callback_->ThreadProgress(threadIndex, PermilleOf(ratio), 1000);
}
