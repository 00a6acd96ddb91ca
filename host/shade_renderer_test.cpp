#include "shade_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "checker.h"
#include "light.h"
#include "multi_mtl.h"
#include "node.h"
#include "object.h"
#include "shading_elements.h"
#include "std_mtl.h"
#include "uvgen.h"

namespace KvrnHost {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// A material whose shading the test writes.
class LambdaMtl : public Mtl {
  public:
    explicit LambdaMtl(std::function<void(ShadeContext&)> shade, bool transparent = false)
        : shade_(std::move(shade)), transparent_(transparent) {}
    void Shade(ShadeContext& sc) override { shade_(sc); }
    bool MayBeTransparent(int) override { return transparent_; }
    void Update(TimeValue, Interval&) override { ++updates; }
    int updates = 0;

  private:
    std::function<void(ShadeContext&)> shade_;
    bool transparent_;
};

RefPtr<LambdaMtl> FlatMtl(Color c, float opacity = 1.0f) {
    return RefPtr<LambdaMtl>(new LambdaMtl(
        [c, opacity](ShadeContext& sc) {
            sc.out.c = c * opacity;
            sc.out.t = Color(1, 1, 1) * (1.0f - opacity);
            sc.out.parts.diffuse = c * opacity;
        },
        opacity < 1.0f));
}

Face Tri(uint32_t a, uint32_t b, uint32_t c, uint32_t smGroup = 0, uint16_t mtl = 0) {
    Face f;
    f.v = {a, b, c};
    f.smGroup = smGroup;
    f.matID = mtl;
    return f;
}

// [-s, s]^2 in z = 0 facing +z, with UVs 0..1 over it on channel 1; faces get IDs 0 and 1.
std::shared_ptr<Mesh> Plane(float s) {
    auto mesh = std::make_shared<Mesh>();
    mesh->verts = {{-s, -s, 0}, {s, -s, 0}, {s, s, 0}, {-s, s, 0}};
    mesh->faces = {Tri(0, 1, 2, 0, 0), Tri(0, 2, 3, 0, 1)};
    mesh->maps[1].tv = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    mesh->maps[1].tf = {{{0, 1, 2}}, {{0, 2, 3}}};
    return mesh;
}

std::shared_ptr<Mesh> Box(Point3 lo, Point3 hi) {
    auto mesh = std::make_shared<Mesh>();
    for (int i = 0; i < 8; ++i)
        mesh->verts.push_back({i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z});
    const uint32_t quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                  {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& q : quads) {
        mesh->faces.push_back(Tri(q[0], q[1], q[2]));
        mesh->faces.push_back(Tri(q[0], q[2], q[3]));
    }
    return mesh;
}

// UV sphere, smooth (one smoothing group).
std::shared_ptr<Mesh> Sphere(float r, int around, int rings) {
    auto mesh = std::make_shared<Mesh>();
    mesh->verts.push_back({0, 0, r});
    for (int j = 1; j < rings; ++j) {
        const float theta = kPi * float(j) / float(rings);
        for (int i = 0; i < around; ++i) {
            const float phi = 2 * kPi * float(i) / float(around);
            mesh->verts.push_back({r * std::sin(theta) * std::cos(phi),
                                   r * std::sin(theta) * std::sin(phi), r * std::cos(theta)});
        }
    }
    mesh->verts.push_back({0, 0, -r});
    const auto at = [&](int j, int i) { return uint32_t(1 + (j - 1) * around + (i % around)); };
    const uint32_t last = uint32_t(mesh->verts.size() - 1);
    for (int i = 0; i < around; ++i) {
        mesh->faces.push_back(Tri(0, at(1, i), at(1, i + 1), 1));
        for (int j = 1; j + 1 < rings; ++j) {
            mesh->faces.push_back(Tri(at(j, i), at(j + 1, i), at(j + 1, i + 1), 1));
            mesh->faces.push_back(Tri(at(j, i), at(j + 1, i + 1), at(j, i + 1), 1));
        }
        mesh->faces.push_back(Tri(at(rings - 1, i), last, at(rings - 1, i + 1), 1));
    }
    return mesh;
}

// A frame context built by hand: a camera at the origin looking down -z.
struct TestScene {
    RenderSetup setup;
    RenderGlobalContext gc;
    std::vector<RefPtr<Mtl>> mtls;
    std::vector<RefPtr<INode>> nodes;

