// A scene description's line settings as the settings objects: one line effect holding the line
// sets in file order, each with its brushes (a brush named in "brushes" and used in several slots
// is one shared object), brush details and reductions, and one host node per scene object. The
// engine records are then built from the objects.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "line_records.h"
#include "node.h"
#include "reference.h"
#include "scene_description.h"

class KvrnBrush;
class KvrnLine;
class KvrnLineset;
class Texmap;

namespace KvrnApp {

class SceneLineObjects {
  public:
    // Registers the line classes on first use. Throws InputError naming the scene file and line
    // set for an unknown object name, a brush index outside `brushes`, over-sampling outside 1
    // to 4 or negative antialiasing, and a line settings file (a line set's "load") that cannot
    // be read.
    explicit SceneLineObjects(const SceneDescription& scene);
    // Another line effect over the nodes of `nodesOf` (whose scene objects `scene` must list the
    // same way): its own options, brushes and line sets.
    SceneLineObjects(const SceneDescription& scene, SceneLineObjects& nodesOf);
    ~SceneLineObjects();
    SceneLineObjects(const SceneLineObjects&) = delete;
    SceneLineObjects& operator=(const SceneLineObjects&) = delete;

    KvrnLine& Line() { return *line_; }
    // The host scene holding the object nodes (children of their parents' nodes).
    Scene& GetScene() { return *scene_; }
    // The ObjectDesc index of an object node, -1 for any other node.
    int32_t IndexOf(const INode* node) const;
    // The brush the scene file named so, or null.
    KvrnBrush* NamedBrush(const std::string& name) const;
    // The first line set of that name, or null.
    KvrnLineset* LineSetNamed(const std::string& name);
    // Puts the maps the description's brushes name (colorMap, sizeMap, the detail's map and
    // noiseMap) into the brushes, looked up by `map`. Throws InputError naming the brush and map
    // when the lookup gives none.
    void SetBrushMaps(const SceneDescription& desc,
                      const std::function<Texmap*(const std::string&)>& map);
    // The node of scene object i (ObjectDesc order); null for a negative or unknown index.
    INode* NodeOf(int32_t objectIndex) const;
    // Per render object, the node of its ObjectDesc (descIndex from LoadSceneObjects).
    std::vector<INode*> NodesOf(const std::vector<int32_t>& descIndex) const;
    // True for a brush the scene file named in "brushes" (written back under its name).
    bool IsNamedBrush(const ReferenceTarget* brush) const;

  private:
    void BuildLine(const SceneDescription& desc);

    Scene ownScene_;
    Scene* scene_ = &ownScene_;
    std::vector<INode*> nodes_;
    std::vector<const ReferenceTarget*> namedBrushes_;
    std::vector<RefPtr<KvrnBrush>> brushes_;  // by SceneDescription::brushes index
    RefPtr<KvrnLine> line_;
};

// The engine records of the objects at time 0 for render objects coming from the ObjectDescs
// `descIndex` (negative: none). Throws InputError naming the scene file, line set and slot for
// brush values the engine rejects and for a non-positive height with relative sizes.
EngineLineRecords BuildSceneRecords(SceneLineObjects& objects, const SceneDescription& desc,
                                    const std::vector<int32_t>& descIndex, int32_t imageHeight,
                                    int32_t availableCores);

}  // namespace KvrnApp
