// Exact copies among a mesh's polygons: the same corners in the same turn (from any starting
// corner) and the same material. Files stitched from copies of one part can hold thousands, and
// each copy would be drawn again with every line doubled.
#pragma once

#include <cstdint>
#include <vector>

namespace KvrnLib {
class ThreadManager;
}

namespace KvrnApp {

// Polygon p has corners[start[p]] to corners[start[p+1]], no two consecutive corners equal, and
// material materials[p]. Returns one flag per polygon: 1 where it copies an earlier polygon.
// Linear time; the hash table is probed a few polygons ahead so its misses overlap. Large inputs
// are split among the pool's workers when one is given (not from one of them); the flags are the
// same.
std::vector<uint8_t> FindPolygonCopies(const std::vector<int32_t>& corners,
                                       const std::vector<int32_t>& start,
                                       const std::vector<uint16_t>& materials,
                                       KvrnLib::ThreadManager* pool = nullptr);

}  // namespace KvrnApp
