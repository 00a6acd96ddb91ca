// OpenEXR output of line rasters: float RGBA, premultiplied as EXR expects, written whole to a
// temporary file and renamed into place so that a failed write leaves no file.
#pragma once

#include <filesystem>
#include <string>

#include "line_raster.h"

namespace KvrnApp {

// The OpenEXR file's bytes; `path` only names the file in messages. Throws std::runtime_error
// for an empty image or an encoder failure.
std::string EncodeExr(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster);

// Throws std::runtime_error naming the file when it cannot be written.
void WriteExr(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster);

}  // namespace KvrnApp
