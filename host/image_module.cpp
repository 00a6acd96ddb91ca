// The image module: ImageLibrary over OpenImageIO, built as a loadable module of its own (see
// image_library.h for why).
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/texture.h>

#include <memory>

#include "image_library.h"

namespace {

OIIO::TextureOpt::Wrap WrapOf(TextureWrap wrap) {
    switch (wrap) {
        case TextureWrap::kPeriodic:
            return OIIO::TextureOpt::WrapPeriodic;
        case TextureWrap::kMirror:
            return OIIO::TextureOpt::WrapMirror;
        default:
            return OIIO::TextureOpt::WrapBlack;
    }
}

class OiioImageLibrary final : public ImageLibrary {
  public:
    OiioImageLibrary() : textures_(OIIO::TextureSystem::create(false)) {
        // Plain images (PNG, JPEG) get mipmaps built in memory so minified lookups filter.
        textures_->attribute("automip", 1);
        // Maps hand out straight colour: keep files that store it that way as they are.
        textures_->attribute("unassociatedalpha", 1);
    }

    bool ReadImage(const std::string& path, ImageData& image, std::string& error) override {
        auto in = OIIO::ImageInput::open(path);
        if (!in) {
            error = OIIO::geterror();
            if (error.empty()) error = "not an image file";
            return false;
        }
        // Sizes and channels; the file's metadata is not needed.
        const OIIO::ImageSpec format = in->spec_dimensions(0, 0);
        if (format.width < 1 || format.height < 1 || format.nchannels < 1) {
            error = "the image has no pixels";
            return false;
        }
        ImageData read;
        read.width = format.width;
        read.height = format.height;
        read.channels = format.nchannels;
        read.pixels.resize(size_t(format.width) * size_t(format.height) * size_t(format.nchannels));
        if (!in->read_image(0, 0, 0, format.nchannels, OIIO::TypeDesc::FLOAT, read.pixels.data())) {
            error = in->geterror();
            return false;
        }
        image = std::move(read);
        return true;
    }

    bool WriteImage(const std::string& path, const ImageData& image, std::string& error) override {
        auto out = OIIO::ImageOutput::create(path);
        if (!out) {
            error = OIIO::geterror();
            return false;
        }
        OIIO::ImageSpec format(image.width, image.height, image.channels, OIIO::TypeDesc::FLOAT);
        // Written as given: colour is not divided by alpha on the way out.
        format.attribute("oiio:UnassociatedAlpha", 1);
        if (!out->open(path, format) ||
            !out->write_image(OIIO::TypeDesc::FLOAT, image.pixels.data()) || !out->close()) {
            error = out->geterror();
            return false;
        }
        return true;
    }

    void* OpenTexture(const std::string& path, int& channels, std::string& error) override {
        const OIIO::ustring name(path);
        // Only drops the cached image when the file changed since it was read.
        textures_->invalidate(name, false);
        OIIO::TextureSystem::TextureHandle* handle = textures_->get_texture_handle(name);
        OIIO::ImageSpec format;
        if (!handle || !textures_->good(handle) ||
            !textures_->get_imagespec(handle, nullptr, 0, format)) {
            error = textures_->geterror();
            if (error.empty()) error = "not an image the texture system can open";
            return nullptr;
        }
        channels = format.nchannels;
        return handle;
    }

    bool Texture(void* handle, const TextureLookup& lookup, float* result) override {
        OIIO::TextureOpt opt;
        opt.swrap = WrapOf(lookup.swrap);
        opt.twrap = WrapOf(lookup.twrap);
        opt.mipmode =
            lookup.mipmapped ? OIIO::TextureOpt::MipModeTrilinear : OIIO::TextureOpt::MipModeNoMIP;
        opt.interpmode =
            lookup.bilinear ? OIIO::TextureOpt::InterpBilinear : OIIO::TextureOpt::InterpClosest;
        return textures_->texture(static_cast<OIIO::TextureSystem::TextureHandle*>(handle), nullptr,
                                  opt, lookup.s, lookup.t, lookup.dsdx, lookup.dtdx, lookup.dsdy,
                                  lookup.dtdy, lookup.channels, result);
    }

  private:
    OIIO::TextureSystem* textures_;
};

}  // namespace

// Lives as long as the process and is never destroyed: its texture cache is the process's, and
// the library's own teardown of it mismatches sized deletes (AddressSanitizer reports it).
extern "C" ImageLibrary* KvrnCreateImageLibrary() {
    static OiioImageLibrary* const library = new OiioImageLibrary;
    return library;
}