    TestScene(int width, int height, float focalPixels) {
        setup.settings.width = width;
        setup.settings.height = height;
        setup.shading.enabled = true;
        gc.setup = &setup;
        gc.devWidth = width;
        gc.devHeight = height;
        gc.xc = width / 2.0f;
        gc.yc = height / 2.0f;
        gc.xscale = -focalPixels;
        gc.yscale = focalPixels;
    }
    // Parallel projection, pixelsPerUnit on the screen.
    void MakeParallel(float pixelsPerUnit) {
        gc.projType = PROJ_PARALLEL;
        gc.xscale = pixelsPerUnit;
        gc.yscale = -pixelsPerUnit;
    }
    RenderInstance& Add(std::shared_ptr<Mesh> mesh, const Matrix3& objToCam, RefPtr<Mtl> mtl,
                        int gbufId = 0) {
        RefPtr<INode> node(new INode);
        node->SetName("node" + std::to_string(nodes.size()));
        node->SetGBufID(gbufId);
        nodes.push_back(node);
        mtls.push_back(mtl);
        RenderInstance ri;
        ri.node = node.get();
        ri.mtl = mtl.get();
        ri.cornerNormals = std::make_shared<std::vector<Point3>>(ComputeCornerNormals(*mesh));
        ri.mesh = std::move(mesh);
        ri.objToCam = objToCam;
        ri.objToWorld = objToCam;
        ri.camToObj = objToCam.Inverse();
        ri.normalObjToCam = NormalMatrix(objToCam);
        gc.instances.push_back(ri);
        return gc.instances.back();
    }
    // Renders over a background of bg; stats of the render in stats when given.
    std::unique_ptr<Bitmap> Render(BMM_Color_fl bg = {0, 0, 0, 0}, ShadeStats* stats = nullptr) {
        auto frame = std::make_unique<Bitmap>(gc.devWidth, gc.devHeight);
        frame->Fill(bg);
        ShadeRenderer renderer;
        EXPECT_TRUE(renderer.Render(0, *frame, gc, nullptr));
        if (stats) *stats = renderer.Stats();
        return frame;
    }
};

void OneCentredSample(TestScene& scene) {
    scene.setup.shading.samples = 1;
    scene.setup.shading.adaptive = false;
    scene.setup.shading.filter = PixelFilter::kBox;
    scene.setup.shading.filterRadius = 0.5f;
}

TEST(ShadeRenderer, PixelsDoNotDependOnTheThreadCount) {
    TestScene scene(96, 72, 80);
    scene.setup.shading.samples = 4;
    scene.setup.shading.adaptive = true;
    scene.setup.shading.adaptiveThreshold = 0.02f;
    const Point3 light = Normalize({1, 1, 1});
    RefPtr<LambdaMtl> lit(new LambdaMtl([light](ShadeContext& sc) {
        const float d = std::max(0.0f, DotProd(sc.N(), light));
        const Color through = sc.Transmission(sc.P(), light, 1e30f);
        sc.out.c = Color(0.9f, 0.6f, 0.3f) * d * through.r;
        const Point3 uvw = sc.UVW(1);
        sc.out.c += Color(uvw.x, uvw.y, 0.0f) * 0.2f;
    }));
    scene.Add(Sphere(1, 24, 12), Matrix3::Translation({0, 0, -5}), lit);
    scene.Add(Plane(5), Matrix3::RotationX(-1.2f) * Matrix3::Translation({0, -1, -6}), lit);
    scene.Add(Sphere(0.6f, 16, 8), Matrix3::Translation({1.2f, 0.4f, -4}),
              FlatMtl({0.2f, 0.5f, 1.0f}, 0.4f));
    std::unique_ptr<Bitmap> reference;
    for (int threads : {1, 2, 4}) {
        scene.setup.shading.threads = threads;
        ShadeStats stats;
        auto frame = scene.Render({0.1f, 0.1f, 0.1f, 1}, &stats);
        EXPECT_EQ(stats.threads, threads);
        // Rays of pixels beside every object's screen box are not traced.
        EXPECT_GT(stats.primaryRays, 0);
        EXPECT_LE(stats.primaryRays, 96 * 72 * 4 + stats.refinedPixels * 16);
        EXPECT_GT(stats.refinedPixels, 0);
        EXPECT_GT(stats.shadowRays, 0);
        if (!reference) {
            reference = std::move(frame);
            continue;
        }
        for (int y = 0; y < 72; ++y)
            for (int x = 0; x < 96; ++x)
                ASSERT_EQ(frame->Pixel(x, y), reference->Pixel(x, y)) << x << ", " << y;
    }
    // Nor on the bands the sample memory cuts the frame into (down to one row each).
    for (size_t bytes : {size_t(96 * 4 * 24 * 5), size_t(1)}) {
        auto frame = std::make_unique<Bitmap>(96, 72);
        frame->Fill({0.1f, 0.1f, 0.1f, 1});
        ShadeRenderer renderer;
        renderer.SetSampleMemory(bytes);
        ASSERT_TRUE(renderer.Render(0, *frame, scene.gc, nullptr));
        for (int y = 0; y < 72; ++y)
            for (int x = 0; x < 96; ++x)
                ASSERT_EQ(frame->Pixel(x, y), reference->Pixel(x, y)) << x << ", " << y;
    }
}

TEST(ShadeRenderer, HalfTransparentSurfaceShowsTheBackgroundAtHalfWeight) {
    // A plane filling the view: every pixel is half the surface plus half the background, for
    // every filter; alpha is the coverage over the background's alpha.
    for (PixelFilter filter :
         {PixelFilter::kBox, PixelFilter::kTent, PixelFilter::kGaussian, PixelFilter::kMitchell}) {
        TestScene scene(40, 30, 40);
        scene.setup.shading.filter = filter;
        scene.Add(Plane(20), Matrix3::Translation({0, 0, -3}), FlatMtl({1, 0, 0}, 0.5f));
        const BMM_Color_fl bg{0.2f, 0.4f, 0.6f, 0.5f};
        auto frame = scene.Render(bg);
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                const BMM_Color_fl& p = frame->Pixel(x, y);
                ASSERT_NEAR(p.r, 0.5f + 0.1f, 1e-5f) << x << ", " << y;
                ASSERT_NEAR(p.g, 0.2f, 1e-5f);
                ASSERT_NEAR(p.b, 0.3f, 1e-5f);
                ASSERT_NEAR(p.a, 0.5f + 0.5f * 0.5f, 1e-5f);
            }
        }
    }
    // Two half-transparent layers let a quarter through; misses keep the background exactly.
    TestScene scene(40, 30, 40);
    scene.Add(Plane(1), Matrix3::Translation({0, 0, -3}), FlatMtl({1, 0, 0}, 0.5f));
    scene.Add(Plane(1), Matrix3::Translation({0, 0, -4}), FlatMtl({0, 1, 0}, 0.5f));
    const BMM_Color_fl bg{0, 0, 1, 1};
    auto frame = scene.Render(bg);
    const BMM_Color_fl centre = frame->Pixel(20, 15);
    EXPECT_NEAR(centre.r, 0.5f, 1e-5f);
    EXPECT_NEAR(centre.g, 0.25f, 1e-5f);
    EXPECT_NEAR(centre.b, 0.25f, 1e-5f);
    EXPECT_EQ(frame->Pixel(1, 1), bg);
}

