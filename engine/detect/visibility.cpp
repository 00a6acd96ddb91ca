#include "visibility.h"

#include <cmath>
#include <limits>

namespace KvrnLib {

int SampleCount(float length) {
    const double n = 1.0 + std::trunc(1.5 * double(length));
    return n > double(std::numeric_limits<int>::max() / 2) ? std::numeric_limits<int>::max() / 2
                                                           : int(n);
}

namespace {

// Pulls an end point towards the viewer so that the faces the edge lies on do not hide it:
// about 0.01 pixel's worth of distance at its depth.
Point3 Biased(const Camera& camera, Point3 p) {
    const double scale = std::fabs(double(camera.scale.x) * double(camera.scale.y));
    if (scale == 0.0) return p;
    if (camera.parallel) return {p.x, p.y, float(p.z + std::sqrt(0.0001 / scale))};
    if (!(p.z < camera.nearZ)) return p;
    const double bias = std::sqrt(std::fabs(double(p.z) * 0.0001 * double(p.z) / scale));
    const double distance = std::sqrt(double(Dot(p, p)));
    if (distance <= bias) return p;
    return p * float(1.0 - bias / distance);
}

// Camera-space offset of a screen offset (dx, dy) at the depth of p.
Point3 ScreenOffset(const Camera& camera, Point3 p, float dx, float dy) {
    if (camera.parallel) return {dx / camera.scale.x, dy / camera.scale.y, 0.0f};
    return {dx * p.z / camera.scale.x, dy * p.z / camera.scale.y, 0.0f};
}

bool BehindClipPlane(const std::vector<ClipPlane>* planes, Point3 p) {
    if (!planes) return false;
    for (const ClipPlane& c : *planes)
        if (c.a * p.x + c.b * p.y + c.c * p.z < -c.d) return true;
    return false;
}

// The surface just beyond a silhouette: looking past the edge 0.01 pixel to its outer side,
// nothing, or only another part of the edge's own object, makes the piece an outline; another
// object's surface there makes it an object border.
bool OutlineSide(const VisibilityQuery& q, Point3 p, float pixel) {
    const Camera& camera = *q.camera;
    const Point3 moved = p + ScreenOffset(camera, p, q.outward.x * pixel, q.outward.y * pixel);
    Point3 direction{0.0f, 0.0f, -1.0f};
    if (!camera.parallel) {
        const float length = std::sqrt(Dot(moved, moved));
        if (length == 0.0f) return true;
        direction = moved * (1.0f / length);
    }
    OccluderHit hit;
    if (!q.occlusion->ClosestHit(moved, direction, std::numeric_limits<float>::max(), nullptr,
                                 &hit))
        return true;
    return hit.object == q.object;
}

}  // namespace

void SampleVisibility(const VisibilityQuery& q, const ClippedSegment& segment,
                      std::vector<VisibilityRun>* runs) {
    runs->clear();
    const Camera& camera = *q.camera;
    const int n = SampleCount(segment.length);
    const Point3 c0 = Biased(camera, segment.c0);
    const Point3 c1 = Biased(camera, segment.c1);
    const bool parallel = camera.parallel != 0;
    int groupHint = -1;
    VisibilityRun current;
    bool open = false;
    for (int k = 0; k < n; ++k) {
        const float s = (float(k) + 0.5f) / float(n);
        const float t = CameraParameter(parallel, s, c0.z, c1.z);
        const Point3 p = c0 + (c1 - c0) * t;
        uint8_t state = 0;
        if (BehindClipPlane(q.clipPlanes, p)) {
            state = kSampleDropped;
        } else {
            OccluderHit hit;
            if (q.occlusion->FindOccluder(p, q.filter, &groupHint, &hit)) {
                state = kSampleHidden;
                if (q.hiddenMask && q.hiddenMask->Masks(hit.object, hit.face))
                    state |= kSampleDropped;
            }
            if (q.singleFace && !(state & kSampleDropped) && OutlineSide(q, p, 0.01f))
                state |= kSampleOutline;
        }
        const float from = float(k) / float(n);
        if (open && state == current.state) continue;
        if (open) {
            current.to = from;
            if (!(current.state & kSampleDropped)) runs->push_back(current);
        }
        current = {from, 1.0f, state};
        open = true;
    }
    if (open && !(current.state & kSampleDropped)) {
        current.to = 1.0f;
        runs->push_back(current);
    }
}

}  // namespace KvrnLib
