// Shading renderer: camera samples in fixed per-pixel patterns, traced on Embree and shaded by
// the instances' materials, then reconstructed with the pixel filter. A band's samples are kept
// until the filter has read them, so a pixel sees the same samples whatever tile or thread made
// them.
#include "shade_renderer.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "node.h"
#include "pixel_filter.h"
#include "ray_tracer.h"
#include "render_light.h"
#include "render_shade_context.h"
#include "shading_elements.h"
#include "std_mtl.h"

using namespace KvrnShading;

namespace {

constexpr int kTileSize = 32;

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void CheckSettings(const ShadingSettings& s) {
    const auto bad = [](const std::string& what) {
        throw std::runtime_error("shading settings: " + what);
    };
    const auto validCount = [](int n) { return n == 1 || n == 4 || n == 8 || n == 16; };
    if (!validCount(s.samples))
        bad("samples must be 1, 4, 8 or 16, got " + std::to_string(s.samples));
    if (s.adaptive && !validCount(s.adaptiveSamples))
        bad("adaptiveSamples must be 1, 4, 8 or 16, got " + std::to_string(s.adaptiveSamples));
    if (!(s.filterRadius > 0.0f && s.filterRadius <= 8.0f))
        bad("filterRadius must be above 0 and at most 8 pixels, got " +
            std::to_string(s.filterRadius));
    if (!(s.adaptiveThreshold >= 0.0f))
        bad("adaptiveThreshold must not be negative, got " + std::to_string(s.adaptiveThreshold));
    if (s.threads < 0) bad("threads must not be negative, got " + std::to_string(s.threads));
    if (s.maxRayDepth < 0)
        bad("maxRayDepth must not be negative, got " + std::to_string(s.maxRayDepth));
    if (s.maxTransparencyLayers < 1)
        bad("maxTransparencyLayers must be at least 1, got " +
            std::to_string(s.maxTransparencyLayers));
}

// The nearest sample's data of a pixel, for the unfiltered elements.
struct PixelInfo {
    float depth = 0.0f;  // 0: nothing hit
    Point3 normal;
    int objectId = 0;
    int mtlId = 0;
};

// ---- The frame's passes

// A camera ray through screen point (sx, sy) and its differentials.
struct CameraRay {
    Point3 origin;
    Point3 dir;
};

class Camera {
  public:
    explicit Camera(const RenderGlobalContext& gc) : gc_(gc) {
        parallel_ = gc.projType == PROJ_PARALLEL;
        if (parallel_) {
            diff_.dOx = {1.0f / gc.xscale, 0.0f, 0.0f};
            diff_.dOy = {0.0f, 1.0f / gc.yscale, 0.0f};
        } else {
            diff_.dDx = {-1.0f / gc.xscale, 0.0f, 0.0f};
            diff_.dDy = {0.0f, -1.0f / gc.yscale, 0.0f};
        }
        // Directions have z = -1, so t is the camera depth and the view limits apply as is.
        if (gc.hasViewParams) {
            tnear_ = std::max(0.0f, gc.viewParams.nearRange);
            tfar_ = gc.viewParams.farRange;
        }
    }
    CameraRay Ray(float sx, float sy) const {
        if (parallel_)
            return {{(sx - gc_.xc) / gc_.xscale, (sy - gc_.yc) / gc_.yscale, 0.0f}, {0, 0, -1}};
        return {{}, {-(sx - gc_.xc) / gc_.xscale, -(sy - gc_.yc) / gc_.yscale, -1.0f}};
    }
    const RayDifferential& Differential() const { return diff_; }
    float TNear() const { return tnear_; }
    float TFar() const { return tfar_; }

  private:
    const RenderGlobalContext& gc_;
    bool parallel_ = false;
    RayDifferential diff_;
    float tnear_ = 0.0f;
    float tfar_ = 1e30f;
};

}  // namespace

struct ShadeRenderer::Impl {
    RayTracer tracer;
    ShadeStats stats;
    RefPtr<Mtl> defaultMtl;
    size_t sampleBytes = size_t(48) << 20;

    bool Render(TimeValue t, Bitmap& frame, RenderGlobalContext& gc, CheckAbortCallback* cb);
    void Prepare(TimeValue t, const Bitmap& frame, RenderGlobalContext& gc, FrameData& f,
                 std::vector<std::unique_ptr<RenderLight>>& lights);
};

