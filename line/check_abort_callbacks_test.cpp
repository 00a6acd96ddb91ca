// Progress forwarding from the engine delegate through the module's callbacks to the host's
// callback or progress window.
#include "check_abort_callbacks.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

struct HostCalls {
    std::vector<std::pair<int, int>> progress;
    std::vector<std::string> titles;
    int checks = 0;
    bool abort = false;
};

class RecordingHostCallback : public CheckAbortCallback {
  public:
    explicit RecordingHostCallback(HostCalls& calls) : calls_(calls) {}
    bool Check() override {
        ++calls_.checks;
        return calls_.abort;
    }
    bool Progress(int done, int total) override {
        calls_.progress.emplace_back(done, total);
        return calls_.abort;
    }
    void SetTitle(const std::string& title) override { calls_.titles.push_back(title); }

  private:
    HostCalls& calls_;
};

struct WindowCalls {
    std::string caption, status;
    std::vector<int> progress;
    std::vector<std::pair<int, int>> threadProgress;
    std::vector<std::pair<int, std::string>> threadTitles;
    std::vector<int> threadCounts;
    bool cancel = false;
};

class RecordingWindow : public ProgressWindow {
  public:
    explicit RecordingWindow(WindowCalls& calls) : calls_(calls) {}
    void SetCaption(const std::string& caption) override { calls_.caption = caption; }
    void SetStatus(const std::string& text) override { calls_.status = text; }
    void SetProgress(int percent) override { calls_.progress.push_back(percent); }
    void SetThreadCount(int count) override { calls_.threadCounts.push_back(count); }
    void SetThreadTitle(int thread, const std::string& title) override {
        calls_.threadTitles.emplace_back(thread, title);
    }
    void SetThreadProgress(int thread, int percent) override {
        calls_.threadProgress.emplace_back(thread, percent);
    }
    bool CancelPressed() override { return std::exchange(calls_.cancel, false); }

  private:
    WindowCalls& calls_;
};

class WindowFactoryScope {
  public:
    explicit WindowFactoryScope(WindowCalls& calls) {
        SetProgressWindowFactory([&calls] { return std::make_unique<RecordingWindow>(calls); });
    }
    ~WindowFactoryScope() { SetProgressWindowFactory({}); }
};

TEST(LineProgress, DelegateRatiosBecomeRoundedPermille) {
    EXPECT_EQ(PermilleOf(0.4996f), 500);
    EXPECT_EQ(PermilleOf(0.0004f), 0);
    EXPECT_EQ(PermilleOf(1.0f), 1000);
    EXPECT_EQ(ProgressPercent(1, 3), 33);
    EXPECT_EQ(ProgressPercent(1, 200), 1);  // 0.5 rounds up
    EXPECT_EQ(ProgressPercent(5, 0), 0);

    HostCalls calls;
    RecordingHostCallback host(calls);
    DummyCheckAbortCallback dummy(&host);
    KvrnLineEffectDelegate delegate(&dummy);
    EXPECT_FALSE(delegate.IsQuiet());
    delegate.SetProgress(0.4996f);
    delegate.SetMessage("edges");
    delegate.SetThreadProgress(0, 0.5f);  // no window: dropped
    ASSERT_EQ(calls.progress.size(), 1u);
    EXPECT_EQ(calls.progress[0], std::make_pair(500, 1000));
    EXPECT_TRUE(calls.titles.empty());  // a dummy's title goes nowhere
    dummy.SetCaption("Processing: [L] drawing.");
    EXPECT_EQ(calls.titles, std::vector<std::string>{"Processing: [L] drawing."});
    EXPECT_FALSE(delegate.IsAborted());
    calls.abort = true;
    EXPECT_TRUE(delegate.IsAborted());

    // Without a callback nothing is forwarded and nothing aborts.
    KvrnLineEffectDelegate none(nullptr);
    none.SetProgress(0.5f);
    EXPECT_FALSE(none.IsAborted());
    EXPECT_FALSE(DummyCheckAbortCallback(nullptr).Check());
}

TEST(LineProgress, WindowShowsThreadsAndKeepsACancel) {
    WindowCalls window;
    WindowFactoryScope scope(window);
    HostCalls calls;
    RecordingHostCallback host(calls);
    ModelessCheckAbortCallback progress(2, &host);
    ASSERT_TRUE(progress.HasWindow());
    EXPECT_EQ(window.threadCounts, std::vector<int>{2});

    KvrnLineEffectDelegate delegate(&progress);
    delegate.SetMessage("edge detection");
    delegate.SetThreadMessage(1, "Thread 1");
    delegate.SetThreadMessage(2, "beyond the rows");
    delegate.SetThreadProgress(-1, 0.5f);
    delegate.SetThreadProgress(0, 0.256f);
    delegate.SetProgress(0.4996f);
    progress.SetCaption("Processing: [L] edge detection.");
    EXPECT_EQ(window.status, "edge detection");
    EXPECT_EQ(window.caption, "Processing: [L] edge detection.");
    EXPECT_EQ(window.threadTitles, (std::vector<std::pair<int, std::string>>{{1, "Thread 1"}}));
    EXPECT_EQ(window.threadProgress, (std::vector<std::pair<int, int>>{{0, 26}}));
    EXPECT_EQ(window.progress, std::vector<int>{50});
    EXPECT_TRUE(calls.progress.empty());  // the window has it

    EXPECT_FALSE(progress.Check());
    EXPECT_GT(calls.checks, 0);  // the parent is asked too
    window.cancel = true;
    EXPECT_TRUE(delegate.IsAborted());
    EXPECT_TRUE(progress.Check());  // stays aborted after the button is read
    progress.Initialize(3, &host);
    EXPECT_TRUE(progress.Check());
    EXPECT_EQ(window.threadCounts, (std::vector<int>{2, 3}));
    progress.Initialize(3, nullptr);
    EXPECT_EQ(window.threadCounts.size(), 2u);  // same count: rows kept
}

TEST(LineProgress, QuietModeForwardsToTheParent) {
    HostCalls calls;
    RecordingHostCallback host(calls);
    ModelessCheckAbortCallback progress(4, &host);
    ASSERT_FALSE(progress.HasWindow());
    progress.SetCaption("Processing: [L] edge connection.");
    progress.Progress(3, 4);
    progress.ThreadProgress(0, 1, 2);
    EXPECT_EQ(calls.titles, std::vector<std::string>{"Processing: [L] edge connection."});
    EXPECT_EQ(calls.progress, (std::vector<std::pair<int, int>>{{3, 4}}));
    EXPECT_FALSE(progress.Check());
    calls.abort = true;
    EXPECT_TRUE(progress.Check());
}

}  // namespace
