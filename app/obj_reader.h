// Wavefront OBJ reader.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "poly_mesh.h"

namespace KvrnApp {

// Parses the whole text of an OBJ file into one PolyMesh per `o` section that has faces, in file
// axes (objToWorld identity). A mesh keeps the vertices its section declares in file order, then
// those it borrows from other sections. Corner normals are kept when every corner of a face has
// one, texture coordinates (`vt`) likewise as map channel kTextureChannel. A face's material ID
// is the index of its `usemtl` name in order of first use. Throws InputError "PATH:LINE: reason"
// for bad numbers (NaN and infinities included) and indices, "PATH: no polygons" for a file
// without faces; ImportInterrupted when `interrupt` is set.
std::vector<PolyMesh> ReadObj(const std::string& path, std::string_view text,
                              const volatile std::sig_atomic_t* interrupt);

}  // namespace KvrnApp
