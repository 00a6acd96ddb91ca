#include "connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "coincident_pairing.h"
#include "edge_detect.h"
#include "intersection_strokes.h"
#include "line_effect.h"
#include "occlusion.h"
#include "render_object_info.h"
#include "stage_runner.h"
#include "stroke_test_util.h"
#include "test_util.h"

namespace KvrnLib {
namespace {

using test::MakeEdge;
using test::Walk;

constexpr float kPi = 3.14159265358979f;
const std::function<bool()> kNever = [] { return false; };

void Flip(DetectedEdge* e) {
    std::swap(e->p0, e->p1);
    std::swap(e->z0, e->z1);
    e->dir = {-e->dir.x, -e->dir.y};
}

// Vertex i of a 32-gon of radius 10; vertex 0 pushed out to `spike` on the x axis.
Point2 RingPoint(int i, float spike = 10) {
    if (i % 32 == 0) return {spike, 0};
    return {10 * std::cos(2 * kPi * float(i) / 32), 10 * std::sin(2 * kPi * float(i) / 32)};
}

std::vector<Stroke> Chain(const std::vector<DetectedEdge*>& edges, float splitAngle) {
    std::vector<Stroke> out;
    EXPECT_TRUE(ChainCoincidentEdges(edges, {splitAngle, 0}, kNever, &out));
    return out;
}

TEST(Connection, CoincidentEndsChainShuffledRings) {
    std::mt19937 random(11);
    // A regular ring closes; with a spike it opens there.
    for (float spike : {10.0f, 14.0f}) {
        std::vector<DetectedEdge> ring;
        std::vector<DetectedEdge*> edges;
        for (int i = 0; i < 32; ++i)
            ring.push_back(MakeEdge(RingPoint(i, spike), RingPoint(i + 1, spike)));
        for (DetectedEdge& e : ring) {
            if (random() % 3 == 0) Flip(&e);
            edges.push_back(&e);
        }
        std::shuffle(edges.begin(), edges.end(), random);
        const std::vector<Stroke> out = Chain(edges, 60);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(Walk(out[0]).size(), 32u);
        EXPECT_EQ(out[0].loop, spike == 10 ? 1 : 0);
        if (spike == 10) continue;
        EXPECT_EQ(EndPoint(*out[0].first, out[0].firstEnd), (Point2{spike, 0}));
        EXPECT_EQ(EndPoint(*out[0].last, out[0].lastEnd), (Point2{spike, 0}));
    }
}

TEST(Connection, CoincidenceNeedsEqualBitsAndDepth) {
    std::vector<DetectedEdge> e = {MakeEdge({0, 0}, {5, 0}), MakeEdge({5, 0}, {10, 0})};
    EXPECT_EQ(Chain({&e[0], &e[1]}, 60).size(), 1u);
    e[1].z0 = 1.5f;
    EXPECT_EQ(Chain({&e[0], &e[1]}, 60).size(), 2u);
    e[1] = MakeEdge({std::nextafter(5.0f, 6.0f), 0}, {10, 0});
    EXPECT_EQ(Chain({&e[0], &e[1]}, 60).size(), 2u);
}

// 400 edges through one point, half of them along 24 lines, of three kinds: the chains join the
// end points that pairing all pairs against all joins.
TEST(Connection, ManyEdgesAtOnePointJoinAsAllPairsPairingJoinsThem) {
    std::mt19937 random(17);
    std::vector<DetectedEdge> star;
    for (int i = 0; i < 400; ++i) {
        const float a =
            i % 2 ? 2 * kPi * float(random() % 24) / 24 : float(random() % 6283) * 1e-3f;
        const float r = 5 + float(random() % 100000) * 1e-3f;
        star.push_back(MakeEdge({0, 0}, {r * std::cos(a), r * std::sin(a)}, 0, int(random() % 3)));
        if (random() % 2) Flip(&star.back());
    }
    std::vector<DetectedEdge*> edges;
    for (DetectedEdge& e : star) edges.push_back(&e);
    std::shuffle(edges.begin(), edges.end(), random);
    const std::vector<Stroke> strokes = Chain(edges, 180);

    const int32_t n = int32_t(2 * edges.size());
    std::map<const DetectedEdge*, int32_t> index;
    for (size_t k = 0; k < edges.size(); ++k) index[edges[k]] = int32_t(k);
    std::vector<int32_t> joined(size_t(n), kStrokeEnd);
    for (const Stroke& stroke : strokes) {
        const DetectedEdge* edge = stroke.first;
        uint32_t entry = stroke.firstEnd;
        for (const DetectedEdge* next = edge->next; next; next = edge->next) {
            const int32_t from = 2 * index[edge] + int32_t(entry ^ 1u);
            const int32_t to = 2 * index[next] + int32_t(edge->nextEnd);
            joined[size_t(from)] = to;
            joined[size_t(to)] = from;
            if (next == stroke.first) break;
            entry = edge->nextEnd;
            edge = next;
        }
    }

    // Buckets of bit-equal end points, ascending, and connection's score.
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, std::vector<int32_t>> at;
    for (int32_t i = 0; i < n; ++i) {
        const DetectedEdge& e = *edges[size_t(i / 2)];
        const Point2 p = EndPoint(e, uint32_t(i & 1));
        at[{std::bit_cast<uint32_t>(p.x), std::bit_cast<uint32_t>(p.y),
            std::bit_cast<uint32_t>(EndDepth(e, uint32_t(i & 1)))}]
            .push_back(i);
    }
    std::vector<int32_t> start{0}, members;
    for (const auto& [point, ends] : at) {
        members.insert(members.end(), ends.begin(), ends.end());
        start.push_back(int32_t(members.size()));
    }
    const auto leaving = [&](int32_t i) {
        const Point2 d = edges[size_t(i / 2)]->dir;
        return i & 1 ? Point2{-d.x, -d.y} : d;
    };
    const PairScore score = [&](int32_t i, int32_t j, float* s) {
        *s = CoincidentScore(leaving(i), leaving(j),
                             edges[size_t(i / 2)]->kind == edges[size_t(j / 2)]->kind);
        return (i ^ 1) != j;
    };
    std::vector<int32_t> expected;
    ASSERT_TRUE(PairEndPoints(n, start, members, score, kNever, &expected));
    EXPECT_EQ(joined, expected);
}

// A stroke through `points` of `object` (ring when the last point equals the first), its edges
// kept in `store`.
Stroke Strand(std::deque<DetectedEdge>& store, const std::vector<Point2>& points, int object = 0,
              int kind = 0, int secondObject = -1) {
    std::vector<DetectedEdge*> edges;
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        store.push_back(MakeEdge(points[i], points[i + 1], object, kind));
        store.back().secondObject = secondObject;
        edges.push_back(&store.back());
    }
    const std::vector<Stroke> out = Chain(edges, 180);
    EXPECT_EQ(out.size(), 1u);
    return out.at(0);
}

std::vector<Stroke> Far(std::vector<Stroke> strokes, float linkLength, bool weld) {
    std::vector<Stroke> out;
    EXPECT_TRUE(FarConnectStrokes(strokes, {60, linkLength}, weld, kNever, &out));
    for (const Stroke& s : out) Walk(s, std::max(linkLength, 0.001f));
    return out;
}

TEST(Connection, FarConnectJoinsEndsWithinTheLinkLength) {
    std::deque<DetectedEdge> store;
    const auto two = [&](float gap, int objectB) {
        return std::vector<Stroke>{Strand(store, {{0, 0}, {5, 0}, {10, 0}}),
                                   Strand(store, {{10 + gap, 0}, {15, 0}, {20, 0}}, objectB)};
    };
    EXPECT_EQ(Far(two(0.0005f, 0), 0, false).size(), 1u);
    EXPECT_EQ(Far(two(0.002f, 0), 0, false).size(), 2u);
    const std::vector<Stroke> bridged = Far(two(3.9f, 0), 4, false);
    ASSERT_EQ(bridged.size(), 1u);
    EXPECT_NEAR(bridged[0].length, 16.1f, 1e-4);  // the gap is not counted
    EXPECT_EQ(Far(two(4.1f, 0), 4, false).size(), 2u);
    EXPECT_EQ(Far(two(0, 1), 4, false).size(), 2u);
    EXPECT_EQ(Far(two(0, 1), 4, true).size(), 1u);

    // An intersection stroke belongs to both of its objects and joins strokes of either.
    const std::vector<Stroke> across =
        Far({Strand(store, {{0, 0}, {10, 0}}, 0),
             Strand(store, {{10, 0}, {20, 0}}, 0, kEdgeIntersection, 1),
             Strand(store, {{20, 0}, {30, 0}}, 1)},
            4, false);
    ASSERT_EQ(across.size(), 1u);
    EXPECT_EQ(Walk(across[0], 4).size(), 3u);

    // A loop keeps its ends even when an open stroke runs straight into its start.
    std::vector<Point2> circle;
    for (int i = 0; i <= 32; ++i) circle.push_back(RingPoint(i));
    const Stroke ring = Strand(store, circle);
    const Point2 p = EndPoint(*ring.first, ring.firstEnd), d = ring.startDir;
    const std::vector<Stroke> loopAndTail =
        Far({ring,
             Strand(store, {{p.x - 10 * d.x, p.y - 10 * d.y}, {p.x - 5 * d.x, p.y - 5 * d.y}, p})},
            4, false);
    ASSERT_EQ(loopAndTail.size(), 2u);
    for (const Stroke& s : loopAndTail) EXPECT_EQ(Walk(s, 4).size(), s.loop ? 32u : 2u);

    // An open circle closes on itself.
    circle.pop_back();
    const std::vector<Stroke> closed = Far({Strand(store, circle)}, 4, false);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].loop, 1);

    // Three strokes at one point: the two that continue each other join, the third stays.
    const std::vector<Stroke> three =
        Far({Strand(store, {{0, 0}, {0, 5}, {0, 10}}), Strand(store, {{-10, 0}, {-5, 0}, {0, 0}}),
             Strand(store, {{0, 0}, {5, 0}, {10, 0}})},
            4, false);
    ASSERT_EQ(three.size(), 2u);
    for (const Stroke& s : three) {
        const std::vector<const DetectedEdge*> walked = Walk(s, 4);
        const auto vertical = std::count_if(
            walked.begin(), walked.end(), [](const DetectedEdge* e) { return e->p0.x == e->p1.x; });
        EXPECT_EQ(walked.size(), vertical ? 2u : 4u);
        EXPECT_TRUE(vertical == 0 || vertical == 2);
    }
}

