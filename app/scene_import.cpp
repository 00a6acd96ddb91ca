#include "scene_import.h"

#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <unordered_map>

namespace KvrnApp {

using KvrnLib::Matrix3;
using KvrnLib::Point3;

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

// ---- OBJ ----------------------------------------------------------------------------------

struct ObjCorner {
    int32_t vertex = -1;
    int32_t normal = -1;  // -1: none
};

struct ObjFace {
    int32_t firstCorner = 0;
    int32_t cornerCount = 0;
    int32_t line = 0;
    uint16_t materialID = 0;
};

struct ObjSection {
    std::string name;
    std::vector<ObjFace> faces;
};

class ObjParser {
  public:
    explicit ObjParser(const std::string& path) : path_(path) {}

    std::vector<PolyMesh> Parse(const std::string& text);

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(path_ + ":" + std::to_string(line_) + ": " + what);
    }
    float Number(std::string_view token) const;
    Point3 Vector(std::string_view rest) const;
    int32_t Index(std::string_view token, int64_t count, const char* kind) const;
    void Face(std::string_view rest);
    PolyMesh BuildMesh(const ObjSection& section);

    std::string path_;
    int line_ = 0;
    std::vector<Point3> positions_;
    std::vector<int32_t> positionSection_;  // section that declared each vertex
    std::vector<Point3> normals_;
    std::vector<ObjCorner> corners_;
    std::vector<ObjSection> sections_;
    std::unordered_map<std::string, uint16_t> materials_;
    uint16_t material_ = 0;
    std::vector<int32_t> localIndex_;  // per file vertex, while building one mesh
};

std::string_view NextToken(std::string_view* rest) {
    const size_t start = rest->find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        *rest = {};
        return {};
    }
    const size_t end = rest->find_first_of(" \t", start);
    const std::string_view token = rest->substr(start, end - start);
    *rest = end == std::string_view::npos ? std::string_view{} : rest->substr(end);
    return token;
}

float ObjParser::Number(std::string_view token) const {
    float value = 0;
    const char* end = token.data() + token.size();
    const auto [ptr, ec] = std::from_chars(token.data(), end, value);
    if (token.empty() || ec != std::errc() || ptr != end || !std::isfinite(value))
        Fail("expected a number, got '" + std::string(token) + "'");
    return value;
}

Point3 ObjParser::Vector(std::string_view rest) const {
    Point3 p;
    p.x = Number(NextToken(&rest));
    p.y = Number(NextToken(&rest));
    p.z = Number(NextToken(&rest));
    return p;
}

// OBJ indices count from 1; negative ones count back from the latest element.
int32_t ObjParser::Index(std::string_view token, int64_t count, const char* kind) const {
    int64_t value = 0;
    const char* end = token.data() + token.size();
    const auto [ptr, ec] = std::from_chars(token.data(), end, value);
    if (token.empty() || ec != std::errc() || ptr != end)
        Fail(std::string("expected a ") + kind + " index, got '" + std::string(token) + "'");
    if (value == 0) Fail(std::string(kind) + " index 0 is invalid (indices start at 1)");
    const int64_t resolved = value > 0 ? value - 1 : count + value;
    if (resolved < 0 || resolved > INT32_MAX) {
        Fail(std::string(kind) + " index " + std::to_string(value) + " is out of range (" +
             std::to_string(count) + " defined so far)");
    }
    return int32_t(resolved);
}

void ObjParser::Face(std::string_view rest) {
    ObjFace face;
    face.firstCorner = int32_t(corners_.size());
    face.line = line_;
    face.materialID = material_;
    for (std::string_view token = NextToken(&rest); !token.empty(); token = NextToken(&rest)) {
        ObjCorner corner;
        const size_t slash = token.find('/');
        corner.vertex = Index(token.substr(0, slash), int64_t(positions_.size()), "vertex");
        if (slash != std::string_view::npos) {
            const size_t slash2 = token.find('/', slash + 1);
            if (slash2 != std::string_view::npos && slash2 + 1 < token.size())
                corner.normal = Index(token.substr(slash2 + 1), int64_t(normals_.size()), "normal");
        }
        corners_.push_back(corner);
        ++face.cornerCount;
    }
    if (sections_.empty()) sections_.push_back({});
    sections_.back().faces.push_back(face);
}

