#include "info_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "test_util.h"

namespace KvrnApp {
namespace {

TEST(InfoCommand, ReportsObjectsAndTheCamera) {
    InfoOptions options;
    options.builtin = "box";
    options.camera = true;
    std::ostringstream out, err;
    ASSERT_EQ(RunInfo(options, out, err), 0) << err.str();
    const std::string text = out.str();
    EXPECT_NE(text.find("box: 8 vertices, 12 faces, 1 material"), std::string::npos) << text;
    // Seen from above a corner, three sides face the camera: their 9 edges and 3 diagonals,
    // 6 of them between two visible faces and 6 on the outline.
    EXPECT_NE(text.find("edges: 6 two-face, 6 single-face, 0 open"), std::string::npos) << text;
    EXPECT_NE(text.find("bounds: (-20, -20, 0) to (20, 20, 40)"), std::string::npos) << text;
    EXPECT_NE(text.find("39.60 deg horizontal, 22.90 deg vertical"), std::string::npos) << text;
    EXPECT_TRUE(err.str().empty());
}

TEST(InfoCommand, BadInputExitsWithTwoAndNamesTheFile) {
    InfoOptions options;
    options.files = {"/nonexistent/model.obj"};
    options.builtin = "box";
    std::ostringstream out, err;
    EXPECT_EQ(RunInfo(options, out, err), 2);
    EXPECT_NE(err.str().find("/nonexistent/model.obj: no such file"), std::string::npos);

    const test::TempDir dir;
    const std::string bad = dir.Write("bad.obj", "v 0 0 0\nf 1 2 3\n");
    const test::RunResult run = test::RunKovrin("info " + bad);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(bad + ":2: vertex index 2 is out of range"), std::string::npos)
        << run.err;
    EXPECT_EQ(test::RunKovrin("info --builtin nosuch").exitCode, 2);
    EXPECT_EQ(test::RunKovrin("info").exitCode, 2);
    EXPECT_EQ(test::RunKovrin("info --width -5 --builtin box").exitCode, 2);
    EXPECT_EQ(test::RunKovrin("frobnicate").exitCode, 2);
}

TEST(InfoCommand, TheBinaryReportsItsVersionAndABuiltinScene) {
    const test::RunResult version = test::RunKovrin("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("kovrin"), std::string::npos);
    const test::RunResult ok = test::RunKovrin("info --builtin sphere");
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_NE(ok.out.find("sphere: 266 vertices, 528 faces"), std::string::npos) << ok.out;
}

}  // namespace
}  // namespace KvrnApp
