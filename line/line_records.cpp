#include "line_records.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <stdexcept>

#include "brush.h"
#include "kvrn_line.h"
#include "line_classes.h"
#include "lineset.h"
#include "mtl.h"
#include "node.h"
#include "reduction.h"

namespace {

using R = KvrnLinesetRefsDef;

float CosDegrees(float degrees) {
    return float(std::cos(double(degrees) * std::numbers::pi / 180.0));
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

// The edge groups of one visibility: the distinct effective brushes in rank order and each
// kind's group (-1: the kind draws nothing).
struct GroupLayout {
    std::vector<KvrnBrush*> brushes;
    std::array<int32_t, KvrnLib::kEdgeKindCount> groupOfKind;
};

// Brushes are ordered by creation: a fixed identity order that does not depend on which slots
// or line sets a brush happens to be met in first.
GroupLayout LayoutGroups(KvrnLineset& set, int v, TimeValue t) {
    GroupLayout layout;
    layout.groupOfKind.fill(-1);
    std::array<KvrnBrush*, R::kDrawnKinds> effective{};
    for (int k = 0; k < R::kDrawnKinds; ++k) {
        effective[size_t(k)] = set.EffectiveBrush(v, k, t);
        if (effective[size_t(k)]) layout.brushes.push_back(effective[size_t(k)]);
    }
    std::sort(layout.brushes.begin(), layout.brushes.end(),
              [](KvrnBrush* a, KvrnBrush* b) { return a->CreationSerial() < b->CreationSerial(); });
    layout.brushes.erase(std::unique(layout.brushes.begin(), layout.brushes.end()),
                         layout.brushes.end());
    for (int k = 0; k < R::kDrawnKinds; ++k) {
        if (!effective[size_t(k)]) continue;
        layout.groupOfKind[size_t(k)] =
            int32_t(std::find(layout.brushes.begin(), layout.brushes.end(), effective[size_t(k)]) -
                    layout.brushes.begin());
    }
    return layout;
}

KvrnLib::LineClassDetection ClassDetection(KvrnLineset& set, int v, TimeValue t,
                                           const GroupLayout& layout) {
    IParamBlock2& e = *set.EdgeBlock(v);
    KvrnLib::LineClassDetection d;
    for (int k = 0; k < R::kDrawnKinds; ++k) d.kind[size_t(k)] = layout.groupOfKind[size_t(k)] >= 0;
    d.openEdgeOutline = e.GetBool(KvrnLineset::kOpenEdgeOutline, t);
    d.groupOutline = e.GetBool(KvrnLineset::kGroupOutline, t);
    d.openEdgeObject = e.GetBool(KvrnLineset::kOpenEdgeObject, t);
    d.selfIsect = e.GetBool(KvrnLineset::kEdgeSelfIsect, t);
    d.cosMin = CosDegrees(e.GetFloat(KvrnLineset::kEdgeNormalMin, t));
    d.cosMax = CosDegrees(e.GetFloat(KvrnLineset::kEdgeNormalMax, t));
    return d;
}

KvrnLib::LineSetDetection DetectionOf(KvrnLineset& set, TimeValue t,
                                      const std::array<GroupLayout, 2>& layout) {
    if (!set.Enabled(t)) return KvrnLib::LineSetDetection::Disabled();
    KvrnLib::LineSetDetection detection;
    detection.visible = ClassDetection(set, 0, t, layout[0]);
    detection.hidden = ClassDetection(set, 1, t, layout[1]);
    detection.maskHiddenLinesOfOtherLinesets = set.MaskHiddenLinesOfOtherLinesets(t);
    return detection;
}

std::string SetLabel(KvrnLineset& set, size_t index) {
    return "line set " + std::to_string(index) + " \"" + set.Name() + "\"";
}

// Slot names of visibility v holding brush, for messages.
std::string SlotsOfBrush(KvrnLineset& set, int v, const KvrnBrush* brush) {
    std::string names;
    for (int slot = 0; slot < R::kBrushSlots; ++slot)
        if (set.BrushInSlot(v, slot) == brush)
            names += (names.empty() ? "" : ", ") + set.SubAnimName(R::BrushRef(v, slot));
    return names;
}

// Lowest counted line set per node and per material.
class Owners {
  public:
    Owners(const std::vector<KvrnLineset*>& sets) {
        for (size_t i = 0; i < sets.size(); ++i) {
            for (INode* node : ExpandClosedGroups(sets[i]->Objects()))
                if (node) nodes_.emplace(node, int32_t(i));
            for (Mtl* mtl : sets[i]->Materials())
                if (mtl) mtls_.emplace(mtl, int32_t(i));
        }
    }

    KvrnLib::ObjectDetection Of(INode* node) const {
        KvrnLib::ObjectDetection object;
        if (!node) return object;
        if (auto it = nodes_.find(node); it != nodes_.end()) object.defaultLineSet = it->second;
        Mtl* mtl = node->GetMtl();
        std::vector<Mtl*> slots;
        if (mtl && mtl->NumSubMtls() > 0) {
            for (int i = 0; i < mtl->NumSubMtls(); ++i) slots.push_back(mtl->GetSubMtl(i));
        } else if (mtl) {
            slots.push_back(mtl);
        }
        bool any = false;
        for (Mtl* slot : slots) {
            auto it = mtls_.find(slot);
            object.materialLineSets.push_back(it == mtls_.end() ? -1 : it->second);
            any |= it != mtls_.end();
        }
        // Without any material line set the default line set serves every face.
        if (!any) object.materialLineSets.clear();
        return object;
    }

  private:
    std::map<const INode*, int32_t> nodes_;
    std::map<const Mtl*, int32_t> mtls_;
};

}  // namespace

int32_t DrawOversampling(int32_t overSampling) {
    if (overSampling < 1 || overSampling > 4) return 0;
    return overSampling == 3 ? 4 : overSampling;
}

KvrnLib::LineSetDetection LineSetDetectionOf(KvrnLineset& set, TimeValue t) {
    return DetectionOf(set, t, {LayoutGroups(set, 0, t), LayoutGroups(set, 1, t)});
}

EngineLineRecords BuildEngineRecords(KvrnLine& line, const std::vector<INode*>& renderObjectNodes,
                                     TimeValue t, int32_t imageHeight, int32_t availableCores,
                                     const Matrix3& cameraFromWorld) {
    IParamBlock2& options = *line.MainBlock();
    EngineLineRecords out;
    out.threadCount = options.GetBool(KvrnLine::kMultithread, t) ? std::max(availableCores, 1) : 1;
    if (options.GetInt(KvrnLine::kLineSizeType, t) != 0) {
        if (imageHeight <= 0)
            throw std::invalid_argument("image height " + std::to_string(imageHeight) +
                                        " pixels, expected a positive height for relative line "
                                        "sizes");
        out.sizeScale = float(imageHeight) * KvrnLib::kRelativeSizeScale;
    }
    out.detection.offscreen.fill(options.GetFloat(KvrnLine::kOffscreenDistance, t));
    out.draw.randomSeed = options.GetInt(KvrnLine::kRandomSeed, t);
    out.draw.oversampling = DrawOversampling(options.GetInt(KvrnLine::kOverSampling, t));
    out.draw.filterWidth = options.GetFloat(KvrnLine::kAntialiasing, t);

    std::vector<KvrnLineset*> sets;
    for (int i = 0; i < line.NumLineSets(); ++i) {
        if (KvrnLineset* set = line.GetLineSet(i)) {
            sets.push_back(set);
            out.lineSetIndex.push_back(i);
        }
    }
    // Shared brushes are converted (and their curves baked) once.
    std::map<KvrnBrush*, KvrnLib::BrushDrawSettings> converted;
    std::vector<std::array<GroupLayout, 2>> layouts;
    for (size_t i = 0; i < sets.size(); ++i) {
        KvrnLineset& set = *sets[i];
        const auto& layout = layouts.emplace_back(
            std::array<GroupLayout, 2>{LayoutGroups(set, 0, t), LayoutGroups(set, 1, t)});
        out.detection.lineSets.push_back(DetectionOf(set, t, layout));

        // A disabled line set still gets its connection and draw records so that every record
        // stays in line-set order; it detects nothing, so they are never used.
        KvrnLib::ConnectSettings connect;
        connect.weldAcrossObjects = set.WeldEdgesBetweenObjects(t);
        connect.visibleGroup = layout[0].groupOfKind;
        connect.hiddenGroup = layout[1].groupOfKind;
        KvrnLib::LineSetDrawSettings& draw = out.draw.lineSets.emplace_back();
        draw.lineSetId = set.LineSetID(t);
        // Distinct per line set so that two sets drawing the same strokes vary differently.
        draw.seed = int32_t(i);
        for (int v = 0; v < 2; ++v) {
            auto& params = v ? connect.hiddenParams : connect.visibleParams;
            auto& brushes = v ? draw.hidden : draw.visible;
            const std::vector<KvrnBrush*>& groupBrushes = layout[size_t(v)].brushes;
            for (size_t g = 0; g < groupBrushes.size(); ++g) {
                KvrnBrush& brush = *groupBrushes[g];
                params[g] = {StrokeSplitAngleOf(brush, t), LinkLengthOf(brush, t)};
                auto it = converted.find(&brush);
                if (it == converted.end())
                    it = converted.emplace(&brush, BrushDrawSettingsOf(brush, t)).first;
                brushes[g] = it->second;
            }
            for (int kind = 0; kind < 2; ++kind) {
                KvrnLineReduction* reduction = set.Reduction(v, kind);
                if (reduction && set.ReductionEnabled(v, kind, t))
                    draw.reductions[size_t(2 * v + kind)] =
                        ReductionSettingsOf(*reduction, t, cameraFromWorld);
            }
        }
        out.connect.push_back(connect);
        out.layerNames.push_back(WideFromUtf8(set.Name(t)));
    }

    const Owners owners(sets);
    for (INode* node : renderObjectNodes) out.detection.objects.push_back(owners.Of(node));

    // Connection keeps the unscaled link lengths; only what is drawn follows the image size.
    out.draw = KvrnLib::ScaleLengths(std::move(out.draw), out.sizeScale);
    for (size_t i = 0; i < layouts.size(); ++i)
        for (int v = 0; v < 2; ++v) {
            const std::vector<KvrnBrush*>& groupBrushes = layouts[i][size_t(v)].brushes;
            for (size_t g = 0; g < groupBrushes.size(); ++g) {
                try {
                    out.draw.lineSets[i].Brush(v == 1, int(g)).Validate();
                } catch (const std::invalid_argument& e) {
                    throw std::invalid_argument(
                        SetLabel(*sets[i], size_t(out.lineSetIndex[i])) + ", brush in " +
                        SlotsOfBrush(*sets[i], v, groupBrushes[g]) + ": " + e.what());
                }
            }
        }
    out.draw.ValidateFrame();  // the group brushes in use were checked above
    return out;
}
