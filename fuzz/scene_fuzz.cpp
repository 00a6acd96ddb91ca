// Any bytes as a scene file: a clear InputError or a description, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>

#include "poly_mesh.h"
#include "scene_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        KvrnApp::ParseScene(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json");
    } catch (const KvrnApp::InputError&) {
    }
    return 0;
}
