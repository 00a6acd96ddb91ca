// Per-object data derived from the scene on demand. Each deferred result is computed once, by
// the first thread that asks for it, while other requesters wait; every later request returns
// the same object. References stay valid as long as the Scene.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

// Facing byte of a face (one per face).
inline constexpr uint8_t kFacingNearCountMask = 0x03;  // vertices on the viewer's side of near
inline constexpr uint8_t kFacingBack = 0x04;           // turns away from the viewer
inline constexpr uint8_t kFacingTwoSided = 0x08;       // material is two-sided
inline constexpr uint8_t kFacingCulled = 0x30;         // back-culled or unusable
inline constexpr uint8_t kFacingUnusable = 0x33;  // degenerate, or wholly outside the depth range

// Unusable faces keep kFacingTwoSided when their material has it: byte = 0x33 | two-sided bit.
inline bool IsFacingCulled(uint8_t facing) { return (facing & kFacingCulled) != 0; }
inline bool IsFacingUnusable(uint8_t facing) {
    return (facing & kFacingUnusable) == kFacingUnusable;
}

// Per-face bounding data for the intersection search. Usable faces are ordered along a Morton
// curve of their bound centres (screen position and depth), so that faces close together on
// screen and in depth are close in the order; the intersection tree is cut from that order.
struct FaceBoundingPack {
    struct Bound {
        Box2 screen;
        float minZ = 3.4028235e38f;  // camera-space depth range
        float maxZ = -3.4028235e38f;

        void Add(const Bound& other) {
            screen.minX = other.screen.minX < screen.minX ? other.screen.minX : screen.minX;
            screen.minY = other.screen.minY < screen.minY ? other.screen.minY : screen.minY;
            screen.maxX = other.screen.maxX > screen.maxX ? other.screen.maxX : screen.maxX;
            screen.maxY = other.screen.maxY > screen.maxY ? other.screen.maxY : screen.maxY;
            minZ = other.minZ < minZ ? other.minZ : minZ;
            maxZ = other.maxZ > maxZ ? other.maxZ : maxZ;
        }
        // Touching counts; an empty bound overlaps nothing.
        bool Overlaps(const Bound& other) const {
            return screen.Overlaps(other.screen) && minZ <= other.maxZ && other.minZ <= maxZ;
        }
    };

    // Usable faces in Morton order, with their bounds, less copies of earlier faces
    // (face_copies.h). A face reaching past the near limit is clipped to it first, so its box
    // and depth range cover only its part in front of the limit.
    std::vector<int32_t> order;
    std::vector<Bound> bounds;    // bound of each entry of order
    std::vector<uint32_t> codes;  // Morton code of each entry of order, ascending
};

// Built by the intersection stage; opaque here.
struct ISectTree;

class RenderObjectInfoEx {
  public:
    // Screen bounds are computed here, at once; everything else on first request.
    RenderObjectInfoEx(const Scene& scene, const RenderObject* object, int index);
    RenderObjectInfoEx(const RenderObjectInfoEx&) = delete;
    RenderObjectInfoEx& operator=(const RenderObjectInfoEx&) = delete;

    const RenderObject* object;
    const int index;

    // Determinant of the normal transform's 3 x 3 part is negative.
    bool IsMirrored() const { return mirrored_; }

    const std::vector<uint8_t>& FacingBytes() const;
    const std::vector<Point3>& CameraVertices() const;
    // Unit normals in camera space, outward for mirrored objects too; (0,0,0) for degenerate faces.
    const std::vector<Point3>& FaceNormals() const;
    const std::vector<Point2>& ScreenPoints() const;  // per vertex
    const FaceBoundingPack& FaceBounds() const;
    const Box3& Bounds() const;  // box of the camera-space vertices
    // Conservative screen box of the object's part inside the depth range; empty when none, and
    // for invalid objects and objects without faces.
    const Box2& ScreenBounds() const { return screenBounds_; }

    // The intersection stage supplies the builder; the first caller's builder runs once. A
    // builder that throws leaves the tree unbuilt, and the next request tries again.
    const ISectTree* IntersectionTree(
        const std::function<std::shared_ptr<const ISectTree>()>& build) const;

  private:
    const Scene& scene_;
    bool mirrored_ = false;
    Box2 screenBounds_;

    // Deferred results: std::call_once gives compute-once with waiting requesters and the
    // happens-before edge that makes the filled vectors visible to every later reader.
    // bounds_ is filled together with cameraVertices_, under cameraOnce_.
    mutable std::once_flag facingOnce_, cameraOnce_, normalsOnce_, screenOnce_, faceBoundsOnce_;
    // The tree's builder comes from another stage and may throw; a mutex makes the retry after a
    // throw dependable (ThreadSanitizer's call_once never releases a flag whose call threw).
    mutable std::mutex isectMutex_;
    mutable std::atomic<bool> isectBuilt_{false};
    mutable std::vector<uint8_t> facing_;
    mutable std::vector<Point3> cameraVertices_;
    mutable std::vector<Point3> faceNormals_;
    mutable std::vector<Point2> screenPoints_;
    mutable FaceBoundingPack faceBounds_;
    mutable Box3 bounds_;
    mutable std::shared_ptr<const ISectTree> isectTree_;
};

}  // namespace KvrnLib
