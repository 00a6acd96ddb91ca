#include "stroke.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <utility>

#include "stroke_test_util.h"

namespace KvrnLib {
namespace {

using test::MakeEdge;
using test::Walk;

constexpr float kPi = 3.14159265358979f;

// Edge i runs from points[i] to points[i + 1] (and back to points[0] when closed).
std::vector<DetectedEdge> Polyline(const std::vector<Point2>& points, bool closed) {
    std::vector<DetectedEdge> edges;
    for (size_t i = 0; i + 1 < points.size(); ++i)
        edges.push_back(MakeEdge(points[i], points[i + 1]));
    if (closed) edges.push_back(MakeEdge(points.back(), points[0]));
    return edges;
}

// Links the edges, each entered at the given end, into a stroke with sampled end tangents.
Stroke Link(const std::vector<std::pair<DetectedEdge*, uint32_t>>& chain, bool loop) {
    Stroke stroke;
    stroke.loop = loop;
    std::tie(stroke.first, stroke.firstEnd) = chain[0];
    std::tie(stroke.last, stroke.lastEnd) =
        std::tuple(chain.back().first, chain.back().second ^ 1u);
    chain[0].first->prev = nullptr;
    for (size_t i = 0; i < chain.size(); ++i) {
        auto [edge, entry] = chain[i];
        stroke.length += edge->length;
        edge->next = nullptr;
        if (i + 1 == chain.size() && !loop) break;
        auto [next, nextEntry] = chain[(i + 1) % chain.size()];
        edge->next = next;
        edge->nextEnd = nextEntry;
        next->prev = edge;
        next->prevEnd = entry ^ 1u;
    }
    SetEndTangents(&stroke);
    return stroke;
}

// Edges from `first` on, all entered at end 0.
Stroke LinkInOrder(std::vector<DetectedEdge>& edges, bool loop, size_t first = 0) {
    std::vector<std::pair<DetectedEdge*, uint32_t>> chain;
    for (size_t i = 0; i < edges.size(); ++i)
        chain.push_back({&edges[(first + i) % edges.size()], 0});
    return Link(chain, loop);
}

void ExpectDir(Point2 got, Point2 want, float tolerance = 1e-5f) {
    const float n = std::hypot(want.x, want.y);
    EXPECT_NEAR(got.x, want.x / n, tolerance);
    EXPECT_NEAR(got.y, want.y / n, tolerance);
}

Point2 Heading(float degrees) {
    return {std::cos(degrees * kPi / 180), std::sin(degrees * kPi / 180)};
}

// Polyline from the origin: segment k has length lengths[k], heading headings[k] degrees.
std::vector<DetectedEdge> Turtle(const std::vector<float>& lengths,
                                 const std::vector<float>& headings) {
    std::vector<Point2> points{{0, 0}};
    for (size_t k = 0; k < lengths.size(); ++k) {
        const Point2 h = Heading(headings[k]);
        points.push_back({points.back().x + lengths[k] * h.x, points.back().y + lengths[k] * h.y});
    }
    return Polyline(points, false);
}

// 32-gon of radius 10 around the origin; vertex 0 pushed out to `spike` on the x axis.
std::vector<DetectedEdge> SpikedRing(float spike) {
    std::vector<Point2> points;
    for (int i = 0; i < 32; ++i)
        points.push_back({10 * std::cos(2 * kPi * i / 32), 10 * std::sin(2 * kPi * i / 32)});
    points[0] = {spike, 0};
    return Polyline(points, true);
}

TEST(Stroke, TangentsAlongTheChainAndReversal) {
    // (0,0) -> (1,0) -> (1,1) -> (3,1); the middle edge is stored the other way round.
    std::vector<DetectedEdge> e = {MakeEdge({0, 0}, {1, 0}), MakeEdge({1, 1}, {1, 0}),
                                   MakeEdge({1, 1}, {3, 1})};
    const Stroke stroke = Link({{&e[0], 0}, {&e[1], 1}, {&e[2], 0}}, false);
    ExpectDir(SampleTangent(&e[0], 0, true, 1.5f), {1, 0.5f});
    ExpectDir(SampleTangent(&e[0], 0, true, 100), {3, 1});  // chain ends first
    ExpectDir(SampleTangent(&e[2], 1, false, 2.5f), {-2, -0.5f});
    ExpectDir(SampleTangent(&e[1], 0, false, 100), {-1, -1});  // from (1,1) back to the start

    // Out and back: the walk returns to where it started, which gives (1, 0).
    std::vector<DetectedEdge> back = Polyline({{0, 0}, {0, 2}, {0, 0}}, false);
    LinkInOrder(back, false);
    ExpectDir(SampleTangent(&back[0], 0, true, 4), {1, 0});

    // Length 4: both ends sampled a third of it in; the start's sample turns the first corner.
    EXPECT_FLOAT_EQ(stroke.length, 4.0f);
    ExpectDir(stroke.startDir, {1, 4.0f / 3 - 1}, 1e-3f);
    ExpectDir(stroke.endDir, {-1, 0});
    Stroke reversed = stroke;
    ReverseStroke(&reversed);
    EXPECT_EQ(reversed.startDir, stroke.endDir);
    EXPECT_EQ(reversed.endDir, stroke.startDir);
    EXPECT_EQ(Walk(reversed), (std::vector<const DetectedEdge*>{&e[2], &e[1], &e[0]}));
}

TEST(Stroke, LoopOpensAtItsSharpestCornerOnlyWhenTooSharp) {
    std::vector<JointRecord> joints;
    for (float splitAngle : {60.0f, 170.0f}) {
        std::vector<DetectedEdge> ring = SpikedRing(14);
        std::vector<Stroke> out;
        SplitCorners(LinkInOrder(ring, true, 10), SplitCosine(splitAngle), &joints, &out);
        ASSERT_EQ(out.size(), 1u) << splitAngle;
        EXPECT_EQ(Walk(out[0]).size(), 32u);
        if (splitAngle > 90) {  // the spike turns by about 130 degrees
            EXPECT_EQ(out[0].loop, 1);
            EXPECT_EQ(out[0].first, &ring[10]);
            continue;
        }
        EXPECT_EQ(out[0].loop, 0);
        EXPECT_EQ(out[0].first, &ring[0]);
        EXPECT_EQ(out[0].last, &ring[31]);
        ExpectDir(out[0].startDir, ring[0].dir);
        ExpectDir(out[0].endDir, {-ring[31].dir.x, -ring[31].dir.y});
    }
}

TEST(Stroke, CornersNearTheEndsAndShortStrokesStay) {
    std::vector<JointRecord> joints;
    const float c60 = SplitCosine(60);
    {  // A sharp-cornered loop, but shorter than the margin.
        std::vector<DetectedEdge> triangle = Polyline({{0, 0}, {1, 0}, {0.5f, 0.8f}}, true);
        std::vector<Stroke> out;
        SplitCorners(LinkInOrder(triangle, true), c60, &joints, &out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].loop, 1);
        EXPECT_EQ(Walk(out[0]).size(), 3u);
    }
    // A hook at either end (120 degree turns) and a straight run of ten edges between.
    for (float hook : {2.5f, 3.5f}) {
        std::vector<float> lengths(12, 2.0f), headings(12, 120.0f);
        lengths.front() = lengths.back() = hook;
        headings.front() = 0;
        headings.back() = 240;
        std::vector<DetectedEdge> edges = Turtle(lengths, headings);
        std::vector<Stroke> out;
        SplitCorners(LinkInOrder(edges, false), c60, &joints, &out);
        if (hook < kCornerMargin) {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(Walk(out[0]).size(), 12u);
            continue;
        }
        ASSERT_EQ(out.size(), 3u);
        EXPECT_EQ(Walk(out[0]), std::vector<const DetectedEdge*>{&edges[0]});
        EXPECT_EQ(Walk(out[1]).size(), 10u);
        EXPECT_EQ(Walk(out[2]), std::vector<const DetectedEdge*>{&edges[11]});
        EXPECT_FLOAT_EQ(out[1].length, 20.0f);
        ExpectDir(out[0].endDir, {-1, 0});
        ExpectDir(out[1].startDir, Heading(120));
        ExpectDir(out[1].endDir, Heading(300));
        ExpectDir(out[2].startDir, Heading(240));
    }
}

TEST(Stroke, ZigZagSplitsAtTheSharpestCornersFirst) {
    // Corners turn by 100 (B), 160 (A, 2.5 after B), 30 (C) and 120 (D) degrees. Cutting A
    // first leaves B within the margin of the new end; C is gentler than the split angle.
    std::vector<DetectedEdge> edges = Turtle({6, 2.5f, 6, 6, 6}, {0, 100, 260, 290, 170});
    std::vector<JointRecord> joints;
    std::vector<Stroke> out;
    SplitCorners(LinkInOrder(edges, false), SplitCosine(60), &joints, &out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(Walk(out[0]), (std::vector<const DetectedEdge*>{&edges[0], &edges[1]}));
    EXPECT_EQ(Walk(out[1]), (std::vector<const DetectedEdge*>{&edges[2], &edges[3]}));
    EXPECT_EQ(Walk(out[2]), std::vector<const DetectedEdge*>{&edges[4]});
    EXPECT_FLOAT_EQ(out[0].length + out[1].length + out[2].length, 26.5f);
    // Sampled 3 back from A: across the short edge and 0.5 into the first.
    const Point2 back = Heading(280);
    ExpectDir(out[0].endDir, {2.5f * back.x - 0.5f, 2.5f * back.y});
    ExpectDir(out[1].startDir, Heading(260));
    ExpectDir(out[1].endDir, Heading(110));
    ExpectDir(out[2].startDir, Heading(170));
}

// Scores of the listed pairs; no other pair may form.
PairScore Table(const std::vector<std::tuple<int, int, float>>& pairs) {
    return [pairs](int32_t i, int32_t j, float* s) {
        for (auto [a, b, score] : pairs)
            if ((a == i && b == j) || (a == j && b == i)) {
                *s = score;
                return true;
            }
        return false;
    };
}

TEST(Stroke, PairingKeepsMutualBestChoices) {
    const auto never = [] { return false; };
    std::vector<int32_t> partner;
    const std::vector<int32_t> all5{0, 1, 2, 3, 4};
    // 0 and 1 choose each other; 2 wanted 1 and 3 wanted 2, so they pair in the second pass.
    ASSERT_TRUE(PairEndPoints(5, {0, 5}, all5, Table({{0, 1, 5}, {0, 2, 3}, {1, 2, 4}, {2, 3, 1}}),
                              never, &partner));
    EXPECT_EQ(partner, (std::vector<int32_t>{1, 0, 3, 2, kStrokeEnd}));
    // Equal scores: the earlier candidate stays, the odd one out becomes a stroke end.
    ASSERT_TRUE(PairEndPoints(3, {0, 3}, {0, 1, 2}, Table({{0, 1, 1}, {0, 2, 1}, {1, 2, 1}}), never,
                              &partner));
    EXPECT_EQ(partner, (std::vector<int32_t>{1, 0, kStrokeEnd}));
    // Different buckets never pair.
    ASSERT_TRUE(PairEndPoints(2, {0, 1, 2}, {0, 1}, Table({{0, 1, 1}}), never, &partner));
    EXPECT_EQ(partner, (std::vector<int32_t>{kStrokeEnd, kStrokeEnd}));

    // Random scores; six buckets, every fifth end point in two of them.
    std::mt19937 random(3);
    const int n = 300;
    const auto in = [](int i, int b) { return i % 6 == b || (i % 5 == 0 && i / 5 % 6 == b); };
    const auto share = [&](int i, int j) {
        for (int b = 0; b < 6; ++b)
            if (in(i, b) && in(j, b)) return true;
        return false;
    };
    std::vector<int32_t> start{0}, members;
    for (int b = 0; b < 6; ++b) {
        for (int i = 0; i < n; ++i)
            if (in(i, b)) members.push_back(i);
        start.push_back(int32_t(members.size()));
    }
    std::vector<float> scores(size_t(n * n));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j)
            scores[size_t(i * n + j)] = scores[size_t(j * n + i)] =
                random() % 3 ? -1.0f : float(random() % 10000000);
    const auto allowed = [&](int i, int j) {
        return share(i, j) && scores[size_t(i * n + j)] >= 0;
    };
    ASSERT_TRUE(PairEndPoints(
        n, start, members,
        [&](int32_t i, int32_t j, float* s) { return (*s = scores[size_t(i * n + j)]) >= 0; },
        never, &partner));
    for (int i = 0; i < n; ++i) {
        const int p = partner[size_t(i)];
        // Two stroke ends could not have paired: each was free when the other found nothing.
        for (int j = 0; j < n && p == kStrokeEnd; ++j)
            EXPECT_FALSE(j != i && partner[size_t(j)] == kStrokeEnd && allowed(i, j));
        if (p == kStrokeEnd) continue;
        ASSERT_TRUE(p >= 0 && p < n);
        EXPECT_EQ(partner[size_t(p)], i);
        EXPECT_TRUE(allowed(i, p));
    }

    // The abort is asked at most once per 1024 pair tests and stops the pairing.
    int tests = 0, asked = 0;
    const PairScore counted = [&](int32_t, int32_t, float* s) {
        *s = float(++tests % 7);
        return true;
    };
    std::vector<int32_t> bucket(100);
    for (int i = 0; i < 100; ++i) bucket[size_t(i)] = i;
    ASSERT_TRUE(PairEndPoints(
        100, {0, 100}, bucket, counted, [&] { return ++asked < 0; }, &partner));
    EXPECT_GE(asked, 1);
    EXPECT_LE(asked, tests / 1024 + 1);
    EXPECT_FALSE(PairEndPoints(
        100, {0, 100}, bucket, counted, [] { return true; }, &partner));
}

}  // namespace
}  // namespace KvrnLib
