// The shading renderer at 1920 x 1080 on the detection benchmark's bunny and crowd (100
// placements of eight models, 2.4M triangles): a grey standard material, a key light with
// ray-traced shadows and a fill light, 4 samples per pixel, by thread count. Each iteration is
// a fresh renderer (the Embree scene built from scratch) unless the name says the frame is the
// next of an animation, where the meshes' BVHs are kept.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_models.h"
#include "detect_inputs.h"
#include "light.h"
#include "node.h"
#include "ray_tracer.h"
#include "shade_renderer.h"
#include "std_mtl.h"

namespace {

const char* const kCrowdModels[] = {"stanford-bunny.obj", "fandisk.obj",       "rocker-arm.obj",
                                    "spot.obj",           "teapot.obj",        "cow.obj",
                                    "suzanne.obj",        "stanford-bunny.obj"};

Matrix3 ToHost(const KvrnLib::Matrix3& m) {
    Matrix3 out;
    for (int i = 0; i < 4; ++i) out.SetRow(i, {m.row[i].x, m.row[i].y, m.row[i].z});
    return out;
}

struct HostMesh {
    std::shared_ptr<const Mesh> mesh;
    std::shared_ptr<const std::vector<Point3>> normals;
};

// A model as a smooth host mesh, made once per process.
const HostMesh& ModelHostMesh(const std::string& name) {
    static std::map<std::string, HostMesh> cache;
    HostMesh& slot = cache[name];
    if (slot.mesh) return slot;
    const KvrnBench::TriangleMesh& model = KvrnBench::ModelMesh(name, 0);
    auto mesh = std::make_shared<Mesh>();
    for (const auto& v : model.vertices) mesh->verts.push_back({v.x, v.y, v.z});
    for (const auto& f : model.faces) {
        Face face;
        face.v = {uint32_t(f[0]), uint32_t(f[1]), uint32_t(f[2])};
        face.smGroup = 1;
        mesh->faces.push_back(face);
    }
    slot.normals = std::make_shared<std::vector<Point3>>(ComputeCornerNormals(*mesh));
    slot.mesh = std::move(mesh);
    return slot;
}

// A directional light at `from`, shining at `to` (its local -z).
LightInstance DirectionalLight(LightObject* light, INode* node, Point3 from, Point3 to,
                               const Matrix3& worldToCam) {
    const Point3 z = Normalize(from - to);
    const Point3 x = Normalize(CrossProd({0, 0, 1}, z));
    LightInstance li;
    li.node = node;
    li.light = light;
    li.lightToWorld.SetRow(0, x);
    li.lightToWorld.SetRow(1, CrossProd(z, x));
    li.lightToWorld.SetRow(2, z);
    li.lightToWorld.SetRow(3, from);
    li.lightToCam = li.lightToWorld * worldToCam;
    return li;
}

struct ShadeInput {
    RenderSetup setup;
    RenderGlobalContext gc;
    RefPtr<Mtl> grey;
    RefPtr<LightObject> key, fill;
    RefPtr<INode> keyNode, fillNode;
    int64_t triangles = 0;
};

// 0: bunny, 2: crowd (the detection inputs' numbering). Null when the models are missing.
ShadeInput* Input(benchmark::State& state, int which) {
    static std::unique_ptr<ShadeInput> inputs[3];
    if (inputs[which]) return inputs[which].get();
    const KvrnBench::DetectInput* detect = KvrnBench::Input(state, which);
    if (!detect) return nullptr;
    auto in = std::make_unique<ShadeInput>();
    const KvrnLib::Camera& camera = detect->camera;
    in->setup.settings.width = camera.width;
    in->setup.settings.height = camera.height;
    in->setup.shading.enabled = true;
    in->setup.shading.samples = 4;
    in->setup.shading.adaptive = false;
    RenderGlobalContext& gc = in->gc;
    gc.setup = &in->setup;
    gc.devWidth = camera.width;
    gc.devHeight = camera.height;
    gc.xc = camera.center.x;
    gc.yc = camera.center.y;
    gc.xscale = camera.scale.x;
    gc.yscale = camera.scale.y;
    gc.worldToCam = ToHost(camera.worldToCam);
    gc.camToWorld = ToHost(camera.camToWorld);

    in->grey = RefPtr<Mtl>(dynamic_cast<Mtl*>(StdMtlClassDesc().Create(false)));
    for (size_t i = 0; i < detect->objects.size(); ++i) {
        const HostMesh& model =
            ModelHostMesh(which == 2 ? kCrowdModels[i % 8] : "stanford-bunny.obj");
        RenderInstance ri;
        ri.mtl = in->grey.get();
        ri.mesh = model.mesh;
        ri.cornerNormals = model.normals;
        ri.objToWorld = ToHost(detect->objects[i]->objToWorld);
        ri.objToCam = ri.objToWorld * gc.worldToCam;
        ri.camToObj = ri.objToCam.Inverse();
        ri.normalObjToCam = NormalMatrix(ri.objToCam);
        in->triangles += int64_t(model.mesh->faces.size());
        gc.instances.push_back(ri);
    }

    // Key and fill as a scene without lights gets them, around the camera's view.
    const Point3 right = gc.camToWorld.GetRow(0), up = gc.camToWorld.GetRow(1);
    const Point3 back = gc.camToWorld.GetRow(2), eye = gc.camToWorld.GetRow(3);
    Box3 box;
    for (const RenderInstance& ri : gc.instances)
        for (const Point3& v : ri.mesh->verts) box.Add(ri.objToWorld.PointTransform(v));
    const Point3 centre = (box.pmin + box.pmax) * 0.5f;
    const float d = (eye - centre).Length();
    in->key = new LightObject(LightType::kDirectional);
    in->key->SetShadow(true);
    in->key->SetIntensity(0, 0.9f, false);
    in->fill = new LightObject(LightType::kDirectional);
    in->fill->SetIntensity(0, 0.35f, false);
    in->keyNode = new INode;
    in->fillNode = new INode;
    gc.lights.push_back(DirectionalLight(in->key.get(), in->keyNode.get(),
                                         centre + (right * -0.6f + up * 0.9f + back * 0.8f) * d,
                                         centre, gc.worldToCam));
    gc.lights.push_back(DirectionalLight(in->fill.get(), in->fillNode.get(),
                                         centre + (right * 0.9f + up * 0.1f + back * 0.5f) * d,
                                         centre, gc.worldToCam));
    inputs[which] = std::move(in);
    return inputs[which].get();
}

void Report(benchmark::State& state, const ShadeStats& stats, const ShadeInput& in) {
    state.counters["buildMs"] = stats.buildMs;
    state.counters["renderMs"] = stats.renderMs;
    state.counters["primaryRays"] = double(stats.primaryRays);
    state.counters["shadowRays"] = double(stats.shadowRays);
    state.counters["shaded"] = double(stats.shadedSamples);
    state.counters["refined"] = double(stats.refinedPixels);
    state.counters["triangles"] = double(in.triangles);
}

// Args: input (0 bunny, 2 crowd), threads, adaptive.
void BM_ShadeFrame(benchmark::State& state) {
    ShadeInput* in = Input(state, int(state.range(0)));
    if (!in) return;
    in->setup.shading.threads = int(state.range(1));
    in->setup.shading.adaptive = state.range(2) != 0;
    Bitmap frame(in->gc.devWidth, in->gc.devHeight);
    ShadeStats stats;
    for (auto _ : state) {
        frame.Fill({0.2f, 0.2f, 0.25f, 1.0f});
        ShadeRenderer renderer;
        renderer.Render(0, frame, in->gc, nullptr);
        stats = renderer.Stats();
    }
    Report(state, stats, *in);
}
BENCHMARK(BM_ShadeFrame)
    ->ArgNames({"input", "threads", "adaptive"})
    ->Args({0, 1, 0})
    ->Args({0, 2, 0})
    ->Args({0, 2, 1})
    ->Args({2, 1, 0})
    ->Args({2, 2, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The next frame of an animation of a still scene: the renderer keeps the meshes' BVHs.
void BM_ShadeNextFrame(benchmark::State& state) {
    ShadeInput* in = Input(state, int(state.range(0)));
    if (!in) return;
    in->setup.shading.threads = 2;
    in->setup.shading.adaptive = false;
    Bitmap frame(in->gc.devWidth, in->gc.devHeight);
    ShadeRenderer renderer;
    renderer.Render(0, frame, in->gc, nullptr);
    for (auto _ : state) {
        frame.Fill({0.2f, 0.2f, 0.25f, 1.0f});
        renderer.Render(0, frame, in->gc, nullptr);
    }
    Report(state, renderer.Stats(), *in);
}
BENCHMARK(BM_ShadeNextFrame)
    ->ArgName("input")
    ->Arg(0)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The Embree scene alone, from scratch (every mesh's BVH and the instances).
void BM_RayTracerBuild(benchmark::State& state) {
    ShadeInput* in = Input(state, int(state.range(0)));
    if (!in) return;
    for (auto _ : state) {
        RayTracer tracer;
        tracer.Build(in->gc);
    }
    state.counters["triangles"] = double(in->triangles);
}
BENCHMARK(BM_RayTracerBuild)
    ->ArgName("input")
    ->Arg(0)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
