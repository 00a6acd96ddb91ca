#include "line_raster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "blend_op.h"

namespace KvrnLib {
namespace {

void ExpectEngineError(const std::function<void()>& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const LineEffectException& e) {
        EXPECT_EQ(e.what(), message);
    }
}

void ExpectColor(const ColorFloat& c, float r, float g, float b, float a, float tolerance = 1e-6f) {
    EXPECT_NEAR(c.r, r, tolerance);
    EXPECT_NEAR(c.g, g, tolerance);
    EXPECT_NEAR(c.b, b, tolerance);
    EXPECT_NEAR(c.a, a, tolerance);
}

// A raster filled with one colour, wrapped for the engine.
std::shared_ptr<LineEffectRasterForColorFloatRaster> FilledRaster(int w, int h, ColorFloat c) {
    auto raster = std::make_shared<ColorFloatRaster>(w, h);
    for (int y = 0; y < h; ++y) std::fill_n(raster->Row(y), w, c);
    return std::make_shared<LineEffectRasterForColorFloatRaster>(raster);
}

// A stroke fragment of straight colour (r, g, b) at the given coverage.
LineFragment Stroke(uint32_t id, float coverage, float r, float g, float b, float key = 0.0f) {
    return {coverage, key, r * coverage, g * coverage, b * coverage, coverage, id, -1};
}

// A fragment at a sub-pixel.
struct Placed {
    int x = 0;
    int y = 0;
    LineFragment f;
};

TEST(LineRaster, RowAccessCopiesOnlyTheRasterWidthAndTheListedPixels) {
    auto raster = std::make_shared<ColorFloatRaster>(3, 2);
    LineEffectRasterForColorFloatRaster access(raster);
    const ColorFloat marker{9, 9, 9, 9};
    std::vector<ColorFloat> longRow(5, marker);
    longRow[0] = {1, 0, 0, 1};
    access.WriteRow(1, longRow);  // the two extra entries are not written anywhere
    std::vector<ColorFloat> readBack(5, ColorFloat{});
    access.ReadRow(1, readBack);
    ExpectColor(readBack[0], 1, 0, 0, 1);
    ExpectColor(readBack[2], 9, 9, 9, 9);
    ExpectColor(readBack[3], 0, 0, 0, 0);  // beyond the width: left alone

    const std::vector<int32_t> one{1}, two{2};
    access.WritePixels(1, std::vector<ColorFloat>(3, ColorFloat{0.5f, 0.5f, 0.5f, 0.5f}), one);
    ExpectColor(raster->Row(1)[0], 1, 0, 0, 1);
    ExpectColor(raster->Row(1)[1], 0.5f, 0.5f, 0.5f, 0.5f);
    std::vector<ColorFloat> picked(3, ColorFloat{});
    access.ReadPixels(1, picked, two);
    ExpectColor(picked[0], 0, 0, 0, 0);
    ExpectColor(picked[2], 9, 9, 9, 9);
}

TEST(LineRaster, BadSizesAndAccessesGiveClearErrors) {
    ExpectEngineError([] { ColorFloatRaster r(0, 4); }, "invalid raster size.");

    LineEffectRasterForColorFloatRaster empty(nullptr);

    auto access = FilledRaster(3, 2, {});
    std::vector<ColorFloat> row(3);
    const std::vector<int32_t> outside{3};
    EXPECT_THROW(access->ReadPixels(0, row, outside), std::out_of_range);
    EXPECT_THROW(access->WritePixels(0, std::vector<ColorFloat>(2), std::vector<int32_t>{2}),
                 std::out_of_range);  // x beyond the caller's buffer
    EXPECT_THROW(access->WriteRow(-1, row), std::out_of_range);

    LineEffectWorkBuffer buffer;
    ExpectEngineError([&] { buffer.Prepare(0, 4, 1, 1.0f); }, "invalid raster size.");
    ExpectEngineError([&] { buffer.Prepare(4, 4, 0, 1.0f); }, "invalid settings.");
    ExpectEngineError([&] { buffer.Prepare(4, 4, 1, 17.0f); }, "invalid settings.");
    ExpectEngineError([&] { buffer.Prepare(1 << 20, 4, 1 << 12, 1.0f); }, "raster alloc failed.");
    // Failed preparations leave an unusable buffer, not a half-made one.
    EXPECT_THROW(buffer.Merge(0, 0, Stroke(1, 1, 0, 0, 0)), std::out_of_range);
    ExpectEngineError([&] { buffer.BeginPass(*access); }, "invalid raster size.");

    buffer.Prepare(4, 4, 2, 1.0f);
    EXPECT_THROW(buffer.Merge(8, 0, Stroke(1, 1, 0, 0, 0)), std::out_of_range);
    ExpectEngineError([&] { buffer.BeginPass(*access); }, "invalid raster size.");
    ExpectEngineError([&] { buffer.BeginPass(empty); }, "invalid raster size.");
    ThreadManagerCore pool(1);
    EXPECT_THROW(buffer.ResolveSlot(pool, 16), std::invalid_argument);
    EXPECT_THROW(FilterWindowSize(0, 1.0f), std::invalid_argument);
}

TEST(LineRasterFilter, WindowRadiusAndTableFollowTheFilterWidth) {
    // n = floor(2 max(a - 1, 0) s + s + 1.5), made even-sided around the s x s block.
    EXPECT_EQ(FilterWindowSize(4, 1.0f), 6);
    EXPECT_EQ(FilterWindowSize(2, 2.0f), 8);
    EXPECT_EQ(FilterWindowSize(4, 0.0f), 4);
    EXPECT_EQ(MaskRadius(1, 3), 2);
    EXPECT_EQ(MaskRadius(4, 6), 1);

    // Width 1 is the pixel box: each sub-pixel of the block weighs 1/s, the margin nothing.
    const std::vector<float> box = BuildFilterTable(4, 1.0f);
    ASSERT_EQ(box.size(), 6u);
    for (int j = 0; j < 6; ++j) EXPECT_FLOAT_EQ(box[size_t(j)], j == 0 || j == 5 ? 0.0f : 0.25f);

    for (int s : {1, 2, 4}) {
        for (float a : {1.5f, 3.0f}) {
            const std::vector<float> table = BuildFilterTable(s, a);
            double sum = 0.0;
            for (size_t j = 0; j < table.size(); ++j) {
                EXPECT_GE(table[j], 0.0f);
                EXPECT_NEAR(table[j], table[table.size() - 1 - j], 1e-6f);
                sum += table[j];
            }
            EXPECT_NEAR(sum, 1.0, 1e-6);
            // Smooth falloff: weights never rise away from the centre.
            for (size_t j = table.size() / 2 + 1; j < table.size(); ++j) {
                EXPECT_LE(table[j], table[j - 1] + 1e-7f);
            }
        }
    }
}

TEST(LineRasterFragments, MergeAddsOneStrokeAndKeepsOthersApart) {
    LineEffectWorkBuffer buffer;
    buffer.Prepare(4, 3, 2, 1.0f);
    EXPECT_FALSE(buffer.Merge(5, 3, {0.4f, 7.0f, 0.1f, 0.2f, 0.3f, 0.4f, 11, -1}));
    EXPECT_TRUE(buffer.Merge(5, 3, {0.6f, 2.0f, 0.1f, 0.1f, 0.1f, 0.6f, 11, -1}));
    EXPECT_FALSE(buffer.Merge(5, 3, {0.3f, 1.0f, 0.0f, 0.0f, 0.0f, 0.3f, 12, -1}));
    EXPECT_TRUE(buffer.Merge(5, 3, {0.6f, 5.0f, 0.0f, 0.0f, 0.0f, 0.1f, 11, -1}));
    EXPECT_TRUE(buffer.Merge(5, 3, {0.5f, 9.0f, 0.0f, 0.0f, 0.0f, 0.0f, 11, -1}));

    const int32_t first = buffer.FirstFragment(5, 3);
    ASSERT_GE(first, 0);
    const LineFragment& a = buffer.Fragment(3, first);
    EXPECT_EQ(a.id, 11u);
    EXPECT_FLOAT_EQ(a.r, 0.2f);
    EXPECT_FLOAT_EQ(a.alpha, 1.1f);     // alpha adds
    EXPECT_FLOAT_EQ(a.coverage, 0.6f);  // coverage rises to the larger
    EXPECT_FLOAT_EQ(a.key, 5.0f);       // 2 from the larger coverage, then the larger at a tie
    ASSERT_GE(a.next, 0);
    const LineFragment& b = buffer.Fragment(3, a.next);
    EXPECT_EQ(b.id, 12u);
    EXPECT_EQ(b.next, -1);
    EXPECT_EQ(buffer.FirstFragment(4, 3), -1);

    // Cells are output pixels: sub-pixel (5, 3) at over-sampling 2 lies in cell (2, 1).
    EXPECT_EQ(buffer.Cell(2, 1), kCellTouched);
    EXPECT_EQ(buffer.Cell(1, 1), 0);

    // A stroke copy raises its own fragment while it is the last one there, else starts anew.
    buffer.CopyFragment(5, 3, 12).coverage = 0.9f;
    EXPECT_EQ(buffer.CopyFragment(5, 3, 12).coverage, 0.9f);
    EXPECT_EQ(buffer.CopyFragment(5, 3, 11).coverage, 0.0f);

    // Reusing the buffer for a frame of the same size starts it empty.
    buffer.Prepare(4, 3, 2, 1.0f);
    EXPECT_EQ(buffer.FirstFragment(5, 3), -1);
    EXPECT_EQ(buffer.Cell(2, 1), 0);
}

TEST(LineRasterTiles, ResolveDoesNotDependOnWhereTileBordersFall) {
    // One pattern of fragments around pixel (0, 0) of a small frame, and the same pattern moved
    // onto the corner where four 64 x 64 tiles meet: the resolved pixels must match.
    ThreadManagerCore pool(2);
    const int s = 2;
    std::vector<Placed> pattern;
    uint32_t state = 99;
    const auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 8; };
    for (int i = 0; i < 400; ++i) {
        const int x = int(next() % (10 * s)) - 5 * s, y = int(next() % (10 * s)) - 5 * s;
        pattern.push_back(
            {x, y, Stroke(next() % 4, float(next() % 100) / 99.0f, 0.3f, 0.6f, 0.9f)});
    }
    const auto resolved = [&](int w, int h, int ox, int oy) {
        auto output = FilledRaster(w, h, {0.1f, 0.1f, 0.1f, 1.0f});
        LineEffectWorkBuffer buffer;
        buffer.Prepare(w, h, s, 2.5f);
        buffer.BeginPass(*output);
        for (const Placed& p : pattern) buffer.Merge(p.x + ox * s, p.y + oy * s, p.f);
        buffer.ResolveSlot(pool, kBlendNormal);
        buffer.EndPass(*output);
        std::vector<ColorFloat> window;  // 20 x 20 pixels around the pattern's centre
        for (int y = oy - 10; y < oy + 10; ++y)
            for (int x = ox - 10; x < ox + 10; ++x) window.push_back(output->Raster()->Row(y)[x]);
        return window;
    };
    const std::vector<ColorFloat> inside = resolved(40, 40, 20, 20);
    const std::vector<ColorFloat> corner = resolved(140, 140, 64, 64);
    ASSERT_EQ(inside.size(), corner.size());
    EXPECT_EQ(std::memcmp(inside.data(), corner.data(), inside.size() * sizeof(ColorFloat)), 0);
    int changed = 0;
    for (const ColorFloat& c : inside) changed += c.r != 0.1f;
    EXPECT_GT(changed, 100);  // the pattern and the filter's reach, not nothing
}

