#include "occlusion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <latch>
#include <random>
#include <thread>

#include "render_object_info.h"
#include "test_util.h"
#include "thread_manager.h"

namespace KvrnLib {
namespace {

using test::LookAtCamera;
using test::MakeBox;
using test::MakeSphere;

struct RejectObject : OccluderFilter {
    explicit RejectObject(int o) : object(o) {}
    bool AcceptObject(int o) const override { return o != object; }
    bool Accept(int o, int) const override { return o != object; }
    int object;
};

// Face filter only, so the per-face path is exercised without the object pre-check.
struct RejectFacesOf : OccluderFilter {
    explicit RejectFacesOf(int o) : object(o) {}
    bool Accept(int o, int) const override { return o != object; }
    int object;
};

Point3 ToCamera(const Camera& camera, Point3 world) {
    return camera.worldToCam.PointTransform(world);
}

// Camera on -y looking at the origin; world box [-1, 1]^3 is object 0.
struct BoxScene {
    Camera camera = LookAtCamera({0, -10, 0}, {0, 0, 0}, 640, 480, 800);
    Scene scene{camera, {MakeBox({-1, -1, -1}, {1, 1, 1}, camera)}};
};

TEST(Occlusion, BoxHidesWhatLiesBehindIt) {
    BoxScene s;
    const OcclusionScene occlusion(s.scene);
    ASSERT_EQ(occlusion.GroupCount(), 1);
    EXPECT_EQ(occlusion.TriangleCount(), 12);

    // The crossed faces' parameters are checked against brute force below.
    OccluderHit hit;
    int hint = -1;
    const Point3 behind = ToCamera(s.camera, {0.1f, 3, 0.2f});
    ASSERT_TRUE(occlusion.FindOccluder(behind, nullptr, &hint, &hit));
    EXPECT_EQ(hint, 0);

    // In front of the box, beside it, and points on its visible side: exactly on the face, and
    // pulled towards the viewer as the caller does.
    EXPECT_FALSE(occlusion.FindOccluder(ToCamera(s.camera, {3, 3, 0}), nullptr, nullptr, nullptr));
    const Point3 onFront = ToCamera(s.camera, {0.3f, -1, 0.2f});
    EXPECT_FALSE(occlusion.FindOccluder(onFront, nullptr, nullptr, nullptr));
    EXPECT_FALSE(occlusion.FindOccluder(onFront * (1.0f - 1e-5f), nullptr, nullptr, nullptr));
    // On the far side the front face still hides it.
    EXPECT_TRUE(
        occlusion.FindOccluder(ToCamera(s.camera, {0.3f, 1, 0.2f}), nullptr, nullptr, &hit));
    EXPECT_TRUE(hit.face == 4 || hit.face == 5) << hit.face;

    // Skipping the box, by object or face by face, makes the hidden sample visible.
    const RejectObject rejectObject(0);
    const RejectFacesOf rejectFaces(0);
    EXPECT_FALSE(occlusion.FindOccluder(behind, &rejectObject, &hint, nullptr));
    EXPECT_FALSE(occlusion.FindOccluder(behind, &rejectFaces, &hint, nullptr));
    const RejectObject rejectOther(1);
    EXPECT_TRUE(occlusion.FindOccluder(behind, &rejectOther, &hint, nullptr));
}

// Segment origin -> sample against one triangle (Moeller-Trumbore in double). Returns the
// viewer-side parameter in (0, 1) or -1; *margin gets the smallest barycentric coordinate.
double CrossSegment(Point3 sample, Point3 a, Point3 b, Point3 c, double* margin) {
    const double e1[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
    const double e2[3] = {double(c.x) - a.x, double(c.y) - a.y, double(c.z) - a.z};
    const double d[3] = {sample.x, sample.y, sample.z};
    const double p[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2],
                         d[0] * e2[1] - d[1] * e2[0]};
    const double det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
    *margin = 1.0;
    if (std::fabs(det) < 1e-300) return -1.0;
    const double s[3] = {-double(a.x), -double(a.y), -double(a.z)};
    const double u = (s[0] * p[0] + s[1] * p[1] + s[2] * p[2]) / det;
    const double q[3] = {s[1] * e1[2] - s[2] * e1[1], s[2] * e1[0] - s[0] * e1[2],
                         s[0] * e1[1] - s[1] * e1[0]};
    const double v = (d[0] * q[0] + d[1] * q[1] + d[2] * q[2]) / det;
    const double t = (e2[0] * q[0] + e2[1] * q[1] + e2[2] * q[2]) / det;
    if (t <= 0.0 || t >= 1.0) return -1.0;
    *margin = std::min({u, v, 1.0 - u - v});
    return *margin >= 0.0 ? t : -1.0;
}

struct BruteResult {
    bool skip = false;  // a crossing lies too close to an edge or to the sample to call
    bool hidden = false;
    double nearest = 2.0;
    int object = -1, face = -1;
};

BruteResult BruteForce(const Scene& scene, Point3 sample) {
    BruteResult r;
    for (int o = 0; o < scene.ObjectCount(); ++o) {
        const RenderObjectInfoEx& info = scene.Info(o);
        const std::vector<Point3>& cam = info.CameraVertices();
        const std::vector<FaceRecord>& faces = scene.Object(o).faces;
        for (size_t f = 0; f < faces.size(); ++f) {
            if (IsFacingUnusable(info.FacingBytes()[f])) continue;
            double margin = 1.0;
            const double t =
                CrossSegment(sample, cam[size_t(faces[f].vertexA)], cam[size_t(faces[f].vertexB)],
                             cam[size_t(faces[f].vertexC)], &margin);
            if (std::fabs(margin) < 1e-4) r.skip = true;
            if (t < 0.0) continue;
            if (t > 1.0 - 1e-4) r.skip = true;
            r.hidden = true;
            if (t < r.nearest) {
                r.nearest = t;
                r.object = o;
                r.face = int(f);
            }
        }
    }
    return r;
}

// Sphere and a box that pokes into it, seen slightly from above.
struct MixedScene {
    Camera camera = LookAtCamera({3, -9, 4}, {0, 0, 0}, 640, 480, 800);
    Scene scene{camera,
                {MakeSphere({0, 0, 0}, 2, 48, 24, camera), MakeBox({1, -3, -1}, {3, 1, 0}, camera),
                 MakeBox({-4, 2, -2}, {4, 3, 2}, camera)}};
};

std::vector<Point3> RandomSamples(const Camera& camera, int count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-4.5f, 4.5f);
    std::vector<Point3> samples;
    for (int i = 0; i < count; ++i)
        samples.push_back(
            ToCamera(camera, {coordinate(random), coordinate(random), coordinate(random)}));
    return samples;
}

TEST(Occlusion, RandomSamplesAgreeWithBruteForce) {
    const MixedScene s;
    const OcclusionScene occlusion(s.scene);
    int compared = 0, hiddenCount = 0;
    int hint = -1;
    for (const Point3& sample : RandomSamples(s.camera, 20000, 7)) {
        const BruteResult expected = BruteForce(s.scene, sample);
        if (expected.skip) continue;
        ++compared;
        hiddenCount += expected.hidden;
        OccluderHit hit;
        const bool hidden = occlusion.FindOccluder(sample, nullptr, nullptr, &hit);
        ASSERT_EQ(hidden, expected.hidden) << sample.x << " " << sample.y << " " << sample.z;
        OccluderHit hinted;
        ASSERT_EQ(occlusion.FindOccluder(sample, nullptr, &hint, &hinted), expected.hidden);
        if (hidden) {
            // The reported face really crosses the segment, at the reported parameter.
            const Scene& sc = s.scene;
            const std::vector<Point3>& cam = sc.Info(hit.object).CameraVertices();
            const FaceRecord& f = sc.Object(hit.object).faces[size_t(hit.face)];
            double margin = 0.0;
            const double t = CrossSegment(sample, cam[size_t(f.vertexA)], cam[size_t(f.vertexB)],
                                          cam[size_t(f.vertexC)], &margin);
            ASSERT_GT(t, 0.0);
            EXPECT_NEAR(hit.t, t, 1e-4);
            EXPECT_EQ(occlusion.Group(hint).object, hinted.object);
        }
        OccluderHit nearest;
        ASSERT_EQ(occlusion.ClosestHit({0, 0, 0}, sample, 1.0f, nullptr, &nearest),
                  expected.hidden);
        if (expected.hidden) {
            EXPECT_NEAR(nearest.t, expected.nearest, 1e-5);
            EXPECT_EQ(nearest.object, expected.object);
            EXPECT_EQ(nearest.face, expected.face);
        }
    }
    // Enough samples were decided, and both answers occur often.
    EXPECT_GT(compared, 19000);
    EXPECT_GT(hiddenCount, 2000);
    EXPECT_LT(hiddenCount, compared - 2000);
}

TEST(Occlusion, CopiesOfFacesAreLeftOutAndChangeNoAnswer) {
    const MixedScene plain;
    auto sphere = MakeSphere({0, 0, 0}, 2, 48, 24, plain.camera);
    const std::vector<FaceRecord> faces = sphere->faces;
    const auto turned = [&](int f, int turn) {
        FaceRecord r = faces[size_t(f)];
        r.vertexA = faces[size_t(f)].Vertex(turn);
        r.vertexB = faces[size_t(f)].Vertex((turn + 1) % 3);
        r.vertexC = faces[size_t(f)].Vertex((turn + 2) % 3);
        return r;
    };
    // Near copies that stay: turned the other way, or with another material.
    const auto reversed = [&](int f) {
        FaceRecord r = faces[size_t(f)];
        std::swap(r.vertexB, r.vertexC);
        return r;
    };
    const auto otherMaterial = [&](int f) {
        FaceRecord r = faces[size_t(f)];
        r.materialID = 3;
        return r;
    };
    std::vector<FaceCopy> expected;
    const auto add = [&](const FaceRecord& f, int original) {
        if (original >= 0) expected.push_back({int32_t(sphere->faces.size()), original});
        sphere->faces.push_back(f);
    };
    add(faces[4], 4);
    add(turned(5, 1), 5);
    add(faces[4], 4);  // a copy of a copy names the first face
    add(reversed(6), -1);
    add(otherMaterial(7), -1);
    // Face 8 over vertices of its own, as in an unwelded mesh.
    add(test::UnweldedCopy(*sphere, 8), 8);
    // A long run of one face's copies, near copies among them.
    for (int i = 0; i < 40; ++i) {
        add(turned(10, i % 3), 10);
        if (i == 10) add(reversed(10), -1);
        if (i == 20) add(otherMaterial(10), -1);
    }
    const int32_t kept = 4;
    const Scene copied(plain.camera, {sphere, plain.scene.ObjectPtr(1), plain.scene.ObjectPtr(2)});

    const OcclusionScene reference(plain.scene), occlusion(copied);
    const std::vector<FaceCopy>& copies = occlusion.FaceCopies(0);
    ASSERT_EQ(copies.size(), expected.size());
    std::vector<uint8_t> isCopy(sphere->faces.size(), 0);
    for (size_t i = 0; i < copies.size(); ++i) {
        EXPECT_EQ(copies[i].face, expected[i].face);
        EXPECT_EQ(copies[i].original, expected[i].original);
        isCopy[size_t(copies[i].face)] = 1;
    }
    EXPECT_TRUE(occlusion.FaceCopies(1).empty());
    EXPECT_EQ(occlusion.TriangleCount(), reference.TriangleCount() + kept);
    // The intersection search's face order leaves the same faces out.
    const std::vector<int32_t>& order = copied.Info(0).FaceBounds().order;
    EXPECT_EQ(order.size(), plain.scene.Info(0).FaceBounds().order.size() + size_t(kept));
    for (const int32_t f : order) EXPECT_EQ(isCopy[size_t(f)], 0) << f;

    int hiddenCount = 0;
    for (const Point3& sample : RandomSamples(plain.camera, 20000, 11)) {
        OccluderHit hit;
        const bool hidden = occlusion.FindOccluder(sample, nullptr, nullptr, &hit);
        ASSERT_EQ(hidden, reference.FindOccluder(sample, nullptr, nullptr, nullptr));
        hiddenCount += hidden;
        if (hidden && hit.object == 0) {
            EXPECT_EQ(isCopy[size_t(hit.face)], 0) << hit.face;
        }
    }
    EXPECT_GT(hiddenCount, 2000);
}

TEST(Occlusion, BuildIsTheSameOnAnyThreadCount) {
    const Camera camera = LookAtCamera({0, -10, 0}, {0, 0, 0}, 640, 480, 800);
    auto invalid = MakeBox({5, 5, 5}, {6, 6, 6}, camera);
    invalid->invalid = 1;
    // The big sphere (12096 faces) is split into subtrees built as separate items.
    const Scene scene(camera, {MakeSphere({0, 0, 0}, 2, 96, 64, camera), nullptr, invalid,
                               MakeBox({3, -1, -1}, {4, 1, 1}, camera)});
    const OcclusionScene serial(scene);
    ThreadManagerCore one(1), two(2), seven(7);
    const OcclusionScene onOne(scene, one), onTwo(scene, two), onSeven(scene, seven);
    for (const OcclusionScene* other : {&onOne, &onTwo, &onSeven}) {
        ASSERT_EQ(other->GroupCount(), serial.GroupCount());
        for (int o = 0; o < serial.ObjectCount(); ++o) {
            const std::vector<OcclusionNode>& a = serial.ObjectNodes(o);
            const std::vector<OcclusionNode>& b = other->ObjectNodes(o);
            ASSERT_EQ(a.size(), b.size());
            // memcmp must not see the null data() of an empty vector.
            if (!a.empty()) {
                EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(OcclusionNode)));
            }
        }
    }
    EXPECT_TRUE(serial.ObjectNodes(2).empty());  // the invalid box adds nothing
    EXPECT_EQ(serial.TriangleCount(), 12096 + 12);
    EXPECT_LT(double(serial.MemoryBytes()) / double(serial.TriangleCount()), 100.0);
}

