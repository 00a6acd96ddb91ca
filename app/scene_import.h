// Model file import into polygon meshes placed in Kovrin's Z-up world.
//
// One PolyMesh per node that holds geometry (a node's meshes merged; an OBJ file's nodes are its
// `o` sections), placed by the node's transform accumulated from the root. Polygons stay
// polygons; points and lines are dropped. A face's material ID is the index of its material in
// the file's material list (OBJ: the order in which `usemtl` names first appear). Normals are
// taken from the file only when it has them.
#pragma once

#include <string>
#include <vector>

#include "geometry.h"
#include "poly_mesh.h"

namespace KvrnApp {

// (x, y, z) -> (x, -z, y): the Y-up axes of OBJ, glTF/GLB, FBX, DAE and 3DS to Z up, the same
// turn Blender makes on import.
KvrnLib::Matrix3 YUpToZUp();

// True for the formats above (by extension, any case); PLY and STL are taken as Z up.
bool IsYUpFormat(const std::string& path);

// Extensions ImportScene accepts, lower case with the dot.
const std::vector<std::string>& SupportedExtensions();

// Reads `path`. OBJ is parsed here, so that the file's vertex list (and with it the mesh's
// topology and vertex count) is kept exactly; the other formats go through assimp without
// triangulation, with identical vertices joined. Throws InputError naming the file and the reason
// (missing, unreadable, unsupported extension, parse error from assimp or the OBJ line, no
// polygons, index out of range).
std::vector<PolyMesh> ImportScene(const std::string& path);

}  // namespace KvrnApp
