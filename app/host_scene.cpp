#include "host_scene.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "brush.h"
#include "brush_detail.h"
#include "camera.h"
#include "class_desc.h"
#include "file_out_effect.h"
#include "file_scene.h"
#include "host_classes.h"
#include "kvrn_line.h"
#include "kvrn_line_rend_elem.h"
#include "light.h"
#include "line_classes.h"
#include "line_render_driver.h"
#include "lineset.h"
#include "mtl.h"
#include "node.h"
#include "object.h"
#include "param_json.h"
#include "poly_mesh.h"
#include "shading_elements.h"
#include "texmap.h"

namespace KvrnApp {

namespace {

using Json = nlohmann::json;

// The host's materials and maps, the render element and the file output, once per process.
void RegisterPipelineClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        ClassDirectory& directory = ClassDirectory::Instance();
        RegisterHostMaterialClasses(directory);
        RegisterLightClasses(directory);
        RegisterShadingElementClasses(directory);
        RegisterLineRenderElementClass(directory);
        RegisterFileOutClass(directory);
    });
}

[[noreturn]] void Fail(const SceneDescription& desc, const std::string& where,
                       const std::string& what) {
    throw InputError((desc.path.empty() ? "" : desc.path + ": ") + where + ": " + what);
}

// Class names match without regard to case, spaces or punctuation ("multi/sub-object" is
// "Multi/Sub-Object"); "multi" is the multi/sub-object material.
std::string Folded(const std::string& name) {
    std::string out;
    for (const char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            out += char(std::tolower(static_cast<unsigned char>(c)));
    return out == "multi" ? "multisubobject" : out;
}

std::string ClassNames(SClass_ID superClass) {
    std::string names;
    const ClassDirectory& directory = ClassDirectory::Instance();
    for (int i = 0; i < directory.Count(); ++i) {
        ClassDesc2* desc = directory.Get(i);
        if (desc->SuperClassID() == superClass && desc->IsPublic())
            names += (names.empty() ? "\"" : ", \"") + desc->ClassName() + "\"";
    }
    return names;
}

ReferenceTarget* CreateByName(SClass_ID superClass, const std::string& name) {
    const ClassDirectory& directory = ClassDirectory::Instance();
    for (int i = 0; i < directory.Count(); ++i) {
        ClassDesc2* desc = directory.Get(i);
        if (desc->SuperClassID() == superClass && desc->IsPublic() &&
            (Folded(desc->ClassName()) == Folded(name) ||
             Folded(desc->InternalName()) == Folded(name)))
            return desc->Create(false);
    }
    return nullptr;
}

// The blocks of an object and of the sub-objects it holds by reference (a brush's detail, a
// map's coordinates), in reference order.
std::vector<IParamBlock2*> BlocksOf(ReferenceMaker& maker) {
    std::vector<IParamBlock2*> blocks;
    for (int i = 0; i < maker.NumParamBlocks(); ++i)
        if (IParamBlock2* block = maker.GetParamBlock(i)) blocks.push_back(block);
    return blocks;
}

IParamBlock2* BlockWith(ReferenceMaker& maker, const std::string& param) {
    for (IParamBlock2* block : BlocksOf(maker))
        if (block->GetDesc()->FindParam(param)) return block;
    return nullptr;
}

// Every key of params set on the object's blocks. A JSON object given for a parameter that holds
// a sub-object (a map's "coords", "output") sets that sub-object's parameters. File names (a
// bitmap's image) are taken relative to `folder`, the scene file's.
std::string ApplyParams(ReferenceMaker& target, const Json& params, const std::string& where,
                        const JsonNameResolver& resolve, const std::filesystem::path& folder) {
    if (!params.is_object()) return where + ": expected an object";
    for (const auto& [key, value] : params.items()) {
        const std::string at = where + "." + key;
        IParamBlock2* block = BlockWith(target, key);
        if (!block) return at + ": no parameter of that name";
        const ParamDef* def = block->GetDesc()->FindParam(key);
        if (value.is_object() && def->IsRefKind()) {
            ReferenceTarget* sub = block->GetReferenceTarget(def->id);
            if (!sub) return at + ": holds no object to set";
            const std::string error = ApplyParams(*sub, value, at, resolve, folder);
            if (!error.empty()) return error;
            continue;
        }
        if (def->type == ParamType::Filename) {
            if (!value.is_string()) return at + ": expected a file name, got " + value.dump();
            std::filesystem::path file = value.get<std::string>();
            if (file.is_relative() && !file.empty()) file = folder / file;
            block->SetValue(def->id, 0, ParamValue(file.string()));
            continue;
        }
        const std::string error =
            ApplyJsonToBlock(*block, Json::object({{key, value}}), 0, where, resolve);
        if (!error.empty()) return error;
    }
    return std::string();
}

std::filesystem::path Folder(const SceneDescription& desc) {
    return std::filesystem::path(desc.path).parent_path();
}

// Keys on a parameter of the object or of a sub-object named on the way ("coords.uTiling").
std::string ApplyKeys(ReferenceMaker& target, const std::string& param,
                      const std::vector<JsonKey>& keys, const std::string& where) {
    const size_t dot = param.find('.');
    if (dot != std::string::npos) {
        const std::string head = param.substr(0, dot);
        IParamBlock2* block = BlockWith(target, head);
        const ParamDef* def = block ? block->GetDesc()->FindParam(head) : nullptr;
        ReferenceTarget* sub =
            def && def->IsRefKind() ? block->GetReferenceTarget(def->id) : nullptr;
        if (!sub) return where + ": no sub-object \"" + head + "\"";
        return ApplyKeys(*sub, param.substr(dot + 1), keys, where);
    }
    IParamBlock2* block = BlockWith(target, param);
    if (!block) return where + ": no parameter of that name";
    return ApplyJsonKeys(*block, param, keys, where);
}

// The mesh of a loaded object as the host holds it: the same faces and map channels. The
// loader's corner normals go with it as normals already computed (explicit where the file gave
// them): see MakeTriObject.
// Host and engine points are both three floats: large arrays go across in one copy.
static_assert(sizeof(Point3) == sizeof(KvrnLib::Point3) && std::is_trivially_copyable_v<Point3> &&
              std::is_trivially_copyable_v<KvrnLib::Point3>);
std::vector<Point3> HostPoints(const std::vector<KvrnLib::Point3>& from) {
    std::vector<Point3> to(from.size());
    if (!from.empty())
        std::memcpy(static_cast<void*>(to.data()), from.data(), from.size() * sizeof(Point3));
    return to;
}

Mesh ToHostMesh(const KvrnLib::RenderObject& object) {
    Mesh mesh;
    mesh.verts = HostPoints(object.vertices);
    // Edge visibility (engine bits 1-3) and hard-edge marks (7-9) move to the host's 0-5.
    static_assert(KvrnLib::FaceEdgeVisibleBit(0) == EDGE_A << 1 &&
                  KvrnLib::FaceEdgeHardBit(0) == FACE_HARD_EDGE_A << 4);
    mesh.faces.resize(object.faces.size());
    Face* face = mesh.faces.data();
    for (const KvrnLib::FaceRecord& from : object.faces) {
        face->v = {uint32_t(from.vertexA), uint32_t(from.vertexB), uint32_t(from.vertexC)};
        face->smGroup = from.smoothingGroup;
        face->matID = from.materialID;
        face->flags = ((from.flags >> 1) & EDGE_ALL) | ((from.flags >> 4) & FACE_HARD_EDGE_ALL);
        ++face;
    }
    for (int c = 0; c < KvrnLib::kMapChannelCount; ++c) {
        const auto& channel = object.mapChannels[size_t(c)];
        if (!channel || channel->faces.size() != object.faces.size()) continue;
        MeshMap& map = mesh.maps[size_t(c)];
        for (const KvrnLib::Point3& v : channel->vertices) map.tv.push_back({v.x, v.y, v.z});
        map.tf.resize(channel->faces.size());
        for (size_t f = 0; f < channel->faces.size(); ++f) {
            const auto& t = channel->faces[f];
            map.tf[f].t = {uint32_t(t[0]), uint32_t(t[1]), uint32_t(t[2])};
        }
    }
    return mesh;
}

// Normals a file gave are the mesh's own (specified, explicit); normals the loader computed
// (from smoothing groups and its crease angle) are kept with the object as computed ones, so
// nothing recomputes them differently and the mesh does not carry them twice.
TriObject* MakeTriObject(const KvrnLib::RenderObject& object) {
    std::vector<Point3> normals;
    if (object.cornerNormals.size() == 3 * object.faces.size())
        normals = HostPoints(object.cornerNormals);
    Mesh mesh = ToHostMesh(object);
    if (object.explicitNormals && !normals.empty()) {
        MeshNormalSpec& normalSpec = mesh.specifiedNormals;
        normalSpec.normals = normals;
        normalSpec.faces.resize(object.faces.size());
        for (size_t f = 0; f < normalSpec.faces.size(); ++f)
            normalSpec.faces[f] = {uint32_t(3 * f), uint32_t(3 * f + 1), uint32_t(3 * f + 2)};
        normalSpec.explicitNormal.assign(normalSpec.normals.size(), 1);
    }
    const bool explicitNormals = object.explicitNormals != 0;
    auto* tri = new TriObject(std::move(mesh));
    if (!normals.empty()) tri->SetCornerNormals(std::move(normals), explicitNormals);
    return tri;
}

Matrix3 ToHost(const KvrnLib::Matrix3& m) {
    Matrix3 out;
    for (int r = 0; r < 4; ++r) out.SetRow(r, {m.row[r].x, m.row[r].y, m.row[r].z});
    return out;
}

Point3 ToHost(const KvrnLib::Point3& p) { return {p.x, p.y, p.z}; }

std::vector<JsonKey> KeysOf(const TrackDesc& track) {
    std::vector<JsonKey> keys;
    for (const auto& [frame, value] : track.keys) keys.push_back({FrameTime(frame), value});
    return keys;
}

// A track's keys as 3-vectors (positions, rotations, scales, eye, target, up).
std::vector<std::pair<TimeValue, Point3>> VectorKeys(const SceneDescription& desc,
                                                     const TrackDesc& track) {
    std::vector<std::pair<TimeValue, Point3>> keys;
    for (size_t i = 0; i < track.keys.size(); ++i) {
        const Json value = Json::parse(track.keys[i].second);
        bool ok = value.is_array() && value.size() == 3;
        for (size_t c = 0; ok && c < 3; ++c) ok = value[c].is_number();
        if (!ok) {
            Fail(desc, track.where + "[" + std::to_string(i) + "]",
                 "expected three numbers, got " + value.dump());
        }
        keys.emplace_back(
            FrameTime(track.keys[i].first),
            Point3(value[0].get<float>(), value[1].get<float>(), value[2].get<float>()));
    }
    return keys;
}

float NumberKey(const SceneDescription& desc, const TrackDesc& track, size_t i, double min,
                double max) {
    const Json value = Json::parse(track.keys[i].second);
    const std::string at = track.where + "[" + std::to_string(i) + "]";
    if (!value.is_number()) Fail(desc, at, "expected a number, got " + value.dump());
    const double v = value.get<double>();
    if (!(v >= min && v <= max)) Fail(desc, at, value.dump() + " is out of range");
    return float(v);
}

}  // namespace

