#include "ply_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <type_traits>

#include "reader_text.h"

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

// Elements between two looks at the interrupt flag: about a millisecond of work.
constexpr uint64_t kPollMask = 0xFFFF;

enum class PlyType { kInt8, kUInt8, kInt16, kUInt16, kInt32, kUInt32, kFloat32, kFloat64 };

struct PlyTypeInfo {
    const char* name;       // the original name
    const char* sizedName;  // the later one with the size in it
    uint64_t size;
    bool integer;
    double min, max;
};

constexpr PlyTypeInfo kPlyTypes[] = {
    {"char", "int8", 1, true, -128.0, 127.0},
    {"uchar", "uint8", 1, true, 0.0, 255.0},
    {"short", "int16", 2, true, -32768.0, 32767.0},
    {"ushort", "uint16", 2, true, 0.0, 65535.0},
    {"int", "int32", 4, true, -2147483648.0, 2147483647.0},
    {"uint", "uint32", 4, true, 0.0, 4294967295.0},
    {"float", "float32", 4, false, -FLT_MAX, FLT_MAX},
    {"double", "float64", 8, false, -DBL_MAX, DBL_MAX},
};

const PlyTypeInfo& Info(PlyType type) { return kPlyTypes[int(type)]; }

std::optional<PlyType> ParseType(std::string_view name) {
    for (size_t t = 0; t < std::size(kPlyTypes); ++t)
        if (name == kPlyTypes[t].name || name == kPlyTypes[t].sizedName) return PlyType(t);
    return std::nullopt;
}

struct PlyProperty {
    std::string name;
    PlyType type = PlyType::kFloat32;  // of the value, or of a list's items
    bool isList = false;
    PlyType countType = PlyType::kUInt8;
};

struct PlyElement {
    std::string name;
    uint64_t count = 0;
    int line = 0;  // of its header line
    std::vector<PlyProperty> properties;

    bool HasList() const {
        return std::any_of(properties.begin(), properties.end(),
                           [](const PlyProperty& p) { return p.isList; });
    }
    // Bytes one instance takes at least, its lists empty: in binary the sum of the sizes, in
    // ASCII two characters (a digit and a space or newline) per value.
    uint64_t MinSize(bool ascii) const {
        uint64_t size = 0;
        for (const PlyProperty& p : properties)
            size += ascii ? 2 : Info(p.isList ? p.countType : p.type).size;
        return size;
    }
};

std::string NumberText(double value) {
    if (value == std::trunc(value) && std::fabs(value) < 1e18)
        return std::to_string(int64_t(value));
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string_view NextToken(std::string_view* rest) {
    size_t start = 0;
    while (start < rest->size() && ((*rest)[start] == ' ' || (*rest)[start] == '\t')) ++start;
    size_t end = start;
    while (end < rest->size() && (*rest)[end] != ' ' && (*rest)[end] != '\t') ++end;
    const std::string_view token = rest->substr(start, end - start);
    rest->remove_prefix(end);
    return token;
}

// Where the reader is, for messages.
struct PlyPlace {
    const std::string* path = nullptr;
    const PlyElement* element = nullptr;
    uint64_t instance = 0;

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
        std::string message = *path + ": " + where + ": ";
        if (element)
            message += "element '" + Shown(element->name) + "' " + std::to_string(instance) + ": ";
        throw InputError(message + what);
    }
};

// ---- Value cursors --------------------------------------------------------------------------
// Both read an element instance as BeginRecord, one call per value, EndRecord. Every value comes
// back as a double, which holds all PLY types exactly (float64 as itself).

uint16_t ByteSwap(uint16_t v) { return __builtin_bswap16(v); }
uint32_t ByteSwap(uint32_t v) { return __builtin_bswap32(v); }
uint64_t ByteSwap(uint64_t v) { return __builtin_bswap64(v); }

template <typename T, typename Bits>
T Load(const char* at, bool swap) {
    Bits bits;
    std::memcpy(&bits, at, sizeof bits);
    if (swap) bits = ByteSwap(bits);
    return std::bit_cast<T>(bits);
}

