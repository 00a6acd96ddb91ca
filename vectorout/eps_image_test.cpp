#include "eps_image.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

using Testing::EpsBody;
using Lines = std::vector<std::string>;

std::vector<Opcode> Opcodes(const VectorImage& image) {
    std::vector<Opcode> opcodes;
    for (const Record& r : image.Records()) opcodes.push_back(r.opcode);
    return opcodes;
}

// The optimised body of segments recorded one after another.
Lines Chain(float tolerance, std::initializer_list<std::array<float, 4>> segments) {
    EPSImage image;
    image.SetConnectTolerance(tolerance);
    for (const auto& [x1, y1, x2, y2] : segments) image.AppendSegment(x1, y1, x2, y2);
    image.Optimize();
    return EpsBody(image);
}

TEST(EPSImage, FileWithEveryRecordKindIsWrittenByteForByte) {
    EPSImage image;
    const float dash[] = {4, 2};
    image.SetBoundingBox(0, 0, 640, 480);
    image.AppendTranslate(0, 480);
    image.AppendScale(1, -1);
    image.AppendClipRect(0, 0, 640, 480);
    image.AppendSaveState();
    image.AppendColor(0.25f, 0.5f, 1);
    image.AppendLineWidth(1.5f);
    image.AppendDash(dash, 0);
    image.AppendSolidLine();
    image.AppendLineJoin(1);
    image.AppendLineCap(2);
    image.AppendComment("note 100%");
    image.AppendNewPath();
    image.AppendMoveTo(1, 2);
    image.AppendLineTo(3, 4);
    image.AppendClosePath();
    image.AppendStroke();
    image.AppendRestoreState();
    // Nothing for layers (not even a record), groups, neutralised and unknown opcodes.
    EXPECT_EQ(image.AppendLayer("Set1"), image.End());
    EXPECT_EQ(image.AppendLayer(L"Set1"), image.End());
    for (const Opcode opcode : {Opcode::kBeginPathGroup, Opcode(55)}) {
        Record record;
        record.opcode = opcode;
        record.count = 2;
        image.InsertRecord(image.End(), record);
    }
    image.Neutralize(image.AppendStroke());

    EXPECT_EQ(image.Serialize(),
              "%!PS-Adobe-3.0 EPSF-3.0\r\n%%BoundingBox: 0 0 640 480\r\n"
              "%Render:DRAVO_Kovrin_4.00\r\n/m {moveto} def\r\n/l {lineto} def\r\n"
              "/h {closepath} def\r\n/W {clip} def\r\n/n {newpath} def\r\n/d {setdash} def\r\n"
              "/w {setlinewidth} def\r\n/j {setlinejoin} def\r\n/J {setlinecap} def\r\n"
              "/S {stroke} def\r\n/_t {translate} def\r\n/_s {scale} def\r\n"
              "/_c {setrgbcolor} def\r\n0 480 _t\r\n1 -1 _s\r\nn\r\n0 0 m\r\n640 0 l\r\n"
              "640 480 l\r\n0 480 l\r\nh\r\nW\r\ngsave\r\n0.25 0.5 1 _c\r\n1.5 w\r\n"
              "[4 2 ] 0 d\r\n[] 0 d\r\n1 j\r\n2 J\r\n%note 100%\r\nn\r\n1 2 m\r\n3 4 l\r\nh\r\n"
              "S\r\ngrestore\r\n%%EOF\r\n");
}

TEST(VectorImage, InsertsBeforeAPositionAndAppendsAtTheInsertionPoint) {
    using enum Opcode;
    EPSImage image;
    const auto width = image.AppendLineWidth(2);
    const auto stroke = image.AppendStroke();
    EXPECT_EQ(image.InsertColor(stroke, 1, 0, 0)->opcode, kColor);  // its own position
    image.SetInsertionPoint(width);
    image.AppendNewPath();
    image.AppendMoveTo(1, 2);
    EXPECT_EQ(Opcodes(image),
              (std::vector<Opcode>{kNewPath, kMoveTo, kLineWidth, kColor, kStroke}));
}

