// One draw delegate feeding several, so that one drawing pass writes every vector file.
#pragma once

#include <memory>
#include <vector>

#include "line_effect_draw_delegate.h"

namespace KvrnVectorOut {

// Hands every call to each of several delegates (an EPS and an Illustrator file at once). The
// line-set order is the first target's.
class TeeDrawDelegate final : public KvrnLib::LineEffectDrawDelegate {
  public:
    explicit TeeDrawDelegate(std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> targets);

    bool VisitLineSetsReversed() override;
    bool BeginLineSet(const KvrnLib::LineSetId* id, int index, bool hidden) override;
    void BeginStrokeCopy(float width, float r, float g, float b, bool dashed, float length,
                         float space) override;
    void Segment(int kind, float x0, float y0, float x1, float y1) override;
    void EndStrokeCopy() override;

  private:
    std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> targets_;
    std::vector<char> active_;  // per target: inside a line set it accepted
};

}  // namespace KvrnVectorOut
