#include "pb_section.h"

#include <string>
#include <vector>

#include "ini_values.h"
#include "node.h"

namespace KvrnLineIni {

namespace {

bool IsIntKind(ParamType type) { return type == ParamType::Int || type == ParamType::Bool; }

bool TakesPart(const ParamDef& def, const ParamFilter& filter) {
    if (filter && !filter(def.id)) return false;
    if (def.table) return IsIntKind(def.type);
    return IsIntKind(def.type) || def.type == ParamType::Float || def.type == ParamType::Color ||
           def.type == ParamType::Node;
}

std::string TableCountKey(const std::string& key) { return key + "_tabnum"; }
std::string TableElementKey(const std::string& key, int i) {
    return key + "_tab" + std::to_string(i);
}

bool WriteParam(IniHandler& ini, std::string_view section, const std::string& key,
                IParamBlock2& block, const ParamDef& def, TimeValue t) {
    using namespace KvrnIni;
    if (def.table) {
        const int count = block.Count(def.id);
        bool ok = WriteInt(ini, section, TableCountKey(key), count);
        for (int i = 0; i < count; ++i)
            ok = WriteInt(ini, section, TableElementKey(key, i), block.GetInt(def.id, t, i)) && ok;
        return ok;
    }
    switch (def.type) {
        case ParamType::Int:
        case ParamType::Bool:
            return WriteInt(ini, section, key, block.GetInt(def.id, t));
        case ParamType::Float:
            return WriteFloat(ini, section, key, block.GetFloat(def.id, t));
        case ParamType::Color: {
            const Color c = block.GetColor(def.id, t);
            return WriteVector(ini, section, key, {c.r, c.g, c.b});
        }
        case ParamType::Node: {
            INode* node = block.GetINode(def.id, t);
            // An empty value would read back as missing; no node is simply not written.
            return node ? ini.WriteString(section, key, node->GetName()) : true;
        }
        default:
            return true;
    }
}

bool ReadParam(const IniHandler& ini, std::string_view section, const std::string& key,
               IParamBlock2& block, const ParamDef& def, TimeValue t) {
    using namespace KvrnIni;
    if (def.table) {
        int32_t count = 0;
        if (!ReadInt(ini, section, TableCountKey(key), count)) return false;
        if (count < 0) {
            ini.NoteParseError({std::string(section), TableCountKey(key), FormatInt(count),
                                "a table size of 0 or more"});
            return false;
        }
        block.SetCount(def.id, count);
        bool ok = true;
        for (int i = 0; i < count; ++i) {
            int32_t value = 0;
            if (ReadInt(ini, section, TableElementKey(key, i), value))
                block.SetValue(def.id, t, ParamValue(value), i);
            else
                ok = false;
        }
        return ok;
    }
    switch (def.type) {
        case ParamType::Int:
        case ParamType::Bool: {
            int32_t value = 0;
            if (!ReadInt(ini, section, key, value)) return false;
            block.SetValue(def.id, t, ParamValue(int(value)));
            return true;
        }
        case ParamType::Float: {
            float value = 0.0f;
            if (!ReadFloat(ini, section, key, value)) return false;
            block.SetValue(def.id, t, ParamValue(value));
            return true;
        }
        case ParamType::Color: {
            std::array<float, 3> value{};
            if (!ReadVector(ini, section, key, value)) return false;
            block.SetValue(def.id, t, ParamValue(Color(value[0], value[1], value[2])));
            return true;
        }
        case ParamType::Node: {
            std::string name;
            if (!ini.ReadString(section, key, name)) return false;
            INode* node = GetActiveScene().FindNode(name);
            block.SetValue(def.id, t, ParamValue(static_cast<ReferenceTarget*>(node)));
            return true;
        }
        default:
            return true;
    }
}

}  // namespace

bool WriteParamBlockSection(IniHandler& ini, std::string_view section, IParamBlock2& block,
                            std::string_view prefix, const ParamFilter& filter) {
    const TimeValue t = GetCurrentTime();
    const ParamBlockDesc2* desc = block.GetDesc();
    bool ok = true;
    for (int i = 0; i < desc->Count(); ++i) {
        const ParamDef& def = desc->GetParamDefByIndex(i);
        if (!TakesPart(def, filter)) continue;
        ok = WriteParam(ini, section, std::string(prefix) + def.internalName, block, def, t) && ok;
    }
    return ok;
}

bool ReadParamBlockSection(const IniHandler& ini, std::string_view section, IParamBlock2& block,
                           std::string_view prefix, const ParamFilter& filter) {
    const TimeValue t = GetCurrentTime();
    const ParamBlockDesc2* desc = block.GetDesc();
    bool ok = true;
    for (int i = 0; i < desc->Count(); ++i) {
        const ParamDef& def = desc->GetParamDefByIndex(i);
        if (!TakesPart(def, filter)) continue;
        ok = ReadParam(ini, section, std::string(prefix) + def.internalName, block, def, t) && ok;
    }
    return ok;
}

bool WriteCurveSection(IniHandler& ini, std::string_view section, const ICurve& curve,
                       std::string_view prefix) {
    std::vector<KvrnIni::CurvePoint> points;
    for (int i = 0; i < curve.GetNumPts(); ++i) {
        const CurvePoint p = curve.GetPoint(i);
        points.push_back({p.p.x, p.p.y, p.in.x, p.in.y, p.out.x, p.out.y, p.flags});
    }
    return KvrnIni::WriteCurve(ini, section, prefix, points);
}

bool ReadCurveSection(const IniHandler& ini, std::string_view section, ICurve& curve,
                      std::string_view prefix) {
    std::vector<KvrnIni::CurvePoint> points;
    for (int i = 0; i < curve.GetNumPts(); ++i) {
        const CurvePoint p = curve.GetPoint(i);
        points.push_back({p.p.x, p.p.y, p.in.x, p.in.y, p.out.x, p.out.y, p.flags});
    }
    const bool ok = KvrnIni::ReadCurve(ini, section, prefix, points);
    // Whatever the reader got to (count and points up to a missing key) goes into the curve.
    if (int(points.size()) != curve.GetNumPts()) curve.SetNumPts(int(points.size()));
    for (size_t i = 0; i < points.size(); ++i) {
        const KvrnIni::CurvePoint& p = points[i];
        CurvePoint point{{p.px, p.py}, {p.ix, p.iy}, {p.ox, p.oy}, p.flags};
        if (!(curve.GetPoint(int(i)) == point)) curve.SetPoint(int(i), point);
    }
    return ok;
}

}  // namespace KvrnLineIni
