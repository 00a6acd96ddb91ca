#include "kvrn_line_rend_elem.h"

#include <array>
#include <vector>

#include "bitmap_raster.h"
#include "class_id.h"
#include "line_classes.h"
#include "string_table.h"

namespace {

constexpr int kElementNameString = 17000;

class LineRendElemClassDesc : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override { return new KvrnLineRendElem(loading); }
    std::string ClassName() const override {
        return KvrnHost::GetStringOrEmpty(kElementNameString);
    }
    SClass_ID SuperClassID() const override { return RENDER_ELEMENT_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_LINE_REND_ELEM_CLASS_ID; }
};

struct LineRendElemClass {
    LineRendElemClassDesc desc;
    ParamBlockDesc2 main{0, "Kovrin Line render element parameters", &desc, P_AUTO_CONSTRUCT,
                         KvrnLineRendElemRefsDef::kRefMain};

    LineRendElemClass() {
        using E = KvrnLineRendElem;
        main.AddParam(E::kEnabled, "enabled", ParamType::Bool, 0, 81).Default(true);
        main.AddParam(E::kFilterOn, "filterOn", ParamType::Bool, 0, 82).Default(true);
        main.AddParam(E::kElementName, "elementName", ParamType::String, 0, 83).Default("");
        main.AddParam(E::kBitmap, "bitmap", ParamType::Filename, 0, 84).Default("");
        main.AddParam(E::kLineBackgroundColorEnable, "lineBackgroundColorEnable", ParamType::Bool,
                      0, 7010)
            .Default(false);
        main.AddParam(E::kLineBackgroundColor, "lineBackgroundColor", ParamType::Color, 0, 7011)
            .Default(ParamValue(Color(1.0f, 1.0f, 1.0f)));
        main.AddParam(E::kVisibleLineEnable, "visibleLineEnable", ParamType::Bool, 0, 7012)
            .Default(true);
        main.AddParam(E::kHiddenLineEnable, "hiddenLineEnable", ParamType::Bool, 0, 7013)
            .Default(true);
        main.AddParam(E::kOutlineEnable, "outlineEnable", ParamType::Bool, 0, 7015).Default(true);
        main.AddParam(E::kObjectEnable, "objectEnable", ParamType::Bool, 0, 7016).Default(true);
        main.AddParam(E::kIsectEnable, "isectEnable", ParamType::Bool, 0, 7017).Default(true);
        main.AddParam(E::kSmoothEnable, "smoothEnable", ParamType::Bool, 0, 7018).Default(true);
        main.AddParam(E::kMatidEnable, "matidEnable", ParamType::Bool, 0, 7019).Default(true);
        main.AddParam(E::kSelEnable, "selEnable", ParamType::Bool, 0, 7022).Default(true);
        main.AddParam(E::kNormalEnable, "normalEnable", ParamType::Bool, 0, 7020).Default(true);
        main.AddParam(E::kWireEnable, "wireEnable", ParamType::Bool, 0, 7023).Default(true);
        main.AddTable(E::kLinesetID, "linesetID", ParamType::Bool, 0, 7021)
            .TableSize(E::kLineSetIdCount)
            .Default(true);
    }
};

LineRendElemClass& TheClass() {
    static LineRendElemClass theClass;
    return theClass;
}

// The switch of each edge kind 0 .. 7; kinds 8 and 9 have none and are never excluded.
constexpr std::array<ParamID, 8> kKindSwitch = {
    KvrnLineRendElem::kOutlineEnable, KvrnLineRendElem::kObjectEnable,
    KvrnLineRendElem::kIsectEnable,   KvrnLineRendElem::kSmoothEnable,
    KvrnLineRendElem::kMatidEnable,   KvrnLineRendElem::kNormalEnable,
    KvrnLineRendElem::kWireEnable,    KvrnLineRendElem::kSelEnable};

// Host conversion to 16 bits per channel: value * 65535 truncated, clamped.
uint16_t To16(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 65535;
    return uint16_t(v * 65535.0f);
}

}  // namespace

