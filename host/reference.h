// The reference system: objects that hold numbered references to shared targets, the
// dependents lists that carry change messages back up, counted ownership and cloning.
//
// Ownership: every ReferenceTarget carries an intrusive count of the holds on it (references
// from makers, custom-attribute slots, parameter-block slots and RefPtr handles such as undo
// records). A target is deleted when its count drops from 1 to 0; a target that was never held
// belongs to whoever created it. Targets must be created with new. An undo record holds the
// objects it names, so hand a new object to a RefPtr or a reference before editing it under
// a hold, or it dies with the record. Cycles of references are not
// collected. Single-threaded: only the scene-editing thread touches these objects.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "class_id.h"
#include "time_value.h"

class FPInterface;
class ReferenceTarget;
class CustAttrib;
class IParamBlock2;
class RemapDir;

using RefResult = int;
constexpr RefResult REF_FAIL = 0;
constexpr RefResult REF_SUCCEED = 1;
constexpr RefResult REF_STOP = 2;  // a maker that handled a message and does not pass it on

using RefMessage = int;
constexpr RefMessage REFMSG_CHANGE = 1;          // propagates to the dependents' dependents
constexpr RefMessage REFMSG_TARGET_DELETED = 2;  // the target is going away explicitly
constexpr RefMessage REFMSG_REF_CHANGED = 3;     // a reference of hTarget was replaced
constexpr RefMessage REFMSG_NAME_CHANGED = 4;    // hTarget's name changed
constexpr RefMessage REFMSG_TAB_CHANGED = 5;     // a parameter table changed size or order

using PartID = uint32_t;
constexpr PartID PART_ALL = 0xFFFFFFFFu;

// While disabled (counted), NotifyDependents sends nothing.
void DisableRefMsgs();
void EnableRefMsgs();
bool RefMsgsEnabled();

// Anything the host can list in its track tree: class identity and sub-animatables.
class Animatable {
  public:
    Animatable() = default;
    Animatable(const Animatable&) = delete;
    Animatable& operator=(const Animatable&) = delete;
    virtual ~Animatable() = default;

    virtual Class_ID ClassID() const { return Class_ID(); }
    virtual SClass_ID SuperClassID() const { return REF_TARGET_CLASS_ID; }
    virtual std::string ClassName() const { return std::string(); }

    virtual int NumSubs() { return 0; }
    virtual Animatable* SubAnim(int /*i*/) { return nullptr; }
    virtual std::string SubAnimName(int /*i*/) { return std::string(); }

    // Function-publishing interface of this object with that ID, or null.
    virtual FPInterface* GetInterface(Interface_ID /*id*/) { return nullptr; }
};

// An object holding numbered references 0..NumRefs()-1. The base stores the references in
// its own slots unless a class overrides both GetReference and SetReference; either way the
// base keeps the holds counted, so a maker always releases its targets when destroyed.
class ReferenceMaker : public Animatable {
  public:
    ~ReferenceMaker() override;

    virtual int NumRefs() { return 0; }
    virtual ReferenceTarget* GetReference(int i);

    // Makes reference i point at target (may be null). Records an undo record when theHold is
    // holding, keeps the counts and dependents right and, when this maker is itself a target,
    // tells its dependents (REFMSG_REF_CHANGED). REF_FAIL for i outside 0..NumRefs()-1.
    RefResult ReplaceReference(int i, ReferenceTarget* target);
    RefResult DeleteReference(int i) { return ReplaceReference(i, nullptr); }
    void DeleteAllRefsFromMe();
    // Index of the first reference to target, or -1.
    int FindRef(const ReferenceTarget* target);

    // Called by a target this maker depends on. REF_SUCCEED lets a REFMSG_CHANGE continue to
    // this maker's own dependents; REF_STOP ends it here.
    virtual RefResult NotifyRefChanged(const Interval& /*changeInt*/, ReferenceTarget* /*hTarget*/,
                                       PartID /*part*/, RefMessage /*message*/) {
        return REF_SUCCEED;
    }

    // Parameter blocks among the numbered references, in reference order. Classes that keep
    // blocks elsewhere override these.
    virtual int NumParamBlocks();
    virtual IParamBlock2* GetParamBlock(int i);
    virtual IParamBlock2* GetParamBlockByID(int16_t id);

    // Every target this maker holds, one entry per hold (numbered references and others).
    const std::vector<ReferenceTarget*>& Holds() const { return held_; }

  protected:
    // Stores reference i; called by ReplaceReference after the new target is held and
    // before the old one is released. Override to keep typed pointers.
    virtual void SetReference(int i, ReferenceTarget* target);
    // Count a hold on target and list this maker among its dependents (null is ignored).
    void LinkTarget(ReferenceTarget* target);
    // Undo one LinkTarget; may delete target.
    void UnlinkTarget(ReferenceTarget* target);
    // Let go of every hold on target (it is being deleted explicitly). The default clears the
    // numbered references to it; classes holding targets elsewhere extend this.
    virtual void DropReferencesTo(ReferenceTarget* target);

  private:
    friend class ReferenceTarget;
    std::vector<ReferenceTarget*> slots_;
    std::vector<ReferenceTarget*> held_;
};

