// Self-intersection offsets follow Waechter and Binder, "A Fast and Robust Method for Avoiding
// Self-Intersection" (Ray Tracing Gems, 2019): the origin moves along the normal by a number of
// float ulps, with a fixed offset near the origin where ulps vanish.
#include "ray_tracer.h"

#include <embree3/rtcore.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "node.h"
#include "render.h"

namespace {

// Embree reports errors through a callback; the message of the last one on this thread is
// what the exception carries.
thread_local std::string tLastEmbreeError;

void OnEmbreeError(void* /*user*/, RTCError code, const char* message) {
    tLastEmbreeError =
        std::string(message ? message : "") + " (Embree error " + std::to_string(int(code)) + ")";
}

// One device per process: it owns Embree's thread pool and allocators, which frames share.
RTCDevice Device() {
    static RTCDevice device = [] {
        RTCDevice made = rtcNewDevice(nullptr);
        if (!made) {
            throw std::runtime_error("the Embree device cannot be created (Embree error " +
                                     std::to_string(int(rtcGetDeviceError(nullptr))) + ")");
        }
        rtcSetDeviceErrorFunction(made, OnEmbreeError, nullptr);
        return made;
    }();
    return device;
}

void ThrowOnEmbreeError(const std::string& what) {
    if (rtcGetDeviceError(Device()) == RTC_ERROR_NONE) return;
    throw std::runtime_error(what + ": " + tLastEmbreeError);
}

std::string NodeName(const RenderInstance& instance) {
    return instance.node ? "\"" + instance.node->GetName() + "\"" : std::string("(no node)");
}

void CheckFaces(const RenderInstance& instance) {
    const Mesh& mesh = *instance.mesh;
    const uint32_t count = uint32_t(mesh.verts.size());
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
        for (uint32_t v : mesh.faces[f].v) {
            if (v >= count) {
                throw std::runtime_error("mesh of node " + NodeName(instance) + ": face " +
                                         std::to_string(f) + " uses vertex " + std::to_string(v) +
                                         " of " + std::to_string(count));
            }
        }
    }
}

// Embree reads vertex buffers with 16-byte loads, so the last vertex needs 4 readable bytes
// after it: a vector with spare capacity has them, others are copied into a padded buffer.
constexpr size_t kVertexPadFloats = 1;

}  // namespace

struct RayTracer::Impl {
    struct MeshBvh {
        std::shared_ptr<const Mesh> mesh;  // keeps the shared buffers alive
        RTCScene scene = nullptr;
        std::vector<float> vertexCopy;
        bool used = false;
    };

    // Where each instance of the frame lies, for the hits' normals.
    struct Placement {
        const Mesh* mesh = nullptr;
        Matrix3 normalObjToCam;
    };

    RTCScene top = nullptr;
    std::unordered_map<const Mesh*, MeshBvh> meshes;
    std::vector<Placement> placements;  // per instance of the context
    int builtMeshes = 0;

    // The object-space face normal through the normal matrix: one transform, and a mirroring
    // placement keeps the face's front.
    Point3 FaceNormal(int instance, int face) const {
        const Placement& at = placements[size_t(instance)];
        const Face& f = at.mesh->faces[size_t(face)];
        const Point3 a = at.mesh->verts[f.v[0]];
        const Point3 n = CrossProd(at.mesh->verts[f.v[1]] - a, at.mesh->verts[f.v[2]] - a);
        return Normalize(at.normalObjToCam.VectorTransform(n));
    }

    ~Impl() {
        if (top) rtcReleaseScene(top);
        for (auto& [key, entry] : meshes) rtcReleaseScene(entry.scene);
    }

