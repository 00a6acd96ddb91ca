// The piece rasteriser: the straight pieces of a stroke copy laid into one drawing thread's rows of
// the over-sampled buffer with the copy's brush (the simple profile, stamps, rake tines, random
// widths, maps and reductions). Within a copy a sub-pixel keeps its strongest stamp in one fragment
// of the work buffer, so overlapping stamps and pieces of a copy never build up.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "brush_stamp.h"
#include "connection.h"
#include "draw_settings.h"
#include "line_effect_draw_delegate.h"
#include "line_raster.h"
#include "reduction.h"
#include "scene.h"
#include "texmap_context.h"
#include "thread_manager.h"

namespace KvrnLib {

// What every drawing thread of a slot reads.
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

// Cells of the random stroke type over which its width wanders once.
inline constexpr int32_t kRandomWidthCells = 3;

// The copy being drawn, as the rasteriser needs it; set by the slot's stroke loop per copy.
struct CopyLook {
    uint32_t id = 0;        // fragment id: unique per copy of a stroke within the slot
    float lineSize = 1.0f;  // output pixels
    std::array<float, 3> color{};
    int32_t stampIndex = 0;
    std::array<StampFrame, StampCache::kImageCount> frames{};
    // A stamp is laid along a piece by the nearest point in the copy's metric, so that a
    // stretched stamp sweeps its full width and radial stamps stay radial.
    StampFrame metric;
    uint32_t typeSeed = 0;  // rake and random types
    RakeTines rake;
    // Rake and random cells along the stroke, in output pixels; loops wrap every period cells.
    float cellLength = 1.0f;
    int32_t cellPeriod = 0;
    float total = 1.0f;  // the stroke's length with its extensions, output pixels
};

// One drawing thread's rasteriser for one slot: writes only the buffer rows y with
// y mod threadCount = thread.
class PieceRaster {
  public:
    PieceRaster(const SlotContext& context, int32_t thread, int32_t threadCount);
    PieceRaster(const PieceRaster&) = delete;
    PieceRaster& operator=(const PieceRaster&) = delete;

    CopyLook& Copy() { return copy_; }
    // The detected edge the next pieces come from, for the maps (object or face -1: none).
    void SetFace(int32_t object, int32_t face) {
        object_ = object;
        face_ = face;
    }
    // Polled every few pieces: one stroke of a wide brush can take seconds.
    void SetAbortSource(const ThreadProcessInfo* info) { info_ = info; }
    bool Aborted() const { return aborted_; }

    // Pixels are visited row by row over the part of the piece's capsule that can be covered:
    // the band beside the piece and, for stamps, the round ends; an end continued by `next`
    // (may be null) covers only the wedge outside that piece's band when joints are wedged.
    void Draw(const Piece& piece, const Piece* next);

  private:
    // The stamp at pixel offset d from its centre, at half size r, for stroke coordinate s (in
    // cells along the stroke): the copy's image, or for the random type a blend of two.
    float StampCoverage(Point2 d, float r, float s) const;
    void Accumulate(int32_t x, int32_t y, float coverage, float key,
                    const std::array<float, 3>& colour);
    // Barycentric weights on the current face of a screen point; PlaceMapContext sets the map
    // context there, false when the piece has no face.
    Point3 FaceWeights(Point2 screen) const;
    bool PlaceMapContext(Point2 screen, float z);
    PixelFactors Factors(Point2 screen, float z, float u, bool mapPlaced) const;

    const SlotContext& ctx_;
    const BrushDrawSettings& brush_;
    const int32_t thread_;
    const int32_t threads_;
    int32_t subWidth_ = 0;
    int32_t subHeight_ = 0;
    bool parallel_ = false;
    bool sizeMap_ = false;
    bool colorMap_ = false;
    TexmapContext3D mapContext_;
    int32_t object_ = -1;
    int32_t face_ = -1;
    const ThreadProcessInfo* info_ = nullptr;
    int32_t piecesSincePoll_ = 0;
    bool aborted_ = false;

    // Per slot: whether an interior joint draws only the wedge outside both pieces (exact for
    // radial stamps, and keeps the streaks of the rake and random types continuous); the covered
    // radius of a stamp over its half size.
    bool wedgeJoints_ = false;
    float stampReach_ = 1.0f;

    CopyLook copy_;
};

}  // namespace KvrnLib
