#include "assimp_import.h"

#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

namespace KvrnApp {

using KvrnLib::Matrix3;
using KvrnLib::Point3;

namespace {

// assimp matrices act on column vectors; Matrix3 rows are the columns of its upper 3 x 4.
Matrix3 ToMatrix3(const aiMatrix4x4& m) {
    Matrix3 r;
    r.row[0] = {m.a1, m.b1, m.c1};
    r.row[1] = {m.a2, m.b2, m.c2};
    r.row[2] = {m.a3, m.b3, m.c3};
    r.row[3] = {m.a4, m.b4, m.c4};
    return r;
}

Point3 ToPoint3(const aiVector3D& v) { return {v.x, v.y, v.z}; }

std::vector<bool> TwoSidedMaterials(const aiScene& scene) {
    std::vector<bool> twoSided(scene.mNumMaterials, false);
    for (unsigned m = 0; m < scene.mNumMaterials; ++m) {
        int value = 0;
        if (scene.mMaterials[m] &&
            scene.mMaterials[m]->Get(AI_MATKEY_TWOSIDED, value) == aiReturn_SUCCESS)
            twoSided[m] = value != 0;
    }
    return twoSided;
}

void AppendMesh(const std::string& path, const aiMesh& src, bool twoSided, PolyMesh* mesh) {
    if (src.mMaterialIndex > 65535) {
        throw InputError(path + ": material index " + std::to_string(src.mMaterialIndex) +
                         " exceeds 65535");
    }
    const int32_t base = int32_t(mesh->vertices.size());
    for (unsigned v = 0; v < src.mNumVertices; ++v)
        mesh->vertices.push_back(ToPoint3(src.mVertices[v]));
    // Map vertices follow the mesh vertices one to one, so a channel only some of the node's
    // meshes have gets zeros for the others.
    const aiVector3D* uvs = src.mTextureCoords[0];
    const aiColor4D* colors = src.mColors[0];
    const bool maps[kPolyMapChannels] = {colors != nullptr, uvs != nullptr};
    for (int c = 0; c < kPolyMapChannels; ++c) {
        std::vector<Point3>& channel = mesh->mapVertices[c];
        if (!maps[c] && channel.empty()) continue;
        channel.resize(size_t(base));
        for (unsigned v = 0; v < src.mNumVertices; ++v) {
            if (c == kColorChannel)
                channel.push_back(colors ? Point3{colors[v].r, colors[v].g, colors[v].b}
                                         : Point3{});
            else
                channel.push_back(uvs ? ToPoint3(uvs[v]) : Point3{});
        }
    }
    for (unsigned f = 0; f < src.mNumFaces; ++f) {
        const aiFace& face = src.mFaces[f];
        if (face.mNumIndices < 3) continue;  // points and lines draw no lines of ours
        Polygon poly;
        poly.materialID = uint16_t(src.mMaterialIndex);
        poly.twoSided = twoSided;
        bool inRange = true;
        for (unsigned i = 0; i < face.mNumIndices; ++i) {
            const unsigned index = face.mIndices[i];
            inRange = inRange && index < src.mNumVertices;
            poly.vertices.push_back(base + int32_t(index));
            if (src.mNormals && index < src.mNumVertices)
                poly.normals.push_back(ToPoint3(src.mNormals[index]));
        }
        if (!inRange) {
            throw InputError(path + ": mesh '" + src.mName.C_Str() + "' face " + std::to_string(f) +
                             " has a vertex index out of range");
        }
        if (poly.normals.size() != poly.vertices.size()) poly.normals.clear();
        for (int c = 0; c < kPolyMapChannels; ++c) {
            if (!mesh->mapVertices[c].empty()) poly.mapCorners[c] = poly.vertices;
        }
        mesh->polygons.push_back(std::move(poly));
    }
    // Polygons read before this mesh brought a channel in get their corners now.
    for (int c = 0; c < kPolyMapChannels; ++c) {
        if (mesh->mapVertices[c].empty()) continue;
        for (Polygon& poly : mesh->polygons)
            if (poly.mapCorners[c].empty()) poly.mapCorners[c] = poly.vertices;
    }
}

void CollectNodes(const std::string& path, const aiScene& scene, const std::vector<bool>& twoSided,
                  const aiNode& node, const aiMatrix4x4& parent, std::vector<PolyMesh>* out) {
    const aiMatrix4x4 global = parent * node.mTransformation;
    PolyMesh mesh;
    mesh.source = path;
    mesh.name = node.mName.length > 0 ? node.mName.C_Str() : "node" + std::to_string(out->size());
    mesh.objToWorld = ToMatrix3(global);
    for (unsigned m = 0; m < node.mNumMeshes; ++m) {
        if (node.mMeshes[m] >= scene.mNumMeshes) continue;
        const aiMesh& src = *scene.mMeshes[node.mMeshes[m]];
        const bool sided = src.mMaterialIndex < twoSided.size() && twoSided[src.mMaterialIndex];
        AppendMesh(path, src, sided, &mesh);
    }
    if (!mesh.polygons.empty()) out->push_back(std::move(mesh));
    for (unsigned c = 0; c < node.mNumChildren; ++c)
        CollectNodes(path, scene, twoSided, *node.mChildren[c], global, out);
}

// ---- The child's report: meshes written as plain arrays, read back with every size checked.

constexpr uint32_t kReportMagic = 0x4b565231;  // "KVR1"
enum ReportStatus : uint8_t { kReportMeshes = 0, kReportError = 1 };
enum PolygonBits : uint8_t { kHasNormals = 1, kHasColors = 2, kHasTexCoords = 4, kTwoSided = 8 };

class ReportWriter {
  public:
    template <class T>
    void Put(const T& value) {
        const char* bytes = reinterpret_cast<const char*>(&value);
        data_.append(bytes, sizeof(T));
    }
    template <class T>
    void PutArray(const std::vector<T>& values) {
        Put(uint32_t(values.size()));
        data_.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    }
    void PutString(const std::string& s) {
        Put(uint32_t(s.size()));
        data_ += s;
    }
    const std::string& Data() const { return data_; }

