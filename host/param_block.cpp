#include "param_block.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "class_desc.h"
#include "hold.h"
#include "mtl.h"
#include "node.h"
#include "texmap.h"

namespace {

bool IsIntKind(ParamType type) { return type == ParamType::Int || type == ParamType::Bool; }

bool IsFloatType(ParamType type) {
    return type == ParamType::Float || type == ParamType::World || type == ParamType::Percent ||
           type == ParamType::Angle;
}

bool IsRefType(ParamType type) {
    return type == ParamType::Node || type == ParamType::Mtl || type == ParamType::Texmap ||
           type == ParamType::RefTarg;
}

// Brings v to the alternative the type stores; ints and floats convert into each other.
bool CoerceKind(ParamType type, ParamValue& v) {
    if (IsIntKind(type)) {
        if (auto* f = std::get_if<float>(&v)) v = static_cast<int>(std::lround(*f));
        return std::holds_alternative<int>(v);
    }
    if (IsFloatType(type)) {
        if (auto* i = std::get_if<int>(&v)) v = static_cast<float>(*i);
        return std::holds_alternative<float>(v);
    }
    switch (type) {
        case ParamType::Color:
            return std::holds_alternative<Color>(v);
        case ParamType::Point3:
            return std::holds_alternative<Point3>(v);
        case ParamType::String:
        case ParamType::Filename:
            return std::holds_alternative<std::string>(v);
        default:
            return std::holds_alternative<ReferenceTarget*>(v);
    }
}

std::vector<RefPtr<ReferenceTarget>> KeepRefs(const std::vector<IParamBlock2::Item>& items) {
    std::vector<RefPtr<ReferenceTarget>> keep;
    for (const auto& item : items) {
        if (auto* ref = std::get_if<ReferenceTarget*>(&item)) {
            if (*ref) keep.emplace_back(*ref);
        }
    }
    return keep;
}

}  // namespace

// Undo of one parameter change: the whole element list before and after, with the
// referenced targets kept alive.
class ParamRestore : public RestoreObj {
  public:
    ParamRestore(IParamBlock2* block, int pi, std::vector<IParamBlock2::Item> before,
                 std::vector<IParamBlock2::Item> after)
        : block_(block),
          pi_(pi),
          before_(std::move(before)),
          after_(std::move(after)),
          keepBefore_(KeepRefs(before_)),
          keepAfter_(KeepRefs(after_)) {}
    void Restore(bool) override { Apply(before_); }
    void Redo() override { Apply(after_); }
    std::string Description() const override { return "ParamRestore"; }

  private:
    void Apply(const std::vector<IParamBlock2::Item>& items) {
        block_->Assign(pi_, items);
        block_->lastId_ = block_->desc_->GetParamDefByIndex(pi_).id;
        block_->lastTabIndex_ = -1;
        block_->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
    }
    RefPtr<IParamBlock2> block_;
    int pi_;
    std::vector<IParamBlock2::Item> before_;
    std::vector<IParamBlock2::Item> after_;
    std::vector<RefPtr<ReferenceTarget>> keepBefore_;
    std::vector<RefPtr<ReferenceTarget>> keepAfter_;
};

// ---- ParamDef

ParamDef& ParamDef::Default(ParamValue v) {
    if (!CoerceKind(type, v)) {
        throw std::invalid_argument("parameter '" + internalName +
                                    "': default value of the wrong kind");
    }
    defaultValue = std::move(v);
    return *this;
}

ParamDef& ParamDef::Range(float lo, float hi) {
    if (lo > hi) {
        throw std::invalid_argument("parameter '" + internalName + "': range minimum " +
                                    std::to_string(lo) + " above maximum " + std::to_string(hi));
    }
    hasRange = true;
    rangeMin = lo;
    rangeMax = hi;
    return *this;
}

