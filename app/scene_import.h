// Model file import into polygon meshes placed in Kovrin's Z-up world.
//
// One PolyMesh per node that holds geometry (a node's meshes merged; an OBJ file's nodes are its
// `o` sections), placed by the node's transform accumulated from the root and the file's axes.
// Polygons stay polygons; points and lines are dropped. A face's material ID is the index of its
// material in the file's material list (OBJ: the order in which `usemtl` names first appear).
// Every mesh's vertices are welded by position, so faces the file stores apart share their edges,
// while the file's per-corner normals, texture coordinates and colours stay per corner.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "geometry.h"
#include "poly_mesh.h"

namespace KvrnApp {

// Which model axis points up in the world.
enum class UpAxis : uint8_t { kFormatDefault, kY, kZ };

// (x, y, z) -> (x, -z, y): a Y-up model to Z up, the turn Blender makes on import.
KvrnLib::Matrix3 YUpToZUp();

// True for the formats whose convention is Y up (OBJ, glTF/GLB, FBX, DAE, 3DS; by extension, any
// case); PLY and STL have none, and are taken as Z up as CAD and scanning tools mostly write them.
bool IsYUpFormat(const std::string& path);

// Extensions ImportScene accepts, lower case with the dot.
const std::vector<std::string>& SupportedExtensions();

// A material as a model file gives it. Values are clamped into range on reading.
struct FileMaterial {
    std::string name;
    bool given = false;  // false: the file names it but does not define it (or only a default)
    KvrnLib::Point3 diffuse{0.5f, 0.5f, 0.5f};  // r, g, b in 0 to 1
    float opacity = 1.0f;                       // 0 to 1
    bool twoSided = false;
    // The diffuse texture: as the file names it until ImportScene resolves it against the model
    // file's folder; empty for none, or when the file cannot be found (ImportScene then warns).
    std::string diffuseMap;
};

// A camera as a model file places it. Looks down its local -Z with +Y up.
struct FileCamera {
    std::string name;
    KvrnLib::Matrix3 camToWorld;  // rigid; file axes from the reader, world axes from ImportScene
    bool ortho = false;
    float fovRadians = 0.785398163f;  // perspective: full angle across the width, or the height
    bool fovVertical = false;
    float orthoWidth = 0;             // orthographic: world units across the image width
    float nearClip = 0, farClip = 0;  // 0: not given
};

// A light as a model file places it. Spots and directional lights shine down local -Z.
struct FileLight {
    enum class Type : uint8_t { kPoint, kSpot, kDirectional };
    std::string name;
    Type type = Type::kPoint;
    KvrnLib::Matrix3 lightToWorld;                 // rigid, axes as FileCamera::camToWorld
    KvrnLib::Point3 color{1, 1, 1};                // largest component 1 (or all 0)
    float intensity = 1.0f;                        // multiplies color
    float hotspotDeg = 43.0f, falloffDeg = 45.0f;  // spots: full cone angles, hotspot <= falloff
};

// What a model file carries besides its meshes.
struct FileScene {
    // Per face material ID; empty when the file gives no materials.
    std::vector<FileMaterial> materials;
    std::vector<FileCamera> cameras;
    std::vector<FileLight> lights;
    // Things left out that the file asks for (a texture that is not there), each naming the
    // model file.
    std::vector<std::string> warnings;

    bool Empty() const { return materials.empty() && cameras.empty() && lights.empty(); }
};

// The camera or light frame `m` made rigid: -Z keeps its direction, +Y stays as close as it can,
// scale and shear go. Identity axes for a degenerate frame.
KvrnLib::Matrix3 RigidFrame(const KvrnLib::Matrix3& m);

struct ImportOptions {
    UpAxis up = UpAxis::kFormatDefault;
    float weldDistance = 0.0f;    // 0: only exactly equal positions are joined
    double timeoutSeconds = 120;  // for the formats read in a child process
    int64_t memoryBytes = 0;      // for the child; 0: the memory available
    const volatile std::sig_atomic_t* interrupt = nullptr;  // see PollInterrupt
    // Reads large files on its workers; null: on the calling thread. Must not be one of its own
    // workers calling.
    KvrnLib::ThreadManager* pool = nullptr;
};

struct ImportedModel {
    std::vector<PolyMesh> meshes;
    bool yUp = false;            // the axes used
    bool upFromFormat = true;    // false: ImportOptions::up chose them
    int64_t weldedVertices = 0;  // vertices joined to an earlier one, over all meshes
    FileScene scene;             // in world axes, texture names resolved
};

// Reads `path`: OBJ, PLY and STL with readers of our own, the other formats through assimp in a
// child process (ReadWithAssimpContained). Throws InputError naming the file and the reason
// (missing, unreadable, unsupported extension, parse errors with their line or byte offset, no
// polygons, a crashed or timed-out reader), ImportInterrupted when the interrupt flag is set. An
// OBJ file's material libraries that are missing or a texture that is not there are warnings in
// ImportedModel::scene, not errors.
ImportedModel ImportScene(const std::string& path, const ImportOptions& options = {});

}  // namespace KvrnApp
