// Frame lists for animations and farms: "A-B[xSTEP]" ranges, "I/N" chunks of them, and output
// names whose '#' runs stand for the frame number.
#pragma once

#include <string>
#include <vector>

namespace KvrnApp {

// The most frames one list may hold; a typo such as "1-10000000" is caught before any work.
constexpr int kMaxFrames = 1000000;

// "A", "A-B" or "A-BxSTEP": frames A, A+STEP, ... up to B, in order. A and B are integers and may
// be negative ("-5--1", "-3-2"): the separator is the first '-' after A's digits. STEP >= 1.
// Throws InputError "--frames: ..." naming the text when it is malformed, STEP < 1, B < A or the
// list is longer than kMaxFrames.
std::vector<int> ParseFrames(const std::string& text);

// Part `index` of `count` equal shares of a frame list.
struct Chunk {
    int index = 0;
    int count = 1;
};

// "I/N" with N >= 1 and 0 <= I < N. Throws InputError "--chunk: ..." naming the text otherwise.
Chunk ParseChunk(const std::string& text);

// Part `chunk.index` of `chunk.count` contiguous parts of `frames`, whose sizes differ by at most
// one (earlier parts are the larger). The parts in order are `frames` exactly; a part is empty
// when there are more parts than frames. `chunk` must be valid (as ParseChunk returns).
std::vector<int> ChunkFrames(const std::vector<int>& frames, Chunk chunk);

// True when `name` holds a '#'.
bool HasFramePattern(const std::string& name);

// `pattern` with each run of '#' replaced by `frame`, zero-padded to the run's length: "f_###.png"
// and 7 give "f_007.png", -7 gives "f_-007.png"; numbers wider than the run are written in full.
std::string FrameFileName(const std::string& pattern, int frame);

}  // namespace KvrnApp
