// The line effect's list edits with undo, the ownership rule, the material clean-ups, and the
// line set's brush layout, effective brushes and cloning.
#include "kvrn_line.h"

#include <gtest/gtest.h>

#include "brush.h"
#include "hold.h"
#include "line_classes.h"
#include "line_reduction.h"
#include "lineset.h"
#include "mtl.h"
#include "node.h"
#include "user_defined.h"

namespace {

class MultiMtl : public Mtl {
  public:
    int NumRefs() override { return 2; }
    int NumSubMtls() override { return 2; }
    Mtl* GetSubMtl(int i) override { return dynamic_cast<Mtl*>(GetReference(i)); }
    void SetSubMtl(int i, Mtl* m) override { ReplaceReference(i, m); }
};

Mtl* NamedMtl(const std::string& name) {
    auto* mtl = new Mtl;
    mtl->SetName(name);
    return mtl;
}

INode* AddNode(Scene& scene, const std::string& name, Mtl* mtl = nullptr) {
    auto* node = new INode;
    node->SetName(name);
    scene.GetRootNode()->AttachChild(node);
    if (mtl) node->SetMtl(mtl);
    return node;
}

class LineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterBrushClasses(ClassDirectory::Instance());
        RegisterLineSetClasses(ClassDirectory::Instance());
        theHold.Clear();
        holder_.Set(new KvrnLine());
    }
    void TearDown() override { theHold.Clear(); }

    KvrnLine& Line() { return *AsLine(holder_.Get()); }
    std::vector<std::string> SetNames() {
        std::vector<std::string> names;
        for (int i = 0; i < Line().NumLineSets(); ++i)
            names.push_back(Line().GetLineSet(i)->Name());
        return names;
    }
    void AddSets(int n) {
        for (int i = 0; i < n; ++i) Line().AddLineSet();
    }

    RefHolder holder_;
};

using Names = std::vector<std::string>;
using Indices = std::vector<int>;

TEST_F(LineTest, AddAndDeleteNameSetsAndUndoRestoresTableCurrentAndSelection) {
    Line().AddLineSet();
    EXPECT_EQ(SetNames(), (Names{"Set1"}));
    Line().SetSelection({});
    Line().AddLineSet();
    EXPECT_EQ(SetNames(), (Names{"Set2", "Set1"}));
    EXPECT_EQ(Line().CurrentIndex(), 0);
    EXPECT_EQ(Line().Selection(), (Indices{0}));
    EXPECT_EQ(theHold.UndoLabel(), "Lines Set Change");

    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(SetNames(), (Names{"Set1"}));
    EXPECT_EQ(Line().CurrentIndex(), 0);
    EXPECT_EQ(Line().Selection(), Indices{});
    ASSERT_TRUE(theHold.Redo());
    EXPECT_EQ(SetNames(), (Names{"Set2", "Set1"}));
    EXPECT_EQ(Line().Selection(), (Indices{0}));

    Line().SetCurrentLineSet(1);
    EXPECT_TRUE(Line().DeleteLineSets({0, 1}));
    EXPECT_EQ(Line().NumLineSets(), 0);
    EXPECT_EQ(Line().CurrentIndex(), -1);
    EXPECT_EQ(Line().Selection(), Indices{});
    EXPECT_FALSE(Line().DeleteLineSets({}));
    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(SetNames(), (Names{"Set2", "Set1"}));
    EXPECT_EQ(Line().CurrentIndex(), 1);
    EXPECT_EQ(Line().GetLineSet(2), nullptr);
    EXPECT_EQ(Line().GetLineSet(-1), nullptr);

    // Deleting the current one keeps the index within the shorter table.
    EXPECT_TRUE(Line().DeleteLineSets({0}));
    EXPECT_EQ(SetNames(), (Names{"Set1"}));
    EXPECT_EQ(Line().CurrentIndex(), 0);
    EXPECT_EQ(Line().Selection(), (Indices{0}));
}

TEST_F(LineTest, MoveSwapsSelectedEntriesPastUnselectedNeighbours) {
    AddSets(5);  // Set5 .. Set1
    Line().SetCurrentLineSet(3);
    EXPECT_TRUE(Line().MoveLineSets(true, {1, 3}));
    EXPECT_EQ(SetNames(), (Names{"Set4", "Set5", "Set2", "Set3", "Set1"}));
    EXPECT_EQ(Line().Selection(), (Indices{0, 2}));
    EXPECT_EQ(Line().CurrentIndex(), 2);

    // Blocked at the top: nothing moves and nothing is recorded.
    const int undoCount = theHold.UndoCount();
    EXPECT_FALSE(Line().MoveLineSets(true, {0, 1}));
    EXPECT_EQ(theHold.UndoCount(), undoCount);

    EXPECT_FALSE(Line().MoveLineSets(false, {3, 4}));  // 4 at the edge blocks 3
    EXPECT_TRUE(Line().MoveLineSets(false, {0}));
    EXPECT_EQ(SetNames(), (Names{"Set5", "Set4", "Set2", "Set3", "Set1"}));
    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(SetNames(), (Names{"Set4", "Set5", "Set2", "Set3", "Set1"}));
    EXPECT_EQ(Line().Selection(), (Indices{0, 2}));
}

