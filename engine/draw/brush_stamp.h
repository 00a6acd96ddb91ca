// Brush stamping, the parts that need no fragment buffer: the stamp images of the normal and
// multiple brush types, built once per slot before the drawing threads start and read-only while
// they run, and the pure per-piece rules of the stamper (half-width, stretch extent, the simple
// brush's cross profile, how a copy's stamp is laid, the pixels a piece may cover, the rake and
// random stroke types, the order of the size and alpha factors).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "draw_settings.h"
#include "geometry.h"

namespace KvrnLib {

// Mono value of the brush map at stamp coordinates (u, v) in [0, 1]^2, normally 0 to 1. The
// driver evaluates the brush's TexmapInterface in a 2D context there. Called on one thread.
using StampMapSampler = std::function<float(float u, float v)>;

// The stamp's value at (u, v) in [0, 1]^2, before the brush map: the rotated (seed 0: by
// `angle` only), stretched and grooved disc of radius 1 with the radial falloff S(f), times the
// dot pattern for the multiple type. `seed` is the stamp's 16-bit seed value. Any brushType other
// than normal or multiple draws the simple disc. Not finite u or v gives 0.
float StampShape(const BrushDrawSettings& brush, float u, float v, uint32_t seed);

// The angle in degrees at which the stamp of `seed` was drawn: `angle`, plus for seeds other
// than 0 a random part of up to +-angleRnd / 2 taken from the seed.
float StampImageAngle(const BrushDrawSettings& brush, uint32_t seed);

// True when every stamp image of the brush depends only on the distance from its centre
// measured in its stretched frame, and never grows with it (an ungrooved normal stamp without a
// brush map and with a falloff rather than a ring), so a line of stamps covers a pixel by its
// distance to the line in that frame.
bool StampIsRadial(const BrushDrawSettings& brush);

// The ten seeds of a slot's stamp cache: successive steps of the 16-bit generator from
// lineSetSeed + 4095 * slotsDrawn + 127 (slotsDrawn: slots already drawn for this line set and
// class), mod 2^32.
std::array<uint16_t, 10> StampSeeds(int32_t lineSetSeed, int32_t slotsDrawn);

// Extra size, in line-size pixels, that a piece reserves around a stamp for its soft edge.
inline constexpr float kStampAntialiasMargin = 1.0f;

struct StampCache {
    static constexpr int32_t kImageCount = 10;
    static constexpr int32_t kImageSize = 64;
    static constexpr int32_t kRowLength = kImageSize + 2;  // a border pixel on each side
    static constexpr int32_t kStoredImageSize = kRowLength * kRowLength;

    int32_t imageCount = 0;
    int32_t imageSize = 0;
    int32_t rowLength = 0;
    int32_t storedImageSize = 0;
    float antialiasMargin = kStampAntialiasMargin;
    std::array<uint16_t, kImageCount> seeds{};
    // imageCount images of storedImageSize bytes; row y (from -1) starts at (y + 1) * rowLength.
    std::vector<uint8_t> pixels;

    // Byte of image `index` at stamp pixel (x, y), x and y from -1 to 64; 0 outside.
    uint8_t At(int32_t index, int32_t x, int32_t y) const;
    // Bilinear value in [0, 1] of image `index` at (u, v), pixel centres at ((x + 0.5) / 64,
    // (y + 0.5) / 64); 0 beyond the border pixels. The border makes the rim fade to the
    // neighbouring values instead of being cut.
    float Sample(int32_t index, float u, float v) const;
};

// One image per seed: byte = floor(255 * clamp(shape * map, 0, 1) + 0.5) for x and y from -1 to
// 64, with shape = StampShape((x + 0.5) / 64, (y + 0.5) / 64, seed) and map = 1 - mapOpacity +
// mapOpacity * brushMap(u, v) when a sampler is given. Throws LineEffectException "brush cache
// error." when the brush type is out of range, the sampler throws or memory runs out.
StampCache BuildStampCache(const BrushDrawSettings& brush, const std::array<uint16_t, 10>& seeds,
                           const StampMapSampler& brushMap = {});

// Half-width of a piece in buffer pixels: oversampling * w * 0.5 with w = lineSize + margin + 1
// for line sizes of 2 or more, else (margin + 1) * lineSize.
float PieceHalfWidth(float lineSize, float margin, int32_t oversampling);

// Factors on the stamp's extent along its first axis (the stamp angle's direction) and its second
// axis for stretch s: 1 / (1 + 5s) along the first when s > 0, 1 / (1 - 5s) along the second when
// s < 0, else 1.
struct StampExtent {
    float along = 1.0f;
    float across = 1.0f;
};
StampExtent StretchExtent(float stretch);

// The simple brush: a line of `width` box-filtered across by a filter 1 + anti * oversampling
// buffer pixels wide, so the coverage summed across the line is exactly `width` for any filter
// when the width is whole, and for any width when anti is 0; a 1-pixel line of length L covers L.
// Distances and widths in buffer pixels. The profile reaches SimpleBrushReach from the centre.
float SimpleBrushCoverage(float distance, float width, float anti, int32_t oversampling);
float SimpleBrushReach(float width, float anti, int32_t oversampling);
// The antialias margin to use with PieceHalfWidth for the simple brush: the half-width then holds
// the whole profile for lines of 1 output pixel and more. Thinner lines (hairlines) reach past
// PieceHalfWidth to SimpleBrushReach.
inline float SimpleBrushMargin(float anti) { return 1.0f + anti; }

// Coverage of the buffer pixel centred at `centre` by a simple-brush piece from a to b: the pixel
// must lie after the start (or at it, when `coverStart`: the piece does not continue the previous
// one) and not beyond the end, measured along the piece; across, SimpleBrushCoverage. So pieces
// sharing an end point cover it once. A piece of zero length covers nothing.
float SimplePieceCoverage(Point2 centre, Point2 a, Point2 b, float width, float anti,
                          int32_t oversampling, bool coverStart);

// Stroke coordinate at parameter t along a piece whose ends have u0 and u1, limited to 0 to 1.
float PieceStrokeCoordinate(float u0, float u1, float t);

// A 2 x 2 matrix on pixel offsets.
struct StampFrame {
    float xx = 1.0f, xy = 0.0f, yx = 0.0f, yy = 1.0f;
    Point2 Apply(Point2 v) const { return {xx * v.x + xy * v.y, yx * v.x + yy * v.y}; }
};
// Takes a pixel offset from a copy's stamp centre to the offset in an image drawn at imageAngle
// with imageStretch (the brush's) that shows it at the copy's angle and stretch: turned into the
// frame of the copy's angle as StampShape turns a point, stretched there from the image's
// stretch to the copy's, turned back by the image's angle. Identity when the two agree. Degrees.
StampFrame CopyStampFrame(float imageAngle, float imageStretch, float copyAngle, float copyStretch);
// The metric Q^T Q of a copy's stamp, Q taking a pixel offset into the stamp's stretched frame;
// exactly the identity without stretch. A stamp's covered shape is a disc in this metric.
StampFrame CopyStampMetric(float copyAngle, float copyStretch);

// The x range of pixel centres in one buffer row that a piece may cover, as the union of parts
// of its capsule; empty while lo > hi.
struct RowSpan {
    float lo = std::numeric_limits<float>::infinity();
    float hi = -std::numeric_limits<float>::infinity();

