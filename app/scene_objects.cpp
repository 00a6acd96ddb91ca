#include "scene_objects.h"

#include <malloc.h>

#include <chrono>
#include <cmath>
#include <map>
#include <numbers>
#include <sstream>
#include <thread>

#include "poly_mesh.h"
#include "primitives.h"
#include "scene_import.h"
#include "thread_manager.h"
#include "vec3d.h"

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

std::string Format(Point3 p) {
    std::ostringstream out;
    out << "(" << p.x << ", " << p.y << ", " << p.z << ")";
    return out.str();
}

// `scene` receives what a model file carries besides its meshes.
std::vector<PolyMesh> BuildMeshes(const ObjectDesc& object, const LoadOptions& options,
                                  KvrnLib::ThreadManager* pool, FileScene* scene) {
    switch (object.source) {
        case ObjectSource::kFile: {
            ImportOptions import;
            import.up = object.up;
            import.weldDistance = std::max(object.weld, 0.0f);
            import.timeoutSeconds = options.importTimeoutSeconds;
            import.memoryBytes = options.importMemoryBytes;
            import.interrupt = options.interrupt;
            import.pool = pool;
            ImportedModel model = ImportScene(object.file, import);
            *scene = std::move(model.scene);
            return std::move(model.meshes);
        }
        case ObjectSource::kBuiltin:
            return BuiltinScene(object.builtin);
        case ObjectSource::kBox:
            return {MakeBox(object.box)};
        case ObjectSource::kSphere:
            return {MakeSphere(object.sphere)};
        case ObjectSource::kCylinder:
            return {MakeCylinder(object.cylinder)};
        case ObjectSource::kTorus:
            return {MakeTorus(object.torus)};
        case ObjectSource::kTorusKnot:
            return {MakeTorusKnot(object.torusKnot)};
        case ObjectSource::kPlane:
            return {MakePlane(object.plane)};
    }
    throw InputError("object \"" + object.name + "\": unknown kind of object");
}

// One read serves every placement of a file with the same axes and weld.
std::string FileKey(const ObjectDesc& object) {
    return object.file + '\n' + std::to_string(int(object.up)) + '\n' +
           std::to_string(std::max(object.weld, 0.0f));
}

// The material IDs the object's faces use, ascending, those past the file's table included (a
// multi/sub-object material then keeps their faces from wrapping onto another entry).
std::vector<uint16_t> UsedMaterialIDs(const KvrnLib::RenderObject& object) {
    std::vector<bool> used;
    for (const KvrnLib::FaceRecord& face : object.faces) {
        if (face.materialID >= used.size()) used.resize(size_t(face.materialID) + 1, false);
        used[face.materialID] = true;
    }
    std::vector<uint16_t> ids;
    for (size_t id = 0; id < used.size(); ++id)
        if (used[id]) ids.push_back(uint16_t(id));
    return ids;
}

}  // namespace

KvrnLib::Matrix3 ObjectTransform(const ObjectDesc& object) {
    KvrnLib::Matrix3 scale;
    scale.row[0] = {object.scale.x, 0, 0};
    scale.row[1] = {0, object.scale.y, 0};
    scale.row[2] = {0, 0, object.scale.z};
    return scale * Placement{object.position, object.rotation}.ToMatrix();
}

