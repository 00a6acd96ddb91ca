#include "kvx_file.h"

#include <cstdio>
#include <set>
#include <vector>

#include "class_desc.h"
#include "curve_ctl.h"
#include "hold.h"
#include "ini_values.h"
#include "line_classes.h"
#include "lineset.h"
#include "mtl.h"
#include "node.h"
#include "pb_section.h"
#include "string_table.h"
#include "texmap.h"

namespace {

// Larger counts are refused instead of allocated for.
constexpr int32_t kMaxTableCount = 100000;
constexpr int kParamChangeLabel = 19990;
constexpr size_t kNameLength = 256;

std::string TabNumKey(const std::string& key) { return key + "_tabnum"; }
std::string TabKey(const std::string& key, int i) { return key + "_tab" + std::to_string(i); }

enum class Kind { kNone, kInt, kFloat, kColor, kNode, kIntTable };

Kind KindOf(const ParamDef& def) {
    const bool intLike = def.type == ParamType::Int || def.type == ParamType::Bool;
    if (def.table) return intLike ? Kind::kIntTable : Kind::kNone;
    if (def.ownerRef >= 0) return Kind::kNone;
    if (intLike) return Kind::kInt;
    if (def.type == ParamType::Float) return Kind::kFloat;
    if (def.type == ParamType::Color) return Kind::kColor;
    if (def.type == ParamType::Node) return Kind::kNode;
    return Kind::kNone;
}

// Reports a parse error the last read noted, if it noted one since `before`.
void ReportParse(const IniHandler& ini, size_t before, KvxProblems* problems) {
    if (problems && ini.ParseErrors().size() > before) {
        const IniParseError& e = ini.ParseErrors()[before];
        problems->Add(e.section, e.key, "expected " + e.expected + ", got '" + e.value + "'");
    }
}

std::string RangeText(const ParamDef& def) {
    return KvrnIni::FormatFloat(def.rangeMin) + " to " + KvrnIni::FormatFloat(def.rangeMax);
}

void CheckRange(const ParamDef& def, float value, std::string_view section, const std::string& key,
                KvxProblems* problems) {
    if (!problems || !def.hasRange) return;
    if (value < def.rangeMin || value > def.rangeMax)
        problems->Add(section, key,
                      "value " + KvrnIni::FormatFloat(value) + " out of range " + RangeText(def));
}

}  // namespace

void KvxProblems::Add(std::string_view section, std::string_view key, const std::string& what) {
    if (!first_.empty()) return;
    first_ = file_.string() + ": ";
    if (!section.empty()) first_ += "[" + std::string(section) + "] ";
    if (!key.empty()) first_ += std::string(key) + ": ";
    first_ += what;
}

namespace {

// What ReadParamBlockSection would do with the section, without setting anything: values that
// do not parse, numbers outside the parameter's range and keys that name no parameter.
void CheckBlockSection(const IniHandler& ini, std::string_view section, IParamBlock2& block,
                       KvxProblems& problems) {
    const ParamBlockDesc2* desc = block.GetDesc();
    std::set<std::string> known;
    for (int i = 0; i < desc->Count(); ++i) {
        const ParamDef& def = desc->GetParamDefByIndex(i);
        const std::string& key = def.internalName;
        const size_t before = ini.ParseErrors().size();
        switch (KindOf(def)) {
            case Kind::kInt: {
                known.insert(key);
                int32_t value = 0;
                if (KvrnIni::ReadInt(ini, section, key, value) && def.type == ParamType::Int)
                    CheckRange(def, float(value), section, key, &problems);
                break;
            }
            case Kind::kFloat: {
                known.insert(key);
                float value = 0.0f;
                if (KvrnIni::ReadFloat(ini, section, key, value))
                    CheckRange(def, value, section, key, &problems);
                break;
            }
            case Kind::kColor: {
                known.insert(key);
                std::array<float, 3> c{};
                KvrnIni::ReadVector(ini, section, key, c);
                break;
            }
            case Kind::kNode:
                known.insert(key);
                break;
            case Kind::kIntTable: {
                known.insert(TabNumKey(key));
                int32_t n = 0;
                if (!KvrnIni::ReadInt(ini, section, TabNumKey(key), n)) break;
                if (n < 0 || n > kMaxTableCount) {
                    problems.Add(section, TabNumKey(key),
                                 "table size " + std::to_string(n) + " out of range 0 to " +
                                     std::to_string(kMaxTableCount));
                    break;
                }
                for (int e = 0; e < n; ++e) {
                    known.insert(TabKey(key, e));
                    int32_t value = 0;
                    const size_t at = ini.ParseErrors().size();
                    KvrnIni::ReadInt(ini, section, TabKey(key, e), value);
                    ReportParse(ini, at, &problems);
                }
                break;
            }
            case Kind::kNone:
                break;
        }
        ReportParse(ini, before, &problems);
    }
    // Keys nobody reads are most likely misspelt names.
    const auto* mem = dynamic_cast<const MemIniHandler*>(&ini);
    if (!mem) return;
    if (const MemIniHandler::Section* s = mem->FindSection(section)) {
        for (const auto& pair : s->pairs) {
            if (!known.count(pair.first))
                problems.Add(section, pair.first,
                             "no parameter of that name in block '" + desc->InternalName() + "'");
        }
    }
}

}  // namespace

