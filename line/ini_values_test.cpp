#include "ini_values.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace KvrnIni {
namespace {

std::string Value(const MemIniHandler& ini, const std::string& section, const std::string& key) {
    std::string value;
    ini.ReadString(section, key, value);
    return value;
}

TEST(IniValuesTest, WritesTheFixedTextForms) {
    MemIniHandler ini;
    ASSERT_TRUE(WriteFloat(ini, "S", "half", 0.5f));
    ASSERT_TRUE(WriteFloat(ini, "S", "neg", -1234.25f));
    ASSERT_TRUE(WriteFloat(ini, "S", "small", 1e-7f));
    ASSERT_TRUE(WriteInt(ini, "S", "int", -42));
    ASSERT_TRUE(WriteBool(ini, "S", "bool", true));
    ASSERT_TRUE(WriteUnsigned(ini, "S", "uint", 4294967295u));
    ASSERT_TRUE(WriteVector(ini, "S", "color", {0.2667f, 1.0f, 0.0f}));
    ASSERT_TRUE(WriteClassId(ini, "S", "Class_ID", 0x7DD9314A, 0x42DA53EE));
    EXPECT_EQ(Value(ini, "S", "half"), "0.500000");
    EXPECT_EQ(Value(ini, "S", "neg"), "-1234.250000");
    EXPECT_EQ(Value(ini, "S", "small"), "0.000000");
    EXPECT_EQ(Value(ini, "S", "int"), "-42");
    EXPECT_EQ(Value(ini, "S", "bool"), "1");
    EXPECT_EQ(Value(ini, "S", "uint"), "4294967295");
    EXPECT_EQ(Value(ini, "S", "color"), "0.266700 1.000000 0.000000");
    EXPECT_EQ(Value(ini, "S", "Class_ID"), "2111385930 1121604590");
}

TEST(IniValuesTest, ReadsBackWhatWasWritten) {
    MemIniHandler ini;
    ASSERT_TRUE(WriteFloat(ini, "S", "f", 150.0f));
    ASSERT_TRUE(WriteInt(ini, "S", "i", -7));
    ASSERT_TRUE(WriteVector(ini, "S", "v", {0.25f, -2.0f, 3.5f}));
    ASSERT_TRUE(WriteClassId(ini, "S", "c", 0x20150208, 0x0814032E));
    ASSERT_TRUE(ini.WriteString("S", "b", "  +2 "));  // hand-edited: sign and spaces
    float f = 0;
    int32_t i = 0;
    bool b = false;
    std::array<float, 3> v{};
    uint32_t a = 0, c = 0;
    EXPECT_TRUE(ReadFloat(ini, "S", "f", f));
    EXPECT_TRUE(ReadInt(ini, "S", "i", i));
    EXPECT_TRUE(ReadBool(ini, "S", "b", b));
    EXPECT_TRUE(ReadVector(ini, "S", "v", v));
    EXPECT_TRUE(ReadClassId(ini, "S", "c", a, c));
    EXPECT_EQ(f, 150.0f);
    EXPECT_EQ(i, -7);
    EXPECT_TRUE(b);
    EXPECT_EQ(v, (std::array<float, 3>{0.25f, -2.0f, 3.5f}));
    EXPECT_EQ(a, 0x20150208u);
    EXPECT_EQ(c, 0x0814032Eu);
    EXPECT_TRUE(ini.ParseErrors().empty());
}

TEST(IniValuesTest, BadValuesAreReportedWithSectionAndKeyAndChangeNothing) {
    MemIniHandler ini;
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "randomSeed", "abc"));
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "size", "1.5x"));
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "count", "-1"));
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "big", "4294967296"));
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "color", "1 2"));
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "inf", "inf"));
    ASSERT_TRUE(ini.WriteString("Instance0 PB0", "frac", "1.5"));
    int32_t seed = 5;
    float size = 2.0f, infinite = 3.0f;
    uint32_t count = 9, big = 8;
    std::array<float, 3> color{1, 1, 1};
    EXPECT_FALSE(ReadInt(ini, "Instance0 PB0", "randomSeed", seed));
    EXPECT_FALSE(ReadFloat(ini, "Instance0 PB0", "size", size));
    EXPECT_FALSE(ReadUnsigned(ini, "Instance0 PB0", "count", count));
    EXPECT_FALSE(ReadUnsigned(ini, "Instance0 PB0", "big", big));
    EXPECT_FALSE(ReadVector(ini, "Instance0 PB0", "color", color));
    EXPECT_FALSE(ReadFloat(ini, "Instance0 PB0", "inf", infinite));
    EXPECT_FALSE(ReadInt(ini, "Instance0 PB0", "frac", seed));
    EXPECT_EQ(seed, 5);
    EXPECT_EQ(size, 2.0f);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(big, 8u);
    EXPECT_EQ(color, (std::array<float, 3>{1, 1, 1}));
    EXPECT_EQ(infinite, 3.0f);

    // A missing key is not a parse error.
    EXPECT_FALSE(ReadInt(ini, "Instance0 PB0", "absent", seed));
    ASSERT_EQ(ini.ParseErrors().size(), 7u);
    EXPECT_EQ(FormatIniParseError("line.kvx", ini.ParseErrors()[0]),
              "line.kvx: [Instance0 PB0] randomSeed: expected a whole number, got 'abc'");
    EXPECT_EQ(ini.ParseErrors()[4].key, "color");
    EXPECT_EQ(ini.ParseErrors()[4].expected, "three numbers");
    ini.ClearParseErrors();
    EXPECT_TRUE(ini.ParseErrors().empty());
}