TEST(LineRasterTiles, MemoryFollowsTheInkNotTheFrame) {
    // A dot in a 1024 x 1024 frame over-sampled twice holds a few hundred kilobytes, where
    // frame-sized buffers would take over 30 MB.
    ThreadManagerCore pool(2);
    auto output = FilledRaster(1024, 1024, {});
    LineEffectWorkBuffer buffer;
    buffer.Prepare(1024, 1024, 2, 1.0f);
    buffer.BeginPass(*output);
    buffer.Merge(1000, 1500, Stroke(1, 1.0f, 1.0f, 0.0f, 0.0f));
    buffer.ResolveSlot(pool, kBlendNormal);
    EXPECT_LT(buffer.MemoryBytes(), 1 << 20);
    buffer.EndPass(*output);
    ExpectColor(output->Raster()->Row(750)[500], 0.25f, 0.0f, 0.0f, 0.25f);

    // A second frame reuses the pooled tiles and the row's fragment store instead of new ones.
    const int64_t held = buffer.MemoryBytes();
    buffer.Prepare(1024, 1024, 2, 1.0f);
    buffer.BeginPass(*output);
    buffer.Merge(100, 1500, Stroke(1, 1.0f, 1.0f, 0.0f, 0.0f));  // another tile, the same row
    buffer.ResolveSlot(pool, kBlendNormal);
    buffer.EndPass(*output);
    EXPECT_EQ(buffer.MemoryBytes(), held);
}

