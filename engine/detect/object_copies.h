// Render objects that repeat an earlier object exactly. Edge detection leaves such copies out:
// their edges would only draw over the original's, their faces hide nothing that the original's
// do not, and every object pair they belong to would be searched for intersections again.
#pragma once

#include <cstdint>
#include <vector>

#include "detection_settings.h"
#include "scene.h"

namespace KvrnLib {

// Per object, the earlier object it copies, or -1. A copy has the same camera-space vertices
// (bit for bit), faces, corner normals and mirroring as its original, the same detection record,
// and the same entries in every face selection of the material line functions. Invalid objects,
// objects without faces and objects with empty screen bounds copy nothing. Only objects with
// equal vertex and face counts and screen bounds have their vertices compared, so a scene
// without copies costs one sort of its objects. Throws LineEffectException "invalid
// LineDetectionSettings." when the object records do not match the scene.
std::vector<int32_t> FindObjectCopies(const Scene& scene, const LineDetectionSettings& settings);

}  // namespace KvrnLib
