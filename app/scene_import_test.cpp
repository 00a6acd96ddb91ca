#include "scene_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "obj_reader.h"
#include "reader_text.h"
#include "scene_objects.h"
#include "test_util.h"
#include "thread_manager.h"

namespace KvrnApp {
namespace {

using KvrnLib::Point3;

std::string ImportErrorOf(const std::string& path) {
    try {
        ImportScene(path);
    } catch (const InputError& e) {
        return e.what();
    }
    return "no error";
}

Point3 WorldVertex(const PolyMesh& mesh, int index) {
    return mesh.objToWorld.PointTransform(mesh.vertices.at(index));
}

void ExpectNear(Point3 a, Point3 b) {
    EXPECT_NEAR(a.x, b.x, 1e-6);
    EXPECT_NEAR(a.y, b.y, 1e-6);
    EXPECT_NEAR(a.z, b.z, 1e-6);
}

TEST(SceneImport, YUpFormatsTurnToZUp) {
    ExpectNear(YUpToZUp().PointTransform({1, 2, 3}), {1, -3, 2});
    EXPECT_EQ(YUpToZUp().Determinant(), 1.0);  // a rotation, not a mirror
    for (const char* path : {"a.obj", "b.GLTF", "d.fbx"}) EXPECT_TRUE(IsYUpFormat(path)) << path;
    for (const char* path : {"a.ply", "b.stl"}) EXPECT_FALSE(IsYUpFormat(path)) << path;
}

// Distinct positions of the file's `v` lines, counted from the text itself.
size_t DistinctObjPositions(const std::string& path) {
    std::ifstream in(path);
    std::set<std::array<float, 3>> positions;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        std::array<float, 3> p{};
        if (fields >> key && key == "v" && fields >> p[0] >> p[1] >> p[2]) {
            for (float& c : p) c = c == 0.0f ? 0.0f : c;  // -0 is 0
            positions.insert(p);
        }
    }
    return positions.size();
}

TEST(SceneImport, PublicModelsKeepTheirFacesAndJoinOnlyEqualPositions) {
    if (test::ModelPath("").empty()) GTEST_SKIP() << "models folder missing";
    struct Model {
        const char* file;
        size_t faces;
        int explicitNormals;
    };
    for (const Model& m : {Model{"stanford-bunny.obj", 69451, 0},
                           {"teapot.obj", 6320, 0},
                           {"suzanne.obj", 500, 1}}) {
        const std::string path = test::ModelPath(m.file);
        const std::vector<PolyMesh> meshes = ImportScene(path).meshes;
        ASSERT_EQ(meshes.size(), 1u) << m.file;
        EXPECT_EQ(meshes[0].vertices.size(), DistinctObjPositions(path)) << m.file;
        EXPECT_EQ(meshes[0].PolygonCount(), m.faces) << m.file;
        const Triangulation t = Triangulate(meshes[0]);
        EXPECT_GE(t.object->faces.size() + size_t(t.droppedPolygons), m.faces) << m.file;
        EXPECT_EQ(t.object->explicitNormals, m.explicitNormals) << m.file;
    }
}

TEST(SceneImport, ObjObjectsMaterialsNormalsAndRelativeIndices) {
    const test::TempDir dir;
    const std::string path = dir.Write("two.obj",
                                       "mtllib none.mtl\n"
                                       "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 2\n"
                                       "o first\nusemtl red\nf 1//1 2//1 3//1 4//1\n"
                                       "o second\r\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
                                       "usemtl blue\nf -4 -3 -2\nusemtl red\nf 5 7 \\\n 8\n"
                                       "l 1 2\np 3\n");
    const std::vector<PolyMesh> meshes = ImportScene(path).meshes;
    ASSERT_EQ(meshes.size(), 2u);
    EXPECT_EQ(meshes[0].name, "first");
    const PackedPolygons& first = meshes[0].packed;
    ASSERT_EQ(first.Count(), 1u);
    EXPECT_TRUE(std::ranges::equal(first.Corners(0), std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_TRUE(meshes[0].HasCornerNormals());
    EXPECT_EQ(first.normals[2], (Point3{0, 0, 1}));
    EXPECT_EQ(meshes[1].name, "second");
    const PackedPolygons& second = meshes[1].packed;
    ASSERT_EQ(second.Count(), 2u);
    EXPECT_TRUE(std::ranges::equal(second.Corners(0), std::vector<int32_t>{0, 1, 2}));
    EXPECT_TRUE(std::ranges::equal(second.Corners(1), std::vector<int32_t>{0, 2, 3}));
    EXPECT_EQ(first.materialIDs[0], 0);
    EXPECT_EQ(second.materialIDs[0], 1);
    EXPECT_EQ(second.materialIDs[1], 0);
    EXPECT_FALSE(meshes[1].HasCornerNormals());
    ExpectNear(WorldVertex(meshes[1], 2), {1, -1, 1});
}

TEST(SceneImport, GltfIsTurnedAndPlyIsNot) {
    const test::TempDir dir;
    // One triangle (0,0,0), (1,0,0), (0,2,3) in a node moved by (0,0,5), Y up.
    const std::string gltf =
        dir.Write("tri.gltf",
                  R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
            "nodes":[{"mesh":0,"name":"tri","translation":[0,0,5]}],
            "meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],
            "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",
                          "min":[0,0,0],"max":[1,2,3]}],
            "bufferViews":[{"buffer":0,"byteLength":36}],
            "buffers":[{"byteLength":36,"uri":"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAAEAAAEBA"}]})");
    const std::vector<PolyMesh> tri = ImportScene(gltf).meshes;
    ASSERT_EQ(tri.size(), 1u);
    ASSERT_EQ(tri[0].polygons.size(), 1u);
    bool found = false;
    for (int v = 0; v < 3; ++v) {
        if (tri[0].vertices[v] == Point3{0, 2, 3}) {
            ExpectNear(WorldVertex(tri[0], v), {0, -8, 2});
            found = true;
        }
    }
    EXPECT_TRUE(found);

