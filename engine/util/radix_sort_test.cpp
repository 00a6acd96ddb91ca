#include "radix_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace KvrnLib {
namespace {

// Random keys with many repeats, sorted against std::stable_sort on the same bits.
TEST(RadixSort, MatchesStableSortOnTheSelectedBits) {
    std::mt19937_64 random(11);
    for (const int bitCount : {0, 5, 11, 22, 40, 64}) {
        SCOPED_TRACE(bitCount);
        const int lowBit = bitCount == 64 ? 0 : 7;
        const uint64_t mask = bitCount == 64 ? ~uint64_t(0) : (uint64_t(1) << bitCount) - 1;
        std::vector<uint64_t> items(5000);
        // Few distinct keys, so stability is exercised; random bits outside the key too.
        for (uint64_t& item : items) item = (random() % 97) * 0x9E3779B97F4A7C15ull;
        std::vector<uint64_t> expected = items;
        std::stable_sort(expected.begin(), expected.end(), [&](uint64_t a, uint64_t b) {
            return ((a >> lowBit) & mask) < ((b >> lowBit) & mask);
        });
        std::vector<uint64_t> scratch;
        RadixSortBits(items, scratch, lowBit, bitCount);
        EXPECT_EQ(items, expected);

        std::vector<uint64_t> keys(5000);
        std::vector<uint32_t> values(keys.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            keys[i] = (random() % 97) * 0x9E3779B97F4A7C15ull;
            values[i] = uint32_t(i);
        }
        std::vector<uint32_t> expectedValues = values;
        std::stable_sort(expectedValues.begin(), expectedValues.end(), [&](uint32_t a, uint32_t b) {
            return (keys[a] & mask) < (keys[b] & mask);
        });
        const std::vector<uint64_t> unsortedKeys = keys;
        RadixSortPairs(keys, values, bitCount);
        EXPECT_EQ(values, expectedValues);
        for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], unsortedKeys[values[i]]);
    }
    std::vector<uint64_t> keys(3);
    std::vector<uint32_t> values(2);
    EXPECT_THROW(RadixSortPairs(keys, values, 8), std::invalid_argument);
}

}  // namespace
}  // namespace KvrnLib
