// Model import as users meet it through `kovrin render` and `kovrin info`: inputs that once broke
// it, orientation, the first render's defaults, outputs found unwritable before any work, and
// interrupts while a model is read.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using test::RunKovrin;

// Line pixels (alpha of at least 64) of a PNG, and how many of them are grey rather than black.
struct Ink {
    int lines = 0, grey = 0;
};
Ink ReadInk(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Ink ink;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {-1, -1};
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) return {-1, -1};
    for (size_t i = 0; i < rgba.size(); i += 4) {
        if (rgba[i + 3] < 64) continue;
        ++ink.lines;
        ink.grey += rgba[i] > 60;
    }
    return ink;
}

TEST(ImportCli, EveryReproModelGivesARenderOrAClearErrorInSeconds) {
    const auto models = test::ReproModels();
    if (!models) GTEST_SKIP() << "no repro folder at " << KVRN_REPRO_DIR;
    const test::TempDir dir;
    for (const fs::path& model : *models) {
        const std::string name = model.filename().string();
        const fs::path png = dir.Path() / (name + ".png");
        const test::RunResult run =
            RunKovrin("render " + model.string() + " --no-shading -q -o " + png.string(), 60);
        if (run.exitCode == 0) {
            EXPECT_GT(ReadInk(png).lines, 0) << name << ": rendered nothing";
        } else {
            EXPECT_EQ(run.exitCode, 2) << name << " (137: killed after 60 s)\n" << run.err;
            EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
            EXPECT_FALSE(fs::exists(png));
        }
    }
    EXPECT_FALSE(models->empty());
}

// A PLY of a tall box (10 units along its Y), written Y up as scanners often do.
std::string TallPly(const test::TempDir& dir) {
    std::ostringstream ply;
    ply << "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\nproperty float y\n"
           "property float z\nelement face 6\nproperty list uchar int vertex_indices\n"
           "end_header\n";
    for (int i = 0; i < 8; ++i)
        ply << (i & 1) << ' ' << 10 * ((i >> 1) & 1) << ' ' << (i >> 2) << '\n';
    ply << "4 0 2 3 1\n4 4 5 7 6\n4 0 1 5 4\n4 2 6 7 3\n4 0 4 6 2\n4 1 3 7 5\n";
    return dir.Write("tall.ply", ply.str());
}

TEST(ImportCli, UpAxisTurnsAPlyUprightAndInfoSaysWhich) {
    const test::TempDir dir;
    const std::string ply = TallPly(dir);
    const test::RunResult plain = RunKovrin("info " + ply);
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_NE(plain.out.find("Z up (the format's default)"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("to (1, 10, 1)"), std::string::npos) << plain.out;

    const test::RunResult upright = RunKovrin("info " + ply + " --up y");
    ASSERT_EQ(upright.exitCode, 0) << upright.err;
    EXPECT_NE(upright.out.find("Y up (--up)"), std::string::npos) << upright.out;
    // Y up turned to Z up: the 10-unit side now stands along Z.
    EXPECT_NE(upright.out.find("to (1, 0, 10)"), std::string::npos) << upright.out;

    const test::RunResult bad =
        RunKovrin("render " + ply + " --up x -o " + (dir.Path() / "x.png").string());
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("--up"), std::string::npos) << bad.err;
}

TEST(ImportCli, AFirstRenderDrawsVisibleLinesAndHiddenOnlyWhenAsked) {
    const test::TempDir dir;
    const fs::path plain = dir.Path() / "plain.png", hidden = dir.Path() / "hidden.png";
    const std::string size = " --width 320 --height 240 --no-shading -q";
    ASSERT_EQ(RunKovrin("render --builtin default -o " + plain.string() + size).exitCode, 0);
    ASSERT_EQ(RunKovrin("render --builtin default --hidden -o " + hidden.string() + size).exitCode,
              0);
    const Ink visibleInk = ReadInk(plain), allInk = ReadInk(hidden);
    EXPECT_GT(visibleInk.lines, 100);
    EXPECT_EQ(visibleInk.grey, 0) << "hidden lines drawn without --hidden";
    EXPECT_GT(allInk.grey, 0) << "no grey hidden lines with --hidden";
    EXPECT_GT(allInk.lines, visibleInk.lines);

    const std::string scene =
        dir.Write("s.json", "{\"objects\":[{\"name\":\"b\",\"primitive\":\"box\"}]}");
    const test::RunResult mixed = RunKovrin("render " + scene + " --hidden -o " + plain.string());
    EXPECT_EQ(mixed.exitCode, 2);
    EXPECT_NE(mixed.err.find("--hidden"), std::string::npos) << mixed.err;
    const test::RunResult unknown = RunKovrin("render --builtin nosuch -o " + plain.string());
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("nosuch"), std::string::npos) << unknown.err;
}

