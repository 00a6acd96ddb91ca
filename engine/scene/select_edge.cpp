#include "select_edge.h"

#include <bit>
#include <cstdint>

namespace KvrnLib {
namespace {

constexpr uint32_t kMarkerBits = 0x407FFFFFu;

bool IsMarkerComponent(float a, float b) {
    return a >= 1.0f && a == b && (std::bit_cast<uint32_t>(a) & kMarkerBits) == kMarkerBits;
}

}  // namespace

bool IsSelectEdgeMarker(Point3 a, Point3 b) {
    return IsMarkerComponent(a.x, b.x) || IsMarkerComponent(a.y, b.y) ||
           IsMarkerComponent(a.z, b.z);
}

void MarkSelectedEdges(RenderObject& object, int mapChannel) {
    if (mapChannel < 0 || mapChannel >= kMapChannelCount) return;
    const UVMesh* channel = object.mapChannels[size_t(mapChannel)].get();
    if (!channel || channel->faces.size() != object.faces.size()) return;
    const std::vector<Point3>& uvs = channel->vertices;
    for (size_t f = 0; f < object.faces.size(); ++f) {
        const std::array<int32_t, 3>& uvFace = channel->faces[f];
        for (int k = 0; k < 3; ++k) {
            const int32_t a = uvFace[size_t(k)];
            const int32_t b = uvFace[size_t((k + 1) % 3)];
            if (a < 0 || b < 0 || size_t(a) >= uvs.size() || size_t(b) >= uvs.size()) continue;
            if (IsSelectEdgeMarker(uvs[size_t(a)], uvs[size_t(b)]))
                object.faces[f].flags |= FaceEdgeSelectedBit(k);
        }
    }
}

}  // namespace KvrnLib