TEST(IniValuesTest, TextIsCutToTheGivenLength) {
    MemIniHandler ini;
    ASSERT_TRUE(ini.WriteString("Instance1", "Name", "Brush Settings#3"));
    std::string name = "old";
    EXPECT_TRUE(ReadText(ini, "Instance1", "Name", name, 5));
    EXPECT_EQ(name, "Brush");
    EXPECT_FALSE(ReadText(ini, "Instance1", "Missing", name));
    EXPECT_EQ(name, "Brush");
}

TEST(IniValuesTest, CurveSectionUsesItsKeysAndRoundTrips) {
    const std::vector<CurvePoint> curve = {{0, 1, 0, 0, 0.05f, -1, 11},
                                           {1, 0.1f, -0.5f, 0.1f, 0, 0, 11}};
    MemIniHandler ini;
    ASSERT_TRUE(WriteCurve(ini, "Detail", "size_curve_", curve));
    EXPECT_EQ(Value(ini, "Detail", "size_curve_num"), "2");
    EXPECT_EQ(Value(ini, "Detail", "size_curve_0ox"), "0.050000");
    EXPECT_EQ(Value(ini, "Detail", "size_curve_1ix"), "-0.500000");
    EXPECT_EQ(Value(ini, "Detail", "size_curve_1f"), "11");
    EXPECT_EQ(ini.FindSection("Detail")->pairs.size(), 1u + 2u * 7u);

    std::vector<CurvePoint> read(5);
    ASSERT_TRUE(ReadCurve(ini, "Detail", "size_curve_", read));
    EXPECT_EQ(read, curve);

    MemIniHandler empty;
    ASSERT_TRUE(WriteCurve(empty, "C", "", {}));
    EXPECT_EQ(empty.Serialize(), "[C]\nnum = 0\n");
}

TEST(IniValuesTest, CurveReadStopsAtTheFirstMissingOrBadKey) {
    const std::vector<CurvePoint> curve = {{0.1f, 0.2f, 0, 0, 0, 0, 3},
                                           {0.5f, 0.5f, 0, 0, 0, 0, 4}};
    MemIniHandler ini;
    ASSERT_TRUE(WriteCurve(ini, "C", "p", curve));
    ASSERT_TRUE(ini.WriteString("C", "p1oy", "oops"));
    std::vector<CurvePoint> read;
    EXPECT_FALSE(ReadCurve(ini, "C", "p", read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].px, 0.1f);
    EXPECT_EQ(read[0].flags, 0);  // flags come in the second pass, which was not reached
    EXPECT_EQ(read[1], CurvePoint{});
    ASSERT_EQ(ini.ParseErrors().size(), 1u);
    EXPECT_EQ(ini.ParseErrors()[0].key, "p1oy");

    // A count that no curve has is reported and leaves the points alone.
    ASSERT_TRUE(ini.WriteString("C", "pnum", "-3"));
    EXPECT_FALSE(ReadCurve(ini, "C", "p", read));
    EXPECT_EQ(read.size(), 2u);
    ASSERT_TRUE(ini.WriteString("C", "pnum", "2000000000"));
    EXPECT_FALSE(ReadCurve(ini, "C", "p", read));
    EXPECT_EQ(read.size(), 2u);
    EXPECT_EQ(ini.ParseErrors().size(), 3u);
}

}  // namespace
}  // namespace KvrnIni
