// Benchmark inputs made from the public test models at run time: nothing is written to disk.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scene.h"

namespace KvrnBench {

struct TriangleMesh {
    std::vector<KvrnLib::Point3> vertices;
    std::vector<std::array<int32_t, 3>> faces;
};

// Reads the v and f lines of an OBJ file (f a, a/b, a//c and a/b/c forms; negative indices count
// from the last vertex so far; polygons are split into fans). Throws std::runtime_error naming
// the file and line on a malformed line or an index out of range.
TriangleMesh LoadObj(const std::string& path);

// Midpoint subdivision: every triangle becomes four, sharing the new edge midpoints.
TriangleMesh SubdivideMidpoint(const TriangleMesh& mesh);

// A model's mesh turned from Y-up to Z-up, its box centred on the origin, subdivided
// `subdivisions` times. Built once per process and cached; throws like LoadObj.
const TriangleMesh& ModelMesh(const std::string& name, int subdivisions);

// Path of a public model (KVRN_MODELS_DIR/name), whether or not it exists.
std::string ModelPath(const std::string& name);

// Perspective camera, 1920 x 1080, 50 mm lens on a 36 mm film back, looking at the origin from
// direction (1, -1, 0.6) far enough for the mesh's bounding sphere to fit the frame height.
KvrnLib::Camera FramingCamera(const TriangleMesh& mesh);

// Render object at the origin: all edges visible, one smoothing group, flat corner normals.
std::shared_ptr<KvrnLib::RenderObject> MakeRenderObject(const TriangleMesh& mesh,
                                                        const KvrnLib::Camera& camera);

}  // namespace KvrnBench
