// Texture maps: named targets with sub-maps and a validity interval.
#pragma once

#include "mtl.h"

class Texmap : public MtlBase {
  public:
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    virtual int NumSubTexmaps() { return 0; }
    virtual Texmap* GetSubTexmap(int /*i*/) { return nullptr; }
    virtual void SetSubTexmap(int /*i*/, Texmap* /*map*/) {}
    // Times around t over which the map's output stays the same.
    virtual Interval Validity(TimeValue /*t*/) { return FOREVER; }
};
