// Stroke drawing: the strokes of every line set's connection result drawn with their brushes
// into the over-sampled fragment buffer, resolved slot by slot onto the output rasters, and
// optionally handed to a draw delegate as geometry. The driver runs on the render thread; the
// slot drawing runs as DrawLineThreadProcess, every worker walking every stroke of the slot and
// writing only the buffer rows y with y mod T = t, so results do not depend on the thread count.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "connection.h"
#include "draw_settings.h"
#include "line_effect_delegate.h"
#include "line_effect_draw_delegate.h"
#include "line_raster.h"
#include "scene.h"
#include "thread_manager.h"

namespace KvrnLib {

// One byte per edge kind 0-7 (outline, object, intersection, smoothing group, material ID,
// normal angle, wire, selected edge) that orders the pieces of a slot; 0 for other kinds.
uint8_t StrokeClassOfKind(int32_t kind);
// The class of a segment of `kind` in a stroke: an intersection edge in a stroke that also holds
// outline or object edges takes the outline class.
uint8_t SegmentStrokeClass(int32_t kind, bool strokeHasOutline);

// Draws the slots of every pass onto the main raster and the render-element rasters. Throws
// LineEffectException with the stage's fixed messages, or the abort when `delegate` cancels.
// `flag` is handed through by the engine frame and not used here. `workBuffer` is created on
// first use and kept by the caller between frames. `drawDelegate` (may be empty) receives the
// drawn copies of the last pass (the main pass when it is wanted) from the pool's first worker.
// Render thread only. Returns true when finished, false when cancelled.
bool DrawStrokes(LineEffectRasterInterface& raster, const DrawSettings& settings,
                 const std::vector<ConnectionResult>& connection, const Scene& scene,
                 ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate,
                 bool flag, const std::shared_ptr<LineEffectDrawDelegate>& drawDelegate,
                 std::unique_ptr<LineEffectWorkBuffer>& workBuffer);

}  // namespace KvrnLib
