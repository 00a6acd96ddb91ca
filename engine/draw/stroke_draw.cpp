#include "stroke_draw.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <string>

#include "blend_op.h"
#include "brush_stamp.h"
#include "detection_settings.h"
#include "line_random.h"
#include "piece_raster.h"
#include "reduction.h"
#include "stage_runner.h"
#include "stroke.h"
#include "stroke_walk.h"
#include "texmap_context.h"

namespace KvrnLib {

namespace {

// Stroke class per edge kind, handed to the stamper with every piece; render elements exclude
// pieces by it.
constexpr std::array<uint8_t, 8> kStrokeClassOfKind = {
    99,  // kEdgeOutline
    99,  // kEdgeObject
    90,  // kEdgeIntersection
    80,  // kEdgeSmoothing
    70,  // kEdgeMaterialID
    50,  // kEdgeNormalAngle
    40,  // kEdgeWire
    60,  // kEdgeSelected
};
// Salts of the random values of a copy: each value draws from its own stream of the copy's
// generator, so adding one never shifts another. The values are part of the look: changing one
// changes every drawing that uses it.
constexpr uint32_t kSaltDashStart = 0x4EEA;      // where the first dash starts
constexpr uint32_t kSaltStampImage = 0x226D0;    // which stamp image the copy takes
constexpr uint32_t kSaltAngle = 0xC0ECE;         // stamp angle
constexpr uint32_t kSaltStretch = 0xC864E;       // stamp stretch
constexpr uint32_t kSaltSize = 0x39DE;           // line size
constexpr uint32_t kSaltOffsetX = 0xDE;          // screen offset x
constexpr uint32_t kSaltOffsetY = 0x32E;         // screen offset y
constexpr uint32_t kSaltNormalOffset = 0x140;    // offset along the normals
constexpr uint32_t kSaltNoisePhase = 0x24AC0;    // noise phase
constexpr uint32_t kSaltExtendStart = 0x591E;    // extension at the start
constexpr uint32_t kSaltExtendEnd = 0x13E0E;     // extension at the end
constexpr uint32_t kSaltColorB = 0x3A2;          // colour range, third channel
constexpr uint32_t kSaltColorG = 0x2CB;          // colour range, second channel
constexpr uint32_t kSaltColorR = 0x4C8;          // colour range, first channel
constexpr uint32_t kSaltTypeSeedLow = 0x6A09E;   // rake and random type seed, low half
constexpr uint32_t kSaltTypeSeedHigh = 0x3C6EF;  // rake and random type seed, high half
constexpr uint32_t kSaltExtraCopy = 0x560C;      // whether a random extra copy is drawn
constexpr uint32_t kSaltNoiseCycle = 0x1E61;     // noise cycle variation, per cell
constexpr uint32_t kSaltNoiseAmount = 0x4D;      // noise amount variation, per cell
// Slots of one line set draw with seeds this far apart.
constexpr int32_t kSlotSeedStep = 1023;
// Simplification closes a piece once the displacement leaves a straight line by this much per
// merged step, in pixels.
constexpr float kSimplifyTolerance = 0.025f;

// The copy's colour with the range offsets, in RGB or (hue, saturation, value) order R, G, B.
std::array<float, 3> VaryColor(const std::array<float, 3>& c, float dr, float dg, float db,
                               bool hsv) {
    if (!hsv) {
        return {std::clamp(c[0] + dr, 0.0f, 1.0f), std::clamp(c[1] + dg, 0.0f, 1.0f),
                std::clamp(c[2] + db, 0.0f, 1.0f)};
    }
    ColorHSV varied = RGBtoHSV(c[0], c[1], c[2]);
    varied.h += dr;  // hue wraps round
    varied.s = std::clamp(varied.s + dg, 0.0f, 1.0f);
    varied.v = std::clamp(varied.v + db, 0.0f, 1.0f);
    const ColorFloat rgb = HSVtoRGB(varied, 1.0f);
    return {rgb.r, rgb.g, rgb.b};
}

// One thread's share of a slot: the copies of every stroke walked with their random values,
// offsets, noise and dashes, and the pieces handed to the thread's rasteriser.
class SlotDrawer {
  public:
    SlotDrawer(const SlotContext& context, int32_t thread, int32_t threadCount)
        : ctx_(context),
          brush_(*context.brush),
          thread_(thread),
          raster_(context, thread, threadCount) {
        parallel_ = ctx_.camera->parallel == 1;
        if (ctx_.stamps) {
            for (int32_t k = 0; k < ctx_.stamps->imageCount && k < StampCache::kImageCount; ++k)
                imageAngles_[size_t(k)] = StampImageAngle(brush_, ctx_.stamps->seeds[size_t(k)]);
        }
    }

