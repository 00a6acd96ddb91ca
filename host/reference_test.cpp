#include "reference.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace KvrnHost {
namespace {

using ReferenceTest = HoldTest;

TEST_F(ReferenceTest, TargetDiesWithItsLastReferenceButNotBefore) {
    int before = CountedTarget::live;
    RefHolder a;
    RefHolder b;
    auto* target = new CountedTarget;
    a.Set(target);
    b.Set(target);
    EXPECT_EQ(target->RefCount(), 2);
    EXPECT_EQ(target->Dependents().size(), 2u);
    a.Set(nullptr);
    EXPECT_EQ(CountedTarget::live, before + 1);
    EXPECT_EQ(target->Dependents().size(), 1u);
    b.Set(nullptr);
    EXPECT_EQ(CountedTarget::live, before);
}

TEST_F(ReferenceTest, UndoRecordKeepsReplacedTargetAlive) {
    int before = CountedTarget::live;
    RefPtr<ThreeRefs> owner(new ThreeRefs);
    auto* first = new CountedTarget;
    owner->ReplaceReference(0, first);
    theHold.Begin();
    owner->ReplaceReference(0, new CountedTarget);
    theHold.Accept("replace");
    // The first target is referenced only by the undo record now.
    EXPECT_EQ(CountedTarget::live, before + 2);
    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(owner->GetReference(0), first);
    EXPECT_EQ(first->Dependents().front(), owner.get());
    ASSERT_TRUE(theHold.Redo());
    EXPECT_NE(owner->GetReference(0), first);
    theHold.Clear();
    EXPECT_EQ(CountedTarget::live, before + 1);
    owner.reset();
    EXPECT_EQ(CountedTarget::live, before);
}

TEST_F(ReferenceTest, ReferenceIndexOutsideTheRangeIsRefused) {
    RefPtr<ThreeRefs> owner(new ThreeRefs);
    RefPtr<CountedTarget> target(new CountedTarget);
    EXPECT_EQ(owner->ReplaceReference(3, target.get()), REF_FAIL);
    EXPECT_EQ(owner->ReplaceReference(-1, target.get()), REF_FAIL);
    EXPECT_EQ(target->RefCount(), 1);
}

TEST_F(ReferenceTest, CloneKeepsSharingInsideOneOperationOnly) {
    RefPtr<ThreeRefs> original(new ThreeRefs);
    auto* shared = new CountedTarget;
    original->ReplaceReference(0, shared);
    original->ReplaceReference(2, shared);
    original->ReplaceReference(1, new CountedTarget);

    RefPtr<ReferenceTarget> first = CloneRefHierarchy(original.get());
    RefPtr<ReferenceTarget> second = CloneRefHierarchy(original.get());
    for (ReferenceTarget* clone : {first.get(), second.get()}) {
        ASSERT_NE(clone, original.get());
        EXPECT_NE(clone->GetReference(0), shared);
        EXPECT_EQ(clone->GetReference(0), clone->GetReference(2));
        EXPECT_NE(clone->GetReference(0), clone->GetReference(1));
    }
    EXPECT_NE(first->GetReference(0), second->GetReference(0));
}

TEST_F(ReferenceTest, CustomAttributesAreUndoableAndCloned) {
    class Attrib : public CustAttrib {
      public:
        ReferenceTarget* Clone(RemapDir& remap) override {
            auto* clone = new Attrib;
            BaseClone(this, clone, remap);
            return clone;
        }
    };
    RefPtr<ThreeRefs> owner(new ThreeRefs);
    auto* attrib = new Attrib;
    theHold.Begin();
    owner->AppendCustAttrib(attrib);
    theHold.Accept("attach");
    ASSERT_EQ(owner->NumCustAttribs(), 1);
    EXPECT_EQ(owner->GetCustAttrib(0), attrib);

    RefPtr<ReferenceTarget> clone = CloneRefHierarchy(owner.get());
    ASSERT_EQ(clone->NumCustAttribs(), 1);
    EXPECT_NE(clone->GetCustAttrib(0), attrib);

    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(owner->NumCustAttribs(), 0);
    ASSERT_TRUE(theHold.Redo());
    EXPECT_EQ(owner->GetCustAttrib(0), attrib);
}

TEST_F(ReferenceTest, ChangeMessagesClimbThroughDependentsAndStopWhenDisabled) {
    RefPtr<ThreeRefs> top(new ThreeRefs);
    auto* middle = new ThreeRefs;
    auto* leaf = new CountedTarget;
    top->ReplaceReference(0, middle);
    middle->ReplaceReference(0, leaf);
    leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
    EXPECT_EQ(middle->changes, 1);
    EXPECT_EQ(top->changes, 1);
    DisableRefMsgs();
    leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
    EnableRefMsgs();
    EXPECT_EQ(top->changes, 1);
}

TEST_F(ReferenceTest, ExplicitDeletionClearsEveryReferenceAndIsUndoable) {
    int before = CountedTarget::live;
    RefPtr<ThreeRefs> owner(new ThreeRefs);
    auto* target = new CountedTarget;
    owner->ReplaceReference(0, target);
    owner->ReplaceReference(1, target);
    theHold.Begin();
    target->DeleteMe();
    theHold.Accept("delete");
    EXPECT_EQ(owner->GetReference(0), nullptr);
    EXPECT_EQ(owner->GetReference(1), nullptr);
    ASSERT_TRUE(theHold.Undo());
    EXPECT_EQ(owner->GetReference(0), target);
    EXPECT_EQ(owner->GetReference(1), target);
    owner.reset();
    theHold.Clear();
    EXPECT_EQ(CountedTarget::live, before);
}

}  // namespace
}  // namespace KvrnHost
