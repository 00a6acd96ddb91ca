// `kovrin info`: loads model files and/or a built-in scene, sets up the engine scene with the
// default camera and reports per object what the engine sees, with import and set-up times.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "default_camera.h"
#include "scene.h"
#include "scene_import.h"

namespace KvrnApp {

// The objects of one input (a file or a built-in scene), triangulated, camera transforms unset.
struct LoadedInput {
    std::string label;  // the path, or "built-in NAME"
    std::vector<std::shared_ptr<KvrnLib::RenderObject>> objects;
    int64_t droppedPolygons = 0;  // with fewer than 3 distinct vertices
    int64_t copiedPolygons = 0;   // exact copies of other polygons
    double importMs = 0;          // reading and triangulation, steady clock
    std::string axes;             // how the file was turned upright; empty for built-in scenes
    int64_t weldedVertices = 0;
};

// Both throw InputError naming the file or the scene.
LoadedInput LoadFile(const std::string& path, const ImportOptions& options = {});
LoadedInput LoadBuiltin(const std::string& name);

struct InfoOptions {
    std::vector<std::string> files;
    std::string builtin;  // empty: none
    std::string up;       // "y", "z" or empty: the format's
    float weld = 0.0f;
    bool camera = false;  // also print the camera
    CameraOptions cameraOptions;
};

// Registers the `info` subcommand on `app`; parsing fills *options, which must outlive `app`.
CLI::App* AddInfoCommand(CLI::App& app, InfoOptions* options);

// Runs the command; returns the exit code: 0, or 2 after reporting bad input on `err`.
int RunInfo(const InfoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace KvrnApp
