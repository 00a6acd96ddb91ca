#include "obj_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "reader_text.h"
#include "thread_manager.h"

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

struct ObjSection {
    std::string name;
    int32_t firstFace = 0, endFace = 0;  // into ObjParser::faces_
    // The vertices it declares, into ObjParser::positions_: those from its `o` line to the next
    // one's, and for the first section also those before.
    size_t firstVertex = 0, endVertex = 0;
};

// A face that refers to a vertex, normal or texture coordinate not yet read when the face was:
// its indices are checked once the whole file is.
struct ObjForwardFace {
    int32_t face = 0;
    int32_t line = 0;
};

// What a stretch of lines declares.
struct ObjCounts {
    size_t vertices = 0, normals = 0, texCoords = 0, faces = 0;
    int lines = 0;  // physical lines
};

enum class ObjKeyword : uint8_t {
    kVertex,
    kNormal,
    kTexCoord,
    kFace,
    kObject,
    kMaterial,
    kLibrary,
    kOther
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view NextToken(std::string_view* rest) {
    const char* at = rest->data();
    const char* const end = at + rest->size();
    while (at != end && IsBlank(*at)) ++at;
    const char* const start = at;
    while (at != end && !IsBlank(*at)) ++at;
    *rest = std::string_view(at, size_t(end - at));
    return std::string_view(start, size_t(at - start));
}

// A line's keyword, and in *rest what follows it.
ObjKeyword ReadKeyword(std::string_view line, std::string_view* rest) {
    // The keywords of nearly every line, told apart without cutting out a token.
    size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    if (first + 1 < line.size() && IsBlank(line[first + 1]) &&
        (line[first] == 'v' || line[first] == 'f')) {
        *rest = line.substr(first + 2);
        return line[first] == 'v' ? ObjKeyword::kVertex : ObjKeyword::kFace;
    }
    *rest = line;
    const std::string_view keyword = NextToken(rest);
    if (keyword == "v") return ObjKeyword::kVertex;
    if (keyword == "f") return ObjKeyword::kFace;
    if (keyword == "vn") return ObjKeyword::kNormal;
    if (keyword == "vt") return ObjKeyword::kTexCoord;
    if (keyword == "o") return ObjKeyword::kObject;
    if (keyword == "usemtl") return ObjKeyword::kMaterial;
    if (keyword == "mtllib") return ObjKeyword::kLibrary;
    return ObjKeyword::kOther;
}

// The end of the line starting at `from`: its '\n', or the end of the text.
const char* LineEnd(const char* from, const char* end) {
    const void* newline = std::memchr(from, '\n', size_t(end - from));
    return newline ? static_cast<const char*>(newline) : end;
}

// Calls visit(line) for each line of `text`, a line ending in a backslash joined to the next
// (in `joined`), after counting its physical lines in *lineNumber.
template <class Visit>
void ForEachLine(std::string_view text, int* lineNumber, std::string& joined, Visit&& visit) {
    const char* const textEnd = text.data() + text.size();
    for (const char* at = text.data(); at < textEnd;) {
        const char* const end = LineEnd(at, textEnd);
        std::string_view line(at, size_t(end - at));
        at = end + 1;
        ++*lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\\') {
            joined.append(line.substr(0, line.size() - 1)).push_back(' ');
            continue;
        }
        if (!joined.empty()) {
            joined.append(line);
            line = joined;
        }
        visit(line);
        joined.clear();
    }
}

// Counted by the parser's own rules, so that the counts are exactly what it will read.
ObjCounts CountLines(std::string_view text) {
    ObjCounts counts;
    std::string joined;
    ForEachLine(text, &counts.lines, joined, [&counts](std::string_view line) {
        std::string_view rest;
        switch (ReadKeyword(line, &rest)) {
            case ObjKeyword::kVertex:
                ++counts.vertices;
                break;
            case ObjKeyword::kNormal:
                ++counts.normals;
                break;
            case ObjKeyword::kTexCoord:
                ++counts.texCoords;
                break;
            case ObjKeyword::kFace:
                ++counts.faces;
                break;
            default:
                break;
        }
    });
    return counts;
}

// Reads lines into faces with file indices, then builds the meshes. A file read in two parts has
// one parser per part: the second is told what the first part declares (its counts), so that
// it resolves relative indices and finds forward references as one parser would, and is then
// appended to the first.
class ObjParser {
  public:
    ObjParser(const std::string& path, const volatile std::sig_atomic_t* interrupt)
        : path_(path), interrupt_(interrupt) {}