// 240 free ends make the search grid 2 x 2, its lines through the middle of the ends' box. A gap
// from a point near the crossing to one across the vertical line only (farther than the link
// length from the horizontal line) must still be bridged.
TEST(Connection, FarConnectBridgesAGapBesideAGridCrossing) {
    std::deque<DetectedEdge> store;
    std::vector<Stroke> strokes;
    for (int i = 0; i < 118; ++i) {  // short strokes round a circle, far from each other
        const float a = 2 * kPi * float(i) / 118;
        const Point2 p{500 + 400 * std::cos(a), 500 + 400 * std::sin(a)};
        strokes.push_back(Strand(store, {p, {p.x - std::sin(a), p.y + std::cos(a)}}));
    }
    Box2 box;
    for (const Stroke& s : strokes) {
        box.Add(EndPoint(*s.first, s.firstEnd));
        box.Add(EndPoint(*s.last, s.lastEnd));
    }
    const Point2 crossing{0.5f * (box.minX + box.maxX), 0.5f * (box.minY + box.maxY)};
    const Point2 a{crossing.x - 1, crossing.y + 1}, b{crossing.x + 1, crossing.y + 4.2f};
    const Point2 d{(b.x - a.x) / 3.7736f, (b.y - a.y) / 3.7736f};
    strokes.push_back(Strand(store, {{a.x - 8 * d.x, a.y - 8 * d.y}, a}));
    strokes.push_back(Strand(store, {b, {b.x + 8 * d.x, b.y + 8 * d.y}}));
    EXPECT_EQ(Far(strokes, 4, false).size(), 119u);
}

