// What a run leaves behind when it is stopped, raced or too big: the output folder as it was,
// never a corrupt file, and a refusal before work when memory would not suffice.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "memory_budget.h"
#include "primitives.h"
#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunKovrin;

// Every file of a folder (names and bytes), so that "as before" means byte for byte.
using FolderSnapshot = std::map<std::string, std::string>;
FolderSnapshot Snapshot(const fs::path& folder) {
    FolderSnapshot files;
    for (const auto& entry : fs::directory_iterator(folder))
        files[entry.path().filename().string()] = ReadFile(entry.path());
    return files;
}

// Names and sizes, for a failure message that stays readable.
std::string Describe(const FolderSnapshot& files) {
    std::string text;
    for (const auto& [name, bytes] : files)
        text += name + " (" + std::to_string(bytes.size()) + ") ";
    return text;
}

// The scene of the stop tests: the slow scene of the reproducers when it is there (its bunny
// read from our models folder), else a slow scene of our own. Both have every stage long enough
// to be stopped in.
std::string SlowScene(const test::TempDir& dir) {
    const fs::path repro = fs::path(KVRN_REPRO_DIR) / "long.json";
    const std::string bunny = test::ModelPath("stanford-bunny.obj");
    if (fs::exists(repro) && !bunny.empty()) {
        nlohmann::json scene = nlohmann::json::parse(ReadFile(repro));
        for (auto& object : scene["objects"])
            if (object.contains("file")) object["file"] = bunny;
        return dir.Write("long.json", scene.dump());
    }
    return dir.Write("long.json",
                     "{\"camera\":{\"width\":3840,\"height\":2160},\"objects\":["
                     "{\"name\":\"k\",\"primitive\":\"torusKnot\",\"p\":3,\"q\":7,"
                     "\"segments\":1024,\"sides\":256,\"tubeRadius\":3}],"
                     "\"linesets\":[{\"brush\":{\"size\":6,\"detail\":{\"type\":\"Normal\","
                     "\"strokeCopy\":4}}}]}");
}

// A stop in each stage leaves the output folder byte for byte as it was: the earlier outputs,
// and nothing else. Stages after import are found by their progress line; import by its time in
// a whole run of the same scene.
TEST(RunSafety, StoppingInAnyStageLeavesTheFolderAsItWas) {
    const test::TempDir work, out;
    const std::string scene = SlowScene(work);
    const std::vector<std::string> outputs = {"a.png", "a.exr", "a.eps", "a.ai"};
    const auto args = [&](const fs::path& folder) {
        std::vector<std::string> list = {"render", scene};
        for (const auto& [option, name] :
             {std::pair{"-o", "a.png"}, {"--exr", "a.exr"}, {"--eps", "a.eps"}, {"--ai", "a.ai"}}) {
            list.push_back(option);
            list.push_back((folder / name).string());
        }
        return list;
    };
    std::string whole;
    for (const std::string& arg : args(work.Path())) whole += arg + " ";
    const fs::path stats = work.Path() / "stats.json";
    const test::RunResult reference =
        RunKovrin(whole + "--quiet --stats-json " + stats.string(), 600);
    ASSERT_EQ(reference.exitCode, 0) << reference.err;
    const nlohmann::json ms = nlohmann::json::parse(ReadFile(stats))["ms"];

    const auto restore = [&] {
        for (const std::string& name : outputs) out.Write(name, "earlier " + name);
    };
    restore();
    out.Write("notes.txt", "a file of the user's");
    const auto before = Snapshot(out.Path());
    struct Stop {
        std::string caption;  // empty: from the start
        int delayMs;
    };
    const std::vector<Stop> stops = {
        {"", int(ms["import"].get<double>() / 3)},
        {"edge detection", 20},
        {"edge connection", 5},
        {"drawing", 50},
        {"writing", 20},
        {"writing", int(ms["write"].get<double>() * 0.6)},
    };
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (size_t i = 0; i < stops.size(); ++i) {
        const Stop& stop = stops[i];
        const int signal = signals[i % 3];
        // A run that finished before the signal (the reference was timed on a busier machine)
        // proves nothing: put the earlier files back and aim earlier.
        int code = 0, delayMs = stop.delayMs * 2;
        for (int attempt = 0; attempt < 3 && code == 0; ++attempt) {
            if (attempt > 0) restore();
            delayMs /= 2;
            // Ctrl-C pressed three times: the later ones must not cut the clean-up short.
            code = test::RunKovrinInterruptedAfter(args(out.Path()), stop.caption, delayMs, signal,
                                                   120, signal == SIGINT ? 3 : 1);
        }
        const std::string where = (stop.caption.empty() ? "import" : stop.caption) + " + " +
                                  std::to_string(delayMs) + " ms, signal " + std::to_string(signal);
        EXPECT_EQ(code, 128 + signal) << where;
        const FolderSnapshot after = Snapshot(out.Path());
        EXPECT_TRUE(after == before) << where << ": " << Describe(after);
        if (code != 128 + signal) restore();
    }
}

