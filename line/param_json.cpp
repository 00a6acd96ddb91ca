#include "param_json.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

#include "mtl.h"
#include "node.h"

namespace {

using nlohmann::json;

// Shortest form ("181", "0.5"), independent of the C locale.
std::string FormatNumber(double v) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof(text), v).ptr;
    return std::string(text, end);
}

// One checked value ready to be stored, or the problem with it.
struct Checked {
    std::vector<ParamValue> values;  // one per element (one for a plain parameter)
    bool table = false;
    std::string error;
};

std::string RangeError(const ParamDef& def, double v) {
    return "value " + FormatNumber(v) + " out of range " + FormatNumber(def.rangeMin) + " to " +
           FormatNumber(def.rangeMax);
}

std::optional<ParamValue> Element(const ParamDef& def, const json& value,
                                  const JsonNameResolver& resolve, std::string& error) {
    switch (def.type) {
        case ParamType::Bool:
            if (value.is_boolean()) return ParamValue(value.get<bool>() ? 1 : 0);
            if (value.is_number_integer() &&
                (value.get<int64_t>() == 0 || value.get<int64_t>() == 1))
                return ParamValue(int(value.get<int64_t>()));
            error = "expected true or false, got " + value.dump();
            return std::nullopt;
        case ParamType::Int: {
            if (!value.is_number_integer()) {
                error = "expected an integer, got " + value.dump();
                return std::nullopt;
            }
            const int64_t v = value.get<int64_t>();
            if ((def.hasRange && (v < def.rangeMin || v > def.rangeMax)) || v < INT32_MIN ||
                v > INT32_MAX) {
                error = RangeError(def, double(v));
                return std::nullopt;
            }
            return ParamValue(int(v));
        }
        case ParamType::Float:
        case ParamType::World:
        case ParamType::Percent:
        case ParamType::Angle: {
            if (!value.is_number() || !std::isfinite(value.get<double>())) {
                error = "expected a number, got " + value.dump();
                return std::nullopt;
            }
            const double v = value.get<double>();
            if (def.hasRange && (v < def.rangeMin || v > def.rangeMax)) {
                error = RangeError(def, v);
                return std::nullopt;
            }
            return ParamValue(float(v));
        }
        case ParamType::Color:
        case ParamType::Point3: {
            bool ok = value.is_array() && value.size() == 3;
            for (size_t i = 0; ok && i < 3; ++i) ok = value[i].is_number();
            if (!ok) {
                error = "expected three numbers, got " + value.dump();
                return std::nullopt;
            }
            const float x = value[0].get<float>(), y = value[1].get<float>(),
                        z = value[2].get<float>();
            if (def.type == ParamType::Color) return ParamValue(Color(x, y, z));
            return ParamValue(Point3(x, y, z));
        }
        case ParamType::String:
            if (value.is_string()) return ParamValue(value.get<std::string>());
            error = "expected a string, got " + value.dump();
            return std::nullopt;
        case ParamType::Node:
        case ParamType::Mtl:
        case ParamType::Texmap:
        case ParamType::RefTarg: {
            if (value.is_null()) return ParamValue(static_cast<ReferenceTarget*>(nullptr));
            if (!value.is_string()) {
                error = "expected an object name, got " + value.dump();
                return std::nullopt;
            }
            ReferenceTarget* target =
                resolve ? resolve(def.type, value.get<std::string>()) : nullptr;
            if (!target) {
                error = "no object named " + value.dump();
                return std::nullopt;
            }
            return ParamValue(target);
        }
        default:
            error = "cannot be set from a scene file";
            return std::nullopt;
    }
}

Checked Check(const ParamDef& def, const json& value, const JsonNameResolver& resolve) {
    Checked checked;
    checked.table = def.table;
    if (def.type == ParamType::Filename) {
        checked.error = "cannot be set from a scene file";
        return checked;
    }
    if (!def.table) {
        if (auto v = Element(def, value, resolve, checked.error)) checked.values.push_back(*v);
        return checked;
    }
    if (!value.is_array()) {
        checked.error = "expected an array, got " + value.dump();
        return checked;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        std::string error;
        auto v = Element(def, value[i], resolve, error);
        if (!v) {
            checked.error = "[" + std::to_string(i) + "]: " + error;
            return checked;
        }
        checked.values.push_back(*v);
    }
    return checked;
}