TEST(Connection, ShuffledPiecesOfAPolylineComeBackAsOneStroke) {
    std::mt19937 random(5);
    std::vector<Point2> points;
    for (int i = 0; i <= 1800; ++i) points.push_back({float(i), 300 * std::sin(float(i) / 300)});
    // Pieces of 4 to 12 edges with one edge left out between them: gaps of 1 to 1.4. The ends
    // span 1800 x 600, enough for a 2 x 2 grid of buckets; the gap at x = 899 .. 900 crosses
    // its middle line.
    std::deque<DetectedEdge> store;
    std::vector<Stroke> pieces;
    double length = 0;
    for (auto [from, to] : {std::pair(0, 899), std::pair(900, 1800)}) {
        for (int begin = from; begin < to;) {
            const int end = to - begin < 17 ? to : begin + 4 + int(random() % 9);
            std::vector<DetectedEdge*> edges;
            for (int i = begin; i < end; ++i) {
                store.push_back(MakeEdge(points[size_t(i)], points[size_t(i) + 1]));
                store.back().face = i;
                length += store.back().length;
                if (random() % 2) Flip(&store.back());
                edges.push_back(&store.back());
            }
            std::shuffle(edges.begin(), edges.end(), random);
            std::vector<Stroke> piece = Chain(edges, 60);
            ASSERT_EQ(piece.size(), 1u);
            if (random() % 2) ReverseStroke(&piece[0]);
            pieces.push_back(piece[0]);
            begin = end + 1;
        }
    }
    std::shuffle(pieces.begin(), pieces.end(), random);
    const std::vector<Stroke> out = Far(pieces, 4, false);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].loop, 0);
    EXPECT_NEAR(out[0].length, length, 1e-3);
    const std::vector<const DetectedEdge*> walked = Walk(out[0], 4);
    ASSERT_EQ(walked.size(), store.size());
    const bool forward = walked[1]->face > walked[0]->face;
    for (size_t i = 1; i < walked.size(); ++i)
        EXPECT_EQ(walked[i]->face > walked[i - 1]->face, forward) << i;
    const Point2 start = EndPoint(*out[0].first, out[0].firstEnd);
    const Point2 end = EndPoint(*out[0].last, out[0].lastEnd);
    EXPECT_EQ(start, forward ? points.front() : points.back());
    EXPECT_EQ(end, forward ? points.back() : points.front());
}