TimeValue FrameTime(int frame) { return TimeValue(frame) * GetTicksPerFrame(); }

HostScene::HostScene(const SceneDescription& desc, SceneObjects& loaded, const FramedCamera& camera,
                     const CommandLineOutputs& outputs, const std::vector<int>& frames,
                     BMM_Color_fl background) {
    RegisterPipelineClasses();
    SetFrameRate(desc.animation.frameRate);
    framed_ = camera;
    lineObjects_ = std::make_unique<SceneLineObjects>(desc);
    BuildMaps(desc);
    BuildMaterials(desc);
    lineObjects_->SetBrushMaps(desc, [this](const std::string& name) {
        return dynamic_cast<Texmap*>(Named(ParamType::Texmap, name));
    });
    BuildObjects(desc, loaded);
    BuildCamera(desc, camera);
    BuildLights(desc);
    ApplyTracks(desc);
    BuildEffects(desc, outputs);
    BuildElements(desc);

    RenderSettings& settings = setup_.settings;
    settings.width = camera.camera.width;
    settings.height = camera.camera.height;
    settings.start = FrameTime(frames.empty() ? 0 : frames.front());
    settings.end = FrameTime(frames.empty() ? 0 : frames.back());
    settings.rangeRender = frames.size() > 1;
    settings.background = background;
    BuildShading(desc);
    CheckMaps(desc, settings.start);
}