namespace {

// A pixel to sample: its slot in the sample set and its position.
struct PixelJob {
    size_t slot = 0;
    int px = 0;
    int py = 0;
};

// Writes one sample's element channels from its accumulated components.
void WriteChannels(const FrameData& f, const TraceAccum& acc, float* channel) {
    const float covered = 1.0f - (acc.t.r + acc.t.g + acc.t.b) / 3.0f;
    for (size_t c = 0; c < f.channels.size(); ++c) {
        const Channel& ch = f.channels[c];
        Color rgb;
        switch (ch.source) {
            case ChannelSource::kDiffuse:
                rgb = acc.parts.diffuse;
                break;
            case ChannelSource::kSpecular:
                rgb = acc.parts.specular;
                break;
            case ChannelSource::kShadow:
                rgb = acc.parts.shadow;
                break;
            case ChannelSource::kSelfIllum:
                rgb = acc.parts.selfIllum;
                break;
            case ChannelSource::kReflection:
                rgb = acc.parts.reflection;
                break;
        }
        const AColor v(rgb, covered);
        channel[c * 4] = v.r;
        channel[c * 4 + 1] = v.g;
        channel[c * 4 + 2] = v.b;
        channel[c * 4 + 3] = v.a;
    }
}

// Shades the samples of a run of pixels (a tile row): their camera rays are traced together,
// as coherent rays. A pixel whose samples all miss is only marked empty; its values are never
// read, so their memory is never touched. info, when given, is per slot.
void ShadePixels(ThreadState& thread, const Camera& camera, SampleSet& set, const PixelJob* jobs,
                 int jobCount, PixelInfo* info, int nearest) {
    const FrameData& f = *thread.frame;
    const int count = int(set.pattern.size());
    const size_t channelCount = f.channels.size();
    const size_t rayCount = size_t(jobCount) * size_t(count);
    if (thread.rays.size() < rayCount) thread.rays.resize(rayCount);
    RayQuery* rays = thread.rays.data();
    for (int j = 0; j < jobCount; ++j) {
        for (int k = 0; k < count; ++k) {
            RayQuery& q = rays[j * count + k];
            const CameraRay ray = camera.Ray(float(jobs[j].px) + set.pattern[size_t(k)].x,
                                             float(jobs[j].py) + set.pattern[size_t(k)].y);
            q.origin = ray.origin;
            q.dir = ray.dir;
            q.tnear = camera.TNear();
            q.tfar = camera.TFar();
        }
    }
    f.tracer->IntersectCoherent(rays, int(rayCount));
    thread.counters.primary += int64_t(rayCount);
    RenderShadeContext& sc = *thread.At(0);
    const bool withParts = f.WantsParts();
    TraceAccum acc;
    AColor values[ShadeOutput::kMaxElementVals];
    for (int j = 0; j < jobCount; ++j) {
        const PixelJob& job = jobs[j];
        std::fill_n(values, f.valueElements.size(), AColor());
        const RayQuery* pixelRays = rays + j * count;
        const bool anyHit = std::any_of(pixelRays, pixelRays + count,
                                        [](const RayQuery& q) { return q.hit.instance >= 0; });
        set.empty[job.slot] = !anyHit;
        if (!anyHit) continue;
        for (int k = 0; k < count; ++k) {
            const RayQuery& q = pixelRays[k];
            const size_t sample = job.slot * size_t(count) + size_t(k);
            SampleValue& value = set.values[sample];
            float* channel = channelCount ? &set.channels[sample * channelCount * 4] : nullptr;
            if (q.hit.instance < 0) {
                value = {{0, 0, 0}, {1, 1, 1}};
                if (channel) std::fill_n(channel, channelCount * 4, 0.0f);
                continue;
            }
            acc.Reset(withParts);
            sc.TraceLayers(q.origin, q.dir, q.tnear, q.tfar, camera.Differential(), q.hit, 0,
                           float(job.px) + set.pattern[size_t(k)].x,
                           float(job.py) + set.pattern[size_t(k)].y, job.px, job.py, withParts,
                           acc);
            for (size_t e = 0; e < f.valueElements.size(); ++e)
                values[e] = values[e] + acc.elementVals[size_t(f.valueElements[e]->slot)];
            value = {{acc.c.r, acc.c.g, acc.c.b}, {acc.t.r, acc.t.g, acc.t.b}};
            if (channel) WriteChannels(f, acc, channel);
            if (info && k == nearest) {
                PixelInfo& pi = info[job.slot];
                pi.depth = -acc.firstP.z;
                pi.normal = acc.firstNormal;
                INode* node = f.gc->instances[size_t(acc.firstInstance)].node;
                pi.objectId = node ? node->GetGBufID() : 0;
                pi.mtlId = acc.firstMtlId;
            }
        }
        const size_t p = size_t(job.py) * size_t(f.width) + size_t(job.px);
        for (size_t e = 0; e < f.valueElements.size(); ++e) {
            if (values[e] == AColor()) continue;
            ValueElement& element = *f.valueElements[e];
            element.pixels[p] = values[e] * (1.0f / float(count));
            element.written[p] = 1;
            element.any.store(true, std::memory_order_relaxed);
        }
    }
}

// A distinct colour per ID (golden-ratio hues), black for 0.
BMM_Color_fl IdColor(int id) {
    if (id == 0) return {0.0f, 0.0f, 0.0f, 1.0f};
    const float h = std::fmod(float(id) * 0.618034f, 1.0f) * 6.0f;
    const float x = 1.0f - std::fabs(std::fmod(h, 2.0f) - 1.0f);
    const int sector = int(h);
    const std::array<BMM_Color_fl, 6> colours = {
        {{1, x, 0, 1}, {x, 1, 0, 1}, {0, 1, x, 1}, {0, x, 1, 1}, {x, 0, 1, 1}, {1, 0, x, 1}}};
    return colours[size_t(std::clamp(sector, 0, 5))];
}

Bitmap* ElementBitmap(IRenderElement& element, int width, int height) {
    Bitmap* bm = element.GetPBitmap();
    if (!bm || bm->Width() != width || bm->Height() != height) {
        element.SetPBitmap(std::make_shared<Bitmap>(width, height));
        bm = element.GetPBitmap();
    }
    return bm;
}

// Pixels whose camera rays may meet an instance: the screen rectangles of the instances'
// bounding boxes, a pixel wider on each side for rounding; the whole frame for a box reaching
// behind a perspective camera. Rays of the other pixels are known to miss and are not traced.
std::vector<uint8_t> ReachablePixels(const RenderGlobalContext& gc, int width, int height) {
    std::vector<uint8_t> mask(size_t(width) * size_t(height), 0);
    std::unordered_map<const Mesh*, Box3> boxes;
    const bool parallel = gc.projType == PROJ_PARALLEL;
    for (const RenderInstance& ri : gc.instances) {
        if (!ri.mesh || ri.mesh->faces.empty()) continue;
        auto [it, added] = boxes.try_emplace(ri.mesh.get());
        if (added) it->second = BoundingBox(*ri.mesh);
        const Box3& box = it->second;
        if (box.IsEmpty()) continue;
        float x0 = 1e30f, y0 = 1e30f, x1 = -1e30f, y1 = -1e30f;
        bool whole = false;
        for (int i = 0; i < 8 && !whole; ++i) {
            const Point3 corner{i & 1 ? box.pmax.x : box.pmin.x, i & 2 ? box.pmax.y : box.pmin.y,
                                i & 4 ? box.pmax.z : box.pmin.z};
            const Point3 c = ri.objToCam.PointTransform(corner);
            float sx = gc.xscale * c.x + gc.xc, sy = gc.yscale * c.y + gc.yc;
            if (!parallel) {
                if (!(c.z < -1e-6f)) {
                    whole = true;
                    break;
                }
                sx = gc.xscale * c.x / c.z + gc.xc;
                sy = gc.yscale * c.y / c.z + gc.yc;
            }
            if (!std::isfinite(sx) || !std::isfinite(sy)) whole = true;
            x0 = std::min(x0, sx);
            x1 = std::max(x1, sx);
            y0 = std::min(y0, sy);
            y1 = std::max(y1, sy);
        }
        if (whole) {
            std::fill(mask.begin(), mask.end(), uint8_t(1));
            return mask;
        }
        const int px0 = int(std::max(0.0f, std::floor(x0) - 1.0f));
        const int py0 = int(std::max(0.0f, std::floor(y0) - 1.0f));
        const int px1 = int(std::min(float(width - 1), std::ceil(x1) + 1.0f));
        const int py1 = int(std::min(float(height - 1), std::ceil(y1) + 1.0f));
        for (int y = py0; y <= py1; ++y)
            std::fill_n(mask.begin() + ptrdiff_t(y) * width + px0, std::max(0, px1 - px0 + 1),
                        uint8_t(1));
    }
    return mask;
}

// Runs body(item) for items [0, count) on the arena in batches, asking cb between batches on
// this (the render) thread whether to stop. False when it did.
template <typename Body>
bool RunBatches(tbb::task_arena& arena, int count, int threads, CheckAbortCallback* cb,
                const Body& body) {
    const int batch = std::max(1, threads * 8);
    for (int start = 0; start < count; start += batch) {
        const int end = std::min(count, start + batch);
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer cannot see oneTBB's own synchronisation (the library is not built for
        // it): plain threads pulling items from a counter let it check ours.
        (void)arena;
        std::atomic<int> next{start};
        std::exception_ptr failure;
        std::mutex failureLock;
        std::vector<std::thread> pool;
        for (int w = 0; w < threads; ++w) {
            pool.emplace_back([&] {
                try {
                    for (int i = next++; i < end; i = next++) body(i);
                } catch (...) {
                    const std::lock_guard<std::mutex> lock(failureLock);
                    if (!failure) failure = std::current_exception();
                }
            });
        }
        for (std::thread& t : pool) t.join();
        if (failure) std::rethrow_exception(failure);
#else
        arena.execute([&] {
            tbb::parallel_for(tbb::blocked_range<int>(start, end, 1),
                              [&](const tbb::blocked_range<int>& r) {
                                  for (int i = r.begin(); i != r.end(); ++i) body(i);
                              });
        });
#endif
        if (cb && cb->Check()) return false;
    }
    return true;
}

}  // namespace

