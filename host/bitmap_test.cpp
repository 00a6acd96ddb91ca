#include "bitmap.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace KvrnHost {
namespace {

TEST(BitmapTest, SixteenBitPixelsRoundTripAndClipToTheRow) {
    Bitmap bm(300, 2);
    std::vector<BMM_Color_64> in(10);
    for (int i = 0; i < 10; ++i) {
        in[i] = BMM_Color_64{uint16_t(i * 6553), uint16_t(65535 - i), uint16_t(i), 65535};
    }
    // Only the last five fit in the row.
    EXPECT_EQ(bm.PutPixels(295, 1, 10, in.data()), 5);
    std::vector<BMM_Color_64> out(10);
    EXPECT_EQ(bm.GetPixels(295, 1, 10, out.data()), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], in[i]) << i;
    EXPECT_FLOAT_EQ(bm.Pixel(295, 1).g, 1.0f);

    EXPECT_EQ(bm.GetPixels(300, 0, 1, out.data()), 0);
    EXPECT_EQ(bm.GetPixels(-1, 0, 1, out.data()), 0);
    EXPECT_EQ(bm.PutPixels(0, 2, 1, in.data()), 0);

    // Floats outside 0..1 clamp; values in between truncate.
    bm.Pixel(0, 0) = BMM_Color_fl{-0.5f, 2.0f, 0.5f, 1.0f};
    ASSERT_EQ(bm.GetPixels(0, 0, 1, out.data()), 1);
    EXPECT_EQ(out[0], (BMM_Color_64{0, 65535, 32767, 65535}));
}

TEST(BitmapTest, FillWithZeroLeavesUnwrittenBlocksAlone) {
    Bitmap bm(600, 3);  // three blocks per row, the last one partial
    EXPECT_FALSE(bm.BlockWritten(0, 0));
    bm.Fill(BMM_Color_fl{});
    for (int y = 0; y < 3; ++y)
        for (int x : {0, 256, 599}) EXPECT_FALSE(bm.BlockWritten(x, y));

    bm.Pixel(300, 1) = BMM_Color_fl{1, 1, 1, 1};
    EXPECT_TRUE(bm.BlockWritten(256, 1));
    EXPECT_FALSE(bm.BlockWritten(0, 1));
    EXPECT_FALSE(bm.BlockWritten(300, 0));
    bm.Fill(BMM_Color_fl{});
    EXPECT_FALSE(bm.BlockWritten(300, 1));
    EXPECT_EQ(bm.Pixel(300, 1), BMM_Color_fl{});

    const BMM_Color_fl grey{0.5f, 0.5f, 0.5f, 1.0f};
    bm.Fill(grey);
    EXPECT_TRUE(bm.BlockWritten(599, 2));
    EXPECT_EQ(bm.Pixel(599, 2), grey);
    EXPECT_EQ(bm.Row(0)[0], grey);
}

TEST(BitmapTest, RowsStartOnPagesAndBadSizesAreRefused) {
    Bitmap bm(10, 4);
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(static_cast<const Bitmap&>(bm).Row(y)) % 4096, 0u);
    }
    try {
        Bitmap bad(0, 5);
        FAIL() << "a zero width was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("0 x 5"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace KvrnHost
