// Reader for STL triangle files, binary and ASCII.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "poly_mesh.h"

namespace KvrnApp {

// Parses `bytes`, the whole file at `path`, into one mesh named after the file's stem, with
// source = path and objToWorld identity. A file is binary when its size is exactly 84 + 50 x the
// triangle count in its header (even when it starts with "solid"), ASCII when it starts with
// "solid" otherwise (several solids are merged). Each facet becomes a triangle with 3 vertices
// of its own, in file order (not welded). Facet normals are checked to be finite but not kept:
// they are per facet, so polygons carry no normals. Throws InputError naming the file and the
// triangle (from 1) and byte offset (binary) or the line (ASCII) for bad input, and for a file
// without triangles; ImportInterrupted when *interrupt is set (polled every 64K triangles; null:
// never).
std::vector<PolyMesh> ReadStl(const std::string& path, std::string_view bytes,
                              const volatile std::sig_atomic_t* interrupt);

}  // namespace KvrnApp
