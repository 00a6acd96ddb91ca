#include "assimp_import.h"

#include <assimp/camera.h>
#include <assimp/light.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <numbers>
#include <span>
#include <sstream>

#include "memory_budget.h"

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

// A node's polygons as flat arrays: what assimp's scene is turned into, and what crosses from the
// child to the parent in a few large copies instead of one per polygon.
struct FlatMesh {
    std::string name;
    Matrix3 objToWorld;
    std::vector<Point3> vertices;
    // Per map channel: empty, or one map vertex per vertex (a polygon's map corners are then its
    // vertex corners).
    std::array<std::vector<Point3>, kPolyMapChannels> mapVertices;
    std::vector<uint32_t> cornerCounts;  // per polygon
    std::vector<uint16_t> materialIDs;   // per polygon
    std::vector<uint8_t> flags;          // per polygon: FlatPolygonBits
    std::vector<int32_t> corners;        // vertex index per corner
    std::vector<Point3> normals;         // per corner of the polygons with kHasNormals
};
enum FlatPolygonBits : uint8_t { kHasNormals = 1, kTwoSided = 2 };

void AppendMesh(const std::string& path, const aiMesh& src, bool twoSided, FlatMesh* mesh) {
    if (src.mMaterialIndex > 65535) {
        throw InputError(path + ": material index " + std::to_string(src.mMaterialIndex) +
                         " exceeds 65535");
    }
    const size_t base = mesh->vertices.size();
    for (unsigned v = 0; v < src.mNumVertices; ++v)
        mesh->vertices.push_back(ToPoint3(src.mVertices[v]));
    // A channel only some of the node's meshes have gets zeros for the others.
    const aiVector3D* uvs = src.mTextureCoords[0];
    const aiColor4D* colors = src.mColors[0];
    const bool maps[kPolyMapChannels] = {colors != nullptr, uvs != nullptr};
    for (int c = 0; c < kPolyMapChannels; ++c) {
        std::vector<Point3>& channel = mesh->mapVertices[c];
        if (!maps[c] && channel.empty()) continue;
        channel.resize(base);
        for (unsigned v = 0; v < src.mNumVertices; ++v) {
            if (c == kColorChannel)
                channel.push_back(colors ? Point3{colors[v].r, colors[v].g, colors[v].b}
                                         : Point3{});
            else
                channel.push_back(uvs ? ToPoint3(uvs[v]) : Point3{});
        }
    }
    const uint8_t bits = uint8_t((src.mNormals ? kHasNormals : 0) | (twoSided ? kTwoSided : 0));
    for (unsigned f = 0; f < src.mNumFaces; ++f) {
        const aiFace& face = src.mFaces[f];
        if (face.mNumIndices < 3) continue;  // points and lines draw no lines of ours
        for (unsigned i = 0; i < face.mNumIndices; ++i) {
            const unsigned index = face.mIndices[i];
            if (index >= src.mNumVertices) {
                throw InputError(path + ": mesh '" + src.mName.C_Str() + "' face " +
                                 std::to_string(f) + " has a vertex index out of range");
            }
            mesh->corners.push_back(int32_t(base + index));
            if (src.mNormals) mesh->normals.push_back(ToPoint3(src.mNormals[index]));
        }
        mesh->cornerCounts.push_back(face.mNumIndices);
        mesh->materialIDs.push_back(uint16_t(src.mMaterialIndex));
        mesh->flags.push_back(bits);
    }
}

void CollectNodes(const std::string& path, const aiScene& scene, const std::vector<bool>& twoSided,
                  const aiNode& node, const aiMatrix4x4& parent, std::vector<FlatMesh>* out) {
    const aiMatrix4x4 global = parent * node.mTransformation;
    FlatMesh mesh;
    mesh.name = node.mName.length > 0 ? node.mName.C_Str() : "node" + std::to_string(out->size());
    mesh.objToWorld = ToMatrix3(global);
    for (unsigned m = 0; m < node.mNumMeshes; ++m) {
        if (node.mMeshes[m] >= scene.mNumMeshes) continue;
        const aiMesh& src = *scene.mMeshes[node.mMeshes[m]];
        const bool sided = src.mMaterialIndex < twoSided.size() && twoSided[src.mMaterialIndex];
        AppendMesh(path, src, sided, &mesh);
    }
    if (!mesh.cornerCounts.empty()) out->push_back(std::move(mesh));
    for (unsigned c = 0; c < node.mNumChildren; ++c)
        CollectNodes(path, scene, twoSided, *node.mChildren[c], global, out);
}

