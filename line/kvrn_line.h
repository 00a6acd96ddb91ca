// The line effect: global line options and the ordered table of line sets, the editing
// operations of its panel as undoable functions (add, delete and move line sets, the current
// line set, objects and materials of the current line set, the material clean-ups) and its
// scripting interface. Single-threaded: only the scene-editing thread calls these.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "class_desc.h"
#include "frame_render_info.h"
#include "function_publishing.h"
#include "hold.h"
#include "line_effect.h"
#include "param_block.h"
#include "reference.h"
#include "render.h"

class INode;
class KvrnLineset;
class Mtl;
class Scene;

inline constexpr Interface_ID KVRN_LINE_INTERFACE_ID(0x73DC283A, 0x4D4178B2);

// Scripting interface of a line effect: solveDuplicatedMtlsByName (0) and removeUnusedMtls (1),
// both without arguments, returning the count of materials moved or removed.
class KvrnLineInterface : public FPMixinInterface {
  public:
    enum FunctionId : FunctionID { kSolveDuplicatedMtlsByName = 0, kRemoveUnusedMtls = 1 };
    KvrnLineInterface();
    virtual int SolveDuplicatedMtlsByName() = 0;
    virtual int RemoveUnusedMtls() = 0;
};

struct KvrnLineRefsDef {
    static constexpr int kRefMain = 0;
    static constexpr int kNumRefs = 1;
};