    // Points p of row y within `reach` of the line through `from` with unit normal `normal`,
    // whose position (p - from) . alongVec lies between s0 and s1.
    void AddBand(Point2 from, Point2 alongVec, float s0, float s1, Point2 normal, float reach,
                 float y);
    // Points of row y within `reach` of `centre`; with `wedge`, only those p with
    // (p - centre) . v >= -slack for both v (unit or zero).
    void AddDisc(Point2 centre, float reach, float y, const std::array<Point2, 2>* wedge = nullptr,
                 float slack = 0.0f);
};

// Smooth value noise along a stroke coordinate s (in cells), in [0, 1]: a hashed value per whole
// cell, blended to the next by a smoothstep. With period > 0 the cells repeat every period
// cells, so a loop closes without a seam. Deterministic for a seed; not finite s counts as 0.
float StrokeNoise(uint32_t seed, float s, int32_t period = 0);
// A well-mixed 32-bit hash of two values, for per-copy and per-cell random choices.
uint32_t StrokeHash(uint32_t a, uint32_t b);

// The rake stroke type: parallel tines across the stroke, each with its own offset, width and
// strength; a tine's strength also wanders along the stroke, so streaks fade in and out.
struct RakeTine {
    float centre = 0.0f;     // across the stroke, -1 to 1
    float halfWidth = 0.0f;  // same unit
    float strength = 1.0f;   // 0 to 1
    uint32_t seed = 0;
};
struct RakeTines {
    static constexpr int32_t kMaxCount = 48;
    std::array<RakeTine, kMaxCount> tines{};
    int32_t count = 0;
    float spacing = 0.0f;  // between tine centres, same unit as centre
};
// About one tine per 2.5 pixels of line size, at least 3 and at most kMaxCount.
RakeTines MakeRakeTines(float lineSize, uint32_t seed);
// Coverage in [0, 1] of a pixel at `across` (-1 to 1 spans the stroke) whose box filter reaches
// `filterHalf` to each side (same unit; > 0 keeps thin tines anti-aliased) at stroke coordinate
// `along` (in cells of StrokeNoise).
float RakeCoverage(const RakeTines& rake, float across, float filterHalf, float along);

// The random stroke type: the stamp image at stroke coordinate s (in cells of about a brush
// width) is a smooth blend of the image chosen for this cell and the one for the next.
struct StampBlend {
    int32_t first = 0;
    int32_t second = 0;
    float weight = 0.0f;  // of `second`
};
StampBlend RandomStampAt(uint32_t seed, float s, int32_t imageCount, int32_t period = 0);
// How far the random stroke type varies the line width: simple brushes by this share of the
// width (they have no images to vary), stamps by the smaller one on top of their images.
inline constexpr float kRandomSimpleWidthRange = 0.3f;
inline constexpr float kRandomStampWidthRange = 0.15f;

// What a drawn pixel's size and alpha are multiplied by. Absent inputs stay 1.
struct PixelFactorInputs {
    // The line set's size and alpha reductions for the class at the pixel's point.
    float sizeReduction = 1.0f;
    float alphaReduction = 1.0f;
    // The brush detail's size and alpha curves at the pixel's stroke coordinate.
    float sizeCurve = 1.0f;
    float alphaCurve = 1.0f;
    float sizeMapValue = 1.0f;   // the size map's mono value at the pixel's point
    float sizeMapAmount = 0.0f;  // BrushDrawSettings::sizeMapAmount
};
struct PixelFactors {
    float size = 1.0f;
    float alpha = 1.0f;
};
// From 1, multiplied in this order by the reductions, the curves, and for the size by the size
// map's clamp((m - 1) * amount + 1, 0, 1), which can only thin the line.
PixelFactors BrushPixelFactors(const PixelFactorInputs& in);

}  // namespace KvrnLib