HostScene::~HostScene() = default;

ReferenceTarget* HostScene::Named(ParamType type, const std::string& name) const {
    const auto find = [&name](const auto& list) -> ReferenceTarget* {
        for (const auto& [n, target] : list)
            if (n == name) return target.get();
        return nullptr;
    };
    switch (type) {
        case ParamType::Texmap:
            return find(maps_);
        case ParamType::Mtl:
            return find(materials_);
        case ParamType::Node:
            return lineObjects_->GetScene().FindNode(name);
        default:
            if (ReferenceTarget* map = find(maps_)) return map;
            return find(materials_);
    }
}

// Maps may name each other (a checker's sub-maps), in any order: all are made first.
void HostScene::BuildMaps(const SceneDescription& desc) {
    for (const ClassedDesc& map : desc.maps) {
        ReferenceTarget* made = CreateByName(TEXMAP_CLASS_ID, map.className);
        if (!made) {
            Fail(desc, map.where + ".class",
                 "\"" + map.className + "\" is not a map class (" + ClassNames(TEXMAP_CLASS_ID) +
                     ")");
        }
        if (auto* named = dynamic_cast<MtlBase*>(made)) named->SetName(map.name);
        maps_.emplace_back(map.name, RefPtr<ReferenceTarget>(made));
    }
    const JsonNameResolver resolve = [this](ParamType type, const std::string& name) {
        return Named(type, name);
    };
    for (size_t i = 0; i < desc.maps.size(); ++i) {
        const std::string error =
            ApplyParams(*maps_[i].second, Json::parse(desc.maps[i].paramsJson), desc.maps[i].where,
                        resolve, Folder(desc));
        if (!error.empty()) throw InputError((desc.path.empty() ? "" : desc.path + ": ") + error);
    }
}

