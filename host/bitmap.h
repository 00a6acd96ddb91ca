// Frame images: float RGBA pixels, premultiplied, as the renderer produces them. Zero-filled
// lazily: the pixels come from calloc in one block, rows are padded to whole blocks of
// kBlockPixels and start on a page, and each block carries a flag saying whether it may have
// been written, so an image that is mostly empty is never paged in (by a fill, a draw or a
// writer that skips unwritten blocks). Not thread-safe: threads write disjoint rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct BMM_Color_fl {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;
    constexpr bool operator==(const BMM_Color_fl&) const = default;
};

// 16 bits per channel, 0 to 65535.
struct BMM_Color_64 {
    uint16_t r = 0;
    uint16_t g = 0;
    uint16_t b = 0;
    uint16_t a = 0;
    constexpr bool operator==(const BMM_Color_64&) const = default;
};

class Bitmap {
  public:
    static constexpr int kBlockShift = 8;
    static constexpr int kBlockPixels = 1 << kBlockShift;

    // Throws std::invalid_argument naming the size for a width or height below 1, and
    // std::bad_alloc when memory runs out.
    Bitmap(int width, int height);
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }

    // Row y (0 .. Height() - 1) of Width() pixels. The mutable form marks the whole row written.
    BMM_Color_fl* Row(int y);
    const BMM_Color_fl* Row(int y) const;
    // Pixel (x, y) for writing; marks its block only.
    BMM_Color_fl& Pixel(int x, int y);
    const BMM_Color_fl& Pixel(int x, int y) const;
    // False when no pixel of the block holding (x, y) has been written: all its pixels are zero.
    bool BlockWritten(int x, int y) const;

    // Every pixel set to c; a zero colour on a fresh image touches nothing.
    void Fill(const BMM_Color_fl& c);

    // The host's 16-bit pixel access: count pixels from (x, y) along the row, clipped to the
    // row. Channels convert as value * 65535 truncated (clamped to 0 .. 65535) and back as
    // value / 65535. Return the number of pixels copied (0 outside the image).
    int GetPixels(int x, int y, int count, BMM_Color_64* out) const;
    int PutPixels(int x, int y, int count, const BMM_Color_64* in);

  private:
    struct Free {
        void operator()(std::byte* p) const;
    };
    int width_;
    int height_;
    int blocksPerRow_ = 0;
    size_t stride_ = 0;  // pixels
    std::vector<uint8_t> written_;
    std::unique_ptr<std::byte, Free> memory_;
    BMM_Color_fl* pixels_ = nullptr;
};