ParamDef& ParamDef::Label(int stringId) {
    labelId = stringId;
    return *this;
}
ParamDef& ParamDef::Accessor(PBAccessor* a) {
    accessor = a;
    return *this;
}
ParamDef& ParamDef::OwnerRef(int refIndex) {
    ownerRef = refIndex;
    return *this;
}
ParamDef& ParamDef::TableSize(int n) {
    tableSize = std::max(0, n);
    return *this;
}
ParamDef& ParamDef::Interp(Interpolation i) {
    interpolation = i;
    return *this;
}
bool ParamDef::IsFloatKind() const { return IsFloatType(type); }
bool ParamDef::IsRefKind() const { return IsRefType(type); }

// ---- ParamBlockDesc2

ParamBlockDesc2::ParamBlockDesc2(BlockID id, std::string internalName, ClassDesc2* classDesc,
                                 int flags, int ownerRef)
    : id_(id),
      internalName_(std::move(internalName)),
      classDesc_(classDesc),
      flags_(flags),
      ownerRef_(ownerRef) {
    if (classDesc_) classDesc_->AddParamBlockDesc(this);
}

ParamDef& ParamBlockDesc2::AddParam(ParamID id, std::string internalName, ParamType type, int flags,
                                    int labelId) {
    if (GetParamDef(id) || FindParam(internalName)) {
        throw std::invalid_argument("parameter block '" + internalName_ + "': parameter ID " +
                                    std::to_string(id) + " or name '" + internalName +
                                    "' declared twice");
    }
    ParamDef def;
    def.id = id;
    def.internalName = std::move(internalName);
    def.type = type;
    def.flags = flags;
    def.labelId = labelId;
    def.table = (flags & P_VARIABLE_SIZE) != 0;
    if (IsFloatType(type)) {
        def.defaultValue = 0.0f;
    } else if (type == ParamType::Color) {
        def.defaultValue = Color();
    } else if (type == ParamType::Point3) {
        def.defaultValue = Point3();
    } else if (type == ParamType::String || type == ParamType::Filename) {
        def.defaultValue = std::string();
    } else if (IsRefType(type)) {
        def.defaultValue = static_cast<ReferenceTarget*>(nullptr);
    }
    if (id >= 0) {
        if (size_t(id) >= indexById_.size()) indexById_.resize(size_t(id) + 1, -1);
        if (indexById_[size_t(id)] < 0)
            indexById_[size_t(id)] = static_cast<int16_t>(params_.size());
    }
    params_.push_back(std::move(def));
    defs_.push_back(&params_.back());
    return params_.back();
}

ParamDef& ParamBlockDesc2::AddTable(ParamID id, std::string internalName, ParamType type, int flags,
                                    int labelId) {
    ParamDef& def = AddParam(id, std::move(internalName), type, flags | P_VARIABLE_SIZE, labelId);
    return def;
}

int ParamBlockDesc2::IDtoIndex(ParamID id) const {
    return id >= 0 && size_t(id) < indexById_.size() ? indexById_[size_t(id)] : -1;
}

const ParamDef* ParamBlockDesc2::GetParamDef(ParamID id) const {
    int i = IDtoIndex(id);
    return i < 0 ? nullptr : &params_[i];
}

const ParamDef* ParamBlockDesc2::FindParam(const std::string& internalName) const {
    for (const ParamDef& def : params_) {
        if (def.internalName == internalName) return &def;
    }
    return nullptr;
}

bool ParamBlockDesc2::SetDefault(ParamID id, ParamValue v) {
    int i = IDtoIndex(id);
    if (i < 0 || !CoerceKind(params_[i].type, v)) return false;
    params_[i].defaultValue = std::move(v);
    return true;
}

// ---- IParamBlock2

IParamBlock2::IParamBlock2(const ParamBlockDesc2* desc) : desc_(desc) {
    if (!desc_) throw std::invalid_argument("parameter block without a descriptor");
    values_.resize(desc_->Count());
    for (int pi = 0; pi < desc_->Count(); ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if (def.ownerRef >= 0) continue;
        int n = def.table ? def.tableSize : 1;
        // Default references are null, so nothing needs counting here.
        values_[pi].assign(n, MakeDefault(def));
    }
}

IParamBlock2::~IParamBlock2() = default;