    // False when cancelled.
    bool Draw(const ThreadProcessInfo& info);

  private:
    void SetCopyValues();
    void DrawExtension(const WalkEdge& from, Point2 normal, bool atStart, float length,
                       bool outline, LineEffectDrawDelegate* delegate);
    void DrawSegment(const WalkEdge& edge, Point2 normalA, Point2 normalB, uint8_t strokeClass);
    void EmitPiece(const PieceEnd& a, const PieceEnd& b, uint8_t strokeClass);
    void NextDash();
    // Pieces are drawn one behind, so that a piece knows the one continuing it. An excluded
    // piece (`draw` false) is not drawn and breaks the chain. FinishPieces draws the last one.
    void QueuePiece(const PieceEnd& a, const PieceEnd& b, bool draw);
    void FinishPieces();
    void SetStrokeCells(bool loop);

    const SlotContext& ctx_;
    const BrushDrawSettings& brush_;
    const int32_t thread_;
    PieceRaster raster_;
    CopyLook& copy_ = raster_.Copy();
    bool parallel_ = false;
    bool distortion_ = false;
    bool noiseMap_ = false;

    LineRandom random_;
    std::vector<WalkEdge> edges_;
    std::vector<Point2> normals_;  // two per edge: at a and at b

    // Per slot: the angles the stamp images were drawn at.
    std::array<float, StampCache::kImageCount> imageAngles_{};

