// Function publishing: interfaces of functions that scripts call by ID or name with typed
// arguments, and the registry of the module's core (static) interfaces.
#pragma once

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "class_id.h"

class INode;
class ReferenceTarget;

using FunctionID = int;

enum class FPType {
    Void,
    Int,
    Float,
    Bool,
    String,
    RefTarg,
    Node,
    IntTab,
    FloatTab,
    RefTargTab,
    NodeTab
};

// A typed argument or result; the alternative's index is its FPType.
using FPValue = std::variant<std::monostate, int, float, bool, std::string, ReferenceTarget*,
                             INode*, std::vector<int>, std::vector<float>,
                             std::vector<ReferenceTarget*>, std::vector<INode*>>;

inline FPType TypeOf(const FPValue& v) { return static_cast<FPType>(v.index()); }

enum class FPStatus { Ok, UnknownFunction, BadArguments };

struct FPFunctionDef {
    FunctionID id = 0;
    std::string name;
    FPType result = FPType::Void;
    std::vector<FPType> params;
    // Called with arguments already checked against params.
    std::function<FPValue(const std::vector<FPValue>&)> call;
};

// Interface flags.
constexpr int FP_MIXIN = 1 << 0;           // implemented by an object, found via GetInterface
constexpr int FP_CORE = 1 << 1;            // registered with the core registry
constexpr int FP_STATIC_METHODS = 1 << 2;  // functions need no object

class FPInterface {
  public:
    FPInterface(Interface_ID id, std::string internalName, int flags = 0)
        : id_(id), internalName_(std::move(internalName)), flags_(flags) {}
    virtual ~FPInterface() = default;

    Interface_ID GetID() const { return id_; }
    const std::string& InternalName() const { return internalName_; }
    int Flags() const { return flags_; }

    // Adds a function; an ID or name used twice throws std::invalid_argument.
    void AppendFunction(FPFunctionDef def);
    int NumFunctions() const { return static_cast<int>(functions_.size()); }
    const FPFunctionDef* GetFunction(FunctionID id) const;
    // ID of the function with that name, or -1.
    FunctionID FindFunction(const std::string& name) const;

    // Checks the arguments (count and types; an int is accepted for a float, a node for a
    // reference target) and calls. result is set only with FPStatus::Ok.
    FPStatus Invoke(FunctionID id, const std::vector<FPValue>& args, FPValue& result) const;
    FPStatus Invoke(const std::string& name, const std::vector<FPValue>& args,
                    FPValue& result) const;

  private:
    Interface_ID id_;
    std::string internalName_;
    int flags_;
    std::vector<FPFunctionDef> functions_;
};

// Interface an object implements itself (its GetInterface returns it).
class FPMixinInterface : public FPInterface {
  public:
    FPMixinInterface(Interface_ID id, std::string internalName, int flags = 0)
        : FPInterface(id, std::move(internalName), flags | FP_MIXIN) {}
};

// Interface of the module as a whole; registered with RegisterCoreInterface.
class FPStaticInterface : public FPInterface {
  public:
    FPStaticInterface(Interface_ID id, std::string internalName, int flags = 0)
        : FPInterface(id, std::move(internalName), flags | FP_CORE | FP_STATIC_METHODS) {}
};

// Registry of core interfaces (not owned). Registering an ID twice replaces the entry.
void RegisterCoreInterface(FPInterface* fpi);
void UnregisterCoreInterface(Interface_ID id);
FPInterface* GetCOREInterface(Interface_ID id);