TEST(Connection, IntersectionPiecesChainAndGoToTheLongerSide) {
    const Point2 square[4] = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    struct Case {
        std::array<int, 4> owner;  // object of each side; the other object is 8 - owner
        int objectA, winner;
        float jitter;  // ends of neighbouring sides lie jitter * sqrt(2) apart; 0: equal sides
    };
    for (const Case& c : {Case{{3, 3, 3, 5}, 3, 3, 5e-5f}, Case{{3, 5, 5, 5}, 3, 5, 5e-5f},
                          Case{{3, 3, 5, 5}, 3, 3, 0}, Case{{3, 3, 5, 5}, 5, 5, 0},
                          Case{{3, 3, 3, 5}, 3, -1, 2e-4f}}) {
        EdgeList list;
        for (int k : {2, 0, 3, 1}) {
            DetectedEdge& e =
                list.Append(MakeEdge({square[k].x + c.jitter, square[k].y},
                                     {square[(k + 1) % 4].x, square[(k + 1) % 4].y - c.jitter},
                                     c.owner[size_t(k)], kEdgeIntersection));
            e.secondObject = 8 - e.object;
            e.face = 100 + e.object;
            e.secondFace = 100 + e.secondObject;
            e.lineSet = e.object == 3 ? 0 : 1;
            if (k % 2) Flip(&e);
        }
        std::vector<Stroke> out;
        ASSERT_TRUE(ChainIntersectionEdges(list, c.objectA, 8 - c.objectA, kNever, &out));
        if (c.winner < 0) {  // too far apart: four pieces, untouched
            ASSERT_EQ(out.size(), 4u);
            for (const Stroke& s : out) EXPECT_EQ(Walk(s).size(), 1u);
            list.ForEach([](const DetectedEdge& e) { EXPECT_EQ(e.face, 100 + e.object); });
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].loop, 1);  // no corner splitting here
        for (const DetectedEdge* e : Walk(out[0], 2 * kIntersectionEndMatch)) {
            EXPECT_EQ(e->object, c.winner);
            EXPECT_EQ(e->secondObject, 8 - c.winner);
            EXPECT_EQ(e->face, 100 + c.winner);
            EXPECT_EQ(e->secondFace, 108 - c.winner);
            EXPECT_EQ(e->lineSet, c.winner == 3 ? 0 : 1);
        }
    }
}

