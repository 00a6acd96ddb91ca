#include "file_scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "assimp_import.h"
#include "bitmap.h"
#include "bitmap_tex.h"
#include "camera.h"
#include "light.h"
#include "multi_mtl.h"
#include "node.h"
#include "obj_reader.h"
#include "png_writer.h"
#include "std_mtl.h"
#include "test_util.h"

namespace KvrnApp {
namespace {

SceneDescription OneFileScene(const std::string& path, KvrnLib::Point3 position = {}) {
    SceneDescription desc;
    ObjectDesc& object = desc.objects.emplace_back();
    object.name = "model";
    object.file = path;
    object.position = position;
    return desc;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

// Two sections: "mixed" a quad of "red" and a triangle of "blue", "plain" a triangle of "red".
// Texture coordinates are the vertices' x and y, so that a corner's coordinate says which vertex
// it belongs to however the quad is cut.
const char* const kObj = R"(mtllib looks/looks.mtl
v 0 0 0
v 2 0 0
v 2 1 0
v 0 1 0
v 3 0 0
vt 0 0
vt 2 0
vt 2 1
vt 0 1
vt 3 0
o mixed
usemtl red
f 1/1 2/2 3/3 4/4
usemtl blue
f 2/2 5/5 3/3
o plain
usemtl red
f 1/1 2/2 4/4
)";

// Values out of range are clamped; `d` wins over `Tr`; map options are skipped; texture names
// are relative to the library's folder.
const char* const kMtl = R"(# two looks
newmtl red
Kd 1.5 0 0.25
d 0.5
Tr 0.9
map_Kd -s 2 2 1 -clamp on tex/red.png
newmtl blue
Kd 0.5
Tr 0.25
map_Kd missing.png
)";

void WriteTexture(const test::TempDir& dir, const std::string& name) {
    std::filesystem::create_directories(dir.Path() / std::filesystem::path(name).parent_path());
    Bitmap image(2, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) image.Pixel(x, y) = {1, 0, 0, 1};
    WritePng(dir.Path() / name, image);
}

TEST(FileScene, ObjMaterialsReachTheHostWithTheirValuesMapsAndUVs) {
    const test::TempDir dir;
    const std::string obj = dir.Write("model.obj", kObj);
    std::filesystem::create_directory(dir.Path() / "looks");
    dir.Write("looks/looks.mtl", kMtl);
    WriteTexture(dir, "looks/tex/red.png");
    SceneObjects loaded = LoadSceneObjects(OneFileScene(obj));
    ASSERT_EQ(loaded.objects.size(), 2u);

    // The missing texture is a warning naming the model file and the texture, not an error.
    const std::string warnings = Joined(loaded.warnings);
    EXPECT_NE(warnings.find(obj + ": texture 'looks/missing.png'"), std::string::npos) << warnings;

    ASSERT_EQ(loaded.materialIDs.size(), 2u);
    EXPECT_EQ(loaded.materialIDs[0], (std::vector<uint16_t>{0, 1}));
    EXPECT_EQ(loaded.materialIDs[1], (std::vector<uint16_t>{0}));

    FileMtlCache cache;
    auto* multi = dynamic_cast<MultiMtl*>(FileMtl(loaded, 0, cache));
    auto* red = dynamic_cast<StdMtl*>(FileMtl(loaded, 1, cache));
    ASSERT_NE(multi, nullptr);
    ASSERT_NE(red, nullptr);
    EXPECT_TRUE(cache.Warnings().empty()) << Joined(cache.Warnings());
    // The placement of one material in two objects is one host material.
    EXPECT_EQ(multi->MaterialForID(0), red);
    auto* blue = dynamic_cast<StdMtl*>(multi->MaterialForID(1));
    ASSERT_NE(blue, nullptr);
    EXPECT_EQ(red->GetName(), "red");
    EXPECT_EQ(red->GetDiffuse(0), Color(1, 0, 0.25f));
    EXPECT_FLOAT_EQ(red->GetOpacity(0), 0.5f);
    EXPECT_EQ(blue->GetDiffuse(0), Color(0.5f, 0.5f, 0.5f));
    EXPECT_FLOAT_EQ(blue->GetOpacity(0), 0.75f);
    EXPECT_EQ(blue->GetActiveMap(StdMtl::kMapDiffuse, 0), nullptr);
    auto* map = dynamic_cast<BitmapTex*>(red->GetActiveMap(StdMtl::kMapDiffuse, 0));
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(std::filesystem::path(map->Params()->GetStr(kBitmapFileName, 0)),
              (dir.Path() / "looks/tex/red.png").lexically_normal());
    EXPECT_EQ(map->GetUVGen()->Params()->GetInt(kUVMapChannel, 0), 1);

    // Every triangle corner's texture coordinate is that of its own vertex.
    for (const auto& object : loaded.objects) {
        const auto& channel = object->mapChannels[kTextureChannel];
        ASSERT_TRUE(channel);
        ASSERT_EQ(channel->faces.size(), object->faces.size());
        for (size_t f = 0; f < object->faces.size(); ++f) {
            const KvrnLib::FaceRecord& face = object->faces[f];
            const int32_t vertices[3] = {face.vertexA, face.vertexB, face.vertexC};
            for (int k = 0; k < 3; ++k) {
                const KvrnLib::Point3 p = object->vertices[size_t(vertices[k])];
                const KvrnLib::Point3 uv = channel->vertices[size_t(channel->faces[f][k])];
                EXPECT_EQ(uv.x, p.x) << object->name << " face " << f;
                EXPECT_EQ(uv.y, p.y) << object->name << " face " << f;
            }
        }
    }
}

TEST(FileScene, MaterialLibrariesAreOptionalButNotWrong) {
    const test::TempDir dir;
    // usemtl without a library: no material, nothing to warn about.
    const std::string bare =
        dir.Write("bare.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl x\nf 1 2 3\n");
    SceneObjects loaded = LoadSceneObjects(OneFileScene(bare));
    FileMtlCache cache;
    EXPECT_EQ(FileMtl(loaded, 0, cache), nullptr);
    EXPECT_TRUE(loaded.warnings.empty()) << Joined(loaded.warnings);

    // A library that is not there, and a name the library lacks, are warnings.
    const std::string lost =
        dir.Write("lost.obj", "mtllib gone.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl x\nf 1 2 3\n");
    loaded = LoadSceneObjects(OneFileScene(lost));
    EXPECT_EQ(FileMtl(loaded, 0, cache), nullptr);
    EXPECT_NE(Joined(loaded.warnings).find("gone.mtl' not found"), std::string::npos);
    ObjMaterialRefs refs{{"x", "y"}, {"some.mtl"}};
    dir.Write("some.mtl", "newmtl y\nKd 0 1 0\n");
    const FileScene partial = ReadObjMaterials((dir.Path() / "a.obj").string(), refs);
    ASSERT_EQ(partial.materials.size(), 2u);
    EXPECT_FALSE(partial.materials[0].given);
    EXPECT_TRUE(partial.materials[1].given);
    EXPECT_NE(Joined(partial.warnings).find("material 'x' is not defined"), std::string::npos);

    // Bad numbers and statements outside a material name the library and the line.
    const auto error = [](const std::string& text) {
        try {
            ReadMtl("looks.mtl", text);
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error("newmtl a\nKd 1 zero 0\n").rfind("looks.mtl:2: expected a number", 0), 0u);
    EXPECT_EQ(error("Kd 1 1 1\n").rfind("looks.mtl:1: ", 0), 0u);
    EXPECT_EQ(ReadMtl("m.mtl", "newmtl a\nd -halo 2\nmap_Kd my file.png\n")[0].opacity, 1.0f);
    EXPECT_EQ(ReadMtl("m.mtl", "newmtl a\nmap_Kd -o 0.5 0.5 my file.png\n")[0].diffuseMap,
              "my file.png");
}

// A triangle under a parent node moved by (1, 0, 0); a camera (vertical field of view 0.5 rad,
// aspect 2) 10 units along +Z of the parent; a red, half-transparent, double-sided material whose
// texture is missing; at the root, a spot light (named after its node) at (1, 2, 3) shining down -Z
// with cones of 0.2 and 0.4 rad from its axis, colour (1, 0.5, 0.25) at intensity 4.
const char* const kCameraLightGltf = R"({"asset":{"version":"2.0"},"scene":0,
  "scenes":[{"nodes":[0,3]}],
  "extensionsUsed":["KHR_lights_punctual"],
  "extensions":{"KHR_lights_punctual":{"lights":[{"name":"spot","type":"spot",
     "color":[1,0.5,0.25],"intensity":4,"spot":{"innerConeAngle":0.2,"outerConeAngle":0.4}}]}},
  "nodes":[{"name":"parent","translation":[1,0,0],"children":[1,2]},
           {"name":"tri","mesh":0},
           {"name":"view","camera":0,"translation":[0,0,10]},
           {"name":"lamp","translation":[1,2,3],
            "extensions":{"KHR_lights_punctual":{"light":0}}}],
  "cameras":[{"name":"view","type":"perspective",
              "perspective":{"yfov":0.5,"aspectRatio":2.0,"znear":0.1,"zfar":100}}],
  "materials":[{"name":"red","doubleSided":true,
                "pbrMetallicRoughness":{"baseColorFactor":[1,0,0,0.5],
                                        "baseColorTexture":{"index":0}}}],
  "textures":[{"source":0}],"images":[{"uri":"red.png"}],
  "meshes":[{"primitives":[{"attributes":{"POSITION":0},"material":0}]}],
  "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",
                "min":[0,0,0],"max":[1,1,0]}],
  "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36}],
  "buffers":[{"byteLength":36,"uri":"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}]})";

const char* const kBareGltf = R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
  "nodes":[{"name":"tri","mesh":0}],
  "meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],
  "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",
                "min":[0,0,0],"max":[1,1,0]}],
  "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36}],
  "buffers":[{"byteLength":36,"uri":"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}]})";

void ExpectNear(const Point3& a, const Point3& b, const char* what) {
    EXPECT_NEAR(a.x, b.x, 1e-5f) << what;
    EXPECT_NEAR(a.y, b.y, 1e-5f) << what;
    EXPECT_NEAR(a.z, b.z, 1e-5f) << what;
}

TEST(FileScene, GltfCamerasLightsAndMaterialsArePlacedAsTheFileSays) {
    const test::TempDir dir;
    const std::string path = dir.Write("lit.gltf", kCameraLightGltf);

    // The child's report carries the same as a read in this process.
    FileScene direct, contained;
    ReadWithAssimp(path, &direct);
    ReadWithAssimpContained(path, {}, &contained);
    ASSERT_EQ(contained.cameras.size(), 1u);
    ASSERT_EQ(contained.lights.size(), 1u);
    ASSERT_EQ(contained.materials.size(), direct.materials.size());
    EXPECT_EQ(contained.materials[0].diffuseMap, "red.png");
    EXPECT_EQ(contained.cameras[0].camToWorld.PointTransform({1, 2, 3}),
              direct.cameras[0].camToWorld.PointTransform({1, 2, 3}));
    EXPECT_EQ(contained.lights[0].falloffDeg, direct.lights[0].falloffDeg);

    // Placed at (0, 0, 5): the file's Y-up world turns Z up, then the object moves.
    const SceneObjects loaded = LoadSceneObjects(OneFileScene(path, {0, 0, 5}));
    EXPECT_NE(Joined(loaded.warnings).find(path + ": texture 'red.png'"), std::string::npos);
    FileMtlCache cache;
    auto* red = dynamic_cast<StdMtl*>(FileMtl(loaded, 0, cache));
    ASSERT_NE(red, nullptr);
    EXPECT_EQ(red->GetDiffuse(0), Color(1, 0, 0));
    EXPECT_FLOAT_EQ(red->GetOpacity(0), 0.5f);
    EXPECT_TRUE(red->GetTwoSided(0));
    EXPECT_EQ(red->GetActiveMap(StdMtl::kMapDiffuse, 0), nullptr);

    Scene scene;
    auto* objectNode = new INode;
    objectNode->SetName("model");
    scene.GetRootNode()->AttachChild(objectNode);
    objectNode->SetPosition(0, {0, 0, 5}, false);
    const std::vector<INode*> nodes =
        AddFileCamerasAndLights(scene, loaded, [&](int32_t) { return objectNode; });
    ASSERT_EQ(nodes.size(), 2u);
    INode* cameraNode = scene.FindNode("model/view");
    INode* lightNode = scene.FindNode("model/lamp");
    ASSERT_NE(cameraNode, nullptr);
    ASSERT_NE(lightNode, nullptr);
    EXPECT_FALSE(cameraNode->Renderable());

    // glTF (1, 0, 10) is (1, -10, 0) Z up; the camera looks down glTF -Z, which is world +Y.
    const Matrix3 view = cameraNode->GetNodeTM(0);
    ExpectNear(view.GetTrans(), {1, -10, 5}, "camera position");
    ExpectNear(view.GetRow(2), {0, -1, 0}, "camera back axis");
    ExpectNear(view.GetRow(1), {0, 0, 1}, "camera up axis");
    auto* camera = dynamic_cast<CameraObject*>(cameraNode->GetObjectRef());
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->GetFovType(), FovType::kVertical);
    EXPECT_NEAR(camera->FocalPixels(0, 200, 100), 50 / std::tan(0.25), 1e-3);
    EXPECT_TRUE(camera->GetClipManual());

    ExpectNear(lightNode->GetNodeTM(0).GetTrans(), {1, -3, 7}, "light position");
    ExpectNear(lightNode->GetNodeTM(0).GetRow(2), {0, -1, 0}, "light back axis");
    auto* light = dynamic_cast<LightObject*>(lightNode->GetObjectRef());
    ASSERT_NE(light, nullptr);
    EXPECT_EQ(light->GetType(), LightType::kSpot);
    EXPECT_EQ(light->GetRGBColor(0), Color(1, 0.5f, 0.25f));
    EXPECT_FLOAT_EQ(light->GetIntensity(0), 4.0f);
    const float degrees = 180.0f / std::numbers::pi_v<float>;
    EXPECT_NEAR(light->GetFallsize(), 0.8f * degrees, 1e-3f);
    EXPECT_NEAR(light->GetHotspot(), 0.4f * degrees, 1e-3f);
}

// A Collada file: a camera with a 60 degree horizontal field of view 10 units along +Z, a spot
// light of colour (2, 1, 0.5) with a 40 degree cone at (1, 2, 3), a triangle without material.
const char* const kCameraLightDae = R"(<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
  <asset><unit name="meter" meter="1"/><up_axis>Y_UP</up_axis></asset>
  <library_cameras>
    <camera id="cam-lib" name="cam"><optics><technique_common><perspective><xfov>60</xfov><aspect_ratio>1.5</aspect_ratio><znear>0.1</znear><zfar>100</zfar></perspective></technique_common></optics></camera>
  </library_cameras>
  <library_lights>
    <light id="spot-lib" name="spot"><technique_common><spot><color>2 1 0.5</color><falloff_angle>40</falloff_angle><falloff_exponent>0</falloff_exponent></spot></technique_common></light>
  </library_lights>
  <library_geometries>
    <geometry id="tri" name="tri"><mesh>
      <source id="tri-pos"><float_array id="tri-pos-a" count="9">0 0 0 1 0 0 0 1 0</float_array>
        <technique_common><accessor source="#tri-pos-a" count="3" stride="3"><param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/></accessor></technique_common></source>
      <vertices id="tri-v"><input semantic="POSITION" source="#tri-pos"/></vertices>
      <triangles count="1"><input semantic="VERTEX" source="#tri-v" offset="0"/><p>0 1 2</p></triangles>
    </mesh></geometry>
  </library_geometries>
  <library_visual_scenes>
    <visual_scene id="s">
      <node id="camnode" name="camnode"><translate>0 0 10</translate><instance_camera url="#cam-lib"/></node>
      <node id="spotnode" name="spotnode"><translate>1 2 3</translate><instance_light url="#spot-lib"/></node>
      <node id="trinode" name="trinode"><instance_geometry url="#tri"/></node>
    </visual_scene>
  </library_visual_scenes>
  <scene><instance_visual_scene url="#s"/></scene>
</COLLADA>
)";

