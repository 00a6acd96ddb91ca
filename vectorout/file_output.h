// The host-independent steps of a vector file output: choosing the writer, recording the page
// set-up, numbering the file name and finishing the file. Plain functions of plain values.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "vector_image.h"

namespace KvrnVectorOut {

// The output's file type: 0 Illustrator 8 EPS, 1 plain EPS.
enum class FileType : int { kIllustrator8 = 0, kEps = 1 };

// The writer for a stored fileType value; null for any value but 0 and 1.
std::unique_ptr<VectorImage> CreateVectorImage(int fileType);

// Connect tolerance 0.01; bounding box (0, 0, width, height); translate (0, height) and scale
// (1, -1) so that a pixel row y lands at y' = height - y with one pixel per point; a clip
// rectangle of the page when the writer has no layers (otherwise each layer clips); round joins
// and caps. Width and height are the output size in pixels.
void RecordPageSetup(VectorImage& writer, float width, float height);

// A file name split as directory (with its trailing separator), base name and extension (with
// its dot). Both '/' and '\' separate directories; a leading drive ("C:") belongs to the
// directory. A name whose only dot is its first character has no extension.
struct SplitFileName {
    std::wstring directory;
    std::wstring baseName;
    std::wstring extension;
};
SplitFileName SplitFilePath(std::wstring_view fileName);

// The frame of a time: time / ticksPerFrame, truncated towards zero. Throws
// std::invalid_argument naming the value when ticksPerFrame is not positive.
long long FrameNumber(long long time, long long ticksPerFrame);

// fileName unchanged for a single-frame render; otherwise the frame number goes between the
// base name and the extension: four digits with leading zeros below frame 10000
// (lines0012.eps), plain decimal from 10000 on (lines12345.eps).
std::wstring OutputFileName(std::wstring_view fileName, bool numbered, long long frame);

// After drawing: optimises the writer and writes it to OutputFileName(fileName, numbered,
// frame). Returns the writer's result (0, or the errno-style code of the failed step).
int FinishFileOutput(VectorImage& writer, std::wstring_view fileName, bool numbered,
                     long long frame);

}  // namespace KvrnVectorOut
