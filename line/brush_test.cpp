#include "brush.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "hold.h"
#include "line_reduction.h"
#include "string_table.h"

namespace {

class BrushTest : public ::testing::Test {
  protected:
    void SetUp() override { theHold.Clear(); }
    void TearDown() override { theHold.Clear(); }
};

template <class T>
void ExpectField(const T& a, const T& b, const char* name, bool exact) {
    if constexpr (std::is_same_v<T, float>) {
        if (!exact) {
            EXPECT_FLOAT_EQ(a, b) << name;
            return;
        }
    }
    EXPECT_EQ(a, b) << name;
}

// Every field of the record, so a conversion that forgets or swaps one shows which. exact: bit
// for bit, else floats within a few units in the last place.
void ExpectSameRecord(const KvrnLib::BrushDrawSettings& a, const KvrnLib::BrushDrawSettings& b,
                      bool exact) {
#define KVRN_EXPECT_FIELD(f) ExpectField(a.f, b.f, #f, exact)
    KVRN_EXPECT_FIELD(brushType);
    KVRN_EXPECT_FIELD(lineSize);
    KVRN_EXPECT_FIELD(strokeSizeRnd);
    KVRN_EXPECT_FIELD(sizeMapAmount);
    KVRN_EXPECT_FIELD(color);
    KVRN_EXPECT_FIELD(alpha);
    KVRN_EXPECT_FIELD(colorMapOpacity);
    KVRN_EXPECT_FIELD(blend);
    KVRN_EXPECT_FIELD(mapOpacity);
    KVRN_EXPECT_FIELD(angle);
    KVRN_EXPECT_FIELD(angleRnd);
    KVRN_EXPECT_FIELD(stretch);
    KVRN_EXPECT_FIELD(stretchRnd);
    KVRN_EXPECT_FIELD(groove);
    KVRN_EXPECT_FIELD(grooveNum);
    KVRN_EXPECT_FIELD(stampSize);
    KVRN_EXPECT_FIELD(sizeRnd);
    KVRN_EXPECT_FIELD(anti);
    KVRN_EXPECT_FIELD(hSpace);
    KVRN_EXPECT_FIELD(hSpaceRnd);
    KVRN_EXPECT_FIELD(vSpace);
    KVRN_EXPECT_FIELD(vSpaceRnd);
    KVRN_EXPECT_FIELD(reductionStart);
    KVRN_EXPECT_FIELD(reductionEnd);
    KVRN_EXPECT_FIELD(strokeDirectionAngle);
    KVRN_EXPECT_FIELD(loopRight);
    KVRN_EXPECT_FIELD(strokeMinLength);
    KVRN_EXPECT_FIELD(dashed);
    KVRN_EXPECT_FIELD(strokeLength);
    KVRN_EXPECT_FIELD(strokeLengthRnd);
    KVRN_EXPECT_FIELD(strokeSpace);
    KVRN_EXPECT_FIELD(strokeSpaceRnd);
    KVRN_EXPECT_FIELD(strokeCopy);
    KVRN_EXPECT_FIELD(strokeCopyRnd);
    KVRN_EXPECT_FIELD(strokeExtend);
    KVRN_EXPECT_FIELD(strokeeExtendRnd);
    KVRN_EXPECT_FIELD(strokeOffsetX);
    KVRN_EXPECT_FIELD(strokeOffsetY);
    KVRN_EXPECT_FIELD(strokeOffsetXRnd);
    KVRN_EXPECT_FIELD(strokeOffsetYRnd);
    KVRN_EXPECT_FIELD(strokeNormalOffset);
    KVRN_EXPECT_FIELD(strokeNormalOffsetRnd);
    KVRN_EXPECT_FIELD(strokeType);
    KVRN_EXPECT_FIELD(noiseAmount);
    KVRN_EXPECT_FIELD(noiseAmountRandom);
    KVRN_EXPECT_FIELD(noiseCycle);
    KVRN_EXPECT_FIELD(noiseCycleRandom);
    KVRN_EXPECT_FIELD(noisePhase);
    KVRN_EXPECT_FIELD(noisePhaseRandom);
    KVRN_EXPECT_FIELD(noiseMapOpacity);
    KVRN_EXPECT_FIELD(colorRangeHSV);
    KVRN_EXPECT_FIELD(colorRangeR);
    KVRN_EXPECT_FIELD(colorRangeG);
    KVRN_EXPECT_FIELD(colorRangeB);
    KVRN_EXPECT_FIELD(sizeMap);
    KVRN_EXPECT_FIELD(colorMap);
    KVRN_EXPECT_FIELD(brushMap);
    KVRN_EXPECT_FIELD(noiseMap);
    EXPECT_EQ(a.sizeReductionCurve == nullptr, b.sizeReductionCurve == nullptr);
    EXPECT_EQ(a.alphaReductionCurve == nullptr, b.alphaReductionCurve == nullptr);
#undef KVRN_EXPECT_FIELD
}

TEST_F(BrushTest, NewBrushAndItsDetailAreNamedWithTheSameNumberAndRegisterByClassId) {
    RefHolder holder(NewBrush(3));
    KvrnBrush* brush = AsBrush(holder.Get());
    ASSERT_NE(brush, nullptr);
    EXPECT_EQ(brush->GetName(), "Brush Settings#3");
    ASSERT_NE(brush->Detail(), nullptr);
    EXPECT_EQ(brush->Detail()->GetName(), "Brush Details#3");
    EXPECT_EQ(brush->GetSubTexmap(0), brush->Detail());
    EXPECT_EQ(brush->SubAnimName(1), "Brush Details");
    EXPECT_EQ(AsBrush(brush->Detail()), nullptr);
    EXPECT_EQ(AsLineReduction(brush), nullptr);

    ClassDirectory directory;
    RegisterBrushClasses(directory);
    EXPECT_EQ(directory.Count(), 3);
    RefHolder loaded(directory.CreateInstance(TEXMAP_CLASS_ID, KVRN_BRUSH_CLASS_ID, true));
    KvrnBrush* fromFile = AsBrush(loaded.Get());
    ASSERT_NE(fromFile, nullptr);
    // A loaded brush gets its detail from the file but needs its block to read into.
    EXPECT_EQ(fromFile->Detail(), nullptr);
    EXPECT_NE(fromFile->Params(), nullptr);
    RefHolder detail(directory.CreateInstance(TEXMAP_CLASS_ID, KVRN_BRUSH_DETAIL_CLASS_ID, true));
    auto* loadedDetail = dynamic_cast<KvrnBrushDetail*>(detail.Get());
    ASSERT_NE(loadedDetail, nullptr);
    EXPECT_NE(loadedDetail->SizeCurve(), nullptr);
    EXPECT_NE(loadedDetail->Block(kDetailColorRange), nullptr);
}

TEST_F(BrushTest, CloneIsNamedWithUnderscoreAndOwnsIndependentDetailAndMaps) {
    RefHolder holder(NewBrush(4));
    KvrnBrush* brush = AsBrush(holder.Get());
    brush->SetSubTexmap(1, NewBrush(99));  // any texture map will do as colour map
    RefPtr<ReferenceTarget> copy = CloneRefHierarchy(brush);
    KvrnBrush* clone = AsBrush(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->GetName(), "Brush Settings#4_");
    ASSERT_NE(clone->Detail(), nullptr);
    EXPECT_NE(clone->Detail(), brush->Detail());
    EXPECT_NE(clone->GetSubTexmap(1), nullptr);
    EXPECT_NE(clone->GetSubTexmap(1), brush->GetSubTexmap(1));

    clone->Detail()->Block(kDetailStroke)->SetValue(kStrokeLength, 0, 42.0);
    clone->Detail()->SizeCurve()->SetNumPts(0);
    clone->Params()->SetValue(kBrushAlpha, 0, 10.0);
    EXPECT_EQ(brush->Detail()->Block(kDetailStroke)->GetFloat(kStrokeLength), 5.0f);
    EXPECT_EQ(brush->Detail()->SizeCurve()->GetNumPts(), 2);
    EXPECT_EQ(brush->Params()->GetFloat(kBrushAlpha), 100.0f);

    // An instance is the same object in both slots.
    RefHolder second(brush);
    EXPECT_EQ(second.Get(), holder.Get());
    EXPECT_EQ(brush->RefCount(), 2);
}

TEST_F(BrushTest, BlendIsLimitedToTheSixteenNamedModes) {
    RefHolder holder(NewBrush(1));
    IParamBlock2* params = AsBrush(holder.Get())->Params();
    params->SetValue(kBrushBlend, 0, 20);
    EXPECT_EQ(params->GetInt(kBrushBlend), 15);
    params->SetValue(kBrushBlend, 0, -3);
    EXPECT_EQ(params->GetInt(kBrushBlend), 0);
    for (int mode = 0; mode < kBlendModeCount; ++mode)
        EXPECT_NE(KvrnHost::GetString(10050 + mode), nullptr) << mode;
    EXPECT_EQ(std::string(KvrnHost::GetStringOrEmpty(10065)), "Luminosity");
}

TEST_F(BrushTest, NewBrushGivesTheEngineDefaultRecord) {
    RefHolder holder(NewBrush(1));
    KvrnBrush* brush = AsBrush(holder.Get());
    ExpectSameRecord(BrushDrawSettingsOf(*brush, 0), KvrnLib::BrushDrawSettings{}, false);
    EXPECT_EQ(StrokeSplitAngleOf(*brush, 0), 90.0f);
    EXPECT_EQ(LinkLengthOf(*brush, 0), 2.0f);
}

// The scene-file driver multiplies percents by the float 0.01; records must match it bit for bit.
float Percent(float value) { return value * 0.01f; }

// The same values a scene file's brush would hold, converted by the rules the scene-file driver
// uses: percents to fractions, switches zeroing their amounts, the noise map opacity kept as is.
TEST_F(BrushTest, RecordMatchesTheSceneFileConversionFieldByField) {
    RefHolder holder(NewBrush(2));
    KvrnBrush* brush = AsBrush(holder.Get());
    IParamBlock2* p = brush->Params();
    KvrnBrushDetail* d = brush->Detail();
    IParamBlock2* basic = d->Block(kDetailBasic);
    IParamBlock2* stroke = d->Block(kDetailStroke);
    IParamBlock2* noise = d->Block(kDetailNoise);
    IParamBlock2* range = d->Block(kDetailColorRange);
    p->SetValue(kBrushColor, 0, ParamValue(Color(0.25f, 0.5f, 0.75f)));
    p->SetValue(kBrushColorMapOpacity, 0, 30.0);
    p->SetValue(kBrushColorMapEnable, 0, false);
    p->SetValue(kBrushBlend, 0, 7);
    p->SetValue(kBrushAlpha, 0, 40.0);
    p->SetValue(kBrushSize, 0, 3.5);
    p->SetValue(kBrushSizeMapAmount, 0, 60.0);
    basic->SetValue(kType, 0, 1);
    basic->SetValue(kMapOpacity, 0, 20.0);
    basic->SetValue(kStretch, 0, -50.0);
    basic->SetValue(kAngle, 0, 45.0);
    basic->SetValue(kGrooveNum, 0, 7);
    basic->SetValue(kStampSize, 0, 32.0);
    basic->SetValue(kAnti, 0, 250.0);
    basic->SetValue(kReductionEndParam, 0, 40.0);
    stroke->SetValue(kStrokeStyle, 0, 1);
    stroke->SetValue(kStrokeLoopDirection, 0, 0);
    stroke->SetValue(kStrokeLength, 0, 12.0);
    stroke->SetValue(kStrokeExtendRnd, 0, 30.0);
    stroke->SetValue(kStrokeSizeRnd, 0, 10.0);
    stroke->SetValue(kStrokeCopy, 0, 3);
    stroke->SetValue(kStrokeOffsetXRnd, 0, 7.0);
    stroke->SetValue(kStrokeType, 0, 2);
    stroke->SetValue(kStrokeSplitAngle, 0, 35.0);
    stroke->SetValue(kLinkLength, 0, 6.0);
    noise->SetValue(kNoiseEnable, 0, true);
    noise->SetValue(kNoiseAmount, 0, 8.0);
    noise->SetValue(kNoiseCycleRandom, 0, 50.0);
    noise->SetValue(kNoiseMapOpacity, 0, 12.0);
    range->SetValue(kColorRangeType, 0, 1);
    range->SetValue(kColorRangeG, 0, 25.0);
    d->Block(kDetailAlphaReduction)->SetValue(kReductionEnable, 0, true);

    KvrnLib::BrushDrawSettings expected;
    expected.brushType = KvrnLib::kBrushMultiple;
    expected.color = {0.25f, 0.5f, 0.75f};
    expected.colorMapOpacity = 0.0f;
    expected.blend = 7;
    expected.alpha = Percent(40.0f);
    expected.lineSize = 3.5f;
    expected.sizeMapAmount = Percent(60.0f);
    expected.mapOpacity = Percent(20.0f);
    expected.stretch = Percent(-50.0f);
    expected.angle = 45.0f;
    expected.grooveNum = 7;
    expected.stampSize = Percent(32.0f);
    expected.anti = Percent(250.0f);
    expected.reductionEnd = Percent(40.0f);
    // Unchanged percents, converted as the driver converts them.
    expected.sizeRnd = Percent(80.0f);
    expected.hSpace = Percent(10.0f);
    expected.vSpace = Percent(10.0f);
    expected.dashed = 1;
    expected.loopRight = 1;
    expected.strokeLength = 12.0f;
    expected.strokeeExtendRnd = Percent(30.0f);
    expected.strokeSizeRnd = Percent(10.0f);
    expected.strokeCopy = 3;
    expected.strokeOffsetXRnd = 7.0f;
    expected.strokeType = KvrnLib::kStrokeRandom;
    expected.noiseAmount = 8.0f;
    expected.noiseCycleRandom = Percent(50.0f);
    expected.noiseMapOpacity = 12.0f;
    expected.colorRangeHSV = 1;
    expected.colorRangeG = Percent(25.0f);
    expected.alphaReductionCurve = BakeCurve(d->AlphaCurve());

    const KvrnLib::BrushDrawSettings record = BrushDrawSettingsOf(*brush, 0);
    ExpectSameRecord(record, expected, true);
    ASSERT_NE(record.alphaReductionCurve, nullptr);
    EXPECT_EQ(record.alphaReductionCurve->Evaluate(0.5f), 1.0f);  // the flat default curve
    EXPECT_EQ(StrokeSplitAngleOf(*brush, 0), 35.0f);
    EXPECT_EQ(LinkLengthOf(*brush, 0), 6.0f);
    EXPECT_NO_THROW(record.Validate());

    // Turning noise off zeroes the amount; a brush without detail keeps the engine's defaults.
    noise->SetValue(kNoiseEnable, 0, false);
    EXPECT_EQ(BrushDrawSettingsOf(*brush, 0).noiseAmount, 0.0f);
    brush->SetSubTexmap(0, nullptr);
    EXPECT_EQ(StrokeSplitAngleOf(*brush, 0), 90.0f);
    EXPECT_EQ(LinkLengthOf(*brush, 0), 2.0f);
    EXPECT_EQ(BrushDrawSettingsOf(*brush, 0).strokeLength, 5.0f);
}

TEST_F(BrushTest, ValidityNarrowsToAnimatedValuesOfTheDetail) {
    RefHolder holder(NewBrush(5));
    KvrnBrush* brush = AsBrush(holder.Get());
    EXPECT_EQ(brush->Validity(100), FOREVER);
    SetAnimateMode(true);
    brush->Detail()->Block(kDetailNoise)->SetValue(kNoiseAmount, 0, 1.0);
    brush->Detail()->Block(kDetailNoise)->SetValue(kNoiseAmount, 200, 9.0);
    SetAnimateMode(false);
    EXPECT_EQ(brush->Validity(100), Interval(100, 100));
    EXPECT_EQ(BrushDrawSettingsOf(*brush, 0).noiseAmount, 0.0f);  // noise is still off
}

}  // namespace
