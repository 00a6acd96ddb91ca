// Engine form of the drawing settings: one BrushDrawSettings per edge group and visibility
// class, one LineSetDrawSettings per line set (in line-set order, matching the connection
// results), and the frame's DrawSettings. Built by the render driver once per frame; read-only
// while the drawing threads run. Percent parameters are stored as fractions (value / 100), angles
// in degrees, lengths in output pixels. Maps and curves are shared and may be empty.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "draw_interfaces_fwd.h"
#include "line_effect_draw_delegate.h"

namespace KvrnLib {

enum BrushType : int32_t {
    kBrushSimple = 0,
    kBrushNormal = 1,
    kBrushMultiple = 2,
};

enum StrokeType : int32_t {
    kStrokeNormal = 0,
    kStrokeRake = 1,
    kStrokeRandom = 2,
};

// The brush detail's `type` (0 "Normal", 1 "Multiple", 2 "Simple") as an engine brush type.
// Values outside 0-2 give the simple brush.
BrushType BrushTypeOfDetailType(int32_t detailType);

// Defaults are those a new brush and brush detail produce.
struct BrushDrawSettings {
    int32_t brushType = kBrushSimple;
    float lineSize = 1.0f;  // pixels
    float strokeSizeRnd = 0.0f;
    std::shared_ptr<const TexmapInterface> sizeMap;  // empty when sizeMapAmount is 0
    float sizeMapAmount = 1.0f;                      // 0 when `sizeMapEnable` is off
    std::array<float, 3> color{0.0f, 0.0f, 0.0f};
    float alpha = 1.0f;
    std::shared_ptr<const TexmapInterface> colorMap;  // empty when colorMapOpacity is 0
    float colorMapOpacity = 1.0f;                     // 0 when `colorMapEnable` is off
    int32_t blend = 0;                                // blend mode 0-15
    std::shared_ptr<const TexmapInterface> brushMap;  // the detail's `map`; empty at opacity 0
    float mapOpacity = 1.0f;                          // 0 when `mapEnable` is off

    // Stamp shape (normal and multiple brushes).
    float angle = 0.0f;     // degrees
    float angleRnd = 0.0f;  // degrees
    float stretch = 0.0f;   // -1 to 1
    float stretchRnd = 0.0f;
    float groove = 0.0f;
    int32_t grooveNum = 5;
    float stampSize = 0.16f;  // the detail's `size`: dot radius of the multiple brush
    float sizeRnd = 0.8f;
    float anti = 0.5f;  // edge softness, 0 to 10
    float hSpace = 0.1f;
    float hSpaceRnd = 1.0f;
    float vSpace = 0.1f;
    float vSpaceRnd = 1.0f;
    float reductionStart = 1.0f;  // radial falloff, fractions of the stamp radius
    float reductionEnd = 1.0f;

    // Stroke rules.
    float strokeDirectionAngle = -30.0f;  // degrees
    uint8_t loopRight = 0;                // 1 when `strokeLoopDirection` is 0 "Right"
    float strokeMinLength = 0.0f;         // pixels
    uint8_t dashed = 0;                   // `strokeStyle` is not 0
    float strokeLength = 5.0f;            // dash length, pixels
    float strokeLengthRnd = 0.0f;
    float strokeSpace = 5.0f;  // gap length, pixels
    float strokeSpaceRnd = 0.0f;
    int32_t strokeCopy = 1;
    int32_t strokeCopyRnd = 0;
    float strokeExtend = 0.0f;  // pixels
    float strokeeExtendRnd = 0.0f;
    float strokeOffsetX = 0.0f;  // pixels, like the three below
    float strokeOffsetY = 0.0f;
    float strokeOffsetXRnd = 0.0f;
    float strokeOffsetYRnd = 0.0f;
    float strokeNormalOffset = 0.0f;  // pixels
    float strokeNormalOffsetRnd = 0.0f;
    int32_t strokeType = kStrokeNormal;

    // Distortion.
    float noiseAmount = 0.0f;  // pixels; 0 when `noiseEnable` is off
    float noiseAmountRandom = 0.0f;
    float noiseCycle = 100.0f;  // pixels
    float noiseCycleRandom = 0.0f;
    float noisePhase = 0.0f;  // degrees
    float noisePhaseRandom = 0.0f;
    std::shared_ptr<const TexmapInterface> noiseMap;  // empty when no noise map is used
    // Pixels of displacement per unit of map value, kept as shown (0 to 100), not a fraction;
    // 0 when `noiseMapEnable` is off.
    float noiseMapOpacity = 5.0f;

    // Colour range: per-copy offsets in RGB, or in hue, saturation and value.
    uint8_t colorRangeHSV = 0;
    float colorRangeR = 0.0f;
    float colorRangeG = 0.0f;
    float colorRangeB = 0.0f;

    // Size and alpha over the stroke coordinate; empty when the reduction is off.
    std::shared_ptr<const CurveInterface> sizeReductionCurve;
    std::shared_ptr<const CurveInterface> alphaReductionCurve;

    // Throws std::invalid_argument naming the field (after `prefix`) and the expected range.
    // Lengths that the size scale multiplies are checked for sign only, not for the editor's
    // upper limits, since scaling legitimately passes them.
    void Validate(const char* prefix = "") const;
};

inline constexpr int kDrawGroupCount = 10;

struct LineSetDrawSettings {
    LineSetId lineSetId = 1;
    int32_t seed = 0;
    std::array<BrushDrawSettings, kDrawGroupCount> visible;
    std::array<BrushDrawSettings, kDrawGroupCount> hidden;
    // Visible size, visible alpha, hidden size, hidden alpha; each may be empty.
    std::array<std::shared_ptr<const ReductionSettings>, 4> reductions;

    const BrushDrawSettings& Brush(bool hiddenClass, int group) const {
        return (hiddenClass ? hidden : visible)[size_t(group)];
    }
    const std::shared_ptr<const ReductionSettings>& SizeReduction(bool hiddenClass) const {
        return reductions[hiddenClass ? 2 : 0];
    }
    const std::shared_ptr<const ReductionSettings>& AlphaReduction(bool hiddenClass) const {
        return reductions[hiddenClass ? 3 : 1];
    }

    void Validate(const char* prefix = "") const;
};

struct DrawSettings {
    std::vector<LineSetDrawSettings> lineSets;
    std::vector<std::shared_ptr<const RenderElementOutputSettings>> renderElementOutputs;
    int32_t randomSeed = 0;
    int32_t oversampling = 1;       // 1, 2 or 4
    float filterWidth = 1.0f;       // antialiasing filter width in output pixels, >= 0
    uint8_t renderElementOnly = 0;  // the main line output is not wanted
    float randomCellSize = 8.0f;    // pixels; LineRandom clamps it to at least 0.001

    // Checks every line set and brush too. Does not look inside the render-element outputs (the
    // drawing stage checks their rasters against the frame), only that none is empty.
    void Validate() const;
    // The frame's own fields only, for a caller that has checked the brushes it uses.
    void ValidateFrame() const;
};

// Relative sizes are given for an image 640 pixels high: scale = height * kRelativeSizeScale.
inline constexpr float kRelativeSizeScale = 0.0015625f;

// Copies with every length multiplied by `scale`: line size, minimum length, dash length and
// space, extension, the four offsets, the normal offset and its random, the noise amount and
// cycle, and (for DrawSettings) the random cell size. Throws std::invalid_argument unless scale
// is positive and finite.
BrushDrawSettings ScaleLengths(BrushDrawSettings brush, float scale);
DrawSettings ScaleLengths(DrawSettings settings, float scale);

}  // namespace KvrnLib
