// End-to-end tests of `kovrin render` through the built binary.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using test::Image;
using test::ReadPng;
using test::RunKovrin;
using test::TempDir;

// A sphere of radius 20 seen from 100 units away with a 40-degree vertical field of view: only
// its visible outline, 2 pixels wide.
std::string SphereScene(int width, int height) {
    std::string hiddenOff;
    for (const char* kind :
         {"Outline", "Object", "Isect", "Smooth", "MatID", "Normal", "Wire", "Sel"}) {
        hiddenOff += std::string(",\"edge") + kind + "Hidden\":false";
    }
    return "{\"camera\":{\"width\":" + std::to_string(width) +
           ",\"height\":" + std::to_string(height) +
           ",\"eye\":[0,-100,0],\"target\":[0,0,0],\"up\":[0,0,1],\"fov\":40},"
           "\"objects\":[{\"name\":\"ball\",\"primitive\":\"sphere\",\"radius\":20,"
           "\"segments\":128,\"rings\":64}],"
           "\"lineSizeType\":0,"
           "\"linesets\":[{\"name\":\"outline\",\"objects\":\"all\"" +
           hiddenOff + ",\"brush\":{\"size\":2}}]}";
}

TEST(RenderCommand, SphereOutlineLiesOnTheAnalyticSilhouette) {
    const TempDir dir;
    const std::string scene = dir.Write("sphere.json", SphereScene(400, 300));
    const fs::path png = dir.Path() / "sphere.png";
    const test::RunResult run =
        RunKovrin("render " + scene + " -o " + png.string() + " --no-shading --quiet");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Image image = ReadPng(png);
    ASSERT_EQ(image.width, 400);
    ASSERT_EQ(image.height, 300);

    // The silhouette's half-angle a has sin a = R / D; it projects to a circle of radius
    // f tan a about the image centre, f from the vertical field of view.
    const double pi = std::acos(-1.0);
    const double focal = 150.0 / std::tan(20.0 * pi / 180.0);
    const double radius = focal * std::tan(std::asin(20.0 / 100.0));
    std::vector<bool> angleHit(360, false);
    int linePixels = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.Alpha(x, y) < 64) continue;
            ++linePixels;
            const double dx = x + 0.5 - 200.0, dy = y + 0.5 - 150.0;
            const double distance = std::hypot(dx, dy);
            EXPECT_NEAR(distance, radius, 2.0) << "line pixel (" << x << ", " << y << ")";
            const int degree = int(std::floor((std::atan2(dy, dx) + pi) * 180.0 / pi)) % 360;
            angleHit[size_t(degree)] = true;
        }
    }
    EXPECT_GT(linePixels, int(2.0 * pi * radius));
    for (int degree = 0; degree < 360; ++degree) {
        EXPECT_TRUE(angleHit[size_t(degree)]) << "outline missing at " << degree << " degrees";
    }
}

// The bbox device reports the drawn extent; the header's box is the page.
TEST(RenderCommand, EpsAndIllustratorFilesAreAcceptedByGhostscript) {
    if (std::system("command -v gs >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "Ghostscript (gs) is not on PATH";
    }
    const TempDir dir;
    const std::string scene = dir.Write("sphere.json", SphereScene(400, 300));
    const fs::path eps = dir.Path() / "lines.eps", ai = dir.Path() / "lines.ai";
    const test::RunResult run = RunKovrin("render " + scene + " --eps " + eps.string() + " --ai " +
                                          ai.string() + " --quiet");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const fs::path& file : {eps, ai}) {
        const std::string command =
            "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=bbox '" + file.string() + "' 2>&1";
        std::string output;
        if (std::FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
            EXPECT_EQ(pclose(pipe), 0) << file << ": " << output;
        }
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        const size_t at = output.find("%%HiResBoundingBox:");
        ASSERT_NE(at, std::string::npos) << file << ": " << output;
        ASSERT_EQ(std::sscanf(output.c_str() + at, "%%%%HiResBoundingBox: %lf %lf %lf %lf", &x0,
                              &y0, &x1, &y1),
                  4);
        // The outline circle of radius ~84 about (200, 150), a line width around it.
        EXPECT_NEAR((x0 + x1) / 2, 200.0, 3.0) << file;
        EXPECT_NEAR((y0 + y1) / 2, 150.0, 3.0) << file;
        EXPECT_NEAR(x1 - x0, 2 * 84.1, 6.0) << file;
        EXPECT_NEAR(y1 - y0, 2 * 84.1, 6.0) << file;
    }
}

TEST(RenderCommand, BadInputExitsWithTwoAndNamesTheProblem) {
    const TempDir dir;
    const std::string out = " -o " + (dir.Path() / "x.png").string();
    struct Case {
        std::string args;
        std::string message;
    };
    const std::string missing = (dir.Path() / "missing.obj").string();
    const std::string badKey = dir.Write(
        "bad-key.json", "{\"linesets\":[{},{\"brushOutline\":{\"siez\":3}}],\"objects\":[]}");
    const std::string badRange = dir.Write("bad-range.json", "{\"overSampling\":9,\"objects\":[]}");
    const std::vector<Case> cases = {
        {"render " + missing + out, "missing.obj"},
        {"render " + badKey + out, "linesets[1].brushOutline.siez"},
        {"render " + badRange + out, "overSampling"},
        {"render " + badRange, "nothing to write"},
        {"render " + badRange + " -o " + (dir.Path() / "no-folder" / "x.png").string(),
         "does not exist"},
    };
    for (const Case& c : cases) {
        const test::RunResult run = RunKovrin(c.args);
        EXPECT_EQ(run.exitCode, 2) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    }
    EXPECT_FALSE(fs::exists(dir.Path() / "x.png"));
}

TEST(RenderCommand, AnOutputThatIsAnInputOrAnotherOutputIsRefused) {
    const TempDir dir;
    const std::string model = dir.Write("m.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const std::string scene = dir.Write(
        "s.json", "{\"objects\":[{\"name\":\"m\",\"file\":\"m.obj\"}],\"linesets\":[{}]}");
    fs::create_symlink(model, dir.Path() / "link.png");
    const std::string folder = dir.Path().string();
    struct Case {
        std::string args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {model + " -o " + model, "is the input"},
        {model + " -o " + folder + "/link.png", "is the input"},  // another name, same file
        {scene + " --eps " + scene, "is the input"},
        {scene + " --ai " + folder + "/./m.obj", "is the input"},  // a model the scene reads
        {model + " -o " + folder + "/a.png --eps " + folder + "/sub/../a.png",
         "also the file of -o"},
    };
    fs::create_directories(dir.Path() / "sub");
    for (const Case& c : cases) {
        const test::RunResult run = RunKovrin("render " + c.args);
        EXPECT_EQ(run.exitCode, 2) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    }
    EXPECT_EQ(test::ReadFile(model), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    EXPECT_FALSE(fs::exists(dir.Path() / "a.png"));
}

// A built-in scene alone has no input file; its statistics still say what was drawn.
TEST(RenderCommand, StatisticsOfABuiltinSceneNameIt) {
    const TempDir dir;
    const fs::path stats = dir.Path() / "s.json";
    const test::RunResult run =
        RunKovrin("render --builtin default --quiet -o " + (dir.Path() / "a.png").string() +
                  " --stats-json " + stats.string());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(test::ReadFile(stats).find("\"input\": \"--builtin default\""), std::string::npos);
}

}  // namespace
}  // namespace KvrnApp
