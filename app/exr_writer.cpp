#include "exr_writer.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfStdIO.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_replace.h"

namespace KvrnApp {

std::string EncodeExr(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster) {
    const int width = raster.Width(), height = raster.Height();
    if (width < 1 || height < 1) {
        throw std::runtime_error(path.string() + ": cannot write an empty image");
    }
    // The library writes a whole frame buffer: gather the separately allocated rows.
    std::vector<KvrnLib::ColorFloat> pixels(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        std::memcpy(&pixels[size_t(y) * size_t(width)], raster.Row(y),
                    size_t(width) * sizeof(KvrnLib::ColorFloat));
    }
    std::string bytes;
    try {
        Imf::Header header(width, height);
        header.compression() = Imf::ZIP_COMPRESSION;
        for (const char* name : {"R", "G", "B", "A"}) {
            header.channels().insert(name, Imf::Channel(Imf::FLOAT));
        }
        Imf::StdOSStream stream;
        {
            Imf::OutputFile file(stream, header);
            Imf::FrameBuffer frame;
            const size_t xStride = sizeof(KvrnLib::ColorFloat);
            const size_t yStride = xStride * size_t(width);
            char* base = reinterpret_cast<char*>(pixels.data());
            const char* names[4] = {"R", "G", "B", "A"};
            for (size_t c = 0; c < 4; ++c) {
                frame.insert(names[c],
                             Imf::Slice(Imf::FLOAT, base + c * sizeof(float), xStride, yStride));
            }
            file.setFrameBuffer(frame);
            file.writePixels(height);
        }  // the file is complete once closed
        bytes = stream.str();
    } catch (const std::exception& e) {
        throw std::runtime_error(path.string() + ": " + e.what());
    }
    return bytes;
}

void WriteExr(const std::filesystem::path& path, const KvrnLib::ColorFloatRaster& raster) {
    const int error = KvrnVectorOut::WriteFileReplacing(path, EncodeExr(path, raster));
    if (error != 0) {
        throw std::runtime_error(path.string() + ": cannot write: " + std::strerror(error));
    }
}

}  // namespace KvrnApp
