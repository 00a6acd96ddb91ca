// Plain Encapsulated PostScript writer: records become PostScript operators one for one (the
// page transform included), after a prolog of short operator names.
#pragma once

#include <array>

#include "number_format.h"
#include "vector_image.h"

namespace KvrnVectorOut {

class EPSImage : public VectorImage {
  public:
    void SetBoundingBox(float x1, float y1, float x2, float y2) override;
    // x1, y1, x2, y2; all 0 until set.
    const std::array<float, 4>& BoundingBox() const { return boundingBox_; }

    // Plain EPS has no layers: nothing is inserted and pos is returned.
    Position InsertLayer(Position pos, std::wstring_view name) override;
    Position InsertLayer(Position pos, std::string_view name) override;

    bool SupportsLayers() const override { return false; }
    // One pass against the PostScript start state (black, width 1, solid, join 0, cap 0):
    // repeated colour, width, dash, join and cap records are removed, and a segment starting
    // within the connect tolerance of the current point becomes a line-to.
    void Optimize() override;
    std::string Serialize() const override;
    void Clear() override;

  protected:
    // The pass of Optimize; with groupPaths it also brackets each path in begin/end path-group
    // records and closes an open group before a layer.
    void OptimizePass(bool groupPaths);

    // Line width, dash ("[", "%G " per pattern value, "] %G d"), join and cap, written the same
    // by both flavours; false (nothing written) for any other record.
    static bool WriteLineState(PsText& out, const Record& record);
    // label, then x1 y1 x2 y2.
    void WriteBoundingBox(PsText& out, std::string_view label) const;
    static void WriteVersionComment(PsText& out);

  private:
    std::array<float, 4> boundingBox_{};
};

}  // namespace KvrnVectorOut
