#include "texmap.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kPi = 3.14159265358979f;

// Answers as the wrapped context does; subclasses replace what they change.
class ForwardingShadeContext : public ShadeContext {
  public:
    explicit ForwardingShadeContext(ShadeContext& base) : base_(base) {
        mode = base.mode;
        shadow = base.shadow;
        doMaps = base.doMaps;
        filterMaps = base.filterMaps;
        backFace = base.backFace;
        rayLevel = base.rayLevel;
    }
    Point3 P() override { return base_.P(); }
    Point3 N() override { return base_.N(); }
    Point3 Ng() override { return base_.Ng(); }
    Point3 V() override { return base_.V(); }
    Point3 UVW(int channel) override { return base_.UVW(channel); }
    Point3 DUVW(int channel) override { return base_.DUVW(channel); }
    void DPdUVW(int channel, Point3 basis[3]) override { base_.DPdUVW(channel, basis); }
    Point2 ScreenCoord() override { return base_.ScreenCoord(); }
    Point2 ScreenUV() override { return base_.ScreenUV(); }
    int MtlNum() override { return base_.MtlNum(); }
    int NodeID() override { return base_.NodeID(); }
    int ImageWidth() override { return base_.ImageWidth(); }
    int ImageHeight() override { return base_.ImageHeight(); }
    Color AmbientLight() override { return base_.AmbientLight(); }
    TimeValue CurTime() override { return base_.CurTime(); }
    Point3 OrigNormal() override { return base_.OrigNormal(); }
    void DP(Point3& dpdx, Point3& dpdy) override { base_.DP(dpdx, dpdy); }
    void DUVWdXY(int channel, Point3& dx, Point3& dy) override { base_.DUVWdXY(channel, dx, dy); }
    float Curve() override { return base_.Curve(); }
    float Distance() override { return base_.Distance(); }
    int NumLights() override { return base_.NumLights(); }
    LightDesc* Light(int i) override { return base_.Light(i); }
    Color Transmission(const Point3& from, const Point3& dir, float maxDist,
                       const INode* const* skip, int skipCount) override {
        return base_.Transmission(from, dir, maxDist, skip, skipCount);
    }
    AColor EvalEnvironMap(const Point3& dir) override { return base_.EvalEnvironMap(dir); }
    AColor Background() override { return base_.Background(); }
    bool TraceRay(const TraceRequest& ray, TraceResult& result) override {
        return base_.TraceRay(ray, result);
    }
    INode* Node() override { return base_.Node(); }
    int ObjectID() override { return base_.ObjectID(); }
    Point3 CamToWorldVector(const Point3& v) override { return base_.CamToWorldVector(v); }
    int ProjType() override { return base_.ProjType(); }
    bool InMtlEditor() override { return base_.InMtlEditor(); }
    const RenderGlobalContext* GlobContext() override { return base_.GlobContext(); }

  protected:
    ShadeContext& base_;
};

// The sample moved by a small step: one channel's UVW and the point.
class OffsetShadeContext : public ForwardingShadeContext {
  public:
    OffsetShadeContext(ShadeContext& base, int channel, const Point3& uvwStep, const Point3& pStep)
        : ForwardingShadeContext(base), channel_(channel), uvwStep_(uvwStep), pStep_(pStep) {}
    Point3 P() override { return base_.P() + pStep_; }
    Point3 UVW(int channel) override {
        return channel == channel_ ? base_.UVW(channel) + uvwStep_ : base_.UVW(channel);
    }

  private:
    int channel_;
    Point3 uvwStep_;
    Point3 pStep_;
};

