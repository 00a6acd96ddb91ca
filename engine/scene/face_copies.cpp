#include "face_copies.h"

#include <cstring>

namespace KvrnLib::face_copies_detail {

CopyKey CopyKeyOf(const FaceCorners& c, uint32_t material) {
    std::array<uint32_t, 9> rotations[3];
    for (size_t r = 0; r < 3; ++r)
        for (size_t k = 0; k < 3; ++k)
            std::memcpy(&rotations[r][3 * k], &c[(r + k) % 3], sizeof(Point3));
    return {std::min({rotations[0], rotations[1], rotations[2]}), material};
}

}  // namespace KvrnLib::face_copies_detail
