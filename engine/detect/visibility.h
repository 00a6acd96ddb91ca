// Visibility of one clipped screen segment by sampling: 1 + trunc(1.5 L) samples, each tested by
// a ray from the viewer; runs of equal state become the visible and hidden pieces.
#pragma once

#include <cstdint>
#include <vector>

#include "edge_clip.h"
#include "occlusion.h"

namespace KvrnLib {

// Sample states: kSampleHidden selects the hidden class, kSampleOutline the outline side of a
// single-face edge, kSampleDropped removes the sample (behind a clipping plane, or masked).
inline constexpr uint8_t kSampleHidden = 1;
inline constexpr uint8_t kSampleOutline = 2;
inline constexpr uint8_t kSampleDropped = 4;

// Decides whether the face that hides a sample drops the hidden lines of this edge.
struct HiddenLineMask {
    virtual ~HiddenLineMask() = default;
    virtual bool Masks(int object, int face) const = 0;
};

struct ClipPlane {
    float a, b, c, d;  // a point with a x + b y + c z < -d lies behind it
};

struct VisibilityQuery {
    const OcclusionScene* occlusion = nullptr;
    const Camera* camera = nullptr;
    const OccluderFilter* filter = nullptr;      // faces that may not hide this edge; may be null
    const HiddenLineMask* hiddenMask = nullptr;  // may be null
    const std::vector<ClipPlane>* clipPlanes = nullptr;  // may be null
    // Single-face edges: the side test looks 0.01 pixel towards `outward` (unit, screen space,
    // away from the edge's front face) for a surface of `object` behind the edge.
    bool singleFace = false;
    int object = -1;
    Point2 outward;
};

// A run of equal state, in screen parameters of the clipped segment (0 at s0, 1 at s1).
struct VisibilityRun {
    float from = 0.0f, to = 1.0f;
    uint8_t state = 0;
};

// Appends the runs of `segment` to `runs` (cleared first); dropped runs are left out.
void SampleVisibility(const VisibilityQuery& query, const ClippedSegment& segment,
                      std::vector<VisibilityRun>* runs);

// Samples a segment of screen length `length` gets.
int SampleCount(float length);

}  // namespace KvrnLib