namespace {

bool IsNamed(ReferenceTarget* object) {
    const SClass_ID sc = object->SuperClassID();
    return sc == MATERIAL_CLASS_ID || sc == TEXMAP_CLASS_ID;
}

// Line sets, brushes and brush details are saved; everything else (blocks, reductions, curves,
// maps) is not an instance.
bool IsInstanceClass(ReferenceTarget* object) {
    if (AsLineset(object) || AsBrush(object)) return true;
    return object->SuperClassID() == TEXMAP_CLASS_ID &&
           object->ClassID() == KVRN_BRUSH_DETAIL_CLASS_ID;
}

void CollectInstances(ReferenceTarget* object, std::vector<ReferenceTarget*>& instances) {
    if (!object || !IsInstanceClass(object)) return;
    for (ReferenceTarget* known : instances)
        if (known == object) return;
    instances.push_back(object);
    for (int j = 0; j < object->NumRefs(); ++j)
        CollectInstances(object->GetReference(j), instances);
}

std::string InstanceSection(int i) { return "Instance" + std::to_string(i); }
std::string BlockSection(const std::string& s, int b) { return s + " PB" + std::to_string(b); }
std::string CurveSection(const std::string& s, int c) { return s + " CC" + std::to_string(c); }

// The first curve of each curve-control reference, in reference order.
std::vector<ICurve*> CurvesOf(ReferenceTarget* object) {
    std::vector<ICurve*> curves;
    for (int j = 0; j < object->NumRefs(); ++j) {
        auto* control = dynamic_cast<ICurveCtl*>(object->GetReference(j));
        if (control) curves.push_back(control->GetControlCurve(0));
    }
    return curves;
}

}  // namespace

void WriteLineSettings(KvrnLineset& set, MemIniHandler& ini) {
    std::vector<ReferenceTarget*> instances;
    CollectInstances(&set, instances);
    KvrnIni::WriteInt(ini, "Params", "NumInstance", int32_t(instances.size()));
    for (size_t i = 0; i < instances.size(); ++i) {
        ReferenceTarget* object = instances[i];
        const std::string s = InstanceSection(int(i));
        KvrnIni::WriteUnsigned(ini, s, "SClass_ID", object->SuperClassID());
        KvrnIni::WriteClassId(ini, s, "Class_ID", object->ClassID().PartA(),
                              object->ClassID().PartB());
        for (int j = 0; j < object->NumRefs(); ++j) {
            ReferenceTarget* ref = object->GetReference(j);
            for (size_t k = 0; ref && k < instances.size(); ++k)
                if (instances[k] == ref)
                    KvrnIni::WriteInt(ini, s, "SubInstance" + std::to_string(j), int32_t(k));
        }
        if (IsNamed(object))
            if (auto* named = dynamic_cast<MtlBase*>(object))
                ini.WriteString(s, "Name", named->GetName());
        for (int b = 0; b < object->NumParamBlocks(); ++b)
            KvrnLineIni::WriteParamBlockSection(ini, BlockSection(s, b), *object->GetParamBlock(b));
        const std::vector<ICurve*> curves = CurvesOf(object);
        for (size_t c = 0; c < curves.size(); ++c)
            if (curves[c]) KvrnLineIni::WriteCurveSection(ini, CurveSection(s, int(c)), *curves[c]);
    }
}

