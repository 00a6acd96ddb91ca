#include "coincident_pairing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace KvrnLib {
namespace {

// End points 2e and 2e + 1 of edge e, as connection numbers them: end 1 leaves along -dir.
struct Bucket {
    std::vector<Point2> dir;    // per edge
    std::vector<int32_t> kind;  // per edge
    std::vector<int32_t> ids;   // end points at the shared position, ascending

    Point2 Leaving(int32_t i) const {
        const Point2 d = dir[size_t(i / 2)];
        return (i & 1) ? Point2{-d.x, -d.y} : d;
    }
    // The score connection pairs coincident end points with.
    bool Score(int32_t i, int32_t j, float* s) const {
        if ((i ^ 1) == j) return false;
        *s = CoincidentScore(Leaving(i), Leaving(j), kind[size_t(i / 2)] == kind[size_t(j / 2)]);
        return true;
    }
    std::vector<CoincidentEnd> Ends() const {
        std::vector<CoincidentEnd> ends;
        for (const int32_t i : ids) ends.push_back({i, kind[size_t(i / 2)], Leaving(i)});
        return ends;
    }
};

Point2 Unit(double angle) {
    const float x = float(std::cos(angle)), y = float(std::sin(angle));
    const float length = std::hypot(x, y);
    return {x / length, y / length};
}

// Edges with directions drawn by `direction`, kinds 0-9; both ends of every seventh edge lie at
// the point (a zero-length edge), one end of each other edge.
template <class Direction>
Bucket MakeBucket(int edges, std::mt19937& random, Direction direction) {
    Bucket b;
    for (int e = 0; e < edges; ++e) {
        b.dir.push_back(direction());
        b.kind.push_back(int32_t(random() % 10));
        if (e % 7 == 0) {
            b.ids.push_back(2 * e);
            b.ids.push_back(2 * e + 1);
        } else {
            b.ids.push_back(2 * e + int32_t(random() % 2));
        }
    }
    return b;
}

std::vector<int32_t> Reference(const Bucket& b) {
    std::vector<int32_t> partner;
    EXPECT_TRUE(PairEndPoints(
        int32_t(2 * b.dir.size()), {0, int32_t(b.ids.size())}, b.ids,
        [&](int32_t i, int32_t j, float* s) { return b.Score(i, j, s); }, nullptr, &partner));
    return partner;
}

std::vector<int32_t> Fast(const Bucket& b, int64_t* scored = nullptr) {
    std::vector<int32_t> partner(2 * b.dir.size(), kStrokeEnd);
    const PairScore score = [&](int32_t i, int32_t j, float* s) {
        if (scored) ++*scored;
        return b.Score(i, j, s);
    };
    EXPECT_TRUE(PairCoincidentEnds(b.Ends(), score, nullptr, &partner));
    return partner;
}

TEST(CoincidentPairing, PairsAsAllPairsAgainstAllDo) {
    // A zero-length edge's two ends would continue each other best but never pair: end 0 takes
    // the other edge's end 3 instead, though end 1 comes first among the ends along -x.
    Bucket folded;
    folded.dir = {{1, 0}, {1, 0}};
    folded.kind = {0, 0};
    folded.ids = {0, 1, 3};
    EXPECT_EQ(Fast(folded), Reference(folded));
    EXPECT_EQ(Fast(folded), (std::vector<int32_t>{3, kStrokeEnd, kStrokeEnd, 0}));

    std::mt19937 random(5);
    const auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(random);
    };
    constexpr double kPi = 3.14159265358979;
    // Few directions, many copies of each (a face repeated many times).
    std::vector<Point2> pool;
    for (int p = 0; p < 12; ++p) pool.push_back(Unit(uniform(0, 2 * kPi)));
    const auto fromPool = [&] { return pool[random() % pool.size()]; };
    // Directions within 1e-4 of +-x and +-y: scores equal or one float step apart, so ties and
    // rounding decide.
    const auto nearAxes = [&] {
        return Unit(double(random() % 4) * kPi / 2 + uniform(-1e-4, 1e-4));
    };
    // Lengths other than 1, zero, infinite and NaN, among unit ones.
    const auto odd = [&]() -> Point2 {
        switch (random() % 8) {
            case 0:
                return {0.6f, -0.6f};
            case 1:
                return {0.0f, 0.0f};
            case 2:
                return {std::numeric_limits<float>::infinity(), 0.0f};
            case 3:
                return {std::nanf(""), 1.0f};
            default:
                return Unit(uniform(0, 2 * kPi));
        }
    };
    const auto mixed = [&] {
        switch (random() % 3) {
            case 0:
                return fromPool();
            case 1: {  // mirrored across the axes: exactly equal scores
                const Point2 d = fromPool();
                return Point2{random() % 2 ? d.x : -d.x, random() % 2 ? d.y : -d.y};
            }
            default:
                return Unit(uniform(0, 2 * kPi));
        }
    };
    struct Case {
        std::string name;
        int edges;
        std::function<Point2()> direction;
    };
    const std::vector<Case> cases = {
        {"random", 2000, [&] { return Unit(uniform(0, 2 * kPi)); }},
        {"mixed", 2000, mixed},
        {"copies", 400, fromPool},
        {"near axes", 1000, nearAxes},
        {"odd lengths", 400, odd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bucket b = MakeBucket(c.edges, random, c.direction);
        const std::vector<int32_t> expected = Reference(b);
        EXPECT_EQ(Fast(b), expected);
        int paired = 0;
        for (const int32_t i : b.ids) paired += expected[size_t(i)] != kStrokeEnd;
        EXPECT_GT(paired, int(b.ids.size()) / 2);
    }
}

TEST(CoincidentPairing, ScoresGrowLinearlyWithTheEnds) {
    std::mt19937 random(9);
    std::vector<Point2> pool;
    for (int p = 0; p < 40; ++p) pool.push_back(Unit(double(random() % 100000) * 6.2832e-5));
    for (const int edges : {2000, 32000}) {
        // Half the directions from a small pool (many copies), half anywhere.
        const Bucket b = MakeBucket(edges, random, [&] {
            return random() % 2 ? pool[random() % pool.size()]
                                : Unit(double(random() % 100000) * 6.2832e-5);
        });
        const double n = double(b.ids.size());
        int64_t scored = 0;
        const std::vector<int32_t> partner = Fast(b, &scored);
        EXPECT_LT(double(scored), 60 * n) << n << " ends";
        // Every end was paired or found nobody: a stroke end pairs with no other stroke end.
        int32_t strokeEnds = 0;
        for (const int32_t i : b.ids) {
            const int32_t p = partner[size_t(i)];
            if (p == kStrokeEnd) {
                ++strokeEnds;
                continue;
            }
            EXPECT_EQ(partner[size_t(p)], i);
        }
        EXPECT_LE(strokeEnds, 2);
    }
}

TEST(CoincidentPairing, AbortStopsThePairing) {
    std::mt19937 random(2);
    const Bucket b = MakeBucket(3000, random, [&] { return Unit(double(random() % 1000)); });
    std::vector<int32_t> partner(2 * b.dir.size());
    const PairScore score = [&](int32_t i, int32_t j, float* s) { return b.Score(i, j, s); };
    int asked = 0;
    EXPECT_FALSE(PairCoincidentEnds(
        b.Ends(), score, [&] { return ++asked == 3; }, &partner));
    EXPECT_EQ(asked, 3);
}

}  // namespace
}  // namespace KvrnLib