TEST(VectorImage, OptimizeAndClearKeepTheInsertionPointValid) {
    using enum Opcode;
    EPSImage image;
    const auto stroke = image.AppendStroke();
    // The redundant width the insertion point stands on goes; appending goes on before the
    // record that followed it.
    image.SetInsertionPoint(image.InsertLineWidth(stroke, 1));
    image.Optimize();
    image.AppendClosePath();
    EXPECT_EQ(Opcodes(image), (std::vector<Opcode>{kClosePath, kStroke}));

    image.Clear();
    image.AppendStroke();
    image.AppendNewPath();
    EXPECT_EQ(Opcodes(image), (std::vector<Opcode>{kStroke, kNewPath}));
}

TEST(EPSImage, JoinsASegmentStartingWithinToleranceOfThePathEnd) {
    EXPECT_EQ(Chain(0, {{0, 0, 1, 1}, {1, 1, 2, 2}}), (Lines{"0 0 m", "1 1 l", "2 2 l"}));
    EXPECT_EQ(Chain(0.01f, {{0, 0, 10, 10}, {10.005f, 9.995f, 20, 10}}),
              (Lines{"0 0 m", "10 10 l", "20 10 l"}));
    EXPECT_EQ(Chain(0.01f, {{0, 0, 10, 0}, {10.5f, 0, 10, 10}}),
              (Lines{"0 0 m", "10 0 l", "10.5 0 m", "10 10 l"}));
}

// A new path ends the chain even where the next segment starts at its end; a move-to or a
// line-to moves the current point.
TEST(EPSImage, NewPathEndsTheChainAndMovesContinueIt) {
    EPSImage image;
    image.AppendSegment(0, 0, 10, 0);
    image.AppendNewPath();
    image.AppendSegment(10, 0, 10, 10);
    image.AppendMoveTo(5, 5);
    image.AppendSegment(5, 5, 6, 6);
    image.AppendLineTo(7, 7);
    image.AppendSegment(7, 7, 8, 8);
    image.Optimize();
    EXPECT_EQ(EpsBody(image), (Lines{"0 0 m", "10 0 l", "n", "10 0 m", "10 10 l", "5 5 m", "6 6 l",
                                     "7 7 l", "8 8 l"}));
}

TEST(EPSImage, DropsStateThatIsAlreadyInForce) {
    EPSImage image;
    const float dash42[] = {4, 2};
    const float dash43[] = {4, 3};
    image.AppendColor(0, 0, 0);  // the start state: black, width 1, solid, joins and caps 0
    image.AppendLineWidth(1);
    image.AppendSolidLine();
    image.AppendLineJoin(0);
    image.AppendLineCap(0);
    image.AppendColor(1, 0, 0);
    image.AppendColor(1, 0, 0);
    image.AppendColor(1, 0, 0.5f);
    image.AppendLineWidth(std::nextafter(1.0f, 2.0f));  // exact comparison keeps a near value
    image.AppendDash(dash42, 0);
    image.AppendDash(dash42, 0);
    image.AppendDash(dash42, 1);  // same pattern, other offset
    image.AppendDash(dash43, 1);
    image.AppendSolidLine();
    image.AppendLineJoin(1);
    image.AppendLineJoin(1);
    image.AppendLineCap(2);
    image.AppendLineCap(2);
    image.AppendLineCap(0);
    image.Optimize();
    EXPECT_EQ(EpsBody(image), (Lines{"1 0 0 _c", "1 0 0.5 _c", "1 w", "[4 2 ] 0 d", "[4 2 ] 1 d",
                                     "[4 3 ] 1 d", "[] 0 d", "1 j", "2 J", "0 J"}));
}

// Values that compare neither smaller nor greater count as equal, so NaN never reaches the file;
// text keeps to one C string, and its line breaks end in CR LF like every other line.
TEST(EPSImage, NaNStateAndTextWithBreaksOrNul) {
    EPSImage image;
    const float nan = std::nanf("");
    image.AppendLineWidth(nan);
    image.AppendColor(nan, 0, 0);
    image.AppendLineWidth(2);
    image.AppendComment(std::string_view("one\ntwo\0three", 13));
    image.Optimize();
    EXPECT_EQ(EpsBody(image), (Lines{"2 w", "%one", "two"}));
}

}  // namespace
}  // namespace KvrnVectorOut