// ---- Materials, cameras and lights.

float Clamped(float value, float low, float high, float fallback) {
    return std::isfinite(value) ? std::clamp(value, low, high) : fallback;
}

bool IsGltf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".gltf" || ext == ".glb";
}

FileMaterial ReadMaterial(const aiMaterial& src) {
    FileMaterial material;
    material.name = src.GetName().C_Str();
    aiColor4D color;
    if (src.Get(AI_MATKEY_COLOR_DIFFUSE, color) == aiReturn_SUCCESS ||
        src.Get(AI_MATKEY_BASE_COLOR, color) == aiReturn_SUCCESS) {
        material.diffuse = {Clamped(color.r, 0, 1, 0.5f), Clamped(color.g, 0, 1, 0.5f),
                            Clamped(color.b, 0, 1, 0.5f)};
    }
    float opacity = 1;
    if (src.Get(AI_MATKEY_OPACITY, opacity) == aiReturn_SUCCESS)
        material.opacity = Clamped(opacity, 0, 1, 1);
    int twoSided = 0;
    if (src.Get(AI_MATKEY_TWOSIDED, twoSided) == aiReturn_SUCCESS) material.twoSided = twoSided;
    aiString texture;
    if (src.GetTexture(aiTextureType_DIFFUSE, 0, &texture) == aiReturn_SUCCESS ||
        src.GetTexture(aiTextureType_BASE_COLOR, 0, &texture) == aiReturn_SUCCESS)
        material.diffuseMap = texture.C_Str();
    // assimp adds a material of its own for faces the file gives none: named so, or (glTF)
    // unnamed with nothing set.
    const bool added =
        material.name == AI_DEFAULT_MATERIAL_NAME ||
        (material.name.empty() && material.diffuseMap.empty() &&
         material.diffuse == Point3{1, 1, 1} && material.opacity == 1 && !material.twoSided);
    material.given = !added;
    return material;
}

// The node's transform accumulated from the root, or null when no node has that name.
const aiNode* NodeTransform(const aiScene& scene, const aiString& name, aiMatrix4x4* global) {
    const aiNode* node = scene.mRootNode->FindNode(name);
    if (!node) return nullptr;
    *global = node->mTransformation;
    for (const aiNode* up = node->mParent; up; up = up->mParent)
        *global = up->mTransformation * *global;
    return node;
}

// The frame at `position` looking along `look` with `up` above, in file axes once the node's
// transform is applied (Matrix3 rows: right, up, back, position).
Matrix3 ViewFrame(const aiVector3D& position, const aiVector3D& look, const aiVector3D& up,
                  const aiMatrix4x4& node) {
    Matrix3 local;
    local.row[1] = ToPoint3(up);
    local.row[2] = ToPoint3(-look);
    local.row[3] = ToPoint3(position);
    local.row[0] = KvrnLib::Cross(local.row[1], local.row[2]);
    return local * ToMatrix3(node);
}