    const std::string ply = dir.Write("quad.ply",
                                      "ply\nformat ascii 1.0\nelement vertex 4\n"
                                      "property float x\nproperty float y\nproperty float z\n"
                                      "element face 1\nproperty list uchar int vertex_indices\n"
                                      "end_header\n0 0 1\n2 0 1\n2 3 1\n0 3 1\n4 0 1 2 3\n");
    const std::vector<PolyMesh> quad = ImportScene(ply).meshes;
    ASSERT_EQ(quad.size(), 1u);
    EXPECT_EQ(quad[0].packed.Size(0), 4u);  // not triangulated by the reader
    for (int v = 0; v < 4; ++v) EXPECT_EQ(WorldVertex(quad[0], v).z, 1.0f);
}

TEST(SceneImport, BadFilesNameTheFileAndTheReason) {
    const test::TempDir dir;
    auto expectError = [](const std::string& path, const std::string& reason) {
        const std::string message = ImportErrorOf(path);
        EXPECT_EQ(message.rfind(path, 0), 0u) << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
    };
    expectError((dir.Path() / "missing.obj").string(), "no such file");
    expectError(dir.Path().string(), "is a directory");
    expectError(dir.Write("model.xyz", "v 0 0 0\n"), "unsupported file type '.xyz'");
    expectError(dir.Write("empty.obj", ""), "no polygons");
    expectError(dir.Write("garbage.obj", std::string("\x01\x7f\xff garbage\0\n", 14)),
                "no polygons");
    expectError(dir.Write("range.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n\nf 1 2 9\n"),
                ":5: vertex index 9 is out of range");
    expectError(dir.Write("zero.obj", "v 0 0 0\nf 0 1 2\n"), ":2: vertex index 0 is invalid");
    expectError(dir.Write("number.obj", "v 0 x 0\n"), ":1: expected a number, got 'x'");
    expectError(dir.Write("normal.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//2 3//1\n"),
                ":5: normal index 2 is out of range");
    const std::string garbagePly = dir.Write("garbage.ply", "this is not a model\n");
    const std::string message = ImportErrorOf(garbagePly);
    EXPECT_EQ(message.rfind(garbagePly + ": ", 0), 0u) << message;
    EXPECT_GT(message.size(), garbagePly.size() + 2) << "assimp's reason is missing";
}

