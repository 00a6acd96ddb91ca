// PNG output of frames: 8-bit RGBA, colour un-premultiplied, written to a temporary file and
// renamed into place so that a failed write leaves no file.
#pragma once

#include <filesystem>
#include <string>

#include "bitmap.h"

namespace KvrnApp {

// The PNG file's bytes; `path` only names the file in messages. Throws std::runtime_error.
// Bands of rows are compressed on up to `threads` threads: the bytes depend on the count, the
// image does not.
std::string EncodePng(const std::filesystem::path& path, const Bitmap& raster, int threads = 1);

// Throws std::runtime_error naming the file when it cannot be written.
void WritePng(const std::filesystem::path& path, const Bitmap& raster, int threads = 1);

}  // namespace KvrnApp