TEST(FileScene, ColladaCamerasTakeTheirFullAngleAndLightsTheirBrightness) {
    const test::TempDir dir;
    const SceneObjects loaded =
        LoadSceneObjects(OneFileScene(dir.Write("lit.dae", kCameraLightDae)));
    FileMtlCache cache;
    EXPECT_EQ(FileMtl(loaded, 0, cache), nullptr) << "assimp's default material is no material";
    Scene scene;
    const std::vector<INode*> nodes = AddFileCamerasAndLights(scene, loaded, nullptr);
    ASSERT_EQ(nodes.size(), 2u);
    auto* camera = dynamic_cast<CameraObject*>(nodes[0]->GetObjectRef());
    auto* light = dynamic_cast<LightObject*>(nodes[1]->GetObjectRef());
    ASSERT_NE(camera, nullptr);
    ASSERT_NE(light, nullptr);
    EXPECT_EQ(nodes[0]->GetName(), "camnode");
    ExpectNear(nodes[0]->GetNodeTM(0).GetTrans(), {0, -10, 0}, "camera position");
    EXPECT_NEAR(camera->FocalPixels(0, 200, 100), 100 / std::tan(std::numbers::pi / 6), 1e-3);
    ExpectNear(nodes[1]->GetNodeTM(0).GetTrans(), {1, -3, 2}, "light position");
    EXPECT_EQ(light->GetRGBColor(0), Color(1, 0.5f, 0.25f));
    EXPECT_FLOAT_EQ(light->GetIntensity(0), 2.0f);
    EXPECT_NEAR(light->GetHotspot(), 40.0f, 1e-3f);
    EXPECT_GE(light->GetFallsize(), light->GetHotspot());
}