void HostScene::BuildMaterials(const SceneDescription& desc) {
    for (const ClassedDesc& material : desc.materials) {
        ReferenceTarget* made = CreateByName(MATERIAL_CLASS_ID, material.className);
        if (!made) {
            Fail(desc, material.where + ".class",
                 "\"" + material.className + "\" is not a material class (" +
                     ClassNames(MATERIAL_CLASS_ID) + ")");
        }
        if (auto* named = dynamic_cast<MtlBase*>(made)) named->SetName(material.name);
        materials_.emplace_back(material.name, RefPtr<ReferenceTarget>(made));
    }
    const JsonNameResolver resolve = [this](ParamType type, const std::string& name) {
        return Named(type, name);
    };
    for (size_t i = 0; i < desc.materials.size(); ++i) {
        Json params = Json::parse(desc.materials[i].paramsJson);
        // The effects channel belongs to every material, not to a parameter block.
        if (params.contains("effectsChannel")) {
            const Json& channel = params["effectsChannel"];
            if (!channel.is_number_integer() || channel.get<int64_t>() < 0 ||
                channel.get<int64_t>() > 15)
                Fail(desc, desc.materials[i].where + ".effectsChannel",
                     "expected a whole number 0 to 15, got " + channel.dump());
            if (auto* mtl = dynamic_cast<Mtl*>(materials_[i].second.get()))
                mtl->SetGBufID(channel.get<int>());
            params.erase("effectsChannel");
        }
        const std::string error = ApplyParams(*materials_[i].second, params,
                                              desc.materials[i].where, resolve, Folder(desc));
        if (!error.empty()) throw InputError((desc.path.empty() ? "" : desc.path + ": ") + error);
    }
}

// A model of several meshes is a closed group: its node stands for its mesh nodes in line sets.
void HostScene::BuildObjects(const SceneDescription& desc, SceneObjects& loaded) {
    SceneLineObjects& objects = *lineObjects_;
    FileMtlCache fileMtls;
    std::vector<TriObject*> meshOf(loaded.objects.size(), nullptr);
    std::vector<int> meshCount(desc.objects.size(), 0);
    for (int32_t index : loaded.descIndex)
        if (index >= 0) ++meshCount[size_t(index)];
    for (size_t i = 0; i < loaded.objects.size(); ++i) {
        const int32_t index = loaded.descIndex[i];
        INode* objectNode = objects.NodeOf(index);
        if (!objectNode || !loaded.objects[i]) continue;
        KvrnLib::RenderObject& source = *loaded.objects[i];
        INode* node = objectNode;
        if (meshCount[size_t(index)] > 1) {
            node = new INode;
            node->SetName(source.name);
            objectNode->AttachChild(node);
            objectNode->SetGroupHead(true);
        }
        // Faces a model file calls double-sided get a two-sided material, unless the scene
        // gives the object its own (a loader splits a file's meshes by material, so a mesh is
        // all one or the other).
        const bool twoSided = std::any_of(source.faces.begin(), source.faces.end(),
                                          [](const KvrnLib::FaceRecord& face) {
                                              return (face.flags & KvrnLib::kFaceTwoSided) != 0;
                                          });
        if (desc.objects[size_t(index)].material.empty()) {
            if (Mtl* fromFile = FileMtl(loaded, i, fileMtls)) {
                node->SetMtl(fromFile);
            } else if (twoSided) {
                node->SetMtl(TwoSidedMaterial());
            }
        }
        // A model placed many times is one mesh in the host scene, held by every placement.
        const size_t first = i < loaded.sameMeshAs.size() ? size_t(loaded.sameMeshAs[i]) : i;
        TriObject* tri = first < i && meshOf[first] ? meshOf[first] : MakeTriObject(source);
        meshOf[i] = tri;
        node->SetObjectRef(tri);
        node->SetObjectOffsetTM(ToHost(loaded.fileTransforms[i]));
        // The loader's engine form of the mesh is what the frame's engine scene would convert
        // the host mesh back into: the frame takes it as it is.
        if (source.cornerNormals.size() == 3 * source.faces.size()) {
            const CornerNormals& normals = tri->GetCornerNormals();
            SharedFrameRenderInfo().Adopt(node, tri->GetMeshPtr(), normals.normals,
                                          normals.allExplicit, loaded.objects[i]);
        }
    }
    // The files' cameras and lights hang under their objects' nodes; the render's camera stays
    // the scene's.
    AddFileCamerasAndLights(GetScene(), loaded,
                            [&objects](int32_t index) { return objects.NodeOf(index); });
    warnings_ = fileMtls.Warnings();
    loaded.objects.clear();
    for (size_t i = 0; i < desc.objects.size(); ++i) {
        const ObjectDesc& object = desc.objects[i];
        INode* node = objects.NodeOf(int32_t(i));
        // The placement exactly as the loader computes it, so that a still scene's numbers do
        // not depend on the way to the engine (keys replace it for animated objects).
        node->SetLocalTM(ToHost(ObjectTransform(object)));
        if (object.hidden) node->Hide(true);
        node->SetGBufID(object.objectID);
        if (!object.material.empty())
            node->SetMtl(dynamic_cast<Mtl*>(Named(ParamType::Mtl, object.material)));
    }
}

