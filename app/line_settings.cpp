#include "line_settings.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "poly_mesh.h"
#include "reduction.h"

namespace KvrnApp {

namespace {

using KvrnLib::BrushDrawSettings;
using KvrnLib::kEdgeKindCount;

constexpr float kPercent = 0.01f;
constexpr int kDrawnKindCount = 8;  // kinds 8 and 9 have no switches and no brush

bool ByX(const CurvePointDesc& a, const CurvePointDesc& b) { return a.x < b.x; }

double Bezier(double p0, double p1, double p2, double p3, double t) {
    const double s = 1.0 - t;
    return s * s * s * p0 + 3.0 * s * s * t * p1 + 3.0 * s * t * t * p2 + t * t * t * p3;
}

// Points sorted by x.
float EvaluateSorted(const std::vector<CurvePointDesc>& points, float x) {
    if (!(x > points.front().x)) return points.front().y;  // NaN too
    if (x >= points.back().x) return points.back().y;
    const auto next = std::upper_bound(points.begin(), points.end(), x,
                                       [](float v, const CurvePointDesc& p) { return v < p.x; });
    const CurvePointDesc& a = *(next - 1);
    const CurvePointDesc& b = *next;
    // Handles reaching past the neighbouring point would fold x(t) back on itself; keeping them
    // inside the segment keeps y a function of x.
    const double x1 = std::clamp(double(a.x) + a.outX, double(a.x), double(b.x));
    const double x2 = std::clamp(double(b.x) + b.inX, double(a.x), double(b.x));
    // Bisection rather than Newton: x'(t) vanishes at the ends for zero-length handles.
    double lo = 0.0, hi = 1.0;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (Bezier(a.x, x1, x2, b.x, mid) < x)
            lo = mid;
        else
            hi = mid;
    }
    const double t = 0.5 * (lo + hi);
    return float(Bezier(a.y, double(a.y) + a.outY, double(b.y) + b.inY, b.y, t));
}

// Empty for a curve without points.
std::shared_ptr<const KvrnLib::CurveInterface> BakeCurve(const CurveDesc& curve) {
    if (curve.points.empty()) return nullptr;
    std::vector<CurvePointDesc> points = curve.points;
    std::stable_sort(points.begin(), points.end(), ByX);
    return std::make_shared<KvrnLib::BakedCurve>(
        [&points](float x) { return EvaluateSorted(points, x); });
}

// Malformed sequences become U+FFFD rather than failing: a layer name is cosmetic.
std::wstring WideFromUtf8(const std::string& text) {
    std::wstring wide;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        int extra = 0;
        char32_t code = lead;
        if (lead >= 0xF0 && lead < 0xF8) {
            extra = 3;
            code = lead & 0x07;
        } else if (lead >= 0xE0) {
            extra = lead < 0xF0 ? 2 : -1;
            code = lead & 0x0F;
        } else if (lead >= 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if (lead >= 0x80) {
            extra = -1;
        }
        for (int k = 0; k < extra; ++k, ++i) {
            if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                extra = -1;
                break;
            }
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        wide.push_back(extra < 0 ? L'\uFFFD' : wchar_t(code));
    }
    return wide;
}

// A kind's enable and specific-brush switches.
std::pair<bool, bool> KindSwitches(const EdgeSwitchesDesc& e, int kind) {
    switch (kind) {
        case KvrnLib::kEdgeOutline:
            return {e.edgeOutline, e.specificOutlineEnable};
        case KvrnLib::kEdgeObject:
            return {e.edgeObject, e.specificObjectEnable};
        case KvrnLib::kEdgeIntersection:
            return {e.edgeIsect, e.specificIsectEnable};
        case KvrnLib::kEdgeSmoothing:
            return {e.edgeSmooth, e.specificSmoothEnable};
        case KvrnLib::kEdgeMaterialID:
            return {e.edgeMatID, e.specificMatIDEnable};
        case KvrnLib::kEdgeNormalAngle:
            return {e.edgeNormal, e.specificNormalEnable};
        case KvrnLib::kEdgeWire:
            return {e.edgeWire, e.specificWireEnable};
        case KvrnLib::kEdgeSelected:
            return {e.edgeSel, e.specificSelEnable};
        default:
            return {false, false};
    }
}

// Brush index drawing kind k of visibility v, or -1. An empty specific slot does not fall back
// to the general brush.
int32_t EffectiveBrush(const LineSetDesc& set, int v, int kind) {
    const auto [enabled, specific] = KindSwitches(set.edges[size_t(v)], kind);
    if (!enabled) return -1;
    const int32_t brush = set.brushSlots[size_t(v)][specific ? size_t(kind) + 1 : 0];
    return brush >= 0 ? brush : -1;
}

// The edge groups of one visibility: the distinct effective brushes in brush-index order (the
// identity order shared by the connection and draw records) and each kind's group.
struct GroupLayout {
    std::vector<int32_t> brushes;
    std::array<int32_t, kEdgeKindCount> groupOfKind;
};

GroupLayout LayoutGroups(const LineSetDesc& set, int v) {
    GroupLayout layout;
    layout.groupOfKind.fill(-1);
    for (int k = 0; k < kDrawnKindCount; ++k) {
        const int32_t brush = EffectiveBrush(set, v, k);
        if (brush >= 0) layout.brushes.push_back(brush);
    }
    std::sort(layout.brushes.begin(), layout.brushes.end());
    layout.brushes.erase(std::unique(layout.brushes.begin(), layout.brushes.end()),
                         layout.brushes.end());
    for (int k = 0; k < kDrawnKindCount; ++k) {
        const int32_t brush = EffectiveBrush(set, v, k);
        if (brush < 0) continue;
        layout.groupOfKind[size_t(k)] =
            int32_t(std::lower_bound(layout.brushes.begin(), layout.brushes.end(), brush) -
                    layout.brushes.begin());
    }
    return layout;
}

float CosDegrees(float degrees) {
    return float(std::cos(double(degrees) * std::numbers::pi / 180.0));
}

KvrnLib::LineClassDetection ClassDetection(const EdgeSwitchesDesc& e, const GroupLayout& layout) {
    KvrnLib::LineClassDetection d;
    for (int k = 0; k < kEdgeKindCount; ++k) d.kind[size_t(k)] = layout.groupOfKind[size_t(k)] >= 0;
    d.openEdgeOutline = e.openEdgeOutline;
    d.groupOutline = e.groupOutline;
    d.openEdgeObject = e.openEdgeObject;
    d.selfIsect = e.edgeSelfIsect;
    d.cosMin = CosDegrees(e.edgeNormalMin);
    d.cosMax = CosDegrees(e.edgeNormalMax);
    return d;
}

// Unscaled; the scene description carries no maps, so every map pointer stays empty.
BrushDrawSettings DrawSettingsOfBrush(const BrushDesc& brush) {
    const BrushDetailDesc& d = brush.detail;
    BrushDrawSettings b;
    b.brushType = KvrnLib::BrushTypeOfDetailType(d.type);
    b.lineSize = brush.size;
    b.strokeSizeRnd = d.strokeSizeRnd * kPercent;
    b.sizeMapAmount = brush.sizeMapEnable ? brush.sizeMapAmount * kPercent : 0.0f;
    b.color = brush.color;
    b.alpha = brush.alpha * kPercent;
    b.colorMapOpacity = brush.colorMapEnable ? brush.colorMapOpacity * kPercent : 0.0f;
    b.blend = brush.blend;
    b.mapOpacity = d.mapEnable ? d.mapOpacity * kPercent : 0.0f;

    b.angle = d.angle;
    b.angleRnd = d.angleRnd;
    b.stretch = d.stretch * kPercent;
    b.stretchRnd = d.stretchRnd * kPercent;
    b.groove = d.groove * kPercent;
    b.grooveNum = d.grooveNum;
    b.stampSize = d.size * kPercent;
    b.sizeRnd = d.sizeRnd * kPercent;
    b.anti = d.anti * kPercent;
    b.hSpace = d.hSpace * kPercent;
    b.hSpaceRnd = d.hSpaceRnd * kPercent;
    b.vSpace = d.vSpace * kPercent;
    b.vSpaceRnd = d.vSpaceRnd * kPercent;
    b.reductionStart = d.reductionStart * kPercent;
    b.reductionEnd = d.reductionEnd * kPercent;

    b.strokeDirectionAngle = d.strokeDirectionAngle;
    b.loopRight = d.strokeLoopDirection == 0;
    b.strokeMinLength = d.strokeMinLength;
    b.dashed = d.strokeStyle != 0;
    b.strokeLength = d.strokeLength;
    b.strokeLengthRnd = d.strokeLengthRnd * kPercent;
    b.strokeSpace = d.strokeSpace;
    b.strokeSpaceRnd = d.strokeSpaceRnd * kPercent;
    b.strokeCopy = d.strokeCopy;
    b.strokeCopyRnd = d.strokeCopyRnd;
    b.strokeExtend = d.strokeExtend;
    b.strokeeExtendRnd = d.strokeeExtendRnd * kPercent;
    b.strokeOffsetX = d.strokeOffsetX;
    b.strokeOffsetY = d.strokeOffsetY;
    b.strokeOffsetXRnd = d.strokeOffsetXRnd;
    b.strokeOffsetYRnd = d.strokeOffsetYRnd;
    b.strokeNormalOffset = d.strokeNormalOffset;
    b.strokeNormalOffsetRnd = d.strokeNormalOffsetRnd;
    b.strokeType = d.strokeType;

    b.noiseAmount = d.noiseEnable ? d.noiseAmount : 0.0f;
    b.noiseAmountRandom = d.noiseAmountRandom * kPercent;
    b.noiseCycle = d.noiseCycle;
    b.noiseCycleRandom = d.noiseCycleRandom * kPercent;
    b.noisePhase = d.noisePhase;
    b.noisePhaseRandom = d.noisePhaseRandom * kPercent;
    b.noiseMapOpacity = d.noiseMapEnable ? d.noiseMapOpacity : 0.0f;  // not a fraction

    b.colorRangeHSV = d.colorRangeType == 1;
    b.colorRangeR = d.colorRangeR * kPercent;
    b.colorRangeG = d.colorRangeG * kPercent;
    b.colorRangeB = d.colorRangeB * kPercent;

    if (d.sizeReductionEnable) b.sizeReductionCurve = BakeCurve(d.sizeCurve);
    if (d.alphaReductionEnable) b.alphaReductionCurve = BakeCurve(d.alphaCurve);
    return b;
}

// Look-ups and messages over one scene description.
class SceneContext {
  public:
    explicit SceneContext(const SceneDescription& scene)
        : scene_(scene), where_(scene.path.empty() ? std::string("scene") : scene.path) {
        for (size_t i = 0; i < scene.objects.size(); ++i)
            objectByName_.emplace(scene.objects[i].name, int32_t(i));
        brushCache_.resize(scene.brushes.size());
    }

    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(where_ + ": " + what);
    }