void ReadCameras(const aiScene& scene, bool gltf, FileScene* out) {
    for (unsigned c = 0; c < scene.mNumCameras; ++c) {
        const aiCamera& src = *scene.mCameras[c];
        aiMatrix4x4 global;
        if (!NodeTransform(scene, src.mName, &global)) continue;  // placed nowhere
        FileCamera& camera = out->cameras.emplace_back();
        camera.name = src.mName.C_Str();
        // The glTF reader also copies the node's translation into the camera's position: a
        // glTF camera sits at its node's origin.
        camera.camToWorld =
            ViewFrame(gltf ? aiVector3D() : src.mPosition, src.mLookAt, src.mUp, global);
        constexpr float kMaxFov = 179.0f * std::numbers::pi_v<float> / 180.0f;
        if (src.mOrthographicWidth > 0) {
            camera.ortho = true;
            camera.orthoWidth = 2 * src.mOrthographicWidth;  // assimp keeps half the width
        } else if (gltf && src.mAspect > 0) {
            // The glTF reader gives the vertical angle times the aspect ratio.
            camera.fovVertical = true;
            camera.fovRadians = Clamped(src.mHorizontalFOV / src.mAspect, 1e-4f, kMaxFov, 0.8f);
        } else {
            // assimp documents half the horizontal angle, but its Collada and FBX readers give
            // the files' own full angle.
            camera.fovRadians = Clamped(src.mHorizontalFOV, 1e-4f, kMaxFov, 0.785398163f);
        }
        if (src.mClipPlaneNear > 0 && src.mClipPlaneFar > src.mClipPlaneNear) {
            camera.nearClip = src.mClipPlaneNear;
            camera.farClip = src.mClipPlaneFar;
        }
    }
}

void ReadLights(const std::string& path, const aiScene& scene, bool gltf, FileScene* out) {
    for (unsigned l = 0; l < scene.mNumLights; ++l) {
        const aiLight& src = *scene.mLights[l];
        FileLight light;
        switch (src.mType) {
            case aiLightSource_POINT:
                light.type = FileLight::Type::kPoint;
                break;
            case aiLightSource_SPOT:
                light.type = FileLight::Type::kSpot;
                break;
            case aiLightSource_DIRECTIONAL:
                light.type = FileLight::Type::kDirectional;
                break;
            default:
                out->warnings.push_back(path + ": light '" + src.mName.C_Str() +
                                        "' is of a kind that is not supported; left out");
                continue;
        }
        aiMatrix4x4 global;
        if (!NodeTransform(scene, src.mName, &global)) continue;
        light.name = src.mName.C_Str();
        const aiVector3D direction =
            src.mDirection.SquareLength() > 0 ? src.mDirection : aiVector3D(0, 0, -1);
        light.lightToWorld = ViewFrame(src.mPosition, direction, src.mUp, global);
        // Colour and intensity arrive multiplied: the brightest component becomes the intensity.
        const Point3 color = {Clamped(src.mColorDiffuse.r, 0, 1e6f, 0),
                              Clamped(src.mColorDiffuse.g, 0, 1e6f, 0),
                              Clamped(src.mColorDiffuse.b, 0, 1e6f, 0)};
        const float brightest = std::max({color.x, color.y, color.z});
        light.intensity = brightest;
        light.color = brightest > 0 ? color * (1.0f / brightest) : Point3{};
        if (light.type == FileLight::Type::kSpot) {
            // glTF angles run from the axis; assimp's are full cones.
            const float scale = (gltf ? 2.0f : 1.0f) * 180.0f / std::numbers::pi_v<float>;
            light.falloffDeg = Clamped(src.mAngleOuterCone * scale, 0, 179, 45);
            light.hotspotDeg =
                std::min(Clamped(src.mAngleInnerCone * scale, 0, 179, 43), light.falloffDeg);
        }
        out->lights.push_back(std::move(light));
    }
}

FileScene ReadFileScene(const std::string& path, const aiScene& scene) {
    FileScene out;
    const bool gltf = IsGltf(path);
    bool anyMaterial = false;
    for (unsigned m = 0; m < scene.mNumMaterials; ++m) {
        out.materials.push_back(scene.mMaterials[m] ? ReadMaterial(*scene.mMaterials[m])
                                                    : FileMaterial{});
        anyMaterial = anyMaterial || out.materials.back().given;
    }
    if (!anyMaterial) out.materials.clear();
    ReadCameras(scene, gltf, &out);
    ReadLights(path, scene, gltf, &out);
    return out;
}

