// PNG output of line rasters: 8-bit RGBA, colour un-premultiplied, written to a temporary file and
// renamed into place so that a failed write leaves no file.
#pragma once

#include <filesystem>

#include "line_raster.h"

namespace KvrnApp {

// Throws std::runtime_error naming the file when it cannot be written.
void WritePng(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster);

}  // namespace KvrnApp
