// One mesh written in every format kovrin reads (by assimp's exporters, as other tools write
// them: split at seams, per-corner normals, triangles) must import to the same welded topology
// and draw the same lines as its OBJ.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <assimp/Exporter.hpp>
#include <cmath>
#include <filesystem>
#include <map>
#include <numbers>

#include "poly_mesh.h"
#include "scene_import.h"
#include "test_util.h"

namespace KvrnApp {
namespace {

namespace fs = std::filesystem;

// A 16-sided cylinder: a smooth side (22.5 degrees between facets, under the 30-degree crease
// rule), hard edges around the flat caps and a texture seam down one side, stored as exporters
// store it: one vertex per distinct (position, normal, texture coordinate).
std::unique_ptr<aiScene> Cylinder() {
    constexpr int kSides = 16;
    struct Corner {
        std::array<float, 8> data;  // position, normal, uv
        bool operator<(const Corner& o) const { return data < o.data; }
    };
    std::vector<Corner> corners;
    std::vector<std::vector<unsigned>> faces;
    std::map<Corner, unsigned> index;
    const auto add = [&](const Corner& c) {
        const auto [it, added] = index.emplace(c, unsigned(corners.size()));
        if (added) corners.push_back(c);
        return it->second;
    };
    const auto angle = [](int i) { return 2.0f * std::numbers::pi_v<float> * float(i) / kSides; };
    for (int i = 0; i < kSides; ++i) {
        std::vector<unsigned> side;
        for (const auto& [k, y] : {std::pair{i, -1.0f}, {i + 1, -1.0f}, {i + 1, 1.0f}, {i, 1.0f}}) {
            const float a = angle(k % kSides), c = std::cos(a), s = std::sin(a);
            // y up; the side faces outwards, counter-clockwise seen from outside.
            side.push_back(add({{c, y, -s, c, 0, -s, float(k) / kSides, (y + 1) / 2}}));
        }
        faces.push_back(side);
    }
    for (const float y : {-1.0f, 1.0f}) {
        std::vector<unsigned> cap;
        for (int i = 0; i < kSides; ++i) {
            const int k = y > 0 ? i : (kSides - i) % kSides;
            const float a = angle(k), c = std::cos(a), s = std::sin(a);
            cap.push_back(add({{c, y, -s, 0, y, 0, c * 0.5f + 0.5f, s * 0.5f + 0.5f}}));
        }
        faces.push_back(cap);
    }

    auto scene = std::make_unique<aiScene>();
    scene->mRootNode = new aiNode("root");
    scene->mRootNode->mNumMeshes = 1;
    scene->mRootNode->mMeshes = new unsigned[1]{0};
    scene->mNumMaterials = 1;
    scene->mMaterials = new aiMaterial* [1] { new aiMaterial() };
    scene->mNumMeshes = 1;
    aiMesh* mesh = new aiMesh();
    scene->mMeshes = new aiMesh* [1] { mesh };
    mesh->mName = "cylinder";
    mesh->mPrimitiveTypes = aiPrimitiveType_POLYGON;
    mesh->mNumVertices = unsigned(corners.size());
    mesh->mVertices = new aiVector3D[corners.size()];
    mesh->mNormals = new aiVector3D[corners.size()];
    mesh->mTextureCoords[0] = new aiVector3D[corners.size()];
    mesh->mNumUVComponents[0] = 2;
    for (size_t v = 0; v < corners.size(); ++v) {
        const auto& d = corners[v].data;
        mesh->mVertices[v] = {d[0], d[1], d[2]};
        mesh->mNormals[v] = {d[3], d[4], d[5]};
        mesh->mTextureCoords[0][v] = {d[6], d[7], 0};
    }
    mesh->mNumFaces = unsigned(faces.size());
    mesh->mFaces = new aiFace[faces.size()];
    for (size_t f = 0; f < faces.size(); ++f) {
        mesh->mFaces[f].mNumIndices = unsigned(faces[f].size());
        mesh->mFaces[f].mIndices = new unsigned[faces[f].size()];
        std::copy(faces[f].begin(), faces[f].end(), mesh->mFaces[f].mIndices);
    }
    return scene;
}

struct Format {
    const char* id;  // assimp's exporter (its binary FBX is one its own reader rejects)
    const char* file;
};
constexpr Format kFormats[] = {
    {"obj", "cylinder.obj"},  {"gltf2", "cylinder.gltf"},  {"glb2", "cylinder.glb"},
    {"fbxa", "cylinder.fbx"}, {"collada", "cylinder.dae"}, {"ply", "ascii.ply"},
    {"plyb", "binary.ply"},   {"stl", "ascii.stl"},        {"stlb", "binary.stl"},
};

int CountLinePixels(const fs::path& png, std::vector<uint8_t>* alpha, int* width) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, png.c_str())) return -1;
    image.format = PNG_FORMAT_GA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return -1;
    *width = int(image.width);
    alpha->clear();
    int count = 0;
    for (size_t i = 1; i < pixels.size(); i += 2) {
        alpha->push_back(pixels[i]);
        count += pixels[i] >= 64;
    }
    return count;
}

