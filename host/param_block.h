// Parameter blocks: a descriptor lists a class's parameters (ID, internal name, type,
// default, range, accessor); a block holds their values for one object, records undo for
// every change and notifies its dependents (normally its owner).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <variant>
#include <vector>

#include "controller.h"
#include "point3.h"
#include "reference.h"

class ClassDesc2;
class INode;
class Mtl;
class Texmap;

using ParamID = int16_t;
using BlockID = int16_t;

enum class ParamType {
    Int,
    Float,
    Bool,
    Color,
    Point3,
    String,
    Filename,
    Node,
    Mtl,
    Texmap,
    RefTarg,
    World,    // float, world units
    Percent,  // float, stored as shown (0..100)
    Angle,    // float, degrees
};

// Parameter flags.
constexpr int P_ANIMATABLE = 1 << 0;     // holds a key-frame controller
constexpr int P_VARIABLE_SIZE = 1 << 1;  // a table whose size can change
constexpr int P_SUBANIM = 1 << 2;        // reference values are listed as sub-animatables

// Block descriptor flags.
constexpr int P_AUTO_CONSTRUCT = 1 << 0;  // MakeAutoParamBlocks builds it into ownerRef

// A value passed in and out of a block: int for Int and Bool, float for the float types,
// string for String and Filename, a target pointer for Node, Mtl, Texmap and RefTarg.
using ParamValue = std::variant<int, float, Color, Point3, std::string, ReferenceTarget*>;

enum class TabChange { Insert, Delete, Move, SetCount, Set };

// Optional hooks of one parameter, called by the block (never on undo or redo).
class PBAccessor {
  public:
    virtual ~PBAccessor() = default;
    // May change a value being read.
    virtual void Get(ParamValue& /*v*/, ReferenceMaker* /*owner*/, ParamID /*id*/, int /*tabIndex*/,
                     TimeValue /*t*/, Interval& /*valid*/) {}
    // Called before a value is stored, after clamping: may change v or act on it; returning
    // false vetoes the set (nothing is stored or recorded).
    virtual bool Set(ParamValue& /*v*/, ReferenceMaker* /*owner*/, ParamID /*id*/, int /*tabIndex*/,
                     TimeValue /*t*/) {
        return true;
    }
    // After a table edit: the change, the first index touched and the number of elements.
    virtual void TabChanged(TabChange /*change*/, ReferenceMaker* /*owner*/, ParamID /*id*/,
                            int /*tabIndex*/, int /*count*/) {}
};

// One parameter of a descriptor. The chaining setters are for building descriptors.
struct ParamDef {
    ParamID id = 0;
    std::string internalName;
    ParamType type = ParamType::Int;
    bool table = false;
    int flags = 0;
    int labelId = 0;
    ParamValue defaultValue = 0;
    bool hasRange = false;
    float rangeMin = 0.0f;
    float rangeMax = 0.0f;
    int tableSize = 0;  // element count of a new table
    PBAccessor* accessor = nullptr;
    int ownerRef = -1;  // >= 0: the value lives in the owner's reference of that index
    Interpolation interpolation = Interpolation::Smooth;

    ParamDef& Default(ParamValue v);
    ParamDef& Default(int v) { return Default(ParamValue(v)); }
    ParamDef& Default(double v) { return Default(ParamValue(static_cast<float>(v))); }
    ParamDef& Default(bool v) { return Default(ParamValue(v ? 1 : 0)); }
    ParamDef& Default(const char* v) { return Default(ParamValue(std::string(v))); }
    ParamDef& Range(float lo, float hi);
    ParamDef& Label(int stringId);
    ParamDef& Accessor(PBAccessor* a);
    ParamDef& OwnerRef(int refIndex);
    ParamDef& TableSize(int n);
    ParamDef& Interp(Interpolation i);

    bool Animatable() const { return (flags & P_ANIMATABLE) != 0; }
    bool IsFloatKind() const;
    bool IsRefKind() const;
};