  private:
    std::string data_;
};

std::string MeshReport(const std::vector<PolyMesh>& meshes) {
    ReportWriter w;
    w.Put(kReportMagic);
    w.Put(uint8_t(kReportMeshes));
    w.Put(uint32_t(meshes.size()));
    for (const PolyMesh& mesh : meshes) {
        w.PutString(mesh.name);
        w.Put(mesh.objToWorld);
        w.PutArray(mesh.vertices);
        for (const auto& channel : mesh.mapVertices) w.PutArray(channel);
        w.Put(uint32_t(mesh.polygons.size()));
        for (const Polygon& poly : mesh.polygons) {
            const uint8_t bits = (poly.normals.empty() ? 0 : kHasNormals) |
                                 (poly.mapCorners[kColorChannel].empty() ? 0 : kHasColors) |
                                 (poly.mapCorners[kTextureChannel].empty() ? 0 : kHasTexCoords) |
                                 (poly.twoSided ? kTwoSided : 0);
            w.Put(bits);
            w.Put(poly.materialID);
            w.PutArray(poly.vertices);
            if (bits & kHasNormals) w.PutArray(poly.normals);
            if (bits & kHasColors) w.PutArray(poly.mapCorners[kColorChannel]);
            if (bits & kHasTexCoords) w.PutArray(poly.mapCorners[kTextureChannel]);
        }
    }
    return w.Data();
}

std::string ErrorReport(const std::string& message) {
    ReportWriter w;
    w.Put(kReportMagic);
    w.Put(uint8_t(kReportError));
    w.PutString(message);
    return w.Data();
}

class ReportReader {
  public:
    ReportReader(const std::string& path, std::string_view data) : path_(path), data_(data) {}

