// Files from both writers must be accepted by a real PostScript interpreter and draw where the
// page transform puts the lines. Needs Ghostscript's `gs` on PATH; skipped without it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "file_out_delegate.h"
#include "file_output.h"
#include "vectorout_test_util.h"

namespace KvrnVectorOut {
namespace {

bool HaveGhostscript() { return std::system("command -v gs >/dev/null 2>&1") == 0; }

// Everything gs prints (the bbox device reports on stderr) for one file.
std::string RunBoundingBoxDevice(const std::filesystem::path& file) {
    const std::string command =
        "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=bbox '" + file.string() + "' 2>&1";
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 256> buffer;
        while (std::fgets(buffer.data(), int(buffer.size()), pipe)) output += buffer.data();
        pclose(pipe);
    }
    return output;
}

// The four numbers after label in gs's output; empty when the label is missing.
std::vector<double> BoxAfter(const std::string& output, const std::string& label) {
    const size_t at = output.find(label);
    if (at == std::string::npos) return {};
    std::istringstream in(output.substr(at + label.size()));
    std::vector<double> box(4);
    for (double& v : box) in >> v;
    return in ? box : std::vector<double>{};
}

// A 640 x 480 output with one line set whose L-shaped stroke runs from pixel (100, 100) to
// (300, 100) to (300, 200), 4 pixels wide with round caps: in page coordinates it covers
// 98..302 in x and 480 - 202 .. 480 - 98 in y.
void DrawLShape(VectorImage& writer) {
    RecordPageSetup(writer, 640, 480);
    LineEffectDrawDelegateForFileOut delegate({L"Set1"}, 640, 480, &writer, {});
    const KvrnLib::LineSetId id = 1;
    ASSERT_TRUE(delegate.BeginLineSet(&id, 0, false));
    delegate.BeginStrokeCopy(4, 0.2f, 0.4f, 0.6f, true, 1000, 1);
    delegate.Segment(0, 100, 100, 300, 100);
    delegate.Segment(0, 300, 100, 300, 200);
    delegate.EndStrokeCopy();
    // Clipped away entirely by the page rectangle.
    delegate.BeginStrokeCopy(4, 0, 0, 0, false, 0, 0);
    delegate.Segment(0, 700, 10, 800, 10);
    delegate.EndStrokeCopy();
}

TEST(Ghostscript, BothWritersDrawTheExpectedBoundingBox) {
    if (!HaveGhostscript()) GTEST_SKIP() << "Ghostscript (gs) is not on PATH";
    Testing::ScratchDir dir;
    for (int fileType : {0, 1}) {
        SCOPED_TRACE(fileType == 0 ? "Illustrator 8 EPS" : "EPS");
        auto writer = CreateVectorImage(fileType);
        DrawLShape(*writer);
        const auto path = dir.Path() / ("lines" + std::to_string(fileType) + ".eps");
        ASSERT_EQ(FinishFileOutput(*writer, path.wstring(), false, 0), 0);

        const std::string output = RunBoundingBoxDevice(path);
        EXPECT_EQ(output.find("Error"), std::string::npos) << output;
        const std::vector<double> box = BoxAfter(output, "%%HiResBoundingBox:");
        ASSERT_EQ(box.size(), 4u) << output;
        const double expected[4] = {98, 278, 302, 382};
        // The bbox device measures a high-resolution rasterisation of the round caps.
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(box[i], expected[i], 0.05) << output;
    }
}

}  // namespace
}  // namespace KvrnVectorOut
