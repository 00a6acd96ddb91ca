#include "ai_eps_image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

using Testing::AiBody;
using Testing::SplitCrLf;
using Lines = std::vector<std::string>;

TEST(AIEPSImage, LayerExampleIsWrittenByteForByte) {
    AIEPSImage image;
    image.SetConnectTolerance(0.01f);
    image.SetBoundingBox(0, 0, 640, 480);
    image.AppendLayer("Set1");
    image.AppendClipRect(0, 0, 640, 480);
    image.AppendLineWidth(2);
    image.AppendColor(1, 0, 0);
    image.AppendSolidLine();
    image.AppendNewPath();
    image.AppendSegment(10, 10, 20, 10);
    image.AppendSegment(20, 10, 20, 30);
    image.AppendStroke();
    image.Optimize();

    const std::string expected =
        "%!PS-Adobe-3.0 EPSF-3.0\r\n%%Creator: Adobe Illustrator(R) 8.0\r\n"
        "%%AI8_CreatorVersion: 13.0.2\r\n%%BoundingBox: 0 0 640 480\r\n"
        "%%HiResBoundingBox: 0 0 640 480\r\n%AI3_TemplateBox: 320.5 239.5 320.5 239.5\r\n"
        "%AI5_ArtSize: 640 480\r\n%Render:DRAVO_Kovrin_4.00\r\n/m {moveto} def\r\n"
        "/l {lineto} def\r\n/B {} def\r\n/Lb {} def\r\n/LB {} def\r\n/Ln {} def\r\n"
        "/q {} def\r\n/h {closepath} def\r\n/W {clip} def\r\n/n {newpath} def\r\n"
        "/XA {setrgbcolor 4 {pop} repeat} def\r\n/d {setdash} def\r\n/w {setlinewidth} def\r\n"
        "/j {setlinejoin} def\r\n/J {setlinecap} def\r\n/*u {} def\r\n/S {stroke} def\r\n"
        "/*U {} def\r\n/Q {} def\r\n%%EndProlog\r\n%AI5_BeginLayer\r\n"
        "1 1 1 1 0 0 1 1 79 128 255 0 50 Lb\r\n(Set1) Ln\r\nq\r\n0 0 m\r\n640 0 l\r\n"
        "640 480 l\r\n0 480 l\r\n0 0 l\r\nh\r\nW\r\nn\r\n2 w\r\n0 0 0 0 1 0 0 XA\r\n*u\r\n"
        "10 10 m\r\n20 10 l\r\n20 30 l\r\nS\r\n*U\r\nQ\r\nLB\r\n%AI5_EndLayer--\r\n"
        "%%PageTrailer\r\nshowpage\r\n%%Trailer\r\n%%EOF\r\n";
    EXPECT_EQ(image.Serialize(), expected);
}

// The delegate's test covers layers with clip rectangles; without one a layer closes with no Q.
TEST(AIEPSImage, EachLayerClosesThePreviousOne) {
    AIEPSImage image;
    image.AppendLayer("A (hidden)");  // parentheses are written as they stand
    image.AppendLayer("B");
    EXPECT_EQ(
        AiBody(image),
        SplitCrLf("%AI5_BeginLayer\r\n1 1 1 1 0 0 1 1 79 128 255 0 50 Lb\r\n(A (hidden)) Ln\r\n"
                  "LB\r\n%%AI5_EndLayer--\r\n%AI5_BeginLayer\r\n"
                  "1 1 1 1 0 0 1 0 79 128 255 0 50 Lb\r\n(B) Ln\r\nLB\r\n%AI5_EndLayer--\r\n"));
}

// The delegate's test shows the page set-up on its paths and not on the clip rectangle.
TEST(AIEPSImage, ATransformReplacesThePreviousOne) {
    AIEPSImage image;
    image.AppendTranslate(0, 480);
    image.AppendScale(1, -1);
    image.AppendLineTo(30, 40.5f);
    image.AppendTranslate(5, 0);
    image.AppendScale(2, 2);
    image.AppendMoveTo(1, 1);
    EXPECT_EQ(AiBody(image), (Lines{"30 439.5 l", "7 2 m"}));
}

TEST(AIEPSImage, TemplateBoxAndArtSizeFollowTheBoundingBox) {
    AIEPSImage image;
    image.SetBoundingBox(10, 20, 110, 70);
    const Lines lines = SplitCrLf(image.Serialize());
    EXPECT_EQ(lines[3], "%%BoundingBox: 10 20 110 70");
    EXPECT_EQ(lines[4], "%%HiResBoundingBox: 10 20 110 70");
    EXPECT_EQ(lines[5], "%AI3_TemplateBox: 50.5 24.5 50.5 24.5");
    EXPECT_EQ(lines[6], "%AI5_ArtSize: 100 50");
}

TEST(AIEPSImage, GroupsPathsAndStrokesOpenPaths) {
    AIEPSImage image;
    image.SetConnectTolerance(0.01f);
    const float dash[] = {3, 1};
    image.AppendLineJoin(1);
    image.AppendMoveTo(0, 0);  // opens a group
    image.AppendLineTo(1, 0);
    image.AppendMoveTo(5, 5);  // strokes the open path first, same group
    image.AppendLineTo(6, 5);
    image.AppendStroke();     // closes the group
    image.AppendStroke();     // no group open: nothing to close
    image.AppendSaveState();  // save and restore write nothing in this flavour
    image.AppendRestoreState();
    image.AppendDash(dash, 0.5f);
    image.AppendSegment(0, 0, 1, 1);  // an unjoined segment opens a group
    image.AppendSegment(1, 1, 2, 0);
    image.AppendLayer("L");  // closes the group before the layer
    image.AppendNewPath();   // opens a group
    image.AppendSegment(2, 0, 3, 0);
    image.AppendComment("end");
    image.Optimize();
    const Lines expected = SplitCrLf(
        "1 j\r\n*u\r\n0 0 m\r\n1 0 l\r\nS\r\n5 5 m\r\n6 5 l\r\nS\r\n*U\r\nS\r\n"
        "[3 1 ] 0.5 d\r\n*u\r\n0 0 m\r\n1 1 l\r\n2 0 l\r\n*U\r\n%AI5_BeginLayer\r\n"
        "1 1 1 1 0 0 1 1 79 128 255 0 50 Lb\r\n(L) Ln\r\n*u\r\n2 0 m\r\n3 0 l\r\n%end\r\n"
        "LB\r\n%AI5_EndLayer--\r\n");
    EXPECT_EQ(AiBody(image), expected);
}

TEST(AIEPSImage, WideLayerNamesUseTheAnsiCodePage) {
    EXPECT_EQ(ToAnsiCodePage(L"caf\u00e9 \u20ac\u2014\u0178"), "caf\xe9 \x80\x97\x9f");
    EXPECT_EQ(ToAnsiCodePage(L"\u65e5\u672c"), "??");
    const wchar_t pair[] = {0xD83D, 0xDE00, L'x', 0};
    EXPECT_EQ(ToAnsiCodePage(pair), "?x");

    AIEPSImage image;
    EXPECT_EQ(image.AppendLayer(L"L\u00e9")->text, "L\xe9");
}

}  // namespace
}  // namespace KvrnVectorOut