    // Sizes the arrays for what is to be read: growing them instead would copy tens of megabytes
    // and touch twice the memory. Corners get room for quads; a triangle mesh leaves the last
    // quarter unused, and so never paged in.
    void Reserve(const ObjCounts& counts);
    // Makes this the parser of a part after lines that declare `before`.
    void ContinueAfter(const ObjCounts& before);
    void ReadLines(std::string_view text);
    // Appends what the parser of the next part read. False when the two together pass a limit
    // (materials, corners), which one parser reports at its line.
    bool Append(ObjParser&& next);
    std::vector<PolyMesh> Finish();
    ObjMaterialRefs MaterialRefs() const;

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(path_ + ":" + std::to_string(line_) + ": " + what);
    }
    void ReadLine(std::string_view line);
    int64_t VertexCount() const { return int64_t(before_.vertices + positions_.size()); }
    int64_t NormalCount() const { return int64_t(before_.normals + normals_.size()); }
    int64_t TexCoordCount() const { return int64_t(before_.texCoords + texCoords_.size()); }
    float Number(std::string_view token) const;
    Point3 Vector(std::string_view rest) const;
    float NextNumber(std::string_view* rest) const;
    Point3 TexCoord(std::string_view rest) const;
    int32_t Index(std::string_view token, int64_t count, const char* kind) const;
    void StartSection(std::string name);
    void UseMaterial(std::string_view rest);
    void Corner(std::string_view token, int32_t* vertex, int32_t* texCoord, int32_t* normal) const;
    void Face(std::string_view rest);
    void CheckForwardFaces();
    PolyMesh BuildMesh(const ObjSection& section, bool lastMesh, bool onlyMesh);
    std::vector<Point3> SectionNormals(const ObjSection& section) const;
    void AddTexCoords(const ObjSection& section, bool onlyMesh, PolyMesh& mesh);
    void AddFaces(const ObjSection& section, bool lastMesh, PolyMesh& mesh);

    std::string path_;
    const volatile std::sig_atomic_t* interrupt_;
    int line_ = 0;
    ObjCounts before_;  // declared before this parser's part
    std::vector<Point3> positions_;
    std::vector<Point3> normals_;
    std::vector<Point3> texCoords_;
    // Faces in file order with file indices, texture coordinates as map corners (-1: none); a
    // section's faces are contiguous. Per corner normal indices (-1: none) are kept apart, as
    // indices until the meshes are built; both per-corner lists stay empty until a face uses one.
    PackedPolygons faces_;
    std::vector<int32_t> cornerNormals_;
    std::vector<ObjForwardFace> forwardFaces_;
    // The parser of a later part starts with a section standing for the one its part continues.
    std::vector<ObjSection> sections_;
    std::unordered_map<std::string, uint16_t> materials_;
    uint16_t material_ = 0;
    std::vector<std::string> libraries_;
    // The parser of a later part numbers materials in its own order of first use; the faces
    // before its first `usemtl` keep the material the part before ends with.
    size_t firstNamedFace_ = SIZE_MAX;
    std::string joined_;  // a line continued with a trailing backslash
    // Of the face being read.
    std::vector<int32_t> faceNormals_, faceTexCoords_;
    // Per file vertex and texture coordinate, while building one mesh.
    std::vector<int32_t> localIndex_, localTexCoord_;
};

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

void ObjParser::Reserve(const ObjCounts& counts) {
    ReserveLarge(positions_, counts.vertices);
    ReserveLarge(normals_, counts.normals);
    ReserveLarge(texCoords_, counts.texCoords);
    ReserveLarge(faces_.start, counts.faces + 1);
    ReserveLarge(faces_.materialIDs, counts.faces);
    ReserveLarge(faces_.vertices, 4 * counts.faces);
}

void ObjParser::ContinueAfter(const ObjCounts& before) {
    before_ = before;
    line_ = before.lines;
    sections_.assign(1, ObjSection{});
}

float ObjParser::Number(std::string_view token) const {
    float value = 0;
    const char* end = token.data() + token.size();
    if (ReadPlainFloat(token.data(), end, &value) == end) return value;
    const auto [ptr, ec] = std::from_chars(token.data(), end, value);
    if (token.empty() || ec != std::errc() || ptr != end || !std::isfinite(value))
        Fail("expected a number, got '" + std::string(token) + "'");
    return value;
}

Point3 ObjParser::Vector(std::string_view rest) const {
    Point3 p;
    p.x = NextNumber(&rest);
    p.y = NextNumber(&rest);
    p.z = NextNumber(&rest);
    return p;
}

