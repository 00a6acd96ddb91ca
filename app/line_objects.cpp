#include "line_objects.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <numbers>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "brush.h"
#include "brush_detail.h"
#include "class_desc.h"
#include "curve_ctl.h"
#include "kvrn_line.h"
#include "kvx_file.h"
#include "line_classes.h"
#include "line_records.h"
#include "line_reduction.h"
#include "lineset.h"
#include "matrix3.h"
#include "poly_mesh.h"

namespace KvrnApp {

namespace {

void RegisterClassesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterBrushClasses(ClassDirectory::Instance());
        RegisterLineSetClasses(ClassDirectory::Instance());
    });
}

std::string Number(float v) {
    std::ostringstream text;
    text << v;
    return text.str();
}

// Sets a parameter by its internal name. A value outside the parameter's range is refused
// (std::out_of_range naming it) rather than clamped: a scene built in code must not draw other
// values than it states. Any other refusal is a fault here, not bad input.
void Set(IParamBlock2& block, const char* name, ParamValue value) {
    const ParamDef* def = block.GetDesc()->FindParam(name);
    if (def && def->hasRange) {
        const float v = std::holds_alternative<int>(value)     ? float(std::get<int>(value))
                        : std::holds_alternative<float>(value) ? std::get<float>(value)
                                                               : def->rangeMin;
        if (!(v >= def->rangeMin && v <= def->rangeMax))
            throw std::out_of_range(std::string(name) + " = " + Number(v) + ", expected " +
                                    Number(def->rangeMin) + " to " + Number(def->rangeMax));
    }
    if (!block.SetValueByName(name, 0, std::move(value)))
        throw std::logic_error(std::string("line settings: cannot set ") + name);
}
void SetBool(IParamBlock2& block, const char* name, bool on) { Set(block, name, on ? 1 : 0); }

void SetCurve(ICurve& curve, const CurveDesc& desc) {
    curve.SetNumPts(int(desc.points.size()));
    for (size_t i = 0; i < desc.points.size(); ++i) {
        const CurvePointDesc& p = desc.points[i];
        CurvePoint point;
        point.p = {p.x, p.y};
        point.in = {p.inX, p.inY};
        point.out = {p.outX, p.outY};
        point.flags = kCurvePointCornerFlags;
        curve.SetPoint(int(i), point);
    }
}