TEST(ShadeRenderer, LambertAndBlinnOnASphereMatchTheAnalyticSphere) {
    // One centred sample per pixel and a box filter: each pixel is the shading at its centre
    // ray, which the analytic sphere predicts up to the tessellation.
    const int size = 80;
    const float focal = 100.0f, radius = 1.0f, distance = 4.0f;
    TestScene scene(size, size, focal);
    scene.setup.shading.samples = 1;
    scene.setup.shading.adaptive = false;
    scene.setup.shading.filter = PixelFilter::kBox;
    scene.setup.shading.filterRadius = 0.5f;
    const Point3 light = Normalize({-1, 2, 1.5f});
    const auto shade = [light](Point3 n, Point3 v) {
        const float diffuse = std::max(0.0f, DotProd(n, light));
        const Point3 h = Normalize(light - v);
        const float highlight = diffuse > 0 ? std::pow(std::max(0.0f, DotProd(n, h)), 20.0f) : 0.0f;
        return 0.7f * diffuse + 0.3f * highlight;
    };
    RefPtr<LambdaMtl> mtl(new LambdaMtl([&](ShadeContext& sc) {
        const float v = shade(sc.N(), sc.V());
        sc.out.c = {v, v, v};
    }));
    scene.Add(Sphere(radius, 96, 48), Matrix3::Translation({0, 0, -distance}), mtl);
    auto frame = scene.Render();
    const Point3 centre{0, 0, -distance};
    int compared = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const Point3 d = Normalize(
                {(x + 0.5f - size / 2.0f) / focal, -(y + 0.5f - size / 2.0f) / focal, -1.0f});
            const float b = DotProd(d, centre);
            const float c2 = DotProd(centre, centre) - b * b;
            // Skip the rim, where the tessellated outline departs from the sphere's.
            if (c2 > 0.95f * 0.95f * radius * radius) {
                if (c2 > 1.02f * radius * radius) {
                    EXPECT_EQ(frame->Pixel(x, y).a, 0.0f);
                }
                continue;
            }
            const float t = b - std::sqrt(radius * radius - c2);
            const Point3 n = Normalize(d * t - centre);
            EXPECT_NEAR(frame->Pixel(x, y).r, shade(n, d), 0.02f) << x << ", " << y;
            EXPECT_EQ(frame->Pixel(x, y).a, 1.0f);
            ++compared;
        }
    }
    EXPECT_GT(compared, 1500);
}