// Number(NextToken(rest)), with plain decimals read in place.
float ObjParser::NextNumber(std::string_view* rest) const {
    const char* at = rest->data();
    const char* const end = at + rest->size();
    while (at != end && IsBlank(*at)) ++at;
    float value;
    const char* const after = ReadPlainFloat(at, end, &value);
    if (after && (after == end || IsBlank(*after))) {
        *rest = std::string_view(after, size_t(end - after));
        return value;
    }
    return Number(NextToken(rest));
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

// Appends a face's per-corner indices to a per-corner list that stays empty until some face has
// one (`any`); `firstCorner` is where the face starts.
void AppendCornerIndices(const std::vector<int32_t>& face, bool any, size_t firstCorner,
                         std::vector<int32_t>& list) {
    if (list.empty()) {
        if (!any) return;
        ReserveLarge(list, firstCorner + face.size());
        list.assign(firstCorner, -1);
    }
    list.insert(list.end(), face.begin(), face.end());
}

// Vertex, texture coordinate and normal of one corner token ("v", "v/t", "v//n", "v/t/n"); -1 for
// those not given.
void ObjParser::Corner(std::string_view token, int32_t* vertex, int32_t* texCoord,
                       int32_t* normal) const {
    const size_t slash = FindSlash(token, 0);
    *vertex = Index(token.substr(0, slash), VertexCount(), "vertex");
    if (slash == token.size()) return;
    const size_t slash2 = FindSlash(token, slash + 1);
    if (slash2 > slash + 1) {
        *texCoord = Index(token.substr(slash + 1, slash2 - slash - 1), TexCoordCount(),
                          "texture coordinate");
    }
    if (slash2 + 1 < token.size())
        *normal = Index(token.substr(slash2 + 1), NormalCount(), "normal");
}

void ObjParser::Face(std::string_view rest) {
    const size_t firstCorner = faces_.vertices.size();
    faceNormals_.clear();
    faceTexCoords_.clear();
    bool forward = false, anyNormal = false, anyTexCoord = false;
    const char* at = rest.data();
    const char* const end = at + rest.size();
    while (true) {
        while (at != end && IsBlank(*at)) ++at;
        if (at == end) break;
        const char* const token = at;
        // Most corners are a vertex index alone, of a few digits: read in place.
        constexpr int kPlainDigits = 9;
        uint32_t digits = 0;
        for (; at != end && unsigned(*at - '0') < 10 && at - token < kPlainDigits; ++at)
            digits = digits * 10 + unsigned(*at - '0');
        int32_t vertex = -1, normal = -1, texCoord = -1;
        if (digits > 0 && (at == end || IsBlank(*at))) {
            vertex = int32_t(digits - 1);
        } else {
            while (at != end && !IsBlank(*at)) ++at;
            Corner(std::string_view(token, size_t(at - token)), &vertex, &texCoord, &normal);
        }
        forward = forward || vertex >= VertexCount() || normal >= NormalCount() ||
                  texCoord >= TexCoordCount();
        anyNormal = anyNormal || normal >= 0;
        anyTexCoord = anyTexCoord || texCoord >= 0;
        faces_.vertices.push_back(vertex);
        faceNormals_.push_back(normal);
        faceTexCoords_.push_back(texCoord);
    }
    // Mesh corner indices are int32_t.
    if (faces_.vertices.size() > size_t(INT32_MAX)) Fail("more than 2^31 - 1 face corners");
    AppendCornerIndices(faceNormals_, anyNormal, firstCorner, cornerNormals_);
    AppendCornerIndices(faceTexCoords_, anyTexCoord, firstCorner,
                        faces_.mapCorners[kTextureChannel]);
    if (forward) forwardFaces_.push_back({int32_t(faces_.Count()), line_});
    if (sections_.empty()) StartSection({});
    faces_.start.push_back(int32_t(faces_.vertices.size()));
    faces_.materialIDs.push_back(material_);
    sections_.back().endFace = int32_t(faces_.Count());
}

void ObjParser::StartSection(std::string name) {
    ObjSection section;
    section.name = std::move(name);
    section.firstFace = section.endFace = int32_t(faces_.Count());
    if (!sections_.empty()) {
        sections_.back().endVertex = positions_.size();
        section.firstVertex = positions_.size();
    }
    sections_.push_back(std::move(section));
}

void ObjParser::UseMaterial(std::string_view rest) {
    const std::string name(NextToken(&rest));
    auto [it, added] = materials_.emplace(name, uint16_t(materials_.size()));
    if (added && materials_.size() > 65536) Fail("more than 65536 materials");
    material_ = it->second;
    firstNamedFace_ = std::min(firstNamedFace_, faces_.Count());
}

void ObjParser::ReadLine(std::string_view line) {
    if ((line_ & 0xffff) == 0) PollInterrupt(interrupt_);
    std::string_view rest;
    switch (ReadKeyword(line, &rest)) {
        case ObjKeyword::kVertex:
            positions_.push_back(Vector(rest));
            break;
        case ObjKeyword::kFace:
            Face(rest);
            break;
        case ObjKeyword::kNormal:
            normals_.push_back(Vector(rest));
            break;
        case ObjKeyword::kTexCoord:
            texCoords_.push_back(TexCoord(rest));
            break;
        case ObjKeyword::kObject: {
            const size_t start = rest.find_first_not_of(" \t");
            StartSection(start == std::string_view::npos ? std::string()
                                                         : std::string(rest.substr(start)));
            break;
        }
        case ObjKeyword::kMaterial:
            UseMaterial(rest);
            break;
        case ObjKeyword::kLibrary: {
            const std::string_view name = Trimmed(rest);
            if (!name.empty()) libraries_.emplace_back(name);
            break;
        }
        // Groups, smoothing groups, points and lines do not reach the line renderer.
        case ObjKeyword::kOther:
            break;
    }
}

void ObjParser::ReadLines(std::string_view text) {
    ForEachLine(text, &line_, joined_, [this](std::string_view line) { ReadLine(line); });
}

// Appends `list` of `count` entries, or `count` times -1 when it is empty, to `to` of `toCount`
// entries, which is filled with -1 first when it is empty itself.
void AppendIndices(std::vector<int32_t>& to, size_t toCount, const std::vector<int32_t>& list,
                   size_t count) {
    if (to.empty() && list.empty()) return;
    if (to.empty()) {
        ReserveLarge(to, toCount + count);
        to.assign(toCount, -1);
    }
    if (list.empty()) {
        to.insert(to.end(), count, -1);
    } else {
        to.insert(to.end(), list.begin(), list.end());
    }
}

bool ObjParser::Append(ObjParser&& next) {
    const size_t faceOffset = faces_.Count(), cornerOffset = faces_.vertices.size();
    const size_t vertexOffset = positions_.size();
    const size_t nextCorners = next.faces_.vertices.size();
    if (cornerOffset + nextCorners > size_t(INT32_MAX)) return false;
    // Materials new to this part are numbered after ours, in their order of first use.
    std::vector<const std::string*> nextNames(next.materials_.size());
    for (const auto& [name, local] : next.materials_) nextNames[local] = &name;
    std::vector<uint16_t> materialOf(nextNames.size());
    for (size_t local = 0; local < nextNames.size(); ++local) {
        auto [it, added] = materials_.emplace(*nextNames[local], uint16_t(materials_.size()));
        if (added && materials_.size() > 65536) return false;
        materialOf[local] = it->second;
    }
    const uint16_t carried = material_;
    if (!nextNames.empty()) material_ = materialOf[next.material_];

    positions_.insert(positions_.end(), next.positions_.begin(), next.positions_.end());
    normals_.insert(normals_.end(), next.normals_.begin(), next.normals_.end());
    texCoords_.insert(texCoords_.end(), next.texCoords_.begin(), next.texCoords_.end());
    for (size_t f = 0; f < next.faces_.Count(); ++f) {
        faces_.start.push_back(int32_t(cornerOffset + size_t(next.faces_.start[f + 1])));
        faces_.materialIDs.push_back(
            f < next.firstNamedFace_ ? carried : materialOf[next.faces_.materialIDs[f]]);
    }
    faces_.vertices.insert(faces_.vertices.end(), next.faces_.vertices.begin(),
                           next.faces_.vertices.end());
    AppendIndices(cornerNormals_, cornerOffset, next.cornerNormals_, nextCorners);
    AppendIndices(faces_.mapCorners[kTextureChannel], cornerOffset,
                  next.faces_.mapCorners[kTextureChannel], nextCorners);
    for (const ObjForwardFace& face : next.forwardFaces_)
        forwardFaces_.push_back({int32_t(faceOffset) + face.face, face.line});

    // The next part's first section continues our last one; with none, its faces start the
    // file's first section, which holds the vertices before it too.
    for (size_t s = 0; s < next.sections_.size(); ++s) {
        ObjSection section = std::move(next.sections_[s]);
        section.firstFace += int32_t(faceOffset);
        section.endFace += int32_t(faceOffset);
        section.endVertex += vertexOffset;
        section.firstVertex = sections_.empty() ? 0 : section.firstVertex + vertexOffset;
        if (s > 0) {
            sections_.push_back(std::move(section));
        } else if (!sections_.empty()) {
            sections_.back().endFace = section.endFace;
            sections_.back().endVertex = section.endVertex;
        } else if (section.endFace > section.firstFace) {
            sections_.push_back(std::move(section));
        }
    }
    libraries_.insert(libraries_.end(), next.libraries_.begin(), next.libraries_.end());
    line_ = next.line_;
    return true;
}

ObjMaterialRefs ObjParser::MaterialRefs() const {
    ObjMaterialRefs refs;
    refs.names.resize(materials_.size());
    for (const auto& [name, id] : materials_) refs.names[id] = name;
    refs.libraries = libraries_;
    return refs;
}

void ObjParser::CheckForwardFaces() {
    const auto outOfRange = [this](const char* kind, int32_t index, size_t count,
                                   const char* what) {
        Fail(std::string(kind) + " index " + std::to_string(int64_t(index) + 1) +
             " is out of range (the file has " + std::to_string(count) + " " + what + ")");
    };
    const std::vector<int32_t>& texCoords = faces_.mapCorners[kTextureChannel];
    for (const ObjForwardFace& face : forwardFaces_) {
        line_ = face.line;
        for (int32_t c = faces_.start[face.face]; c < faces_.start[face.face + 1]; ++c) {
            const int32_t vertex = faces_.vertices[c];
            const int32_t normal = cornerNormals_.empty() ? -1 : cornerNormals_[c];
            const int32_t uv = texCoords.empty() ? -1 : texCoords[c];
            if (size_t(vertex) >= positions_.size())
                outOfRange("vertex", vertex, positions_.size(), "vertices");
            if (normal >= 0 && size_t(normal) >= normals_.size())
                outOfRange("normal", normal, normals_.size(), "normals");
            if (uv >= 0 && size_t(uv) >= texCoords_.size())
                outOfRange("texture coordinate", uv, texCoords_.size(), "texture coordinates");
        }
    }
}

std::vector<PolyMesh> ObjParser::Finish() {
    if (!sections_.empty()) sections_.back().endVertex = positions_.size();
    CheckForwardFaces();

    std::vector<PolyMesh> meshes;
    size_t lastMesh = sections_.size();
    for (size_t s = 0; s < sections_.size(); ++s)
        if (sections_[s].endFace > sections_[s].firstFace) lastMesh = s;
    for (size_t s = 0; s < sections_.size(); ++s) {
        if (sections_[s].endFace == sections_[s].firstFace) continue;
        PollInterrupt(interrupt_);
        meshes.push_back(BuildMesh(sections_[s], s == lastMesh, s == lastMesh && meshes.empty()));
    }
    if (meshes.empty()) throw InputError(path_ + ": no polygons (expected 'f' lines)");
    return meshes;
}

PolyMesh ObjParser::BuildMesh(const ObjSection& section, bool lastMesh, bool onlyMesh) {
    PolyMesh mesh;
    mesh.source = path_;
    mesh.name = section.name.empty() ? std::filesystem::path(path_).stem().string() : section.name;
    // Faces last: they may move out of faces_.
    mesh.packed.normals = SectionNormals(section);
    AddTexCoords(section, onlyMesh, mesh);
    AddFaces(section, lastMesh, mesh);
    return mesh;
}

// Unit corner normals when every corner of the section's faces has one (and no face is empty),
// otherwise none.
std::vector<Point3> ObjParser::SectionNormals(const ObjSection& section) const {
    if (cornerNormals_.empty()) return {};
    const int32_t first = faces_.start[section.firstFace], end = faces_.start[section.endFace];
    for (int32_t f = section.firstFace; f < section.endFace; ++f)
        if (faces_.start[f + 1] == faces_.start[f]) return {};
    for (int32_t c = first; c < end; ++c)
        if (cornerNormals_[c] < 0) return {};
    std::vector<Point3> normals;
    ReserveLarge(normals, size_t(end - first));
    for (int32_t c = first; c < end; ++c)
        normals.push_back(UnitNormal(normals_[cornerNormals_[c]]));
    return normals;
}

// A face has texture coordinates when every corner has one. The only mesh takes the file's
// texture coordinates as they are; one of several takes those its faces use, so that many
// objects over one long list don't each copy all of it.
void ObjParser::AddTexCoords(const ObjSection& section, bool onlyMesh, PolyMesh& mesh) {
    const std::vector<int32_t>& fileCorners = faces_.mapCorners[kTextureChannel];
    if (fileCorners.empty()) return;
    const int32_t first = faces_.start[section.firstFace], end = faces_.start[section.endFace];
    std::vector<int32_t> corners(fileCorners.begin() + first, fileCorners.begin() + end);
    bool any = false;
    for (int32_t f = section.firstFace; f < section.endFace; ++f) {
        int32_t* const begin = corners.data() + (faces_.start[f] - first);
        int32_t* const faceEnd = corners.data() + (faces_.start[f + 1] - first);
        if (std::all_of(begin, faceEnd, [](int32_t uv) { return uv >= 0; })) {
            any = any || faceEnd > begin;
        } else {
            std::fill(begin, faceEnd, -1);
        }
    }
    if (!any) return;
    std::vector<Point3>& uvs = mesh.mapVertices[kTextureChannel];
    if (onlyMesh) {
        uvs = std::move(texCoords_);
    } else {
        localTexCoord_.resize(texCoords_.size(), -1);
        std::vector<int32_t> touched;
        for (int32_t& uv : corners) {
            if (uv < 0) continue;
            if (localTexCoord_[uv] < 0) {
                localTexCoord_[uv] = int32_t(uvs.size());
                uvs.push_back(texCoords_[uv]);
                touched.push_back(uv);
            }
            uv = localTexCoord_[uv];
        }
        for (int32_t uv : touched) localTexCoord_[uv] = -1;
    }
    mesh.packed.mapCorners[kTextureChannel] = std::move(corners);
}

// The mesh keeps the vertices declared in its own section, in file order, so that a one-object
// file keeps its vertex list as is; vertices it borrows from other sections follow. A file of
// one section moves its faces into the mesh, and the vertices move when no later mesh needs them.
void ObjParser::AddFaces(const ObjSection& section, bool lastMesh, PolyMesh& mesh) {
    PackedPolygons& packed = mesh.packed;
    const int32_t first = faces_.start[section.firstFace], end = faces_.start[section.endFace];
    const bool allFaces = section.firstFace == 0 && size_t(section.endFace) == faces_.Count();
    const bool ownVertices = section.firstVertex == 0 && section.endVertex == positions_.size();
    if (ownVertices && allFaces) {
        // File indices are mesh indices.
        mesh.vertices = lastMesh ? std::move(positions_) : positions_;
        packed.start = std::move(faces_.start);
        packed.vertices = std::move(faces_.vertices);
        packed.materialIDs = std::move(faces_.materialIDs);
        return;
    }
    packed.start.reserve(size_t(section.endFace - section.firstFace) + 1);
    for (int32_t f = section.firstFace; f < section.endFace; ++f)
        packed.start.push_back(faces_.start[f + 1] - first);
    packed.materialIDs.assign(faces_.materialIDs.begin() + section.firstFace,
                              faces_.materialIDs.begin() + section.endFace);
    if (ownVertices) {
        mesh.vertices = lastMesh ? std::move(positions_) : positions_;
        packed.vertices.assign(faces_.vertices.begin() + first, faces_.vertices.begin() + end);
        return;
    }
    localIndex_.resize(positions_.size(), -1);
    std::vector<int32_t> touched;
    mesh.vertices.reserve(section.endVertex - section.firstVertex);
    for (size_t v = section.firstVertex; v < section.endVertex; ++v) {
        localIndex_[v] = int32_t(mesh.vertices.size());
        mesh.vertices.push_back(positions_[v]);
        touched.push_back(int32_t(v));
    }
    packed.vertices.reserve(size_t(end - first));
    for (int32_t c = first; c < end; ++c) {
        const int32_t vertex = faces_.vertices[c];
        if (localIndex_[vertex] < 0) {
            localIndex_[vertex] = int32_t(mesh.vertices.size());
            mesh.vertices.push_back(positions_[vertex]);
            touched.push_back(vertex);
        }
        packed.vertices.push_back(localIndex_[vertex]);
    }
    for (int32_t v : touched) localIndex_[v] = -1;
}

// Where a second part can start: the start of a line near the middle that does not continue the
// line before; 0 for none.
size_t SplitPoint(std::string_view text) {
    for (size_t at = text.size() / 2;;) {
        const size_t newline = text.find('\n', at);
        if (newline == std::string_view::npos || newline + 1 >= text.size()) return 0;
        size_t last = newline;
        if (last > 0 && text[last - 1] == '\r') --last;
        if (last == 0 || text[last - 1] != '\\') return newline + 1;
        at = newline + 1;
    }
}

// Both parts of the text read at once, then joined. Empty when the second part holds an error, or
// the parts together pass a limit: one parser then finds the error and its line.
std::optional<std::vector<PolyMesh>> ReadInParts(const std::string& path, std::string_view text,
                                                 size_t split,
                                                 const volatile std::sig_atomic_t* interrupt,
                                                 KvrnLib::ThreadManager* pool,
                                                 ObjMaterialRefs* refs) {
    const std::array<std::string_view, 2> parts = {text.substr(0, split), text.substr(split)};
    std::array<ObjCounts, 2> counts;
    KvrnLib::ParallelFor(pool, 2,
                         [&](int part) { counts[size_t(part)] = CountLines(parts[size_t(part)]); });
    ObjCounts total = counts[1];
    total.vertices += counts[0].vertices;
    total.normals += counts[0].normals;
    total.texCoords += counts[0].texCoords;
    total.faces += counts[0].faces;
    std::array<ObjParser, 2> parsers = {ObjParser(path, interrupt), ObjParser(path, interrupt)};
    parsers[0].Reserve(total);
    parsers[1].Reserve(counts[1]);
    parsers[1].ContinueAfter(counts[0]);
    std::array<std::exception_ptr, 2> errors;
    KvrnLib::ParallelFor(pool, 2, [&](int part) {
        try {
            parsers[size_t(part)].ReadLines(parts[size_t(part)]);
        } catch (...) {
            errors[size_t(part)] = std::current_exception();
        }
    });
    // An error in the first part is the file's first, as one parser would meet it.
    if (errors[0]) std::rethrow_exception(errors[0]);
    if (errors[1]) {
        try {
            std::rethrow_exception(errors[1]);
        } catch (const InputError&) {
            return std::nullopt;
        }
    }
    if (!parsers[0].Append(std::move(parsers[1]))) return std::nullopt;
    std::vector<PolyMesh> meshes = parsers[0].Finish();
    if (refs) *refs = parsers[0].MaterialRefs();
    return meshes;
}

}  // namespace