void ShadeRenderer::Impl::Prepare(TimeValue t, const Bitmap& frame, RenderGlobalContext& gc,
                                  FrameData& f, std::vector<std::unique_ptr<RenderLight>>& lights) {
    const ShadingSettings& settings = gc.setup->shading;
    f.time = t;
    f.gc = &gc;
    f.settings = &settings;
    f.tracer = &tracer;
    f.width = frame.Width();
    f.height = frame.Height();
    f.environment = gc.setup->environment.get();

    if (!defaultMtl) {
        defaultMtl = RefPtr<Mtl>(dynamic_cast<Mtl*>(StdMtlClassDesc().Create(false)));
        if (!defaultMtl) throw std::runtime_error("the default standard material cannot be made");
    }
    std::vector<Mtl*> updated;
    const auto update = [&](Mtl* mtl) {
        if (std::find(updated.begin(), updated.end(), mtl) != updated.end()) return;
        Interval valid = FOREVER;
        mtl->Update(t, valid);
        updated.push_back(mtl);
    };
    if (f.environment) {
        Interval valid = FOREVER;
        f.environment->Update(t, valid);
    }

    lights = MakeRenderLights(gc, settings.shadows);
    f.instances.resize(gc.instances.size());
    for (size_t i = 0; i < gc.instances.size(); ++i) {
        const RenderInstance& ri = gc.instances[i];
        InstanceShading& s = f.instances[i];
        s.mtl = ri.mtl ? ri.mtl : defaultMtl.get();
        update(s.mtl);
        s.mayBeTransparent = s.mtl->MayBeTransparent(-1);
        f.anyTransparent = f.anyTransparent || s.mayBeTransparent;
        for (const auto& light : lights)
            if (light->Illuminates(ri.node)) s.lights.push_back(light.get());
    }

    for (int i = 0; i < gc.NumRenderElements(); ++i) {
        IRenderElement* element = gc.GetRenderElement(i);
        if (!element || !element->IsEnabled()) continue;
        auto* shading = dynamic_cast<ShadingRenderElement*>(element);
        if (!shading) {
            if (i >= ShadeOutput::kMaxElementVals) continue;
            auto value = std::make_unique<ValueElement>();
            value->slot = i;
            value->element = element;
            value->pixels.reset(new AColor[size_t(f.width) * size_t(f.height)]);
            value->written.assign(size_t(f.width) * size_t(f.height), 0);
            f.valueElements.push_back(std::move(value));
            continue;
        }
        switch (shading->Kind()) {
            case ShadingElementKind::kDiffuse:
                f.channels.push_back({ChannelSource::kDiffuse, element});
                break;
            case ShadingElementKind::kSpecular:
                f.channels.push_back({ChannelSource::kSpecular, element});
                break;
            case ShadingElementKind::kShadow:
                f.channels.push_back({ChannelSource::kShadow, element});
                break;
            case ShadingElementKind::kSelfIllum:
                f.channels.push_back({ChannelSource::kSelfIllum, element});
                break;
            case ShadingElementKind::kReflection:
                f.channels.push_back({ChannelSource::kReflection, element});
                break;
            default:
                break;
        }
    }
}

