// A line set: the objects and materials it draws, which edge kinds it draws for visible and
// hidden lines, and with which brushes and reduction objects. The line effect holds an ordered
// table of them; the render driver reads them into engine records (line_records.h); .kvx files
// save and load one (kvx_file.h).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "class_desc.h"
#include "param_block.h"
#include "reference.h"

class INode;
class KvrnBrush;
class KvrnLineReduction;
class Mtl;

// Reference layout: six blocks, then per visibility a base with the general brush, the eight
// specific brushes (and two slots never filled), the size and the alpha reduction.
struct KvrnLinesetRefsDef {
    static constexpr int kRefMain = 0;
    static constexpr int kRefDampRoll = 1;
    static constexpr int kRefEdgeVisible = 2;
    static constexpr int kRefEdgeHidden = 3;
    static constexpr int kRefDampVisible = 4;
    static constexpr int kRefDampHidden = 5;
    static constexpr int kRefVisibleBase = 6;
    static constexpr int kRefHiddenBase = 19;
    static constexpr int kNumRefs = 32;
    static constexpr int kBrushSlots = 11;  // per visibility; slots 9 and 10 stay empty
    static constexpr int kFilledBrushSlots = 9;
    static constexpr int kSizeReductionSlot = 11;
    static constexpr int kAlphaReductionSlot = 12;
    static constexpr int kDrawnKinds = 8;  // edge kinds with switches and a brush slot

    // v: 0 visible, 1 hidden.
    static constexpr int Base(int v) { return v == 0 ? kRefVisibleBase : kRefHiddenBase; }
    static constexpr int BrushRef(int v, int slot) { return Base(v) + slot; }
    // kind: 0 size, 1 alpha.
    static constexpr int ReductionRef(int v, int kind) {
        return Base(v) + (kind == 0 ? kSizeReductionSlot : kAlphaReductionSlot);
    }
};

// One drawn edge kind: its switches in the edge blocks, its brush slot and defaults.
struct LinesetEdgeKind {
    ParamID enableId;
    ParamID specificId;
    const char* slotName;  // sub-animatable name of its brush slot (visible form)
    int defaultBrushNumber;
};
// Indexed by edge kind 0..7 (outline, object, intersection, smoothing group, material ID,
// normal angle, wire, selected edge); the brush slot of kind k is k + 1.
extern const std::array<LinesetEdgeKind, KvrnLinesetRefsDef::kDrawnKinds> kLinesetEdgeKinds;
// Default brush number of the general brush (slot 0).
inline constexpr int kGeneralBrushNumber = 1;

class KvrnLineset : public ReferenceTarget, public KvrnLinesetRefsDef {
  public:
    // Parameter IDs of block "main".
    enum MainParam : ParamID {
        kName = 0,
        kObjects = 1,
        kEnable = 2,
        kMtls = 3,
        kWeldEdgesBetweenObjects = 4,
        kMaskHiddenLinesOfOtherLinesets = 5,
        kLoad = 6,
        kSave = 7,
        kID = 8,
    };
    // Parameter IDs of the edge blocks (names get "Visible"/"Hidden" appended).
    enum EdgeParam : ParamID {
        kEdgeOutline = 0,
        kEdgeObject = 1,
        kEdgeIsect = 2,
        kEdgeSmooth = 3,
        kEdgeMatID = 4,
        kEdgeNormal = 5,
        kEdgeNormalMax = 6,
        kEdgeNormalMin = 7,
        kSpecificOutlineEnable = 9,
        kSpecificObjectEnable = 10,
        kSpecificIsectEnable = 11,
        kSpecificSmoothEnable = 12,
        kSpecificMatIDEnable = 13,
        kSpecificNormalEnable = 14,
        kEdgeWire = 15,
        kSpecificWireEnable = 16,
        kEdgeSel = 17,
        kSpecificSelEnable = 18,
        kEdgeSelfIsect = 19,
        kOpenEdgeOutline = 20,
        kOpenEdgeObject = 21,
        kGroupOutline = 22,
    };
    // Parameter IDs of the reduction-enable blocks.
    enum DampParam : ParamID {
        kSizeReductionEnable = 0,
        kAlphaReductionEnable = 5,
    };

    // A new line set has its defaults, nine brushes per visibility, four reduction objects and
    // the user-defined attribute. loading: everything comes from a file or a clone instead.
    explicit KvrnLineset(bool loading = false);

    Class_ID ClassID() const override;
    std::string ClassName() const override;

    int NumRefs() override { return kNumRefs; }
    int NumSubs() override { return kNumRefs; }
    Animatable* SubAnim(int i) override { return GetReference(i); }
    std::string SubAnimName(int i) override;

    // Every non-null reference is cloned through remap, so brushes shared between slots stay
    // shared in the clone.
    ReferenceTarget* Clone(RemapDir& remap) override;

    IParamBlock2* MainBlock() { return BlockAt(kRefMain); }
    // v: 0 visible, 1 hidden.
    IParamBlock2* EdgeBlock(int v) { return BlockAt(v == 0 ? kRefEdgeVisible : kRefEdgeHidden); }
    IParamBlock2* DampBlock(int v) { return BlockAt(v == 0 ? kRefDampVisible : kRefDampHidden); }

    std::string Name(TimeValue t = 0);
    bool Enabled(TimeValue t);
    bool WeldEdgesBetweenObjects(TimeValue t);
    bool MaskHiddenLinesOfOtherLinesets(TimeValue t);
    int LineSetID(TimeValue t);

    // Table members in order; null entries are kept (callers skip them).
    std::vector<INode*> Objects();
    std::vector<Mtl*> Materials();
    bool HoldsObject(const INode* node);
    bool HoldsMaterial(const Mtl* mtl);
    // Rewrite the table in one step: addition appends the list; removal keeps the members not
    // in it. Callers keep a member from being added twice.
    void AddObjects(const std::vector<INode*>& nodes);
    void RemoveObjects(const std::vector<INode*>& nodes);
    void AddMaterials(const std::vector<Mtl*>& mtls);
    void RemoveMaterials(const std::vector<Mtl*>& mtls);

    // The brush drawing edge kind k (0..7) of visibility v at t, or null: none when the kind is
    // off; the general brush unless the kind's specific switch is on; a specific slot that
    // holds no brush gives none (no fall-back to the general brush).
    KvrnBrush* EffectiveBrush(int v, int kind, TimeValue t);
    // The effective brushes of kinds 0..7, each once; order not significant.
    std::vector<KvrnBrush*> DistinctBrushes(int v, TimeValue t);
    KvrnBrush* GeneralBrush(int v);
    KvrnBrush* BrushInSlot(int v, int slot);
    // kind: 0 size, 1 alpha. Null unless the slot holds a reduction object.
    KvrnLineReduction* Reduction(int v, int kind);
    // Whether the visibility's size (kind 0) or alpha (1) reduction is switched on at t.
    bool ReductionEnabled(int v, int kind, TimeValue t);

  private:
    IParamBlock2* BlockAt(int ref) { return dynamic_cast<IParamBlock2*>(GetReference(ref)); }
    void BuildNew();
    template <class T>
    std::vector<T*> Table(ParamID id);
    void RewriteTable(ParamID id, const std::vector<ReferenceTarget*>& members);
};

// The class descriptor (registered by RegisterLineSetClasses).
ClassDesc2* GetKvrnLinesetDesc();

// The line set the target is, or null.
KvrnLineset* AsLineset(ReferenceTarget* target);
