#include "tiled_array.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

namespace KvrnLib {
namespace {

TEST(TiledArray, ThreadsMeetingAtNewTilesEachKeepTheirWrites) {
    // Eight threads write interleaved rows of the same tiles at once (a start line makes them
    // claim together); every write must survive, and nothing else may be set.
    constexpr int kThreads = 8, kWidth = 300, kHeight = 200;
    TiledArray<int32_t> array;
    array.Resize(kWidth, kHeight);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int y = t; y < kHeight; y += kThreads)
                for (int x = (y * 7) % 5; x < kWidth; x += 5) array.At(x, y) = y * kWidth + x + 1;
        });
    }
    for (std::thread& thread : threads) thread.join();
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int32_t expected = x % 5 == (y * 7) % 5 ? y * kWidth + x + 1 : 0;
            wrong += array.Get(x, y) != expected;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(array.UsedTiles().size(), size_t(array.TilesX() * array.TilesY()));
}

TEST(TiledArray, ReleasedTilesComeBackEmptyAndArePooled) {
    TiledArray<int32_t> array;
    array.Resize(1000, 1000);
    EXPECT_EQ(array.Get(999, 999), 0);  // no tile claimed by reading
    EXPECT_TRUE(array.UsedTiles().empty());
    array.At(999, 999) = 5;
    array.At(0, 0) = 6;
    EXPECT_EQ(array.UsedTiles().size(), 2u);
    const int64_t held = array.MemoryBytes();
    array.Release(true);
    EXPECT_TRUE(array.UsedTiles().empty());
    EXPECT_EQ(array.Get(999, 999), 0);
    // Claiming again takes the pooled tiles, cleared.
    EXPECT_EQ(array.At(500, 500), 0);
    EXPECT_EQ(array.At(10, 990), 0);
    EXPECT_EQ(array.MemoryBytes(), held);
    // A new size keeps the pool but drops what was claimed.
    array.At(500, 500) = 1;
    array.Resize(70, 70);
    EXPECT_EQ(array.Get(69, 69), 0);
    EXPECT_EQ(array.TilesX(), 2);
    array.Trim();
    EXPECT_LT(array.MemoryBytes(), held);
}

}  // namespace
}  // namespace KvrnLib
