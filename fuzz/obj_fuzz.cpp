// Any bytes as a OBJ file: a clear InputError or meshes, never a crash, hang or wild allocation.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_mesh.h"
#include "obj_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<KvrnApp::PolyMesh> meshes = KvrnApp::ReadObj("fuzz.obj", bytes, nullptr);
        KvrnFuzz::UseMeshes(meshes);
    } catch (const KvrnApp::InputError&) {
    }
    return 0;
}
