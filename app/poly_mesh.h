// The application's polygon mesh, as read from a file or built from a primitive, and its
// triangulation into an engine RenderObject.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry.h"
#include "scene.h"

namespace KvrnLib {
class ThreadManager;
}

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

// The import was stopped by the user (Ctrl-C, SIGTERM, SIGHUP).
class ImportInterrupted : public std::runtime_error {
  public:
    ImportInterrupted() : std::runtime_error("interrupted") {}
};

// A flag a signal handler sets; null means nothing can stop the work. Throws ImportInterrupted
// when set. Readers call it every few thousand elements, so that an import stops within 0.2 s.
void PollInterrupt(const volatile std::sig_atomic_t* interrupt);

// Map channels a mesh carries, as the host numbers them: vertex colours (r, g, b in 0 to 1) and
// texture coordinates (u, v, w).
inline constexpr int kColorChannel = 0;
inline constexpr int kTextureChannel = 1;
inline constexpr int kPolyMapChannels = 2;

// Corners counter-clockwise seen from the outside.
struct Polygon {
    std::vector<int32_t> vertices;         // indices into PolyMesh::vertices
    std::vector<KvrnLib::Point3> normals;  // per corner, object space; empty when not given
    // Per map channel: one index into PolyMesh::mapVertices[channel] per corner, or empty.
    std::array<std::vector<int32_t>, kPolyMapChannels> mapCorners;
    uint16_t materialID = 0;
    uint32_t smoothingGroup = 0;  // bit set; 0 = none
    bool twoSided = false;        // its material is seen from both sides
};

// Polygons packed into flat arrays, as the file readers fill them: a million polygons cost a few
// arrays instead of a million small ones. Polygon p's corners are [start[p], start[p + 1]) of
// every per-corner array; corner counts stay below 2^31.
struct PackedPolygons {
    std::vector<int32_t> start{0};  // per polygon, then the corner count
    std::vector<int32_t> vertices;  // per corner: index into PolyMesh::vertices
    // Per corner, object space; empty unless every polygon has them.
    std::vector<KvrnLib::Point3> normals;
    // Per map channel: per corner an index into PolyMesh::mapVertices[channel], -1 at the corners
    // of polygons that have none; empty when no polygon has any in the channel.
    std::array<std::vector<int32_t>, kPolyMapChannels> mapCorners;
    std::vector<uint16_t> materialIDs;      // per polygon
    std::vector<uint32_t> smoothingGroups;  // per polygon, or empty when all are 0
    std::vector<uint8_t> twoSided;          // per polygon, 1 or 0, or empty when none is

    size_t Count() const { return start.empty() ? 0 : start.size() - 1; }
    size_t Size(size_t p) const { return size_t(start[p + 1] - start[p]); }
    std::span<const int32_t> Corners(size_t p) const {
        return {vertices.data() + start[p], Size(p)};
    }
};

// A mesh's polygons are those in `polygons` (handy for meshes built in code), followed by those
// in `packed` (what the file readers fill).
struct PolyMesh {
    std::string name;                       // node or primitive name
    std::string source;                     // file or built-in scene it came from, for messages
    std::vector<KvrnLib::Point3> vertices;  // object space
    std::vector<Polygon> polygons;
    PackedPolygons packed;
    // Per map channel; empty when no polygon has map corners in it.
    std::array<std::vector<KvrnLib::Point3>, kPolyMapChannels> mapVertices;
    KvrnLib::Matrix3 objToWorld;

    size_t PolygonCount() const { return polygons.size() + packed.Count(); }
    // True when every polygon carries one normal per corner.
    bool HasCornerNormals() const;
};

// Faces are smooth across an edge when both carry smoothing groups that share a bit, or, when
// either has none, when their normals are within this angle. 40 degrees keeps 10- to 12-segment
// tubes and tori smooth (a triangulated torus of 12 sides bends by 29.9 to 30.1 degrees), as
// scanned and printed models without normals need, while CAD creases (usually 45 degrees or
// more) stay hard.
inline constexpr float kDefaultCreaseAngleDeg = 40.0f;

struct TriangulateOptions {
    float creaseAngleDeg = kDefaultCreaseAngleDeg;
    const volatile std::sig_atomic_t* interrupt = nullptr;  // polled; see PollInterrupt
    // Runs the per-polygon and per-vertex steps on its workers; null: on the calling thread. The
    // result does not depend on it. Must not be one of its own workers calling.
    KvrnLib::ThreadManager* pool = nullptr;
};

struct Triangulation {
    std::shared_ptr<KvrnLib::RenderObject> object;  // camera transforms still identity
    int64_t droppedPolygons = 0;                    // polygons with fewer than 3 distinct vertices
    int64_t copiedPolygons = 0;  // exact copies of an earlier polygon (PolygonCopies), dropped
};

// Ear-clips every polygon in its best-fit plane. Polygon edges become visible triangle edges,
// added diagonals invisible. Corner normals come from the mesh when every polygon has them
// (explicitNormals = 1), otherwise they are computed and edges between faces that are not smooth
// get hard-edge marks on both faces. A computed normal sums the faces round its vertex that are
// smooth with its own; round a vertex of more than 64 corners with more than 64 kinds of face
// (smoothing groups and normals), it sums only its fan of faces joined across smooth edges.
// Two-sided polygons give two-sided faces. Each map channel with map vertices becomes the
// object's map channel of that number, one map face per triangle (corners of polygons without
// map corners point at an added (0, 0, 0) map vertex). Throws InputError (naming mesh.source) for
// a mesh without vertices or polygons, for a vertex or map index out of range and for map corners
// that are not one per corner, ImportInterrupted when options.interrupt is set. Time grows about
// linearly with the faces round a vertex, a little faster with a polygon's corners (20,000
// corners: tens of milliseconds).
Triangulation Triangulate(const PolyMesh& mesh, const TriangulateOptions& options = {});
// The same, using up the mesh: its arrays are cleaned in place and move into the object, so that
// a large mesh is not held twice.
Triangulation Triangulate(PolyMesh&& mesh, const TriangulateOptions& options = {});

}  // namespace KvrnApp
