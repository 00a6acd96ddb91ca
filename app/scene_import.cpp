#include "scene_import.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

#include "assimp_import.h"
#include "obj_reader.h"
#include "ply_reader.h"
#include "stl_reader.h"
#include "thread_manager.h"
#include "vec3d.h"
#include "weld.h"

namespace KvrnApp {

using KvrnLib::Matrix3;

namespace {

std::string LowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

void CheckReadable(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) throw InputError(path + ": no such file");
    if (std::filesystem::is_directory(status))
        throw InputError(path + ": is a directory, expected a model file");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot be read: " + std::strerror(errno));
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) throw InputError(path + ": read error");
    return text.str();
}

// A file's bytes. A regular file is read at once into a buffer sized up front, in huge pages:
// a stream buffer would grow by copying, and fault the text in 4 KB at a time. A large one is read
// as two halves on the pool's workers, which share the copying and the page faults.
class FileText {
  public:
    FileText(const std::string& path, KvrnLib::ThreadManager* pool) {
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec) {
            // Not a regular file (a pipe): no size to read at once.
            copy_ = ReadWholeFile(path);
            text_ = copy_;
            return;
        }
        buffer_ = std::make_unique_for_overwrite<char[]>(size);
        AdviseHugePages(buffer_.get(), size);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw InputError(path + ": cannot be read: " + std::strerror(errno));
        constexpr uintmax_t kHalvesFromBytes = 1 << 20;
        const uintmax_t half = size >= kHalvesFromBytes && pool ? size / 2 : size;
        std::array<int, 2> errors{};
        KvrnLib::ParallelFor(half < size ? pool : nullptr, half < size ? 2 : 1, [&](int part) {
            const uintmax_t begin = part == 0 ? 0 : half, end = part == 0 ? half : size;
            errors[size_t(part)] = ReadRange(fd, buffer_.get(), begin, end);
        });
        ::close(fd);
        if (errors[0] != 0 || errors[1] != 0) throw InputError(path + ": read error");
        text_ = std::string_view(buffer_.get(), size);
    }

    std::string_view Text() const { return text_; }

  private:
    // Bytes [begin, end) of the file into the same place of `buffer`; 0, or -1 when the file ends
    // early (it shrank since its size was taken), or the errno of a failed read.
    static int ReadRange(int fd, char* buffer, uintmax_t begin, uintmax_t end) {
        while (begin < end) {
            const ssize_t got = ::pread(fd, buffer + begin, size_t(end - begin), off_t(begin));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return errno;
            if (got == 0) return -1;
            begin += uintmax_t(got);
        }
        return 0;
    }

    std::unique_ptr<char[]> buffer_;
    std::string copy_;
    std::string_view text_;
};

// The texture file a material names, looked for in the model file's folder: as written, with
// Windows separators turned, and by its bare name (exporters often keep the path of the machine
// the model was made on). Empty when none is a file.
std::string FindTexture(const std::filesystem::path& folder, const std::string& name) {
    std::string turned = name;
    std::replace(turned.begin(), turned.end(), '\\', '/');
    const std::filesystem::path candidates[] = {folder / name, folder / turned,
                                                folder / std::filesystem::path(turned).filename()};
    for (const std::filesystem::path& candidate : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate.lexically_normal();
    }
    return std::string();
}

// Texture names become paths of files that are there; a missing one is dropped with a warning,
// since the model is fine without it.
void ResolveTextures(const std::string& path, FileScene* scene) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    for (FileMaterial& material : scene->materials) {
        if (material.diffuseMap.empty()) continue;
        // assimp names a texture embedded in the file "*<index>"; those are not read.
        const bool embedded = material.diffuseMap.front() == '*';
        const std::string found =
            embedded ? std::string() : FindTexture(folder, material.diffuseMap);
        if (found.empty()) {
            scene->warnings.push_back(
                path + ": texture '" + material.diffuseMap + "' of material '" + material.name +
                (embedded ? "' is embedded in the file, which is not supported" : "' not found") +
                "; the material is used without it");
        }
        material.diffuseMap = found;
    }
}

}  // namespace

