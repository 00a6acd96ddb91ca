#include "detection_result.h"

namespace KvrnLib {

void SetPieceGeometry(DetectedEdge* piece, const ClippedSegment& segment, float from, float to,
                      bool parallel) {
    const Point2 d{segment.s1.x - segment.s0.x, segment.s1.y - segment.s0.y};
    piece->p0 = {segment.s0.x + d.x * from, segment.s0.y + d.y * from};
    piece->p1 = {segment.s0.x + d.x * to, segment.s0.y + d.y * to};
    const float dz = segment.c1.z - segment.c0.z;
    piece->z0 = segment.c0.z + dz * CameraParameter(parallel, from, segment.c0.z, segment.c1.z);
    piece->z1 = segment.c0.z + dz * CameraParameter(parallel, to, segment.c0.z, segment.c1.z);
    // The segment's own ends exactly, so that pieces of edges meeting at a vertex share its bits
    // and connection can join them.
    if (from == 0.0f) {
        piece->p0 = segment.s0;
        piece->z0 = segment.c0.z;
    }
    if (to == 1.0f) {
        piece->p1 = segment.s1;
        piece->z1 = segment.c1.z;
    }
    piece->length = segment.length * (to - from);
    piece->dir = {d.x / segment.length, d.y / segment.length};
}

void DetectionResult::Reset(int lineSetCount, int objectCount) {
    lineSets.clear();
    pairs.clear();
    lineSets.resize(size_t(lineSetCount));
    for (LineSetEdges& set : lineSets) {
        set.visible.resize(size_t(objectCount));
        set.hidden.resize(size_t(objectCount));
    }
}

}  // namespace KvrnLib