std::vector<PolyMesh> ObjParser::Parse(const std::string& text) {
    std::string_view all(text);
    std::string joined;  // a line continued with a trailing backslash
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string_view::npos) end = all.size();
        std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        ++line_;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\\') {
            joined.append(line.substr(0, line.size() - 1)).push_back(' ');
            continue;
        }
        if (!joined.empty()) {
            joined.append(line);
            line = joined;
        }
        std::string_view rest = line;
        const std::string_view keyword = NextToken(&rest);
        if (keyword == "v") {
            positions_.push_back(Vector(rest));
            positionSection_.push_back(sections_.empty() ? 0 : int32_t(sections_.size()) - 1);
        } else if (keyword == "vn") {
            normals_.push_back(Vector(rest));
        } else if (keyword == "f") {
            Face(rest);
        } else if (keyword == "o") {
            const size_t start = rest.find_first_not_of(" \t");
            ObjSection section;
            if (start != std::string_view::npos) section.name = rest.substr(start);
            sections_.push_back(std::move(section));
        } else if (keyword == "usemtl") {
            const std::string name(NextToken(&rest));
            auto [it, added] = materials_.emplace(name, uint16_t(materials_.size()));
            if (added && materials_.size() > 65536) Fail("more than 65536 materials");
            material_ = it->second;
        }
        // Texture coordinates, groups, smoothing groups, material libraries, points and lines do
        // not reach the line renderer.
        joined.clear();
    }

    for (const ObjSection& section : sections_) {
        for (const ObjFace& face : section.faces) {
            line_ = face.line;
            for (int32_t i = 0; i < face.cornerCount; ++i) {
                const ObjCorner& c = corners_[face.firstCorner + i];
                if (size_t(c.vertex) >= positions_.size()) {
                    Fail("vertex index " + std::to_string(int64_t(c.vertex) + 1) +
                         " is out of range (the file has " + std::to_string(positions_.size()) +
                         " vertices)");
                }
                if (c.normal >= 0 && size_t(c.normal) >= normals_.size()) {
                    Fail("normal index " + std::to_string(int64_t(c.normal) + 1) +
                         " is out of range (the file has " + std::to_string(normals_.size()) +
                         " normals)");
                }
            }
        }
    }

    std::vector<PolyMesh> meshes;
    localIndex_.assign(positions_.size(), -1);
    for (size_t s = 0; s < sections_.size(); ++s) {
        if (sections_[s].faces.empty()) continue;
        meshes.push_back(BuildMesh(sections_[s]));
    }
    if (meshes.empty()) throw InputError(path_ + ": no polygons (expected 'f' lines)");
    return meshes;
}

// The mesh keeps the vertices declared in its own section, in file order, so that a one-object
// file keeps its vertex list as is; vertices it borrows from other sections follow.
PolyMesh ObjParser::BuildMesh(const ObjSection& section) {
    PolyMesh mesh;
    mesh.source = path_;
    mesh.name = section.name.empty() ? std::filesystem::path(path_).stem().string() : section.name;
    const int32_t sectionIndex = int32_t(&section - sections_.data());
    std::vector<int32_t> touched;
    for (size_t v = 0; v < positions_.size(); ++v) {
        if (positionSection_[v] != sectionIndex) continue;
        localIndex_[v] = int32_t(mesh.vertices.size());
        mesh.vertices.push_back(positions_[v]);
        touched.push_back(int32_t(v));
    }
    mesh.polygons.reserve(section.faces.size());
    for (const ObjFace& face : section.faces) {
        Polygon poly;
        poly.materialID = face.materialID;
        bool allNormals = true;
        for (int32_t i = 0; i < face.cornerCount; ++i) {
            const ObjCorner& c = corners_[face.firstCorner + i];
            if (localIndex_[c.vertex] < 0) {
                localIndex_[c.vertex] = int32_t(mesh.vertices.size());
                mesh.vertices.push_back(positions_[c.vertex]);
                touched.push_back(c.vertex);
            }
            poly.vertices.push_back(localIndex_[c.vertex]);
            allNormals = allNormals && c.normal >= 0;
        }
        if (allNormals) {
            for (int32_t i = 0; i < face.cornerCount; ++i) {
                Point3 n = normals_[corners_[face.firstCorner + i].normal];
                const float len = std::sqrt(KvrnLib::Dot(n, n));
                poly.normals.push_back(len > 0 ? n * (1.0f / len) : n);
            }
        }
        mesh.polygons.push_back(std::move(poly));
    }
    for (int32_t v : touched) localIndex_[v] = -1;
    mesh.objToWorld = YUpToZUp();
    return mesh;
}

// ---- assimp -------------------------------------------------------------------------------

