// Image files and filtered texture lookups. The image library behind them brings in some two
// hundred shared objects (codecs, video, colour management): linked into the program it would
// cost every run 0.2 s and over 100 MB at start-up, image or not. So it lives in a module of its
// own, loaded the first time an image is read.
#pragma once

#include <string>
#include <vector>

// A whole image: rows top to bottom, `channels` floats per pixel, as the file stores them.
struct ImageData {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<float> pixels;
};

enum class TextureWrap { kBlack = 0, kPeriodic = 1, kMirror = 2 };

// One filtered lookup at (s, t) with the footprint's derivatives; s runs right and t down the
// image, 0 to 1 over one repeat.
struct TextureLookup {
    float s = 0.0f, t = 0.0f;
    float dsdx = 0.0f, dtdx = 0.0f, dsdy = 0.0f, dtdy = 0.0f;
    TextureWrap swrap = TextureWrap::kBlack;
    TextureWrap twrap = TextureWrap::kBlack;
    bool mipmapped = true;  // trilinear across mipmap levels; false: the full-size image only
    bool bilinear = true;   // false: nearest texel
    int channels = 4;       // floats written to the result, at most 4
};

class ImageLibrary {
  public:
    virtual ~ImageLibrary() = default;
    // False with the reason in `error`.
    virtual bool ReadImage(const std::string& path, ImageData& image, std::string& error) = 0;
    // The pixels are written as given (colour not divided by alpha), in the file's own depth.
    virtual bool WriteImage(const std::string& path, const ImageData& image,
                            std::string& error) = 0;
    // A texture of the shared, thread-safe texture cache (mipmaps built on demand), read again
    // when the file changed since it was cached; null with the reason in `error`. The handle
    // lives as long as the library.
    virtual void* OpenTexture(const std::string& path, int& channels, std::string& error) = 0;
    // Thread-safe. False when the lookup failed (the result is then untouched).
    virtual bool Texture(void* handle, const TextureLookup& lookup, float* result) = 0;
};

// The library, loaded on first use (thread-safe). Throws std::runtime_error naming the module
// when it cannot be loaded.
ImageLibrary& GetImageLibrary();

// The module's entry point.
extern "C" ImageLibrary* KvrnCreateImageLibrary();
