// Output of the detection stage: detected edge pieces per line set, visibility class, object and
// kind, plus the intersection pairs. Pieces live in ChunkedArrays, so connection can link them by
// pointer; the result is owned by the LineEffect until the settings change or the frame ends.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "chunked_array.h"
#include "detection_settings.h"
#include "edge_clip.h"
#include "geometry.h"

namespace KvrnLib {

struct DetectedEdge {
    int32_t kind = 0;
    Point2 p0, p1;               // screen positions of end 0 and end 1
    float z0 = 0.0f, z1 = 0.0f;  // camera-space depth of the ends
    int32_t object = 0;
    float length = 0.0f;  // screen length
    Point2 dir;           // unit direction p0 -> p1
    // Chain links written by connection: the following edge and the end (0/1) at which it is
    // entered; the preceding edge and its end that touches this one. Null at the chain's ends.
    DetectedEdge* next = nullptr;
    uint32_t nextEnd = 0;
    DetectedEdge* prev = nullptr;
    uint32_t prevEnd = 0;
    // The face the piece lies on, so drawing can evaluate maps and material colours there.
    int32_t face = -1;
    // Intersection pieces: the line set, the other object and its face (-1 when none).
    int32_t lineSet = -1;
    int32_t secondObject = -1;
    int32_t secondFace = -1;
};

// Sets a piece's ends, depths, length and direction from the part [from, to] (screen
// parameters) of a clipped segment of non-zero length.
void SetPieceGeometry(DetectedEdge* piece, const ClippedSegment& segment, float from, float to,
                      bool parallel);

using EdgeList = ChunkedArray<DetectedEdge>;

// Ten per-kind lists of one object.
struct ObjectEdges {
    std::array<EdgeList, kEdgeKindCount> kinds;
};

struct LineSetEdges {
    std::vector<ObjectEdges> visible;  // one per scene object
    std::vector<ObjectEdges> hidden;
};

struct IntersectionPair {
    int32_t objectA = 0;
    int32_t objectB = 0;  // equal to objectA for self-intersection
    EdgeList visibleEdges;
    EdgeList hiddenEdges;
};

struct DetectionResult {
    std::vector<LineSetEdges> lineSets;
    std::vector<IntersectionPair> pairs;

    // Sizes the per-line-set lists: every worker then appends only to its own object's lists.
    void Reset(int lineSetCount, int objectCount);
};

}  // namespace KvrnLib
