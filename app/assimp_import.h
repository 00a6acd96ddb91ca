// The model formats read through assimp (glTF/GLB, FBX, DAE, 3DS), read in a child process so
// that a crash, a hang or runaway memory in the third-party reader costs an error message, not
// the run.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "poly_mesh.h"
#include "scene_import.h"

namespace KvrnApp {

// One PolyMesh per file node with polygons, in file axes: objToWorld is the node's transform
// accumulated from the root. Polygons keep their corners (points and lines are dropped), with
// per-corner normals, vertex colours and the first texture-coordinate set where the file has
// them; faces of two-sided materials are two-sided. Vertices are as assimp gives them (not
// welded). Runs assimp in this process; throws InputError naming the file. `scene`, when given,
// receives the file's materials (texture names as the file gives them), cameras and lights in
// file axes; a light of a kind the host has no object for (ambient, area) is left out with a
// warning.
std::vector<PolyMesh> ReadWithAssimp(const std::string& path, FileScene* scene = nullptr);

struct ReaderLimits {
    double timeoutSeconds = 120;
    int64_t memoryBytes = 0;  // address space the child may add; 0: the memory available
    const volatile std::sig_atomic_t* interrupt = nullptr;
};

// ReadWithAssimp in a forked child that sends its meshes back through a pipe. Throws InputError
// naming the file when the child fails, crashes, runs out of memory or time; ImportInterrupted
// (after killing the child) when the interrupt flag is set.
std::vector<PolyMesh> ReadWithAssimpContained(const std::string& path, const ReaderLimits& limits,
                                              FileScene* scene = nullptr);

}  // namespace KvrnApp
