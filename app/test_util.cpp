#include "test_util.h"

#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "default_camera.h"
#include "render_object_info.h"

extern char** environ;

namespace KvrnApp::test {

Image ReadPng(const std::filesystem::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Image result;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return result;
    image.format = PNG_FORMAT_RGBA;
    result.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, result.rgba.data(), 0, nullptr)) return {};
    result.width = int(image.width);
    result.height = int(image.height);
    return result;
}

std::unique_ptr<KvrnLib::Scene> FramedScene(
    const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects) {
    const FramedCamera framed = FrameObjects(objects);
    for (const auto& object : objects)
        object->SetTransforms(object->objToWorld, framed.camera.worldToCam);
    return std::make_unique<KvrnLib::Scene>(framed.camera, objects);
}

KvrnLib::MeshEdgeCounts AllEdgeCounts(const KvrnLib::RenderObject& object) {
    auto copy = std::make_shared<KvrnLib::RenderObject>(object);
    for (KvrnLib::FaceRecord& face : copy->faces) face.flags |= KvrnLib::kFaceTwoSided;
    const auto scene = FramedScene({copy});
    return KvrnLib::CountMeshEdges(KvrnLib::BuildMeshEdges(*copy, scene->Info(0).FacingBytes()));
}

double SignedVolume(const KvrnLib::RenderObject& object) {
    double volume = 0;
    for (const KvrnLib::FaceRecord& face : object.faces) {
        KvrnLib::Point3 p[3];
        for (int k = 0; k < 3; ++k)
            p[k] = object.objToWorld.PointTransform(object.vertices[face.Vertex(k)]);
        const double ax = p[0].x, ay = p[0].y, az = p[0].z;
        const double bx = p[1].x, by = p[1].y, bz = p[1].z;
        const double cx = p[2].x, cy = p[2].y, cz = p[2].z;
        volume += ax * (by * cz - bz * cy) - ay * (bx * cz - bz * cx) + az * (bx * cy - by * cx);
    }
    return volume / 6;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ModelPath(const std::string& name) {
    const std::filesystem::path dir(KVRN_MODELS_DIR);
    return std::filesystem::is_directory(dir) ? (dir / name).string() : std::string();
}

std::optional<std::vector<std::filesystem::path>> ReproModels() {
    const std::filesystem::path repro(KVRN_REPRO_DIR);
    if (!std::filesystem::is_directory(repro)) return std::nullopt;
    std::vector<std::filesystem::path> models;
    for (const auto& entry : std::filesystem::directory_iterator(repro)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".obj" || ext == ".ply" || ext == ".stl") models.push_back(entry.path());
    }
    std::sort(models.begin(), models.end());
    return models;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("kvrn_app_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& contents) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << contents;
    return file.string();
}

int RunKovrinInterrupted(const std::vector<std::string>& args, int delayMs, int signal,
                         int timeoutSeconds, int repeats) {
    return RunKovrinInterruptedAfter(args, "", delayMs, signal, timeoutSeconds, repeats);
}

int RunKovrinInterruptedAfter(const std::vector<std::string>& args, const std::string& caption,
                              int delayMs, int signal, int timeoutSeconds, int repeats) {
    const std::string binary = KVRN_KOVRIN_BINARY;
    std::vector<std::string> all = {binary};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int errPipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!caption.empty()) {
        if (pipe(errPipe) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (!caption.empty()) close(errPipe[1]);
    if (spawned != 0) {
        if (!caption.empty()) close(errPipe[0]);
        return -1;
    }
    // Reads the progress lines until the caption shows; a reader thread keeps draining them so
    // that kovrin never blocks on a full pipe.
    std::thread drain;
    if (!caption.empty()) {
        std::string seen;
        char buffer[4096];
        ssize_t got = 0;
        while (seen.find(caption) == std::string::npos &&
               (got = read(errPipe[0], buffer, sizeof buffer)) > 0)
            seen.append(buffer, size_t(got));
        drain = std::thread([fd = errPipe[0]] {
            char rest[4096];
            while (read(fd, rest, sizeof rest) > 0) {
            }
            close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, signal);
    for (int i = 1; i < repeats; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        kill(pid, signal);
    }
    int status = 0;
    pid_t done = 0;
    // A hung process fails the caller's test instead of stalling it.
    for (int i = 0; i < timeoutSeconds * 10 && done == 0; ++i) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (drain.joinable()) drain.join();
    if (done == 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult RunKovrin(const std::string& args, int timeoutSeconds) {
    const TempDir dir;
    const std::filesystem::path out = dir.Path() / "out", err = dir.Path() / "err";
    const std::string command = "timeout -s KILL " + std::to_string(timeoutSeconds) + " " +
                                std::string(KVRN_KOVRIN_BINARY) + " " + args + " >" + out.string() +
                                " 2>" + err.string() + " </dev/null";
    const int status = std::system(command.c_str());
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

}  // namespace KvrnApp::test
