#include "brush_stamp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "line_random.h"
#include "stage_runner.h"
#include "texmap_context.h"

namespace KvrnLib {
namespace {

constexpr double kDisc = 255 * kPi * 32 * 32;  // total of a solid stamp of radius 32 pixels

BrushDrawSettings Brush(int32_t type) {
    BrushDrawSettings b;
    b.brushType = type;
    return b;
}

class ConstantMono : public TexmapInterface {
  public:
    ColorFloat EvalColor(const TexmapContext&) const override { return {}; }
    float EvalMono(const TexmapContext&) const override { return 0.5f; }
};

// Image 0 made with seed 0: no random angle, no shifted dot grid.
StampCache SeedZero(const BrushDrawSettings& brush) { return BuildStampCache(brush, {}); }

double Total(const StampCache& cache, int image) {
    double sum = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) sum += cache.At(image, x, y);
    return sum;
}

// 4-connected groups of non-zero pixels.
int Blobs(const StampCache& cache, int image) {
    std::vector<char> seen(64 * 64, 0);
    int count = 0;
    for (int start = 0; start < 64 * 64; ++start) {
        if (seen[size_t(start)] || !cache.At(image, start % 64, start / 64)) continue;
        ++count;
        std::vector<int> stack{start};
        seen[size_t(start)] = 1;
        while (!stack.empty()) {
            const int x = stack.back() % 64, y = stack.back() / 64;
            stack.pop_back();
            for (const auto& [nx, ny] : {std::pair{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}}) {
                if (nx < 0 || nx > 63 || ny < 0 || ny > 63 || seen[size_t(ny * 64 + nx)] ||
                    !cache.At(image, nx, ny))
                    continue;
                seen[size_t(ny * 64 + nx)] = 1;
                stack.push_back(ny * 64 + nx);
            }
        }
    }
    return count;
}

TEST(BrushStamp, CacheLayoutMapAndErrors) {
    const std::array<uint16_t, 10> seeds = StampSeeds(-5, 2);
    const StampCache cache = BuildStampCache(Brush(kBrushNormal), seeds);
    EXPECT_EQ(cache.At(3, 31, 31), 255);
    EXPECT_EQ(cache.At(3, -1, 31), 0);   // border pixels lie outside the disc
    EXPECT_EQ(cache.At(10, 31, 31), 0);  // no such image
    EXPECT_FLOAT_EQ(cache.Sample(3, 0.5f, 0.5f), 1.0f);
    EXPECT_EQ(cache.Sample(3, 1.2f, 0.5f), 0.0f);

    try {
        BuildStampCache(Brush(7), seeds);
        ADD_FAILURE() << "no error";
    } catch (const LineEffectException& e) {
        EXPECT_STREQ(e.what(), "brush cache error.");
    }
    const StampMapSampler throwing = [](float, float) -> float { throw std::runtime_error("x"); };
    EXPECT_THROW(BuildStampCache(Brush(kBrushNormal), seeds, throwing), LineEffectException);

    // The brush map scales the value by 1 - opacity + opacity * m.
    BrushDrawSettings mapped = Brush(kBrushNormal);
    mapped.mapOpacity = 0.5f;
    const StampCache m = BuildStampCache(mapped, {}, [](float u, float) { return u; });
    EXPECT_EQ(m.At(0, 48, 31), int(std::floor(255 * (0.5 + 0.5 * 48.5 / 64) + 0.5)));
}

TEST(BrushStamp, RadialFalloffHardEdgeSmoothAndRing) {
    // reductionStart = reductionEnd = 100 %: a hard disc of radius 1.
    const StampCache hard = SeedZero(Brush(kBrushNormal));
    for (uint8_t v : hard.pixels) ASSERT_TRUE(v == 0 || v == 255) << int(v);
    EXPECT_NEAR(Total(hard, 0), kDisc, 0.01 * kDisc);

    // Start 0: f = 1 - r^2, and S(1 - f) = 1 - S(f) makes the total half the disc's.
    BrushDrawSettings soft = Brush(kBrushNormal);
    soft.reductionStart = 0.0f;
    EXPECT_NEAR(Total(SeedZero(soft), 0), 0.5 * kDisc, 0.01 * kDisc);
    EXPECT_NEAR(StampShape(soft, 0.5f + 0.5f * std::sqrt(0.5f), 0.5f, 0), 0.5f, 1e-5f);

    // reductionStart > reductionEnd: a ring, empty in the middle and rising to the rim.
    BrushDrawSettings ring = Brush(kBrushNormal);
    ring.reductionEnd = 0.5f;
    const StampCache r = SeedZero(ring);
    EXPECT_EQ(r.At(0, 31 + 15, 31), 0);  // radius 0.48: r^2 < 0.25
    for (int x = 48; x < 63; ++x) EXPECT_LE(r.At(0, x, 31), r.At(0, x + 1, 31)) << x;
    EXPECT_GT(r.At(0, 63, 31), 240);  // radius 0.98
    EXPECT_EQ(r.At(0, 64, 31), 0);
}

TEST(BrushStamp, StretchAngleAndGroove) {
    // Stretch 0.2 halves the disc along the stamp angle, as the piece extent rule says.
    BrushDrawSettings b;  // simple: 1 inside
    b.stretch = 0.2f;
    EXPECT_FLOAT_EQ(StretchExtent(-0.2f).across, 0.5f);
    EXPECT_EQ(StampShape(b, 0.5f + 0.24f, 0.5f, 0), 1.0f);
    EXPECT_EQ(StampShape(b, 0.5f + 0.26f, 0.5f, 0), 0.0f);
    EXPECT_EQ(StampShape(b, 0.5f, 0.5f + 0.49f, 0), 1.0f);
    b.angle = 90.0f;
    EXPECT_EQ(StampShape(b, 0.5f + 0.49f, 0.5f, 0), 1.0f);
    EXPECT_EQ(StampShape(b, 0.5f, 0.5f + 0.26f, 0), 0.0f);

    // A grooved stamp has no symmetry of its own; angle + 180 turns it about the centre.
    BrushDrawSettings g = Brush(kBrushNormal);
    g.groove = 0.8f;
    g.grooveNum = 7;
    g.reductionStart = 0.3f;
    g.angle = 20.0f;
    const StampCache a = SeedZero(g);
    g.angle = 200.0f;
    const StampCache turned = SeedZero(g);
    int largest = 0, asymmetric = 0;
    for (int y = -1; y <= 64; ++y) {
        for (int x = -1; x <= 64; ++x) {
            largest = std::max(largest, std::abs(a.At(0, x, y) - turned.At(0, 63 - x, 63 - y)));
            asymmetric += a.At(0, x, y) != a.At(0, 63 - x, 63 - y);
        }
    }
    EXPECT_LE(largest, 2);
    EXPECT_GT(asymmetric, 100);

    // About grooveNum notches in the rim (the noise in their phase may split or merge one),
    // and the groove never adds to the shape.
    auto notches = [](const BrushDrawSettings& brush) {
        int changes = 0;
        bool inside = StampShape(brush, 0.5f, 0.925f, 0) > 0.0f;
        for (int k = 1; k <= 1440; ++k) {
            const double t = k * 2 * kPi / 1440;
            const bool now = StampShape(brush, float(0.5 + 0.425 * std::sin(t)),
                                        float(0.5 + 0.425 * std::cos(t)), 0) > 0.0f;
            changes += now != inside;
            inside = now;
        }
        return changes / 2;
    };
    g.grooveNum = 12;
    EXPECT_NEAR(notches(g), 12, 2);
    BrushDrawSettings plain = g;
    plain.groove = 0.0f;
    EXPECT_EQ(notches(plain), 0);
    for (int k = 0; k < 4096; ++k) {
        const float u = float(k % 64) / 63.0f, v = float(k / 64) / 63.0f;
        ASSERT_LE(StampShape(g, u, v, 0), StampShape(plain, u, v, 0)) << u << " " << v;
    }
}

TEST(BrushStamp, EachImageTurnsByItsSeedsRandomAngle) {
    BrushDrawSettings b;
    b.stretch = 0.6f;  // a bar a quarter as wide as long, lying across the stamp angle
    b.angle = 10.0f;
    b.angleRnd = 180.0f;
    const auto seeds = StampSeeds(3, 1);
    const StampCache cache = BuildStampCache(b, seeds);
    float lowest = 1e9f, highest = -1e9f;
    for (int i = 0; i < 10; ++i) {
        const uint32_t s = LineRandomStep(LineRandom::Table()[(seeds[i] + 777u) & 0xFFFFu]);
        const float degrees = 10.0f + LineRandomToSigned(s) * 90.0f;
        lowest = std::min(lowest, degrees);
        highest = std::max(highest, degrees);
        const double a = Radians(degrees);
        auto at = [&](double px, double py) {
            return cache.Sample(i, float(0.5 + 0.5 * px), float(0.5 + 0.5 * py));
        };
        EXPECT_EQ(at(0.9 * std::sin(a), 0.9 * std::cos(a)), 1.0f) << i;   // along the bar
        EXPECT_EQ(at(0.3 * std::cos(a), -0.3 * std::sin(a)), 0.0f) << i;  // across it
    }
    EXPECT_GT(highest - lowest, 30.0f);

    const StampCache zeroSeeds = BuildStampCache(b, {});
    b.angleRnd = 0.0f;
    EXPECT_EQ(BuildStampCache(b, {}).pixels, zeroSeeds.pixels);  // seed 0: the brush's angle
}

TEST(BrushStamp, StrokeTypeRulesAndRadialStamps) {
    // Noise and stamp choices along a loop repeat with its period, so the loop has no seam.
    for (float s : {0.0f, 2.3f, 6.99f}) {
        EXPECT_NEAR(StrokeNoise(5, s, 7), StrokeNoise(5, s + 7.0f, 7), 1e-5f) << s;
        const StampBlend a = RandomStampAt(5, s, 10, 7), b = RandomStampAt(5, s + 14.0f, 10, 7);
        EXPECT_EQ(a.first, b.first);
        EXPECT_EQ(a.second, b.second);
        EXPECT_NEAR(a.weight, b.weight, 1e-5f);
    }
    float lowest = 1.0f, highest = 0.0f, largestStep = 0.0f;
    for (int k = 0; k < 4000; ++k) {
        const float n = StrokeNoise(9, float(k) * 0.01f);
        lowest = std::min(lowest, n);
        highest = std::max(highest, n);
        largestStep = std::max(largestStep, std::fabs(n - StrokeNoise(9, float(k + 1) * 0.01f)));
    }
    EXPECT_GE(lowest, 0.0f);
    EXPECT_LE(highest, 1.0f);
    EXPECT_GT(highest - lowest, 0.5f);
    EXPECT_LT(largestStep, 0.03f);  // smooth: no jumps between cells
    EXPECT_EQ(RandomStampAt(9, 3.0f, 10).weight, 0.0f);

    EXPECT_EQ(MakeRakeTines(1.0f, 1).count, 3);
    EXPECT_EQ(MakeRakeTines(40.0f, 1).count, 16);
    const RakeTines rake = MakeRakeTines(40.0f, 1);
    for (float across = -1.2f; across < 1.2f; across += 0.01f) {
        const float c = RakeCoverage(rake, across, 0.05f, 0.0f);
        ASSERT_GE(c, 0.0f);
        ASSERT_LE(c, 1.0f);
    }

    // A line of radial stamps covers a pixel by its distance to the line, so joints may skip
    // the overlap of neighbouring pieces; a ring, a groove, dots or a map break that.
    BrushDrawSettings b = Brush(kBrushNormal);
    b.stretch = 0.4f;
    b.angleRnd = 90.0f;
    EXPECT_TRUE(StampIsRadial(b));
    b.reductionStart = 0.2f;
    EXPECT_TRUE(StampIsRadial(b));
    b.reductionEnd = 0.1f;
    EXPECT_FALSE(StampIsRadial(b));
    b = Brush(kBrushNormal);
    b.groove = 0.1f;
    EXPECT_FALSE(StampIsRadial(b));
    b = Brush(kBrushNormal);
    b.brushMap = std::make_shared<ConstantMono>();
    EXPECT_FALSE(StampIsRadial(b));
    EXPECT_FALSE(StampIsRadial(Brush(kBrushMultiple)));
    EXPECT_FALSE(StampIsRadial(Brush(kBrushSimple)));
}

TEST(BrushStamp, MultipleTypeDrawsItsDotGrid) {
    BrushDrawSettings b = Brush(kBrushMultiple);
    b.stampSize = 0.05f;  // dots of radius 0.05 on a 0.3 grid, in halved coordinates
    b.hSpace = b.vSpace = 0.2f;
    b.sizeRnd = b.hSpaceRnd = b.vSpaceRnd = b.anti = 0.0f;
    // Dots at 0 and +-0.3 (0.6 of the stamp radius) fit inside; those at 0.6 do not.
    const StampCache dots = SeedZero(b);
    EXPECT_EQ(Blobs(dots, 0), 9);
    EXPECT_EQ(dots.At(0, 31 + 9, 31), 0);  // between two dots
    const double dot = 255 * kPi * 3.2 * 3.2;
    EXPECT_NEAR(Total(dots, 0), 9 * dot, 0.1 * 9 * dot);

    // Shifted grids with random spacing and sizes still give separate dots.
    b.sizeRnd = b.hSpaceRnd = b.vSpaceRnd = 1.0f;
    b.anti = 0.5f;
    const StampCache shifted = BuildStampCache(b, StampSeeds(11, 0));
    for (int i = 0; i < 10; ++i) {
        EXPECT_GT(Blobs(shifted, i), 3) << i;
        EXPECT_LT(Blobs(shifted, i), 20) << i;
    }
}

TEST(BrushStamp, ABrightSizeMapNeverWidensTheLine) {
    PixelFactorInputs in;
    in.sizeMapAmount = 0.5f;
    in.sizeMapValue = 0.5f;  // (0.5 - 1) * 0.5 + 1 = 0.75
    EXPECT_FLOAT_EQ(BrushPixelFactors(in).size, 0.75f);
    in.sizeMapValue = 3.0f;
    EXPECT_FLOAT_EQ(BrushPixelFactors(in).size, 1.0f);
}

double PieceTotal(Point2 a, Point2 b, float width, float anti, bool coverStart) {
    double sum = 0;
    for (int y = -10; y < 60; ++y)
        for (int x = -10; x < 60; ++x)
            sum += SimplePieceCoverage({x + 0.5f, y + 0.5f}, a, b, width, anti, 1, coverStart);
    return sum;
}

TEST(BrushStamp, SimpleBrushCoversItsWidthTimesLengthOnce) {
    // Across the line at pixel spacing the sum is the width: for whole widths at any softness,
    // for any width without softening, wherever the line lies between pixel centres.
    for (float phase : {0.0f, 0.13f, 0.5f}) {
        for (float width : {1.0f, 40.0f}) {
            for (float anti : {0.0f, 2.0f}) {
                double sum = 0;
                for (int k = -60; k <= 60; ++k)
                    sum += SimpleBrushCoverage(k + phase, width, anti, 1);
                EXPECT_NEAR(sum, width, 1e-4) << phase << " " << width << " " << anti;
            }
        }
        for (float width : {0.05f, 1.7f}) {
            double sum = 0;
            for (int k = -5; k <= 5; ++k) sum += SimpleBrushCoverage(k + phase, width, 0.0f, 1);
            EXPECT_NEAR(sum, width, 1e-5) << phase << " " << width;
        }
    }
    EXPECT_FLOAT_EQ(SimpleBrushCoverage(0.0f, 0.2f, 0.0f, 1), 0.2f);  // a faint hairline
    const float reach = SimpleBrushReach(3.0f, 0.5f, 2);
    EXPECT_EQ(SimpleBrushCoverage(reach, 3.0f, 0.5f, 2), 0.0f);
    EXPECT_GT(SimpleBrushCoverage(reach - 0.01f, 3.0f, 0.5f, 2), 0.0f);
    for (float size : {1.0f, 1.5f, 40.0f})  // the half-width holds lines of 1 pixel and up
        for (int s : {1, 2, 4})
            EXPECT_GE(PieceHalfWidth(size, SimpleBrushMargin(0.5f), s),
                      SimpleBrushReach(size * float(s), 0.5f, s));

    // Pieces: a 1-pixel line of length 17 covers 17; a slanted one about its length.
    EXPECT_NEAR(PieceTotal({0.0f, 10.3f}, {17.0f, 10.3f}, 1.0f, 0.5f, true), 17.0, 1e-4);
    const Point2 a{2.2f, 3.1f}, b{30.7f, 21.9f};
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    EXPECT_NEAR(PieceTotal(a, b, 4.0f, 0.5f, true), 4 * length, 0.02 * 4 * length);
    // Two pieces meeting on a pixel centre cover it once, as the whole line would.
    const Point2 p{0.0f, 5.5f}, m{10.5f, 5.5f}, q{20.0f, 5.5f};
    const double whole = PieceTotal(p, q, 1.0f, 0.0f, true);
    EXPECT_NEAR(PieceTotal(p, m, 1, 0, true) + PieceTotal(m, q, 1, 0, false), whole, 1e-4);
    EXPECT_NEAR(PieceTotal(p, m, 1, 0, true) + PieceTotal(m, q, 1, 0, true), whole + 1, 1e-4);
    EXPECT_EQ(PieceTotal(m, m, 5.0f, 0.5f, true), 0.0);  // zero length draws nothing
    // A slanted joint on a pixel centre too: exactly one of the two pieces takes it.
    const Point2 s0{0.3f, 1.1f}, joint{10.5f, 7.5f}, s1{21.2f, 13.9f};
    EXPECT_EQ(SimplePieceCoverage(joint, s0, joint, 1, 0, 1, true) +
                  SimplePieceCoverage(joint, joint, s1, 1, 0, 1, false),
              1.0f);
}

}  // namespace
}  // namespace KvrnLib