void FillDetail(KvrnBrushDetail& detail, const BrushDetailDesc& d) {
    IParamBlock2& basic = *detail.Block(kDetailBasic);
    Set(basic, "mapOpacity", d.mapOpacity);
    SetBool(basic, "mapEnable", d.mapEnable);
    Set(basic, "type", d.type);
    Set(basic, "stretch", d.stretch);
    Set(basic, "stretchRnd", d.stretchRnd);
    Set(basic, "angle", d.angle);
    Set(basic, "angleRnd", d.angleRnd);
    Set(basic, "groove", d.groove);
    Set(basic, "grooveNum", d.grooveNum);
    Set(basic, "size", d.size);
    Set(basic, "sizeRnd", d.sizeRnd);
    Set(basic, "anti", d.anti);
    Set(basic, "hSpace", d.hSpace);
    Set(basic, "hSpaceRnd", d.hSpaceRnd);
    Set(basic, "vSpace", d.vSpace);
    Set(basic, "vSpaceRnd", d.vSpaceRnd);
    Set(basic, "reductionStart", d.reductionStart);
    Set(basic, "reductionEnd", d.reductionEnd);

    IParamBlock2& stroke = *detail.Block(kDetailStroke);
    Set(stroke, "strokeType", d.strokeType);
    Set(stroke, "strokeStyle", d.strokeStyle);
    Set(stroke, "strokeLength", d.strokeLength);
    Set(stroke, "strokeLengthRnd", d.strokeLengthRnd);
    Set(stroke, "strokeSizeRnd", d.strokeSizeRnd);
    Set(stroke, "strokeSpace", d.strokeSpace);
    Set(stroke, "strokeSpaceRnd", d.strokeSpaceRnd);
    Set(stroke, "strokeExtend", d.strokeExtend);
    Set(stroke, "strokeeExtendRnd", d.strokeeExtendRnd);
    Set(stroke, "strokeCopy", d.strokeCopy);
    Set(stroke, "strokeCopyRnd", d.strokeCopyRnd);
    Set(stroke, "strokeNormalOffset", d.strokeNormalOffset);
    Set(stroke, "strokeNormalOffsetRnd", d.strokeNormalOffsetRnd);
    Set(stroke, "strokeOffsetX", d.strokeOffsetX);
    Set(stroke, "strokeOffsetXRnd", d.strokeOffsetXRnd);
    Set(stroke, "strokeOffsetY", d.strokeOffsetY);
    Set(stroke, "strokeOffsetYRnd", d.strokeOffsetYRnd);
    Set(stroke, "strokeSplitAngle", d.strokeSplitAngle);
    Set(stroke, "strokeMinLength", d.strokeMinLength);
    Set(stroke, "linkLength", d.linkLength);
    Set(stroke, "strokeDirectionAngle", d.strokeDirectionAngle);
    Set(stroke, "strokeLoopDirection", d.strokeLoopDirection);

    IParamBlock2& noise = *detail.Block(kDetailNoise);
    SetBool(noise, "noiseEnable", d.noiseEnable);
    Set(noise, "noiseMapOpacity", d.noiseMapOpacity);
    SetBool(noise, "noiseMapEnable", d.noiseMapEnable);
    Set(noise, "noiseAmount", d.noiseAmount);
    Set(noise, "noiseAmountRandom", d.noiseAmountRandom);
    Set(noise, "noiseCycle", d.noiseCycle);
    Set(noise, "noiseCycleRandom", d.noiseCycleRandom);
    Set(noise, "noisePhase", d.noisePhase);
    Set(noise, "noisePhaseRandom", d.noisePhaseRandom);

    SetBool(*detail.Block(kDetailSizeReduction), "sizeReductionEnable", d.sizeReductionEnable);
    SetBool(*detail.Block(kDetailAlphaReduction), "alphaReductionEnable", d.alphaReductionEnable);
    SetCurve(*detail.SizeCurve(), d.sizeCurve);
    SetCurve(*detail.AlphaCurve(), d.alphaCurve);

    IParamBlock2& range = *detail.Block(kDetailColorRange);
    Set(range, "colorRangeType", d.colorRangeType);
    Set(range, "colorRangeR", d.colorRangeR);
    Set(range, "colorRangeG", d.colorRangeG);
    Set(range, "colorRangeB", d.colorRangeB);
}

KvrnBrush* MakeBrush(const BrushDesc& desc, int number) {
    KvrnBrush* brush = NewBrush(number);
    if (desc.fresh) return brush;
    if (!desc.name.empty()) brush->SetName(desc.name);
    IParamBlock2& b = *brush->Params();
    Set(b, "color", Color(desc.color[0], desc.color[1], desc.color[2]));
    Set(b, "colorMapOpacity", desc.colorMapOpacity);
    SetBool(b, "colorMapEnable", desc.colorMapEnable);
    Set(b, "blend", desc.blend);
    Set(b, "alpha", desc.alpha);
    Set(b, "size", desc.size);
    Set(b, "sizeMapAmount", desc.sizeMapAmount);
    SetBool(b, "sizeMapEnable", desc.sizeMapEnable);
    FillDetail(*brush->Detail(), desc.detail);
    return brush;
}

// Keys a line set takes from the scene file: all of them, or with a settings file loaded first,
// only those the scene file states.
using GivenKey = std::function<bool(const std::string&)>;

void FillEdges(IParamBlock2& block, IParamBlock2& damp, const EdgeSwitchesDesc& e,
               const std::string& suffix, const GivenKey& given) {
    const auto bit = [&](const char* base, bool on) {
        if (given(base + suffix)) SetBool(block, (base + suffix).c_str(), on);
    };
    const auto number = [&](const char* base, float value) {
        if (given(base + suffix)) Set(block, (base + suffix).c_str(), value);
    };
    bit("edgeOutline", e.edgeOutline);
    bit("openEdgeOutline", e.openEdgeOutline);
    bit("groupOutline", e.groupOutline);
    bit("edgeObject", e.edgeObject);
    bit("openEdgeObject", e.openEdgeObject);
    bit("edgeIsect", e.edgeIsect);
    bit("edgeSelfIsect", e.edgeSelfIsect);
    bit("edgeSmooth", e.edgeSmooth);
    bit("edgeMatID", e.edgeMatID);
    bit("edgeNormal", e.edgeNormal);
    number("edgeNormalMax", e.edgeNormalMax);
    number("edgeNormalMin", e.edgeNormalMin);
    bit("edgeWire", e.edgeWire);
    bit("edgeSel", e.edgeSel);
    bit("specificOutlineEnable", e.specificOutlineEnable);
    bit("specificObjectEnable", e.specificObjectEnable);
    bit("specificIsectEnable", e.specificIsectEnable);
    bit("specificSmoothEnable", e.specificSmoothEnable);
    bit("specificMatIDEnable", e.specificMatIDEnable);
    bit("specificNormalEnable", e.specificNormalEnable);
    bit("specificWireEnable", e.specificWireEnable);
    bit("specificSelEnable", e.specificSelEnable);
    if (given("sizeReductionEnable" + suffix))
        SetBool(damp, ("sizeReductionEnable" + suffix).c_str(), e.sizeReductionEnable);
    if (given("alphaReductionEnable" + suffix))
        SetBool(damp, ("alphaReductionEnable" + suffix).c_str(), e.alphaReductionEnable);
}

