// Line settings files: lossless round trip, shared brushes, the written values, partial files
// and the checked load's messages.
#include "kvx_file.h"

#include <gtest/gtest.h>

#include "brush.h"
#include "hold.h"
#include "line_classes.h"
#include "lineset.h"
#include "lineset_presets.h"
#include "node.h"
#include "platform.h"
#include "test_util.h"

namespace {

using KvrnLineTest::ReadBytes;
using KvrnLineTest::TempFolder;
using KvrnLineTest::WriteBytes;

class KvxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterBrushClasses(ClassDirectory::Instance());
        RegisterLineSetClasses(ClassDirectory::Instance());
        theHold.Clear();
    }
    void TearDown() override { theHold.Clear(); }

    static KvrnLineset& NewSet(RefHolder& holder) {
        holder.Set(new KvrnLineset());
        return *AsLineset(holder.Get());
    }
    TempFolder folder_;
};

TEST_F(KvxTest, SaveLoadSaveGivesTheSameBytesAndKeepsSharing) {
    RefHolder source;
    KvrnLineset& set = NewSet(source);
    set.ReplaceReference(KvrnLineset::BrushRef(0, 1), set.GeneralBrush(0));
    set.EdgeBlock(1)->SetValue(KvrnLineset::kEdgeWire, 0, true);
    set.GeneralBrush(0)->Params()->SetValue(kBrushSize, 0, 0.5);
    set.GeneralBrush(0)->Detail()->SizeCurve()->SetNumPts(3);
    const auto path = folder_ / "ink.kvx";
    set.MainBlock()->SetValue(KvrnLineset::kSave, 0, path.string());
    const std::string bytes = ReadBytes(path);
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(bytes.find("[Instance0 PB3]\nedgeOutlineHidden = 1\n"), std::string::npos);
    EXPECT_NE(bytes.find("edgeWireHidden = 1\n"), std::string::npos);
    EXPECT_NE(bytes.find("size = 0.500000\n"), std::string::npos);
    EXPECT_NE(bytes.find("SubInstance6 = 1\nSubInstance7 = 1\n"), std::string::npos);
    EXPECT_EQ(bytes.find("[Instance0 PB1]"), std::string::npos);  // dampRoll has no keys
    EXPECT_EQ(bytes.find("name ="), std::string::npos);

    RefHolder target;
    KvrnLineset& loaded = NewSet(target);
    loaded.MainBlock()->SetValue(KvrnLineset::kName, 0, "Set2");
    KvrnBrush* oldHiddenGeneral = loaded.GeneralBrush(1);
    KvrnLineReduction* oldReduction = loaded.Reduction(0, 0);
    loaded.MainBlock()->SetValue(KvrnLineset::kLoad, 0, path.string());
    EXPECT_EQ(theHold.UndoLabel(), "Param Change");
    EXPECT_EQ(loaded.Name(), "Set2");
    EXPECT_EQ(loaded.BrushInSlot(0, 1), loaded.GeneralBrush(0));
    EXPECT_NE(loaded.GeneralBrush(1), oldHiddenGeneral);
    EXPECT_EQ(loaded.Reduction(0, 0), oldReduction);
    EXPECT_TRUE(loaded.EdgeBlock(1)->GetBool(KvrnLineset::kEdgeWire));
    EXPECT_EQ(loaded.GeneralBrush(0)->Detail()->SizeCurve()->GetNumPts(), 3);
    EXPECT_EQ(loaded.GeneralBrush(0)->GetName(), set.GeneralBrush(0)->GetName());

    const auto again = folder_ / "again.kvx";
    EXPECT_EQ(SaveLineSettingsChecked(loaded, again), "");
    EXPECT_EQ(ReadBytes(again), bytes);

    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(loaded.GeneralBrush(1), oldHiddenGeneral);
    EXPECT_FALSE(loaded.EdgeBlock(1)->GetBool(KvrnLineset::kEdgeWire));
}

TEST_F(KvxTest, MissingKeysLeaveValuesAndBadFilesChangeNothing) {
    const auto path = folder_ / "hand.kvx";
    WriteBytes(path,
               "[Params]\nNumInstance = 1\n[Instance0]\nSClass_ID = 2304\n"
               "Class_ID = 2111385930 1121604590\n[Instance0 PB2]\nedgeObjectVisible = 0\n");
    RefHolder holder;
    KvrnLineset& set = NewSet(holder);
    set.EdgeBlock(0)->SetValue(KvrnLineset::kEdgeOutline, 0, false);
    LoadLineSettings(&set, path);
    EXPECT_FALSE(set.EdgeBlock(0)->GetBool(KvrnLineset::kEdgeOutline));
    EXPECT_FALSE(set.EdgeBlock(0)->GetBool(KvrnLineset::kEdgeObject));

    // Silent: a missing file or one without NumInstance does nothing.
    LoadLineSettings(&set, folder_ / "none.kvx");
    LoadLineSettings(nullptr, path);
    WriteBytes(folder_ / "empty.kvx", "[Params]\n");
    LoadLineSettings(&set, folder_ / "empty.kvx");
    EXPECT_FALSE(set.EdgeBlock(0)->GetBool(KvrnLineset::kEdgeObject));
}

