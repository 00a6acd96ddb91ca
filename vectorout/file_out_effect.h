// The file-output effect: a render effect that draws nothing into the frame and instead, once
// the line effects of a frame have drawn, has each of them draw again into a vector writer and
// saves the result as an Illustrator 8 EPS or a plain EPS file. Render thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "class_desc.h"
#include "file_replace.h"
#include "line_file_output.h"
#include "param_block.h"
#include "render.h"
#include "vector_image.h"

inline const Class_ID KVRN_FILE_OUT_CLASS_ID(0x4CE84A1B, 0x663E60CF);

// Block "kovrin_fileout" (ID 0, reference 0); nothing in either block is animatable.
enum FileOutParam : ParamID {
    kFileOutFileType = 0,  // int 0..1: 0 Illustrator 8 EPS, 1 plain EPS
    kFileOutFileName = 1,  // string, UTF-8; empty: nothing is written
};

// Block "kovrin_fileout_line" (ID 1, reference 1): bools, all on by default.
enum FileOutLineParam : ParamID {
    kFileOutVisibleLineEnable = 0,
    kFileOutHiddenLineEnable = 1,
    kFileOutOutlineEnable = 3,
    kFileOutObjectEnable = 4,
    kFileOutIsectEnable = 5,
    kFileOutSmoothEnable = 6,
    kFileOutMatidEnable = 7,
    kFileOutNormalEnable = 8,
    kFileOutLinesetID = 9,  // table of 8: entry i enables the line sets whose ID is i + 1
    kFileOutSelEnable = 10,
    kFileOutWireEnable = 11,
};

struct KvrnFileOutRefsDef {
    static constexpr int kRefFile = 0;
    static constexpr int kRefLine = 1;
    static constexpr int kNumRefs = 2;
};

// Output file names. Each run of '#' in fileName, such as "lines_####.eps", is replaced by the
// frame number zero-padded to the run's length (a wider number is written in full; a negative
// frame gets its '-' in front of the padded digits), in single-frame renders too, and the name is
// then used as it is. Without a '#', a render of a frame range puts the frame between base name
// and extension (lines0012.eps; lines12345.eps from frame 10000 on) and a single-frame render
// keeps the name.
class KvrnFileOut : public Effect, public LineFileOutput, public KvrnFileOutRefsDef {
  public:
    // Has every active line effect of gc's frame draw through out. The default asks the line
    // render driver; tests put their own strokes in.
    using LineDrawingStep = std::function<void(TimeValue t, RenderGlobalContext* gc,
                                               LineFileOutput& out, CheckAbortCallback* cb)>;

    // loading: the blocks come from a file (or a clone), so none are made here.
    explicit KvrnFileOut(bool loading = false);

    Class_ID ClassID() const override { return KVRN_FILE_OUT_CLASS_ID; }
    std::string ClassName() const override;
    int NumRefs() override { return kNumRefs; }
    int NumSubs() override { return kNumRefs; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;
    // Clones both blocks through remap; the clone keeps this effect's name and drawing step.
    ReferenceTarget* Clone(RemapDir& remap) override;

    IParamBlock2* FileBlock();
    IParamBlock2* LineBlock();

    // Draws nothing: the line effect calls Output after the frame's last line effect.
    void Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc, CheckAbortCallback* cb) override;

    // Writes the frame's lines to the file named at t. Stops silently for an empty name, a file
    // type outside 0..1, a null gc or an empty render size; writes nothing when cb reports an
    // abort after the drawing. The file is written under a temporary name and renamed, so an
    // existing file is either replaced completely or left as it was.
    void Output(TimeValue t, RenderGlobalContext* gc, CheckAbortCallback* cb) override;
    // A delegate recording into the current writer with the switches at t; records nothing
    // outside Output. Must not outlive the Output call it was made in.
    std::shared_ptr<KvrnLib::LineEffectDrawDelegate> GetLineDrawDelegate(
        TimeValue t, const std::vector<std::wstring>& names) override;
    int OutputWidth() const override { return int(width_); }
    int OutputHeight() const override { return int(height_); }

    // The path the last Output wrote or tried to write (empty when it stopped before writing),
    // and that write's result: 0, or the errno-style code of the step that failed.
    const std::wstring& LastWritePath() const { return lastWritePath_; }
    int LastWriteResult() const { return lastWriteResult_; }
    // Non-null: Output writes the file under its temporary name and appends it to *files instead
    // of renaming it into place, so that a renderer can commit a frame's files together.
    void StageWritesInto(std::vector<KvrnVectorOut::StagedFile>* files) { staged_ = files; }

    // Null restores the default step.
    void SetLineDrawingStep(LineDrawingStep step);

  private:
    std::unique_ptr<KvrnVectorOut::VectorImage> writer_;
    float width_ = 0.0f;
    float height_ = 0.0f;
    LineDrawingStep drawLines_;
    std::wstring lastWritePath_;
    int lastWriteResult_ = 0;
    std::vector<KvrnVectorOut::StagedFile>* staged_ = nullptr;
};

// The default drawing step: every active line effect at t, in the effects list's order.
void DrawActiveLineEffects(TimeValue t, RenderGlobalContext* gc, LineFileOutput& out,
                           CheckAbortCallback* cb);

// The name a frame's file is written to (see KvrnFileOut). frame = t / ticks per frame.
std::wstring FileOutPath(std::wstring_view fileName, bool rangeRender, long long frame);

ClassDesc2& FileOutClassDesc();
// Registers the file-output class; the directory must not have it yet.
void RegisterFileOutClass(ClassDirectory& directory = ClassDirectory::Instance());