bool ReadLineSettings(KvrnLineset& set, const MemIniHandler& ini, KvxProblems* problems) {
    int32_t count = 0;
    const size_t before = ini.ParseErrors().size();
    if (!KvrnIni::ReadInt(ini, "Params", "NumInstance", count)) {
        ReportParse(ini, before, problems);
        if (problems) problems->Add("Params", "NumInstance", "missing");
        return false;
    }
    if (count < 0 || count > kMaxTableCount) {
        if (problems)
            problems->Add("Params", "NumInstance",
                          "count " + std::to_string(count) + " out of range");
        return false;
    }
    // The new objects stay alive through `created` until they are linked in; set itself is not
    // held here (it may belong to a caller that never put it into a reference).
    std::vector<ReferenceTarget*> instances(size_t(count), nullptr);
    std::vector<RefPtr<ReferenceTarget>> created;
    for (int32_t i = 0; i < count; ++i) {
        const std::string s = InstanceSection(i);
        uint32_t superClass = 0, partA = 0, partB = 0;
        const size_t at = ini.ParseErrors().size();
        const bool hasClass = KvrnIni::ReadUnsigned(ini, s, "SClass_ID", superClass) &
                              KvrnIni::ReadClassId(ini, s, "Class_ID", partA, partB);
        ReportParse(ini, at, problems);
        if (i == 0) {
            instances[0] = &set;
        } else {
            instances[size_t(i)] = ClassDirectory::Instance().CreateInstance(
                superClass, Class_ID(partA, partB), false);
            created.emplace_back(instances[size_t(i)]);
            if (!instances[size_t(i)]) {
                if (problems)
                    problems->Add(s, hasClass ? "Class_ID" : "SClass_ID",
                                  hasClass ? "no class of that identity" : "missing");
                continue;
            }
        }
        ReferenceTarget* object = instances[size_t(i)];
        std::string name;
        if (IsNamed(object) && KvrnIni::ReadText(ini, s, "Name", name, kNameLength - 1))
            if (auto* named = dynamic_cast<MtlBase*>(object)) named->SetName(name);
        for (int b = 0; b < object->NumParamBlocks(); ++b) {
            IParamBlock2& block = *object->GetParamBlock(b);
            if (problems) CheckBlockSection(ini, BlockSection(s, b), block, *problems);
            KvrnLineIni::ReadParamBlockSection(ini, BlockSection(s, b), block);
        }
        const std::vector<ICurve*> curves = CurvesOf(object);
        for (size_t c = 0; c < curves.size(); ++c) {
            if (!curves[c]) continue;
            const size_t curveAt = ini.ParseErrors().size();
            KvrnLineIni::ReadCurveSection(ini, CurveSection(s, int(c)), *curves[c]);
            ReportParse(ini, curveAt, problems);
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        ReferenceTarget* object = instances[size_t(i)];
        if (!object) continue;
        const std::string s = InstanceSection(i);
        for (int j = 0; j < object->NumRefs(); ++j) {
            int32_t k = 0;
            const std::string key = "SubInstance" + std::to_string(j);
            const size_t at = ini.ParseErrors().size();
            if (!KvrnIni::ReadInt(ini, s, key, k)) {
                ReportParse(ini, at, problems);
                continue;
            }
            if (k < 0 || k >= count) {
                if (problems)
                    problems->Add(s, key,
                                  "instance " + std::to_string(k) + " out of range 0 to " +
                                      std::to_string(count - 1));
                continue;
            }
            if (instances[size_t(k)]) object->ReplaceReference(j, instances[size_t(k)]);
        }
    }
    return true;
}

void SaveLineSettings(KvrnLineset* set, const std::filesystem::path& path) {
    if (set && !path.empty()) SaveLineSettingsChecked(*set, path);
}

void LoadLineSettings(KvrnLineset* set, const std::filesystem::path& path) {
    if (!set || path.empty()) return;
    MemIniHandler ini;
    if (!ini.Load(path)) return;
    ReadLineSettings(*set, ini);
}

std::string SaveLineSettingsChecked(KvrnLineset& set, const std::filesystem::path& path) {
    MemIniHandler ini;
    WriteLineSettings(set, ini);
    if (path.empty() || !ini.Save(path)) return path.string() + ": cannot be written";
    return std::string();
}

std::string LoadLineSettingsChecked(KvrnLineset& set, const std::filesystem::path& path) {
    KvxProblems problems(path);
    std::error_code error;
    if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
        problems.Add({}, {}, "no such file");
        return problems.First();
    }
    MemIniHandler ini;
    ini.Load(path);
    {
        // A dry run into a scratch line set finds every problem without touching set.
        theHold.Suspend();
        RefPtr<ReferenceTarget> scratch = GetKvrnLinesetDesc()->Create(true);
        GetKvrnLinesetDesc()->MakeAutoParamBlocks(scratch.get());
        ReadLineSettings(*AsLineset(scratch.get()), ini, &problems);
        theHold.Resume();
        if (!problems.Empty()) return problems.First();
    }
    theHold.Begin();
    ReadLineSettings(set, ini);
    theHold.Accept(KvrnHost::GetStringOrEmpty(kParamChangeLabel));
    return std::string();
}