Mtl* HostScene::TwoSidedMaterial() {
    if (!twoSided_) {
        auto* made = dynamic_cast<Mtl*>(CreateByName(MATERIAL_CLASS_ID, "Standard"));
        if (!made) throw std::logic_error("the standard material is not registered");
        twoSided_ = made;
        made->SetName("Double-sided (from the model file)");
        made->GetParamBlock(0)->SetValueByName("twoSided", 0, ParamValue(1));
    }
    return twoSided_.get();
}

void HostScene::BuildCamera(const SceneDescription& desc, const FramedCamera& framed) {
    const CameraDesc& c = desc.camera;
    auto* node = new INode;
    node->SetName("camera");
    auto* object = new CameraObject;
    node->SetObjectRef(object);
    node->SetRenderable(false);
    GetScene().GetRootNode()->AttachChild(node);
    setup_.camera = node;
    const KvrnLib::Camera& e = framed.camera;
    if (e.parallel) {
        object->SetOrtho(true);
        object->SetParallelWidth(0, float(double(e.width) / double(e.scale.x)), false);
    } else if (c.given && c.fov > 0) {
        object->SetVerticalFOV(0, c.fov, false);
    } else {
        object->SetLens(0, framed.options.lensMm, framed.options.filmMm, false);
    }
    if (c.given && (c.nearRange > 0 || c.farRange > 0)) {
        object->SetClipManual(true);
        object->SetClipRange(0, c.nearRange, c.farRange > 0 ? c.farRange : 1e30f, false);
    }
    // The camera's axes as the framing computed them: right, up, back and the eye.
    Matrix3 tm;
    tm.SetRow(0, ToHost(e.camToWorld.row[0]));
    tm.SetRow(1, ToHost(e.camToWorld.row[1]));
    tm.SetRow(2, ToHost(e.camToWorld.row[2]));
    tm.SetRow(3, ToHost(e.camToWorld.row[3]));
    node->SetLocalTM(tm);
}

