#include "uvgen.h"

#include <cmath>

namespace {

constexpr float kDegreesToRadians = 3.14159265358979f / 180.0f;

class UVGenClassDesc2 : public ClassDesc2 {
  public:
    bool IsPublic() const override { return false; }
    ReferenceTarget* Create(bool /*loading*/) override { return NewUVGen(); }
    std::string ClassName() const override { return "UVGen"; }
    SClass_ID SuperClassID() const override { return REF_TARGET_CLASS_ID; }
    Class_ID ClassID() const override { return UVGEN_CLASS_ID; }
};

// One axis into 0..1; false when it is clamped and outside.
bool WrapAxis(float& x, bool tile, bool mirror) {
    if (mirror) {
        float f = x - 2.0f * std::floor(x * 0.5f);
        x = f > 1.0f ? 2.0f - f : f;
        return true;
    }
    if (tile) {
        x -= std::floor(x);
        return true;
    }
    return x >= 0.0f && x <= 1.0f;
}

}  // namespace

ClassDesc2& UVGenClassDesc() {
    static UVGenClassDesc2 desc;
    return desc;
}

ParamBlockDesc2& UVGenBlockDesc() {
    static ParamBlockDesc2* desc = [] {
        auto* d = new ParamBlockDesc2(0, "coordinates", &UVGenClassDesc(), P_AUTO_CONSTRUCT,
                                      UVGen::kRefParams);
        d->AddParam(kUVMapping, "mapping", ParamType::Int).Default(0).Range(0, 1);
        d->AddParam(kUVMapChannel, "mapChannel", ParamType::Int).Default(1).Range(1, 99);
        d->AddParam(kUOffset, "uOffset", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(-1e6f, 1e6f);
        d->AddParam(kVOffset, "vOffset", ParamType::Float, P_ANIMATABLE)
            .Default(0.0)
            .Range(-1e6f, 1e6f);
        d->AddParam(kUTiling, "uTiling", ParamType::Float, P_ANIMATABLE)
            .Default(1.0)
            .Range(-1e6f, 1e6f);
        d->AddParam(kVTiling, "vTiling", ParamType::Float, P_ANIMATABLE)
            .Default(1.0)
            .Range(-1e6f, 1e6f);
        d->AddParam(kWAngle, "wAngle", ParamType::Angle, P_ANIMATABLE)
            .Default(0.0)
            .Range(-1e6f, 1e6f);
        d->AddParam(kUTile, "uTile", ParamType::Bool).Default(true);
        d->AddParam(kVTile, "vTile", ParamType::Bool).Default(true);
        d->AddParam(kUMirror, "uMirror", ParamType::Bool).Default(false);
        d->AddParam(kVMirror, "vMirror", ParamType::Bool).Default(false);
        return d;
    }();
    return *desc;
}

UVGen* NewUVGen() {
    UVGenBlockDesc();
    auto* uvGen = new UVGen;
    UVGenClassDesc().MakeAutoParamBlocks(uvGen);
    return uvGen;
}

ReferenceTarget* UVGen::Clone(RemapDir& remap) {
    auto* clone = new UVGen;
    remap.AddEntry(this, clone);
    clone->ReplaceReference(kRefParams, remap.CloneRef(GetReference(kRefParams)));
    BaseClone(this, clone, remap);
    return clone;
}

IParamBlock2* UVGen::Params() { return dynamic_cast<IParamBlock2*>(GetReference(kRefParams)); }

Interval UVGen::Validity(TimeValue t) {
    IParamBlock2* block = Params();
    return block ? block->Validity(t) : FOREVER;
}

void UVGen::Update(TimeValue t, Interval& valid) {
    IParamBlock2* p = Params();
    if (!p) return;
    valid &= p->Validity(t);
    Cache c;
    c.mapping = p->GetInt(kUVMapping, t);
    c.channel = p->GetInt(kUVMapChannel, t);
    c.uOffset = p->GetFloat(kUOffset, t);
    c.vOffset = p->GetFloat(kVOffset, t);
    c.uTiling = p->GetFloat(kUTiling, t);
    c.vTiling = p->GetFloat(kVTiling, t);
    const float w = p->GetFloat(kWAngle, t) * kDegreesToRadians;
    c.cosW = std::cos(w);
    c.sinW = std::sin(w);
    c.uTile = p->GetBool(kUTile, t);
    c.vTile = p->GetBool(kVTile, t);
    c.uMirror = p->GetBool(kUMirror, t);
    c.vMirror = p->GetBool(kVMirror, t);
    cache_ = c;
}

MapUV UVGen::Transform(ShadeContext& sc) const {
    const Cache& c = cache_;
    float u, v, du, dv;
    if (c.mapping == 1) {
        // Screen rows run downwards; v runs up as it does on a surface.
        const Point2 s = sc.ScreenUV();
        u = s.x;
        v = 1.0f - s.y;
        const int w = sc.ImageWidth(), h = sc.ImageHeight();
        du = w > 0 ? 1.0f / float(w) : 0.0f;
        dv = h > 0 ? 1.0f / float(h) : 0.0f;
    } else {
        const Point3 uvw = sc.UVW(c.channel);
        const Point3 d = sc.DUVW(c.channel);
        u = uvw.x;
        v = uvw.y;
        du = std::fabs(d.x);
        dv = std::fabs(d.y);
    }
    const float x = u - 0.5f, y = v - 0.5f;
    MapUV out;
    out.u = (c.cosW * x - c.sinW * y + 0.5f - c.uOffset) * c.uTiling;
    out.v = (c.sinW * x + c.cosW * y + 0.5f - c.vOffset) * c.vTiling;
    // A pixel's footprint rotated: each axis takes a share of both extents.
    const float cw = std::fabs(c.cosW), sw = std::fabs(c.sinW);
    out.du = (cw * du + sw * dv) * std::fabs(c.uTiling);
    out.dv = (sw * du + cw * dv) * std::fabs(c.vTiling);
    return out;
}

void UVGen::Derivatives(ShadeContext& sc, Point2& dx, Point2& dy) const {
    const Cache& c = cache_;
    Point3 ux, uy;
    if (c.mapping == 1) {
        const int w = sc.ImageWidth(), h = sc.ImageHeight();
        ux = Point3(w > 0 ? 1.0f / float(w) : 0.0f, 0.0f, 0.0f);
        uy = Point3(0.0f, h > 0 ? -1.0f / float(h) : 0.0f, 0.0f);
    } else {
        sc.DUVWdXY(c.channel, ux, uy);
        if (ux == Point3() && uy == Point3()) {
            const Point3 d = sc.DUVW(c.channel);
            ux = Point3(std::fabs(d.x), 0.0f, 0.0f);
            uy = Point3(0.0f, std::fabs(d.y), 0.0f);
        }
    }
    auto map = [&c](const Point3& d) {
        return Point2{(c.cosW * d.x - c.sinW * d.y) * c.uTiling,
                      (c.sinW * d.x + c.cosW * d.y) * c.vTiling};
    };
    dx = map(ux);
    dy = map(uy);
}

Point3 UVGen::BumpPerturb(Texmap& map, ShadeContext& sc) const {
    const int channel = Channel();
    return channel > 0 ? ChannelBumpPerturb(map, sc, channel) : Point3();
}

bool UVGen::Wrap(MapUV& uv) const {
    const bool inU = WrapAxis(uv.u, cache_.uTile, cache_.uMirror);
    const bool inV = WrapAxis(uv.v, cache_.vTile, cache_.vMirror);
    return inU && inV;
}
