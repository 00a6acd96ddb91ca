#include "lineset_presets.h"

#include <algorithm>
#include <system_error>

#include "kvx_file.h"
#include "platform.h"

namespace {

constexpr size_t kMaxPresetName = 260;

std::string NameError(const std::string& name) {
    if (name.empty()) return "line set preset: empty name";
    if (name.size() > kMaxPresetName || name.front() == '.' ||
        name.find_first_of("/\\") != std::string::npos)
        return "line set preset '" + name + "': not a valid name";
    return std::string();
}

std::filesystem::path PresetFile(const std::string& name) {
    return LinesetPresetFolder() / (name + ".kvx");
}

}  // namespace

std::filesystem::path LinesetPresetFolder() { return KvrnHost::PresetsFolder() / "linesets"; }

std::vector<std::string> LinesetPresetNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(LinesetPresetFolder(), error))
        if (entry.is_regular_file(error) && entry.path().extension() == ".kvx")
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string SaveLinesetPreset(KvrnLineset& set, const std::string& name) {
    if (std::string error = NameError(name); !error.empty()) return error;
    std::error_code ignored;
    std::filesystem::create_directories(LinesetPresetFolder(), ignored);
    return SaveLineSettingsChecked(set, PresetFile(name));
}

std::string LoadLinesetPreset(KvrnLineset& set, const std::string& name) {
    if (std::string error = NameError(name); !error.empty()) return error;
    return LoadLineSettingsChecked(set, PresetFile(name));
}

std::string DeleteLinesetPreset(const std::string& name) {
    if (std::string error = NameError(name); !error.empty()) return error;
    std::error_code error;
    if (!std::filesystem::remove(PresetFile(name), error))
        return PresetFile(name).string() + ": no such preset";
    return std::string();
}
