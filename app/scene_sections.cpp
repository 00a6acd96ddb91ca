#include "scene_sections.h"

#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace KvrnApp {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kTicksPerSecond = 4800;
// Far beyond any animation, small enough that frame * ticks per frame stays in a tick count.
constexpr int64_t kMaxFrame = 1000000;

[[noreturn]] void Fail(const SectionFail& fail, const std::string& where, const std::string& what) {
    fail(where, what);
    throw std::logic_error(where + ": " + what);  // fail always throws
}

std::string Child(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}
std::string Element(const std::string& path, size_t i) {
    return path + "[" + std::to_string(i) + "]";
}

const Json& ObjectAt(const Json& value, const std::string& where, const SectionFail& fail) {
    if (!value.is_object()) Fail(fail, where, "expected an object { ... }");
    return value;
}

int32_t Frame(const Json& value, const std::string& where, const SectionFail& fail) {
    if (!value.is_number_integer())
        Fail(fail, where, "expected a whole frame number, got " + value.dump());
    const int64_t frame = value.get<int64_t>();
    if (frame < -kMaxFrame || frame > kMaxFrame)
        Fail(fail, where, value.dump() + " is out of range -1000000 to 1000000");
    return int32_t(frame);
}

std::string NonEmptyString(const Json& value, const std::string& where, const SectionFail& fail) {
    if (!value.is_string() || value.get<std::string>().empty())
        Fail(fail, where, "expected a non-empty string, got " + value.dump());
    return value.get<std::string>();
}

void ReadKeys(const Json& keys, const std::string& where, std::vector<std::string> path,
              const AnimationDesc& animation, const SectionFail& fail,
              std::vector<TrackDesc>& out) {
    if (!keys.is_array() || keys.empty())
        Fail(fail, where, "expected an array of [frame, value] keys");
    TrackDesc track;
    track.where = where;
    track.path = std::move(path);
    std::set<int32_t> frames;
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string at = Element(where, i);
        const Json& key = keys[i];
        if (!key.is_array() || key.size() != 2) Fail(fail, at, "expected [frame, value]");
        const int32_t frame = Frame(key[0], at, fail);
        if (frame < animation.start || frame > animation.end) {
            Fail(fail, at,
                 "frame " + std::to_string(frame) + " is outside the animation's frames " +
                     std::to_string(animation.start) + " to " + std::to_string(animation.end));
        }
        if (!frames.insert(frame).second)
            Fail(fail, at, "frame " + std::to_string(frame) + " has a key already");
        track.keys.emplace_back(frame, key[1].dump());
    }
    out.push_back(std::move(track));
}

}  // namespace

AnimationDesc ReadAnimation(const Json& value, const std::string& where, const SectionFail& fail) {
    ObjectAt(value, where, fail);
    AnimationDesc animation;
    for (const auto& [key, item] : value.items()) {
        const std::string at = Child(where, key);
        if (key == "frameRate") {
            const int32_t rate = Frame(item, at, fail);
            if (rate < 1 || kTicksPerSecond % rate != 0)
                Fail(fail, at, std::to_string(rate) + " must divide 4800 (24, 25, 30, 60 ...)");
            animation.frameRate = rate;
        } else if (key == "start") {
            animation.start = Frame(item, at, fail);
        } else if (key == "end") {
            animation.end = Frame(item, at, fail);
        } else {
            Fail(fail, at, "unknown key");
        }
    }
    if (animation.end < animation.start) {
        Fail(fail, where,
             "end " + std::to_string(animation.end) + " is before start " +
                 std::to_string(animation.start) + ": the frame range is reversed");
    }
    return animation;
}

std::vector<TrackDesc> ReadTracks(const Json& value, const std::string& where,
                                  const AnimationDesc& animation, const SectionFail& fail) {
    ObjectAt(value, where, fail);
    std::vector<TrackDesc> tracks;
    static const std::set<std::string> kNamed = {"objects",   "brushes", "linesets",
                                                 "materials", "maps",    "lights"};
    for (const auto& [section, body] : value.items()) {
        const std::string at = Child(where, section);
        ObjectAt(body, at, fail);
        if (section == "camera" || section == "line") {
            for (const auto& [param, keys] : body.items())
                ReadKeys(keys, Child(at, param), {section, param}, animation, fail, tracks);
        } else if (kNamed.contains(section)) {
            for (const auto& [name, params] : body.items()) {
                const std::string named = Child(at, name);
                ObjectAt(params, named, fail);
                for (const auto& [param, keys] : params.items()) {
                    ReadKeys(keys, Child(named, param), {section, name, param}, animation, fail,
                             tracks);
                }
            }
        } else {
            Fail(fail, at,
                 "unknown section (expected objects, camera, line, brushes, linesets, "
                 "materials, maps or lights)");
        }
    }
    return tracks;
}

