#include "face_copies.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace KvrnLib {

namespace {

// Runs up to this length are compared pair by pair; longer ones (many copies, or many faces in
// one Morton cell) are sorted by copy key instead.
constexpr size_t kPairwiseRun = 16;

bool SameBits(Point3 a, Point3 b) { return std::memcmp(&a, &b, sizeof(Point3)) == 0; }

// The same corners, bit for bit, in the same cyclic order.
bool SameCorners(const FaceCorners& t, const FaceCorners& u) {
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

CopyKey CopyKeyOf(const FaceCorners& c, uint32_t material) {
    std::array<uint32_t, 9> rotations[3];
    for (size_t r = 0; r < 3; ++r)
        for (size_t k = 0; k < 3; ++k)
            std::memcpy(&rotations[r][3 * k], &c[(r + k) % 3], sizeof(Point3));
    return {std::min({rotations[0], rotations[1], rotations[2]}), material};
}

}  // namespace

void FindFaceCopies(const std::vector<uint32_t>& codes, const std::vector<int32_t>& faces,
                    const std::vector<FaceRecord>& records,
                    const std::function<FaceCorners(size_t)>& cornersAt,
                    std::vector<uint8_t>* dropped, std::vector<FaceCopy>* copies) {
    const auto material = [&](size_t k) {
        const FaceRecord& r = records[size_t(faces[k])];
        return uint32_t(r.materialID) | ((r.flags & kFaceTwoSided) << 16);
    };
    const size_t firstCopy = copies->size();
    const auto drop = [&](size_t k, size_t original) {
        if (dropped->empty()) dropped->assign(faces.size(), 0);
        (*dropped)[k] = 1;
        copies->push_back({faces[k], faces[original]});
    };
    std::vector<FaceCorners> run;
    std::vector<std::pair<CopyKey, size_t>> sorted;
    for (size_t begin = 0; begin < codes.size();) {
        size_t end = begin + 1;
        while (end < codes.size() && codes[end] == codes[begin]) ++end;
        if (end - begin == 1) {
            begin = end;
            continue;
        }
        run.clear();
        for (size_t k = begin; k < end; ++k) run.push_back(cornersAt(k));
        if (end - begin <= kPairwiseRun) {
            for (size_t k = begin + 1; k < end; ++k) {
                for (size_t j = begin; j < k; ++j) {
                    if (!dropped->empty() && (*dropped)[j]) continue;
                    if (SameCorners(run[j - begin], run[k - begin]) && material(j) == material(k)) {
                        drop(k, j);
                        break;
                    }
                }
            }
        } else {
            sorted.clear();
            for (size_t k = begin; k < end; ++k)
                sorted.push_back({CopyKeyOf(run[k - begin], material(k)), k});
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
