#include "platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace KvrnHost {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("kvrn_platform_" + std::to_string(::getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ResetFolders();
    }
    void TearDown() override {
        ResetFolders();
        fs::remove_all(dir_);
    }

    std::vector<std::string> FilesIn(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    fs::path dir_;
};

TEST_F(PlatformTest, ReadsTrimmedValuesWhateverTheLineEndsAndSpacing) {
    const fs::path file = dir_ / "a.ini";
    WriteBytes(file,
               "stray=before any section\r\n"
               "[General]\r\n"
               "  Language \t=\t 1041  \r\n"
               "; Language=0\r\n"
               "no equals sign\r\n"
               "Path = a = b\r\n"
               "Empty =\r\n"
               "[ Spaced Name ]\r\n"
               "k=v");
    EXPECT_EQ(GetProfileString(file, "General", "Language"), "1041");
    EXPECT_EQ(GetProfileString(file, "General", "Path"), "a = b");
    EXPECT_EQ(GetProfileString(file, "General", "Empty", "default"), "");
    EXPECT_EQ(GetProfileString(file, "Spaced Name", "k"), "v");
    // Keys are matched exactly: case, comments and keys outside sections do not count.
    EXPECT_EQ(GetProfileString(file, "General", "language", "none"), "none");
    EXPECT_EQ(GetProfileString(file, "general", "Language", "none"), "none");
    EXPECT_EQ(GetProfileString(file, "General", "; Language", "none"), "none");
    EXPECT_EQ(GetProfileString(file, "", "stray", "none"), "none");
    EXPECT_EQ(GetProfileSectionNames(file), (std::vector<std::string>{"General", "Spaced Name"}));
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(GetProfileSection(file, "General"),
              (Pairs{{"Language", "1041"}, {"Path", "a = b"}, {"Empty", ""}}));
    EXPECT_TRUE(GetProfileSection(file, "Missing").empty());
}

TEST_F(PlatformTest, RepeatedKeysAndSectionsReadAsTheFirstAndContinueIt) {
    const fs::path file = dir_ / "dup.ini";
    WriteBytes(file, "[S]\nk=1\nk=2\n[T]\nx=0\n[S]\nm=3\nk=4\n");
    EXPECT_EQ(GetProfileString(file, "S", "k"), "1");
    EXPECT_EQ(GetProfileString(file, "S", "m"), "3");
    EXPECT_EQ(GetProfileSectionNames(file), (std::vector<std::string>{"S", "T"}));
    EXPECT_EQ(GetProfileSection(file, "S").size(), 4u);
}

