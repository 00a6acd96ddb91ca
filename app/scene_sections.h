// The scene file's sections for the frame pipeline: the animation's frames, the animation keys,
// materials and maps, the render-effects list and the render elements. Each reader checks the
// section's shape and reports a problem through `fail` (which throws) with its key path; values
// that belong to a class's parameters are checked when the scene is built from them.
#pragma once

#include <filesystem>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "scene_description.h"

namespace KvrnApp {

using SectionFail = std::function<void(const std::string& where, const std::string& what)>;

// {"frameRate": 30, "start": 0, "end": 47}: a rate dividing 4800 ticks a second, end >= start.
AnimationDesc ReadAnimation(const nlohmann::ordered_json& value, const std::string& where,
                            const SectionFail& fail);

// {"objects": {NAME: {PARAM: KEYS}}, "camera": {PARAM: KEYS}, "line": {PARAM: KEYS},
//  "brushes"|"linesets"|"materials"|"maps": {NAME: {PARAM: KEYS}}} where KEYS is an array of
// [frame, value] pairs with frames inside `animation`, each frame at most once.
std::vector<TrackDesc> ReadTracks(const nlohmann::ordered_json& value, const std::string& where,
                                  const AnimationDesc& animation, const SectionFail& fail);

// {NAME: {"class": CLASS, PARAM: VALUE, ...}} in file order.
std::vector<ClassedDesc> ReadClassedSection(const nlohmann::ordered_json& value,
                                            const std::string& where, const SectionFail& fail);

// [{"type": "lines"}, {"type": "fileOutput", "fileName": ..., "fileType": "eps"|"ai", ...}]. The
// scene's line effect appears at most once; without it the list starts with it. A "lines" entry
// with line settings of its own ("brushes", "linesets", the options) is another line effect: its
// settings are left in paramsJson for the scene reader.
std::vector<EffectDesc> ReadEffects(const nlohmann::ordered_json& value, const std::string& where,
                                    const SectionFail& fail);

// [{"class": "line", "name": ..., "png": PATH, PARAM: VALUE, ...}]; names unique.
std::vector<RenderElementDesc> ReadRenderElements(const nlohmann::ordered_json& value,
                                                  const std::string& where,
                                                  const SectionFail& fail);

}  // namespace KvrnApp
