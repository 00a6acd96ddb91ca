// The select-edge marking: a mapping channel whose texture vertices carry a marker value on
// both ends of an edge selects that edge for the selected-edge line kind.
#pragma once

#include "geometry.h"
#include "scene.h"

namespace KvrnLib {

// The value the select-edge modifier writes; its bit pattern has bit 30 and all mantissa bits set.
inline constexpr float kSelectEdgeMarker = 3.9999998f;

// True when for at least one component a and b are equal, at least 1.0, and their bit pattern
// ANDed with 0x407FFFFF equals 0x407FFFFF.
bool IsSelectEdgeMarker(Point3 a, Point3 b);

// Sets FaceEdgeSelectedBit(k) on each face edge k whose two texture vertices in mapChannel pass
// IsSelectEdgeMarker. Does nothing when the channel is out of range, missing, or does not hold
// one texture face per face; texture indices out of range leave their edges unmarked.
void MarkSelectedEdges(RenderObject& object, int mapChannel);

}  // namespace KvrnLib
