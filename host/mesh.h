// Geometry as the host's objects hold it: the triangle mesh that render instances hand out, and
// the polygon mesh that editable objects and modifiers work on. Plain data; the operations that
// keep them consistent live in mesh.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "point3.h"

// Face edge-visibility bits: edge k runs from corner k to corner k + 1 (mod 3).
constexpr uint32_t EDGE_A = 1u << 0;
constexpr uint32_t EDGE_B = 1u << 1;
constexpr uint32_t EDGE_C = 1u << 2;
constexpr uint32_t EDGE_ALL = EDGE_A | EDGE_B | EDGE_C;
// Hard-edge marks: edge k of the face is a crease the mesh's normals break across (a loader
// that knew the file's normals set them); edge detection treats it as a smoothing border.
constexpr uint32_t FACE_HARD_EDGE_A = 1u << 3;
constexpr uint32_t FACE_HARD_EDGE_ALL = 7u << 3;

struct Face {
    std::array<uint32_t, 3> v{0, 0, 0};
    uint32_t smGroup = 0;       // smoothing-group bits; faces sharing a bit are smoothed together
    uint32_t flags = EDGE_ALL;  // EDGE_* bits
    uint16_t matID = 0;
    bool EdgeVisible(int k) const { return (flags >> k) & 1u; }
};

struct TVFace {
    std::array<uint32_t, 3> t{0, 0, 0};
};

// One map channel: its vertices and one texture face per mesh face (same order).
struct MeshMap {
    std::vector<Point3> tv;
    std::vector<TVFace> tf;
    bool IsUsed() const { return !tf.empty(); }
};

// Per-corner normals, unit length: normal faces index `normals`; `explicitNormal` marks the
// normals the user fixed (the others were computed and are rebuilt when the mesh changes).
struct MeshNormalSpec {
    std::vector<Point3> normals;
    std::vector<std::array<uint32_t, 3>> faces;  // one per mesh face
    std::vector<uint8_t> explicitNormal;         // per normal
    bool IsUsed() const { return !faces.empty(); }
};

// Selection levels of a mesh.
enum class MeshSelLevel { kObject, kVertex, kEdge, kFace };

constexpr int MAX_MESHMAPS = 100;

// Triangle mesh. Map channel 0 is vertex colour, 1 .. 99 texture coordinates.
struct Mesh {
    std::vector<Point3> verts;
    std::vector<Face> faces;
    std::array<MeshMap, MAX_MESHMAPS> maps;
    MeshNormalSpec specifiedNormals;
    std::vector<float> vertexWeights;  // empty, or one per vertex
    std::vector<uint8_t> vertSel;      // empty, or one per vertex
    std::vector<uint8_t> edgeSel;      // empty, or 3 per face (face * 3 + k)
    std::vector<uint8_t> faceSel;      // empty, or one per face
    MeshSelLevel selLevel = MeshSelLevel::kObject;

    int NumVerts() const { return int(verts.size()); }
    int NumFaces() const { return int(faces.size()); }
    bool MapSupport(int channel) const {
        return channel >= 0 && channel < MAX_MESHMAPS && maps[size_t(channel)].IsUsed();
    }
};

// Polygon mesh: faces of any degree >= 3, corners listed in order.
struct MNFace {
    std::vector<uint32_t> vtx;
    std::vector<uint8_t> edgeVisible;  // per corner k, the edge from corner k to k + 1; empty: all
    uint32_t smGroup = 0;
    uint16_t matID = 0;
};

struct MNMap {
    std::vector<Point3> tv;
    std::vector<std::vector<uint32_t>> tf;  // per polygon, one texture vertex per corner
    bool IsUsed() const { return !tf.empty(); }
};

struct MNMesh {
    std::vector<Point3> verts;
    std::vector<MNFace> faces;
    std::array<MNMap, MAX_MESHMAPS> maps;
    std::vector<float> vertexWeights;
    std::vector<uint8_t> vertSel;
    std::vector<uint8_t> faceSel;
    MeshSelLevel selLevel = MeshSelLevel::kObject;
};

// Axis-aligned box; empty (min above max) until a point is added.
struct Box3 {
    Point3 pmin{3.4028235e38f, 3.4028235e38f, 3.4028235e38f};
    Point3 pmax{-3.4028235e38f, -3.4028235e38f, -3.4028235e38f};
    bool IsEmpty() const { return pmin.x > pmax.x; }
    void Add(const Point3& p);
};

Box3 BoundingBox(const Mesh& mesh);

// Empty when the mesh is consistent; otherwise a text naming the first bad vertex or face: a
// NaN or infinite vertex, a vertex index out of range, a map channel (or the specified normals)
// with the wrong number of faces or an index out of range.
std::string ValidateMesh(const Mesh& mesh);
std::string ValidateMNMesh(const MNMesh& mesh);

// Triangle mesh of a polygon mesh: each polygon is split by ear clipping in its own plane, so
// concave polygons stay inside their outline. Triangles keep the polygon's smoothing group,
// material ID and face selection; polygon edges keep their visibility, the added diagonals are
// invisible. Map channels are split alongside; vertices, weights and vertex selection are
// copied. Throws std::invalid_argument with ValidateMNMesh's text for an inconsistent mesh.
Mesh TriangulateMNMesh(const MNMesh& mesh);

// Object-space corner normals, three per face (face * 3 + corner), unit length (zero for a
// degenerate face). A corner takes the mesh's specified normal when the normal faces give it one:
// explicit ones are the user's, the others were computed when the normals were last built (a
// loader's, say) and stand until the mesh changes. Corners without one are computed: faces sharing
// a smoothing bit at the corner's vertex average their area-weighted normals, and smoothing group
// 0 is faceted. allExplicit (may be null) tells whether every corner's normal is an explicit one
// (all of them when explicitNormal is empty). The mesh must be valid.
std::vector<Point3> ComputeCornerNormals(const Mesh& mesh, bool* allExplicit = nullptr);
