#include "png_writer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "test_util.h"

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

// The RGBA bytes of pixel i.
std::vector<uint8_t> Pixel(const std::vector<uint8_t>& pixels, int i) {
    return {pixels.begin() + 4 * i, pixels.begin() + 4 * i + 4};
}

// The message of the error WritePng throws, or "" when it throws none.
std::string WriteError(const std::filesystem::path& path, const Bitmap& raster) {
    try {
        WritePng(path, raster);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Premultiplied raster colour comes out straight; out-of-range values are clamped.
TEST(PngWriter, WritesStraightClampedRgba) {
    Bitmap raster(3, 2);
    raster.Row(0)[0] = {0.5f, 0.25f, 0.0f, 0.5f};  // half-covered orange
    raster.Row(0)[2] = {2.0f, -1.0f, 0.0f, 1.0f};
    raster.Row(1)[1] = {0.0f, 0.0f, 1.0f, 1.0f};
    const test::TempDir dir;
    WritePng(dir.Path() / "lines.png", raster);
    int width = 0, height = 0;
    const std::vector<uint8_t> pixels = ReadRgba(dir.Path() / "lines.png", &width, &height);
    ASSERT_EQ(std::pair(width, height), std::pair(3, 2));
    EXPECT_EQ(Pixel(pixels, 0), (std::vector<uint8_t>{255, 128, 0, 128}));
    EXPECT_EQ(Pixel(pixels, 1), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(Pixel(pixels, 2), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(Pixel(pixels, 4), (std::vector<uint8_t>{0, 0, 255, 255}));
}

// Bands compressed on several threads join into one stream that decodes to the same image, pixels
// on band edges and in blocks never written included.
TEST(PngWriter, BandsOnManyThreadsGiveTheSameImage) {
    Bitmap raster(700, 1201);  // over 3 MB of scanlines: several bands
    for (int y = 0; y < raster.Height(); y += 7) raster.Pixel((y * 13) % 700, y) = {0, 0, 1, 1};
    for (int x = 0; x < raster.Width(); ++x) raster.Pixel(x, 600) = {0.5f, 0, 0, 0.5f};
    const test::TempDir dir;
    std::vector<std::vector<uint8_t>> images;
    for (int threads : {1, 2, 5}) {
        const std::filesystem::path path = dir.Path() / ("t" + std::to_string(threads) + ".png");
        WritePng(path, raster, threads);
        int width = 0, height = 0;
        images.push_back(ReadRgba(path, &width, &height));
        ASSERT_EQ(std::pair(width, height), std::pair(700, 1201));
    }
    EXPECT_EQ(Pixel(images[0], 600 * 700 + 699), (std::vector<uint8_t>{255, 0, 0, 128}));
    EXPECT_EQ(Pixel(images[0], 7 * 700 + 91), (std::vector<uint8_t>{0, 0, 255, 255}));
    EXPECT_EQ(images[1], images[0]);
    EXPECT_EQ(images[2], images[0]);
}

// Runs that write one path at once each finish their own temporary file: whoever renames last
// leaves a complete image, and nothing else is touched.
TEST(PngWriter, RacingWritersLeaveACompleteImage) {
    const test::TempDir dir;
    const std::filesystem::path path = dir.Path() / "race.png";
    const std::string oldTemporaryName = dir.Write("race.png.partial", "someone else's file");
    Bitmap wide(400, 300), tall(300, 400);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) EXPECT_EQ(WriteError(path, t % 2 ? wide : tall), "");
        });
    }
    for (std::thread& w : writers) w.join();
    int width = 0, height = 0;
    ReadRgba(path, &width, &height);
    EXPECT_EQ(width * height, 120000) << "not one complete image";
    std::ifstream old(oldTemporaryName);
    std::string text;
    std::getline(old, text);
    EXPECT_EQ(text, "someone else's file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              2)
        << "temporary files left behind";
}

// The file and the real cause of the failed step, never "Success"; nothing is left behind.
TEST(PngWriter, AFailedWriteNamesTheFileAndItsCause) {
    const test::TempDir dir;
    const Bitmap raster(2, 2);
    const std::filesystem::path missing = dir.Path() / "no-such-folder" / "lines.png";
    const std::string prefix = "cannot write PNG '" + missing.string() + "': ";
    EXPECT_TRUE(WriteError(missing, raster).starts_with(prefix)) << prefix;

    const std::filesystem::path blocked = dir.Path() / "blocked.png";
    std::filesystem::create_directories(blocked / "inside");  // the rename fails
    const std::string message = WriteError(blocked, raster);
    EXPECT_NE(message.find(std::make_error_code(std::errc::is_a_directory).message()),
              std::string::npos)
        << message;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              1)
        << "a folder made or a temporary file left behind";
}

}  // namespace
}  // namespace KvrnApp
