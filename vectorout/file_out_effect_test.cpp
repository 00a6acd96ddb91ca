#include "file_out_effect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "detection_settings.h"
#include "node.h"
#include "string_table.h"
#include "vectorout_test_util.h"

namespace {

using KvrnVectorOut::Testing::ReadFile;
using KvrnVectorOut::Testing::ScratchDir;
using KvrnVectorOut::Testing::SplitCrLf;
using Lines = std::vector<std::string>;
using enum KvrnLib::EdgeKind;

class AbortFlag : public CheckAbortCallback {
  public:
    bool abort = false;
    bool Check() override { return abort; }
    bool Progress(int, int) override { return abort; }
    void SetTitle(const std::string&) override {}
};

// One stroke copy of the segments (x0, y0, x1, y1) of the given kinds.
struct Seg {
    int kind;
    float x0, y0, x1, y1;
};
void DrawCopy(KvrnLib::LineEffectDrawDelegate& d, const std::vector<Seg>& segments) {
    d.BeginStrokeCopy(2, 1, 0, 0, false, 0, 0);
    for (const Seg& s : segments) d.Segment(s.kind, s.x0, s.y0, s.x1, s.y1);
    d.EndStrokeCopy();
}

std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

size_t CountLines(const Lines& lines, const std::string& line) {
    return size_t(std::count(lines.begin(), lines.end(), line));
}

// A 640 x 480 single-frame render whose line drawing the test scripts.
class FileOutEffect : public ::testing::Test {
  protected:
    FileOutEffect() : effect(static_cast<KvrnFileOut*>(FileOutClassDesc().Create(false))) {
        setup.settings.width = 640;
        setup.settings.height = 480;
        gc.setup = &setup;
        gc.devWidth = 640;
        gc.devHeight = 480;
    }

    void SetFile(const std::filesystem::path& path, int fileType) {
        ASSERT_TRUE(effect->FileBlock()->SetValue(kFileOutFileName, 0, Utf8(path).c_str()));
        ASSERT_TRUE(effect->FileBlock()->SetValue(kFileOutFileType, 0, fileType));
    }
    void SetSwitch(ParamID id, bool on, int tabIndex = 0) {
        ASSERT_TRUE(effect->LineBlock()->SetValue(id, 0, on, tabIndex));
    }
    // Draws like a line effect: its line sets in reverse, hidden lines before visible ones.
    void DrawLines(std::function<void(KvrnLib::LineEffectDrawDelegate&)> draw,
                   std::vector<std::wstring> names = {L"SetA", L"SetB"}) {
        effect->SetLineDrawingStep([this, draw, names](TimeValue t, RenderGlobalContext* context,
                                                       LineFileOutput& out, CheckAbortCallback*) {
            ++drawCalls;
            EXPECT_EQ(context, &gc);
            widthDuringDrawing = out.OutputWidth();
            heightDuringDrawing = out.OutputHeight();
            draw(*out.GetLineDrawDelegate(t, names));
        });
    }

    ScratchDir dir;
    RenderSetup setup;
    RenderGlobalContext gc;
    RefPtr<KvrnFileOut> effect;
    AbortFlag abortFlag;
    int drawCalls = 0;
    int widthDuringDrawing = 0;
    int heightDuringDrawing = 0;
};

TEST(FileOutClass, RegistersAndStartsWithEverythingOnAndNoFile) {
    ClassDirectory directory;
    RegisterFileOutClass(directory);
    RefPtr<ReferenceTarget> made =
        directory.CreateInstance(RENDER_EFFECT_CLASS_ID, KVRN_FILE_OUT_CLASS_ID, false);
    auto* effect = dynamic_cast<KvrnFileOut*>(made.get());
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->ClassName(), "Kovrin File Output");

    IParamBlock2* file = effect->FileBlock();
    IParamBlock2* line = effect->LineBlock();
    ASSERT_TRUE(file && line);
    EXPECT_EQ(file->GetDesc()->InternalName(), "kovrin_fileout");
    EXPECT_EQ(line->GetDesc()->InternalName(), "kovrin_fileout_line");
    EXPECT_EQ(file->ID(), 0);
    EXPECT_EQ(line->ID(), 1);
    EXPECT_EQ(file->GetInt(kFileOutFileType), 0);
    EXPECT_EQ(file->GetStr(kFileOutFileName), "");
    // Scene files and scripts address the switches by these IDs and names.
    const std::pair<ParamID, const char*> switches[] = {
        {0, "visibleLineEnable"}, {1, "hiddenLineEnable"}, {3, "outlineEnable"},
        {4, "objectEnable"},      {5, "isectEnable"},      {6, "smoothEnable"},
        {7, "matidEnable"},       {8, "normalEnable"},     {10, "selEnable"},
        {11, "wireEnable"},
    };
    for (const auto& [id, name] : switches) {
        const ParamDef* def = line->GetDesc()->FindParam(name);
        ASSERT_NE(def, nullptr) << name;
        EXPECT_EQ(def->id, id) << name;
        EXPECT_FALSE(def->Animatable()) << name;
        EXPECT_TRUE(line->GetBool(id)) << name;
    }
    ASSERT_EQ(line->Count(kFileOutLinesetID), 8);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(line->GetBool(kFileOutLinesetID, 0, i)) << i;

