// The host scene a render runs on, built from a scene description and its loaded objects: a node
// per scene object (its meshes, material, parent, visibility and animation), the camera node,
// the materials and maps, and the render setup with its effects list and render elements. The
// frame renderer then runs frames of it; nothing here renders.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "default_camera.h"
#include "line_objects.h"
#include "param_block.h"
#include "render.h"
#include "scene_description.h"
#include "scene_objects.h"

class KvrnFileOut;
class LightObject;
class KvrnLine;
class KvrnLineRendElem;

namespace KvrnApp {

// Vector files the command line asks for besides the scene's own file outputs.
struct CommandLineOutputs {
    std::string eps;  // "####" takes the frame number
    std::string ai;
};

struct ElementOutput {
    IRenderElement* element = nullptr;
    std::string name;  // its layer name
    std::string png;   // empty: none
};

class HostScene {
  public:
    // Takes the meshes out of `loaded` (its render objects are emptied). `camera` is the frame's
    // camera at the start frame (the scene's, or one framing the objects). frames: the frames
    // this run renders, in order (rangeRender when more than one). Throws InputError naming the
    // scene file and the key for a class, parameter, key or map that cannot be built, and for a
    // texture file that cannot be read.
    HostScene(const SceneDescription& desc, SceneObjects& loaded, const FramedCamera& camera,
              const CommandLineOutputs& outputs, const std::vector<int>& frames,
              BMM_Color_fl background);
    ~HostScene();
    HostScene(const HostScene&) = delete;
    HostScene& operator=(const HostScene&) = delete;

    Scene& GetScene() { return lineObjects_->GetScene(); }
    RenderSetup& Setup() { return setup_; }
    SceneLineObjects& LineObjects() { return *lineObjects_; }
    const std::vector<ElementOutput>& Elements() const { return elements_; }
    // Textures of model files that could not be opened (their materials were made without them).
    const std::vector<std::string>& Warnings() const { return warnings_; }
    // The line effects in effects-list order: the scene's own and any others.
    const std::vector<KvrnLine*>& LineEffects() const { return lines_; }
    // The vector file outputs in effects-list order (the scene's, then the command line's).
    const std::vector<KvrnFileOut*>& FileOutputs() const { return fileOutputs_; }

  private:
    void BuildMaps(const SceneDescription& desc);
    void BuildMaterials(const SceneDescription& desc);
    void BuildObjects(const SceneDescription& desc, SceneObjects& loaded);
    void BuildCamera(const SceneDescription& desc, const FramedCamera& camera);
    void BuildLights(const SceneDescription& desc);
    void AddDefaultLights();
    INode* AddLightNode(const std::string& name, LightObject* light, const Point3& position,
                        const Point3& target, INode* parent);
    void BuildShading(const SceneDescription& desc);
    void ApplyTracks(const SceneDescription& desc);
    void AnimateCameraView(const SceneDescription& desc, const TrackDesc& track);
    void BuildEffects(const SceneDescription& desc, const CommandLineOutputs& outputs);
    void BuildElements(const SceneDescription& desc);
    void CheckMaps(const SceneDescription& desc, TimeValue t);
    ReferenceTarget* Named(ParamType type, const std::string& name) const;
    INode* LightNamed(const std::string& name) const;
    Mtl* TwoSidedMaterial();

    std::unique_ptr<SceneLineObjects> lineObjects_;
    std::vector<std::unique_ptr<SceneLineObjects>> extraLines_;
    std::vector<KvrnLine*> lines_;
    RenderSetup setup_;
    std::vector<std::pair<std::string, RefPtr<ReferenceTarget>>> maps_;
    std::vector<std::pair<std::string, RefPtr<ReferenceTarget>>> materials_;
    FramedCamera framed_;
    INode* cameraTarget_ = nullptr;
    std::vector<std::pair<std::string, INode*>> lights_;  // scene and default lights by name
    RefPtr<Mtl> twoSided_;  // made when the eye or the target is animated
    std::vector<KvrnFileOut*> fileOutputs_;
    std::vector<ElementOutput> elements_;
    std::vector<std::string> warnings_;
};

// The frame's time in ticks.
TimeValue FrameTime(int frame);

}  // namespace KvrnApp
