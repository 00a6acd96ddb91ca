#include "png_writer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace KvrnApp {
namespace {

std::vector<uint8_t> ReadRgba(const std::filesystem::path& path, int* width, int* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_NE(png_image_begin_read_from_file(&image, path.string().c_str()), 0);
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    EXPECT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0);
    *width = int(image.width);
    *height = int(image.height);
    return pixels;
}

// Premultiplied raster colour comes out straight; out-of-range values are clamped; a path that
// cannot be written names itself and leaves nothing behind.
TEST(PngWriter, WritesStraightRgbaAndFailsCleanly) {
    KvrnLib::ColorFloatRaster raster(3, 2);
    raster.Row(0)[0] = {0.5f, 0.25f, 0.0f, 0.5f};  // half-covered orange
    raster.Row(0)[2] = {2.0f, -1.0f, 0.0f, 1.0f};
    raster.Row(1)[1] = {0.0f, 0.0f, 1.0f, 1.0f};
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kvrn_png_test";
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / "lines.png";
    WritePng(path, raster);
    int width = 0, height = 0;
    const std::vector<uint8_t> pixels = ReadRgba(path, &width, &height);
    ASSERT_EQ(width, 3);
    ASSERT_EQ(height, 2);
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin(), pixels.begin() + 4),
              (std::vector<uint8_t>{255, 128, 0, 128}));
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + 4, pixels.begin() + 8),
              (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + 8, pixels.begin() + 12),
              (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + 16, pixels.begin() + 20),
              (std::vector<uint8_t>{0, 0, 255, 255}));

    const std::filesystem::path missing = dir / "no-such-folder" / "lines.png";
    try {
        WritePng(missing, raster);
        FAIL() << "wrote into a missing folder";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    std::filesystem::remove_all(dir);
}

// Runs that write one path at once each finish their own temporary file: whoever renames last
// leaves a complete image, nothing else is touched, and a failed rename says why.
TEST(PngWriter, RacingWritersLeaveACompleteImageAndFailuresKeepTheirCause) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kvrn_png_race";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / "race.png";
    const std::filesystem::path oldTemporaryName = dir / "race.png.partial";
    { std::ofstream(oldTemporaryName) << "someone else's file"; }
    KvrnLib::ColorFloatRaster wide(400, 300), tall(300, 400);
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                try {
                    WritePng(path, t % 2 ? wide : tall);
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& w : writers) w.join();
    EXPECT_EQ(failures.load(), 0);
    int width = 0, height = 0;
    ReadRgba(path, &width, &height);
    EXPECT_EQ(width * height, 120000) << "not one complete image";
    std::ifstream old(oldTemporaryName);
    std::string text;
    std::getline(old, text);
    EXPECT_EQ(text, "someone else's file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              2)
        << "temporary files left behind";

    // A non-empty folder in the image's place: the rename fails, and the message says so.
    const std::filesystem::path blocked = dir / "blocked.png";
    std::filesystem::create_directories(blocked / "inside");
    try {
        WritePng(blocked, wide);
        FAIL() << "wrote over a folder";
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.find("Success"), std::string::npos) << message;
        EXPECT_NE(message.find(std::make_error_code(std::errc::is_a_directory).message()),
                  std::string::npos)
            << message;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace KvrnApp