    std::string LineSetName(size_t i) const {
        return "line set " + std::to_string(i) + " \"" + scene_.lineSets[i].name + "\"";
    }

    static std::string SlotName(int v, int slot) {
        return std::string(kBrushSlotNames[size_t(slot)]) + (v ? "_Hidden" : "");
    }

    // The slot keys of visibility v holding `brush`, for messages.
    std::string SlotsOfBrush(size_t lineSet, int v, int32_t brush) const {
        std::string names;
        for (int s = 0; s < kBrushSlotCount; ++s) {
            if (scene_.lineSets[lineSet].brushSlots[size_t(v)][size_t(s)] != brush) continue;
            names += (names.empty() ? "" : ", ") + SlotName(v, s);
        }
        return names;
    }

    int32_t ObjectIndex(size_t lineSet, const std::string& name, const char* role) const {
        const auto it = objectByName_.find(name);
        if (it == objectByName_.end())
            Fail(LineSetName(lineSet) + ": " + role + " \"" + name +
                 "\" is not an object of the scene");
        return it->second;
    }

    void CheckBrushSlots(size_t lineSet) const {
        const LineSetDesc& set = scene_.lineSets[lineSet];
        for (int v = 0; v < 2; ++v)
            for (int s = 0; s < kBrushSlotCount; ++s) {
                const int32_t brush = set.brushSlots[size_t(v)][size_t(s)];
                if (brush < -1 || brush >= int32_t(scene_.brushes.size()))
                    Fail(LineSetName(lineSet) + ": " + SlotName(v, s) + " refers to brush " +
                         std::to_string(brush) + ", expected -1 (empty) or 0 to " +
                         std::to_string(int64_t(scene_.brushes.size()) - 1));
            }
    }

