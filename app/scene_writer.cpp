#include "scene_writer.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "brush.h"
#include "brush_detail.h"
#include "curve_ctl.h"
#include "kvrn_line.h"
#include "line_reduction.h"
#include "lineset.h"
#include "param_json.h"
#include "poly_mesh.h"

namespace KvrnApp {

namespace {

using Json = nlohmann::json;

// Keys of a block that a scene file does not hold: references the scene file states in its own
// way (the detail, maps, the line-set table, objects and materials) and editor state.
const std::set<std::string> kNotInSceneFiles = {"detail",
                                                "colorMap",
                                                "sizeMap",
                                                "map",
                                                "noiseMap",
                                                "dialogOpen",
                                                "detailDialogOpen",
                                                "linesets",
                                                "objects",
                                                "mtls",
                                                "RenderElementOnly",
                                                "animationEnable",
                                                "animationInterval",
                                                "animationMotionOnly"};

// A block's parameters as scene keys, merged into `out`; booleans stay booleans.
void AddBlock(IParamBlock2& block, Json& out) {
    const Json values = BlockToJson(block, 0);
    for (const auto& [key, value] : values.items())
        if (!kNotInSceneFiles.contains(key)) out[key] = value;
}

Json CurveToJson(const ICurve& curve) {
    Json points = Json::array();
    for (int i = 0; i < curve.GetNumPts(); ++i) {
        const CurvePoint p = curve.GetPoint(i);
        points.push_back(
            {{"x", p.p.x}, {"y", p.p.y}, {"in", {p.in.x, p.in.y}}, {"out", {p.out.x, p.out.y}}});
    }
    return points;
}

Json BrushToJson(KvrnBrush& brush) {
    Json out = Json::object();
    AddBlock(*brush.Params(), out);
    if (KvrnBrushDetail* detail = brush.Detail()) {
        Json d = Json::object();
        for (int b = 0; b < kDetailBlockCount; ++b)
            AddBlock(*detail->Block(BrushDetailBlock(b)), d);
        if (detail->SizeCurve()->GetNumPts() >= 2)
            d["sizeCurve"] = CurveToJson(*detail->SizeCurve());
        if (detail->AlphaCurve()->GetNumPts() >= 2)
            d["alphaCurve"] = CurveToJson(*detail->AlphaCurve());
        out["detail"] = d;
    }
    return out;
}

Json ReductionToJson(KvrnLineReduction& reduction) {
    Json out = Json::object();
    AddBlock(*reduction.Params(), out);
    if (out.contains("objectNode") && out["objectNode"].is_null()) out.erase("objectNode");
    if (reduction.Curve() && reduction.Curve()->GetNumPts() >= 2)
        out["curve"] = CurveToJson(*reduction.Curve());
    return out;
}

std::vector<KvrnLineset*> LineSetsOf(KvrnLine& line) {
    std::vector<KvrnLineset*> sets;
    for (int i = 0; i < line.NumLineSets(); ++i)
        if (KvrnLineset* set = line.GetLineSet(i)) sets.push_back(set);
    return sets;
}

// Names for the brushes written under "brushes": those the scene file named, and any other
// brush held by more than one slot. A reader makes named brushes first (in name order) and the
// others as it meets them slot by slot, so writing every other brush in its slot keeps the
// order of edge groups, and with it the drawing, of the original.
std::map<KvrnBrush*, std::string> NameBrushes(KvrnLine& line, const SceneLineObjects& objects) {
    std::map<KvrnBrush*, int> uses;
    for (KvrnLineset* set : LineSetsOf(line))
        for (int v = 0; v < 2; ++v)
            for (int slot = 0; slot < KvrnLineset::kFilledBrushSlots; ++slot)
                if (KvrnBrush* brush = set->BrushInSlot(v, slot)) ++uses[brush];
    std::map<KvrnBrush*, std::string> names;
    std::set<std::string> used;
    for (const auto& [brush, count] : uses) {
        if (objects.IsNamedBrush(brush)) {
            names.emplace(brush, brush->GetName());
            used.insert(brush->GetName());
        }
    }
    for (const auto& [brush, count] : uses) {
        if (count < 2 || names.contains(brush)) continue;
        std::string name = brush->GetName().empty() ? "Brush" : brush->GetName();
        for (int n = 2; used.contains(name); ++n)
            name = brush->GetName() + " (" + std::to_string(n) + ")";
        used.insert(name);
        names.emplace(brush, name);
    }
    return names;
}

Json ObjectsOfModelJob(const SceneDescription& description) {
    Json objects = Json::array();
    for (const ObjectDesc& object : description.objects) {
        Json o = {{"name", object.name}};
        if (object.source == ObjectSource::kBuiltin) {
            o["builtin"] = object.builtin;
        } else {
            o["file"] = std::filesystem::absolute(object.file).string();
            if (object.up != UpAxis::kFormatDefault) o["up"] = object.up == UpAxis::kY ? "y" : "z";
            if (object.weld >= 0.0f) o["weld"] = object.weld;
        }
        objects.push_back(o);
    }
    return objects;
}

}  // namespace

Json ReadSceneJson(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return Json::parse(text.str(), nullptr, true, true);
    } catch (const Json::exception& e) {
        throw InputError(path + ": " + e.what());
    }
}