std::vector<FlatMesh> ReadFlat(const std::string& path, FileScene* fileScene) {
    Assimp::Importer importer;
    // Vertices are welded by position afterwards; assimp's own joining would only cost time.
    importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS,
                                aiComponent_TANGENTS_AND_BITANGENTS | aiComponent_BONEWEIGHTS |
                                    aiComponent_ANIMATIONS | aiComponent_TEXTURES);
    const unsigned flags = aiProcess_RemoveComponent | aiProcess_ValidateDataStructure;
    const aiScene* scene = importer.ReadFile(path, flags);
    if (!scene) {
        const std::string error = importer.GetErrorString();
        // assimp catches its own allocation failures and reports them as text.
        if (error.find("bad_alloc") != std::string::npos) throw std::bad_alloc();
        throw InputError(path + ": " + error);
    }
    if ((scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) || !scene->mRootNode)
        throw InputError(path + ": the file holds no complete scene");
    std::vector<FlatMesh> meshes;
    CollectNodes(path, *scene, TwoSidedMaterials(*scene), *scene->mRootNode, aiMatrix4x4(),
                 &meshes);
    if (meshes.empty()) throw InputError(path + ": no polygons (only points, lines or nothing)");
    if (fileScene) *fileScene = ReadFileScene(path, *scene);
    return meshes;
}

// The per-polygon arrays of a FlatMesh, wherever they lie (its vectors, or the child's report).
struct PolygonArrays {
    std::span<const uint32_t> cornerCounts;
    std::span<const uint16_t> materialIDs;
    std::span<const uint8_t> flags;
    std::span<const int32_t> corners;
    std::span<const Point3> normals;
};

PolygonArrays ArraysOf(const FlatMesh& flat) {
    return {flat.cornerCounts, flat.materialIDs, flat.flags, flat.corners, flat.normals};
}

// Sizes agree, so that AddPolygons never reads past an array; indices are checked later by
// triangulation.
bool Consistent(const PolygonArrays& arrays) {
    const size_t polygons = arrays.cornerCounts.size();
    if (arrays.materialIDs.size() != polygons || arrays.flags.size() != polygons) return false;
    size_t corners = 0, normals = 0;
    for (size_t p = 0; p < polygons; ++p) {
        corners += arrays.cornerCounts[p];
        if (arrays.flags[p] & kHasNormals) normals += arrays.cornerCounts[p];
    }
    return corners == arrays.corners.size() && normals == arrays.normals.size();
}

void AddPolygons(const PolygonArrays& arrays, PolyMesh* mesh) {
    ReserveLarge(mesh->polygons, arrays.cornerCounts.size());
    size_t corner = 0, normal = 0;
    for (size_t p = 0; p < arrays.cornerCounts.size(); ++p) {
        const size_t n = arrays.cornerCounts[p];
        Polygon& poly = mesh->polygons.emplace_back();
        const auto corners = arrays.corners.subspan(corner, n);
        poly.vertices.assign(corners.begin(), corners.end());
        if (arrays.flags[p] & kHasNormals) {
            const auto normals = arrays.normals.subspan(normal, n);
            poly.normals.assign(normals.begin(), normals.end());
            normal += n;
        }
        for (int c = 0; c < kPolyMapChannels; ++c)
            if (!mesh->mapVertices[c].empty()) poly.mapCorners[c] = poly.vertices;
        poly.materialID = arrays.materialIDs[p];
        poly.twoSided = (arrays.flags[p] & kTwoSided) != 0;
        corner += n;
    }
}

// ---- The child's report: the flat meshes' arrays, read back with every size checked.

constexpr uint32_t kReportMagic = 0x4b565232;  // "KVR2"
enum ReportStatus : uint8_t { kReportMeshes = 0, kReportError = 1 };

// Writes the report straight into the shared file: small fields through a buffer, arrays with
// one write each, every array starting at a multiple of 8 bytes so the parent can read it in
// place. Write errors surface as a short report, which the parent calls damaged.
class ReportWriter {
  public:
    explicit ReportWriter(int fd) : fd_(fd) {}
    ~ReportWriter() { Flush(); }

