#include "detection_settings.h"

#include <cstddef>

namespace KvrnLib {

LineSetDetection LineSetDetection::Disabled() {
    LineSetDetection record;
    for (LineClassDetection* half : {&record.visible, &record.hidden}) {
        half->kind.fill(0);
        half->openEdgeOutline = half->groupOutline = half->openEdgeObject = half->selfIsect = 1;
        half->cosMin = half->cosMax = -1.0f;
    }
    record.maskHiddenLinesOfOtherLinesets = 0;
    return record;
}

bool FaceSelection::Contains(int object, int face) const {
    if (object < 0 || object >= int(objects.size()) || face < 0) return false;
    const ObjectFaces& o = objects[size_t(object)];
    if (o.wholeObject) return true;
    const size_t word = size_t(face) / 64;
    return word < o.faceBits.size() && ((o.faceBits[word] >> (face % 64)) & 1u) != 0;
}

bool FaceSelection::Empty() const {
    for (const ObjectFaces& o : objects) {
        if (o.wholeObject) return false;
        for (uint64_t bits : o.faceBits)
            if (bits) return false;
    }
    return true;
}

static int32_t ByMaterial(const std::vector<int32_t>& map, uint16_t materialID) {
    return map[materialID % map.size()];
}

int32_t ObjectDetection::LineSetOfMaterial(uint16_t materialID) const {
    return materialLineSets.empty() ? defaultLineSet : ByMaterial(materialLineSets, materialID);
}

int32_t ObjectDetection::FunctionsOfMaterial(uint16_t materialID) const {
    return materialFunctions.empty() ? -1 : ByMaterial(materialFunctions, materialID);
}

}  // namespace KvrnLib
