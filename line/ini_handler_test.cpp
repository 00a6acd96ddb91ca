#include "ini_handler.h"

#include <gtest/gtest.h>

#include <iterator>

#include "test_util.h"

namespace {

using KvrnLineTest::ReadBytes;
using KvrnLineTest::TempFolder;
using KvrnLineTest::WriteBytes;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(IniHandlerTest, FileHandlerReadsWhatItWroteAndEmptyValuesAsNotFound) {
    TempFolder folder;
    IniHandler ini(folder / "kovrin.ini");
    std::string value = "stale";
    EXPECT_FALSE(ini.ReadString("General", "Language", value));
    EXPECT_EQ(value, "");

    ASSERT_TRUE(ini.WriteString("General", "Language", "1041"));
    ASSERT_TRUE(ini.WriteString("General", "Empty", ""));
    EXPECT_TRUE(ini.ReadString("General", "Language", value));
    EXPECT_EQ(value, "1041");
    EXPECT_FALSE(ini.ReadString("General", "Empty", value));
    EXPECT_FALSE(ini.ReadString("general", "Language", value));

    IniHandler unnamed;
    EXPECT_FALSE(unnamed.WriteString("General", "Language", "1"));
    EXPECT_FALSE(unnamed.ReadString("General", "Language", value));
}

TEST(IniHandlerTest, BufferReadsAreCutAtCharacterBoundariesAndClearedOnFailure) {
    MemIniHandler ini;
    ASSERT_TRUE(ini.WriteString("S", "name", "ab\xC3\xA9z"));  // "abéz": é is two bytes
    char buffer[8];
    EXPECT_TRUE(ini.ReadString("S", "name", buffer, 4));  // room for 3 bytes: "ab" + half of é
    EXPECT_STREQ(buffer, "ab");
    EXPECT_TRUE(ini.ReadString("S", "name", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "ab\xC3\xA9z");
    EXPECT_FALSE(ini.ReadString("S", "missing", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(ini.ReadString("S", "name", nullptr, 0));
}

TEST(MemIniHandlerTest, KeepsCreationOrderAndReplacesValuesInPlace) {
    MemIniHandler ini;
    ASSERT_TRUE(ini.WriteString("Params", "NumInstance", "2"));
    ASSERT_TRUE(ini.WriteString("Instance0", "SClass_ID", "512"));
    ASSERT_TRUE(ini.WriteString("Instance0", "Class_ID", "1 2"));
    ASSERT_TRUE(ini.WriteString("Params", "Extra", "x"));
    ASSERT_TRUE(ini.WriteString("Instance0", "SClass_ID", "3088"));
    EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"Params", "Instance0"}));
    ASSERT_NE(ini.FindSection("Instance0"), nullptr);
    EXPECT_EQ(ini.FindSection("Instance0")->pairs,
              (Pairs{{"SClass_ID", "3088"}, {"Class_ID", "1 2"}}));
    EXPECT_EQ(ini.FindSection("instance0"), nullptr);

    EXPECT_EQ(ini.Serialize(),
              "[Params]\nNumInstance = 2\nExtra = x\n"
              "[Instance0]\nSClass_ID = 3088\nClass_ID = 1 2\n");

    EXPECT_TRUE(ini.RemoveSection("Params"));
    EXPECT_FALSE(ini.RemoveSection("Params"));
    EXPECT_EQ(ini.SectionNames(), std::vector<std::string>{"Instance0"});
}

TEST(MemIniHandlerTest, RefusesNamesAndValuesThatWouldNotSurviveAFile) {
    MemIniHandler ini;
    EXPECT_FALSE(ini.WriteString("", "k", "v"));
    EXPECT_FALSE(ini.WriteString("S", "", "v"));
    EXPECT_FALSE(ini.WriteString("S]", "k", "v"));
    EXPECT_FALSE(ini.WriteString("S", "a=b", "v"));
    EXPECT_FALSE(ini.WriteString("S", "k", "line\nbreak"));
    EXPECT_TRUE(ini.Sections().empty());
}

TEST(MemIniHandlerTest, SaveAndLoadRoundTripWithTheFilesOrder) {
    TempFolder folder;
    MemIniHandler ini;
    ASSERT_TRUE(ini.WriteString("Zeta", "b", "2"));
    ASSERT_TRUE(ini.WriteString("Zeta", "a", "1 = one"));
    ASSERT_TRUE(ini.WriteString("Alpha", "name", "Brush Settings#3"));
    ASSERT_TRUE(ini.Save(folder / "p.txt"));
    EXPECT_EQ(ReadBytes(folder / "p.txt"),
              "[Zeta]\nb = 2\na = 1 = one\n[Alpha]\nname = Brush Settings#3\n");

    MemIniHandler loaded;
    ASSERT_TRUE(loaded.WriteString("Old", "k", "v"));
    ASSERT_TRUE(loaded.Load(folder / "p.txt"));
    EXPECT_EQ(loaded.Serialize(), ini.Serialize());

    // A hand-edited file: CRLF, odd spacing, comments and a repeated key (the first counts).
    WriteBytes(folder / "hand.txt", "[B]\r\n  k2 =  v2 \r\n;c=1\r\nk1=v1\r\nk2=late\r\n[A]\r\n");
    ASSERT_TRUE(loaded.Load(folder / "hand.txt"));
    EXPECT_EQ(loaded.SectionNames(), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(loaded.FindSection("B")->pairs, (Pairs{{"k2", "v2"}, {"k1", "v1"}}));
}

TEST(MemIniHandlerTest, LoadAndSaveFailOnlyForEmptyPathsAndUnwritableFiles) {
    TempFolder folder;
    MemIniHandler ini;
    ASSERT_TRUE(ini.WriteString("S", "k", "v"));
    EXPECT_FALSE(ini.Load(""));
    EXPECT_EQ(ini.SectionNames(), std::vector<std::string>{"S"});
    EXPECT_FALSE(ini.Save(""));
    EXPECT_FALSE(ini.Save(folder / "missing_folder" / "p.txt"));

    // A failed rename (the path is a folder) leaves the folder and no temporary file behind.
    std::filesystem::create_directories(folder / "taken");
    EXPECT_FALSE(ini.Save(folder / "taken"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "taken"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);

    EXPECT_TRUE(ini.Load(folder / "absent.txt"));
    EXPECT_TRUE(ini.Sections().empty());
}

}  // namespace
