#include "exr_writer.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfStdIO.h>

#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_replace.h"

namespace KvrnApp {

std::string EncodeExr(const std::filesystem::path& path, const std::vector<ExrLayer>& layers) {
    if (layers.empty() || !layers.front().image)
        throw std::runtime_error(path.string() + ": no image to write");
    const int width = layers.front().image->Width(), height = layers.front().image->Height();
    std::set<std::string> names;
    for (const ExrLayer& layer : layers) {
        if (!layer.image || layer.image->Width() != width || layer.image->Height() != height) {
            throw std::runtime_error(path.string() + ": layer \"" + layer.name +
                                     "\" is not the size of the image");
        }
        if (!names.insert(layer.name).second)
            throw std::runtime_error(path.string() + ": two layers named \"" + layer.name + "\"");
    }
    std::string bytes;
    try {
        Imf::Header header(width, height);
        header.compression() = Imf::ZIP_COMPRESSION;
        Imf::FrameBuffer frame;
        const char* channels[4] = {"R", "G", "B", "A"};
        for (const ExrLayer& layer : layers) {
            // Rows are padded: the slice steps by the bitmap's own row stride, no copy.
            const Bitmap& image = *layer.image;
            const char* base = reinterpret_cast<const char*>(image.Row(0));
            const size_t xStride = sizeof(BMM_Color_fl);
            const size_t yStride = height > 1
                                       ? size_t(reinterpret_cast<const char*>(image.Row(1)) - base)
                                       : xStride * size_t(width);
            for (size_t c = 0; c < 4; ++c) {
                const std::string name =
                    layer.name.empty() ? channels[c] : layer.name + "." + channels[c];
                header.channels().insert(name, Imf::Channel(Imf::FLOAT));
                frame.insert(name,
                             Imf::Slice(Imf::FLOAT, const_cast<char*>(base) + c * sizeof(float),
                                        xStride, yStride));
            }
        }
        Imf::StdOSStream stream;
        {
            Imf::OutputFile file(stream, header);
            file.setFrameBuffer(frame);
            file.writePixels(height);
        }  // the file is complete once closed
        bytes = stream.str();
    } catch (const std::exception& e) {
        throw std::runtime_error(path.string() + ": " + e.what());
    }
    return bytes;
}

std::string EncodeExr(const std::filesystem::path& path, const Bitmap& image) {
    return EncodeExr(path, std::vector<ExrLayer>{{"", &image}});
}

void WriteExr(const std::filesystem::path& path, const Bitmap& image) {
    const int error = KvrnVectorOut::WriteFileReplacing(path, EncodeExr(path, image));
    if (error != 0) {
        throw std::runtime_error(path.string() + ": cannot write: " + std::strerror(error));
    }
}

}  // namespace KvrnApp
