#include "file_out_effect.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <utility>

#include "file_out_delegate.h"
#include "file_output.h"
#include "string_table.h"

#if __has_include("line_render_driver.h")
#include "line_render_driver.h"
#define KVRN_HAVE_LINE_RENDER_DRIVER 1
#endif

namespace {

constexpr int kClassNameString = 13001;  // "Kovrin File Output"
constexpr int kMaxFileTypeIndex = 1;
constexpr int kLineSetIdCount = 8;

class FileOutClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override { return new KvrnFileOut(loading); }
    std::string ClassName() const override { return KvrnHost::GetStringOrEmpty(kClassNameString); }
    SClass_ID SuperClassID() const override { return RENDER_EFFECT_CLASS_ID; }
    Class_ID ClassID() const override { return KVRN_FILE_OUT_CLASS_ID; }
    std::string InternalName() const override { return "KvrnFileOut"; }
};

struct FileOutClass {
    FileOutClassDesc2 desc;
    ParamBlockDesc2 file{0, "kovrin_fileout", &desc, P_AUTO_CONSTRUCT, KvrnFileOut::kRefFile};
    ParamBlockDesc2 line{1, "kovrin_fileout_line", &desc, P_AUTO_CONSTRUCT, KvrnFileOut::kRefLine};

    FileOutClass() {
        file.AddParam(kFileOutFileType, "fileType", ParamType::Int, 0, 3010)
            .Default(0)
            .Range(0.0f, float(kMaxFileTypeIndex));
        file.AddParam(kFileOutFileName, "fileName", ParamType::String, 0, 3011).Default("");

        const struct {
            ParamID id;
            const char* name;
            int label;
        } switches[] = {
            {kFileOutVisibleLineEnable, "visibleLineEnable", 7012},
            {kFileOutHiddenLineEnable, "hiddenLineEnable", 7013},
            {kFileOutOutlineEnable, "outlineEnable", 7015},
            {kFileOutObjectEnable, "objectEnable", 7016},
            {kFileOutIsectEnable, "isectEnable", 7017},
            {kFileOutSmoothEnable, "smoothEnable", 7018},
            {kFileOutMatidEnable, "matidEnable", 7019},
            {kFileOutNormalEnable, "normalEnable", 7020},
            {kFileOutSelEnable, "selEnable", 7022},
            {kFileOutWireEnable, "wireEnable", 7023},
        };
        for (const auto& s : switches) {
            line.AddParam(s.id, s.name, ParamType::Bool, 0, s.label).Default(true);
        }
        line.AddTable(kFileOutLinesetID, "linesetID", ParamType::Bool, 0, 7021)
            .TableSize(kLineSetIdCount)
            .Default(true);
    }
};

FileOutClass& TheClass() {
    static FileOutClass theClass;
    return theClass;
}

// Host strings are UTF-8 and the writers' names wide; std::filesystem's own conversions follow
// the C locale and refuse anything outside ASCII, so both directions are done here. Bytes that
// are not UTF-8 become U+FFFD and make the result false.
bool Utf8ToWide(const std::string& text, std::wstring& wide) {
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};  // overlong forms are refused
    bool valid = true;
    wide.clear();
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = lead < 0x80         ? 1
                     : (lead >> 5) == 6  ? 2
                     : (lead >> 4) == 14 ? 3
                     : (lead >> 3) == 30 ? 4
                                         : 0;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const size_t at = i + size_t(k);
            if (at >= text.size() || (static_cast<unsigned char>(text[at]) >> 6) != 2) {
                length = 0;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[at]) & 0x3F);
        }
        if (length == 0 || c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            wide += L'\uFFFD';
            valid = false;
            ++i;
            continue;
        }
        wide += wchar_t(c);
        i += size_t(length);
    }
    return valid;
}

