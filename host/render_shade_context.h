// The shade context the shading renderer hands to materials, and the per-frame data it reads.
// One context per worker thread and nesting depth; a context answers for the sample it was
// last moved to.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "light_desc.h"
#include "mtl.h"
#include "ray_tracer.h"
#include "render.h"
#include "shade_context.h"

namespace KvrnShading {

struct InstanceShading {
    Mtl* mtl = nullptr;
    bool mayBeTransparent = false;
    std::vector<LightDesc*> lights;
};

// Light components a sample carries for the shading elements, filtered like its colour.
enum class ChannelSource { kDiffuse, kSpecular, kShadow, kSelfIllum, kReflection };

struct Channel {
    ChannelSource source;
    IRenderElement* element = nullptr;
};

// An element that takes what materials write in its out.elementVals slot: the mean of each
// pixel's samples. Most such elements (the line element) get nothing from any material, so
// the storage is left unmapped until a pixel has a value, and an element nobody wrote to keeps
// its bitmap as it was.
struct ValueElement {
    int slot = 0;
    IRenderElement* element = nullptr;
    std::unique_ptr<AColor[]> pixels;  // per pixel, valid where written
    std::vector<uint8_t> written;      // per pixel
    std::atomic<bool> any{false};
};

struct FrameData {
    TimeValue time = 0;
    const RenderGlobalContext* gc = nullptr;
    const ShadingSettings* settings = nullptr;
    const RayTracer* tracer = nullptr;
    Texmap* environment = nullptr;
    int width = 0;
    int height = 0;
    // The background of the band's rows, from backgroundRow0 on: the frame's rows are
    // replaced band by band while later bands still sample rows next to them.
    const BMM_Color_fl* background = nullptr;
    int backgroundRow0 = 0;
    std::vector<InstanceShading> instances;
    bool anyTransparent = false;
    std::vector<Channel> channels;
    std::vector<std::unique_ptr<ValueElement>> valueElements;
    bool WantsParts() const { return !channels.empty() || !valueElements.empty(); }
};

struct ThreadCounters {
    int64_t primary = 0;
    int64_t shadow = 0;
    int64_t secondary = 0;
    int64_t shaded = 0;
};

class RenderShadeContext;

// Contexts of one worker thread: index 0 shades camera samples, higher ones the nested
// requests (traced rays, shadow-mode shading) of the one below.
struct ThreadState {
    const FrameData* frame = nullptr;
    ThreadCounters counters;
    std::vector<std::unique_ptr<RenderShadeContext>> contexts;
    std::vector<RayQuery> rays;
    RenderShadeContext* At(int depth);
};

// Derivatives of a ray's origin and direction over one pixel in x and y.
struct RayDifferential {
    Point3 dOx, dOy, dDx, dDy;
};

// A ray's accumulated result: the colour, the transmission left, the light components and the
// element values.
struct TraceAccum {
    Color c;
    Color t{1.0f, 1.0f, 1.0f};
    ShadeComponents parts;
    std::array<AColor, ShadeOutput::kMaxElementVals> elementVals{};
    bool hit = false;
    float firstT = 0.0f;
    int firstInstance = -1;
    Point3 firstNormal;
    Point3 firstP;
    int firstMtlId = 0;

    // The element values (256 bytes) are cleared only for renders that keep them.
    void Reset(bool withParts) {
        c = Color();
        t = Color(1.0f, 1.0f, 1.0f);
        hit = false;
        if (!withParts) return;
        parts = ShadeComponents();
        elementVals.fill(AColor());
    }
};

class RenderShadeContext : public ShadeContext {
  public:
    RenderShadeContext(ThreadState& thread, int depth) : thread_(thread), depth_(depth) {}

    // Follows the ray through transparent surfaces, shading each; hit is its first hit (or a
    // miss). withParts adds the components and element values of every layer.
    void TraceLayers(const Point3& origin, const Point3& dir, float tnear, float tfar,
                     const RayDifferential& diff, RayHit hit, int level, float sx, float sy, int px,
                     int py, bool withParts, TraceAccum& acc);

