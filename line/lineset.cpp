#include "lineset.h"

#include <algorithm>
#include <cstdio>

#include "brush.h"
#include "hold.h"
#include "kvx_file.h"
#include "line_classes.h"
#include "line_reduction.h"
#include "mtl.h"
#include "node.h"
#include "string_table.h"
#include "user_defined.h"

const std::array<LinesetEdgeKind, KvrnLinesetRefsDef::kDrawnKinds> kLinesetEdgeKinds = {{
    {KvrnLineset::kEdgeOutline, KvrnLineset::kSpecificOutlineEnable, "brushOutline", 2},
    {KvrnLineset::kEdgeObject, KvrnLineset::kSpecificObjectEnable, "brushObject", 3},
    {KvrnLineset::kEdgeIsect, KvrnLineset::kSpecificIsectEnable, "brushIntersection", 4},
    {KvrnLineset::kEdgeSmooth, KvrnLineset::kSpecificSmoothEnable, "brushSmoothingGroup", 5},
    {KvrnLineset::kEdgeMatID, KvrnLineset::kSpecificMatIDEnable, "brushMaterialID", 6},
    {KvrnLineset::kEdgeNormal, KvrnLineset::kSpecificNormalEnable, "brushNormalAngle", 8},
    {KvrnLineset::kEdgeWire, KvrnLineset::kSpecificWireEnable, "brushWire", 9},
    {KvrnLineset::kEdgeSel, KvrnLineset::kSpecificSelEnable, "brushSelectedEdge", 7},
}};

namespace {

constexpr int kParamChangeLabel = 19990;

// `load` and `save` are commands: the file is read or written when the parameter is set, and
// the parameter itself keeps no value.
class LineSetAccessor : public PBAccessor {
  public:
    bool Set(ParamValue& v, ReferenceMaker* owner, ParamID id, int, TimeValue) override {
        auto* set = dynamic_cast<KvrnLineset*>(owner);
        const std::string* path = std::get_if<std::string>(&v);
        if (!set || !path || path->empty()) return true;
        if (id == KvrnLineset::kLoad) {
            theHold.Begin();
            LoadLineSettings(set, *path);
            theHold.Accept(KvrnHost::GetStringOrEmpty(kParamChangeLabel));
        } else if (id == KvrnLineset::kSave) {
            SaveLineSettings(set, *path);
        }
        v = std::string();
        return true;
    }
};

class LinesetClassDesc : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override { return new KvrnLineset(loading); }
    std::string ClassName() const override { return KvrnHost::GetStringOrEmpty(11200); }
    SClass_ID SuperClassID() const override { return REF_TARGET_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_LINESET_CLASS_ID; }
};

// The suffixed names live as long as the descriptor (ParamDef keeps its own copy).
void AddEdgeParams(ParamBlockDesc2& block, const std::string& suffix) {
    using L = KvrnLineset;
    const int anim = P_ANIMATABLE;
    auto flag = [&](ParamID id, const char* name, bool def, int label) {
        block.AddParam(id, name + suffix, ParamType::Bool, anim, label).Default(def);
    };
    flag(L::kEdgeOutline, "edgeOutline", true, 1220);
    flag(L::kOpenEdgeOutline, "openEdgeOutline", true, 1239);
    flag(L::kGroupOutline, "groupOutline", false, 1241);
    flag(L::kEdgeObject, "edgeObject", true, 1221);
    flag(L::kOpenEdgeObject, "openEdgeObject", true, 1240);
    flag(L::kEdgeIsect, "edgeIsect", true, 1222);
    flag(L::kEdgeSelfIsect, "edgeSelfIsect", true, 1238);
    flag(L::kEdgeSmooth, "edgeSmooth", true, 1223);
    flag(L::kEdgeMatID, "edgeMatID", true, 1224);
    flag(L::kEdgeNormal, "edgeNormal", false, 1225);
    block.AddParam(L::kEdgeNormalMax, "edgeNormalMax" + suffix, ParamType::Float, anim, 1226)
        .Default(180.0)
        .Range(0.0f, 180.0f);
    block.AddParam(L::kEdgeNormalMin, "edgeNormalMin" + suffix, ParamType::Float, anim, 1227)
        .Default(45.0)
        .Range(0.0f, 180.0f);
    flag(L::kEdgeWire, "edgeWire", false, 1228);
    flag(L::kEdgeSel, "edgeSel", true, 1236);
    flag(L::kSpecificOutlineEnable, "specificOutlineEnable", false, 1229);
    flag(L::kSpecificObjectEnable, "specificObjectEnable", false, 1230);
    flag(L::kSpecificIsectEnable, "specificIsectEnable", false, 1231);
    flag(L::kSpecificSmoothEnable, "specificSmoothEnable", false, 1232);
    flag(L::kSpecificMatIDEnable, "specificMatIDEnable", false, 1233);
    flag(L::kSpecificNormalEnable, "specificNormalEnable", false, 1234);
    flag(L::kSpecificWireEnable, "specificWireEnable", false, 1235);
    flag(L::kSpecificSelEnable, "specificSelEnable", false, 1237);
}

