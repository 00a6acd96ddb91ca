// Strokes: chains of detected edges linked in place, which a brush draws in one pass; and the
// chain operations that both connection phases share (tangent sampling, corner splitting,
// reversal, mutual-best pairing of end points).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "chunked_array.h"
#include "detection_result.h"
#include "geometry.h"

namespace KvrnLib {

struct Stroke {
    float length = 0.0f;  // sum of the edge lengths (bridged gaps not counted)
    uint8_t loop = 0;     // 1 when the last edge links back to the first
    DetectedEdge* first = nullptr;
    uint32_t firstEnd = 0;  // end of `first` at which the stroke starts
    DetectedEdge* last = nullptr;
    uint32_t lastEnd = 0;  // end of `last` at which the stroke stops
    Point2 startDir;       // unit tangent at the start, into the stroke
    Point2 endDir;         // unit tangent at the end, back into the stroke
};

using StrokeList = ChunkedArray<Stroke>;

// One interior joint of a chain: the tangents leaving it forwards and backwards, and
// turn = -(fwd . bwd): 1 straight on, -1 a full reversal.
struct JointRecord {
    Point2 fwd, bwd;
    float turn = 0.0f;
};

// Strokes shorter than this are never split, and no split lies closer than this to an end.
inline constexpr float kCornerMargin = 3.0f;

// Screen position of end `end` (0 or 1) of an edge.
inline Point2 EndPoint(const DetectedEdge& edge, uint32_t end) { return end ? edge.p1 : edge.p0; }
inline float EndDepth(const DetectedEdge& edge, uint32_t end) { return end ? edge.z1 : edge.z0; }

// Unit vector from the point of end `fromEnd` of `edge` to the point reached by walking a
// distance s along the chain: forwards through `next` links (across the edge from fromEnd to the
// other end first), or backwards through `prev` links. Within the first edge it is that edge's
// direction; when the chain ends first the last point reached is used; a zero result is (1, 0).
Point2 SampleTangent(const DetectedEdge* edge, uint32_t fromEnd, bool forward, float s);

// Sets startDir and endDir from the stroke's two ends, s = min(length * 0.3333, kCornerMargin).
void SetEndTangents(Stroke* stroke);

// Turns the stroke around: first/last, their ends and the end tangents swap, and every edge's
// next and prev links swap.
void ReverseStroke(Stroke* stroke);

// Splits a stroke at corners whose turn is below cosLimit (the cosine of the split angle):
// a loop opens at its sharpest joint, then open strokes split recursively at their sharpest
// joint at least kCornerMargin from both ends. Appends the resulting strokes, in chain order.
// `joints` is scratch.
void SplitCorners(const Stroke& stroke, float cosLimit, std::vector<JointRecord>* joints,
                  std::vector<Stroke>* out);

// Cosine threshold of a split angle in degrees.
inline float SplitCosine(float splitAngleDegrees) {
    return float(std::cos(double(splitAngleDegrees) * 0.017453292));
}

// Mutual-best pairing of end points 0 .. n-1 that share a bucket. Buckets are given as ranges
// of `members` (bucket b holds members[bucketStart[b] .. bucketStart[b + 1])), each in ascending
// end-point order. score(i, j, &s) returns false when i and j may not pair, else sets s. Each
// pass lets every unfixed end point keep the candidate with the strictly highest score; pairs
// that chose each other are fixed, end points with no candidate become stroke ends, the rest
// start over. Returns false when `aborted` (asked every 1024 pair tests) said so.
inline constexpr int32_t kStrokeEnd = INT32_MIN;
using PairScore = std::function<bool(int32_t, int32_t, float*)>;
bool PairEndPoints(int32_t n, const std::vector<int32_t>& bucketStart,
                   const std::vector<int32_t>& members, const PairScore& score,
                   const std::function<bool()>& aborted, std::vector<int32_t>* partner);

// The end point at which the chain through end point k starts, walking back through a partner
// table as PairEndPoints leaves it (the previous element is entered at the other end of k's
// partner): a stroke end, or k itself when the chain closes into a loop.
int32_t ChainStart(const std::vector<int32_t>& partner, int32_t k);

// Chains edges through a partner table over their end points (2i + e, as PairEndPoints leaves
// it): a chain starts at a stroke end, or, for a loop, at its first end point in index order.
// Links the edges and appends one stroke per chain, its end tangents not yet set.
void ExtractEdgeChains(const std::vector<DetectedEdge*>& edges, const std::vector<int32_t>& partner,
                       std::vector<Stroke>* out);

}  // namespace KvrnLib
