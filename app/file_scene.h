// Host objects made from what model files carry besides their meshes: standard materials (with
// a bitmap in map channel 1 for a diffuse texture), cameras and lights.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "reference.h"
#include "scene_objects.h"

class INode;
class Mtl;
class Scene;

namespace KvrnApp {

// The host materials made so far, so that the objects of one file (and every placement of it)
// share them: one standard material per file material, one multi/sub-object material per set of
// material IDs. Keeps the FileScenes it was given by address: use it while the SceneObjects live.
class FileMtlCache {
  public:
    // Textures that exist but could not be opened: the material was made without them. Each
    // names the model file and the texture.
    const std::vector<std::string>& Warnings() const { return warnings_; }

    // The standard material for material ID `id` of `scene`; null when the file does not
    // define it.
    Mtl* Standard(const FileScene& scene, uint16_t id);
    // The material for faces of these IDs (ascending): the one standard material for a single
    // ID, otherwise a multi/sub-object material with an entry per ID (an empty one for an ID the
    // file does not define, so that its faces do not wrap to another entry). Null when the file
    // defines none of them.
    Mtl* ForIDs(const FileScene& scene, const std::vector<uint16_t>& ids);

  private:
    std::map<std::pair<const FileScene*, uint16_t>, RefPtr<Mtl>> standard_;
    std::map<std::pair<const FileScene*, std::vector<uint16_t>>, RefPtr<Mtl>> multi_;
    std::vector<std::string> warnings_;
};

// The material render object i's model file gives its faces, or null (a primitive, a file
// without materials). The cache holds it; the node it is set on holds it too.
Mtl* FileMtl(const SceneObjects& loaded, size_t i, FileMtlCache& cache);

// Adds a camera node (not renderable) and a light node per camera and light of each scene
// object's model file, as children of parentFor(object index) (the scene's root when that is
// null), placed by the file. The node names are "<parent name>/<file name>". Returns the nodes
// made, objects in order, cameras before lights.
std::vector<INode*> AddFileCamerasAndLights(
    Scene& scene, const SceneObjects& loaded,
    const std::function<INode*(int32_t objectIndex)>& parentFor);

}  // namespace KvrnApp