void AddDampParams(ParamBlockDesc2& block, const std::string& suffix) {
    block
        .AddParam(KvrnLineset::kSizeReductionEnable, "sizeReductionEnable" + suffix,
                  ParamType::Bool, P_ANIMATABLE, 1242)
        .Default(false);
    block
        .AddParam(KvrnLineset::kAlphaReductionEnable, "alphaReductionEnable" + suffix,
                  ParamType::Bool, P_ANIMATABLE, 1247)
        .Default(false);
}

struct LinesetClass {
    using R = KvrnLinesetRefsDef;
    LinesetClassDesc desc;
    LineSetAccessor fileAccessor;
    ParamBlockDesc2 main{0, "main", &desc, P_AUTO_CONSTRUCT, R::kRefMain};
    ParamBlockDesc2 dampRoll{1, "dampRoll", &desc, P_AUTO_CONSTRUCT, R::kRefDampRoll};
    ParamBlockDesc2 edgeVisible{2, "edgeVisible", &desc, P_AUTO_CONSTRUCT, R::kRefEdgeVisible};
    ParamBlockDesc2 edgeHidden{3, "edgeHidden", &desc, P_AUTO_CONSTRUCT, R::kRefEdgeHidden};
    ParamBlockDesc2 dampVisible{4, "dampVisible", &desc, P_AUTO_CONSTRUCT, R::kRefDampVisible};
    ParamBlockDesc2 dampHidden{5, "dampHidden", &desc, P_AUTO_CONSTRUCT, R::kRefDampHidden};

    LinesetClass() {
        using L = KvrnLineset;
        main.AddParam(L::kName, "name", ParamType::String, 0, 1210).Default("New Lineset");
        main.AddTable(L::kObjects, "objects", ParamType::Node, 0, 1211);
        main.AddTable(L::kMtls, "mtls", ParamType::Mtl, 0, 1212);
        main.AddParam(L::kEnable, "enable", ParamType::Bool, P_ANIMATABLE, 1213).Default(true);
        main.AddParam(L::kWeldEdgesBetweenObjects, "weldEdgesBetweenObjects", ParamType::Bool,
                      P_ANIMATABLE, 1214)
            .Default(false);
        main.AddParam(L::kMaskHiddenLinesOfOtherLinesets, "maskHiddenLinesOfOtherLinesets",
                      ParamType::Bool, P_ANIMATABLE, 1215)
            .Default(false);
        main.AddParam(L::kLoad, "load", ParamType::Filename, 0, 1217).Accessor(&fileAccessor);
        main.AddParam(L::kSave, "save", ParamType::Filename, 0, 1218).Accessor(&fileAccessor);
        main.AddParam(L::kID, "ID", ParamType::Int, 0, 1216).Default(1).Range(1.0f, 8.0f);
        AddEdgeParams(edgeVisible, "Visible");
        AddEdgeParams(edgeHidden, "Hidden");
        AddDampParams(dampVisible, "Visible");
        AddDampParams(dampHidden, "Hidden");
    }
};

LinesetClass& TheClass() {
    static LinesetClass theClass;
    return theClass;
}

}  // namespace

ClassDesc2* GetKvrnLinesetDesc() { return &TheClass().desc; }

