#include "file_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "ai_eps_image.h"
#include "eps_image.h"
#include "file_out_delegate.h"
#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

using Testing::LinesBetween;
using Testing::SplitCrLf;
using Lines = std::vector<std::string>;

Lines AiBody(const VectorImage& image) {
    return LinesBetween(SplitCrLf(image.Serialize()), "%%EndProlog", "%%PageTrailer");
}

Lines EpsBody(const VectorImage& image) {
    return LinesBetween(SplitCrLf(image.Serialize()), "/_c {setrgbcolor} def", "%%EOF");
}

size_t CountLine(const Lines& lines, const std::string& line) {
    return size_t(std::count(lines.begin(), lines.end(), line));
}

// One stroke copy of two connected segments of the given kinds.
void DrawCopy(LineEffectDrawDelegateForFileOut& d, int kind0, int kind1) {
    d.BeginStrokeCopy(2, 1, 0, 0, false, 0, 0);
    d.Segment(kind0, 10, 20, 30, 20);
    d.Segment(kind1, 30, 20, 30, 40);
    d.EndStrokeCopy();
}

TEST(FileOutDelegate, VisibleAndHiddenLayersOfALineSet) {
    AIEPSImage image;
    RecordPageSetup(image, 640, 480);
    LineEffectDrawDelegateForFileOut d({L"Set1", L"", L"Set3"}, 640, 480, &image, {});
    EXPECT_TRUE(d.VisitLineSetsReversed());
    const KvrnLib::LineSetId id = 1;
    ASSERT_TRUE(d.BeginLineSet(&id, 0, true));
    DrawCopy(d, 0, 0);
    ASSERT_TRUE(d.BeginLineSet(&id, 0, false));
    DrawCopy(d, 0, 1);
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

TEST(FileOutDelegate, SwitchesSkipLineSetsVisibilitiesAndEdgeKinds) {
    FileOutLineSwitches switches;
    switches.linesetID[2] = false;
    switches.hiddenLineEnable = false;
    switches.wireEnable = false;
    EXPECT_EQ(ExcludedLineSetIds(switches), std::vector<int32_t>{3});
    EXPECT_EQ(ExcludedEdgeKinds(switches), std::vector<int32_t>{6});

    AIEPSImage image;
    LineEffectDrawDelegateForFileOut d({L"A", L"B"}, 64, 48, &image, switches);
    const KvrnLib::LineSetId three = 3, two = 2;
    EXPECT_FALSE(d.BeginLineSet(&three, 0, false));
    EXPECT_FALSE(d.BeginLineSet(&two, 1, true));
    EXPECT_EQ(image.RecordCount(), 0u);
    ASSERT_TRUE(d.BeginLineSet(&two, 1, false));
    ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));  // no id: never excluded by id
    DrawCopy(d, 6, 0);                               // wire dropped, outline kept
    DrawCopy(d, 6, 6);                               // nothing left: no stroke, no path
    d.Reserved();
    image.Optimize();

    const Lines body = AiBody(image);
    EXPECT_EQ(CountLine(body, "(B) Ln"), 1u);
    EXPECT_EQ(CountLine(body, "*u"), 1u);
    EXPECT_EQ(CountLine(body, "S"), 1u);
    EXPECT_EQ(CountLine(body, "30 20 m"), 1u);
    EXPECT_EQ(CountLine(body, "10 20 m"), 0u);
    for (const std::string& line : body) EXPECT_EQ(line.find("hidden"), std::string::npos);

    // Plain EPS: the empty copy writes no "n" and no stroke.
    EPSImage eps;
    LineEffectDrawDelegateForFileOut e({L"A"}, 64, 48, &eps, switches);
    ASSERT_TRUE(e.BeginLineSet(&two, 0, false));
    DrawCopy(e, 6, 6);
    eps.Optimize();
    EXPECT_EQ(EpsBody(eps),
              (Lines{"n", "0 0 m", "64 0 l", "64 48 l", "0 48 l", "h", "W", "2 w", "1 0 0 _c"}));
}

TEST(FileOutDelegate, EdgeKindSwitchesMapToTheirKinds) {
    // The switches are not in edge-kind order: wire is kind 6, selected edge kind 7.
    using S = FileOutLineSwitches;
    bool S::*byKind[8] = {&S::outlineEnable, &S::objectEnable, &S::isectEnable, &S::smoothEnable,
                          &S::matidEnable,   &S::normalEnable, &S::wireEnable,  &S::selEnable};
    for (int32_t kind = 0; kind < 8; ++kind) {
        FileOutLineSwitches switches;
        switches.*byKind[kind] = false;
        EXPECT_EQ(ExcludedEdgeKinds(switches), std::vector<int32_t>{kind});
        EXPECT_TRUE(ExcludedLineSetIds(switches).empty());
    }
    FileOutLineSwitches none;
    none.linesetID = {};
    EXPECT_EQ(ExcludedLineSetIds(none), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(FileOutDelegate, DashedCopiesAndMissingWriter) {
    EPSImage image;
    LineEffectDrawDelegateForFileOut d({L"A"}, 64, 48, &image, {});
    ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));
    d.BeginStrokeCopy(1.5f, 0, 0, 1, true, 4, 2);
    d.Segment(0, 1, 1, 2, 2);
    d.EndStrokeCopy();
    d.BeginStrokeCopy(1.5f, 0, 0, 1, false, 4, 2);
    d.Segment(0, 1, 1, 2, 2);
    d.EndStrokeCopy();
    image.Optimize();
    const Lines body = EpsBody(image);
    ASSERT_EQ(body.size(), 19u);
    EXPECT_EQ(Lines(body.begin() + 7, body.end()),
              (Lines{"1.5 w", "0 0 1 _c", "[4 2 ] 0 d", "n", "1 1 m", "2 2 l", "S", "[] 0 d", "n",
                     "1 1 m", "2 2 l", "S"}));

    LineEffectDrawDelegateForFileOut none({L"A"}, 64, 48, nullptr, {});
    EXPECT_FALSE(none.BeginLineSet(nullptr, 0, false));
    none.BeginStrokeCopy(1, 0, 0, 0, false, 0, 0);
    none.Segment(0, 0, 0, 1, 1);
    none.EndStrokeCopy();
}

