// Materials and the named base shared by materials and texture maps.
#pragma once

#include <string>

#include "reference.h"

// A material or texture map: a target with a user-visible name.
class MtlBase : public ReferenceTarget {
  public:
    const std::string& GetName() const { return name_; }
    // Undoable; tells the dependents (REFMSG_NAME_CHANGED).
    void SetName(const std::string& name);

  protected:
    // Clone helper: points each of clone's references at the remapped copy of this object's,
    // copies the name and the base data. clone must have the same references.
    void CloneInto(MtlBase* clone, RemapDir& remap);

  private:
    std::string name_;
};

// Name of a new material ("Material #N") or map ("Map #N"), N running from 1 per kind.
std::string NextMtlBaseName(bool map);

// Requirements bits.
constexpr unsigned MTLREQ_2SIDE = 1u << 0;

class Mtl : public MtlBase {
  public:
    SClass_ID SuperClassID() const override { return MATERIAL_CLASS_ID; }
    // What shading sub-material subMtlNum (-1: the whole material) needs; MTLREQ_2SIDE for
    // faces seen from both sides.
    virtual unsigned Requirements(int /*subMtlNum*/) { return 0; }
    virtual int NumSubMtls() { return 0; }
    virtual Mtl* GetSubMtl(int /*i*/) { return nullptr; }
    virtual void SetSubMtl(int /*i*/, Mtl* /*m*/) {}
};
