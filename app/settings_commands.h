// The line settings commands: `kovrin lineset save`, `kovrin preset save|list|apply|delete` and
// `kovrin defaults`. Presets and defaults live in the module's folders ($KOVRIN_HOME, else
// $XDG_CONFIG_HOME/kovrin, else ~/.config/kovrin): brush presets (a brush detail's stamp block)
// and stroke presets (its stroke, distortion, reduction and colour range blocks with both
// curves) in Presets/, line set presets as Presets/linesets/NAME.kvx, brush and brush detail
// defaults in Configs/kovrin_brush.ini.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace KvrnApp {

struct SettingsOptions {
    std::string kind;    // preset kind: "brush", "stroke" or "lineset"
    std::string name;    // preset name
    std::string scene;   // scene file
    std::string target;  // the brush (a key of "brushes") or line set named in the scene
    std::string output;  // .kvx or scene file written
    std::vector<std::string> assignments;  // defaults: NAME=VALUE
};

// Registers `lineset`, `preset` and `defaults` on app; parsing fills *options. Returns the
// subcommands whose parsed() says which one ran.
struct SettingsCommands {
    CLI::App* linesetSave = nullptr;
    CLI::App* presetSave = nullptr;
    CLI::App* presetList = nullptr;
    CLI::App* presetApply = nullptr;
    CLI::App* presetDelete = nullptr;
    CLI::App* defaultsShow = nullptr;
    CLI::App* defaultsSet = nullptr;
    CLI::App* defaultsReset = nullptr;
};
SettingsCommands AddSettingsCommands(CLI::App& app, SettingsOptions* options);

// Runs the parsed one. Exit codes: 0 done, 1 a file could not be written, 2 bad input (a missing
// or bad scene, settings, preset or defaults file, with the file, section and key; an unknown
// preset, brush or line set; a value out of range). Nothing is written on failure.
int RunSettingsCommand(const SettingsCommands& commands, const SettingsOptions& options,
                       std::ostream& out, std::ostream& err);

// Loads the user defaults of brushes and brush details before objects are made. Empty when
// they are fine (or there are none); otherwise one message per bad key.
std::vector<std::string> LoadUserDefaults();

}  // namespace KvrnApp