    template <class T>
    T Get() {
        T value;
        std::memcpy(&value, Take(sizeof(T)), sizeof(T));
        return value;
    }
    template <class T>
    void GetArray(std::vector<T>* values) {
        const uint32_t n = Get<uint32_t>();
        if (n > (data_.size() - at_) / sizeof(T)) Damaged();
        values->resize(n);
        std::memcpy(values->data(), Take(n * sizeof(T)), n * sizeof(T));
    }
    std::string GetString() {
        const uint32_t n = Get<uint32_t>();
        return std::string(Take(n), n);
    }
    bool AtEnd() const { return at_ == data_.size(); }
    [[noreturn]] void Damaged() const {
        throw InputError(path_ + ": the model reader's report is damaged");
    }

  private:
    const char* Take(size_t n) {
        if (n > data_.size() - at_) Damaged();
        const char* p = data_.data() + at_;
        at_ += n;
        return p;
    }

    const std::string& path_;
    std::string_view data_;
    size_t at_ = 0;
};

std::vector<PolyMesh> ParseReport(const std::string& path, std::string_view data) {
    ReportReader in(path, data);
    if (in.Get<uint32_t>() != kReportMagic) in.Damaged();
    const uint8_t status = in.Get<uint8_t>();
    if (status == kReportError) throw InputError(in.GetString());
    if (status != kReportMeshes) in.Damaged();
    std::vector<PolyMesh> meshes;
    const uint32_t meshCount = in.Get<uint32_t>();
    for (uint32_t m = 0; m < meshCount; ++m) {
        PolyMesh& mesh = meshes.emplace_back();
        mesh.source = path;
        mesh.name = in.GetString();
        mesh.objToWorld = in.Get<Matrix3>();
        in.GetArray(&mesh.vertices);
        for (auto& channel : mesh.mapVertices) in.GetArray(&channel);
        const uint32_t polygonCount = in.Get<uint32_t>();
        // Every polygon takes at least 7 bytes: no count can outgrow the report.
        if (polygonCount > data.size() / 7) in.Damaged();
        mesh.polygons.resize(polygonCount);
        for (Polygon& poly : mesh.polygons) {
            const uint8_t bits = in.Get<uint8_t>();
            poly.materialID = in.Get<uint16_t>();
            poly.twoSided = (bits & kTwoSided) != 0;
            in.GetArray(&poly.vertices);
            if (bits & kHasNormals) in.GetArray(&poly.normals);
            if (bits & kHasColors) in.GetArray(&poly.mapCorners[kColorChannel]);
            if (bits & kHasTexCoords) in.GetArray(&poly.mapCorners[kTextureChannel]);
        }
    }
    if (!in.AtEnd()) in.Damaged();
    return meshes;
}

int64_t ProcStatusKb(const char* file, const char* key) {
    std::ifstream in(file);
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, keyLength, key) == 0) return std::atoll(line.c_str() + keyLength);
    }
    return -1;
}

int64_t ReadNumberFile(const char* path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text == "max") return -1;
    return std::atoll(text.c_str());
}

void WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the parent is gone or gave up
        done += size_t(n);
    }
}

// The child's whole life: read, report, exit without running the parent's exit handlers.
[[noreturn]] void RunChild(const std::string& path, int fd, int64_t memoryBytes) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (memoryBytes > 0) {
        const int64_t current = ProcStatusKb("/proc/self/status", "VmSize:") * 1024;
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t(std::max<int64_t>(current, 0) + memoryBytes);
        ::setrlimit(RLIMIT_AS, &limit);
    }
    std::string report;
    try {
        report = MeshReport(ReadWithAssimp(path));
    } catch (const InputError& e) {
        report = ErrorReport(e.what());
    } catch (const std::bad_alloc&) {
        report = ErrorReport(path + ": the model reader ran out of memory (limit " +
                             std::to_string(memoryBytes >> 20) + " MB)");
    } catch (const std::exception& e) {
        report = ErrorReport(path + ": the model reader failed: " + e.what());
    }
    WriteAll(fd, report);
    ::close(fd);
    ::_exit(0);
}

