#include "line_render_driver.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bitmap_raster.h"
#include "kvrn_line.h"
#include "kvrn_line_rend_elem.h"
#include "line_file_output.h"
#include "line_records.h"
#include "mtl.h"
#include "node.h"
#include "stage_runner.h"
#include "string_table.h"

namespace {

constexpr int kDetectionCaption = 11197;
constexpr int kConnectionCaption = 11198;
constexpr int kDrawingCaption = 11199;

// Module-wide state of the driver: touched on the render thread only.
struct DriverState {
    KvrnFrameRenderInfo frameInfo;
    std::unique_ptr<ModelessCheckAbortCallback> progress;
    std::vector<Mtl*> materials;  // of the current render, collected at its first frame
    bool collectMaterials = true;
    bool hooksRegistered = false;
    int threadOverride = 0;
};

DriverState& State() {
    static DriverState state;
    return state;
}

// The shared progress window: created on first use, else re-initialised. An abort pressed
// earlier in the frame stays set until the window is released.
KvrnCheckAbortCallback& SharedProgress(int threadCount, CheckAbortCallback* parent) {
    std::unique_ptr<ModelessCheckAbortCallback>& progress = State().progress;
    if (progress) {
        progress->Initialize(threadCount, parent);
    } else {
        progress = std::make_unique<ModelessCheckAbortCallback>(threadCount, parent);
    }
    return *progress;
}

void ReleaseSharedProgress() { State().progress.reset(); }

Matrix3 HostMatrix(const KvrnLib::Matrix3& m) {
    Matrix3 out;
    for (int r = 0; r < 4; ++r) out.SetRow(r, {m.row[r].x, m.row[r].y, m.row[r].z});
    return out;
}

void ReportFailure(const KvrnLine& line, const std::string& what) {
    KvrnLib::DebugOutput(("KvrnLine [" + line.GetName() + "]: " + what + "\n").c_str());
}

// Variant hooks of the common run: preparation of the draw record (false: nothing to draw)
// and the drawing itself.
struct Variant {
    std::function<bool(EngineLineRecords&)> prepare;
    std::function<bool(KvrnLib::LineEffect&, const EngineLineRecords&)> draw;
};

// The common run of every variant. imageHeight sizes relative lines; scaleAlways sizes them by
// it even when the effect's sizes are absolute (the file output's rule).
bool RunLineEffect(KvrnLine& line, TimeValue t, int imageHeight, bool scaleAlways, int threadCount,
                   std::shared_ptr<KvrnLib::ThreadManager> manager,
                   KvrnCheckAbortCallback& callback, const Variant& variant) {
    KvrnFrameRenderInfo& info = State().frameInfo;
    KvrnLib::LineEffect& effect = line.GetLineEffect(info);
    // Whatever way the run ends, the engine object reports to the default delegate again.
    struct DelegateReset {
        KvrnLib::LineEffect& effect;
        ~DelegateReset() { effect.SetDelegate(nullptr); }
    } reset{effect};
    if (callback.Check()) return false;

    EngineLineRecords records;
    try {
        records = BuildEngineRecords(line, info.Nodes(), t, imageHeight, threadCount,
                                     HostMatrix(info.GetScene().GetCamera().worldToCam));
        if (scaleAlways && line.LineSizeType(t) == 0) {
            if (imageHeight <= 0)
                throw std::invalid_argument("output height " + std::to_string(imageHeight) +
                                            " pixels, expected a positive height");
            records.draw = KvrnLib::ScaleLengths(std::move(records.draw),
                                                 float(imageHeight) * KvrnLib::kRelativeSizeScale);
        }
    } catch (const std::exception& e) {
        ReportFailure(line, e.what());
        return false;
    }
    if (!variant.prepare(records)) return false;

    effect.SetDelegate(std::make_shared<KvrnLineEffectDelegate>(&callback));
    KvrnLine::RunReport& report = line.Report();
    ++report.runs;
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    const auto failed = [&report](const char* stage) {
        if (report.failedStage.empty()) report.failedStage = stage;
        return false;
    };
    callback.SetCaption(StageCaption(kDetectionCaption, line.GetName()));
    Clock::time_point start = Clock::now();
    const bool detected = effect.Detect(records.detection, manager);
    report.detectMs += ms(start);
    if (!detected) return failed("edge detection");
    callback.SetCaption(StageCaption(kConnectionCaption, line.GetName()));
    start = Clock::now();
    const bool connected = effect.Connect(records.connect, manager);
    report.connectMs += ms(start);
    if (!connected) return failed("edge connection");
    if (report.strokes == 0 && effect.Connection()) {
        for (const KvrnLib::ConnectionResult& result : *effect.Connection())
            for (const KvrnLib::StrokeList& slot : result.slots)
                report.strokes += int64_t(slot.Size());
    }
    callback.SetCaption(StageCaption(kDrawingCaption, line.GetName()));
    start = Clock::now();
    const bool drawn = variant.draw(effect, records);
    report.drawMs += ms(start);
    return drawn || failed("drawing");
}

// Line render element records of gc's elements at t that have an output bitmap of the frame's
// size (the engine draws elements pixel for pixel with the frame).
std::vector<std::shared_ptr<const KvrnLib::RenderElementOutputSettings>> ElementRecords(
    const KvrnLine& line, const RenderGlobalContext* gc, TimeValue t, const Bitmap& frame) {
    std::vector<std::shared_ptr<const KvrnLib::RenderElementOutputSettings>> records;
    if (!gc) return records;
    for (int i = 0; i < gc->NumRenderElements(); ++i) {
        KvrnLineRendElem* element = AsLineRendElem(gc->GetRenderElement(i));
        if (!element || !element->IsEnabled()) continue;
        auto record = element->FillRecord(t);
        if (!record) continue;
        if (record->raster->Width() != frame.Width() ||
            record->raster->Height() != frame.Height()) {
            ReportFailure(line, "render element \"" + element->ElementName() +
                                    "\" has a bitmap of another size than the frame; skipped");
            continue;
        }
        records.push_back(std::move(record));
    }
    return records;
}

void CollectWithSubMaterials(std::vector<Mtl*>& list, Mtl* mtl) {
    if (!mtl || std::find(list.begin(), list.end(), mtl) != list.end()) return;
    list.push_back(mtl);
    for (int i = 0; i < mtl->NumSubMtls(); ++i) CollectWithSubMaterials(list, mtl->GetSubMtl(i));
}

void ReleaseLineEffects(const RenderGlobalContext* gc) {
    if (!gc || !gc->setup) return;
    for (const RefPtr<Effect>& effect : gc->setup->effects)
        if (KvrnLine* line = AsLine(effect.get())) line->ReleaseLineEffect();
}

void OnPreRender(void*, NotifyInfo* info) {
    DriverState& state = State();
    state.frameInfo.Clear();
    ReleaseLineEffects(info ? static_cast<const RenderGlobalContext*>(info->callParam) : nullptr);
    state.materials.clear();
    state.collectMaterials = true;
}

void FillElementBackgrounds(const RenderGlobalContext& gc) {
    if (gc.inMtlEdit) return;
    for (int i = 0; i < gc.NumRenderElements(); ++i)
        if (KvrnLineRendElem* element = AsLineRendElem(gc.GetRenderElement(i));
            element && element->IsEnabled())
            element->FillBackground(gc.time);
}

void OnPreRenderFrame(void*, NotifyInfo* info) {
    const auto* gc = info ? static_cast<const RenderGlobalContext*>(info->callParam) : nullptr;
    DriverState& state = State();
    state.frameInfo.Clear();
    ReleaseLineEffects(gc);
    if (!gc) return;
    FillElementBackgrounds(*gc);
    if (gc->NumRenderInstances() == 0) return;

    if (state.collectMaterials) {
        for (const RenderInstance& instance : gc->instances)
            if (instance.node) CollectWithSubMaterials(state.materials, instance.node->GetMtl());
        state.collectMaterials = false;
    }
    bool needsInfo = false;
    bool needsMotion = false;
    auto ask = [&](KvrnRenderGlobalUser* user) {
        if (!user) return;
        needsInfo = user->NeedsFrameRenderInfo(gc->time) || needsInfo;
        needsMotion = user->NeedsMotionInfo(gc->time) || needsMotion;
    };
    for (KvrnLine* line : ActiveLineEffects(gc, gc->time)) ask(line);
    for (Mtl* mtl : state.materials) ask(dynamic_cast<KvrnRenderGlobalUser*>(mtl));
    if (!needsInfo && !needsMotion) return;
    if (!state.frameInfo.Initialize(*gc))
        throw std::runtime_error("KvrnFrameRenderInfo::Initialize() error.");
}

void OnPostRender(void*, NotifyInfo*) { ReleaseSharedProgress(); }

}  // namespace