void HostScene::ApplyTracks(const SceneDescription& desc) {
    SceneLineObjects& objects = *lineObjects_;
    INode* cameraNode = setup_.camera.get();
    auto* camera = dynamic_cast<CameraObject*>(cameraNode->GetObjectRef());
    for (const TrackDesc& track : desc.tracks) {
        const std::string& section = track.path[0];
        const std::string& param = track.path.back();
        std::string error;
        if (section == "objects") {
            INode* node = GetScene().FindNode(track.path[1]);
            if (!node) Fail(desc, track.where, "no object named \"" + track.path[1] + "\"");
            const auto keys = VectorKeys(desc, track);
            if (param != "position" && param != "rotation" && param != "scale")
                Fail(desc, track.where, "objects animate \"position\", \"rotation\" or \"scale\"");
            // An animated object is placed by its keys alone: its fixed transform gives way.
            if (!node->PositionController().IsKeyed() && !node->RotationController().IsKeyed() &&
                !node->ScaleController().IsKeyed()) {
                const ObjectDesc& o = desc.objects[size_t(objects.IndexOf(node))];
                node->SetLocalTM(Matrix3());
                node->SetPosition(0, ToHost(o.position), false);
                node->SetRotation(0, ToHost(o.rotation), false);
                node->SetScale(0, ToHost(o.scale), false);
            }
            for (const auto& [t, v] : keys) {
                if (param == "position") node->SetPosition(t, v, true);
                if (param == "rotation") node->SetRotation(t, v, true);
                if (param == "scale") node->SetScale(t, v, true);
            }
        } else if (section == "camera") {
            if (param == "eye" || param == "target" || param == "up") {
                AnimateCameraView(desc, track);
            } else if (param == "fov") {
                for (size_t i = 0; i < track.keys.size(); ++i)
                    camera->SetVerticalFOV(FrameTime(track.keys[i].first),
                                           NumberKey(desc, track, i, 0.001, 179.9), true);
            } else if (param == "parallelWidth") {
                for (size_t i = 0; i < track.keys.size(); ++i)
                    camera->SetParallelWidth(FrameTime(track.keys[i].first),
                                             NumberKey(desc, track, i, 1e-6, 1e30), true);
            } else {
                Fail(desc, track.where,
                     "the camera animates \"eye\", \"target\", \"up\", \"fov\" or "
                     "\"parallelWidth\"");
            }
        } else if (section == "line") {
            error = ApplyKeys(objects.Line(), param, KeysOf(track), track.where);
        } else {
            ReferenceTarget* target = nullptr;
            const std::string& name = track.path[1];
            if (section == "brushes") target = objects.NamedBrush(name);
            if (section == "linesets") target = objects.LineSetNamed(name);
            if (section == "materials") target = Named(ParamType::Mtl, name);
            if (section == "maps") target = Named(ParamType::Texmap, name);
            if (section == "lights") {
                INode* node = LightNamed(name);
                target = node ? node->GetObjectRef() : nullptr;
            }
            if (!target)
                Fail(desc, track.where,
                     "no " + section.substr(0, section.size() - 1) + " named \"" + name + "\"");
            error = ApplyKeys(*target, param, KeysOf(track), track.where);
        }
        if (!error.empty()) throw InputError((desc.path.empty() ? "" : desc.path + ": ") + error);
    }
}

// An animated eye or target makes the camera look at a target node: the camera node's position
// is the eye, the target node's position the target, and the view keeps the given up direction.
void HostScene::AnimateCameraView(const SceneDescription& desc, const TrackDesc& track) {
    const std::string& param = track.path.back();
    if (param == "up") Fail(desc, track.where, "the camera's up direction is not animatable");
    INode* camera = setup_.camera.get();
    if (!cameraTarget_) {
        cameraTarget_ = new INode;
        cameraTarget_->SetName("camera.target");
        cameraTarget_->SetRenderable(false);
        GetScene().GetRootNode()->AttachChild(cameraTarget_);
        cameraTarget_->SetPosition(0, ToHost(framed_.target), false);
        camera->SetLocalTM(Matrix3());
        camera->SetPosition(0, ToHost(framed_.eye), false);
        // The view keeps the scene's up direction (the framing camera's is Z), so that an orbit
        // does not roll.
        camera->SetLookAt(cameraTarget_,
                          desc.camera.given ? ToHost(desc.camera.up) : Point3(0, 0, 1));
    }
    INode* node = param == "eye" ? camera : cameraTarget_;
    for (const auto& [t, v] : VectorKeys(desc, track)) node->SetPosition(t, v, true);
}

void HostScene::BuildEffects(const SceneDescription& desc, const CommandLineOutputs& outputs) {
    const JsonNameResolver noNames;
    const auto addFileOutput = [this](const std::string& fileName, int fileType) {
        RefPtr<KvrnFileOut> out(new KvrnFileOut());
        out->FileBlock()->SetValue(kFileOutFileType, 0, fileType);
        out->FileBlock()->SetValue(kFileOutFileName, 0, fileName.c_str());
        fileOutputs_.push_back(out.get());
        setup_.effects.emplace_back(out.get());
        return out.get();
    };
    std::vector<EffectDesc> effects = desc.effects;
    if (effects.empty()) effects.emplace_back();
    int outputCount = 0;
    for (const EffectDesc& effect : effects) {
        if (effect.kind == EffectDesc::Kind::kLines) {
            SceneLineObjects* objects = lineObjects_.get();
            if (effect.lines) {
                // Its own settings over the scene's nodes.
                extraLines_.push_back(
                    std::make_unique<SceneLineObjects>(*effect.lines, *lineObjects_));
                objects = extraLines_.back().get();
                objects->SetBrushMaps(*effect.lines, [this](const std::string& name) {
                    return dynamic_cast<Texmap*>(Named(ParamType::Texmap, name));
                });
            }
            KvrnLine& line = objects->Line();
            line.SetName(effect.name.empty() ? "kovrin" : effect.name);
            setup_.effects.emplace_back(&line);
            lines_.push_back(&line);
            continue;
        }
        Json params = Json::parse(effect.paramsJson);
        const std::string fileName = params["fileName"].get<std::string>();
        params.erase("fileName");
        KvrnFileOut* out = addFileOutput(fileName, 0);
        out->SetName("File Output " + std::to_string(++outputCount));
        const std::string error = ApplyParams(*out, params, effect.where, noNames, Folder(desc));
        if (!error.empty()) throw InputError((desc.path.empty() ? "" : desc.path + ": ") + error);
    }
    // The command line's vector files draw every line at line sizes for an image 640 pixels
    // high, as they always did.
    if (!outputs.eps.empty()) addFileOutput(outputs.eps, 1)->SetName("--eps");
    if (!outputs.ai.empty()) addFileOutput(outputs.ai, 0)->SetName("--ai");
}

