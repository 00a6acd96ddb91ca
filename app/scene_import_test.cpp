#include "scene_import.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <set>
#include <sstream>

#include "test_util.h"

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
        EXPECT_EQ(meshes[0].polygons.size(), m.faces) << m.file;
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
    ASSERT_EQ(meshes[0].polygons.size(), 1u);
    EXPECT_EQ(meshes[0].polygons[0].vertices, (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_TRUE(meshes[0].HasCornerNormals());
    EXPECT_EQ(meshes[0].polygons[0].normals[2], (Point3{0, 0, 1}));
    EXPECT_EQ(meshes[1].name, "second");
    ASSERT_EQ(meshes[1].polygons.size(), 2u);
    EXPECT_EQ(meshes[1].polygons[0].vertices, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(meshes[1].polygons[1].vertices, (std::vector<int32_t>{0, 2, 3}));
    EXPECT_EQ(meshes[0].polygons[0].materialID, 0);
    EXPECT_EQ(meshes[1].polygons[0].materialID, 1);
    EXPECT_EQ(meshes[1].polygons[1].materialID, 0);
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
    EXPECT_EQ(quad[0].polygons[0].vertices.size(), 4u);  // not triangulated by the reader
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

}  // namespace
}  // namespace KvrnApp
