#include "kvrn_line.h"

#include <algorithm>
#include <cstdio>

#include "line_classes.h"
#include "line_render_driver.h"
#include "lineset.h"
#include "mtl.h"
#include "node.h"
#include "string_table.h"
#include "user_defined.h"

namespace {

constexpr int kParamChangeLabel = 19990;
constexpr int kListChangeLabel = 19991;
constexpr int kSetNameString = 11290;

class LineClassDesc : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override { return new KvrnLine(loading); }
    std::string ClassName() const override { return KvrnHost::GetStringOrEmpty(11100); }
    SClass_ID SuperClassID() const override { return RENDER_EFFECT_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_LINE_CLASS_ID; }
};

struct LineClass {
    LineClassDesc desc;
    ParamBlockDesc2 main{0, "main", &desc, P_AUTO_CONSTRUCT, KvrnLineRefsDef::kRefMain};

    LineClass() {
        using L = KvrnLine;
        main.AddTable(L::kLinesets, "linesets", ParamType::RefTarg, P_SUBANIM, 1110);
        main.AddParam(L::kRandomSeed, "randomSeed", ParamType::Int, P_ANIMATABLE, 1111)
            .Default(0)
            .Range(0.0f, 65535.0f);
        main.AddParam(L::kOffscreenDistance, "OffscreenDistance", ParamType::Float, P_ANIMATABLE,
                      1112)
            .Default(150.0)
            .Range(0.0f, 1000.0f);
        main.AddParam(L::kRenderElementOnly, "RenderElementOnly", ParamType::Bool, 0, 1113)
            .Default(false);
        main.AddParam(L::kOverSampling, "overSampling", ParamType::Int, 0, 1114)
            .Default(2)
            .Range(1.0f, 4.0f);
        main.AddParam(L::kAntialiasing, "antialiasing", ParamType::Float, 0, 1115)
            .Default(1.0)
            .Range(0.0f, 2.0f);
        main.AddParam(L::kAnimationEnable, "animationEnable", ParamType::Bool, 0, 1116)
            .Default(false);
        main.AddParam(L::kAnimationInterval, "animationInterval", ParamType::Int, 0, 1117)
            .Default(1)
            .Range(1.0f, 999.0f);
        main.AddParam(L::kAnimationMotionOnly, "animationMotionOnly", ParamType::Bool, 0, 1118)
            .Default(false);
        main.AddParam(L::kLineSizeType, "lineSizeType", ParamType::Int, 0, 1119)
            .Default(1)
            .Range(0.0f, 1.0f);
        main.AddParam(L::kMultithread, "multithread", ParamType::Bool, 0, 1150).Default(true);
    }
};

LineClass& TheClass() {
    static LineClass theClass;
    return theClass;
}

void AddUnique(std::vector<Mtl*>& list, Mtl* mtl) {
    if (mtl && std::find(list.begin(), list.end(), mtl) == list.end()) list.push_back(mtl);
}

void AddWithSubMaterials(std::vector<Mtl*>& list, Mtl* mtl) {
    if (!mtl || std::find(list.begin(), list.end(), mtl) != list.end()) return;
    list.push_back(mtl);
    for (int i = 0; i < mtl->NumSubMtls(); ++i) AddWithSubMaterials(list, mtl->GetSubMtl(i));
}

bool Contains(const std::vector<Mtl*>& list, const Mtl* mtl) {
    return std::find(list.begin(), list.end(), mtl) != list.end();
}

std::vector<int> SelectionOf(const std::vector<bool>& bits) {
    std::vector<int> selection;
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) selection.push_back(int(i));
    return selection;
}

std::vector<bool> BitsOf(const std::vector<int>& selection, size_t n) {
    std::vector<bool> bits(n, false);
    for (int i : selection)
        if (i >= 0 && size_t(i) < n) bits[size_t(i)] = true;
    return bits;
}

}  // namespace

ClassDesc2* GetKvrnLineDesc() { return &TheClass().desc; }

KvrnLine* AsLine(ReferenceTarget* target) {
    if (!target || target->ClassID() != KVRN_LINE_CLASS_ID) return nullptr;
    return dynamic_cast<KvrnLine*>(target);
}

std::vector<Mtl*> SceneMaterials(const Scene& scene) {
    std::vector<Mtl*> materials;
    scene.Walk([&](INode* node) { AddWithSubMaterials(materials, node->GetMtl()); });
    return materials;
}

void RegisterLineSetClasses(ClassDirectory& directory) {
    directory.Register(GetKvrnLineDesc());
    directory.Register(GetKvrnLinesetDesc());
    directory.Register(GetKvrnUserDefinedDesc());
}

