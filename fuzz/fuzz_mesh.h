// What every model reader's fuzz target does with a mesh it read: weld and triangulate it, as
// kovrin does, so that the later steps meet the readers' odd-but-valid output too.
#pragma once

#include <vector>

#include "poly_mesh.h"
#include "weld.h"

namespace KvrnFuzz {

inline void UseMeshes(std::vector<KvrnApp::PolyMesh>& meshes) {
    for (KvrnApp::PolyMesh& mesh : meshes) {
        try {
            KvrnApp::WeldVertices(mesh, 0.0f);
            KvrnApp::Triangulate(mesh);
        } catch (const KvrnApp::InputError&) {
        }
    }
}

}  // namespace KvrnFuzz
