#include "string_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace KvrnHost {
namespace {

TEST(StringTableTest, LooksUpTextsByIdAsSpelt) {
    EXPECT_STREQ(GetString(11100), "Kovrin Line");
    EXPECT_STREQ(GetString(1112), "Offscreen Distancee");
    EXPECT_STREQ(GetString(10400), "Zone ");
    EXPECT_STREQ(GetString(11290), "Set");
    EXPECT_STREQ(GetString(11295), "Kovrin Line Settings(*.kvx)|*.kvx|");
    EXPECT_STREQ(GetString(19991), "Lines Set Change");
    EXPECT_STREQ(GetString(1220), "Edge Outline");
    EXPECT_STREQ(GetString(1247), "Alpha Reduction Enable");
    EXPECT_STREQ(GetString(11692), "Simple");
    EXPECT_STREQ(GetString(1), "Kovrin (DRAVO)");
}

TEST(StringTableTest, MissingIdsYieldNullAndEmpty) {
    for (int id : {-1, 0, 3, 1243, 19001, 51100, 99999}) {
        EXPECT_EQ(GetString(id), nullptr) << id;
        EXPECT_STREQ(GetStringOrEmpty(id), "") << id;
    }
}

TEST(StringTableTest, EveryBlendModeHasItsOwnName) {
    std::set<std::string> names;
    for (int mode = 0; mode < 16; ++mode) {
        const char* name = GetString(10050 + mode);
        ASSERT_NE(name, nullptr) << mode;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 16u);
    EXPECT_STREQ(GetString(10050 + 6), "Soft Light");
    EXPECT_STREQ(GetString(10050 + 15), "Luminosity");
    EXPECT_EQ(GetString(10066), nullptr);
}

}  // namespace
}  // namespace KvrnHost
