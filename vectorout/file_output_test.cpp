#include "file_output.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ai_eps_image.h"
#include "detection_settings.h"
#include "eps_image.h"
#include "file_out_delegate.h"
#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

using Testing::AiBody;
using Testing::EpsBody;
using Testing::SplitCrLf;
using Lines = std::vector<std::string>;
using enum KvrnLib::EdgeKind;

// One stroke copy of two connected segments of the given kinds.
void DrawCopy(LineEffectDrawDelegateForFileOut& d, int kind0, int kind1) {
    d.BeginStrokeCopy(2, 1, 0, 0, false, 0, 0);
    d.Segment(kind0, 10, 20, 30, 20);
    d.Segment(kind1, 30, 20, 30, 40);
    d.EndStrokeCopy();
}

// The page set-up flips the strokes' rows but leaves each layer's clip rectangle as it is.
TEST(FileOutDelegate, VisibleAndHiddenLayersOfALineSet) {
    AIEPSImage image;
    RecordPageSetup(image, 640, 480);
    LineEffectDrawDelegateForFileOut d({L"Set1", L"", L"Set3"}, 640, 480, &image, {});
    const KvrnLib::LineSetId id = 1;
    ASSERT_TRUE(d.BeginLineSet(&id, 0, true));
    DrawCopy(d, kEdgeOutline, kEdgeOutline);
    ASSERT_TRUE(d.BeginLineSet(&id, 0, false));
    DrawCopy(d, kEdgeOutline, kEdgeObject);
    EXPECT_FALSE(d.BeginLineSet(&id, 3, false));  // outside the layer names
    EXPECT_FALSE(d.BeginLineSet(&id, -1, false));
    image.Optimize();

    const std::string clip =
        "q\r\n0 0 m\r\n640 0 l\r\n640 480 l\r\n0 480 l\r\n0 0 l\r\nh\r\nW\r\nn\r\n";
    const std::string stroke = "*u\r\n10 460 m\r\n30 460 l\r\n30 440 l\r\nS\r\n*U\r\n";
    EXPECT_EQ(AiBody(image),
              SplitCrLf("1 j\r\n1 J\r\n%AI5_BeginLayer\r\n1 1 1 1 0 0 1 1 79 128 255 0 50 Lb\r\n"
                        "(Set1hidden) Ln\r\n" +
                        clip + "2 w\r\n0 0 0 0 1 0 0 XA\r\n" + stroke +
                        "Q\r\nLB\r\n%%AI5_EndLayer--\r\n%AI5_BeginLayer\r\n"
                        "1 1 1 1 0 0 1 0 79 128 255 0 50 Lb\r\n(Set1) Ln\r\n" +
                        clip + stroke + "Q\r\nLB\r\n%AI5_EndLayer--\r\n"));
}

// The switches are not in edge-kind order: the engine numbers wire 6 and selected edges 7.
TEST(FileOutDelegate, EachSwitchExcludesItsEdgeKindOrLineSet) {
    using S = FileOutLineSwitches;
    const std::pair<bool S::*, int32_t> byKind[] = {
        {&S::outlineEnable, kEdgeOutline},    {&S::objectEnable, kEdgeObject},
        {&S::isectEnable, kEdgeIntersection}, {&S::smoothEnable, kEdgeSmoothing},
        {&S::matidEnable, kEdgeMaterialID},   {&S::normalEnable, kEdgeNormalAngle},
        {&S::wireEnable, kEdgeWire},          {&S::selEnable, kEdgeSelected}};
    for (const auto& [member, kind] : byKind) {
        FileOutLineSwitches switches;
        switches.*member = false;
        EXPECT_EQ(ExcludedEdgeKinds(switches), std::vector<int32_t>{kind});
    }
    FileOutLineSwitches none;
    none.linesetID = {};
    EXPECT_EQ(ExcludedLineSetIds(none), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(FileOutDelegate, SwitchedOffLineSetsAndVisibilitiesRecordNothing) {
    FileOutLineSwitches switches;
    switches.linesetID[2] = false;
    switches.hiddenLineEnable = false;
    AIEPSImage image;
    LineEffectDrawDelegateForFileOut d({L"A", L"B"}, 64, 48, &image, switches);
    const KvrnLib::LineSetId three = 3, two = 2;
    EXPECT_FALSE(d.BeginLineSet(&three, 0, false));
    EXPECT_FALSE(d.BeginLineSet(&two, 1, true));
    EXPECT_EQ(image.RecordCount(), 0u);
    EXPECT_TRUE(d.BeginLineSet(nullptr, 0, false));  // no id: never excluded by id

    LineEffectDrawDelegateForFileOut none({L"A"}, 64, 48, nullptr, {});
    EXPECT_FALSE(none.BeginLineSet(nullptr, 0, false));
    DrawCopy(none, kEdgeOutline, kEdgeOutline);  // and draws into no writer
}

// A copy left without segments writes no path: no "n" here, no unclosed group in Illustrator's.
TEST(FileOutDelegate, ExcludedEdgeKindsDropSegmentsAndEmptyCopiesWriteNoPath) {
    FileOutLineSwitches switches;
    switches.wireEnable = false;
    EPSImage image;
    LineEffectDrawDelegateForFileOut d({L"A"}, 64, 48, &image, switches);
    ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));
    DrawCopy(d, kEdgeWire, kEdgeOutline);
    DrawCopy(d, kEdgeWire, kEdgeWire);
    image.Optimize();
    EXPECT_EQ(EpsBody(image), (Lines{"n", "0 0 m", "64 0 l", "64 48 l", "0 48 l", "h", "W", "2 w",
                                     "1 0 0 _c", "n", "30 20 m", "30 40 l", "S"}));
}

