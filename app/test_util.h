// Helpers shared by the app tests: scene set-up with the default camera, mesh measures, temporary
// files and running the built binary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mesh_edges.h"
#include "scene.h"

namespace KvrnApp::test {

// Scene framed by the default camera, object transforms set for it.
std::unique_ptr<KvrnLib::Scene> FramedScene(
    const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects);

// Edge counts of one object with every face made two-sided, so that no face is culled and each
// edge is counted whatever the view.
KvrnLib::MeshEdgeCounts AllEdgeCounts(const KvrnLib::RenderObject& object);

// Volume enclosed by the object's triangles in world space; positive for outward winding.
double SignedVolume(const KvrnLib::RenderObject& object);

// Path of a model in KVRN_MODELS_DIR, or empty when the folder is missing.
std::string ModelPath(const std::string& name);

// The mesh files (OBJ, PLY, STL) among the inputs that once broke kovrin, in KVRN_REPRO_DIR;
// nullopt when the folder is missing.
std::optional<std::vector<std::filesystem::path>> ReproModels();

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// An 8-bit RGBA image read from a PNG (straight colour); empty when it cannot be read.
struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    uint8_t Alpha(int x, int y) const {
        return rgba[(size_t(y) * size_t(width) + size_t(x)) * 4 + 3];
    }
    const uint8_t* Pixel(int x, int y) const {
        return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
    }
};
Image ReadPng(const std::filesystem::path& path);

// A fresh directory, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `contents` to `name` in the directory and returns its path.
    std::string Write(const std::string& name, const std::string& contents) const;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Starts the built kovrin binary with `args` (no shell), sends it `signal` after `delayMs` (and
// again every 15 ms, `repeats` times in all) and waits up to `timeoutSeconds` for it to stop.
// Returns its exit code; -1 when it ended on a signal, or did not stop in time (it is then killed).
int RunKovrinInterrupted(const std::vector<std::string>& args, int delayMs, int signal,
                         int timeoutSeconds, int repeats = 1);
// The same, with the delay counted from the moment kovrin's standard error (a pipe, so progress
// comes as plain lines) first shows `caption`; from the start when `caption` is empty.
int RunKovrinInterruptedAfter(const std::vector<std::string>& args, const std::string& caption,
                              int delayMs, int signal, int timeoutSeconds, int repeats = 1);

// Runs the built kovrin binary with `args` (passed through the shell, unquoted). A run that
// outlasts the timeout is killed (exit code 137); one that dies of a signal gives 128 + signal.
RunResult RunKovrin(const std::string& args, int timeoutSeconds = 300);

}  // namespace KvrnApp::test