TEST(ImportCli, UnwritableOutputsAreFoundBeforeAnyWork) {
    const test::TempDir dir;
    const fs::path folder = dir.Path() / "sub";
    fs::create_directories(folder);
    const std::string ply = TallPly(dir);
    struct Case {
        std::string output;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"-o " + folder.string(), "is a folder"},
        {"--eps /dev/null", "not a regular file"},
        {"--eps x.eps --stats-json " + folder.string(), "is a folder"},
    };
    for (const Case& c : cases) {
        const test::RunResult run = RunKovrin("render " + ply + " " + c.output);
        EXPECT_EQ(run.exitCode, 2) << c.output << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("import"), std::string::npos) << "work was done: " << run.out;
    }
    // A folder that refuses new files; the super-user is refused only on a read-only mount.
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    if (::geteuid() != 0) {
        const test::RunResult run =
            RunKovrin("render " + ply + " -o " + (folder / "x.png").string());
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_NE(run.err.find("cannot write in folder"), std::string::npos) << run.err;
    }
    fs::permissions(folder, fs::perms::owner_all);
}

// A 2 x 2 plane facing up (glTF's +Y, kovrin's +Z), its material double-sided or not.
std::string PlaneGltf(const test::TempDir& dir, bool doubleSided) {
    return dir.Write(doubleSided ? "double.gltf" : "single.gltf",
                     std::string(R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
  "nodes":[{"mesh":0}],"materials":[{"doubleSided":)") +
                         (doubleSided ? "true" : "false") + R"(}],
  "meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],
  "accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3",
                "min":[-1,0,-1],"max":[1,0,1]},
               {"bufferView":1,"componentType":5123,"count":6,"type":"SCALAR"}],
  "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},
                 {"buffer":0,"byteOffset":48,"byteLength":12}],
  "buffers":[{"byteLength":60,"uri":"data:application/octet-stream;base64,AACAvwAAAAAAAIC/AACAPwAAAAAAAIC/AACAPwAAAAAAAIA/AACAvwAAAAAAAIA/AAACAAEAAAADAAIA"}]})");
}

TEST(ImportCli, ADoubleSidedPlaneGivesItsBorderFromBothSides) {
    const test::TempDir dir;
    const auto render = [&](const std::string& model, float eyeZ) {
        const std::string scene =
            dir.Write("view.json", "{\"camera\":{\"width\":160,\"height\":120,\"eye\":[0.5,0.3," +
                                       std::to_string(eyeZ) +
                                       "],\"target\":[0,0,0],\"up\":[0,1,0]},"
                                       "\"objects\":[{\"name\":\"plane\",\"file\":\"" +
                                       model +
                                       "\"}],\"lineSizeType\":\"Absolute\","
                                       "\"linesets\":[{\"brush\":{\"size\":2}}]}");
        const fs::path png = dir.Path() / "view.png";
        const test::RunResult run =
            RunKovrin("render " + scene + " --no-shading -q -o " + png.string());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return ReadInk(png).lines;
    };
    const std::string twoSided = PlaneGltf(dir, true), oneSided = PlaneGltf(dir, false);
    const int front = render(twoSided, 5), back = render(twoSided, -5);
    EXPECT_GT(front, 100);
    EXPECT_NEAR(back, front, front / 10) << "the border seen from behind";
    EXPECT_GT(render(oneSided, 5), 100);
    EXPECT_EQ(render(oneSided, -5), 0) << "a one-sided plane seen from behind is culled";
}

// A grid of 1.4 million vertices and 2.8 million triangles: reading it takes well over the time
// the signal is sent after.
std::string LargeObj(const test::TempDir& dir) {
    constexpr int kSide = 1200;
    std::string text;
    text.reserve(size_t(90) << 20);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            text += "v " + std::to_string(x) + " " + std::to_string(y) + " 0\n";
    for (int y = 0; y + 1 < kSide; ++y) {
        for (int x = 0; x + 1 < kSide; ++x) {
            const int a = y * kSide + x + 1, b = a + 1, c = a + kSide, d = c + 1;
            text += "f " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d) +
                    "\nf " + std::to_string(a) + " " + std::to_string(d) + " " + std::to_string(c) +
                    "\n";
        }
    }
    return dir.Write("large.obj", text);
}

TEST(ImportCli, SigtermDuringImportExitsWith143AndWritesNothing) {
    const test::TempDir dir;
    const std::string obj = LargeObj(dir);
    const fs::path png = dir.Path() / "large.png";
    EXPECT_EQ(test::RunKovrinInterrupted({"render", obj, "-o", png.string(), "--quiet"}, 150,
                                         SIGTERM, 30),
              128 + SIGTERM);
    EXPECT_FALSE(fs::exists(png));
}

}  // namespace
}  // namespace KvrnApp