std::string DescribeSignal(int sig) {
    const char* name = ::strsignal(sig);
    return "signal " + std::to_string(sig) + (name ? std::string(", ") + name : std::string());
}

}  // namespace

std::vector<PolyMesh> ReadWithAssimp(const std::string& path) {
    Assimp::Importer importer;
    // Vertices are welded by position afterwards; assimp's own joining would only cost time.
    importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS,
                                aiComponent_TANGENTS_AND_BITANGENTS | aiComponent_BONEWEIGHTS |
                                    aiComponent_ANIMATIONS | aiComponent_TEXTURES |
                                    aiComponent_LIGHTS | aiComponent_CAMERAS);
    const unsigned flags = aiProcess_RemoveComponent | aiProcess_ValidateDataStructure;
    const aiScene* scene = importer.ReadFile(path, flags);
    if (!scene) throw InputError(path + ": " + importer.GetErrorString());
    if ((scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) || !scene->mRootNode)
        throw InputError(path + ": the file holds no complete scene");
    std::vector<PolyMesh> meshes;
    CollectNodes(path, *scene, TwoSidedMaterials(*scene), *scene->mRootNode, aiMatrix4x4(),
                 &meshes);
    if (meshes.empty()) throw InputError(path + ": no polygons (only points, lines or nothing)");
    return meshes;
}

int64_t AvailableMemoryBytes() {
    int64_t available = ProcStatusKb("/proc/meminfo", "MemAvailable:");
    available = available < 0 ? 0 : available * 1024;
    const int64_t max = ReadNumberFile("/sys/fs/cgroup/memory.max");
    if (max > 0) {
        const int64_t left =
            std::max<int64_t>(0, max - ReadNumberFile("/sys/fs/cgroup/memory.current"));
        available = available > 0 ? std::min(available, left) : left;
    }
    return available;
}

std::vector<PolyMesh> ReadWithAssimpContained(const std::string& path, const ReaderLimits& limits) {
    using Clock = std::chrono::steady_clock;
    PollInterrupt(limits.interrupt);
    const int64_t memory = limits.memoryBytes > 0 ? limits.memoryBytes : AvailableMemoryBytes();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw InputError(path + ": cannot start the model reader: " + std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw InputError(path + ": cannot start the model reader: " + std::strerror(error));
    }
    if (child == 0) {
        ::close(fds[0]);
        RunChild(path, fds[1], memory);
    }
    ::close(fds[1]);
    const int fd = fds[0];
    // Whatever ends the wait, the child is gone and the pipe closed before this returns.
    const auto finish = [&](bool kill) {
        if (kill) ::kill(child, SIGKILL);
        ::close(fd);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    };
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limits.timeoutSeconds));
    std::string report;
    char buffer[1 << 16];
    for (;;) {
        if (limits.interrupt && *limits.interrupt) {
            finish(true);
            throw ImportInterrupted();
        }
        if (Clock::now() >= deadline) {
            finish(true);
            std::ostringstream message;
            message << path << ": the model reader did not finish within " << limits.timeoutSeconds
                    << " s (see --import-timeout)";
            throw InputError(message.str());
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (ready < 0 && errno != EINTR) {
            const int error = errno;
            finish(true);
            throw InputError(path + ": waiting for the model reader: " + std::strerror(error));
        }
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        report.append(buffer, size_t(n));
    }
    const int status = finish(false);
    if (limits.interrupt && *limits.interrupt) throw ImportInterrupted();
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGKILL) {
            throw InputError(path + ": the model reader was killed (" + DescribeSignal(sig) +
                             "), most likely for want of memory");
        }
        throw InputError(path + ": the model reader crashed on this file (" + DescribeSignal(sig) +
                         "); the file is probably damaged");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw InputError(path + ": the model reader failed (exit " +
                         std::to_string(WEXITSTATUS(status)) + ")");
    return ParseReport(path, report);
}

}  // namespace KvrnApp
