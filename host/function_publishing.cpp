#include "function_publishing.h"

#include <map>
#include <stdexcept>

#include "node.h"

void FPInterface::AppendFunction(FPFunctionDef def) {
    if (GetFunction(def.id) || FindFunction(def.name) >= 0) {
        throw std::invalid_argument("interface '" + internalName_ + "': function ID " +
                                    std::to_string(def.id) + " or name '" + def.name +
                                    "' declared twice");
    }
    functions_.push_back(std::move(def));
}

const FPFunctionDef* FPInterface::GetFunction(FunctionID id) const {
    for (const FPFunctionDef& def : functions_) {
        if (def.id == id) return &def;
    }
    return nullptr;
}

FunctionID FPInterface::FindFunction(const std::string& name) const {
    for (const FPFunctionDef& def : functions_) {
        if (def.name == name) return def.id;
    }
    return -1;
}

namespace {
// Converts arg to the parameter type where the conversion loses nothing.
bool Fit(FPType type, FPValue& arg) {
    FPType given = TypeOf(arg);
    if (given == type) return true;
    if (type == FPType::Float && given == FPType::Int) {
        arg = static_cast<float>(std::get<int>(arg));
        return true;
    }
    if (type == FPType::RefTarg && given == FPType::Node) {
        arg = static_cast<ReferenceTarget*>(std::get<INode*>(arg));
        return true;
    }
    return false;
}
}  // namespace

FPStatus FPInterface::Invoke(FunctionID id, const std::vector<FPValue>& args,
                             FPValue& result) const {
    const FPFunctionDef* def = GetFunction(id);
    if (!def || !def->call) return FPStatus::UnknownFunction;
    if (args.size() != def->params.size()) return FPStatus::BadArguments;
    std::vector<FPValue> checked = args;
    for (size_t i = 0; i < checked.size(); ++i) {
        if (!Fit(def->params[i], checked[i])) return FPStatus::BadArguments;
    }
    result = def->call(checked);
    return FPStatus::Ok;
}

FPStatus FPInterface::Invoke(const std::string& name, const std::vector<FPValue>& args,
                             FPValue& result) const {
    FunctionID id = FindFunction(name);
    if (id < 0 && !GetFunction(id)) return FPStatus::UnknownFunction;
    return Invoke(id, args, result);
}

namespace {
std::map<Interface_ID, FPInterface*>& Registry() {
    static std::map<Interface_ID, FPInterface*> registry;
    return registry;
}
}  // namespace

void RegisterCoreInterface(FPInterface* fpi) {
    if (fpi) Registry()[fpi->GetID()] = fpi;
}

void UnregisterCoreInterface(Interface_ID id) { Registry().erase(id); }

FPInterface* GetCOREInterface(Interface_ID id) {
    auto it = Registry().find(id);
    return it == Registry().end() ? nullptr : it->second;
}
