#include "bitmap_raster.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

// Pixels are copied between the two as the same four floats.
static_assert(sizeof(BMM_Color_fl) == sizeof(KvrnLib::ColorFloat) &&
              offsetof(BMM_Color_fl, r) == offsetof(KvrnLib::ColorFloat, r) &&
              offsetof(BMM_Color_fl, g) == offsetof(KvrnLib::ColorFloat, g) &&
              offsetof(BMM_Color_fl, b) == offsetof(KvrnLib::ColorFloat, b) &&
              offsetof(BMM_Color_fl, a) == offsetof(KvrnLib::ColorFloat, a) &&
              std::is_trivially_copyable_v<BMM_Color_fl>);

KvrnLib::ColorFloat ToEngine(const BMM_Color_fl& c) { return {c.r, c.g, c.b, c.a}; }
BMM_Color_fl ToHost(const KvrnLib::ColorFloat& c) { return {c.r, c.g, c.b, c.a}; }

class BitmapLineRaster final : public KvrnLib::LineEffectRasterInterface {
  public:
    BitmapLineRaster(Bitmap* bitmap, std::shared_ptr<Bitmap> owner)
        : bitmap_(bitmap), owner_(std::move(owner)) {}

    int32_t Width() const override { return bitmap_->Width(); }
    int32_t Height() const override { return bitmap_->Height(); }

    void ReadPixels(int32_t y, std::span<KvrnLib::ColorFloat> row,
                    std::span<const int32_t> xs) const override {
        CheckRow(y);
        const Bitmap& bitmap = *bitmap_;
        for (int32_t x : xs) {
            CheckX(x, row.size());
            // An unwritten block is zero: reading it would page it in for nothing.
            row[size_t(x)] =
                bitmap.BlockWritten(x, y) ? ToEngine(bitmap.Pixel(x, y)) : KvrnLib::ColorFloat{};
        }
    }

    void ReadRow(int32_t y, std::vector<KvrnLib::ColorFloat>& row) const override {
        CheckRow(y);
        const Bitmap& bitmap = *bitmap_;
        const int32_t count = int32_t(std::min(row.size(), size_t(Width())));
        const BMM_Color_fl* src = bitmap.Row(y);
        for (int32_t x = 0; x < count; x += Bitmap::kBlockPixels) {
            const int32_t end = std::min(count, x + Bitmap::kBlockPixels);
            if (bitmap.BlockWritten(x, y)) {
                std::transform(src + x, src + end, row.begin() + x, ToEngine);
            } else {
                std::fill(row.begin() + x, row.begin() + end, KvrnLib::ColorFloat{});
            }
        }
    }

    void WritePixels(int32_t y, std::span<const KvrnLib::ColorFloat> row,
                     std::span<const int32_t> xs) override {
        CheckRow(y);
        for (int32_t x : xs) {
            CheckX(x, row.size());
            bitmap_->Pixel(x, y) = ToHost(row[size_t(x)]);
        }
    }

    void WriteRow(int32_t y, const std::vector<KvrnLib::ColorFloat>& row) override {
        CheckRow(y);
        const size_t count = std::min(row.size(), size_t(Width()));
        std::transform(row.begin(), row.begin() + ptrdiff_t(count), bitmap_->Row(y), ToHost);
    }

  private:
    void CheckRow(int32_t y) const {
        if (y < 0 || y >= Height())
            throw std::out_of_range("bitmap raster: row " + std::to_string(y) + " outside 0.." +
                                    std::to_string(Height() - 1));
    }
    void CheckX(int32_t x, size_t rowSize) const {
        if (x < 0 || x >= Width() || size_t(x) >= rowSize)
            throw std::out_of_range("bitmap raster: x " + std::to_string(x) + " outside the row");
    }

    Bitmap* bitmap_;
    std::shared_ptr<Bitmap> owner_;
};

}  // namespace

std::shared_ptr<KvrnLib::LineEffectRasterInterface> ConvertToLineEffectRaster(Bitmap* bitmap) {
    if (!bitmap) return nullptr;
    return std::make_shared<BitmapLineRaster>(bitmap, nullptr);
}

std::shared_ptr<KvrnLib::LineEffectRasterInterface> ConvertToLineEffectRaster(
    std::shared_ptr<Bitmap> bitmap) {
    if (!bitmap) return nullptr;
    Bitmap* raw = bitmap.get();
    return std::make_shared<BitmapLineRaster>(raw, std::move(bitmap));
}
