#include "file_scene.h"

#include <cmath>
#include <exception>
#include <numbers>

#include "bitmap_tex.h"
#include "camera.h"
#include "light.h"
#include "multi_mtl.h"
#include "node.h"
#include "std_mtl.h"

namespace KvrnApp {

namespace {

Matrix3 ToHost(const KvrnLib::Matrix3& m) {
    Matrix3 out;
    for (int r = 0; r < 4; ++r) out.SetRow(r, {m.row[r].x, m.row[r].y, m.row[r].z});
    return out;
}

// A bitmap of the texture on map channel 1; null, with a warning, when it cannot be opened (the
// render would fail on it otherwise).
RefPtr<BitmapTex> DiffuseBitmap(const FileMaterial& material, std::vector<std::string>& warnings) {
    RefPtr<BitmapTex> bitmap(static_cast<BitmapTex*>(BitmapTexClassDesc().Create(false)));
    bitmap->SetName(material.name + " diffuse");
    bitmap->Params()->SetValue(kBitmapFileName, 0, material.diffuseMap.c_str());
    bitmap->GetUVGen()->Params()->SetValue(kUVMapping, 0, 0);
    bitmap->GetUVGen()->Params()->SetValue(kUVMapChannel, 0, kTextureChannel);
    try {
        Interval valid = FOREVER;
        bitmap->Update(0, valid);
    } catch (const std::exception& e) {
        warnings.push_back(std::string(e.what()) + "; material '" + material.name +
                           "' is used without it");
        return RefPtr<BitmapTex>();
    }
    return bitmap;
}

}  // namespace

Mtl* FileMtlCache::Standard(const FileScene& scene, uint16_t id) {
    if (id >= scene.materials.size() || !scene.materials[id].given) return nullptr;
    RefPtr<Mtl>& made = standard_[{&scene, id}];
    if (made) return made.get();
    const FileMaterial& material = scene.materials[id];
    auto* mtl = static_cast<StdMtl*>(StdMtlClassDesc().Create(false));
    made = mtl;
    mtl->SetName(material.name);
    IParamBlock2* params = mtl->Params();
    params->SetValue(kStdDiffuse, 0,
                     ParamValue(Color(material.diffuse.x, material.diffuse.y, material.diffuse.z)));
    params->SetValue(kStdOpacity, 0, double(material.opacity) * 100.0);
    params->SetValue(kStdTwoSided, 0, material.twoSided);
    if (!material.diffuseMap.empty()) {
        const RefPtr<BitmapTex> map = DiffuseBitmap(material, warnings_);
        if (map) params->SetValue(kStdDiffuseMap, 0, ParamValue(static_cast<Texmap*>(map.get())));
    }
    return mtl;
}

Mtl* FileMtlCache::ForIDs(const FileScene& scene, const std::vector<uint16_t>& ids) {
    if (ids.size() == 1) return Standard(scene, ids[0]);
    bool any = false;
    for (uint16_t id : ids) any = any || Standard(scene, id);
    if (!any) return nullptr;
    RefPtr<Mtl>& made = multi_[{&scene, ids}];
    if (made) return made.get();
    auto* multi = static_cast<MultiMtl*>(MultiMtlClassDesc().Create(false));
    made = multi;
    multi->SetNumSubMtls(int(ids.size()));
    for (size_t k = 0; k < ids.size(); ++k) {
        multi->SetSubMtlID(int(k), ids[k]);
        if (Mtl* sub = Standard(scene, ids[k])) {
            multi->SetSubMtl(int(k), sub);
            multi->SetSubMtlName(int(k), sub->GetName());
        }
    }
    return multi;
}

Mtl* FileMtl(const SceneObjects& loaded, size_t i, FileMtlCache& cache) {
    if (i >= loaded.descIndex.size() || i >= loaded.materialIDs.size()) return nullptr;
    const int32_t object = loaded.descIndex[i];
    if (object < 0 || size_t(object) >= loaded.fileScenes.size()) return nullptr;
    const FileScene* scene = loaded.fileScenes[size_t(object)].get();
    if (!scene || loaded.materialIDs[i].empty()) return nullptr;
    return cache.ForIDs(*scene, loaded.materialIDs[i]);
}

std::vector<INode*> AddFileCamerasAndLights(
    Scene& scene, const SceneObjects& loaded,
    const std::function<INode*(int32_t objectIndex)>& parentFor) {
    std::vector<INode*> made;
    for (size_t object = 0; object < loaded.fileScenes.size(); ++object) {
        const FileScene* file = loaded.fileScenes[object].get();
        if (!file) continue;
        INode* parent = parentFor ? parentFor(int32_t(object)) : nullptr;
        if (!parent) parent = scene.GetRootNode();
        const auto addNode = [&](const std::string& name, const std::string& fallback, Object* what,
                                 const KvrnLib::Matrix3& tm) {
            auto* node = new INode;
            const std::string own = name.empty() ? fallback : name;
            node->SetName(parent == scene.GetRootNode() ? own : parent->GetName() + "/" + own);
            node->SetObjectRef(what);
            parent->AttachChild(node);
            node->SetLocalTM(ToHost(tm));
            made.push_back(node);
            return node;
        };
        for (size_t c = 0; c < file->cameras.size(); ++c) {
            const FileCamera& from = file->cameras[c];
            auto* camera = new CameraObject;
            if (from.ortho) {
                camera->SetOrtho(true);
                camera->SetParallelWidth(0, from.orthoWidth, false);
            } else if (from.fovVertical) {
                camera->SetVerticalFOV(0, from.fovRadians * 180.0f / std::numbers::pi_v<float>,
                                       false);
            } else {
                camera->SetFOV(0, from.fovRadians, false);
            }
            if (from.farClip > from.nearClip && from.nearClip > 0) {
                camera->SetClipManual(true);
                camera->SetClipRange(0, from.nearClip, from.farClip, false);
            }
            addNode(from.name, "camera" + std::to_string(c + 1), camera, from.camToWorld)
                ->SetRenderable(false);
        }
        for (size_t l = 0; l < file->lights.size(); ++l) {
            const FileLight& from = file->lights[l];
            auto* light = new LightObject(from.type == FileLight::Type::kSpot ? LightType::kSpot
                                          : from.type == FileLight::Type::kDirectional
                                              ? LightType::kDirectional
                                              : LightType::kOmni);
            light->SetRGBColor(0, Color(from.color.x, from.color.y, from.color.z), false);
            light->SetIntensity(0, from.intensity, false);
            light->SetFallsize(from.falloffDeg);
            light->SetHotspot(from.hotspotDeg);
            addNode(from.name, "light" + std::to_string(l + 1), light, from.lightToWorld);
        }
    }
    return made;
}

}  // namespace KvrnApp