std::u8string WideToUtf8(std::wstring_view wide) {
    std::u8string text;
    for (const wchar_t w : wide) {
        const auto c = char32_t(w);
        if (c < 0x80) {
            text += char8_t(c);
        } else if (c < 0x800) {
            text += char8_t(0xC0 | (c >> 6));
            text += char8_t(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += char8_t(0xE0 | (c >> 12));
            text += char8_t(0x80 | ((c >> 6) & 0x3F));
            text += char8_t(0x80 | (c & 0x3F));
        } else {
            text += char8_t(0xF0 | (c >> 18));
            text += char8_t(0x80 | ((c >> 12) & 0x3F));
            text += char8_t(0x80 | ((c >> 6) & 0x3F));
            text += char8_t(0x80 | (c & 0x3F));
        }
    }
    return text;
}

KvrnVectorOut::FileOutLineSwitches SwitchesAt(IParamBlock2& block, TimeValue t) {
    KvrnVectorOut::FileOutLineSwitches s;
    s.visibleLineEnable = block.GetBool(kFileOutVisibleLineEnable, t);
    s.hiddenLineEnable = block.GetBool(kFileOutHiddenLineEnable, t);
    s.outlineEnable = block.GetBool(kFileOutOutlineEnable, t);
    s.objectEnable = block.GetBool(kFileOutObjectEnable, t);
    s.isectEnable = block.GetBool(kFileOutIsectEnable, t);
    s.smoothEnable = block.GetBool(kFileOutSmoothEnable, t);
    s.matidEnable = block.GetBool(kFileOutMatidEnable, t);
    s.normalEnable = block.GetBool(kFileOutNormalEnable, t);
    s.wireEnable = block.GetBool(kFileOutWireEnable, t);
    s.selEnable = block.GetBool(kFileOutSelEnable, t);
    // A table shortened by a script reads its missing entries as off.
    for (int i = 0; i < kLineSetIdCount; ++i) {
        s.linesetID[size_t(i)] = block.GetBool(kFileOutLinesetID, t, i);
    }
    return s;
}

}  // namespace

ClassDesc2& FileOutClassDesc() { return TheClass().desc; }

void RegisterFileOutClass(ClassDirectory& directory) { directory.Register(&FileOutClassDesc()); }

void DrawActiveLineEffects(TimeValue t, RenderGlobalContext* gc, LineFileOutput& out,
                           CheckAbortCallback* cb) {
#ifdef KVRN_HAVE_LINE_RENDER_DRIVER
    for (KvrnLine* line : ActiveLineEffects(gc, t)) {
        if (line) RenderLinesForFileOut(*line, t, out, cb);
    }
#else
    static_cast<void>(t);
    static_cast<void>(gc);
    static_cast<void>(out);
    static_cast<void>(cb);
#endif
}

std::wstring FileOutPath(std::wstring_view fileName, bool rangeRender, long long frame) {
    if (fileName.find(L'#') == std::wstring_view::npos) {
        return KvrnVectorOut::OutputFileName(fileName, rangeRender, frame);
    }
    // The same rule as the renderer's image names, so both outputs of a frame match.
    const std::wstring digits = std::to_wstring(frame < 0 ? -frame : frame);
    std::wstring name;
    for (size_t at = 0; at < fileName.size();) {
        if (fileName[at] != L'#') {
            name += fileName[at++];
            continue;
        }
        const size_t end = std::min(fileName.find_first_not_of(L'#', at), fileName.size());
        if (frame < 0) name += L'-';
        if (digits.size() < end - at) name.append(end - at - digits.size(), L'0');
        name += digits;
        at = end;
    }
    return name;
}

// ---- KvrnFileOut

KvrnFileOut::KvrnFileOut(bool loading) : drawLines_(DrawActiveLineEffects) {
    if (!loading) TheClass().desc.MakeAutoParamBlocks(this);
}

std::string KvrnFileOut::ClassName() const { return FileOutClassDesc().ClassName(); }

std::string KvrnFileOut::SubAnimName(int i) {
    if (i == kRefFile) return TheClass().file.InternalName();
    if (i == kRefLine) return TheClass().line.InternalName();
    return std::string();
}