std::vector<PolyMesh> ReadObj(const std::string& path, std::string_view text,
                              const volatile std::sig_atomic_t* interrupt, ObjMaterialRefs* refs) {
    ObjParser parser(path, interrupt);
    parser.Reserve(CountLines(text));
    parser.ReadLines(text);
    std::vector<PolyMesh> meshes = parser.Finish();
    if (refs) *refs = parser.MaterialRefs();
    return meshes;
}

std::vector<PolyMesh> ReadObjOnPool(const std::string& path, std::string_view text,
                                    const volatile std::sig_atomic_t* interrupt,
                                    KvrnLib::ThreadManager* pool, ObjMaterialRefs* refs) {
    // Below a megabyte a second part saves less than it costs to set up.
    if (pool && pool->GetThreadCount() > 1 && text.size() >= kObjPartsFromBytes) {
        if (const size_t split = SplitPoint(text); split > 0) {
            std::optional<std::vector<PolyMesh>> meshes =
                ReadInParts(path, text, split, interrupt, pool, refs);
            if (meshes) return std::move(*meshes);
        }
    }
    return ReadObj(path, text, interrupt, refs);
}

namespace {

// Options of a `map_Kd` line and how many values each takes at most (`-o`, `-s` and `-t` take
// one to three numbers).
int MapOptionValues(std::string_view option) {
    if (option == "-o" || option == "-s" || option == "-t") return 3;
    if (option == "-mm") return 2;
    if (option == "-blendu" || option == "-blendv" || option == "-cc" || option == "-clamp" ||
        option == "-bm" || option == "-boost" || option == "-texres" || option == "-imfchan" ||
        option == "-type")
        return 1;
    return -1;
}

// The file name of a `map_Kd` line: what follows the options, spaces included.
std::string_view MapFileName(std::string_view rest) {
    for (;;) {
        rest = Trimmed(rest);
        std::string_view after = rest;
        const std::string_view token = NextToken(&after);
        const int values = MapOptionValues(token);
        if (values < 0) return rest;
        rest = after;
        // Option values: numbers, or a word for the switches (-clamp on); never more than given.
        for (int v = 0; v < values; ++v) {
            std::string_view next = rest;
            const std::string_view value = NextToken(&next);
            float number;
            const bool isNumber =
                !value.empty() &&
                std::from_chars(value.data(), value.data() + value.size(), number).ptr ==
                    value.data() + value.size();
            if (!isNumber && (v > 0 || values == 3)) break;
            rest = next;
        }
    }
}

class MtlParser {
  public:
    explicit MtlParser(const std::string& path) : path_(path) {}

