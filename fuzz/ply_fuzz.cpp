// Any bytes as a PLY file: a clear InputError or meshes, never a crash, hang or wild allocation.
#include "fuzz_mesh.h"
#include "ply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return KvrnFuzz::FuzzModelReader(KvrnApp::ReadPly, "fuzz.ply", data, size);
}