void FillReduction(KvrnLineReduction& reduction, const ReductionDesc& desc, const Scene& scene) {
    IParamBlock2& p = *reduction.Params();
    Set(p, "start", desc.start);
    Set(p, "end", desc.end);
    SetBool(p, "objectEnable", desc.objectEnable);
    if (!desc.objectNode.empty()) Set(p, "objectNode", scene.FindNode(desc.objectNode));
    SetCurve(*reduction.Curve(), desc.curve);
}

[[noreturn]] void Fail(const SceneDescription& desc, const std::string& what) {
    throw InputError((desc.path.empty() ? std::string("scene") : desc.path) + ": " + what);
}

std::string LineSetName(const SceneDescription& desc, size_t i) {
    return "line set " + std::to_string(i) + " \"" + desc.lineSets[i].name + "\"";
}

// What a description built in code (not read from a file) can get wrong; the objects would
// clamp or drop it silently.
void CheckDescription(const SceneDescription& desc) {
    const LineOptionsDesc& o = desc.options;
    if (DrawOversampling(o.overSampling) == 0)
        Fail(desc, "overSampling = " + std::to_string(o.overSampling) + ", expected 1 to 4");
    if (!(o.antialiasing >= 0.0f && std::isfinite(o.antialiasing)))
        Fail(desc, "antialiasing = " + std::to_string(o.antialiasing) + ", expected 0 or more");
    std::set<std::string> names;
    for (const ObjectDesc& object : desc.objects) names.insert(object.name);
    for (size_t i = 0; i < desc.lineSets.size(); ++i) {
        const LineSetDesc& set = desc.lineSets[i];
        const auto known = [&](const std::string& name, const char* role) {
            if (!names.contains(name))
                Fail(desc, LineSetName(desc, i) + ": " + role + " \"" + name +
                               "\" is not an object of the scene");
        };
        if (!set.allObjects)
            for (const std::string& name : set.objects) known(name, "object");
        for (int v = 0; v < 2; ++v) {
            for (int slot = 0; slot < kBrushSlotCount; ++slot) {
                const int32_t brush = set.brushSlots[size_t(v)][size_t(slot)];
                if (brush == kSlotFromFile && !set.load.empty()) continue;
                if (brush < -1 || brush >= int32_t(desc.brushes.size()))
                    Fail(desc, LineSetName(desc, i) + ": " + kBrushSlotNames[size_t(slot)] +
                                   (v == 0 ? "" : "_Hidden") + " refers to brush " +
                                   std::to_string(brush) + ", expected -1 (empty) or 0 to " +
                                   std::to_string(int64_t(desc.brushes.size()) - 1));
            }
            for (const ReductionDesc& reduction : set.reductions[size_t(v)])
                if (!reduction.objectNode.empty()) known(reduction.objectNode, "reduction object");
        }
    }
}

}  // namespace

EngineLineRecords BuildSceneRecords(SceneLineObjects& objects, const SceneDescription& desc,
                                    const std::vector<int32_t>& descIndex, int32_t imageHeight,
                                    int32_t availableCores) {
    try {
        return BuildEngineRecords(objects.Line(), objects.NodesOf(descIndex), 0, imageHeight,
                                  availableCores);
    } catch (const std::invalid_argument& e) {
        Fail(desc, e.what());
    }
}

