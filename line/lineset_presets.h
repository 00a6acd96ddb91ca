// Line set presets. Unlike the other presets, which are sections of one preset file, a line
// set preset is a whole line settings file: Presets/linesets/NAME.kvx, so that a preset is also
// a file users can exchange and load through a line set's `load`.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class KvrnLineset;

// PresetsFolder()/linesets (not created here).
std::filesystem::path LinesetPresetFolder();
// Names of the .kvx files there, sorted; empty when the folder is missing.
std::vector<std::string> LinesetPresetNames();
// Each returns an empty string on success, else a message naming the preset or file. A name must
// be non-empty, at most 260 bytes, and must not contain '/', '\\' or start with '.'.
// Saving under an existing name replaces that preset.
std::string SaveLinesetPreset(KvrnLineset& set, const std::string& name);
// The checked load: one undo entry, nothing changed on failure.
std::string LoadLinesetPreset(KvrnLineset& set, const std::string& name);
std::string DeleteLinesetPreset(const std::string& name);
