// The engine records built from the settings objects equal those the scene-description path
// builds for the same settings: shared and specific brushes, brush curves, reductions, a
// disabled line set and object ownership.
#include <gtest/gtest.h>

#include <map>

#include "brush.h"
#include "hold.h"
#include "kvrn_line.h"
#include "line_objects.h"
#include "line_records.h"
#include "line_reduction.h"
#include "lineset.h"
#include "node.h"
#include "reduction.h"

namespace {

using KvrnLib::BrushDrawSettings;

std::vector<float> Samples(const std::shared_ptr<const KvrnLib::CurveInterface>& curve) {
    auto* baked = dynamic_cast<const KvrnLib::BakedCurve*>(curve.get());
    if (!baked) return {};
    return {baked->Samples().begin(), baked->Samples().end()};
}

void ExpectSameBrush(const BrushDrawSettings& a, const BrushDrawSettings& b,
                     const std::string& where) {
    SCOPED_TRACE(where);
#define KVRN_SAME(field) EXPECT_EQ(a.field, b.field) << #field
    KVRN_SAME(brushType);
    KVRN_SAME(lineSize);
    KVRN_SAME(strokeSizeRnd);
    KVRN_SAME(sizeMapAmount);
    KVRN_SAME(color);
    KVRN_SAME(alpha);
    KVRN_SAME(colorMapOpacity);
    KVRN_SAME(blend);
    KVRN_SAME(mapOpacity);
    KVRN_SAME(angle);
    KVRN_SAME(angleRnd);
    KVRN_SAME(stretch);
    KVRN_SAME(stretchRnd);
    KVRN_SAME(groove);
    KVRN_SAME(grooveNum);
    KVRN_SAME(stampSize);
    KVRN_SAME(sizeRnd);
    KVRN_SAME(anti);
    KVRN_SAME(hSpace);
    KVRN_SAME(hSpaceRnd);
    KVRN_SAME(vSpace);
    KVRN_SAME(vSpaceRnd);
    KVRN_SAME(reductionStart);
    KVRN_SAME(reductionEnd);
    KVRN_SAME(strokeDirectionAngle);
    KVRN_SAME(loopRight);
    KVRN_SAME(strokeMinLength);
    KVRN_SAME(dashed);
    KVRN_SAME(strokeLength);
    KVRN_SAME(strokeLengthRnd);
    KVRN_SAME(strokeSpace);
    KVRN_SAME(strokeSpaceRnd);
    KVRN_SAME(strokeCopy);
    KVRN_SAME(strokeCopyRnd);
    KVRN_SAME(strokeExtend);
    KVRN_SAME(strokeeExtendRnd);
    KVRN_SAME(strokeOffsetX);
    KVRN_SAME(strokeOffsetY);
    KVRN_SAME(strokeOffsetXRnd);
    KVRN_SAME(strokeOffsetYRnd);
    KVRN_SAME(strokeNormalOffset);
    KVRN_SAME(strokeNormalOffsetRnd);
    KVRN_SAME(strokeType);
    KVRN_SAME(noiseAmount);
    KVRN_SAME(noiseAmountRandom);
    KVRN_SAME(noiseCycle);
    KVRN_SAME(noiseCycleRandom);
    KVRN_SAME(noisePhase);
    KVRN_SAME(noisePhaseRandom);
    KVRN_SAME(noiseMapOpacity);
    KVRN_SAME(colorRangeHSV);
    KVRN_SAME(colorRangeR);
    KVRN_SAME(colorRangeG);
    KVRN_SAME(colorRangeB);
#undef KVRN_SAME
    EXPECT_EQ(a.sizeMap == nullptr, b.sizeMap == nullptr);
    EXPECT_EQ(a.colorMap == nullptr, b.colorMap == nullptr);
    EXPECT_EQ(a.brushMap == nullptr, b.brushMap == nullptr);
    EXPECT_EQ(a.noiseMap == nullptr, b.noiseMap == nullptr);
    EXPECT_EQ(Samples(a.sizeReductionCurve), Samples(b.sizeReductionCurve));
    EXPECT_EQ(Samples(a.alphaReductionCurve), Samples(b.alphaReductionCurve));
}

void ExpectSameReduction(const std::shared_ptr<const KvrnLib::ReductionSettings>& a,
                         const std::shared_ptr<const KvrnLib::ReductionSettings>& b,
                         const std::string& where) {
    SCOPED_TRACE(where);
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (!a) return;
    EXPECT_EQ(a->start, b->start);
    EXPECT_EQ(a->end, b->end);
    EXPECT_EQ(a->objectReference, b->objectReference);
    EXPECT_EQ(Samples(a->curve), Samples(b->curve));
    EXPECT_FALSE(Samples(a->curve).empty());
}

// The objects' settings and the same settings as a scene description, built side by side.
class RecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterBrushClasses(ClassDirectory::Instance());
        RegisterLineSetClasses(ClassDirectory::Instance());
        theHold.Clear();
        holder_.Set(new KvrnLine());
    }
    void TearDown() override { theHold.Clear(); }

    KvrnLine& Line() { return *AsLine(holder_.Get()); }

    // Brush indices in the order the record builder ranks brushes.
    void DescribeBrushes(KvrnApp::SceneDescription& desc) {
        for (int i = 0; i < Line().NumLineSets(); ++i)
            for (int v = 0; v < 2; ++v)
                for (int slot = 0; slot < KvrnLineset::kBrushSlots; ++slot) {
                    KvrnBrush* brush = Line().GetLineSet(i)->BrushInSlot(v, slot);
                    if (brush && !index_.count(brush)) {
                        index_.emplace(brush, int32_t(desc.brushes.size()));
                        desc.brushes.push_back(DescOf(*brush));
                    }
                }
        for (int i = 0; i < Line().NumLineSets(); ++i)
            for (int v = 0; v < 2; ++v)
                for (int slot = 0; slot < KvrnApp::kBrushSlotCount; ++slot) {
                    KvrnBrush* brush = Line().GetLineSet(i)->BrushInSlot(v, slot);
                    desc.lineSets[size_t(i)].brushSlots[size_t(v)][size_t(slot)] =
                        brush ? index_.at(brush) : -1;
                }
    }

    // The values these tests change; everything else keeps both sides' defaults.
    static KvrnApp::BrushDesc DescOf(KvrnBrush& brush) {
        KvrnApp::BrushDesc d;
        IParamBlock2& b = *brush.Params();
        d.size = b.GetFloat(kBrushSize);
        d.alpha = b.GetFloat(kBrushAlpha);
        const Color c = b.GetColor(kBrushColor);
        d.color = {c.r, c.g, c.b};
        IParamBlock2& stroke = *brush.Detail()->Block(kDetailStroke);
        d.detail.strokeSplitAngle = stroke.GetFloat(kStrokeSplitAngle);
        d.detail.linkLength = stroke.GetFloat(kLinkLength);
        d.detail.strokeType = stroke.GetInt(kStrokeType);
        d.detail.sizeReductionEnable = brush.Detail()->Block(kDetailSizeReduction)->GetBool(0);
        return d;
    }

    RefHolder holder_;
    std::map<KvrnBrush*, int32_t> index_;
};

