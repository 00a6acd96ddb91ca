#include "config_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>

#include "brush.h"
#include "ini_values.h"
#include "line_classes.h"
#include "platform.h"
#include "reference.h"
#include "static_interface.h"

namespace KvrnShell {
namespace {

namespace fs = std::filesystem;

// Each test gets its own product folder through KOVRIN_HOME, fresh folder and language caches,
// and KOVRIN_LANG unset; the environment and the working folder are restored afterwards.
class ConfigFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                ("kvrn_shell_" + std::to_string(::getpid()) + "_" + info->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        Save("KOVRIN_HOME", oldHome_);
        Save("KOVRIN_LANG", oldLang_);
        ::setenv("KOVRIN_HOME", root_.c_str(), 1);
        ::unsetenv("KOVRIN_LANG");
        oldCwd_ = fs::current_path();
        KvrnHost::ResetFolders();
        ResetLanguageCache();
    }
    void TearDown() override {
        fs::current_path(oldCwd_);
        Restore("KOVRIN_HOME", oldHome_);
        Restore("KOVRIN_LANG", oldLang_);
        KvrnHost::ResetFolders();
        ResetLanguageCache();
        fs::remove_all(root_);
    }

    static void Save(const char* name, std::optional<std::string>& slot) {
        if (const char* value = std::getenv(name)) slot = value;
    }
    static void Restore(const char* name, const std::optional<std::string>& slot) {
        if (slot) {
            ::setenv(name, slot->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    fs::path root_;
    fs::path oldCwd_;
    std::optional<std::string> oldHome_, oldLang_;
};

PresetStore::Writer WriteValues(int32_t type, float size) {
    return [=](IniHandler& ini, const std::string& section) {
        KvrnIni::WriteInt(ini, section, "type", type);
        KvrnIni::WriteFloat(ini, section, "size", size);
    };
}

TEST_F(ConfigFilesTest, LanguageZeroOrMissingFollowsTheHost) {
    ::setenv("KOVRIN_LANG", "1041", 1);
    EXPECT_EQ(ReadLanguageSetting(), 0);
    EXPECT_EQ(LanguageId(), 1041);  // no settings file yet

    ASSERT_TRUE(WriteLanguageSetting(0));
    ResetLanguageCache();
    EXPECT_EQ(LanguageId(), 1041);

    ASSERT_TRUE(WriteLanguageSetting(1033));
    EXPECT_EQ(LanguageId(), 1041);  // kept for the run
    EXPECT_EQ(ReadLanguageSetting(), 1033);
    ResetLanguageCache();
    EXPECT_EQ(LanguageId(), 1033);  // the next run

    EXPECT_EQ(KvrnHost::GetProfileString(root_ / "kovrin.ini", "General", "Language"), "1033");
    ASSERT_TRUE(KvrnHost::WriteProfileString(root_ / "kovrin.ini", "General", "Language", "x"));
    ResetLanguageCache();
    EXPECT_EQ(ReadLanguageSetting(), 0);
    EXPECT_EQ(LanguageId(), 1041);
}

TEST_F(ConfigFilesTest, FilesLiveInTheirFoldersUnderDistinctNames) {
    EXPECT_EQ(ModuleSettingsFile(), root_ / "kovrin.ini");
    EXPECT_EQ(ConfigFilePath(ConfigFile::kBrush), root_ / "Configs" / "kovrin_brush.ini");
    EXPECT_EQ(PresetFilePath(PresetFile::kLineBrush),
              root_ / "Presets" / "kovrin_preset_line_brush.txt");
    std::set<std::string_view> names;
    for (const PresetFile file : kPresetFiles) names.insert(PresetFileName(file));
    for (const ConfigFile file : kConfigFiles) names.insert(ConfigFileName(file));
    EXPECT_EQ(names.size(), kPresetFiles.size() + kConfigFiles.size());
}

TEST_F(ConfigFilesTest, AddingAPresetTwiceReplacesItsValuesInPlace) {
    const fs::path file = PresetFilePath(PresetFile::kLineStroke);
    PresetStore store(file);
    EXPECT_TRUE(store.Names().empty());
    EXPECT_EQ(store.Save("Rough", WriteValues(1, 2.0f)), "Rough");
    EXPECT_EQ(store.Save("Fine", WriteValues(0, 0.5f)), "Fine");
    EXPECT_EQ(store.Save("Rough", WriteValues(2, 8.0f)), "Rough");
    EXPECT_EQ(store.Names(), (std::vector<std::string>{"Rough", "Fine"}));
    EXPECT_EQ(KvrnHost::GetProfileSection(file, "Rough").size(), 2u);
    EXPECT_EQ(KvrnHost::GetProfileString(file, "Rough", "size"), "8.000000");

    // A store made later (the next run) reads the same presets and values.
    PresetStore reloaded(file);
    EXPECT_EQ(reloaded.Names(), store.Names());
    int32_t type = -1;
    EXPECT_TRUE(reloaded.Load("Rough", [&](const IniHandler& ini, const std::string& section) {
        KvrnIni::ReadInt(ini, section, "type", type);
    }));
    EXPECT_EQ(type, 2);
    EXPECT_FALSE(reloaded.Load("rough", [&](const IniHandler&, const std::string&) {
        ADD_FAILURE() << "read called for a missing preset";
    }));
}

TEST_F(ConfigFilesTest, PresetNamesAreTrimmedCutAndEmptyOnesIgnored) {
    const fs::path file = root_ / "p.txt";
    PresetStore store(file);
    EXPECT_EQ(store.Save("", WriteValues(1, 1)), "");
    EXPECT_EQ(store.Save("   ", WriteValues(1, 1)), "");
    EXPECT_EQ(store.Save("a]b", WriteValues(1, 1)), "");
    EXPECT_EQ(store.Save("nothing", [](IniHandler&, const std::string&) {}), "");
    EXPECT_TRUE(store.Names().empty());
    EXPECT_FALSE(fs::exists(file));

    EXPECT_EQ(store.Save("  Soft  ", WriteValues(1, 1)), "Soft");
    // 300 two-byte characters are cut to 260 characters (520 bytes), never inside one.
    std::string longName;
    for (int i = 0; i < 300; ++i) longName += "\xC3\xA9";
    const std::string stored = store.Save(longName, WriteValues(1, 1));
    EXPECT_EQ(stored, longName.substr(0, 2 * kMaxPresetNameLength));
    EXPECT_EQ(PresetStore(file).Names(), (std::vector<std::string>{"Soft", stored}));
}

TEST_F(ConfigFilesTest, DeleteRereadsTheFileSoOtherProgramsChangesSurvive) {
    const fs::path file = root_ / "presets.txt";
    PresetStore store(file);
    ASSERT_FALSE(store.Save("Keep", WriteValues(1, 1.0f)).empty());
    ASSERT_FALSE(store.Save("Gone", WriteValues(2, 2.0f)).empty());

    // Another program (another running instance) edits the file meanwhile.
    ASSERT_TRUE(KvrnHost::WriteProfileString(file, "Keep", "size", "5.000000"));
    ASSERT_TRUE(KvrnHost::WriteProfileString(file, "Theirs", "type", "3"));

    EXPECT_TRUE(store.Delete("Gone"));
    EXPECT_EQ(store.Names(), (std::vector<std::string>{"Keep", "Theirs"}));
    EXPECT_EQ(KvrnHost::GetProfileSectionNames(file), (std::vector<std::string>{"Keep", "Theirs"}));
    EXPECT_EQ(KvrnHost::GetProfileString(file, "Keep", "size"), "5.000000");

    // A name matching nothing still takes in the file's changes and rewrites it.
    ASSERT_TRUE(KvrnHost::WriteProfileString(file, "Later", "type", "4"));
    EXPECT_FALSE(store.Delete("keep"));
    EXPECT_EQ(store.Names(), (std::vector<std::string>{"Keep", "Theirs", "Later"}));
}

TEST_F(ConfigFilesTest, ModulePresetsLoadEveryFileOfTheFolder) {
    const fs::path folder = root_ / "Presets";
    fs::create_directories(folder);
    std::ofstream(folder / PresetFileName(PresetFile::kGradation)) << "[Two Tone]\nzones = 2\n";
    ModulePresets presets(folder);
    EXPECT_EQ(presets.Get(PresetFile::kGradation).Names(), std::vector<std::string>{"Two Tone"});
    EXPECT_TRUE(presets.Get(PresetFile::kStroke).Names().empty());
    EXPECT_EQ(presets.Get(PresetFile::kStroke).File(),
              folder / PresetFileName(PresetFile::kStroke));
}

TEST_F(ConfigFilesTest, InstalledFileLookUpTriesTheBareNameForAnEmptyFolderValue) {
    const fs::path tools = root_ / "tools";
    fs::create_directories(tools / "Folder.chm");  // a folder of that name is no file
    std::ofstream(tools / "Setup.bin") << "x";
    ASSERT_TRUE(KvrnHost::WriteSetting(kInstallKeyPath, "ManualDir", ""));
    ASSERT_TRUE(KvrnHost::WriteSetting(kInstallKeyPath, "ToolsDir", tools.string()));

    const std::vector<std::string> candidates = InstalledFileCandidates("Manual.chm");
    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(candidates[0], "Manual.chm");
    EXPECT_EQ(candidates[1], tools.string() + "/Manual.chm");
    EXPECT_EQ(candidates[3], std::string(kFallbackInstallFolder) + "Manual.chm");

    const fs::path work = root_ / "work";
    fs::create_directories(work);
    std::ofstream(work / "Manual.chm") << "x";
    fs::current_path(work);
    EXPECT_EQ(FindInstalledFile("Manual.chm"), "Manual.chm");
    EXPECT_EQ(FindInstalledFile("Setup.bin"), tools.string() + "/Setup.bin");
    EXPECT_EQ(FindInstalledFile("Folder.chm"), "");
    EXPECT_EQ(FindInstalledFile("kovrin_absent_file.bin"), "");
}

// Scripts reach the module's static functions through the core registry: the language follows
// the settings file, and only a brush opens as brush settings.
TEST_F(ConfigFilesTest, TheStaticInterfaceAnswersScripts) {
    RegisterStaticInterface();
    FPInterface* fpi = GetCOREInterface(KVRN_STATIC_INTERFACE_ID);
    ASSERT_NE(fpi, nullptr);
    ASSERT_TRUE(WriteLanguageSetting(1041));
    ResetLanguageCache();
    FPValue result;
    ASSERT_EQ(fpi->Invoke("getLangID", {}, result), FPStatus::Ok);
    EXPECT_EQ(std::get<int>(result), 1041);

    RefPtr<KvrnBrush> brush(NewBrush(1));
    ASSERT_EQ(fpi->Invoke(KvrnStaticInterface::kOpenBrushSettings,
                          {static_cast<ReferenceTarget*>(brush.get())}, result),
              FPStatus::Ok);
    EXPECT_TRUE(std::get<bool>(result));
    EXPECT_TRUE(brush->Params()->GetBool(kBrushDialogOpen));
    ASSERT_EQ(fpi->Invoke(KvrnStaticInterface::kOpenBrushSettings,
                          {static_cast<ReferenceTarget*>(brush->Detail())}, result),
              FPStatus::Ok);
    EXPECT_FALSE(std::get<bool>(result));
    EXPECT_EQ(fpi->Invoke(1, {}, result), FPStatus::UnknownFunction);
}

}  // namespace
}  // namespace KvrnShell
