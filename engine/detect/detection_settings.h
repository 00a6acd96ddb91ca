// Settings record of the detection stage, built by the line render driver once per frame.
// Equality is exact (floats compared bit for bit as values), so an unchanged frame reuses the
// cached detection.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace KvrnLib {

// Edge kinds; bit 1 << kind in kind masks. Kinds 8 and 9 exist in every per-kind array but no
// line set enables them.
enum EdgeKind : int {
    kEdgeOutline = 0,
    kEdgeObject = 1,
    kEdgeIntersection = 2,
    kEdgeSmoothing = 3,
    kEdgeMaterialID = 4,
    kEdgeNormalAngle = 5,
    kEdgeWire = 6,
    kEdgeSelected = 7,
};
inline constexpr int kEdgeKindCount = 10;

// What one line set detects for one visibility class.
struct LineClassDetection {
    std::array<uint8_t, kEdgeKindCount> kind{};  // 1: kind drawn (enabled and has a brush)
    uint8_t openEdgeOutline = 0;
    uint8_t groupOutline = 0;
    uint8_t openEdgeObject = 0;
    uint8_t selfIsect = 0;
    float cosMin = -1.0f;  // cos(edgeNormalMin); normal-angle lines have cosMax <= d <= cosMin
    float cosMax = -1.0f;  // cos(edgeNormalMax)

    bool operator==(const LineClassDetection&) const = default;
};

struct LineSetDetection {
    LineClassDetection visible;
    LineClassDetection hidden;
    // This line set's objects drop the hidden lines of other line sets that they hide.
    uint8_t maskHiddenLinesOfOtherLinesets = 0;

    // The record of a line set that is switched off: no kinds, the switches on, cosines -1.
    static LineSetDetection Disabled();
    // Kind on for visible or hidden lines.
    bool AnyClassHas(int kind) const { return visible.kind[kind] || hidden.kind[kind]; }
    bool operator==(const LineSetDetection&) const = default;
};

// A set of faces of the scene: per render object a whole-object flag and a bit per face.
// Objects past the end of `objects` hold nothing.
struct FaceSelection {
    struct ObjectFaces {
        uint8_t wholeObject = 0;
        std::vector<uint64_t> faceBits;  // bit f % 64 of word f / 64; may be shorter than faces
        bool operator==(const ObjectFaces&) const = default;
    };
    std::vector<ObjectFaces> objects;

    bool Contains(int object, int face) const;
    bool Empty() const;
    bool operator==(const FaceSelection&) const = default;
};

// Line options of a material (the line-functions sub-material), one record per material in use.
struct MaterialLineFunctions {
    uint8_t isectDisable = 0;       // no intersection lines on faces of this material
    uint8_t maskingDisable = 0;     // its faces hide no lines
    FaceSelection maskingOff;       // targets whose lines its faces do not hide
    FaceSelection maskHiddenLines;  // targets whose hidden lines its faces drop
    bool operator==(const MaterialLineFunctions&) const = default;
};

struct ObjectDetection {
    // Lowest-indexed line set whose object table holds the object, or -1.
    int32_t defaultLineSet = -1;
    // Per sub-material slot: lowest-indexed line set whose material table holds that material,
    // or -1. When empty, defaultLineSet serves every face.
    std::vector<int32_t> materialLineSets;
    // Per sub-material slot: index into LineDetectionSettings::materialFunctions, or -1.
    std::vector<int32_t> materialFunctions;

    // Line set of a face with this material ID (modulo the map's size), or -1.
    int32_t LineSetOfMaterial(uint16_t materialID) const;
    // Line functions record of a face with this material ID, or -1.
    int32_t FunctionsOfMaterial(uint16_t materialID) const;
    bool operator==(const ObjectDetection&) const = default;
};

struct LineDetectionSettings {
    std::array<float, 4> offscreen{};  // left, right, top, bottom margins in pixels
    std::vector<LineSetDetection> lineSets;
    std::vector<ObjectDetection> objects;  // one per scene object, in scene order
    std::vector<MaterialLineFunctions> materialFunctions;

    bool operator==(const LineDetectionSettings&) const = default;
};

}  // namespace KvrnLib