ClassDesc2* GetKvrnLineRendElemDesc() { return &TheClass().desc; }

KvrnLineRendElem* AsLineRendElem(ReferenceTarget* target) {
    if (!target || target->ClassID() != KVRN_LINE_REND_ELEM_CLASS_ID) return nullptr;
    return dynamic_cast<KvrnLineRendElem*>(target);
}

void RegisterLineRenderElementClass(ClassDirectory& directory) {
    directory.Register(GetKvrnLineRendElemDesc());
}

KvrnLineRendElem::KvrnLineRendElem(bool loading) {
    if (loading) return;
    TheClass().desc.MakeAutoParamBlocks(this);
    // Not recorded for undo: creating the element is the user's edit.
    MainBlock()->SetValue(kElementName, 0, KvrnHost::GetStringOrEmpty(kElementNameString));
}

Class_ID KvrnLineRendElem::ClassID() const { return KVRN_LINE_REND_ELEM_CLASS_ID; }

std::string KvrnLineRendElem::ClassName() const {
    return KvrnHost::GetStringOrEmpty(kElementNameString);
}

ReferenceTarget* KvrnLineRendElem::Clone(RemapDir& remap) {
    auto* clone = new KvrnLineRendElem(true);
    remap.AddEntry(this, clone);
    clone->ReplaceReference(kRefMain, remap.CloneRef(GetReference(kRefMain)));
    BaseClone(this, clone, remap);
    return clone;
}

IParamBlock2* KvrnLineRendElem::MainBlock() const {
    return dynamic_cast<IParamBlock2*>(const_cast<KvrnLineRendElem*>(this)->GetReference(kRefMain));
}

bool KvrnLineRendElem::IsEnabled() const {
    IParamBlock2* block = MainBlock();
    return block && block->GetBool(kEnabled);
}

std::string KvrnLineRendElem::ElementName() const {
    IParamBlock2* block = MainBlock();
    return block ? block->GetStr(kElementName) : std::string();
}

std::shared_ptr<const KvrnLib::RenderElementOutputSettings> KvrnLineRendElem::FillRecord(
    TimeValue t) const {
    IParamBlock2* block = MainBlock();
    if (!block || !GetBitmapPtr()) return nullptr;
    auto record = std::make_shared<KvrnLib::RenderElementOutputSettings>();
    record->raster = ConvertToLineEffectRaster(GetBitmapPtr());
    record->hideVisible = block->GetBool(kVisibleLineEnable, t) ? 0 : 1;
    record->hideHidden = block->GetBool(kHiddenLineEnable, t) ? 0 : 1;
    record->excludedEdgeKinds.reserve(10);
    for (size_t kind = 0; kind < kKindSwitch.size(); ++kind)
        if (!block->GetBool(kKindSwitch[kind], t))
            record->excludedEdgeKinds.push_back(int32_t(kind));
    for (int i = 0; i < kLineSetIdCount; ++i)
        if (!block->GetBool(kLinesetID, t, i)) record->excludedLineSetIds.push_back(i + 1);
    return record;
}

BMM_Color_fl KvrnLineRendElem::BackgroundColor(TimeValue t) const {
    IParamBlock2* block = MainBlock();
    if (!block || !block->GetBool(kLineBackgroundColorEnable, t)) return {};
    const Color c = block->GetColor(kLineBackgroundColor, t);
    return {c.r, c.g, c.b, 0.0f};
}

void KvrnLineRendElem::FillBackground(TimeValue t) {
    Bitmap* bitmap = GetPBitmap();
    if (!bitmap) return;
    const BMM_Color_fl c = BackgroundColor(t);
    const BMM_Color_64 pixel{To16(c.r), To16(c.g), To16(c.b), To16(c.a)};
    // The renderer hands out zeroed bitmaps: a zero colour needs no pass (nor its page faults).
    if (pixel == BMM_Color_64{}) return;
    const std::vector<BMM_Color_64> row(size_t(bitmap->Width()), pixel);
    for (int y = 0; y < bitmap->Height(); ++y) bitmap->PutPixels(0, y, bitmap->Width(), row.data());
}
