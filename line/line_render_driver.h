// The line effect's frame run: settings records from the settings objects, the engine's three
// stages on a worker pool with progress and abort, and the two targets (the frame bitmap with
// the line render elements, or a file output's draw delegate); and the host hooks that build the
// frame's engine scene before the frame's effects run. Everything here runs on the render thread.
//
// Setting up a frame: call RegisterLineRenderHooks() once, put the line effects (and any
// file-output effects after them or not) in RenderSetup::effects and the line render elements in
// RenderSetup::elements, and let the host's FrameRenderer broadcast the notifications and call
// Effect::Apply.
#pragma once

#include <memory>
#include <vector>

#include "bitmap.h"
#include "check_abort_callbacks.h"
#include "frame_render_info.h"
#include "render.h"
#include "thread_manager.h"
#include "time_value.h"

class KvrnLine;
class LineFileOutput;

// The line effects of gc's effect list active at t, in list order; empty for a null gc.
std::vector<KvrnLine*> ActiveLineEffects(const RenderGlobalContext* gc, TimeValue t);
// The file-output effects of gc's effect list active at t, in list order.
std::vector<LineFileOutput*> ActiveFileOutputs(const RenderGlobalContext* gc, TimeValue t);

// Draws line's strokes through out's draw delegate on a pool of its own, reusing the effect's
// cached detection and connection of the frame. Line sizes follow out's height (sizes given for
// 640 pixels). False when nothing was drawn or a stage failed.
bool RenderLinesForFileOut(KvrnLine& line, TimeValue t, LineFileOutput& out,
                           CheckAbortCallback* cb);

// Registers the pre-render, pre-render-frame and post-render hooks; later calls do nothing.
void RegisterLineRenderHooks();

// Worker threads of a run with "multithread" on: count > 0 replaces the processor count, 0
// restores it. Set between frames only.
void SetLineThreadCountOverride(int count);
// The worker count of line's run at t: 1 with "multithread" off.
int LineThreadCount(KvrnLine& line, TimeValue t);

// The module's frame scene, rebuilt by the pre-render-frame hook.
KvrnFrameRenderInfo& SharedFrameRenderInfo();

// Effect::Apply of a line effect (KvrnLine::Apply forwards here).
void ApplyLineEffect(KvrnLine& line, TimeValue t, Bitmap* bm, RenderGlobalContext* gc,
                     CheckAbortCallback* cb);

// The bitmap variant: draws into bitmap and into gc's line render elements that have an output
// bitmap (gc may be null: no elements). False when nothing was drawn or a stage failed.
bool RenderLines(KvrnLine& line, TimeValue t, Bitmap& bitmap, const RenderGlobalContext* gc,
                 std::shared_ptr<KvrnLib::ThreadManager> manager, KvrnCheckAbortCallback& callback);

// "Processing: [name] ..." captions of the stages (string IDs 11197, 11198, 11199).
std::string StageCaption(int stringId, const std::string& effectName);