// Describes one parameter block of a class. Lives as long as every block made from it
// (normally a static object). Parameters keep their declaration order.
class ParamBlockDesc2 {
  public:
    // Registers itself with classDesc (which may be null for free-standing blocks).
    ParamBlockDesc2(BlockID id, std::string internalName, ClassDesc2* classDesc, int flags = 0,
                    int ownerRef = -1);
    // Registered by address and holding pointers into itself: never copied or moved.
    ParamBlockDesc2(const ParamBlockDesc2&) = delete;
    ParamBlockDesc2& operator=(const ParamBlockDesc2&) = delete;

    // Adds a parameter; an ID or name used twice throws std::invalid_argument. The reference
    // stays valid for the descriptor's life.
    ParamDef& AddParam(ParamID id, std::string internalName, ParamType type, int flags = 0,
                       int labelId = 0);
    ParamDef& AddTable(ParamID id, std::string internalName, ParamType type, int flags = 0,
                       int labelId = 0);

    BlockID ID() const { return id_; }
    const std::string& InternalName() const { return internalName_; }
    ClassDesc2* GetClassDesc() const { return classDesc_; }
    int Flags() const { return flags_; }
    int OwnerRef() const { return ownerRef_; }

    int Count() const { return static_cast<int>(params_.size()); }
    const ParamDef& GetParamDefByIndex(int i) const { return *defs_.at(size_t(i)); }
    // Index in declaration order, or -1.
    int IDtoIndex(ParamID id) const;
    // Null when absent.
    const ParamDef* GetParamDef(ParamID id) const;
    const ParamDef* FindParam(const std::string& internalName) const;

    // User default: blocks built afterwards start from v; existing blocks keep their values.
    // False for an unknown ID or a value of the wrong kind.
    bool SetDefault(ParamID id, ParamValue v);

  private:
    BlockID id_;
    std::string internalName_;
    ClassDesc2* classDesc_;
    int flags_;
    int ownerRef_;
    std::deque<ParamDef> params_;
    // Declaration index by parameter ID (-1: none): every value access looks one up.
    std::vector<int16_t> indexById_;
    std::vector<ParamDef*> defs_;  // params_ by index: a deque's indexing costs two look-ups
};

// The values of one descriptor's parameters for one owner. Access by ID; out-of-range table
// indices read as the zero value and are refused on write; an unknown ID or a value of the
// wrong kind makes the bool forms return false and the typed getters throw
// std::invalid_argument naming the block and the parameter.
class IParamBlock2 : public ReferenceTarget {
  public:
    explicit IParamBlock2(const ParamBlockDesc2* desc);
    ~IParamBlock2() override;

    SClass_ID SuperClassID() const override { return PARAMETER_BLOCK2_CLASS_ID; }
    const ParamBlockDesc2* GetDesc() const { return desc_; }
    BlockID ID() const { return desc_->ID(); }
    // The maker holding this block in a numbered reference, or null.
    ReferenceMaker* GetOwner();

    bool GetValue(ParamID id, TimeValue t, ParamValue& v, Interval& valid, int tabIndex = 0);
    // Clamps to the range, asks the accessor, records undo, stores (with animate mode on and
    // an animatable parameter: as a key at t) and notifies.
    bool SetValue(ParamID id, TimeValue t, ParamValue v, int tabIndex = 0);
    bool SetValue(ParamID id, TimeValue t, int v, int tabIndex = 0) {
        return SetValue(id, t, ParamValue(v), tabIndex);
    }
    bool SetValue(ParamID id, TimeValue t, double v, int tabIndex = 0) {
        return SetValue(id, t, ParamValue(static_cast<float>(v)), tabIndex);
    }
    bool SetValue(ParamID id, TimeValue t, bool v, int tabIndex = 0) {
        return SetValue(id, t, ParamValue(v ? 1 : 0), tabIndex);
    }
    bool SetValue(ParamID id, TimeValue t, const char* v, int tabIndex = 0) {
        return SetValue(id, t, ParamValue(std::string(v)), tabIndex);
    }