    std::vector<FileMaterial> Read(std::string_view text) {
        std::string joined;
        ForEachLine(text, &line_, joined, [this](std::string_view line) { ReadLine(line); });
        for (size_t m = 0; m < materials_.size(); ++m)
            if (!opacityFromD_[m] && transparency_[m] >= 0)
                materials_[m].opacity = 1.0f - transparency_[m];
        return std::move(materials_);
    }

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(path_ + ":" + std::to_string(line_) + ": " + what);
    }

    float Number(std::string_view token) const {
        float value = 0;
        const char* end = token.data() + token.size();
        const auto [ptr, ec] = std::from_chars(token.data(), end, value);
        if (token.empty() || ec != std::errc() || ptr != end || !std::isfinite(value))
            Fail("expected a number, got '" + std::string(token) + "'");
        return value;
    }

    FileMaterial& Current() {
        if (materials_.empty()) Fail("a material statement before any 'newmtl'");
        return materials_.back();
    }

    void ReadLine(std::string_view line) {
        std::string_view rest = line;
        const std::string_view keyword = NextToken(&rest);
        if (keyword == "newmtl") {
            FileMaterial& material = materials_.emplace_back();
            material.name = std::string(Trimmed(rest));
            material.given = true;
            opacityFromD_.push_back(false);
            transparency_.push_back(-1.0f);
        } else if (keyword == "Kd") {
            FileMaterial& material = Current();
            const std::string_view first = NextToken(&rest);
            // "Kd spectral file" and "Kd xyz x y z" have no plain colour: the default stays.
            if (first == "spectral" || first == "xyz") return;
            const float r = Number(first);
            const std::string_view second = NextToken(&rest);
            const float g = second.empty() ? r : Number(second);
            const float b = second.empty() ? r : Number(NextToken(&rest));
            material.diffuse = {std::clamp(r, 0.0f, 1.0f), std::clamp(g, 0.0f, 1.0f),
                                std::clamp(b, 0.0f, 1.0f)};
        } else if (keyword == "d") {
            FileMaterial& material = Current();
            std::string_view token = NextToken(&rest);
            if (token == "-halo") token = NextToken(&rest);
            material.opacity = std::clamp(Number(token), 0.0f, 1.0f);
            opacityFromD_.back() = true;
        } else if (keyword == "Tr") {
            Current();
            transparency_.back() = std::clamp(Number(NextToken(&rest)), 0.0f, 1.0f);
        } else if (keyword == "map_Kd") {
            Current().diffuseMap = std::string(MapFileName(rest));
        }
    }