// Two runs writing one path at once: both succeed, and the file left is whole, one run's image
// byte for byte, never a mix or a torn file.
TEST(RunSafety, RacingRunsLeaveOneWholeImage) {
    const test::TempDir dir;
    const std::string scene =
        dir.Write("s.json",
                  "{\"camera\":{\"width\":640,\"height\":480},\"objects\":[{\"name\":\"t\","
                  "\"primitive\":\"torusKnot\",\"segments\":512,\"sides\":24}],\"linesets\":[{}]}");
    const std::string same = (dir.Path() / "same.png").string();
    const std::string black = "render " + scene + " --quiet --background black -o ";
    const std::string white = "render " + scene + " --quiet --background white -o ";
    ASSERT_EQ(RunKovrin(black + (dir.Path() / "black.png").string()).exitCode, 0);
    ASSERT_EQ(RunKovrin(white + (dir.Path() / "white.png").string()).exitCode, 0);
    const std::string blackBytes = ReadFile(dir.Path() / "black.png");
    const std::string whiteBytes = ReadFile(dir.Path() / "white.png");
    ASSERT_NE(blackBytes, whiteBytes);
    for (int race = 0; race < 6; ++race) {
        test::RunResult a, b;
        std::thread first([&] { a = RunKovrin(black + same); });
        b = RunKovrin(white + same);
        first.join();
        EXPECT_EQ(a.exitCode, 0) << a.err;
        EXPECT_EQ(b.exitCode, 0) << b.err;
        const std::string left = ReadFile(same);
        EXPECT_TRUE(left == blackBytes || left == whiteBytes) << "race " << race;
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), 4u) << "temporary files left behind";
}