SceneLineObjects::SceneLineObjects(const SceneDescription& desc) {
    RegisterClassesOnce();
    CheckDescription(desc);
    for (const ObjectDesc& object : desc.objects) {
        auto* node = new INode;
        node->SetName(object.name);
        // Scale, then rotation about X, Y and Z, then translation (row vectors).
        const auto radians = [](float degrees) {
            return degrees * float(std::numbers::pi) / 180.0f;
        };
        node->SetLocalTM(
            Matrix3::Scale({object.scale.x, object.scale.y, object.scale.z}) *
            Matrix3::RotationX(radians(object.rotation.x)) *
            Matrix3::RotationY(radians(object.rotation.y)) *
            Matrix3::RotationZ(radians(object.rotation.z)) *
            Matrix3::Translation({object.position.x, object.position.y, object.position.z}));
        INode* parent = object.parent.empty() ? nullptr : scene_->FindNode(object.parent);
        (parent ? parent : scene_->GetRootNode())->AttachChild(node);
        nodes_.push_back(node);
    }
    BuildLine(desc);
}

SceneLineObjects::SceneLineObjects(const SceneDescription& desc, SceneLineObjects& nodesOf)
    : scene_(nodesOf.scene_), nodes_(nodesOf.nodes_) {
    RegisterClassesOnce();
    CheckDescription(desc);
    BuildLine(desc);
}

void SceneLineObjects::BuildLine(const SceneDescription& desc) {
    line_ = new KvrnLine();
    IParamBlock2& main = *line_->MainBlock();
    const LineOptionsDesc& o = desc.options;
    try {
        Set(main, "randomSeed", o.randomSeed);
        Set(main, "OffscreenDistance", o.OffscreenDistance);
        Set(main, "overSampling", o.overSampling);
        Set(main, "antialiasing", o.antialiasing);
        Set(main, "lineSizeType", o.lineSizeType);
        SetBool(main, "multithread", o.multithread);
    } catch (const std::out_of_range& e) {
        Fail(desc, e.what());
    }

    // Brushes in description order: their creation order is the identity order of edge groups.
    std::vector<RefPtr<KvrnBrush>>& brushes = brushes_;
    for (size_t i = 0; i < desc.brushes.size(); ++i) {
        try {
            brushes.emplace_back(MakeBrush(desc.brushes[i], int(i) + 1));
            if (!desc.brushes[i].name.empty()) namedBrushes_.push_back(brushes.back().get());
        } catch (const std::out_of_range& e) {
            Fail(desc, "brush " + std::to_string(i) + ": " + e.what());
        }
    }

    std::vector<INode*> taken;
    for (size_t setIndex = 0; setIndex < desc.lineSets.size(); ++setIndex) try {
            const LineSetDesc& setDesc = desc.lineSets[setIndex];
            RefPtr<KvrnLineset> set(new KvrnLineset());
            if (!setDesc.load.empty()) {
                const std::string error = LoadLineSettingsChecked(*set, setDesc.load);
                if (!error.empty())
                    throw InputError(desc.path + ": line set \"" + setDesc.name + "\": " + error);
            }
            const GivenKey given = [&setDesc](const std::string& key) {
                return setDesc.load.empty() || setDesc.given.contains(key);
            };
            IParamBlock2& m = *set->MainBlock();
            if (given("name")) Set(m, "name", setDesc.name.c_str());
            if (given("enable")) SetBool(m, "enable", setDesc.enable);
            if (given("weldEdgesBetweenObjects"))
                SetBool(m, "weldEdgesBetweenObjects", setDesc.weldEdgesBetweenObjects);
            if (given("maskHiddenLinesOfOtherLinesets"))
                SetBool(m, "maskHiddenLinesOfOtherLinesets",
                        setDesc.maskHiddenLinesOfOtherLinesets);
            if (given("ID")) Set(m, "ID", setDesc.ID);

            // "all" takes every object no earlier line set holds.
            std::vector<INode*> members;
            if (setDesc.allObjects) {
                for (INode* node : nodes_)
                    if (std::find(taken.begin(), taken.end(), node) == taken.end())
                        members.push_back(node);
            } else {
                // A node an earlier line set holds stays with it (the lower index owns it anyway).
                for (const std::string& name : setDesc.objects)
                    if (INode* node = scene_->FindNode(name);
                        node && std::find(taken.begin(), taken.end(), node) == taken.end())
                        members.push_back(node);
            }
            taken.insert(taken.end(), members.begin(), members.end());
            set->AddObjects(members);

            for (int v = 0; v < 2; ++v) {
                FillEdges(*set->EdgeBlock(v), *set->DampBlock(v), setDesc.edges[size_t(v)],
                          v == 0 ? "Visible" : "Hidden", given);
                for (int slot = 0; slot < kBrushSlotCount; ++slot) {
                    const int32_t index = setDesc.brushSlots[size_t(v)][size_t(slot)];
                    // A line set loaded from a file keeps the file's brush where the scene gives
                    // none.
                    if (index == kSlotFromFile) continue;
                    ReferenceTarget* brush = index >= 0 ? brushes[size_t(index)].get() : nullptr;
                    set->ReplaceReference(KvrnLineset::BrushRef(v, slot), brush);
                }
                for (int kind = 0; kind < 2; ++kind) {
                    if (!setDesc.reductionGiven[size_t(v)][size_t(kind)] && !setDesc.load.empty())
                        continue;
                    FillReduction(*set->Reduction(v, kind),
                                  setDesc.reductions[size_t(v)][size_t(kind)], *scene_);
                }
            }
            main.Append(KvrnLine::kLinesets, static_cast<ReferenceTarget*>(set.get()));
        } catch (const std::out_of_range& e) {
            Fail(desc, LineSetName(desc, setIndex) + ": " + e.what());
        }
}

