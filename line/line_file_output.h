// What the line effect needs of a file-output effect: the per-frame output call, made after the
// last active line effect of a frame has drawn, and the draw delegate its drawing goes through.
// Implemented by the vector file output, which builds on this module.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "line_effect_draw_delegate.h"
#include "reference.h"
#include "time_value.h"

class CheckAbortCallback;
class RenderGlobalContext;

class LineFileOutput {
  public:
    virtual ~LineFileOutput() = default;
    // Draws every active line effect of gc's frame through this output's delegate and writes the
    // file (nothing when cb reports an abort).
    virtual void Output(TimeValue t, RenderGlobalContext* gc, CheckAbortCallback* cb) = 0;
    // A delegate recording into the output's current writer. names: one per entry of the line
    // effect's line-set table (empty for an entry that is not a line set). Lives only while the
    // line effect draws.
    virtual std::shared_ptr<KvrnLib::LineEffectDrawDelegate> GetLineDrawDelegate(
        TimeValue t, const std::vector<std::wstring>& names) = 0;
    // Output size in pixels while Output runs (the render size).
    virtual int OutputWidth() const = 0;
    virtual int OutputHeight() const = 0;
};

// The file-output interface of an effect, or null.
inline LineFileOutput* AsLineFileOutput(ReferenceTarget* effect) {
    return dynamic_cast<LineFileOutput*>(effect);
}