// A maker that can itself be referenced: has dependents, a count, custom attributes, and can
// be cloned.
class ReferenceTarget : public ReferenceMaker {
  public:
    ~ReferenceTarget() override;

    void AddRef() { ++count_; }
    // Drops one hold; deletes this object when it was the last one.
    void Release();
    int RefCount() const { return count_; }

    // Makers holding this target, each listed once, in the order they first linked it.
    std::vector<ReferenceMaker*> Dependents() const;
    // Sends message to every dependent; REFMSG_CHANGE continues up through dependents that
    // answer REF_SUCCEED. Nothing is sent while messages are disabled.
    RefResult NotifyDependents(const Interval& changeInt, PartID part, RefMessage message);

    // A copy of this object whose references are copied through remap (so objects shared
    // within one clone operation stay shared). Null when the class cannot be cloned.
    virtual ReferenceTarget* Clone(RemapDir& /*remap*/) { return nullptr; }
    // Copies what every target carries (its custom attributes) from "from" into "to".
    virtual void BaseClone(ReferenceTarget* from, ReferenceTarget* to, RemapDir& remap);

    // Custom attributes: extra targets carried by this one, held and cloned with it.
    // Adding and removing are undoable.
    int NumCustAttribs() const { return static_cast<int>(custAttribs_.size()); }
    CustAttrib* GetCustAttrib(int i) const;
    void AppendCustAttrib(CustAttrib* attrib);
    bool RemoveCustAttrib(int i);

    // Explicit deletion (a node deleted from the scene): tells the dependents
    // (REFMSG_TARGET_DELETED), then makes each of them let go of this target. The object is
    // freed when no other hold (for example an undo record) is left.
    void DeleteMe();

    // Grows with every target made in this process: a fixed order of objects that stays the
    // same for as long as they live (creation order).
    uint64_t CreationSerial() const { return serial_; }

  protected:
    void DropReferencesTo(ReferenceTarget* target) override;

  private:
    friend class ReferenceMaker;
    friend class CustAttribRestore;
    void InsertCustAttrib(int i, CustAttrib* attrib);
    void EraseCustAttrib(int i);

    static uint64_t NextCreationSerial();

    const uint64_t serial_ = NextCreationSerial();
    int count_ = 0;
    bool dying_ = false;
    bool notifying_ = false;
    std::vector<ReferenceMaker*> dependents_;  // one entry per hold
    std::vector<CustAttrib*> custAttribs_;
};

// Counted handle on a target: keeps it alive while the handle lives.
template <class T>
class RefPtr {
  public:
    RefPtr() = default;
    RefPtr(T* p) : p_(p) { Hold(); }  // NOLINT: implicit from raw pointers on purpose
    RefPtr(const RefPtr& other) : p_(other.p_) { Hold(); }
    RefPtr(RefPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
    RefPtr(const RefPtr<U>& other) : p_(other.get()) {
        Hold();
    }
    ~RefPtr() { Drop(); }
    RefPtr& operator=(RefPtr other) {
        std::swap(p_, other.p_);
        return *this;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() { RefPtr().swap(*this); }
    void swap(RefPtr& other) noexcept { std::swap(p_, other.p_); }

  private:
    void Hold() {
        if (p_) static_cast<ReferenceTarget*>(p_)->AddRef();
    }
    void Drop() {
        if (p_) static_cast<ReferenceTarget*>(std::exchange(p_, nullptr))->Release();
    }
    T* p_ = nullptr;
};

// Root holder for an object the application keeps (a scene's effect list, a test fixture):
// one reference, released when the holder goes. The holder itself is not counted, so it must
// outlive any undo record of its reference (clear theHold first).
class RefHolder : public ReferenceMaker {
  public:
    RefHolder() = default;
    explicit RefHolder(ReferenceTarget* target) { ReplaceReference(0, target); }
    int NumRefs() override { return 1; }
    ReferenceTarget* Get() { return GetReference(0); }
    void Set(ReferenceTarget* target) { ReplaceReference(0, target); }
};

// Originals to clones within one clone operation.
class RemapDir {
  public:
    // Clone of original made in this operation, making it on first request. Null stays null;
    // an object whose class cannot be cloned is shared (the original is returned).
    ReferenceTarget* CloneRef(ReferenceTarget* original);
    ReferenceTarget* FindMapping(const ReferenceTarget* original) const;
    // Records clone as the copy of original (a Clone may call this before cloning its
    // references so that references back to itself map to the clone).
    void AddEntry(const ReferenceTarget* original, ReferenceTarget* clone);

  private:
    std::map<const ReferenceTarget*, RefPtr<ReferenceTarget>> map_;
};

// Clones original and everything it references in one operation.
RefPtr<ReferenceTarget> CloneRefHierarchy(ReferenceTarget* original);

// A custom attribute: a target with its own parameter blocks, carried by another target.
class CustAttrib : public ReferenceTarget {
  public:
    SClass_ID SuperClassID() const override { return CUST_ATTRIB_CLASS_ID; }
    virtual std::string GetName() const { return ClassName(); }
};
