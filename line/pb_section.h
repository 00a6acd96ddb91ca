// Parameter blocks and curves written into and read from one profile section, for settings
// files, user defaults and presets. Values are taken and set at the host's current time.
//
// Per parameter, in descriptor order, the key is prefix + internal name: Int and Bool "%d",
// Float "%f", Color "%f %f %f", Node the node's name (read back as the active scene's node of
// that name, none when not found), Int and Bool tables key + "_tabnum" = count and
// key + "_tab" + i = element ("%d"). Every other type (world, percent and angle floats, strings,
// file names, maps, materials, reference targets, points, other tables) is skipped.
#pragma once

#include <functional>
#include <string_view>

#include "curve_ctl.h"
#include "ini_handler.h"
#include "param_block.h"

namespace KvrnLineIni {

// Decides per parameter ID whether it takes part; an empty filter lets every parameter in.
using ParamFilter = std::function<bool(ParamID id)>;

// False when a key could not be written (the others are still written).
bool WriteParamBlockSection(IniHandler& ini, std::string_view section, IParamBlock2& block,
                            std::string_view prefix = {}, const ParamFilter& filter = {});
// A missing or bad key leaves that parameter unchanged and makes the result false; the rest are
// still read. Bad values are noted in ini.ParseErrors(). Undoable when theHold is holding.
bool ReadParamBlockSection(const IniHandler& ini, std::string_view section, IParamBlock2& block,
                           std::string_view prefix = {}, const ParamFilter& filter = {});

// The points of curve under prefix ("%snum", then per point px py ix iy ox oy f).
bool WriteCurveSection(IniHandler& ini, std::string_view section, const ICurve& curve,
                       std::string_view prefix = {});
// Sets the point count, then each point's coordinates with flags 0, then each point's flags;
// stops with false at the first missing key (points already set stay set). Undoable.
bool ReadCurveSection(const IniHandler& ini, std::string_view section, ICurve& curve,
                      std::string_view prefix = {});

}  // namespace KvrnLineIni
