// User defaults and named presets of brushes and brush details.
//
// Defaults live in ConfigsFolder()/kovrin_brush.ini, one section per block ("brush basic",
// "detail basic", "detail stroke", ...), keys as in pb_section.h. Brush presets (the detail's
// stamp block) and stroke presets (the detail's stroke, noise, size and alpha reduction and
// colour range blocks with both curves, keys "size_curve_..." and "alpha_curve_...") are one
// section per preset, named by it, in their preset files. Single-threaded, like the objects.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "brush.h"
#include "ini_handler.h"

namespace KvrnLineIni {

inline constexpr char kBrushDefaultsFileName[] = "kovrin_brush.ini";
inline constexpr char kBrushPresetFileName[] = "kovrin_preset_line_brush.txt";
inline constexpr char kStrokePresetFileName[] = "kovrin_preset_line_stroke.txt";
inline constexpr char kSizeCurvePrefix[] = "size_curve_";
inline constexpr char kAlphaCurvePrefix[] = "alpha_curve_";
inline constexpr char kParamChangeLabel[] = "Param Change";

std::filesystem::path BrushDefaultsFile();  // ConfigsFolder()/kovrin_brush.ini
std::filesystem::path BrushPresetFile();    // PresetsFolder()/kovrin_preset_line_brush.txt
std::filesystem::path StrokePresetFile();   // PresetsFolder()/kovrin_preset_line_stroke.txt

// "Make Default": stores the current values of the brush's block and of its detail's blocks in
// file (other sections and keys of the file stay). False when the file cannot be written.
bool WriteBrushDefaults(KvrnBrush& brush, const std::filesystem::path& file);
// Makes the values in file the defaults of brushes and details built from now on; existing
// objects keep their values. A key that is missing keeps its default; one that does not parse or
// lies outside the parameter's range keeps it too and is reported, one message per key naming
// file, section and key. A missing file changes nothing and reports nothing.
std::vector<std::string> LoadBrushDefaults(const std::filesystem::path& file);

// Writes the preset into section name of presets (created, or its keys overwritten in place).
// False for an empty name, a detail without its blocks or a key that could not be written.
bool SaveBrushPreset(IniHandler& presets, std::string_view name, KvrnBrushDetail& detail);
bool SaveStrokePreset(IniHandler& presets, std::string_view name, KvrnBrushDetail& detail);
// Applies the preset of that name to detail as one undoable operation labelled "Param Change".
// False when there is no such preset or a key of it was missing or bad (the values that were
// there are applied; the others stay).
bool ApplyBrushPreset(const MemIniHandler& presets, std::string_view name, KvrnBrushDetail& detail);
bool ApplyStrokePreset(const MemIniHandler& presets, std::string_view name,
                       KvrnBrushDetail& detail);

}  // namespace KvrnLineIni
