// OpenEXR output of frames: float RGBA, premultiplied as EXR expects, with any number of named
// layers (render elements) in one file, written whole to a temporary file and renamed into place
// so that a failed write leaves no file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "bitmap.h"

namespace KvrnApp {

// One layer: its channels are "<name>.R" .. "<name>.A", or "R" .. "A" for an empty name.
struct ExrLayer {
    std::string name;
    const Bitmap* image = nullptr;
};

// The OpenEXR file's bytes; `path` only names the file in messages. Throws std::runtime_error
// for no layer, layers of different sizes, a layer name used twice, or an encoder failure.
std::string EncodeExr(const std::filesystem::path& path, const std::vector<ExrLayer>& layers);
std::string EncodeExr(const std::filesystem::path& path, const Bitmap& image);

// Throws std::runtime_error naming the file when it cannot be written.
void WriteExr(const std::filesystem::path& path, const Bitmap& image);

}  // namespace KvrnApp
