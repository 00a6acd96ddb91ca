// A host frame bitmap seen as an engine line raster: reads and writes go straight to the
// bitmap's pixels (no copy). Writes of single pixels mark only their blocks, so the pages of a
// mostly empty image that no line reaches are never touched. Rows are thread-confined as the
// engine requires.
#pragma once

#include <memory>

#include "bitmap.h"
#include "line_raster.h"

// Over bitmap, which must outlive the raster; null for a null bitmap.
std::shared_ptr<KvrnLib::LineEffectRasterInterface> ConvertToLineEffectRaster(Bitmap* bitmap);
// Holds the bitmap for the raster's life; null for a null bitmap.
std::shared_ptr<KvrnLib::LineEffectRasterInterface> ConvertToLineEffectRaster(
    std::shared_ptr<Bitmap> bitmap);
