// Wavefront OBJ reader.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "poly_mesh.h"
#include "scene_import.h"

namespace KvrnLib {
class ThreadManager;
}

namespace KvrnApp {

// The materials an OBJ file refers to.
struct ObjMaterialRefs {
    std::vector<std::string> names;      // per face material ID: its `usemtl` name
    std::vector<std::string> libraries;  // what each `mtllib` line names, as written, in order
};

// Parses the whole text of an OBJ file into one PolyMesh per `o` section that has faces, in file
// axes (objToWorld identity), its faces packed. A mesh keeps the vertices its section declares in
// file order, then those it borrows from other sections. Corner normals are kept when every
// corner of the mesh's faces has one; texture coordinates (`vt`) when every corner of a face has
// one, as map channel kTextureChannel. A face's material ID is the index of its `usemtl` name in
// order of first use. Throws InputError "PATH:LINE: reason" for bad numbers (NaN and infinities
// included) and indices, "PATH: no polygons" for a file without faces; ImportInterrupted when
// `interrupt` is set. `refs`, when given, receives the material names and libraries.
std::vector<PolyMesh> ReadObj(const std::string& path, std::string_view text,
                              const volatile std::sig_atomic_t* interrupt,
                              ObjMaterialRefs* refs = nullptr);

// Texts this large or larger are read in two parts at once by ReadObjOnPool.
inline constexpr size_t kObjPartsFromBytes = 1 << 20;

// ReadObj, with large texts read in two parts on the pool's workers (the caller not being one of
// them); the meshes and any error are the same.
std::vector<PolyMesh> ReadObjOnPool(const std::string& path, std::string_view text,
                                    const volatile std::sig_atomic_t* interrupt,
                                    KvrnLib::ThreadManager* pool, ObjMaterialRefs* refs = nullptr);

// Parses a material library: per `newmtl`, `Kd` (one number or three), `d` (opacity) or `Tr`
// (1 - opacity; `d` wins), `map_Kd` (options skipped, the rest of the line is the file name).
// Values are clamped into 0 to 1; other statements are ignored. Throws InputError
// "PATH:LINE: reason" for a bad number or a statement before the first `newmtl`.
std::vector<FileMaterial> ReadMtl(const std::string& path, std::string_view text);

// The materials of the OBJ file at `objPath`, one per material ID, from the libraries it names
// (looked for in its folder). Nothing when the file names no material or none is defined. A
// library that is missing, or a name no library defines, is a warning; a bad library an
// InputError.
FileScene ReadObjMaterials(const std::string& objPath, const ObjMaterialRefs& refs);

}  // namespace KvrnApp