class BinaryCursor {
  public:
    BinaryCursor(std::string_view bytes, size_t offset, bool swap, PlyPlace* place)
        : begin_(bytes.data()),
          at_(begin_ + offset),
          value_(at_),
          end_(begin_ + bytes.size()),
          swap_(swap),
          place_(place) {}

    void BeginRecord() {}
    void EndRecord() {}

    double Scalar(const PlyProperty& property) { return Value(property.type); }
    void SkipScalar(const PlyProperty& property) { Skip(Info(property.type).size); }

    uint64_t ListCount(const PlyProperty& property) {
        const double count = Value(property.countType);
        if (count < 0) Fail("list '" + Shown(property.name) + "' has a negative count");
        if (count * double(Info(property.type).size) > double(end_ - at_)) {
            Fail("list '" + Shown(property.name) + "' of " + NumberText(count) +
                 " items runs past the end of the file");
        }
        return uint64_t(count);
    }
    void SkipList(const PlyProperty& property) {
        Skip(ListCount(property) * Info(property.type).size);
    }
    // Calls visit(value) for each item of the list that comes next.
    template <typename Visit>
    void ListItems(const PlyProperty& property, Visit&& visit) {
        const uint64_t count = ListCount(property);  // checked to be in the file
        for (const char* end = at_ + count * Info(property.type).size; at_ != end;) {
            value_ = at_;
            at_ += Info(property.type).size;
            visit(Decode(value_, property.type));
        }
    }

    // The instances of an element without lists, checked to be in the file and passed over at
    // once, to be read with ValueAt; null when the element has lists.
    const char* FixedRecords(const PlyElement& element) {
        if (element.HasList()) return nullptr;
        const uint64_t size = element.MinSize(false);
        if (size > 0 && element.count > uint64_t(end_ - at_) / size) {
            place_->instance = uint64_t(end_ - at_) / size;
            value_ = at_ + place_->instance * size;
            Fail("the file ends inside the element (truncated)");
        }
        const char* records = at_;
        at_ += element.count * size;
        return records;
    }
    double ValueAt(const char* at, PlyType type) {
        value_ = at;
        return Decode(at, type);
    }

    [[noreturn]] void Fail(const std::string& what) const {
        place_->Fail("byte " + std::to_string(value_ - begin_), what);
    }

  private:
    double Value(PlyType type) {
        value_ = at_;
        const uint64_t size = Info(type).size;
        if (uint64_t(end_ - at_) < size) Fail("the file ends inside the element (truncated)");
        at_ += size;
        return Decode(value_, type);
    }
    double Decode(const char* at, PlyType type) const {
        switch (type) {
            case PlyType::kInt8:
                return double(int8_t(*at));
            case PlyType::kUInt8:
                return double(uint8_t(*at));
            case PlyType::kInt16:
                return Load<int16_t, uint16_t>(at, swap_);
            case PlyType::kUInt16:
                return Load<uint16_t, uint16_t>(at, swap_);
            case PlyType::kInt32:
                return Load<int32_t, uint32_t>(at, swap_);
            case PlyType::kUInt32:
                return Load<uint32_t, uint32_t>(at, swap_);
            case PlyType::kFloat32:
                return Load<float, uint32_t>(at, swap_);
            case PlyType::kFloat64:
                return Load<double, uint64_t>(at, swap_);
        }
        return 0;
    }
    void Skip(uint64_t bytes) {
        value_ = at_;
        if (uint64_t(end_ - at_) < bytes) Fail("the file ends inside the element (truncated)");
        at_ += bytes;
    }

    const char* begin_;
    const char* at_;     // next value
    const char* value_;  // the value read last, for messages
    const char* end_;
    bool swap_;
    PlyPlace* place_;
};

// ASCII data: one element instance per line, values separated by spaces or tabs.
class AsciiCursor {
  public:
    AsciiCursor(std::string_view bytes, size_t offset, int line, const PlyPlace* place)
        : text_(bytes), next_(offset), line_(line), place_(place) {}

