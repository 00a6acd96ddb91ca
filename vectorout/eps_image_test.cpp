#include "eps_image.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

using Testing::LinesBetween;
using Testing::SplitCrLf;

const std::vector<std::string> kProlog = {
    "/m {moveto} def",      "/l {lineto} def",  "/h {closepath} def",    "/W {clip} def",
    "/n {newpath} def",     "/d {setdash} def", "/w {setlinewidth} def", "/j {setlinejoin} def",
    "/J {setlinecap} def",  "/S {stroke} def",  "/_t {translate} def",   "/_s {scale} def",
    "/_c {setrgbcolor} def"};

// The drawing lines of a plain EPS file: after the prolog, before "%%EOF".
std::vector<std::string> Body(const VectorImage& image) {
    return LinesBetween(SplitCrLf(image.Serialize()), "/_c {setrgbcolor} def", "%%EOF");
}

Record MakeRecord(Opcode opcode, int32_t count, std::array<float, 4> values) {
    Record record;
    record.opcode = opcode;
    record.count = count;
    record.values = values;
    return record;
}

std::vector<Opcode> Opcodes(const VectorImage& image) {
    std::vector<Opcode> opcodes;
    for (const Record& r : image.Records()) opcodes.push_back(r.opcode);
    return opcodes;
}

TEST(EPSImage, EmptyRecorderWritesHeaderPrologAndEof) {
    EPSImage image;
    std::string expected =
        "%!PS-Adobe-3.0 EPSF-3.0\r\n"
        "%%BoundingBox: 0 0 0 0\r\n"
        "%Render:DRAVO_Kovrin_4.00\r\n";
    for (const std::string& line : kProlog) expected += line + "\r\n";
    expected += "%%EOF\r\n";
    EXPECT_EQ(image.Serialize(), expected);

    image.SetBoundingBox(0, 0, 640.5f, 1e-5f);
    EXPECT_EQ(SplitCrLf(image.Serialize())[1], "%%BoundingBox: 0 0 640.5 1E-05");
}

TEST(VectorImage, InsertsAtPositionsAndInsertionPoint) {
    EPSImage image;
    const auto width = image.AppendLineWidth(2);
    const auto stroke = image.AppendStroke();
    // Insert puts the record before the given one and returns its own position.
    const auto color = image.InsertColor(stroke, 1, 0, 0);
    EXPECT_EQ(color->opcode, Opcode::kColor);
    image.SetInsertionPoint(width);
    image.AppendNewPath();
    image.AppendMoveTo(1, 2);
    EXPECT_EQ(Opcodes(image),
              (std::vector<Opcode>{Opcode::kNewPath, Opcode::kMoveTo, Opcode::kLineWidth,
                                   Opcode::kColor, Opcode::kStroke}));

    // Optimize removes the redundant width the insertion point stands on; appending goes on
    // before the record that followed it.
    image.SetInsertionPoint(image.InsertLineWidth(stroke, 2));
    image.Optimize();
    image.AppendClosePath();
    EXPECT_EQ(Opcodes(image),
              (std::vector<Opcode>{Opcode::kNewPath, Opcode::kMoveTo, Opcode::kLineWidth,
                                   Opcode::kColor, Opcode::kClosePath, Opcode::kStroke}));

    // Clear also resets the insertion point: appending goes to the end again.
    image.Clear();
    image.AppendStroke();
    image.AppendNewPath();
    EXPECT_EQ(Opcodes(image), (std::vector<Opcode>{Opcode::kStroke, Opcode::kNewPath}));
}