std::vector<ClassedDesc> ReadClassedSection(const Json& value, const std::string& where,
                                            const SectionFail& fail) {
    ObjectAt(value, where, fail);
    std::vector<ClassedDesc> out;
    for (const auto& [name, body] : value.items()) {
        const std::string at = Child(where, name);
        if (name.empty()) Fail(fail, where, "a name must not be empty");
        ObjectAt(body, at, fail);
        if (!body.contains("class")) Fail(fail, at, "needs a \"class\"");
        ClassedDesc desc;
        desc.where = at;
        desc.name = name;
        desc.className = NonEmptyString(body["class"], Child(at, "class"), fail);
        Json params = body;
        params.erase("class");
        desc.paramsJson = params.dump();
        out.push_back(std::move(desc));
    }
    return out;
}

std::vector<EffectDesc> ReadEffects(const Json& value, const std::string& where,
                                    const SectionFail& fail) {
    if (!value.is_array()) Fail(fail, where, "expected an array of effects");
    std::vector<EffectDesc> effects;
    bool lines = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const std::string at = Element(where, i);
        const Json& body = ObjectAt(value[i], at, fail);
        if (!body.contains("type"))
            Fail(fail, at, "needs a \"type\" (\"lines\" or \"fileOutput\")");
        const std::string type = NonEmptyString(body["type"], Child(at, "type"), fail);
        EffectDesc effect;
        effect.where = at;
        Json params = body;
        params.erase("type");
        if (type == "lines") {
            effect.kind = EffectDesc::Kind::kLines;
            if (params.contains("name")) {
                effect.name = NonEmptyString(params["name"], Child(at, "name"), fail);
                params.erase("name");
            }
            // Settings of its own make another line effect; without, it is the scene's.
            if (params.empty()) {
                if (lines) Fail(fail, at, "the scene's line effect is in the list already");
                lines = true;
            } else {
                effect.paramsJson = params.dump();
            }
        } else if (type == "fileOutput") {
            effect.kind = EffectDesc::Kind::kFileOutput;
            if (!params.contains("fileName"))
                Fail(fail, at, "needs a \"fileName\" (\"####\" takes the frame number)");
            NonEmptyString(params["fileName"], Child(at, "fileName"), fail);
            if (params.contains("fileType")) {
                const Json& fileType = params["fileType"];
                const std::string typeAt = Child(at, "fileType");
                if (fileType == "ai") {
                    params["fileType"] = 0;
                } else if (fileType == "eps") {
                    params["fileType"] = 1;
                } else {
                    Fail(fail, typeAt, "expected \"eps\" or \"ai\", got " + fileType.dump());
                }
            }
            effect.paramsJson = params.dump();
        } else {
            Fail(fail, Child(at, "type"),
                 "\"" + type + "\" is not one of \"lines\", \"fileOutput\"");
        }
        effects.push_back(std::move(effect));
    }
    if (!lines) effects.insert(effects.begin(), EffectDesc{});
    return effects;
}

std::vector<RenderElementDesc> ReadRenderElements(const Json& value, const std::string& where,
                                                  const SectionFail& fail) {
    if (!value.is_array()) Fail(fail, where, "expected an array of render elements");
    std::vector<RenderElementDesc> elements;
    std::set<std::string> names;
    for (size_t i = 0; i < value.size(); ++i) {
        const std::string at = Element(where, i);
        const Json& body = ObjectAt(value[i], at, fail);
        RenderElementDesc element;
        element.element.where = at;
        if (!body.contains("class")) Fail(fail, at, "needs a \"class\" (\"line\")");
        element.element.className = NonEmptyString(body["class"], Child(at, "class"), fail);
        if (!body.contains("name")) Fail(fail, at, "needs a \"name\" (its layer name)");
        element.element.name = NonEmptyString(body["name"], Child(at, "name"), fail);
        if (!names.insert(element.element.name).second)
            Fail(fail, Child(at, "name"), "\"" + element.element.name + "\" is used already");
        Json params = body;
        params.erase("class");
        params.erase("name");
        if (params.contains("png")) {
            element.png = NonEmptyString(params["png"], Child(at, "png"), fail);
            params.erase("png");
        }
        element.element.paramsJson = params.dump();
        elements.push_back(std::move(element));
    }
    return elements;
}

}  // namespace KvrnApp