    int GetInt(ParamID id, TimeValue t = 0, int tabIndex = 0);
    bool GetBool(ParamID id, TimeValue t = 0, int tabIndex = 0) {
        return GetInt(id, t, tabIndex) != 0;
    }
    float GetFloat(ParamID id, TimeValue t = 0, int tabIndex = 0);
    Color GetColor(ParamID id, TimeValue t = 0, int tabIndex = 0);
    Point3 GetPoint3(ParamID id, TimeValue t = 0, int tabIndex = 0);
    std::string GetStr(ParamID id, TimeValue t = 0, int tabIndex = 0);
    ReferenceTarget* GetReferenceTarget(ParamID id, TimeValue t = 0, int tabIndex = 0);
    INode* GetINode(ParamID id, TimeValue t = 0, int tabIndex = 0);
    Mtl* GetMtl(ParamID id, TimeValue t = 0, int tabIndex = 0);
    Texmap* GetTexmap(ParamID id, TimeValue t = 0, int tabIndex = 0);

    // Value of the parameter with that internal name; false when absent.
    bool GetValueByName(const std::string& name, TimeValue t, ParamValue& v, Interval& valid,
                        int tabIndex = 0);
    bool SetValueByName(const std::string& name, TimeValue t, ParamValue v, int tabIndex = 0);

    // Tables. Each edit is one undo record and one notification. Count is 0 for non-tables.
    int Count(ParamID id) const;
    // New elements take the default; false for an unknown ID, a non-table or n < 0.
    bool SetCount(ParamID id, int n);
    bool Resize(ParamID id, int n) { return SetCount(id, n); }
    bool Insert(ParamID id, int index, const std::vector<ParamValue>& values);
    bool Append(ParamID id, ParamValue value) { return Insert(id, Count(id), {value}); }
    bool Delete(ParamID id, int start, int num);
    // Moves element from to position to (the others close up).
    bool Move(ParamID id, int from, int to);

    // Keys of an animatable parameter (the first element of a table).
    bool IsKeyed(ParamID id, int tabIndex = 0) const;
    // Interval over which every parameter keeps its value at t.
    Interval Validity(TimeValue t);
    // ID of the last parameter changed and the table index (-1 for a whole-table change).
    ParamID LastNotifyParamID(int& tabIndex) const {
        tabIndex = lastTabIndex_;
        return lastId_;
    }

    // References: the reference values of every parameter in declaration order, table
    // elements in order (owner-reference parameters are not among them).
    int NumRefs() override;
    ReferenceTarget* GetReference(int i) override;
    int NumSubs() override;
    Animatable* SubAnim(int i) override;
    std::string SubAnimName(int i) override;

    // Copies the values; Texmap and RefTarg values are cloned through remap, Node and Mtl
    // values stay shared.
    ReferenceTarget* Clone(RemapDir& remap) override;

    // One stored element. Public for the undo record only.
    using Item =
        std::variant<KeyController<int>, KeyController<bool>, KeyController<float>,
                     KeyController<Color>, KeyController<Point3>, std::string, ReferenceTarget*>;

  protected:
    void SetReference(int i, ReferenceTarget* target) override;
    void DropReferencesTo(ReferenceTarget* target) override;

  private:
    friend class ParamRestore;
    const ParamDef& Def(ParamID id) const;
    int IndexOrThrow(ParamID id) const;
    Item MakeDefault(const ParamDef& def) const;
    // Replaces the elements of parameter index pi, recording undo and notifying.
    void Commit(int pi, std::vector<Item> items, int tabIndex);
    // Stores without undo or notification: counts the new references, releases the old.
    void Assign(int pi, std::vector<Item> items);
    bool Convert(const ParamDef& def, ParamValue& v) const;
    void Clamp(const ParamDef& def, ParamValue& v) const;
    // Parameter and element index of flattened reference i; false when out of range.
    bool FlatRef(int i, int& pi, int& ei);
    // Parameter index of a variable table, or -1.
    int TableIndex(ParamID id) const;
    void NotifyTable(int pi, TabChange change, int index, int count);

    const ParamBlockDesc2* desc_;
    std::vector<std::vector<Item>> values_;  // per parameter in declaration order
    ParamID lastId_ = -1;
    int lastTabIndex_ = -1;
};

// Builds a block for owner from desc (not yet set into any reference).
IParamBlock2* CreateParameterBlock2(const ParamBlockDesc2* desc, ReferenceMaker* owner);
