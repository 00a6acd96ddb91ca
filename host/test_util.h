// Small plug-in-like classes shared by the host tests.
#pragma once

#include <gtest/gtest.h>

#include "class_desc.h"
#include "hold.h"
#include "mtl.h"
#include "param_block.h"
#include "texmap.h"

namespace KvrnHost {

// Counts the live instances so tests can see exactly when one is deleted.
class CountedTarget : public ReferenceTarget {
  public:
    CountedTarget() { ++live; }
    ~CountedTarget() override { --live; }
    ReferenceTarget* Clone(RemapDir& remap) override {
        auto* clone = new CountedTarget;
        BaseClone(this, clone, remap);
        return clone;
    }
    static inline int live = 0;
};

// A target with three references, cloned through the remap.
class ThreeRefs : public ReferenceTarget {
  public:
    int NumRefs() override { return 3; }
    ReferenceTarget* Clone(RemapDir& remap) override {
        auto* clone = new ThreeRefs;
        for (int i = 0; i < NumRefs(); ++i)
            clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
        BaseClone(this, clone, remap);
        return clone;
    }
    RefResult NotifyRefChanged(const Interval&, ReferenceTarget*, PartID,
                               RefMessage message) override {
        if (message == REFMSG_CHANGE) ++changes;
        return REF_SUCCEED;
    }
    int changes = 0;
};

class TestMtl : public Mtl {
  public:
    int NumRefs() override { return 4; }
    int NumSubMtls() override { return 4; }
    Mtl* GetSubMtl(int i) override { return dynamic_cast<Mtl*>(GetReference(i)); }
    void SetSubMtl(int i, Mtl* m) override { ReplaceReference(i, m); }
};

class TestTexmap : public Texmap {};

// Clears undo state around every test so records of one test never touch the next.
class HoldTest : public ::testing::Test {
  protected:
    void SetUp() override { theHold.Clear(); }
    void TearDown() override {
        theHold.Clear();
        SetAnimateMode(false);
    }
};

}  // namespace KvrnHost
