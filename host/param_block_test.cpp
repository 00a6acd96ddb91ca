#include "param_block.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace KvrnHost {
namespace {

enum { kSeed = 0, kDistance = 1, kName = 2, kItems = 100, kLevels = 999, kMap = 5 };

class VetoNegative : public PBAccessor {
  public:
    bool Set(ParamValue& v, ReferenceMaker*, ParamID, int, TimeValue) override {
        ++sets;
        return std::get<int>(v) != 13;
    }
    int sets = 0;
};

class OwnerDesc : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Owner"; }
    SClass_ID SuperClassID() const override { return REF_TARGET_CLASS_ID; }
    Class_ID ClassID() const override { return Class_ID(0x1234, 0x5678); }
};

OwnerDesc ownerDesc;
VetoNegative veto;

// Built once, like a plug-in's static descriptor; IDs deliberately not contiguous.
ParamBlockDesc2& MainDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "main", &ownerDesc, P_AUTO_CONSTRUCT, 0);
        d->AddTable(kItems, "items", ParamType::RefTarg, P_SUBANIM);
        d->AddParam(kSeed, "seed", ParamType::Int, P_ANIMATABLE)
            .Default(7)
            .Range(0, 100)
            .Accessor(&veto);
        d->AddParam(kDistance, "distance", ParamType::World, P_ANIMATABLE)
            .Default(150.0)
            .Range(0.0f, 1000.0f)
            .Interp(Interpolation::Linear);
        d->AddParam(kName, "name", ParamType::String).Default("New");
        d->AddTable(kLevels, "levels", ParamType::Float)
            .Range(0.0f, 1.0f)
            .TableSize(2)
            .Default(0.5);
        d->AddParam(kMap, "map", ParamType::Texmap).OwnerRef(1);
        return d;
    }();
    return *desc;
}

class Owner : public ReferenceTarget {
  public:
    int NumRefs() override { return 2; }
    IParamBlock2* Block() { return dynamic_cast<IParamBlock2*>(GetReference(0)); }
};

ReferenceTarget* OwnerDesc::Create(bool) {
    MainDesc();
    auto* owner = new Owner;
    ownerDesc.MakeAutoParamBlocks(owner);
    return owner;
}

class ParamBlockTest : public HoldTest {
  protected:
    void SetUp() override {
        HoldTest::SetUp();
        owner_ = dynamic_cast<Owner*>(ownerDesc.Create(false));
        block_ = owner_->Block();
    }
    RefPtr<Owner> owner_;
    IParamBlock2* block_ = nullptr;
};

TEST_F(ParamBlockTest, AutoBlockStartsFromDefaultsAndIsFoundByIdAndName) {
    ASSERT_NE(block_, nullptr);
    EXPECT_EQ(owner_->GetParamBlockByID(0), block_);
    EXPECT_EQ(block_->GetInt(kSeed), 7);
    EXPECT_FLOAT_EQ(block_->GetFloat(kDistance), 150.0f);
    EXPECT_EQ(block_->GetStr(kName), "New");
    EXPECT_EQ(block_->Count(kLevels), 2);
    EXPECT_FLOAT_EQ(block_->GetFloat(kLevels, 0, 1), 0.5f);
    ParamValue v;
    Interval valid = FOREVER;
    ASSERT_TRUE(block_->GetValueByName("distance", 0, v, valid));
    EXPECT_FLOAT_EQ(std::get<float>(v), 150.0f);
    EXPECT_FALSE(block_->GetValueByName("missing", 0, v, valid));
    EXPECT_THROW(block_->GetInt(3), std::invalid_argument);
    EXPECT_THROW(block_->GetFloat(kName), std::invalid_argument);
}

TEST_F(ParamBlockTest, ValuesAreClampedToTheirRange) {
    EXPECT_TRUE(block_->SetValue(kSeed, 0, 500));
    EXPECT_EQ(block_->GetInt(kSeed), 100);
    EXPECT_TRUE(block_->SetValue(kSeed, 0, -4));
    EXPECT_EQ(block_->GetInt(kSeed), 0);
    EXPECT_TRUE(block_->SetValue(kDistance, 0, 1000.5));
    EXPECT_FLOAT_EQ(block_->GetFloat(kDistance), 1000.0f);
    EXPECT_TRUE(block_->SetValue(kLevels, 0, -0.25, 1));
    EXPECT_FLOAT_EQ(block_->GetFloat(kLevels, 0, 1), 0.0f);
    EXPECT_TRUE(block_->Insert(kLevels, 0, {2.0f}));
    EXPECT_FLOAT_EQ(block_->GetFloat(kLevels, 0, 0), 1.0f);
    EXPECT_FALSE(block_->SetValue(kLevels, 0, 0.5, 3));
    EXPECT_FALSE(block_->SetValue(kName, 0, 1.0));
}

TEST_F(ParamBlockTest, AccessorCanVetoASet) {
    int sets = veto.sets;
    EXPECT_FALSE(block_->SetValue(kSeed, 0, 13));
    EXPECT_EQ(block_->GetInt(kSeed), 7);
    EXPECT_TRUE(block_->SetValue(kSeed, 0, 14));
    EXPECT_EQ(veto.sets, sets + 2);
}

TEST_F(ParamBlockTest, UserDefaultChangeAffectsOnlyBlocksBuiltLater) {
    ASSERT_TRUE(MainDesc().SetDefault(kSeed, 42));
    RefPtr<Owner> later(dynamic_cast<Owner*>(ownerDesc.Create(false)));
    EXPECT_EQ(later->Block()->GetInt(kSeed), 42);
    EXPECT_EQ(block_->GetInt(kSeed), 7);
    EXPECT_FALSE(MainDesc().SetDefault(kSeed, std::string("x")));
    MainDesc().SetDefault(kSeed, 7);
}