ReferenceMaker* IParamBlock2::GetOwner() {
    for (ReferenceMaker* maker : Dependents()) {
        if (maker->FindRef(this) >= 0) return maker;
    }
    return nullptr;
}

const ParamDef& IParamBlock2::Def(ParamID id) const {
    return desc_->GetParamDefByIndex(IndexOrThrow(id));
}

int IParamBlock2::IndexOrThrow(ParamID id) const {
    int pi = desc_->IDtoIndex(id);
    if (pi < 0) {
        throw std::invalid_argument("parameter block '" + desc_->InternalName() +
                                    "' has no parameter " + std::to_string(id));
    }
    return pi;
}

IParamBlock2::Item IParamBlock2::MakeDefault(const ParamDef& def) const {
    const ParamValue& v = def.defaultValue;
    switch (def.type) {
        case ParamType::Int:
            return KeyController<int>(std::get<int>(v), def.interpolation);
        case ParamType::Bool:
            return KeyController<bool>(std::get<int>(v) != 0);
        case ParamType::Color:
            return KeyController<Color>(std::get<Color>(v), def.interpolation);
        case ParamType::Point3:
            return KeyController<Point3>(std::get<Point3>(v), def.interpolation);
        case ParamType::String:
        case ParamType::Filename:
            return std::get<std::string>(v);
        default:
            break;
    }
    if (IsFloatType(def.type)) return KeyController<float>(std::get<float>(v), def.interpolation);
    return static_cast<ReferenceTarget*>(nullptr);
}

bool IParamBlock2::Convert(const ParamDef& def, ParamValue& v) const {
    if (!CoerceKind(def.type, v)) return false;
    auto* ref = std::get_if<ReferenceTarget*>(&v);
    if (!ref || !*ref) return true;
    switch (def.type) {
        case ParamType::Node:
            return dynamic_cast<INode*>(*ref) != nullptr;
        case ParamType::Mtl:
            return dynamic_cast<Mtl*>(*ref) != nullptr;
        case ParamType::Texmap:
            return dynamic_cast<Texmap*>(*ref) != nullptr;
        default:
            return true;
    }
}

void IParamBlock2::Clamp(const ParamDef& def, ParamValue& v) const {
    if (!def.hasRange) return;
    if (auto* i = std::get_if<int>(&v)) {
        if (def.type == ParamType::Int) {
            *i = std::clamp(*i, static_cast<int>(std::ceil(def.rangeMin)),
                            static_cast<int>(std::floor(def.rangeMax)));
        }
    } else if (auto* f = std::get_if<float>(&v)) {
        *f = std::clamp(*f, def.rangeMin, def.rangeMax);
    }
}

void IParamBlock2::Assign(int pi, std::vector<Item> items) {
    for (const Item& item : items) {
        if (auto* ref = std::get_if<ReferenceTarget*>(&item)) LinkTarget(*ref);
    }
    std::vector<Item> old = std::exchange(values_[pi], std::move(items));
    for (const Item& item : old) {
        if (auto* ref = std::get_if<ReferenceTarget*>(&item)) UnlinkTarget(*ref);
    }
}

void IParamBlock2::Commit(int pi, std::vector<Item> items, int tabIndex) {
    if (theHold.Holding()) {
        theHold.Put(std::make_unique<ParamRestore>(this, pi, values_[pi], items));
    }
    RefPtr<IParamBlock2> keep(RefCount() > 0 ? this : nullptr);
    Assign(pi, std::move(items));
    lastId_ = desc_->GetParamDefByIndex(pi).id;
    lastTabIndex_ = tabIndex;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

bool IParamBlock2::GetValue(ParamID id, TimeValue t, ParamValue& v, Interval& valid, int tabIndex) {
    int pi = desc_->IDtoIndex(id);
    if (pi < 0) return false;
    const ParamDef& def = desc_->GetParamDefByIndex(pi);
    if (def.ownerRef >= 0) {
        ReferenceMaker* owner = GetOwner();
        v = owner ? owner->GetReference(def.ownerRef) : nullptr;
    } else {
        if (tabIndex < 0 || tabIndex >= static_cast<int>(values_[pi].size())) return false;
        std::visit(
            [&](const auto& item) {
                using I = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<I, KeyController<bool>>) {
                    v = item.GetValue(t, valid) ? 1 : 0;
                } else if constexpr (std::is_same_v<I, std::string> ||
                                     std::is_same_v<I, ReferenceTarget*>) {
                    v = item;
                } else {
                    v = item.GetValue(t, valid);
                }
            },
            values_[pi][tabIndex]);
    }
    if (def.accessor) def.accessor->Get(v, GetOwner(), id, tabIndex, t, valid);
    return true;
}

