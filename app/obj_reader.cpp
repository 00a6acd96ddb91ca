#include "obj_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <unordered_map>

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

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
    int32_t firstCorner = 0;  // into forwardNormals_ and forwardTexCoords_, -1: none
};

class ObjParser {
  public:
    ObjParser(const std::string& path, const volatile std::sig_atomic_t* interrupt)
        : path_(path), interrupt_(interrupt) {}

    std::vector<PolyMesh> Parse(std::string_view text);

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(path_ + ":" + std::to_string(line_) + ": " + what);
    }
    void Reserve(std::string_view text);
    float Number(std::string_view token) const;
    Point3 Vector(std::string_view rest) const;
    Point3 TexCoord(std::string_view rest) const;
    int32_t Index(std::string_view token, int64_t count, const char* kind) const;
    void StartSection(std::string name);
    void Face(std::string_view rest);
    void ResolveForwardFaces();
    PolyMesh BuildMesh(const ObjSection& section, bool lastMesh);
    void AddTexCoords(PolyMesh& mesh, bool onlyMesh);

    std::string path_;
    const volatile std::sig_atomic_t* interrupt_;
    int line_ = 0;
    std::vector<Point3> positions_;
    std::vector<Point3> normals_;
    std::vector<Point3> texCoords_;
    // Faces in file order, with file vertex indices until BuildMesh; a section's are contiguous.
    std::vector<Polygon> polygons_;
    std::vector<ObjForwardFace> forwardFaces_;
    std::vector<int32_t> forwardNormals_, forwardTexCoords_;
    std::vector<ObjSection> sections_;
    std::unordered_map<std::string, uint16_t> materials_;
    uint16_t material_ = 0;
    // Of the face being read.
    std::vector<int32_t> cornerVertices_, cornerNormals_, cornerTexCoords_;
    // Per file vertex and texture coordinate, while building one mesh.
    std::vector<int32_t> localIndex_, localTexCoord_;
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