    // Moves to the next line that is not blank.
    void BeginRecord() {
        while (true) {
            if (next_ >= text_.size()) {
                ++line_;
                Fail("the file ends before this element (truncated)");
            }
            const char* start = text_.data() + next_;
            const char* newline =
                static_cast<const char*>(std::memchr(start, '\n', text_.size() - next_));
            const char* end = newline ? newline : text_.data() + text_.size();
            next_ = size_t(end - text_.data()) + 1;
            ++line_;
            at_ = start;
            lineEnd_ = end > start && end[-1] == '\r' ? end - 1 : end;
            SkipBlanks();
            if (at_ != lineEnd_) return;
        }
    }
    void EndRecord() {
        SkipBlanks();
        if (at_ != lineEnd_) {
            Fail("more values than its properties declare, from '" +
                 Shown(std::string_view(at_, size_t(lineEnd_ - at_))) + "'");
        }
    }

    double Scalar(const PlyProperty& property) {
        return Number(Token(property), property.type, property);
    }
    void SkipScalar(const PlyProperty& property) { Token(property); }

    uint64_t ListCount(const PlyProperty& property) {
        const double count = Number(Token(property), property.countType, property);
        if (count < 0) Fail("list '" + Shown(property.name) + "' has a negative count");
        if (count > double((lineEnd_ - at_ + 1) / 2)) {
            Fail("list '" + Shown(property.name) + "' claims " + NumberText(count) +
                 " items, more than the line holds");
        }
        return uint64_t(count);
    }
    void SkipList(const PlyProperty& property) {
        for (uint64_t n = ListCount(property); n > 0; --n) Token(property);
    }
    template <typename Visit>
    void ListItems(const PlyProperty& property, Visit&& visit) {
        for (uint64_t n = ListCount(property); n > 0; --n) visit(Scalar(property));
    }

    [[noreturn]] void Fail(const std::string& what) const {
        place_->Fail("line " + std::to_string(line_), what);
    }

  private:
    void SkipBlanks() {
        while (at_ != lineEnd_ && (*at_ == ' ' || *at_ == '\t')) ++at_;
    }
    std::string_view Token(const PlyProperty& property) {
        SkipBlanks();
        const char* start = at_;
        while (at_ != lineEnd_ && *at_ != ' ' && *at_ != '\t') ++at_;
        if (at_ == start) Fail("too few values on the line ('" + Shown(property.name) + "')");
        return std::string_view(start, size_t(at_ - start));
    }
    double Number(std::string_view token, PlyType type, const PlyProperty& property) const {
        const std::string_view digits =
            token.size() > 1 && token[0] == '+' && token[1] != '-' ? token.substr(1) : token;
        const char* end = digits.data() + digits.size();
        std::from_chars_result result{};
        double value = 0;
        if (Info(type).integer) {
            int64_t whole = 0;
            result = std::from_chars(digits.data(), end, whole);
            value = double(whole);
        } else if (type == PlyType::kFloat32) {
            float single = 0;
            result = ParseReal(digits.data(), end, single);
            value = single;
        } else {
            result = ParseReal(digits.data(), end, value);
        }
        // Float values out of range fail in from_chars; infinities pass and are judged by use.
        const bool outOfRange = result.ec == std::errc::result_out_of_range ||
                                (result.ec == std::errc() && Info(type).integer &&
                                 (value < Info(type).min || value > Info(type).max));
        if (outOfRange && result.ptr == end) {
            Fail("'" + Shown(token) + "' is out of range for '" + Shown(property.name) + "' (" +
                 Info(type).name + ")");
        }
        if (result.ec != std::errc() || result.ptr != end) {
            Fail(std::string("expected ") + (Info(type).integer ? "a whole number" : "a number") +
                 " for '" + Shown(property.name) + "', got '" + Shown(token) + "'");
        }
        return value;
    }

    std::string_view text_;
    size_t next_;  // start of the next line
    int line_;     // number of the current line
    const char* at_ = nullptr;
    const char* lineEnd_ = nullptr;
    const PlyPlace* place_;
};

// ---- Parser ---------------------------------------------------------------------------------