TEST(ShadeRenderer, BoxShadowOnAPlaneHasTheAnalyticOutline) {
    // Looking straight down (parallel) at the z = 0 plane under a box over [-1, 1]^2 x [1, 2],
    // lit from direction (1, 0, 1): the shadow seen beside the box covers x in [-3, -1],
    // y in [-1, 1].
    const float ppu = 10.0f;
    TestScene scene(100, 60, 1);
    scene.MakeParallel(ppu);
    scene.setup.shading.samples = 1;
    scene.setup.shading.adaptive = false;
    scene.setup.shading.filter = PixelFilter::kBox;
    scene.setup.shading.filterRadius = 0.5f;
    const Point3 light = Normalize({1, 0, 1});
    RefPtr<LambdaMtl> mtl(new LambdaMtl([light](ShadeContext& sc) {
        const float lit = sc.Transmission(sc.P(), light, 1e30f).r;
        sc.out.c = Color(1, 1, 1) * (0.2f + 0.8f * lit);
    }));
    const Matrix3 place = Matrix3::Translation({0, 0, -10});
    scene.Add(Plane(10), place, mtl);
    scene.Add(Box({-1, -1, 1}, {1, 1, 2}), place, FlatMtl({0, 0, 1}));
    auto frame = scene.Render();
    int shadowed = 0;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 100; ++x) {
            const float wx = (x + 0.5f - 50.0f) / ppu, wy = -(y + 0.5f - 30.0f) / ppu;
            const bool onBox = std::fabs(wx) < 1 && std::fabs(wy) < 1;
            const bool inShadow = wx > -3 && wx < -1 && std::fabs(wy) < 1;
            // Pixel centres within half a pixel of an edge may go either way.
            const float margin = 0.5f / ppu + 1e-4f;
            const bool nearEdge = std::fabs(std::fabs(wy) - 1) < margin ||
                                  std::fabs(wx + 3) < margin || std::fabs(wx + 1) < margin ||
                                  std::fabs(wx - 1) < margin;
            if (nearEdge || onBox) continue;
            const float expected = inShadow ? 0.2f : 1.0f;
            ASSERT_NEAR(frame->Pixel(x, y).g, expected, 1e-5f) << x << ", " << y;
            shadowed += inShadow;
        }
    }
    EXPECT_EQ(shadowed, 18 * 18);
}

TEST(ShadeRenderer, ContextGivesMaterialIdsUvDerivativesAndBackFaces) {
    // A 2 x 2 plane seen head-on in parallel at 20 pixels per unit: UVs run 0..1 over 40 pixels,
    // so one pixel changes u by 1/40 and v by -1/40 (screen y runs down).
    TestScene scene(60, 60, 1);
    scene.MakeParallel(20);
    scene.setup.shading.samples = 1;
    scene.setup.shading.adaptive = false;
    scene.setup.shading.filter = PixelFilter::kBox;
    scene.setup.shading.filterRadius = 0.5f;
    RefPtr<LambdaMtl> probe(new LambdaMtl([](ShadeContext& sc) {
        Point3 dx, dy, basis[3];
        sc.DUVWdXY(1, dx, dy);
        sc.DPdUVW(1, basis);
        const Point3 uvw = sc.UVW(1);
        EXPECT_NEAR(dx.x, 1.0f / 40, 1e-5f);
        EXPECT_NEAR(dx.y, 0.0f, 1e-6f);
        EXPECT_NEAR(dy.y, -1.0f / 40, 1e-5f);
        EXPECT_NEAR(sc.DUVW(1).x, 1.0f / 40, 1e-5f);
        EXPECT_NEAR(basis[0].x, 2.0f, 1e-4f);  // dP/du: 2 units per unit of u
        EXPECT_NEAR(basis[1].y, 2.0f, 1e-4f);
        EXPECT_NEAR(sc.Curve(), 0.0f, 1e-6f);
        EXPECT_EQ(sc.UVW(5), Point3());
        EXPECT_FALSE(sc.backFace);
        EXPECT_NEAR(sc.ScreenCoord().x, (uvw.x * 2 - 1) * 20 + 30, 1e-3f);
        sc.out.c = {uvw.x, uvw.y, float(sc.MtlNum())};
    }));
    scene.Add(Plane(1), Matrix3::Translation({0, 0, -5}), probe);
    auto frame = scene.Render();
    // Pixel (12, 45): u = (12.5 - 10) / 40, v = (50 - 45.5) / 40, on the lower-right face (ID 0).
    EXPECT_NEAR(frame->Pixel(12, 45).r, 2.5f / 40, 1e-5f);
    EXPECT_NEAR(frame->Pixel(12, 45).g, 4.5f / 40, 1e-5f);
    EXPECT_EQ(frame->Pixel(45, 45).b, 0.0f);
    EXPECT_EQ(frame->Pixel(15, 15).b, 1.0f);

    // The same plane turned away: still drawn, flagged as a back face with both normals
    // facing the viewer.
    TestScene back(20, 20, 1);
    back.MakeParallel(20);
    RefPtr<LambdaMtl> backProbe(new LambdaMtl([](ShadeContext& sc) {
        EXPECT_TRUE(sc.backFace);
        EXPECT_GT(sc.N().z, 0.99f);
        EXPECT_GT(sc.Ng().z, 0.99f);
        sc.out.c = {1, 1, 1};
    }));
    back.Add(Plane(1), Matrix3::RotationX(kPi) * Matrix3::Translation({0, 0, -5}), backProbe);
    auto backFrame = back.Render();
    EXPECT_EQ(backFrame->Pixel(10, 10).r, 1.0f);
}