TEST_F(PlatformTest, MissingFileReadsAsEmptyProfile) {
    const fs::path file = dir_ / "none.ini";
    EXPECT_EQ(GetProfileString(file, "S", "k", "fallback"), "fallback");
    EXPECT_TRUE(GetProfileSectionNames(file).empty());
    EXPECT_TRUE(GetProfileSection(file, "S").empty());
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(PlatformTest, WriteReplacesInPlaceAndLeavesOtherLinesAsTheyWere) {
    const fs::path file = dir_ / "w.ini";
    WriteBytes(file, "; kept comment\n[A]\n  x = 1 \ny=2\n\n[B]\nz=3\n");
    ASSERT_TRUE(WriteProfileString(file, "A", "x", "10"));
    EXPECT_EQ(ReadBytes(file), "; kept comment\n[A]\nx=10\ny=2\n\n[B]\nz=3\n");
    // A new key goes to the end of its section, before the blank line that ends it.
    ASSERT_TRUE(WriteProfileString(file, "A", "w", "4"));
    EXPECT_EQ(ReadBytes(file), "; kept comment\n[A]\nx=10\ny=2\nw=4\n\n[B]\nz=3\n");
    ASSERT_TRUE(WriteProfileString(file, "C", "k", "v v"));
    EXPECT_EQ(ReadBytes(file), "; kept comment\n[A]\nx=10\ny=2\nw=4\n\n[B]\nz=3\n[C]\nk=v v\n");
    EXPECT_EQ(GetProfileString(file, "C", "k"), "v v");
}

TEST_F(PlatformTest, WriteKeepsCrlfAndCreatesMissingFiles) {
    const fs::path crlf = dir_ / "crlf.ini";
    WriteBytes(crlf, "[A]\r\nx=1\r\n");
    ASSERT_TRUE(WriteProfileString(crlf, "A", "y", "2"));
    EXPECT_EQ(ReadBytes(crlf), "[A]\r\nx=1\r\ny=2\r\n");

    const fs::path fresh = dir_ / "fresh.ini";
    ASSERT_TRUE(WriteProfileString(fresh, "General", "Language", "1033"));
    EXPECT_EQ(ReadBytes(fresh), "[General]\nLanguage=1033\n");
    // A repeated section gets the new key in its last block, the repeated key replaced at its
    // first occurrence (the one readers see).
    const fs::path dup = dir_ / "dup.ini";
    WriteBytes(dup, "[S]\nk=1\n[T]\n[S]\nk=2\n");
    ASSERT_TRUE(WriteProfileString(dup, "S", "k", "9"));
    ASSERT_TRUE(WriteProfileString(dup, "S", "n", "5"));
    EXPECT_EQ(ReadBytes(dup), "[S]\nk=9\n[T]\n[S]\nk=2\nn=5\n");
}

TEST_F(PlatformTest, WriteRefusesWhatTheFileCouldNotHoldAndLeavesNoTemporaries) {
    const fs::path file = dir_ / "r.ini";
    WriteBytes(file, "[A]\nx=1\n");
    EXPECT_FALSE(WriteProfileString(file, "", "x", "1"));
    EXPECT_FALSE(WriteProfileString(file, "A", "", "1"));
    EXPECT_FALSE(WriteProfileString(file, "A]", "x", "1"));
    EXPECT_FALSE(WriteProfileString(file, "A", "x=y", "1"));
    EXPECT_FALSE(WriteProfileString(file, "A", "x", "1\n[B]"));
    EXPECT_EQ(ReadBytes(file), "[A]\nx=1\n");

    // A folder that cannot exist (its parent is a file): the write fails, nothing is left.
    const fs::path blocked = file / "sub.ini";
    EXPECT_FALSE(WriteProfileString(blocked, "A", "x", "1"));
    EXPECT_FALSE(WriteFileAtomically(blocked, "bytes"));
    EXPECT_EQ(FilesIn(dir_), std::vector<std::string>{"r.ini"});
    ASSERT_TRUE(WriteFileAtomically(dir_ / "whole.txt", "bytes"));
    EXPECT_EQ(ReadBytes(dir_ / "whole.txt"), "bytes");
    EXPECT_EQ(FilesIn(dir_).size(), 2u);
}

TEST_F(PlatformTest, FoldersFollowTheEnvironmentAreCreatedAndKeptUntilReset) {
    const ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "xdg").c_str());
    const ScopedEnv home("KOVRIN_HOME", (dir_ / "home").c_str());
    EXPECT_EQ(ProductFolder(), dir_ / "home");
    EXPECT_EQ(ConfigsFolder(), dir_ / "home" / "Configs");
    EXPECT_EQ(PresetsFolder(), dir_ / "home" / "Presets");
    EXPECT_TRUE(fs::is_directory(dir_ / "home" / "Configs"));
    EXPECT_TRUE(fs::is_directory(dir_ / "home" / "Presets"));

    // Kept for the run even when the environment changes...
    const ScopedEnv emptyHome("KOVRIN_HOME", "");
    EXPECT_EQ(ConfigsFolder(), dir_ / "home" / "Configs");
    // ...and read again after a reset: an empty KOVRIN_HOME falls back to XDG_CONFIG_HOME.
    ResetFolders();
    EXPECT_EQ(PresetsFolder(), dir_ / "xdg" / "kovrin" / "Presets");

    const ScopedEnv noXdg("XDG_CONFIG_HOME", nullptr);
    const ScopedEnv user("HOME", (dir_ / "user").c_str());
    ResetFolders();
    EXPECT_EQ(ProductFolder(), dir_ / "user" / ".config" / "kovrin");
    EXPECT_TRUE(fs::is_directory(ProductFolder()));
}

