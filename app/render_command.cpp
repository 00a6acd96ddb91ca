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
#include "file_out_delegate.h"
#include "file_output.h"
#include "file_replace.h"
#include "line_effect.h"
#include "line_objects.h"
#include "line_records.h"
#include "memory_budget.h"
#include "png_writer.h"
#include "poly_mesh.h"
#include "primitives.h"
#include "progress_display.h"
#include "scene_file.h"
#include "scene_objects.h"
#include "scene_writer.h"
#include "settings_commands.h"
#include "stage_runner.h"
#include "tee_draw_delegate.h"

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

struct VectorTarget {
    std::string path;
    KvrnVectorOut::FileType type;
    std::unique_ptr<KvrnVectorOut::VectorImage> writer;
};

struct StageTimes {
    double import = 0, setup = 0, detect = 0, connect = 0, draw = 0, write = 0, total = 0;
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
    render->add_option("--save-scene", options->saveScene,
                       "Scene file of the line settings as used (every parameter by name)");
    render->add_option("--background", options->background,
                       "Colour under the lines: #rrggbb, #rrggbbaa, r,g,b[,a] or white/black "
                       "(default: transparent)");
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

// One render, as the steps it goes through. Each step returns 0 to go on, or the exit code.
class RenderRun {
  public:
    RenderRun(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool errIsTerminal)
        : options_(options), out_(out), err_(err), errIsTerminal_(errIsTerminal) {}

    int Run() {
        if (const int code = CheckInputs()) return code;
        if (const int code = LoadScene()) return code;
        if (const int code = RunEngine()) return code;
        if (const int code = WriteOutputs()) return code;
        return Report();
    }

  private:
    int CheckInputs();
    int LoadScene();
    int RunEngine();
    int WriteOutputs();
    int Report();

    // 128 + the signal, as a shell reports a process the signal ended: 130 for Ctrl-C, 143 for
    // SIGTERM, 129 for SIGHUP.
    int Interrupted() {
        if (!options_.quiet) err_ << "kovrin render: interrupted\n";
        return 128 + int(gInterrupted);
    }
    int Failed(const char* what, const std::string& why, int code) {
        if (display_) display_->Clear();
        err_ << "kovrin render: " << what << why << "\n";
        return code;
    }
    // An engine entry point returned false: an interrupt, or the engine's own message.
    int EngineFailed(const char* stage) {
        if (display_) display_->Clear();
        if (gInterrupted) return Interrupted();
        std::string why = engineMessage_.empty() ? "the engine gave no reason" : engineMessage_;
        if (engineMessage_.find("alloc failed") != std::string::npos)
            why += LimitNote(memoryLimit_);
        return Failed(stage, " failed: " + why, 1);
    }

    const RenderOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    const bool errIsTerminal_;
    const Clock::time_point start_ = Clock::now();
    InterruptGuard interrupts_;
    StageTimes times_;

    SceneDescription description_;
    int64_t memoryLimit_ = 0;  // 0: unknown, nothing checked
    FrameShape frameShape_;
    KvrnLib::ColorFloat background_{};
    std::vector<VectorTarget> vectors_;

    SceneObjects loaded_;
    FramedCamera framed_;
    std::unique_ptr<SceneLineObjects> lineObjects_;
    EngineLineRecords settings_;
    std::unique_ptr<KvrnLib::Scene> scene_;
    int64_t triangles_ = 0;
    int64_t strokes_ = 0;
    int threadCount_ = 1;