TEST(EPSImage, JoinsSegmentsWithinToleranceOnly) {
    EPSImage joined;
    joined.SetConnectTolerance(0.01f);
    joined.AppendNewPath();
    joined.AppendSegment(0, 0, 10, 0);
    joined.AppendSegment(10, 0, 10, 10);
    joined.AppendSegment(10.005f, 9.995f, 20, 10);  // within 0.01 on both axes
    joined.AppendStroke();
    joined.Optimize();
    EXPECT_EQ(Body(joined),
              (std::vector<std::string>{"n", "0 0 m", "10 0 l", "10 10 l", "20 10 l", "S"}));

    EPSImage apart;
    apart.SetConnectTolerance(0.01f);
    apart.AppendSegment(0, 0, 10, 0);
    apart.AppendSegment(10.5f, 0, 10, 10);
    apart.Optimize();
    EXPECT_EQ(Body(apart), (std::vector<std::string>{"0 0 m", "10 0 l", "10.5 0 m", "10 10 l"}));

    // A new path ends the chain even when the next segment starts where the last one ended; a
    // move-to or a line-to moves the current point.
    EPSImage broken;
    broken.SetConnectTolerance(0.01f);
    broken.AppendSegment(0, 0, 10, 0);
    broken.AppendNewPath();
    broken.AppendSegment(10, 0, 10, 10);
    broken.AppendMoveTo(5, 5);
    broken.AppendSegment(5, 5, 6, 6);
    broken.AppendLineTo(7, 7);
    broken.AppendSegment(7, 7, 8, 8);
    broken.Optimize();
    EXPECT_EQ(Body(broken), (std::vector<std::string>{"0 0 m", "10 0 l", "n", "10 0 m", "10 10 l",
                                                      "5 5 m", "6 6 l", "7 7 l", "8 8 l"}));

    // With the tolerance of a new recorder (0) only exact continuations join.
    EPSImage exact;
    exact.AppendSegment(0, 0, 1, 1);
    exact.AppendSegment(1, 1, 2, 2);
    exact.AppendSegment(2.001f, 2, 3, 3);
    exact.Optimize();
    EXPECT_EQ(Body(exact),
              (std::vector<std::string>{"0 0 m", "1 1 l", "2 2 l", "2.001 2 m", "3 3 l"}));
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
    image.AppendLineWidth(std::nextafter(1.0f, 2.0f));
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
    EXPECT_EQ(Body(image),
              (std::vector<std::string>{"1 0 0 _c", "1 0 0.5 _c", "1 w", "[4 2 ] 0 d", "[4 2 ] 1 d",
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
    EXPECT_EQ(Body(image), (std::vector<std::string>{"2 w", "%one", "two"}));
}

TEST(EPSImage, WritesEveryRecordKind) {
    EPSImage image;
    const float dash[] = {4, 2};
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
    image.AppendLayer(L"Set1");
    image.InsertRecord(image.End(), MakeRecord(Opcode::kBeginPathGroup, 0, {}));
    image.InsertRecord(image.End(), MakeRecord(Opcode(55), 2, {1, 2, 0, 0}));
    image.Neutralize(image.AppendStroke());
    image.InsertRecord(image.End(), MakeRecord(Opcode::kLineTo, 3, {1, 2, 3, 0}));
    EXPECT_EQ(image.RecordCount(), 21u);
    EXPECT_EQ(Body(image),
              (std::vector<std::string>{
                  "0 480 _t",   "1 -1 _s", "n",   "0 0 m", "640 0 l",       "640 480 l",
                  "0 480 l",    "h",       "W",   "gsave", "0.25 0.5 1 _c", "1.5 w",
                  "[4 2 ] 0 d", "[] 0 d",  "1 j", "2 J",   "%note 100%",    "n",
                  "1 2 m",      "3 4 l",   "h",   "S",     "grestore"}));
    // A segment of odd length is left as it is by the optimiser.
    image.Optimize();
    EXPECT_EQ(image.Records().back().count, 3);
}

TEST(EPSImage, WriteGoesThroughATemporaryFile) {
    Testing::ScratchDir dir;
    EPSImage image;
    image.SetBoundingBox(0, 0, 64, 48);
    image.AppendSegment(1, 2, 3, 4);
    image.AppendStroke();

    const auto path = dir.Path() / "lines.eps";
    EXPECT_EQ(image.Write(path), 0);
    const std::string bytes = Testing::ReadFile(path);
    EXPECT_EQ(bytes, image.Serialize());
    EXPECT_NE(bytes.find("1 2 m\r\n3 4 l\r\nS\r\n%%EOF\r\n"), std::string::npos);
    // Rewriting replaces the file whole.
    image.Clear();
    EXPECT_EQ(image.Write(path), 0);
    EXPECT_EQ(Testing::ReadFile(path), image.Serialize());
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"lines.eps"});

    // A missing folder: the open error, and nothing is created.
    EXPECT_EQ(image.Write(dir.Path() / "missing" / "lines.eps"), ENOENT);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"lines.eps"});

    // A folder in the way of the file: the rename fails and the temporary file is gone.
    std::filesystem::create_directory(dir.Path() / "taken.eps");
    std::filesystem::create_directory(dir.Path() / "taken.eps" / "inside");
    EXPECT_NE(image.Write(dir.Path() / "taken.eps"), 0);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"lines.eps", "taken.eps"}));
}

}  // namespace
}  // namespace KvrnVectorOut
