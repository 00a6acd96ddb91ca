// Tests of frame ranges, chunks and frame-numbered file names.
#include "frame_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "poly_mesh.h"

namespace KvrnApp {
namespace {

std::string ErrorOf(const std::string& text, bool chunk = false) {
    try {
        if (chunk) {
            ParseChunk(text);
        } else {
            ParseFrames(text);
        }
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

TEST(FrameList, RangesStepsAndSingleFrames) {
    EXPECT_EQ(ParseFrames("7"), (std::vector<int>{7}));
    EXPECT_EQ(ParseFrames("1-4"), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(ParseFrames("3-3"), (std::vector<int>{3}));
    EXPECT_EQ(ParseFrames("1-10x3"), (std::vector<int>{1, 4, 7, 10}));
    EXPECT_EQ(ParseFrames("1-11x3"), (std::vector<int>{1, 4, 7, 10}));
    EXPECT_EQ(ParseFrames("0-2x5"), (std::vector<int>{0}));
    EXPECT_EQ(ParseFrames("-5--3"), (std::vector<int>{-5, -4, -3}));
    EXPECT_EQ(ParseFrames("-2-1"), (std::vector<int>{-2, -1, 0, 1}));
    EXPECT_EQ(ParseFrames("-4"), (std::vector<int>{-4}));
    // Stepping near the top of int must not overflow into an endless or wrapped list.
    EXPECT_EQ(ParseFrames("2147483640-2147483647x5"), (std::vector<int>{2147483640, 2147483645}));
}

TEST(FrameList, BadRangesNameTheText) {
    for (const std::string text :
         {"", "a", "1-", "-", "1--", "1-5x", "1-5y2", "1-5x2x", "1..5", "+1-3", "1-3 ", " 1-3",
          "99999999999-1", "1-5x0", "1-5x-2", "5-1", "-1--5"}) {
        const std::string error = ErrorOf(text);
        EXPECT_EQ(error.rfind("--frames: ", 0), 0u) << text << ": " << error;
        EXPECT_NE(error.find("\"" + text + "\""), std::string::npos) << error;
    }
    EXPECT_NE(ErrorOf("1-5x0").find("STEP"), std::string::npos);
    EXPECT_NE(ErrorOf("5-1").find("empty or reversed"), std::string::npos);
    EXPECT_NE(ErrorOf("0-2000000000").find("more than"), std::string::npos);
}

TEST(FrameList, ChunksParseAndRejectOutOfRangeParts) {
    const Chunk chunk = ParseChunk("2/5");
    EXPECT_EQ(chunk.index, 2);
    EXPECT_EQ(chunk.count, 5);
    EXPECT_EQ(ParseChunk("0/1").count, 1);
    for (const std::string text : {"", "1", "1/", "/3", "3/3", "-1/3", "0/0", "1/3x", "a/b"}) {
        const std::string error = ErrorOf(text, true);
        EXPECT_EQ(error.rfind("--chunk: ", 0), 0u) << text << ": " << error;
        EXPECT_NE(error.find("\"" + text + "\""), std::string::npos) << error;
    }
}

TEST(FrameList, ChunksCoverTheListOnceInNearEqualContiguousParts) {
    for (int frameCount = 0; frameCount <= 23; ++frameCount) {
        std::vector<int> frames;
        for (int i = 0; i < frameCount; ++i) frames.push_back(100 + 2 * i);
        for (int parts = 1; parts <= 30; ++parts) {
            std::vector<int> joined;
            size_t previous = frames.size() + 1;
            size_t smallest = frames.size() + 1, largest = 0;
            for (int index = 0; index < parts; ++index) {
                const std::vector<int> part = ChunkFrames(frames, {index, parts});
                // Earlier parts are never smaller than later ones.
                EXPECT_LE(part.size(), previous) << frameCount << " frames, part " << index;
                previous = part.size();
                smallest = std::min(smallest, part.size());
                largest = std::max(largest, part.size());
                joined.insert(joined.end(), part.begin(), part.end());
            }
            EXPECT_EQ(joined, frames) << frameCount << " frames in " << parts << " parts";
            EXPECT_LE(largest - smallest, 1u) << frameCount << " frames in " << parts << " parts";
        }
    }
    const std::vector<int> twelve = ParseFrames("1-12");
    EXPECT_EQ(ChunkFrames(twelve, {0, 5}), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ChunkFrames(twelve, {4, 5}), (std::vector<int>{11, 12}));
    EXPECT_TRUE(ChunkFrames({1, 2}, {2, 3}).empty());
}

TEST(FrameList, FrameNamesArePaddedToEachRun) {
    EXPECT_TRUE(HasFramePattern("out/f_####.png"));
    EXPECT_FALSE(HasFramePattern("out/f.png"));
    EXPECT_EQ(FrameFileName("out/f_####.png", 7), "out/f_0007.png");
    EXPECT_EQ(FrameFileName("f_#.png", 7), "f_7.png");
    EXPECT_EQ(FrameFileName("f_##.png", 12345), "f_12345.png");
    EXPECT_EQ(FrameFileName("f_###.png", -7), "f_-007.png");
    EXPECT_EQ(FrameFileName("f_#.png", -12), "f_-12.png");
    EXPECT_EQ(FrameFileName("f_##.png", -2147483647 - 1), "f_-2147483648.png");
    EXPECT_EQ(FrameFileName("s##/f_####_#.png", 42), "s42/f_0042_42.png");
    EXPECT_EQ(FrameFileName("plain.png", 3), "plain.png");
}

}  // namespace
}  // namespace KvrnApp