TEST(LineRasterResolve, AFullCoverageFragmentResolvesToItsColourAndThePassWritesOnlyIt) {
    ThreadManagerCore pool(2);
    const ColorFloat base{0.1f, 0.2f, 0.3f, 1.0f};
    auto output = FilledRaster(6, 4, base);
    LineEffectWorkBuffer buffer;
    buffer.Prepare(6, 4, 1, 1.0f);
    buffer.BeginPass(*output);
    buffer.Merge(2, 1, Stroke(7, 1.0f, 0.2f, 0.4f, 0.6f));
    buffer.ResolveSlot(pool, kBlendNormal);
    ExpectColor(buffer.PassPixel(2, 1), 0.2f, 0.4f, 0.6f, 1.0f);
    ExpectColor(buffer.PassPixel(3, 1), base.r, base.g, base.b, 1.0f);
    // The slot leaves the fragment buffer and the mask empty.
    EXPECT_EQ(buffer.FirstFragment(2, 1), -1);
    EXPECT_EQ(buffer.Cell(2, 1), 0);

    // A second slot blends onto the first: Multiply by 0.5 grey.
    buffer.Merge(2, 1, Stroke(8, 1.0f, 0.5f, 0.5f, 0.5f));
    buffer.ResolveSlot(pool, kBlendMultiply);
    ExpectColor(buffer.PassPixel(2, 1), 0.1f, 0.2f, 0.3f, 1.0f);

    // Only pixels the pass changed are written back: a change made meanwhile elsewhere stays.
    auto raster = output->Raster();
    raster->Row(3)[4] = {0.9f, 0.9f, 0.9f, 0.9f};
    buffer.EndPass(*output);
    ExpectColor(raster->Row(1)[2], 0.1f, 0.2f, 0.3f, 1.0f);
    ExpectColor(raster->Row(3)[4], 0.9f, 0.9f, 0.9f, 0.9f);
}