    // Per copy.
    float stretch_ = 0.0f;
    Point2 offset_;
    float normalOffset_ = 0.0f;
    float phase_ = 0.0f;
    float extendStart_ = 0.0f, extendEnd_ = 0.0f;
    uint32_t dashState_ = 0;
    float dashPosition_ = 0.0f, dashLength_ = 0.0f, gapLength_ = 0.0f;
    float running_ = 0.0f;
    Point2 lastPieceEnd_;
    bool havePiece_ = false;
    Piece queued_;
    bool haveQueued_ = false;
};

void SlotDrawer::SetCopyValues() {
    const BrushDrawSettings& b = brush_;
    if (b.dashed) {
        dashState_ = uint32_t(std::min(random_.Unit(kSaltDashStart) * 65536.0f, 65535.0f));
        dashPosition_ = 0.0f;
        NextDash();
    }
    if (ctx_.stamps && ctx_.stamps->imageCount > 0) {
        const int32_t count = ctx_.stamps->imageCount;
        copy_.stampIndex =
            std::min(int32_t(random_.Unit(kSaltStampImage) * float(count)), count - 1);
    }
    const float angle = b.angle + random_.Signed(b.angleRnd * 0.5f, kSaltAngle);
    stretch_ = (1.0f - random_.Positive(b.stretchRnd, kSaltStretch)) * b.stretch;
    copy_.lineSize = (1.0f + random_.Signed(b.strokeSizeRnd, kSaltSize)) * b.lineSize;
    offset_ = {b.strokeOffsetX + random_.Signed(b.strokeOffsetXRnd, kSaltOffsetX),
               b.strokeOffsetY + random_.Signed(b.strokeOffsetYRnd, kSaltOffsetY)};
    normalOffset_ =
        b.strokeNormalOffset + random_.Signed(b.strokeNormalOffsetRnd, kSaltNormalOffset);
    phase_ = Radians(b.noisePhase) + random_.Signed(b.noisePhaseRandom * kPi, kSaltNoisePhase);
    extendStart_ = (1.0f + random_.Signed(b.strokeeExtendRnd, kSaltExtendStart)) * b.strokeExtend;
    extendEnd_ = (1.0f + random_.Signed(b.strokeeExtendRnd, kSaltExtendEnd)) * b.strokeExtend;
    const float db = random_.Signed(b.colorRangeB, kSaltColorB);
    const float dg = random_.Signed(b.colorRangeG, kSaltColorG);
    const float dr = random_.Signed(b.colorRangeR, kSaltColorR);
    copy_.color = (dr != 0.0f || dg != 0.0f || db != 0.0f)
                      ? VaryColor(b.color, dr, dg, db, b.colorRangeHSV != 0)
                      : b.color;
    if (ctx_.stamps) {
        copy_.metric = CopyStampMetric(angle, stretch_);
        const bool all = b.strokeType == kStrokeRandom;
        for (int32_t k = 0; k < ctx_.stamps->imageCount && k < StampCache::kImageCount; ++k) {
            if (all || k == copy_.stampIndex) {
                copy_.frames[size_t(k)] =
                    CopyStampFrame(imageAngles_[size_t(k)], b.stretch, angle, stretch_);
            }
        }
    }
    // Drawn last, so the values above stay those of the normal type.
    if (b.strokeType == kStrokeRake || b.strokeType == kStrokeRandom) {
        const uint32_t low = uint32_t(random_.Unit(kSaltTypeSeedLow) * 65535.0f);
        const uint32_t high = uint32_t(random_.Unit(kSaltTypeSeedHigh) * 65535.0f);
        copy_.typeSeed = StrokeHash(low | (high << 16), uint32_t(ctx_.slotSeed));
        if (b.strokeType == kStrokeRake) copy_.rake = MakeRakeTines(copy_.lineSize, copy_.typeSeed);
    }
}

// Random stamps change about once per brush width, the random width over kRandomWidthCells of
// those; rake tines wander more slowly. A loop holds a whole number of each.
void SlotDrawer::SetStrokeCells(bool loop) {
    const float size =
        std::isfinite(copy_.lineSize) ? std::clamp(copy_.lineSize, 0.0f, 1.0e4f) : 0.0f;
    const bool rake = brush_.strokeType == kStrokeRake;
    copy_.cellLength = rake ? std::max(2.0f * size, 8.0f) : std::max(size, 3.0f);
    copy_.cellPeriod = 0;
    if (loop && copy_.total > 0.0f && std::isfinite(copy_.total)) {
        const float group = rake ? 1.0f : float(kRandomWidthCells);
        copy_.cellPeriod = int32_t(
            group * std::clamp(std::round(copy_.total / (group * copy_.cellLength)), 1.0f, 1.0e6f));
        copy_.cellLength = copy_.total / float(copy_.cellPeriod);
    }
}

void SlotDrawer::NextDash() {
    dashState_ = LineRandomStep(dashState_);
    const float r1 = LineRandomToSigned(dashState_);
    dashState_ = LineRandomStep(dashState_);
    const float r2 = LineRandomToSigned(dashState_);
    dashLength_ = std::max(0.0f, (1.0f + r1 * brush_.strokeLengthRnd) * brush_.strokeLength);
    gapLength_ = std::max(0.0f, (1.0f + r2 * brush_.strokeSpaceRnd) * brush_.strokeSpace);
}

bool SlotDrawer::Draw(const ThreadProcessInfo& info) {
    raster_.SetAbortSource(&info);
    const BrushDrawSettings& b = brush_;
    const StrokeList& strokes = *ctx_.strokes;
    noiseMap_ = b.noiseMap && b.noiseMapOpacity != 0.0f;
    distortion_ = b.strokeNormalOffset != 0.0f || b.strokeNormalOffsetRnd != 0.0f ||
                  b.noiseAmount != 0.0f || noiseMap_;
    LineEffectDrawDelegate* delegate = thread_ == 0 ? ctx_.drawDelegate : nullptr;
    const int32_t copies = std::max(0, b.strokeCopy + b.strokeCopyRnd);
    const uint32_t strokeCount = uint32_t(strokes.Size());
    uint32_t copySeed = uint32_t(ctx_.slotSeed);
    for (int32_t c = 0; c < copies; ++c) {
        copySeed = LineRandomStep(copySeed);
        random_.Seed(copySeed);
        for (size_t i = 0; i < strokes.Size(); ++i) {
            if (i % 16 == 0) {
                if (info.IsAborted()) return false;
                info.SetThreadProgress(int32_t(uint32_t(c) * strokeCount + uint32_t(i)),
                                       int32_t(uint32_t(copies) * strokeCount));
            }
            const Stroke& stroke = strokes[i];
            if (!(stroke.length >= b.strokeMinLength) || !stroke.first) continue;
            CollectEdges(stroke, edges_);
            if (stroke.loop) {
                OrientLoop(edges_, b, *ctx_.camera);
                random_.Place1(edges_.front().a, ctx_.cellSize);
            } else {
                OrientOpen(edges_, b);
                random_.Place2(edges_.front().a, edges_.back().b, ctx_.cellSize);
            }
            if (c >= b.strokeCopy && random_.Noise(kSaltExtraCopy) < 0.0f) continue;
            SetCopyValues();
            copy_.id = uint32_t(c) * strokeCount + uint32_t(i) + 1u;
            if (delegate) {
                delegate->BeginStrokeCopy(copy_.lineSize, copy_.color[0], copy_.color[1],
                                          copy_.color[2], b.dashed != 0, b.strokeLength,
                                          b.strokeSpace);
            }
            const bool outline = WalkHasOutline(edges_);
            if (distortion_) {
                ComputeWalkNormals(edges_, stroke.loop != 0, normals_);
            } else {
                normals_.assign(2 * edges_.size(), Point2{});
            }
            const float startExt = std::max(extendStart_, 0.0f);
            const float endExt = std::max(extendEnd_, 0.0f);
            running_ = 0.0f;
            copy_.total = startExt + stroke.length + endExt;
            havePiece_ = false;
            SetStrokeCells(stroke.loop != 0);
            if (startExt > 0.0f) {
                DrawExtension(edges_.front(), normals_.front(), true, startExt, outline, delegate);
            }
            for (size_t k = 0; k < edges_.size(); ++k) {
                if (delegate) {
                    const Point2 a = edges_[k].a + normals_[2 * k] * normalOffset_ + offset_;
                    const Point2 bb = edges_[k].b + normals_[2 * k + 1] * normalOffset_ + offset_;
                    delegate->Segment(edges_[k].kind, a.x, a.y, bb.x, bb.y);
                }
                DrawSegment(edges_[k], normals_[2 * k], normals_[2 * k + 1],
                            SegmentStrokeClass(edges_[k].kind, outline));
            }
            if (endExt > 0.0f) {
                DrawExtension(edges_.back(), normals_.back(), false, endExt, outline, delegate);
            }
            FinishPieces();
            if (raster_.Aborted()) return false;
            if (delegate) delegate->EndStrokeCopy();
        }
    }
    return true;
}

void SlotDrawer::DrawExtension(const WalkEdge& from, Point2 normal, bool atStart, float length,
                               bool outline, LineEffectDrawDelegate* delegate) {
    const float l = Length(from.b - from.a);
    if (l <= 0.0f) return;
    const Point2 dir = (from.b - from.a) * (1.0f / l);
    WalkEdge e = from;
    if (atStart) {
        e.a = from.a - dir * length;
        e.b = from.a;
        e.za = e.zb = from.za;
    } else {
        e.a = from.b;
        e.b = from.b + dir * length;
        e.za = e.zb = from.zb;
    }
    e.length = length;
    if (delegate) {
        const Point2 a = e.a + normal * normalOffset_ + offset_;
        const Point2 b = e.b + normal * normalOffset_ + offset_;
        delegate->Segment(e.kind, a.x, a.y, b.x, b.y);
    }
    DrawSegment(e, normal, normal, SegmentStrokeClass(e.kind, outline));
}

void SlotDrawer::DrawSegment(const WalkEdge& edge, Point2 normalA, Point2 normalB,
                             uint8_t strokeClass) {
    const BrushDrawSettings& b = brush_;
    raster_.SetFace(edge.object, edge.face);
    const Point2 pa = edge.a + normalA * normalOffset_ + offset_;
    const Point2 pb = edge.b + normalB * normalOffset_ + offset_;
    const float length = Length(pb - pa);
    // Subdivision for distortion, about one point per pixel; bounded so that absurd offsets
    // cannot stall a worker, and NaN (from non-finite input) draws nothing distorted.
    const int32_t n =
        distortion_ && std::isfinite(length) ? int32_t(std::min(length, 100000.0f)) + 1 : 1;
    const bool noise = distortion_ && b.noiseAmount != 0.0f && b.noiseCycle > 0.0f;
    const Camera& cam = *ctx_.camera;
    float phase = 0.0f;
    if (noise) {
        const float cycles = running_ / b.noiseCycle;
        phase = (cycles - std::floor(cycles)) * 2.0f * kPi + phase_;
        phase = std::remainder(phase, 2.0f * kPi);
    }
    const float du = copy_.total > 0.0f ? 1.0f / copy_.total : 0.0f;

    PieceEnd start, last;
    float dStart = 0.0f, dLast = 0.0f;
    int32_t merged = 0;
    for (int32_t i = 0; i <= n; ++i) {
        const float t = float(i) / float(n);
        PieceEnd point;
        point.p = pa + (pb - pa) * t;
        point.z = InterpolateDepth(edge.za, edge.zb, t, parallel_);
        point.u = std::clamp((running_ + edge.length * t) * du, 0.0f, 1.0f);
        float d = 0.0f;
        if (noise) {
            float step = 2.0f * kPi / (b.noiseCycle * float(n)) * length;
            if (b.noiseAmountRandom != 0.0f || b.noiseCycleRandom != 0.0f) {
                random_.Place1(point.p, ctx_.cellSize);
            }
            if (b.noiseCycleRandom != 0.0f) {
                step /= std::max(0.05f, 1.0f + random_.Noise(kSaltNoiseCycle) * b.noiseCycleRandom);
            }
            d = std::sin(phase) * b.noiseAmount;
            if (b.noiseAmountRandom != 0.0f) {
                d *= 1.0f + random_.Noise(kSaltNoiseAmount) * b.noiseAmountRandom;
            }
            phase += step;
        }
        if (noiseMap_) {
            // The map is laid over the view: screen offsets from the centre in camera units.
            const float depthScale = parallel_ ? 1.0f : point.z;
            TexmapContext2D map;
            map.u =
                cam.scale.x != 0.0f ? (point.p.x - cam.center.x) * depthScale / cam.scale.x : 0.0f;
            map.v =
                cam.scale.y != 0.0f ? (point.p.y - cam.center.y) * depthScale / cam.scale.y : 0.0f;
            d += b.noiseMap->EvalMono(map) * b.noiseMapOpacity;
        }
        if (d != 0.0f) {
            const Point2 normal = normalA * (1.0f - t) + normalB * t;
            point.p = point.p + normal * d;
        }
        if (i == 0) {
            start = point;
            dStart = d;
        } else if (merged > 0 && std::fabs((d - dLast) * float(merged) - (dLast - dStart)) >=
                                     kSimplifyTolerance * float(merged)) {
            EmitPiece(start, last, strokeClass);
            start = last;
            dStart = dLast;
            merged = 0;
        }
        if (i > 0) ++merged;
        last = point;
        dLast = d;
    }
    EmitPiece(start, last, strokeClass);
    running_ += edge.length;
}

// Excluded classes are skipped only when drawing, so the dashes of a render element stay in
// step with the main output.
void SlotDrawer::EmitPiece(const PieceEnd& a, const PieceEnd& b, uint8_t strokeClass) {
    const bool draw = std::find(ctx_.excludedClasses.begin(), ctx_.excludedClasses.end(),
                                strokeClass) == ctx_.excludedClasses.end();
    if (!brush_.dashed) {
        QueuePiece(a, b, draw);
        return;
    }
    const float length = Length(b.p - a.p);
    if (!(length > 0.0f) || dashLength_ + gapLength_ <= 0.0f) return;
    auto at = [&](float s) {
        const float t = s / length;
        PieceEnd e;
        e.p = a.p + (b.p - a.p) * t;
        e.z = InterpolateDepth(a.z, b.z, t, parallel_);
        e.u = a.u + (b.u - a.u) * t;
        return e;
    };
    float s = 0.0f;
    // Each turn ends a dash or a gap, or the piece; the count guards against lengths that
    // round to no progress.
    for (int guard = 0; s < length && guard < 1000000; ++guard) {
        if (dashPosition_ < dashLength_) {
            const float step = std::min(dashLength_ - dashPosition_, length - s);
            QueuePiece(at(s), at(s + step), draw);
            s += step;
            dashPosition_ += step;
        } else {
            const float step = std::min(dashLength_ + gapLength_ - dashPosition_, length - s);
            s += step;
            dashPosition_ += step;
            if (dashPosition_ >= dashLength_ + gapLength_) {
                dashPosition_ = 0.0f;
                NextDash();
            }
        }
    }
}

void SlotDrawer::QueuePiece(const PieceEnd& a, const PieceEnd& b, bool draw) {
    const float os = float(ctx_.oversampling);
    Piece piece{a, b, a.p * os, b.p * os, false};
    const Point2 ab = piece.to - piece.from;
    const float len2 = Dot(ab, ab);
    if (!(len2 > 0.0f) || !std::isfinite(len2)) return;
    piece.continues = havePiece_ && lastPieceEnd_ == a.p;
    if (!draw) {
        FinishPieces();
        havePiece_ = false;
        return;
    }
    havePiece_ = true;
    lastPieceEnd_ = b.p;
    if (haveQueued_) raster_.Draw(queued_, piece.continues ? &piece : nullptr);
    queued_ = piece;
    haveQueued_ = true;
}

void SlotDrawer::FinishPieces() {
    if (haveQueued_) raster_.Draw(queued_, nullptr);
    haveQueued_ = false;
}

class DrawLineThreadProcess final : public ThreadProcess {
  public:
    DrawLineThreadProcess(const SlotContext& context, int32_t threadCount)
        : context_(context), threadCount_(threadCount) {}