LineDetectionSettings DetectKinds(int objectCount, std::vector<int> visible,
                                  std::vector<int> hidden) {
    LineDetectionSettings settings;
    LineSetDetection set;
    for (int k : visible) set.visible.kind[size_t(k)] = 1;
    for (int k : hidden) set.hidden.kind[size_t(k)] = 1;
    for (LineClassDetection* c : {&set.visible, &set.hidden})
        c->openEdgeOutline = c->openEdgeObject = 1;
    settings.lineSets = {set};
    settings.objects.resize(size_t(objectCount));
    for (ObjectDetection& o : settings.objects) o.defaultLineSet = 0;
    return settings;
}

ConnectSettings NoGroups() {
    ConnectSettings settings;
    settings.visibleGroup.fill(-1);
    settings.hiddenGroup.fill(-1);
    return settings;
}

size_t StrokeCount(const std::vector<ConnectionResult>& out) {
    size_t n = 0;
    for (const ConnectionResult& r : out)
        for (const StrokeList& slot : r.slots) n += slot.Size();
    return n;
}

TEST(Connection, SphereOutlineIsOneLoopAndUnmappedKindsStayApart) {
    const Camera camera = test::LookAtCamera({0, -10, 3}, {0, 0, 0}, 320, 240, 300);
    Scene scene(camera, {test::MakeSphere({0, 0, 0}, 2, 48, 24, camera)});
    DetectionResult detection;
    ThreadManagerCore pool(2);
    DetectEdges(detection, DetectKinds(1, {kEdgeOutline}, {}), scene, pool, nullptr);
    const EdgeList& outline = detection.lineSets[0].visible[0].kinds[kEdgeOutline];
    ASSERT_GT(outline.Size(), 40u);

    ConnectSettings settings = NoGroups();
    settings.visibleGroup[kEdgeOutline] = 3;
    settings.visibleParams[3] = {60, 4};
    std::vector<ConnectionResult> out;
    ConnectEdges(out, detection, scene, {settings}, pool, nullptr);
    ASSERT_EQ(StrokeCount(out), 1u);
    const StrokeList& slot = out[0].Slot(false, 3);
    ASSERT_EQ(slot.Size(), 1u);
    EXPECT_EQ(slot[0].loop, 1);
    EXPECT_EQ(Walk(slot[0]).size(), outline.Size());

    for (int group : {-1, 10}) {
        settings.visibleGroup[kEdgeOutline] = group;
        ConnectEdges(out, detection, scene, {settings}, pool, nullptr);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(StrokeCount(out), 0u) << group;
    }
}

// Every stroke as slot, length, loop flag and edges, slot by slot.
using StrokeWalks = std::vector<std::tuple<int, float, int, std::vector<const DetectedEdge*>>>;

