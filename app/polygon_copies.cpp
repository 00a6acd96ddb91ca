#include "polygon_copies.h"

#include <algorithm>
#include <bit>

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

// A slot's place follows from its tag alone, so that a larger table can place it again.
size_t Place(uint32_t tag) { return size_t(Mix(tag)); }

}  // namespace

PolygonCopies::PolygonCopies(const std::vector<int32_t>& corners, const std::vector<int32_t>& start,
                             size_t expected)
    : corners_(corners), start_(start) {
    slots_.resize(std::bit_ceil(std::max<size_t>(16, expected * 2)));
    materials_.reserve(expected);
}

// A polygon read from its lowest corner on, so that the same turn from another starting corner
// hashes and compares the same.
size_t PolygonCopies::Lowest(size_t first, size_t end) const {
    size_t lowest = first;
    for (size_t i = first + 1; i < end; ++i)
        if (corners_[i] < corners_[lowest]) lowest = i;
    return lowest;
}

bool PolygonCopies::Same(size_t first, size_t end, uint16_t material, int32_t index) const {
    const size_t otherFirst = size_t(start_[size_t(index)]);
    const size_t otherEnd = size_t(start_[size_t(index) + 1]);
    const size_t n = end - first;
    if (otherEnd - otherFirst != n || materials_[size_t(index)] != material) return false;
    const size_t a = Lowest(first, end) - first, b = Lowest(otherFirst, otherEnd) - otherFirst;
    for (size_t i = 0; i < n; ++i) {
        if (corners_[first + (a + i) % n] != corners_[otherFirst + (b + i) % n]) return false;
    }
    return true;
}

bool PolygonCopies::CopiesEarlier(size_t first, size_t end, uint16_t material, int32_t index) {
    const size_t n = end - first, lowest = Lowest(first, end) - first;
    uint64_t hash = Mix(material + (uint64_t(n) << 16));
    for (size_t i = 0; i < n; ++i) hash = Mix(hash ^ uint32_t(corners_[first + (lowest + i) % n]));
    const uint32_t tag = uint32_t(hash >> 32) | 1u;
    const size_t mask = slots_.size() - 1;
    size_t at = Place(tag) & mask;
    for (; slots_[at].tag != 0; at = (at + 1) & mask) {
        if (slots_[at].tag == tag && Same(first, end, material, slots_[at].index)) return true;
    }
    slots_[at] = {tag, index};
    if (materials_.size() <= size_t(index)) materials_.resize(size_t(index) + 1);
    materials_[size_t(index)] = material;
    if (++used_ * 2 > slots_.size()) Grow();
    return false;
}

void PolygonCopies::Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.tag == 0) continue;
        size_t at = Place(slot.tag) & mask;
        while (slots_[at].tag != 0) at = (at + 1) & mask;
        slots_[at] = slot;
    }
}

}  // namespace KvrnApp
