#include "stroke_draw.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <string>

#include "brush_stamp.h"
#include "line_random.h"
#include "reduction.h"
#include "render_object_info.h"
#include "stage_runner.h"
#include "stroke.h"
#include "texmap_context.h"

namespace KvrnLib {

namespace {

// Stroke class per edge kind 0-7, handed to the stamper with every piece; render elements
// exclude pieces by it.
constexpr std::array<uint8_t, 8> kKindClass = {99, 99, 90, 80, 70, 50, 40, 60};
constexpr float kPi = 3.1415927f;
constexpr int32_t kAbortPollPieces = 64;
// Cells of the random stroke type over which its width wanders once.
constexpr int32_t kWidthCells = 3;
// Simplification closes a piece once the displacement leaves a straight line by this much per
// merged step, in pixels.
constexpr float kSimplifyTolerance = 0.025f;

inline Point2 Add(Point2 a, Point2 b) { return {a.x + b.x, a.y + b.y}; }
inline Point2 Sub(Point2 a, Point2 b) { return {a.x - b.x, a.y - b.y}; }
inline Point2 Mul(Point2 a, float s) { return {a.x * s, a.y * s}; }
inline float Dot2(Point2 a, Point2 b) { return a.x * b.x + a.y * b.y; }
inline float Cross2(Point2 a, Point2 b) { return a.x * b.y - a.y * b.x; }
inline float Len(Point2 a) { return std::sqrt(a.x * a.x + a.y * a.y); }

// Depth at parameter t: linear in parallel views, 1/z-linear in perspective ones.
float InterpolateDepth(float z0, float z1, float t, bool parallel) {
    if (parallel) return z0 + (z1 - z0) * t;
    const float denominator = (z0 - z1) * t + z1;
    return denominator == 0.0f ? 0.0f : z0 * z1 / denominator;
}

// An edge of a stroke as drawn: from a to b in drawing order.
struct WalkEdge {
    Point2 a, b;
    float za = 0.0f, zb = 0.0f;
    int32_t kind = 0;
    int32_t object = -1;
    int32_t face = -1;
    float length = 0.0f;
    bool fromEnd1 = false;  // walked from the detected edge's end 1
};

void ReverseWalk(std::vector<WalkEdge>& edges) {
    std::reverse(edges.begin(), edges.end());
    for (WalkEdge& e : edges) {
        std::swap(e.a, e.b);
        std::swap(e.za, e.zb);
        e.fromEnd1 = !e.fromEnd1;
    }
}

void CollectEdges(const Stroke& stroke, std::vector<WalkEdge>& out) {
    out.clear();
    const DetectedEdge* edge = stroke.first;
    uint32_t entry = stroke.firstEnd;
    // A malformed chain must not loop for ever: no stroke has more edges than this.
    for (size_t steps = 0; edge && steps < 100000000; ++steps) {
        WalkEdge w;
        w.a = EndPoint(*edge, entry);
        w.b = EndPoint(*edge, entry ^ 1u);
        w.za = EndDepth(*edge, entry);
        w.zb = EndDepth(*edge, entry ^ 1u);
        w.kind = edge->kind;
        w.length = edge->length;
        w.object = edge->object;
        w.face = edge->face;
        w.fromEnd1 = entry == 1u;
        out.push_back(w);
        if (edge == stroke.last || edge->next == stroke.first) break;
        entry = edge->nextEnd;
        edge = edge->next;
    }
}

// Loops: positive orientation about the box centre, start at the edge lowest along the stroke
// direction, then the loop direction (mirrored screens flip what "Left" means).
void OrientLoop(std::vector<WalkEdge>& edges, const BrushDrawSettings& brush, const Camera& cam) {
    Box2 box;
    for (const WalkEdge& e : edges) box.Add(e.a);
    const Point2 c{(box.minX + box.maxX) * 0.5f, (box.minY + box.maxY) * 0.5f};
    const float angle = brush.strokeDirectionAngle * 0.017453292f;
    Point2 d{(box.maxX - box.minX) * std::cos(angle), (box.maxY - box.minY) * std::sin(angle)};
    const float dl = Len(d);
    if (dl > 0.0f) d = Mul(d, 1.0f / dl);
    double area = 0.0;
    for (const WalkEdge& e : edges) area += double(Cross2(Sub(e.a, c), Sub(e.b, c)));
    if (area < 0.0) ReverseWalk(edges);
    size_t start = 0;
    float best = 0.0f;
    for (size_t i = 0; i < edges.size(); ++i) {
        const Point2 m = Mul(Add(edges[i].a, edges[i].b), 0.5f);
        const float projection = Dot2(Sub(m, c), d);
        if (i == 0 || projection < best) {
            best = projection;
            start = i;
        }
    }
    std::rotate(edges.begin(), edges.begin() + std::ptrdiff_t(start), edges.end());
    const bool positiveScales = cam.scale.x * cam.scale.y > 0.0f;
    const bool left = brush.loopRight == 0;
    if (positiveScales != left) {
        // Keep the chosen edge first: after the reversal it is last.
        ReverseWalk(edges);
        std::rotate(edges.rbegin(), edges.rbegin() + 1, edges.rend());
    }
}

void OrientOpen(std::vector<WalkEdge>& edges, const BrushDrawSettings& brush) {
    const float angle = brush.strokeDirectionAngle * 0.017453292f;
    const Point2 dir{std::cos(angle), std::sin(angle)};
    double sum = 0.0;
    for (const WalkEdge& e : edges) sum += double(Dot2(Sub(e.b, e.a), dir));
    if (sum < 0.0) ReverseWalk(edges);
}

float HueToChannel(float p, float q, float t) {
    t -= std::floor(t);
    if (t < 1.0f / 6.0f) return p + (q - p) * 6.0f * t;
    if (t < 0.5f) return q;
    if (t < 2.0f / 3.0f) return p + (q - p) * (2.0f / 3.0f - t) * 6.0f;
    return p;
}

// The copy's colour with the range offsets, in RGB or (hue, saturation, value) order R, G, B.
std::array<float, 3> VaryColor(const std::array<float, 3>& c, float dr, float dg, float db,
                               bool hsv) {
    if (!hsv) {
        return {std::clamp(c[0] + dr, 0.0f, 1.0f), std::clamp(c[1] + dg, 0.0f, 1.0f),
                std::clamp(c[2] + db, 0.0f, 1.0f)};
    }
    const float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
    float h = 0.0f;
    const float delta = mx - mn;
    if (delta > 0.0f) {
        if (mx == c[0]) {
            h = (c[1] - c[2]) / delta / 6.0f;
        } else if (mx == c[1]) {
            h = ((c[2] - c[0]) / delta + 2.0f) / 6.0f;
        } else {
            h = ((c[0] - c[1]) / delta + 4.0f) / 6.0f;
        }
    }
    float s = mx > 0.0f ? delta / mx : 0.0f;
    float v = mx;
    h += dr;
    s = std::clamp(s + dg, 0.0f, 1.0f);
    v = std::clamp(v + db, 0.0f, 1.0f);
    // HSV to RGB through the chroma form: max = v, min = v (1 - s).
    const float lo = v * (1.0f - s);
    return {HueToChannel(lo, v, h + 1.0f / 3.0f), HueToChannel(lo, v, h),
            HueToChannel(lo, v, h - 1.0f / 3.0f)};
}

// What every thread of a slot reads.
struct SlotContext {
    const BrushDrawSettings* brush = nullptr;
    const StrokeList* strokes = nullptr;
    const StampCache* stamps = nullptr;  // normal and multiple brushes
    const ReductionSettings* sizeReduction = nullptr;
    const ReductionSettings* alphaReduction = nullptr;
    const Camera* camera = nullptr;
    const Scene* scene = nullptr;
    int32_t slotSeed = 0;
    float cellSize = 8.0f;
    int32_t oversampling = 1;
    std::vector<uint8_t> excludedClasses;
    LineEffectWorkBuffer* buffer = nullptr;
    LineEffectDrawDelegate* drawDelegate = nullptr;  // called from thread 0 only
};

// A piece end: position in output pixels, depth and stroke coordinate.
struct PieceEnd {
    Point2 p;
    float z = 0.0f;
    float u = 0.0f;
};

// A straight piece waiting to be drawn: its ends, the ends in buffer pixels, and whether it
// continues the previous drawn piece of the copy.
struct Piece {
    PieceEnd a, b;
    Point2 from, to;
    bool continues = false;
};

// One thread's share of a slot: its random generator, copy state and pixel list.
class SlotDrawer {
  public:
    SlotDrawer(const SlotContext& context, int32_t thread, int32_t threadCount)
        : ctx_(context),
          brush_(*context.brush),
          thread_(thread),
          threads_(threadCount),
          index_(context.buffer->ThreadIndex(thread)),
          mapContext_(*context.scene) {
        const LineEffectWorkBuffer& buffer = *ctx_.buffer;
        subWidth_ = buffer.SubWidth();
        subHeight_ = buffer.SubHeight();
        parallel_ = ctx_.camera->parallel == 1;
        sizeMap_ = brush_.sizeMap && brush_.sizeMapAmount != 0.0f;
        colorMap_ = brush_.colorMap && brush_.colorMapOpacity != 0.0f;
        if (ctx_.stamps) {
            for (int32_t k = 0; k < ctx_.stamps->imageCount && k < StampCache::kImageCount; ++k)
                imageAngles_[size_t(k)] = StampImageAngle(brush_, ctx_.stamps->seeds[size_t(k)]);
        }
        wedgeJoints_ = brush_.strokeType == kStrokeRake || brush_.strokeType == kStrokeRandom ||
                       StampIsRadial(brush_);
        // Sampled between pixel centres, an image spreads by up to a diagonal of its pixels,
        // which the image's stretch widens; a copy's own stretch only narrows it.
        stampReach_ = 1.0f + std::sqrt(2.0f) / float(StampCache::kImageSize / 2) *
                                 (1.0f + 5.0f * std::fabs(brush_.stretch));
        if (brush_.strokeType == kStrokeRandom) stampReach_ *= 1.0f + kRandomStampWidthRange;
    }