void HostScene::BuildElements(const SceneDescription& desc) {
    const JsonNameResolver noNames;
    for (const RenderElementDesc& element : desc.renderElements) {
        const ClassedDesc& e = element.element;
        RefPtr<IRenderElement> made;
        Json params = Json::parse(e.paramsJson);
        if (Folded(e.className) == "line" || Folded(e.className) == "kovrinline") {
            auto* line = new KvrnLineRendElem();
            line->MainBlock()->SetValue(KvrnLineRendElem::kElementName, 0, e.name.c_str());
            made = line;
        } else if (auto* shading = dynamic_cast<ShadingRenderElement*>(
                       CreateByName(RENDER_ELEMENT_CLASS_ID, e.className))) {
            made = shading;
            shading->Params()->SetValue(kElemName, 0, e.name.c_str());
        } else {
            Fail(desc, e.where + ".class",
                 "\"" + e.className + "\" is not a render element class (\"line\", " +
                     ClassNames(RENDER_ELEMENT_CLASS_ID) + ")");
        }
        const std::string error = ApplyParams(*made, params, e.where, noNames, Folder(desc));
        if (!error.empty()) throw InputError((desc.path.empty() ? "" : desc.path + ": ") + error);
        setup_.elements.emplace_back(made.get());
        elements_.push_back({made.get(), e.name, element.png});
    }
}

INode* HostScene::LightNamed(const std::string& name) const {
    for (const auto& [n, node] : lights_)
        if (n == name) return node;
    return nullptr;
}

namespace {

bool HasLight(Scene& scene) {
    bool found = false;
    scene.Walk([&found](INode* node) {
        if (dynamic_cast<LightObject*>(node->GetObjectRef())) found = true;
    });
    return found;
}

Point3 VectorAt(const Json& value, bool& ok) {
    ok = value.is_array() && value.size() == 3 &&
         std::all_of(value.begin(), value.end(), [](const Json& v) { return v.is_number(); });
    if (!ok) return {};
    return {value[0].get<float>(), value[1].get<float>(), value[2].get<float>()};
}

}  // namespace

// A light's node sits at "position" and, unless it is an omni or ambient light, looks at
// "target" (the framed objects' centre when not given) through a target node of its own.
INode* HostScene::AddLightNode(const std::string& name, LightObject* light, const Point3& position,
                               const Point3& target, INode* parent) {
    auto* node = new INode;
    node->SetName(name);
    node->SetObjectRef(light);
    node->SetRenderable(false);
    (parent ? parent : GetScene().GetRootNode())->AttachChild(node);
    node->SetPosition(0, position, false);
    if (light->GetType() == LightType::kSpot || light->GetType() == LightType::kDirectional) {
        auto* aim = new INode;
        aim->SetName(name + ".target");
        aim->SetRenderable(false);
        GetScene().GetRootNode()->AttachChild(aim);
        aim->SetPosition(0, target, false);
        const Point3 dir = Normalize(target - position);
        node->SetLookAt(aim, std::fabs(dir.z) > 0.999f ? Point3(0, 1, 0) : Point3(0, 0, 1));
    }
    lights_.emplace_back(name, node);
    return node;
}