    template <class T>
    void Put(const T& value) {
        buffer_.append(reinterpret_cast<const char*>(&value), sizeof(T));
    }
    template <class T>
    void PutArray(const std::vector<T>& values) {
        Put(uint64_t(values.size()));
        Pad();
        Write(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
        Pad();
    }
    void PutString(const std::string& s) {
        Put(uint64_t(s.size()));
        buffer_ += s;
        Pad();
    }
    void Flush() {
        WriteAll(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

  private:
    void Pad() { buffer_.append((8 - (written_ + buffer_.size()) % 8) % 8, '\0'); }
    void Write(const char* data, size_t size) {
        if (size < 4096) {
            buffer_.append(data, size);
            return;
        }
        Flush();
        WriteAll(data, size);
    }
    void WriteAll(const char* data, size_t size) {
        written_ += size;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += size_t(n);
        }
    }

    int fd_;
    std::string buffer_;
    size_t written_ = 0;  // bytes already in the file
};

enum FileSceneBits : uint8_t { kGiven = 1, kSided = 2, kOrtho = 4, kFovVertical = 8 };

void WriteFileScene(ReportWriter& w, const FileScene& scene) {
    w.Put(uint64_t(scene.materials.size()));
    for (const FileMaterial& m : scene.materials) {
        w.PutString(m.name);
        w.Put(uint8_t((m.given ? kGiven : 0) | (m.twoSided ? kSided : 0)));
        w.Put(m.diffuse);
        w.Put(m.opacity);
        w.PutString(m.diffuseMap);
    }
    w.Put(uint64_t(scene.cameras.size()));
    for (const FileCamera& c : scene.cameras) {
        w.PutString(c.name);
        w.Put(c.camToWorld);
        w.Put(uint8_t((c.ortho ? kOrtho : 0) | (c.fovVertical ? kFovVertical : 0)));
        w.Put(c.fovRadians);
        w.Put(c.orthoWidth);
        w.Put(c.nearClip);
        w.Put(c.farClip);
    }
    w.Put(uint64_t(scene.lights.size()));
    for (const FileLight& l : scene.lights) {
        w.PutString(l.name);
        w.Put(l.type);
        w.Put(l.lightToWorld);
        w.Put(l.color);
        w.Put(l.intensity);
        w.Put(l.hotspotDeg);
        w.Put(l.falloffDeg);
    }
    w.Put(uint64_t(scene.warnings.size()));
    for (const std::string& warning : scene.warnings) w.PutString(warning);
}

void WriteMeshReport(int fd, const std::vector<FlatMesh>& meshes, const FileScene& scene) {
    ReportWriter w(fd);
    w.Put(kReportMagic);
    w.Put(uint8_t(kReportMeshes));
    w.Put(uint64_t(meshes.size()));
    for (const FlatMesh& mesh : meshes) {
        w.PutString(mesh.name);
        w.Put(mesh.objToWorld);
        w.PutArray(mesh.vertices);
        for (const auto& channel : mesh.mapVertices) w.PutArray(channel);
        w.PutArray(mesh.cornerCounts);
        w.PutArray(mesh.materialIDs);
        w.PutArray(mesh.flags);
        w.PutArray(mesh.corners);
        w.PutArray(mesh.normals);
    }
    WriteFileScene(w, scene);
}

void WriteErrorReport(int fd, const std::string& message) {
    ReportWriter w(fd);
    w.Put(kReportMagic);
    w.Put(uint8_t(kReportError));
    w.PutString(message);
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
        const uint64_t n = Get<uint64_t>();
        Align();
        if (n > (data_.size() - at_) / sizeof(T)) Damaged();
        values->resize(size_t(n));
        std::memcpy(values->data(), Take(size_t(n) * sizeof(T)), size_t(n) * sizeof(T));
        Align();
    }
    // An array left where it lies in the report (8-byte aligned there).
    template <class T>
    std::span<const T> ViewArray() {
        const uint64_t n = Get<uint64_t>();
        Align();
        if (n > (data_.size() - at_) / sizeof(T)) Damaged();
        const T* first = reinterpret_cast<const T*>(Take(size_t(n) * sizeof(T)));
        Align();
        return {first, size_t(n)};
    }
    std::string GetString() {
        const uint64_t n = Get<uint64_t>();
        const char* text = Take(size_t(n));
        Align();
        return std::string(text, size_t(n));
    }
    bool AtEnd() const { return at_ == data_.size(); }
    [[noreturn]] void Damaged() const {
        throw InputError(path_ + ": the model reader's report is damaged");
    }

  private:
    void Align() { Take((8 - at_ % 8) % 8); }
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

// A count read from the report, no larger than the bytes left could hold.
size_t Count(ReportReader& in, size_t bytes) {
    const uint64_t n = in.Get<uint64_t>();
    if (n > bytes) in.Damaged();
    return size_t(n);
}

FileScene ParseFileScene(ReportReader& in, size_t bytes) {
    FileScene scene;
    scene.materials.resize(Count(in, bytes));
    for (FileMaterial& m : scene.materials) {
        m.name = in.GetString();
        const uint8_t bits = in.Get<uint8_t>();
        m.given = bits & kGiven;
        m.twoSided = bits & kSided;
        m.diffuse = in.Get<Point3>();
        m.opacity = in.Get<float>();
        m.diffuseMap = in.GetString();
    }
    scene.cameras.resize(Count(in, bytes));
    for (FileCamera& c : scene.cameras) {
        c.name = in.GetString();
        c.camToWorld = in.Get<Matrix3>();
        const uint8_t bits = in.Get<uint8_t>();
        c.ortho = bits & kOrtho;
        c.fovVertical = bits & kFovVertical;
        c.fovRadians = in.Get<float>();
        c.orthoWidth = in.Get<float>();
        c.nearClip = in.Get<float>();
        c.farClip = in.Get<float>();
    }
    scene.lights.resize(Count(in, bytes));
    for (FileLight& l : scene.lights) {
        l.name = in.GetString();
        l.type = in.Get<FileLight::Type>();
        if (l.type > FileLight::Type::kDirectional) in.Damaged();
        l.lightToWorld = in.Get<Matrix3>();
        l.color = in.Get<Point3>();
        l.intensity = in.Get<float>();
        l.hotspotDeg = in.Get<float>();
        l.falloffDeg = in.Get<float>();
    }
    scene.warnings.resize(Count(in, bytes));
    for (std::string& warning : scene.warnings) warning = in.GetString();
    return scene;
}

// The report read into meshes: the polygon arrays straight from where they lie in it.
std::vector<PolyMesh> ParseReport(const std::string& path, std::string_view data,
                                  FileScene* scene) {
    ReportReader in(path, data);
    if (in.Get<uint32_t>() != kReportMagic) in.Damaged();
    const uint8_t status = in.Get<uint8_t>();
    if (status == kReportError) throw InputError(in.GetString());
    if (status != kReportMeshes) in.Damaged();
    const uint64_t count = in.Get<uint64_t>();
    if (count > data.size()) in.Damaged();
    std::vector<PolyMesh> meshes;
    for (uint64_t m = 0; m < count; ++m) {
        PolyMesh& mesh = meshes.emplace_back();
        mesh.source = path;
        mesh.name = in.GetString();
        mesh.objToWorld = in.Get<Matrix3>();
        in.GetArray(&mesh.vertices);
        for (auto& channel : mesh.mapVertices) {
            in.GetArray(&channel);
            if (!channel.empty() && channel.size() != mesh.vertices.size()) in.Damaged();
        }
        PolygonArrays arrays;
        arrays.cornerCounts = in.ViewArray<uint32_t>();
        arrays.materialIDs = in.ViewArray<uint16_t>();
        arrays.flags = in.ViewArray<uint8_t>();
        arrays.corners = in.ViewArray<int32_t>();
        arrays.normals = in.ViewArray<Point3>();
        if (!Consistent(arrays)) in.Damaged();
        AddPolygons(arrays, &mesh);
    }
    FileScene read = ParseFileScene(in, data.size());
    if (!in.AtEnd()) in.Damaged();
    if (scene) *scene = std::move(read);
    return meshes;
}

// The child's whole life: read, write the report into the shared file, exit without running the
// parent's exit handlers. Its end of the pipe closes when it exits, which is what the parent
// waits for.
[[noreturn]] void RunChild(const std::string& path, int reportFd, int64_t memoryBytes) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (memoryBytes > 0) {
        const int64_t current = AddressSpaceBytes();
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t(std::max<int64_t>(current, 0) + memoryBytes);
        ::setrlimit(RLIMIT_AS, &limit);
    }
    try {
        FileScene scene;
        const std::vector<FlatMesh> meshes = ReadFlat(path, &scene);
        WriteMeshReport(reportFd, meshes, scene);
    } catch (const InputError& e) {
        WriteErrorReport(reportFd, e.what());
    } catch (const std::bad_alloc&) {
        WriteErrorReport(reportFd, path + ": the model reader ran out of memory (limit " +
                                       std::to_string(memoryBytes >> 20) + " MB)");
    } catch (const std::exception& e) {
        WriteErrorReport(reportFd, path + ": the model reader failed: " + e.what());
    }
    ::_exit(0);
}

std::string DescribeSignal(int sig) {
    const char* name = ::strsignal(sig);
    return "signal " + std::to_string(sig) + (name ? std::string(", ") + name : std::string());
}

// Closes a descriptor on every way out.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::vector<PolyMesh> ReadWithAssimp(const std::string& path, FileScene* scene) {
    std::vector<PolyMesh> meshes;
    for (FlatMesh& flat : ReadFlat(path, scene)) {
        PolyMesh& mesh = meshes.emplace_back();
        mesh.source = path;
        mesh.name = std::move(flat.name);
        mesh.objToWorld = flat.objToWorld;
        mesh.vertices = std::move(flat.vertices);
        mesh.mapVertices = std::move(flat.mapVertices);
        AddPolygons(ArraysOf(flat), &mesh);
    }
    return meshes;
}