namespace {

// One frame's passes, band by band down the frame: camera samples, adaptive refinement,
// reconstruction into the frame and the elements. A band keeps the samples of its rows and of
// the rows around them that its filter and refinement read; rows shared with the next band
// move along instead of being traced again, so memory stays a band's whatever the frame size.
// Work items are tiles or rows on the arena; each writes only its own pixels' slots. A pixel's
// value depends only on its neighbours' samples, never on the bands or the threads.
class FramePasses {
  public:
    // About sampleBytes of camera samples per band.
    FramePasses(FrameData& f, Bitmap& frame, tbb::task_arena& arena, int threads,
                CheckAbortCallback* cb, size_t sampleBytes);
    // False when cb asked to stop (the frame is then shaded down to some band).
    bool Run(TimeValue t, int64_t& refinedPixels);
    void WriteValueElements();
    ThreadCounters Counters() const;

  private:
    // Storage of the rows [row0_, row1_): slot (y - row0_) * width + x.
    size_t Slot(int x, int y) const { return size_t(y - row0_) * size_t(width_) + size_t(x); }
    // Moves the window to [first, last): keeps the rows it shares, traces the new ones.
    bool SampleRows(int first, int last);
    bool ShadeRows(int first, int last);
    // Refinement of the pixels of rows [first, last) that differ from a neighbour.
    bool Refine(int first, int last, int coreFirst, int coreLast, int64_t& refinedPixels);
    // False, like the others, when cb asked to stop.
    bool FilterProvisional(int first, int last);
    bool FindDifferingPixels(int first, int last, std::vector<int>& found);
    // Filters rows [first, last) into the frame (over its background) and the light elements.
    bool Resolve(int first, int last);
    void WriteUnfilteredElements(TimeValue t, int first, int last);
    Filtered ProvisionalAt(size_t slot) const {
        return nearSurface_[slot] ? provisional_[slot] : Filtered{{0, 0, 0}, {1, 1, 1}, 0.0f};
    }
    BMM_Color_fl BackgroundAt(int x, int y) const { return background_[Slot(x, y)]; }
    // Runs body(y) for rows [first, last), in bands of rows.
    template <typename Body>
    bool RunRows(int first, int last, const Body& body) {
        constexpr int kRowsPerItem = 4;
        const int items = (last - first + kRowsPerItem - 1) / kRowsPerItem;
        return RunBatches(arena_, items, threads_, cb_, [&](int item) {
            const int y0 = first + item * kRowsPerItem;
            for (int y = y0; y < std::min(last, y0 + kRowsPerItem); ++y) body(y);
        });
    }