enum class PlyFormat { kAscii, kBinaryLittleEndian, kBinaryBigEndian };

// What a vertex property is read for.
enum VertexValue : uint8_t { kX, kY, kZ, kNx, kNy, kNz, kU, kV, kRed, kGreen, kBlue, kUnused };
constexpr int kVertexValues = kUnused + 1;

class PlyParser {
  public:
    PlyParser(const std::string& path, std::string_view bytes,
              const volatile std::sig_atomic_t* interrupt)
        : path_(path), bytes_(bytes), interrupt_(interrupt) {
        place_.path = &path_;
    }

    std::vector<PolyMesh> Parse();

  private:
    [[noreturn]] void Fail(const std::string& what) const { throw InputError(path_ + ": " + what); }
    [[noreturn]] void FailAtLine(int line, const std::string& what) const {
        place_.Fail("line " + std::to_string(line), what);
    }
    void ParseHeader();
    void HeaderLine(std::string_view keyword, std::string_view rest);
    void AddProperty(std::string_view rest);
    void PlanVertices();
    void PlanFaces();
    void CheckCounts() const;
    template <class Cursor>
    void ReadElements(Cursor& cursor);
    template <class Cursor>
    void ReadVertices(Cursor& cursor, const PlyElement& element);
    template <class Cursor>
    void AddVertex(const Cursor& cursor, const std::array<double, kVertexValues>& value);
    template <class Cursor>
    void ReadFaces(Cursor& cursor, const PlyElement& element);
    template <class Cursor>
    void SkipElement(Cursor& cursor, const PlyElement& element);
    PolyMesh BuildMesh();

    const std::string& path_;
    std::string_view bytes_;
    const volatile std::sig_atomic_t* interrupt_;
    PlyPlace place_;
    int line_ = 0;  // header line being read
    std::optional<PlyFormat> format_;
    std::vector<PlyElement> elements_;
    size_t dataOffset_ = 0;
    const PlyElement* vertexElement_ = nullptr;
    const PlyElement* faceElement_ = nullptr;

    std::vector<VertexValue> vertexUse_;  // per vertex property
    std::array<double, kVertexValues> colorScale_{};
    bool hasNormals_ = false, hasTexture_ = false, hasColors_ = false;
    int cornerList_ = -1;  // face property index of the corner list
    int material_ = -1;    // face property index of material_index, -1: none

    std::vector<Point3> positions_, normals_, texture_, colors_;
    PackedPolygons faces_;
    std::vector<int32_t> corners_;  // of the face being read
};

void PlyParser::ParseHeader() {
    size_t pos = 0;
    while (pos < bytes_.size()) {
        size_t end = bytes_.find('\n', pos);
        if (end == std::string_view::npos) end = bytes_.size();
        std::string_view line = bytes_.substr(pos, end - pos);
        pos = end + 1;
        ++line_;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line_ == 1) {
            if (line != "ply") Fail("not a PLY file (the first line is not 'ply')");
            continue;
        }
        std::string_view rest = line;
        const std::string_view keyword = NextToken(&rest);
        if (keyword == "end_header") {
            if (!format_) FailAtLine(line_, "the header has no 'format' line");
            dataOffset_ = std::min(pos, bytes_.size());
            return;
        }
        HeaderLine(keyword, rest);
    }
    if (line_ == 0) Fail("empty file, expected a PLY header");
    Fail("the header has no 'end_header' line (truncated or not a PLY file)");
}

