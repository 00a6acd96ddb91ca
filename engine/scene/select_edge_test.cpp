#include "select_edge.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

namespace KvrnLib {
namespace {

TEST(SelectEdge, MarkerTest) {
    const float m = kSelectEdgeMarker;
    EXPECT_EQ(std::bit_cast<uint32_t>(m), 0x407FFFFFu);
    EXPECT_TRUE(IsSelectEdgeMarker({m, 0.2f, 0.3f}, {m, 0.7f, 0.1f}));
    EXPECT_TRUE(IsSelectEdgeMarker({0.5f, 0.2f, m}, {0.1f, 0.9f, m}));        // any one component
    EXPECT_TRUE(IsSelectEdgeMarker({7.9999995f, 0, 0}, {7.9999995f, 0, 0}));  // 0x40FFFFFF
    EXPECT_FALSE(IsSelectEdgeMarker({m, 0, 0}, {4.0f, 0, 0}));                // not equal
    EXPECT_FALSE(IsSelectEdgeMarker({m, 0, 0}, {0, m, 0}));        // different components
    EXPECT_FALSE(IsSelectEdgeMarker({4.0f, 0, 0}, {4.0f, 0, 0}));  // mantissa bits clear
    EXPECT_FALSE(IsSelectEdgeMarker({0.9999999f, 0, 0}, {0.9999999f, 0, 0}));  // below 1
    EXPECT_FALSE(IsSelectEdgeMarker({1.9999999f, 0, 0}, {1.9999999f, 0, 0}));  // bit 30 clear
    EXPECT_FALSE(IsSelectEdgeMarker({-m, 0, 0}, {-m, 0, 0}));  // pattern fits, negative
}

TEST(SelectEdge, MarkSelectedEdgesFromChannel) {
    const float m = kSelectEdgeMarker;
    RenderObject quad;
    quad.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    quad.faces = {{0, 1, 2, 0, 0, 1}, {0, 2, 3, kFaceTwoSided, 0, 1}};
    auto channel = std::make_shared<UVMesh>();
    // Texture vertices 0, 1 and 3 carry the marker; 2 does not; face 1 points past the end.
    channel->vertices = {{m, 0, 0}, {m, 0.5f, 0}, {0.5f, 0.5f, 0}, {0.25f, 0, m}};
    channel->faces = {{0, 1, 2}, {0, 2, 17}};
    quad.mapChannels[98] = channel;

    MarkSelectedEdges(quad, 97);  // empty channel
    MarkSelectedEdges(quad, -1);
    MarkSelectedEdges(quad, kMapChannelCount);
    EXPECT_EQ(quad.faces[0].flags, 0u);

    MarkSelectedEdges(quad, 98);
    EXPECT_EQ(quad.faces[0].flags, FaceEdgeSelectedBit(0));  // 0-1 only
    EXPECT_EQ(quad.faces[1].flags, kFaceTwoSided);           // 0-2 plain, the rest out of range

    channel->faces = {{3, 0, 1}, {3, 2, 1}};
    MarkSelectedEdges(quad, 98);  // texture vertex 3 matches 0 and 1 in no component
    EXPECT_EQ(quad.faces[0].flags, FaceEdgeSelectedBit(0) | FaceEdgeSelectedBit(1));
    EXPECT_EQ(quad.faces[1].flags, kFaceTwoSided);

    channel->faces.pop_back();  // one texture face per face no longer holds
    quad.faces[0].flags = 0;
    MarkSelectedEdges(quad, 98);
    EXPECT_EQ(quad.faces[0].flags, 0u);
}

}  // namespace
}  // namespace KvrnLib
