// The line render element's record, background fill and block; the bitmap line raster.
#include "kvrn_line_rend_elem.h"

#include <gtest/gtest.h>

#include "bitmap_raster.h"
#include "line_classes.h"

namespace {

using E = KvrnLineRendElem;

class LineRendElemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        holder_ = new E;
        holder_->SetPBitmap(std::make_shared<Bitmap>(300, 4));
    }
    E& Element() { return *holder_; }
    IParamBlock2& Block() { return *holder_->MainBlock(); }

    RefPtr<E> holder_;
};

TEST_F(LineRendElemTest, RecordNamesWhatIsLeftOut) {
    EXPECT_EQ(Element().ElementName(), "Kovrin Line");
    EXPECT_TRUE(Element().IsEnabled());
    auto record = Element().FillRecord(0);
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record->raster, nullptr);
    EXPECT_EQ(record->raster->Width(), 300);
    EXPECT_EQ(record->hideVisible, 0);
    EXPECT_EQ(record->hideHidden, 0);
    EXPECT_TRUE(record->excludedEdgeKinds.empty());
    EXPECT_TRUE(record->excludedLineSetIds.empty());

    Block().SetValue(E::kHiddenLineEnable, 0, false);
    record = Element().FillRecord(0);
    EXPECT_EQ(record->hideHidden, 1);
    EXPECT_EQ(record->hideVisible, 0);
    EXPECT_TRUE(record->excludedEdgeKinds.empty());

    Block().SetValue(E::kLinesetID, 0, false, 1);
    Block().SetValue(E::kLinesetID, 0, false, 3);
    Block().SetValue(E::kWireEnable, 0, false);
    Block().SetValue(E::kSelEnable, 0, false);
    Block().SetValue(E::kOutlineEnable, 0, false);
    Block().SetValue(E::kNormalEnable, 0, false);
    record = Element().FillRecord(0);
    EXPECT_EQ(record->excludedLineSetIds, (std::vector<int32_t>{2, 4}));
    EXPECT_EQ(record->excludedEdgeKinds, (std::vector<int32_t>{0, 5, 6, 7}));

    Element().SetPBitmap(nullptr);
    EXPECT_EQ(Element().FillRecord(0), nullptr);
}

TEST_F(LineRendElemTest, BackgroundFillGoesThroughSixteenBits) {
    Element().FillBackground(0);
    EXPECT_FALSE(Element().GetPBitmap()->BlockWritten(0, 0));  // transparent black: untouched

    Block().SetValue(E::kLineBackgroundColorEnable, 0, true);
    Block().SetValue(E::kLineBackgroundColor, 0, ParamValue(Color(1.0f, 0.0f, 0.3f)));
    const BMM_Color_fl colour = Element().BackgroundColor(0);
    EXPECT_EQ(colour, (BMM_Color_fl{1.0f, 0.0f, 0.3f, 0.0f}));
    Element().FillBackground(0);
    BMM_Color_64 pixel;
    ASSERT_EQ(Element().GetPBitmap()->GetPixels(299, 3, 1, &pixel), 1);
    EXPECT_EQ(pixel, (BMM_Color_64{65535, 0, uint16_t(0.3f * 65535.0f), 0}));
}

TEST_F(LineRendElemTest, CloneKeepsTheSettings) {
    Block().SetValue(E::kVisibleLineEnable, 0, false);
    Block().SetValue(E::kElementName, 0, "Lines2");
    RemapDir remap;
    RefPtr<ReferenceTarget> copy(Element().Clone(remap));
    E* clone = AsLineRendElem(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone->MainBlock(), Element().MainBlock());
    EXPECT_EQ(clone->ElementName(), "Lines2");
    EXPECT_FALSE(clone->MainBlock()->GetBool(E::kVisibleLineEnable));
}

TEST(BitmapLineRaster, WritesGoStraightToTheBitmapAndMarkOnlyTheirBlocks) {
    auto bitmap = std::make_shared<Bitmap>(2 * Bitmap::kBlockPixels + 10, 3);
    auto raster = ConvertToLineEffectRaster(bitmap);
    ASSERT_NE(raster, nullptr);
    EXPECT_EQ(raster->Width(), bitmap->Width());
    EXPECT_EQ(ConvertToLineEffectRaster(static_cast<Bitmap*>(nullptr)), nullptr);

    std::vector<KvrnLib::ColorFloat> row(size_t(raster->Width()));
    const int32_t x = Bitmap::kBlockPixels + 3;
    row[size_t(x)] = {0.25f, 0.5f, 0.75f, 1.0f};
    const std::vector<int32_t> xs{x};
    raster->WritePixels(1, row, xs);
    EXPECT_EQ(bitmap->Pixel(x, 1), (BMM_Color_fl{0.25f, 0.5f, 0.75f, 1.0f}));
    EXPECT_TRUE(bitmap->BlockWritten(x, 1));
    EXPECT_FALSE(bitmap->BlockWritten(0, 1));
    EXPECT_FALSE(bitmap->BlockWritten(x, 0));

    // Reading back sees the pixel and zeros elsewhere; a whole-row write marks the row.
    std::vector<KvrnLib::ColorFloat> back(size_t(raster->Width()), {9, 9, 9, 9});
    raster->ReadRow(1, back);
    EXPECT_EQ(back[size_t(x)].b, 0.75f);
    EXPECT_EQ(back[0].a, 0.0f);
    std::vector<KvrnLib::ColorFloat> some(size_t(raster->Width()), {9, 9, 9, 9});
    raster->ReadPixels(1, some, std::vector<int32_t>{0, x});
    EXPECT_EQ(some[0].r, 0.0f);
    EXPECT_EQ(some[size_t(x)].g, 0.5f);
    EXPECT_EQ(some[1].r, 9.0f);  // not listed: untouched
    raster->WriteRow(2, std::vector<KvrnLib::ColorFloat>(3, {0, 0, 0, 0.5f}));
    EXPECT_EQ(bitmap->Pixel(2, 2).a, 0.5f);
    EXPECT_EQ(bitmap->Pixel(3, 2).a, 0.0f);

    EXPECT_THROW(raster->ReadRow(3, back), std::out_of_range);
    EXPECT_THROW(raster->WritePixels(0, row, std::vector<int32_t>{raster->Width()}),
                 std::out_of_range);
}

}  // namespace
