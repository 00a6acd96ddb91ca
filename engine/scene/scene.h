// The frame's engine scene: camera, render objects and their lazily derived data.
// Built once per frame on the render thread, then read-only while stages run.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "geometry.h"

namespace KvrnLib {

class RenderObjectInfoEx;

// Host conventions: camera space looks down -z (visible points have z < 0); screen origin at
// the top-left corner, y down. Perspective: x = scale.x * X / Z + center.x (scale.x = -f,
// scale.y = +f * pixel aspect). Parallel: x = scale.x * X + center.x (scale.x = +k, scale.y = -k).
struct Camera {
    int32_t width = 0;
    int32_t height = 0;
    int32_t parallel = 0;
    Point2 center;
    Point2 scale;
    Matrix3 worldToCam;
    Matrix3 camToWorld;
    float nearZ = -0.1f;  // camera-space z of the near limit
    float farZ = -1e30f;  // camera-space z of the far limit

    // Screen position of a camera-space point; 1/Z is replaced by 1e10 when Z is 0.
    Point2 Project(Point3 p) const;
    // Sets camToWorld and worldToCam from the camera's orthonormal axes in world space: right (+x),
    // up (+y) and back (+z, away from the view direction), and its position.
    void SetViewAxes(Point3 eye, Point3 right, Point3 up, Point3 back);
    // Depth limits from the host's view ranges (positive distances in front of the camera).
    void SetDepthLimits(float nearRange, float farRange);
};

// Face flag bits.
inline constexpr uint32_t kFaceTwoSided = 1u << 0;
// Edge k runs from corner k to corner (k + 1) mod 3 (A-B, B-C, C-A).
constexpr uint32_t FaceEdgeVisibleBit(int k) { return 1u << (1 + k); }
constexpr uint32_t FaceEdgeSelectedBit(int k) { return 1u << (4 + k); }
constexpr uint32_t FaceEdgeHardBit(int k) { return 1u << (7 + k); }
inline constexpr uint32_t kFaceAllEdgesVisible = 0x7u << 1;

struct FaceRecord {
    int32_t vertexA = 0;
    int32_t vertexB = 0;
    int32_t vertexC = 0;
    uint32_t flags = 0;
    uint16_t materialID = 0;
    uint32_t smoothingGroup = 0;

    int32_t Vertex(int corner) const {
        return corner == 0 ? vertexA : (corner == 1 ? vertexB : vertexC);
    }
};

// One mapping channel: texture vertices and one texture face (three indices) per mesh face.
struct UVMesh {
    std::vector<Point3> vertices;
    std::vector<std::array<int32_t, 3>> faces;
};

inline constexpr int kMapChannelCount = 100;

struct RenderObject {
    std::string name;  // node name, for reports only
    std::vector<Point3> vertices;
    std::vector<FaceRecord> faces;
    std::vector<Point3> cornerNormals;  // three per face, object space
    std::array<std::shared_ptr<UVMesh>, kMapChannelCount> mapChannels;
    Matrix3 objToWorld;
    Matrix3 objToCam;
    Matrix3 normalToCam;  // inverse transpose of objToCam's 3 x 3 part
    Matrix3 camToObj;
    uint8_t invalid = 0;
    // Corner normals are explicit for every face corner (from the file or the user), so
    // smoothing edges follow where they differ rather than the smoothing groups alone.
    uint8_t explicitNormals = 0;

    // Sets the four transforms from the object's placement and the camera.
    void SetTransforms(const Matrix3& objectToWorld, const Matrix3& worldToCamera);
};

// Holds the camera and the objects in render-instance order, and one RenderObjectInfoEx per
// object. Not copyable or movable: the infos point back at it.
class Scene {
  public:
    Scene();  // the empty scene: empty camera (identity matrices, zero size), no objects
    // Null objects become invalid placeholders so that indices keep the instance order.
    Scene(const Camera& camera, std::vector<std::shared_ptr<RenderObject>> objects);
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    const Camera& GetCamera() const { return camera_; }
    int ObjectCount() const { return objectCount_; }
    const RenderObject& Object(int index) const { return *objects_[index]; }
    const std::shared_ptr<RenderObject>& ObjectPtr(int index) const { return objects_[index]; }
    // Thread-safe: deferred results are computed on first request.
    const RenderObjectInfoEx& Info(int index) const { return *infos_[index]; }

  private:
    Camera camera_;
    std::vector<std::shared_ptr<RenderObject>> objects_;
    int objectCount_ = 0;
    std::vector<std::unique_ptr<RenderObjectInfoEx>> infos_;
};

}  // namespace KvrnLib