bool IParamBlock2::SetValue(ParamID id, TimeValue t, ParamValue v, int tabIndex) {
    int pi = desc_->IDtoIndex(id);
    if (pi < 0) return false;
    const ParamDef& def = desc_->GetParamDefByIndex(pi);
    if (!Convert(def, v)) return false;
    Clamp(def, v);
    if (def.ownerRef < 0 && (tabIndex < 0 || tabIndex >= static_cast<int>(values_[pi].size()))) {
        return false;
    }
    // An accessor may drop the owner's hold on this block; an unheld block is the caller's.
    RefPtr<IParamBlock2> keep(RefCount() > 0 ? this : nullptr);
    if (def.accessor && !def.accessor->Set(v, GetOwner(), id, tabIndex, t)) return false;
    if (def.ownerRef >= 0) {
        ReferenceMaker* owner = GetOwner();
        if (!owner) return false;
        owner->ReplaceReference(def.ownerRef, std::get<ReferenceTarget*>(v));
        lastId_ = id;
        lastTabIndex_ = tabIndex;
        NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
        return true;
    }
    std::vector<Item> items = values_[pi];
    bool animate = IsAnimateOn() && def.Animatable();
    std::visit(
        [&](auto& item) {
            using I = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<I, KeyController<bool>>) {
                item.SetValue(t, std::get<int>(v) != 0, animate);
            } else if constexpr (std::is_same_v<I, std::string> ||
                                 std::is_same_v<I, ReferenceTarget*>) {
                item = std::get<I>(v);
            } else if constexpr (std::is_same_v<I, KeyController<int>>) {
                item.SetValue(t, std::get<int>(v), animate);
            } else if constexpr (std::is_same_v<I, KeyController<float>>) {
                item.SetValue(t, std::get<float>(v), animate);
            } else if constexpr (std::is_same_v<I, KeyController<Color>>) {
                item.SetValue(t, std::get<Color>(v), animate);
            } else {
                item.SetValue(t, std::get<Point3>(v), animate);
            }
        },
        items[tabIndex]);
    Commit(pi, std::move(items), def.table ? tabIndex : -1);
    if (def.table && def.accessor) {
        def.accessor->TabChanged(TabChange::Set, GetOwner(), id, tabIndex, 1);
    }
    return true;
}

namespace {
template <class T>
T Expect(const ParamValue& v, const std::string& block, ParamID id) {
    if (const T* p = std::get_if<T>(&v)) return *p;
    throw std::invalid_argument("parameter block '" + block + "': parameter " + std::to_string(id) +
                                " read as the wrong type");
}
}  // namespace

// A value stored in the block itself, with no accessor to consult, read straight from its
// controller: records for a frame read thousands of them.
template <class T, class Item>
const KeyController<T>* PlainController(const ParamDef& def, const std::vector<Item>& items,
                                        int tabIndex) {
    if (def.accessor || def.ownerRef >= 0) return nullptr;
    if (tabIndex < 0 || tabIndex >= static_cast<int>(items.size())) return nullptr;
    return std::get_if<KeyController<T>>(&items[size_t(tabIndex)]);
}

#define KVRN_SLOW_GET(Type, zero)                              \
    ParamValue v;                                              \
    Interval slowValid = FOREVER;                              \
    IndexOrThrow(id);                                          \
    if (!GetValue(id, t, v, slowValid, tabIndex)) return zero; \
    return Expect<Type>(v, desc_->InternalName(), id)

