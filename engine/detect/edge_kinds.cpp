#include "edge_kinds.h"

#include <algorithm>

namespace KvrnLib {

namespace {

constexpr uint32_t Bit(int kind) { return 1u << kind; }

// Kinds a piece of a two-face edge may take, the one it takes first when the edge has several.
constexpr int kTwoFaceKindPriority[] = {kEdgeSmoothing, kEdgeMaterialID, kEdgeSelected,
                                        kEdgeNormalAngle, kEdgeWire};

// Corner of `face` at vertex index v, or -1.
int CornerOf(const FaceRecord& face, int32_t v) {
    for (int k = 0; k < 3; ++k)
        if (face.Vertex(k) == v) return k;
    return -1;
}

// Explicit corner normals differ by more than float noise.
bool NormalsDiffer(Point3 a, Point3 b) {
    const Point3 d = a - b;
    return Dot(d, d) > 1e-8f;
}

bool SmoothingEdge(const RenderObject& object, const MeshEdge& edge) {
    const FaceRecord& f0 = object.faces[size_t(edge.face0)];
    const FaceRecord& f1 = object.faces[size_t(edge.face1)];
    if (object.explicitNormals && object.cornerNormals.size() >= object.faces.size() * 3) {
        const Point3* n0 = &object.cornerNormals[size_t(edge.face0) * 3];
        const Point3* n1 = &object.cornerNormals[size_t(edge.face1) * 3];
        for (int32_t v : {edge.v0, edge.v1}) {
            const int c0 = CornerOf(f0, v);
            const int c1 = CornerOf(f1, v);
            if (c0 >= 0 && c1 >= 0 && NormalsDiffer(n0[c0], n1[c1])) return true;
        }
        return false;
    }
    const bool shareGroup = (f0.smoothingGroup & f1.smoothingGroup) != 0 ||
                            (f0.smoothingGroup == 0 && f1.smoothingGroup == 0);
    if (!shareGroup) return true;
    return (f0.flags & FaceEdgeHardBit(edge.edge0)) != 0;
}

// Both limits are included; the slack absorbs float rounding of normals and cosines, so faces
// meeting at exactly the limit angle count.
bool AngleQualifies(float d, const LineClassDetection& c) {
    constexpr float kSlack = 1e-6f;
    return c.cosMax - kSlack <= d && d <= c.cosMin + kSlack;
}

}  // namespace

EdgeKinds ClassifyEdge(const RenderObject& object, const std::vector<Point3>& faceNormals,
                       const MeshEdge& edge, const LineSetDetection& lineSet) {
    EdgeKinds kinds;
    const LineClassDetection& vis = lineSet.visible;
    const LineClassDetection& hid = lineSet.hidden;
    if (edge.face1 < 0) {
        const bool open = edge.face1 == kMeshEdgeOpen;
        kinds.outlineVisible = vis.kind[kEdgeOutline] && (!open || vis.openEdgeOutline);
        kinds.outlineHidden = hid.kind[kEdgeOutline] && (!open || hid.openEdgeOutline);
        kinds.objectVisible = vis.kind[kEdgeObject] && (!open || vis.openEdgeObject);
        kinds.objectHidden = hid.kind[kEdgeObject] && (!open || hid.openEdgeObject);
        if (kinds.outlineVisible || kinds.outlineHidden) kinds.mask |= Bit(kEdgeOutline);
        if (kinds.objectVisible || kinds.objectHidden) kinds.mask |= Bit(kEdgeObject);
        return kinds;
    }
    const FaceRecord& f0 = object.faces[size_t(edge.face0)];
    const FaceRecord& f1 = object.faces[size_t(edge.face1)];
    if (lineSet.AnyClassHas(kEdgeSmoothing) && SmoothingEdge(object, edge))
        kinds.mask |= Bit(kEdgeSmoothing);
    if (lineSet.AnyClassHas(kEdgeMaterialID) && f0.materialID != f1.materialID)
        kinds.mask |= Bit(kEdgeMaterialID);
    if (lineSet.AnyClassHas(kEdgeNormalAngle)) {
        const float d = std::clamp(
            Dot(faceNormals[size_t(edge.face0)], faceNormals[size_t(edge.face1)]), -1.0f, 1.0f);
        kinds.angleVisible = vis.kind[kEdgeNormalAngle] && AngleQualifies(d, vis);
        kinds.angleHidden = hid.kind[kEdgeNormalAngle] && AngleQualifies(d, hid);
        if (kinds.angleVisible || kinds.angleHidden) kinds.mask |= Bit(kEdgeNormalAngle);
    }
    if (lineSet.AnyClassHas(kEdgeWire) && (f0.flags & FaceEdgeVisibleBit(edge.edge0)))
        kinds.mask |= Bit(kEdgeWire);
    if (lineSet.AnyClassHas(kEdgeSelected) &&
        ((f0.flags & FaceEdgeSelectedBit(edge.edge0)) ||
         (edge.edge1 >= 0 && (f1.flags & FaceEdgeSelectedBit(edge.edge1)))))
        kinds.mask |= Bit(kEdgeSelected);
    return kinds;
}

int PieceKind(const EdgeKinds& kinds, const LineSetDetection& lineSet, bool hidden, bool singleFace,
              bool outlineSide) {
    if (singleFace) {
        if (outlineSide)
            return (hidden ? kinds.outlineHidden : kinds.outlineVisible) ? kEdgeOutline : -1;
        return (hidden ? kinds.objectHidden : kinds.objectVisible) ? kEdgeObject : -1;
    }
    const LineClassDetection& c = hidden ? lineSet.hidden : lineSet.visible;
    for (int kind : kTwoFaceKindPriority) {
        if (!(kinds.mask & Bit(kind)) || !c.kind[kind]) continue;
        if (kind == kEdgeNormalAngle && !(hidden ? kinds.angleHidden : kinds.angleVisible))
            continue;
        return kind;
    }
    return -1;
}

}  // namespace KvrnLib