TEST(LineRasterResolve, OverlappingStrokesNeverExceedTheirCoverage) {
    // The group formula directly: two half-opaque strokes over the same half of a pixel cover
    // that half, 0.5, not 0.75; each keeps 1 - sqrt(0.5), and the larger key lies on top.
    std::vector<FragmentGroup> groups{{1, 0.0f, 0.5f, 0.5f, 0.0f, 0.0f},
                                      {2, 1.0f, 0.5f, 0.0f, 0.0f, 0.5f}};
    const ColorFloat c = CombineFragmentGroups(groups, 0.5f);
    const float each = 1.0f - std::sqrt(0.5f);
    ExpectColor(c, each * (1.0f - each), 0.0f, each, 0.5f);

    ThreadManagerCore pool(2);
    LineEffectWorkBuffer buffer;
    const auto resolveAlpha = [&](int s, const std::vector<Placed>& in) {
        auto output = FilledRaster(3, 3, {});
        buffer.Prepare(3, 3, s, 1.0f);
        buffer.BeginPass(*output);
        for (const Placed& p : in) buffer.Merge(p.x, p.y, p.f);
        buffer.ResolveSlot(pool, kBlendNormal);
        return buffer.PassPixel(1, 1);
    };
    // Two opaque strokes on one pixel: full, not more; the top one's colour.
    ExpectColor(
        resolveAlpha(1, {{1, 1, Stroke(1, 1, 1, 0, 0, 0)}, {1, 1, Stroke(2, 1, 0, 0, 1, 3)}}), 0, 0,
        1, 1);
    // Two half-covering strokes on the same sub-pixel, and one stroke merged twice: still 0.5.
    EXPECT_NEAR(
        resolveAlpha(1, {{1, 1, Stroke(1, 0.5f, 0, 0, 0)}, {1, 1, Stroke(2, 0.5f, 0, 0, 0)}}).a,
        0.5f, 1e-6f);
    EXPECT_NEAR(
        resolveAlpha(1, {{1, 1, Stroke(1, 0.5f, 0, 0, 0)}, {1, 1, Stroke(1, 0.5f, 0, 0, 0)}}).a,
        0.5f, 1e-6f);
    // Two strokes side by side filling the pixel's halves at over-sampling 2 cover it fully.
    EXPECT_NEAR(resolveAlpha(2, {{2, 2, Stroke(1, 1, 0, 0, 0)},
                                 {2, 3, Stroke(1, 1, 0, 0, 0)},
                                 {3, 2, Stroke(2, 1, 0, 0, 0)},
                                 {3, 3, Stroke(2, 1, 0, 0, 0)}})
                    .a,
                1.0f, 1e-6f);
}