    // Shared brushes are converted (and their curves baked) once.
    const BrushDrawSettings& Brush(int32_t index) {
        std::optional<BrushDrawSettings>& cached = brushCache_[size_t(index)];
        if (!cached) cached = DrawSettingsOfBrush(scene_.brushes[size_t(index)]);
        return *cached;
    }

    // Absent when the curve has no points or the reference object is switched on without one.
    std::shared_ptr<const KvrnLib::ReductionSettings> Reduction(size_t lineSet,
                                                                const ReductionDesc& desc) const {
        if (desc.objectEnable && desc.objectNode.empty()) return nullptr;
        auto curve = BakeCurve(desc.curve);
        if (!curve) return nullptr;
        auto reduction = std::make_shared<KvrnLib::ReductionSettings>();
        reduction->start = desc.start;
        reduction->end = desc.end;
        reduction->curve = std::move(curve);
        if (desc.objectEnable) {
            const int32_t object = ObjectIndex(lineSet, desc.objectNode, "reduction objectNode");
            reduction->objectReference = 1;
            reduction->referencePosition = scene_.objects[size_t(object)].position;
        }
        return reduction;
    }

    // Lowest-indexed line set holding each ObjectDesc, or -1.
    std::vector<int32_t> Owners() const {
        std::vector<int32_t> owner(scene_.objects.size(), -1);
        for (size_t i = 0; i < scene_.lineSets.size(); ++i) {
            const LineSetDesc& set = scene_.lineSets[i];
            for (const std::string& name : set.objects) {
                int32_t& o = owner[size_t(ObjectIndex(i, name, "object"))];
                if (o < 0) o = int32_t(i);
            }
            if (set.allObjects)
                for (int32_t& o : owner)
                    if (o < 0) o = int32_t(i);
        }
        return owner;
    }

