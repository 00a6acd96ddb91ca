// Scene-file values into parameter blocks and back: a JSON object whose keys are the block's
// internal names. Applying checks everything first and reports the first problem with its key
// path instead of clamping, so a scene file's mistakes surface as clear errors.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "param_block.h"

// Looks a referenced object up by name for a parameter of that type (nodes, materials, maps,
// other targets); null when there is none.
using JsonNameResolver = std::function<ReferenceTarget*(ParamType type, const std::string& name)>;

// Sets every key of object in block at t. Empty on success; otherwise "PATH.key: what" (PATH is
// keyPath) for a key naming no parameter, a value of the wrong JSON type, a number outside the
// parameter's range, a name the resolver does not know (JSON null empties a reference) or a
// file-name parameter (a command, not a value); nothing is set then. Ints and bools take JSON
// integers or booleans; colours and 3-vectors arrays of three numbers; tables arrays.
std::string ApplyJsonToBlock(IParamBlock2& block, const nlohmann::json& object, TimeValue t,
                             const std::string& keyPath, const JsonNameResolver& resolve = {});

// An animation key: a time and its value as JSON text.
struct JsonKey {
    TimeValue time = 0;
    std::string value;
};

// Keys the parameter `name` of block at each key's time, in animate mode. Empty on success;
// otherwise "keyPath[i]: what" for a value ApplyJsonToBlock would refuse, or "keyPath: ..." for a
// parameter that does not exist, is a table or is not animatable; nothing is set then.
std::string ApplyJsonKeys(IParamBlock2& block, const std::string& name,
                          const std::vector<JsonKey>& keys, const std::string& keyPath);

// Every parameter of block at t by internal name: numbers, booleans, strings, [r, g, b], names
// of referenced objects (null when empty), arrays for tables. File-name parameters are commands
// and are left out.
nlohmann::json BlockToJson(IParamBlock2& block, TimeValue t);