Matrix3 RigidFrame(const Matrix3& m) {
    const Vec3d back = NormalizedD(ToD(m.row[2]));
    Vec3d right = NormalizedD(CrossD(ToD(m.row[1]), back));
    // Up along the view: any right angle to it will do.
    if (LengthD(right) == 0) right = NormalizedD(CrossD(Vec3d{0, 0, 1}, back));
    if (LengthD(right) == 0) right = NormalizedD(CrossD(Vec3d{0, 1, 0}, back));
    Matrix3 rigid;
    if (LengthD(back) == 0) {
        rigid.row[3] = m.row[3];
        return rigid;
    }
    rigid.row[0] = ToF(right);
    rigid.row[1] = ToF(CrossD(back, right));
    rigid.row[2] = ToF(back);
    rigid.row[3] = m.row[3];
    return rigid;
}

Matrix3 YUpToZUp() {
    Matrix3 m;
    m.row[0] = {1, 0, 0};
    m.row[1] = {0, 0, 1};
    m.row[2] = {0, -1, 0};
    return m;
}

bool IsYUpFormat(const std::string& path) {
    const std::string ext = LowerExtension(path);
    return ext == ".obj" || ext == ".gltf" || ext == ".glb" || ext == ".fbx" || ext == ".dae" ||
           ext == ".3ds";
}

const std::vector<std::string>& SupportedExtensions() {
    static const std::vector<std::string> kExtensions = {".obj", ".gltf", ".glb", ".fbx",
                                                         ".dae", ".3ds",  ".ply", ".stl"};
    return kExtensions;
}

ImportedModel ImportScene(const std::string& path, const ImportOptions& options) {
    CheckReadable(path);
    const std::string ext = LowerExtension(path);
    const auto& known = SupportedExtensions();
    if (std::find(known.begin(), known.end(), ext) == known.end()) {
        std::string list;
        for (const std::string& e : known) list += (list.empty() ? "" : " ") + e;
        throw InputError(path + ": unsupported file type '" + ext + "' (expected one of " + list +
                         ")");
    }
    ImportedModel model;
    if (ext == ".obj" || ext == ".ply" || ext == ".stl") {
        const FileText text(path, options.pool);
        if (ext == ".obj") {
            ObjMaterialRefs refs;
            model.meshes = ReadObjOnPool(path, text.Text(), options.interrupt, options.pool, &refs);
            model.scene = ReadObjMaterials(path, refs);
        } else {
            model.meshes = ext == ".ply" ? ReadPly(path, text.Text(), options.interrupt)
                                         : ReadStl(path, text.Text(), options.interrupt);
        }
    } else {
        ReaderLimits limits;
        limits.timeoutSeconds = options.timeoutSeconds;
        limits.memoryBytes = options.memoryBytes;
        limits.interrupt = options.interrupt;
        model.meshes = ReadWithAssimpContained(path, limits, &model.scene);
    }
    ResolveTextures(path, &model.scene);
    model.upFromFormat = options.up == UpAxis::kFormatDefault;
    model.yUp = model.upFromFormat ? IsYUpFormat(path) : options.up == UpAxis::kY;
    const Matrix3 axes = model.yUp ? YUpToZUp() : Matrix3::Identity();
    for (PolyMesh& mesh : model.meshes) {
        PollInterrupt(options.interrupt);
        mesh.objToWorld = mesh.objToWorld * axes;
        model.weldedVertices += WeldVertices(mesh, options.weldDistance);
    }
    for (FileCamera& camera : model.scene.cameras)
        camera.camToWorld = RigidFrame(camera.camToWorld * axes);
    for (FileLight& light : model.scene.lights)
        light.lightToWorld = RigidFrame(light.lightToWorld * axes);
    return model;
}

}  // namespace KvrnApp