    FrameData& f_;
    const ShadingSettings& settings_;
    Bitmap& frame_;
    tbb::task_arena& arena_;
    int threads_;
    CheckAbortCallback* cb_;
    int width_, height_;
    int reach_;  // neighbours on each side that the filter reaches
    size_t channelCount_;
    bool adaptive_;
    int bandRows_;
    int apron_;  // rows sampled beyond a band's own on each side
    const Camera camera_;
    tbb::enumerable_thread_specific<ThreadState> states_;
    std::vector<uint8_t> reachable_;  // per frame pixel

    int row0_ = 0, row1_ = 0;  // rows held
    size_t capacity_ = 0;      // pixels the storage holds
    SampleSet base_;
    std::unique_ptr<SampleValue[]> baseValues_;
    std::vector<BMM_Color_fl> background_;
    // Unfiltered element data, only when such an element is on.
    bool wantInfo_ = false, wantCoverage_ = false;
    std::vector<PixelInfo> info_;
    std::vector<float> coverage_;
    int nearest_ = 0;  // the pattern's sample nearest the pixel centre (first of equals)

    SampleSet refined_;
    std::unique_ptr<SampleValue[]> refinedValues_;
    std::vector<int> refinedSlot_;  // per slot: slot in refined_, or -1
    // The adaptive pass's first filtering, kept for the pixels no refined pixel reaches;
    // written only where nearSurface_ is set (elsewhere the pixel is the background).
    std::unique_ptr<Filtered[]> provisional_;
    std::vector<uint8_t> nearSurface_;
};

FramePasses::FramePasses(FrameData& f, Bitmap& frame, tbb::task_arena& arena, int threads,
                         CheckAbortCallback* cb, size_t sampleBytes)
    : f_(f),
      settings_(*f.settings),
      frame_(frame),
      arena_(arena),
      threads_(threads),
      cb_(cb),
      width_(f.width),
      height_(f.height),
      reach_(std::max(0, int(std::ceil(f.settings->filterRadius + 0.5f)) - 1)),
      channelCount_(f.channels.size()),
      adaptive_(f.settings->adaptive && f.settings->adaptiveSamples > f.settings->samples),
      camera_(*f.gc),
      states_([&f] {
          ThreadState s;
          s.frame = &f;
          return s;
      }) {
    const size_t perRow = size_t(width_) * size_t(settings_.samples) * sizeof(SampleValue);
    bandRows_ = int(std::clamp(sampleBytes / perRow, size_t(1), size_t(height_)));
    // Refining a pixel reads its neighbours' first filtering, which reads their neighbours.
    apron_ = adaptive_ ? 2 * reach_ + 1 : reach_;
    const int windowRows = std::min(height_, bandRows_ + 2 * apron_);
    capacity_ = size_t(windowRows) * size_t(width_);

    base_.pattern = SamplePattern(settings_.samples);
    base_.table = MakeFilterTable(base_.pattern, settings_.filter, settings_.filterRadius, reach_);
    baseValues_.reset(new SampleValue[capacity_ * base_.pattern.size()]);
    base_.values = baseValues_.get();
    // Written for the samples of pixels with a surface only, like the values.
    if (channelCount_)
        base_.channels.reset(new float[capacity_ * base_.pattern.size() * channelCount_ * 4]);
    base_.empty.assign(capacity_, 1);
    background_.resize(capacity_);
    for (int i = 0; i < f.gc->NumRenderElements(); ++i) {
        auto* element = dynamic_cast<ShadingRenderElement*>(f.gc->GetRenderElement(i));
        if (!element || !element->IsEnabled()) continue;
        const ShadingElementKind kind = element->Kind();
        wantCoverage_ = wantCoverage_ || kind == ShadingElementKind::kAlpha;
        wantInfo_ = wantInfo_ || kind == ShadingElementKind::kZDepth ||
                    kind == ShadingElementKind::kNormals || kind == ShadingElementKind::kObjectID ||
                    kind == ShadingElementKind::kMaterialID;
    }
    info_.resize(wantInfo_ ? capacity_ : 0);
    coverage_.resize(wantCoverage_ ? capacity_ : 0);
    if (adaptive_) {
        refinedSlot_.resize(capacity_);
        provisional_.reset(new Filtered[capacity_]);
        nearSurface_.resize(capacity_);
    }
    const auto offCentre = [](Point2 p) {
        return (p.x - 0.5f) * (p.x - 0.5f) + (p.y - 0.5f) * (p.y - 0.5f);
    };
    for (size_t k = 1; k < base_.pattern.size(); ++k)
        if (offCentre(base_.pattern[k]) < offCentre(base_.pattern[size_t(nearest_)]))
            nearest_ = int(k);
    reachable_ = ReachablePixels(*f.gc, width_, height_);
}

bool FramePasses::Run(TimeValue t, int64_t& refinedPixels) {
    if (cb_) cb_->SetTitle("Shading");
    for (int first = 0; first < height_; first += bandRows_) {
        const int last = std::min(height_, first + bandRows_);
        if (!SampleRows(std::max(0, first - apron_), std::min(height_, last + apron_)))
            return false;
        const int refineFirst = std::max(0, first - reach_);
        const int refineLast = std::min(height_, last + reach_);
        if (adaptive_ && !Refine(refineFirst, refineLast, first, last, refinedPixels)) return false;
        if (!Resolve(first, last)) return false;
        WriteUnfilteredElements(t, first, last);
        if (cb_ && cb_->Progress(last, height_)) return false;
    }
    return true;
}

bool FramePasses::SampleRows(int first, int last) {
    const int keepFirst = std::max(first, row0_), keepLast = std::min(last, row1_);
    if (keepFirst < keepLast && keepFirst > row0_) {
        // The rows both windows hold move to the front of the storage.
        const size_t from = Slot(0, keepFirst), pixels = Slot(0, keepLast) - from;
        const size_t samples = base_.pattern.size();
        std::copy_n(base_.values + from * samples, pixels * samples, base_.values);
        if (channelCount_) {
            const size_t floats = samples * channelCount_ * 4;
            std::copy_n(base_.channels.get() + from * floats, pixels * floats,
                        base_.channels.get());
        }
        std::copy_n(base_.empty.begin() + ptrdiff_t(from), pixels, base_.empty.begin());
        std::copy_n(background_.begin() + ptrdiff_t(from), pixels, background_.begin());
        if (wantInfo_) std::copy_n(info_.begin() + ptrdiff_t(from), pixels, info_.begin());
    }
    const int traceFirst = keepFirst < keepLast ? keepLast : first;
    row0_ = first;
    row1_ = last;
    f_.background = background_.data();
    f_.backgroundRow0 = row0_;
    // The frame still holds the background on rows not yet resolved.
    // Blocks never written are zero: reading them would map the zero page, and the write that
    // follows would then fault again and flush every thread's TLB.
    for (int y = traceFirst; y < last; ++y) {
        const BMM_Color_fl* row = std::as_const(frame_).Row(y);
        auto out = background_.begin() + ptrdiff_t(Slot(0, y));
        for (int x = 0; x < width_; x += Bitmap::kBlockPixels) {
            const int n = std::min(Bitmap::kBlockPixels, width_ - x);
            if (frame_.BlockWritten(x, y))
                std::copy_n(row + x, n, out + x);
            else
                std::fill_n(out + x, n, BMM_Color_fl{});
        }
    }
    return ShadeRows(traceFirst, last);
}

bool FramePasses::ShadeRows(int first, int last) {
    // The slots held rows of the band before: a pixel whose samples miss writes nothing.
    std::fill(base_.empty.begin() + ptrdiff_t(Slot(0, first)),
              base_.empty.begin() + ptrdiff_t(Slot(0, last)), uint8_t(1));
    if (wantInfo_) {
        std::fill(info_.begin() + ptrdiff_t(Slot(0, first)),
                  info_.begin() + ptrdiff_t(Slot(0, last)), PixelInfo());
    }
    const int tilesX = (width_ + kTileSize - 1) / kTileSize;
    const int tiles = tilesX * ((last - first + kTileSize - 1) / kTileSize);
    return RunBatches(arena_, tiles, threads_, cb_, [&](int tile) {
        ThreadState& state = states_.local();
        const int x0 = (tile % tilesX) * kTileSize, y0 = first + (tile / tilesX) * kTileSize;
        const int x1 = std::min(width_, x0 + kTileSize), y1 = std::min(last, y0 + kTileSize);
        PixelJob jobs[kTileSize];
        for (int y = y0; y < y1; ++y) {
            int n = 0;
            for (int x = x0; x < x1; ++x) {
                if (reachable_[size_t(y) * size_t(width_) + size_t(x)])
                    jobs[n++] = {Slot(x, y), x, y};
            }
            if (n)
                ShadePixels(state, camera_, base_, jobs, n, wantInfo_ ? info_.data() : nullptr,
                            nearest_);
        }
    });
}

bool FramePasses::FilterProvisional(int first, int last) {
    return RunRows(first, last, [&](int y) {
        Filtered v;
        for (int x = 0; x < width_; ++x) {
            FilterPixel(base_, nullptr, nullptr, width_, height_, 0, row0_, x, y, v, nullptr);
            const size_t slot = Slot(x, y);
            nearSurface_[slot] = v.weight != 0.0f;
            if (nearSurface_[slot]) provisional_[slot] = v;
        }
    });
}

// Pixels with no surface in reach are the background whatever their samples, so a background
// image's own edges are not refined. In pixel order: slots do not depend on the threads.
bool FramePasses::FindDifferingPixels(int first, int last, std::vector<int>& found) {
    std::vector<uint8_t> differs(size_t(last - first) * size_t(width_), 0);
    const float threshold = settings_.adaptiveThreshold;
    const bool completed = RunRows(first, last, [&](int y) {
        for (int x = 0; x < width_; ++x) {
            const size_t slot = Slot(x, y);
            if (!nearSurface_[slot]) continue;
            const BMM_Color_fl c = Composite(provisional_[slot], BackgroundAt(x, y));
            const auto differsFrom = [&](int qx, int qy) {
                return Differs(c, Composite(ProvisionalAt(Slot(qx, qy)), BackgroundAt(qx, qy)),
                               threshold);
            };
            differs[size_t(y - first) * size_t(width_) + size_t(x)] =
                (x > 0 && differsFrom(x - 1, y)) || (x + 1 < width_ && differsFrom(x + 1, y)) ||
                (y > 0 && differsFrom(x, y - 1)) || (y + 1 < height_ && differsFrom(x, y + 1));
        }
    });
    if (!completed) return false;
    found.clear();
    for (size_t i = 0; i < differs.size(); ++i)
        if (differs[i]) found.push_back(int(Slot(0, first) + i));
    return true;
}

bool FramePasses::Refine(int first, int last, int coreFirst, int coreLast, int64_t& refinedPixels) {
    // The first filtering of the rows whose differences decide, one row beyond them.
    // A pass cut short leaves the pixels after it unfiltered: refining on them would finish
    // the frame with pixels that were never decided.
    if (!FilterProvisional(std::max(row0_, first - 1), std::min(row1_, last + 1))) return false;
    std::vector<int> slots;
    if (!FindDifferingPixels(first, last, slots)) return false;
    std::fill(refinedSlot_.begin(), refinedSlot_.end(), -1);
    for (size_t i = 0; i < slots.size(); ++i) {
        refinedSlot_[size_t(slots[i])] = int(i);
        const int y = row0_ + slots[i] / width_;
        if (y >= coreFirst && y < coreLast) ++refinedPixels;
    }
    if (slots.empty()) return true;

    refined_.pattern = SamplePattern(settings_.adaptiveSamples);
    refined_.table =
        MakeFilterTable(refined_.pattern, settings_.filter, settings_.filterRadius, reach_);
    const size_t count = refined_.pattern.size();
    refinedValues_.reset(new SampleValue[slots.size() * count]);
    refined_.values = refinedValues_.get();
    if (channelCount_) refined_.channels.reset(new float[slots.size() * count * channelCount_ * 4]);
    refined_.empty.assign(slots.size(), 1);
    constexpr int kPerItem = 64;
    const int items = int((slots.size() + kPerItem - 1) / kPerItem);
    return RunBatches(arena_, items, threads_, cb_, [&](int item) {
        ThreadState& state = states_.local();
        // Neighbouring refined pixels traced together, a few at a time.
        constexpr int kRun = 8;
        PixelJob jobs[kRun];
        const size_t end = std::min(slots.size(), size_t(item + 1) * kPerItem);
        for (size_t start = size_t(item) * kPerItem; start < end; start += kRun) {
            const int n = int(std::min(end - start, size_t(kRun)));
            for (int j = 0; j < n; ++j) {
                const int slot = slots[start + size_t(j)];
                jobs[j] = {start + size_t(j), slot % width_, row0_ + slot / width_};
            }
            ShadePixels(state, camera_, refined_, jobs, n, nullptr, 0);
        }
    });
}

bool FramePasses::Resolve(int first, int last) {
    // Whole rows per item: a bitmap marks written blocks per row, and rows never share one.
    std::vector<Bitmap*> channelMaps;
    for (const Channel& ch : f_.channels)
        channelMaps.push_back(ElementBitmap(*ch.element, width_, height_));
    const bool refinement = adaptive_ && !refined_.pattern.empty();
    return RunRows(first, last, [&](int y) {
        Filtered v;
        std::vector<float> channels(channelCount_ * 4);
        BMM_Color_fl* row = frame_.Row(y);
        std::vector<BMM_Color_fl*> channelRows;
        for (Bitmap* bm : channelMaps) channelRows.push_back(bm->Row(y));
        for (int x = 0; x < width_; ++x) {
            const size_t slot = Slot(x, y);
            if (adaptive_ && !channelCount_ &&
                !(refinement &&
                  RefinedWithin(refinedSlot_, row0_, width_, height_, reach_, x, y))) {
                v = ProvisionalAt(slot);
            } else {
                FilterPixel(base_, refinement ? &refined_ : nullptr,
                            refinement ? &refinedSlot_ : nullptr, width_, height_, channelCount_,
                            row0_, x, y, v, channelCount_ ? channels.data() : nullptr);
            }
            row[x] = Composite(v, BackgroundAt(x, y));
            if (wantCoverage_) coverage_[slot] = 1.0f - (v.t[0] + v.t[1] + v.t[2]) / 3.0f;
            for (size_t c = 0; c < channelCount_; ++c) {
                const float* ch = &channels[c * 4];
                channelRows[c][x] = {ch[0], ch[1], ch[2], ch[3]};
            }
        }
    });
}

void FramePasses::WriteValueElements() {
    for (const auto& value : f_.valueElements) {
        if (!value->any.load()) continue;
        Bitmap* bm = ElementBitmap(*value->element, width_, height_);
        for (int y = 0; y < height_; ++y) {
            for (int x = 0; x < width_; ++x) {
                const size_t p = size_t(y) * size_t(width_) + size_t(x);
                if (!value->written[p]) continue;
                const AColor& c = value->pixels[p];
                bm->Pixel(x, y) = {c.r, c.g, c.b, c.a};
            }
        }
    }
}

// Nearest-sample depth, normals and IDs, and the filtered coverage, of rows [first, last).
void FramePasses::WriteUnfilteredElements(TimeValue t, int first, int last) {
    for (int i = 0; i < f_.gc->NumRenderElements(); ++i) {
        auto* element = dynamic_cast<ShadingRenderElement*>(f_.gc->GetRenderElement(i));
        if (!element || !element->IsEnabled()) continue;
        const ShadingElementKind kind = element->Kind();
        if (kind != ShadingElementKind::kZDepth && kind != ShadingElementKind::kNormals &&
            kind != ShadingElementKind::kObjectID && kind != ShadingElementKind::kMaterialID &&
            kind != ShadingElementKind::kAlpha)
            continue;
        Bitmap* bm = ElementBitmap(*element, width_, height_);
        IParamBlock2* params = element->Params();
        const float zMin = params ? params->GetFloat(kElemZMin, t) : 0.0f;
        const float zMax = params ? params->GetFloat(kElemZMax, t) : 100.0f;
        for (int y = first; y < last; ++y) {
            for (int x = 0; x < width_; ++x) {
                const size_t slot = Slot(x, y);
                BMM_Color_fl out{0, 0, 0, 0};
                if (kind == ShadingElementKind::kAlpha) {
                    const float a = coverage_[slot];
                    out = {a, a, a, 1.0f};
                } else if (const PixelInfo& pi = info_[slot]; pi.depth > 0.0f) {
                    switch (kind) {
                        case ShadingElementKind::kZDepth: {
                            const float range = zMax - zMin;
                            const float v = range > 0.0f
                                                ? std::clamp((zMax - pi.depth) / range, 0.0f, 1.0f)
                                                : (pi.depth <= zMin ? 1.0f : 0.0f);
                            out = {v, v, v, 1.0f};
                            break;
                        }
                        case ShadingElementKind::kNormals:
                            out = {pi.normal.x * 0.5f + 0.5f, pi.normal.y * 0.5f + 0.5f,
                                   pi.normal.z * 0.5f + 0.5f, 1.0f};
                            break;
                        case ShadingElementKind::kObjectID:
                            out = IdColor(pi.objectId);
                            break;
                        default:
                            out = IdColor(pi.mtlId);
                            break;
                    }
                }
                if (out.a != 0.0f) bm->Pixel(x, y) = out;
            }
        }
    }
}

ThreadCounters FramePasses::Counters() const {
    ThreadCounters sum;
    for (const ThreadState& s : states_) {
        sum.primary += s.counters.primary;
        sum.shadow += s.counters.shadow;
        sum.secondary += s.counters.secondary;
        sum.shaded += s.counters.shaded;
    }
    return sum;
}

}  // namespace

