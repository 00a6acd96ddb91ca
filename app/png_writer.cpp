#include "png_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "file_replace.h"

namespace KvrnApp {

namespace {

// Line images are mostly long runs of one colour, which run-length deflate without filtering packs
// nearly as well as the adaptive default at a tenth of its time.
constexpr int kZlibLevel = 2;
// Rows converted at a time within a band: keeps the unfiltered bytes in cache.
constexpr int kRowsPerChunk = 16;
// A band below this many bytes is not worth a thread.
constexpr size_t kMinBandBytes = size_t(1) << 20;

uint8_t ToByte(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return uint8_t(std::lround(v * 255.0f));
}

[[noreturn]] void Fail(const std::filesystem::path& path, const std::string& why) {
    throw std::runtime_error("cannot write PNG '" + path.string() + "': " + why);
}

// One scanline as PNG stores it: filter byte 0 (none), then 8-bit RGBA, un-premultiplied.
void ConvertRow(const Bitmap& raster, int y, uint8_t* out) {
    const int width = raster.Width();
    *out++ = 0;
    const BMM_Color_fl* pixels = raster.Row(y);
    constexpr int kBlock = Bitmap::kBlockPixels;
    for (int x0 = 0; x0 < width; x0 += kBlock) {
        const int x1 = std::min(width, x0 + kBlock);
        // A block never written is zero; reading it would page in zeros for nothing.
        if (!raster.BlockWritten(x0, y)) {
            std::fill(out, out + size_t(x1 - x0) * 4, uint8_t{0});
            out += size_t(x1 - x0) * 4;
            continue;
        }
        for (int x = x0; x < x1; ++x, out += 4) {
            const BMM_Color_fl& c = pixels[x];
            if (!(c.a > 0.0f) && !(c.r > 0.0f) && !(c.g > 0.0f) && !(c.b > 0.0f)) {
                out[0] = out[1] = out[2] = out[3] = 0;  // most pixels of a line image
                continue;
            }
            const float a = std::clamp(c.a, 0.0f, 1.0f);
            const float scale = a > 0.0f ? 1.0f / a : 0.0f;  // rasters hold premultiplied colour
            out[0] = ToByte(c.r * scale);
            out[1] = ToByte(c.g * scale);
            out[2] = ToByte(c.b * scale);
            out[3] = ToByte(a);
        }
    }
}

// Rows y0 .. y1 - 1 as raw deflate data that ends on a byte boundary (a sync flush), or with the
// final block when `last`; bands encoded apart join into one stream, as parallel gzip does.
struct Band {
    int y0 = 0;
    int y1 = 0;
    bool last = false;
    std::string deflated;
    uLong adler = 1;
    size_t rawBytes = 0;
    bool ok = false;
};

void EncodeBand(const Bitmap& raster, Band& band) {
    const size_t rowBytes = 1 + size_t(raster.Width()) * 4;
    std::vector<uint8_t> raw(rowBytes * kRowsPerChunk);
    std::vector<uint8_t> out(size_t(1) << 18);
    z_stream zs{};
    if (deflateInit2(&zs, kZlibLevel, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK) return;
    int status = Z_OK;
    for (int y = band.y0; y < band.y1 && (status == Z_OK || status == Z_BUF_ERROR);
         y += kRowsPerChunk) {
        const int rows = std::min(kRowsPerChunk, band.y1 - y);
        for (int r = 0; r < rows; ++r) ConvertRow(raster, y + r, raw.data() + size_t(r) * rowBytes);
        const size_t bytes = size_t(rows) * rowBytes;
        band.adler = adler32_z(band.adler, raw.data(), bytes);
        band.rawBytes += bytes;
        const bool end = y + rows >= band.y1;
        const int flush = !end ? Z_NO_FLUSH : band.last ? Z_FINISH : Z_SYNC_FLUSH;
        zs.next_in = raw.data();
        zs.avail_in = uInt(bytes);
        // deflate is done with the input once it leaves room in the output.
        do {
            zs.next_out = out.data();
            zs.avail_out = uInt(out.size());
            status = deflate(&zs, flush);
            band.deflated.append(reinterpret_cast<const char*>(out.data()),
                                 out.size() - zs.avail_out);
        } while (zs.avail_out == 0 && status == Z_OK);
    }
    deflateEnd(&zs);
    band.ok = band.last ? status == Z_STREAM_END : status == Z_OK || status == Z_BUF_ERROR;
}

void AppendU32(std::string& out, uint32_t v) {
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(bytes, 4);
}

void AppendChunk(std::string& out, const char type[4], const char* data, size_t size) {
    AppendU32(out, uint32_t(size));
    const size_t start = out.size();
    out.append(type, 4);
    out.append(data, size);
    AppendU32(out,
              uint32_t(crc32_z(0, reinterpret_cast<const Bytef*>(out.data() + start), size + 4)));
}

}  // namespace

std::string EncodePng(const std::filesystem::path& path, const Bitmap& raster, int threads) {
    const int width = raster.Width(), height = raster.Height();
    const size_t rowBytes = 1 + size_t(width) * 4;
    const size_t byBytes = std::max<size_t>(1, rowBytes * size_t(height) / kMinBandBytes);
    const int bandCount = int(std::clamp<size_t>(byBytes, 1, size_t(std::max(1, threads))));
    std::vector<Band> bands(static_cast<size_t>(bandCount));
    for (int i = 0; i < bandCount; ++i) {
        bands[size_t(i)].y0 = int(int64_t(height) * i / bandCount);
        bands[size_t(i)].y1 = int(int64_t(height) * (i + 1) / bandCount);
        bands[size_t(i)].last = i + 1 == bandCount;
    }
    {
        std::vector<std::jthread> workers;
        for (size_t i = 1; i < bands.size(); ++i)
            workers.emplace_back([&raster, &band = bands[i]] { EncodeBand(raster, band); });
        EncodeBand(raster, bands[0]);
    }
    std::string zlib = {char(0x78), char(0x01)};  // deflate, 32K window, no dictionary
    uLong adler = 1;
    for (const Band& band : bands) {
        if (!band.ok) Fail(path, "the deflate encoder failed");
        zlib += band.deflated;
        adler = adler32_combine(adler, band.adler, z_off_t(band.rawBytes));
    }
    AppendU32(zlib, uint32_t(adler));

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    AppendU32(header, uint32_t(width));
    AppendU32(header, uint32_t(height));
    header += {8, 6, 0, 0, 0};  // 8 bits, RGBA, deflate, adaptive filters, no interlace
    AppendChunk(png, "IHDR", header.data(), header.size());
    // A chunk's length must stay below 2^31.
    constexpr size_t kMaxChunk = size_t(1) << 30;
    for (size_t at = 0; at < zlib.size(); at += kMaxChunk)
        AppendChunk(png, "IDAT", zlib.data() + at, std::min(kMaxChunk, zlib.size() - at));
    AppendChunk(png, "IEND", nullptr, 0);
    return png;
}

void WritePng(const std::filesystem::path& path, const Bitmap& raster, int threads) {
    const int error = KvrnVectorOut::WriteFileReplacing(path, EncodePng(path, raster, threads));
    if (error != 0) Fail(path, std::system_category().message(error));
}

}  // namespace KvrnApp