ReferenceTarget* KvrnFileOut::Clone(RemapDir& remap) {
    auto* clone = new KvrnFileOut(true);
    remap.AddEntry(this, clone);
    for (int i = 0; i < kNumRefs; ++i) clone->ReplaceReference(i, remap.CloneRef(GetReference(i)));
    clone->SetName(GetName());
    clone->drawLines_ = drawLines_;
    BaseClone(this, clone, remap);
    return clone;
}

IParamBlock2* KvrnFileOut::FileBlock() {
    return dynamic_cast<IParamBlock2*>(GetReference(kRefFile));
}

IParamBlock2* KvrnFileOut::LineBlock() {
    return dynamic_cast<IParamBlock2*>(GetReference(kRefLine));
}

void KvrnFileOut::Apply(TimeValue, Bitmap*, RenderGlobalContext*, CheckAbortCallback*) {}

void KvrnFileOut::SetLineDrawingStep(LineDrawingStep step) {
    drawLines_ = step ? std::move(step) : LineDrawingStep(DrawActiveLineEffects);
}

void KvrnFileOut::Output(TimeValue t, RenderGlobalContext* gc, CheckAbortCallback* cb) {
    lastWritePath_.clear();
    lastWriteResult_ = 0;
    IParamBlock2* block = FileBlock();
    if (!block || !gc) return;
    const std::string fileName = block->GetStr(kFileOutFileName, t);
    if (fileName.empty()) return;
    std::unique_ptr<KvrnVectorOut::VectorImage> writer =
        KvrnVectorOut::CreateVectorImage(block->GetInt(kFileOutFileType, t));
    if (!writer) return;

    const RenderSettings* settings = gc->setup ? &gc->setup->settings : nullptr;
    int width = gc->devWidth, height = gc->devHeight;
    if ((width <= 0 || height <= 0) && settings) {
        width = settings->width;
        height = settings->height;
    }
    if (width <= 0 || height <= 0) return;

    // The delegates the line effects obtain during the drawing record into writer_; it is
    // dropped on every way out so that a later delegate records nothing.
    writer_ = std::move(writer);
    width_ = float(width);
    height_ = float(height);
    struct DropWriter {
        KvrnFileOut& self;
        ~DropWriter() {
            self.writer_.reset();
            self.width_ = self.height_ = 0.0f;
        }
    } dropWriter{*this};

    KvrnVectorOut::RecordPageSetup(*writer_, width_, height_);
    drawLines_(t, gc, *this, cb);
    if (cb && cb->Check()) return;

    const bool rangeRender = settings && settings->rangeRender;
    const long long frame = KvrnVectorOut::FrameNumber(t, GetTicksPerFrame());
    std::wstring wideName;
    const bool utf8 = Utf8ToWide(fileName, wideName);
    lastWritePath_ = FileOutPath(wideName, rangeRender, frame);
    if (!utf8) {
        lastWriteResult_ = EILSEQ;
        return;
    }
    writer_->Optimize();
    const std::filesystem::path path(WideToUtf8(lastWritePath_));
    if (!staged_) {
        lastWriteResult_ = writer_->Write(path);
        return;
    }
    KvrnVectorOut::StagedFile file;
    lastWriteResult_ = file.Write(path, writer_->Serialize());
    if (lastWriteResult_ == 0) staged_->push_back(std::move(file));
}

std::shared_ptr<KvrnLib::LineEffectDrawDelegate> KvrnFileOut::GetLineDrawDelegate(
    TimeValue t, const std::vector<std::wstring>& names) {
    IParamBlock2* block = LineBlock();
    const KvrnVectorOut::FileOutLineSwitches switches =
        block ? SwitchesAt(*block, t) : KvrnVectorOut::FileOutLineSwitches{};
    return std::make_shared<KvrnVectorOut::LineEffectDrawDelegateForFileOut>(
        names, width_, height_, writer_.get(), switches);
}
