#include "bitmap.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

constexpr size_t kPageBytes = 4096;

uint16_t To16(float v) {
    // NaN fails both comparisons and lands on 0.
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 65535;
    return static_cast<uint16_t>(v * 65535.0f);
}

float FromSixteen(uint16_t v) { return float(v) / 65535.0f; }

}  // namespace

void Bitmap::Free::operator()(std::byte* p) const { std::free(p); }

Bitmap::Bitmap(int width, int height) : width_(width), height_(height) {
    if (width < 1 || height < 1) {
        throw std::invalid_argument("bitmap size must be at least 1 x 1, got " +
                                    std::to_string(width) + " x " + std::to_string(height));
    }
    blocksPerRow_ = (width + kBlockPixels - 1) >> kBlockShift;
    stride_ = static_cast<size_t>(blocksPerRow_) << kBlockShift;
    written_.assign(static_cast<size_t>(blocksPerRow_) * static_cast<size_t>(height), 0);
    const size_t pixels = stride_ * static_cast<size_t>(height);
    if (pixels > (SIZE_MAX - kPageBytes) / sizeof(BMM_Color_fl)) throw std::bad_alloc();
    // calloc: a large image comes from the kernel as untouched zero pages.
    memory_.reset(
        static_cast<std::byte*>(std::calloc(pixels * sizeof(BMM_Color_fl) + kPageBytes, 1)));
    if (!memory_) throw std::bad_alloc();
    const uintptr_t base = reinterpret_cast<uintptr_t>(memory_.get());
    pixels_ = reinterpret_cast<BMM_Color_fl*>(memory_.get() +
                                              (kPageBytes - base % kPageBytes) % kPageBytes);
}

BMM_Color_fl* Bitmap::Row(int y) {
    std::fill_n(written_.begin() + static_cast<ptrdiff_t>(y) * blocksPerRow_, blocksPerRow_,
                uint8_t(1));
    return pixels_ + static_cast<size_t>(y) * stride_;
}

const BMM_Color_fl* Bitmap::Row(int y) const { return pixels_ + static_cast<size_t>(y) * stride_; }

BMM_Color_fl& Bitmap::Pixel(int x, int y) {
    written_[static_cast<size_t>(y) * blocksPerRow_ + (x >> kBlockShift)] = 1;
    return pixels_[static_cast<size_t>(y) * stride_ + x];
}

const BMM_Color_fl& Bitmap::Pixel(int x, int y) const {
    return pixels_[static_cast<size_t>(y) * stride_ + x];
}

bool Bitmap::BlockWritten(int x, int y) const {
    return written_[static_cast<size_t>(y) * blocksPerRow_ + (x >> kBlockShift)] != 0;
}

void Bitmap::Fill(const BMM_Color_fl& c) {
    if (c == BMM_Color_fl{}) {
        // Only written blocks can hold anything but zero; the rest keep their pages untouched.
        for (int y = 0; y < height_; ++y) {
            BMM_Color_fl* row = pixels_ + static_cast<size_t>(y) * stride_;
            uint8_t* flags = written_.data() + static_cast<size_t>(y) * blocksPerRow_;
            for (int b = 0; b < blocksPerRow_; ++b) {
                if (!flags[b]) continue;
                const int x0 = b << kBlockShift;
                std::fill_n(row + x0, std::min(kBlockPixels, width_ - x0), c);
                flags[b] = 0;
            }
        }
        return;
    }
    for (int y = 0; y < height_; ++y) std::fill_n(Row(y), width_, c);
}

int Bitmap::GetPixels(int x, int y, int count, BMM_Color_64* out) const {
    if (y < 0 || y >= height_ || x < 0 || x >= width_ || count <= 0) return 0;
    const int n = std::min(count, width_ - x);
    const BMM_Color_fl* row = Row(y);
    for (int i = 0; i < n; ++i) {
        const int px = x + i;
        if (!BlockWritten(px, y)) {
            out[i] = BMM_Color_64{};
            continue;
        }
        const BMM_Color_fl& p = row[px];
        out[i] = BMM_Color_64{To16(p.r), To16(p.g), To16(p.b), To16(p.a)};
    }
    return n;
}

int Bitmap::PutPixels(int x, int y, int count, const BMM_Color_64* in) {
    if (y < 0 || y >= height_ || x < 0 || x >= width_ || count <= 0) return 0;
    const int n = std::min(count, width_ - x);
    for (int i = 0; i < n; ++i) {
        const BMM_Color_64& p = in[i];
        Pixel(x + i, y) =
            BMM_Color_fl{FromSixteen(p.r), FromSixteen(p.g), FromSixteen(p.b), FromSixteen(p.a)};
    }
    return n;
}