#define KVRN_TYPED_GET(Type, zero)                                                       \
    const int pi = IndexOrThrow(id);                                                     \
    Interval valid = FOREVER;                                                            \
    if (const auto* c =                                                                  \
            PlainController<Type>(desc_->GetParamDefByIndex(pi), values_[pi], tabIndex)) \
        return c->GetValue(t, valid);                                                    \
    KVRN_SLOW_GET(Type, zero)

int IParamBlock2::GetInt(ParamID id, TimeValue t, int tabIndex) {
    const int pi = IndexOrThrow(id);
    const ParamDef& def = desc_->GetParamDefByIndex(pi);
    Interval valid = FOREVER;
    if (const auto* b = PlainController<bool>(def, values_[pi], tabIndex))
        return b->GetValue(t, valid) ? 1 : 0;
    if (const auto* c = PlainController<int>(def, values_[pi], tabIndex))
        return c->GetValue(t, valid);
    KVRN_SLOW_GET(int, 0);
}
float IParamBlock2::GetFloat(ParamID id, TimeValue t, int tabIndex) { KVRN_TYPED_GET(float, 0.0f); }
Color IParamBlock2::GetColor(ParamID id, TimeValue t, int tabIndex) {
    KVRN_TYPED_GET(Color, Color());
}
Point3 IParamBlock2::GetPoint3(ParamID id, TimeValue t, int tabIndex) {
    KVRN_TYPED_GET(Point3, Point3());
}
std::string IParamBlock2::GetStr(ParamID id, TimeValue t, int tabIndex) {
    KVRN_SLOW_GET(std::string, std::string());
}
ReferenceTarget* IParamBlock2::GetReferenceTarget(ParamID id, TimeValue t, int tabIndex) {
    KVRN_SLOW_GET(ReferenceTarget*, nullptr);
}
#undef KVRN_TYPED_GET
#undef KVRN_SLOW_GET

INode* IParamBlock2::GetINode(ParamID id, TimeValue t, int tabIndex) {
    return dynamic_cast<INode*>(GetReferenceTarget(id, t, tabIndex));
}
Mtl* IParamBlock2::GetMtl(ParamID id, TimeValue t, int tabIndex) {
    return dynamic_cast<Mtl*>(GetReferenceTarget(id, t, tabIndex));
}
Texmap* IParamBlock2::GetTexmap(ParamID id, TimeValue t, int tabIndex) {
    return dynamic_cast<Texmap*>(GetReferenceTarget(id, t, tabIndex));
}

bool IParamBlock2::GetValueByName(const std::string& name, TimeValue t, ParamValue& v,
                                  Interval& valid, int tabIndex) {
    const ParamDef* def = desc_->FindParam(name);
    return def && GetValue(def->id, t, v, valid, tabIndex);
}

bool IParamBlock2::SetValueByName(const std::string& name, TimeValue t, ParamValue v,
                                  int tabIndex) {
    const ParamDef* def = desc_->FindParam(name);
    return def && SetValue(def->id, t, std::move(v), tabIndex);
}

// ---- Tables

int IParamBlock2::TableIndex(ParamID id) const {
    int pi = desc_->IDtoIndex(id);
    if (pi < 0 || !desc_->GetParamDefByIndex(pi).table) return -1;
    return pi;
}

int IParamBlock2::Count(ParamID id) const {
    int pi = TableIndex(id);
    return pi < 0 ? 0 : static_cast<int>(values_[pi].size());
}

void IParamBlock2::NotifyTable(int pi, TabChange change, int index, int count) {
    const ParamDef& def = desc_->GetParamDefByIndex(pi);
    if (def.accessor) def.accessor->TabChanged(change, GetOwner(), def.id, index, count);
}

bool IParamBlock2::SetCount(ParamID id, int n) {
    int pi = TableIndex(id);
    if (pi < 0 || n < 0) return false;
    std::vector<Item> items = values_[pi];
    items.resize(n, MakeDefault(desc_->GetParamDefByIndex(pi)));
    Commit(pi, std::move(items), -1);
    NotifyTable(pi, TabChange::SetCount, 0, n);
    return true;
}

