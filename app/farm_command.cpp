#include "farm_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "frame_list.h"
#include "poly_mesh.h"
#include "scene_file.h"

extern char** environ;

namespace KvrnApp {

namespace fs = std::filesystem;

namespace {

// sbatch answers at once when the controller is up and gives up by itself after its own retries
// when it is not; this only guards against a wedged client.
constexpr int kSbatchTimeoutSeconds = 120;

class FarmFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string Absolute(const std::string& path) {
    return fs::absolute(fs::path(path)).lexically_normal().string();
}

// Values that go into #SBATCH lines and file names: letters, digits and `extra`.
void CheckWord(const std::string& option, const std::string& value, const std::string& extra) {
    if (value.empty()) throw InputError(option + ": must not be empty");
    for (char c : value) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && extra.find(c) == std::string::npos) {
            throw InputError(option + " \"" + value + "\": only letters, digits and \"" + extra +
                             "\" are allowed");
        }
    }
}

void CheckNoLineBreak(const std::string& option, const std::string& path) {
    if (path.find_first_of("\n\r") != std::string::npos) {
        throw InputError(option + ": the path contains a line break");
    }
}

// The folder need not exist yet: its nearest existing ancestor must be a folder we may write in.
void CheckFolderCanBeMade(const std::string& option, const fs::path& folder) {
    std::error_code ec;
    fs::path existing = folder;
    while (!fs::exists(existing, ec) && existing.has_parent_path() &&
           existing.parent_path() != existing) {
        existing = existing.parent_path();
    }
    if (!fs::is_directory(existing, ec)) {
        throw InputError(option + ": " + existing.string() + " is not a folder, so " +
                         folder.string() + " cannot be made");
    }
    if (::access(existing.c_str(), W_OK | X_OK) != 0) {
        throw InputError(option + ": cannot write in folder " + existing.string() + ": " +
                         std::strerror(errno));
    }
}

void CheckOutput(const std::string& option, const std::string& pattern, int frameCount) {
    CheckNoLineBreak(option, pattern);
    const fs::path path(pattern);
    if (path.filename().empty()) throw InputError(option + " " + pattern + ": names no file");
    if (HasFramePattern(path.parent_path().string())) {
        throw InputError(option + " " + pattern +
                         ": the '#' run for the frame number belongs in the file name, not the "
                         "folder");
    }
    if (frameCount > 1 && !HasFramePattern(path.filename().string())) {
        throw InputError(option + " " + pattern + ": " + std::to_string(frameCount) +
                         " frames need a '#' run in the file name for the frame number, such as "
                         "frame_####.png");
    }
    CheckFolderCanBeMade(option, fs::path(Absolute(pattern)).parent_path());
}

// sbatch reads a double-quoted value as one argument; '%' starts its file name patterns.
std::string SbatchPath(const std::string& path) {
    return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

void MakeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw FarmFailure("cannot make folder " + folder.string() + ": " + ec.message());
}

// A reader never sees half a script: it is written beside its place and renamed over it.
void WriteAtomically(const fs::path& path, const std::string& text) {
    std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        throw FarmFailure("cannot write " + path.string() + ": " + std::strerror(errno));
    }
    bool ok = ::fchmod(fd, 0755) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        done += n > 0 ? size_t(n) : 0;
    }
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(ok ? errno : error);
        ::unlink(temp.c_str());
        throw FarmFailure("cannot write " + path.string() + ": " + reason);
    }
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Runs `sbatch --parsable SCRIPT` and returns the job id it prints ("ID" or "ID;CLUSTER").
std::string Submit(const std::string& script) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw FarmFailure("sbatch: " + std::string(strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string program = "sbatch", parsable = "--parsable", scriptArg = script;
    char* argv[] = {program.data(), parsable.data(), scriptArg.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "sbatch", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        throw FarmFailure(spawned == ENOENT
                              ? "sbatch not found on PATH: install Slurm's client commands or "
                                "submit " +
                                    script + " from a machine of the cluster"
                              : "cannot run sbatch: " + std::string(std::strerror(spawned)));
    }
    std::string output;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kSbatchTimeoutSeconds);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd poller{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&poller, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, size_t(n));
    }
    ::close(pipeFds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        throw FarmFailure("sbatch did not answer in " + std::to_string(kSbatchTimeoutSeconds) +
                          " s; " + script + " was not submitted");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string said = Trimmed(output);
        throw FarmFailure("sbatch failed (" +
                          (WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                             : "signal " + std::to_string(WTERMSIG(status))) +
                          ")" + (said.empty() ? "" : ": " + said));
    }
    // Warnings may come first; the id is the last line.
    std::istringstream lines(output);
    std::string line, id;
    while (std::getline(lines, line)) {
        line = Trimmed(line);
        const std::string number = line.substr(0, line.find(';'));
        if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
            id = number;
        }
    }
    if (id.empty()) throw FarmFailure("sbatch printed no job id: " + Trimmed(output));
    return id;
}

