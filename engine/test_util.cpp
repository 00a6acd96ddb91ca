#include "test_util.h"

#include <cmath>

namespace KvrnLib::test {
namespace {

Point3 Normalized(Point3 v) {
    const float length = std::sqrt(Dot(v, v));
    return length > 0.0f ? v * (1.0f / length) : v;
}

// Camera whose axes (right, up, back) sit at `eye` in world space.
Camera CameraFromAxes(Point3 eye, Point3 right, Point3 up, Point3 back, int width, int height) {
    Camera camera;
    camera.width = width;
    camera.height = height;
    camera.center = {0.5f * float(width), 0.5f * float(height)};
    camera.SetViewAxes(eye, right, up, back);
    return camera;
}

Matrix3 Translation(Point3 t) {
    Matrix3 m;
    m.row[3] = t;
    return m;
}

}  // namespace

Camera LookAtCamera(Point3 eye, Point3 target, int width, int height, float focalPixels) {
    const Point3 forward = Normalized(target - eye);
    // Looking straight up or down: take world Y as the up hint instead of Z.
    const Point3 upHint = std::abs(forward.z) > 0.9999f ? Point3{0, 1, 0} : Point3{0, 0, 1};
    const Point3 right = Normalized(Cross(forward, upHint));
    const Point3 up = Cross(right, forward);
    Camera camera =
        CameraFromAxes(eye, right, up, Point3{-forward.x, -forward.y, -forward.z}, width, height);
    camera.scale = {-focalPixels, focalPixels};
    return camera;
}

Camera TopParallelCamera(Point3 target, int width, int height, float pixelsPerUnit) {
    // Camera origin at the target; a parallel view with an infinite far range has no depth
    // limits, so the height of the origin does not matter.
    Camera camera = CameraFromAxes(target, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, width, height);
    camera.parallel = 1;
    camera.scale = {pixelsPerUnit, -pixelsPerUnit};
    camera.SetDepthLimits(0.0f, 1e30f);
    return camera;
}

std::shared_ptr<RenderObject> MakeBox(Point3 min, Point3 max, const Camera& camera) {
    auto box = std::make_shared<RenderObject>();
    box->name = "box";
    for (int corner = 0; corner < 8; ++corner)
        box->vertices.push_back({(corner & 1) ? max.x : min.x, (corner & 2) ? max.y : min.y,
                                 (corner & 4) ? max.z : min.z});
    // Each side's corners counter-clockwise seen from outside, and its outward normal.
    struct Side {
        int corners[4];
        Point3 normal;
    };
    const Side sides[6] = {{{0, 2, 3, 1}, {0, 0, -1}}, {{4, 5, 7, 6}, {0, 0, 1}},
                           {{0, 1, 5, 4}, {0, -1, 0}}, {{2, 6, 7, 3}, {0, 1, 0}},
                           {{0, 4, 6, 2}, {-1, 0, 0}}, {{1, 3, 7, 5}, {1, 0, 0}}};
    for (int s = 0; s < 6; ++s) {
        const int* c = sides[s].corners;
        // Triangles (c0 c1 c2) and (c0 c2 c3): the diagonal is edge C-A of the first and A-B of
        // the second.
        FaceRecord first{c[0],        c[1],   c[2], FaceEdgeVisibleBit(0) | FaceEdgeVisibleBit(1),
                         uint16_t(0), 1u << s};
        FaceRecord second{c[0],        c[2],   c[3], FaceEdgeVisibleBit(1) | FaceEdgeVisibleBit(2),
                          uint16_t(0), 1u << s};
        box->faces.push_back(first);
        box->faces.push_back(second);
        for (int k = 0; k < 6; ++k) box->cornerNormals.push_back(sides[s].normal);
    }
    box->SetTransforms(Matrix3::Identity(), camera.worldToCam);
    return box;
}

std::shared_ptr<RenderObject> MakeSphere(Point3 c, float r, int segments, int rings,
                                         const Camera& camera) {
    auto sphere = std::make_shared<RenderObject>();
    sphere->name = "sphere";
    // Vertices around the object's origin: pole, rings - 1 circles of `segments`, pole.
    sphere->vertices.push_back({0, 0, r});
    for (int ring = 1; ring < rings; ++ring) {
        const float theta = kPi * float(ring) / float(rings);
        for (int s = 0; s < segments; ++s) {
            const float phi = 2.0f * kPi * float(s) / float(segments);
            sphere->vertices.push_back({r * std::sin(theta) * std::cos(phi),
                                        r * std::sin(theta) * std::sin(phi), r * std::cos(theta)});
        }
    }
    sphere->vertices.push_back({0, 0, -r});
    const int bottom = int(sphere->vertices.size()) - 1;
    const auto ringVertex = [segments](int ring, int s) {
        return 1 + (ring - 1) * segments + (s % segments);
    };
    const auto addFace = [&](int a, int b, int cc, uint32_t visible) {
        sphere->faces.push_back({a, b, cc, visible, 0, 1u});
    };
    for (int s = 0; s < segments; ++s) {
        addFace(0, ringVertex(1, s), ringVertex(1, s + 1), kFaceAllEdgesVisible);
        for (int ring = 1; ring + 1 < rings; ++ring) {
            const int a = ringVertex(ring, s), b = ringVertex(ring + 1, s);
            const int cc = ringVertex(ring + 1, s + 1), d = ringVertex(ring, s + 1);
            addFace(a, b, cc, FaceEdgeVisibleBit(0) | FaceEdgeVisibleBit(1));
            addFace(a, cc, d, FaceEdgeVisibleBit(1) | FaceEdgeVisibleBit(2));
        }
        addFace(bottom, ringVertex(rings - 1, s + 1), ringVertex(rings - 1, s),
                kFaceAllEdgesVisible);
    }
    for (const FaceRecord& f : sphere->faces)
        for (int k = 0; k < 3; ++k)
            sphere->cornerNormals.push_back(Normalized(sphere->vertices[size_t(f.Vertex(k))]));
    sphere->SetTransforms(Translation(c), camera.worldToCam);
    return sphere;
}

LineDetectionSettings DetectingKinds(int objectCount, const std::vector<int>& visible,
                                     const std::vector<int>& hidden, bool selfIsect) {
    LineSetDetection set;
    for (int k : visible) set.visible.kind[size_t(k)] = 1;
    for (int k : hidden) set.hidden.kind[size_t(k)] = 1;
    for (LineClassDetection* c : {&set.visible, &set.hidden}) {
        c->openEdgeOutline = c->openEdgeObject = 1;
        c->selfIsect = selfIsect;
    }
    LineDetectionSettings settings;
    settings.lineSets = {set};
    settings.objects.resize(size_t(objectCount));
    for (ObjectDetection& o : settings.objects) o.defaultLineSet = 0;
    return settings;
}

std::shared_ptr<RenderObject> MakeCrossedBars(const Camera& camera) {
    auto bars = MakeBox({-1, -0.2f, -0.2f}, {1, 0.2f, 0.2f}, camera);
    const auto other = MakeBox({-0.2f, -1, -0.2f}, {0.2f, 1, 0.2f}, camera);
    const int32_t offset = int32_t(bars->vertices.size());
    bars->vertices.insert(bars->vertices.end(), other->vertices.begin(), other->vertices.end());
    for (FaceRecord face : other->faces) {
        face.vertexA += offset;
        face.vertexB += offset;
        face.vertexC += offset;
        bars->faces.push_back(face);
    }
    bars->cornerNormals.insert(bars->cornerNormals.end(), other->cornerNormals.begin(),
                               other->cornerNormals.end());
    return bars;
}

FaceRecord UnweldedCopy(RenderObject& object, int32_t face) {
    FaceRecord copy = object.faces[size_t(face)];
    const int32_t first = int32_t(object.vertices.size());
    for (int k = 0; k < 3; ++k) object.vertices.push_back(object.vertices[size_t(copy.Vertex(k))]);
    copy.vertexA = first;
    copy.vertexB = first + 1;
    copy.vertexC = first + 2;
    return copy;
}

}  // namespace KvrnLib::test