TEST_F(LineTest, ANodeOrMaterialBelongsToOneLineSetOfTheEffect) {
    Scene scene;
    Mtl* red = NamedMtl("Red");
    INode* a = AddNode(scene, "a", red);
    INode* b = AddNode(scene, "b");
    EXPECT_FALSE(Line().AddObjects({a}));  // no current line set
    AddSets(2);
    Line().SetCurrentLineSet(1);
    EXPECT_TRUE(Line().AddObjects({a, a}));
    EXPECT_EQ(theHold.UndoLabel(), "Param Change");
    EXPECT_EQ(Line().GetLineSet(1)->Objects(), std::vector<INode*>{a});
    EXPECT_EQ(Line().OfferedObjects(scene), std::vector<INode*>{b});

    Line().SetCurrentLineSet(0);
    EXPECT_FALSE(Line().AddObjects({a}));
    EXPECT_TRUE(Line().AddObjects({a, b}));
    EXPECT_EQ(Line().GetLineSet(0)->Objects(), std::vector<INode*>{b});
    EXPECT_FALSE(Line().DeleteObjects({a}));  // not in the current set
    EXPECT_TRUE(Line().AddMaterials({red}));
    Line().SetCurrentLineSet(1);
    EXPECT_FALSE(Line().AddMaterials({red}));
    EXPECT_TRUE(Line().OfferedMaterials({red}).empty());

    ASSERT_TRUE(theHold.Undo());  // the material
    EXPECT_TRUE(Line().GetLineSet(0)->Materials().empty());
    ASSERT_TRUE(theHold.Undo());  // node b
    EXPECT_TRUE(Line().GetLineSet(0)->Objects().empty());
    Line().SetCurrentLineSet(1);
    EXPECT_TRUE(Line().DeleteObjects({a}));
    EXPECT_TRUE(Line().GetLineSet(1)->Objects().empty());
}

TEST_F(LineTest, RepairByNameMovesTheSceneMaterialIntoTheStaleOnesLineSet) {
    Scene scene;
    Mtl* sceneSkin = NamedMtl("Skin");
    Mtl* lowerSkin = NamedMtl("skin");
    auto* multi = new MultiMtl;
    multi->SetSubMtl(0, lowerSkin);
    AddNode(scene, "body", sceneSkin);
    AddNode(scene, "other", multi);
    RefPtr<Mtl> staleSkin = NamedMtl("Skin");
    RefPtr<Mtl> staleHair = NamedMtl("Hair");
    AddSets(2);  // index 0 = Set2 ("line set 2"), 1 = Set1
    KvrnLineset& first = *Line().GetLineSet(0);
    KvrnLineset& second = *Line().GetLineSet(1);
    first.AddMaterials({staleSkin.get(), staleHair.get()});
    second.AddMaterials({sceneSkin, lowerSkin});

    // A sub-material counts as a scene material, so only the stale ones are unused.
    EXPECT_EQ(SceneMaterials(scene), (std::vector<Mtl*>{sceneSkin, multi, lowerSkin}));

    FPInterface* fp = Line().GetInterface(KVRN_LINE_INTERFACE_ID);
    ASSERT_NE(fp, nullptr);
    FPValue result;
    EXPECT_EQ(fp->Invoke(7, {}, result), FPStatus::UnknownFunction);
    EXPECT_EQ(Line().SolveDuplicatedMtlsByName(scene), 1);
    EXPECT_EQ(first.Materials(), (std::vector<Mtl*>{staleHair.get(), sceneSkin}));
    EXPECT_EQ(second.Materials(), std::vector<Mtl*>{lowerSkin});
    EXPECT_EQ(Line().RemoveUnusedMtls(scene), 1);
    EXPECT_EQ(first.Materials(), std::vector<Mtl*>{sceneSkin});
    EXPECT_EQ(Line().RemoveUnusedMtls(scene), 0);

    // Update Materials records one entry when something changed, none otherwise.
    first.AddMaterials({staleHair.get()});
    theHold.Clear();
    const std::vector<KvrnLine*> effects{&Line()};
    EXPECT_EQ(Line().UpdateMaterials(KvrnLine::kUpdateRepairByName | KvrnLine::kUpdateRemoveUnused,
                                     effects, scene),
              1);
    EXPECT_EQ(theHold.UndoCount(), 1);
    EXPECT_EQ(Line().UpdateMaterials(3, effects, scene), 0);
    EXPECT_EQ(theHold.UndoCount(), 1);
    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(first.Materials(), (std::vector<Mtl*>{sceneSkin, staleHair.get()}));
}

