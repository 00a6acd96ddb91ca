// Which kinds of line a mesh edge is, for one line set, before its visibility is known; and the
// single kind each visible or hidden piece of it is stored under.
#pragma once

#include <cstdint>
#include <vector>

#include "detection_settings.h"
#include "mesh_edges.h"
#include "scene.h"

namespace KvrnLib {

struct EdgeKinds {
    uint32_t mask = 0;  // bit 1 << kind for every kind found that either class has on
    // Normal-angle test passed for visible / hidden lines (the classes have their own limits).
    uint8_t angleVisible = 0;
    uint8_t angleHidden = 0;
    // Single-face edges: outline / object allowed per class after the open-edge switches.
    uint8_t outlineVisible = 0, outlineHidden = 0, objectVisible = 0, objectHidden = 0;
};

// faceNormals: the object's unit camera-space face normals (RenderObjectInfoEx::FaceNormals).
EdgeKinds ClassifyEdge(const RenderObject& object, const std::vector<Point3>& faceNormals,
                       const MeshEdge& edge, const LineSetDetection& lineSet);

// The kind a piece of the edge is stored under in the given class, or -1 when none of its kinds
// is on there. Two-face edges take the first of smoothing group, material ID, selected edge,
// normal angle, wire; single-face edges take outline when `outlineSide` (the side test found
// nothing of the same object's surface beside the edge), else object.
int PieceKind(const EdgeKinds& kinds, const LineSetDetection& lineSet, bool hidden, bool singleFace,
              bool outlineSide);

}  // namespace KvrnLib
