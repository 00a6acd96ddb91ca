// Morton (Z-order) codes: interleaving the bits of grid coordinates keeps items that are close in
// space close in the sorted order.
#pragma once

#include <cstdint>

namespace KvrnLib {

// Spreads the low 10 bits of x to every third bit, for 30-bit codes of three 10-bit coordinates.
inline uint32_t MortonSpread3(uint32_t x) {
    x &= 0x3FFu;
    x = (x | (x << 16)) & 0x030000FFu;
    x = (x | (x << 8)) & 0x0300F00Fu;
    x = (x | (x << 4)) & 0x030C30C3u;
    x = (x | (x << 2)) & 0x09249249u;
    return x;
}

}  // namespace KvrnLib
