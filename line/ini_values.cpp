#include "ini_values.h"

#include <charconv>
#include <cmath>
#include <system_error>
#include <type_traits>

namespace KvrnIni {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// std::from_chars takes no '+', which "%d" and "%f" scans accept.
std::string_view DropPlus(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    return text;
}

template <typename T>
bool ParseWhole(std::string_view text, T& value) {
    text = DropPlus(Trim(text));
    if (text.empty()) return false;
    T parsed{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, parsed);
    if (error != std::errc() || stop != end) return false;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(parsed)) return false;
    }
    value = parsed;
    return true;
}

// Space- or tab-separated fields; false unless there are exactly N and each parses.
template <typename T, size_t N>
bool ParseFields(std::string_view text, std::array<T, N>& values) {
    std::array<T, N> parsed{};
    size_t count = 0;
    text = Trim(text);
    while (!text.empty()) {
        size_t end = text.find_first_of(" \t");
        if (end == std::string_view::npos) end = text.size();
        if (count == N || !ParseWhole(text.substr(0, end), parsed[count])) return false;
        ++count;
        text = Trim(text.substr(end));
    }
    if (count != N) return false;
    values = parsed;
    return true;
}

template <typename T, typename Parse>
bool ReadParsed(const IniHandler& ini, std::string_view section, std::string_view key,
                const char* expected, T& value, Parse parse) {
    std::string text;
    if (!ini.ReadString(section, key, text)) return false;
    T parsed = value;
    if (!parse(text, parsed)) {
        ini.NoteParseError({std::string(section), std::string(key), text, expected});
        return false;
    }
    value = parsed;
    return true;
}

