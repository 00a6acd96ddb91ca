#include "weld.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace KvrnApp {

using KvrnLib::Point3;

namespace {

// -0 and +0 are one position.
uint32_t Bits(float v) { return v == 0.0f ? 0u : std::bit_cast<uint32_t>(v); }

uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

// Open addressing over the kept vertices, compacting as it goes: one probe sequence per position,
// no node allocation, and no per-vertex map at all until the first repeat. Slots hold new
// indices, so the positions they are compared with are the compacted ones. Returns the new index
// of every vertex, or an empty vector when all were kept.
std::vector<int32_t> WeldExact(std::vector<Point3>& vertices) {
    const size_t n = vertices.size();
    const size_t size = std::bit_ceil(std::max<size_t>(16, 2 * n));
    std::vector<int32_t> slots;
    ReserveLarge(slots, size);
    slots.assign(size, -1);
    const auto slotOf = [&](size_t i) {
        const Point3 p = vertices[i];
        return size_t(Mix((uint64_t(Bits(p.x)) << 32 | Bits(p.y)) ^ Mix(Bits(p.z)))) & (size - 1);
    };
    // The table is far larger than the cache: asking for the slot of a vertex a few ahead lets
    // the misses overlap. Reads ahead see positions not yet compacted, which is all they need.
    constexpr size_t kAhead = 16;
    std::vector<int32_t> newIndex;
    int32_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(&slots[slotOf(i + kAhead)]);
        const Point3 p = vertices[i];
        const uint32_t x = Bits(p.x), y = Bits(p.y), z = Bits(p.z);
        size_t slot = slotOf(i);
        int32_t index = -1;
        for (;; slot = (slot + 1) & (size - 1)) {
            const int32_t held = slots[slot];
            if (held < 0) break;
            const Point3 q = vertices[size_t(held)];
            if (Bits(q.x) == x && Bits(q.y) == y && Bits(q.z) == z) {
                index = held;
                break;
            }
        }
        if (index < 0) {
            index = kept++;
            slots[slot] = index;
            vertices[size_t(index)] = p;
        } else if (newIndex.empty()) {
            ReserveLarge(newIndex, n);
            newIndex.resize(i);
            for (size_t k = 0; k < i; ++k) newIndex[k] = int32_t(k);
        }
        if (!newIndex.empty()) newIndex.push_back(index);
    }
    vertices.resize(size_t(kept));
    return newIndex;
}

struct Cell {
    int64_t x, y, z;
    bool operator==(const Cell&) const = default;
};
struct CellHash {
    size_t operator()(const Cell& c) const {
        return size_t(Mix(uint64_t(c.x) * 0x9e3779b97f4a7c15ull ^ Mix(uint64_t(c.y)) ^
                          Mix(uint64_t(c.z) + 0x632be59bd9b4e019ull)));
    }
};

// A grid of cells `distance` wide: every kept vertex within reach lies in the 27 cells around.
std::vector<int32_t> NearRepresentatives(const PolyMesh& mesh, float distance) {
    const std::vector<Point3>& vertices = mesh.vertices;
    const size_t n = vertices.size();
    const double cellSize = distance, reach2 = double(distance) * distance;
    // Beyond 2^52 cells per axis the floor of a coordinate no longer tells neighbours apart.
    constexpr double kMaxCell = 4.5e15;
    std::unordered_map<Cell, int32_t, CellHash> heads;  // first kept vertex of each cell
    std::vector<int32_t> nextInCell(n, -1), rep(n);
    for (size_t i = 0; i < n; ++i) {
        const Point3 p = vertices[i];
        const double cx = std::floor(p.x / cellSize), cy = std::floor(p.y / cellSize),
                     cz = std::floor(p.z / cellSize);
        if (!(std::fabs(cx) < kMaxCell && std::fabs(cy) < kMaxCell && std::fabs(cz) < kMaxCell)) {
            throw InputError(mesh.source + ": mesh '" + mesh.name + "': weld distance " +
                             std::to_string(distance) + " is too small for its coordinates");
        }
        const Cell cell{int64_t(cx), int64_t(cy), int64_t(cz)};
        int32_t best = -1;
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dz = -1; dz <= 1; ++dz) {
                    const auto found = heads.find({cell.x + dx, cell.y + dy, cell.z + dz});
                    if (found == heads.end()) continue;
                    for (int32_t k = found->second; k >= 0; k = nextInCell[size_t(k)]) {
                        if (best >= 0 && k > best) continue;
                        const Point3 q = vertices[size_t(k)];
                        const double ex = double(q.x) - p.x, ey = double(q.y) - p.y,
                                     ez = double(q.z) - p.z;
                        if (ex * ex + ey * ey + ez * ez <= reach2) best = k;
                    }
                }
            }
        }
        if (best >= 0) {
            rep[i] = best;
            continue;
        }
        rep[i] = int32_t(i);
        auto [it, added] = heads.try_emplace(cell, int32_t(i));
        if (!added) {
            nextInCell[i] = it->second;
            it->second = int32_t(i);
        }
    }
    return rep;
}

}  // namespace

int64_t WeldVertices(PolyMesh& mesh, float distance) {
    if (!(distance >= 0) || !std::isfinite(distance)) {
        throw InputError(mesh.source + ": weld distance " + std::to_string(distance) +
                         " must be 0 or more");
    }
    const size_t n = mesh.vertices.size();
    std::vector<int32_t> newIndex;
    if (distance > 0) {
        const std::vector<int32_t> rep = NearRepresentatives(mesh, distance);
        // Kept vertices are their own representative; the others point at an earlier one.
        newIndex.resize(n);
        size_t kept = 0;
        for (size_t i = 0; i < n; ++i) {
            if (rep[i] == int32_t(i)) {
                mesh.vertices[kept] = mesh.vertices[i];
                newIndex[i] = int32_t(kept++);
            } else {
                newIndex[i] = newIndex[size_t(rep[i])];
            }
        }
        mesh.vertices.resize(kept);
    } else {
        newIndex = WeldExact(mesh.vertices);
    }
    if (mesh.vertices.size() == n) return 0;
    // A triangle soup keeps a sixth or so of its vertices: the rest of the array need not stay
    // paged in for the whole render.
    if (mesh.vertices.size() < n / 2) mesh.vertices.shrink_to_fit();
    const auto remap = [&](int32_t& v) {
        if (v >= 0 && size_t(v) < n) v = newIndex[size_t(v)];
    };
    for (Polygon& poly : mesh.polygons)
        std::for_each(poly.vertices.begin(), poly.vertices.end(), remap);
    std::for_each(mesh.packed.vertices.begin(), mesh.packed.vertices.end(), remap);
    return int64_t(n - mesh.vertices.size());
}

}  // namespace KvrnApp
