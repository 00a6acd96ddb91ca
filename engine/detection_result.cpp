#include "detection_result.h"

namespace KvrnLib {

void DetectionResult::Reset(int lineSetCount, int objectCount) {
    lineSets.clear();
    pairs.clear();
    lineSets.resize(size_t(lineSetCount));
    for (LineSetEdges& set : lineSets) {
        set.visible.resize(size_t(objectCount));
        set.hidden.resize(size_t(objectCount));
    }
}

}  // namespace KvrnLib
