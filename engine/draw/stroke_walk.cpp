#include "stroke_walk.h"

#include <algorithm>
#include <cmath>

#include "detection_settings.h"

namespace KvrnLib {

namespace {

void ReverseWalk(std::vector<WalkEdge>& edges) {
    std::reverse(edges.begin(), edges.end());
    for (WalkEdge& e : edges) {
        std::swap(e.a, e.b);
        std::swap(e.za, e.zb);
        e.fromEnd1 = !e.fromEnd1;
    }
}

}  // namespace

float InterpolateDepth(float z0, float z1, float t, bool parallel) {
    if (parallel) return z0 + (z1 - z0) * t;
    const float denominator = (z0 - z1) * t + z1;
    return denominator == 0.0f ? 0.0f : z0 * z1 / denominator;
}

void CollectEdges(const Stroke& stroke, std::vector<WalkEdge>& out) {
    out.clear();
    const DetectedEdge* edge = stroke.first;
    uint32_t entry = stroke.firstEnd;
    // A malformed chain must not loop for ever: no stroke has more edges than this.
    for (size_t steps = 0; edge && steps < 100000000; ++steps) {
        WalkEdge w;
        w.a = EndPoint(*edge, entry);
        w.b = EndPoint(*edge, entry ^ 1u);
        w.za = EndDepth(*edge, entry);
        w.zb = EndDepth(*edge, entry ^ 1u);
        w.kind = edge->kind;
        w.length = edge->length;
        w.object = edge->object;
        w.face = edge->face;
        w.fromEnd1 = entry == 1u;
        out.push_back(w);
        if (edge == stroke.last || edge->next == stroke.first) break;
        entry = edge->nextEnd;
        edge = edge->next;
    }
}

void OrientLoop(std::vector<WalkEdge>& edges, const BrushDrawSettings& brush, const Camera& cam) {
    Box2 box;
    for (const WalkEdge& e : edges) box.Add(e.a);
    const Point2 c{(box.minX + box.maxX) * 0.5f, (box.minY + box.maxY) * 0.5f};
    const float angle = Radians(brush.strokeDirectionAngle);
    Point2 d{(box.maxX - box.minX) * std::cos(angle), (box.maxY - box.minY) * std::sin(angle)};
    const float dl = Length(d);
    if (dl > 0.0f) d = d * (1.0f / dl);
    double area = 0.0;
    for (const WalkEdge& e : edges) area += double(Cross(e.a - c, e.b - c));
    if (area < 0.0) ReverseWalk(edges);
    size_t start = 0;
    float best = 0.0f;
    for (size_t i = 0; i < edges.size(); ++i) {
        const Point2 m = (edges[i].a + edges[i].b) * 0.5f;
        const float projection = Dot(m - c, d);
        if (i == 0 || projection < best) {
            best = projection;
            start = i;
        }
    }
    std::rotate(edges.begin(), edges.begin() + std::ptrdiff_t(start), edges.end());
    const bool positiveScales = cam.scale.x * cam.scale.y > 0.0f;
    const bool left = brush.loopRight == 0;
    if (positiveScales != left) {
        // Keep the chosen edge first: after the reversal it is last.
        ReverseWalk(edges);
        std::rotate(edges.rbegin(), edges.rbegin() + 1, edges.rend());
    }
}

void OrientOpen(std::vector<WalkEdge>& edges, const BrushDrawSettings& brush) {
    const float angle = Radians(brush.strokeDirectionAngle);
    const Point2 dir{std::cos(angle), std::sin(angle)};
    double sum = 0.0;
    for (const WalkEdge& e : edges) sum += double(Dot(e.b - e.a, dir));
    if (sum < 0.0) ReverseWalk(edges);
}

void ComputeWalkNormals(const std::vector<WalkEdge>& edges, bool loop,
                        std::vector<Point2>& normals) {
    const size_t n = edges.size();
    normals.assign(2 * n, Point2{});
    auto unit = [](Point2 v) {
        const float l = Length(v);
        return l > 0.0f ? v * (1.0f / l) : Point2{};
    };
    for (size_t i = 0; i < n; ++i) {
        const Point2 dir = unit(edges[i].b - edges[i].a);
        const bool hasPrev = i > 0 || loop;
        const bool hasNext = i + 1 < n || loop;
        Point2 ta = dir, tb = dir;
        if (hasPrev) {
            const WalkEdge& p = edges[(i + n - 1) % n];
            const Point2 s = unit(p.b - p.a) + dir;
            if (Length(s) > 0.0f) ta = unit(s);
        }
        if (hasNext) {
            const WalkEdge& q = edges[(i + 1) % n];
            const Point2 s = unit(q.b - q.a) + dir;
            if (Length(s) > 0.0f) tb = unit(s);
        }
        normals[2 * i] = {-ta.y, ta.x};
        normals[2 * i + 1] = {-tb.y, tb.x};
    }
    double balance = 0.0;
    for (const WalkEdge& e : edges) balance += e.fromEnd1 ? e.length : -e.length;
    if (balance < 0.0) {
        for (Point2& v : normals) v = v * -1.0f;
    }
}

bool WalkHasOutline(const std::vector<WalkEdge>& edges) {
    return std::any_of(edges.begin(), edges.end(), [](const WalkEdge& e) {
        return e.kind == kEdgeOutline || e.kind == kEdgeObject;
    });
}

}  // namespace KvrnLib
