// Edge list by grouping half-edges on their key (lower vertex, higher vertex): a counting sort on
// the lower vertex, then each vertex's few half-edges sorted on the higher one and their index,
// so equal edges end up adjacent in face order. Linear in the face count, in two passes over
// the half-edges and one array of them, where a radix sort of the whole key took five and two.
#include "mesh_edges.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

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

    // Calls add(lower, higher, h) for every half-edge h whose ends differ.
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
                const uint32_t a = uint32_t(face.Vertex(k));
                const uint32_t b = uint32_t(face.Vertex((k + 1) % 3));
                if (a != b) add(std::min(a, b), std::max(a, b), uint32_t(f * 3 + size_t(k)));
            }
        }
    };

    // groupEnd[v]: end of lower vertex v's group once filled (its start is groupEnd[v - 1]).
    std::vector<uint32_t> groupEnd(vertexCount + 1, 0);
    forEachHalfEdge([&](uint32_t lower, uint32_t, uint32_t) { ++groupEnd[lower + 1]; });
    for (size_t v = 1; v <= vertexCount; ++v) groupEnd[v] += groupEnd[v - 1];
    // (higher vertex, half-edge) per entry; half-edges arrive ascending.
    std::vector<uint64_t> entries(groupEnd[vertexCount]);
    forEachHalfEdge([&](uint32_t lower, uint32_t higher, uint32_t h) {
        entries[groupEnd[lower]++] = (uint64_t(higher) << 32) | h;
    });
    table.partner.assign(halfEdgeCount, kNoMeshEdge);
    for (size_t v = 0, begin = 0; v < vertexCount; begin = groupEnd[v], ++v) {
        uint64_t* group = entries.data() + begin;
        const size_t count = groupEnd[v] - begin;
        if (count == 0) continue;
        std::sort(group, group + count);
        PairRuns(
            count, [&](size_t j) { return group[j] >> 32; },
            [&](size_t j) { return group[j] & 0xFFFFFFFFu; }, facing, table.partner.data());
    }
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
