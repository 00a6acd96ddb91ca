// Copies of faces within one render object: a face with the same camera-space corners (bit for
// bit) in the same cyclic order, the same material ID and sidedness as an earlier face. A copy
// shows nothing and hides nothing that its original does not, yet a hostile file may hold
// thousands of one face, so the occlusion and the intersection search leave copies out (and
// the mesh edges too, when a copy also repeats its original's corner indices).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

struct FaceCopy {
    int32_t face;      // the copy
    int32_t original;  // the earliest face it repeats
};

using FaceCorners = std::array<Point3, 3>;

// Finds the copies among entries 0 .. n-1 of a face order in which `codes` (n values) ascend
// and ties keep face order, for a code that equal faces share (the Morton code of their bounds):
// a copy then sits after its original in the same run of equal codes, and only runs are looked
// at. faces[k] is entry k's face (an index into `records`), cornersAt(k) its camera-space
// corners. Sets dropped[k] for every copy (`dropped`, empty on entry, is sized on the first copy
// and stays empty without) and appends the copies to `copies`, ascending by face.
void FindFaceCopies(const std::vector<uint32_t>& codes, const std::vector<int32_t>& faces,
                    const std::vector<FaceRecord>& records,
                    const std::function<FaceCorners(size_t)>& cornersAt,
                    std::vector<uint8_t>* dropped, std::vector<FaceCopy>* copies);

}  // namespace KvrnLib