    void BuildMesh(const RenderInstance& instance, MeshBvh& entry) {
        const Mesh& mesh = *instance.mesh;
        CheckFaces(instance);
        RTCDevice device = Device();
        RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        if (mesh.verts.capacity() > mesh.verts.size()) {
            rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                       mesh.verts.data(), 0, sizeof(Point3), mesh.verts.size());
        } else {
            entry.vertexCopy.resize(mesh.verts.size() * 3 + kVertexPadFloats);
            for (size_t i = 0; i < mesh.verts.size(); ++i) {
                entry.vertexCopy[i * 3] = mesh.verts[i].x;
                entry.vertexCopy[i * 3 + 1] = mesh.verts[i].y;
                entry.vertexCopy[i * 3 + 2] = mesh.verts[i].z;
            }
            rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                       entry.vertexCopy.data(), 0, 3 * sizeof(float),
                                       mesh.verts.size());
        }
        // Faces carry their smoothing group and flags after the three indices: a strided view.
        static_assert(sizeof(Face) % 4 == 0 && offsetof(Face, v) == 0);
        rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                   mesh.faces.data(), 0, sizeof(Face), mesh.faces.size());
        // Meshes outlive frames, so a slower build that traces faster pays off.
        rtcSetGeometryBuildQuality(geom, RTC_BUILD_QUALITY_HIGH);
        rtcCommitGeometry(geom);
        entry.scene = rtcNewScene(device);
        // Watertight: rays along a shared edge (a sphere's meridian seen head-on) must not
        // slip between the two faces to the far side.
        rtcSetSceneFlags(entry.scene, RTC_SCENE_FLAG_ROBUST);
        rtcSetSceneBuildQuality(entry.scene, RTC_BUILD_QUALITY_HIGH);
        rtcAttachGeometry(entry.scene, geom);
        rtcReleaseGeometry(geom);
        rtcCommitScene(entry.scene);
        ThrowOnEmbreeError("ray tracing mesh of node " + NodeName(instance));
        entry.mesh = instance.mesh;
        ++builtMeshes;
    }
};

RayTracer::RayTracer() : impl_(std::make_unique<Impl>()) {}
RayTracer::~RayTracer() = default;

void RayTracer::Build(const RenderGlobalContext& gc) {
    Impl& s = *impl_;
    RTCDevice device = Device();
    s.builtMeshes = 0;
    for (auto& [key, entry] : s.meshes) entry.used = false;
    if (s.top) {
        rtcReleaseScene(s.top);
        s.top = nullptr;
    }
    s.top = rtcNewScene(device);
    // A few hundred instances at most: the best tree costs nothing to build.
    rtcSetSceneBuildQuality(s.top, RTC_BUILD_QUALITY_HIGH);
    // Instance boxes need no watertight test: the meshes under them have it.
    s.placements.assign(gc.instances.size(), Impl::Placement());
    for (size_t i = 0; i < gc.instances.size(); ++i) {
        const RenderInstance& instance = gc.instances[i];
        if (!instance.mesh || instance.mesh->faces.empty() || instance.mesh->verts.empty())
            continue;
        Impl::MeshBvh& entry = s.meshes[instance.mesh.get()];
        if (!entry.scene) {
            try {
                s.BuildMesh(instance, entry);
            } catch (...) {
                if (entry.scene) rtcReleaseScene(entry.scene);
                s.meshes.erase(instance.mesh.get());
                throw;
            }
        }
        entry.used = true;
        s.placements[i] = {instance.mesh.get(), instance.normalObjToCam};
        RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(geom, entry.scene);
        // Rows of a row-vector affine matrix are the columns of Embree's column-major 3 x 4.
        rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT3X4_COLUMN_MAJOR,
                                &instance.objToCam.GetRow(0).x);
        rtcCommitGeometry(geom);
        rtcAttachGeometryByID(s.top, geom, unsigned(i));
        rtcReleaseGeometry(geom);
    }
    for (auto it = s.meshes.begin(); it != s.meshes.end();) {
        if (it->second.used) {
            ++it;
            continue;
        }
        rtcReleaseScene(it->second.scene);
        it = s.meshes.erase(it);
    }
    rtcCommitScene(s.top);
    ThrowOnEmbreeError("ray tracing scene");
}

int RayTracer::BuiltMeshes() const { return impl_->builtMeshes; }

namespace {

void SetRay(RTCRayHit& rh, const Point3& origin, const Point3& dir, float tnear, float tfar) {
    rh.ray.org_x = origin.x;
    rh.ray.org_y = origin.y;
    rh.ray.org_z = origin.z;
    rh.ray.dir_x = dir.x;
    rh.ray.dir_y = dir.y;
    rh.ray.dir_z = dir.z;
    rh.ray.tnear = tnear;
    rh.ray.tfar = tfar;
    rh.ray.time = 0.0f;
    rh.ray.mask = ~0u;
    rh.ray.id = 0;
    rh.ray.flags = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
}

bool ReadHit(const RTCRayHit& rh, RayHit& hit) {
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) {
        hit = RayHit();
        return false;
    }
    hit.instance = int(rh.hit.instID[0]);
    hit.face = int(rh.hit.primID);
    hit.u = rh.hit.u;
    hit.v = rh.hit.v;
    hit.t = rh.ray.tfar;
    return true;
}

}  // namespace

