#include "file_replace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

// Several outputs written first and committed together: until the commit every earlier file is
// untouched, and a group given up leaves no trace.
TEST(StagedFile, NothingChangesBeforeTheCommitAndAbandonedFilesVanish) {
    Testing::ScratchDir dir;
    const auto a = dir.Path() / "a.png", b = dir.Path() / "b.eps";
    ASSERT_EQ(WriteFileReplacing(a, "old a"), 0);
    ASSERT_EQ(WriteFileReplacing(b, "old b"), 0);
    {
        std::vector<StagedFile> group(2);
        ASSERT_EQ(group[0].Write(a, "new a"), 0);
        ASSERT_EQ(group[1].Write(b, "new b"), 0);
        EXPECT_EQ(Testing::ReadFile(a), "old a");
        EXPECT_EQ(dir.Entries().size(), 4u) << "two temporary files beside the two old ones";
    }  // given up: an interrupt came
    EXPECT_EQ(Testing::ReadFile(a), "old a");
    EXPECT_EQ(Testing::ReadFile(b), "old b");
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.png", "b.eps"}));

    std::vector<StagedFile> group(2);
    ASSERT_EQ(group[0].Write(a, "new a"), 0);
    ASSERT_EQ(group[1].Write(b, "new b"), 0);
    EXPECT_EQ(group[0].Commit(), 0);
    EXPECT_EQ(group[1].Commit(), 0);
    EXPECT_EQ(Testing::ReadFile(a), "new a");
    EXPECT_EQ(Testing::ReadFile(b), "new b");
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.png", "b.eps"}));
}

TEST(StagedFile, RacingWritersOfOnePathEachLeaveAWholeFile) {
    Testing::ScratchDir dir;
    const auto path = dir.Path() / "same.eps";
    const std::string first(200000, 'x'), second(300000, 'y');
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                EXPECT_EQ(WriteFileReplacing(path, t % 2 ? first : second), 0);
        });
    }
    for (std::thread& w : writers) w.join();
    const std::string left = Testing::ReadFile(path);
    EXPECT_TRUE(left == first || left == second) << left.size() << " bytes, mixed";
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"same.eps"});
}

TEST(WriteFileReplacing, AFailedStepReturnsItsCauseAndLeavesNoTemporaryFile) {
    Testing::ScratchDir dir;
    EXPECT_EQ(WriteFileReplacing(dir.Path() / "missing" / "a.eps", "x"), ENOENT);
    // A folder that is not empty stands where the file would go: the rename fails.
    std::filesystem::create_directories(dir.Path() / "taken.eps" / "inside");
    EXPECT_NE(WriteFileReplacing(dir.Path() / "taken.eps", "x"), 0);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"taken.eps"});
}

}  // namespace
}  // namespace KvrnVectorOut
