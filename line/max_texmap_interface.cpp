#include "max_texmap_interface.h"

namespace {

Point3 ToHost(const KvrnLib::Point3& p) { return {p.x, p.y, p.z}; }

}  // namespace

KvrnLibShadeContext::KvrnLibShadeContext(const KvrnLib::TexmapContext& context, TimeValue t)
    : context_(context), time_(t) {
    backFace = context.IsBackFace();
}

Point3 KvrnLibShadeContext::P() { return ToHost(context_.ShadedPoint()); }
Point3 KvrnLibShadeContext::N() { return ToHost(context_.Normal()); }
Point3 KvrnLibShadeContext::Ng() { return ToHost(context_.GeometricNormal()); }
Point3 KvrnLibShadeContext::V() { return ToHost(context_.ViewDirection()); }
Point3 KvrnLibShadeContext::UVW(int channel) { return ToHost(context_.TextureCoord(channel)); }
Point3 KvrnLibShadeContext::DUVW(int channel) {
    return ToHost(context_.TextureCoordDelta(channel));
}

void KvrnLibShadeContext::DPdUVW(int channel, Point3 basis[3]) {
    KvrnLib::Point3 engine[3];
    context_.BumpVectors(channel, engine);
    for (int i = 0; i < 3; ++i) basis[i] = ToHost(engine[i]);
}

Point2 KvrnLibShadeContext::ScreenCoord() {
    const KvrnLib::Point2 p = context_.ScreenPosition();
    return {p.x, p.y};
}

Point2 KvrnLibShadeContext::ScreenUV() {
    const KvrnLib::Point2 p = context_.ScreenUV();
    return {p.x, p.y};
}

int KvrnLibShadeContext::MtlNum() { return context_.MaterialId(); }
int KvrnLibShadeContext::NodeID() { return context_.NodeId(); }
int KvrnLibShadeContext::ImageWidth() { return context_.ImageWidth(); }
int KvrnLibShadeContext::ImageHeight() { return context_.ImageHeight(); }

Color KvrnLibShadeContext::AmbientLight() {
    const KvrnLib::Point3 a = context_.AmbientLight();
    return {a.x, a.y, a.z};
}

MaxTexmapInterface::MaxTexmapInterface(Texmap* map, TimeValue t) : map_(map), time_(t) {}

KvrnLib::ColorFloat MaxTexmapInterface::EvalColor(const KvrnLib::TexmapContext& context) const {
    KvrnLibShadeContext sc(context, time_);
    const AColor c = map_->EvalColor(sc);
    return {c.r, c.g, c.b, c.a};
}

float MaxTexmapInterface::EvalMono(const KvrnLib::TexmapContext& context) const {
    KvrnLibShadeContext sc(context, time_);
    return map_->EvalMono(sc);
}

std::shared_ptr<const KvrnLib::TexmapInterface> MakeTexmapInterface(Texmap* map, TimeValue t) {
    if (!map) return nullptr;
    Interval valid = FOREVER;
    map->Update(t, valid);
    return std::make_shared<MaxTexmapInterface>(map, t);
}