SceneObjects LoadSceneObjects(const SceneDescription& scene, const LoadOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    SceneObjects loaded;
    // A model placed many times (a crowd, a forest) is read and triangulated once; triangulation
    // does not depend on the placement.
    struct Prepared {
        std::vector<std::shared_ptr<KvrnLib::RenderObject>> objects;
        std::vector<std::string> names;
        std::vector<std::vector<uint16_t>> materialIDs;  // per object, when the file has materials
        std::shared_ptr<const FileScene> scene;
        std::vector<int32_t> firstPlaced;  // per object: its first placement's render object
        int64_t droppedPolygons = 0;
        int64_t copiedPolygons = 0;
    };
    std::map<std::string, Prepared> files;
    // The last placement of a file takes its prepared objects instead of a copy.
    std::map<std::string, int> placementsLeft;
    for (const ObjectDesc& object : scene.objects)
        if (object.source == ObjectSource::kFile) ++placementsLeft[FileKey(object)];
    // Each worker keeps buffers of a few megabytes, and the steps are bound by memory traffic
    // more than by cores: a handful of workers take most of what there is to gain.
    constexpr int kMaxThreads = 8;
    const int threads = std::min(
        kMaxThreads, options.threads > 0 ? options.threads
                                         : int(std::max(1u, std::thread::hardware_concurrency())));
    std::unique_ptr<KvrnLib::ThreadManagerCore> pool;
    if (threads > 1) pool = std::make_unique<KvrnLib::ThreadManagerCore>(threads);
    for (size_t i = 0; i < scene.objects.size(); ++i) {
        const ObjectDesc& object = scene.objects[i];
        try {
            const bool file = object.source == ObjectSource::kFile;
            const std::string key = file ? FileKey(object) : std::string();
            auto found = file ? files.find(key) : files.end();
            Prepared made;
            if (found == files.end()) {
                TriangulateOptions triangulate;
                triangulate.interrupt = options.interrupt;
                triangulate.pool = pool.get();
                FileScene extras;
                std::vector<PolyMesh> meshes = BuildMeshes(object, options, pool.get(), &extras);
                for (PolyMesh& mesh : meshes) {
                    made.names.push_back(mesh.name);
                    Triangulation t = Triangulate(std::move(mesh), triangulate);
                    made.droppedPolygons += t.droppedPolygons;
                    made.copiedPolygons += t.copiedPolygons;
                    // Files without materials (the large scans) skip the pass over the faces.
                    if (!extras.materials.empty())
                        made.materialIDs.push_back(UsedMaterialIDs(*t.object));
                    made.objects.push_back(std::move(t.object));
                }
                meshes = {};
                loaded.warnings.insert(loaded.warnings.end(), extras.warnings.begin(),
                                       extras.warnings.end());
                extras.warnings.clear();
                if (!extras.Empty())
                    made.scene = std::make_shared<const FileScene>(std::move(extras));
                if (made.copiedPolygons > 0) {
                    loaded.warnings.push_back(
                        (file ? object.file : "object \"" + object.name + "\"") + ": " +
                        std::to_string(made.copiedPolygons) +
                        " faces that exactly repeat others were dropped");
                }
                if (file) found = files.emplace(key, std::move(made)).first;
            }
            Prepared& prepared = file ? found->second : made;
            const bool lastPlacement = file && --placementsLeft[key] == 0;
            const KvrnLib::Matrix3 transform = ObjectTransform(object);
            const size_t count = prepared.objects.size();
            for (size_t m = 0; m < count; ++m) {
                std::shared_ptr<KvrnLib::RenderObject>& source = prepared.objects[m];
                const KvrnLib::Matrix3 toWorld = source->objToWorld * transform;
                // Each placement owns its object: the engine sets camera transforms per object.
                auto placed = file && !lastPlacement
                                  ? std::make_shared<KvrnLib::RenderObject>(*source)
                                  : std::move(source);
                loaded.fileTransforms.push_back(placed->objToWorld);
                if (prepared.firstPlaced.size() < count) prepared.firstPlaced.resize(count, -1);
                if (prepared.firstPlaced[m] < 0)
                    prepared.firstPlaced[m] = int32_t(loaded.objects.size());
                loaded.sameMeshAs.push_back(prepared.firstPlaced[m]);
                placed->objToWorld = toWorld;
                placed->name = count == 1 ? object.name : object.name + "/" + prepared.names[m];
                loaded.objects.push_back(std::move(placed));
                loaded.descIndex.push_back(int32_t(i));
                loaded.materialIDs.push_back(prepared.materialIDs.empty()
                                                 ? std::vector<uint16_t>()
                                                 : prepared.materialIDs[m]);
            }
            loaded.fileScenes.push_back(prepared.scene);
            loaded.droppedPolygons += prepared.droppedPolygons;
            loaded.copiedPolygons += prepared.copiedPolygons;
        } catch (const InputError& e) {
            // File errors already name the file; primitives only know their parameter names.
            if (object.source == ObjectSource::kFile) throw;
            throw InputError((scene.path.empty() ? "" : scene.path + ": ") + "object \"" +
                             object.name + "\": " + e.what());
        }
    }
#ifdef __GLIBC__
    // The import freed far more than the objects it keeps; without this, glibc holds on to much
    // of it, and the render's peak stands on top.
    malloc_trim(0);
#endif
    loaded.importMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return loaded;
}

