// Joining the vertices of a mesh that lie at the same place, so that faces a file stores apart
// (flat-shaded faces, seams of texture coordinates or normals, triangle soups) share their edges.
#pragma once

#include <cstdint>

#include "poly_mesh.h"

namespace KvrnApp {

// Replaces every vertex by the first vertex (in mesh order) at the same position, or, when
// `distance` > 0, within that distance of it (each vertex joins the earliest kept vertex in reach,
// so chains do not drift). Kept vertices stay in their order; corner normals and map corners are
// untouched, so what the file split at a seam survives as per-corner data. Returns the number of
// vertices removed. Throws InputError (naming mesh.source) when `distance` is negative, not
// finite, or so small against the coordinates that its grid cannot be indexed.
int64_t WeldVertices(PolyMesh& mesh, float distance);

}  // namespace KvrnApp