SceneLineObjects::~SceneLineObjects() = default;

bool SceneLineObjects::IsNamedBrush(const ReferenceTarget* brush) const {
    return std::find(namedBrushes_.begin(), namedBrushes_.end(), brush) != namedBrushes_.end();
}

int32_t SceneLineObjects::IndexOf(const INode* node) const {
    const auto it = std::find(nodes_.begin(), nodes_.end(), node);
    return it == nodes_.end() ? -1 : int32_t(it - nodes_.begin());
}

KvrnBrush* SceneLineObjects::NamedBrush(const std::string& name) const {
    for (const RefPtr<KvrnBrush>& brush : brushes_)
        if (IsNamedBrush(brush.get()) && brush->GetName() == name) return brush.get();
    return nullptr;
}

KvrnLineset* SceneLineObjects::LineSetNamed(const std::string& name) {
    for (int i = 0; i < line_->NumLineSets(); ++i)
        if (KvrnLineset* set = line_->GetLineSet(i);
            set && set->MainBlock()->GetStr(KvrnLineset::kName) == name)
            return set;
    return nullptr;
}

void SceneLineObjects::SetBrushMaps(const SceneDescription& desc,
                                    const std::function<Texmap*(const std::string&)>& map) {
    for (size_t i = 0; i < desc.brushes.size() && i < brushes_.size(); ++i) {
        const BrushDesc& b = desc.brushes[i];
        KvrnBrush& brush = *brushes_[i];
        const std::pair<const char*, const std::string*> slots[] = {
            {"colorMap", &b.colorMap},
            {"sizeMap", &b.sizeMap},
            {"map", &b.detail.map},
            {"noiseMap", &b.detail.noiseMap}};
        for (const auto& [param, name] : slots) {
            if (name->empty()) continue;
            Texmap* found = map(*name);
            const std::string where = "brush " +
                                      (b.name.empty() ? std::to_string(i) : "\"" + b.name + "\"") +
                                      ": " + param;
            if (!found) Fail(desc, where + ": no map named \"" + *name + "\"");
            std::vector<IParamBlock2*> blocks;
            for (int k = 0; k < brush.NumParamBlocks(); ++k)
                blocks.push_back(brush.GetParamBlock(k));
            if (KvrnBrushDetail* detail = brush.Detail())
                for (int k = 0; k < detail->NumParamBlocks(); ++k)
                    blocks.push_back(detail->GetParamBlock(k));
            bool set = false;
            for (IParamBlock2* block : blocks)
                if (block && !set && block->GetDesc()->FindParam(param))
                    set = block->SetValueByName(param, 0,
                                                ParamValue(static_cast<ReferenceTarget*>(found)));
            if (!set) Fail(desc, where + ": the brush takes no such map");
        }
    }
}

INode* SceneLineObjects::NodeOf(int32_t objectIndex) const {
    return objectIndex >= 0 && size_t(objectIndex) < nodes_.size() ? nodes_[size_t(objectIndex)]
                                                                   : nullptr;
}

std::vector<INode*> SceneLineObjects::NodesOf(const std::vector<int32_t>& descIndex) const {
    std::vector<INode*> nodes;
    nodes.reserve(descIndex.size());
    for (int32_t index : descIndex) nodes.push_back(NodeOf(index));
    return nodes;
}

}  // namespace KvrnApp
