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

// One object per model file (named after the file without its folder, " (2)" and so on added to
// repeated names), the default framing camera and one new line set over all objects. Throws
// InputError naming a file that is missing or not a supported model format.
SceneDescription SceneForModels(const std::vector<std::string>& files);

}  // namespace KvrnApp
