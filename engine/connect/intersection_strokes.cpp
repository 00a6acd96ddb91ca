#include "intersection_strokes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace KvrnLib {

namespace {

constexpr float kCell = 4.0f * kIntersectionEndMatch;

int64_t CellKey(int64_t cx, int64_t cy) { return (cx << 32) ^ (cy & 0xFFFFFFFF); }

}  // namespace

bool ChainIntersectionEdges(EdgeList& list, int32_t objectA, int32_t objectB,
                            const std::function<bool()>& aborted, std::vector<Stroke>* out) {
    std::vector<DetectedEdge*> edges;
    edges.reserve(list.Size());
    list.ForEach([&](DetectedEdge& e) { edges.push_back(&e); });
    const int32_t n = int32_t(2 * edges.size());
    const auto point = [&](int32_t i) { return EndPoint(*edges[size_t(i / 2)], uint32_t(i & 1)); };
    const auto depth = [&](int32_t i) { return EndDepth(*edges[size_t(i / 2)], uint32_t(i & 1)); };
    const auto cellOf = [](float v) {
        const double c = std::floor(double(v) / double(kCell));
        return int64_t(std::clamp(c, -1e9, 1e9));  // NaN ends up in cell 0
    };

    // End points sorted by cell; a match lies in one of the 3 x 3 cells around a point.
    std::vector<std::pair<int64_t, int32_t>> cells(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        const Point2 p = point(i);
        cells[size_t(i)] = {CellKey(cellOf(p.x), cellOf(p.y)), i};
    }
    std::sort(cells.begin(), cells.end());

    // Each end point, in order, takes the nearest unmatched end within the tolerance (ties: the
    // lower index); an end of the same piece never matches.
    std::vector<int32_t> partner(static_cast<size_t>(n), kStrokeEnd);
    uint32_t tests = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (partner[size_t(i)] != kStrokeEnd) continue;
        const Point2 p = point(i);
        const float z = depth(i);
        const float zTolerance = kIntersectionEndMatch * std::max(1.0f, std::fabs(z));
        const int64_t cx = cellOf(p.x), cy = cellOf(p.y);
        int32_t best = -1;
        float bestDistance = std::numeric_limits<float>::max();
        for (int64_t dx = -1; dx <= 1; ++dx) {
            for (int64_t dy = -1; dy <= 1; ++dy) {
                const int64_t key = CellKey(cx + dx, cy + dy);
                auto it = std::lower_bound(cells.begin(), cells.end(),
                                           std::pair<int64_t, int32_t>{key, -1});
                for (; it != cells.end() && it->first == key; ++it) {
                    const int32_t j = it->second;
                    if ((++tests & 1023u) == 0 && aborted && aborted()) return false;
                    if (j == i || j == (i ^ 1) || partner[size_t(j)] != kStrokeEnd) continue;
                    const Point2 q = point(j);
                    const float ex = q.x - p.x, ey = q.y - p.y;
                    if (std::fabs(ex) > kIntersectionEndMatch ||
                        std::fabs(ey) > kIntersectionEndMatch ||
                        std::fabs(depth(j) - z) > zTolerance)
                        continue;
                    const float distance = ex * ex + ey * ey;
                    if (distance < bestDistance || (distance == bestDistance && j < best)) {
                        bestDistance = distance;
                        best = j;
                    }
                }
            }
        }
        if (best >= 0) {
            partner[size_t(i)] = best;
            partner[size_t(best)] = i;
        }
    }

    std::vector<Stroke> chains;
    ExtractEdgeChains(edges, partner, &chains);
    for (Stroke& stroke : chains) {
        // The whole chain goes to the side with the longer share of it.
        double totalA = 0.0, totalB = 0.0;
        DetectedEdge* edge = stroke.first;
        for (;;) {
            (edge->object == objectA ? totalA : totalB) += double(edge->length);
            if (edge == stroke.last) break;
            edge = edge->next;
        }
        const int32_t chosen = totalA >= totalB ? objectA : objectB;
        int32_t chosenSet = -1;
        for (edge = stroke.first;; edge = edge->next) {
            if (edge->object == chosen) {
                chosenSet = edge->lineSet;
                break;
            }
            if (edge == stroke.last) break;
        }
        for (edge = stroke.first;; edge = edge->next) {
            if (edge->object != chosen) {
                std::swap(edge->object, edge->secondObject);
                std::swap(edge->face, edge->secondFace);
                edge->lineSet = chosenSet;
            }
            if (edge == stroke.last) break;
        }
        SetEndTangents(&stroke);
        out->push_back(stroke);
    }
    return true;
}

}  // namespace KvrnLib
