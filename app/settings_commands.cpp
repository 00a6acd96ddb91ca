#include "settings_commands.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "brush.h"
#include "brush_detail.h"
#include "brush_presets.h"
#include "config_files.h"
#include "file_replace.h"
#include "kvrn_line.h"
#include "kvx_file.h"
#include "line_objects.h"
#include "lineset.h"
#include "lineset_presets.h"
#include "param_json.h"
#include "platform.h"
#include "poly_mesh.h"
#include "scene_file.h"
#include "scene_writer.h"

namespace KvrnApp {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// A failure with its exit code: 2 for bad input, 1 for a file that could not be written.
struct CommandError : std::runtime_error {
    CommandError(const std::string& what, int exitCode)
        : std::runtime_error(what), code(exitCode) {}
    int code;
};
[[noreturn]] void BadInput(const std::string& what) { throw CommandError(what, 2); }
[[noreturn]] void WriteFailed(const std::string& what) { throw CommandError(what, 1); }

const char* const kKinds[] = {"brush", "stroke", "lineset"};

void CheckKind(const std::string& kind) {
    for (const char* k : kKinds)
        if (kind == k) return;
    BadInput("preset kind '" + kind + "': expected brush, stroke or lineset");
}

KvrnShell::PresetFile StoreOf(const std::string& kind) {
    return kind == "brush" ? KvrnShell::PresetFile::kLineBrush : KvrnShell::PresetFile::kLineStroke;
}

// The scene's settings objects, made after the user defaults are in place.
struct LoadedScene {
    explicit LoadedScene(const std::string& path) : description(ReadSceneFile(path)) {
        objects = std::make_unique<SceneLineObjects>(description);
    }
    SceneDescription description;
    std::unique_ptr<SceneLineObjects> objects;