void PlyParser::HeaderLine(std::string_view keyword, std::string_view rest) {
    if (keyword.empty() || keyword == "comment" || keyword == "obj_info") return;
    if (keyword == "format") {
        const std::string_view name = NextToken(&rest);
        if (format_) FailAtLine(line_, "a second 'format' line");
        if (name == "ascii") {
            format_ = PlyFormat::kAscii;
        } else if (name == "binary_little_endian") {
            format_ = PlyFormat::kBinaryLittleEndian;
        } else if (name == "binary_big_endian") {
            format_ = PlyFormat::kBinaryBigEndian;
        } else {
            FailAtLine(line_, "unknown format '" + Shown(name) +
                                  "' (expected ascii, binary_little_endian or binary_big_endian)");
        }
    } else if (keyword == "element") {
        PlyElement element;
        element.name = NextToken(&rest);
        element.line = line_;
        const std::string_view count = NextToken(&rest);
        const auto [ptr, ec] =
            std::from_chars(count.data(), count.data() + count.size(), element.count);
        if (element.name.empty() || count.empty() || ec != std::errc() ||
            ptr != count.data() + count.size()) {
            FailAtLine(line_, "expected 'element <name> <count>', got element '" +
                                  Shown(element.name) + "' with count '" + Shown(count) + "'");
        }
        elements_.push_back(std::move(element));
    } else if (keyword == "property") {
        AddProperty(rest);
    } else {
        FailAtLine(line_, "unknown header line '" + Shown(keyword) +
                              "' (expected format, element, property, comment, obj_info or "
                              "end_header)");
    }
}

void PlyParser::AddProperty(std::string_view rest) {
    if (elements_.empty()) FailAtLine(line_, "a property before any element");
    PlyElement& element = elements_.back();
    PlyProperty property;
    std::string_view typeName = NextToken(&rest);
    if (typeName == "list") {
        property.isList = true;
        const std::string_view countName = NextToken(&rest);
        const std::optional<PlyType> countType = ParseType(countName);
        if (!countType) FailAtLine(line_, "unknown list count type '" + Shown(countName) + "'");
        // A list with a fractional count cannot be sized, nor can anything after it.
        if (!Info(*countType).integer) {
            FailAtLine(line_, "list count type '" + Shown(countName) + "' is not an integer type");
        }
        property.countType = *countType;
        typeName = NextToken(&rest);
    }
    const std::optional<PlyType> type = ParseType(typeName);
    if (!type) FailAtLine(line_, "unknown property type '" + Shown(typeName) + "'");
    property.type = *type;
    property.name = NextToken(&rest);
    if (property.name.empty()) FailAtLine(line_, "property without a name");
    // A name declared twice is not an error: lookups take the first, the rest are skipped.
    element.properties.push_back(std::move(property));
}

int FindProperty(const PlyElement& element, std::string_view name) {
    for (size_t p = 0; p < element.properties.size(); ++p)
        if (element.properties[p].name == name) return int(p);
    return -1;
}

// Gives the properties `names` the uses `values` when all of them are present; false otherwise.
template <size_t N>
bool UseAll(const PlyElement& element, const std::array<const char*, N>& names,
            const std::array<VertexValue, N>& values, std::vector<VertexValue>* use) {
    std::array<int, N> found;
    for (size_t i = 0; i < N; ++i) {
        found[i] = FindProperty(element, names[i]);
        if (found[i] < 0) return false;
    }
    for (size_t i = 0; i < N; ++i) (*use)[found[i]] = values[i];
    return true;
}

void PlyParser::PlanVertices() {
    for (const PlyElement& element : elements_) {
        if (element.name != "vertex") continue;
        if (vertexElement_) FailAtLine(element.line, "a second 'vertex' element");
        vertexElement_ = &element;
    }
    if (!vertexElement_) Fail("no faces (the file has no 'vertex' element)");
    const PlyElement& element = *vertexElement_;
    if (element.count > uint64_t(INT32_MAX))
        FailAtLine(element.line, "too many vertices (" + std::to_string(element.count) + ")");
    vertexUse_.assign(element.properties.size(), kUnused);
    for (const char* name : {"x", "y", "z"}) {
        if (FindProperty(element, name) < 0)
            FailAtLine(element.line,
                       std::string("element 'vertex' has no '") + name + "' property");
    }
    UseAll<3>(element, {"x", "y", "z"}, {kX, kY, kZ}, &vertexUse_);
    hasNormals_ = UseAll<3>(element, {"nx", "ny", "nz"}, {kNx, kNy, kNz}, &vertexUse_);
    hasTexture_ = UseAll<2>(element, {"u", "v"}, {kU, kV}, &vertexUse_) ||
                  UseAll<2>(element, {"s", "t"}, {kU, kV}, &vertexUse_) ||
                  UseAll<2>(element, {"texture_u", "texture_v"}, {kU, kV}, &vertexUse_) ||
                  UseAll<2>(element, {"texture_s", "texture_t"}, {kU, kV}, &vertexUse_);
    hasColors_ = UseAll<3>(element, {"red", "green", "blue"}, {kRed, kGreen, kBlue}, &vertexUse_) ||
                 UseAll<3>(element, {"diffuse_red", "diffuse_green", "diffuse_blue"},
                           {kRed, kGreen, kBlue}, &vertexUse_);
    for (size_t p = 0; p < element.properties.size(); ++p) {
        const PlyProperty& property = element.properties[p];
        if (vertexUse_[p] == kUnused) continue;
        if (property.isList) {
            FailAtLine(element.line, "vertex property '" + Shown(property.name) +
                                         "' is a list, expected a number");
        }
        // Integer colours run from 0 to their type's maximum.
        colorScale_[vertexUse_[p]] = Info(property.type).integer ? 1 / Info(property.type).max : 1;
    }
}