KvrnLineset* AsLineset(ReferenceTarget* target) {
    if (!target || target->ClassID() != KVRN_LINESET_CLASS_ID) return nullptr;
    return dynamic_cast<KvrnLineset*>(target);
}

KvrnLineset::KvrnLineset(bool loading) {
    if (!loading) BuildNew();
}

void KvrnLineset::BuildNew() {
    TheClass().desc.MakeAutoParamBlocks(this);
    for (int v = 0; v < 2; ++v) {
        for (int slot = 0; slot < kFilledBrushSlots; ++slot) {
            const int number =
                slot == 0 ? kGeneralBrushNumber : kLinesetEdgeKinds[slot - 1].defaultBrushNumber;
            ReplaceReference(BrushRef(v, slot), NewBrush(number));
        }
        ReplaceReference(ReductionRef(v, 0), NewLineReduction(1));
        ReplaceReference(ReductionRef(v, 1), NewLineReduction(2));
    }
    AppendCustAttrib(new KvrnUserDefined());
}

Class_ID KvrnLineset::ClassID() const { return KVRN_LINESET_CLASS_ID; }

std::string KvrnLineset::ClassName() const { return KvrnHost::GetStringOrEmpty(11200); }

std::string KvrnLineset::SubAnimName(int i) {
    if (i < kRefVisibleBase || i >= kNumRefs) return std::string();
    const int v = i < kRefHiddenBase ? 0 : 1;
    const int slot = i - Base(v);
    std::string name;
    if (slot == 0) {
        name = "brush";
    } else if (slot < kFilledBrushSlots) {
        name = kLinesetEdgeKinds[slot - 1].slotName;
    } else if (slot == kSizeReductionSlot) {
        name = "sizeReduction";
    } else if (slot == kAlphaReductionSlot) {
        name = "alphaReduction";
    } else {
        return std::string();
    }
    return v == 0 ? name : name + "_Hidden";
}

ReferenceTarget* KvrnLineset::Clone(RemapDir& remap) {
    // Built empty: every reference the source holds is replaced by its clone below, and the
    // source's custom attributes (the user-defined one among them) come with BaseClone.
    auto* clone = new KvrnLineset(true);
    remap.AddEntry(this, clone);
    DisableRefMsgs();
    for (int i = 0; i < kNumRefs; ++i) {
        if (ReferenceTarget* ref = GetReference(i)) clone->ReplaceReference(i, remap.CloneRef(ref));
    }
    EnableRefMsgs();
    BaseClone(this, clone, remap);
    bool hasUserDefined = false;
    for (int i = 0; i < clone->NumCustAttribs(); ++i)
        hasUserDefined |= dynamic_cast<KvrnUserDefined*>(clone->GetCustAttrib(i)) != nullptr;
    if (!hasUserDefined) clone->AppendCustAttrib(new KvrnUserDefined());
    return clone;
}

std::string KvrnLineset::Name(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return block ? block->GetStr(kName, t) : std::string();
}

bool KvrnLineset::Enabled(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return block && block->GetBool(kEnable, t);
}

bool KvrnLineset::WeldEdgesBetweenObjects(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return block && block->GetBool(kWeldEdgesBetweenObjects, t);
}

bool KvrnLineset::MaskHiddenLinesOfOtherLinesets(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return block && block->GetBool(kMaskHiddenLinesOfOtherLinesets, t);
}

int KvrnLineset::LineSetID(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return block ? block->GetInt(kID, t) : 1;
}

template <class T>
std::vector<T*> KvrnLineset::Table(ParamID id) {
    std::vector<T*> members;
    IParamBlock2* block = MainBlock();
    if (!block) return members;
    const int n = block->Count(id);
    for (int i = 0; i < n; ++i)
        members.push_back(dynamic_cast<T*>(block->GetReferenceTarget(id, 0, i)));
    return members;
}

std::vector<INode*> KvrnLineset::Objects() { return Table<INode>(kObjects); }
std::vector<Mtl*> KvrnLineset::Materials() { return Table<Mtl>(kMtls); }