TEST(FileOutDelegate, DashedCopiesSetThePatternAndSolidOnesClearIt) {
    EPSImage image;
    LineEffectDrawDelegateForFileOut d({L"A"}, 64, 48, &image, {});
    ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));
    for (const bool dashed : {true, false}) {
        d.BeginStrokeCopy(1.5f, 0, 0, 1, dashed, 4, 2);
        d.Segment(0, 1, 1, 2, 2);
        d.EndStrokeCopy();
    }
    image.Optimize();
    const Lines body = EpsBody(image);
    ASSERT_EQ(body.size(), 19u);
    EXPECT_EQ(Lines(body.begin() + 7, body.end()),
              (Lines{"1.5 w", "0 0 1 _c", "[4 2 ] 0 d", "n", "1 1 m", "2 2 l", "S", "[] 0 d", "n",
                     "1 1 m", "2 2 l", "S"}));
}

// The delegate's test shows the Illustrator page set-up; plain EPS also clips the page once.
TEST(FileOutput, PageSetUpFlipsTheRowsAndClipsThePlainEpsPage) {
    auto eps = CreateVectorImage(1);
    ASSERT_TRUE(eps);
    RecordPageSetup(*eps, 640, 480);
    eps->Optimize();
    EXPECT_EQ(SplitCrLf(eps->Serialize())[1], "%%BoundingBox: 0 0 640 480");
    EXPECT_EQ(EpsBody(*eps), (Lines{"0 480 _t", "1 -1 _s", "n", "0 0 m", "640 0 l", "640 480 l",
                                    "0 480 l", "h", "W", "1 j", "1 J"}));
}

TEST(FileOutput, FileTypesZeroAndOneAreTheOnlyWriters) {
    const auto ai = CreateVectorImage(0);
    ASSERT_TRUE(ai);
    EXPECT_EQ(SplitCrLf(ai->Serialize())[1], "%%Creator: Adobe Illustrator(R) 8.0");
    EXPECT_EQ(CreateVectorImage(2), nullptr);
    EXPECT_EQ(CreateVectorImage(-1), nullptr);
}

TEST(FileOutput, NumberedFileNamesPutTheFrameBeforeTheExtension) {
    EXPECT_EQ(OutputFileName(L"C:\\out\\lines.eps", true, 12), L"C:\\out\\lines0012.eps");
    EXPECT_EQ(OutputFileName(L"C:\\out\\lines.eps", true, 12345), L"C:\\out\\lines12345.eps");
    EXPECT_EQ(OutputFileName(L"C:\\out\\lines.eps", false, 12), L"C:\\out\\lines.eps");
    EXPECT_EQ(OutputFileName(L"/tmp/a.b/lines.v2.eps", true, 0), L"/tmp/a.b/lines.v20000.eps");
    EXPECT_EQ(OutputFileName(L"/tmp/a.b/lines", true, 7), L"/tmp/a.b/lines0007");
    EXPECT_EQ(OutputFileName(L"C:lines.eps", true, -3), L"C:lines-003.eps");
    EXPECT_EQ(OutputFileName(L"C:\\out/sub\\.eps", true, 1), L"C:\\out/sub\\.eps0001");
}

TEST(FileOutput, FrameNumbersTruncateTowardsZero) {
    EXPECT_EQ(FrameNumber(12 * 160 + 159, 160), 12);
    EXPECT_EQ(FrameNumber(-159, 160), 0);
    EXPECT_EQ(FrameNumber(-161, 160), -1);
    EXPECT_THROW(FrameNumber(10, 0), std::invalid_argument);
}

// The page set-up's tolerance joins the second segment, 0.005 off the first one's end.
TEST(FileOutput, FinishOptimisesAndWritesTheNumberedFile) {
    Testing::ScratchDir dir;
    auto image = CreateVectorImage(1);
    RecordPageSetup(*image, 64, 48);
    image->AppendSegment(0, 0, 1, 0);
    image->AppendSegment(1.005f, 0, 1, 1);
    image->AppendStroke();
    const std::wstring name = (dir.Path() / "lines.eps").wstring();
    EXPECT_EQ(FinishFileOutput(*image, name, true, 12), 0);
    EXPECT_EQ(dir.Entries(), Lines{"lines0012.eps"});
    const std::string bytes = Testing::ReadFile(dir.Path() / "lines0012.eps");
    EXPECT_NE(bytes.find("\r\n0 0 m\r\n1 0 l\r\n1 1 l\r\nS\r\n"), std::string::npos) << bytes;

    EXPECT_NE(FinishFileOutput(*image, (dir.Path() / "no" / "x.eps").wstring(), false, 0), 0);
}

}  // namespace
}  // namespace KvrnVectorOut
