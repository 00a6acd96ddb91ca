#include "stl_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "reader_text.h"

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

constexpr uint64_t kBinaryHeaderBytes = 84;  // 80 free bytes, then the triangle count
constexpr uint64_t kBinaryTriangleBytes = 50;
// Triangles between two looks at the interrupt flag: about a millisecond of work.
constexpr uint64_t kPollMask = 0xFFFF;
// Corner indices are int32.
constexpr uint64_t kMaxTriangles = INT32_MAX / 3;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool EqualNoCase(std::string_view token, std::string_view keyword) {
    return token.size() == keyword.size() &&
           std::equal(token.begin(), token.end(), keyword.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
           });
}

bool StartsWithSolid(std::string_view bytes) {
    size_t start = 0;
    while (start < bytes.size() && IsSpace(bytes[start])) ++start;
    return EqualNoCase(bytes.substr(start, 5), "solid");
}

// Control bytes other than whitespace: binary data after a header that happens to say "solid".
bool HasBinaryBytes(std::string_view bytes) {
    const std::string_view head = bytes.substr(0, 512);
    return std::any_of(head.begin(), head.end(),
                       [](char c) { return (unsigned char)c < ' ' && !IsSpace(c); });
}

PolyMesh EmptyMesh(const std::string& path) {
    PolyMesh mesh;
    mesh.name = std::filesystem::path(path).stem().string();
    mesh.source = path;
    return mesh;
}

// The last three vertices as one more triangle.
void AddTriangle(PolyMesh* mesh) {
    PackedPolygons& packed = mesh->packed;
    const int32_t first = int32_t(mesh->vertices.size()) - 3;
    packed.vertices.insert(packed.vertices.end(), {first, first + 1, first + 2});
    packed.start.push_back(first + 3);
    packed.materialIDs.push_back(0);
}

// Room for `triangles` more.
void ReserveTriangles(PolyMesh* mesh, size_t triangles) {
    ReserveLarge(mesh->vertices, 3 * triangles);
    ReserveLarge(mesh->packed.vertices, 3 * triangles);
    ReserveLarge(mesh->packed.start, triangles + 1);
    ReserveLarge(mesh->packed.materialIDs, triangles);
}

float LoadFloat(const char* at) {
    uint32_t bits;
    std::memcpy(&bits, at, sizeof bits);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

// Binary STL: per triangle a normal, 3 vertices (12 little-endian floats) and 2 attribute bytes.
PolyMesh ReadBinary(const std::string& path, std::string_view bytes, uint64_t count,
                    const volatile std::sig_atomic_t* interrupt) {
    if (count == 0) throw InputError(path + ": no triangles (binary STL with a count of 0)");
    if (count > kMaxTriangles) {
        throw InputError(path + ": " + std::to_string(count) + " triangles, more than the " +
                         std::to_string(kMaxTriangles) + " supported");
    }
    PolyMesh mesh = EmptyMesh(path);
    ReserveTriangles(&mesh, count);
    for (uint64_t t = 0; t < count; ++t) {
        if ((t & kPollMask) == 0) PollInterrupt(interrupt);
        const uint64_t offset = kBinaryHeaderBytes + t * kBinaryTriangleBytes;
        const char* at = bytes.data() + offset;
        float values[12];
        for (int i = 0; i < 12; ++i) {
            values[i] = LoadFloat(at + 4 * i);
            if (std::isfinite(values[i])) continue;
            throw InputError(path + ": triangle " + std::to_string(t + 1) + " of " +
                             std::to_string(count) + " (byte " + std::to_string(offset) +
                             "): " + (i < 3 ? "its normal" : "vertex " + std::to_string(i / 3)) +
                             " is not finite");
        }
        for (int v = 1; v <= 3; ++v)
            mesh.vertices.push_back({values[3 * v], values[3 * v + 1], values[3 * v + 2]});
        AddTriangle(&mesh);
    }
    return mesh;
}

// ASCII STL: solid [name] { facet normal n n n  outer loop  vertex x y z (3 times)  endloop
// endfacet } endsolid [name], repeated; keywords in any case.
class StlAsciiParser {
  public:
    StlAsciiParser(const std::string& path, std::string_view text,
                   const volatile std::sig_atomic_t* interrupt)
        : path_(path), text_(text), interrupt_(interrupt) {}

    PolyMesh Parse();

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(path_ + ": line " + std::to_string(line_) + ": " + what);
    }
    std::string_view Next();
    void Expect(std::string_view keyword);
    float Number(const char* what);
    Point3 Vector(const char* what);
    void SkipLine();
    void Reserve(PolyMesh* mesh) const;

    const std::string& path_;
    std::string_view text_;
    const volatile std::sig_atomic_t* interrupt_;
    size_t pos_ = 0;
    int line_ = 1;  // of the token read last
};

// The next whitespace-separated token; empty at the end of the text.
std::string_view StlAsciiParser::Next() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) line_ += text_[pos_++] == '\n';
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
}

void StlAsciiParser::Expect(std::string_view keyword) {
    const std::string_view token = Next();
    if (token.empty()) Fail("the file ends where '" + std::string(keyword) + "' was expected");
    if (!EqualNoCase(token, keyword))
        Fail("expected '" + std::string(keyword) + "', got '" + Shown(token) + "'");
}