bool IParamBlock2::Insert(ParamID id, int index, const std::vector<ParamValue>& values) {
    int pi = TableIndex(id);
    if (pi < 0 || index < 0 || index > Count(id)) return false;
    const ParamDef& def = desc_->GetParamDefByIndex(pi);
    std::vector<Item> fresh;
    for (ParamValue v : values) {
        if (!Convert(def, v)) return false;
        Clamp(def, v);
        Item item = MakeDefault(def);
        std::visit(
            [&](auto& element) {
                using I = std::decay_t<decltype(element)>;
                if constexpr (std::is_same_v<I, KeyController<bool>>) {
                    element = I(std::get<int>(v) != 0);
                } else if constexpr (std::is_same_v<I, std::string> ||
                                     std::is_same_v<I, ReferenceTarget*>) {
                    element = std::get<I>(v);
                } else if constexpr (std::is_same_v<I, KeyController<int>>) {
                    element = I(std::get<int>(v), def.interpolation);
                } else if constexpr (std::is_same_v<I, KeyController<float>>) {
                    element = I(std::get<float>(v), def.interpolation);
                } else if constexpr (std::is_same_v<I, KeyController<Color>>) {
                    element = I(std::get<Color>(v), def.interpolation);
                } else {
                    element = I(std::get<Point3>(v), def.interpolation);
                }
            },
            item);
        fresh.push_back(std::move(item));
    }
    std::vector<Item> items = values_[pi];
    items.insert(items.begin() + index, fresh.begin(), fresh.end());
    Commit(pi, std::move(items), -1);
    NotifyTable(pi, TabChange::Insert, index, static_cast<int>(values.size()));
    return true;
}

bool IParamBlock2::Delete(ParamID id, int start, int num) {
    int pi = TableIndex(id);
    if (pi < 0 || start < 0 || num < 0 || start + num > Count(id)) return false;
    std::vector<Item> items = values_[pi];
    items.erase(items.begin() + start, items.begin() + start + num);
    Commit(pi, std::move(items), -1);
    NotifyTable(pi, TabChange::Delete, start, num);
    return true;
}

bool IParamBlock2::Move(ParamID id, int from, int to) {
    int pi = TableIndex(id);
    int n = Count(id);
    if (pi < 0 || from < 0 || from >= n || to < 0 || to >= n) return false;
    std::vector<Item> items = values_[pi];
    Item moving = std::move(items[from]);
    items.erase(items.begin() + from);
    items.insert(items.begin() + to, std::move(moving));
    Commit(pi, std::move(items), -1);
    NotifyTable(pi, TabChange::Move, std::min(from, to), std::abs(to - from) + 1);
    return true;
}

bool IParamBlock2::IsKeyed(ParamID id, int tabIndex) const {
    int pi = desc_->IDtoIndex(id);
    if (pi < 0 || tabIndex < 0 || tabIndex >= static_cast<int>(values_[pi].size())) return false;
    return std::visit(
        [](const auto& item) {
            using I = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<I, std::string> || std::is_same_v<I, ReferenceTarget*>) {
                return false;
            } else {
                return item.IsKeyed();
            }
        },
        values_[pi][tabIndex]);
}

Interval IParamBlock2::Validity(TimeValue t) {
    Interval valid = FOREVER;
    for (const auto& items : values_) {
        for (const Item& item : items) {
            std::visit(
                [&](const auto& element) {
                    using I = std::decay_t<decltype(element)>;
                    if constexpr (!std::is_same_v<I, std::string> &&
                                  !std::is_same_v<I, ReferenceTarget*>) {
                        element.GetValue(t, valid);
                    }
                },
                item);
        }
    }
    return valid;
}

// ---- References, sub-animatables, cloning

bool IParamBlock2::FlatRef(int i, int& pi, int& ei) {
    if (i < 0) return false;
    for (pi = 0; pi < desc_->Count(); ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if (!def.IsRefKind() || def.ownerRef >= 0) continue;
        int n = static_cast<int>(values_[pi].size());
        if (i < n) {
            ei = i;
            return true;
        }
        i -= n;
    }
    return false;
}