TEST_F(ParamBlockTest, UndoAndRedoRestoreValuesAndTablesExactly) {
    auto* a = new CountedTarget;
    auto* b = new CountedTarget;
    auto* c = new CountedTarget;
    block_->Append(kItems, a);
    block_->Append(kItems, b);
    block_->Append(kItems, c);

    auto items = [&] {
        std::vector<ReferenceTarget*> out;
        for (int i = 0; i < block_->Count(kItems); ++i)
            out.push_back(block_->GetReferenceTarget(kItems, 0, i));
        return out;
    };
    using Refs = std::vector<ReferenceTarget*>;

    theHold.Begin();
    block_->SetValue(kSeed, 0, 9);
    block_->SetValue(kName, 0, "Renamed");
    theHold.Accept("values");
    theHold.Begin();
    block_->Move(kItems, 0, 2);
    theHold.Accept("move");
    EXPECT_EQ(items(), (Refs{b, c, a}));
    theHold.Begin();
    block_->Delete(kItems, 1, 1);
    theHold.Accept("delete");
    EXPECT_EQ(items(), (Refs{b, a}));
    // c is no longer referenced; only the undo records keep it.
    EXPECT_TRUE(c->Dependents().empty());
    EXPECT_GT(c->RefCount(), 0);
    theHold.Begin();
    block_->Insert(kItems, 1, {c, nullptr});
    theHold.Accept("insert");
    EXPECT_EQ(items(), (Refs{b, c, nullptr, a}));

    theHold.Undo();
    EXPECT_EQ(items(), (Refs{b, a}));
    theHold.Undo();
    EXPECT_EQ(items(), (Refs{b, c, a}));
    theHold.Undo();
    EXPECT_EQ(items(), (Refs{a, b, c}));
    theHold.Undo();
    EXPECT_EQ(block_->GetInt(kSeed), 7);
    EXPECT_EQ(block_->GetStr(kName), "New");
    theHold.Redo();
    EXPECT_EQ(block_->GetInt(kSeed), 9);
    EXPECT_EQ(block_->GetStr(kName), "Renamed");
    theHold.Redo();
    theHold.Redo();
    theHold.Redo();
    EXPECT_EQ(items(), (Refs{b, c, nullptr, a}));
}

TEST_F(ParamBlockTest, TableEditsRejectBadIndices) {
    EXPECT_FALSE(block_->Delete(kLevels, 1, 2));
    EXPECT_FALSE(block_->Move(kLevels, 0, 2));
    EXPECT_FALSE(block_->Insert(kLevels, 3, {0.1f}));
    EXPECT_FALSE(block_->SetCount(kSeed, 3));
    EXPECT_TRUE(block_->SetCount(kLevels, 4));
    EXPECT_FLOAT_EQ(block_->GetFloat(kLevels, 0, 3), 0.5f);
    EXPECT_EQ(block_->GetReferenceTarget(kItems, 0, 5), nullptr);
}

TEST_F(ParamBlockTest, OwnerReferenceParameterReadsAndReplacesTheOwnersReference) {
    auto* map = new TestTexmap;
    theHold.Begin();
    EXPECT_TRUE(block_->SetValue(kMap, 0, ParamValue(static_cast<ReferenceTarget*>(map))));
    theHold.Accept("map");
    EXPECT_EQ(owner_->GetReference(1), map);
    EXPECT_EQ(block_->GetTexmap(kMap), map);
    // A refused value stays its creator's.
    RefPtr<ReferenceTarget> notAMap(new CountedTarget);
    EXPECT_FALSE(block_->SetValue(kMap, 0, ParamValue(notAMap.get())));
    EXPECT_EQ(notAMap->RefCount(), 1);
    theHold.Undo();
    EXPECT_EQ(owner_->GetReference(1), nullptr);
}

TEST_F(ParamBlockTest, AnimateModeKeysAParameterAndOffsetsKeysWhenOff) {
    SetAnimateMode(true);
    block_->SetValue(kDistance, 0, 100.0);
    block_->SetValue(kDistance, 100, 200.0);
    SetAnimateMode(false);
    EXPECT_TRUE(block_->IsKeyed(kDistance));
    EXPECT_FLOAT_EQ(block_->GetFloat(kDistance, 50), 150.0f);
    block_->SetValue(kDistance, 50, 160.0);
    EXPECT_FLOAT_EQ(block_->GetFloat(kDistance, 0), 110.0f);
    EXPECT_FLOAT_EQ(block_->GetFloat(kDistance, 100), 210.0f);
    EXPECT_EQ(block_->Validity(50), Interval(50, 50));
    // Non-animatable parameters ignore animate mode.
    SetAnimateMode(true);
    block_->SetValue(kName, 10, "x");
    EXPECT_FALSE(block_->IsKeyed(kName));
}

TEST_F(ParamBlockTest, BlockCloneSharesNothingButKeepsValues) {
    block_->SetValue(kSeed, 0, 33);
    auto* item = new CountedTarget;
    block_->Append(kItems, item);
    RefPtr<ReferenceTarget> clone = CloneRefHierarchy(block_);
    auto* copy = dynamic_cast<IParamBlock2*>(clone.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetInt(kSeed), 33);
    ASSERT_EQ(copy->Count(kItems), 1);
    EXPECT_NE(copy->GetReferenceTarget(kItems), item);
    block_->SetValue(kSeed, 0, 1);
    EXPECT_EQ(copy->GetInt(kSeed), 33);
}

}  // namespace
}  // namespace KvrnHost