// u and optional v and w, missing ones 0.
Point3 ObjParser::TexCoord(std::string_view rest) const {
    Point3 p;
    p.x = Number(NextToken(&rest));
    std::string_view token = NextToken(&rest);
    if (!token.empty()) p.y = Number(token);
    token = NextToken(&rest);
    if (!token.empty()) p.z = Number(token);
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
    cornerTexCoords_.clear();
    bool forward = false, allNormals = true, allTexCoords = true;
    for (std::string_view token = NextToken(&rest); !token.empty(); token = NextToken(&rest)) {
        const size_t slash = FindSlash(token, 0);
        const int32_t vertex = Index(token.substr(0, slash), int64_t(positions_.size()), "vertex");
        int32_t normal = -1, texCoord = -1;
        if (slash < token.size()) {
            const size_t slash2 = FindSlash(token, slash + 1);
            if (slash2 > slash + 1) {
                texCoord = Index(token.substr(slash + 1, slash2 - slash - 1),
                                 int64_t(texCoords_.size()), "texture coordinate");
            }
            if (slash2 + 1 < token.size())
                normal = Index(token.substr(slash2 + 1), int64_t(normals_.size()), "normal");
        }
        forward = forward || size_t(vertex) >= positions_.size() ||
                  (normal >= 0 && size_t(normal) >= normals_.size()) ||
                  (texCoord >= 0 && size_t(texCoord) >= texCoords_.size());
        allNormals = allNormals && normal >= 0;
        allTexCoords = allTexCoords && texCoord >= 0;
        cornerVertices_.push_back(vertex);
        cornerNormals_.push_back(normal);
        cornerTexCoords_.push_back(texCoord);
    }
    Polygon poly;
    poly.vertices.assign(cornerVertices_.begin(), cornerVertices_.end());
    poly.materialID = material_;
    if (forward) {
        forwardFaces_.push_back(
            {int32_t(polygons_.size()), line_, int32_t(forwardNormals_.size())});
        forwardNormals_.insert(forwardNormals_.end(), cornerNormals_.begin(), cornerNormals_.end());
        forwardTexCoords_.insert(forwardTexCoords_.end(), cornerTexCoords_.begin(),
                                 cornerTexCoords_.end());
    } else {
        if (allNormals) {
            poly.normals.reserve(cornerNormals_.size());
            for (int32_t n : cornerNormals_) poly.normals.push_back(UnitNormal(normals_[n]));
        }
        if (allTexCoords)
            poly.mapCorners[kTextureChannel].assign(cornerTexCoords_.begin(),
                                                    cornerTexCoords_.end());
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
    const auto outOfRange = [this](const char* kind, int32_t index, size_t count,
                                   const char* what) {
        Fail(std::string(kind) + " index " + std::to_string(int64_t(index) + 1) +
             " is out of range (the file has " + std::to_string(count) + " " + what + ")");
    };
    for (const ObjForwardFace& face : forwardFaces_) {
        line_ = face.line;
        Polygon& poly = polygons_[face.face];
        const int32_t* normals = forwardNormals_.data() + face.firstCorner;
        const int32_t* texCoords = forwardTexCoords_.data() + face.firstCorner;
        bool allNormals = true, allTexCoords = true;
        for (size_t i = 0; i < poly.vertices.size(); ++i) {
            const int32_t vertex = poly.vertices[i], normal = normals[i], uv = texCoords[i];
            if (size_t(vertex) >= positions_.size())
                outOfRange("vertex", vertex, positions_.size(), "vertices");
            if (normal >= 0 && size_t(normal) >= normals_.size())
                outOfRange("normal", normal, normals_.size(), "normals");
            if (uv >= 0 && size_t(uv) >= texCoords_.size())
                outOfRange("texture coordinate", uv, texCoords_.size(), "texture coordinates");
            allNormals = allNormals && normal >= 0;
            allTexCoords = allTexCoords && uv >= 0;
        }
        if (allTexCoords)
            poly.mapCorners[kTextureChannel].assign(texCoords, texCoords + poly.vertices.size());
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
        if ((line_ & 0xffff) == 0) PollInterrupt(interrupt_);
        if (keyword == "v") {
            positions_.push_back(Vector(rest));
        } else if (keyword == "vn") {
            normals_.push_back(Vector(rest));
        } else if (keyword == "vt") {
            texCoords_.push_back(TexCoord(rest));
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
        // Groups, smoothing groups, material libraries, points and lines do not reach the line
        // renderer.
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
        PollInterrupt(interrupt_);
        meshes.push_back(BuildMesh(sections_[s], s == lastMesh));
        AddTexCoords(meshes.back(), s == lastMesh && meshes.size() == 1);
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

// The only mesh takes the file's texture coordinates as they are; one of several takes those its
// faces use, so that many objects over one long list don't each copy all of it.
void ObjParser::AddTexCoords(PolyMesh& mesh, bool onlyMesh) {
    const bool any = std::any_of(mesh.polygons.begin(), mesh.polygons.end(), [](const Polygon& p) {
        return !p.mapCorners[kTextureChannel].empty();
    });
    if (!any) return;
    std::vector<Point3>& uvs = mesh.mapVertices[kTextureChannel];
    if (onlyMesh) {
        uvs = std::move(texCoords_);
        return;
    }
    localTexCoord_.resize(texCoords_.size(), -1);
    std::vector<int32_t> touched;
    for (Polygon& poly : mesh.polygons) {
        for (int32_t& uv : poly.mapCorners[kTextureChannel]) {
            if (localTexCoord_[uv] < 0) {
                localTexCoord_[uv] = int32_t(uvs.size());
                uvs.push_back(texCoords_[uv]);
                touched.push_back(uv);
            }
            uv = localTexCoord_[uv];
        }
    }
    for (int32_t uv : touched) localTexCoord_[uv] = -1;
}

}  // namespace

std::vector<PolyMesh> ReadObj(const std::string& path, std::string_view text,
                              const volatile std::sig_atomic_t* interrupt) {
    return ObjParser(path, interrupt).Parse(text);
}

}  // namespace KvrnApp