int IParamBlock2::NumRefs() {
    int n = 0;
    for (int pi = 0; pi < desc_->Count(); ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if (def.IsRefKind() && def.ownerRef < 0) n += static_cast<int>(values_[pi].size());
    }
    return n;
}

ReferenceTarget* IParamBlock2::GetReference(int i) {
    int pi = 0;
    int ei = 0;
    return FlatRef(i, pi, ei) ? std::get<ReferenceTarget*>(values_[pi][ei]) : nullptr;
}

void IParamBlock2::SetReference(int i, ReferenceTarget* target) {
    int pi = 0;
    int ei = 0;
    if (FlatRef(i, pi, ei)) values_[pi][ei] = target;
}

void IParamBlock2::DropReferencesTo(ReferenceTarget* target) {
    for (int pi = 0; pi < desc_->Count(); ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if (!def.IsRefKind() || def.ownerRef >= 0) continue;
        std::vector<Item> items = values_[pi];
        bool found = false;
        for (Item& item : items) {
            if (std::get<ReferenceTarget*>(item) == target) {
                item = static_cast<ReferenceTarget*>(nullptr);
                found = true;
            }
        }
        if (found) Commit(pi, std::move(items), -1);
    }
    ReferenceTarget::DropReferencesTo(target);
}

int IParamBlock2::NumSubs() {
    int n = 0;
    for (int pi = 0; pi < desc_->Count(); ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if ((def.flags & P_SUBANIM) && def.IsRefKind()) n += static_cast<int>(values_[pi].size());
    }
    return n;
}

Animatable* IParamBlock2::SubAnim(int i) {
    for (int pi = 0; pi < desc_->Count() && i >= 0; ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if (!(def.flags & P_SUBANIM) || !def.IsRefKind()) continue;
        int n = static_cast<int>(values_[pi].size());
        if (i < n) return std::get<ReferenceTarget*>(values_[pi][i]);
        i -= n;
    }
    return nullptr;
}

std::string IParamBlock2::SubAnimName(int i) {
    for (int pi = 0; pi < desc_->Count() && i >= 0; ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        if (!(def.flags & P_SUBANIM) || !def.IsRefKind()) continue;
        int n = static_cast<int>(values_[pi].size());
        if (i < n) return def.internalName;
        i -= n;
    }
    return std::string();
}

ReferenceTarget* IParamBlock2::Clone(RemapDir& remap) {
    auto* clone = new IParamBlock2(desc_);
    remap.AddEntry(this, clone);
    for (int pi = 0; pi < desc_->Count(); ++pi) {
        const ParamDef& def = desc_->GetParamDefByIndex(pi);
        std::vector<Item> items = values_[pi];
        if (def.type == ParamType::Texmap || def.type == ParamType::RefTarg) {
            for (Item& item : items) item = remap.CloneRef(std::get<ReferenceTarget*>(item));
        }
        clone->Assign(pi, std::move(items));
    }
    BaseClone(this, clone, remap);
    return clone;
}

IParamBlock2* CreateParameterBlock2(const ParamBlockDesc2* desc, ReferenceMaker* /*owner*/) {
    return new IParamBlock2(desc);
}

// ---- Block lookup through a maker's references

int ReferenceMaker::NumParamBlocks() {
    int n = 0;
    for (int i = 0; i < NumRefs(); ++i) {
        if (dynamic_cast<IParamBlock2*>(GetReference(i))) ++n;
    }
    return n;
}

IParamBlock2* ReferenceMaker::GetParamBlock(int index) {
    for (int i = 0; i < NumRefs(); ++i) {
        if (auto* block = dynamic_cast<IParamBlock2*>(GetReference(i))) {
            if (index-- == 0) return block;
        }
    }
    return nullptr;
}

IParamBlock2* ReferenceMaker::GetParamBlockByID(int16_t id) {
    for (int i = 0; i < NumRefs(); ++i) {
        auto* block = dynamic_cast<IParamBlock2*>(GetReference(i));
        if (block && block->ID() == id) return block;
    }
    return nullptr;
}