std::string KovrinBinary() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) throw FarmFailure("cannot find this program's path: " + ec.message());
    return self.string();
}

}  // namespace

std::string ShellQuoted(const std::string& text) {
    constexpr const char* kPlain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./-=:,+@";
    if (!text.empty() && text.find_first_not_of(kPlain) == std::string::npos) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

SlurmJob PlanSlurmJob(const FarmOptions& options, const std::string& kovrin, std::ostream& err) {
    SlurmJob job;
    job.kovrin = kovrin;
    job.scene = Absolute(options.scene);
    CheckNoLineBreak("scene", options.scene);
    ReadSceneFile(options.scene);
    job.frames = options.frames;
    job.frameCount = int(ParseFrames(options.frames).size());
    if (options.tasks < 1) {
        throw InputError("--tasks " + std::to_string(options.tasks) + ": must be at least 1");
    }
    job.tasks = options.tasks;
    if (job.tasks > job.frameCount) {
        job.tasks = job.frameCount;
        err << "kovrin: --tasks " << options.tasks << ": only " << job.frameCount
            << (job.frameCount == 1 ? " frame" : " frames") << ", using " << job.tasks
            << (job.tasks == 1 ? " task\n" : " tasks\n");
    }
    for (const auto& [option, pattern] : {std::pair<std::string, std::string>{"-o", options.png},
                                          {"--exr", options.exr},
                                          {"--eps", options.eps},
                                          {"--ai", options.ai}}) {
        if (pattern.empty()) continue;
        CheckOutput(option, pattern, job.frameCount);
        job.outputs.emplace_back(option, Absolute(pattern));
    }
    if (job.outputs.empty()) throw InputError("no output: give -o, --exr, --eps or --ai");

    job.jobName = options.jobName;
    if (job.jobName.empty()) {
        std::string stem = fs::path(job.scene).stem().string();
        for (char& c : stem) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
        }
        job.jobName = "kovrin-" + stem;
    }
    CheckWord("--job-name", job.jobName, "-_.");
    if (!options.partition.empty()) CheckWord("--partition", options.partition, "-_.,");
    if (!options.time.empty()) CheckWord("--time", options.time, "-:");
    if (!options.mem.empty()) CheckWord("--mem", options.mem, "");
    job.partition = options.partition;
    job.time = options.time;
    job.mem = options.mem;
    if (options.cpusPerTask < 1) {
        throw InputError("--cpus-per-task " + std::to_string(options.cpusPerTask) +
                         ": must be at least 1");
    }
    job.cpusPerTask = options.cpusPerTask;

    CheckNoLineBreak("--script", options.script);
    job.script =
        options.script.empty()
            ? (fs::path(job.outputs.front().second).parent_path() / (job.jobName + ".sbatch"))
                  .string()
            : Absolute(options.script);
    if (fs::is_directory(job.script)) throw InputError("--script " + job.script + ": is a folder");
    CheckFolderCanBeMade("--script", fs::path(job.script).parent_path());
    job.logDir = options.logDir.empty() ? (fs::path(job.script).parent_path() / "logs").string()
                                        : Absolute(options.logDir);
    CheckNoLineBreak("--log-dir", job.logDir);
    if (job.logDir.find_first_of("\"%") != std::string::npos) {
        throw InputError("--log-dir " + job.logDir + ": '\"' and '%' are not allowed");
    }
    CheckFolderCanBeMade("--log-dir", job.logDir);
    return job;
}