TEST_F(LineTest, NewLineSetHasNumberedBrushesReductionsAndSuffixedNames) {
    RefHolder holder(new KvrnLineset());
    auto& set = *AsLineset(holder.Get());
    const int numbers[] = {1, 2, 3, 4, 5, 6, 8, 9, 7};
    for (int v = 0; v < 2; ++v) {
        for (int slot = 0; slot < 9; ++slot) {
            KvrnBrush* brush = set.BrushInSlot(v, slot);
            ASSERT_NE(brush, nullptr);
            EXPECT_EQ(brush->GetName(), "Brush Settings#" + std::to_string(numbers[slot]));
            EXPECT_EQ(brush->Detail()->GetName(), "Brush Details#" + std::to_string(numbers[slot]));
            EXPECT_NE(brush, set.BrushInSlot(1 - v, slot));
        }
        EXPECT_EQ(set.GetReference(KvrnLineset::BrushRef(v, 9)), nullptr);
        EXPECT_EQ(set.GetReference(KvrnLineset::BrushRef(v, 10)), nullptr);
        EXPECT_NE(set.Reduction(v, 0), nullptr);
        EXPECT_NE(set.Reduction(v, 1), nullptr);
    }
    EXPECT_EQ(set.SubAnimName(7), "brushOutline");
    EXPECT_EQ(set.SubAnimName(30), "sizeReduction_Hidden");
    EXPECT_EQ(set.SubAnimName(15), "");
    EXPECT_NE(set.EdgeBlock(1)->GetDesc()->FindParam("edgeNormalMaxHidden"), nullptr);
    EXPECT_NE(set.DampBlock(0)->GetDesc()->FindParam("sizeReductionEnableVisible"), nullptr);
    set.MainBlock()->SetValue(KvrnLineset::kID, 0, 9);
    EXPECT_EQ(set.LineSetID(0), 8);
    ASSERT_EQ(set.NumCustAttribs(), 1);
    EXPECT_NE(dynamic_cast<KvrnUserDefined*>(set.GetCustAttrib(0)), nullptr);
    EXPECT_EQ(set.ReplaceReference(32, nullptr), REF_FAIL);
    EXPECT_EQ(set.GetReference(32), nullptr);
}

TEST_F(LineTest, EffectiveBrushFollowsEnableAndSpecificSwitchesWithoutFallback) {
    RefHolder holder(new KvrnLineset());
    auto& set = *AsLineset(holder.Get());
    IParamBlock2& edges = *set.EdgeBlock(0);
    KvrnBrush* general = set.GeneralBrush(0);
    EXPECT_EQ(set.EffectiveBrush(0, 0, 0), general);
    edges.SetValue(KvrnLineset::kSpecificOutlineEnable, 0, true);
    EXPECT_EQ(set.EffectiveBrush(0, 0, 0), set.BrushInSlot(0, 1));
    edges.SetValue(KvrnLineset::kEdgeOutline, 0, false);
    EXPECT_EQ(set.EffectiveBrush(0, 0, 0), nullptr);

    edges.SetValue(KvrnLineset::kEdgeWire, 0, true);
    edges.SetValue(KvrnLineset::kSpecificWireEnable, 0, true);
    set.ReplaceReference(KvrnLineset::BrushRef(0, 7), nullptr);
    EXPECT_EQ(set.EffectiveBrush(0, 6, 0), nullptr);
    EXPECT_EQ(set.EffectiveBrush(0, 8, 0), nullptr);
    EXPECT_EQ(set.EffectiveBrush(2, 1, 0), nullptr);
    // Object, intersection, smoothing, material ID and selected edges share the general brush.
    EXPECT_EQ(set.DistinctBrushes(0, 0), std::vector<KvrnBrush*>{general});
    edges.SetValue(KvrnLineset::kSpecificSelEnable, 0, true);
    EXPECT_EQ(set.DistinctBrushes(0, 0).size(), 2u);
    // A non-brush in a slot is no brush.
    set.ReplaceReference(KvrnLineset::BrushRef(0, 0), set.Reduction(0, 0));
    EXPECT_EQ(set.GeneralBrush(0), nullptr);
}

TEST_F(LineTest, CloneKeepsBrushesSharedBetweenSlotsShared) {
    RefHolder holder(new KvrnLineset());
    auto& set = *AsLineset(holder.Get());
    set.ReplaceReference(KvrnLineset::BrushRef(0, 1), set.GeneralBrush(0));
    set.MainBlock()->SetValue(KvrnLineset::kName, 0, "Ink");
    RefPtr<ReferenceTarget> copy = CloneRefHierarchy(&set);
    KvrnLineset* clone = AsLineset(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->Name(), "Ink");
    EXPECT_NE(clone->GeneralBrush(0), set.GeneralBrush(0));
    EXPECT_EQ(clone->BrushInSlot(0, 1), clone->GeneralBrush(0));
    EXPECT_NE(clone->BrushInSlot(0, 2), clone->GeneralBrush(0));
    EXPECT_NE(clone->Reduction(1, 1), set.Reduction(1, 1));
    EXPECT_EQ(clone->NumCustAttribs(), 1);
}

}  // namespace
