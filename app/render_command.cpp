#include "render_command.h"

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "exr_writer.h"
#include "file_out_effect.h"
#include "file_replace.h"
#include "frame_list.h"
#include "host_scene.h"
#include "image_library.h"
#include "kvrn_line.h"
#include "line_objects.h"
#include "line_records.h"
#include "line_render_driver.h"
#include "memory_budget.h"
#include "png_writer.h"
#include "poly_mesh.h"
#include "primitives.h"
#include "progress_display.h"
#include "scene_file.h"
#include "scene_objects.h"
#include "scene_writer.h"
#include "settings_commands.h"
#include "shade_renderer.h"
#include "stage_runner.h"

namespace KvrnApp {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The first stop signal's number; 0 while none came. The engine and the readers poll it.
volatile std::sig_atomic_t gInterrupted = 0;

// Later signals (a second Ctrl-C while cleaning up) change nothing: the run is already stopping.
extern "C" void OnInterrupt(int sig) {
    if (gInterrupted == 0) gInterrupted = sig;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// SIGINT, SIGTERM and SIGHUP set the flag, for the lifetime of the object.
class InterruptGuard {
  public:
    InterruptGuard() {
        gInterrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            sigaction(kStopSignals[i], &action, &old_[i]);
    }
    ~InterruptGuard() {
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            sigaction(kStopSignals[i], &old_[i], nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

  private:
    struct sigaction old_[std::size(kStopSignals)]{};
};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// "#rrggbb", "#rrggbbaa", "r,g,b" or "r,g,b,a" in 0 to 1, or "white", "black".
KvrnLib::ColorFloat ParseBackground(const std::string& text) {
    const std::string bad = "--background: " + text +
                            ": expected #rrggbb, #rrggbbaa, r,g,b[,a] (0 to 1), white or black";
    float c[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    if (text == "white") {
        c[0] = c[1] = c[2] = 1.0f;
    } else if (text == "black") {
    } else if (!text.empty() && text[0] == '#') {
        const std::string hex = text.substr(1);
        if ((hex.size() != 6 && hex.size() != 8) ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            throw InputError(bad);
        }
        for (size_t i = 0; i < hex.size() / 2; ++i) {
            c[i] = float(std::stoi(hex.substr(2 * i, 2), nullptr, 16)) / 255.0f;
        }
    } else {
        std::stringstream in(text);
        std::string part;
        int n = 0;
        while (std::getline(in, part, ',')) {
            if (n == 4) throw InputError(bad);
            size_t used = 0;
            float v = 0.0f;
            try {
                v = std::stof(part, &used);
            } catch (const std::exception&) {
                throw InputError(bad);
            }
            if (used != part.size() || !(v >= 0.0f && v <= 1.0f)) throw InputError(bad);
            c[n++] = v;
        }
        if (n < 3) throw InputError(bad);
    }
    // Rasters hold premultiplied colour.
    return {c[0] * c[3], c[1] * c[3], c[2] * c[3], c[3]};
}

// Found before any work: a missing or unwritable folder, a folder or device in the file's place.
// Whether the folder takes a new file is tried for real (permissions, read-only mounts, ACLs and
// the super-user all answer the same way then).
void CheckWritable(const std::string& option, const std::string& path) {
    if (path.empty()) return;
    const fs::path p(path);
    std::error_code ec;
    const fs::file_status status = fs::status(p, ec);
    if (fs::is_directory(status)) throw InputError(option + " " + path + ": is a folder");
    if (fs::exists(status) && !fs::is_regular_file(status))
        throw InputError(option + " " + path + ": exists and is not a regular file");
    const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec)) {
        throw InputError(option + " " + path + ": folder " + folder.string() + " does not exist");
    }
    std::string probe = (folder / ".kovrin-probe-XXXXXX").string();
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        throw InputError(option + " " + path + ": cannot write in folder " + folder.string() +
                         ": " + std::strerror(errno));
    }
    ::close(fd);
    ::unlink(probe.c_str());
}

// A wide path as UTF-8 (the file output keeps its names wide).
std::string Utf8(const std::wstring& text) {
    std::string out;
    for (const wchar_t wc : text) {
        const uint32_t c = uint32_t(wc);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct StageTimes {
    double import = 0, setup = 0, pipeline = 0, shadeBuild = 0, shade = 0, detect = 0, connect = 0,
           draw = 0, write = 0, total = 0;
};

int64_t PeakMemoryBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return int64_t(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

int TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 100;
}

struct NamedPath {
    std::string what;  // the option, or "input"
    std::string path;
};

// Whether two paths are one file: by device and inode where it exists (links and other spellings
// included), else by the canonical spelling of a file still to be made.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(fs::absolute(a), ea),
                   cb = fs::weakly_canonical(fs::absolute(b), eb);
    return !ea && !eb && ca == cb;
}

// An output that is an input would destroy it; two outputs that are one file would lose one.
void CheckOutputsApart(const std::vector<NamedPath>& outputs,
                       const std::vector<std::string>& inputs) {
    for (size_t i = 0; i < outputs.size(); ++i) {
        const NamedPath& out = outputs[i];
        for (const std::string& input : inputs) {
            if (SameFile(out.path, input)) {
                throw InputError(out.what + " " + out.path + ": is the input " + input +
                                 "; refusing to overwrite it");
            }
        }
        for (size_t j = 0; j < i; ++j) {
            if (SameFile(out.path, outputs[j].path)) {
                throw InputError(out.what + " " + out.path + ": is also the file of " +
                                 outputs[j].what);
            }
        }
    }
}

UpAxis ParseUp(const std::string& up) {
    return up == "y" ? UpAxis::kY : up == "z" ? UpAxis::kZ : UpAxis::kFormatDefault;
}

// The job the command line asks for: a scene file, or model files and built-in scenes drawn
// with the default camera and line set. --up and --weld apply to the scene file's model objects
// that do not set their own.
SceneDescription DescribeJob(const RenderOptions& options) {
    if (options.inputs.empty() && options.builtin.empty())
        throw InputError("nothing to render: give a scene file, model files or --builtin NAME");
    const bool sceneFile = options.inputs.size() == 1 && options.builtin.empty() &&
                           fs::path(options.inputs[0]).extension() == ".json";
    if (!sceneFile) {
        for (const std::string& input : options.inputs) {
            if (fs::path(input).extension() == ".json") {
                throw InputError(input +
                                 ": a scene file is rendered on its own, without model files "
                                 "or --builtin");
            }
        }
        ModelJobOptions job;
        job.builtin = options.builtin;
        job.up = ParseUp(options.up);
        job.weld = std::max(options.weld, 0.0f);
        job.hidden = options.hidden;
        return SceneForModels(options.inputs, job);
    }
    if (options.hidden) {
        throw InputError(
            "--hidden: a scene file's line sets say which hidden lines to draw; "
            "it applies to model files");
    }
    SceneDescription description = ReadSceneFile(options.inputs[0]);
    for (ObjectDesc& object : description.objects) {
        if (object.source != ObjectSource::kFile) continue;
        if (object.up == UpAxis::kFormatDefault) object.up = ParseUp(options.up);
        if (object.weld < 0) object.weld = options.weld;
    }
    return description;
}

}  // namespace

CLI::App* AddRenderCommand(CLI::App& app, RenderOptions* options) {
    CLI::App* render = app.add_subcommand(
        "render",
        "Draw the lines of a scene file or of model files into PNG, EXR, EPS or AI files");
    render->add_option("inputs", options->inputs,
                       "A scene file (.json), or model files (.obj .gltf .glb .fbx .dae .3ds .ply "
                       ".stl) drawn with the default camera and line set");
    std::string names;
    for (const std::string& n : BuiltinSceneNames()) names += (names.empty() ? "" : ", ") + n;
    render->add_option("--builtin", options->builtin, "Draw a built-in scene: " + names);
    render->add_option("-o,--output", options->png, "PNG of the lines (8-bit RGBA)");
    render->add_option("--exr", options->exr, "OpenEXR of the lines (float RGBA)");
    render->add_option("--eps", options->eps, "EPS file of the strokes");
    render->add_option("--ai", options->ai, "Illustrator 8 EPS file of the strokes");
    render->add_option("--frames", options->frames,
                       "Frames to render: A, A-B or A-BxSTEP (default: the scene's animation, "
                       "else frame 0); '#' runs in output names take the frame number");
    render->add_option("--chunk", options->chunk,
                       "Render part I (from 0) of N equal parts of the frames, as I/N (farms)");
    render->add_option("--save-scene", options->saveScene,
                       "Scene file of the line settings as used (every parameter by name)");
    render->add_option("--background", options->background,
                       "Colour under the lines: #rrggbb, #rrggbbaa, r,g,b[,a] or white/black "
                       "(default: transparent)");
    render->add_option("--background-image", options->backgroundImage,
                       "An image (PNG, JPEG, EXR, TIFF, ...) stretched over the frame under the "
                       "lines");
    render->add_option("--threads", options->threads, "Worker threads (default: all cores)")
        ->check(CLI::Range(1, 256));
    render->add_option("--width", options->width, "Image width, overriding the scene's")
        ->check(CLI::Range(1, 16384));
    render->add_option("--height", options->height, "Image height, overriding the scene's")
        ->check(CLI::Range(1, 16384));
    render->add_flag("--visible-only", options->visibleOnly,
                     "Draw no hidden lines, whatever the line sets say");
    render->add_flag("--hidden", options->hidden,
                     "Model files: draw hidden lines too, thinner, lighter and dashed");
    render
        ->add_option("--up", options->up,
                     "Model files: the axis that points up (default: Y for OBJ, glTF, FBX, DAE "
                     "and 3DS, Z for PLY and STL)")
        ->check(CLI::IsMember({"y", "z"}));
    render
        ->add_option("--weld", options->weld,
                     "Model files: join vertices closer than this distance (default: only "
                     "vertices at exactly the same position)")
        ->check(CLI::Range(0.0, 1e6));
    render
        ->add_option("--import-timeout", options->importTimeout,
                     "Seconds a glTF, FBX, DAE or 3DS file may take to read (default 120)")
        ->check(CLI::Range(0.1, 1e6));
    render->add_option("--max-memory", options->maxMemory,
                       "Memory the render may use, such as 8G or 512M (default: the memory "
                       "available, cgroup limits included); a render estimated to need more is "
                       "refused before it starts");
    render->add_flag("--no-shading", options->noShading,
                     "Lines over the background only: surfaces are not shaded");
    render->add_option("--samples", options->samples,
                       "Shading samples per pixel: 1, 4, 8 or 16 (default: the scene's, 4)");
    render->add_flag("-q,--quiet", options->quiet, "No progress and no summary");
    render->add_option("--stats-json", options->statsJson,
                       "Write stage times, counts and peak memory as JSON");
    return render;
}

namespace {

FrameShape ShapeOfFrame(const SceneDescription& description, const RenderOptions& options) {
    FrameShape shape;
    shape.width = description.camera.width;
    shape.height = description.camera.height;
    shape.oversampling = std::max(1, DrawOversampling(description.options.overSampling));
    shape.brushCopies = MostBrushCopies(description);
    shape.raster = !options.png.empty() || !options.exr.empty();
    shape.exr = !options.exr.empty();
    shape.shaded = shape.raster && description.shading.enabled && !options.noShading;
    return shape;
}

int64_t CountTriangles(const SceneObjects& loaded) {
    int64_t triangles = 0;
    for (const auto& object : loaded.objects) triangles += int64_t(object->faces.size());
    return triangles;
}

// Throws InputError when the estimate exceeds a known limit.
void CheckMemory(int64_t triangles, const FrameShape& shape, int64_t limitBytes) {
    if (limitBytes <= 0) return;
    const std::string problem =
        CheckMemoryFits(EstimateRenderMemory(triangles, shape), triangles, shape, limitBytes);
    if (!problem.empty()) throw InputError(problem);
}

std::string LimitNote(int64_t limitBytes) {
    if (limitBytes <= 0) return {};
    return " (this run may use " + FormatBytes(limitBytes) +
           "; lower the scene's triangles or image size, or raise --max-memory)";
}

// The host's abort callback of a render: the stop signal, and the captions on the display.
class SignalAbortCallback final : public CheckAbortCallback {
  public:
    explicit SignalAbortCallback(ProgressDisplay* display) : display_(display) {}
    bool Check() override { return gInterrupted != 0; }
    bool Progress(int done, int total) override {
        if (display_ && total > 0) {
            display_->SetProgress(float(done) / float(total));
            display_->Refresh();
        }
        return Check();
    }
    void SetTitle(const std::string& title) override {
        if (!display_) return;
        display_->SetCaption(title);
        display_->Refresh();
    }

  private:
    ProgressDisplay* display_;
};

// One render, as the steps it goes through. Each step returns 0 to go on, or the exit code.
class RenderRun {
  public:
    RenderRun(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool errIsTerminal)
        : options_(options), out_(out), err_(err), errIsTerminal_(errIsTerminal) {}

    int Run() {
        if (const int code = CheckInputs()) return code;
        if (const int code = LoadScene()) return code;
        if (const int code = RenderFrames()) return code;
        if (const int code = WriteSceneFile()) return code;
        return Report();
    }

  private:
    int CheckInputs();
    void CheckFramePatterns(const std::vector<NamedPath>& outputs) const;
    int LoadScene();
    int RenderFrames();
    int WriteFrame(int frame, const Bitmap& image, std::vector<KvrnVectorOut::StagedFile>& staged,
                   std::vector<std::string>& paths);
    int WriteSceneFile();
    int Report();

    // 128 + the signal, as a shell reports a process the signal ended: 130 for Ctrl-C, 143 for
    // SIGTERM, 129 for SIGHUP.
    int Interrupted() {
        if (display_) display_->Clear();
        if (!options_.quiet) err_ << "kovrin render: interrupted\n";
        return 128 + int(gInterrupted);
    }
    int Failed(const std::string& what, const std::string& why, int code) {
        if (display_) display_->Clear();
        err_ << "kovrin render: " << what << why << "\n";
        return code;
    }
    // A stage of the line effect failed: an interrupt, or the engine's own message.
    int EngineFailed(const std::string& stage, int frame) {
        if (gInterrupted) return Interrupted();
        std::string why = engineMessage_.empty() ? "the engine gave no reason" : engineMessage_;
        if (engineMessage_.find("alloc failed") != std::string::npos)
            why += LimitNote(memoryLimit_);
        return Failed(FramePrefix(frame) + stage, " failed: " + why, 1);
    }
    std::string FramePrefix(int frame) const {
        return frames_.size() > 1 ? "frame " + std::to_string(frame) + ": " : std::string();
    }

    const RenderOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    const bool errIsTerminal_;
    const Clock::time_point start_ = Clock::now();
    InterruptGuard interrupts_;
    StageTimes times_;

    SceneDescription description_;
    std::vector<int> frames_;    // every frame of the render
    std::vector<int> myFrames_;  // the frames this run renders (its chunk)
    int64_t memoryLimit_ = 0;    // 0: unknown, nothing checked
    FrameShape frameShape_;
    BMM_Color_fl background_{};

    SceneObjects loaded_;
    FramedCamera framed_;
    std::unique_ptr<HostScene> host_;
    int64_t triangles_ = 0;
    int64_t objectCount_ = 0;
    int64_t strokes_ = 0;
    int threadCount_ = 1;
    std::shared_ptr<ShadeRenderer> shader_;  // null: lines only
    int64_t shadeRays_ = 0;

    std::string engineMessage_;  // the engine's last failure line
    std::unique_ptr<ProgressDisplay> display_;
    std::vector<std::string> written_;
};

// Every output of a render of several frames needs a '#' run for the frame number, or each
// frame would overwrite the last.
void RenderRun::CheckFramePatterns(const std::vector<NamedPath>& outputs) const {
    if (frames_.size() < 2) return;
    for (const NamedPath& output : outputs) {
        if (output.what == "--stats-json" || output.what == "--save-scene") continue;
        if (!HasFramePattern(output.path)) {
            throw InputError(output.what + " " + output.path + ": " +
                             std::to_string(frames_.size()) +
                             " frames need a run of '#' in the name for the frame number "
                             "(such as frame_####.png)");
        }
    }
}

// Everything that can be checked before work starts: frames, outputs writable and apart from
// the inputs, the scene description, and whether it fits in memory.
int RenderRun::CheckInputs() {
    try {
        const RenderOptions& o = options_;
        if (o.png.empty() && o.exr.empty() && o.eps.empty() && o.ai.empty() && o.saveScene.empty())
            throw InputError(
                "nothing to write: give -o FILE.png, --exr, --eps, --ai or --save-scene");
        // New brushes start from the user defaults; a bad defaults file stops the run.
        if (const std::vector<std::string> bad = LoadUserDefaults(); !bad.empty())
            throw InputError(bad.front());
        if (!o.background.empty()) {
            const KvrnLib::ColorFloat c = ParseBackground(o.background);
            background_ = {c.r, c.g, c.b, c.a};
        }
        if (!o.backgroundImage.empty()) {
            ImageData image;
            std::string why;
            bool read = false;
            try {
                read = GetImageLibrary().ReadImage(o.backgroundImage, image, why);
            } catch (const std::runtime_error& e) {  // no image module
                why = e.what();
            }
            if (!read) throw InputError("--background-image " + o.backgroundImage + ": " + why);
        }
        // Folders first: a '#' run only changes the file name.
        std::vector<NamedPath> outputs;
        for (const NamedPath& output : std::vector<NamedPath>{{"-o", o.png},
                                                              {"--exr", o.exr},
                                                              {"--eps", o.eps},
                                                              {"--ai", o.ai},
                                                              {"--stats-json", o.statsJson},
                                                              {"--save-scene", o.saveScene}}) {
            if (output.path.empty()) continue;
            CheckWritable(output.what, FrameFileName(output.path, 0));
            outputs.push_back(output);
        }
        description_ = DescribeJob(o);
        if (o.noShading) description_.shading.enabled = false;
        if (o.samples != 0) {
            if (o.samples != 1 && o.samples != 4 && o.samples != 8 && o.samples != 16)
                throw InputError("--samples " + std::to_string(o.samples) +
                                 ": expected 1, 4, 8 or 16 samples per pixel");
            description_.shading.samples = o.samples;
        }
        if (o.frames.empty()) {
            for (int f = description_.animation.start; f <= description_.animation.end; ++f)
                frames_.push_back(f);
        } else {
            frames_ = ParseFrames(o.frames);
        }
        myFrames_ = o.chunk.empty() ? frames_ : ChunkFrames(frames_, ParseChunk(o.chunk));
        for (const RenderElementDesc& element : description_.renderElements) {
            if (element.png.empty()) continue;
            const NamedPath output{"render element \"" + element.element.name + "\" png",
                                   element.png};
            CheckWritable(output.what, FrameFileName(output.path, 0));
            outputs.push_back(output);
        }
        CheckFramePatterns(outputs);
        const int firstFrame = myFrames_.empty() ? frames_.front() : myFrames_.front();
        for (NamedPath& output : outputs) output.path = FrameFileName(output.path, firstFrame);
        std::vector<std::string> inputs(o.inputs.begin(), o.inputs.end());
        for (const ObjectDesc& object : description_.objects)
            if (object.source == ObjectSource::kFile) inputs.push_back(object.file);
        CheckOutputsApart(outputs, inputs);
        if (o.visibleOnly) {
            for (LineSetDesc& set : description_.lineSets) SwitchAllEdgesOff(set.edges[1]);
        }
        if (o.width > 0) description_.camera.width = o.width;
        if (o.height > 0) description_.camera.height = o.height;
        memoryLimit_ = o.maxMemory.empty() ? AvailableMemoryBytes()
                                           : ParseMemorySize("--max-memory", o.maxMemory);
        frameShape_ = ShapeOfFrame(description_, o);
        int64_t primitiveTriangles = 0;
        for (const ObjectDesc& object : description_.objects)
            primitiveTriangles += PrimitiveTriangles(object);
        CheckMemory(primitiveTriangles, frameShape_, memoryLimit_);
    } catch (const InputError& e) {
        return Failed("", e.what(), 2);
    }
    // From here on, memory beyond the limit is an allocation failure with a message, not the
    // kernel ending the process.
    if (memoryLimit_ > 0)
        LimitAddressSpace(memoryLimit_ + EstimateRenderMemory(0, frameShape_).reserved);
    return 0;
}

// Import, the memory check with the real triangle count, the camera and the host scene with
// every setting checked.
int RenderRun::LoadScene() {
    Clock::time_point stageStart = Clock::now();
    try {
        LoadOptions load;
        load.importTimeoutSeconds = options_.importTimeout;
        load.importMemoryBytes = memoryLimit_;
        load.interrupt = &gInterrupted;
        load.threads = options_.threads;  // 0: the import's own choice
        loaded_ = LoadSceneObjects(description_, load);
        if (gInterrupted) return Interrupted();
        if (!options_.quiet) {
            for (const std::string& warning : loaded_.warnings)
                err_ << "kovrin render: warning: " << warning << "\n";
        }
        triangles_ = CountTriangles(loaded_);
        objectCount_ = int64_t(loaded_.objects.size());
        CheckMemory(triangles_, frameShape_, memoryLimit_);
        times_.import = MsSince(stageStart);
        stageStart = Clock::now();
        framed_ = MakeSceneCamera(description_.camera, loaded_.objects);
        const std::vector<int32_t> descIndex = loaded_.descIndex;
        host_ = std::make_unique<HostScene>(description_, loaded_, framed_,
                                            CommandLineOutputs{options_.eps, options_.ai}, frames_,
                                            background_);
        const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
        // The settings at the first frame, checked before any frame is rendered.
        const EngineLineRecords records = BuildSceneRecords(
            host_->LineObjects(), description_, descIndex, framed_.camera.height, cores);
        threadCount_ = options_.threads > 0 ? options_.threads : records.threadCount;
    } catch (const ImportInterrupted&) {
        return Interrupted();
    } catch (const InputError& e) {
        return Failed("", e.what(), 2);
    } catch (const std::bad_alloc&) {
        return Failed("out of memory while loading the scene", LimitNote(memoryLimit_), 2);
    }
    times_.setup = MsSince(stageStart);
    return 0;
}

// The frames through the host's frame renderer: the line effect draws each onto its bitmap and
// its render elements, the file outputs write their vector files, then the frame's images are
// written. A frame that fails stops the run; the frames before it stay written.
int RenderRun::RenderFrames() {
    // The engine reports failures on its debug output: keep the last line for the message.
    KvrnLib::SetDebugOutputSink([this](const char* text) {
        engineMessage_ = text ? text : "";
        while (!engineMessage_.empty() && engineMessage_.back() == '\n') engineMessage_.pop_back();
    });
    const ProgressMode mode = options_.quiet   ? ProgressMode::kQuiet
                              : errIsTerminal_ ? ProgressMode::kLive
                                               : ProgressMode::kPlain;
    display_ = std::make_unique<ProgressDisplay>(err_, mode, threadCount_, TerminalColumns());
    if (mode != ProgressMode::kQuiet) {
        SetProgressWindowFactory(
            [this] { return std::make_unique<DisplayWindow>(*display_, &gInterrupted); });
    }
    SetLineThreadCountOverride(options_.threads);
    struct Reset {
        ~Reset() {
            KvrnLib::SetDebugOutputSink({});
            SetProgressWindowFactory(nullptr);
            SetLineThreadCountOverride(0);
        }
    } reset;
    RegisterLineRenderHooks();

    SignalAbortCallback abort(display_.get());
    const RenderSettings& settings = host_->Setup().settings;
    try {
        FrameRenderer renderer(host_->GetScene(), host_->Setup());
        host_->Setup().shading.threads = options_.threads;
        // Vector files alone need no shaded frame.
        bool writesImage = frameShape_.raster;
        for (const ElementOutput& element : host_->Elements())
            writesImage = writesImage || !element.png.empty();
        if (host_->Setup().shading.enabled && writesImage) {
            shader_ = std::make_shared<ShadeRenderer>();
            AttachShadeRenderer(renderer, shader_);
        }
        renderer.Open();
        for (const int frame : myFrames_) {
            if (gInterrupted) return Interrupted();
            for (KvrnLine* line : host_->LineEffects()) line->ResetReport();
            engineMessage_.clear();
            Bitmap image(settings.width, settings.height);
            // The file outputs' vector files wait for the frame's images: all are committed
            // together, or none is.
            std::vector<KvrnVectorOut::StagedFile> staged;
            std::vector<std::string> paths;
            for (KvrnFileOut* out : host_->FileOutputs()) out->StageWritesInto(&staged);
            struct Unstage {
                const std::vector<KvrnFileOut*>& outputs;
                ~Unstage() {
                    for (KvrnFileOut* out : outputs) out->StageWritesInto(nullptr);
                }
            } unstage{host_->FileOutputs()};
            const Clock::time_point frameStart = Clock::now();
            try {
                renderer.RenderFrame(FrameTime(frame), image, &abort);
            } catch (const std::exception& e) {
                return Failed(FramePrefix(frame), e.what(), 1);
            }
            if (gInterrupted) return Interrupted();
            double stagesMs = 0;
            int64_t strokes = 0;
            if (shader_) {
                const ShadeStats& shade = shader_->Stats();
                times_.shadeBuild += shade.buildMs;
                times_.shade += shade.renderMs;
                stagesMs += shade.buildMs + shade.renderMs;
                shadeRays_ += shade.primaryRays + shade.shadowRays + shade.secondaryRays;
            }
            for (KvrnLine* line : host_->LineEffects()) {
                const KvrnLine::RunReport& report = line->Report();
                if (!report.failedStage.empty()) {
                    const std::string stage = host_->LineEffects().size() > 1
                                                  ? line->GetName() + ": " + report.failedStage
                                                  : report.failedStage;
                    return EngineFailed(stage, frame);
                }
                times_.detect += report.detectMs;
                times_.connect += report.connectMs;
                times_.draw += report.drawMs;
                stagesMs += report.detectMs + report.connectMs + report.drawMs;
                strokes += report.strokes;
            }
            // The frame pipeline's own part: render instances, the frame's engine scene, the
            // settings records and the file outputs' writing.
            times_.pipeline += std::max(0.0, MsSince(frameStart) - stagesMs);
            strokes_ = std::max(strokes_, strokes);
            for (const KvrnFileOut* out : host_->FileOutputs()) {
                const std::string path = Utf8(out->LastWritePath());
                if (out->LastWriteResult() != 0)
                    return Failed(FramePrefix(frame),
                                  path + ": cannot write: " + std::strerror(out->LastWriteResult()),
                                  1);
                if (!path.empty()) paths.push_back(path);
            }
            if (const int code = WriteFrame(frame, image, staged, paths)) return code;
        }
        renderer.Close();
    } catch (const std::bad_alloc&) {
        return Failed("out of memory while rendering", LimitNote(memoryLimit_), 1);
    }
    display_->Clear();
    return 0;
}

// The frame's images, each written whole under a temporary name and renamed into place together
// with the frame's vector files (`staged`, `paths`) only when every one succeeded and no
// interrupt came.
int RenderRun::WriteFrame(int frame, const Bitmap& image,
                          std::vector<KvrnVectorOut::StagedFile>& staged,
                          std::vector<std::string>& paths) {
    const Clock::time_point stageStart = Clock::now();
    // Encoding a large frame takes seconds: say so rather than look stalled.
    display_->SetCaption("Processing: [kovrin] writing.");
    try {
        const auto stage = [&](const std::string& path, const std::string& bytes) {
            if (gInterrupted) return;
            const int error = staged.emplace_back().Write(path, bytes);
            if (error != 0)
                throw std::runtime_error(path + ": cannot write: " + std::strerror(error));
            paths.push_back(path);
        };
        if (!options_.png.empty()) {
            const std::string path = FrameFileName(options_.png, frame);
            stage(path, EncodePng(path, image, threadCount_));
        }
        if (!options_.exr.empty() && !gInterrupted) {
            const std::string path = FrameFileName(options_.exr, frame);
            std::vector<ExrLayer> layers = {{"", &image}};
            for (const ElementOutput& element : host_->Elements())
                if (const Bitmap* layer = element.element->GetPBitmap())
                    layers.push_back({element.name, layer});
            stage(path, EncodeExr(path, layers));
        }
        for (const ElementOutput& element : host_->Elements()) {
            const Bitmap* layer = element.element->GetPBitmap();
            if (element.png.empty() || !layer || gInterrupted) continue;
            const std::string path = FrameFileName(element.png, frame);
            stage(path, EncodePng(path, *layer, threadCount_));
        }
    } catch (const std::exception& e) {
        return Failed(FramePrefix(frame), e.what(), 1);
    }
    if (gInterrupted) return Interrupted();
    for (size_t i = 0; i < staged.size(); ++i) {
        if (const int error = staged[i].Commit())
            return Failed(FramePrefix(frame), paths[i] + ": cannot write: " + std::strerror(error),
                          1);
        written_.push_back(paths[i]);
    }
    times_.write += MsSince(stageStart);
    return 0;
}

// The scene as the settings objects were used, once the frames are done.
int RenderRun::WriteSceneFile() {
    if (options_.saveScene.empty()) return 0;
    try {
        const nlohmann::json original =
            description_.path.empty() ? nlohmann::json() : ReadSceneJson(description_.path);
        const std::string text = SceneToJson(description_, host_->LineObjects(),
                                             description_.path.empty() ? nullptr : &original)
                                     .dump(2) +
                                 "\n";
        if (const int error = KvrnVectorOut::WriteFileReplacing(options_.saveScene, text))
            return Failed("", options_.saveScene + ": cannot write: " + std::strerror(error), 1);
    } catch (const std::exception& e) {
        return Failed("", e.what(), 1);
    }
    written_.push_back(options_.saveScene);
    return 0;
}

// The statistics file and the summary.
int RenderRun::Report() {
    times_.total = MsSince(start_);
    const int64_t peak = PeakMemoryBytes();
    if (!options_.statsJson.empty()) {
        const auto round2 = [](double ms) { return std::round(ms * 100.0) / 100.0; };
        const nlohmann::ordered_json stats = {
            {"input", !description_.path.empty() ? description_.path
                      : !options_.inputs.empty() ? options_.inputs.front()
                                                 : "--builtin " + options_.builtin},
            {"objects", objectCount_},
            {"frames", myFrames_.size()},
            {"triangles", triangles_},
            {"strokes", strokes_},
            {"shaded", shader_ != nullptr},
            {"rays", shadeRays_},
            {"threads", threadCount_},
            {"width", framed_.camera.width},
            {"height", framed_.camera.height},
            {"ms",
             {{"import", round2(times_.import)},
              {"setup", round2(times_.setup)},
              {"pipeline", round2(times_.pipeline)},
              {"shadeBuild", round2(times_.shadeBuild)},
              {"shade", round2(times_.shade)},
              {"detect", round2(times_.detect)},
              {"connect", round2(times_.connect)},
              {"draw", round2(times_.draw)},
              {"write", round2(times_.write)},
              {"total", round2(times_.total)}}},
            {"peakMemoryBytes", peak},
            {"estimatedPeakBytes", EstimateRenderMemory(triangles_, frameShape_).Total()}};
        const int result =
            KvrnVectorOut::WriteFileReplacing(options_.statsJson, stats.dump(2) + "\n");
        if (result != 0)
            return Failed("", options_.statsJson + ": cannot write: " + std::strerror(result), 1);
    }
    if (!options_.quiet) {
        out_ << std::fixed << std::setprecision(1) << objectCount_ << " objects, " << triangles_
             << " triangles, " << strokes_ << " strokes, " << threadCount_
             << (threadCount_ == 1 ? " thread" : " threads") << "\n"
             << "import " << times_.import << " ms, set-up " << times_.setup << " ms, pipeline "
             << times_.pipeline << " ms, shading " << times_.shadeBuild + times_.shade
             << " ms, detection " << times_.detect << " ms, connection " << times_.connect
             << " ms, drawing " << times_.draw << " ms, writing " << times_.write << " ms; total "
             << times_.total << " ms, peak memory " << double(peak) / (1024.0 * 1024.0) << " MB\n";
        for (const std::string& path : written_) out_ << "wrote " << path << "\n";
    }
    return 0;
}

}  // namespace

int RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool errIsTerminal) {
    return RenderRun(options, out, err, errIsTerminal).Run();
}

}  // namespace KvrnApp
