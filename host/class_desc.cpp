#include "class_desc.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "param_block.h"

void ClassDesc2::AddParamBlockDesc(ParamBlockDesc2* desc) {
    if (desc && std::find(blockDescs_.begin(), blockDescs_.end(), desc) == blockDescs_.end()) {
        blockDescs_.push_back(desc);
    }
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDesc(int i) const {
    if (i < 0 || i >= NumParamBlockDescs()) return nullptr;
    return blockDescs_[i];
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDescByID(int id) const {
    for (ParamBlockDesc2* desc : blockDescs_) {
        if (desc->ID() == id) return desc;
    }
    return nullptr;
}

void ClassDesc2::MakeAutoParamBlocks(ReferenceMaker* owner) const {
    if (!owner) return;
    for (ParamBlockDesc2* desc : blockDescs_) {
        if ((desc->Flags() & P_AUTO_CONSTRUCT) == 0) continue;
        if (owner->ReplaceReference(desc->OwnerRef(), CreateParameterBlock2(desc, owner)) !=
            REF_SUCCEED) {
            throw std::invalid_argument("class '" + ClassName() + "': block '" +
                                        desc->InternalName() + "' names reference " +
                                        std::to_string(desc->OwnerRef()) +
                                        " outside the owner's references");
        }
    }
}

ClassDirectory& ClassDirectory::Instance() {
    static ClassDirectory directory;
    return directory;
}

void ClassDirectory::Register(ClassDesc2* desc) {
    if (!desc) return;
    ClassDesc2* existing = Find(desc->SuperClassID(), desc->ClassID());
    if (existing == desc) return;
    if (existing) {
        char id[64];
        std::snprintf(id, sizeof(id), "(0x%08X, 0x%08X)", desc->ClassID().PartA(),
                      desc->ClassID().PartB());
        throw std::invalid_argument("class '" + desc->ClassName() + "': class ID " + id +
                                    " is already registered by '" + existing->ClassName() + "'");
    }
    descs_.push_back(desc);
}

void ClassDirectory::Unregister(ClassDesc2* desc) {
    descs_.erase(std::remove(descs_.begin(), descs_.end(), desc), descs_.end());
}

ClassDesc2* ClassDirectory::Find(SClass_ID superClass, Class_ID classId) const {
    for (ClassDesc2* desc : descs_) {
        if (desc->SuperClassID() == superClass && desc->ClassID() == classId) return desc;
    }
    return nullptr;
}

ReferenceTarget* ClassDirectory::CreateInstance(SClass_ID superClass, Class_ID classId,
                                                bool loading) const {
    ClassDesc2* desc = Find(superClass, classId);
    return desc ? desc->Create(loading) : nullptr;
}
