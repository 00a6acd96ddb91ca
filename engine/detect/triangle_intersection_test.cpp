#include "triangle_intersection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace KvrnLib {
namespace {

using Triangle = std::array<Point3, 3>;

float Distance(Point3 a, Point3 b) { return std::sqrt(Dot(a - b, a - b)); }

bool SameSegment(Point3 p0, Point3 p1, Point3 q0, Point3 q1, float tolerance) {
    return (Distance(p0, q0) <= tolerance && Distance(p1, q1) <= tolerance) ||
           (Distance(p0, q1) <= tolerance && Distance(p1, q0) <= tolerance);
}

// Every vertex order of both triangles, and both argument orders, give the segment q0-q1.
void ExpectSegment(const Triangle& a, const Triangle& b, Point3 q0, Point3 q1) {
    std::array<int, 3> ia = {0, 1, 2};
    do {
        std::array<int, 3> ib = {0, 1, 2};
        do {
            const Triangle ta = {a[ia[0]], a[ia[1]], a[ia[2]]};
            const Triangle tb = {b[ib[0]], b[ib[1]], b[ib[2]]};
            for (const bool swapped : {false, true}) {
                SCOPED_TRACE(testing::Message() << ia[0] << ia[1] << ia[2] << " " << ib[0] << ib[1]
                                                << ib[2] << (swapped ? " swapped" : ""));
                Point3 p0, p1;
                const bool found = swapped ? IntersectTriangles(tb.data(), ta.data(), &p0, &p1)
                                           : IntersectTriangles(ta.data(), tb.data(), &p0, &p1);
                ASSERT_TRUE(found);
                EXPECT_TRUE(SameSegment(p0, p1, q0, q1, 1e-5f))
                    << p0.x << " " << p0.y << " " << p0.z << " / " << p1.x << " " << p1.y << " "
                    << p1.z;
            }
        } while (std::next_permutation(ib.begin(), ib.end()));
    } while (std::next_permutation(ia.begin(), ia.end()));
}

bool Intersects(Triangle a, Triangle b) {
    Point3 p0, p1;
    return IntersectTriangles(a.data(), b.data(), &p0, &p1);
}

// Right triangle with legs of 4 along x and y in the plane z = -10.
const Triangle kFloor = {{{0, 0, -10}, {4, 0, -10}, {0, 4, -10}}};

TEST(TriangleIntersection, CrossingTrianglesGiveTheSharedChord) {
    // Upright triangle in y = 1 meeting z = -10 for x in [2.5, 5.5]; the floor spans x in
    // [0, 3] there, so one end is on each triangle's edge.
    ExpectSegment(kFloor, {{{2, 1, -11}, {6, 1, -11}, {4, 1, -7}}}, {2.5f, 1, -10}, {3, 1, -10});
    // Piercing the floor's interior: both ends on the upright's edges, at x = 4/3 and 8/3.
    ExpectSegment(kFloor, {{{1, 1, -11}, {3, 1, -11}, {2, 1, -8}}}, {4.0f / 3, 1, -10},
                  {8.0f / 3, 1, -10});
    // Slanted planes: x + y + z = 3 and x = y meet along (t, t, 3 - 2t); the first triangle
    // holds t in [0, 1.5], all of it inside the second.
    ExpectSegment({{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}, {{{-1, -1, -3}, {-1, -1, 6}, {3, 3, 0}}},
                  {0, 0, 3}, {1.5f, 1.5f, 0});
}

TEST(TriangleIntersection, ParallelCoplanarAndApartGiveNothing) {
    EXPECT_FALSE(Intersects(kFloor, {{{0, 0, -9}, {4, 0, -9}, {0, 4, -9}}}));
    EXPECT_FALSE(Intersects(kFloor, {{{1, 1, -10}, {5, 1, -10}, {1, 5, -10}}}));
    // Coplanar in a slanted plane, the second triangle's corners rounded to float.
    const Point3 u = {3, 0.5f, -2}, v = {-1, 2, 0.25f}, w = {0.3f, -1.7f, 2.2f};
    const Triangle slanted = {u, v, w};
    const Triangle inner = {u * 0.6f + v * 0.3f + w * 0.1f, u * 0.1f + v * 0.7f + w * 0.2f,
                            u * 0.2f + v * 0.2f + w * 0.6f};
    EXPECT_FALSE(Intersects(slanted, inner));
    // Planes cross, but the triangles lie apart along the common line.
    EXPECT_FALSE(Intersects(kFloor, {{{5, 1, -11}, {7, 1, -11}, {6, 1, -8}}}));
    EXPECT_FALSE(Intersects(kFloor, {{{0, 1, -11}, {2, 1, -9}, {4, 1, -7}}}));  // collinear
}

TEST(TriangleIntersection, TouchingTrianglesGiveTheTouchAndAreDiscardedWhenShort) {
    // Adjacent faces folded at the shared edge (4, 0) - (0, 4): the segment is that edge.
    const Triangle fold = {{{4, 0, -10}, {0, 4, -10}, {3, 3, -7.7f}}};
    ExpectSegment(kFloor, fold, {4, 0, -10}, {0, 4, -10});
    // Corner on the floor's interior: a point.
    ExpectSegment(kFloor, {{{1, 1, -10}, {2, 1, -8}, {1, 2, -8}}}, {1, 1, -10}, {1, 1, -10});
    // Same on the slanted plane x + 3y + 2z = 24, where the corner's distance rounds to a
    // few ulps on the side of the other corners.
    ExpectSegment({{{24, 0, 0}, {0, 8, 0}, {0, 0, 12}}}, {{{1, 3, 7}, {3, 9, 11}, {4, 3, 9}}},
                  {1, 3, 7}, {1, 3, 7});
    // Sharing only a corner, each crossing the other's plane there but away from each other.
    const Triangle bowtie = {{{0, 0, -10}, {-1, -1, -9}, {-1, -1, -11}}};
    ExpectSegment(kFloor, bowtie, {0, 0, -10}, {0, 0, -10});

    // A point at a corner is discarded; the long shared edge is kept on screen.
    EXPECT_TRUE(IsTouchingSegment({0, 0, -10}, {0, 0, -10}, kFloor.data(), bowtie.data(), 0.0f));
    EXPECT_FALSE(IsTouchingSegment({4, 0, -10}, {0, 4, -10}, kFloor.data(), fold.data(), 400.0f));
    EXPECT_FALSE(IsTouchingSegment({0, 0, -10}, {0, 0, -10}, kFloor.data(), fold.data(),
                                   kTouchingSquaredScreenLength));
    // A short chord is kept unless both its ends sit on corners, within the tolerance.
    const float tolerance = TouchingTolerance(kFloor.data(), fold.data());
    EXPECT_TRUE(IsTouchingSegment({4, 0, -10}, {4 - 0.5f * tolerance, 0, -10}, kFloor.data(),
                                  fold.data(), 0.001f));
    EXPECT_FALSE(IsTouchingSegment({4, 0, -10}, {4 - 2 * tolerance, 0, -10}, kFloor.data(),
                                   fold.data(), 0.001f));
    EXPECT_FALSE(IsTouchingSegment({2, 0, -10}, {2, 0, -10}, kFloor.data(), fold.data(), 0.0f));
    // Far from the camera one float ulp of a corner outgrows the share of the triangles' size.
    const Triangle farA = {{{0, 0, -5000}, {0.01f, 0, -5000}, {0, 0.01f, -5000}}};
    const Triangle farB = {{{0, 0, -5000}, {-0.01f, 0, -4999.99f}, {0, -0.01f, -4999.99f}}};
    const Point3 rounded = {0, 0, std::nextafter(-5000.0f, 0.0f)};
    EXPECT_TRUE(IsTouchingSegment(farA[0], rounded, farA.data(), farB.data(), 0.0f));
}

TEST(TriangleIntersection, DegenerateAndSliverTrianglesNeverGiveNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(Intersects(kFloor, {{{1, 1, nan}, {3, 1, -11}, {2, 1, -8}}}));
    EXPECT_FALSE(Intersects({{{0, 0, -10}, {inf, 0, -10}, {0, 4, -10}}}, kFloor));

    // Caps and needles of width h down to the smallest floats, standing on a floor around the
    // origin: a segment within h of (0, 0, -10), or nothing once h is lost to rounding.
    const Triangle floor = {{{-4, -4, -10}, {4, -4, -10}, {0, 4, -10}}};
    int found = 0;
    for (float h = 1e-2f; h > 0.0f; h *= 1e-3f) {
        const Triangle cap = {{{-0.5f, 0, -11}, {0.5f, 0, -9}, {0, h, -10}}};
        const Triangle needle = {{{0, 0, -11}, {0, h, -11}, {0, 0, -9}}};
        for (const Triangle& sliver : {cap, needle}) {
            Point3 p0{nan, nan, nan}, p1{nan, nan, nan};
            if (IntersectTriangles(floor.data(), sliver.data(), &p0, &p1)) {
                ++found;
                EXPECT_LE(Distance(p0, {0, 0, -10}), 2 * h) << h;
                EXPECT_LE(Distance(p1, {0, 0, -10}), 2 * h) << h;
            }
        }
    }
    EXPECT_GE(found, 6);
}

// Points where edges of `from` cross the interior of `to`, kept clear of every boundary.
void EdgeHits(const Triangle& from, const Triangle& to, std::vector<Point3>* hits) {
    const Point3 n = Cross(to[1] - to[0], to[2] - to[0]);
    for (int i = 0; i < 3; ++i) {
        const Point3 p = from[i], q = from[(i + 1) % 3];
        const double dp = Dot(p - to[0], n), dq = Dot(q - to[0], n);
        if (dp * dq >= 0) continue;
        const double s = dp / (dp - dq);
        if (s < 1e-3 || s > 1 - 1e-3) continue;
        const Point3 x = p + (q - p) * float(s);
        bool inside = true;
        for (int k = 0; k < 3; ++k) {
            const Point3 e = to[(k + 1) % 3] - to[k];
            inside =
                inside && Dot(Cross(e, x - to[k]), n) > 1e-3 * std::sqrt(Dot(n, n) * Dot(e, e));
        }
        if (inside) hits->push_back(x);
    }
}

TEST(TriangleIntersection, RandomPairsAgreeWithEdgeCrossings) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    int crossingPairs = 0;
    for (int pair = 0; pair < 4000; ++pair) {
        Triangle a, b;
        for (Point3& p : a) p = {coordinate(random), coordinate(random), coordinate(random) - 5};
        for (Point3& p : b) p = {coordinate(random), coordinate(random), coordinate(random) - 5};
        std::vector<Point3> hits;
        EdgeHits(a, b, &hits);
        EdgeHits(b, a, &hits);
        Point3 p0, p1;
        const bool found = IntersectTriangles(a.data(), b.data(), &p0, &p1);
        if (!hits.empty()) {
            ++crossingPairs;
            ASSERT_TRUE(found) << pair;
        }
        if (!found) continue;
        // Away from boundaries the segment's ends are exactly the edge crossings.
        if (hits.size() == 2) {
            EXPECT_TRUE(SameSegment(p0, p1, hits[0], hits[1], 1e-4f)) << pair;
        }

        const Triangle rotated = {b[1], b[2], b[0]}, mirrored = {a[2], a[1], a[0]};
        Point3 q0, q1;
        ASSERT_TRUE(IntersectTriangles(rotated.data(), mirrored.data(), &q0, &q1)) << pair;
        EXPECT_TRUE(SameSegment(p0, p1, q0, q1, 1e-5f)) << pair;
    }
    EXPECT_GT(crossingPairs, 400);
}

}  // namespace
}  // namespace KvrnLib