TEST(ShadeRenderer, RefusesBadSettingsAndStopsWhenAborted) {
    TestScene scene(20, 20, 20);
    scene.Add(Plane(1), Matrix3::Translation({0, 0, -5}), FlatMtl({1, 1, 1}));
    Bitmap frame(20, 20);
    ShadeRenderer renderer;
    scene.setup.shading.samples = 5;
    try {
        renderer.Render(0, frame, scene.gc, nullptr);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("samples must be 1, 4, 8 or 16, got 5"),
                  std::string::npos);
    }
    scene.setup.shading.samples = 4;
    scene.setup.shading.filterRadius = -1;
    EXPECT_THROW(renderer.Render(0, frame, scene.gc, nullptr), std::runtime_error);
    scene.setup.shading.filterRadius = 1.5f;

    struct Abort : CheckAbortCallback {
        bool Check() override { return true; }
        bool Progress(int, int) override { return true; }
        void SetTitle(const std::string&) override {}
    } abort;
    EXPECT_FALSE(renderer.Render(0, frame, scene.gc, &abort));
    // Materials are updated once each before shading, even when the frame is aborted.
    EXPECT_EQ(dynamic_cast<LambdaMtl*>(scene.mtls[0].get())->updates, 1);
}

// Stops the render at its stopAt-th question (Check or Progress) only, as a user's click would.
struct OneAbort : CheckAbortCallback {
    explicit OneAbort(int stop) : stopAt(stop) {}
    bool Check() override { return ++asked == stopAt; }
    bool Progress(int, int) override { return ++asked == stopAt; }
    void SetTitle(const std::string&) override {}
    int stopAt;
    int asked = 0;
};

TEST(ShadeRenderer, AnAbortAtAnyQuestionStopsTheRender) {
    TestScene scene(48, 40, 40);
    scene.Add(Sphere(1, 16, 8), Matrix3::Translation({0, 0, -4}), FlatMtl({1, 0.5f, 0.2f}));
    scene.setup.shading.samples = 1;
    scene.setup.shading.adaptive = true;
    scene.setup.shading.adaptiveSamples = 8;
    scene.setup.shading.threads = 2;
    Bitmap frame(48, 40);
    ShadeRenderer renderer;
    renderer.SetSampleMemory(1);  // a band per row: many questions
    OneAbort never(-1);
    ASSERT_TRUE(renderer.Render(0, frame, scene.gc, &never));
    ASSERT_GT(renderer.Stats().refinedPixels, 0);
    ASSERT_GT(never.asked, 10);
    for (int stop = 1; stop <= never.asked; ++stop) {
        OneAbort abort(stop);
        EXPECT_FALSE(renderer.Render(0, frame, scene.gc, &abort)) << "abort at question " << stop;
    }
}

TEST(ShadeRenderer, MaterialErrorsOnWorkerThreadsSurfaceAsRuntimeErrors) {
    TestScene scene(32, 32, 32);
    scene.setup.shading.threads = 3;
    std::function<void(ShadeContext&)> shade;
    scene.Add(Plane(1), Matrix3::Translation({0, 0, -3}),
              RefPtr<Mtl>(new LambdaMtl([&shade](ShadeContext& sc) { shade(sc); })));
    Bitmap frame(32, 32);
    ShadeRenderer renderer;
    const auto expectError = [&](const char* text) {
        try {
            renderer.Render(0, frame, scene.gc, nullptr);
            ADD_FAILURE() << "no error for " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    };
    shade = [](ShadeContext& sc) {
        if (sc.ScreenCoord().y > 20) throw std::runtime_error("map \"Wood\" has no bitmap");
    };
    expectError("map \"Wood\" has no bitmap");
    shade = [](ShadeContext&) { throw std::out_of_range("vector index"); };
    expectError("vector index");
    // The renderer is usable again after a failed frame.
    shade = [](ShadeContext& sc) { sc.out.c = {1, 1, 1}; };
    EXPECT_TRUE(renderer.Render(0, frame, scene.gc, nullptr));
    EXPECT_FLOAT_EQ(frame.Pixel(16, 16).r, 1.0f);
}

TEST(ShadeRenderer, DegenerateMeshesRenderWithoutHarm) {
    TestScene scene(32, 32, 32);
    OneCentredSample(scene);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto flat = std::make_shared<Mesh>();  // every face of zero area
    flat->verts = {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {0, 0, 0}};
    flat->faces = {Tri(0, 1, 2), Tri(0, 3, 3), Tri(1, 1, 1)};
    auto broken = std::make_shared<Mesh>();  // not-a-number corners
    broken->verts = {{nan, 0, 0}, {1, nan, 0}, {0, 1, nan}, {0.5f, 0.5f, 0}};
    broken->faces = {Tri(0, 1, 2), Tri(3, 1, 2)};
    auto vertsOnly = std::make_shared<Mesh>();
    vertsOnly->verts = {{0, 0, 0}};
    scene.Add(flat, Matrix3::Translation({-1, -1, -3}), FlatMtl({1, 0, 0}));
    scene.Add(broken, Matrix3::Translation({0, 0, -3}), FlatMtl({1, 0, 0}));
    scene.Add(std::make_shared<Mesh>(), Matrix3::Translation({0, 0, -3}), FlatMtl({1, 0, 0}));
    scene.Add(vertsOnly, Matrix3::Translation({0, 0, -3}), FlatMtl({1, 0, 0}));
    scene.Add(Plane(0.25f), Matrix3::Translation({0, 0, -2}), FlatMtl({0, 1, 0}));
    auto frame = scene.Render();
    // The sound plane covers the centre; the rest shows the background.
    EXPECT_FLOAT_EQ(frame->Pixel(16, 16).g, 1.0f);
    EXPECT_FLOAT_EQ(frame->Pixel(2, 2).a, 0.0f);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) ASSERT_TRUE(std::isfinite(frame->Pixel(x, y).r)) << x << y;
}

