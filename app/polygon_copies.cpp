#include "polygon_copies.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <utility>

#include "thread_manager.h"

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

    // One multiply per corner, then one full mix: the table only needs its bits spread.
    uint64_t Hash(size_t p) const {
        const size_t first = size_t(start_[p]), n = size_t(start_[p + 1]) - first;
        const size_t lowest = Lowest(p);
        uint64_t hash = materials_[p] + (uint64_t(n) << 16);
        for (size_t i = 0, at = lowest; i < n; ++i, at = at + 1 == n ? 0 : at + 1)
            hash = (hash ^ uint32_t(corners_[first + at])) * 0x9E3779B97F4A7C15ULL;
        return Mix(hash);
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

// The polygons whose hash falls in one part of the hash range, each against the earlier ones of
// that part, through a table of their own. Appends the copies among them to `copies`, in order.
void FindCopiesInPart(const Polygons& polygons, const std::vector<uint64_t>& hashes, size_t part,
                      size_t parts, std::vector<int32_t>& copies) {
    const size_t count = hashes.size();
    const auto inPart = [part, parts](uint64_t hash) {
        return size_t((hash >> 32) * parts >> 32) == part;
    };
    struct Slot {
        uint32_t tag = 0;  // the hash's top bits, never 0; 0 marks an empty slot
        int32_t polygon = -1;
    };
    // Filled to between a third and two thirds: linear probing stays within a cache line or two.
    const size_t expected = count / parts + 1;
    std::vector<Slot> slots(std::bit_ceil(expected + expected / 2));
    const size_t mask = slots.size() - 1;
    // A table of millions of slots misses the cache on nearly every probe: asking for the slot of
    // a polygon a few ahead lets those misses overlap.
    constexpr size_t kAhead = 16;
    for (size_t p = 0; p < count; ++p) {
        if (p + kAhead < count && inPart(hashes[p + kAhead]))
            __builtin_prefetch(&slots[size_t(hashes[p + kAhead]) & mask]);
        const uint64_t hash = hashes[p];
        if (!inPart(hash)) continue;
        const uint32_t tag = uint32_t(hash >> 32) | 1u;
        size_t at = size_t(hash) & mask;
        bool copy = false;
        for (; slots[at].tag != 0 && !copy; at = (at + 1) & mask)
            copy = slots[at].tag == tag && polygons.Same(p, size_t(slots[at].polygon));
        if (copy) {
            copies.push_back(int32_t(p));
        } else {
            slots[at] = {tag, int32_t(p)};
        }
    }
}

}  // namespace

std::vector<uint8_t> FindPolygonCopies(const std::vector<int32_t>& corners,
                                       const std::vector<int32_t>& start,
                                       const std::vector<uint16_t>& materials,
                                       KvrnLib::ThreadManager* pool) {
    const Polygons polygons(corners, start, materials);
    const size_t count = polygons.Count();
    std::vector<uint8_t> copies(count, 0);
    if (count < 2) return copies;
    // Equal polygons hash alike, so each part of the hash range finds its copies on its own: one
    // part per worker.
    constexpr size_t kPolygonsPerPart = 1 << 16;
    const size_t parts =
        pool ? std::clamp<size_t>(count / kPolygonsPerPart, 1, size_t(pool->GetThreadCount())) : 1;
    KvrnLib::ThreadManager* const workers = parts > 1 ? pool : nullptr;
    std::vector<uint64_t> hashes(count);
    const int chunks = int((count + kPolygonsPerPart - 1) / kPolygonsPerPart);
    KvrnLib::ParallelFor(workers, chunks, [&](int chunk) {
        const size_t end = std::min(count, size_t(chunk + 1) * kPolygonsPerPart);
        for (size_t p = size_t(chunk) * kPolygonsPerPart; p < end; ++p)
            hashes[p] = polygons.Hash(p);
    });
    std::vector<std::vector<int32_t>> found(parts);
    KvrnLib::ParallelFor(workers, int(parts), [&](int part) {
        FindCopiesInPart(polygons, hashes, size_t(part), parts, found[size_t(part)]);
    });
    for (const std::vector<int32_t>& part : found)
        for (int32_t p : part) copies[size_t(p)] = 1;
    return copies;
}

}  // namespace KvrnApp
