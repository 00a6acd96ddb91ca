#include "chunked_array.h"

#include <gtest/gtest.h>

#include <string>

namespace KvrnLib {
namespace {

TEST(ChunkedArray, ElementsKeepTheirAddressesAcrossBlocksAndMoves) {
    ChunkedArray<std::string> names;
    std::vector<const std::string*> addresses;
    for (int i = 0; i < 1000; ++i) addresses.push_back(&names.Append(std::to_string(i)));
    ASSERT_EQ(names.Size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(&names[i], addresses[i]);
        EXPECT_EQ(names[i], std::to_string(i));
    }

    ChunkedArray<std::string> moved(std::move(names));
    EXPECT_EQ(names.Size(), 0u);
    EXPECT_EQ(&moved[999], addresses[999]);
    moved.Append("after move");
    EXPECT_EQ(moved[1000], "after move");

    int visited = 0;
    moved.ForEach([&](const std::string&) { ++visited; });
    EXPECT_EQ(visited, 1001);
    moved.Clear();
    EXPECT_TRUE(moved.Empty());
    moved.Append("reused");
    EXPECT_EQ(moved[0], "reused");
}

}  // namespace
}  // namespace KvrnLib