TEST_F(PlatformTest, FoldersAskedForByManyThreadsAtOnceAreTheSame) {
    const ScopedEnv home("KOVRIN_HOME", (dir_ / "many").c_str());
    constexpr int kThreads = 8;
    std::vector<fs::path> configs(kThreads), presets(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            configs[size_t(i)] = ConfigsFolder();
            presets[size_t(i)] = PresetsFolder();
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(configs[size_t(i)], dir_ / "many" / "Configs");
        EXPECT_EQ(presets[size_t(i)], dir_ / "many" / "Presets");
    }
    EXPECT_TRUE(fs::is_directory(dir_ / "many" / "Presets"));
}

TEST_F(PlatformTest, FolderCreationFailureIsIgnoredAndLaterWritesFail) {
    WriteBytes(dir_ / "file", "not a folder");
    const ScopedEnv home("KOVRIN_HOME", (dir_ / "file" / "kovrin").c_str());
    EXPECT_EQ(ConfigsFolder(), dir_ / "file" / "kovrin" / "Configs");
    EXPECT_FALSE(WriteSetting("Key", "Value", "x"));
    EXPECT_EQ(ReadSetting("Key", "Value"), "");
}

TEST_F(PlatformTest, SettingsStoreReadsValuesByKeyPathAndMissingOnesAsEmpty) {
    const ScopedEnv home("KOVRIN_HOME", dir_.c_str());
    const std::string key = "SOFTWARE\\DRAVO\\Kovrin\\4.0.0";
    EXPECT_EQ(ReadSetting(key, "ManualDir"), "");
    ASSERT_TRUE(WriteSetting(key, "ManualDir", "/opt/kovrin/doc"));
    ASSERT_TRUE(WriteSetting(key, "ToolsDir", "/opt/kovrin/bin"));
    EXPECT_EQ(SettingsFile(), dir_ / "registry.ini");
    EXPECT_EQ(ReadSetting(key, "ManualDir"), "/opt/kovrin/doc");
    EXPECT_EQ(ReadSetting(key, "ToolsDir"), "/opt/kovrin/bin");
    EXPECT_EQ(ReadSetting(key, "SamplesDir"), "");
    EXPECT_EQ(ReadSetting("SOFTWARE\\Other", "ManualDir"), "");
}

TEST_F(PlatformTest, HostLanguageIsEnglishUnlessSetToAPositiveNumber) {
    {
        const ScopedEnv lang("KOVRIN_LANG", nullptr);
        EXPECT_EQ(HostLanguageId(), kLanguageEnglish);
    }
    {
        const ScopedEnv lang("KOVRIN_LANG", "1041");
        EXPECT_EQ(HostLanguageId(), kLanguageJapanese);
    }
    for (const char* bad : {"", "ja", "1041x", "-5", "0"}) {
        const ScopedEnv lang("KOVRIN_LANG", bad);
        EXPECT_EQ(HostLanguageId(), kLanguageEnglish) << "KOVRIN_LANG=" << bad;
    }
}

TEST_F(PlatformTest, MessagesGoToTheInstalledSinkUntilTheDefaultIsRestored) {
    struct Message {
        MessageKind kind;
        std::string title, text;
    };
    std::vector<Message> seen;
    const MessageSink previous =
        SetMessageSink([&](MessageKind kind, std::string_view title, std::string_view text) {
            seen.push_back({kind, std::string(title), std::string(text)});
        });
    EXPECT_FALSE(previous);  // the default sink is reported as empty
    ShowMessage(MessageKind::kWarning, "Kovrin", "Please re-install Kovrin.");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, MessageKind::kWarning);
    EXPECT_EQ(seen[0].title, "Kovrin");
    EXPECT_EQ(seen[0].text, "Please re-install Kovrin.");

    EXPECT_TRUE(SetMessageSink(nullptr));
    testing::internal::CaptureStderr();
    ShowMessage(MessageKind::kInformation, "T", "body");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Information: T: body\n");
    EXPECT_EQ(seen.size(), 1u);
}

}  // namespace
}  // namespace KvrnHost