Json SceneToJson(const SceneDescription& description, SceneLineObjects& objects,
                 const Json* original) {
    Json scene = Json::object();
    if (original) {
        if (original->contains("camera")) scene["camera"] = (*original)["camera"];
        Json list = original->value("objects", Json::array());
        // Model paths as the reader resolved them, so the file may be saved anywhere.
        for (size_t i = 0; i < list.size() && i < description.objects.size(); ++i)
            if (list[i].is_object() && list[i].contains("file"))
                list[i]["file"] = std::filesystem::absolute(description.objects[i].file).string();
        scene["objects"] = list;
    } else {
        scene["camera"] = {{"width", description.camera.width},
                           {"height", description.camera.height}};
        scene["objects"] = ObjectsOfModelJob(description);
    }

    KvrnLine& line = objects.Line();
    AddBlock(*line.MainBlock(), scene);

    const std::map<KvrnBrush*, std::string> names = NameBrushes(line, objects);
    Json brushes = Json::object();
    for (const auto& [brush, name] : names) brushes[name] = BrushToJson(*brush);
    scene["brushes"] = brushes;

    Json sets = Json::array();
    for (KvrnLineset* set : LineSetsOf(line)) {
        Json s = Json::object();
        AddBlock(*set->MainBlock(), s);
        Json members = Json::array();
        for (INode* node : set->Objects())
            if (node) members.push_back(node->GetName());
        s["objects"] = members;
        for (int v = 0; v < 2; ++v) {
            const std::string suffix = v == 0 ? "" : "_Hidden";
            AddBlock(*set->EdgeBlock(v), s);
            AddBlock(*set->DampBlock(v), s);
            for (int slot = 0; slot < kBrushSlotCount; ++slot) {
                KvrnBrush* brush = set->BrushInSlot(v, slot);
                const auto named = brush ? names.find(brush) : names.end();
                s[kBrushSlotNames[size_t(slot)] + suffix] = !brush ? Json(nullptr)
                                                            : named != names.end()
                                                                ? Json(named->second)
                                                                : BrushToJson(*brush);
            }
            for (int kind = 0; kind < 2; ++kind)
                if (KvrnLineReduction* reduction = set->Reduction(v, kind))
                    s[(kind == 0 ? "sizeReduction" : "alphaReduction") + suffix] =
                        ReductionToJson(*reduction);
        }
        sets.push_back(s);
    }
    scene["linesets"] = sets;
    // The frame pipeline's sections as the file gave them: maps, materials, lights, shading,
    // animation, keys, the effects list and the render elements are not settings objects the run
    // changes.
    if (original) {
        for (const char* key : {"maps", "materials", "lights", "shading", "animation", "keys",
                                "effects", "renderElements"})
            if (original->contains(key)) scene[key] = (*original)[key];
    }
    return scene;
}

}  // namespace KvrnApp
