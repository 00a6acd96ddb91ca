#include "stroke.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "end_pairing.h"

namespace KvrnLib {

namespace {

Point2 Unit(Point2 v) {
    const float length = std::sqrt(v.x * v.x + v.y * v.y);
    if (!(length > 0.0f) || !std::isfinite(length)) return {1.0f, 0.0f};
    return {v.x / length, v.y / length};
}

// Direction of an edge walked from end `fromEnd` to the other.
Point2 WalkDir(const DetectedEdge& edge, uint32_t fromEnd) {
    return fromEnd ? Point2{-edge.dir.x, -edge.dir.y} : edge.dir;
}

// An edge of a chain with the end at which the chain enters it.
struct ChainEdge {
    DetectedEdge* edge;
    uint32_t entry;
};

// The stroke's edges in order, from first to last (once round for a loop).
void ListEdges(const Stroke& stroke, std::vector<ChainEdge>* out) {
    out->clear();
    DetectedEdge* edge = stroke.first;
    uint32_t entry = stroke.firstEnd;
    while (edge) {
        out->push_back({edge, entry});
        if (edge == stroke.last) break;
        const uint32_t nextEntry = edge->nextEnd;
        edge = edge->next;
        entry = nextEntry;
        if (edge == stroke.first) break;  // a loop whose last link was not where expected
    }
}

float SampleDistance(float length) { return std::min(length * 0.3333f, kCornerMargin); }

}  // namespace

Point2 SampleTangent(const DetectedEdge* edge, uint32_t fromEnd, bool forward, float s) {
    if (!edge) return {1.0f, 0.0f};
    const Point2 origin = EndPoint(*edge, fromEnd);
    if (s <= edge->length) return Unit(WalkDir(*edge, fromEnd));
    const DetectedEdge* start = edge;
    float remaining = s;
    Point2 reached = origin;
    for (;;) {
        const Point2 from = EndPoint(*edge, fromEnd);
        const Point2 to = EndPoint(*edge, fromEnd ^ 1u);
        if (remaining <= edge->length && edge->length > 0.0f) {
            const float t = remaining / edge->length;
            reached = {from.x + (to.x - from.x) * t, from.y + (to.y - from.y) * t};
            break;
        }
        remaining -= edge->length;
        reached = to;
        const DetectedEdge* following = forward ? edge->next : edge->prev;
        if (!following || following == start) break;
        fromEnd = forward ? edge->nextEnd : edge->prevEnd;
        edge = following;
    }
    return Unit({reached.x - origin.x, reached.y - origin.y});
}

void SetEndTangents(Stroke* stroke) {
    const float s = SampleDistance(stroke->length);
    stroke->startDir = SampleTangent(stroke->first, stroke->firstEnd, true, s);
    stroke->endDir = SampleTangent(stroke->last, stroke->lastEnd, false, s);
}

void ReverseStroke(Stroke* stroke) {
    DetectedEdge* edge = stroke->first;
    while (edge) {
        DetectedEdge* following = edge->next;
        std::swap(edge->next, edge->prev);
        std::swap(edge->nextEnd, edge->prevEnd);
        if (edge == stroke->last || following == stroke->first) break;
        edge = following;
    }
    std::swap(stroke->first, stroke->last);
    std::swap(stroke->firstEnd, stroke->lastEnd);
    std::swap(stroke->startDir, stroke->endDir);
}

void SplitCorners(const Stroke& input, float cosLimit, std::vector<JointRecord>* joints,
                  std::vector<Stroke>* out) {
    Stroke stroke = input;
    SetEndTangents(&stroke);
    if (stroke.length < kCornerMargin || !stroke.first) {
        out->push_back(stroke);
        return;
    }
    std::vector<ChainEdge> edges;
    ListEdges(stroke, &edges);

    if (stroke.loop) {
        // Every edge's start is a joint; the loop opens at the sharpest one if it is too sharp.
        const float s = SampleDistance(stroke.length);
        int sharpest = -1;
        JointRecord best;
        for (size_t i = 0; i < edges.size(); ++i) {
            const DetectedEdge* edge = edges[i].edge;
            JointRecord joint;
            joint.fwd = SampleTangent(edge, edges[i].entry, true, s);
            joint.bwd = edge->prev ? SampleTangent(edge->prev, edge->prevEnd, false, s)
                                   : Point2{1.0f, 0.0f};
            joint.turn = -(joint.fwd.x * joint.bwd.x + joint.fwd.y * joint.bwd.y);
            if (sharpest < 0 || joint.turn < best.turn) {
                sharpest = int(i);
                best = joint;
            }
        }
        if (sharpest < 0 || !(best.turn < cosLimit)) {
            out->push_back(stroke);
            return;
        }
        const ChainEdge open = edges[size_t(sharpest)];
        DetectedEdge* before = open.edge->prev;
        const uint32_t beforeExit = open.edge->prevEnd;
        before->next = nullptr;
        before->nextEnd = 0;
        open.edge->prev = nullptr;
        open.edge->prevEnd = 0;
        stroke.loop = 0;
        stroke.first = open.edge;
        stroke.firstEnd = open.entry;
        stroke.last = before;
        stroke.lastEnd = beforeExit;
        stroke.startDir = best.fwd;
        stroke.endDir = best.bwd;
        std::rotate(edges.begin(), edges.begin() + sharpest, edges.end());
    }

    // Joint j sits at the start of edges[j], j = 1 .. n - 1, at distance along[j] from the start.
    const size_t n = edges.size();
    std::vector<float> along(n + 1, 0.0f);
    for (size_t i = 0; i < n; ++i) along[i + 1] = along[i] + edges[i].edge->length;
    joints->assign(n, JointRecord{});
    for (size_t j = 1; j < n; ++j) {
        const float a = along[j], b = along[n] - along[j];
        JointRecord& joint = (*joints)[j];
        joint.fwd = SampleTangent(edges[j].edge, edges[j].entry, true, SampleDistance(a));
        joint.bwd =
            SampleTangent(edges[j - 1].edge, edges[j - 1].entry ^ 1u, false, SampleDistance(b));
        joint.turn = -(joint.fwd.x * joint.bwd.x + joint.fwd.y * joint.bwd.y);
    }

    // Parts as edge ranges [begin, end) with their end tangents; the right part is pushed first
    // so that parts come out in chain order.
    struct Part {
        size_t begin, end;
        Point2 startDir, endDir;
    };
    std::vector<Part> pending{{0, n, stroke.startDir, stroke.endDir}};
    while (!pending.empty()) {
        const Part part = pending.back();
        pending.pop_back();
        size_t cut = 0;
        float lowest = std::numeric_limits<float>::max();
        for (size_t j = part.begin + 1; j < part.end; ++j) {
            if (along[j] - along[part.begin] < kCornerMargin ||
                along[part.end] - along[j] < kCornerMargin)
                continue;
            if ((*joints)[j].turn < lowest) {
                lowest = (*joints)[j].turn;
                cut = j;
            }
        }
        if (cut != 0 && lowest < cosLimit) {
            DetectedEdge* before = edges[cut - 1].edge;
            before->next = nullptr;
            before->nextEnd = 0;
            edges[cut].edge->prev = nullptr;
            edges[cut].edge->prevEnd = 0;
            pending.push_back({cut, part.end, (*joints)[cut].fwd, part.endDir});
            pending.push_back({part.begin, cut, part.startDir, (*joints)[cut].bwd});
            continue;
        }
        Stroke piece;
        piece.length = along[part.end] - along[part.begin];
        piece.loop = stroke.loop;
        piece.first = edges[part.begin].edge;
        piece.firstEnd = edges[part.begin].entry;
        piece.last = edges[part.end - 1].edge;
        piece.lastEnd = edges[part.end - 1].entry ^ 1u;
        piece.startDir = part.startDir;
        piece.endDir = part.endDir;
        out->push_back(piece);
    }
}

bool PairEndPoints(int32_t n, const std::vector<int32_t>& bucketStart,
                   const std::vector<int32_t>& members, const PairScore& score,
                   const std::function<bool()>& aborted, std::vector<int32_t>* partner) {
    return PairEndPointsWith(n, bucketStart, members, score, aborted, partner);
}

int32_t ChainStart(const std::vector<int32_t>& partner, int32_t k) {
    int32_t start = k;
    for (size_t steps = 0; steps < partner.size(); ++steps) {
        const int32_t p = partner[size_t(start)];
        if (p == kStrokeEnd || (p ^ 1) == k) break;
        start = p ^ 1;
    }
    return start;
}

void ExtractEdgeChains(const std::vector<DetectedEdge*>& edges, const std::vector<int32_t>& partner,
                       std::vector<Stroke>* out) {
    const int32_t n = int32_t(2 * edges.size());
    std::vector<uint8_t> used(edges.size(), 0);
    for (int32_t k = 0; k < n; ++k) {
        if (used[size_t(k / 2)]) continue;
        const int32_t start = ChainStart(partner, k);
        Stroke stroke;
        DetectedEdge* edge = edges[size_t(start / 2)];
        uint32_t entry = uint32_t(start & 1);
        stroke.first = edge;
        stroke.firstEnd = entry;
        edge->prev = nullptr;
        edge->prevEnd = 0;
        int32_t index = start / 2;
        for (;;) {
            used[size_t(index)] = 1;
            stroke.length += edge->length;
            const uint32_t exit = entry ^ 1u;
            const int32_t p = partner[size_t(2 * index + int32_t(exit))];
            stroke.last = edge;
            stroke.lastEnd = exit;
            edge->next = nullptr;
            edge->nextEnd = 0;
            if (p == kStrokeEnd) break;
            const int32_t following = p / 2;
            DetectedEdge* next = edges[size_t(following)];
            const uint32_t nextEntry = uint32_t(p & 1);
            if (next == stroke.first && nextEntry == stroke.firstEnd) {
                stroke.loop = 1;
                edge->next = next;
                edge->nextEnd = nextEntry;
                next->prev = edge;
                next->prevEnd = exit;
                break;
            }
            if (used[size_t(following)]) break;  // cannot happen with a symmetric table
            edge->next = next;
            edge->nextEnd = nextEntry;
            next->prev = edge;
            next->prevEnd = exit;
            edge = next;
            entry = nextEntry;
            index = following;
        }
        out->push_back(stroke);
    }
}

}  // namespace KvrnLib
