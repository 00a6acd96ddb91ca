// Camera sample patterns and the separable pixel filter that turns a pixel's and its
// neighbours' samples into the pixel. Plain records and functions of the shading renderer; the
// caller owns every buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "render.h"

namespace KvrnShading {

// Positions in the pixel, 0..1, for 1, 4, 8 or 16 samples.
std::vector<Point2> SamplePattern(int count);
// Weight of a sample x pixels from the centre along one axis; 0 beyond radius.
float FilterWeight(PixelFilter filter, float x, float radius);

// Weights of a pattern's samples in the pixels around a pixel: entry (dy, dx, k) is what sample
// k of the pixel at offset (dx, dy) adds to the centre pixel.
struct FilterTable {
    int reach = 0;  // neighbours on each side
    int samples = 0;
    std::vector<float> weights;    // (2 reach + 1)^2 * samples
    std::vector<float> pixelSums;  // per neighbour, sum over its samples
};

FilterTable MakeFilterTable(const std::vector<Point2>& pattern, PixelFilter filter, float radius,
                            int reach);

// What one camera sample leaves for the filter: the colour it adds and what it lets through of
// the background (pixel = c + t * background).
struct SampleValue {
    float c[3];
    float t[3];
};

// Sample storage of a set of pixels, all with the same pattern.
struct SampleSet {
    std::vector<Point2> pattern;
    FilterTable table;
    SampleValue* values = nullptr;      // pixel slot * samples + k; written before read
    std::unique_ptr<float[]> channels;  // slot * samples * channels * 4, when any
    std::vector<uint8_t> empty;         // per slot: every sample missed
};

// The filtered value of pixel (px, py): colour, transmission and the element channels.
struct Filtered {
    float c[3] = {0, 0, 0};
    float t[3] = {0, 0, 0};
    float weight = 0.0f;  // 0: no surface within the filter's reach
};

// Filters pixel (px, py) of a width x height frame. Pixels of the band's storage are slot
// (y - row0) * width + x. refinedSlot: per pixel, the slot in refined or -1; null before
// refinement. channelsOut, when given, receives channelCount * 4 filtered element values.
void FilterPixel(const SampleSet& base, const SampleSet* refined,
                 const std::vector<int>* refinedSlot, int width, int height, size_t channelCount,
                 int row0, int px, int py, Filtered& out, float* channelsOut);
// Whether a refined pixel lies within reach of (px, py).
bool RefinedWithin(const std::vector<int>& refinedSlot, int row0, int width, int height, int reach,
                   int px, int py);
// The pixel over its background: premultiplied, alpha = coverage over the background's alpha.
BMM_Color_fl Composite(const Filtered& v, const BMM_Color_fl& bg);
// Whether two pixels, clamped to 0..1, differ by more than threshold in any channel.
bool Differs(const BMM_Color_fl& a, const BMM_Color_fl& b, float threshold);

}  // namespace KvrnShading
