// Intersection lines: where the faces of two objects (or of one object, when its line set asks
// for self-intersections) pass through each other. Candidate face pairs come from walking the
// two objects' face groupings (screen box and depth range) together.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "detection_result.h"
#include "detection_settings.h"
#include "edge_clip.h"
#include "occlusion.h"
#include "render_object_info.h"
#include "scene.h"
#include "thread_manager.h"
#include "visibility.h"

namespace KvrnLib {

// Object pairs (i <= j) that may intersect, in scene order: at least one takes part (screen
// bounds on the widened screen and a line set with intersections on), and their screen bounds
// and camera-space boxes overlap (touching counts). Objects whose entry in `copyOf` is not -1
// (copies, see object_copies.h) are in no pair; an empty `copyOf` leaves none out.
std::vector<std::pair<int, int>> ListIntersectionPairs(const LineDetectionSettings& settings,
                                                       const Scene& scene, const ScreenRect& rect,
                                                       const std::vector<int32_t>& copyOf = {});

// Hierarchy over an object's usable faces for the intersection search: a binary radix tree over
// the Morton order of the object's FaceBoundingPack (split where the highest bit in which a
// range's first and last codes differ turns from 0 to 1), with leaves of at most `leafFaces`
// faces. Node bounds are screen boxes with depth ranges.
struct ISectTree {
    struct Node {
        FaceBoundingPack::Bound bound;
        int32_t index = 0;  // inner node: first of its two children; leaf: first entry in order
        int32_t count = 0;  // faces of a leaf, 0 for an inner node
    };
    std::vector<Node> nodes;  // node 0 is the root; empty when the object has no usable face
};

inline constexpr int kISectLeafFaces = 8;
inline constexpr int kISectMaxLeafFaces = 32;

// Builds the tree of one object; `leafFaces` is clamped to [1, kISectMaxLeafFaces].
std::shared_ptr<const ISectTree> CalcISectTree(const Scene& scene, int object, int leafFaces);

// The object's tree, built on first request (see RenderObjectInfoEx::IntersectionTree).
const ISectTree& RequestISectTree(const Scene& scene, int object);

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