// assimp matrices act on column vectors; Matrix3 rows are the columns of its upper 3 x 4.
Matrix3 ToMatrix3(const aiMatrix4x4& m) {
    Matrix3 r;
    r.row[0] = {m.a1, m.b1, m.c1};
    r.row[1] = {m.a2, m.b2, m.c2};
    r.row[2] = {m.a3, m.b3, m.c3};
    r.row[3] = {m.a4, m.b4, m.c4};
    return r;
}

void CollectNodes(const std::string& path, const aiScene& scene, const aiNode& node,
                  const aiMatrix4x4& parent, const Matrix3& axes, std::vector<PolyMesh>* out) {
    const aiMatrix4x4 global = parent * node.mTransformation;
    PolyMesh mesh;
    mesh.source = path;
    mesh.name = node.mName.length > 0 ? node.mName.C_Str() : "node" + std::to_string(out->size());
    mesh.objToWorld = ToMatrix3(global) * axes;
    for (unsigned m = 0; m < node.mNumMeshes; ++m) {
        if (node.mMeshes[m] >= scene.mNumMeshes) continue;
        const aiMesh& src = *scene.mMeshes[node.mMeshes[m]];
        if (src.mMaterialIndex > 65535) {
            throw InputError(path + ": material index " + std::to_string(src.mMaterialIndex) +
                             " exceeds 65535");
        }
        const int32_t base = int32_t(mesh.vertices.size());
        for (unsigned v = 0; v < src.mNumVertices; ++v)
            mesh.vertices.push_back({src.mVertices[v].x, src.mVertices[v].y, src.mVertices[v].z});
        for (unsigned f = 0; f < src.mNumFaces; ++f) {
            const aiFace& face = src.mFaces[f];
            if (face.mNumIndices < 3) continue;  // points and lines draw no lines of ours
            Polygon poly;
            poly.materialID = uint16_t(src.mMaterialIndex);
            for (unsigned i = 0; i < face.mNumIndices; ++i) {
                poly.vertices.push_back(base + int32_t(face.mIndices[i]));
                if (src.mNormals && face.mIndices[i] < src.mNumVertices) {
                    const aiVector3D& n = src.mNormals[face.mIndices[i]];
                    poly.normals.push_back({n.x, n.y, n.z});
                }
            }
            if (poly.normals.size() != poly.vertices.size()) poly.normals.clear();
            mesh.polygons.push_back(std::move(poly));
        }
    }
    if (!mesh.polygons.empty()) out->push_back(std::move(mesh));
    for (unsigned c = 0; c < node.mNumChildren; ++c)
        CollectNodes(path, scene, *node.mChildren[c], global, axes, out);
}

std::vector<PolyMesh> ImportWithAssimp(const std::string& path) {
    Assimp::Importer importer;
    // Only positions and normals matter here; dropping the rest lets vertices that differ only
    // in texture coordinates or colours join.
    importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS,
                                aiComponent_TANGENTS_AND_BITANGENTS | aiComponent_COLORS |
                                    aiComponent_TEXCOORDS | aiComponent_BONEWEIGHTS |
                                    aiComponent_ANIMATIONS | aiComponent_TEXTURES |
                                    aiComponent_LIGHTS | aiComponent_CAMERAS);
    const unsigned flags = aiProcess_RemoveComponent | aiProcess_JoinIdenticalVertices |
                           aiProcess_ValidateDataStructure;
    const aiScene* scene = importer.ReadFile(path, flags);
    if (!scene) throw InputError(path + ": " + importer.GetErrorString());
    if ((scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) || !scene->mRootNode)
        throw InputError(path + ": the file holds no complete scene");
    std::vector<PolyMesh> meshes;
    const Matrix3 axes = IsYUpFormat(path) ? YUpToZUp() : Matrix3::Identity();
    CollectNodes(path, *scene, *scene->mRootNode, aiMatrix4x4(), axes, &meshes);
    if (meshes.empty()) throw InputError(path + ": no polygons (only points, lines or nothing)");
    return meshes;
}

}  // namespace

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

std::vector<PolyMesh> ImportScene(const std::string& path) {
    CheckReadable(path);
    const std::string ext = LowerExtension(path);
    const auto& known = SupportedExtensions();
    if (std::find(known.begin(), known.end(), ext) == known.end()) {
        std::string list;
        for (const std::string& e : known) list += (list.empty() ? "" : " ") + e;
        throw InputError(path + ": unsupported file type '" + ext + "' (expected one of " + list +
                         ")");
    }
    if (ext == ".obj") return ObjParser(path).Parse(ReadWholeFile(path));
    return ImportWithAssimp(path);
}

}  // namespace KvrnApp