    KvrnLineset& LineSet(const std::string& name) {
        KvrnLine& line = objects->Line();
        for (int i = 0; i < line.NumLineSets(); ++i)
            if (KvrnLineset* set = line.GetLineSet(i); set && set->Name() == name) return *set;
        BadInput(description.path + ": no line set named \"" + name + "\"");
    }
    // A brush the scene file names in "brushes".
    KvrnBrush& Brush(const std::string& name) {
        KvrnLine& line = objects->Line();
        for (int i = 0; i < line.NumLineSets(); ++i) {
            KvrnLineset* set = line.GetLineSet(i);
            for (int v = 0; set && v < 2; ++v)
                for (int slot = 0; slot < KvrnLineset::kFilledBrushSlots; ++slot)
                    if (KvrnBrush* brush = set->BrushInSlot(v, slot);
                        brush && objects->IsNamedBrush(brush) && brush->GetName() == name)
                        return *brush;
        }
        BadInput(description.path + ": no brush named \"" + name +
                 "\" in \"brushes\" used by a line set");
    }
};

void WriteScene(LoadedScene& scene, const std::string& path) {
    const Json original = ReadSceneJson(scene.description.path);
    const std::string text =
        SceneToJson(scene.description, *scene.objects, &original).dump(2) + "\n";
    if (const int error = KvrnVectorOut::WriteFileReplacing(path, text))
        WriteFailed(path + ": cannot write: " + std::system_category().message(error));
}

int LinesetSave(const SettingsOptions& o, std::ostream& out) {
    LoadedScene scene(o.scene);
    const std::string error = SaveLineSettingsChecked(scene.LineSet(o.target), o.output);
    if (!error.empty()) WriteFailed(error);
    out << "wrote " << o.output << "\n";
    return 0;
}

int PresetSave(const SettingsOptions& o, std::ostream& out) {
    CheckKind(o.kind);
    LoadedScene scene(o.scene);
    if (o.kind == "lineset") {
        std::error_code ignored;
        fs::create_directories(LinesetPresetFolder(), ignored);
        const std::string error = SaveLinesetPreset(scene.LineSet(o.target), o.name);
        if (!error.empty()) BadInput(error);
    } else {
        KvrnBrushDetail* detail = scene.Brush(o.target).Detail();
        if (!detail) BadInput("brush \"" + o.target + "\" has no brush details");
        KvrnShell::PresetStore store(KvrnShell::PresetFilePath(StoreOf(o.kind)));
        const std::string stored =
            store.Save(o.name, [&](IniHandler& ini, const std::string& section) {
                if (o.kind == "brush")
                    KvrnLineIni::SaveBrushPreset(ini, section, *detail);
                else
                    KvrnLineIni::SaveStrokePreset(ini, section, *detail);
            });
        if (stored.empty())
            WriteFailed("preset '" + o.name + "' could not be saved in " + store.File().string());
    }
    out << "saved " << o.kind << " preset " << o.name << "\n";
    return 0;
}

int PresetList(const SettingsOptions& o, std::ostream& out) {
    if (!o.kind.empty()) CheckKind(o.kind);
    for (const char* kind : kKinds) {
        if (!o.kind.empty() && o.kind != kind) continue;
        const std::vector<std::string> names =
            std::string(kind) == "lineset"
                ? LinesetPresetNames()
                : KvrnShell::PresetStore(KvrnShell::PresetFilePath(StoreOf(kind))).Names();
        for (const std::string& name : names) out << kind << ": " << name << "\n";
    }
    return 0;
}

int PresetApply(const SettingsOptions& o, std::ostream& out) {
    CheckKind(o.kind);
    LoadedScene scene(o.scene);
    if (o.kind == "lineset") {
        const std::string error = LoadLinesetPreset(scene.LineSet(o.target), o.name);
        if (!error.empty()) BadInput(error);
    } else {
        KvrnBrushDetail* detail = scene.Brush(o.target).Detail();
        if (!detail) BadInput("brush \"" + o.target + "\" has no brush details");
        KvrnShell::PresetStore store(KvrnShell::PresetFilePath(StoreOf(o.kind)));
        if (!store.Contains(o.name))
            BadInput("no " + o.kind + " preset named '" + o.name + "' in " + store.File().string());
        const bool applied = o.kind == "brush"
                                 ? KvrnLineIni::ApplyBrushPreset(store.Handler(), o.name, *detail)
                                 : KvrnLineIni::ApplyStrokePreset(store.Handler(), o.name, *detail);
        if (!applied) {
            std::string why;
            for (const IniParseError& e : store.Handler().ParseErrors())
                why += "\n  " + FormatIniParseError(store.File().string(), e);
            BadInput(store.File().string() + ": preset '" + o.name + "' is incomplete or bad" +
                     why);
        }
    }
    WriteScene(scene, o.output);
    out << "wrote " << o.output << "\n";
    return 0;
}

int PresetDelete(const SettingsOptions& o, std::ostream& out) {
    CheckKind(o.kind);
    if (o.kind == "lineset") {
        const std::string error = DeleteLinesetPreset(o.name);
        if (!error.empty()) BadInput(error);
    } else {
        KvrnShell::PresetStore store(KvrnShell::PresetFilePath(StoreOf(o.kind)));
        if (!store.Delete(o.name))
            BadInput("no " + o.kind + " preset named '" + o.name + "' in " + store.File().string());
    }
    out << "deleted " << o.kind << " preset " << o.name << "\n";
    return 0;
}

// A new brush (from the defaults) and its detail's blocks, in the order they are shown.
std::vector<IParamBlock2*> DefaultBlocks(KvrnBrush& brush) {
    std::vector<IParamBlock2*> blocks{brush.Params()};
    for (int b = 0; b < kDetailBlockCount; ++b)
        blocks.push_back(brush.Detail()->Block(BrushDetailBlock(b)));
    return blocks;
}

int DefaultsShow(std::ostream& out) {
    RefPtr<KvrnBrush> brush(NewBrush(1));
    out << "# " << KvrnLineIni::BrushDefaultsFile().string() << "\n";
    for (IParamBlock2* block : DefaultBlocks(*brush)) {
        const Json values = BlockToJson(*block, 0);
        for (const auto& [key, value] : values.items())
            if (!value.is_null()) out << key << " = " << value.dump() << "\n";
    }
    return 0;
}

int DefaultsSet(const SettingsOptions& o, std::ostream& out) {
    if (o.assignments.empty()) BadInput("defaults set: give NAME=VALUE, e.g. size=2.5");
    RefPtr<KvrnBrush> brush(NewBrush(1));
    const std::vector<IParamBlock2*> blocks = DefaultBlocks(*brush);
    for (const std::string& assignment : o.assignments) {
        const size_t eq = assignment.find('=');
        if (eq == std::string::npos || eq == 0)
            BadInput("'" + assignment + "': expected NAME=VALUE");
        const std::string name = assignment.substr(0, eq);
        Json value;
        try {
            value = Json::parse(assignment.substr(eq + 1));
        } catch (const Json::exception&) {
            BadInput(name + ": '" + assignment.substr(eq + 1) +
                     "' is not a value (a number, true/false or [r, g, b])");
        }
        // Brush and detail share "size": a plain name is the brush's when it has one,
        // "detail.NAME" is always the detail's.
        const bool detailOnly = name.starts_with("detail.");
        const std::string key = detailOnly ? name.substr(7) : name;
        IParamBlock2* owner = nullptr;
        for (size_t b = detailOnly ? 1 : 0; b < blocks.size() && !owner; ++b)
            if (blocks[b]->GetDesc()->FindParam(key)) owner = blocks[b];
        if (!owner) BadInput(name + ": not a brush or brush detail parameter");
        const std::string error = ApplyJsonToBlock(*owner, Json{{key, value}}, 0, "defaults");
        if (!error.empty()) BadInput(error);
    }
    const fs::path file = KvrnLineIni::BrushDefaultsFile();
    if (!KvrnLineIni::WriteBrushDefaults(*brush, file))
        WriteFailed(file.string() + ": cannot write");
    out << "wrote " << file.string() << "\n";
    return 0;
}

int DefaultsReset(std::ostream& out) {
    const fs::path file = KvrnLineIni::BrushDefaultsFile();
    std::error_code error;
    fs::remove(file, error);
    if (error) WriteFailed(file.string() + ": cannot remove: " + error.message());
    out << "removed " << file.string() << "\n";
    return 0;
}

}  // namespace

