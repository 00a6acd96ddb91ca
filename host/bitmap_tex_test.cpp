#include "bitmap_tex.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <latch>
#include <thread>
#include <vector>

#include "checker.h"
#include "hold.h"
#include "image_library.h"
#include "noise_tex.h"

namespace {

namespace fs = std::filesystem;

// Texel (x, y), y counting rows from the top, of a 4 x 2 RGBA image with distinct values.
unsigned char Texel(int x, int y, int c) {
    return static_cast<unsigned char>(20 + 60 * c + 10 * x + 5 * y);
}

class BitmapTexTest : public ::testing::Test {
  protected:
    static constexpr int kWidth = 4;
    static constexpr int kHeight = 2;

    void SetUp() override {
        theHold.Clear();
        folder_ = fs::temp_directory_path() /
                  ("kvrn_bitmap_" + std::to_string(getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder_);
        holder_.Set(BitmapTexClassDesc().Create(false));
        map_ = static_cast<BitmapTex*>(holder_.Get());
    }
    void TearDown() override {
        theHold.Clear();
        fs::remove_all(folder_);
    }

    std::string WritePng() {
        const std::string path = (folder_ / "texels.png").string();
        ImageData image{kWidth, kHeight, 4, {}};
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 4; ++c) image.pixels.push_back(Texel(x, y, c) / 255.0f);
        std::string error;
        EXPECT_TRUE(GetImageLibrary().WriteImage(path, image, error)) << error;
        return path;
    }

    void Update() {
        Interval valid = FOREVER;
        map_->Update(0, valid);
    }

    fs::path folder_;
    RefHolder holder_;
    BitmapTex* map_ = nullptr;
};

TEST_F(BitmapTexTest, TexelCentresGiveTheTexelsForEveryFilter) {
    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(WritePng()));
    for (int filtering = 0; filtering < 3; ++filtering) {
        map_->Params()->SetValue(kBitmapFiltering, 0, filtering);
        Update();
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                FixedShadeContext sc;
                // v runs up while rows run down.
                sc.uvw = Point3((x + 0.5f) / kWidth, 1.0f - (y + 0.5f) / kHeight, 0.0f);
                const AColor c = map_->EvalColor(sc);
                EXPECT_NEAR(c.r, Texel(x, y, 0) / 255.0f, 1e-4f) << x << "," << y;
                EXPECT_NEAR(c.g, Texel(x, y, 1) / 255.0f, 1e-4f) << x << "," << y;
                EXPECT_NEAR(c.b, Texel(x, y, 2) / 255.0f, 1e-4f) << x << "," << y;
                EXPECT_NEAR(c.a, Texel(x, y, 3) / 255.0f, 1e-4f) << x << "," << y;
            }
        }
    }
    // Between two texels of a row, bilinear filtering lands halfway.
    map_->Params()->SetValue(kBitmapFiltering, 0, 1);
    Update();
    FixedShadeContext sc;
    sc.uvw = Point3(0.5f, 0.75f, 0.0f);
    EXPECT_NEAR(map_->EvalColor(sc).r, 0.5f * (Texel(1, 0, 0) + Texel(2, 0, 0)) / 255.0f, 1e-4f);
}

TEST_F(BitmapTexTest, EnvironmentDirectionsFindTheirTexels) {
    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(WritePng()));
    map_->Params()->SetValue(kBitmapFiltering, 0, 2);
    Update();
    // Columns go round z from +y towards +x, rows from the zenith down; the camera here is the
    // world. Each direction points at a texel's centre.
    const float s = std::sqrt(0.5f), up = std::sqrt(0.5f);
    const Point3 horizontal[kWidth] = {{s, s, 0}, {s, -s, 0}, {-s, -s, 0}, {-s, s, 0}};
    FixedShadeContext sc;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const Point3 dir = horizontal[x] * up + Point3(0.0f, 0.0f, y == 0 ? up : -up);
            const AColor c = EvalEnvironmentMap(*map_, sc, dir);
            EXPECT_NEAR(c.r, Texel(x, y, 0) / 255.0f, 1e-3f) << x << ", " << y;
            EXPECT_NEAR(c.g, Texel(x, y, 1) / 255.0f, 1e-3f) << x << ", " << y;
        }
    }
}