    std::string path_;
    int line_ = 0;
    std::vector<FileMaterial> materials_;
    std::vector<bool> opacityFromD_;   // per material: `d` given, which wins over `Tr`
    std::vector<float> transparency_;  // per material: `Tr`, or -1
};

// The library files one `mtllib` line names, relative to the OBJ file's folder: the whole rest
// when that is a file (names with spaces), otherwise each word.
std::vector<std::filesystem::path> LibraryNames(const std::filesystem::path& folder,
                                                const std::string& line) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(folder / line, ec)) return {line};
    std::vector<std::filesystem::path> names;
    std::string_view rest = line;
    for (std::string_view word = NextToken(&rest); !word.empty(); word = NextToken(&rest))
        names.emplace_back(word);
    return names;
}

}  // namespace

std::vector<FileMaterial> ReadMtl(const std::string& path, std::string_view text) {
    return MtlParser(path).Read(text);
}

FileScene ReadObjMaterials(const std::string& objPath, const ObjMaterialRefs& refs) {
    FileScene scene;
    if (refs.names.empty()) return scene;
    const std::filesystem::path folder = std::filesystem::path(objPath).parent_path();
    // The first definition of a name counts, as libraries are read in order.
    std::unordered_map<std::string, FileMaterial> defined;
    for (const std::string& line : refs.libraries) {
        for (const std::filesystem::path& name : LibraryNames(folder, line)) {
            const std::filesystem::path file = folder / name;
            std::error_code ec;
            if (!std::filesystem::is_regular_file(file, ec)) {
                scene.warnings.push_back(objPath + ": material library '" + file.string() +
                                         "' not found; its materials are left out");
                continue;
            }
            std::ifstream in(file, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            if (!in) throw InputError(file.string() + ": cannot be read");
            for (FileMaterial& material : ReadMtl(file.string(), text.str())) {
                // A library names textures from its own folder; kept relative to the OBJ file.
                if (!material.diffuseMap.empty() &&
                    std::filesystem::path(material.diffuseMap).is_relative())
                    material.diffuseMap = (name.parent_path() / material.diffuseMap).string();
                defined.emplace(material.name, std::move(material));
            }
        }
    }
    bool any = false;
    for (const std::string& name : refs.names) {
        FileMaterial& material = scene.materials.emplace_back();
        const auto found = defined.find(name);
        if (found != defined.end()) {
            material = found->second;
            any = true;
        } else {
            material.name = name;
            if (!refs.libraries.empty())
                scene.warnings.push_back(objPath + ": material '" + name +
                                         "' is not defined in its libraries");
        }
    }
    if (!any) scene.materials.clear();
    return scene;
}

}  // namespace KvrnApp
