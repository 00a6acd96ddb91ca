// Helpers for the stroke and connection tests: hand-made detected edges, and a walk along a
// stroke that checks its links.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "stroke.h"

namespace KvrnLib::test {

// An edge from a to b at depth 1, with length and direction set as detection sets them.
inline DetectedEdge MakeEdge(Point2 a, Point2 b, int object = 0, int kind = 0) {
    DetectedEdge e;
    e.kind = kind;
    e.object = object;
    e.p0 = a;
    e.p1 = b;
    e.z0 = e.z1 = 1.0f;
    e.length = std::hypot(b.x - a.x, b.y - a.y);
    e.dir = {(b.x - a.x) / e.length, (b.y - a.y) / e.length};
    return e;
}

// The stroke's edges from first, checking the links on the way: every edge entered within `gap`
// of where the one before left, prev mirroring next, the recorded ends, length and unit tangents.
inline std::vector<const DetectedEdge*> Walk(const Stroke& stroke, float gap = 0.0f) {
    std::vector<const DetectedEdge*> edges;
    const DetectedEdge* edge = stroke.first;
    uint32_t entry = stroke.firstEnd;
    double length = 0;
    if (!stroke.loop) {
        EXPECT_EQ(edge->prev, nullptr);
    }
    while (edge && edges.size() < 1000000) {
        edges.push_back(edge);
        length += edge->length;
        const DetectedEdge* next = edge->next;
        if (next) {
            EXPECT_EQ(next->prev, edge);
            EXPECT_EQ(next->prevEnd, entry ^ 1u);
            const Point2 a = EndPoint(*edge, entry ^ 1u), b = EndPoint(*next, edge->nextEnd);
            EXPECT_LE(std::hypot(a.x - b.x, a.y - b.y), gap);
        }
        if (!next || next == stroke.first) {
            EXPECT_EQ(edge, stroke.last);
            EXPECT_EQ(entry ^ 1u, stroke.lastEnd);
            EXPECT_EQ(next != nullptr, stroke.loop != 0);
            if (next) {
                EXPECT_EQ(edge->nextEnd, stroke.firstEnd);
            }
            break;
        }
        entry = edge->nextEnd;
        edge = next;
    }
    std::vector<const DetectedEdge*> sorted = edges;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "edge seen twice";
    EXPECT_NEAR(length, stroke.length, 1e-4 * std::max(1.0, length));
    EXPECT_NEAR(std::hypot(stroke.startDir.x, stroke.startDir.y), 1.0, 1e-5);
    EXPECT_NEAR(std::hypot(stroke.endDir.x, stroke.endDir.y), 1.0, 1e-5);
    return edges;
}

}  // namespace KvrnLib::test