bool RayTracer::Intersect(const Point3& origin, const Point3& dir, float tnear, float tfar,
                          RayHit& hit) const {
    if (!impl_->top) {
        hit = RayHit();
        return false;
    }
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRayHit rh;
    SetRay(rh, origin, dir, tnear, tfar);
    rtcIntersect1(impl_->top, &context, &rh);
    if (!ReadHit(rh, hit)) return false;
    hit.ng = impl_->FaceNormal(hit.instance, hit.face);
    return true;
}

bool RayTracer::Occluded(const Point3& origin, const Point3& dir, float tnear, float tfar) const {
    if (!impl_->top) return false;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRayHit rh;
    SetRay(rh, origin, dir, tnear, tfar);
    rtcOccluded1(impl_->top, &context, &rh.ray);
    return rh.ray.tfar < 0.0f;
}

void RayTracer::IntersectCoherent(RayQuery* rays, int count) const {
    if (!impl_->top) {
        for (int i = 0; i < count; ++i) rays[i].hit = RayHit();
        return;
    }
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    // Packets of 16 neighbouring rays: Embree traverses them together.
    constexpr int kPacket = 16;
    alignas(64) RTCRayHit16 packet;
    alignas(64) int valid[kPacket];
    for (int start = 0; start < count; start += kPacket) {
        const int n = std::min(kPacket, count - start);
        for (int i = 0; i < kPacket; ++i) {
            valid[i] = i < n ? -1 : 0;
            const RayQuery& q = rays[start + std::min(i, n - 1)];
            packet.ray.org_x[i] = q.origin.x;
            packet.ray.org_y[i] = q.origin.y;
            packet.ray.org_z[i] = q.origin.z;
            packet.ray.dir_x[i] = q.dir.x;
            packet.ray.dir_y[i] = q.dir.y;
            packet.ray.dir_z[i] = q.dir.z;
            packet.ray.tnear[i] = q.tnear;
            packet.ray.tfar[i] = q.tfar;
            packet.ray.time[i] = 0.0f;
            packet.ray.mask[i] = ~0u;
            packet.ray.id[i] = unsigned(i);
            packet.ray.flags[i] = 0;
            packet.hit.geomID[i] = RTC_INVALID_GEOMETRY_ID;
            packet.hit.instID[0][i] = RTC_INVALID_GEOMETRY_ID;
        }
        rtcIntersect16(valid, impl_->top, &context, &packet);
        for (int i = 0; i < n; ++i) {
            RayHit& hit = rays[start + i].hit;
            if (packet.hit.geomID[i] == RTC_INVALID_GEOMETRY_ID) {
                hit = RayHit();
                continue;
            }
            hit.instance = int(packet.hit.instID[0][i]);
            hit.face = int(packet.hit.primID[i]);
            hit.u = packet.hit.u[i];
            hit.v = packet.hit.v[i];
            hit.t = packet.ray.tfar[i];
            hit.ng = impl_->FaceNormal(hit.instance, hit.face);
        }
    }
}

Point3 OffsetRayOrigin(const Point3& p, const Point3& ng, const Point3& dir) {
    constexpr float kOrigin = 1.0f / 32.0f;
    constexpr float kFloatScale = 1.0f / 65536.0f;
    constexpr float kIntScale = 256.0f;
    const Point3 n = DotProd(ng, dir) < 0.0f ? -ng : ng;
    const auto shift = [&](float pc, float nc) {
        const int32_t ulps = int32_t(kIntScale * nc);
        const float moved =
            std::bit_cast<float>(std::bit_cast<int32_t>(pc) + (pc < 0.0f ? -ulps : ulps));
        return std::fabs(pc) < kOrigin ? pc + kFloatScale * nc : moved;
    };
    return {shift(p.x, n.x), shift(p.y, n.y), shift(p.z, n.z)};
}
