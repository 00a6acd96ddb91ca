#include "bitmap_tex.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "image_library.h"

namespace {

class BitmapTexClassDesc2 : public ClassDesc2 {
  public:
    ReferenceTarget* Create(bool loading) override;
    std::string ClassName() const override { return "Bitmap"; }
    SClass_ID SuperClassID() const override { return TEXMAP_CLASS_ID; }
    Class_ID ClassID() const override { return BITMAPTEX_CLASS_ID; }
    std::string Category() const override { return "Maps"; }
};

TextureWrap WrapMode(bool tile, bool mirror) {
    if (mirror) return TextureWrap::kMirror;
    return tile ? TextureWrap::kPeriodic : TextureWrap::kBlack;
}

}  // namespace

ClassDesc2& BitmapTexClassDesc() {
    static BitmapTexClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& BitmapTexBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "parameters", &BitmapTexClassDesc(), P_AUTO_CONSTRUCT,
                                      BitmapTex::kRefParams);
        d->AddParam(kBitmapFileName, "fileName", ParamType::Filename).Default("");
        d->AddParam(kBitmapFiltering, "filtering", ParamType::Int).Default(0).Range(0, 2);
        d->AddParam(kBitmapAlphaSource, "alphaSource", ParamType::Int).Default(0).Range(0, 2);
        d->AddParam(kBitmapCoords, "coords", ParamType::RefTarg).OwnerRef(BitmapTex::kRefUVGen);
        d->AddParam(kBitmapOutput, "output", ParamType::RefTarg).OwnerRef(BitmapTex::kRefOutput);
        return d;
    }();
    return *desc;
}

ReferenceTarget* BitmapTexClassDesc2::Create(bool loading) {
    BitmapTexBlockDesc();
    auto* bitmap = new BitmapTex;
    MakeAutoParamBlocks(bitmap);
    bitmap->ReplaceReference(BitmapTex::kRefUVGen, NewUVGen());
    bitmap->ReplaceReference(BitmapTex::kRefOutput, NewTexOutput());
    if (!loading) bitmap->SetName(NextMtlBaseName(true));
    return bitmap;
}

std::string BitmapTex::SubAnimName(int i) {
    static const char* const names[] = {"parameters", "coordinates", "output"};
    return i >= 0 && i < kRefCount ? names[i] : "";
}

ReferenceTarget* BitmapTex::Clone(RemapDir& remap) {
    auto* clone = new BitmapTex;
    CloneInto(clone, remap);
    return clone;
}

IParamBlock2* BitmapTex::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }
UVGen* BitmapTex::GetUVGen() { return dynamic_cast<UVGen*>(GetReference(kRefUVGen)); }
TexOutput* BitmapTex::GetTexOutput() { return dynamic_cast<TexOutput*>(GetReference(kRefOutput)); }

Interval BitmapTex::Validity(TimeValue t) {
    Interval valid = FOREVER;
    if (IParamBlock2* p = Params()) valid &= p->Validity(t);
    if (UVGen* uv = GetUVGen()) valid &= uv->Validity(t);
    if (TexOutput* out = GetTexOutput()) valid &= out->Validity(t);
    return valid;
}

void BitmapTex::Update(TimeValue t, Interval& valid) {
    cache_ = Cache();
    IParamBlock2* p = Params();
    if (!p) return;
    valid &= p->Validity(t);
    const std::string file = p->GetStr(kBitmapFileName, t);
    if (file.empty()) throw std::runtime_error(GetName() + ": no bitmap file set");
    std::string reason;
    int channels = 0;
    void* handle = GetImageLibrary().OpenTexture(file, channels, reason);
    if (!handle) throw std::runtime_error(file + ": cannot read texture: " + reason);
    Cache c;
    c.handle = handle;
    c.channels = channels;
    c.filtering = p->GetInt(kBitmapFiltering, t);
    c.alphaSource = p->GetInt(kBitmapAlphaSource, t);
    if (UVGen* uv = GetUVGen()) {
        uv->Update(t, valid);
        c.uvGen = uv;
    }
    if (TexOutput* out = GetTexOutput()) {
        out->Update(t, valid);
        c.output = out;
    }
    cache_ = c;
}

AColor BitmapTex::EvalColor(ShadeContext& sc) {
    const Cache& c = cache_;
    if (!c.handle || !c.uvGen) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
    const MapUV uv = c.uvGen->Transform(sc);
    MapUV wrapped = uv;
    if (!c.uvGen->Wrap(wrapped)) return AColor(0.0f, 0.0f, 0.0f, 0.0f);

    TextureLookup lookup;
    lookup.swrap = WrapMode(c.uvGen->TilesU(), c.uvGen->MirrorsU());
    lookup.twrap = WrapMode(c.uvGen->TilesV(), c.uvGen->MirrorsV());
    lookup.mipmapped = c.filtering == 0;
    lookup.bilinear = c.filtering != 2;
    // Image rows run downwards from t = 0; v runs up. The texture system wraps the unwrapped
    // coordinates itself so that filtering across a seam sees the neighbouring repeat.
    float texel[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    const int channels = std::min(c.channels, 4);
    lookup.s = uv.u;
    lookup.t = 1.0f - uv.v;
    if (sc.filterMaps) {
        Point2 dx, dy;
        c.uvGen->Derivatives(sc, dx, dy);
        lookup.dsdx = dx.x;
        lookup.dtdx = -dx.y;
        lookup.dsdy = dy.x;
        lookup.dtdy = -dy.y;
    }
    lookup.channels = channels;
    if (!GetImageLibrary().Texture(c.handle, lookup, texel)) {
        return AColor(0.0f, 0.0f, 0.0f, 0.0f);
    }
    AColor color;
    if (channels <= 2) {
        // Grey (and grey with alpha).
        color = AColor(texel[0], texel[0], texel[0], channels == 2 ? texel[1] : 1.0f);
    } else {
        color = AColor(texel[0], texel[1], texel[2], channels == 4 ? texel[3] : 1.0f);
    }
    if (c.alphaSource == 1) color.a = Intensity(color);
    if (c.alphaSource == 2) color.a = 1.0f;
    return c.output ? c.output->Filter(color) : color;
}

Point3 BitmapTex::EvalNormalPerturb(ShadeContext& sc) {
    return cache_.uvGen ? cache_.uvGen->BumpPerturb(*this, sc) : Point3();
}