bool KvrnLineset::HoldsObject(const INode* node) {
    const std::vector<INode*> nodes = Objects();
    return node && std::find(nodes.begin(), nodes.end(), node) != nodes.end();
}

bool KvrnLineset::HoldsMaterial(const Mtl* mtl) {
    const std::vector<Mtl*> mtls = Materials();
    return mtl && std::find(mtls.begin(), mtls.end(), mtl) != mtls.end();
}

void KvrnLineset::RewriteTable(ParamID id, const std::vector<ReferenceTarget*>& members) {
    IParamBlock2* block = MainBlock();
    if (!block) return;
    // The old members may be held by nothing but the table while it is cleared.
    std::vector<RefPtr<ReferenceTarget>> keep;
    for (int i = 0; i < block->Count(id); ++i)
        keep.emplace_back(block->GetReferenceTarget(id, 0, i));
    block->SetCount(id, 0);
    std::vector<ParamValue> values(members.begin(), members.end());
    if (!values.empty()) block->Insert(id, 0, values);
}

namespace {

template <class T>
std::vector<ReferenceTarget*> Added(const std::vector<T*>& current, const std::vector<T*>& add) {
    std::vector<ReferenceTarget*> out(current.begin(), current.end());
    out.insert(out.end(), add.begin(), add.end());
    return out;
}

template <class T>
std::vector<ReferenceTarget*> Removed(const std::vector<T*>& current,
                                      const std::vector<T*>& remove) {
    std::vector<ReferenceTarget*> out;
    for (T* member : current)
        if (std::find(remove.begin(), remove.end(), member) == remove.end()) out.push_back(member);
    return out;
}

}  // namespace

void KvrnLineset::AddObjects(const std::vector<INode*>& nodes) {
    RewriteTable(kObjects, Added(Objects(), nodes));
}
void KvrnLineset::RemoveObjects(const std::vector<INode*>& nodes) {
    RewriteTable(kObjects, Removed(Objects(), nodes));
}
void KvrnLineset::AddMaterials(const std::vector<Mtl*>& mtls) {
    RewriteTable(kMtls, Added(Materials(), mtls));
}
void KvrnLineset::RemoveMaterials(const std::vector<Mtl*>& mtls) {
    RewriteTable(kMtls, Removed(Materials(), mtls));
}

KvrnBrush* KvrnLineset::BrushInSlot(int v, int slot) {
    if (v < 0 || v > 1 || slot < 0 || slot >= kBrushSlots) return nullptr;
    return AsBrush(GetReference(BrushRef(v, slot)));
}

KvrnBrush* KvrnLineset::GeneralBrush(int v) { return BrushInSlot(v, 0); }

KvrnBrush* KvrnLineset::EffectiveBrush(int v, int kind, TimeValue t) {
    if (kind < 0 || kind >= kDrawnKinds || v < 0 || v > 1) return nullptr;
    IParamBlock2* edges = EdgeBlock(v);
    if (!edges) return nullptr;
    const LinesetEdgeKind& info = kLinesetEdgeKinds[kind];
    if (!edges->GetBool(info.enableId, t)) return nullptr;
    return BrushInSlot(v, edges->GetBool(info.specificId, t) ? kind + 1 : 0);
}

std::vector<KvrnBrush*> KvrnLineset::DistinctBrushes(int v, TimeValue t) {
    std::vector<KvrnBrush*> brushes;
    for (int k = 0; k < kDrawnKinds; ++k) {
        KvrnBrush* brush = EffectiveBrush(v, k, t);
        if (brush && std::find(brushes.begin(), brushes.end(), brush) == brushes.end())
            brushes.push_back(brush);
    }
    return brushes;
}

KvrnLineReduction* KvrnLineset::Reduction(int v, int kind) {
    if (v < 0 || v > 1 || kind < 0 || kind > 1) return nullptr;
    return AsLineReduction(GetReference(ReductionRef(v, kind)));
}

bool KvrnLineset::ReductionEnabled(int v, int kind, TimeValue t) {
    IParamBlock2* damp = DampBlock(v);
    if (!damp || kind < 0 || kind > 1) return false;
    return damp->GetBool(kind == 0 ? kSizeReductionEnable : kAlphaReductionEnable, t);
}
