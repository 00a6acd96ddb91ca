#include "brush_presets.h"

#include <gtest/gtest.h>

#include <map>

#include "hold.h"
#include "node.h"
#include "pb_section.h"
#include "test_util.h"

namespace {

using namespace KvrnLineIni;

class BrushPresetsTest : public ::testing::Test {
  protected:
    void SetUp() override { theHold.Clear(); }
    void TearDown() override { theHold.Clear(); }
};

// A free-standing block of every kind the section handles, and one it skips.
ParamBlockDesc2& SectionDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "section", nullptr);
        d->AddParam(0, "count", ParamType::Int).Default(3);
        d->AddParam(1, "on", ParamType::Bool).Default(false);
        d->AddParam(2, "width", ParamType::Float).Default(1.0);
        d->AddParam(3, "tint", ParamType::Color).Default(ParamValue(Color(0.1f, 0.2f, 0.3f)));
        d->AddParam(4, "target", ParamType::Node);
        d->AddTable(5, "flags", ParamType::Bool).TableSize(2).Default(true);
        d->AddParam(6, "label", ParamType::String).Default("text");
        d->AddParam(7, "turn", ParamType::Angle).Default(10.0);
        return d;
    }();
    return *desc;
}

TEST_F(BrushPresetsTest, ParamBlockSectionWritesItsKindsAndReadsThemBack) {
    RefPtr<IParamBlock2> block(CreateParameterBlock2(&SectionDesc(), nullptr));
    RefPtr<INode> node(new INode);
    node->SetName("Pivot");
    GetActiveScene().GetRootNode()->AttachChild(node.get());
    block->SetValue(2, 0, 0.5);
    block->SetValue(1, 0, true);
    block->SetValue(4, 0, ParamValue(static_cast<ReferenceTarget*>(node.get())));
    block->SetCount(5, 3);
    block->SetValue(5, 0, false, 1);

    MemIniHandler ini;
    EXPECT_TRUE(WriteParamBlockSection(ini, "S", *block, "p_"));
    const MemIniHandler::Section* section = ini.FindSection("S");
    ASSERT_NE(section, nullptr);
    std::map<std::string, std::string> keys(section->pairs.begin(), section->pairs.end());
    const std::map<std::string, std::string> expected = {
        {"p_count", "3"},        {"p_on", "1"},
        {"p_width", "0.500000"}, {"p_tint", "0.100000 0.200000 0.300000"},
        {"p_target", "Pivot"},   {"p_flags_tabnum", "3"},
        {"p_flags_tab0", "1"},   {"p_flags_tab1", "0"},
        {"p_flags_tab2", "1"}};
    EXPECT_EQ(keys, expected);  // the string and the angle are not written

    RefPtr<IParamBlock2> other(CreateParameterBlock2(&SectionDesc(), nullptr));
    EXPECT_TRUE(ReadParamBlockSection(ini, "S", *other, "p_"));
    EXPECT_EQ(other->GetFloat(2), 0.5f);
    EXPECT_TRUE(other->GetBool(1));
    EXPECT_EQ(other->GetINode(4), node.get());
    ASSERT_EQ(other->Count(5), 3);
    EXPECT_FALSE(other->GetBool(5, 0, 1));
    EXPECT_TRUE(other->GetBool(5, 0, 2));

    // A filter keeps parameters out both ways.
    MemIniHandler filtered;
    WriteParamBlockSection(filtered, "F", *block, "", [](ParamID id) { return id == 0; });
    EXPECT_EQ(filtered.FindSection("F")->pairs.size(), 1u);

    // A missing key leaves its value and fails the read; the others are still read.
    MemIniHandler partial;
    partial.WriteString("S", "count", "9");
    partial.WriteString("S", "target", "No Such Node");
    EXPECT_FALSE(ReadParamBlockSection(partial, "S", *other));
    EXPECT_EQ(other->GetInt(0), 9);
    EXPECT_EQ(other->GetFloat(2), 0.5f);
    EXPECT_EQ(other->GetINode(4), nullptr);
    node->Detach();
}

TEST_F(BrushPresetsTest, CurveWithoutPointsWritesOnlyItsCount) {
    RefPtr<ICurveCtl> control(new ICurveCtl);
    ICurve* curve = control->GetControlCurve(0);
    MemIniHandler ini;
    EXPECT_TRUE(WriteCurveSection(ini, "C", *curve, "size_curve_"));
    ASSERT_EQ(ini.FindSection("C")->pairs.size(), 1u);
    EXPECT_EQ(ini.FindSection("C")->pairs[0],
              (std::pair<std::string, std::string>("size_curve_num", "0")));

    SetDefaultStrokeCurve(*curve);
    curve->SetPoint(1, CurvePoint{{1.0f, 0.25f}, {-0.5f, 0.0f}, {}, kCurvePointCornerFlags});
    EXPECT_TRUE(WriteCurveSection(ini, "C", *curve, "size_curve_"));
    EXPECT_EQ(ini.FindSection("C")->pairs.size(), 15u);
    RefPtr<ICurveCtl> copy(new ICurveCtl);
    EXPECT_TRUE(ReadCurveSection(ini, "C", *copy->GetControlCurve(0), "size_curve_"));
    ASSERT_EQ(copy->GetControlCurve(0)->GetNumPts(), 2);
    EXPECT_EQ(copy->GetControlCurve(0)->GetPoint(1), curve->GetPoint(1));
}

