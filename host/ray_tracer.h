// Ray casting over a frame's render instances on Embree 3, in camera space. Each distinct mesh
// (RenderInstance::mesh) gets a bottom-level BVH of its own, kept across frames while the mesh
// stays the same; the instances place them through their objToCam transforms.
#pragma once

#include <cstdint>
#include <memory>

#include "point3.h"

class RenderGlobalContext;

// What a ray met; instance is -1 for a miss.
struct RayHit {
    int instance = -1;  // index into the context's instances
    int face = -1;
    float u = 0.0f;  // barycentrics: P = a * (1 - u - v) + b * u + c * v
    float v = 0.0f;
    float t = 0.0f;  // ray parameter of the hit (the distance for a unit direction)
    Point3 ng;       // unit geometric normal, camera space, on the face's front side
};

// A ray of the coherent kind: camera rays of neighbouring samples traced together.
struct RayQuery {
    Point3 origin;
    Point3 dir;
    float tnear = 0.0f;
    float tfar = 1e30f;
    RayHit hit;
};

class RayTracer {
  public:
    RayTracer();
    ~RayTracer();
    RayTracer(const RayTracer&) = delete;
    RayTracer& operator=(const RayTracer&) = delete;

    // Builds the frame's scene from gc's instances (render thread), placed by their objToCam
    // (normals by normalObjToCam). Meshes seen in the previous
    // Build keep their BVHs; meshes no longer used are released. Throws std::runtime_error with
    // Embree's message when the device or a build fails, or naming the node of a mesh whose
    // faces index past its vertices. gc must not change until the next Build.
    void Build(const RenderGlobalContext& gc);
    // Number of bottom-level BVHs built by the last Build (the others were kept).
    int BuiltMeshes() const;

    // Queries; any thread, once Build returned. dir need not be unit length (t is then in its
    // units). Faces are hit from both sides.
    bool Intersect(const Point3& origin, const Point3& dir, float tnear, float tfar,
                   RayHit& hit) const;
    bool Occluded(const Point3& origin, const Point3& dir, float tnear, float tfar) const;
    // Closest hits of count coherent rays at once (primary rays of a tile row).
    void IntersectCoherent(RayQuery* rays, int count) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Start of a ray leaving surface point p on the side of geometric normal ng towards dir: p
// moved along ng by an offset that grows with p's magnitude, so the ray cannot meet the face
// it starts from at any float precision.
Point3 OffsetRayOrigin(const Point3& p, const Point3& ng, const Point3& dir);
