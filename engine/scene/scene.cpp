#include "scene.h"

#include <algorithm>

#include "render_object_info.h"

namespace KvrnLib {

Point2 Camera::Project(Point3 p) const {
    if (parallel) return {scale.x * p.x + center.x, scale.y * p.y + center.y};
    const float invZ = p.z == 0.0f ? 1e10f : 1.0f / p.z;
    return {scale.x * p.x * invZ + center.x, scale.y * p.y * invZ + center.y};
}

void Camera::SetViewAxes(Point3 eye, Point3 right, Point3 up, Point3 back) {
    camToWorld.row[0] = right;
    camToWorld.row[1] = up;
    camToWorld.row[2] = back;
    camToWorld.row[3] = eye;
    // Orthonormal axes: the inverse rotation is the transpose.
    worldToCam.row[0] = {right.x, up.x, back.x};
    worldToCam.row[1] = {right.y, up.y, back.y};
    worldToCam.row[2] = {right.z, up.z, back.z};
    const auto dot = [&](Point3 axis) {
        return float(-(double(eye.x) * axis.x + double(eye.y) * axis.y + double(eye.z) * axis.z));
    };
    worldToCam.row[3] = {dot(right), dot(up), dot(back)};
}

void Camera::SetDepthLimits(float nearRange, float farRange) {
    if (parallel && farRange == 1e30f) {
        nearZ = 1e30f;
        farZ = -1e30f;
        return;
    }
    nearZ = std::min(-0.1f, -nearRange);
    // A near range past the far range would leave an empty depth interval: keep no far limit.
    if (nearRange <= farRange) farZ = std::max(-1e30f, -farRange);
}

void RenderObject::SetTransforms(const Matrix3& objectToWorld, const Matrix3& worldToCamera) {
    objToWorld = objectToWorld;
    objToCam = objectToWorld * worldToCamera;
    if (!objToCam.Inverse(&camToObj)) camToObj = Matrix3::Identity();
    if (!objToCam.NormalMatrix(&normalToCam)) normalToCam = Matrix3::Identity();
}

Scene::Scene() : Scene(Camera{}, {}) { camera_.width = camera_.height = 0; }

Scene::Scene(const Camera& camera, std::vector<std::shared_ptr<RenderObject>> objects)
    : camera_(camera), objects_(std::move(objects)) {
    for (auto& object : objects_) {
        if (!object) {
            object = std::make_shared<RenderObject>();
            object->invalid = 1;
        }
    }
    objectCount_ = static_cast<int>(objects_.size());
    infos_.reserve(objects_.size());
    for (int i = 0; i < objectCount_; ++i)
        infos_.push_back(std::make_unique<RenderObjectInfoEx>(*this, objects_[i].get(), i));
}

Scene::~Scene() = default;

}  // namespace KvrnLib