// A direction seen as an environment: every channel reads its spherical angles.
class EnvironmentShadeContext : public ForwardingShadeContext {
  public:
    EnvironmentShadeContext(ShadeContext& base, const Point3& dir)
        : ForwardingShadeContext(base), dir_(Normalize(dir)) {
        const Point3 w = Normalize(base.CamToWorldVector(dir_));
        float u = std::atan2(w.x, w.y) / (2.0f * kPi);
        if (u < 0.0f) u += 1.0f;
        const float polar = std::acos(std::clamp(-w.z, -1.0f, 1.0f));
        uvw_ = Point3(u, polar / kPi, 0.0f);
        if (base.filterMaps) {
            // The ray's spread: the pixel's own angle, and twice the normal's turn over the
            // pixel for a reflected ray.
            Point3 dpdx, dpdy;
            base.DP(dpdx, dpdy);
            const float dist = std::max(base.Distance(), 1e-6f);
            const float spread =
                std::max(dpdx.Length(), dpdy.Length()) / dist + 2.0f * std::fabs(base.Curve());
            const float around = std::max(std::sin(polar), 1e-3f);
            duvw_ = Point3(std::min(spread / (2.0f * kPi * around), 1.0f), spread / kPi, 0.0f);
        }
    }
    Point3 V() override { return dir_; }
    Point3 UVW(int) override { return uvw_; }
    Point3 DUVW(int) override { return duvw_; }
    void DUVWdXY(int, Point3& dx, Point3& dy) override {
        dx = Point3(duvw_.x, 0.0f, 0.0f);
        dy = Point3(0.0f, duvw_.y, 0.0f);
    }
    void DPdUVW(int, Point3 basis[3]) override { basis[0] = basis[1] = basis[2] = Point3(); }

  private:
    Point3 dir_;
    Point3 uvw_;
    Point3 duvw_;
};

// Central difference of the map's value for a step (uvw and point move together).
float Difference(Texmap& map, ShadeContext& sc, int channel, const Point3& uvwStep,
                 const Point3& pStep) {
    OffsetShadeContext ahead(sc, channel, uvwStep, pStep);
    OffsetShadeContext behind(sc, channel, -uvwStep, -pStep);
    return map.EvalMono(ahead) - map.EvalMono(behind);
}

}  // namespace

AColor EvalEnvironmentMap(Texmap& map, ShadeContext& sc, const Point3& dir) {
    EnvironmentShadeContext env(sc, dir);
    return map.EvalColor(env);
}

Point3 ChannelBumpPerturb(Texmap& map, ShadeContext& sc, int channel) {
    Point3 basis[3];
    sc.DPdUVW(channel, basis);
    const float lu = basis[0].Length(), lv = basis[1].Length();
    if (lu <= 0.0f || lv <= 0.0f) return Point3();
    const Point3 footprint = sc.DUVW(channel);
    const float du = std::max(std::fabs(footprint.x), kMinBumpStep);
    const float dv = std::max(std::fabs(footprint.y), kMinBumpStep);
    const float dmdu =
        Difference(map, sc, channel, Point3(du, 0.0f, 0.0f), basis[0] * du) / (2.0f * du);
    const float dmdv =
        Difference(map, sc, channel, Point3(0.0f, dv, 0.0f), basis[1] * dv) / (2.0f * dv);
    return -(basis[0] * (dmdu / lu) + basis[1] * (dmdv / lv));
}

Point3 PointBumpPerturb(Texmap& map, ShadeContext& sc, float cellSize) {
    const Point3 n = Normalize(sc.N());
    // Any two directions across the normal.
    const Point3 helper =
        std::fabs(n.x) < 0.9f ? Point3(1.0f, 0.0f, 0.0f) : Point3(0.0f, 1.0f, 0.0f);
    const Point3 t1 = Normalize(CrossProd(n, helper));
    const Point3 t2 = CrossProd(n, t1);
    Point3 dpdx, dpdy;
    sc.DP(dpdx, dpdy);
    const float h = std::max(std::max(dpdx.Length(), dpdy.Length()), kMinBumpStep * cellSize);
    const float scale = cellSize / (2.0f * h);
    const float d1 = Difference(map, sc, -1, Point3(), t1 * h) * scale;
    const float d2 = Difference(map, sc, -1, Point3(), t2 * h) * scale;
    return -(t1 * d1 + t2 * d2);
}
