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
#include <memory>
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

// A file's bytes. A regular file is read at once into a buffer sized up front, in huge pages:
// a stream buffer would grow by copying, and fault the text in 4 KB at a time.
class FileText {
  public:
    explicit FileText(const std::string& path) {
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
        std::ifstream in(path, std::ios::binary);
        in.read(buffer_.get(), std::streamsize(size));
        if (!in) throw InputError(path + ": read error");
        text_ = std::string_view(buffer_.get(), size);
    }

    std::string_view Text() const { return text_; }

  private:
    std::unique_ptr<char[]> buffer_;
    std::string copy_;
    std::string_view text_;
};

// ---- OBJ ----------------------------------------------------------------------------------

struct ObjSection {
    std::string name;
    int32_t firstFace = 0, endFace = 0;  // into ObjParser::polygons_
    // The vertices it declares, into ObjParser::positions_: those from its `o` line to the next
    // one's, and for the first section also those before.
    size_t firstVertex = 0, endVertex = 0;
};

// A face that refers to a vertex or normal not yet read when the face was: its indices are
// checked, and its normals looked up, once the whole file is.
struct ObjForwardFace {
    int32_t face = 0;
    int32_t line = 0;
    int32_t firstNormal = 0;  // into ObjParser::forwardNormals_, one per corner, -1: none
};

class ObjParser {
  public:
    explicit ObjParser(const std::string& path) : path_(path) {}

    std::vector<PolyMesh> Parse(std::string_view text);

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(path_ + ":" + std::to_string(line_) + ": " + what);
    }
    void Reserve(std::string_view text);
    float Number(std::string_view token) const;
    Point3 Vector(std::string_view rest) const;
    int32_t Index(std::string_view token, int64_t count, const char* kind) const;
    void StartSection(std::string name);
    void Face(std::string_view rest);
    void ResolveForwardFaces();
    PolyMesh BuildMesh(const ObjSection& section, bool lastMesh);

    std::string path_;
    int line_ = 0;
    std::vector<Point3> positions_;
    std::vector<Point3> normals_;
    // Faces in file order, with file vertex indices until BuildMesh; a section's are contiguous.
    std::vector<Polygon> polygons_;
    std::vector<ObjForwardFace> forwardFaces_;
    std::vector<int32_t> forwardNormals_;
    std::vector<ObjSection> sections_;
    std::unordered_map<std::string, uint16_t> materials_;
    uint16_t material_ = 0;
    std::vector<int32_t> cornerVertices_, cornerNormals_;  // of the face being read
    std::vector<int32_t> localIndex_;  // per file vertex, while building one mesh
};

std::string_view NextToken(std::string_view* rest) {
    const char* at = rest->data();
    const char* const end = at + rest->size();
    while (at != end && (*at == ' ' || *at == '\t')) ++at;
    const char* const start = at;
    while (at != end && *at != ' ' && *at != '\t') ++at;
    *rest = std::string_view(at, size_t(end - at));
    return std::string_view(start, size_t(at - start));
}

// The first '/' at or after `from`, or token.size(). Corner tokens are a few characters long,
// too short for memchr to pay for its call.
size_t FindSlash(std::string_view token, size_t from) {
    while (from < token.size() && token[from] != '/') ++from;
    return from;
}

Point3 UnitNormal(Point3 n) {
    const float len = std::sqrt(KvrnLib::Dot(n, n));
    return len > 0 ? n * (1.0f / len) : n;
}

// Sizes the vertex and face arrays from a quick count of their lines: growing them instead would
// copy tens of megabytes and touch twice the memory.
void ObjParser::Reserve(std::string_view text) {
    size_t vertexLines = 0, faceLines = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        size_t i = pos;
        while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i + 1 < end && (text[i + 1] == ' ' || text[i + 1] == '\t')) {
            vertexLines += text[i] == 'v';
            faceLines += text[i] == 'f';
        }
        pos = end + 1;
    }
    ReserveLarge(positions_, vertexLines);
    ReserveLarge(polygons_, faceLines);
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
    // Nearly all indices are a few digits: those skip the general path.
    if (!token.empty() && token.size() <= 9) {
        int32_t digits = 0;
        size_t i = 0;
        for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i)
            digits = digits * 10 + (token[i] - '0');
        if (i == token.size() && digits > 0) return digits - 1;
    }
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
    cornerVertices_.clear();
    cornerNormals_.clear();
    bool forward = false, allNormals = true;
    for (std::string_view token = NextToken(&rest); !token.empty(); token = NextToken(&rest)) {
        const size_t slash = FindSlash(token, 0);
        const int32_t vertex = Index(token.substr(0, slash), int64_t(positions_.size()), "vertex");
        int32_t normal = -1;
        if (slash < token.size()) {
            const size_t slash2 = FindSlash(token, slash + 1);
            if (slash2 + 1 < token.size())
                normal = Index(token.substr(slash2 + 1), int64_t(normals_.size()), "normal");
        }
        forward = forward || size_t(vertex) >= positions_.size() ||
                  (normal >= 0 && size_t(normal) >= normals_.size());
        allNormals = allNormals && normal >= 0;
        cornerVertices_.push_back(vertex);
        cornerNormals_.push_back(normal);
    }
    Polygon poly;
    poly.vertices.assign(cornerVertices_.begin(), cornerVertices_.end());
    poly.materialID = material_;
    if (forward) {
        forwardFaces_.push_back(
            {int32_t(polygons_.size()), line_, int32_t(forwardNormals_.size())});
        forwardNormals_.insert(forwardNormals_.end(), cornerNormals_.begin(), cornerNormals_.end());
    } else if (allNormals) {
        poly.normals.reserve(cornerNormals_.size());
        for (int32_t n : cornerNormals_) poly.normals.push_back(UnitNormal(normals_[n]));
    }
    if (sections_.empty()) StartSection({});
    polygons_.push_back(std::move(poly));
    sections_.back().endFace = int32_t(polygons_.size());
}