StrokeWalks Walks(const std::vector<ConnectionResult>& out, float gap) {
    StrokeWalks walks;
    for (const ConnectionResult& r : out)
        for (int slot = 0; slot < 20; ++slot)
            r.slots[size_t(slot)].ForEach(
                [&](const Stroke& s) { walks.emplace_back(slot, s.length, s.loop, Walk(s, gap)); });
    return walks;
}

TEST(Connection, SameStrokesWithOneTwoAndSevenThreadsAndEveryEdgeOnce) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    Scene scene(camera, {test::MakeSphere({0.5f, 0, 0.5f}, 1.3f, 32, 16, camera),
                         test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera),
                         test::MakeBox({-3, 1, -1}, {-1.5f, 2, 2}, camera)});
    const std::vector<int> kinds = {kEdgeOutline, kEdgeIntersection, kEdgeSmoothing,
                                    kEdgeMaterialID};
    DetectionResult detection;
    {
        ThreadManagerCore pool(2);
        DetectEdges(detection, DetectKinds(3, kinds, kinds), scene, pool, nullptr);
    }
    ConnectSettings settings = NoGroups();
    for (int k : kinds) {
        settings.visibleGroup[size_t(k)] = k % 3;
        settings.hiddenGroup[size_t(k)] = 3 + k % 2;
    }
    settings.visibleParams.fill({45, 3});
    settings.hiddenParams.fill({30, 5});

    // Which slot each edge may end up in.
    std::map<const DetectedEdge*, int> expected;
    for (int hidden = 0; hidden < 2; ++hidden) {
        const auto& groups = hidden ? settings.hiddenGroup : settings.visibleGroup;
        for (const ObjectEdges& o :
             hidden ? detection.lineSets[0].hidden : detection.lineSets[0].visible)
            for (int k = 0; k < kEdgeKindCount; ++k)
                if (groups[size_t(k)] >= 0)
                    o.kinds[size_t(k)].ForEach([&](const DetectedEdge& e) {
                        expected[&e] = hidden * 10 + groups[size_t(k)];
                    });
        for (const IntersectionPair& pair : detection.pairs)
            (hidden ? pair.hiddenEdges : pair.visibleEdges).ForEach([&](const DetectedEdge& e) {
                expected[&e] = hidden * 10 + groups[kEdgeIntersection];
            });
    }
    ASSERT_GT(expected.size(), 100u);

    StrokeWalks reference;
    for (int threads : {1, 2, 7}) {
        ThreadManagerCore pool(threads);
        std::vector<ConnectionResult> out;
        ConnectEdges(out, detection, scene, {settings}, pool, nullptr);
        const StrokeWalks walks = Walks(out, 5);
        if (threads > 1) {
            EXPECT_TRUE(walks == reference) << threads << " threads";
            continue;
        }
        reference = walks;
        std::map<const DetectedEdge*, int> seen;
        bool anyHidden = false;
        for (const auto& [slot, length, loop, edges] : walks) {
            anyHidden = anyHidden || slot >= 10;
            for (const DetectedEdge* e : edges) {
                EXPECT_EQ(seen.count(e), 0u) << "edge in two strokes";
                seen[e] = slot;
            }
        }
        EXPECT_TRUE(anyHidden);
        EXPECT_TRUE(seen == expected);
    }
}

// A triangle facing the camera on -y, its face given `copies` times more, each copy starting
// at the next corner.
std::shared_ptr<RenderObject> RepeatedTriangle(int copies, const Camera& camera) {
    auto triangle = std::make_shared<RenderObject>();
    triangle->vertices = {{-1, 0, -1}, {1, 0, -1}, {0, 0, 1}};
    for (int i = 0; i <= copies; ++i)
        triangle->faces.push_back({i % 3, (i + 1) % 3, (i + 2) % 3, kFaceAllEdgesVisible, 0, 1});
    triangle->SetTransforms(Matrix3::Identity(), camera.worldToCam);
    return triangle;
}

