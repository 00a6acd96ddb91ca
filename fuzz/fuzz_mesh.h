// What every model reader's fuzz target does with a mesh it read: weld and triangulate it, as
// kovrin does, so that the later steps meet the readers' odd-but-valid output too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "poly_mesh.h"
#include "weld.h"

namespace KvrnFuzz {

// One fuzz input through a reader (ReadObj, ReadPly, ReadStl): an InputError, or meshes that are
// welded and triangulated in turn.
template <class Reader>
int FuzzModelReader(Reader read, const char* name, const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<KvrnApp::PolyMesh> meshes = read(name, bytes, nullptr);
        for (KvrnApp::PolyMesh& mesh : meshes) {
            try {
                KvrnApp::WeldVertices(mesh, 0.0f);
                KvrnApp::Triangulate(mesh);
            } catch (const KvrnApp::InputError&) {
            }
        }
    } catch (const KvrnApp::InputError&) {
    }
    return 0;
}

}  // namespace KvrnFuzz
