// Edge list by sorting half-edge keys (lower vertex, higher vertex) with a radix sort: linear in
// the face count, and equal edges end up adjacent in face order because the sort is stable.
#include "mesh_edges.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>

#include "radix_sort.h"
#include "render_object_info.h"

namespace KvrnLib {
namespace {

bool VertexInRange(int32_t v, size_t count) { return v >= 0 && size_t(v) < count; }

// Walks the runs of equal keys in sorted order and sets partner[h] for every half-edge h that
// carries a record: the other face's half-edge, kMeshEdgeSilhouette or kMeshEdgeOpen.
template <class KeyAt, class HalfEdgeAt>
void PairRuns(size_t count, KeyAt keyAt, HalfEdgeAt halfEdgeAt, const std::vector<uint8_t>& facing,
              int32_t* partner) {
    for (size_t i = 0; i < count;) {
        const uint64_t key = keyAt(i);
        size_t end = i + 1;
        while (end < count && keyAt(end) == key) ++end;
        int32_t first = -1;
        int32_t second = -1;
        bool culledNeighbour = false;
        for (size_t j = i; j < end; ++j) {
            const int32_t h = int32_t(halfEdgeAt(j));
            if (IsFacingCulled(facing[size_t(h / 3)])) {
                culledNeighbour = true;
            } else if (first < 0) {
                first = h;
            } else if (second < 0) {
                second = h;
            } else {
                partner[h] = kMeshEdgeSilhouette;
            }
        }
        if (first >= 0) {
            partner[first] =
                second >= 0 ? second : (culledNeighbour ? kMeshEdgeSilhouette : kMeshEdgeOpen);
        }
        i = end;
    }
}

}  // namespace

MeshEdgeTable BuildMeshEdgeTable(const RenderObject& object, const std::vector<uint8_t>& facing,
                                 const std::vector<int32_t>& leftOut) {
    const std::vector<FaceRecord>& faces = object.faces;
    if (facing.size() != faces.size())
        throw std::invalid_argument("BuildMeshEdgeTable: " + std::to_string(facing.size()) +
                                    " facing bytes for " + std::to_string(faces.size()) +
                                    " faces of object '" + object.name + "'");
    if (faces.size() > size_t(std::numeric_limits<int32_t>::max()) / 3)
        throw std::invalid_argument("BuildMeshEdgeTable: too many faces (" +
                                    std::to_string(faces.size()) + ") in object '" + object.name +
                                    "'");
    const size_t vertexCount = object.vertices.size();
    MeshEdgeTable table;
    if (faces.empty() || vertexCount == 0) return table;
    const size_t halfEdgeCount = faces.size() * 3;
    const int vertexBits = std::max(1, int(std::bit_width(uint64_t(vertexCount - 1))));
    const int halfEdgeBits = std::max(1, int(std::bit_width(uint64_t(halfEdgeCount - 1))));

    // Calls add(key, h) for every half-edge h whose ends differ, key = (lower, higher vertex).
    const auto forEachHalfEdge = [&](auto add) {
        size_t nextLeftOut = 0;
        for (size_t f = 0; f < faces.size(); ++f) {
            while (nextLeftOut < leftOut.size() && size_t(leftOut[nextLeftOut]) < f) ++nextLeftOut;
            if (nextLeftOut < leftOut.size() && size_t(leftOut[nextLeftOut]) == f) continue;
            const FaceRecord& face = faces[f];
            if (!VertexInRange(face.vertexA, vertexCount) ||
                !VertexInRange(face.vertexB, vertexCount) ||
                !VertexInRange(face.vertexC, vertexCount))
                continue;
            for (int k = 0; k < 3; ++k) {
                const uint64_t a = uint64_t(face.Vertex(k));
                const uint64_t b = uint64_t(face.Vertex((k + 1) % 3));
                if (a != b) add((std::min(a, b) << vertexBits) | std::max(a, b), f * 3 + size_t(k));
            }
        }
    };

    if (2 * vertexBits + halfEdgeBits <= 64) {
        // Key and half-edge packed in one word: half the memory traffic of separate arrays.
        std::vector<uint64_t> items;
        items.reserve(halfEdgeCount);
        forEachHalfEdge(
            [&](uint64_t key, size_t h) { items.push_back((key << halfEdgeBits) | h); });
        std::vector<uint64_t> scratch;
        RadixSortBits(items, scratch, halfEdgeBits, 2 * vertexBits);
        std::vector<uint64_t>().swap(scratch);  // before the table: lowers the peak
        table.partner.assign(halfEdgeCount, kNoMeshEdge);
        const uint64_t halfEdgeMask = (uint64_t(1) << halfEdgeBits) - 1;
        PairRuns(
            items.size(), [&](size_t j) { return items[j] >> halfEdgeBits; },
            [&](size_t j) { return items[j] & halfEdgeMask; }, facing, table.partner.data());
        return table;
    }
    std::vector<uint64_t> keys;
    std::vector<uint32_t> halfEdges;
    keys.reserve(halfEdgeCount);
    halfEdges.reserve(halfEdgeCount);
    forEachHalfEdge([&](uint64_t key, size_t h) {
        keys.push_back(key);
        halfEdges.push_back(uint32_t(h));
    });
    RadixSortPairs(keys, halfEdges, 2 * vertexBits);
    table.partner.assign(halfEdgeCount, kNoMeshEdge);
    PairRuns(
        keys.size(), [&](size_t j) { return keys[j]; }, [&](size_t j) { return halfEdges[j]; },
        facing, table.partner.data());
    return table;
}

std::vector<MeshEdge> BuildMeshEdges(const RenderObject& object, const std::vector<uint8_t>& facing,
                                     const std::vector<int32_t>& leftOut) {
    const MeshEdgeTable table = BuildMeshEdgeTable(object, facing, leftOut);
    std::vector<MeshEdge> edges;
    edges.reserve(size_t(std::count_if(table.partner.begin(), table.partner.end(),
                                       [](int32_t p) { return p != kNoMeshEdge; })));
    for (size_t h = 0; h < table.partner.size(); ++h)
        if (table.partner[h] != kNoMeshEdge) edges.push_back(table.Edge(object, h));
    return edges;
}

MeshEdgeCounts CountMeshEdges(const std::vector<MeshEdge>& edges) {
    MeshEdgeCounts counts;
    for (const MeshEdge& edge : edges) {
        if (edge.face1 >= 0)
            ++counts.twoFace;
        else if (edge.face1 == kMeshEdgeSilhouette)
            ++counts.singleFace;
        else
            ++counts.open;
    }
    return counts;
}

}  // namespace KvrnLib
