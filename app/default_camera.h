// The camera that frames a set of objects: perspective, looking at the centre of their
// world-space bounding box from a fixed direction, just far enough back that every vertex used
// by a face projects within kFillFraction of the half-frame.
#pragma once

#include <memory>
#include <ostream>
#include <vector>

#include "geometry.h"
#include "scene.h"

namespace KvrnApp {

struct CameraOptions {
    int width = 1920;  // pixels
    int height = 1080;
    float pixelAspect = 1.0f;
    float lensMm = 50.0f;                         // focal length
    float filmMm = 36.0f;                         // film width, across the image width
    KvrnLib::Point3 viewFrom{1.0f, -1.0f, 0.6f};  // direction from the target to the eye, Z up
    float fillFraction = 0.8f;  // farthest vertex, as a fraction of the half-frame
};

struct FramedCamera {
    KvrnLib::Camera camera;
    KvrnLib::Point3 eye;
    KvrnLib::Point3 target;  // centre of the bounding box
    KvrnLib::Point3 up;      // camera up in world space
    float distance = 0;      // eye to target
    float focalPixels = 0;
    CameraOptions options;

    double HorizontalFovDeg() const;
    double VerticalFovDeg() const;
};

// Frames the vertices used by faces of every valid object, placed by its objToWorld. With
// nothing to frame (no face, or every vertex on the view axis through the target) the eye is 1
// unit beyond the vertex nearest to it, so the scene is still in front of the near limit.
// Throws InputError for a non-positive size, lens, film or pixel aspect, or a zero direction.
FramedCamera FrameObjects(const std::vector<std::shared_ptr<KvrnLib::RenderObject>>& objects,
                          const CameraOptions& options = {});

// Human-readable report: eye, target, up, lens, both fields of view, distance, depth limits and
// both matrices.
void PrintCamera(std::ostream& out, const FramedCamera& framed);

}  // namespace KvrnApp
