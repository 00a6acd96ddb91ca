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
#include <sstream>
#include <thread>

#include "exr_writer.h"
#include "file_out_delegate.h"
#include "file_output.h"
#include "file_replace.h"
#include "line_effect.h"
#include "line_settings.h"
#include "memory_budget.h"
#include "png_writer.h"
#include "poly_mesh.h"
#include "primitives.h"
#include "progress_display.h"
#include "scene_file.h"
#include "scene_objects.h"
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

// Hands every call to each of several delegates (an EPS and an Illustrator file at once).
class TeeDrawDelegate final : public KvrnLib::LineEffectDrawDelegate {
  public:
    explicit TeeDrawDelegate(std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> targets)
        : targets_(std::move(targets)) {}

    bool VisitLineSetsReversed() override { return targets_.front()->VisitLineSetsReversed(); }
    bool BeginLineSet(const KvrnLib::LineSetId* id, int index, bool hidden) override {
        bool any = false;
        for (size_t i = 0; i < targets_.size(); ++i) {
            active_[i] = targets_[i]->BeginLineSet(id, index, hidden);
            any = any || active_[i];
        }
        return any;
    }
    void BeginStrokeCopy(float width, float r, float g, float b, bool dashed, float length,
                         float space) override {
        for (size_t i = 0; i < targets_.size(); ++i) {
            if (active_[i]) targets_[i]->BeginStrokeCopy(width, r, g, b, dashed, length, space);
        }
    }
    void Segment(int kind, float x0, float y0, float x1, float y1) override {
        for (size_t i = 0; i < targets_.size(); ++i) {
            if (active_[i]) targets_[i]->Segment(kind, x0, y0, x1, y1);
        }
    }
    void EndStrokeCopy() override {
        for (size_t i = 0; i < targets_.size(); ++i) {
            if (active_[i]) targets_[i]->EndStrokeCopy();
        }
    }

  private:
    std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> targets_;
    std::vector<char> active_ = std::vector<char>(targets_.size(), 0);
};

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

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
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
    // 3 is drawn as 4, as the line settings do.
    shape.oversampling =
        description.options.overSampling == 3 ? 4 : description.options.overSampling;
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

}  // namespace

int RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err,
              bool errIsTerminal) {
    const Clock::time_point start = Clock::now();
    StageTimes times;
    InterruptGuard interrupts;
    // 128 + the signal, as a shell reports a process the signal ended: 130 for Ctrl-C, 143 for
    // SIGTERM, 129 for SIGHUP.
    const auto interrupted = [&] {
        if (!options.quiet) err << "kovrin render: interrupted\n";
        return 128 + int(gInterrupted);
    };

    // Everything that can be checked before work starts.
    SceneDescription description;
    int64_t memoryLimit = 0;  // 0: unknown, nothing checked
    FrameShape frameShape;
    KvrnLib::ColorFloat background{};
    std::vector<VectorTarget> vectors;
    try {
        if (options.png.empty() && options.exr.empty() && options.eps.empty() &&
            options.ai.empty()) {
            throw InputError("nothing to write: give -o FILE.png, --exr, --eps or --ai");
        }
        CheckWritable("-o", options.png);
        CheckWritable("--exr", options.exr);
        CheckWritable("--eps", options.eps);
        CheckWritable("--ai", options.ai);
        CheckWritable("--stats-json", options.statsJson);
        if (!options.background.empty()) background = ParseBackground(options.background);
        description = DescribeJob(options);
        std::vector<std::string> inputs(options.inputs.begin(), options.inputs.end());
        for (const ObjectDesc& object : description.objects)
            if (object.source == ObjectSource::kFile) inputs.push_back(object.file);
        std::vector<NamedPath> outputs;
        for (const NamedPath& output : {NamedPath{"-o", options.png},
                                        {"--exr", options.exr},
                                        {"--eps", options.eps},
                                        {"--ai", options.ai},
                                        {"--stats-json", options.statsJson}}) {
            if (!output.path.empty()) outputs.push_back(output);
        }
        CheckOutputsApart(outputs, inputs);
        if (options.visibleOnly) {
            for (LineSetDesc& set : description.lineSets) SwitchAllEdgesOff(set.edges[1]);
        }
        if (options.width > 0) description.camera.width = options.width;
        if (options.height > 0) description.camera.height = options.height;
        memoryLimit = options.maxMemory.empty()
                          ? AvailableMemoryBytes()
                          : ParseMemorySize("--max-memory", options.maxMemory);
        frameShape = ShapeOfFrame(description, options);
        int64_t primitiveTriangles = 0;
        for (const ObjectDesc& object : description.objects)
            primitiveTriangles += PrimitiveTriangles(object);
        CheckMemory(primitiveTriangles, frameShape, memoryLimit);
    } catch (const InputError& e) {
        err << "kovrin render: " << e.what() << "\n";
        return 2;
    }
    // From here on, memory beyond the limit is an allocation failure with a message, not the
    // kernel ending the process.
    if (memoryLimit > 0) {
        LimitAddressSpace(memoryLimit + EstimateRenderMemory(0, frameShape).reserved);
    }
    if (!options.eps.empty()) vectors.push_back({options.eps, KvrnVectorOut::FileType::kEps, {}});
    if (!options.ai.empty()) {
        vectors.push_back({options.ai, KvrnVectorOut::FileType::kIllustrator8, {}});
    }

    // Import and set-up.
    Clock::time_point stageStart = Clock::now();
    SceneObjects loaded;
    FramedCamera framed;
    EngineLineSettings settings;
    try {
        LoadOptions load;
        load.importTimeoutSeconds = options.importTimeout;
        load.importMemoryBytes = memoryLimit;
        load.interrupt = &gInterrupted;
        loaded = LoadSceneObjects(description, load);
        if (gInterrupted) return interrupted();
        if (!options.quiet) {
            for (const std::string& warning : loaded.warnings)
                err << "kovrin render: warning: " << warning << "\n";
        }
        CheckMemory(CountTriangles(loaded), frameShape, memoryLimit);
        times.import = MsSince(stageStart);
        stageStart = Clock::now();
        framed = MakeSceneCamera(description.camera, loaded.objects);
        const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
        settings = BuildEngineSettings(description, loaded.descIndex, framed.camera.height, cores);
    } catch (const ImportInterrupted&) {
        return interrupted();
    } catch (const InputError& e) {
        err << "kovrin render: " << e.what() << "\n";
        return 2;
    } catch (const std::bad_alloc&) {
        err << "kovrin render: out of memory while loading the scene" << LimitNote(memoryLimit)
            << "\n";
        return 2;
    }
    for (const auto& object : loaded.objects) {
        object->SetTransforms(object->objToWorld, framed.camera.worldToCam);
    }
    const KvrnLib::Scene scene(framed.camera, loaded.objects);
    const int64_t triangles = CountTriangles(loaded);
    const int threadCount = options.threads > 0 ? options.threads : settings.threadCount;
    times.setup = MsSince(stageStart);

    // The engine reports failures on its debug output: keep the last line for the message.
    std::string engineMessage;
    KvrnLib::SetDebugOutputSink([&engineMessage](const char* text) {
        engineMessage = text ? text : "";
        while (!engineMessage.empty() && engineMessage.back() == '\n') engineMessage.pop_back();
    });
    struct SinkReset {
        ~SinkReset() { KvrnLib::SetDebugOutputSink({}); }
    } sinkReset;

    const ProgressMode mode = options.quiet   ? ProgressMode::kQuiet
                              : errIsTerminal ? ProgressMode::kLive
                                              : ProgressMode::kPlain;
    ProgressDisplay display(err, mode, threadCount, TerminalColumns());
    auto delegate = std::make_shared<DisplayDelegate>(display, &gInterrupted);
    auto manager = std::make_shared<KvrnLib::ThreadManagerCore>(threadCount);
    KvrnLib::LineEffect effect(&scene, delegate);
    const auto failed = [&](const char* stage) {
        display.Clear();
        if (gInterrupted) return interrupted();
        err << "kovrin render: " << stage
            << " failed: " << (engineMessage.empty() ? "the engine gave no reason" : engineMessage);
        if (engineMessage.find("alloc failed") != std::string::npos) err << LimitNote(memoryLimit);
        err << "\n";
        return 1;
    };

    stageStart = Clock::now();
    display.SetCaption("Processing: [kovrin] edge detection.");
    if (!effect.Detect(settings.detection, manager)) return failed("edge detection");
    times.detect = MsSince(stageStart);

    stageStart = Clock::now();
    display.SetCaption("Processing: [kovrin] edge connection.");
    if (!effect.Connect(settings.connect, manager)) return failed("edge connection");
    times.connect = MsSince(stageStart);
    int64_t strokes = 0;
    for (const KvrnLib::ConnectionResult& result : *effect.Connection()) {
        for (const KvrnLib::StrokeList& slot : result.slots) strokes += int64_t(slot.Size());
    }

    stageStart = Clock::now();
    display.SetCaption("Processing: [kovrin] drawing.");
    const float width = float(framed.camera.width), height = float(framed.camera.height);
    std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> fileDelegates;
    for (VectorTarget& target : vectors) {
        target.writer = KvrnVectorOut::CreateVectorImage(int(target.type));
        KvrnVectorOut::RecordPageSetup(*target.writer, width, height);
        fileDelegates.push_back(std::make_shared<KvrnVectorOut::LineEffectDrawDelegateForFileOut>(
            settings.layerNames, width, height, target.writer.get(),
            KvrnVectorOut::FileOutLineSwitches{}));
    }
    std::shared_ptr<KvrnLib::LineEffectDrawDelegate> fileDelegate;
    if (fileDelegates.size() == 1) fileDelegate = fileDelegates.front();
    if (fileDelegates.size() > 1) fileDelegate = std::make_shared<TeeDrawDelegate>(fileDelegates);
    // Vector files take line sizes for an image 640 pixels high whatever the size type. They are
    // drawn on their own: a draw delegate reverses the line-set order, which would change the
    // raster's overlaps whenever a vector file is asked for too.
    const float fileScale = height * KvrnLib::kRelativeSizeScale;
    std::shared_ptr<KvrnLib::ColorFloatRaster> raster;
    const bool wantRaster = !options.png.empty() || !options.exr.empty();
    try {
        if (wantRaster) {
            raster = std::make_shared<KvrnLib::ColorFloatRaster>(framed.camera.width,
                                                                 framed.camera.height);
            if (background.a > 0.0f) {
                for (int y = 0; y < raster->Height(); ++y) {
                    std::fill(raster->Row(y), raster->Row(y) + raster->Width(), background);
                }
            }
            auto target = std::make_shared<KvrnLib::LineEffectRasterForColorFloatRaster>(raster);
            if (!effect.Draw(target, settings.draw, manager, false, nullptr)) {
                return failed("drawing");
            }
        }
        if (fileDelegate) {
            const KvrnLib::DrawSettings fileSettings =
                KvrnLib::ScaleLengths(settings.draw, fileScale / settings.sizeScale);
            if (!effect.Draw(fileDelegate, fileSettings)) return failed("drawing");
        }
    } catch (const std::exception& e) {
        display.Clear();
        err << "kovrin render: drawing failed: " << e.what() << "\n";
        return 1;
    }
    times.draw = MsSince(stageStart);
    if (gInterrupted) {
        display.Clear();
        return interrupted();
    }
    // Encoding a large frame takes seconds: say so rather than look stalled.
    display.SetCaption("Processing: [kovrin] writing.");

    // Output: every file is written whole under a temporary name first, and all are renamed
    // into place together only when every one succeeded and no interrupt came. A failed or
    // stopped run leaves each earlier file as it was, and no temporary file.
    stageStart = Clock::now();
    std::vector<KvrnVectorOut::StagedFile> staged;
    std::vector<std::string> written;
    try {
        const auto stage = [&](const std::string& path, const std::string& bytes) {
            if (gInterrupted) return;
            const int error = staged.emplace_back().Write(path, bytes);
            if (error != 0)
                throw std::runtime_error(path + ": cannot write: " + std::strerror(error));
            written.push_back(path);
        };
        if (!options.png.empty()) stage(options.png, EncodePng(options.png, *raster));
        if (!options.exr.empty() && !gInterrupted)
            stage(options.exr, EncodeExr(options.exr, *raster));
        for (VectorTarget& target : vectors) {
            if (gInterrupted) break;
            target.writer->Optimize();
            stage(target.path, target.writer->Serialize());
        }
    } catch (const std::exception& e) {
        display.Clear();
        err << "kovrin render: " << e.what() << "\n";
        return 1;
    }
    display.Clear();
    if (gInterrupted) return interrupted();
    for (size_t i = 0; i < staged.size(); ++i) {
        const int error = staged[i].Commit();
        if (error != 0) {
            err << "kovrin render: " << written[i] << ": cannot write: " << std::strerror(error)
                << "\n";
            return 1;
        }
    }
    times.write = MsSince(stageStart);
    times.total = MsSince(start);

    const int64_t peak = PeakMemoryBytes();
    if (!options.statsJson.empty()) {
        std::ostringstream json;
        json << std::fixed << std::setprecision(2) << "{\n  \"input\": "
             << JsonString(description.path.empty() ? options.inputs.front() : description.path)
             << ",\n  \"objects\": " << loaded.objects.size() << ",\n  \"triangles\": " << triangles
             << ",\n  \"strokes\": " << strokes << ",\n  \"threads\": " << threadCount
             << ",\n  \"width\": " << framed.camera.width
             << ",\n  \"height\": " << framed.camera.height
             << ",\n  \"ms\": {\"import\": " << times.import << ", \"setup\": " << times.setup
             << ", \"detect\": " << times.detect << ", \"connect\": " << times.connect
             << ", \"draw\": " << times.draw << ", \"write\": " << times.write
             << ", \"total\": " << times.total << "},\n  \"peakMemoryBytes\": " << peak
             << ",\n  \"estimatedPeakBytes\": "
             << EstimateRenderMemory(triangles, frameShape).Total() << "\n}\n";
        const int result = KvrnVectorOut::WriteFileReplacing(options.statsJson, json.str());
        if (result != 0) {
            err << "kovrin render: " << options.statsJson
                << ": cannot write: " << std::strerror(result) << "\n";
            return 1;
        }
    }
    if (!options.quiet) {
        out << std::fixed << std::setprecision(1) << loaded.objects.size() << " objects, "
            << triangles << " triangles, " << strokes << " strokes, " << threadCount
            << (threadCount == 1 ? " thread" : " threads") << "\n"
            << "import " << times.import << " ms, set-up " << times.setup << " ms, detection "
            << times.detect << " ms, connection " << times.connect << " ms, drawing " << times.draw
            << " ms, writing " << times.write << " ms; total " << times.total << " ms, peak memory "
            << double(peak) / (1024.0 * 1024.0) << " MB\n";
        for (const std::string& path : written) out << "wrote " << path << "\n";
    }
    return 0;
}

}  // namespace KvrnApp