// Saves and restores the descriptors' defaults, which are process-wide.
class DefaultsGuard {
  public:
    DefaultsGuard() {
        descs_.push_back(&BrushBlockDesc());
        for (int id = 0; id < kDetailBlockCount; ++id)
            descs_.push_back(&BrushDetailBlockDesc(BrushDetailBlock(id)));
        for (ParamBlockDesc2* desc : descs_)
            for (int i = 0; i < desc->Count(); ++i)
                saved_.push_back(desc->GetParamDefByIndex(i).defaultValue);
    }
    ~DefaultsGuard() {
        size_t k = 0;
        for (ParamBlockDesc2* desc : descs_)
            for (int i = 0; i < desc->Count(); ++i)
                desc->SetDefault(desc->GetParamDefByIndex(i).id, saved_[k++]);
    }

  private:
    std::vector<ParamBlockDesc2*> descs_;
    std::vector<ParamValue> saved_;
};

TEST_F(BrushPresetsTest, DefaultsChangeNewObjectsOnlyAndBadValuesAreReported) {
    DefaultsGuard guard;
    KvrnLineTest::TempFolder folder;
    const auto file = folder / kBrushDefaultsFileName;
    RefHolder existing(NewBrush(1));
    KvrnBrush* brush = AsBrush(existing.Get());
    brush->Params()->SetValue(kBrushSize, 0, 4.0);
    brush->Detail()->Block(kDetailStroke)->SetValue(kStrokeLength, 0, 25.0);
    ASSERT_TRUE(WriteBrushDefaults(*brush, file));
    brush->Params()->SetValue(kBrushSize, 0, 2.0);

    // Hand-edited: a word where a number belongs and an out-of-range blend.
    std::string text = KvrnLineTest::ReadBytes(file);
    text.replace(text.find("alpha = 100.000000"), 18, "alpha = lots");
    text.replace(text.find("blend = 0"), 9, "blend = 40");
    KvrnLineTest::WriteBytes(file, text);

    const std::vector<std::string> messages = LoadBrushDefaults(file);
    ASSERT_EQ(messages.size(), 2u);
    // In block order: blend comes before alpha.
    EXPECT_EQ(messages[0], file.string() +
                               ": [brush basic] blend: expected a whole number from 0 to 15, "
                               "got '40'");
    EXPECT_EQ(messages[1].rfind(file.string() + ": [brush basic] alpha: expected", 0), 0u)
        << messages[1];

    EXPECT_EQ(brush->Params()->GetFloat(kBrushSize), 2.0f);  // existing brush untouched
    RefHolder fresh(NewBrush(2));
    KvrnBrush* made = AsBrush(fresh.Get());
    EXPECT_EQ(made->Params()->GetFloat(kBrushSize), 4.0f);
    EXPECT_EQ(made->Detail()->Block(kDetailStroke)->GetFloat(kStrokeLength), 25.0f);
    EXPECT_EQ(made->Params()->GetFloat(kBrushAlpha), 100.0f);
    EXPECT_EQ(made->Params()->GetInt(kBrushBlend), 0);
    EXPECT_TRUE(LoadBrushDefaults(folder / "missing.ini").empty());
}

TEST_F(BrushPresetsTest, PresetsApplyTheirBlocksAsOneUndoableChange) {
    RefHolder sourceHolder(NewBrush(1));
    RefHolder targetHolder(NewBrush(2));
    KvrnBrushDetail* source = AsBrush(sourceHolder.Get())->Detail();
    KvrnBrushDetail* target = AsBrush(targetHolder.Get())->Detail();
    source->Block(kDetailBasic)->SetValue(kStampSize, 0, 40.0);
    source->Block(kDetailStroke)->SetValue(kStrokeSpace, 0, 9.0);
    source->Block(kDetailColorRange)->SetValue(kColorRangeB, 0, 70.0);
    source->AlphaCurve()->SetNumPts(3);

    MemIniHandler brushPresets;
    MemIniHandler strokePresets;
    EXPECT_FALSE(SaveBrushPreset(brushPresets, "", *source));
    ASSERT_TRUE(SaveBrushPreset(brushPresets, "Fat", *source));
    ASSERT_TRUE(SaveStrokePreset(strokePresets, "Sparse", *source));
    std::string num;
    EXPECT_TRUE(strokePresets.ReadString("Sparse", "alpha_curve_num", num));
    EXPECT_EQ(num, "3");

    // A brush preset carries the stamp only.
    EXPECT_TRUE(ApplyBrushPreset(brushPresets, "Fat", *target));
    EXPECT_EQ(target->Block(kDetailBasic)->GetFloat(kStampSize), 40.0f);
    EXPECT_EQ(target->Block(kDetailStroke)->GetFloat(kStrokeSpace), 5.0f);
    EXPECT_EQ(theHold.UndoLabel(), kParamChangeLabel);

    const int undoCount = theHold.UndoCount();
    EXPECT_TRUE(ApplyStrokePreset(strokePresets, "Sparse", *target));
    EXPECT_EQ(theHold.UndoCount(), undoCount + 1);
    EXPECT_EQ(target->Block(kDetailStroke)->GetFloat(kStrokeSpace), 9.0f);
    EXPECT_EQ(target->Block(kDetailColorRange)->GetFloat(kColorRangeB), 70.0f);
    EXPECT_EQ(target->AlphaCurve()->GetNumPts(), 3);

    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(target->Block(kDetailStroke)->GetFloat(kStrokeSpace), 5.0f);
    EXPECT_EQ(target->Block(kDetailColorRange)->GetFloat(kColorRangeB), 0.0f);
    EXPECT_EQ(target->AlphaCurve()->GetNumPts(), 2);
    EXPECT_EQ(target->Block(kDetailBasic)->GetFloat(kStampSize), 40.0f);  // earlier preset stays

    EXPECT_FALSE(ApplyStrokePreset(strokePresets, "Unknown", *target));
    EXPECT_EQ(theHold.UndoCount(), undoCount);
}

}  // namespace
