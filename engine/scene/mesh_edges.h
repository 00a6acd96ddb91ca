// The edge list of one render object: every mesh edge that has at least one face that is not
// culled (see render_object_info.h), with its faces. Used by edge detection and `kovrin info`.
#pragma once

#include <cstdint>
#include <vector>

#include "scene.h"

namespace KvrnLib {

inline constexpr int32_t kMeshEdgeOpen = -1;        // border of the mesh: no other face
inline constexpr int32_t kMeshEdgeSilhouette = -2;  // the other face is culled

struct MeshEdge {
    int32_t v0, v1;  // vertex indices, v0 -> v1 in face0's winding
    int32_t face0;   // a face that is not culled
    int32_t face1;   // the other face (not culled either), or kMeshEdgeOpen / kMeshEdgeSilhouette
    int8_t edge0;    // 0..2: edge index in face0 (corner k to corner (k + 1) mod 3)
    int8_t edge1;    // edge index in face1, -1 when face1 < 0
};

// Faces share an edge when they share its two vertex indices, in either direction. Faces with
// an out-of-range vertex index, faces in `leftOut` (ascending face indices, such as copies of
// earlier faces; may be empty) and edges whose ends are the same index take no part. On a
// non-manifold edge (three or more faces) the first two faces that are not culled, in face
// order, make the two-face edge, and each further one gets its own silhouette edge. Output is
// ordered by face0, then edge0. Throws std::invalid_argument when facing (one byte per face,
// as RenderObjectInfoEx::FacingBytes) does not match the face count.
std::vector<MeshEdge> BuildMeshEdges(const RenderObject& object, const std::vector<uint8_t>& facing,
                                     const std::vector<int32_t>& leftOut = {});

inline constexpr int32_t kNoMeshEdge = INT32_MIN;

// The same edges in half-edge form, a third of the list's size and not written out: half-edge
// h = 3 * face + k carries the edge of face `face` from corner k, if any. Iterating h upwards
// and skipping kNoMeshEdge gives BuildMeshEdges's order.
struct MeshEdgeTable {
    // Per half-edge: the other face's half-edge, kMeshEdgeOpen, kMeshEdgeSilhouette, or
    // kNoMeshEdge when it carries no edge.
    std::vector<int32_t> partner;

    MeshEdge Edge(const RenderObject& object, size_t h) const {
        const FaceRecord& face = object.faces[h / 3];
        const int k = int(h % 3);
        const int32_t other = partner[h];
        MeshEdge edge;
        edge.v0 = face.Vertex(k);
        edge.v1 = face.Vertex((k + 1) % 3);
        edge.face0 = int32_t(h / 3);
        edge.edge0 = int8_t(k);
        edge.face1 = other >= 0 ? other / 3 : other;
        edge.edge1 = other >= 0 ? int8_t(other % 3) : int8_t(-1);
        return edge;
    }
};

// As BuildMeshEdges, in half-edge form.
MeshEdgeTable BuildMeshEdgeTable(const RenderObject& object, const std::vector<uint8_t>& facing,
                                 const std::vector<int32_t>& leftOut = {});

struct MeshEdgeCounts {
    int64_t twoFace = 0;     // face1 >= 0
    int64_t singleFace = 0;  // face1 == kMeshEdgeSilhouette
    int64_t open = 0;        // face1 == kMeshEdgeOpen
};

MeshEdgeCounts CountMeshEdges(const std::vector<MeshEdge>& edges);

}  // namespace KvrnLib