float StlAsciiParser::Number(const char* what) {
    const std::string_view token = Next();
    const std::string_view digits =
        token.size() > 1 && token[0] == '+' && token[1] != '-' ? token.substr(1) : token;
    const char* end = digits.data() + digits.size();
    float value = 0;
    const auto [ptr, ec] = ParseReal(digits.data(), end, value);
    if (token.empty() || ptr != end || (ec != std::errc() && ec != std::errc::result_out_of_range))
        Fail(std::string("expected a number in the ") + what + ", got '" + Shown(token) + "'");
    if (ec != std::errc() || !std::isfinite(value))
        Fail(std::string("the ") + what + " value '" + Shown(token) + "' is not a finite float");
    return value;
}

Point3 StlAsciiParser::Vector(const char* what) {
    Point3 p;
    p.x = Number(what);
    p.y = Number(what);
    p.z = Number(what);
    return p;
}

// Past the rest of the current line: a solid's name, which may hold spaces.
void StlAsciiParser::SkipLine() {
    const size_t newline = text_.find('\n', pos_);
    if (newline == std::string_view::npos) {
        pos_ = text_.size();
        return;
    }
    pos_ = newline + 1;
    ++line_;
}

// Sizes the arrays from the line count (7 lines a facet as usually written), but never beyond
// what the bytes can hold, so that a file of blank lines reserves little.
void StlAsciiParser::Reserve(PolyMesh* mesh) const {
    constexpr size_t kLinesPerFacet = 7;
    // "facet normal 0 0 0 outer loop vertex 0 0 0 vertex 0 0 0 vertex 0 0 0 endloop endfacet "
    constexpr size_t kMinFacetBytes = 86;
    const size_t lines = size_t(std::count(text_.begin(), text_.end(), '\n'));
    const size_t facets = std::min(lines / kLinesPerFacet, text_.size() / kMinFacetBytes) + 1;
    ReserveTriangles(mesh, facets);
}

PolyMesh StlAsciiParser::Parse() {
    PolyMesh mesh = EmptyMesh(path_);
    Reserve(&mesh);
    Expect("solid");
    while (true) {
        SkipLine();
        for (std::string_view token = Next(); !EqualNoCase(token, "endsolid"); token = Next()) {
            if (token.empty()) Fail("the file ends before 'endsolid' (truncated)");
            if (!EqualNoCase(token, "facet"))
                Fail("expected 'facet' or 'endsolid', got '" + Shown(token) + "'");
            if ((mesh.packed.Count() & kPollMask) == 0) PollInterrupt(interrupt_);
            if (mesh.packed.Count() >= kMaxTriangles) Fail("too many triangles");
            Expect("normal");
            Vector("facet normal");
            Expect("outer");
            Expect("loop");
            for (int v = 0; v < 3; ++v) {
                Expect("vertex");
                mesh.vertices.push_back(Vector("vertex"));
            }
            Expect("endloop");
            Expect("endfacet");
            AddTriangle(&mesh);
        }
        SkipLine();
        const std::string_view token = Next();
        if (token.empty()) break;
        if (!EqualNoCase(token, "solid"))
            Fail("expected 'solid' or the end of the file, got '" + Shown(token) + "'");
    }
    if (mesh.packed.Count() == 0)
        throw InputError(path_ + ": no triangles (ASCII STL without facets)");
    return mesh;
}

}  // namespace

std::vector<PolyMesh> ReadStl(const std::string& path, std::string_view bytes,
                              const volatile std::sig_atomic_t* interrupt) {
    std::vector<PolyMesh> meshes;
    uint64_t count = 0;
    uint64_t binarySize = 0;
    if (bytes.size() >= kBinaryHeaderBytes) {
        uint32_t header;
        std::memcpy(&header, bytes.data() + 80, sizeof header);
        if constexpr (std::endian::native == std::endian::big) header = __builtin_bswap32(header);
        count = header;
        binarySize = kBinaryHeaderBytes + kBinaryTriangleBytes * count;
    }
    if (binarySize == bytes.size()) {
        meshes.push_back(ReadBinary(path, bytes, count, interrupt));
        return meshes;
    }
    const std::string sizeNote =
        bytes.size() < kBinaryHeaderBytes
            ? "too short for binary STL (" + std::to_string(bytes.size()) + " bytes, at least " +
                  std::to_string(kBinaryHeaderBytes) + ")"
            : "as binary STL its " + std::to_string(count) + " triangles would take " +
                  std::to_string(binarySize) + " bytes, but the file has " +
                  std::to_string(bytes.size());
    if (!StartsWithSolid(bytes)) {
        throw InputError(path + ": neither binary nor ASCII STL: " + sizeNote +
                         ", and it does not start with 'solid'");
    }
    if (bytes.size() >= kBinaryHeaderBytes && HasBinaryBytes(bytes)) {
        throw InputError(path + ": starts with 'solid' but holds binary data, and " + sizeNote +
                         " (truncated binary STL?)");
    }
    meshes.push_back(StlAsciiParser(path, bytes, interrupt).Parse());
    return meshes;
}

}  // namespace KvrnApp