template <typename T>
std::string FormatNumber(T value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string FormatInt(int32_t value) { return FormatNumber(value); }

std::string FormatFloat(float value) {
    // Fixed notation with six decimals, as "%f" prints; the largest float needs 39 digits.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    return std::string(buffer, result.ptr);
}

std::string FormatVector(const std::array<float, 3>& value) {
    return FormatFloat(value[0]) + " " + FormatFloat(value[1]) + " " + FormatFloat(value[2]);
}

bool WriteInt(IniHandler& ini, std::string_view section, std::string_view key, int32_t value) {
    return ini.WriteString(section, key, FormatInt(value));
}

bool WriteBool(IniHandler& ini, std::string_view section, std::string_view key, bool value) {
    return WriteInt(ini, section, key, value ? 1 : 0);
}

bool WriteUnsigned(IniHandler& ini, std::string_view section, std::string_view key,
                   uint32_t value) {
    return ini.WriteString(section, key, FormatNumber(value));
}

bool WriteFloat(IniHandler& ini, std::string_view section, std::string_view key, float value) {
    return ini.WriteString(section, key, FormatFloat(value));
}

bool WriteVector(IniHandler& ini, std::string_view section, std::string_view key,
                 const std::array<float, 3>& value) {
    return ini.WriteString(section, key, FormatVector(value));
}

bool WriteClassId(IniHandler& ini, std::string_view section, std::string_view key, uint32_t partA,
                  uint32_t partB) {
    return ini.WriteString(section, key, FormatNumber(partA) + " " + FormatNumber(partB));
}

bool ReadInt(const IniHandler& ini, std::string_view section, std::string_view key,
             int32_t& value) {
    return ReadParsed(ini, section, key, "a whole number", value,
                      [](std::string_view text, int32_t& v) { return ParseWhole(text, v); });
}

bool ReadBool(const IniHandler& ini, std::string_view section, std::string_view key, bool& value) {
    int32_t number = 0;
    if (!ReadInt(ini, section, key, number)) return false;
    value = number != 0;
    return true;
}

bool ReadUnsigned(const IniHandler& ini, std::string_view section, std::string_view key,
                  uint32_t& value) {
    return ReadParsed(ini, section, key, "an unsigned whole number", value,
                      [](std::string_view text, uint32_t& v) { return ParseWhole(text, v); });
}

bool ReadFloat(const IniHandler& ini, std::string_view section, std::string_view key,
               float& value) {
    return ReadParsed(ini, section, key, "a number", value,
                      [](std::string_view text, float& v) { return ParseWhole(text, v); });
}

bool ReadVector(const IniHandler& ini, std::string_view section, std::string_view key,
                std::array<float, 3>& value) {
    return ReadParsed(
        ini, section, key, "three numbers", value,
        [](std::string_view text, std::array<float, 3>& v) { return ParseFields(text, v); });
}

bool ReadClassId(const IniHandler& ini, std::string_view section, std::string_view key,
                 uint32_t& partA, uint32_t& partB) {
    std::array<uint32_t, 2> parts{partA, partB};
    if (!ReadParsed(ini, section, key, "two unsigned whole numbers", parts,
                    [](std::string_view text, std::array<uint32_t, 2>& v) {
                        return ParseFields(text, v);
                    })) {
        return false;
    }
    partA = parts[0];
    partB = parts[1];
    return true;
}

bool ReadText(const IniHandler& ini, std::string_view section, std::string_view key,
              std::string& value, size_t maxLength) {
    std::string text;
    if (!ini.ReadString(section, key, text)) return false;
    if (text.size() > maxLength) {
        size_t count = maxLength;
        while (count > 0 && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80) --count;
        text.resize(count);
    }
    value = std::move(text);
    return true;
}

namespace {

std::string PointKey(std::string_view prefix, size_t index, const char* field) {
    return std::string(prefix) + std::to_string(index) + field;
}

}  // namespace

bool WriteCurve(IniHandler& ini, std::string_view section, std::string_view prefix,
                const std::vector<CurvePoint>& points) {
    bool ok = WriteInt(ini, section, std::string(prefix) + "num", int32_t(points.size()));
    for (size_t i = 0; i < points.size(); ++i) {
        const CurvePoint& p = points[i];
        ok = WriteFloat(ini, section, PointKey(prefix, i, "px"), p.px) && ok;
        ok = WriteFloat(ini, section, PointKey(prefix, i, "py"), p.py) && ok;
        ok = WriteFloat(ini, section, PointKey(prefix, i, "ix"), p.ix) && ok;
        ok = WriteFloat(ini, section, PointKey(prefix, i, "iy"), p.iy) && ok;
        ok = WriteFloat(ini, section, PointKey(prefix, i, "ox"), p.ox) && ok;
        ok = WriteFloat(ini, section, PointKey(prefix, i, "oy"), p.oy) && ok;
        ok = WriteInt(ini, section, PointKey(prefix, i, "f"), p.flags) && ok;
    }
    return ok;
}

bool ReadCurve(const IniHandler& ini, std::string_view section, std::string_view prefix,
               std::vector<CurvePoint>& points) {
    int32_t count = 0;
    const std::string countKey = std::string(prefix) + "num";
    if (!ReadInt(ini, section, countKey, count)) return false;
    if (count < 0 || count > kMaxCurvePoints) {
        ini.NoteParseError({std::string(section), countKey, FormatInt(count),
                            "a point count from 0 to " + FormatInt(kMaxCurvePoints)});
        return false;
    }
    points.resize(size_t(count));
    for (size_t i = 0; i < points.size(); ++i) {
        CurvePoint p = points[i];
        if (!ReadFloat(ini, section, PointKey(prefix, i, "px"), p.px) ||
            !ReadFloat(ini, section, PointKey(prefix, i, "py"), p.py) ||
            !ReadFloat(ini, section, PointKey(prefix, i, "ix"), p.ix) ||
            !ReadFloat(ini, section, PointKey(prefix, i, "iy"), p.iy) ||
            !ReadFloat(ini, section, PointKey(prefix, i, "ox"), p.ox) ||
            !ReadFloat(ini, section, PointKey(prefix, i, "oy"), p.oy)) {
            return false;
        }
        p.flags = 0;
        points[i] = p;
    }
    for (size_t i = 0; i < points.size(); ++i) {
        if (!ReadInt(ini, section, PointKey(prefix, i, "f"), points[i].flags)) return false;
    }
    return true;
}

}  // namespace KvrnIni