FramedCamera MakeSceneCamera(const CameraDesc& camera,
                             const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects) {
    if (camera.width <= 0 || camera.height <= 0) {
        throw InputError("camera: image size must be positive, got " +
                         std::to_string(camera.width) + " x " + std::to_string(camera.height));
    }
    CameraOptions options;
    options.width = camera.width;
    options.height = camera.height;
    if (!camera.given) return FrameObjects(objects, options);

    const Vec3d eye = ToD(camera.eye), target = ToD(camera.target), upHint = ToD(camera.up);
    const Vec3d view = Sub(eye, target);
    if (!(DotD(view, view) > 0)) throw InputError("camera: eye and target are the same point");
    if (!(DotD(upHint, upHint) > 0)) throw InputError("camera: up must not be zero");
    // Same axes as FrameObjects: back points from the target to the eye (the camera looks down
    // -z), right = up x back, and up is made square to both.
    const Vec3d back = NormalizedD(view);
    const Vec3d side = CrossD(NormalizedD(upHint), back);
    // Below about 0.06 degrees between up and the view, the right axis is mostly rounding.
    if (!(std::sqrt(DotD(side, side)) > 1e-3)) {
        throw InputError("camera: up " + Format(camera.up) + " is parallel to the view direction");
    }
    const Vec3d right = NormalizedD(side);
    const Vec3d up = CrossD(back, right);
    const double distance = std::sqrt(DotD(view, view));
    if (camera.nearRange < 0 || camera.farRange < 0 ||
        (camera.farRange > 0 && !(camera.nearRange < camera.farRange))) {
        throw InputError("camera: near and far must be positive with near < far");
    }

    FramedCamera framed;
    KvrnLib::Camera& c = framed.camera;
    c.width = camera.width;
    c.height = camera.height;
    c.center = {camera.width / 2.0f, camera.height / 2.0f};
    if (camera.parallel) {
        if (!(camera.parallelWidth > 0))
            throw InputError("camera: parallel width must be positive");
        const double pixelsPerUnit = camera.width / double(camera.parallelWidth);
        c.parallel = 1;
        c.scale = {float(pixelsPerUnit), float(-pixelsPerUnit)};
    } else {
        double focal;  // pixels
        if (camera.fov > 0) {
            if (!(camera.fov < 180)) throw InputError("camera: fov must be below 180 degrees");
            focal = 0.5 * camera.height / std::tan(camera.fov * std::numbers::pi / 360);
        } else {
            if (!(camera.focalLength > 0) || !(camera.filmWidth > 0)) {
                throw InputError("camera: focal length and film width must be positive");
            }
            focal = double(camera.width) * camera.focalLength / camera.filmWidth;
        }
        c.scale = {float(-focal), float(focal)};
        framed.focalPixels = float(focal);
        options.filmMm = camera.filmWidth;
        options.lensMm = float(focal * camera.filmWidth / camera.width);
    }
    c.SetViewAxes(camera.eye, ToF(right), ToF(up), ToF(back));
    c.SetDepthLimits(camera.nearRange, camera.farRange > 0 ? camera.farRange : 1e30f);

    options.viewFrom = ToF(view);
    framed.options = options;
    framed.eye = camera.eye;
    framed.target = camera.target;
    framed.up = ToF(up);
    framed.distance = float(distance);
    return framed;
}

}  // namespace KvrnApp
