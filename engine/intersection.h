// Intersection lines: where the faces of two objects (or of one object, when its line set asks
// for self-intersections) pass through each other. Candidate face pairs come from walking the
// two objects' face groupings (screen box and depth range) together.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "detection_result.h"
#include "detection_settings.h"
#include "edge_clip.h"
#include "occlusion.h"
#include "scene.h"
#include "thread_manager.h"
#include "visibility.h"

namespace KvrnLib {

// Object pairs (i <= j) that may intersect, in scene order: at least one takes part (screen
// bounds on the widened screen and a line set with intersections on), and their screen bounds
// and camera-space boxes overlap (touching counts).
std::vector<std::pair<int, int>> ListIntersectionPairs(const LineDetectionSettings& settings,
                                                       const Scene& scene, const ScreenRect& rect);

struct IntersectionScratch {
    std::vector<std::pair<int32_t, int32_t>> candidates;
    std::vector<VisibilityRun> runs;
};

// Computes one pair's intersection pieces (kind 2) into pair.visibleEdges and hiddenEdges.
// Polls the abort and reports progress every 256 candidate face pairs.
void IntersectPair(const Scene& scene, const LineDetectionSettings& settings,
                   const OcclusionScene& occlusion, const ScreenRect& rect, IntersectionPair& pair,
                   IntersectionScratch& scratch, const ThreadProcessInfo& info);

}  // namespace KvrnLib