// The estimate is checked before any work: a frame too large for the limit is refused at once
// with the estimate and what to lower, and writes nothing.
TEST(RunSafety, ARenderThatWouldNotFitIsRefusedBeforeWork) {
    const test::TempDir dir;
    const std::string scene =
        dir.Write("huge.json",
                  "{\"camera\":{\"width\":16384,\"height\":16384},\"overSampling\":4,"
                  "\"objects\":[{\"name\":\"b\",\"primitive\":\"box\"}],\"linesets\":[{}]}");
    const fs::path png = dir.Path() / "huge.png";
    const test::RunResult run =
        RunKovrin("render " + scene + " --max-memory 2G -o " + png.string(), 30);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("16384 x 16384"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("over-sampling 4"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("more than the 2.0 GB"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Processing"), std::string::npos) << "work started:\n" << run.err;
    EXPECT_FALSE(fs::exists(png));

    // Triangles count too, once the models are read.
    const std::string bunny = test::ModelPath("stanford-bunny.obj");
    if (!bunny.empty()) {
        const test::RunResult small =
            RunKovrin("render " + bunny + " --no-shading --max-memory 40M -o " +
                      (dir.Path() / "b.png").string());
        EXPECT_EQ(small.exitCode, 2) << small.err;
        EXPECT_NE(small.err.find("69451 triangles"), std::string::npos) << small.err;
    }
    const test::RunResult bad = RunKovrin("render " + scene + " --max-memory 12Q -o x.png");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("--max-memory '12Q'"), std::string::npos) << bad.err;
}

// The estimate against the measured resident peak: within a factor of 1.5 on a model, a scene of
// primitives with stroke copies, and the demo on a large frame. (A frame with far less ink than
// a line drawing usually has, one sphere on 4096 x 4096, comes out up to 1.8 times over.)
TEST(RunSafety, MemoryEstimateIsWithinHalfAgainOfThePeak) {
    const test::TempDir dir;
    std::vector<std::pair<std::string, std::string>> jobs = {
        {"knot", dir.Write("knot.json",
                           "{\"objects\":[{\"name\":\"k\",\"primitive\":\"torusKnot\","
                           "\"segments\":1024,\"sides\":64}],\"linesets\":[{\"brush\":{"
                           "\"size\":4,\"detail\":{\"type\":\"Normal\",\"strokeCopy\":3}}}]}")},
        {"big frame", std::string(KVRN_SCENES_DIR) + "/demo.json --width 4096 --height 4096"},
    };
    if (const std::string bunny = test::ModelPath("stanford-bunny.obj"); !bunny.empty())
        jobs.push_back({"bunny", bunny});
    for (const auto& [label, input] : jobs) {
        const fs::path stats = dir.Path() / "stats.json";
        const test::RunResult run =
            RunKovrin("render " + input + " --quiet -o " + (dir.Path() / "x.png").string() +
                      " --stats-json " + stats.string());
        ASSERT_EQ(run.exitCode, 0) << label << "\n" << run.err;
        const nlohmann::json row = nlohmann::json::parse(ReadFile(stats));
        const double ratio =
            row["estimatedPeakBytes"].get<double>() / row["peakMemoryBytes"].get<double>();
        EXPECT_GT(ratio, 1 / 1.5) << label;
        EXPECT_LT(ratio, 1.5) << label;
    }
}

// The knot that once ran for minutes into 17 GB is now outside the limits, and says which value.
TEST(RunSafety, TheRunawayKnotIsRefusedWithItsValue) {
    const fs::path knot = fs::path(KVRN_REPRO_DIR) / "knot_p64_q63_max.json";
    if (!fs::exists(knot)) GTEST_SKIP() << "no repro file " << knot;
    const test::TempDir dir;
    const test::RunResult run =
        RunKovrin("render " + knot.string() + " -o " + (dir.Path() / "k.png").string(), 30);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("objects[0].p: 64 is out of range 1 to 16"), std::string::npos)
        << run.err;
    const std::string thin =
        dir.Write("thin.json",
                  "{\"objects\":[{\"name\":\"k\",\"primitive\":\"torusKnot\",\"p\":16,\"q\":15,"
                  "\"segments\":64}]}");
    const test::RunResult few = RunKovrin("render " + thin + " -o x.png", 30);
    EXPECT_EQ(few.exitCode, 2) << few.err;
    EXPECT_NE(few.err.find("segments: 64 is too few"), std::string::npos) << few.err;
}

// The pre-import estimate counts a primitive's triangles exactly as it is built.
TEST(RunSafety, PrimitiveTriangleCountsMatchTheMeshes) {
    const auto triangles = [](const PolyMesh& mesh) {
        int64_t count = 0;
        for (const Polygon& polygon : mesh.polygons) count += int64_t(polygon.vertices.size()) - 2;
        return count;
    };
    ObjectDesc object;
    object.source = ObjectSource::kBox;
    object.box = {10, 20, 30, 3, 4, 5};
    EXPECT_EQ(PrimitiveTriangles(object), triangles(MakeBox(object.box)));
    object.source = ObjectSource::kSphere;
    object.sphere = {5, 17, 9};
    EXPECT_EQ(PrimitiveTriangles(object), triangles(MakeSphere(object.sphere)));
    object.source = ObjectSource::kCylinder;
    for (const bool caps : {true, false}) {
        object.cylinder = {3, 8, 13, 4, caps};
        EXPECT_EQ(PrimitiveTriangles(object), triangles(MakeCylinder(object.cylinder)));
    }
    object.source = ObjectSource::kTorus;
    object.torus = {20, 5, 31, 7};
    EXPECT_EQ(PrimitiveTriangles(object), triangles(MakeTorus(object.torus)));
    object.source = ObjectSource::kTorusKnot;
    object.torusKnot = {};
    EXPECT_EQ(PrimitiveTriangles(object), triangles(MakeTorusKnot(object.torusKnot)));
    object.source = ObjectSource::kPlane;
    object.plane = {10, 10, 6, 2};
    EXPECT_EQ(PrimitiveTriangles(object), triangles(MakePlane(object.plane)));
}

TEST(RunSafety, MemorySizesParseWithBinaryUnits) {
    EXPECT_EQ(ParseMemorySize("--max-memory", "16G"), int64_t{16} << 30);
    EXPECT_EQ(ParseMemorySize("--max-memory", "1.5g"), int64_t{3} << 29);
    EXPECT_EQ(ParseMemorySize("--max-memory", "512MB"), int64_t{512} << 20);
    EXPECT_EQ(ParseMemorySize("--max-memory", "4096"), 4096);
    for (const char* bad : {"", "0", "-1G", "G", "12Q", "nan", "1e30T"})
        EXPECT_THROW(ParseMemorySize("--max-memory", bad), InputError) << bad;
}

}  // namespace
}  // namespace KvrnApp