    // An unflushed copy (an error or a cancel inside it) must not leave entries in the index.
    ~SlotDrawer() {
        for (const Pixel& p : pixels_) {
            index_.At(p.x, p.y / threads_) = 0;
        }
    }
    SlotDrawer(const SlotDrawer&) = delete;
    SlotDrawer& operator=(const SlotDrawer&) = delete;

    // False when cancelled.
    bool Draw(const ThreadProcessInfo& info);

  private:
    struct Pixel {
        int32_t x = 0, y = 0;
        float coverage = 0.0f;
        float key = 0.0f;
        float r = 0.0f, g = 0.0f, b = 0.0f;  // unpremultiplied colour of the strongest stamp
    };

    void SetCopyValues();
    void ComputeNormals(bool loop);
    void DrawExtension(const WalkEdge& from, Point2 normal, bool atStart, float length,
                       bool outline, LineEffectDrawDelegate* delegate);
    void DrawSegment(const WalkEdge& edge, Point2 normalA, Point2 normalB, uint8_t strokeClass);
    void EmitPiece(const PieceEnd& a, const PieceEnd& b, uint8_t strokeClass);
    void NextDash();
    // Pieces are drawn one behind, so that a piece knows the one continuing it. An excluded
    // piece (`draw` false) is not drawn and breaks the chain. FinishPieces draws the last one.
    void QueuePiece(const PieceEnd& a, const PieceEnd& b, bool draw);
    void FinishPieces();
    void DrawPiece(const Piece& piece, const Piece* next);
    void SetStrokeCells(bool loop);
    float StampCoverage(Point2 d, float r, float s) const;
    void Accumulate(int32_t x, int32_t y, float coverage, float key,
                    const std::array<float, 3>& colour);
    void Flush();
    // Barycentric weights on the current face of a screen point; PlaceMapContext sets the map
    // context there, false when the piece has no face.
    Point3 FaceWeights(Point2 screen) const;
    bool PlaceMapContext(Point2 screen, float z);
    PixelFactors Factors(Point2 screen, float z, float u, bool mapPlaced) const;