    std::string engineMessage_;  // the engine's last failure line
    std::unique_ptr<ProgressDisplay> display_;
    std::shared_ptr<KvrnLib::ColorFloatRaster> raster_;
    std::vector<std::string> written_;
};

// Everything that can be checked before work starts: outputs writable and apart from the inputs,
// the scene description, and whether it fits in memory.
int RenderRun::CheckInputs() {
    try {
        const RenderOptions& o = options_;
        if (o.png.empty() && o.exr.empty() && o.eps.empty() && o.ai.empty() && o.saveScene.empty())
            throw InputError(
                "nothing to write: give -o FILE.png, --exr, --eps, --ai or --save-scene");
        const std::vector<NamedPath> named = {{"-o", o.png},
                                              {"--exr", o.exr},
                                              {"--eps", o.eps},
                                              {"--ai", o.ai},
                                              {"--stats-json", o.statsJson},
                                              {"--save-scene", o.saveScene}};
        std::vector<NamedPath> outputs;
        for (const NamedPath& output : named) {
            CheckWritable(output.what, output.path);
            if (!output.path.empty()) outputs.push_back(output);
        }
        // New brushes start from the user defaults; a bad defaults file stops the run.
        if (const std::vector<std::string> bad = LoadUserDefaults(); !bad.empty())
            throw InputError(bad.front());
        if (!o.background.empty()) background_ = ParseBackground(o.background);
        description_ = DescribeJob(o);
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
    if (!options_.eps.empty())
        vectors_.push_back({options_.eps, KvrnVectorOut::FileType::kEps, {}});
    if (!options_.ai.empty())
        vectors_.push_back({options_.ai, KvrnVectorOut::FileType::kIllustrator8, {}});
    return 0;
}

// Import, the memory check with the real triangle count, the camera and the engine settings.
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
        CheckMemory(triangles_, frameShape_, memoryLimit_);
        times_.import = MsSince(stageStart);
        stageStart = Clock::now();
        framed_ = MakeSceneCamera(description_.camera, loaded_.objects);
        const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
        lineObjects_ = std::make_unique<SceneLineObjects>(description_);
        settings_ = BuildSceneRecords(*lineObjects_, description_, loaded_.descIndex,
                                      framed_.camera.height, cores);
    } catch (const ImportInterrupted&) {
        return Interrupted();
    } catch (const InputError& e) {
        return Failed("", e.what(), 2);
    } catch (const std::bad_alloc&) {
        return Failed("out of memory while loading the scene", LimitNote(memoryLimit_), 2);
    }
    for (const auto& object : loaded_.objects)
        object->SetTransforms(object->objToWorld, framed_.camera.worldToCam);
    scene_ = std::make_unique<KvrnLib::Scene>(framed_.camera, loaded_.objects);
    threadCount_ = options_.threads > 0 ? options_.threads : settings_.threadCount;
    times_.setup = MsSince(stageStart);
    return 0;
}

// Detection, connection and drawing, into the raster and the vector recorders.
int RenderRun::RunEngine() {
    // The engine reports failures on its debug output: keep the last line for the message.
    KvrnLib::SetDebugOutputSink([this](const char* text) {
        engineMessage_ = text ? text : "";
        while (!engineMessage_.empty() && engineMessage_.back() == '\n') engineMessage_.pop_back();
    });
    struct SinkReset {
        ~SinkReset() { KvrnLib::SetDebugOutputSink({}); }
    } sinkReset;

    const ProgressMode mode = options_.quiet   ? ProgressMode::kQuiet
                              : errIsTerminal_ ? ProgressMode::kLive
                                               : ProgressMode::kPlain;
    display_ = std::make_unique<ProgressDisplay>(err_, mode, threadCount_, TerminalColumns());
    auto delegate = std::make_shared<DisplayDelegate>(*display_, &gInterrupted);
    auto manager = std::make_shared<KvrnLib::ThreadManagerCore>(threadCount_);
    KvrnLib::LineEffect effect(scene_.get(), delegate);

    Clock::time_point stageStart = Clock::now();
    display_->SetCaption("Processing: [kovrin] edge detection.");
    if (!effect.Detect(settings_.detection, manager)) return EngineFailed("edge detection");
    times_.detect = MsSince(stageStart);

    stageStart = Clock::now();
    display_->SetCaption("Processing: [kovrin] edge connection.");
    if (!effect.Connect(settings_.connect, manager)) return EngineFailed("edge connection");
    times_.connect = MsSince(stageStart);
    for (const KvrnLib::ConnectionResult& result : *effect.Connection()) {
        for (const KvrnLib::StrokeList& slot : result.slots) strokes_ += int64_t(slot.Size());
    }

    stageStart = Clock::now();
    display_->SetCaption("Processing: [kovrin] drawing.");
    const float width = float(framed_.camera.width), height = float(framed_.camera.height);
    std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> fileDelegates;
    for (VectorTarget& target : vectors_) {
        target.writer = KvrnVectorOut::CreateVectorImage(int(target.type));
        KvrnVectorOut::RecordPageSetup(*target.writer, width, height);
        fileDelegates.push_back(std::make_shared<KvrnVectorOut::LineEffectDrawDelegateForFileOut>(
            settings_.layerNames, width, height, target.writer.get(),
            KvrnVectorOut::FileOutLineSwitches{}));
    }
    std::shared_ptr<KvrnLib::LineEffectDrawDelegate> fileDelegate;
    if (fileDelegates.size() == 1) fileDelegate = fileDelegates.front();
    if (fileDelegates.size() > 1)
        fileDelegate = std::make_shared<KvrnVectorOut::TeeDrawDelegate>(fileDelegates);
    // Vector files take line sizes for an image 640 pixels high whatever the size type. They are
    // drawn on their own: a draw delegate reverses the line-set order, which would change the
    // raster's overlaps whenever a vector file is asked for too.
    const float fileScale = height * KvrnLib::kRelativeSizeScale;
    try {
        if (!options_.png.empty() || !options_.exr.empty()) {
            raster_ = std::make_shared<KvrnLib::ColorFloatRaster>(framed_.camera.width,
                                                                  framed_.camera.height);
            if (background_.a > 0.0f) {
                for (int y = 0; y < raster_->Height(); ++y)
                    std::fill(raster_->Row(y), raster_->Row(y) + raster_->Width(), background_);
            }
            auto target = std::make_shared<KvrnLib::LineEffectRasterForColorFloatRaster>(raster_);
            if (!effect.Draw(target, settings_.draw, manager, false, nullptr))
                return EngineFailed("drawing");
        }
        if (fileDelegate) {
            const KvrnLib::DrawSettings fileSettings =
                KvrnLib::ScaleLengths(settings_.draw, fileScale / settings_.sizeScale);
            if (!effect.Draw(fileDelegate, fileSettings)) return EngineFailed("drawing");
        }
    } catch (const std::exception& e) {
        return Failed("drawing failed: ", e.what(), 1);
    }
    times_.draw = MsSince(stageStart);
    if (gInterrupted) {
        display_->Clear();
        return Interrupted();
    }
    return 0;
}