class KvrnLine : public Effect,
                 public KvrnLineRefsDef,
                 public KvrnRenderGlobalUser,
                 public KvrnLineInterface {
  public:
    // Parameter IDs of block "main".
    enum MainParam : ParamID {
        kLinesets = 100,
        kRandomSeed = 0,
        kOffscreenDistance = 1,
        kRenderElementOnly = 2,
        kOverSampling = 3,
        kAntialiasing = 4,
        kAnimationEnable = 5,
        kAnimationInterval = 6,
        kAnimationMotionOnly = 7,
        kLineSizeType = 8,
        kMultithread = 999,
    };
    // Bits of an Update Materials run.
    static constexpr int kUpdateRepairByName = 1;
    static constexpr int kUpdateRemoveUnused = 2;
    static constexpr int kUpdateAllEffects = 4;

    explicit KvrnLine(bool loading = false);

    Class_ID ClassID() const override;
    SClass_ID SuperClassID() const override { return RENDER_EFFECT_CLASS_ID; }
    std::string ClassName() const override;
    int NumRefs() override { return kNumRefs; }
    int NumSubs() override { return kNumRefs; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    FPInterface* GetInterface(Interface_ID id) override;
    RefResult NotifyRefChanged(const Interval& changeInt, ReferenceTarget* hTarget, PartID part,
                               RefMessage message) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

    IParamBlock2* MainBlock() { return dynamic_cast<IParamBlock2*>(GetReference(kRefMain)); }

    // Draws the lines on the frame (and its line render elements); after the last active line
    // effect of gc's frame, runs the frame's file outputs. gc null: a bitmap-only call.
    void Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc, CheckAbortCallback* cb) override;
    // Active at t with at least one line set; the motion form also needs animationEnable and
    // animationMotionOnly on.
    bool NeedsFrameRenderInfo(TimeValue t) override;
    bool NeedsMotionInfo(TimeValue t) override;

    // The engine object with this effect's cached stage results, over info's scene: created on
    // first use, and anew when info has been rebuilt since. Render thread only.
    KvrnLib::LineEffect& GetLineEffect(const KvrnFrameRenderInfo& info);
    // Null until the first run after a release.
    KvrnLib::LineEffect* CurrentLineEffect() { return lineEffect_.get(); }
    // Drops the engine object and every cached result.
    void ReleaseLineEffect();

    // What the runs since the last reset did, for a renderer's statistics: time spent in each
    // stage (a cached stage costs next to nothing), the strokes connected, and the stage that
    // failed or was aborted, if any (its engine message went to the debug output).
    struct RunReport {
        int runs = 0;
        double detectMs = 0;
        double connectMs = 0;
        double drawMs = 0;
        int64_t strokes = 0;
        std::string failedStage;  // "edge detection", "edge connection", "drawing"; empty: none
    };
    RunReport& Report() { return report_; }
    void ResetReport() { report_ = RunReport(); }

    // The line set table; element i is null when out of range or not a line set.
    int NumLineSets();
    KvrnLineset* GetLineSet(int i);
    int LineSizeType(TimeValue t);

    // The current line set's index (-1: none) and the list selection (sorted indices).
    int CurrentIndex() const { return current_; }
    KvrnLineset* CurrentLineSet();
    const std::vector<int>& Selection() const { return selection_; }
    // Keeps i when element i is a line set, else -1. Not recorded for undo.
    void SetCurrentLineSet(int i);
    void SetSelection(std::vector<int> selection);

    // Undoable list edits ("Lines Set Change"); each records the old and new current index and
    // selection with the table. Add inserts a new set named "Set<count>" at index 0.
    KvrnLineset* AddLineSet();
    // Removes the selected entries; false when nothing was selected.
    bool DeleteLineSets(const std::vector<int>& selection);
    // Moves every selected entry one place up (or down) past an unselected neighbour; false
    // when nothing moved.
    bool MoveLineSets(bool up, const std::vector<int>& selection);

    // Objects and materials of the current line set ("Param Change"; nothing without a current
    // line set or with nothing to do). A node or material held by any line set of this effect
    // is not offered and not added again.
    std::vector<INode*> OfferedObjects(const Scene& scene);
    std::vector<Mtl*> OfferedMaterials(const std::vector<Mtl*>& candidates);
    bool HeldByAnyLineSet(const INode* node);
    bool HeldByAnyLineSet(const Mtl* mtl);
    bool AddObjects(const std::vector<INode*>& nodes);
    bool DeleteObjects(const std::vector<INode*>& nodes);
    bool AddMaterials(const std::vector<Mtl*>& mtls);
    bool DeleteMaterials(const std::vector<Mtl*>& mtls);
    // "Absolute" 0 / "Relative (640*480)" 1, set at the current time when it differs.
    void SetLineSizeType(int type);

    // The material clean-ups over scene's materials; the interface forms use the active scene.
    int SolveDuplicatedMtlsByName(const Scene& scene);
    int RemoveUnusedMtls(const Scene& scene);
    int SolveDuplicatedMtlsByName() override;
    int RemoveUnusedMtls() override;
    // Update Materials: on this effect, or with kUpdateAllEffects on every line effect of
    // effects, repair by name then remove unused; one undo entry "Param Change" when anything
    // changed. Returns the total, or 0 when this effect has no line sets.
    int UpdateMaterials(int bits, const std::vector<KvrnLine*>& effects, const Scene& scene);

  private:
    friend class LBLinesetRestore;
    void ReplaceLineSets(const std::vector<KvrnLineset*>& lineSets, int newCurrent,
                         std::vector<int> newSelection);
    std::vector<KvrnLineset*> LineSets();
    bool EditCurrent(const std::function<void(KvrnLineset&)>& edit);

    int current_ = -1;
    std::vector<int> selection_;
    std::unique_ptr<KvrnLib::LineEffect> lineEffect_;
    uint64_t lineEffectGeneration_ = 0;  // of the frame info the engine object was built over
    RunReport report_;
};

// Undo records of a line set list change: the effect, a current index and a selection. The
// ForUndo form puts them back on undo, the ForRedo form on redo; the table itself comes back
// through the block's own record.
class LBLinesetRestore : public RestoreObj {
  public:
    LBLinesetRestore(KvrnLine* line, int current, std::vector<int> selection)
        : line_(line), current_(current), selection_(std::move(selection)) {}
    std::string Description() const override { return "LBLinesetRestore"; }

  protected:
    void Apply();

  private:
    RefPtr<KvrnLine> line_;
    int current_;
    std::vector<int> selection_;
};

class LBLinesetRestoreForUndo : public LBLinesetRestore {
  public:
    using LBLinesetRestore::LBLinesetRestore;
    void Restore(bool) override { Apply(); }
    void Redo() override {}
};

class LBLinesetRestoreForRedo : public LBLinesetRestore {
  public:
    using LBLinesetRestore::LBLinesetRestore;
    void Restore(bool) override {}
    void Redo() override { Apply(); }
};

ClassDesc2* GetKvrnLineDesc();
// The line effect the target is, or null.
KvrnLine* AsLine(ReferenceTarget* target);
// The scene's materials: from every node with a material (depth first), the material and then
// its sub-materials recursively, each once.
std::vector<Mtl*> SceneMaterials(const Scene& scene);
