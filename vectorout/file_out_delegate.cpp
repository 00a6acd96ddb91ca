#include "file_out_delegate.h"

#include <algorithm>
#include <utility>

namespace KvrnVectorOut {

std::vector<int32_t> ExcludedEdgeKinds(const FileOutLineSwitches& s) {
    const bool enabled[8] = {s.outlineEnable, s.objectEnable, s.isectEnable, s.smoothEnable,
                             s.matidEnable,   s.normalEnable, s.wireEnable,  s.selEnable};
    std::vector<int32_t> kinds;
    kinds.reserve(10);
    for (int32_t kind = 0; kind < 8; ++kind) {
        if (!enabled[kind]) kinds.push_back(kind);
    }
    return kinds;
}

std::vector<int32_t> ExcludedLineSetIds(const FileOutLineSwitches& switches) {
    std::vector<int32_t> ids;
    for (int32_t i = 0; i < 8; ++i) {
        if (!switches.linesetID[i]) ids.push_back(i + 1);
    }
    return ids;
}

LineEffectDrawDelegateForFileOut::LineEffectDrawDelegateForFileOut(
    std::vector<std::wstring> layerNames, float width, float height, VectorImage* writer,
    const FileOutLineSwitches& switches)
    : layerNames_(std::move(layerNames)),
      width_(width),
      height_(height),
      writer_(writer),
      visibleEnabled_(switches.visibleLineEnable),
      hiddenEnabled_(switches.hiddenLineEnable),
      excludedLineSetIds_(ExcludedLineSetIds(switches)),
      excludedEdgeKinds_(ExcludedEdgeKinds(switches)) {}

bool LineEffectDrawDelegateForFileOut::BeginLineSet(const KvrnLib::LineSetId* lineSetId,
                                                    int lineSetIndex, bool hidden) {
    if (!writer_ || !(hidden ? hiddenEnabled_ : visibleEnabled_)) return false;
    if (lineSetId &&
        std::ranges::find(excludedLineSetIds_, *lineSetId) != excludedLineSetIds_.end()) {
        return false;
    }
    if (lineSetIndex < 0 || size_t(lineSetIndex) >= layerNames_.size()) return false;

    std::wstring name = layerNames_[size_t(lineSetIndex)];
    if (hidden) name += L"hidden";
    writer_->AppendLayer(std::wstring_view(name));
    writer_->AppendClipRect(0.0f, 0.0f, width_, height_);
    return true;
}

void LineEffectDrawDelegateForFileOut::BeginStrokeCopy(float width, float r, float g, float b,
                                                       bool dashed, float strokeLength,
                                                       float strokeSpace) {
    if (!writer_) return;
    writer_->AppendLineWidth(width);
    writer_->AppendColor(r, g, b);
    if (dashed) {
        const float pattern[2] = {strokeLength, strokeSpace};
        writer_->AppendDash(pattern, 0.0f);
    } else {
        writer_->AppendSolidLine();
    }
    newPath_ = writer_->AppendNewPath();
    hasSegments_ = false;
    inCopy_ = true;
}

void LineEffectDrawDelegateForFileOut::Segment(int edgeKind, float x0, float y0, float x1,
                                               float y1) {
    if (!writer_ || !inCopy_) return;
    if (std::ranges::find(excludedEdgeKinds_, edgeKind) != excludedEdgeKinds_.end()) return;
    writer_->AppendSegment(x0, y0, x1, y1);
    hasSegments_ = true;
}

void LineEffectDrawDelegateForFileOut::EndStrokeCopy() {
    if (!writer_ || !inCopy_) return;
    inCopy_ = false;
    if (hasSegments_) {
        writer_->AppendStroke();
    } else {
        // A path with nothing in it would still be written ("n", or an unclosed path group in
        // the Illustrator file); the state records before it are harmless.
        writer_->Neutralize(newPath_);
    }
}

}  // namespace KvrnVectorOut
