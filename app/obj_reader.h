// Wavefront OBJ reader.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "poly_mesh.h"

namespace KvrnLib {
class ThreadManager;
}

namespace KvrnApp {

// Parses the whole text of an OBJ file into one PolyMesh per `o` section that has faces, in file
// axes (objToWorld identity), its faces packed. A mesh keeps the vertices its section declares in
// file order, then those it borrows from other sections. Corner normals are kept when every
// corner of the mesh's faces has one; texture coordinates (`vt`) when every corner of a face has
// one, as map channel kTextureChannel. A face's material ID is the index of its `usemtl` name in
// order of first use. Throws InputError "PATH:LINE: reason" for bad numbers (NaN and infinities
// included) and indices, "PATH: no polygons" for a file without faces; ImportInterrupted when
// `interrupt` is set.
std::vector<PolyMesh> ReadObj(const std::string& path, std::string_view text,
                              const volatile std::sig_atomic_t* interrupt);

// Texts this large or larger are read in two parts at once by ReadObjOnPool.
inline constexpr size_t kObjPartsFromBytes = 1 << 20;

// ReadObj, with large texts read in two parts on the pool's workers (the caller not being one of
// them); the meshes and any error are the same.
std::vector<PolyMesh> ReadObjOnPool(const std::string& path, std::string_view text,
                                    const volatile std::sig_atomic_t* interrupt,
                                    KvrnLib::ThreadManager* pool);

}  // namespace KvrnApp