std::vector<std::string> LoadUserDefaults() {
    return KvrnLineIni::LoadBrushDefaults(KvrnLineIni::BrushDefaultsFile());
}

SettingsCommands AddSettingsCommands(CLI::App& app, SettingsOptions* o) {
    SettingsCommands c;
    CLI::App* lineset = app.add_subcommand("lineset", "Line settings files (.kvx)");
    lineset->require_subcommand(1);
    c.linesetSave = lineset->add_subcommand("save", "Write one line set of a scene as a .kvx file");
    c.linesetSave->add_option("scene", o->scene, "Scene file")->required();
    c.linesetSave->add_option("lineset", o->target, "Name of the line set")->required();
    c.linesetSave->add_option("output", o->output, ".kvx file to write")->required();

    CLI::App* preset = app.add_subcommand("preset", "Brush, stroke and line set presets");
    preset->require_subcommand(1);
    c.presetList = preset->add_subcommand("list", "List presets (of one kind)");
    c.presetList->add_option("kind", o->kind, "brush, stroke or lineset");
    c.presetSave = preset->add_subcommand("save", "Save a scene's brush or line set as a preset");
    c.presetApply = preset->add_subcommand(
        "apply", "Apply a preset to a scene's brush or line set and write the scene");
    c.presetDelete = preset->add_subcommand("delete", "Delete a preset");
    for (CLI::App* command : {c.presetSave, c.presetApply, c.presetDelete}) {
        command->add_option("kind", o->kind, "brush, stroke or lineset")->required();
        command->add_option("name", o->name, "Preset name")->required();
    }
    c.presetSave->add_option("scene", o->scene, "Scene file")->required();
    c.presetSave->add_option("--from", o->target, "Brush (a key of \"brushes\") or line set name")
        ->required();
    c.presetApply->add_option("scene", o->scene, "Scene file")->required();
    c.presetApply->add_option("--to", o->target, "Brush (a key of \"brushes\") or line set name")
        ->required();
    c.presetApply->add_option("-o,--output", o->output, "Scene file to write")->required();

    CLI::App* defaults = app.add_subcommand("defaults", "User defaults of new brushes");
    c.defaultsShow = defaults->add_subcommand("show", "Show the defaults");
    c.defaultsSet = defaults->add_subcommand("set", "Set defaults: NAME=VALUE ...");
    c.defaultsSet->add_option("assignments", o->assignments, "e.g. size=2 color=[1,0,0]")
        ->required();
    c.defaultsReset = defaults->add_subcommand("reset", "Forget the defaults");
    defaults->require_subcommand(1);
    return c;
}

int RunSettingsCommand(const SettingsCommands& c, const SettingsOptions& o, std::ostream& out,
                       std::ostream& err) {
    try {
        const std::vector<std::string> bad = LoadUserDefaults();
        if (!bad.empty() && !c.defaultsReset->parsed()) {
            for (const std::string& message : bad) err << "kovrin: " << message << "\n";
            return 2;
        }
        if (c.linesetSave->parsed()) return LinesetSave(o, out);
        if (c.presetSave->parsed()) return PresetSave(o, out);
        if (c.presetList->parsed()) return PresetList(o, out);
        if (c.presetApply->parsed()) return PresetApply(o, out);
        if (c.presetDelete->parsed()) return PresetDelete(o, out);
        if (c.defaultsShow->parsed()) return DefaultsShow(out);
        if (c.defaultsSet->parsed()) return DefaultsSet(o, out);
        if (c.defaultsReset->parsed()) return DefaultsReset(out);
    } catch (const CommandError& e) {
        err << "kovrin: " << e.what() << "\n";
        return e.code;
    } catch (const InputError& e) {
        err << "kovrin: " << e.what() << "\n";
        return 2;
    }
    return 0;
}

}  // namespace KvrnApp