    // The type is kept to the two writers.
    ASSERT_TRUE(file->SetValue(kFileOutFileType, 0, 7));
    EXPECT_EQ(file->GetInt(kFileOutFileType), 1);
}

TEST(FileOutClass, CloneCopiesBothBlocksIntoBlocksOfItsOwn) {
    RefPtr<KvrnFileOut> effect(static_cast<KvrnFileOut*>(FileOutClassDesc().Create(false)));
    effect->SetName("Vector lines");
    effect->FileBlock()->SetValue(kFileOutFileName, 0, "a.eps");
    effect->LineBlock()->SetValue(kFileOutLinesetID, 0, false, 5);
    RefPtr<ReferenceTarget> copy = CloneRefHierarchy(effect.get());
    auto* clone = dynamic_cast<KvrnFileOut*>(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->GetName(), "Vector lines");
    EXPECT_EQ(clone->FileBlock()->GetStr(kFileOutFileName), "a.eps");
    EXPECT_FALSE(clone->LineBlock()->GetBool(kFileOutLinesetID, 0, 5));
    clone->FileBlock()->SetValue(kFileOutFileName, 0, "b.eps");
    EXPECT_EQ(effect->FileBlock()->GetStr(kFileOutFileName), "a.eps");
}

TEST(FileOutNaming, RangeRendersNumberTheFileAndSingleFramesKeepIt) {
    EXPECT_EQ(FileOutPath(L"C:\\out\\lines.eps", true, 12345), L"C:\\out\\lines12345.eps");
    EXPECT_EQ(FileOutPath(L"C:\\out\\lines.eps", false, 12), L"C:\\out\\lines.eps");
}

TEST(FileOutNaming, HashRunsTakeThePaddedFrameOnceInEveryRender) {
    for (const bool range : {false, true}) {
        SCOPED_TRACE(range);
        EXPECT_EQ(FileOutPath(L"out/lines_####.eps", range, 7), L"out/lines_0007.eps");
        EXPECT_EQ(FileOutPath(L"out/lines_##.eps", range, 123456), L"out/lines_123456.eps");
        EXPECT_EQ(FileOutPath(L"out/lines####", range, 42), L"out/lines0042");
        EXPECT_EQ(FileOutPath(L"out/v_###.eps", range, -7), L"out/v_-007.eps");
        // Every run takes the frame, folders included.
        EXPECT_EQ(FileOutPath(L"shot#/v#_###.eps", range, 9), L"shot9/v9_009.eps");
    }
}

// A range render at a time between frames 12 and 13 writes frame 12's file.
TEST_F(FileOutEffect, RangeRenderWritesTheNumberedFile) {
    SetFile(dir.Path() / "lines.eps", 1);
    DrawLines([](KvrnLib::LineEffectDrawDelegate&) {});
    setup.settings.rangeRender = true;
    const TimeValue t = 12 * GetTicksPerFrame() + GetTicksPerFrame() - 1;
    effect->Output(t, &gc, &abortFlag);
    EXPECT_EQ(effect->LastWriteResult(), 0);
    EXPECT_EQ(effect->LastWritePath(), (dir.Path() / "lines0012.eps").wstring());
    EXPECT_EQ(dir.Entries(), Lines{"lines0012.eps"});

    setup.settings.rangeRender = false;
    effect->Output(t, &gc, &abortFlag);
    EXPECT_EQ(dir.Entries(), (Lines{"lines.eps", "lines0012.eps"}));
}

