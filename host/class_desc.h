// Class descriptors (how the host names and creates a plug-in class) and the directory the
// host looks classes up in when it loads a file.
#pragma once

#include <string>
#include <vector>

#include "class_id.h"

class ParamBlockDesc2;
class ReferenceMaker;
class ReferenceTarget;

class ClassDesc2 {
  public:
    virtual ~ClassDesc2() = default;

    virtual bool IsPublic() const { return true; }
    // A new object owned by the caller (count 0). loading: the object's state is about to be
    // read from a file, so it may skip building its defaults.
    virtual ReferenceTarget* Create(bool loading = false) = 0;
    virtual std::string ClassName() const = 0;
    virtual SClass_ID SuperClassID() const = 0;
    virtual Class_ID ClassID() const = 0;
    virtual std::string Category() const { return std::string(); }
    virtual std::string InternalName() const { return ClassName(); }

    // Block descriptors of the class, in the order they were declared (a ParamBlockDesc2 made
    // with this descriptor adds itself).
    void AddParamBlockDesc(ParamBlockDesc2* desc);
    int NumParamBlockDescs() const { return static_cast<int>(blockDescs_.size()); }
    ParamBlockDesc2* GetParamBlockDesc(int i) const;
    ParamBlockDesc2* GetParamBlockDescByID(int id) const;

    // Builds every auto-construct block of the class with its current defaults and sets it
    // into owner's reference named by the block descriptor.
    void MakeAutoParamBlocks(ReferenceMaker* owner) const;

  private:
    std::vector<ParamBlockDesc2*> blockDescs_;
};

// Registered class descriptors, looked up by (super class, class ID). The descriptors are
// not owned and must outlive the directory's use of them.
class ClassDirectory {
  public:
    // The process-wide directory.
    static ClassDirectory& Instance();

    // Throws std::invalid_argument when another descriptor has the same identity.
    void Register(ClassDesc2* desc);
    void Unregister(ClassDesc2* desc);
    ClassDesc2* Find(SClass_ID superClass, Class_ID classId) const;
    // A new object of that class, or null when the class is not registered.
    ReferenceTarget* CreateInstance(SClass_ID superClass, Class_ID classId,
                                    bool loading = true) const;
    int Count() const { return static_cast<int>(descs_.size()); }
    ClassDesc2* Get(int i) const { return descs_.at(i); }

  private:
    std::vector<ClassDesc2*> descs_;
};
