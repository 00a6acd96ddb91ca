#include "texmap_context.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "render_object_info.h"

namespace KvrnLib {

namespace {

float Reciprocal(int32_t size) { return size < 1 ? 0.0f : 1.0f / static_cast<float>(size); }

Point3 Normalized(Point3 p, Point3 fallback) {
    const float length = std::sqrt(Dot(p, p));
    return length > 0.0f ? p * (1.0f / length) : fallback;
}

}  // namespace

TexmapContext3D::TexmapContext3D(const Scene& scene)
    : scene_(scene),
      invWidth_(Reciprocal(scene.GetCamera().width)),
      invHeight_(Reciprocal(scene.GetCamera().height)) {}

void TexmapContext3D::Set(int32_t objectIndex, int32_t faceIndex, Point3 weights, Point2 screen,
                          float depth) {
    if (objectIndex < 0 || objectIndex >= scene_.ObjectCount() ||
        scene_.Object(objectIndex).invalid) {
        throw std::out_of_range("texture context: no render object " + std::to_string(objectIndex) +
                                ".");
    }
    const RenderObject& object = scene_.Object(objectIndex);
    if (faceIndex < 0 || static_cast<size_t>(faceIndex) >= object.faces.size()) {
        throw std::out_of_range("texture context: no face " + std::to_string(faceIndex) +
                                " in render object " + std::to_string(objectIndex) + ".");
    }
    object_ = objectIndex;
    face_ = faceIndex;
    weights_ = weights;
    screen_ = screen;
    depth_ = depth;
    const std::vector<Point3>& camera = scene_.Info(objectIndex).CameraVertices();
    const FaceRecord& face = object.faces[faceIndex];
    point_ = camera[face.vertexA] * weights.x + camera[face.vertexB] * weights.y +
             camera[face.vertexC] * weights.z;
}

Point3 TexmapContext3D::GeometricNormal() const {
    if (object_ < 0) return {};
    return scene_.Info(object_).FaceNormals()[face_];
}

Point3 TexmapContext3D::Normal() const {
    if (object_ < 0) return {};
    const RenderObject& object = scene_.Object(object_);
    const size_t corner = static_cast<size_t>(face_) * 3;
    if (object.cornerNormals.size() < corner + 3) return GeometricNormal();
    const Point3 n = object.cornerNormals[corner] * weights_.x +
                     object.cornerNormals[corner + 1] * weights_.y +
                     object.cornerNormals[corner + 2] * weights_.z;
    return Normalized(object.normalToCam.VectorTransform(n), GeometricNormal());
}

Point3 TexmapContext3D::ViewDirection() const {
    if (scene_.GetCamera().parallel != 0) return {0.0f, 0.0f, -1.0f};
    return Normalized(point_, {1.0f, 0.0f, 0.0f});
}

Point3 TexmapContext3D::TextureCoord(int32_t channel) const {
    if (object_ < 0 || channel < 0 || channel >= kMapChannelCount) return {};
    const std::shared_ptr<UVMesh>& map = scene_.Object(object_).mapChannels[channel];
    if (!map || static_cast<size_t>(face_) >= map->faces.size()) return {};
    const std::array<int32_t, 3>& tv = map->faces[face_];
    for (int32_t index : tv) {
        if (index < 0 || static_cast<size_t>(index) >= map->vertices.size()) return {};
    }
    return map->vertices[tv[0]] * weights_.x + map->vertices[tv[1]] * weights_.y +
           map->vertices[tv[2]] * weights_.z;
}

int32_t TexmapContext3D::MaterialId() const {
    if (object_ < 0) return 0;
    return scene_.Object(object_).faces[face_].materialID;
}

int32_t TexmapContext3D::ImageWidth() const { return scene_.GetCamera().width; }
int32_t TexmapContext3D::ImageHeight() const { return scene_.GetCamera().height; }

bool TexmapContext3D::IsBackFace() const {
    if (object_ < 0) return false;
    return (scene_.Info(object_).FacingBytes()[face_] & kFacingBack) != 0;
}

}  // namespace KvrnLib