TEST(OcclusionConcurrent, EightThreadsQueryAtOnce) {
    const MixedScene s;
    ThreadManagerCore pool(2);
    const OcclusionScene occlusion(s.scene, pool);
    const std::vector<Point3> samples = RandomSamples(s.camera, 2000, 11);
    // Per sample: hidden, and the face the closest hit names.
    std::vector<int> expected(2 * samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        OccluderHit hit;
        expected[2 * i] = occlusion.FindOccluder(samples[i], nullptr, nullptr, nullptr);
        occlusion.ClosestHit({0, 0, 0}, samples[i], 1.0f, nullptr, &hit);
        expected[2 * i + 1] = hit.face;
    }
    constexpr int kThreads = 8;
    std::vector<std::vector<int>> results(kThreads, std::vector<int>(expected.size()));
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            start.arrive_and_wait();
            int hint = -1;
            const RejectFacesOf filter(k % 2 ? 5 : 6);  // no such object: accepts all
            for (size_t i = 0; i < samples.size(); ++i) {
                results[size_t(k)][2 * i] =
                    occlusion.FindOccluder(samples[i], &filter, &hint, nullptr);
                OccluderHit hit;
                occlusion.ClosestHit({0, 0, 0}, samples[i], 1.0f, &filter, &hit);
                results[size_t(k)][2 * i + 1] = hit.face;
            }
        });
    for (std::thread& t : threads) t.join();
    for (int k = 0; k < kThreads; ++k) EXPECT_EQ(results[size_t(k)], expected) << "thread " << k;
}

}  // namespace
}  // namespace KvrnLib