void ObjParser::StartSection(std::string name) {
    ObjSection section;
    section.name = std::move(name);
    section.firstFace = section.endFace = int32_t(polygons_.size());
    if (!sections_.empty()) {
        sections_.back().endVertex = positions_.size();
        section.firstVertex = positions_.size();
    }
    sections_.push_back(std::move(section));
}

void ObjParser::ResolveForwardFaces() {
    for (const ObjForwardFace& face : forwardFaces_) {
        line_ = face.line;
        Polygon& poly = polygons_[face.face];
        const int32_t* normals = forwardNormals_.data() + face.firstNormal;
        bool allNormals = true;
        for (size_t i = 0; i < poly.vertices.size(); ++i) {
            const int32_t vertex = poly.vertices[i], normal = normals[i];
            if (size_t(vertex) >= positions_.size()) {
                Fail("vertex index " + std::to_string(int64_t(vertex) + 1) +
                     " is out of range (the file has " + std::to_string(positions_.size()) +
                     " vertices)");
            }
            if (normal >= 0 && size_t(normal) >= normals_.size()) {
                Fail("normal index " + std::to_string(int64_t(normal) + 1) +
                     " is out of range (the file has " + std::to_string(normals_.size()) +
                     " normals)");
            }
            allNormals = allNormals && normal >= 0;
        }
        if (!allNormals) continue;
        poly.normals.reserve(poly.vertices.size());
        for (size_t i = 0; i < poly.vertices.size(); ++i)
            poly.normals.push_back(UnitNormal(normals_[normals[i]]));
    }
}

std::vector<PolyMesh> ObjParser::Parse(std::string_view text) {
    Reserve(text);
    std::string joined;  // a line continued with a trailing backslash
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
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
        } else if (keyword == "vn") {
            normals_.push_back(Vector(rest));
        } else if (keyword == "f") {
            Face(rest);
        } else if (keyword == "o") {
            const size_t start = rest.find_first_not_of(" \t");
            StartSection(start == std::string_view::npos ? std::string()
                                                         : std::string(rest.substr(start)));
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
    if (!sections_.empty()) sections_.back().endVertex = positions_.size();
    ResolveForwardFaces();

    std::vector<PolyMesh> meshes;
    size_t lastMesh = sections_.size();
    for (size_t s = 0; s < sections_.size(); ++s)
        if (sections_[s].endFace > sections_[s].firstFace) lastMesh = s;
    for (size_t s = 0; s < sections_.size(); ++s) {
        if (sections_[s].endFace == sections_[s].firstFace) continue;
        meshes.push_back(BuildMesh(sections_[s], s == lastMesh));
    }
    if (meshes.empty()) throw InputError(path_ + ": no polygons (expected 'f' lines)");
    return meshes;
}

// The mesh keeps the vertices declared in its own section, in file order, so that a one-object
// file keeps its vertex list as is; vertices it borrows from other sections follow. The section's
// polygons move into the mesh, and so do the vertices when no later mesh needs them.
PolyMesh ObjParser::BuildMesh(const ObjSection& section, bool lastMesh) {
    PolyMesh mesh;
    mesh.source = path_;
    mesh.name = section.name.empty() ? std::filesystem::path(path_).stem().string() : section.name;
    mesh.objToWorld = YUpToZUp();
    const auto faces = polygons_.begin() + section.firstFace;
    const auto facesEnd = polygons_.begin() + section.endFace;

    if (section.firstVertex == 0 && section.endVertex == positions_.size()) {
        // Every vertex is the section's own: file indices are mesh indices.
        mesh.vertices = lastMesh ? std::move(positions_) : positions_;
        if (faces == polygons_.begin() && facesEnd == polygons_.end()) {
            mesh.polygons = std::move(polygons_);
        } else {
            mesh.polygons.assign(std::make_move_iterator(faces), std::make_move_iterator(facesEnd));
        }
        return mesh;
    }

    localIndex_.resize(positions_.size(), -1);
    std::vector<int32_t> touched;
    mesh.vertices.reserve(section.endVertex - section.firstVertex);
    for (size_t v = section.firstVertex; v < section.endVertex; ++v) {
        localIndex_[v] = int32_t(mesh.vertices.size());
        mesh.vertices.push_back(positions_[v]);
        touched.push_back(int32_t(v));
    }
    mesh.polygons.reserve(size_t(facesEnd - faces));
    for (auto face = faces; face != facesEnd; ++face) {
        for (int32_t& vertex : face->vertices) {
            if (localIndex_[vertex] < 0) {
                localIndex_[vertex] = int32_t(mesh.vertices.size());
                mesh.vertices.push_back(positions_[vertex]);
                touched.push_back(vertex);
            }
            vertex = localIndex_[vertex];
        }
        mesh.polygons.push_back(std::move(*face));
    }
    for (int32_t v : touched) localIndex_[v] = -1;
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
    if (ext == ".obj") {
        const FileText text(path);
        return ObjParser(path).Parse(text.Text());
    }
    return ImportWithAssimp(path);
}

}  // namespace KvrnApp
