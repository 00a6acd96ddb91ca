// `kovrin render`: renders frames of a scene file or of model files through the host's frame
// pipeline (the line effect, file outputs, render elements) and writes each frame as a PNG, an
// OpenEXR image with the render elements as layers, an EPS and/or an Illustrator 8 EPS file, with
// progress, Ctrl-C and timings. "####" in a name takes the frame number.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace KvrnApp {

struct RenderOptions {
    std::vector<std::string> inputs;  // one scene file (.json), or model files
    std::string builtin;              // a built-in scene drawn with the model files
    std::string png;
    std::string exr;
    std::string eps;
    std::string ai;
    std::string background;       // empty: transparent
    std::string backgroundImage;  // an image stretched over the frame under the lines
    int threads = 0;              // 0: all cores (or one when the scene turns multithreading off)
    int width = 0;                // 0: the scene's image size
    int height = 0;
    bool quiet = false;
    bool visibleOnly = false;    // every line set's hidden-line switches off
    bool hidden = false;         // model files: hidden lines too, in a thin dashed grey brush
    std::string up;              // "y" or "z": model files' up axis; empty: the format's
    float weld = -1.0f;          // weld distance for model files; negative: the scene's, else 0
    double importTimeout = 120;  // seconds a third-party model reader may take
    std::string maxMemory;       // "16G", "512M", bytes; empty: the memory available
    std::string statsJson;       // per-stage times, counts and peak memory as JSON
    std::string saveScene;       // the scene as the settings objects were used, as a scene file
    std::string frames;          // "A-B[xSTEP]"; empty: the scene's animation (frame 0 if none)
    std::string chunk;           // "I/N": part I (from 0) of N equal parts of the frames
    bool noShading = false;      // lines over the background only
    int samples = 0;             // samples per pixel; 0: the scene's (4 by default)
};

// Registers the `render` subcommand on `app`; parsing fills *options, which must outlive `app`.
CLI::App* AddRenderCommand(CLI::App& app, RenderOptions* options);

// Exit codes: 0 done, 1 the engine or a write failed (frames written before stay), 2 bad input or
// a render that would not fit in memory (reported before any frame is rendered), 128 + the signal
// when stopped by SIGINT (130), SIGTERM (143) or SIGHUP (129): no new file is left behind and
// earlier ones are unchanged. Progress goes to `err` (live bars when it is a terminal), the summary
// to `out`.
int RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool errIsTerminal);

}  // namespace KvrnApp