    bool Work(const ThreadProcessInfo& info) override {
        if (info.itemIndex >= threadCount_) return false;
        info.SetThreadMessage("thread : " + std::to_string(info.itemIndex + 1));
        SlotDrawer drawer(context_, info.itemIndex, threadCount_);
        const bool ok = drawer.Draw(info);
        if (!ok) result_.store(false);
        return true;
    }
    bool Result() const { return result_.load(); }

  private:
    const SlotContext& context_;
    const int32_t threadCount_;
    std::atomic<bool> result_{true};
};

struct DrawPass {
    LineEffectRasterInterface* output = nullptr;
    bool hideVisible = false;
    bool hideHidden = false;
    const std::vector<int32_t>* excludedLineSetIds = nullptr;
    std::vector<uint8_t> excludedClasses;
};

}  // namespace

uint8_t StrokeClassOfKind(int32_t kind) {
    return kind >= 0 && kind < int32_t(kStrokeClassOfKind.size()) ? kStrokeClassOfKind[size_t(kind)]
                                                                  : 0;
}

uint8_t SegmentStrokeClass(int32_t kind, bool strokeHasOutline) {
    if (kind == kEdgeIntersection && strokeHasOutline) return kStrokeClassOfKind[kEdgeOutline];
    return StrokeClassOfKind(kind);
}

bool DrawStrokes(LineEffectRasterInterface& raster, const DrawSettings& settings,
                 const std::vector<ConnectionResult>& connection, const Scene& scene,
                 ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate,
                 bool /*flag*/, const std::shared_ptr<LineEffectDrawDelegate>& drawDelegate,
                 std::unique_ptr<LineEffectWorkBuffer>& workBuffer) {
    const int32_t width = raster.Width(), height = raster.Height();
    if (width < 1 || height < 1) throw LineEffectException("invalid raster size.");
    if (settings.oversampling < 1) throw LineEffectException("invalid settings.");
    if (settings.lineSets.size() != connection.size()) {
        throw LineEffectException("invalid settings or connection results.");
    }
    std::vector<DrawPass> passes;
    for (const auto& element : settings.renderElementOutputs) {
        if (!element || !element->raster || element->raster->Width() != width ||
            element->raster->Height() != height) {
            throw LineEffectException("invalid renderElementOutputSettings.");
        }
        DrawPass pass;
        pass.output = element->raster.get();
        pass.hideVisible = element->hideVisible != 0;
        pass.hideHidden = element->hideHidden != 0;
        pass.excludedLineSetIds = &element->excludedLineSetIds;
        for (int32_t kind : element->excludedEdgeKinds) {
            if (const uint8_t c = StrokeClassOfKind(kind)) pass.excludedClasses.push_back(c);
        }
        passes.push_back(std::move(pass));
    }
    if (!settings.renderElementOnly) passes.push_back(DrawPass{&raster, false, false, nullptr, {}});
    if (passes.empty()) return true;

    if (!workBuffer) {
        try {
            workBuffer = std::make_unique<LineEffectWorkBuffer>();
        } catch (const std::bad_alloc&) {
            throw LineEffectException("work buffer alloc failed.");
        }
    }
    LineEffectWorkBuffer& buffer = *workBuffer;
    buffer.Prepare(width, height, settings.oversampling, settings.filterWidth);

    const bool reversed = drawDelegate && drawDelegate->VisitLineSetsReversed();
    const int32_t threadCount = std::max(1, manager.GetThreadCount());
    const int32_t setCount = int32_t(settings.lineSets.size());
    for (size_t p = 0; p < passes.size(); ++p) {
        const DrawPass& pass = passes[p];
        // The geometry goes out once, with the last pass.
        LineEffectDrawDelegate* passDelegate =
            p + 1 == passes.size() ? drawDelegate.get() : nullptr;
        buffer.BeginPass(*pass.output);
        for (const bool hidden : {true, false}) {
            if (hidden ? pass.hideHidden : pass.hideVisible) continue;
            for (int32_t n = 0; n < setCount; ++n) {
                const int32_t index = reversed ? setCount - 1 - n : n;
                const LineSetDrawSettings& set = settings.lineSets[size_t(index)];
                if (pass.excludedLineSetIds &&
                    std::find(pass.excludedLineSetIds->begin(), pass.excludedLineSetIds->end(),
                              set.lineSetId) != pass.excludedLineSetIds->end()) {
                    continue;
                }
                const int32_t setSeed = set.seed + settings.randomSeed;
                int32_t drawn = 0;
                for (int group = 0; group < kDrawGroupCount; ++group) {
                    const StrokeList& strokes = connection[size_t(index)].Slot(hidden, group);
                    if (strokes.Empty()) continue;
                    if (drawn == 0 && passDelegate &&
                        !passDelegate->BeginLineSet(&set.lineSetId, index, hidden)) {
                        break;
                    }
                    const BrushDrawSettings& brush = set.Brush(hidden, group);
                    StampCache stamps;
                    const bool stamped =
                        brush.brushType == kBrushNormal || brush.brushType == kBrushMultiple;
                    if (stamped) {
                        StampMapSampler sampler;
                        if (brush.brushMap && brush.mapOpacity != 0.0f) {
                            sampler = [&brush](float u, float v) {
                                TexmapContext2D context;
                                context.u = u;
                                context.v = v;
                                return brush.brushMap->EvalMono(context);
                            };
                        }
                        stamps = BuildStampCache(brush, StampSeeds(setSeed, drawn), sampler);
                    }
                    SlotContext context;
                    context.brush = &brush;
                    context.strokes = &strokes;
                    context.stamps = stamped ? &stamps : nullptr;
                    context.sizeReduction = set.SizeReduction(hidden).get();
                    context.alphaReduction = set.AlphaReduction(hidden).get();
                    context.camera = &scene.GetCamera();
                    context.scene = &scene;
                    context.slotSeed = setSeed + kSlotSeedStep * drawn;
                    context.cellSize = settings.randomCellSize;
                    context.oversampling = settings.oversampling;
                    context.excludedClasses = pass.excludedClasses;
                    context.buffer = &buffer;
                    context.drawDelegate = passDelegate;
                    auto process = std::make_shared<DrawLineThreadProcess>(context, threadCount);
                    StageRun run(delegate, manager);
                    run.Run(process);
                    // Cancelled: stop at once; the next Prepare empties what the slot left.
                    if (!process->Result()) return false;
                    buffer.ResolveSlot(manager, brush.blend);
                    ++drawn;
                }
            }
        }
        buffer.EndPass(*pass.output);
    }
    return true;
}

}  // namespace KvrnLib
