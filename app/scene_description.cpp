#include "scene_description.h"

namespace KvrnApp {

const std::array<const char*, kBrushSlotCount> kBrushSlotNames = {"brush",
                                                                  "brushOutline",
                                                                  "brushObject",
                                                                  "brushIntersection",
                                                                  "brushSmoothingGroup",
                                                                  "brushMaterialID",
                                                                  "brushNormalAngle",
                                                                  "brushWire",
                                                                  "brushSelectedEdge"};

CurveDesc DefaultReductionCurve() {
    CurveDesc curve;
    CurvePointDesc first;
    first.x = 0.0f;
    first.y = 1.0f;
    first.outX = 0.05f;
    first.outY = -1.0f;
    CurvePointDesc second;
    second.x = 1.0f;
    second.y = 0.1f;
    second.inX = -0.5f;
    second.inY = 0.1f;
    curve.points = {first, second};
    return curve;
}

CurveDesc DefaultStrokeCurve() {
    CurveDesc curve;
    CurvePointDesc first, second;
    first.y = 1.0f;
    second.x = 1.0f;
    second.y = 1.0f;
    curve.points = {first, second};
    return curve;
}

void SwitchAllEdgesOff(EdgeSwitchesDesc& edges) {
    edges.edgeOutline = edges.edgeObject = edges.edgeIsect = edges.edgeSmooth = edges.edgeMatID =
        edges.edgeNormal = edges.edgeWire = edges.edgeSel = false;
}

LineSetDesc NewLineSet(std::vector<BrushDesc>& brushes) {
    LineSetDesc set;
    for (auto& slots : set.brushSlots) {
        for (int32_t& slot : slots) {
            slot = int32_t(brushes.size());
            brushes.emplace_back().fresh = true;
        }
    }
    return set;
}

}  // namespace KvrnApp
