// The draw delegate of the vector file output: records every drawn stroke copy into a
// VectorImage, one layer and clip rectangle per line set and visibility, filtered by the
// output's switches. Used on the drawing thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "line_effect_draw_delegate.h"
#include "vector_image.h"

namespace KvrnVectorOut {

// The output's line switches, as the file-output effect stores them (all on by default).
struct FileOutLineSwitches {
    bool visibleLineEnable = true;
    bool hiddenLineEnable = true;
    bool outlineEnable = true;
    bool objectEnable = true;
    bool isectEnable = true;
    bool smoothEnable = true;
    bool matidEnable = true;
    bool normalEnable = true;
    bool wireEnable = true;
    bool selEnable = true;
    // Entry i enables the line sets whose ID is i + 1.
    std::array<bool, 8> linesetID{true, true, true, true, true, true, true, true};
};

// Edge kinds (0 to 7) whose switch is off, ascending; kinds 8 and 9 are never excluded.
std::vector<int32_t> ExcludedEdgeKinds(const FileOutLineSwitches& switches);
// Line set IDs (1 to 8) whose entry is off, ascending.
std::vector<int32_t> ExcludedLineSetIds(const FileOutLineSwitches& switches);

class LineEffectDrawDelegateForFileOut final : public KvrnLib::LineEffectDrawDelegate {
  public:
    // layerNames has one entry per line-set table entry (empty for entries that are not line
    // sets). width and height are the output size in pixels. writer may be null (then nothing
    // is recorded) and must outlive the delegate; it is not owned.
    LineEffectDrawDelegateForFileOut(std::vector<std::wstring> layerNames, float width,
                                     float height, VectorImage* writer,
                                     const FileOutLineSwitches& switches);

    // True: line sets are written last to first, so the first one is painted on top.
    bool VisitLineSetsReversed() override { return true; }
    // False for no writer, a switched-off visibility, an excluded ID or an index outside the
    // layer names. Otherwise records the layer (name, plus "hidden" for hidden lines) and a clip
    // rectangle of the output size.
    bool BeginLineSet(const KvrnLib::LineSetId* lineSetId, int lineSetIndex, bool hidden) override;
    void BeginStrokeCopy(float width, float r, float g, float b, bool dashed, float strokeLength,
                         float strokeSpace) override;
    // Segments of excluded edge kinds are dropped.
    void Segment(int edgeKind, float x0, float y0, float x1, float y1) override;
    // A copy left without segments is neutralised, so it writes no empty path.
    void EndStrokeCopy() override;

  private:
    std::vector<std::wstring> layerNames_;
    float width_;
    float height_;
    VectorImage* writer_;
    bool visibleEnabled_;
    bool hiddenEnabled_;
    std::vector<int32_t> excludedLineSetIds_;
    std::vector<int32_t> excludedEdgeKinds_;
    bool hasSegments_ = false;
    bool inCopy_ = false;
    VectorImage::Position newPath_{};
};

}  // namespace KvrnVectorOut
