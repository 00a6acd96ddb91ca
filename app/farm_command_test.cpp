// Tests of `kovrin farm slurm`: the job plan, the batch script run by bash, and the command's exit
// codes with stand-in sbatch programs.
#include "farm_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "poly_mesh.h"
#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunKovrin;
using test::TempDir;

const std::string kScene = std::string(KVRN_SCENES_DIR) + "/demo.json";

std::string WriteProgram(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.Write(name, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// PATH for the programs the test starts, put back at the end of the scope.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string& path) : saved_(std::getenv("PATH")) {
        ::setenv("PATH", path.c_str(), 1);
    }
    ~ScopedPath() { ::setenv("PATH", saved_.c_str(), 1); }

  private:
    std::string saved_;
};

FarmOptions Options(const TempDir& dir) {
    FarmOptions options;
    options.scene = kScene;
    options.frames = "1-12";
    options.tasks = 4;
    options.png = (dir.Path() / "out/frame_####.png").string();
    return options;
}

std::string PlanError(const FarmOptions& options) {
    std::ostringstream err;
    try {
        PlanSlurmJob(options, "/opt/kovrin", err);
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(FarmPlan, DefaultsSitBesideTheFirstOutputAndTasksAreCutToTheFrames) {
    const TempDir dir;
    FarmOptions options = Options(dir);
    options.frames = "1-5x2";
    options.tasks = 8;
    options.eps = (dir.Path() / "vec/f_###.eps").string();
    std::ostringstream err;
    const SlurmJob job = PlanSlurmJob(options, "/opt/kovrin", err);
    EXPECT_EQ(job.frameCount, 3);
    EXPECT_EQ(job.tasks, 3);
    EXPECT_TRUE(Contains(err.str(), "--tasks 8: only 3 frames, using 3 tasks")) << err.str();
    EXPECT_EQ(job.jobName, "kovrin-demo");
    EXPECT_EQ(job.script, (dir.Path() / "out/kovrin-demo.sbatch").string());
    EXPECT_EQ(job.logDir, (dir.Path() / "out/logs").string());
    ASSERT_EQ(job.outputs.size(), 2u);
    EXPECT_EQ(job.outputs[1].first, "--eps");
    // Planning writes nothing.
    EXPECT_FALSE(fs::exists(dir.Path() / "out"));
    EXPECT_FALSE(fs::exists(dir.Path() / "vec"));
}

TEST(FarmPlan, BadInputNamesTheOption) {
    const TempDir dir;
    dir.Write("file", "x");
    const struct {
        void (*change)(FarmOptions&, const TempDir&);
        const char* prefix;
    } cases[] = {
        {[](FarmOptions& o, const TempDir&) { o.scene = "/nonexistent/scene.json"; },
         "/nonexistent/scene.json"},
        {[](FarmOptions& o, const TempDir&) { o.frames = "12-1"; }, "--frames: "},
        {[](FarmOptions& o, const TempDir&) { o.tasks = 0; }, "--tasks 0"},
        {[](FarmOptions& o, const TempDir& d) { o.png = (d.Path() / "frame.png").string(); },
         "-o "},
        {[](FarmOptions& o, const TempDir& d) { o.png = (d.Path() / "s_##/f_##.png").string(); },
         "-o "},
        {[](FarmOptions& o, const TempDir& d) { o.png = (d.Path() / "file/f_##.png").string(); },
         "-o: "},
        {[](FarmOptions& o, const TempDir&) { o.png.clear(); }, "no output"},
        {[](FarmOptions& o, const TempDir&) { o.jobName = "my job"; }, "--job-name"},
        {[](FarmOptions& o, const TempDir&) { o.jobName = "../x"; }, "--job-name"},
        {[](FarmOptions& o, const TempDir&) { o.partition = "a\nb"; }, "--partition"},
        {[](FarmOptions& o, const TempDir&) { o.time = "1 h"; }, "--time"},
        {[](FarmOptions& o, const TempDir&) { o.mem = "4G;x"; }, "--mem"},
        {[](FarmOptions& o, const TempDir&) { o.cpusPerTask = 0; }, "--cpus-per-task"},
        {[](FarmOptions& o, const TempDir& d) { o.script = d.Path().string(); }, "--script"},
        {[](FarmOptions& o, const TempDir& d) { o.logDir = (d.Path() / "l%j").string(); },
         "--log-dir"},
        {[](FarmOptions& o, const TempDir& d) { o.logDir = (d.Path() / "file/logs").string(); },
         "--log-dir"},
    };
    for (const auto& c : cases) {
        FarmOptions options = Options(dir);
        c.change(options, dir);
        const std::string error = PlanError(options);
        EXPECT_EQ(error.rfind(c.prefix, 0), 0u) << "expected \"" << c.prefix << "\": " << error;
    }
    // One frame needs no frame number in the name.
    FarmOptions single = Options(dir);
    single.frames = "5";
    single.png = (dir.Path() / "still.png").string();
    EXPECT_EQ(PlanError(single), "");
}

TEST(FarmScript, DeclaresTheArrayAndRendersOneChunkPerTask) {
    const TempDir dir;
    FarmOptions options = Options(dir);
    options.png = "relative/f_####.png";
    options.partition = "short";
    options.mem = "2G";
    options.cpusPerTask = 3;
    std::ostringstream err;
    const std::string script = SlurmScript(PlanSlurmJob(options, "/opt/kovrin", err));
    const std::string output = fs::absolute("relative/f_####.png").lexically_normal().string();
    EXPECT_EQ(script.rfind("#!/bin/bash\n", 0), 0u);
    EXPECT_TRUE(Contains(script, "\n#SBATCH --array=0-3\n")) << script;
    EXPECT_TRUE(Contains(script, "\n#SBATCH --cpus-per-task=3\n")) << script;
    EXPECT_TRUE(Contains(script, "\n#SBATCH --partition=short\n")) << script;
    EXPECT_TRUE(Contains(script, "\n#SBATCH --mem=2G\n")) << script;
    EXPECT_FALSE(Contains(script, "--time")) << script;
    EXPECT_TRUE(Contains(script, "_%A_%a.log\n")) << script;
    EXPECT_TRUE(Contains(script, "\nset -euo pipefail\n")) << script;
    EXPECT_TRUE(Contains(script, "exec /opt/kovrin render " + kScene +
                                     " --frames 1-12 --chunk \"${task}/4\" --threads "
                                     "\"${SLURM_CPUS_PER_TASK:-3}\" -o '" +
                                     output + "'\n"))
        << script;
}

// Runs `script` with bash under `environment` ("NAME=VALUE ..."); returns its exit code.
int RunScript(const std::string& script, const std::string& environment) {
    const int status = std::system(("env -u SLURM_ARRAY_TASK_ID -u SLURM_CPUS_PER_TASK " +
                                    environment + " bash " + script + " >/dev/null 2>&1")
                                       .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FarmScript, BashPassesEveryArgumentIntactAndTheExitCodeThrough) {
    const TempDir dir;
    const std::string args = (dir.Path() / "args").string();
    // A stand-in renderer in a folder with a space, writing its arguments one per line.
    fs::create_directories(dir.Path() / "bin dir");
    const std::string fake = WriteProgram(
        dir, "bin dir/kovrin", "for a in \"$@\"; do echo \"$a\"; done > " + args + "\nexit 7\n");
    FarmOptions options = Options(dir);
    options.png = (dir.Path() / "it's here/f_####.png").string();
    options.ai = (dir.Path() / "$HOME `x`/f_#.ai").string();
    std::ostringstream err;
    const std::string script =
        dir.Write("job.sbatch", SlurmScript(PlanSlurmJob(options, fake, err)));

    EXPECT_EQ(RunScript(script, "SLURM_ARRAY_TASK_ID=2 SLURM_CPUS_PER_TASK=5"), 7);
    const std::string expected = "render\n" + kScene +
                                 "\n--frames\n1-12\n--chunk\n2/4\n--threads\n5\n-o\n" +
                                 options.png + "\n--ai\n" + options.ai + "\n";
    EXPECT_EQ(ReadFile(args), expected);

    // Outside Slurm the task id is missing: the renderer is not started.
    fs::remove(args);
    EXPECT_NE(RunScript(script, ""), 0);
    EXPECT_FALSE(fs::exists(args));
}

TEST(FarmCommand, BadInputExitsWithTwoBeforeWritingAnything) {
    const TempDir dir;
    const std::string out = (dir.Path() / "out").string();
    for (const std::string& args : {
             kScene + " --frames 1-12 --tasks 4 -o " + out + "/frame.png",
             kScene + " --frames 1-12x0 --tasks 4 -o " + out + "/f_##.png",
             kScene + " --frames 1-12 --tasks 0 -o " + out + "/f_##.png",
             kScene + " --frames 1-12 --tasks 4",
             kScene + " --frames 1-12 --tasks 4 -o " + out + "/f_##.png --job-name 'a b'",
             "/nonexistent.json --frames 1-12 --tasks 4 -o " + out + "/f_##.png --submit",
             kScene + " --tasks 4 -o " + out + "/f_##.png",
         }) {
        const test::RunResult run = RunKovrin("farm slurm " + args);
        EXPECT_EQ(run.exitCode, 2) << args << "\n" << run.err;
        EXPECT_FALSE(run.err.empty()) << args;
        EXPECT_TRUE(fs::is_empty(dir.Path())) << args;
    }
}

TEST(FarmCommand, SubmitsWithSbatchAndReportsItsFailures) {
    const TempDir dir, bin;
    const std::string called = (dir.Path() / "called").string();
    const std::string args = kScene + " --frames 1-12 --tasks 4 -o " +
                             (dir.Path() / "out/f_####.png").string() + " --submit";
    const std::string script = (dir.Path() / "out/kovrin-demo.sbatch").string();
    const std::string path = std::getenv("PATH");

    WriteProgram(bin, "sbatch",
                 "echo \"$@\" > " + called + "\necho 'sbatch: warning: x' >&2\necho '4242;main'\n");
    {
        const ScopedPath scoped(bin.Path().string() + ":" + path);
        const test::RunResult run = RunKovrin("farm slurm " + args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, script + "\nsubmitted job 4242\n");
        EXPECT_EQ(ReadFile(called), "--parsable " + script + "\n");
        EXPECT_TRUE(Contains(ReadFile(script), "#SBATCH --array=0-3\n"));
        EXPECT_TRUE(fs::is_directory(dir.Path() / "out/logs"));
    }
    WriteProgram(bin, "sbatch", "echo 'sbatch: error: invalid partition specified' >&2\nexit 1\n");
    {
        const ScopedPath scoped(bin.Path().string() + ":" + path);
        const test::RunResult run = RunKovrin("farm slurm " + args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(
            Contains(run.err, "sbatch failed (exit code 1): sbatch: error: invalid partition"))
            << run.err;
        EXPECT_FALSE(Contains(run.out, "submitted")) << run.out;
    }
    // No sbatch at all: only `timeout`, which the test's runner needs, is on the PATH.
    fs::remove(bin.Path() / "sbatch");
    fs::create_symlink("/usr/bin/timeout", bin.Path() / "timeout");
    {
        const ScopedPath scoped(bin.Path().string());
        const test::RunResult run = RunKovrin("farm slurm " + args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(Contains(run.err, "sbatch not found")) << run.err;
    }
}

}  // namespace
}  // namespace KvrnApp
