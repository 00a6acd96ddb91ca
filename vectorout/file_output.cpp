#include "file_output.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "ai_eps_image.h"
#include "eps_image.h"

namespace KvrnVectorOut {

std::unique_ptr<VectorImage> CreateVectorImage(int fileType) {
    switch (FileType(fileType)) {
        case FileType::kIllustrator8:
            return std::make_unique<AIEPSImage>();
        case FileType::kEps:
            return std::make_unique<EPSImage>();
    }
    return nullptr;
}

void RecordPageSetup(VectorImage& writer, float width, float height) {
    // Pixel coordinates are recorded as they come; a hundredth of a pixel joins segments whose
    // ends were computed separately by the engine but meet on screen.
    writer.SetConnectTolerance(0.01f);
    writer.SetBoundingBox(0.0f, 0.0f, width, height);
    writer.AppendTranslate(0.0f, height);
    writer.AppendScale(1.0f, -1.0f);
    if (!writer.SupportsLayers()) writer.AppendClipRect(0.0f, 0.0f, width, height);
    writer.AppendLineJoin(1);
    writer.AppendLineCap(1);
}

SplitFileName SplitFilePath(std::wstring_view fileName) {
    size_t nameStart = fileName.find_last_of(L"/\\");
    if (nameStart == std::wstring_view::npos) {
        const bool drive = fileName.size() >= 2 && fileName[1] == L':';
        nameStart = drive ? 2 : 0;
    } else {
        ++nameStart;
    }
    const std::wstring_view name = fileName.substr(nameStart);
    size_t dot = name.find_last_of(L'.');
    if (dot == 0) dot = std::wstring_view::npos;
    return {std::wstring(fileName.substr(0, nameStart)), std::wstring(name.substr(0, dot)),
            dot == std::wstring_view::npos ? std::wstring() : std::wstring(name.substr(dot))};
}

long long FrameNumber(long long time, long long ticksPerFrame) {
    if (ticksPerFrame <= 0) {
        throw std::invalid_argument("ticks per frame must be positive, got " +
                                    std::to_string(ticksPerFrame));
    }
    return time / ticksPerFrame;
}

std::wstring OutputFileName(std::wstring_view fileName, bool numbered, long long frame) {
    if (!numbered) return std::wstring(fileName);
    char digits[32];
    std::snprintf(digits, sizeof digits, frame < 10000 ? "%04lld" : "%lld", frame);
    const SplitFileName parts = SplitFilePath(fileName);
    std::wstring name = parts.directory + parts.baseName;
    for (const char* c = digits; *c; ++c) name += wchar_t(*c);
    return name + parts.extension;
}

int FinishFileOutput(VectorImage& writer, std::wstring_view fileName, bool numbered,
                     long long frame) {
    writer.Optimize();
    return writer.Write(std::filesystem::path(OutputFileName(fileName, numbered, frame)));
}

}  // namespace KvrnVectorOut