std::string SlurmScript(const SlurmJob& job) {
    std::ostringstream s;
    s << "#!/bin/bash\n"
      << "# kovrin farm slurm: frames " << job.frames << " (" << job.frameCount << ") of "
      << job.scene << " in " << job.tasks << (job.tasks == 1 ? " task\n" : " tasks\n")
      << "#SBATCH --job-name=" << job.jobName << "\n"
      << "#SBATCH --array=0-" << job.tasks - 1 << "\n"
      << "#SBATCH --cpus-per-task=" << job.cpusPerTask << "\n"
      << "#SBATCH --output=" << SbatchPath(job.logDir + "/" + job.jobName + "_%A_%a.log") << "\n";
    if (!job.partition.empty()) s << "#SBATCH --partition=" << job.partition << "\n";
    if (!job.time.empty()) s << "#SBATCH --time=" << job.time << "\n";
    if (!job.mem.empty()) s << "#SBATCH --mem=" << job.mem << "\n";
    s << "set -euo pipefail\n"
      << "task=\"${SLURM_ARRAY_TASK_ID:?submit this script with sbatch}\"\n"
      << "echo \"kovrin: task ${task} of " << job.tasks << " on $(hostname)\"\n"
      << "exec " << ShellQuoted(job.kovrin) << " render " << ShellQuoted(job.scene) << " --frames "
      << ShellQuoted(job.frames) << " --chunk \"${task}/" << job.tasks << "\""
      << " --threads \"${SLURM_CPUS_PER_TASK:-" << job.cpusPerTask << "}\"";
    for (const auto& [option, pattern] : job.outputs)
        s << " " << option << " " << ShellQuoted(pattern);
    s << "\n";
    return s.str();
}

FarmCommand::FarmCommand(CLI::App& app) {
    CLI::App* farm = app.add_subcommand("farm", "Render an animation's frames on a render farm");
    farm->require_subcommand(1);
    slurm_ = farm->add_subcommand(
        "slurm", "Write (and with --submit, submit) a Slurm job array rendering a frame range");
    FarmOptions& o = options_;
    slurm_->add_option("scene", o.scene, "The scene file (.json)")->required();
    slurm_->add_option("--frames", o.frames, "Frames A-B or A-BxSTEP, or one frame A")->required();
    slurm_->add_option("--tasks", o.tasks, "Array tasks, each rendering a share of the frames")
        ->required();
    slurm_->add_option("-o,--output", o.png, "PNG pattern, '####' for the frame: f_####.png");
    slurm_->add_option("--exr", o.exr, "OpenEXR pattern");
    slurm_->add_option("--eps", o.eps, "EPS pattern");
    slurm_->add_option("--ai", o.ai, "Illustrator 8 EPS pattern");
    slurm_->add_option("--script", o.script,
                       "Batch script written (default: JOB-NAME.sbatch beside the first output)");
    slurm_->add_flag("--submit", o.submit, "Submit the script with sbatch");
    slurm_->add_option("--partition", o.partition, "Slurm partition (default: the cluster's)");
    slurm_->add_option("--time", o.time, "Time limit per task, such as 30:00 or 1-00:00:00");
    slurm_->add_option("--mem", o.mem, "Memory per task, such as 4G");
    slurm_->add_option("--cpus-per-task", o.cpusPerTask, "Cores per task (default 2)");
    slurm_->add_option("--job-name", o.jobName, "Job name (default: kovrin-SCENE)");
    slurm_->add_option("--log-dir", o.logDir,
                       "Folder of the tasks' logs (default: logs beside the script)");
}

bool FarmCommand::Parsed() const { return slurm_->parsed(); }

int FarmCommand::Run(std::ostream& out, std::ostream& err) const {
    SlurmJob job;
    try {
        job = PlanSlurmJob(options_, KovrinBinary(), err);
    } catch (const InputError& e) {
        err << "kovrin: " << e.what() << "\n";
        return 2;
    } catch (const FarmFailure& e) {
        err << "kovrin: " << e.what() << "\n";
        return 1;
    }
    try {
        for (const auto& output : job.outputs) MakeFolder(fs::path(output.second).parent_path());
        MakeFolder(job.logDir);
        MakeFolder(fs::path(job.script).parent_path());
        WriteAtomically(job.script, SlurmScript(job));
        out << job.script << "\n";
        if (options_.submit) {
            const std::string id = Submit(job.script);
            out << "submitted job " << id << "\n";
        }
    } catch (const FarmFailure& e) {
        err << "kovrin: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

std::unique_ptr<FarmCommand> AddFarmCommand(CLI::App& app) {
    return std::make_unique<FarmCommand>(app);
}

}  // namespace KvrnApp
