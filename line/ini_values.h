// Value encodings shared by every profile file of the module, over any IniHandler: integers and
// bools "%d", unsigned "%u", floats "%f" (six decimals: 0.5 is "0.500000"), colours and
// 3-vectors "%f %f %f", class IDs "%u %u", and curve sections.
//
// Readers return false when the key is missing or empty, and also when the value does not parse
// as a whole (trailing text, out of range, not finite); the output is then left unchanged and a
// value that was present is noted in the handler's ParseErrors(). Formatting does not depend on
// the C locale.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ini_handler.h"

namespace KvrnIni {

std::string FormatInt(int32_t value);
std::string FormatFloat(float value);
std::string FormatVector(const std::array<float, 3>& value);

bool WriteInt(IniHandler& ini, std::string_view section, std::string_view key, int32_t value);
bool WriteBool(IniHandler& ini, std::string_view section, std::string_view key, bool value);
bool WriteUnsigned(IniHandler& ini, std::string_view section, std::string_view key, uint32_t value);
bool WriteFloat(IniHandler& ini, std::string_view section, std::string_view key, float value);
// Colours and 3-vectors alike: r g b or x y z.
bool WriteVector(IniHandler& ini, std::string_view section, std::string_view key,
                 const std::array<float, 3>& value);
bool WriteClassId(IniHandler& ini, std::string_view section, std::string_view key, uint32_t partA,
                  uint32_t partB);

bool ReadInt(const IniHandler& ini, std::string_view section, std::string_view key, int32_t& value);
// Any integer; non-zero is true.
bool ReadBool(const IniHandler& ini, std::string_view section, std::string_view key, bool& value);
// A negative number does not parse.
bool ReadUnsigned(const IniHandler& ini, std::string_view section, std::string_view key,
                  uint32_t& value);
bool ReadFloat(const IniHandler& ini, std::string_view section, std::string_view key, float& value);
// Exactly three numbers separated by spaces.
bool ReadVector(const IniHandler& ini, std::string_view section, std::string_view key,
                std::array<float, 3>& value);
bool ReadClassId(const IniHandler& ini, std::string_view section, std::string_view key,
                 uint32_t& partA, uint32_t& partB);
// At most maxLength bytes of the value, cut at a character boundary.
bool ReadText(const IniHandler& ini, std::string_view section, std::string_view key,
              std::string& value, size_t maxLength = 255);

// One point of a curve: position, in-handle and out-handle (offsets from the position) and the
// point's flags, as the curve control stores them.
struct CurvePoint {
    float px = 0.0f, py = 0.0f;
    float ix = 0.0f, iy = 0.0f;
    float ox = 0.0f, oy = 0.0f;
    int32_t flags = 0;

    bool operator==(const CurvePoint&) const = default;
};

// Most points a curve section may declare; a larger count is reported as a bad value instead of
// allocating for it.
inline constexpr int32_t kMaxCurvePoints = 10000;

// Keys prefix+"num" = point count, then per point i: prefix+i+"px", "py", "ix", "iy", "ox",
// "oy" ("%f") and prefix+i+"f" (flags, "%d"). False when any key could not be written.
bool WriteCurve(IniHandler& ini, std::string_view section, std::string_view prefix,
                const std::vector<CurvePoint>& points);
// Sets the point count from "num", then every point's coordinates (flags 0), then, in a second
// pass, every point's flags. Stops with false at the first missing or bad key; points already
// set stay set. A missing or bad count leaves points unchanged.
bool ReadCurve(const IniHandler& ini, std::string_view section, std::string_view prefix,
               std::vector<CurvePoint>& points);

}  // namespace KvrnIni
