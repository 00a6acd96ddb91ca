// Intersection lines: where the faces of two objects (or of one object, when its line set asks
// for self-intersections) pass through each other. Candidate face pairs come from walking the
// two objects' face groupings (screen box and depth range) together.
#pragma once

#include <cstdint>
#include <functional>
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

// A pair of tree nodes, of object A's tree and object B's, where a candidate walk starts.
struct WalkStart {
    int32_t a = 0, b = 0;
};

// Splits the candidate walk of objects a and b (a == b: the self-intersection walk) into parts:
// the node pairs `depth` levels below the roots, and those the walk finishes with above that
// depth, in walk order. Walking each in turn meets the same face pairs, in the same order, as one
// walk from the roots. Requests both objects' trees.
std::vector<WalkStart> CandidateWalkStarts(const Scene& scene, int objectA, int objectB, int depth);

struct IntersectionScratch {
    std::vector<std::pair<int32_t, int32_t>> candidates;
    std::vector<VisibilityRun> runs;
};

// Where pieces go: returns a new piece of the visible or the hidden class, to be filled before
// the next call.
using PieceSink = std::function<DetectedEdge&(bool hidden)>;

// Computes the intersection pieces (kind 2) met by walking from starts [0, startCount) of the
// pair's walk (the whole walk when `starts` is null) into `sink`. Polls the abort and reports
// progress every 256 candidate face pairs.
void IntersectPair(const Scene& scene, const LineDetectionSettings& settings,
                   const OcclusionScene& occlusion, const ScreenRect& rect,
                   const IntersectionPair& pair, const WalkStart* starts, size_t startCount,
                   const PieceSink& sink, IntersectionScratch& scratch,
                   const ThreadProcessInfo& info);

}  // namespace KvrnLib
