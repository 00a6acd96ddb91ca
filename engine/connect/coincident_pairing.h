// Mutual-best pairing of one bucket of end points that share a position, in O(k log k) for k
// ends where PairEndPoints (stroke.h) takes O(k^2) per pass: the score of two coincident ends is
// a function of their directions and whether their kinds agree, so each end's best partner is
// found by a search around the opposite of its direction.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "geometry.h"
#include "stroke.h"

namespace KvrnLib {

// Score of joining two end points at one position that leave along directions a and b into
// their edges: 1 when one edge continues the other straight on, -1 when they fold back onto each
// other, 2 more when both edges are of one kind.
inline float CoincidentScore(Point2 a, Point2 b, bool sameKind) {
    float s = -(a.x * b.x + a.y * b.y);
    if (sameKind) s += 2.0f;
    return s;
}

struct CoincidentEnd {
    int32_t id = 0;    // end point number as the score knows it; ascending through the bucket
    int32_t kind = 0;  // kind of the end's edge
    Point2 leaving;    // direction leaving the point into the edge
};

// Pairs one bucket of coincident end points exactly as PairEndPoints pairs it, provided that
// score(i, j, &s) either refuses the pair (for at most a few partners of each end, such as the
// two ends of one edge) or sets s = CoincidentScore(leaving of i, leaving of j, kinds equal).
// Writes partner[id] (the partner's id, or kStrokeEnd) for every end of the bucket. Steps:
// O(k log k) for unit directions, plus, per search, every distinct direction within about 0.1
// degree of the best (float rounding decides between those, so each is scored) and every end
// whose direction is not a unit vector. Returns false when `aborted` (asked every 1024 steps)
// said so.
bool PairCoincidentEnds(const std::vector<CoincidentEnd>& ends, const PairScore& score,
                        const std::function<bool()>& aborted, std::vector<int32_t>* partner);

}  // namespace KvrnLib