// ---- KvrnLineInterface

KvrnLineInterface::KvrnLineInterface() : FPMixinInterface(KVRN_LINE_INTERFACE_ID, "KvrnLine") {
    AppendFunction(
        {kSolveDuplicatedMtlsByName,
         "solveDuplicatedMtlsByName",
         FPType::Int,
         {},
         [this](const std::vector<FPValue>&) -> FPValue { return SolveDuplicatedMtlsByName(); }});
    AppendFunction({kRemoveUnusedMtls,
                    "removeUnusedMtls",
                    FPType::Int,
                    {},
                    [this](const std::vector<FPValue>&) -> FPValue { return RemoveUnusedMtls(); }});
}

// ---- KvrnLine

KvrnLine::KvrnLine(bool loading) {
    if (!loading) TheClass().desc.MakeAutoParamBlocks(this);
}

Class_ID KvrnLine::ClassID() const { return KVRN_LINE_CLASS_ID; }

std::string KvrnLine::ClassName() const { return KvrnHost::GetStringOrEmpty(11100); }

FPInterface* KvrnLine::GetInterface(Interface_ID id) {
    return id == KVRN_LINE_INTERFACE_ID ? static_cast<KvrnLineInterface*>(this) : nullptr;
}

RefResult KvrnLine::NotifyRefChanged(const Interval&, ReferenceTarget* hTarget, PartID,
                                     RefMessage message) {
    // A table change (or a line set deleted out of it) may leave the current index past the end.
    if (hTarget == MainBlock() && (message == REFMSG_CHANGE || message == REFMSG_TAB_CHANGED))
        current_ = std::min(current_, NumLineSets() - 1);
    return REF_SUCCEED;
}

ReferenceTarget* KvrnLine::Clone(RemapDir& remap) {
    auto* clone = new KvrnLine(true);
    remap.AddEntry(this, clone);
    clone->ReplaceReference(kRefMain, remap.CloneRef(GetReference(kRefMain)));
    BaseClone(this, clone, remap);
    return clone;
}

int KvrnLine::NumLineSets() {
    IParamBlock2* block = MainBlock();
    return block ? block->Count(kLinesets) : 0;
}

KvrnLineset* KvrnLine::GetLineSet(int i) {
    IParamBlock2* block = MainBlock();
    if (!block || i < 0 || i >= block->Count(kLinesets)) return nullptr;
    return AsLineset(block->GetReferenceTarget(kLinesets, 0, i));
}

std::vector<KvrnLineset*> KvrnLine::LineSets() {
    std::vector<KvrnLineset*> sets;
    for (int i = 0; i < NumLineSets(); ++i) sets.push_back(GetLineSet(i));
    return sets;
}

int KvrnLine::LineSizeType(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return block ? block->GetInt(kLineSizeType, t) : 1;
}

void KvrnLine::Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc, CheckAbortCallback* cb) {
    ApplyLineEffect(*this, t, bm, gc, cb);
}

bool KvrnLine::NeedsFrameRenderInfo(TimeValue t) {
    if (!GetActive(t)) return false;
    for (int i = 0; i < NumLineSets(); ++i)
        if (GetLineSet(i)) return true;
    return false;
}

bool KvrnLine::NeedsMotionInfo(TimeValue t) {
    IParamBlock2* block = MainBlock();
    return NeedsFrameRenderInfo(t) && block && block->GetBool(kAnimationEnable, t) &&
           block->GetBool(kAnimationMotionOnly, t);
}

KvrnLib::LineEffect& KvrnLine::GetLineEffect(const KvrnFrameRenderInfo& info) {
    if (lineEffect_ && lineEffectGeneration_ != info.Generation()) lineEffect_.reset();
    if (!lineEffect_) {
        lineEffect_ = std::make_unique<KvrnLib::LineEffect>(info.ScenePtr(), nullptr);
        lineEffectGeneration_ = info.Generation();
    }
    return *lineEffect_;
}

void KvrnLine::ReleaseLineEffect() { lineEffect_.reset(); }

KvrnLineset* KvrnLine::CurrentLineSet() { return GetLineSet(current_); }

void KvrnLine::SetCurrentLineSet(int i) { current_ = GetLineSet(i) ? i : -1; }

void KvrnLine::SetSelection(std::vector<int> selection) {
    std::sort(selection.begin(), selection.end());
    selection.erase(std::unique(selection.begin(), selection.end()), selection.end());
    selection_ = std::move(selection);
}

void LBLinesetRestore::Apply() {
    line_->SetCurrentLineSet(current_);
    line_->SetSelection(selection_);
}

