// The module's files outside the scene: the module settings file with the interface language,
// the per-class default files in the Configs folder, the preset files in the Presets folder, and
// the look-up of installed files (manuals, tools) through the settings store.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ini_handler.h"

namespace KvrnShell {

// ---- Module settings file and language -------------------------------------------------------

inline constexpr char kGeneralSection[] = "General";
inline constexpr char kLanguageKey[] = "Language";

// ProductFolder()/kovrin.ini.
std::filesystem::path ModuleSettingsFile();
// "Language" of "General", read now through a fresh handler; 0 when missing or not a number.
int ReadLanguageSetting();
// Stores id (0: follow the host) for the next run; false when the file cannot be written.
bool WriteLanguageSetting(int id);
// The language in use: on the first call of a run, the setting when non-zero, else the host's
// language; the same answer for the rest of the run (a later write counts at the next start).
// Thread-safe.
int LanguageId();
// Forgets the cached language (tests, and tools that switch KOVRIN_HOME).
void ResetLanguageCache();

// ---- Configs and Presets files ---------------------------------------------------------------

// Per-class default files in the Configs folder.
enum class ConfigFile { kBrush, kStroke, kRefMap, kGradation };
inline constexpr std::array kConfigFiles = {ConfigFile::kBrush, ConfigFile::kStroke,
                                            ConfigFile::kRefMap, ConfigFile::kGradation};
// "kovrin_brush.ini", ...
std::string_view ConfigFileName(ConfigFile file);
std::filesystem::path ConfigFilePath(ConfigFile file);  // ConfigsFolder()/name

// Preset files in the Presets folder, one per kind of preset.
enum class PresetFile {
    kLineBrush,        // brushes
    kLineStroke,       // brush details' stroke settings
    kLineElement,      // line render elements
    kMaterialElement,  // material render elements
    kHighlightDesign,  // advanced material highlight designs
    kGradation,        // gradations
    kStroke,           // stroke maps
};
inline constexpr std::array kPresetFiles = {
    PresetFile::kLineBrush,       PresetFile::kLineStroke,      PresetFile::kLineElement,
    PresetFile::kMaterialElement, PresetFile::kHighlightDesign, PresetFile::kGradation,
    PresetFile::kStroke};
// "kovrin_preset_line_brush.txt", ...
std::string_view PresetFileName(PresetFile file);
std::filesystem::path PresetFilePath(PresetFile file);  // PresetsFolder()/name

// ---- Presets ---------------------------------------------------------------------------------

// Longest preset name, in characters; longer names are cut to it (as the name field would).
inline constexpr size_t kMaxPresetNameLength = 260;

// The named presets of one preset file: one section per preset, named by it, in order of
// creation. The file is read at construction (a missing file gives no presets) and written
// whole, atomically, on every Save and Delete. One thread at a time.
class PresetStore {
  public:
    // Both get the store's MemIniHandler; readers may note bad values in its ParseErrors().
    using Writer = std::function<void(IniHandler& ini, const std::string& section)>;
    using Reader = std::function<void(const IniHandler& ini, const std::string& section)>;

    explicit PresetStore(std::filesystem::path file);

    const std::filesystem::path& File() const { return file_; }
    // Preset names in order.
    std::vector<std::string> Names() const;
    bool Contains(std::string_view name) const;

    // The preset name stored for name: spaces around it dropped, cut to kMaxPresetNameLength
    // characters; empty when nothing can be stored under it (empty, or holding ']' or a line
    // break).
    static std::string StoredName(std::string_view name);

    // Lets write fill the section of the name (created, or an existing one's keys overwritten
    // in place, so the list does not gain a second entry), then saves the file. Returns the
    // stored name, or empty when name was empty or unusable (nothing done), write stored no key
    // (no preset made) or the file could not be written (the preset is kept in memory).
    std::string Save(std::string_view name, const Writer& write);
    // Calls read with the preset's section; false (read not called) when there is no preset of
    // that exact name. Values missing from the section are for read to leave alone.
    bool Load(std::string_view name, const Reader& read) const;
    // Reloads the file (dropping unsaved changes and taking in other programs' changes), removes
    // the preset of that exact name if there is one and saves the file. True when one was
    // removed.
    bool Delete(std::string_view name);

    // The handler holding the presets, for owners that read more than one section.
    const MemIniHandler& Handler() const { return ini_; }

  private:
    std::filesystem::path file_;
    MemIniHandler ini_;
};

// The seven preset stores of the module, loaded together when the module loads.
class ModulePresets {
  public:
    // Reads every preset file from folder (normally PresetsFolder()).
    explicit ModulePresets(const std::filesystem::path& folder);
    PresetStore& Get(PresetFile file);

  private:
    std::vector<std::unique_ptr<PresetStore>> stores_;  // in kPresetFiles order
};

// ---- Installed files -------------------------------------------------------------------------

// Settings-store key path of the installation values.
inline constexpr char kInstallKeyPath[] = "SOFTWARE\\DRAVO\\Kovrin\\4.0.0";
// The last folder tried when the installation values do not lead to a file.
inline constexpr char kFallbackInstallFolder[] = "/usr/share/kovrin/";

// Candidates, in order: the settings "ManualDir" and "ToolsDir", the module folder and the
// fallback folder, each followed by '/' unless empty or already ending in one, then fileName.
// An empty folder value makes the bare file name (relative to the working folder) a candidate.
std::vector<std::string> InstalledFileCandidates(std::string_view fileName);
// The first candidate naming an existing file (not a folder); empty when none does.
std::string FindInstalledFile(std::string_view fileName);

}  // namespace KvrnShell
