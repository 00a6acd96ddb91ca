// Scene files: the JSON form of a SceneDescription, and the description of a plain list of model
// files. Everything is checked while reading, so a bad file fails before any work starts.
#pragma once

#include <string>
#include <vector>

#include "scene_description.h"

namespace KvrnApp {

// Reads and parses `path`. Throws InputError naming the file (and, for bad content, the key path
// and what was expected, e.g. "scene.json: linesets[0].brush.size: 0 is out of range 0.001 to
// 100").
SceneDescription ReadSceneFile(const std::string& path);

// Parses scene text. `path` names the file in messages and is the folder that relative model paths
// are resolved against; model files must exist. Throws InputError as ReadSceneFile does.
SceneDescription ParseScene(const std::string& jsonText, const std::string& path);

// How a plain list of models is drawn.
struct ModelJobOptions {
    std::string builtin;  // a built-in scene drawn too; empty: none
    UpAxis up = UpAxis::kFormatDefault;
    float weld = 0.0f;
    bool hidden = false;  // also draw hidden lines, in HiddenLineBrush
};

// The brush of hidden lines in a model job: thinner, lighter and dashed, so that they read as
// behind the visible ones.
BrushDesc HiddenLineBrush();

// One object per model file (named after the file without its folder, " (2)" and so on added to
// repeated names) and the built-in scene if any, the default framing camera and one new line set
// over all objects, drawing visible lines only unless options.hidden. Throws InputError naming a
// file that is missing or not a supported model format, or an unknown built-in scene.
SceneDescription SceneForModels(const std::vector<std::string>& files,
                                const ModelJobOptions& options = {});

}  // namespace KvrnApp
