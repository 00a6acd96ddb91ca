// Receiver of the stroke copies the drawing stage draws, as geometry (the vector file output).
// Called on one thread at a time: the drawing stage hands it only to a one-thread pool.
#pragma once

#include <cstdint>

namespace KvrnLib {

// A line set's `ID`, 1 to 8; several line sets may share one.
using LineSetId = int32_t;

class LineEffectDrawDelegate {
  public:
    virtual ~LineEffectDrawDelegate() = default;

    // Asked once per drawing: true visits the line sets in reverse order.
    virtual bool VisitLineSetsReversed() = 0;

    // Before the first drawn slot of a line set and class. lineSetId may be null when the line
    // set has none; lineSetIndex is its index in the line effect's line-set table. False skips
    // the line set for this class.
    virtual bool BeginLineSet(const LineSetId* lineSetId, int lineSetIndex, bool hidden) = 0;

    // Brackets one drawn copy of a stroke. width is the line size after its random, in pixels;
    // colour components are 0 to 1; dash and gap lengths are in pixels and matter only when
    // dashed.
    virtual void BeginStrokeCopy(float width, float r, float g, float b, bool dashed,
                                 float strokeLength, float strokeSpace) = 0;

    // One edge of the copy, in drawing order, in output pixels with the origin at the top left.
    virtual void Segment(int edgeKind, float x0, float y0, float x1, float y1) = 0;

    virtual void EndStrokeCopy() = 0;

    // Never called by the engine; keeps the operations in their published order.
    virtual void Reserved() {}
};

}  // namespace KvrnLib