TEST_F(FileOutEffect, EpsOfA640By480RenderFlipsAndClipsThePageBeforeDrawing) {
    SetFile(dir.Path() / "lines.eps", 1);
    // The render settings would say otherwise: the frame's device size decides.
    setup.settings.width = 320;
    setup.settings.height = 240;
    DrawLines([](KvrnLib::LineEffectDrawDelegate& d) {
        ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));
        DrawCopy(d, {{kEdgeOutline, 10, 20, 30, 20}});
    });
    effect->Output(0, &gc, nullptr);
    ASSERT_EQ(effect->LastWriteResult(), 0);
    EXPECT_EQ(widthDuringDrawing, 640);
    EXPECT_EQ(heightDuringDrawing, 480);

    const Lines lines = SplitCrLf(ReadFile(dir.Path() / "lines.eps"));
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[1], "%%BoundingBox: 0 0 640 480");
    const Lines body =
        KvrnVectorOut::Testing::LinesBetween(lines, "/_c {setrgbcolor} def", "%%EOF");
    const Lines pageSetUp{"0 480 _t", "1 -1 _s", "n", "0 0 m", "640 0 l", "640 480 l",
                          "0 480 l",  "h",       "W", "1 j",   "1 J"};
    ASSERT_GT(body.size(), pageSetUp.size());
    EXPECT_EQ(Lines(body.begin(), body.begin() + long(pageSetUp.size())), pageSetUp);
    // Pixel rows stay as drawn: the page transform flips them.
    EXPECT_EQ(CountLines(body, "10 20 m"), 1u);
    EXPECT_EQ(CountLines(body, "30 20 l"), 1u);
    EXPECT_EQ(CountLines(body, "S"), 1u);
}

TEST_F(FileOutEffect, SwitchedOffLineSetIdDropsItsLineSetEntirely) {
    SetFile(dir.Path() / "lines.ai.eps", 0);
    SetSwitch(kFileOutLinesetID, false, 2);
    DrawLines([](KvrnLib::LineEffectDrawDelegate& d) {
        const KvrnLib::LineSetId three = 3, one = 1;
        EXPECT_TRUE(d.VisitLineSetsReversed());
        if (d.BeginLineSet(&one, 1, false)) DrawCopy(d, {{kEdgeOutline, 1, 1, 5, 5}});
        if (d.BeginLineSet(&three, 0, true)) DrawCopy(d, {{kEdgeOutline, 2, 2, 6, 6}});
        if (d.BeginLineSet(&three, 0, false)) DrawCopy(d, {{kEdgeOutline, 3, 3, 7, 7}});
    });
    effect->Output(0, &gc, nullptr);
    ASSERT_EQ(effect->LastWriteResult(), 0);
    const Lines lines = SplitCrLf(ReadFile(dir.Path() / "lines.ai.eps"));
    EXPECT_EQ(CountLines(lines, "(SetB) Ln"), 1u);
    EXPECT_EQ(CountLines(lines, "(SetA) Ln"), 0u);
    EXPECT_EQ(CountLines(lines, "(SetAhidden) Ln"), 0u);
    EXPECT_EQ(CountLines(lines, "S"), 1u);
}

TEST_F(FileOutEffect, HiddenLinesOffLeavesNoHiddenLayer) {
    SetFile(dir.Path() / "lines.eps", 0);
    SetSwitch(kFileOutHiddenLineEnable, false);
    DrawLines([](KvrnLib::LineEffectDrawDelegate& d) {
        const KvrnLib::LineSetId one = 1;
        for (int set : {1, 0}) {
            EXPECT_FALSE(d.BeginLineSet(&one, set, true));
            ASSERT_TRUE(d.BeginLineSet(&one, set, false));
            DrawCopy(d, {{kEdgeOutline, 1, 1, 5, 5}});
        }
    });
    effect->Output(0, &gc, nullptr);
    const std::string text = ReadFile(dir.Path() / "lines.eps");
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    const Lines lines = SplitCrLf(text);
    EXPECT_EQ(CountLines(lines, "(SetA) Ln"), 1u);
    EXPECT_EQ(CountLines(lines, "(SetB) Ln"), 1u);
}

TEST_F(FileOutEffect, WireOffDropsOnlyWireSegmentsAndWireOnlyStrokesLeaveNoPath) {
    SetFile(dir.Path() / "lines.eps", 1);
    SetSwitch(kFileOutWireEnable, false);
    DrawLines([](KvrnLib::LineEffectDrawDelegate& d) {
        ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));
        DrawCopy(d, {{kEdgeWire, 1, 1, 10, 1}, {kEdgeOutline, 10, 1, 10, 10}});
        DrawCopy(d, {{kEdgeWire, 50, 50, 60, 50}, {kEdgeWire, 60, 50, 60, 60}});
    });
    effect->Output(0, &gc, nullptr);
    ASSERT_EQ(effect->LastWriteResult(), 0);
    const Lines lines = SplitCrLf(ReadFile(dir.Path() / "lines.eps"));
    // What follows the line set's clip rectangle: one path, the outline segment alone.
    const auto lastClip = std::find(lines.rbegin(), lines.rend(), "W");
    ASSERT_NE(lastClip, lines.rend());
    const Lines drawn(lastClip.base(), lines.end());
    EXPECT_EQ(CountLines(drawn, "n"), 1u);
    EXPECT_EQ(CountLines(drawn, "S"), 1u);
    EXPECT_EQ(CountLines(drawn, "10 1 m"), 1u);
    EXPECT_EQ(CountLines(drawn, "10 10 l"), 1u);
    EXPECT_EQ(CountLines(drawn, "1 1 m"), 0u);
    EXPECT_EQ(CountLines(drawn, "50 50 m"), 0u);
}

