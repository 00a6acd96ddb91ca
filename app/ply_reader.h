// Reader for PLY polygon files: ASCII, binary little-endian and binary big-endian.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "poly_mesh.h"

namespace KvrnApp {

// Parses `bytes`, the whole file at `path`, into one mesh named after the file's stem, with
// source = path and objToWorld identity. The 'vertex' element gives the vertices in file order
// (not welded); the 'face' element's vertex_indices (or vertex_index) list gives the polygons in
// file order with the file's corner order, faces with fewer than 3 corners dropped. Optional
// vertex properties: nx, ny, nz (all three) become unit corner normals; u/v, s/t, texture_u/v or
// texture_s/t become map channel kTextureChannel, red/green/blue (or diffuse_...) kColorChannel
// scaled to 0..1, each with one map vertex per file vertex and map corners equal to the corners'
// vertex indices. An integer face property material_index becomes materialID. Other elements and
// properties are skipped. Throws InputError naming the file and, for bad data, the line (ASCII)
// or byte offset (binary), the element and its number (from 0, as vertex indices count);
// ImportInterrupted when *interrupt is set (polled every 64K elements; null: never).
std::vector<PolyMesh> ReadPly(const std::string& path, std::string_view bytes,
                              const volatile std::sig_atomic_t* interrupt);

}  // namespace KvrnApp