// A map of one colour everywhere.
class ConstantMap : public Texmap {
  public:
    explicit ConstantMap(AColor c) : c_(c) {}
    AColor EvalColor(ShadeContext&) override { return c_; }

  private:
    AColor c_;
};

TEST(ShadeRenderer, TracedRaysShadeWhatTheyMeetAndSeeTheEnvironmentOtherwise) {
    // A mirror floor facing the camera reflects a red square in front of its left half; the
    // right half's reflections leave the scene and see the environment.
    TestScene scene(40, 20, 1);
    scene.MakeParallel(10);
    OneCentredSample(scene);
    scene.setup.environment = new ConstantMap({0, 0, 1, 1});
    scene.setup.shading.maxRayDepth = 1;
    RefPtr<LambdaMtl> mirror(new LambdaMtl([](ShadeContext& sc) {
        TraceRequest ray;
        ray.origin = sc.P();
        ray.dir = sc.ReflectVector();
        TraceResult result;
        const bool hit = sc.TraceRay(ray, result);
        EXPECT_EQ(hit, result.hit);
        if (hit) {
            EXPECT_NEAR(result.distance, 11.0f, 1e-4f);
        }
        EXPECT_EQ(sc.rayLevel, 0);
        sc.out.c = result.color.Rgb();
    }));
    RefPtr<LambdaMtl> square(new LambdaMtl([](ShadeContext& sc) {
        // A second bounce is past the depth limit.
        EXPECT_EQ(sc.rayLevel, 1);
        TraceRequest ray;
        ray.origin = sc.P();
        ray.dir = sc.ReflectVector();
        TraceResult result;
        EXPECT_FALSE(sc.TraceRay(ray, result));
        sc.out.c = {1, 0, 0};
    }));
    scene.Add(Plane(10), Matrix3::Translation({0, 0, -10}), mirror);
    // Behind the camera: only reflections see it, 11 units from the mirror.
    scene.Add(Box({-2, -1, 1}, {0, 1, 2}), Matrix3(), square);
    auto frame = scene.Render();
    EXPECT_EQ(frame->Pixel(15, 10), (BMM_Color_fl{1, 0, 0, 1}));
    EXPECT_EQ(frame->Pixel(30, 10), (BMM_Color_fl{0, 0, 1, 1}));
}

TEST(ShadeRenderer, TransparentBlockersLetTheirShareOfLightThrough) {
    // The box shadow again, cast by a box that passes 40 % in shadow mode (shaded, because it
    // may be transparent) and by an opaque one beside it (not shaded in shadow mode).
    TestScene scene(100, 60, 1);
    scene.MakeParallel(10);
    OneCentredSample(scene);
    const Point3 light{0, 0, 1};
    RefPtr<LambdaMtl> floor(new LambdaMtl([light](ShadeContext& sc) {
        sc.out.c = Color(1, 1, 1) * sc.Transmission(sc.P(), light, 1e30f).g;
    }));
    int opaqueShadowShades = 0;
    RefPtr<LambdaMtl> glass(new LambdaMtl(
        [](ShadeContext& sc) {
            sc.out.t = sc.mode == SCMODE_SHADOW ? Color(0.4f, 0.4f, 0.4f) : Color(1, 1, 1);
        },
        true));
    RefPtr<LambdaMtl> stone(new LambdaMtl([&](ShadeContext& sc) {
        if (sc.mode == SCMODE_SHADOW) ++opaqueShadowShades;
        sc.out.t = Color(1, 1, 1);  // seen from the camera it lets everything through
    }));
    const Matrix3 place = Matrix3::Translation({0, 0, -10});
    scene.Add(Plane(10), place, floor);
    scene.Add(Box({-3, -1, 1}, {-1, 1, 2}), place, glass);
    scene.Add(Box({1, -1, 1}, {3, 1, 2}), place, stone);
    auto frame = scene.Render();
    // The light crosses the glass box's bottom and top faces: 0.4 twice.
    EXPECT_NEAR(frame->Pixel(30, 30).g, 0.16f, 1e-5f);
    EXPECT_EQ(frame->Pixel(70, 30).g, 0.0f);
    EXPECT_EQ(frame->Pixel(50, 30).g, 1.0f);
    EXPECT_EQ(opaqueShadowShades, 0);
}

// ---- With the host's standard and multi/sub-object materials and its lights

RefPtr<StdMtl> Standard(Color diffuse) {
    RefPtr<StdMtl> mtl(dynamic_cast<StdMtl*>(StdMtlClassDesc().Create(false)));
    IParamBlock2* p = mtl->Params();
    p->SetValue(kStdDiffuse, 0, ParamValue(diffuse));
    p->SetValue(kStdAmbient, 0, ParamValue(Color(0, 0, 0)));
    return mtl;
}