json ValueToJson(const ParamDef& def, const ParamValue& v) {
    if (def.type == ParamType::Bool) return std::get<int>(v) != 0;
    if (const int* i = std::get_if<int>(&v)) return *i;
    if (const float* f = std::get_if<float>(&v)) return *f;
    if (const Color* c = std::get_if<Color>(&v)) return json::array({c->r, c->g, c->b});
    if (const Point3* p = std::get_if<Point3>(&v)) return json::array({p->x, p->y, p->z});
    if (const std::string* s = std::get_if<std::string>(&v)) return *s;
    ReferenceTarget* target = std::get<ReferenceTarget*>(v);
    if (auto* node = dynamic_cast<INode*>(target)) return node->GetName();
    if (auto* named = dynamic_cast<MtlBase*>(target)) return named->GetName();
    return nullptr;
}

}  // namespace

std::string ApplyJsonToBlock(IParamBlock2& block, const json& object, TimeValue t,
                             const std::string& keyPath, const JsonNameResolver& resolve) {
    if (!object.is_object()) return keyPath + ": expected an object, got " + object.dump();
    const ParamBlockDesc2& desc = *block.GetDesc();
    std::vector<std::pair<const ParamDef*, Checked>> checked;
    for (const auto& [key, value] : object.items()) {
        const ParamDef* def = desc.FindParam(key);
        const std::string path = keyPath.empty() ? key : keyPath + "." + key;
        if (!def) return path + ": no parameter of that name in '" + desc.InternalName() + "'";
        Checked c = Check(*def, value, resolve);
        if (!c.error.empty()) return path + ": " + c.error;
        checked.emplace_back(def, std::move(c));
    }
    for (const auto& [def, c] : checked) {
        if (c.table) {
            block.SetCount(def->id, int(c.values.size()));
            for (size_t i = 0; i < c.values.size(); ++i)
                block.SetValue(def->id, t, c.values[i], int(i));
        } else {
            block.SetValue(def->id, t, c.values.front());
        }
    }
    return std::string();
}

std::string ApplyJsonKeys(IParamBlock2& block, const std::string& name,
                          const std::vector<JsonKey>& keys, const std::string& keyPath) {
    const ParamDef* def = block.GetDesc()->FindParam(name);
    if (!def) return keyPath + ": no parameter of that name";
    if (def->table || !def->Animatable()) return keyPath + ": the parameter is not animatable";
    std::vector<ParamValue> values;
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string at = keyPath + "[" + std::to_string(i) + "]";
        json value;
        try {
            value = json::parse(keys[i].value);
        } catch (const json::exception&) {
            return at + ": not a JSON value";
        }
        Checked c = Check(*def, value, {});
        if (!c.error.empty()) return at + ": " + c.error;
        values.push_back(c.values.front());
    }
    const bool animating = IsAnimateOn();
    SetAnimateMode(true);
    for (size_t i = 0; i < keys.size(); ++i) block.SetValue(def->id, keys[i].time, values[i]);
    SetAnimateMode(animating);
    return std::string();
}

json BlockToJson(IParamBlock2& block, TimeValue t) {
    json out = json::object();
    const ParamBlockDesc2& desc = *block.GetDesc();
    for (int i = 0; i < desc.Count(); ++i) {
        const ParamDef& def = desc.GetParamDefByIndex(i);
        if (def.type == ParamType::Filename) continue;
        Interval valid = FOREVER;
        if (def.table) {
            json elements = json::array();
            for (int e = 0; e < block.Count(def.id); ++e) {
                ParamValue v;
                if (block.GetValue(def.id, t, v, valid, e)) elements.push_back(ValueToJson(def, v));
            }
            out[def.internalName] = elements;
        } else {
            ParamValue v;
            if (block.GetValue(def.id, t, v, valid)) out[def.internalName] = ValueToJson(def, v);
        }
    }
    return out;
}