// A texture that is there but is no image would fail the render: the material goes without it.
TEST(FileScene, AnUnreadableTextureLeavesTheMapOff) {
    const test::TempDir dir;
    FileScene scene;
    FileMaterial& material = scene.materials.emplace_back();
    material.name = "broken";
    material.given = true;
    material.diffuseMap = dir.Write("broken.png", "not an image");
    FileMtlCache cache;
    auto* mtl = dynamic_cast<StdMtl*>(cache.Standard(scene, 0));
    ASSERT_NE(mtl, nullptr);
    EXPECT_EQ(mtl->GetActiveMap(StdMtl::kMapDiffuse, 0), nullptr);
    ASSERT_EQ(cache.Warnings().size(), 1u);
    EXPECT_NE(cache.Warnings()[0].find("broken.png"), std::string::npos) << cache.Warnings()[0];
    EXPECT_EQ(cache.Standard(scene, 0), mtl) << "made once";
    EXPECT_EQ(cache.Standard(scene, 1), nullptr) << "an ID past the table";
}

TEST(FileScene, PrimitivesAndPlainFilesBringNothing) {
    const test::TempDir dir;
    SceneDescription desc =
        OneFileScene(dir.Write("plain.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"));
    // A glTF without materials: assimp's added one is not the file's.
    desc.objects.push_back(OneFileScene(dir.Write("bare.gltf", kBareGltf)).objects[0]);
    ObjectDesc& box = desc.objects.emplace_back();
    box.name = "box";
    box.source = ObjectSource::kBox;
    const SceneObjects loaded = LoadSceneObjects(desc);
    ASSERT_EQ(loaded.fileScenes.size(), 3u);
    for (const auto& fileScene : loaded.fileScenes) EXPECT_EQ(fileScene, nullptr);
    FileMtlCache cache;
    for (size_t i = 0; i < loaded.objects.size(); ++i)
        EXPECT_EQ(FileMtl(loaded, i, cache), nullptr);
    Scene scene;
    EXPECT_TRUE(AddFileCamerasAndLights(scene, loaded, nullptr).empty());
}

}  // namespace
}  // namespace KvrnApp
