// Any bytes as a OBJ file: a clear InputError or meshes, never a crash, hang or wild allocation.
#include "fuzz_mesh.h"
#include "obj_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return KvrnFuzz::FuzzModelReader(KvrnApp::ReadObj, "fuzz.obj", data, size);
}