    Point3 P() override { return p_; }
    Point3 N() override { return n_; }
    Point3 Ng() override { return ng_; }
    Point3 V() override { return v_; }
    Point3 UVW(int channel) override;
    Point3 DUVW(int channel) override;
    void DPdUVW(int channel, Point3 basis[3]) override;
    Point2 ScreenCoord() override { return {sx_, sy_}; }
    Point2 ScreenUV() override { return {sx_ / float(F().width), sy_ / float(F().height)}; }
    int MtlNum() override { return Face().matID; }
    int NodeID() override { return instanceIndex_; }
    int ImageWidth() override { return F().width; }
    int ImageHeight() override { return F().height; }
    Color AmbientLight() override { return F().settings->ambient; }
    TimeValue CurTime() override { return F().time; }
    void SetNormal(const Point3& n) override { n_ = n; }
    Point3 OrigNormal() override { return origN_; }
    void DP(Point3& dpdx, Point3& dpdy) override {
        Derivatives();
        dpdx = dpdx_;
        dpdy = dpdy_;
    }
    void DUVWdXY(int channel, Point3& dx, Point3& dy) override;
    float Curve() override;
    float Distance() override { return distance_; }
    int NumLights() override { return lights_ ? int(lights_->size()) : 0; }
    LightDesc* Light(int i) override {
        return lights_ && i >= 0 && i < int(lights_->size()) ? (*lights_)[size_t(i)] : nullptr;
    }
    Color Transmission(const Point3& from, const Point3& dir, float maxDist,
                       const INode* const* skip, int skipCount) override;
    AColor EvalEnvironMap(const Point3& dir) override;
    AColor Background() override;
    bool TraceRay(const TraceRequest& ray, TraceResult& result) override;
    INode* Node() override { return instance_ ? instance_->node : nullptr; }
    int ObjectID() override;
    Point3 CamToWorldVector(const Point3& v) override {
        return F().gc->camToWorld.VectorTransform(v);
    }
    int ProjType() override { return F().gc->projType; }
    bool InMtlEditor() override { return F().gc->inMtlEdit; }
    const RenderGlobalContext* GlobContext() override { return F().gc; }

  private:
    const FrameData& F() const { return *thread_.frame; }
    const ::Face& Face() const { return instance_->mesh->faces[size_t(face_)]; }
    // Sets the hit's geometry, normals and derivatives for shading.
    void SetHit(const Point3& dir, const RayDifferential& diff, const RayHit& hit, int level,
                float sx, float sy, int px, int py);
    // Fills the pixel-footprint derivatives and corner normals from the ray differentials.
    void Derivatives();
    // The channel's corner coordinates of the face; false without them.
    bool CornerUVW(int channel, Point3 uvw[3]) const;
    Mtl* MaterialOf(int instance) const { return F().instances[size_t(instance)].mtl; }

    ThreadState& thread_;
    int depth_;
    const RenderInstance* instance_ = nullptr;
    const std::vector<LightDesc*>* lights_ = nullptr;
    int instanceIndex_ = -1;
    int face_ = 0;
    float b1_ = 0.0f, b2_ = 0.0f;  // barycentrics of corners 1 and 2
    // Barycentric derivatives over one pixel.
    float db1dx_ = 0.0f, db2dx_ = 0.0f, db1dy_ = 0.0f, db2dy_ = 0.0f;
    Point3 corner_[3];  // camera space
    Point3 p_, n_, origN_, ng_, v_;
    // The ray, for the derivatives.
    Point3 dir_;
    RayDifferential diff_;
    float hitT_ = 0.0f;
    // Worked out by Derivatives() on the first query that needs them.
    bool derivatives_ = false;
    Point3 dpdx_, dpdy_;
    Point3 cornerN_[3];  // camera space, facing the viewer with the sample
    float distance_ = 0.0f;
    float sx_ = 0.0f, sy_ = 0.0f;
    int px_ = 0, py_ = 0;
};

}  // namespace KvrnShading
