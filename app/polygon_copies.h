// Exact copies among a mesh's polygons: the same corners in the same turn (from any starting
// corner) and the same material. Files stitched from copies of one part can hold thousands, and
// each copy would be drawn again with every line doubled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace KvrnApp {

class PolygonCopies {
  public:
    // Polygons are kept flat by the caller: polygon i has corners[start[i]] to corners[start[i+1]].
    // Both vectors may grow between calls; `expected` sizes the table.
    PolygonCopies(const std::vector<int32_t>& corners, const std::vector<int32_t>& start,
                  size_t expected);

    // The polygon of corners[first] to corners[end] (no two consecutive corners equal): true when
    // it copies a polygon remembered before; otherwise it is remembered as polygon `index`, which
    // must be the index it gets in `start`.
    bool CopiesEarlier(size_t first, size_t end, uint16_t material, int32_t index);

  private:
    struct Slot {
        uint32_t tag = 0;  // the hash's top bits; 0 marks an empty slot
        int32_t index = -1;
    };
    size_t Lowest(size_t first, size_t end) const;
    bool Same(size_t first, size_t end, uint16_t material, int32_t index) const;
    void Grow();

    const std::vector<int32_t>& corners_;
    const std::vector<int32_t>& start_;
    std::vector<uint16_t> materials_;  // per remembered polygon index
    std::vector<Slot> slots_;          // open addressing, linear probing
    size_t used_ = 0;
};

}  // namespace KvrnApp