// Plain decimals read in place come out as std::from_chars reads them, to the bit; the rest is
// left to it. Among them: floats as writers print them, random digit strings, and decimals next to
// a tie between two floats, where rounding to double first would round the wrong way.
TEST(SceneImport, PlainDecimalsReadAsFromCharsReadsThem) {
    std::vector<std::string> texts = {"0",
                                      "-0",
                                      "0.000",
                                      "-1.5",
                                      "1e22",
                                      "1e23",
                                      "007",
                                      "1.",
                                      ".5",
                                      "+1",
                                      "1e",
                                      "1e+",
                                      "inf",
                                      "nan",
                                      "0x10",
                                      "3.4e38",
                                      "1e-38",
                                      "2.5E-22",
                                      "1E5",
                                      "-0e9",
                                      "16777217",
                                      "16777217.000000001",
                                      "16777216.999999999",
                                      "12345678901234567890"};
    std::mt19937_64 random(7);
    char text[64];
    for (int i = 0; i < 100000; ++i) {
        const float scale = std::pow(10.0f, float(int(random() % 10) - 6));
        const float value = float(int64_t(random() % 2000001) - 1000000) * 1e-3f * scale;
        const char* formats[] = {"%.9g", "%.6f", "%.17g", "%.3e"};
        std::snprintf(text, sizeof text, formats[i % 4], double(value));
        texts.push_back(text);
        const uint64_t digits = random() % 10000000000000000000ull;
        std::snprintf(text, sizeof text, "%llu.%llue%d", (unsigned long long)(digits / 1000000),
                      (unsigned long long)(digits % 1000000), int(random() % 61) - 30);
        texts.push_back(text);
    }
    size_t readInPlace = 0;
    for (const std::string& t : texts) {
        const char* const end = t.data() + t.size();
        float expected = 0, value = 0;
        const auto [ptr, ec] = std::from_chars(t.data(), end, expected);
        const char* const after = ReadPlainFloat(t.data(), end, &value);
        if (!after) continue;
        ++readInPlace;
        ASSERT_EQ(ec, std::errc()) << t;
        ASSERT_EQ(after, ptr) << t;
        ASSERT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(expected)) << t;
    }
    EXPECT_GT(readInPlace, texts.size() / 3);
}

// What the OBJ reader made of a text, or its error.
struct ObjOutcome {
    std::vector<PolyMesh> meshes;
    ObjMaterialRefs refs;
    std::string error;
};

ObjOutcome ReadObjText(std::string_view text, KvrnLib::ThreadManager* pool) {
    ObjOutcome outcome;
    try {
        outcome.meshes = ReadObjOnPool("t.obj", text, nullptr, pool, &outcome.refs);
    } catch (const InputError& e) {
        outcome.error = e.what();
    }
    return outcome;
}

void ExpectSameOutcome(const ObjOutcome& a, const ObjOutcome& b) {
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.refs.names, b.refs.names);
    EXPECT_EQ(a.refs.libraries, b.refs.libraries);
    ASSERT_EQ(a.meshes.size(), b.meshes.size());
    for (size_t m = 0; m < a.meshes.size(); ++m) {
        const PolyMesh &x = a.meshes[m], &y = b.meshes[m];
        EXPECT_EQ(x.name, y.name);
        EXPECT_EQ(x.vertices, y.vertices);
        EXPECT_EQ(x.mapVertices, y.mapVertices);
        EXPECT_EQ(x.packed.start, y.packed.start);
        EXPECT_EQ(x.packed.vertices, y.packed.vertices);
        EXPECT_EQ(x.packed.materialIDs, y.packed.materialIDs);
        EXPECT_EQ(x.packed.normals, y.packed.normals);
        EXPECT_EQ(x.packed.mapCorners, y.packed.mapCorners);
    }
}