// Every file is written whole under a temporary name first, and all are renamed into place
// together only when every one succeeded and no interrupt came. A failed or stopped run leaves
// each earlier file as it was, and no temporary file.
int RenderRun::WriteOutputs() {
    const Clock::time_point stageStart = Clock::now();
    // Encoding a large frame takes seconds: say so rather than look stalled.
    display_->SetCaption("Processing: [kovrin] writing.");
    std::vector<KvrnVectorOut::StagedFile> staged;
    std::vector<std::string> paths;
    try {
        const auto stage = [&](const std::string& path, const std::string& bytes) {
            if (gInterrupted) return;
            const int error = staged.emplace_back().Write(path, bytes);
            if (error != 0)
                throw std::runtime_error(path + ": cannot write: " + std::strerror(error));
            paths.push_back(path);
        };
        if (!options_.png.empty())
            stage(options_.png, EncodePng(options_.png, *raster_, threadCount_));
        if (!options_.exr.empty() && !gInterrupted)
            stage(options_.exr, EncodeExr(options_.exr, *raster_));
        for (VectorTarget& target : vectors_) {
            if (gInterrupted) break;
            target.writer->Optimize();
            stage(target.path, target.writer->Serialize());
        }
        if (!options_.saveScene.empty() && !gInterrupted) {
            const nlohmann::json original =
                description_.path.empty() ? nlohmann::json() : ReadSceneJson(description_.path);
            stage(options_.saveScene, SceneToJson(description_, *lineObjects_,
                                                  description_.path.empty() ? nullptr : &original)
                                              .dump(2) +
                                          "\n");
        }
    } catch (const std::exception& e) {
        return Failed("", e.what(), 1);
    }
    display_->Clear();
    if (gInterrupted) return Interrupted();
    for (size_t i = 0; i < staged.size(); ++i) {
        if (const int error = staged[i].Commit())
            return Failed("", paths[i] + ": cannot write: " + std::strerror(error), 1);
        written_.push_back(paths[i]);
    }
    times_.write = MsSince(stageStart);
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
            {"objects", loaded_.objects.size()},
            {"triangles", triangles_},
            {"strokes", strokes_},
            {"threads", threadCount_},
            {"width", framed_.camera.width},
            {"height", framed_.camera.height},
            {"ms",
             {{"import", round2(times_.import)},
              {"setup", round2(times_.setup)},
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
        out_ << std::fixed << std::setprecision(1) << loaded_.objects.size() << " objects, "
             << triangles_ << " triangles, " << strokes_ << " strokes, " << threadCount_
             << (threadCount_ == 1 ? " thread" : " threads") << "\n"
             << "import " << times_.import << " ms, set-up " << times_.setup << " ms, detection "
             << times_.detect << " ms, connection " << times_.connect << " ms, drawing "
             << times_.draw << " ms, writing " << times_.write << " ms; total " << times_.total
             << " ms, peak memory " << double(peak) / (1024.0 * 1024.0) << " MB\n";
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