    int32_t Oversampling() const {
        const int32_t value = scene_.options.overSampling;
        if (const int32_t drawn = DrawOversampling(value)) return drawn;
        Fail("overSampling = " + std::to_string(value) + ", expected 1 to 4");
    }

  private:
    const SceneDescription& scene_;
    const std::string where_;
    std::unordered_map<std::string, int32_t> objectByName_;
    std::vector<std::optional<BrushDrawSettings>> brushCache_;
};

}  // namespace

int32_t DrawOversampling(int32_t overSampling) {
    if (overSampling == 1 || overSampling == 2 || overSampling == 4) return overSampling;
    // 3 rounds up rather than losing quality.
    return overSampling == 3 ? 4 : 0;
}

float EvaluateCurve(const CurveDesc& curve, float x) {
    if (curve.points.empty()) return 1.0f;
    if (std::is_sorted(curve.points.begin(), curve.points.end(), ByX))
        return EvaluateSorted(curve.points, x);
    std::vector<CurvePointDesc> points = curve.points;
    std::stable_sort(points.begin(), points.end(), ByX);
    return EvaluateSorted(points, x);
}

EngineLineSettings BuildEngineSettings(const SceneDescription& scene,
                                       const std::vector<int32_t>& objectDescIndex,
                                       int32_t imageHeight, int32_t availableCores) {
    SceneContext context(scene);
    const LineOptionsDesc& options = scene.options;
    EngineLineSettings out;
    out.threadCount = options.multithread ? std::max(availableCores, 1) : 1;
    if (options.lineSizeType != 0) {
        if (imageHeight <= 0)
            context.Fail("image height " + std::to_string(imageHeight) +
                         " pixels, expected a positive height for relative line sizes");
        out.sizeScale = float(imageHeight) * KvrnLib::kRelativeSizeScale;
    }

    out.detection.offscreen.fill(options.OffscreenDistance);
    out.draw.randomSeed = options.randomSeed;
    out.draw.oversampling = context.Oversampling();
    if (!(options.antialiasing >= 0.0f && std::isfinite(options.antialiasing)))
        context.Fail("antialiasing = " + std::to_string(options.antialiasing) +
                     ", expected 0 or more");
    out.draw.filterWidth = options.antialiasing;

    std::vector<std::array<GroupLayout, 2>> layouts;
    for (size_t i = 0; i < scene.lineSets.size(); ++i) {
        const LineSetDesc& set = scene.lineSets[i];
        context.CheckBrushSlots(i);
        const auto& layout = layouts.emplace_back(
            std::array<GroupLayout, 2>{LayoutGroups(set, 0), LayoutGroups(set, 1)});

        KvrnLib::LineSetDetection detection = KvrnLib::LineSetDetection::Disabled();
        if (set.enable) {
            detection.visible = ClassDetection(set.edges[0], layout[0]);
            detection.hidden = ClassDetection(set.edges[1], layout[1]);
            detection.maskHiddenLinesOfOtherLinesets = set.maskHiddenLinesOfOtherLinesets;
        }
        out.detection.lineSets.push_back(detection);

        // A disabled line set still gets its connection and draw records so that every record
        // stays in line-set order; it detects nothing, so they are never used.
        KvrnLib::ConnectSettings connect;
        connect.weldAcrossObjects = set.weldEdgesBetweenObjects;
        connect.visibleGroup = layout[0].groupOfKind;
        connect.hiddenGroup = layout[1].groupOfKind;
        KvrnLib::LineSetDrawSettings draw;
        draw.lineSetId = set.ID;
        // Distinct per line set so that two sets drawing the same strokes vary differently.
        draw.seed = int32_t(i);
        for (int v = 0; v < 2; ++v) {
            auto& params = v ? connect.hiddenParams : connect.visibleParams;
            auto& brushes = v ? draw.hidden : draw.visible;
            const std::vector<int32_t>& groupBrushes = layout[size_t(v)].brushes;
            for (size_t g = 0; g < groupBrushes.size(); ++g) {
                const BrushDetailDesc& detail = scene.brushes[size_t(groupBrushes[g])].detail;
                params[g] = {detail.strokeSplitAngle, detail.linkLength};
                brushes[g] = context.Brush(groupBrushes[g]);
            }
            const EdgeSwitchesDesc& edges = set.edges[size_t(v)];
            if (edges.sizeReductionEnable)
                draw.reductions[size_t(2 * v)] = context.Reduction(i, set.reductions[size_t(v)][0]);
            if (edges.alphaReductionEnable)
                draw.reductions[size_t(2 * v + 1)] =
                    context.Reduction(i, set.reductions[size_t(v)][1]);
        }
        out.connect.push_back(connect);
        out.draw.lineSets.push_back(std::move(draw));
        out.layerNames.push_back(WideFromUtf8(set.name));
        out.lineSetIndex.push_back(int32_t(i));
    }

    const std::vector<int32_t> owner = context.Owners();
    for (const int32_t desc : objectDescIndex) {
        if (desc >= int32_t(owner.size()))
            throw std::out_of_range("render object refers to object description " +
                                    std::to_string(desc) + " of " + std::to_string(owner.size()));
        KvrnLib::ObjectDetection object;
        object.defaultLineSet = desc < 0 ? -1 : owner[size_t(desc)];
        out.detection.objects.push_back(std::move(object));
    }

    // Connection keeps the unscaled link lengths; only what is drawn follows the image size.
    out.draw = KvrnLib::ScaleLengths(out.draw, out.sizeScale);
    for (size_t i = 0; i < layouts.size(); ++i)
        for (int v = 0; v < 2; ++v) {
            const std::vector<int32_t>& groupBrushes = layouts[i][size_t(v)].brushes;
            for (size_t g = 0; g < groupBrushes.size(); ++g) {
                try {
                    out.draw.lineSets[i].Brush(v == 1, int(g)).Validate();
                } catch (const std::invalid_argument& e) {
                    context.Fail(context.LineSetName(i) + ", brush in " +
                                 context.SlotsOfBrush(i, v, groupBrushes[g]) + ": " + e.what());
                }
            }
        }
    try {
        out.draw.Validate();
    } catch (const std::invalid_argument& e) {
        context.Fail(e.what());
    }
    return out;
}

}  // namespace KvrnApp
