// The frame's lights as the renderer hands them to materials: each light node of the render
// context turned into a LightDesc in camera space, with its attenuation, cone, shadows and
// exclusions read once at the frame's time.
#pragma once

#include <memory>
#include <vector>

#include "light_desc.h"
#include "render.h"

class RenderLight : public LightDesc {
  public:
    // Whether the light illuminates the node's surfaces (its exclude or include list).
    virtual bool Illuminates(const INode* node) const = 0;
    virtual bool CastsShadows() const = 0;
};

// One per light of gc (gc.lights, in order). shadows false turns every light's shadows off.
std::vector<std::unique_ptr<RenderLight>> MakeRenderLights(const RenderGlobalContext& gc,
                                                           bool shadows);
