// Materials and the named base shared by materials and texture maps.
#pragma once

#include <string>

#include "reference.h"

class ShadeContext;

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

    // Prepares the material (its sub-materials and maps) for rendering at t on the render
    // thread: reads the parameters into a cache and narrows valid to the cache's interval.
    // Throws std::runtime_error naming the material, map or file when it cannot be used. Until
    // the next edit or Update, Shade reads only that cache and may run on many threads at once.
    virtual void Update(TimeValue /*t*/, Interval& /*valid*/) {}
    // Shades sc's sample into sc.out (reset by the renderer before the call). In SCMODE_SHADOW
    // only sc.out.t matters. The default leaves the sample opaque black.
    virtual void Shade(ShadeContext& /*sc*/) {}
    // False when, after Update, no sample of sub-material subMtlNum (-1: any) can let light
    // through: shadow rays then need not shade it.
    virtual bool MayBeTransparent(int /*subMtlNum*/) { return false; }

    // The material effects channel (G-buffer ID) of the material render elements, 0 to 15.
    int GetGBufID() const { return gbufID_; }
    void SetGBufID(int id) { gbufID_ = id; }

  private:
    int gbufID_ = 0;
};
