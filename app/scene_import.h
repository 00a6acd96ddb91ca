// Model file import into polygon meshes placed in Kovrin's Z-up world.
//
// One PolyMesh per node that holds geometry (a node's meshes merged; an OBJ file's nodes are its
// `o` sections), placed by the node's transform accumulated from the root and the file's axes.
// Polygons stay polygons; points and lines are dropped. A face's material ID is the index of its
// material in the file's material list (OBJ: the order in which `usemtl` names first appear).
// Every mesh's vertices are welded by position, so faces the file stores apart share their edges,
// while the file's per-corner normals, texture coordinates and colours stay per corner.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "geometry.h"
#include "poly_mesh.h"

namespace KvrnApp {

// Which model axis points up in the world.
enum class UpAxis : uint8_t { kFormatDefault, kY, kZ };

// (x, y, z) -> (x, -z, y): a Y-up model to Z up, the turn Blender makes on import.
KvrnLib::Matrix3 YUpToZUp();

// True for the formats whose convention is Y up (OBJ, glTF/GLB, FBX, DAE, 3DS; by extension, any
// case); PLY and STL have none, and are taken as Z up as CAD and scanning tools mostly write them.
bool IsYUpFormat(const std::string& path);

// Extensions ImportScene accepts, lower case with the dot.
const std::vector<std::string>& SupportedExtensions();

struct ImportOptions {
    UpAxis up = UpAxis::kFormatDefault;
    float weldDistance = 0.0f;    // 0: only exactly equal positions are joined
    double timeoutSeconds = 120;  // for the formats read in a child process
    int64_t memoryBytes = 0;      // for the child; 0: the memory available
    const volatile std::sig_atomic_t* interrupt = nullptr;  // see PollInterrupt
    // Reads large files on its workers; null: on the calling thread. Must not be one of its own
    // workers calling.
    KvrnLib::ThreadManager* pool = nullptr;
};

struct ImportedModel {
    std::vector<PolyMesh> meshes;
    bool yUp = false;            // the axes used
    bool upFromFormat = true;    // false: ImportOptions::up chose them
    int64_t weldedVertices = 0;  // vertices joined to an earlier one, over all meshes
};

// Reads `path`: OBJ, PLY and STL with readers of our own, the other formats through assimp in a
// child process (ReadWithAssimpContained). Throws InputError naming the file and the reason
// (missing, unreadable, unsupported extension, parse errors with their line or byte offset, no
// polygons, a crashed or timed-out reader), ImportInterrupted when the interrupt flag is set.
ImportedModel ImportScene(const std::string& path, const ImportOptions& options = {});

}  // namespace KvrnApp
