// Copies of faces within one render object: a face with the same camera-space corners (bit for
// bit) in the same cyclic order, the same material ID and sidedness as an earlier face. A copy
// shows nothing and hides nothing that its original does not, yet a hostile file may hold
// thousands of one face, so the occlusion and the intersection search leave copies out (and
// the mesh edges too, when a copy also repeats its original's corner indices).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

struct FaceCopy {
    int32_t face;      // the copy
    int32_t original;  // the earliest face it repeats
};

using FaceCorners = std::array<Point3, 3>;

namespace face_copies_detail {

// Runs up to this length are compared pair by pair; longer ones (many copies, or many faces in
// one Morton cell) are sorted by copy key instead.
inline constexpr size_t kPairwiseRun = 16;

inline bool SameBits(Point3 a, Point3 b) { return std::memcmp(&a, &b, sizeof(Point3)) == 0; }

// The same corners, bit for bit, in the same cyclic order. Inline: runs of equal Morton codes
// are common in dense meshes, and most pairs differ in the first corner.
inline bool SameCorners(const FaceCorners& t, const FaceCorners& u) {
    for (size_t r = 0; r < 3; ++r)
        if (SameBits(t[0], u[r]) && SameBits(t[1], u[(r + 1) % 3]) &&
            SameBits(t[2], u[(r + 2) % 3]))
            return true;
    return false;
}

// Corner bits from the rotation with the lowest bits, then material and sidedness: equal keys
// mean copies.
struct CopyKey {
    std::array<uint32_t, 9> corners;
    uint32_t material;

    auto operator<=>(const CopyKey&) const = default;
};
CopyKey CopyKeyOf(const FaceCorners& corners, uint32_t material);

inline uint32_t MaterialKey(const FaceRecord& r) {
    return uint32_t(r.materialID) | ((r.flags & kFaceTwoSided) << 16);
}

}  // namespace face_copies_detail

// Finds the copies among entries 0 .. n-1 of a face order in which `codes` (n values) ascend
// and ties keep face order, for a code that equal faces share (the Morton code of their bounds):
// a copy then sits after its original in the same run of equal codes, and only runs are looked
// at. faces[k] is entry k's face (an index into `records`), cornersAt(k) its camera-space
// corners; maySame(j, k) is a cheap test that copies always pass (equal bounds, say), tried
// before the corners are fetched. Sets dropped[k] for every copy (`dropped`, empty on entry, is
// sized on the first copy and stays empty without) and appends the copies to `copies`,
// ascending by face.
template <class CornersAt, class MaySame>
void FindFaceCopies(const std::vector<uint32_t>& codes, const std::vector<int32_t>& faces,
                    const std::vector<FaceRecord>& records, CornersAt cornersAt, MaySame maySame,
                    std::vector<uint8_t>* dropped, std::vector<FaceCopy>* copies) {
    using namespace face_copies_detail;
    const auto material = [&](size_t k) { return MaterialKey(records[size_t(faces[k])]); };
    const size_t firstCopy = copies->size();
    const auto drop = [&](size_t k, size_t original) {
        if (dropped->empty()) dropped->assign(faces.size(), 0);
        (*dropped)[k] = 1;
        copies->push_back({faces[k], faces[original]});
    };
    std::vector<std::pair<CopyKey, size_t>> sorted;
    for (size_t begin = 0; begin < codes.size();) {
        size_t end = begin + 1;
        while (end < codes.size() && codes[end] == codes[begin]) ++end;
        if (end - begin <= kPairwiseRun) {
            for (size_t k = begin + 1; k < end; ++k) {
                for (size_t j = begin; j < k; ++j) {
                    if ((!dropped->empty() && (*dropped)[j]) || !maySame(j, k)) continue;
                    if (SameCorners(cornersAt(j), cornersAt(k)) && material(j) == material(k)) {
                        drop(k, j);
                        break;
                    }
                }
            }
        } else {
            sorted.clear();
            for (size_t k = begin; k < end; ++k)
                sorted.push_back({CopyKeyOf(cornersAt(k), material(k)), k});
            std::sort(sorted.begin(), sorted.end());
            for (size_t i = 1, first = 0; i < sorted.size(); ++i) {
                if (sorted[i].first == sorted[first].first)
                    drop(sorted[i].second, sorted[first].second);
                else
                    first = i;
            }
        }
        begin = end;
    }
    std::sort(copies->begin() + long(firstCopy), copies->end(),
              [](const FaceCopy& a, const FaceCopy& b) { return a.face < b.face; });
}

}  // namespace KvrnLib