    const SlotContext& ctx_;
    const BrushDrawSettings& brush_;
    const int32_t thread_;
    const int32_t threads_;
    // Entry = position in pixels_ + 1, 0 for none; every flush leaves it all zero again.
    TiledArray<int32_t>& index_;
    int32_t subWidth_ = 0;
    int32_t subHeight_ = 0;
    bool parallel_ = false;
    bool distortion_ = false;
    bool noiseMap_ = false;
    bool sizeMap_ = false;
    bool colorMap_ = false;
    TexmapContext3D mapContext_;
    int32_t object_ = -1;  // of the segment being drawn
    int32_t face_ = -1;

    // Polled every kAbortPollPieces pieces: one stroke of a wide brush can take seconds.
    const ThreadProcessInfo* info_ = nullptr;
    int32_t piecesSincePoll_ = 0;
    bool aborted_ = false;
    LineRandom random_;
    std::vector<WalkEdge> edges_;
    std::vector<Point2> normals_;  // two per edge: at a and at b
    std::vector<Pixel> pixels_;

    // Per slot: the angles the stamp images were drawn at; whether an interior joint draws only
    // the wedge outside both pieces (exact for radial stamps, and keeps the streaks of the rake
    // and random types continuous); the covered radius of a stamp over its half size.
    std::array<float, StampCache::kImageCount> imageAngles_{};
    bool wedgeJoints_ = false;
    float stampReach_ = 1.0f;

