// PNG output of line rasters: 8-bit RGBA, colour un-premultiplied, written to a temporary file and
// renamed into place so that a failed write leaves no file.
#pragma once

#include <filesystem>
#include <string>

#include "line_raster.h"

namespace KvrnApp {

// The PNG file's bytes; `path` only names the file in messages. Throws std::runtime_error.
std::string EncodePng(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster);

// Throws std::runtime_error naming the file when it cannot be written.
void WritePng(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster);

}  // namespace KvrnApp