// A light at `at` (camera space) shining along `shine`, its local -z.
struct SceneLight {
    RefPtr<LightObject> light;
    RefPtr<INode> node;
};
SceneLight AddLight(TestScene& scene, LightType type, Point3 at, Point3 shine) {
    SceneLight l{RefPtr<LightObject>(new LightObject(type)), RefPtr<INode>(new INode)};
    const Point3 z = -Normalize(shine);
    const Point3 x =
        Normalize(CrossProd(std::fabs(z.y) < 0.9f ? Point3(0, 1, 0) : Point3(1, 0, 0), z));
    LightInstance li;
    li.node = l.node.get();
    li.light = l.light.get();
    li.lightToCam.SetRow(0, x);
    li.lightToCam.SetRow(1, CrossProd(z, x));
    li.lightToCam.SetRow(2, z);
    li.lightToCam.SetRow(3, at);
    li.lightToWorld = li.lightToCam;
    scene.gc.lights.push_back(li);
    return l;
}

TEST(ShadeRendererHost, StandardMaterialUnderADirectionalLightIsLambertPlusBlinn) {
    const int size = 64;
    const float focal = 80.0f, distance = 4.0f;
    TestScene scene(size, size, focal);
    OneCentredSample(scene);
    RefPtr<StdMtl> mtl = Standard({0.6f, 0.5f, 0.4f});
    mtl->Params()->SetValue(kStdSpecular, 0, ParamValue(Color(1, 1, 1)));
    mtl->Params()->SetValue(kStdSpecularLevel, 0, ParamValue(50.0f));
    mtl->Params()->SetValue(kStdGlossiness, 0, ParamValue(30.0f));
    mtl->Params()->SetValue(kStdSoften, 0, ParamValue(0.0f));
    scene.Add(Sphere(1, 96, 48), Matrix3::Translation({0, 0, -distance}), mtl);
    const Point3 toLight = Normalize({1, 1, 2});
    SceneLight sun = AddLight(scene, LightType::kDirectional, toLight * 10.0f, -toLight);
    auto frame = scene.Render();
    const float exponent = std::exp2(1.0f + 10.0f * 0.3f);
    const Point3 centre{0, 0, -distance};
    int compared = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const Point3 d = Normalize(
                {(x + 0.5f - size / 2.0f) / focal, -(y + 0.5f - size / 2.0f) / focal, -1.0f});
            const float b = DotProd(d, centre), c2 = DotProd(centre, centre) - b * b;
            if (c2 > 0.95f * 0.95f) continue;
            const Point3 n = Normalize(d * (b - std::sqrt(1.0f - c2)) - centre);
            const float nl = DotProd(n, toLight);
            const float nh = DotProd(n, Normalize(toLight - d));
            const float highlight = nl > 0 && nh > 0 ? 0.5f * std::pow(nh, exponent) : 0.0f;
            const BMM_Color_fl& p = frame->Pixel(x, y);
            EXPECT_NEAR(p.r, 0.6f * std::max(nl, 0.0f) + highlight, 0.025f) << x << ", " << y;
            EXPECT_NEAR(p.b, 0.4f * std::max(nl, 0.0f) + highlight, 0.025f) << x << ", " << y;
            ++compared;
        }
    }
    EXPECT_GT(compared, 800);
}

TEST(ShadeRendererHost, SpotConeEdgeLiesWhereHotspotAndFalloffPutIt) {
    // A spot 10 units in front of a wall seen head-on in parallel, shining straight at it:
    // full light (N.L only) within tan(hotspot / 2) * 10 of the centre, none past
    // tan(falloff / 2) * 10.
    const float ppu = 8.0f, h = 10.0f;
    TestScene scene(120, 120, 1);
    scene.MakeParallel(ppu);
    OneCentredSample(scene);
    scene.Add(Plane(20), Matrix3::Translation({0, 0, -20}), Standard({1, 1, 1}));
    SceneLight spot = AddLight(scene, LightType::kSpot, {0, 0, -20 + h}, {0, 0, -1});
    spot.light->SetHotspot(40.0f);
    spot.light->SetFallsize(60.0f);
    auto frame = scene.Render();
    const float rHot = h * std::tan(20.0f * kPi / 180), rFall = h * std::tan(30.0f * kPi / 180);
    int inside = 0, outside = 0;
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 120; ++x) {
            const float wx = (x + 0.5f - 60) / ppu, wy = -(y + 0.5f - 60) / ppu;
            const float r = std::sqrt(wx * wx + wy * wy);
            const float v = frame->Pixel(x, y).g;
            if (r < rHot - 0.2f) {
                EXPECT_NEAR(v, h / std::sqrt(h * h + r * r), 1e-3f) << x << ", " << y;
                ++inside;
            } else if (r > rFall + 0.2f) {
                EXPECT_EQ(v, 0.0f) << x << ", " << y;
                ++outside;
            } else if (r > rHot + 0.2f && r < rFall - 0.2f) {
                EXPECT_GT(v, 0.0f);
                EXPECT_LT(v, h / std::sqrt(h * h + r * r));
            }
        }
    }
    EXPECT_GT(inside, 500);
    EXPECT_GT(outside, 500);
}

