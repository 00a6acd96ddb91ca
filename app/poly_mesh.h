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

// Asks for transparent huge pages for the whole 2 MB blocks in [data, data + bytes). Under
// virtualisation the first touch of a 4 KB page costs some 10 us, so that the arrays of a
// 1M-triangle mesh took longer to fault in than to fill; huge pages cut that about tenfold. Only
// advice: does nothing where not supported.
void AdviseHugePages(const void* data, size_t bytes);

// Reserves room for `count` elements of an array about to be filled, in huge pages when large.
template <typename T>
void ReserveLarge(std::vector<T>& array, size_t count) {
    array.reserve(count);
    AdviseHugePages(array.data(), array.capacity() * sizeof(T));
}

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