TEST_F(RecordsTest, RecordsEqualThoseOfTheSceneDescriptionPath) {
    Scene scene;
    std::vector<INode*> nodes;
    for (const char* name : {"a", "b", "c"}) {
        auto* node = new INode;
        node->SetName(name);
        scene.GetRootNode()->AttachChild(node);
        nodes.push_back(node);
    }
    IParamBlock2& options = *Line().MainBlock();
    options.SetValue(KvrnLine::kRandomSeed, 0, 7);
    options.SetValue(KvrnLine::kOverSampling, 0, 3);
    options.SetValue(KvrnLine::kAntialiasing, 0, 0.5);
    options.SetValue(KvrnLine::kOffscreenDistance, 0, 80.0);
    Line().AddLineSet();
    Line().AddLineSet();
    KvrnLineset& a = *Line().GetLineSet(0);
    KvrnLineset& b = *Line().GetLineSet(1);

    a.MainBlock()->SetValue(KvrnLineset::kID, 0, 3);
    a.MainBlock()->SetValue(KvrnLineset::kWeldEdgesBetweenObjects, 0, true);
    a.AddObjects({nodes[0]});
    IParamBlock2& visible = *a.EdgeBlock(0);
    visible.SetValue(KvrnLineset::kSpecificOutlineEnable, 0, true);
    visible.SetValue(KvrnLineset::kEdgeWire, 0, true);
    visible.SetValue(KvrnLineset::kSpecificWireEnable, 0, true);
    visible.SetValue(KvrnLineset::kOpenEdgeObject, 0, false);
    KvrnBrush* general = a.GeneralBrush(0);
    a.ReplaceReference(KvrnLineset::BrushRef(0, 1), general);
    general->Params()->SetValue(kBrushSize, 0, 2.5);
    general->Params()->SetValue(kBrushColor, 0, ParamValue(Color(1.0f, 0.25f, 0.0f)));
    general->Detail()->Block(kDetailStroke)->SetValue(kStrokeSplitAngle, 0, 45.0);
    general->Detail()->Block(kDetailStroke)->SetValue(kLinkLength, 0, 4.0);
    general->Detail()->Block(kDetailSizeReduction)->SetValue(0, 0, true);
    a.BrushInSlot(0, 7)->Params()->SetValue(kBrushAlpha, 0, 40.0);
    a.BrushInSlot(0, 7)->Detail()->Block(kDetailStroke)->SetValue(kStrokeType, 0, 1);
    IParamBlock2& hidden = *a.EdgeBlock(1);
    hidden.SetValue(KvrnLineset::kEdgeNormal, 0, true);
    hidden.SetValue(KvrnLineset::kSpecificNormalEnable, 0, true);
    hidden.SetValue(KvrnLineset::kEdgeNormalMin, 0, 30.0);
    a.DampBlock(0)->SetValue(KvrnLineset::kSizeReductionEnable, 0, true);
    a.DampBlock(0)->SetValue(KvrnLineset::kAlphaReductionEnable, 0, true);
    a.Reduction(0, 1)->Params()->SetValue(kReductionObjectEnable, 0, true);  // and no node
    a.DampBlock(1)->SetValue(KvrnLineset::kAlphaReductionEnable, 0, true);
    a.Reduction(1, 1)->Params()->SetValue(kReductionStart, 0, 50.0);

    b.MainBlock()->SetValue(KvrnLineset::kEnable, 0, false);
    b.AddObjects({nodes[1]});
    b.ReplaceReference(KvrnLineset::BrushRef(1, 0), general);  // shared across line sets

    KvrnApp::SceneDescription desc;
    for (const char* name : {"a", "b", "c"}) desc.objects.emplace_back().name = name;
    desc.options.randomSeed = 7;
    desc.options.overSampling = 3;
    desc.options.antialiasing = 0.5f;
    desc.options.OffscreenDistance = 80.0f;
    desc.lineSets.resize(2);
    KvrnApp::LineSetDesc& da = desc.lineSets[0];
    da.name = "Set2";
    da.ID = 3;
    da.weldEdgesBetweenObjects = true;
    da.allObjects = false;
    da.objects = {"a"};
    da.edges[0].specificOutlineEnable = true;
    da.edges[0].edgeWire = true;
    da.edges[0].specificWireEnable = true;
    da.edges[0].openEdgeObject = false;
    da.edges[1].edgeNormal = true;
    da.edges[1].specificNormalEnable = true;
    da.edges[1].edgeNormalMin = 30.0f;
    da.edges[0].sizeReductionEnable = true;
    da.edges[0].alphaReductionEnable = true;
    da.reductions[0][1].objectEnable = true;
    da.edges[1].alphaReductionEnable = true;
    da.reductions[1][1].start = 50.0f;
    KvrnApp::LineSetDesc& db = desc.lineSets[1];
    db.name = "Set1";
    db.enable = false;
    db.allObjects = false;
    db.objects = {"b"};
    DescribeBrushes(desc);

    const EngineLineRecords ours =
        BuildEngineRecords(Line(), {nodes[0], nodes[1], nodes[2], nodes[0]}, 0, 960, 4);
    KvrnApp::SceneLineObjects fromDescription(desc);
    const EngineLineRecords theirs =
        KvrnApp::BuildSceneRecords(fromDescription, desc, {0, 1, 2, 0}, 960, 4);

    EXPECT_EQ(ours.detection, theirs.detection);
    EXPECT_EQ(ours.connect, theirs.connect);
    EXPECT_EQ(ours.layerNames, theirs.layerNames);
    EXPECT_EQ(ours.lineSetIndex, theirs.lineSetIndex);
    EXPECT_EQ(ours.threadCount, theirs.threadCount);
    EXPECT_EQ(ours.sizeScale, theirs.sizeScale);
    EXPECT_EQ(ours.draw.randomSeed, theirs.draw.randomSeed);
    EXPECT_EQ(ours.draw.oversampling, theirs.draw.oversampling);
    EXPECT_EQ(ours.draw.filterWidth, theirs.draw.filterWidth);
    ASSERT_EQ(ours.draw.lineSets.size(), theirs.draw.lineSets.size());
    for (size_t i = 0; i < ours.draw.lineSets.size(); ++i) {
        const KvrnLib::LineSetDrawSettings& o = ours.draw.lineSets[i];
        const KvrnLib::LineSetDrawSettings& t = theirs.draw.lineSets[i];
        EXPECT_EQ(o.lineSetId, t.lineSetId);
        EXPECT_EQ(o.seed, t.seed);
        for (int g = 0; g < KvrnLib::kDrawGroupCount; ++g) {
            const std::string where = "set " + std::to_string(i) + " group " + std::to_string(g);
            ExpectSameBrush(o.visible[size_t(g)], t.visible[size_t(g)], where + " visible");
            ExpectSameBrush(o.hidden[size_t(g)], t.hidden[size_t(g)], where + " hidden");
        }
        for (size_t r = 0; r < 4; ++r)
            ExpectSameReduction(o.reductions[r], t.reductions[r],
                                "set " + std::to_string(i) + " reduction " + std::to_string(r));
    }
    // The case is not trivial: shared groups, a specific wire group, a baked brush curve.
    EXPECT_EQ(ours.connect[0].visibleGroup[0], ours.connect[0].visibleGroup[1]);
    EXPECT_NE(ours.connect[0].visibleGroup[6], ours.connect[0].visibleGroup[0]);
    EXPECT_FALSE(Samples(ours.draw.lineSets[0].visible[0].sizeReductionCurve).empty());
    EXPECT_EQ(ours.draw.lineSets[0].reductions[1], nullptr);
    EXPECT_EQ(ours.detection.objects[1].defaultLineSet, 1);
    EXPECT_EQ(ours.detection.objects[2].defaultLineSet, -1);
}

}  // namespace