void PlyParser::PlanFaces() {
    for (const PlyElement& element : elements_) {
        if (element.name != "face") continue;
        if (faceElement_) FailAtLine(element.line, "a second 'face' element");
        faceElement_ = &element;
    }
    if (!faceElement_) Fail("no faces (the file has no 'face' element)");
    const PlyElement& element = *faceElement_;
    cornerList_ = FindProperty(element, "vertex_indices");
    if (cornerList_ < 0) cornerList_ = FindProperty(element, "vertex_index");
    if (cornerList_ < 0 || !element.properties[cornerList_].isList ||
        !Info(element.properties[cornerList_].type).integer) {
        FailAtLine(element.line,
                   "element 'face' has no integer list property 'vertex_indices' or "
                   "'vertex_index'");
    }
    material_ = FindProperty(element, "material_index");
    if (material_ >= 0 && (element.properties[material_].isList ||
                           !Info(element.properties[material_].type).integer)) {
        FailAtLine(element.line, "face property 'material_index' is not an integer");
    }
}

// Counts are checked against the bytes after the header before anything is allocated, so that
// a header claiming billions of elements fails at once.
void PlyParser::CheckCounts() const {
    const bool ascii = format_ == PlyFormat::kAscii;
    // The last ASCII value needs no separator after it.
    uint64_t left = bytes_.size() - dataOffset_ + (ascii ? 1 : 0);
    for (const PlyElement& element : elements_) {
        const uint64_t size = element.MinSize(ascii);
        if (size == 0) continue;
        if (element.count > left / size) {
            FailAtLine(element.line, "element '" + Shown(element.name) + "' claims " +
                                         std::to_string(element.count) + " instances of at least " +
                                         std::to_string(size) + " bytes, but only " +
                                         std::to_string(left) + " bytes are left in the file");
        }
        left -= element.count * size;
    }
}

template <class Cursor>
void PlyParser::ReadElements(Cursor& cursor) {
    for (const PlyElement& element : elements_) {
        place_.element = &element;
        place_.instance = 0;
        if (&element == vertexElement_) {
            ReadVertices(cursor, element);
        } else if (&element == faceElement_) {
            ReadFaces(cursor, element);
        } else {
            SkipElement(cursor, element);
        }
    }
    place_.element = nullptr;
}