TEST(ShadeRendererHost, CheckerFloorAtAGrazingAngleTurnsGrey) {
    // A self-illuminated floor with a fine black and white checker, seen nearly edge-on: far
    // away each pixel spans many cells and reads the mean grey, without aliasing patterns.
    TestScene scene(120, 60, 100);
    RefPtr<StdMtl> floor = Standard({1, 1, 1});
    floor->Params()->SetValue(kStdSelfIllum, 0, ParamValue(100.0f));
    RefPtr<Texmap> checker(dynamic_cast<Texmap*>(CheckerClassDesc().Create(false)));
    auto* uv = dynamic_cast<Checker*>(checker.get())->GetUVGen();
    uv->Params()->SetValue(kUTiling, 0, ParamValue(400.0f));
    uv->Params()->SetValue(kVTiling, 0, ParamValue(400.0f));
    floor->Params()->SetValue(kStdDiffuseMap, 0, ParamValue(checker.get()));
    // 400 units square, the eye 1 unit above it.
    scene.Add(Plane(200), Matrix3::RotationX(-kPi / 2) * Matrix3::Translation({0, -1, -200}),
              floor);
    auto frame = scene.Render();
    // Rows just below the horizon (y = 30) look at the floor tens of units away.
    double sum = 0, sumSq = 0;
    int count = 0;
    for (int y = 31; y < 36; ++y) {
        for (int x = 0; x < 120; ++x) {
            const float v = frame->Pixel(x, y).r;
            sum += v;
            sumSq += double(v) * v;
            ++count;
        }
    }
    const double mean = sum / count, deviation = std::sqrt(sumSq / count - mean * mean);
    EXPECT_NEAR(mean, 0.5, 0.05);
    EXPECT_LT(deviation, 0.05);
}

TEST(ShadeRendererHost, MultiMaterialShadesEachFaceWithTheSubMaterialOfItsId) {
    TestScene scene(40, 40, 1);
    scene.MakeParallel(10);
    OneCentredSample(scene);
    RefPtr<MultiMtl> multi(dynamic_cast<MultiMtl*>(MultiMtlClassDesc().Create(false)));
    multi->SetNumSubMtls(2);
    RefPtr<StdMtl> green = Standard({0, 1, 0}), red = Standard({1, 0, 0});
    for (StdMtl* m : {green.get(), red.get()})
        m->Params()->SetValue(kStdSelfIllum, 0, ParamValue(100.0f));
    multi->SetSubMtl(0, green.get());
    multi->SetSubMtlID(0, 1);
    multi->SetSubMtl(1, red.get());
    multi->SetSubMtlID(1, 0);
    scene.Add(Plane(1), Matrix3::Translation({0, 0, -5}), multi);
    auto frame = scene.Render();
    // Face 0 (ID 0, lower right of the diagonal) is red; face 1 (ID 1) green.
    EXPECT_EQ(frame->Pixel(28, 28).r, 1.0f);
    EXPECT_EQ(frame->Pixel(28, 28).g, 0.0f);
    EXPECT_EQ(frame->Pixel(12, 12).g, 1.0f);
    EXPECT_EQ(frame->Pixel(12, 12).r, 0.0f);
}

TEST(ShadeRendererHost, FrameRendererShadesThroughTheHookOnlyWhileShadingIsOn) {
    Scene scene;
    auto mesh = Plane(0.5f);
    RefPtr<INode> node(new INode);
    node->SetObjectRef(new TriObject(Mesh(*mesh)));
    node->SetMtl(Standard({1, 0, 0}).get());
    scene.GetRootNode()->AttachChild(node.get());
    RenderSetup setup;
    setup.settings.width = 16;
    setup.settings.height = 16;
    setup.settings.background = {0, 0, 1, 1};
    RefPtr<INode> camera(new INode);
    camera->SetPosition(0, {0, 0, 3}, false);
    setup.camera = camera;
    FrameRenderer frames(scene, setup);
    auto renderer = std::make_shared<ShadeRenderer>();
    AttachShadeRenderer(frames, renderer);
    Bitmap frame(16, 16);
    ASSERT_TRUE(frames.RenderFrame(0, frame, nullptr));
    EXPECT_EQ(frame.Pixel(8, 8), (BMM_Color_fl{0, 0, 1, 1}));
    setup.shading.enabled = true;
    ASSERT_TRUE(frames.RenderFrame(0, frame, nullptr));
    EXPECT_GT(renderer->Stats().shadedSamples, 0);
    EXPECT_NE(frame.Pixel(8, 8), (BMM_Color_fl{0, 0, 1, 1}));
    EXPECT_EQ(frame.Pixel(0, 0), (BMM_Color_fl{0, 0, 1, 1}));
}

}  // namespace
}  // namespace KvrnHost
