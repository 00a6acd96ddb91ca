#include "line_effect.h"

#include <gtest/gtest.h>

#include <atomic>

#include "stage_runner.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

LineDetectionSettings Settings(int objects) {
    return test::DetectingKinds(objects, {kEdgeOutline}, {});
}

TEST(LineEffect, DetectionCacheAndFailures) {
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)});
    auto delegate = std::make_shared<test::PollCountingDelegate>();
    LineEffect effect(&scene, delegate);
    auto pool = std::make_shared<ThreadManagerCore>(2);
    std::string written;
    SetDebugOutputSink([&](const char* text) { written += text; });

    LineDetectionSettings settings = Settings(1);
    ASSERT_TRUE(effect.Detect(settings, pool));
    const DetectionResult* first = effect.Detection();
    ASSERT_NE(first, nullptr);
    const int pollsAfterFirst = delegate->polls;
    EXPECT_GT(pollsAfterFirst, 0);

    // Identical settings: nothing runs, the same result stays.
    ASSERT_TRUE(effect.Detect(settings, pool));
    EXPECT_EQ(effect.Detection(), first);
    EXPECT_EQ(delegate->polls, pollsAfterFirst);

    // Changing only the off-screen distance runs detection again.
    settings.offscreen = {5, 5, 5, 5};
    ASSERT_TRUE(effect.Detect(settings, pool));
    EXPECT_GT(delegate->polls, pollsAfterFirst);

    // Missing pool and mismatched records fail, drop the result and say why.
    settings.offscreen = {};
    EXPECT_FALSE(effect.Detect(settings, nullptr));
    EXPECT_EQ(effect.Detection(), nullptr);
    EXPECT_FALSE(effect.Detect(Settings(3), pool));
    // An abort during the stage is contained too.
    delegate->abort = true;
    EXPECT_FALSE(effect.Detect(settings, pool));
    SetDebugOutputSink(nullptr);
    EXPECT_EQ(written,
              "LineEffect::Detect error : threadManager is null.\n"
              "LineEffect::Detect error : invalid LineDetectionSettings.\n"
              "LineEffect::Detect aborted.\n");
}

}  // namespace
}  // namespace KvrnLib