// Share of `a`'s line pixels with a line pixel of `b` within one pixel.
double Matched(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width) {
    const int height = int(a.size()) / width;
    int lines = 0, matched = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (a[size_t(y * width + x)] < 64) continue;
            ++lines;
            bool near = false;
            for (int dy = -1; dy <= 1 && !near; ++dy)
                for (int dx = -1; dx <= 1 && !near; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    near = nx >= 0 && ny >= 0 && nx < width && ny < height &&
                           b[size_t(ny * width + nx)] >= 64;
                }
            matched += near;
        }
    }
    return lines == 0 ? 0.0 : double(matched) / lines;
}

TEST(ModelFormats, EveryFormatWeldsToTheSameClosedMeshAndDrawsTheObjLines) {
    const test::TempDir dir;
    const std::unique_ptr<aiScene> scene = Cylinder();
    Assimp::Exporter exporter;
    std::vector<uint8_t> objAlpha;
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.file);
        const fs::path path = dir.Path() / format.file;
        // Most formats hold triangles only; the OBJ keeps the quads and the 16-gon caps.
        const unsigned steps =
            std::string(format.id) == "obj" ? 0u : unsigned(aiProcess_Triangulate);
        ASSERT_EQ(exporter.Export(scene.get(), format.id, path.string(), steps), AI_SUCCESS)
            << exporter.GetErrorString();

        ImportOptions options;
        options.up = UpAxis::kY;  // the exporters keep assimp's Y-up axes, also in PLY and STL
        const ImportedModel model = ImportScene(path.string(), options);
        int64_t vertices = 0, faces = 0;
        KvrnLib::MeshEdgeCounts edges;
        for (const PolyMesh& mesh : model.meshes) {
            const Triangulation t = Triangulate(mesh);
            const KvrnLib::MeshEdgeCounts c = test::AllEdgeCounts(*t.object);
            vertices += int64_t(t.object->vertices.size());
            faces += int64_t(t.object->faces.size());
            edges.twoFace += c.twoFace;
            edges.open += c.open;
        }
        EXPECT_EQ(vertices, 32);
        EXPECT_EQ(edges.open, 0);
        EXPECT_EQ(vertices - (edges.twoFace + edges.open) + faces, 2) << "not a closed surface";

        const fs::path png = dir.Path() / (std::string(format.file) + ".png");
        const test::RunResult run = test::RunKovrin("render " + path.string() + " --up y -o " +
                                                    png.string() + " --width 320 --height 240 -q");
        ASSERT_EQ(run.exitCode, 0) << run.err;
        std::vector<uint8_t> alpha;
        int width = 0;
        ASSERT_GT(CountLinePixels(png, &alpha, &width), 200);
        if (objAlpha.empty()) {
            objAlpha = alpha;
            continue;
        }
        EXPECT_GE(Matched(objAlpha, alpha, width), 0.99) << "lines of the OBJ missing";
        EXPECT_GE(Matched(alpha, objAlpha, width), 0.99) << "lines the OBJ does not have";
    }
}

}  // namespace
}  // namespace KvrnApp