KvrnFrameRenderInfo& SharedFrameRenderInfo() { return State().frameInfo; }

void SetLineThreadCountOverride(int count) { State().threadOverride = std::max(count, 0); }

int LineThreadCount(KvrnLine& line, TimeValue t) {
    IParamBlock2* block = line.MainBlock();
    if (!block || !block->GetBool(KvrnLine::kMultithread, t)) return 1;
    if (State().threadOverride > 0) return State().threadOverride;
    return std::max(1, int(std::thread::hardware_concurrency()));
}

std::string StageCaption(int stringId, const std::string& effectName) {
    const char* format = KvrnHost::GetString(stringId);
    std::string text = format ? format : "";
    // Replaced, not printf-formatted: the name is the user's text.
    if (const size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, effectName);
    return text;
}

std::vector<KvrnLine*> ActiveLineEffects(const RenderGlobalContext* gc, TimeValue t) {
    std::vector<KvrnLine*> lines;
    if (!gc || !gc->setup) return lines;
    for (const RefPtr<Effect>& effect : gc->setup->effects)
        if (KvrnLine* line = AsLine(effect.get()); line && line->GetActive(t))
            lines.push_back(line);
    return lines;
}

std::vector<LineFileOutput*> ActiveFileOutputs(const RenderGlobalContext* gc, TimeValue t) {
    std::vector<LineFileOutput*> outputs;
    if (!gc || !gc->setup) return outputs;
    for (const RefPtr<Effect>& effect : gc->setup->effects)
        if (LineFileOutput* out = AsLineFileOutput(effect.get()); out && effect->GetActive(t))
            outputs.push_back(out);
    return outputs;
}