TEST_F(FileOutEffect, AbortAfterDrawingWritesNothingAndKeepsTheOldFile) {
    const auto path = dir.Path() / "lines.eps";
    std::ofstream(path, std::ios::binary) << "old";
    SetFile(path, 1);
    DrawLines([this](KvrnLib::LineEffectDrawDelegate& d) {
        ASSERT_TRUE(d.BeginLineSet(nullptr, 0, false));
        DrawCopy(d, {{kEdgeOutline, 1, 1, 5, 5}});
        abortFlag.abort = true;
    });
    effect->Output(0, &gc, &abortFlag);
    EXPECT_EQ(drawCalls, 1);
    EXPECT_TRUE(effect->LastWritePath().empty());
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(dir.Entries(), Lines{"lines.eps"});
    // The writer went with the output: a late delegate records nothing.
    EXPECT_EQ(effect->OutputWidth(), 0);
    EXPECT_FALSE(effect->GetLineDrawDelegate(0, {L"SetA"})->BeginLineSet(nullptr, 0, false));
}

TEST_F(FileOutEffect, NoNameOrNoContextWritesNothingAndDrawsNothing) {
    DrawLines([](KvrnLib::LineEffectDrawDelegate&) {});
    effect->Output(0, &gc, nullptr);
    SetFile(dir.Path() / "lines.eps", 1);
    effect->Output(0, nullptr, nullptr);
    gc.devWidth = gc.devHeight = 0;
    setup.settings.width = 0;
    effect->Output(0, &gc, nullptr);
    EXPECT_EQ(drawCalls, 0);
    EXPECT_TRUE(effect->LastWritePath().empty());
    EXPECT_TRUE(dir.Entries().empty());

    // Without a device size the render settings give it.
    gc.devWidth = gc.devHeight = 0;
    setup.settings.width = 200;
    setup.settings.height = 100;
    effect->Output(0, &gc, nullptr);
    EXPECT_EQ(drawCalls, 1);
    EXPECT_EQ(widthDuringDrawing, 200);
    EXPECT_EQ(heightDuringDrawing, 100);
    EXPECT_EQ(SplitCrLf(ReadFile(dir.Path() / "lines.eps"))[1], "%%BoundingBox: 0 0 200 100");
}

TEST_F(FileOutEffect, UnwritableFolderReportsTheFailureAndLeavesNoFile) {
    const auto path = dir.Path() / "missing" / "lines.eps";
    SetFile(path, 0);
    DrawLines([](KvrnLib::LineEffectDrawDelegate&) {});
    effect->Output(0, &gc, nullptr);
    EXPECT_NE(effect->LastWriteResult(), 0);
    EXPECT_EQ(effect->LastWritePath(), path.wstring());
    EXPECT_TRUE(dir.Entries().empty());

    // A later good write clears the failure.
    SetFile(dir.Path() / "lines.eps", 0);
    effect->Output(0, &gc, nullptr);
    EXPECT_EQ(effect->LastWriteResult(), 0);
    EXPECT_EQ(dir.Entries(), Lines{"lines.eps"});
}

TEST_F(FileOutEffect, NamesOutsideAsciiAreWrittenAsGivenAndBrokenUtf8IsRefused) {
    const std::string name = "l\xC3\xADneas_\xE7\xB7\x9A.eps";  // líneas_線.eps
    SetFile(dir.Path() / std::u8string(name.begin(), name.end()), 1);
    DrawLines([](KvrnLib::LineEffectDrawDelegate&) {});
    effect->Output(0, &gc, nullptr);
    EXPECT_EQ(effect->LastWriteResult(), 0);
    EXPECT_EQ(effect->LastWritePath(), (dir.Path().wstring() + L"/l\u00EDneas_\u7DDA.eps"));
    EXPECT_EQ(dir.Entries(), Lines{name});

    ASSERT_TRUE(effect->FileBlock()->SetValue(kFileOutFileName, 0,
                                              (Utf8(dir.Path()) + "/bad\xFF\xC3.eps").c_str()));
    effect->Output(0, &gc, nullptr);
    EXPECT_EQ(effect->LastWriteResult(), EILSEQ);
    EXPECT_EQ(effect->LastWritePath(), dir.Path().wstring() + L"/bad\uFFFD\uFFFD.eps");
    EXPECT_EQ(dir.Entries(), Lines{name});
}

}  // namespace