void HostScene::BuildLights(const SceneDescription& desc) {
    const JsonNameResolver resolve = [this](ParamType type, const std::string& name) {
        return Named(type, name);
    };
    const Point3 centre = ToHost(framed_.target);
    for (const ClassedDesc& entry : desc.lights) {
        ReferenceTarget* made = CreateByName(LIGHT_CLASS_ID, entry.className);
        auto* light = dynamic_cast<LightObject*>(made);
        if (!light) {
            Fail(desc, entry.where + ".class",
                 "\"" + entry.className + "\" is not a light class (" + ClassNames(LIGHT_CLASS_ID) +
                     ")");
        }
        RefPtr<LightObject> held(light);
        Json params = Json::parse(entry.paramsJson);
        Point3 position = centre, target = centre;
        INode* parent = nullptr;
        bool ok = true;
        if (params.contains("position")) {
            position = VectorAt(params["position"], ok);
            if (!ok) Fail(desc, entry.where + ".position", "expected [x, y, z]");
            params.erase("position");
        } else if (light->GetType() != LightType::kAmbient) {
            Fail(desc, entry.where, "needs a \"position\" [x, y, z]");
        }
        if (params.contains("target")) {
            target = VectorAt(params["target"], ok);
            if (!ok) Fail(desc, entry.where + ".target", "expected [x, y, z]");
            params.erase("target");
        }
        if (params.contains("parent")) {
            const Json& p = params["parent"];
            parent =
                p.is_string() ? lineObjects_->GetScene().FindNode(p.get<std::string>()) : nullptr;
            if (!parent) Fail(desc, entry.where + ".parent", "no object named " + p.dump());
            params.erase("parent");
        }
        if ((light->GetType() == LightType::kSpot || light->GetType() == LightType::kDirectional) &&
            (target - position).Length() <= 0.0f) {
            Fail(desc, entry.where + ".target", "the light's target is at its position");
        }
        AddLightNode(entry.name, light, position, target, parent);
        const std::string error = ApplyParams(*light, params, entry.where, resolve, Folder(desc));
        if (!error.empty()) throw InputError((desc.path.empty() ? "" : desc.path + ": ") + error);
    }
    if (!HasLight(GetScene())) AddDefaultLights();
}

// A scene without lights gets a key light from above the camera's left shoulder, casting
// shadows, and a weaker fill from the right and behind, so that whatever side a moving camera
// sees gets light; both shine at the framed objects' centre.
void HostScene::AddDefaultLights() {
    const KvrnLib::Matrix3& view = framed_.camera.camToWorld;
    const Point3 right = ToHost(view.row[0]), up = ToHost(view.row[1]), back = ToHost(view.row[2]);
    const Point3 centre = ToHost(framed_.target);
    const float d = std::max(framed_.distance, 1e-3f);
    auto* key = new LightObject(LightType::kDirectional);
    key->SetShadow(true);
    key->SetIntensity(0, 1.0f, false);
    AddLightNode("default key light", key, centre + (right * -0.6f + up * 0.9f + back * 0.8f) * d,
                 centre, nullptr);
    auto* fill = new LightObject(LightType::kDirectional);
    fill->SetIntensity(0, 0.45f, false);
    fill->SetRGBColor(0, Color(0.92f, 0.95f, 1.0f), false);
    AddLightNode("default fill light", fill, centre + (right * 0.9f + up * 0.3f - back * 0.6f) * d,
                 centre, nullptr);
}

void HostScene::BuildShading(const SceneDescription& desc) {
    const ShadingDesc& s = desc.shading;
    ShadingSettings& out = setup_.shading;
    out.enabled = s.enabled;
    out.samples = s.samples;
    out.filter = PixelFilter(s.filter);
    out.filterRadius = s.filterRadius;
    out.adaptive = s.adaptive;
    out.adaptiveThreshold = s.adaptiveThreshold;
    out.adaptiveSamples = std::max(s.adaptiveSamples, s.samples);
    out.maxRayDepth = s.maxRayDepth;
    out.maxTransparencyLayers = s.maxTransparencyLayers;
    out.shadows = s.shadows;
    out.ambient = Color(s.ambient[0], s.ambient[1], s.ambient[2]);
    if (!s.environment.empty())
        setup_.environment = dynamic_cast<Texmap*>(Named(ParamType::Texmap, s.environment));
    RenderSettings& settings = setup_.settings;
    // The gradient belongs to the shaded look: lines-only renders keep the plain background.
    settings.backgroundGradient = s.gradient && s.enabled;
    settings.gradientTop = {s.gradientTop[0], s.gradientTop[1], s.gradientTop[2], 1.0f};
    settings.gradientBottom = {s.gradientBottom[0], s.gradientBottom[1], s.gradientBottom[2], 1.0f};
}

// Texture files are read now, so that a missing one stops the run before any frame.
void HostScene::CheckMaps(const SceneDescription& desc, TimeValue t) {
    for (size_t i = 0; i < maps_.size(); ++i) {
        auto* map = dynamic_cast<Texmap*>(maps_[i].second.get());
        if (!map) continue;
        try {
            Interval valid = FOREVER;
            map->Update(t, valid);
        } catch (const std::exception& e) {
            Fail(desc, desc.maps[i].where, e.what());
        }
    }
}

}  // namespace KvrnApp