// Large texts are read in two parts at once. Whichever line of an awkward stretch the split
// falls after (objects, materials, relative and forward indices, normals and texture coordinates
// in one part only, a continued line), the meshes are those of one parser, and so is the first
// error, with its line.
TEST(SceneImport, ObjReadInTwoPartsAsInOne) {
    // Plain vertices and faces around it, over the size read in two parts, and padding at the end
    // to put the split where wanted.
    std::string before = "o first\n", after;
    for (int i = 0; i < 24000; ++i)
        before += "v " + std::to_string(i % 977) + " 0.5 " + std::to_string(i) + "\n";
    for (int i = 0; i + 2 < 24000; i += 2) {
        before += "f " + std::to_string(i + 1) + " " + std::to_string(i + 2) + " " +
                  std::to_string(i + 3) + "\n";
    }
    for (int i = 0; i < 8000; ++i) after += "v 1.25 " + std::to_string(i) + " -3\n";
    for (int i = 0; i < 8000; ++i) after += "f -1 -2 -3\n";
    const std::string awkward =
        "usemtl red\n"
        "mtllib a.mtl\n"
        "v 0 0 0\n"
        "vt 0.25 0.75\n"
        "f -1/1 -2/1 -3/1\n"
        "o second\n"
        "vn 0 0 2\n"
        "f 1//1 2//1 3//1 \\\n"
        " 4//1\n"
        "usemtl blue\n"
        "mtllib b.mtl\n"
        "f 5 6 30000\n"
        "v 1 1 1\n"
        "usemtl red\n"
        "o third\n"
        "f -1 -2 -3\n"
        "g ignored\n";
    const std::vector<std::string> breaks = {"", "v 0 x 0\n", "f 1 2 300000000\n"};
    KvrnLib::ThreadManagerCore pool(2);
    for (const std::string& broken : breaks) {
        for (size_t line = 0; line < awkward.size(); line = awkward.find('\n', line) + 1) {
            SCOPED_TRACE(testing::Message() << "split after the line at " << line << " of the "
                                            << (broken.empty() ? "good" : broken) << " text");
            // The split comes after the line holding the middle byte.
            const std::string middle = awkward + broken;
            const size_t padding = before.size() + 2 * line - middle.size() - after.size();
            ASSERT_LT(padding, before.size());
            const std::string text = before + middle + after + "#" + std::string(padding, ' ');
            ASSERT_GE(text.size(), kObjPartsFromBytes);
            const ObjOutcome one = ReadObjText(text, nullptr);
            ExpectSameOutcome(ReadObjText(text, &pool), one);
            EXPECT_EQ(one.error.empty(), broken.empty()) << one.error;
        }
    }
}

// A file placed several times is read once; every placement owns an object of its own (the last
// one takes the object read, the others copies), placed by its own transform.
TEST(SceneImport, AFilePlacedThriceGivesThreeObjectsOfOneRead) {
    const test::TempDir dir;
    const std::string path = dir.Write("tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    SceneDescription scene;
    for (int i = 0; i < 3; ++i) {
        ObjectDesc& object = scene.objects.emplace_back();
        object.name = "t" + std::to_string(i);
        object.file = path;
        object.position = {float(10 * i), 0, 0};
    }
    const SceneObjects loaded = LoadSceneObjects(scene, {.threads = 2});
    ASSERT_EQ(loaded.objects.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const KvrnLib::RenderObject& object = *loaded.objects[size_t(i)];
        EXPECT_EQ(object.name, "t" + std::to_string(i));
        ASSERT_EQ(object.faces.size(), 1u);
        EXPECT_EQ(object.objToWorld.PointTransform(object.vertices[1]).x, float(10 * i + 1));
        for (int j = 0; j < i; ++j) EXPECT_NE(&object, loaded.objects[size_t(j)].get());
    }
}

// Camera and light frames lose the scale and shear of the nodes above them, keep their view
// direction and position, and turn up as little as they must.
TEST(SceneImport, RigidFramesKeepTheViewAndDropScaleAndShear) {
    KvrnLib::Matrix3 m;
    m.row[0] = {3, 0, 0};
    m.row[1] = {0.5f, 2, 0};  // sheared towards x
    m.row[2] = {0, 0, 4};
    m.row[3] = {1, 2, 3};
    const KvrnLib::Matrix3 r = RigidFrame(m);
    ExpectNear(r.row[2], {0, 0, 1});
    ExpectNear(r.row[3], {1, 2, 3});
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b)
            EXPECT_NEAR(KvrnLib::Dot(r.row[a], r.row[b]), a == b ? 1.0f : 0.0f, 1e-6f) << a << b;
    }
    // The sheared up is square to the view already: only its length goes.
    const float length = std::sqrt(4.25f);
    ExpectNear(r.row[1], {0.5f / length, 2 / length, 0});
    EXPECT_GT(KvrnLib::Dot(KvrnLib::Cross(r.row[0], r.row[1]), r.row[2]), 0.99f) << "right-handed";
    // Up along the view still gives a frame.
    m.row[1] = {0, 0, 1};
    const KvrnLib::Matrix3 along = RigidFrame(m);
    EXPECT_NEAR(KvrnLib::Dot(along.row[0], along.row[2]), 0.0f, 1e-6f);
    EXPECT_NEAR(KvrnLib::Dot(along.row[0], along.row[0]), 1.0f, 1e-6f);
}

}  // namespace
}  // namespace KvrnApp
