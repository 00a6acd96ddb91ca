#include "assimp_import.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_util.h"

namespace KvrnApp {
namespace {

// Two nodes over one mesh: a triangle with normals and texture coordinates, its material
// double-sided, and a child node moved by (0, 0, 5).
const char* const kTwoNodeGltf = R"({"asset":{"version":"2.0"},"scene":0,
  "scenes":[{"nodes":[0]}],
  "nodes":[{"mesh":0,"name":"parent","children":[1]},
           {"mesh":0,"name":"child","translation":[0,0,5]}],
  "materials":[{"doubleSided":true}],
  "meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1,"TEXCOORD_0":2},
                            "material":0}]}],
  "accessors":[
    {"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0]},
    {"bufferView":1,"componentType":5126,"count":3,"type":"VEC3"},
    {"bufferView":2,"componentType":5126,"count":3,"type":"VEC2"}],
  "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},
                 {"buffer":0,"byteOffset":36,"byteLength":36},
                 {"buffer":0,"byteOffset":72,"byteLength":24}],
  "buffers":[{"byteLength":96,"uri":"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/"}]})";

TEST(AssimpImport, TheChildReportsExactlyWhatAnInProcessReadGives) {
    const test::TempDir dir;
    const std::string path = dir.Write("two.gltf", kTwoNodeGltf);
    const std::vector<PolyMesh> direct = ReadWithAssimp(path);
    const std::vector<PolyMesh> contained = ReadWithAssimpContained(path, {});
    ASSERT_EQ(direct.size(), 2u);
    ASSERT_EQ(contained.size(), direct.size());
    for (size_t m = 0; m < direct.size(); ++m) {
        const PolyMesh &a = direct[m], &b = contained[m];
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(b.source, path);
        EXPECT_EQ(a.vertices.size(), b.vertices.size());
        for (size_t v = 0; v < a.vertices.size(); ++v) EXPECT_EQ(a.vertices[v], b.vertices[v]);
        EXPECT_EQ(a.objToWorld.PointTransform({1, 2, 3}), b.objToWorld.PointTransform({1, 2, 3}));
        ASSERT_EQ(a.polygons.size(), 1u);
        ASSERT_EQ(b.polygons.size(), 1u);
        const Polygon &pa = a.polygons[0], &pb = b.polygons[0];
        EXPECT_EQ(pa.vertices, pb.vertices);
        EXPECT_TRUE(pb.twoSided) << "the material is double-sided";
        ASSERT_EQ(pb.normals.size(), 3u);
        EXPECT_EQ(pb.normals[1], (KvrnLib::Point3{0, 0, 1}));
        EXPECT_EQ(pa.mapCorners[kTextureChannel], pb.mapCorners[kTextureChannel]);
        ASSERT_EQ(b.mapVertices[kTextureChannel].size(), 3u);
        EXPECT_EQ(b.mapVertices[kTextureChannel][1].x, 1.0f);
        EXPECT_TRUE(b.mapVertices[kColorChannel].empty());
    }
    EXPECT_EQ(contained[1].objToWorld.PointTransform({0, 0, 0}), (KvrnLib::Point3{0, 0, 5}));
}

// Files that crash or hang the third-party PLY reader, which only the contained read meets now
// (PLY has a reader of our own): they stand for any file that breaks a third-party reader.
const std::string kCrashingPly("ply\nformat binary_\n\0", 20);
const std::string kHangingPly = "ply\nformat ascii 1.0\n";

std::string ContainedError(const std::string& path, const ReaderLimits& limits) {
    try {
        ReadWithAssimpContained(path, limits);
    } catch (const InputError& e) {
        return e.what();
    }
    return "no error";
}

TEST(AssimpImport, ACrashOrAHangInTheReaderBecomesAnErrorNamingTheFile) {
    const test::TempDir dir;
    const std::string crashing = dir.Write("crash.ply", kCrashingPly);
    const std::string crash = ContainedError(crashing, {});
    EXPECT_EQ(crash.rfind(crashing + ": the model reader crashed", 0), 0u) << crash;

    const std::string hanging = dir.Write("hang.ply", kHangingPly);
    ReaderLimits limits;
    limits.timeoutSeconds = 0.3;
    const std::string hang = ContainedError(hanging, limits);
    EXPECT_EQ(hang.rfind(hanging + ": the model reader did not finish within 0.3 s", 0), 0u)
        << hang;

    const std::string garbage = dir.Write("garbage.glb", "not a model at all");
    const std::string message = ContainedError(garbage, {});
    EXPECT_EQ(message.rfind(garbage + ": ", 0), 0u) << message;
    EXPECT_EQ(message.find("crashed"), std::string::npos) << message;
}

// A glTF triangle soup of `triangles` triangles, all at the origin: big enough to need memory.
std::string SoupGltf(const test::TempDir& dir, int triangles) {
    const std::string zeros((size_t(triangles) * 36 + 2) / 3 * 4, 'A');
    return dir.Write("soup.gltf",
                     R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
  "nodes":[{"mesh":0}],"meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],
  "accessors":[{"bufferView":0,"componentType":5126,"count":)" +
                         std::to_string(3 * triangles) +
                         R"(,"type":"VEC3","min":[0,0,0],"max":[0,0,0]}],
  "bufferViews":[{"buffer":0,"byteLength":)" +
                         std::to_string(36 * triangles) + R"(}],
  "buffers":[{"byteLength":)" +
                         std::to_string(36 * triangles) +
                         R"(,"uri":"data:application/octet-stream;base64,)" + zeros + R"("}]})");
}

TEST(AssimpImport, RunningOutOfMemoryInTheReaderIsAnError) {
    const test::TempDir dir;
    const std::string soup = SoupGltf(dir, 100000);
    ReaderLimits limits;
    limits.memoryBytes = 8 << 20;
    const std::string message = ContainedError(soup, limits);
    EXPECT_EQ(message, soup + ": the model reader ran out of memory (limit 8 MB)");
    EXPECT_EQ(ReadWithAssimpContained(soup, {}).at(0).polygons.size(), 100000u);
}

TEST(AssimpImport, AnInterruptStopsAHangingReader) {
    const test::TempDir dir;
    const std::string hanging = dir.Write("hang.ply", kHangingPly);
    volatile std::sig_atomic_t flag = 0;
    ReaderLimits limits;
    limits.timeoutSeconds = 60;  // a broken interrupt shows as the timeout's error, not a stall
    limits.interrupt = &flag;
    std::thread setter([&flag] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        flag = 1;
    });
    EXPECT_THROW(ReadWithAssimpContained(hanging, limits), ImportInterrupted);
    setter.join();
}

}  // namespace
}  // namespace KvrnApp
