// Intersection lines into strokes: the pieces of one pair and visibility class are matched end
// to end, chained, and each chain is given wholly to the object that owns most of its length.
#pragma once

#include <vector>

#include "detection_result.h"
#include "stroke.h"

namespace KvrnLib {

// Ends closer than this on screen in x and y, with depths within this times max(1, |depth|),
// are one.
inline constexpr float kIntersectionEndMatch = 0.0001f;

// Chains `edges` (one pair's list of one class) into strokes appended to `out`, one per chain,
// with end tangents sampled but no corner splitting. Edges of the side (objectA or objectB) with
// the shorter total length in a chain are rewritten to the other side: object and face exchanged
// with secondObject and secondFace, and the line set of the chain's first edge on the winning
// side. Equal totals go to objectA. Returns false when `aborted` said so.
bool ChainIntersectionEdges(EdgeList& edges, int32_t objectA, int32_t objectB,
                            const std::function<bool()>& aborted, std::vector<Stroke>* out);

}  // namespace KvrnLib
