// Scene files written back from the settings objects: the line options, every brush (shared
// brushes once, under their names), brush detail, line set and reduction with every parameter
// by its internal name, references by name. Reading the file again gives the same render.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "line_objects.h"
#include "scene_description.h"

namespace KvrnApp {

// `original`: the scene file's own JSON, whose camera and objects are kept (model paths made
// absolute); null for a job of model files, whose objects and image size are written from
// `description`.
nlohmann::json SceneToJson(const SceneDescription& description, SceneLineObjects& objects,
                           const nlohmann::json* original);

// The scene file's JSON as read from `path`; throws InputError naming the file.
nlohmann::json ReadSceneJson(const std::string& path);

}  // namespace KvrnApp