TEST(LineRasterResolve, AHalfCoveredPixelResolvesAlikeAtEveryOverSampling) {
    ThreadManagerCore pool(2);
    for (float a : {1.0f, 1.5f, 2.5f}) {
        std::vector<float> centre;
        for (int s : {1, 2, 4}) {
            auto output = FilledRaster(9, 9, {});
            LineEffectWorkBuffer buffer;
            buffer.Prepare(9, 9, s, a);
            buffer.BeginPass(*output);
            // The left half of pixel (4, 4): one half-covered sub-pixel, or whole sub-pixels.
            if (s == 1) {
                buffer.Merge(4, 4, Stroke(1, 0.5f, 0, 0, 0));
            } else {
                for (int y = 4 * s; y < 5 * s; ++y)
                    for (int x = 4 * s; x < 4 * s + s / 2; ++x)
                        buffer.Merge(x, y, Stroke(1, 1, 0, 0, 0));
            }
            buffer.ResolveSlot(pool, kBlendNormal);
            centre.push_back(buffer.PassPixel(4, 4).a);
            double total = 0.0;  // the filter moves coverage around but keeps all of it
            for (int y = 0; y < 9; ++y)
                for (int x = 0; x < 9; ++x) total += buffer.PassPixel(x, y).a;
            EXPECT_NEAR(total, 0.5, 1e-5) << "a " << a << " s " << s;
        }
        if (a == 1.0f) {
            EXPECT_NEAR(centre[0], 0.5f, 1e-6f);
        }
        EXPECT_NEAR(centre[1], centre[0], 1e-5f) << "a " << a;
        EXPECT_NEAR(centre[2], centre[0], 1e-5f) << "a " << a;
    }
}

TEST(LineRasterResolve, ResultDoesNotDependOnTheThreadCount) {
    const int w = 23, h = 17, s = 2;
    // Fragments from a fixed generator: positions, strokes, colours, coverages and keys.
    std::vector<Placed> placed;
    uint32_t state = 12345;
    const auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 8; };
    for (int i = 0; i < 3000; ++i) {
        const int x = int(next() % (w * s)), y = int(next() % (h * s));
        const float cov = float(next() % 1000) / 999.0f;
        placed.push_back({x, y,
                          Stroke(next() % 5, cov, float(next() % 7) / 6, float(next() % 5) / 4,
                                 float(next() % 3) / 2, float(next() % 4))});
    }
    std::vector<ColorFloat> reference;
    for (int threads : {1, 2, 7}) {
        ThreadManagerCore pool(threads);
        auto output = FilledRaster(w, h, {0.5f, 0.25f, 0.75f, 0.5f});
        LineEffectWorkBuffer buffer;
        buffer.Prepare(w, h, s, 1.5f);
        buffer.BeginPass(*output);
        // As the drawing threads do: thread t merges the rows y with y mod T = t.
        pool.Run(
            [&](int item, int, int) {
                if (item >= threads) return false;
                for (const Placed& p : placed)
                    if (p.y % threads == item) buffer.Merge(p.x, p.y, p.f);
                return true;
            },
            true);
        buffer.ResolveSlot(pool, kBlendScreen);
        buffer.EndPass(*output);
        std::vector<ColorFloat> pixels;
        for (int y = 0; y < h; ++y)
            pixels.insert(pixels.end(), output->Raster()->Row(y), output->Raster()->Row(y) + w);
        if (reference.empty()) {
            reference = pixels;
            continue;
        }
        EXPECT_EQ(std::memcmp(pixels.data(), reference.data(), pixels.size() * sizeof(ColorFloat)),
                  0)
            << threads << " threads";
    }
}

TEST(LineRasterCompositing, BlendModesActWhereTheDestinationIsOpaque) {
    const ColorFloat line{0.2f, 0.3f, 0.4f, 0.5f};  // straight (0.4, 0.6, 0.8) at half alpha
    // Over an opaque grey: Blend(dst, line, 0.5, Multiply).
    ExpectColor(CompositeLine({0.5f, 0.5f, 0.5f, 1.0f}, line, kBlendMultiply), 0.35f, 0.4f, 0.45f,
                1.0f);
    // Over nothing the line is laid as it is, whatever the mode.
    ExpectColor(CompositeLine({}, line, kBlendDifference), 0.2f, 0.3f, 0.4f, 0.5f);
    // Normal is plain premultiplied "over".
    ExpectColor(CompositeLine({0.2f, 0.0f, 0.0f, 0.4f}, {0.0f, 0.5f, 0.0f, 0.5f}, kBlendNormal),
                0.1f, 0.5f, 0.0f, 0.7f);
    // A render element's background (colour with alpha 0) shows the line over its colour.
    ExpectColor(CompositeLine({1.0f, 1.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.25f}, kBlendNormal),
                0.75f, 0.75f, 0.75f, 0.25f);
    // Transparent lines change nothing.
    ExpectColor(CompositeLine({0.3f, 0.3f, 0.3f, 1.0f}, {}, kBlendAdditive), 0.3f, 0.3f, 0.3f,
                1.0f);
}

}  // namespace
}  // namespace KvrnLib
