// The engine's pixel: float RGBA, premultiplied in output rasters as rendered frames are.
#pragma once

namespace KvrnLib {

struct ColorFloat {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;
};
static_assert(sizeof(ColorFloat) == 4 * sizeof(float), "rows are copied as four floats a pixel");

}  // namespace KvrnLib