// A triangle given 500 times, alone and among 100 coincident objects that are the same: its
// outline is one loop of three edges, drawn once, on any thread count.
TEST(Connection, CopiesOfATriangleConnectIntoOneLoop) {
    const Camera camera = test::LookAtCamera({0, -10, 0}, {0, 0, 0}, 320, 240, 300);
    std::vector<std::shared_ptr<RenderObject>> objects;
    for (int i = 0; i < 100; ++i) objects.push_back(RepeatedTriangle(499, camera));
    const Scene many(camera, objects);
    const Scene one(camera, {RepeatedTriangle(0, camera)});
    ConnectSettings settings = NoGroups();
    settings.visibleGroup[kEdgeOutline] = 0;
    settings.visibleParams[0] = {180, 2};  // no corner splits

    const auto loop = [&](const Scene& scene, int threads) {
        DetectionResult detection;
        ThreadManagerCore pool(threads);
        DetectEdges(detection, DetectKinds(scene.ObjectCount(), {kEdgeOutline}, {}), scene, pool,
                    nullptr);
        std::vector<ConnectionResult> out;
        ConnectEdges(out, detection, scene, {settings}, pool, nullptr);
        EXPECT_EQ(StrokeCount(out), 1u);
        std::vector<std::tuple<int, float, float, float, float>> edges;
        if (StrokeCount(out) != 1) return edges;
        const Stroke& stroke = out[0].Slot(false, 0)[0];
        EXPECT_EQ(stroke.loop, 1);
        for (const DetectedEdge* e : Walk(stroke))
            edges.emplace_back(e->object, e->p0.x, e->p0.y, e->p1.x, e->p1.y);
        std::sort(edges.begin(), edges.end());
        return edges;
    };
    const auto expected = loop(one, 1);
    ASSERT_EQ(expected.size(), 3u);
    for (int threads : {1, 2}) EXPECT_TRUE(loop(many, threads) == expected) << threads;
}

// Every face written eight times in a row, as a file that repeats its face lines gives them:
// the strokes of the mesh given once, and no more work for the occlusion or the intersection
// search than for it.
TEST(Connection, EveryFaceEightTimesGivesTheStrokesAndWorkOfTheMeshOnce) {
    const Camera camera = test::LookAtCamera({7, -6, 5}, {0, 0, 0}, 320, 240, 300);
    const auto makeObjects = [&](int times) {
        std::vector<std::shared_ptr<RenderObject>> objects{
            test::MakeSphere({0.5f, 0, 0.5f}, 1.3f, 32, 16, camera),
            test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)};
        for (const std::shared_ptr<RenderObject>& object : objects) {
            std::vector<FaceRecord> faces;
            std::vector<Point3> normals;
            for (size_t f = 0; f < object->faces.size(); ++f) {
                for (int t = 0; t < times; ++t) {
                    faces.push_back(object->faces[f]);
                    normals.insert(normals.end(), object->cornerNormals.begin() + long(3 * f),
                                   object->cornerNormals.begin() + long(3 * f + 3));
                }
            }
            object->faces = faces;
            object->cornerNormals = normals;
        }
        return objects;
    };
    const Scene once(camera, makeObjects(1));
    const Scene repeated(camera, makeObjects(8));
    LineDetectionSettings detect =
        DetectKinds(2, {kEdgeOutline, kEdgeObject, kEdgeSmoothing, kEdgeIntersection},
                    {kEdgeOutline, kEdgeIntersection});
    for (LineClassDetection* c : {&detect.lineSets[0].visible, &detect.lineSets[0].hidden})
        c->selfIsect = 1;
    ConnectSettings connect = NoGroups();
    for (int kind : {kEdgeOutline, kEdgeObject, kEdgeSmoothing, kEdgeIntersection})
        connect.visibleGroup[size_t(kind)] = connect.hiddenGroup[size_t(kind)] = kind;

    const auto run = [&](const Scene& scene, int threads) {
        DetectionResult detection;
        ThreadManagerCore pool(threads);
        DetectEdges(detection, detect, scene, pool, nullptr);
        std::vector<ConnectionResult> out;
        ConnectStats stats;
        ConnectEdges(out, detection, scene, {connect}, pool, nullptr, &stats);
        std::vector<size_t> strokes;
        for (const StrokeList& slot : out[0].slots) strokes.push_back(slot.Size());
        return std::make_pair(strokes, stats.phaseStrokes);
    };
    const auto expected = run(once, 1);
    size_t total = 0;
    for (size_t n : expected.first) total += n;
    ASSERT_GT(total, 3u);
    EXPECT_GT(expected.second[1], 0) << "intersection strokes";
    for (int threads : {1, 2}) EXPECT_TRUE(run(repeated, threads) == expected) << threads;

    const OcclusionScene occlusionOnce(once), occlusionRepeated(repeated);
    EXPECT_EQ(occlusionRepeated.TriangleCount(), occlusionOnce.TriangleCount());
    for (int o = 0; o < 2; ++o) {
        EXPECT_EQ(repeated.Info(o).FaceBounds().order.size(),
                  once.Info(o).FaceBounds().order.size());
        EXPECT_EQ(occlusionRepeated.FaceCopies(o).size(), 7 * once.Object(o).faces.size());
    }
}