template <class Cursor>
void PlyParser::ReadVertices(Cursor& cursor, const PlyElement& element) {
    const size_t count = size_t(element.count);
    ReserveLarge(positions_, count);
    if (hasNormals_) ReserveLarge(normals_, count);
    if (hasTexture_) ReserveLarge(texture_, count);
    if (hasColors_) ReserveLarge(colors_, count);
    std::array<double, kVertexValues> value{};
    if constexpr (std::is_same_v<Cursor, BinaryCursor>) {
        // Without lists every value sits at a fixed offset in its record: no walk over the
        // properties per vertex.
        if (const char* records = cursor.FixedRecords(element)) {
            struct FixedValue {
                VertexValue use;
                PlyType type;
                uint64_t offset;
            };
            std::vector<FixedValue> fixed;
            uint64_t size = 0;
            for (size_t p = 0; p < element.properties.size(); ++p) {
                const PlyType type = element.properties[p].type;
                if (vertexUse_[p] != kUnused) fixed.push_back({vertexUse_[p], type, size});
                size += Info(type).size;
            }
            for (size_t i = 0; i < count; ++i) {
                if ((i & kPollMask) == 0) PollInterrupt(interrupt_);
                place_.instance = i;
                for (const FixedValue& f : fixed)
                    value[f.use] = cursor.ValueAt(records + i * size + f.offset, f.type);
                AddVertex(cursor, value);
            }
            return;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if ((i & kPollMask) == 0) PollInterrupt(interrupt_);
        place_.instance = i;
        cursor.BeginRecord();
        for (size_t p = 0; p < element.properties.size(); ++p) {
            const PlyProperty& property = element.properties[p];
            if (property.isList) {
                cursor.SkipList(property);
            } else if (vertexUse_[p] == kUnused) {
                cursor.SkipScalar(property);
            } else {
                value[vertexUse_[p]] = cursor.Scalar(property);
            }
        }
        cursor.EndRecord();
        AddVertex(cursor, value);
    }
}

template <class Cursor>
void PlyParser::AddVertex(const Cursor& cursor, const std::array<double, kVertexValues>& value) {
    const auto checked = [&cursor](double v, const char* what) {
        // Also catches doubles beyond float range, whose conversion would be undefined.
        if (!(std::fabs(v) <= FLT_MAX))
            cursor.Fail(std::string(what) + " " + NumberText(v) + " is not a finite float");
        return float(v);
    };
    positions_.push_back({checked(value[kX], "coordinate"), checked(value[kY], "coordinate"),
                          checked(value[kZ], "coordinate")});
    if (hasNormals_) {
        const Point3 n = {checked(value[kNx], "normal"), checked(value[kNy], "normal"),
                          checked(value[kNz], "normal")};
        const float length = std::sqrt(KvrnLib::Dot(n, n));
        normals_.push_back(length > 0 ? n * (1 / length) : n);
    }
    if (hasTexture_) {
        texture_.push_back({checked(value[kU], "texture coordinate"),
                            checked(value[kV], "texture coordinate"), 0});
    }
    if (hasColors_) {
        colors_.push_back({checked(value[kRed] * colorScale_[kRed], "colour"),
                           checked(value[kGreen] * colorScale_[kGreen], "colour"),
                           checked(value[kBlue] * colorScale_[kBlue], "colour")});
    }
}

template <class Cursor>
void PlyParser::ReadFaces(Cursor& cursor, const PlyElement& element) {
    const PlyProperty& cornerList = element.properties[cornerList_];
    // Only faces of 3 corners or more are kept: a file of empty lists must not reserve room for
    // polygons by its count alone.
    const bool ascii = format_ == PlyFormat::kAscii;
    const uint64_t keptSize = element.MinSize(ascii) + 3 * (ascii ? 2 : Info(cornerList.type).size);
    const size_t kept = size_t(std::min(element.count, bytes_.size() / keptSize + 1));
    ReserveLarge(faces_.start, kept + 1);
    ReserveLarge(faces_.vertices, 3 * kept);
    ReserveLarge(faces_.materialIDs, kept);
    const double vertexCount = double(vertexElement_->count);
    for (uint64_t i = 0; i < element.count; ++i) {
        if ((i & kPollMask) == 0) PollInterrupt(interrupt_);
        place_.instance = i;
        cursor.BeginRecord();
        uint16_t material = 0;
        corners_.clear();
        for (size_t p = 0; p < element.properties.size(); ++p) {
            const PlyProperty& property = element.properties[p];
            if (int(p) == cornerList_) {
                cursor.ListItems(property, [&](double vertex) {
                    if (!(vertex >= 0 && vertex < vertexCount)) {
                        cursor.Fail("vertex index " + NumberText(vertex) + " out of range (" +
                                    std::to_string(vertexElement_->count) + " vertices)");
                    }
                    corners_.push_back(int32_t(vertex));
                });
            } else if (int(p) == material_) {
                const double id = cursor.Scalar(property);
                if (!(id >= 0 && id <= 65535))
                    cursor.Fail("material_index " + NumberText(id) + " is not in 0..65535");
                material = uint16_t(id);
            } else if (property.isList) {
                cursor.SkipList(property);
            } else {
                cursor.SkipScalar(property);
            }
        }
        cursor.EndRecord();
        if (corners_.size() < 3) continue;  // points and edges draw no lines of ours
        faces_.vertices.insert(faces_.vertices.end(), corners_.begin(), corners_.end());
        // Mesh corner indices are int32_t.
        if (faces_.vertices.size() > size_t(INT32_MAX))
            cursor.Fail("more than 2^31 - 1 face corners");
        faces_.start.push_back(int32_t(faces_.vertices.size()));
        faces_.materialIDs.push_back(material);
    }
}

template <class Cursor>
void PlyParser::SkipElement(Cursor& cursor, const PlyElement& element) {
    if (element.properties.empty()) return;
    if constexpr (std::is_same_v<Cursor, BinaryCursor>) {
        if (cursor.FixedRecords(element)) return;
    }
    for (uint64_t i = 0; i < element.count; ++i) {
        if ((i & kPollMask) == 0) PollInterrupt(interrupt_);
        place_.instance = i;
        cursor.BeginRecord();
        for (const PlyProperty& property : element.properties) {
            if (property.isList) {
                cursor.SkipList(property);
            } else {
                cursor.SkipScalar(property);
            }
        }
        cursor.EndRecord();
    }
}

// Per-vertex normals and map vertices reach the corners once all elements are read, since the
// faces may come before the vertices.
PolyMesh PlyParser::BuildMesh() {
    PolyMesh mesh;
    mesh.name = std::filesystem::path(path_).stem().string();
    mesh.source = path_;
    const std::vector<int32_t>& corners = faces_.vertices;
    if (hasNormals_) {
        ReserveLarge(mesh.packed.normals, corners.size());
        for (size_t c = 0; c < corners.size(); ++c) {
            if ((c & kPollMask) == 0) PollInterrupt(interrupt_);
            mesh.packed.normals.push_back(normals_[size_t(corners[c])]);
        }
    }
    if (hasTexture_) mesh.packed.mapCorners[kTextureChannel] = corners;
    if (hasColors_) mesh.packed.mapCorners[kColorChannel] = corners;
    mesh.packed.start = std::move(faces_.start);
    mesh.packed.vertices = std::move(faces_.vertices);
    mesh.packed.materialIDs = std::move(faces_.materialIDs);
    mesh.vertices = std::move(positions_);
    mesh.mapVertices[kTextureChannel] = std::move(texture_);
    mesh.mapVertices[kColorChannel] = std::move(colors_);
    return mesh;
}

std::vector<PolyMesh> PlyParser::Parse() {
    ParseHeader();
    PlanVertices();
    PlanFaces();
    CheckCounts();
    if (format_ == PlyFormat::kAscii) {
        AsciiCursor cursor(bytes_, dataOffset_, line_, &place_);
        ReadElements(cursor);
    } else {
        const bool bigEndian = format_ == PlyFormat::kBinaryBigEndian;
        const bool swap = bigEndian != (std::endian::native == std::endian::big);
        BinaryCursor cursor(bytes_, dataOffset_, swap, &place_);
        ReadElements(cursor);
    }
    if (faces_.Count() == 0) Fail("no faces (none with 3 corners or more)");
    std::vector<PolyMesh> meshes;
    meshes.push_back(BuildMesh());
    return meshes;
}

}  // namespace

std::vector<PolyMesh> ReadPly(const std::string& path, std::string_view bytes,
                              const volatile std::sig_atomic_t* interrupt) {
    return PlyParser(path, bytes, interrupt).Parse();
}

}  // namespace KvrnApp
