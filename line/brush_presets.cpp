#include "brush_presets.h"

#include <array>
#include <functional>

#include "hold.h"
#include "ini_values.h"
#include "pb_section.h"
#include "platform.h"

namespace KvrnLineIni {

namespace {

constexpr char kBrushSection[] = "brush basic";
constexpr char kDetailSectionPrefix[] = "detail ";

constexpr std::array kStrokePresetBlocks = {kDetailStroke, kDetailNoise, kDetailSizeReduction,
                                            kDetailAlphaReduction, kDetailColorRange};

std::string DetailSection(BrushDetailBlock id) {
    return kDetailSectionPrefix + BrushDetailBlockDesc(id).InternalName();
}

std::string RangeText(const ParamDef& def) {
    if (def.type == ParamType::Int)
        return "a whole number from " + KvrnIni::FormatInt(int32_t(def.rangeMin)) + " to " +
               KvrnIni::FormatInt(int32_t(def.rangeMax));
    return "a number from " + KvrnIni::FormatFloat(def.rangeMin) + " to " +
           KvrnIni::FormatFloat(def.rangeMax);
}

// The value of def in section as a default, or false (bad values noted in ini).
bool ReadDefault(const IniHandler& ini, const std::string& section, const ParamDef& def,
                 ParamValue& value) {
    const std::string& key = def.internalName;
    float number = 0.0f;
    switch (def.type) {
        case ParamType::Int:
        case ParamType::Bool: {
            int32_t i = 0;
            if (!KvrnIni::ReadInt(ini, section, key, i)) return false;
            value = int(i);
            number = float(i);
            break;
        }
        case ParamType::Float: {
            if (!KvrnIni::ReadFloat(ini, section, key, number)) return false;
            value = number;
            break;
        }
        case ParamType::Color: {
            std::array<float, 3> c{};
            if (!KvrnIni::ReadVector(ini, section, key, c)) return false;
            value = Color(c[0], c[1], c[2]);
            return true;
        }
        default:
            return false;
    }
    if (def.type == ParamType::Bool && number != 0.0f && number != 1.0f) {
        ini.NoteParseError({section, key, KvrnIni::FormatInt(int32_t(number)), "0 or 1"});
        return false;
    }
    if (def.hasRange && (number < def.rangeMin || number > def.rangeMax)) {
        std::string text;
        ini.ReadString(section, key, text);
        ini.NoteParseError({section, key, text, RangeText(def)});
        return false;
    }
    return true;
}

void LoadBlockDefaults(const IniHandler& ini, const std::string& section, ParamBlockDesc2& desc) {
    for (int i = 0; i < desc.Count(); ++i) {
        const ParamDef& def = desc.GetParamDefByIndex(i);
        if (def.table) continue;
        ParamValue value;
        if (ReadDefault(ini, section, def, value)) desc.SetDefault(def.id, value);
    }
}

bool ApplyPreset(const MemIniHandler& presets, std::string_view name,
                 const std::function<bool(const std::string&)>& read) {
    const MemIniHandler::Section* section = presets.FindSection(name);
    if (!section) return false;
    theHold.Begin();
    const bool ok = read(section->name);
    theHold.Accept(kParamChangeLabel);
    return ok;
}

}  // namespace

std::filesystem::path BrushDefaultsFile() {
    return KvrnHost::ConfigsFolder() / kBrushDefaultsFileName;
}
std::filesystem::path BrushPresetFile() { return KvrnHost::PresetsFolder() / kBrushPresetFileName; }
std::filesystem::path StrokePresetFile() {
    return KvrnHost::PresetsFolder() / kStrokePresetFileName;
}

bool WriteBrushDefaults(KvrnBrush& brush, const std::filesystem::path& file) {
    MemIniHandler ini;
    if (!ini.Load(file)) return false;
    bool ok = true;
    if (IParamBlock2* block = brush.Params())
        ok = WriteParamBlockSection(ini, kBrushSection, *block) && ok;
    if (KvrnBrushDetail* detail = brush.Detail()) {
        for (int id = 0; id < kDetailBlockCount; ++id) {
            if (IParamBlock2* block = detail->Block(BrushDetailBlock(id)))
                ok = WriteParamBlockSection(ini, DetailSection(BrushDetailBlock(id)), *block) && ok;
        }
    }
    return ini.Save(file) && ok;
}

std::vector<std::string> LoadBrushDefaults(const std::filesystem::path& file) {
    MemIniHandler ini;
    std::vector<std::string> messages;
    if (!ini.Load(file)) return messages;
    LoadBlockDefaults(ini, kBrushSection, BrushBlockDesc());
    for (int id = 0; id < kDetailBlockCount; ++id) {
        LoadBlockDefaults(ini, DetailSection(BrushDetailBlock(id)),
                          BrushDetailBlockDesc(BrushDetailBlock(id)));
    }
    for (const IniParseError& error : ini.ParseErrors())
        messages.push_back(FormatIniParseError(file, error));
    return messages;
}

bool SaveBrushPreset(IniHandler& presets, std::string_view name, KvrnBrushDetail& detail) {
    IParamBlock2* basic = detail.Block(kDetailBasic);
    if (name.empty() || !basic) return false;
    return WriteParamBlockSection(presets, name, *basic);
}

bool SaveStrokePreset(IniHandler& presets, std::string_view name, KvrnBrushDetail& detail) {
    if (name.empty()) return false;
    bool ok = true;
    for (BrushDetailBlock id : kStrokePresetBlocks) {
        IParamBlock2* block = detail.Block(id);
        if (!block) return false;
        ok = WriteParamBlockSection(presets, name, *block) && ok;
    }
    if (ICurve* curve = detail.SizeCurve())
        ok = WriteCurveSection(presets, name, *curve, kSizeCurvePrefix) && ok;
    if (ICurve* curve = detail.AlphaCurve())
        ok = WriteCurveSection(presets, name, *curve, kAlphaCurvePrefix) && ok;
    return ok;
}

bool ApplyBrushPreset(const MemIniHandler& presets, std::string_view name,
                      KvrnBrushDetail& detail) {
    return ApplyPreset(presets, name, [&](const std::string& section) {
        IParamBlock2* basic = detail.Block(kDetailBasic);
        return basic && ReadParamBlockSection(presets, section, *basic);
    });
}

bool ApplyStrokePreset(const MemIniHandler& presets, std::string_view name,
                       KvrnBrushDetail& detail) {
    return ApplyPreset(presets, name, [&](const std::string& section) {
        bool ok = true;
        for (BrushDetailBlock id : kStrokePresetBlocks) {
            IParamBlock2* block = detail.Block(id);
            ok = block && ReadParamBlockSection(presets, section, *block) && ok;
        }
        ICurve* size = detail.SizeCurve();
        ICurve* alpha = detail.AlphaCurve();
        ok = size && ReadCurveSection(presets, section, *size, kSizeCurvePrefix) && ok;
        ok = alpha && ReadCurveSection(presets, section, *alpha, kAlphaCurvePrefix) && ok;
        return ok;
    });
}

}  // namespace KvrnLineIni
