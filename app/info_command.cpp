#include "info_command.h"

#include <chrono>
#include <iomanip>
#include <set>

#include "mesh_edges.h"
#include "poly_mesh.h"
#include "primitives.h"
#include "render_object_info.h"
#include "scene_import.h"

namespace KvrnApp {

using KvrnLib::Point3;
using KvrnLib::RenderObject;
using Clock = std::chrono::steady_clock;

namespace {

// "1 vertex", "2 vertices".
std::string Count(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

LoadedInput Triangulated(std::string label, const std::vector<PolyMesh>& meshes,
                         Clock::time_point start) {
    LoadedInput input;
    input.label = std::move(label);
    for (const PolyMesh& mesh : meshes) {
        Triangulation t = Triangulate(mesh);
        input.droppedPolygons += t.droppedPolygons;
        input.copiedPolygons += t.copiedPolygons;
        input.objects.push_back(std::move(t.object));
    }
    input.importMs = MsSince(start);
    return input;
}

KvrnLib::Box3 WorldBounds(const RenderObject& object) {
    KvrnLib::Box3 box;
    for (const KvrnLib::FaceRecord& face : object.faces)
        for (int k = 0; k < 3; ++k)
            box.Add(object.objToWorld.PointTransform(object.vertices[face.Vertex(k)]));
    return box;
}

void PrintObject(std::ostream& out, const KvrnLib::Scene& scene, int index) {
    const RenderObject& object = scene.Object(index);
    const KvrnLib::RenderObjectInfoEx& info = scene.Info(index);
    std::set<uint16_t> materials;
    for (const KvrnLib::FaceRecord& face : object.faces) materials.insert(face.materialID);
    const KvrnLib::MeshEdgeCounts edges =
        KvrnLib::CountMeshEdges(KvrnLib::BuildMeshEdges(object, info.FacingBytes()));
    const KvrnLib::Box3 box = WorldBounds(object);

    out << "  " << object.name << ": "
        << Count(int64_t(object.vertices.size()), "vertex", "vertices") << ", "
        << Count(int64_t(object.faces.size()), "face", "faces") << ", "
        << Count(int64_t(materials.size()), "material", "materials")
        << (object.explicitNormals ? ", normals from file" : "") << "\n";
    out << "    edges: " << edges.twoFace << " two-face, " << edges.singleFace << " single-face, "
        << edges.open << " open\n";
    out << std::defaultfloat << std::setprecision(5) << "    bounds: (" << box.min.x << ", "
        << box.min.y << ", " << box.min.z << ") to (" << box.max.x << ", " << box.max.y << ", "
        << box.max.z << ")\n";
}

}  // namespace

LoadedInput LoadFile(const std::string& path, const ImportOptions& options) {
    const Clock::time_point start = Clock::now();
    const ImportedModel model = ImportScene(path, options);
    LoadedInput input = Triangulated(path, model.meshes, start);
    input.axes = std::string(model.yUp ? "Y up" : "Z up") +
                 (model.upFromFormat ? " (the format's default)" : " (--up)");
    input.weldedVertices = model.weldedVertices;
    return input;
}

LoadedInput LoadBuiltin(const std::string& name) {
    const Clock::time_point start = Clock::now();
    return Triangulated("built-in " + name, BuiltinScene(name), start);
}

CLI::App* AddInfoCommand(CLI::App& app, InfoOptions* options) {
    CLI::App* info = app.add_subcommand(
        "info", "Load models and report what the line engine sees: counts, edges, bounds, times");
    info->add_option("files", options->files,
                     "Model files (.obj .gltf .glb .fbx .dae .3ds .ply .stl)");
    std::string names;
    for (const std::string& n : BuiltinSceneNames()) names += (names.empty() ? "" : ", ") + n;
    info->add_option("--builtin", options->builtin, "Add a built-in scene: " + names);
    info->add_flag("--camera", options->camera, "Also print the default camera");
    info->add_option("--up", options->up,
                     "The axis that points up in the files (default: Y for OBJ, glTF, FBX, DAE "
                     "and 3DS, Z for PLY and STL)")
        ->check(CLI::IsMember({"y", "z"}));
    info->add_option("--weld", options->weld,
                     "Join vertices closer than this distance (default: only exactly equal ones)")
        ->check(CLI::Range(0.0, 1e6));
    info->add_option("--width", options->cameraOptions.width, "Image width in pixels")
        ->check(CLI::PositiveNumber);
    info->add_option("--height", options->cameraOptions.height, "Image height in pixels")
        ->check(CLI::PositiveNumber);
    return info;
}

int RunInfo(const InfoOptions& options, std::ostream& out, std::ostream& err) {
    if (options.files.empty() && options.builtin.empty()) {
        err << "kovrin info: nothing to load: give model files and/or --builtin NAME\n";
        return 2;
    }
    std::vector<LoadedInput> inputs;
    bool failed = false;
    auto load = [&](auto&& loader, const std::string& what) {
        try {
            inputs.push_back(loader(what));
        } catch (const InputError& e) {
            err << "kovrin info: " << e.what() << "\n";
            failed = true;
        } catch (const std::bad_alloc&) {
            err << "kovrin info: " << what << ": out of memory\n";
            failed = true;
        }
    };
    ImportOptions import;
    import.up = options.up == "y"   ? UpAxis::kY
                : options.up == "z" ? UpAxis::kZ
                                    : UpAxis::kFormatDefault;
    import.weldDistance = options.weld;
    if (!options.builtin.empty()) load(LoadBuiltin, options.builtin);
    for (const std::string& path : options.files)
        load([&import](const std::string& p) { return LoadFile(p, import); }, path);
    if (failed) return 2;

    std::vector<std::shared_ptr<RenderObject>> objects;
    for (const LoadedInput& input : inputs)
        objects.insert(objects.end(), input.objects.begin(), input.objects.end());
    FramedCamera framed;
    try {
        framed = FrameObjects(objects, options.cameraOptions);
    } catch (const InputError& e) {
        err << "kovrin info: " << e.what() << "\n";
        return 2;
    }
    for (const auto& object : objects)
        object->SetTransforms(object->objToWorld, framed.camera.worldToCam);

    // Set-up: what a frame pays before its first stage runs.
    const Clock::time_point setupStart = Clock::now();
    const KvrnLib::Scene scene(framed.camera, objects);
    for (int i = 0; i < scene.ObjectCount(); ++i) {
        const KvrnLib::RenderObjectInfoEx& info = scene.Info(i);
        info.FacingBytes();
        info.CameraVertices();
        info.FaceNormals();
        info.ScreenPoints();
        info.FaceBounds();
        info.Bounds();
    }
    const double setupMs = MsSince(setupStart);

    const auto flags = out.flags();
    const auto precision = out.precision();
    int index = 0;
    int64_t vertexCount = 0, faceCount = 0;
    for (const LoadedInput& input : inputs) {
        out << std::fixed << std::setprecision(2) << input.label << ": "
            << Count(int64_t(input.objects.size()), "object", "objects") << ", import "
            << input.importMs << " ms";
        if (!input.axes.empty()) out << ", " << input.axes;
        if (input.weldedVertices > 0)
            out << ", " << Count(input.weldedVertices, "vertex", "vertices") << " welded";
        if (input.droppedPolygons > 0)
            out << ", " << Count(input.droppedPolygons, "degenerate polygon", "degenerate polygons")
                << " dropped";
        if (input.copiedPolygons > 0)
            out << ", " << Count(input.copiedPolygons, "repeated face", "repeated faces")
                << " dropped";
        out << "\n";
        for (size_t i = 0; i < input.objects.size(); ++i, ++index) {
            PrintObject(out, scene, index);
            vertexCount += int64_t(scene.Object(index).vertices.size());
            faceCount += int64_t(scene.Object(index).faces.size());
        }
    }
    out << std::fixed << std::setprecision(2)
        << "scene: " << Count(scene.ObjectCount(), "object", "objects") << ", " << vertexCount
        << " vertices, " << faceCount << " faces, set-up " << setupMs << " ms\n";
    if (options.camera) PrintCamera(out, framed);
    out.flags(flags);
    out.precision(precision);
    return 0;
}

}  // namespace KvrnApp