std::vector<PolyMesh> ReadWithAssimpContained(const std::string& path, const ReaderLimits& limits,
                                              FileScene* scene) {
    using Clock = std::chrono::steady_clock;
    PollInterrupt(limits.interrupt);
    const int64_t memory = limits.memoryBytes > 0 ? limits.memoryBytes : AvailableMemoryBytes();
    const auto cannotStart = [&path](int error) {
        return InputError(path + ": cannot start the model reader: " + std::strerror(error));
    };
    // The report goes through an anonymous in-memory file, mapped by the parent once the child
    // is done: a pipe would copy it twice and grow a buffer by halves.
    const FdCloser report{::memfd_create("kovrin-import", MFD_CLOEXEC)};
    if (report.fd < 0) throw cannotStart(errno);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw cannotStart(errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw cannotStart(error);
    }
    if (child == 0) {
        ::close(fds[0]);
        RunChild(path, report.fd, memory);
    }
    ::close(fds[1]);
    const FdCloser alive{fds[0]};
    // Whatever ends the wait, the child is reaped before this returns.
    const auto reap = [child](bool kill) {
        if (kill) ::kill(child, SIGKILL);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    };
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limits.timeoutSeconds));
    for (;;) {
        if (limits.interrupt && *limits.interrupt) {
            reap(true);
            throw ImportInterrupted();
        }
        if (Clock::now() >= deadline) {
            reap(true);
            std::ostringstream message;
            message << path << ": the model reader did not finish within " << limits.timeoutSeconds
                    << " s (see --import-timeout)";
            throw InputError(message.str());
        }
        pollfd p{alive.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 20);
        if (ready < 0 && errno != EINTR) {
            const int error = errno;
            reap(true);
            throw InputError(path + ": waiting for the model reader: " + std::strerror(error));
        }
        if (ready > 0) break;  // the child never writes to the pipe: this is its exit
    }
    const int status = reap(false);
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw InputError(path + ": the model reader failed (exit " +
                         std::to_string(WEXITSTATUS(status)) + ")");
    }
    struct stat info {};
    if (::fstat(report.fd, &info) != 0 || info.st_size <= 0)
        throw InputError(path + ": the model reader gave no report");
    const size_t size = size_t(info.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, report.fd, 0);
    if (mapped == MAP_FAILED)
        throw InputError(path + ": cannot read the model reader's report: " + std::strerror(errno));
    std::vector<PolyMesh> meshes;
    try {
        meshes = ParseReport(path, std::string_view(static_cast<const char*>(mapped), size), scene);
    } catch (...) {
        ::munmap(mapped, size);
        throw;
    }
    ::munmap(mapped, size);
    return meshes;
}

}  // namespace KvrnApp