bool ShadeRenderer::Impl::Render(TimeValue t, Bitmap& frame, RenderGlobalContext& gc,
                                 CheckAbortCallback* cb) {
    if (!gc.setup) throw std::runtime_error("shading: the render context has no setup");
    const ShadingSettings& settings = gc.setup->shading;
    CheckSettings(settings);
    stats = ShadeStats();
    const int threads =
        settings.threads > 0 ? settings.threads : std::max(1, tbb::info::default_concurrency());
    stats.threads = threads;
    // More threads than cores are allowed (tests compare thread counts on small machines).
    std::optional<tbb::global_control> allowance;
    if (threads > tbb::info::default_concurrency())
        allowance.emplace(tbb::global_control::max_allowed_parallelism, size_t(threads));
    tbb::task_arena arena(threads);

    const auto buildStart = Clock::now();
    FrameData f;
    std::vector<std::unique_ptr<RenderLight>> lights;
    arena.execute([&] { tracer.Build(gc); });
    Prepare(t, frame, gc, f, lights);
    stats.buildMs = MsSince(buildStart);

    const auto renderStart = Clock::now();
    FramePasses passes(f, frame, arena, threads, cb, sampleBytes);
    const bool completed = passes.Run(t, stats.refinedPixels);
    if (completed) passes.WriteValueElements();
    const ThreadCounters counters = passes.Counters();
    stats.primaryRays = counters.primary;
    stats.shadowRays = counters.shadow;
    stats.secondaryRays = counters.secondary;
    stats.shadedSamples = counters.shaded;
    stats.renderMs = MsSince(renderStart);
    return completed;
}

ShadeRenderer::ShadeRenderer() : impl_(std::make_unique<Impl>()) {}
ShadeRenderer::~ShadeRenderer() = default;

bool ShadeRenderer::Render(TimeValue t, Bitmap& frame, RenderGlobalContext& gc,
                           CheckAbortCallback* cb) {
    // Materials and maps run on the pool's threads; whatever they throw reaches the caller
    // as the one error type the contract names.
    try {
        return impl_->Render(t, frame, gc, cb);
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("shading: ") + e.what());
    } catch (...) {
        throw std::runtime_error("shading: a material or map failed with an unknown error");
    }
}

const ShadeStats& ShadeRenderer::Stats() const { return impl_->stats; }

void ShadeRenderer::SetSampleMemory(size_t bytes) { impl_->sampleBytes = bytes; }

void AttachShadeRenderer(FrameRenderer& frames, std::shared_ptr<ShadeRenderer> renderer) {
    frames.SetShadeSurfaces([renderer = std::move(renderer)](TimeValue t, Bitmap& frame,
                                                             RenderGlobalContext& gc,
                                                             CheckAbortCallback* cb) {
        if (!gc.setup || !gc.setup->shading.enabled) return true;
        return renderer->Render(t, frame, gc, cb);
    });
}