void KvrnLine::ReplaceLineSets(const std::vector<KvrnLineset*>& lineSets, int newCurrent,
                               std::vector<int> newSelection) {
    IParamBlock2* block = MainBlock();
    if (!block) return;
    // Entries leaving the table must outlive the edit until the block's record holds them.
    std::vector<RefPtr<ReferenceTarget>> keep;
    for (KvrnLineset* set : LineSets()) keep.emplace_back(set);
    DisableRefMsgs();
    theHold.Begin();
    theHold.Put(std::make_unique<LBLinesetRestoreForUndo>(this, current_, selection_));
    std::vector<ParamValue> values;
    for (KvrnLineset* set : lineSets) values.emplace_back(static_cast<ReferenceTarget*>(set));
    block->SetCount(kLinesets, 0);
    if (!values.empty()) block->Insert(kLinesets, 0, values);
    theHold.Put(std::make_unique<LBLinesetRestoreForRedo>(this, newCurrent, newSelection));
    theHold.Accept(KvrnHost::GetStringOrEmpty(kListChangeLabel));
    SetCurrentLineSet(newCurrent);
    SetSelection(std::move(newSelection));
    EnableRefMsgs();
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

KvrnLineset* KvrnLine::AddLineSet() {
    RefPtr<ReferenceTarget> set = GetKvrnLinesetDesc()->Create(false);
    auto* lineSet = AsLineset(set.get());
    std::vector<KvrnLineset*> sets = LineSets();
    char name[300];
    std::snprintf(name, sizeof(name), "%s%d", KvrnHost::GetStringOrEmpty(kSetNameString),
                  int(sets.size()) + 1);
    lineSet->MainBlock()->SetValue(KvrnLineset::kName, 0, name);
    sets.insert(sets.begin(), lineSet);
    ReplaceLineSets(sets, 0, {0});
    return lineSet;
}

bool KvrnLine::DeleteLineSets(const std::vector<int>& selection) {
    const std::vector<KvrnLineset*> sets = LineSets();
    const std::vector<bool> selected = BitsOf(selection, sets.size());
    std::vector<KvrnLineset*> kept;
    for (size_t i = 0; i < sets.size(); ++i)
        if (!selected[i]) kept.push_back(sets[i]);
    if (kept.size() == sets.size()) return false;
    const int current = std::min(current_, int(kept.size()) - 1);
    ReplaceLineSets(kept, current, current < 0 ? std::vector<int>{} : std::vector<int>{current});
    return true;
}

bool KvrnLine::MoveLineSets(bool up, const std::vector<int>& selection) {
    std::vector<KvrnLineset*> sets = LineSets();
    const int n = int(sets.size());
    std::vector<bool> bits = BitsOf(selection, sets.size());
    int current = current_;
    bool moved = false;
    auto visit = [&](int i, int j) {
        if (!bits[size_t(i)] || bits[size_t(j)]) return;
        std::swap(sets[size_t(i)], sets[size_t(j)]);
        bits[size_t(j)] = true;
        bits[size_t(i)] = false;
        if (current == i) {
            current = j;
        } else if (current == j) {
            current = i;
        }
        moved = true;
    };
    if (up) {
        for (int i = 1; i < n; ++i) visit(i, i - 1);
    } else {
        for (int i = n - 2; i >= 0; --i) visit(i, i + 1);
    }
    if (moved) ReplaceLineSets(sets, current, SelectionOf(bits));
    return moved;
}

bool KvrnLine::HeldByAnyLineSet(const INode* node) {
    for (KvrnLineset* set : LineSets())
        if (set && set->HoldsObject(node)) return true;
    return false;
}

bool KvrnLine::HeldByAnyLineSet(const Mtl* mtl) {
    for (KvrnLineset* set : LineSets())
        if (set && set->HoldsMaterial(mtl)) return true;
    return false;
}

std::vector<INode*> KvrnLine::OfferedObjects(const Scene& scene) {
    std::vector<INode*> offered;
    scene.Walk([&](INode* node) {
        if (!HeldByAnyLineSet(node)) offered.push_back(node);
    });
    return offered;
}

std::vector<Mtl*> KvrnLine::OfferedMaterials(const std::vector<Mtl*>& candidates) {
    std::vector<Mtl*> offered;
    for (Mtl* mtl : candidates)
        if (mtl && !HeldByAnyLineSet(mtl)) AddUnique(offered, mtl);
    return offered;
}

bool KvrnLine::EditCurrent(const std::function<void(KvrnLineset&)>& edit) {
    KvrnLineset* set = CurrentLineSet();
    if (!set) return false;
    theHold.Begin();
    edit(*set);
    theHold.Accept(KvrnHost::GetStringOrEmpty(kParamChangeLabel));
    return true;
}

bool KvrnLine::AddObjects(const std::vector<INode*>& nodes) {
    std::vector<INode*> picked;
    for (INode* node : nodes)
        if (node && !HeldByAnyLineSet(node) &&
            std::find(picked.begin(), picked.end(), node) == picked.end())
            picked.push_back(node);
    if (picked.empty()) return false;
    return EditCurrent([&](KvrnLineset& set) { set.AddObjects(picked); });
}

bool KvrnLine::DeleteObjects(const std::vector<INode*>& nodes) {
    KvrnLineset* current = CurrentLineSet();
    std::vector<INode*> picked;
    for (INode* node : nodes)
        if (current && current->HoldsObject(node)) picked.push_back(node);
    if (picked.empty()) return false;
    return EditCurrent([&](KvrnLineset& set) { set.RemoveObjects(picked); });
}

bool KvrnLine::AddMaterials(const std::vector<Mtl*>& mtls) {
    const std::vector<Mtl*> picked = OfferedMaterials(mtls);
    if (picked.empty()) return false;
    return EditCurrent([&](KvrnLineset& set) { set.AddMaterials(picked); });
}

bool KvrnLine::DeleteMaterials(const std::vector<Mtl*>& mtls) {
    KvrnLineset* current = CurrentLineSet();
    std::vector<Mtl*> picked;
    for (Mtl* mtl : mtls)
        if (current && current->HoldsMaterial(mtl)) AddUnique(picked, mtl);
    if (picked.empty()) return false;
    return EditCurrent([&](KvrnLineset& set) { set.RemoveMaterials(picked); });
}

void KvrnLine::SetLineSizeType(int type) {
    IParamBlock2* block = MainBlock();
    if (!block || block->GetInt(kLineSizeType, GetCurrentTime()) == type) return;
    theHold.Begin();
    block->SetValue(kLineSizeType, GetCurrentTime(), type);
    theHold.Accept(KvrnHost::GetStringOrEmpty(kParamChangeLabel));
}

int KvrnLine::RemoveUnusedMtls(const Scene& scene) {
    const std::vector<Mtl*> inScene = SceneMaterials(scene);
    int total = 0;
    for (KvrnLineset* set : LineSets()) {
        if (!set) continue;
        std::vector<Mtl*> unused;
        for (Mtl* mtl : set->Materials())
            if (mtl && !Contains(inScene, mtl)) AddUnique(unused, mtl);
        if (!unused.empty()) set->RemoveMaterials(unused);
        total += int(unused.size());
    }
    return total;
}

int KvrnLine::SolveDuplicatedMtlsByName(const Scene& scene) {
    const std::vector<Mtl*> inScene = SceneMaterials(scene);
    const std::vector<KvrnLineset*> sets = LineSets();
    int total = 0;
    for (KvrnLineset* set : sets) {
        if (!set) continue;
        std::vector<Mtl*> remove;
        std::vector<Mtl*> add;
        // Stale materials may die when taken out everywhere; the scene's stay alive anyway.
        std::vector<RefPtr<ReferenceTarget>> keep;
        for (Mtl* stale : set->Materials()) {
            if (!stale || Contains(inScene, stale)) continue;
            for (Mtl* candidate : inScene) {
                if (candidate->GetName() != stale->GetName()) continue;
                keep.emplace_back(stale);
                AddUnique(remove, stale);
                AddUnique(remove, candidate);
                AddUnique(add, candidate);
                break;
            }
        }
        if (!remove.empty())
            for (KvrnLineset* other : sets)
                if (other) other->RemoveMaterials(remove);
        if (!add.empty()) set->AddMaterials(add);
        total += int(add.size());
    }
    return total;
}

int KvrnLine::SolveDuplicatedMtlsByName() { return SolveDuplicatedMtlsByName(GetActiveScene()); }
int KvrnLine::RemoveUnusedMtls() { return RemoveUnusedMtls(GetActiveScene()); }

int KvrnLine::UpdateMaterials(int bits, const std::vector<KvrnLine*>& effects, const Scene& scene) {
    if (NumLineSets() == 0) return 0;
    theHold.Begin();
    int total = 0;
    for (KvrnLine* effect : effects) {
        if (!effect || (effect != this && (bits & kUpdateAllEffects) == 0)) continue;
        if (bits & kUpdateRepairByName) total += effect->SolveDuplicatedMtlsByName(scene);
        if (bits & kUpdateRemoveUnused) total += effect->RemoveUnusedMtls(scene);
    }
    if (total != 0) {
        theHold.Accept(KvrnHost::GetStringOrEmpty(kParamChangeLabel));
    } else {
        theHold.Cancel();
    }
    return total;
}
