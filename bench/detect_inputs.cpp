#include "detect_inputs.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "bench_models.h"
#include "default_camera.h"
#include "edge_detect.h"

namespace KvrnBench {

namespace {

using KvrnLib::RenderObject;

std::shared_ptr<RenderObject> Instance(const KvrnBench::TriangleMesh& mesh, float scale,
                                       float angle, KvrnLib::Point3 at) {
    auto object = KvrnBench::MakeRenderObject(mesh, KvrnLib::Camera{});
    KvrnLib::Matrix3 place;
    const float c = std::cos(angle) * scale, s = std::sin(angle) * scale;
    place.row[0] = {c, s, 0};
    place.row[1] = {-s, c, 0};
    place.row[2] = {0, 0, scale};
    place.row[3] = at;
    object->objToWorld = place;
    return object;
}

}  // namespace

const DetectInput* Input(benchmark::State& state, int which) {
    static std::unique_ptr<DetectInput> inputs[3];
    std::unique_ptr<DetectInput>& input = inputs[which];
    if (input) return input.get();
    try {
        auto made = std::make_unique<DetectInput>();
        if (which < 2) {
            made->objects.push_back(
                Instance(KvrnBench::ModelMesh("stanford-bunny.obj", which == 0 ? 0 : 2), 1, 0, {}));
        } else {
            const char* names[] = {"stanford-bunny.obj", "fandisk.obj",       "rocker-arm.obj",
                                   "spot.obj",           "teapot.obj",        "cow.obj",
                                   "suzanne.obj",        "stanford-bunny.obj"};
            for (int i = 0; i < 100; ++i) {
                const KvrnBench::TriangleMesh& mesh = KvrnBench::ModelMesh(names[i % 8], 0);
                float radius = 0;
                for (const KvrnLib::Point3& v : mesh.vertices)
                    radius = std::max(radius, std::sqrt(KvrnLib::Dot(v, v)));
                made->objects.push_back(Instance(
                    mesh, 1.2f / radius, 0.7f * float(i),
                    {1.5f * float(i % 10), 1.5f * float(i / 10), 0.3f * float((i * 7) % 5)}));
            }
        }
        KvrnApp::FramedCamera framed = KvrnApp::FrameObjects(made->objects);
        made->camera = framed.camera;
        for (auto& object : made->objects) {
            object->SetTransforms(object->objToWorld, made->camera.worldToCam);
            made->triangles += int64_t(object->faces.size());
        }
        input = std::move(made);
    } catch (const std::exception& e) {
        state.SkipWithError((std::string("models folder missing: ") + e.what()).c_str());
        return nullptr;
    }
    return input.get();
}

KvrnLib::LineDetectionSettings Settings(int objectCount, bool intersections) {
    KvrnLib::LineDetectionSettings settings;
    KvrnLib::LineSetDetection set;
    for (KvrnLib::LineClassDetection* c : {&set.visible, &set.hidden}) {
        for (int k : {KvrnLib::kEdgeOutline, KvrnLib::kEdgeObject, KvrnLib::kEdgeSmoothing,
                      KvrnLib::kEdgeMaterialID, KvrnLib::kEdgeSelected})
            c->kind[size_t(k)] = 1;
        c->kind[KvrnLib::kEdgeIntersection] = intersections;
        c->selfIsect = intersections;
        c->openEdgeOutline = c->openEdgeObject = 1;
    }
    settings.lineSets = {set};
    settings.offscreen = {10, 10, 10, 10};
    settings.objects.resize(size_t(objectCount));
    for (auto& o : settings.objects) o.defaultLineSet = 0;
    return settings;
}

Detected* Detection(benchmark::State& state, int which) {
    static std::unique_ptr<Detected> detected[3];
    if (detected[which]) return detected[which].get();
    const DetectInput* input = Input(state, which);
    if (!input) return nullptr;
    auto made = std::make_unique<Detected>();
    made->scene = std::make_unique<KvrnLib::Scene>(input->camera, input->objects);
    KvrnLib::ThreadManagerCore pool(2);
    KvrnLib::DetectEdges(made->result, Settings(int(input->objects.size()), true), *made->scene,
                         pool, nullptr);
    for (const auto& set : made->result.lineSets)
        for (const auto* side : {&set.visible, &set.hidden})
            for (const auto& object : *side)
                for (const auto& list : object.kinds) made->pieces += int64_t(list.Size());
    for (const auto& pair : made->result.pairs)
        made->pieces += int64_t(pair.visibleEdges.Size() + pair.hiddenEdges.Size());
    detected[which] = std::move(made);
    return detected[which].get();
}

KvrnLib::ConnectSettings OneGroup() {
    KvrnLib::ConnectSettings settings;
    settings.visibleGroup.fill(0);
    settings.hiddenGroup.fill(0);
    settings.visibleParams.fill({60, 4});
    settings.hiddenParams.fill({60, 4});
    return settings;
}

}  // namespace KvrnBench
