// The application's polygon mesh, as read from a file or built from a primitive, and its
// triangulation into an engine RenderObject.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry.h"
#include "scene.h"

namespace KvrnApp {

// Bad user input (a file, a name or a value). The message names the file or value and says what
// was expected; callers report it as is.
class InputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Corners counter-clockwise seen from the outside.
struct Polygon {
    std::vector<int32_t> vertices;         // indices into PolyMesh::vertices
    std::vector<KvrnLib::Point3> normals;  // per corner, object space; empty when not given
    uint16_t materialID = 0;
    uint32_t smoothingGroup = 0;  // bit set; 0 = none
};

struct PolyMesh {
    std::string name;                       // node or primitive name
    std::string source;                     // file or built-in scene it came from, for messages
    std::vector<KvrnLib::Point3> vertices;  // object space
    std::vector<Polygon> polygons;
    KvrnLib::Matrix3 objToWorld;

    // True when every polygon carries one normal per corner.
    bool HasCornerNormals() const;
};

// Faces are smooth across an edge when both carry smoothing groups that share a bit, or, when
// either has none, when their normals are within this angle. 30 degrees keeps the facets of
// 12-segment cylinders smooth while CAD creases (usually 45 degrees or more) stay hard.
inline constexpr float kDefaultCreaseAngleDeg = 30.0f;

struct TriangulateOptions {
    float creaseAngleDeg = kDefaultCreaseAngleDeg;
};

struct Triangulation {
    std::shared_ptr<KvrnLib::RenderObject> object;  // camera transforms still identity
    int64_t droppedPolygons = 0;                    // polygons with fewer than 3 distinct vertices
};

// Ear-clips every polygon in its best-fit plane. Polygon edges become visible triangle edges,
// added diagonals invisible. Corner normals come from the mesh when every polygon has them
// (explicitNormals = 1), otherwise they are computed and edges between faces that are not smooth
// get hard-edge marks on both faces. Throws InputError (naming mesh.source) for a mesh without
// vertices or polygons and for a vertex index outside [0, vertices.size()).
Triangulation Triangulate(const PolyMesh& mesh, const TriangulateOptions& options = {});

}  // namespace KvrnApp
