// Names of the drawing resources that the draw settings hold by shared pointer: texture maps and
// curves (texmap_context.h), reduction by distance, and the render-element outputs.
#pragma once

namespace KvrnLib {

class TexmapInterface;
class CurveInterface;
class TexmapContext3D;
struct ReductionSettings;
struct RenderElementOutputSettings;

}  // namespace KvrnLib
