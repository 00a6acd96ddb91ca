// `kovrin farm slurm`: splits the frames of a scene's animation over the tasks of a Slurm job
// array, writes the batch script that renders them (each task its own chunk of the frames) and,
// on request, submits it with sbatch.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace KvrnApp {

struct FarmOptions {
    std::string scene;   // scene file (.json)
    std::string frames;  // "A-B[xSTEP]"
    int tasks = 1;       // array tasks; more than the frames is cut to the frame count
    std::string png;     // output patterns; '#' runs take the frame number
    std::string exr;
    std::string eps;
    std::string ai;
    std::string script;  // empty: "<jobName>.sbatch" in the first output's folder
    bool submit = false;
    std::string partition;  // empty: the cluster's default
    std::string time;       // empty: the partition's limit
    std::string mem;        // empty: the cluster's default
    int cpusPerTask = 2;
    std::string jobName;  // empty: "kovrin-<scene file name without extension>"
    std::string logDir;   // empty: "logs" next to the script
};

// The job as checked: absolute paths, the frame count and the tasks as used.
struct SlurmJob {
    std::string kovrin;  // the binary the tasks run
    std::string scene;
    std::string frames;
    int frameCount = 0;
    int tasks = 1;
    std::vector<std::pair<std::string, std::string>> outputs;  // render option, absolute pattern
    std::string script;
    std::string logDir;
    std::string jobName;
    std::string partition, time, mem;
    int cpusPerTask = 2;
};

// Checks `options` without writing anything: the scene reads, the frames parse, there is an
// output, each output has a '#' run when there are several frames, and every folder exists or can
// be created. Tasks beyond the frame count are cut, with a note on `err`. `kovrin` is the binary
// the tasks will run. Throws InputError naming the option and value.
SlurmJob PlanSlurmJob(const FarmOptions& options, const std::string& kovrin, std::ostream& err);

// The bash batch script of a job array of `job.tasks` tasks, task I rendering chunk I of the
// frames.
std::string SlurmScript(const SlurmJob& job);

// Quotes `text` for bash, single quotes where needed.
std::string ShellQuoted(const std::string& text);

// The `farm` command and its `slurm` subcommand, with the options they fill.
class FarmCommand {
  public:
    explicit FarmCommand(CLI::App& app);
    bool Parsed() const;
    // Exit codes: 0 done, 1 the script could not be written or sbatch failed or is missing, 2 bad
    // input (reported before anything is written). Prints the script's path, and with --submit
    // "submitted job <id>".
    int Run(std::ostream& out, std::ostream& err) const;

  private:
    FarmOptions options_;
    CLI::App* slurm_ = nullptr;
};

std::unique_ptr<FarmCommand> AddFarmCommand(CLI::App& app);

}  // namespace KvrnApp
