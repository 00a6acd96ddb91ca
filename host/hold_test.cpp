#include "hold.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace KvrnHost {
namespace {

class SetInt : public RestoreObj {
  public:
    SetInt(int& target, int before, int after) : target_(target), before_(before), after_(after) {}
    void Restore(bool) override { target_ = before_; }
    void Redo() override { target_ = after_; }

  private:
    int& target_;
    int before_;
    int after_;
};

void Change(int& value, int to) {
    if (theHold.Holding()) theHold.Put(std::make_unique<SetInt>(value, value, to));
    value = to;
}

using HoldStackTest = HoldTest;

TEST_F(HoldStackTest, CancelRestoresInReverseOrder) {
    int value = 1;
    theHold.Begin();
    Change(value, 2);
    Change(value, 3);
    theHold.Cancel();
    EXPECT_EQ(value, 1);
    EXPECT_EQ(theHold.UndoCount(), 0);
    EXPECT_FALSE(theHold.Holding());
}

TEST_F(HoldStackTest, NestedHoldsMakeOneEntryWithTheOuterLabel) {
    int value = 0;
    theHold.Begin();
    Change(value, 1);
    theHold.Begin();
    Change(value, 2);
    theHold.Accept("inner");
    EXPECT_EQ(theHold.UndoCount(), 0);
    theHold.Accept("outer");
    ASSERT_EQ(theHold.UndoCount(), 1);
    EXPECT_EQ(theHold.UndoLabel(), "outer");
    theHold.Undo();
    EXPECT_EQ(value, 0);
    EXPECT_EQ(theHold.RedoLabel(), "outer");
    theHold.Redo();
    EXPECT_EQ(value, 2);
}

TEST_F(HoldStackTest, NewEntryClearsRedoAndSuspendDropsRecords) {
    int value = 0;
    theHold.Begin();
    Change(value, 1);
    theHold.Accept("a");
    theHold.Undo();
    EXPECT_EQ(theHold.RedoCount(), 1);
    theHold.Begin();
    Change(value, 5);
    theHold.Suspend();
    Change(value, 6);
    theHold.Resume();
    theHold.Accept("b");
    EXPECT_EQ(theHold.RedoCount(), 0);
    theHold.Undo();
    // The suspended change was not recorded, so undo goes back to the value before "b".
    EXPECT_EQ(value, 0);
}

TEST_F(HoldStackTest, HoldWithoutRecordsLeavesNoEntry) {
    theHold.Begin();
    theHold.Accept("nothing");
    EXPECT_EQ(theHold.UndoCount(), 0);
    EXPECT_FALSE(theHold.Undo());
}

}  // namespace
}  // namespace KvrnHost
