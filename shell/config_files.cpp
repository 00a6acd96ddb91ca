#include "config_files.h"

#include <mutex>
#include <optional>

#include "ini_values.h"
#include "platform.h"

namespace KvrnShell {

namespace fs = std::filesystem;

// ---- Module settings file and language -------------------------------------------------------

fs::path ModuleSettingsFile() { return KvrnHost::ProductFolder() / "kovrin.ini"; }

int ReadLanguageSetting() {
    const IniHandler ini(ModuleSettingsFile());
    int32_t id = 0;
    KvrnIni::ReadInt(ini, kGeneralSection, kLanguageKey, id);
    return id;
}

bool WriteLanguageSetting(int id) {
    IniHandler ini(ModuleSettingsFile());
    return KvrnIni::WriteInt(ini, kGeneralSection, kLanguageKey, id);
}

namespace {

struct LanguageCache {
    std::mutex mutex;
    std::optional<int> id;
};

LanguageCache& Language() {
    static LanguageCache cache;
    return cache;
}

}  // namespace

int LanguageId() {
    LanguageCache& cache = Language();
    std::lock_guard lock(cache.mutex);
    if (!cache.id) {
        const int setting = ReadLanguageSetting();
        cache.id = setting != 0 ? setting : KvrnHost::HostLanguageId();
    }
    return *cache.id;
}

void ResetLanguageCache() {
    LanguageCache& cache = Language();
    std::lock_guard lock(cache.mutex);
    cache.id.reset();
}

// ---- Configs and Presets files ---------------------------------------------------------------

std::string_view ConfigFileName(ConfigFile file) {
    switch (file) {
        case ConfigFile::kBrush:
            return "kovrin_brush.ini";
        case ConfigFile::kStroke:
            return "kovrin_stroke.ini";
        case ConfigFile::kRefMap:
            return "kovrin_refmap.ini";
        case ConfigFile::kGradation:
            return "kovrin_gradation.ini";
    }
    return {};
}

fs::path ConfigFilePath(ConfigFile file) {
    return KvrnHost::ConfigsFolder() / ConfigFileName(file);
}

std::string_view PresetFileName(PresetFile file) {
    switch (file) {
        case PresetFile::kLineBrush:
            return "kovrin_preset_line_brush.txt";
        case PresetFile::kLineStroke:
            return "kovrin_preset_line_stroke.txt";
        case PresetFile::kLineElement:
            return "kovrin_preset_lineelem.txt";
        case PresetFile::kMaterialElement:
            return "kovrin_preset_mtlelem.txt";
        case PresetFile::kHighlightDesign:
            return "kovrin_preset_hidesign.txt";
        case PresetFile::kGradation:
            return "kovrin_preset_gradation.txt";
        case PresetFile::kStroke:
            return "kovrin_preset_stroke.txt";
    }
    return {};
}

fs::path PresetFilePath(PresetFile file) {
    return KvrnHost::PresetsFolder() / PresetFileName(file);
}

// ---- Presets ---------------------------------------------------------------------------------

PresetStore::PresetStore(fs::path file) : file_(std::move(file)) { ini_.Load(file_); }

std::vector<std::string> PresetStore::Names() const { return ini_.SectionNames(); }

bool PresetStore::Contains(std::string_view name) const {
    return ini_.FindSection(name) != nullptr;
}

std::string PresetStore::StoredName(std::string_view name) {
    // The profile reader drops these spaces, so a name keeping them would not find itself again.
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (name.find_first_of("]\r\n") != std::string_view::npos) return {};
    // Count characters, not bytes: a UTF-8 continuation byte does not start one.
    size_t characters = 0;
    size_t end = 0;
    for (; end < name.size(); ++end) {
        const bool starts = (static_cast<unsigned char>(name[end]) & 0xC0) != 0x80;
        if (starts && ++characters > kMaxPresetNameLength) break;
    }
    return std::string(name.substr(0, end));
}

std::string PresetStore::Save(std::string_view name, const Writer& write) {
    const std::string stored = StoredName(name);
    if (stored.empty()) return {};
    write(ini_, stored);
    if (!Contains(stored)) return {};
    return ini_.Save(file_) ? stored : std::string();
}

bool PresetStore::Load(std::string_view name, const Reader& read) const {
    if (!Contains(name)) return false;
    read(ini_, std::string(name));
    return true;
}

bool PresetStore::Delete(std::string_view name) {
    ini_.Load(file_);
    const bool removed = ini_.RemoveSection(name);
    ini_.Save(file_);
    return removed;
}

ModulePresets::ModulePresets(const fs::path& folder) {
    for (const PresetFile file : kPresetFiles) {
        stores_.push_back(std::make_unique<PresetStore>(folder / PresetFileName(file)));
    }
}

PresetStore& ModulePresets::Get(PresetFile file) { return *stores_.at(size_t(file)); }

// ---- Installed files -------------------------------------------------------------------------

std::vector<std::string> InstalledFileCandidates(std::string_view fileName) {
    const std::string folders[] = {
        KvrnHost::ReadSetting(kInstallKeyPath, "ManualDir"),
        KvrnHost::ReadSetting(kInstallKeyPath, "ToolsDir"),
        KvrnHost::ModuleFolder().string(),
        kFallbackInstallFolder,
    };
    std::vector<std::string> candidates;
    for (std::string folder : folders) {
        if (!folder.empty() && folder.back() != '/') folder += '/';
        candidates.push_back(folder + std::string(fileName));
    }
    return candidates;
}

std::string FindInstalledFile(std::string_view fileName) {
    for (const std::string& candidate : InstalledFileCandidates(fileName)) {
        std::error_code error;
        if (fs::exists(candidate, error) && !fs::is_directory(candidate, error)) return candidate;
    }
    return {};
}

}  // namespace KvrnShell