TEST_F(KvxTest, CheckedLoadNamesFileSectionAndKeyAndChangesNothing) {
    RefHolder holder;
    KvrnLineset& set = NewSet(holder);
    const auto good = folder_ / "good.kvx";
    ASSERT_EQ(SaveLineSettingsChecked(set, good), "");
    const std::string bytes = ReadBytes(good);
    KvrnBrush* general = set.GeneralBrush(0);

    struct Case {
        std::string from, to, expected;
    };
    const Case cases[] = {
        {"edgeOutlineVisible = 1", "edgeOutlineVisible = yes",
         "[Instance0 PB2] edgeOutlineVisible: expected"},
        {"edgeNormalMaxVisible = 180.000000", "edgeNormalMaxVisible = 200",
         "[Instance0 PB2] edgeNormalMaxVisible: value 200.000000 out of range"},
        {"edgeOutlineVisible = 1", "edgeOutlineVisble = 1",
         "[Instance0 PB2] edgeOutlineVisble: no parameter of that name"},
        {"SubInstance6 = 1", "SubInstance6 = 99", "[Instance0] SubInstance6: instance 99"},
        {"NumInstance", "Instances", "[Params] NumInstance: missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        std::string edited = bytes;
        const size_t at = edited.find(c.from);
        ASSERT_NE(at, std::string::npos);
        edited.replace(at, c.from.size(), c.to);
        // A later, valid change must not be applied either.
        const size_t wire = edited.find("edgeWireHidden = 0");
        edited.replace(wire, 18, "edgeWireHidden = 1");
        const auto path = folder_ / "bad.kvx";
        WriteBytes(path, edited);
        const std::string error = LoadLineSettingsChecked(set, path);
        EXPECT_EQ(error.rfind(path.string() + ": " + c.expected, 0), 0u) << error;
        EXPECT_FALSE(set.EdgeBlock(1)->GetBool(KvrnLineset::kEdgeWire));
        EXPECT_EQ(set.GeneralBrush(0), general);
    }
    EXPECT_NE(
        LoadLineSettingsChecked(set, folder_ / "missing.kvx").find("missing.kvx: no such file"),
        std::string::npos);
    EXPECT_EQ(LoadLineSettingsChecked(set, good), "");
    EXPECT_NE(set.GeneralBrush(0), general);
}

}  // namespace

namespace {

TEST_F(KvxTest, LineSetPresetsAreNamedFilesAndAddingTwiceKeepsOne) {
    setenv("KOVRIN_HOME", folder_.Path().c_str(), 1);
    KvrnHost::ResetFolders();
    RefHolder holder;
    KvrnLineset& set = NewSet(holder);
    EXPECT_TRUE(LinesetPresetNames().empty());
    EXPECT_EQ(SaveLinesetPreset(set, "Ink"), "");
    set.EdgeBlock(0)->SetValue(KvrnLineset::kEdgeWire, 0, true);
    EXPECT_EQ(SaveLinesetPreset(set, "Ink"), "");
    EXPECT_EQ(SaveLinesetPreset(set, "Pencil"), "");
    EXPECT_EQ(LinesetPresetNames(), (std::vector<std::string>{"Ink", "Pencil"}));
    EXPECT_NE(SaveLinesetPreset(set, "../Ink"), "");
    EXPECT_NE(SaveLinesetPreset(set, ""), "");

    RefHolder other;
    KvrnLineset& target = NewSet(other);
    theHold.Clear();
    EXPECT_EQ(LoadLinesetPreset(target, "Ink"), "");
    EXPECT_TRUE(target.EdgeBlock(0)->GetBool(KvrnLineset::kEdgeWire));
    EXPECT_EQ(theHold.UndoCount(), 1);
    EXPECT_EQ(DeleteLinesetPreset("Ink"), "");
    EXPECT_NE(LoadLinesetPreset(target, "Ink"), "");
    EXPECT_EQ(LinesetPresetNames(), std::vector<std::string>{"Pencil"});
    unsetenv("KOVRIN_HOME");
    KvrnHost::ResetFolders();
}

}  // namespace