TEST(Connection, MismatchedInputsAndConnectBeforeDetect) {
    const Camera camera = test::LookAtCamera({6, -5, 4}, {0, 0, 0}, 320, 240, 400);
    Scene scene(camera, {test::MakeBox({-1, -1, -1}, {1, 1, 1}, camera)});
    ThreadManagerCore pool(1);
    const auto refused = [&](DetectionResult& detection, size_t sets) {
        std::vector<ConnectionResult> out;
        try {
            ConnectEdges(out, detection, scene, std::vector<ConnectSettings>(sets), pool, nullptr);
            return std::string("accepted");
        } catch (const LineEffectException& e) {
            return std::string(e.what());
        }
    };
    DetectionResult oneSet, twoObjects;
    oneSet.Reset(1, 1);
    twoObjects.Reset(1, 2);
    EXPECT_EQ(refused(oneSet, 1), "accepted");
    EXPECT_EQ(refused(oneSet, 2), "invalid settings or detection results.");
    EXPECT_EQ(refused(twoObjects, 1), "invalid settings or detection results.");

    // The effect: connection needs a detection, and is kept while its settings stay.
    auto delegate = std::make_shared<test::PollCountingDelegate>();
    LineEffect effect(&scene, delegate);
    auto shared = std::make_shared<ThreadManagerCore>(2);
    std::string written;
    SetDebugOutputSink([&](const char* text) { written += text; });
    ConnectSettings settings = NoGroups();
    settings.visibleGroup[kEdgeOutline] = 0;
    settings.visibleParams[0] = {60, 2};
    EXPECT_FALSE(effect.Connect({settings}, shared));
    EXPECT_EQ(effect.Connection(), nullptr);
    SetDebugOutputSink(nullptr);
    EXPECT_EQ(written, "LineEffect::Connect error : invalid detection result.\n");

    ASSERT_TRUE(effect.Detect(DetectKinds(1, {kEdgeOutline}, {}), shared));
    ASSERT_TRUE(effect.Connect({settings}, shared));
    const std::vector<ConnectionResult>* first = effect.Connection();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->size(), 1u);
    EXPECT_FALSE((*first)[0].Slot(false, 0).Empty());
    const int polls = delegate->polls;
    ASSERT_TRUE(effect.Connect({settings}, shared));
    EXPECT_EQ(effect.Connection(), first);
    EXPECT_EQ(delegate->polls, polls);

    settings.visibleGroup[kEdgeOutline] = 1;
    ASSERT_TRUE(effect.Connect({settings}, shared));
    EXPECT_GT(delegate->polls, polls);
    ASSERT_NE(effect.Connection(), nullptr);
    EXPECT_TRUE((*effect.Connection())[0].Slot(false, 0).Empty());
    EXPECT_FALSE((*effect.Connection())[0].Slot(false, 1).Empty());
}

}  // namespace
}  // namespace KvrnLib