TEST(FileOutput, PageSetUpOfEachWriter) {
    auto eps = CreateVectorImage(1);
    ASSERT_TRUE(eps);
    EXPECT_FALSE(eps->SupportsLayers());
    RecordPageSetup(*eps, 640, 480);
    EXPECT_EQ(eps->ConnectTolerance(), 0.01f);
    eps->Optimize();
    const Lines epsLines = SplitCrLf(eps->Serialize());
    EXPECT_EQ(epsLines[1], "%%BoundingBox: 0 0 640 480");
    EXPECT_EQ(EpsBody(*eps), (Lines{"0 480 _t", "1 -1 _s", "n", "0 0 m", "640 0 l", "640 480 l",
                                    "0 480 l", "h", "W", "1 j", "1 J"}));

    auto ai = CreateVectorImage(0);
    ASSERT_TRUE(ai);
    EXPECT_TRUE(ai->SupportsLayers());
    RecordPageSetup(*ai, 320, 240);
    ai->AppendMoveTo(0, 0);
    ai->Optimize();
    EXPECT_EQ(SplitCrLf(ai->Serialize())[3], "%%BoundingBox: 0 0 320 240");
    EXPECT_EQ(AiBody(*ai), (Lines{"1 j", "1 J", "*u", "0 240 m"}));

    EXPECT_EQ(CreateVectorImage(2), nullptr);
    EXPECT_EQ(CreateVectorImage(-1), nullptr);
}

TEST(FileOutput, NumberedFileNames) {
    EXPECT_EQ(OutputFileName(L"C:\\out\\lines.eps", true, 12), L"C:\\out\\lines0012.eps");
    EXPECT_EQ(OutputFileName(L"C:\\out\\lines.eps", true, 12345), L"C:\\out\\lines12345.eps");
    EXPECT_EQ(OutputFileName(L"C:\\out\\lines.eps", false, 12), L"C:\\out\\lines.eps");
    EXPECT_EQ(OutputFileName(L"/tmp/a.b/lines.v2.eps", true, 0), L"/tmp/a.b/lines.v20000.eps");
    EXPECT_EQ(OutputFileName(L"/tmp/a.b/lines", true, 7), L"/tmp/a.b/lines0007");
    EXPECT_EQ(OutputFileName(L"C:lines.eps", true, -3), L"C:lines-003.eps");

    const SplitFileName parts = SplitFilePath(L"C:\\out/sub\\.eps");
    EXPECT_EQ(parts.directory, L"C:\\out/sub\\");
    EXPECT_EQ(parts.baseName, L".eps");
    EXPECT_EQ(parts.extension, L"");

    EXPECT_EQ(FrameNumber(12 * 160 + 159, 160), 12);
    EXPECT_EQ(FrameNumber(-159, 160), 0);  // towards zero
    EXPECT_EQ(FrameNumber(-161, 160), -1);
    try {
        FrameNumber(10, 0);
        ADD_FAILURE() << "no error for zero ticks per frame";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("0"), std::string::npos) << e.what();
    }
}

TEST(FileOutput, FinishOptimisesAndWritesTheNumberedFile) {
    Testing::ScratchDir dir;
    auto image = CreateVectorImage(1);
    RecordPageSetup(*image, 64, 48);
    image->AppendColor(0, 0, 0);
    image->AppendSegment(0, 0, 1, 0);
    image->AppendSegment(1, 0, 1, 1);
    image->AppendStroke();
    const std::wstring name = (dir.Path() / "lines.eps").wstring();
    EXPECT_EQ(FinishFileOutput(*image, name, true, 12), 0);
    EXPECT_EQ(dir.Entries(), Lines{"lines0012.eps"});
    const Lines body = EpsBody(*image);
    EXPECT_EQ(Testing::ReadFile(dir.Path() / "lines0012.eps"), image->Serialize());
    EXPECT_EQ(CountLine(body, "0 0 0 _c"), 0u);
    EXPECT_EQ(CountLine(body, "1 1 l"), 1u);

    EXPECT_NE(FinishFileOutput(*image, (dir.Path() / "no" / "x.eps").wstring(), false, 0), 0);
    EXPECT_EQ(dir.Entries(), Lines{"lines0012.eps"});
}

}  // namespace
}  // namespace KvrnVectorOut
