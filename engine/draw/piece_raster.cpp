#include "piece_raster.h"

#include <algorithm>
#include <cmath>

#include "render_object_info.h"
#include "stroke_walk.h"

namespace KvrnLib {

namespace {

constexpr int32_t kAbortPollPieces = 64;
// Salt of the random type's width noise.
constexpr uint32_t kSaltRandomWidth = 0x9A1Du;

}  // namespace

PieceRaster::PieceRaster(const SlotContext& context, int32_t thread, int32_t threadCount)
    : ctx_(context),
      brush_(*context.brush),
      thread_(thread),
      threads_(threadCount),
      mapContext_(*context.scene) {
    subWidth_ = ctx_.buffer->SubWidth();
    subHeight_ = ctx_.buffer->SubHeight();
    parallel_ = ctx_.camera->parallel == 1;
    sizeMap_ = brush_.sizeMap && brush_.sizeMapAmount != 0.0f;
    colorMap_ = brush_.colorMap && brush_.colorMapOpacity != 0.0f;
    wedgeJoints_ = brush_.strokeType == kStrokeRake || brush_.strokeType == kStrokeRandom ||
                   StampIsRadial(brush_);
    // Sampled between pixel centres, an image spreads by up to a diagonal of its pixels, which
    // the image's stretch widens; a copy's own stretch only narrows it.
    stampReach_ = 1.0f + std::sqrt(2.0f) / float(StampCache::kImageSize / 2) *
                             (1.0f + 5.0f * std::fabs(brush_.stretch));
    if (brush_.strokeType == kStrokeRandom) stampReach_ *= 1.0f + kRandomStampWidthRange;
}

Point3 PieceRaster::FaceWeights(Point2 screen) const {
    const RenderObjectInfoEx& info = ctx_.scene->Info(object_);
    const FaceRecord& face = ctx_.scene->Object(object_).faces[size_t(face_)];
    const std::vector<Point2>& points = info.ScreenPoints();
    const Point2 pa = points[size_t(face.vertexA)], pb = points[size_t(face.vertexB)],
                 pc = points[size_t(face.vertexC)];
    const float area = Cross(pb - pa, pc - pa);
    if (!(std::fabs(area) > 0.0f)) return {1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f};
    float wb = Cross(screen - pa, pc - pa) / area;
    float wc = Cross(pb - pa, screen - pa) / area;
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

bool PieceRaster::PlaceMapContext(Point2 screen, float z) {
    if (object_ < 0 || object_ >= ctx_.scene->ObjectCount() || face_ < 0) return false;
    const RenderObject& object = ctx_.scene->Object(object_);
    if (object.invalid || size_t(face_) >= object.faces.size()) return false;
    mapContext_.Set(object_, face_, FaceWeights(screen), screen, z);
    return true;
}

PixelFactors PieceRaster::Factors(Point2 screen, float z, float u, bool mapPlaced) const {
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

float PieceRaster::StampCoverage(Point2 d, float r, float s) const {
    const float scale = 0.5f / r;
    auto sample = [&](int32_t image) {
        const Point2 p = copy_.frames[size_t(image)].Apply(d);
        return ctx_.stamps->Sample(image, 0.5f + p.x * scale, 0.5f + p.y * scale);
    };
    if (brush_.strokeType != kStrokeRandom) return sample(copy_.stampIndex);
    const StampBlend blend =
        RandomStampAt(copy_.typeSeed, s, ctx_.stamps->imageCount, copy_.cellPeriod);
    const float first = sample(blend.first);
    if (blend.second == blend.first || blend.weight == 0.0f) return first;
    return first + (sample(blend.second) - first) * blend.weight;
}

void PieceRaster::Draw(const Piece& piece, const Piece* next) {
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
    const Point2 ab = B - A;
    const float len2 = Dot(ab, ab);
    const float length = std::sqrt(len2);
    const Point2 dir = ab * (1.0f / length);
    const Point2 normal{-dir.y, dir.x};
    const bool coverStart = !piece.continues;

    const bool simple = !ctx_.stamps || brush_.brushType == kBrushSimple;
    const bool rake = brush_.strokeType == kStrokeRake;
    const bool random = brush_.strokeType == kStrokeRandom;
    const bool maps = sizeMap_ || colorMap_;
    const bool varies = maps || ctx_.sizeReduction || ctx_.alphaReduction ||
                        brush_.sizeReductionCurve || brush_.alphaReductionCurve;
    // Size factors are limited to 1, so the copy's full size bounds what a piece covers.
    const float width = std::max(copy_.lineSize, 0.0f) * os;
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
    const StampFrame g = simple ? StampFrame{} : copy_.metric;
    auto metric = [&g](Point2 v) { return g.Apply(v); };
    auto unit = [](Point2 v) {
        const float l = Length(v);
        return l > 0.0f ? v * (1.0f / l) : Point2{};
    };
    const Point2 metricAb = metric(ab);
    const float invAlong = 1.0f / Dot(ab, metricAb);
    if (!std::isfinite(invAlong) || !(invAlong > 0.0f)) return;
    const Point2 alongVec = metricAb * invAlong;
    const Point2 nextMetricAb = next ? metric(next->to - next->from) : Point2{};
    const bool endWedge = endCap && wedgeJoints_ && next;
    const std::array<Point2, 2> wedge{unit(metricAb), unit(nextMetricAb) * -1.0f};

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
        const float alongSlack = kSlack * Length(alongVec);
        span.AddBand(A, alongVec, -alongSlack, 1.0f + alongSlack, normal, reach + kSlack, cy);
        if (startCap) span.AddDisc(A, reach + kSlack, cy);
        if (endCap) span.AddDisc(B, reach + kSlack, cy, endWedge ? &wedge : nullptr, kSlack);
        if (!(span.lo <= span.hi)) continue;
        const int32_t x0 = std::max(clampIndex(std::ceil(span.lo - 0.5f), subWidth_), 0);
        const int32_t x1 =
            std::min(clampIndex(std::floor(span.hi - 0.5f), subWidth_), subWidth_ - 1);
        for (int32_t x = x0; x <= x1; ++x) {
            const Point2 centre{float(x) + 0.5f, cy};
            const Point2 rel = centre - A;
            const float along = Dot(rel, metricAb) * invAlong;
            float t = along;
            if (along < 0.0f) {
                if (!simple && !startCap) continue;
                t = 0.0f;
            } else if (along > 1.0f) {
                if (!simple && !endCap) continue;
                if (endWedge && Dot(centre - B, nextMetricAb) >= 0.0f) continue;
                t = 1.0f;
            }
            const float z = InterpolateDepth(a.z, b.z, t, parallel_);
            const float u = PieceStrokeCoordinate(a.u, b.u, t);
            const Point2 onPiece = A + ab * t;
            const bool mapPlaced = maps && PlaceMapContext(onPiece * (1.0f / os), z);
            const PixelFactors factors =
                varies ? Factors(onPiece * (1.0f / os), z, u, mapPlaced) : PixelFactors{};
            const float sizeFactor = std::min(factors.size, 1.0f);
            // Rake and random cells along the stroke.
            const float cells = (rake || random) ? u * copy_.total / copy_.cellLength : 0.0f;
            float widthFactor = 1.0f;
            if (random) {
                const float n =
                    StrokeNoise(copy_.typeSeed ^ kSaltRandomWidth, cells / float(kRandomWidthCells),
                                copy_.cellPeriod / kRandomWidthCells);
                widthFactor += widthRange * (2.0f * n - 1.0f);
            }
            const float r = halfSize * sizeFactor;
            float coverage = 0.0f;
            if (simple) {
                coverage = SimplePieceCoverage(centre, A, B, width * sizeFactor * widthFactor,
                                               brush_.anti, ctx_.oversampling, coverStart);
            } else {
                if (!(r > 0.0f)) continue;
                coverage = StampCoverage(centre - onPiece, r * widthFactor, cells);
            }
            if (!(coverage > 0.0f)) continue;
            if (rake) {
                // Tines run along the piece; a pixel's box filter spans one buffer pixel.
                if (!(r > 0.0f)) continue;
                coverage *= RakeCoverage(copy_.rake, Dot(rel, normal) / r, 0.5f / r, cells);
                if (!(coverage > 0.0f)) continue;
            }
            coverage = std::min(1.0f, coverage * brush_.alpha * factors.alpha);
            if (!(coverage > 0.0f)) continue;
            std::array<float, 3> colour = copy_.color;
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
void PieceRaster::Accumulate(int32_t x, int32_t y, float coverage, float key,
                             const std::array<float, 3>& colour) {
    LineFragment& f = ctx_.buffer->CopyFragment(x, y, copy_.id);
    if (coverage > f.coverage) {
        f.coverage = coverage;
        f.alpha = coverage;
        f.key = key;
        f.r = colour[0] * coverage;
        f.g = colour[1] * coverage;
        f.b = colour[2] * coverage;
    }
}

}  // namespace KvrnLib