    // Per copy.
    uint32_t id_ = 0;
    float lineSize_ = 1.0f;
    float stretch_ = 0.0f;
    std::array<StampFrame, StampCache::kImageCount> frames_{};
    // A stamp is laid along a piece by the nearest point in the copy's metric, so that a
    // stretched stamp sweeps its full width and radial stamps stay radial.
    StampFrame metric_;
    uint32_t typeSeed_ = 0;  // rake and random types
    RakeTines rake_;
    // Rake and random cells along the stroke, in output pixels; loops wrap every period cells.
    float cellLength_ = 1.0f;
    int32_t cellPeriod_ = 0;
    Point2 offset_;
    float normalOffset_ = 0.0f;
    float phase_ = 0.0f;
    float extendStart_ = 0.0f, extendEnd_ = 0.0f;
    std::array<float, 3> color_{};
    int32_t stampIndex_ = 0;
    uint32_t dashState_ = 0;
    float dashPosition_ = 0.0f, dashLength_ = 0.0f, gapLength_ = 0.0f;
    float running_ = 0.0f, total_ = 1.0f;
    Point2 lastPieceEnd_;
    bool havePiece_ = false;
    Piece queued_;
    bool haveQueued_ = false;
};

void SlotDrawer::SetCopyValues() {
    const BrushDrawSettings& b = brush_;
    if (b.dashed) {
        dashState_ = uint32_t(std::min(random_.Unit(0x4EEA) * 65536.0f, 65535.0f));
        dashPosition_ = 0.0f;
        NextDash();
    }
    if (ctx_.stamps && ctx_.stamps->imageCount > 0) {
        const int32_t count = ctx_.stamps->imageCount;
        stampIndex_ = std::min(int32_t(random_.Unit(0x226D0) * float(count)), count - 1);
    }
    const float angle = b.angle + random_.Signed(b.angleRnd * 0.5f, 0xC0ECE);
    stretch_ = (1.0f - random_.Positive(b.stretchRnd, 0xC864E)) * b.stretch;
    lineSize_ = (1.0f + random_.Signed(b.strokeSizeRnd, 0x39DE)) * b.lineSize;
    offset_ = {b.strokeOffsetX + random_.Signed(b.strokeOffsetXRnd, 0xDE),
               b.strokeOffsetY + random_.Signed(b.strokeOffsetYRnd, 0x32E)};
    normalOffset_ = b.strokeNormalOffset + random_.Signed(b.strokeNormalOffsetRnd, 0x140);
    phase_ = b.noisePhase * 0.017453292f + random_.Signed(b.noisePhaseRandom * kPi, 0x24AC0);
    extendStart_ = (1.0f + random_.Signed(b.strokeeExtendRnd, 0x591E)) * b.strokeExtend;
    extendEnd_ = (1.0f + random_.Signed(b.strokeeExtendRnd, 0x13E0E)) * b.strokeExtend;
    const float db = random_.Signed(b.colorRangeB, 0x3A2);
    const float dg = random_.Signed(b.colorRangeG, 0x2CB);
    const float dr = random_.Signed(b.colorRangeR, 0x4C8);
    color_ = (dr != 0.0f || dg != 0.0f || db != 0.0f)
                 ? VaryColor(b.color, dr, dg, db, b.colorRangeHSV != 0)
                 : b.color;
    if (ctx_.stamps) {
        metric_ = CopyStampMetric(angle, stretch_);
        const bool all = b.strokeType == kStrokeRandom;
        for (int32_t k = 0; k < ctx_.stamps->imageCount && k < StampCache::kImageCount; ++k) {
            if (all || k == stampIndex_) {
                frames_[size_t(k)] =
                    CopyStampFrame(imageAngles_[size_t(k)], b.stretch, angle, stretch_);
            }
        }
    }
    // Drawn last, so the values above stay those of the normal type.
    if (b.strokeType == kStrokeRake || b.strokeType == kStrokeRandom) {
        const uint32_t low = uint32_t(random_.Unit(0x6A09E) * 65535.0f);
        const uint32_t high = uint32_t(random_.Unit(0x3C6EF) * 65535.0f);
        typeSeed_ = StrokeHash(low | (high << 16), uint32_t(ctx_.slotSeed));
        if (b.strokeType == kStrokeRake) rake_ = MakeRakeTines(lineSize_, typeSeed_);
    }
}

// Random stamps change about once per brush width, the random width over kWidthCells of those;
// rake tines wander more slowly. A loop holds a whole number of each.
void SlotDrawer::SetStrokeCells(bool loop) {
    const float size = std::isfinite(lineSize_) ? std::clamp(lineSize_, 0.0f, 1.0e4f) : 0.0f;
    const bool rake = brush_.strokeType == kStrokeRake;
    cellLength_ = rake ? std::max(2.0f * size, 8.0f) : std::max(size, 3.0f);
    cellPeriod_ = 0;
    if (loop && total_ > 0.0f && std::isfinite(total_)) {
        const float group = rake ? 1.0f : float(kWidthCells);
        cellPeriod_ =
            int32_t(group * std::clamp(std::round(total_ / (group * cellLength_)), 1.0f, 1.0e6f));
        cellLength_ = total_ / float(cellPeriod_);
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

// Normals at both ends of every edge, perpendicular to the mean direction of the edges meeting
// there, so offset and noise stay continuous across joints; one side for the whole stroke.
void SlotDrawer::ComputeNormals(bool loop) {
    const size_t n = edges_.size();
    normals_.assign(2 * n, Point2{});
    auto unit = [](Point2 v) {
        const float l = Len(v);
        return l > 0.0f ? Mul(v, 1.0f / l) : Point2{};
    };
    for (size_t i = 0; i < n; ++i) {
        const Point2 dir = unit(Sub(edges_[i].b, edges_[i].a));
        const bool hasPrev = i > 0 || loop;
        const bool hasNext = i + 1 < n || loop;
        Point2 ta = dir, tb = dir;
        if (hasPrev) {
            const WalkEdge& p = edges_[(i + n - 1) % n];
            const Point2 s = Add(unit(Sub(p.b, p.a)), dir);
            if (Len(s) > 0.0f) ta = unit(s);
        }
        if (hasNext) {
            const WalkEdge& q = edges_[(i + 1) % n];
            const Point2 s = Add(unit(Sub(q.b, q.a)), dir);
            if (Len(s) > 0.0f) tb = unit(s);
        }
        normals_[2 * i] = {-ta.y, ta.x};
        normals_[2 * i + 1] = {-tb.y, tb.x};
    }
    double balance = 0.0;
    for (const WalkEdge& e : edges_) balance += e.fromEnd1 ? e.length : -e.length;
    if (balance < 0.0) {
        for (Point2& v : normals_) v = Mul(v, -1.0f);
    }
}

bool SlotDrawer::Draw(const ThreadProcessInfo& info) {
    info_ = &info;
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
            if (c >= b.strokeCopy && random_.Noise(0x560C) < 0.0f) continue;
            SetCopyValues();
            id_ = uint32_t(c) * strokeCount + uint32_t(i) + 1u;
            if (delegate) {
                delegate->BeginStrokeCopy(lineSize_, color_[0], color_[1], color_[2], b.dashed != 0,
                                          b.strokeLength, b.strokeSpace);
            }
            bool outline = false;
            for (const WalkEdge& e : edges_) outline |= e.kind == 0 || e.kind == 1;
            if (distortion_) {
                ComputeNormals(stroke.loop != 0);
            } else {
                normals_.assign(2 * edges_.size(), Point2{});
            }
            const float startExt = std::max(extendStart_, 0.0f);
            const float endExt = std::max(extendEnd_, 0.0f);
            running_ = 0.0f;
            total_ = startExt + stroke.length + endExt;
            havePiece_ = false;
            SetStrokeCells(stroke.loop != 0);
            if (startExt > 0.0f) {
                DrawExtension(edges_.front(), normals_.front(), true, startExt, outline, delegate);
            }
            for (size_t k = 0; k < edges_.size(); ++k) {
                if (delegate) {
                    const Point2 a =
                        Add(Add(edges_[k].a, Mul(normals_[2 * k], normalOffset_)), offset_);
                    const Point2 bb =
                        Add(Add(edges_[k].b, Mul(normals_[2 * k + 1], normalOffset_)), offset_);
                    delegate->Segment(edges_[k].kind, a.x, a.y, bb.x, bb.y);
                }
                DrawSegment(edges_[k], normals_[2 * k], normals_[2 * k + 1],
                            SegmentStrokeClass(edges_[k].kind, outline));
            }
            if (endExt > 0.0f) {
                DrawExtension(edges_.back(), normals_.back(), false, endExt, outline, delegate);
            }
            FinishPieces();
            if (aborted_) return false;
            Flush();
            if (aborted_) return false;
            if (delegate) delegate->EndStrokeCopy();
        }
    }
    return true;
}

void SlotDrawer::DrawExtension(const WalkEdge& from, Point2 normal, bool atStart, float length,
                               bool outline, LineEffectDrawDelegate* delegate) {
    const float l = Len(Sub(from.b, from.a));
    if (l <= 0.0f) return;
    const Point2 dir = Mul(Sub(from.b, from.a), 1.0f / l);
    WalkEdge e = from;
    if (atStart) {
        e.a = Sub(from.a, Mul(dir, length));
        e.b = from.a;
        e.za = e.zb = from.za;
    } else {
        e.a = from.b;
        e.b = Add(from.b, Mul(dir, length));
        e.za = e.zb = from.zb;
    }
    e.length = length;
    if (delegate) {
        const Point2 a = Add(Add(e.a, Mul(normal, normalOffset_)), offset_);
        const Point2 b = Add(Add(e.b, Mul(normal, normalOffset_)), offset_);
        delegate->Segment(e.kind, a.x, a.y, b.x, b.y);
    }
    DrawSegment(e, normal, normal, SegmentStrokeClass(e.kind, outline));
}

void SlotDrawer::DrawSegment(const WalkEdge& edge, Point2 normalA, Point2 normalB,
                             uint8_t strokeClass) {
    const BrushDrawSettings& b = brush_;
    object_ = edge.object;
    face_ = edge.face;
    const Point2 pa = Add(Add(edge.a, Mul(normalA, normalOffset_)), offset_);
    const Point2 pb = Add(Add(edge.b, Mul(normalB, normalOffset_)), offset_);
    const float length = Len(Sub(pb, pa));
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
    const float du = total_ > 0.0f ? 1.0f / total_ : 0.0f;

    PieceEnd start, last;
    float dStart = 0.0f, dLast = 0.0f;
    int32_t merged = 0;
    for (int32_t i = 0; i <= n; ++i) {
        const float t = float(i) / float(n);
        PieceEnd point;
        point.p = Add(pa, Mul(Sub(pb, pa), t));
        point.z = InterpolateDepth(edge.za, edge.zb, t, parallel_);
        point.u = std::clamp((running_ + edge.length * t) * du, 0.0f, 1.0f);
        float d = 0.0f;
        if (noise) {
            float step = 2.0f * kPi / (b.noiseCycle * float(n)) * length;
            if (b.noiseAmountRandom != 0.0f || b.noiseCycleRandom != 0.0f) {
                random_.Place1(point.p, ctx_.cellSize);
            }
            if (b.noiseCycleRandom != 0.0f) {
                step /= std::max(0.05f, 1.0f + random_.Noise(0x1E61) * b.noiseCycleRandom);
            }
            d = std::sin(phase) * b.noiseAmount;
            if (b.noiseAmountRandom != 0.0f) {
                d *= 1.0f + random_.Noise(0x4D) * b.noiseAmountRandom;
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
            const Point2 normal = Add(Mul(normalA, 1.0f - t), Mul(normalB, t));
            point.p = Add(point.p, Mul(normal, d));
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
    const float length = Len(Sub(b.p, a.p));
    if (!(length > 0.0f) || dashLength_ + gapLength_ <= 0.0f) return;
    auto at = [&](float s) {
        const float t = s / length;
        PieceEnd e;
        e.p = Add(a.p, Mul(Sub(b.p, a.p), t));
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

Point3 SlotDrawer::FaceWeights(Point2 screen) const {
    const RenderObjectInfoEx& info = ctx_.scene->Info(object_);
    const FaceRecord& face = ctx_.scene->Object(object_).faces[size_t(face_)];
    const std::vector<Point2>& points = info.ScreenPoints();
    const Point2 pa = points[size_t(face.vertexA)], pb = points[size_t(face.vertexB)],
                 pc = points[size_t(face.vertexC)];
    const float area = Cross2(Sub(pb, pa), Sub(pc, pa));
    if (!(std::fabs(area) > 0.0f)) return {1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f};
    float wb = Cross2(Sub(screen, pa), Sub(pc, pa)) / area;
    float wc = Cross2(Sub(pb, pa), Sub(screen, pa)) / area;
    float wa = 1.0f - wb - wc;
    if (!parallel_) {
        // Screen weights over the corners' distances give the perspective-correct ones (visible
        // depths are negative: their sign must not flip the weights).
        const std::vector<Point3>& cam = info.CameraVertices();
        auto over = [](float w, float z) { return z != 0.0f ? w / std::fabs(z) : w; };
        wa = over(wa, cam[size_t(face.vertexA)].z);
        wb = over(wb, cam[size_t(face.vertexB)].z);
        wc = over(wc, cam[size_t(face.vertexC)].z);
        const float total = wa + wb + wc;
        if (total != 0.0f && std::isfinite(total)) {
            wa /= total;
            wb /= total;
            wc /= total;
        }
    }
    // Pixels beside a silhouette lie off the face: take the nearest point of it.
    wa = std::max(wa, 0.0f);
    wb = std::max(wb, 0.0f);
    wc = std::max(wc, 0.0f);
    const float sum = wa + wb + wc;
    if (!(sum > 0.0f) || !std::isfinite(sum)) return {1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f};
    return {wa / sum, wb / sum, wc / sum};
}

bool SlotDrawer::PlaceMapContext(Point2 screen, float z) {
    if (object_ < 0 || object_ >= ctx_.scene->ObjectCount() || face_ < 0) return false;
    const RenderObject& object = ctx_.scene->Object(object_);
    if (object.invalid || size_t(face_) >= object.faces.size()) return false;
    mapContext_.Set(object_, face_, FaceWeights(screen), screen, z);
    return true;
}

PixelFactors SlotDrawer::Factors(Point2 screen, float z, float u, bool mapPlaced) const {
    PixelFactorInputs in;
    if (ctx_.sizeReduction || ctx_.alphaReduction) {
        const Camera& cam = *ctx_.camera;
        const float sx = cam.scale.x != 0.0f ? 1.0f / cam.scale.x : 0.0f;
        const float sy = cam.scale.y != 0.0f ? 1.0f / cam.scale.y : 0.0f;
        const float depthScale = parallel_ ? 1.0f : z;
        const Point3 p{(screen.x - cam.center.x) * sx * depthScale,
                       (screen.y - cam.center.y) * sy * depthScale, z};
        in.sizeReduction = ReductionFactor(ctx_.sizeReduction, p, cam);
        in.alphaReduction = ReductionFactor(ctx_.alphaReduction, p, cam);
    }
    if (brush_.sizeReductionCurve) in.sizeCurve = brush_.sizeReductionCurve->Evaluate(u);
    if (brush_.alphaReductionCurve) in.alphaCurve = brush_.alphaReductionCurve->Evaluate(u);
    if (mapPlaced && sizeMap_) {
        in.sizeMapValue = brush_.sizeMap->EvalMono(mapContext_);
        in.sizeMapAmount = brush_.sizeMapAmount;
    }
    return BrushPixelFactors(in);
}

void SlotDrawer::QueuePiece(const PieceEnd& a, const PieceEnd& b, bool draw) {
    const float os = float(ctx_.oversampling);
    Piece piece{a, b, Mul(a.p, os), Mul(b.p, os), false};
    const Point2 ab = Sub(piece.to, piece.from);
    const float len2 = Dot2(ab, ab);
    if (!(len2 > 0.0f) || !std::isfinite(len2)) return;
    piece.continues = havePiece_ && lastPieceEnd_ == a.p;
    if (!draw) {
        FinishPieces();
        havePiece_ = false;
        return;
    }
    havePiece_ = true;
    lastPieceEnd_ = b.p;
    if (haveQueued_) DrawPiece(queued_, piece.continues ? &piece : nullptr);
    queued_ = piece;
    haveQueued_ = true;
}

void SlotDrawer::FinishPieces() {
    if (haveQueued_) DrawPiece(queued_, nullptr);
    haveQueued_ = false;
}

// The stamp at pixel offset d from its centre, at half size r, for stroke coordinate s (in
// cells along the stroke): the copy's image, or for the random type a blend of two.
float SlotDrawer::StampCoverage(Point2 d, float r, float s) const {
    const float scale = 0.5f / r;
    auto sample = [&](int32_t image) {
        const Point2 p = frames_[size_t(image)].Apply(d);
        return ctx_.stamps->Sample(image, 0.5f + p.x * scale, 0.5f + p.y * scale);
    };
    if (brush_.strokeType != kStrokeRandom) return sample(stampIndex_);
    const StampBlend blend = RandomStampAt(typeSeed_, s, ctx_.stamps->imageCount, cellPeriod_);
    const float first = sample(blend.first);
    if (blend.second == blend.first || blend.weight == 0.0f) return first;
    return first + (sample(blend.second) - first) * blend.weight;
}

// Pixels are visited row by row over the part of the piece's capsule that can be covered: the
// band beside the piece and, for stamps, the round ends; an end continued by the next piece
// covers only the wedge outside that piece's band when wedgeJoints_ is set.
void SlotDrawer::DrawPiece(const Piece& piece, const Piece* next) {
    if (aborted_) return;
    if (++piecesSincePoll_ >= kAbortPollPieces) {
        piecesSincePoll_ = 0;
        if (info_ && info_->IsAborted()) {
            aborted_ = true;
            return;
        }
    }
    const PieceEnd& a = piece.a;
    const PieceEnd& b = piece.b;
    const float os = float(ctx_.oversampling);
    const Point2 A = piece.from, B = piece.to;
    const Point2 ab = Sub(B, A);
    const float len2 = Dot2(ab, ab);
    const float length = std::sqrt(len2);
    const Point2 dir = Mul(ab, 1.0f / length);
    const Point2 normal{-dir.y, dir.x};
    const bool coverStart = !piece.continues;

    const bool simple = !ctx_.stamps || brush_.brushType == kBrushSimple;
    const bool rake = brush_.strokeType == kStrokeRake;
    const bool random = brush_.strokeType == kStrokeRandom;
    const bool maps = sizeMap_ || colorMap_;
    const bool varies = maps || ctx_.sizeReduction || ctx_.alphaReduction ||
                        brush_.sizeReductionCurve || brush_.alphaReductionCurve;
    // Size factors are limited to 1, so the copy's full size bounds what a piece covers.
    const float width = std::max(lineSize_, 0.0f) * os;
    const float halfSize = 0.5f * width;
    const float widthRange = !random  ? 0.0f
                             : simple ? kRandomSimpleWidthRange
                                      : kRandomStampWidthRange;
    // stampReach_ holds the random width already.
    const float reach =
        simple ? SimpleBrushReach(width * (1.0f + widthRange), brush_.anti, ctx_.oversampling)
               : halfSize * stampReach_;
    if (!(reach > 0.0f) || !std::isfinite(reach)) return;
    const bool startCap = !simple && !(wedgeJoints_ && piece.continues);
    const bool endCap = !simple;
    // Positions along the piece in the stamp metric (plain for simple brushes): t(p) = (p - A)
    // . metricAb / (ab . metricAb).
    const StampFrame g = simple ? StampFrame{} : metric_;
    auto metric = [&g](Point2 v) { return g.Apply(v); };
    auto unit = [](Point2 v) {
        const float l = Len(v);
        return l > 0.0f ? Mul(v, 1.0f / l) : Point2{};
    };
    const Point2 metricAb = metric(ab);
    const float invAlong = 1.0f / Dot2(ab, metricAb);
    if (!std::isfinite(invAlong) || !(invAlong > 0.0f)) return;
    const Point2 alongVec = Mul(metricAb, invAlong);
    const Point2 nextMetricAb = next ? metric(Sub(next->to, next->from)) : Point2{};
    const bool endWedge = endCap && wedgeJoints_ && next;
    const std::array<Point2, 2> wedge{unit(metricAb), Mul(unit(nextMetricAb), -1.0f)};

    // Pixel centres may sit a rounding error outside a band that still covers them.
    constexpr float kSlack = 0.05f;
    // Limited in float first (NaN to -1), so far-off or huge pieces cannot overflow the
    // conversion.
    auto clampIndex = [](float v, int32_t limit) {
        return v >= -1.0f ? (v <= float(limit) ? int32_t(v) : limit) : -1;
    };
    const float top = std::min(A.y, B.y) - reach - kSlack;
    const float bottom = std::max(A.y, B.y) + reach + kSlack;
    int32_t y0 = std::max(clampIndex(std::ceil(top - 0.5f), subHeight_), 0);
    const int32_t y1 = std::min(clampIndex(std::floor(bottom - 0.5f), subHeight_), subHeight_ - 1);
    if (y0 > y1) return;
    y0 += ((thread_ - y0) % threads_ + threads_) % threads_;
    for (int32_t y = y0; y <= y1; y += threads_) {
        const float cy = float(y) + 0.5f;
        RowSpan span;
        const float alongSlack = kSlack * Len(alongVec);
        span.AddBand(A, alongVec, -alongSlack, 1.0f + alongSlack, normal, reach + kSlack, cy);
        if (startCap) span.AddDisc(A, reach + kSlack, cy);
        if (endCap) span.AddDisc(B, reach + kSlack, cy, endWedge ? &wedge : nullptr, kSlack);
        if (!(span.lo <= span.hi)) continue;
        const int32_t x0 = std::max(clampIndex(std::ceil(span.lo - 0.5f), subWidth_), 0);
        const int32_t x1 =
            std::min(clampIndex(std::floor(span.hi - 0.5f), subWidth_), subWidth_ - 1);
        for (int32_t x = x0; x <= x1; ++x) {
            const Point2 centre{float(x) + 0.5f, cy};
            const Point2 rel = Sub(centre, A);
            const float along = Dot2(rel, metricAb) * invAlong;
            float t = along;
            if (along < 0.0f) {
                if (!simple && !startCap) continue;
                t = 0.0f;
            } else if (along > 1.0f) {
                if (!simple && !endCap) continue;
                if (endWedge && Dot2(Sub(centre, B), nextMetricAb) >= 0.0f) continue;
                t = 1.0f;
            }
            const float z = InterpolateDepth(a.z, b.z, t, parallel_);
            const float u = PieceStrokeCoordinate(a.u, b.u, t);
            const Point2 onPiece = Add(A, Mul(ab, t));
            const bool mapPlaced = maps && PlaceMapContext(Mul(onPiece, 1.0f / os), z);
            const PixelFactors factors =
                varies ? Factors(Mul(onPiece, 1.0f / os), z, u, mapPlaced) : PixelFactors{};
            const float sizeFactor = std::min(factors.size, 1.0f);
            // Rake and random cells along the stroke.
            const float cells = (rake || random) ? u * total_ / cellLength_ : 0.0f;
            float widthFactor = 1.0f;
            if (random) {
                const float n = StrokeNoise(typeSeed_ ^ 0x9A1Du, cells / float(kWidthCells),
                                            cellPeriod_ / kWidthCells);
                widthFactor += widthRange * (2.0f * n - 1.0f);
            }
            const float r = halfSize * sizeFactor;
            float coverage = 0.0f;
            if (simple) {
                coverage = SimplePieceCoverage(centre, A, B, width * sizeFactor * widthFactor,
                                               brush_.anti, ctx_.oversampling, coverStart);
            } else {
                if (!(r > 0.0f)) continue;
                coverage = StampCoverage(Sub(centre, onPiece), r * widthFactor, cells);
            }
            if (!(coverage > 0.0f)) continue;
            if (rake) {
                // Tines run along the piece; a pixel's box filter spans one buffer pixel.
                if (!(r > 0.0f)) continue;
                coverage *= RakeCoverage(rake_, Dot2(rel, normal) / r, 0.5f / r, cells);
                if (!(coverage > 0.0f)) continue;
            }
            coverage = std::min(1.0f, coverage * brush_.alpha * factors.alpha);
            if (!(coverage > 0.0f)) continue;
            std::array<float, 3> colour = color_;
            if (mapPlaced && colorMap_) {
                const ColorFloat m = brush_.colorMap->EvalColor(mapContext_);
                const float o = brush_.colorMapOpacity;
                colour = {colour[0] + (m.r - colour[0]) * o, colour[1] + (m.g - colour[1]) * o,
                          colour[2] + (m.b - colour[2]) * o};
            }
            Accumulate(x, y, coverage, z, colour);
        }
    }
}

// Within one copy a pixel keeps its strongest stamp, so overlapping stamps and pieces never
// build up: the copy is blended once per pixel.
void SlotDrawer::Accumulate(int32_t x, int32_t y, float coverage, float key,
                            const std::array<float, 3>& colour) {
    int32_t& slot = index_.At(x, y / threads_);
    if (slot == 0) {
        pixels_.push_back(Pixel{x, y, 0.0f, key, colour[0], colour[1], colour[2]});
        slot = int32_t(pixels_.size());
    }
    Pixel& p = pixels_[size_t(slot - 1)];
    if (coverage > p.coverage) {
        p.coverage = coverage;
        p.key = key;
        p.r = colour[0];
        p.g = colour[1];
        p.b = colour[2];
    }
}

void SlotDrawer::Flush() {
    size_t done = 0;
    for (const Pixel& p : pixels_) {
        // A wide brush's copy can cover millions of sub-pixels.
        if (++done % 65536 == 0 && info_ && info_->IsAborted()) {
            aborted_ = true;
            break;
        }
        index_.At(p.x, p.y / threads_) = 0;
        LineFragment f;
        f.coverage = p.coverage;
        f.alpha = p.coverage;
        f.key = p.key;
        f.r = p.r * p.coverage;
        f.g = p.g * p.coverage;
        f.b = p.b * p.coverage;
        f.id = id_;
        // Each copy flushes a sub-pixel once, so its id is new there.
        ctx_.buffer->AppendNew(p.x, p.y, f);
    }
    if (aborted_) {
        for (const Pixel& p : pixels_) {
            index_.At(p.x, p.y / threads_) = 0;
        }
    }
    pixels_.clear();
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
    return kind >= 0 && kind < int32_t(kKindClass.size()) ? kKindClass[size_t(kind)] : 0;
}

uint8_t SegmentStrokeClass(int32_t kind, bool strokeHasOutline) {
    if (kind == 2 && strokeHasOutline) return kKindClass[0];
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
    buffer.PrepareThreads(threadCount);
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
                    context.slotSeed = setSeed + 1023 * drawn;
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
