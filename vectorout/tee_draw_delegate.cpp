#include "tee_draw_delegate.h"

namespace KvrnVectorOut {

TeeDrawDelegate::TeeDrawDelegate(
    std::vector<std::shared_ptr<KvrnLib::LineEffectDrawDelegate>> targets)
    : targets_(std::move(targets)), active_(targets_.size(), 0) {}

bool TeeDrawDelegate::VisitLineSetsReversed() { return targets_.front()->VisitLineSetsReversed(); }

bool TeeDrawDelegate::BeginLineSet(const KvrnLib::LineSetId* id, int index, bool hidden) {
    bool any = false;
    for (size_t i = 0; i < targets_.size(); ++i) {
        active_[i] = targets_[i]->BeginLineSet(id, index, hidden);
        any = any || active_[i];
    }
    return any;
}

void TeeDrawDelegate::BeginStrokeCopy(float width, float r, float g, float b, bool dashed,
                                      float length, float space) {
    for (size_t i = 0; i < targets_.size(); ++i) {
        if (active_[i]) targets_[i]->BeginStrokeCopy(width, r, g, b, dashed, length, space);
    }
}

void TeeDrawDelegate::Segment(int kind, float x0, float y0, float x1, float y1) {
    for (size_t i = 0; i < targets_.size(); ++i) {
        if (active_[i]) targets_[i]->Segment(kind, x0, y0, x1, y1);
    }
}

void TeeDrawDelegate::EndStrokeCopy() {
    for (size_t i = 0; i < targets_.size(); ++i) {
        if (active_[i]) targets_[i]->EndStrokeCopy();
    }
}

}  // namespace KvrnVectorOut
