#include "frame_list.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "poly_mesh.h"
#include "reader_text.h"

namespace KvrnApp {

namespace {

// Reads [-]digits at `at` into `value`; advances `at` past them. False for anything else or a
// value outside int.
bool ReadInt(const char*& at, const char* last, int& value) {
    const char* digits = at + (at != last && *at == '-');
    if (digits == last || unsigned(*digits - '0') >= 10) return false;
    const std::from_chars_result result = std::from_chars(at, last, value);
    if (result.ec != std::errc()) return false;
    at = result.ptr;
    return true;
}

[[noreturn]] void BadFrames(const std::string& text, const std::string& why) {
    throw InputError("--frames: \"" + Shown(text) + "\": " + why);
}

}  // namespace

std::vector<int> ParseFrames(const std::string& text) {
    constexpr const char* kExpected = "expected A, A-B or A-BxSTEP with integers A <= B, STEP >= 1";
    const char* at = text.data();
    const char* last = at + text.size();
    int first = 0;
    if (!ReadInt(at, last, first)) BadFrames(text, kExpected);
    int end = first, step = 1;
    if (at != last) {
        if (*at != '-') BadFrames(text, kExpected);
        ++at;
        if (!ReadInt(at, last, end)) BadFrames(text, kExpected);
        if (at != last) {
            if (*at != 'x') BadFrames(text, kExpected);
            ++at;
            if (!ReadInt(at, last, step) || at != last) BadFrames(text, kExpected);
            if (step < 1) BadFrames(text, "STEP must be at least 1");
        }
    }
    if (end < first) BadFrames(text, "empty or reversed range (B is less than A)");
    // In 64 bits: the range of two ints does not fit in one.
    const int64_t count = (int64_t{end} - first) / step + 1;
    if (count > kMaxFrames) {
        BadFrames(text, std::to_string(count) + " frames, more than the " +
                            std::to_string(kMaxFrames) + " allowed");
    }
    std::vector<int> frames;
    frames.reserve(size_t(count));
    for (int64_t frame = first; frame <= end; frame += step) frames.push_back(int(frame));
    return frames;
}

Chunk ParseChunk(const std::string& text) {
    const char* at = text.data();
    const char* last = at + text.size();
    Chunk chunk;
    if (!ReadInt(at, last, chunk.index) || at == last || *at != '/' ||
        !ReadInt(++at, last, chunk.count) || at != last) {
        throw InputError("--chunk: \"" + Shown(text) + "\": expected I/N, part I of N (from 0)");
    }
    if (chunk.count < 1 || chunk.index < 0 || chunk.index >= chunk.count) {
        throw InputError("--chunk: \"" + Shown(text) + "\": needs N >= 1 and 0 <= I < N");
    }
    return chunk;
}

std::vector<int> ChunkFrames(const std::vector<int>& frames, Chunk chunk) {
    if (chunk.count < 1 || chunk.index < 0 || chunk.index >= chunk.count) return {};
    const size_t count = size_t(chunk.count), index = size_t(chunk.index);
    const size_t base = frames.size() / count, larger = frames.size() % count;
    // The first `larger` parts take one frame more.
    const size_t begin = index * base + std::min(index, larger);
    const size_t size = base + (index < larger ? 1 : 0);
    return std::vector<int>(frames.begin() + ptrdiff_t(begin),
                            frames.begin() + ptrdiff_t(begin + size));
}

bool HasFramePattern(const std::string& name) { return name.find('#') != std::string::npos; }

std::string FrameFileName(const std::string& pattern, int frame) {
    const std::string digits = std::to_string(std::llabs(int64_t{frame}));
    std::string name;
    for (size_t at = 0; at < pattern.size();) {
        if (pattern[at] != '#') {
            name += pattern[at++];
            continue;
        }
        const size_t end = std::min(pattern.find_first_not_of('#', at), pattern.size());
        if (frame < 0) name += '-';
        if (digits.size() < end - at) name.append(end - at - digits.size(), '0');
        name += digits;
        at = end;
    }
    return name;
}

}  // namespace KvrnApp