bool RenderLines(KvrnLine& line, TimeValue t, Bitmap& bitmap, const RenderGlobalContext* gc,
                 std::shared_ptr<KvrnLib::ThreadManager> manager,
                 KvrnCheckAbortCallback& callback) {
    Variant variant;
    variant.prepare = [&](EngineLineRecords& records) {
        KvrnLib::DrawSettings& draw = records.draw;
        draw.renderElementOutputs = ElementRecords(line, gc, t, bitmap);
        IParamBlock2* block = line.MainBlock();
        draw.renderElementOnly = block && block->GetBool(KvrnLine::kRenderElementOnly, t) ? 1 : 0;
        return !(draw.renderElementOnly && draw.renderElementOutputs.empty());
    };
    variant.draw = [&](KvrnLib::LineEffect& effect, const EngineLineRecords& records) {
        // The raster is the bitmap itself: nothing to write back.
        return effect.Draw(ConvertToLineEffectRaster(&bitmap), records.draw, manager, false,
                           nullptr);
    };
    return RunLineEffect(line, t, bitmap.Height(), false, LineThreadCount(line, t), manager,
                         callback, variant);
}

bool RenderLinesForFileOut(KvrnLine& line, TimeValue t, LineFileOutput& out,
                           CheckAbortCallback* cb) {
    const int threads = LineThreadCount(line, t);
    KvrnCheckAbortCallback& callback = SharedProgress(threads, cb);
    auto manager = std::make_shared<KvrnLib::ThreadManagerCore>(threads);
    Variant variant;
    variant.prepare = [](EngineLineRecords&) { return true; };
    variant.draw = [&](KvrnLib::LineEffect& effect, const EngineLineRecords& records) {
        // One name per entry of the table, empty where the entry is not a line set.
        std::vector<std::wstring> names(size_t(std::max(line.NumLineSets(), 0)));
        for (size_t k = 0; k < records.lineSetIndex.size(); ++k)
            names[size_t(records.lineSetIndex[k])] = records.layerNames[k];
        std::shared_ptr<KvrnLib::LineEffectDrawDelegate> delegate =
            out.GetLineDrawDelegate(t, names);
        if (!delegate) return false;
        return effect.Draw(std::move(delegate), records.draw);
    };
    return RunLineEffect(line, t, out.OutputHeight(), true, threads, manager, callback, variant);
}

void ApplyLineEffect(KvrnLine& line, TimeValue t, Bitmap* bm, RenderGlobalContext* gc,
                     CheckAbortCallback* cb) {
    const int threads = LineThreadCount(line, t);
    std::unique_ptr<DummyCheckAbortCallback> dummy;
    KvrnCheckAbortCallback* callback = nullptr;
    if (gc) {
        callback = &SharedProgress(threads, cb);
    } else {
        dummy = std::make_unique<DummyCheckAbortCallback>(cb);
        callback = dummy.get();
    }
    if (bm) {
        // The pool lives for this call only: its threads are gone before the file outputs run.
        auto manager = std::make_shared<KvrnLib::ThreadManagerCore>(threads);
        RenderLines(line, t, *bm, gc, manager, *callback);
    }
    if (!gc) return;
    const std::vector<KvrnLine*> active = ActiveLineEffects(gc, t);
    if (active.empty() || active.back() != &line) return;
    for (LineFileOutput* out : ActiveFileOutputs(gc, t)) out->Output(t, gc, cb);
    ReleaseSharedProgress();
}

void RegisterLineRenderHooks() {
    DriverState& state = State();
    if (state.hooksRegistered) return;
    RegisterNotification(OnPreRender, nullptr, NOTIFY_PRE_RENDER);
    RegisterNotification(OnPreRenderFrame, nullptr, NOTIFY_PRE_RENDERFRAME);
    RegisterNotification(OnPostRender, nullptr, NOTIFY_POST_RENDER);
    state.hooksRegistered = true;
}