TEST_F(BitmapTexTest, UnreadableFilesFailAtUpdateNamingTheFile) {
    const std::string missing = (folder_ / "missing.png").string();
    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(missing));
    try {
        Update();
        FAIL() << "no error for a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(missing + ": cannot read texture: ", 0), 0u)
            << e.what();
    }
    // Never a crash while drawing: the failed map is transparent.
    FixedShadeContext sc;
    sc.uvw = Point3(0.5f, 0.5f, 0.0f);
    EXPECT_EQ(map_->EvalColor(sc), AColor(0.0f, 0.0f, 0.0f, 0.0f));

    const std::string text = (folder_ / "notes.png").string();
    std::ofstream(text) << "not an image";
    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(text));
    EXPECT_THROW(
        {
            try {
                Update();
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
                throw;
            }
        },
        std::runtime_error);

    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(std::string()));
    EXPECT_THROW(Update(), std::runtime_error);
}

TEST_F(BitmapTexTest, OutputCurveAndAlphaSourceApply) {
    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(WritePng()));
    map_->Params()->SetValue(kBitmapAlphaSource, 0, 2);
    map_->GetTexOutput()->Params()->SetValue(kOutputInvert, 0, true);
    Update();
    FixedShadeContext sc;
    sc.uvw = Point3(0.125f, 0.75f, 0.0f);
    const AColor c = map_->EvalColor(sc);
    EXPECT_NEAR(c.r, 1.0f - Texel(0, 0, 0) / 255.0f, 1e-4f);
    EXPECT_FLOAT_EQ(c.a, 1.0f);
}

// Many drawing threads evaluate one prepared map at once: the results must be those of one
// thread.
TEST_F(BitmapTexTest, ConcurrentEvalColorMatchesOneThread) {
    map_->Params()->SetValue(kBitmapFileName, 0, ParamValue(WritePng()));
    map_->GetUVGen()->Params()->SetValue(kUTiling, 0, 3.0);
    RefHolder checkerHolder(CheckerClassDesc().Create(false));
    RefHolder noiseHolder(NoiseClassDesc().Create(false));
    auto* checker = static_cast<Checker*>(checkerHolder.Get());
    checker->SetSubTexmap(0, map_);
    checker->GetUVGen()->Params()->SetValue(kVTiling, 0, 2.0);
    auto* noise = static_cast<Noise*>(noiseHolder.Get());
    noise->Params()->SetValue(kNoiseType, 0, 1);
    noise->Params()->SetValue(kNoiseSize, 0, 0.2);
    std::vector<Texmap*> maps = {checker, noise};
    for (Texmap* m : maps) {
        Interval valid = FOREVER;
        m->Update(0, valid);
    }

    constexpr int kPoints = 2000;
    auto evaluate = [&](std::vector<AColor>& out) {
        out.clear();
        for (int i = 0; i < kPoints; ++i) {
            FixedShadeContext sc;
            sc.uvw = Point3(float(i % 97) / 43.0f, float(i / 97) / 7.0f, 0.0f);
            sc.duvw = Point3(0.01f * float(i % 3), 0.01f * float(i % 5), 0.0f);
            sc.p = Point3(sc.uvw.x, sc.uvw.y, float(i % 11));
            for (Texmap* m : maps) out.push_back(m->EvalColor(sc));
        }
    };
    std::vector<AColor> serial;
    evaluate(serial);

    constexpr int kThreads = 8;
    std::vector<std::vector<AColor>> results(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            evaluate(results[size_t(t)]);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[size_t(t)], serial) << "thread " << t;
}

}  // namespace
