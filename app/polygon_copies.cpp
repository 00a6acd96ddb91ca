#include "polygon_copies.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace KvrnApp {

namespace {

uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// Polygons read from their lowest corner on, so that the same turn from another starting corner
// hashes and compares the same.
class Polygons {
  public:
    Polygons(const std::vector<int32_t>& corners, const std::vector<int32_t>& start,
             const std::vector<uint16_t>& materials)
        : corners_(corners), start_(start), materials_(materials) {}

    size_t Count() const { return start_.size() - 1; }

    uint64_t Hash(size_t p) const {
        const size_t first = size_t(start_[p]), n = size_t(start_[p + 1]) - first;
        const size_t lowest = Lowest(p);
        uint64_t hash = Mix(materials_[p] + (uint64_t(n) << 16));
        for (size_t i = 0; i < n; ++i)
            hash = Mix(hash ^ uint32_t(corners_[first + (lowest + i) % n]));
        return hash;
    }

    bool Same(size_t p, size_t q) const {
        const size_t a = size_t(start_[p]), b = size_t(start_[q]);
        const size_t n = size_t(start_[p + 1]) - a;
        if (size_t(start_[q + 1]) - b != n || materials_[p] != materials_[q]) return false;
        const size_t lp = Lowest(p), lq = Lowest(q);
        for (size_t i = 0; i < n; ++i) {
            if (corners_[a + (lp + i) % n] != corners_[b + (lq + i) % n]) return false;
        }
        return true;
    }

  private:
    size_t Lowest(size_t p) const {
        const size_t first = size_t(start_[p]), end = size_t(start_[p + 1]);
        size_t lowest = first;
        for (size_t i = first + 1; i < end; ++i)
            if (corners_[i] < corners_[lowest]) lowest = i;
        return lowest - first;
    }

    const std::vector<int32_t>& corners_;
    const std::vector<int32_t>& start_;
    const std::vector<uint16_t>& materials_;
};

}  // namespace

std::vector<uint8_t> FindPolygonCopies(const std::vector<int32_t>& corners,
                                       const std::vector<int32_t>& start,
                                       const std::vector<uint16_t>& materials) {
    const Polygons polygons(corners, start, materials);
    const size_t count = polygons.Count();
    std::vector<uint8_t> copies(count, 0);
    if (count < 2) return copies;
    std::vector<uint64_t> hashes(count);
    for (size_t p = 0; p < count; ++p) hashes[p] = polygons.Hash(p);

    struct Slot {
        uint32_t tag = 0;  // the hash's top bits, never 0; 0 marks an empty slot
        int32_t polygon = -1;
    };
    std::vector<Slot> slots(std::bit_ceil(count * 2));
    const size_t mask = slots.size() - 1;
    // A table of millions of slots misses the cache on nearly every probe: asking for the slot a
    // few polygons ahead lets those misses overlap.
    constexpr size_t kAhead = 16;
    for (size_t p = 0; p < count; ++p) {
        if (p + kAhead < count) __builtin_prefetch(&slots[size_t(hashes[p + kAhead]) & mask]);
        const uint32_t tag = uint32_t(hashes[p] >> 32) | 1u;
        size_t at = size_t(hashes[p]) & mask;
        for (; slots[at].tag != 0; at = (at + 1) & mask) {
            if (slots[at].tag == tag && polygons.Same(p, size_t(slots[at].polygon))) {
                copies[p] = 1;
                break;
            }
        }
        if (!copies[p]) slots[at] = {tag, int32_t(p)};
    }
    return copies;
}

}  // namespace KvrnApp
