// Turning a scene description into engine input: the render objects and the camera.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <vector>

#include "default_camera.h"
#include "scene.h"
#include "scene_description.h"
#include "scene_import.h"

namespace KvrnApp {

struct SceneObjects {
    std::vector<std::shared_ptr<KvrnLib::RenderObject>> objects;  // camera transforms identity
    std::vector<int32_t> descIndex;  // per render object: index into SceneDescription::objects
    // Per render object: its mesh's own transform in its model file (identity for primitives);
    // objToWorld is this times ObjectTransform of its ObjectDesc.
    std::vector<KvrnLib::Matrix3> fileTransforms;
    // Per render object: the first render object with the same mesh (a model file placed several
    // times), itself for the first.
    std::vector<int32_t> sameMeshAs;
    // Per render object: the material IDs its faces use, ascending; empty when its model file
    // gives no materials (or it is a primitive).
    std::vector<std::vector<uint16_t>> materialIDs;
    // Per scene object (index into SceneDescription::objects): the materials, cameras and lights
    // of its model file, shared by every placement of the file; null for primitives and for files
    // that carry none. Cameras and lights are placed in the file's world (its axes turned to
    // Z up), before ObjectTransform.
    std::vector<std::shared_ptr<const FileScene>> fileScenes;
    int64_t droppedPolygons = 0;  // polygons with fewer than 3 distinct vertices
    int64_t copiedPolygons = 0;   // exact copies of other polygons, dropped
    // Per model file: dropped copies of faces (the count), missing material libraries and
    // textures; each names the file.
    std::vector<std::string> warnings;
    double importMs = 0;  // import, building and triangulation
};

// The object's own transform: scale, then rotation about X, Y, Z, then translation.
KvrnLib::Matrix3 ObjectTransform(const ObjectDesc& object);

// How model files are read: the interrupt flag and the limits of the child reader.
struct LoadOptions {
    double importTimeoutSeconds = 120;
    int64_t importMemoryBytes = 0;  // 0: the memory available
    const volatile std::sig_atomic_t* interrupt = nullptr;
    // Threads that read and triangulate large models, at most 8; 0: one per core.
    int threads = 0;
};

// Imports or builds every object, places its meshes by their own (file node) transforms followed
// by ObjectTransform, and triangulates them. A render object is named after its scene object, or
// "<object>/<node>" when the object has several meshes. Throws InputError naming the file or the
// object, ImportInterrupted when the interrupt flag is set.
SceneObjects LoadSceneObjects(const SceneDescription& scene, const LoadOptions& options = {});

// given = false: FrameObjects with the camera's image size. Otherwise the camera at `eye` looking
// at `target`, with `up` turned square to the view, sharing FrameObjects' axis and pixel
// conventions; `objects` are not looked at. Throws InputError (messages start "camera: ") for a
// non-positive size, lens, film, field of view or parallel width, eye == target, a zero up or one
// parallel to the view, or a near limit not before the far one.
FramedCamera MakeSceneCamera(const CameraDesc& camera,
                             const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects);

}  // namespace KvrnApp
