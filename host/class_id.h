// Class identities: a two-part class ID, the super class ID and the interface ID.
#pragma once

#include <compare>
#include <cstdint>

class Class_ID {
  public:
    constexpr Class_ID() = default;
    constexpr Class_ID(uint32_t a, uint32_t b) : a_(a), b_(b) {}
    constexpr uint32_t PartA() const { return a_; }
    constexpr uint32_t PartB() const { return b_; }
    constexpr auto operator<=>(const Class_ID&) const = default;

  private:
    uint32_t a_ = 0;
    uint32_t b_ = 0;
};

using SClass_ID = uint32_t;

constexpr SClass_ID REF_TARGET_CLASS_ID = 0x00000900;
constexpr SClass_ID MATERIAL_CLASS_ID = 0x00000C00;
constexpr SClass_ID TEXMAP_CLASS_ID = 0x00000C10;
constexpr SClass_ID RENDER_EFFECT_CLASS_ID = 0x00000E50;
constexpr SClass_ID CUST_ATTRIB_CLASS_ID = 0x00000C20;
constexpr SClass_ID PARAMETER_BLOCK2_CLASS_ID = 0x00000082;
constexpr SClass_ID BASENODE_CLASS_ID = 0x00000001;
constexpr SClass_ID CURVE_CONTROL_CLASS_ID = 0x00000920;
constexpr SClass_ID GEN_DERIVOB_CLASS_ID = 0x00000002;
constexpr SClass_ID GEOMOBJECT_CLASS_ID = 0x00000010;
constexpr SClass_ID CAMERA_CLASS_ID = 0x00000020;
constexpr SClass_ID LIGHT_CLASS_ID = 0x00000030;
constexpr SClass_ID OSM_CLASS_ID = 0x00000810;  // object-space modifiers

// Identity of a function-publishing interface.
class Interface_ID {
  public:
    constexpr Interface_ID() = default;
    constexpr Interface_ID(uint32_t a, uint32_t b) : a_(a), b_(b) {}
    constexpr uint32_t PartA() const { return a_; }
    constexpr uint32_t PartB() const { return b_; }
    constexpr auto operator<=>(const Interface_ID&) const = default;

  private:
    uint32_t a_ = 0;
    uint32_t b_ = 0;
};
