// Shading queries of the renderer's samples. Pixel-footprint derivatives follow the ray
// differentials of Igehy, "Tracing Ray Differentials" (SIGGRAPH 1999).
#include "render_shade_context.h"

#include <algorithm>
#include <cmath>

#include "node.h"

namespace KvrnShading {

namespace {

// A sample whose remaining transmission is below this shows nothing more behind it.
constexpr float kOpaqueTransmission = 1.0f / 1024.0f;
// Nested contexts (traced rays, shadow-mode shading) per thread; deeper requests are refused.
constexpr int kMaxNesting = 64;
// Relative step past a transparent hit before the ray goes on.
constexpr float kLayerStep = 1e-5f;

}  // namespace

RenderShadeContext* ThreadState::At(int depth) {
    if (depth >= kMaxNesting) return nullptr;
    while (int(contexts.size()) <= depth)
        contexts.push_back(std::make_unique<RenderShadeContext>(*this, int(contexts.size())));
    return contexts[size_t(depth)].get();
}

void RenderShadeContext::SetHit(const Point3& dir, const RayDifferential& diff, const RayHit& hit,
                                int level, float sx, float sy, int px, int py) {
    const FrameData& f = F();
    instanceIndex_ = hit.instance;
    instance_ = &f.gc->instances[size_t(hit.instance)];
    const InstanceShading& shading = f.instances[size_t(hit.instance)];
    lights_ = &shading.lights;
    face_ = hit.face;
    b1_ = hit.u;
    b2_ = hit.v;
    sx_ = sx;
    sy_ = sy;
    px_ = px;
    py_ = py;
    rayLevel = level;
    backFace = false;
    // A material may have switched these off for the sample before.
    shadow = doMaps = filterMaps = true;
    if (f.valueElements.empty()) {
        // Nothing reads the element slots: leave their 256 bytes alone.
        out.c = out.t = Color();
        out.parts = ShadeComponents();
        out.gbufId = 0;
    } else {
        out.Reset();
    }

    const Mesh& mesh = *instance_->mesh;
    const ::Face& face = mesh.faces[size_t(face_)];
    for (int k = 0; k < 3; ++k)
        corner_[k] = instance_->objToCam.PointTransform(mesh.verts[face.v[size_t(k)]]);
    const float b0 = 1.0f - b1_ - b2_;
    p_ = corner_[0] * b0 + corner_[1] * b1_ + corner_[2] * b2_;
    ng_ = hit.ng;
    const float dirLength = dir.Length();
    v_ = dir * (1.0f / dirLength);
    distance_ = hit.t * dirLength;
    if (DotProd(ng_, v_) > 0.0f) {
        ng_ = -ng_;
        backFace = true;
    }
    // The object-space normal interpolated, then taken to camera space once.
    const Point3 objectN = instance_->GetFaceVertNormal(face_, 0) * b0 +
                           instance_->GetFaceVertNormal(face_, 1) * b1_ +
                           instance_->GetFaceVertNormal(face_, 2) * b2_;
    const Point3 n = Normalize(instance_->normalObjToCam.VectorTransform(objectN));
    n_ = origN_ = n == Point3() ? ng_ : (backFace ? -n : n);
    // Derivatives wait for a query: most materials ask for none.
    dir_ = dir;
    diff_ = diff;
    hitT_ = hit.t;
    derivatives_ = false;
}

void RenderShadeContext::Derivatives() {
    if (derivatives_) return;
    derivatives_ = true;
    // Ray differentials carried to the surface's plane (Igehy 1999).
    const float dn = DotProd(dir_, ng_);
    const float safeDn = std::fabs(dn) < 1e-8f ? (dn < 0.0f ? -1e-8f : 1e-8f) : dn;
    const auto transfer = [&](const Point3& dO, const Point3& dD) {
        const Point3 moved = dO + dD * hitT_;
        return moved - dir_ * (DotProd(moved, ng_) / safeDn);
    };
    dpdx_ = transfer(diff_.dOx, diff_.dDx);
    dpdy_ = transfer(diff_.dOy, diff_.dDy);
    const Point3 e1 = corner_[1] - corner_[0], e2 = corner_[2] - corner_[0];
    const Point3 cross = CrossProd(e1, e2);
    const float area2 = DotProd(cross, cross);
    if (area2 > 0.0f) {
        const Point3 a = CrossProd(e2, cross) * (1.0f / area2);
        const Point3 b = CrossProd(cross, e1) * (1.0f / area2);
        db1dx_ = DotProd(dpdx_, a);
        db2dx_ = DotProd(dpdx_, b);
        db1dy_ = DotProd(dpdy_, a);
        db2dy_ = DotProd(dpdy_, b);
    } else {
        db1dx_ = db2dx_ = db1dy_ = db2dy_ = 0.0f;
    }
    for (int k = 0; k < 3; ++k) {
        Point3 c = Normalize(
            instance_->normalObjToCam.VectorTransform(instance_->GetFaceVertNormal(face_, k)));
        if (c == Point3())
            c = ng_;
        else if (backFace)
            c = -c;
        cornerN_[k] = c;
    }
}

bool RenderShadeContext::CornerUVW(int channel, Point3 uvw[3]) const {
    const Mesh& mesh = *instance_->mesh;
    if (!mesh.MapSupport(channel)) return false;
    const MeshMap& map = mesh.maps[size_t(channel)];
    if (size_t(face_) >= map.tf.size()) return false;
    for (int k = 0; k < 3; ++k) {
        const uint32_t i = map.tf[size_t(face_)].t[size_t(k)];
        if (i >= map.tv.size()) return false;
        uvw[k] = map.tv[i];
    }
    return true;
}

Point3 RenderShadeContext::UVW(int channel) {
    Point3 uvw[3];
    if (!CornerUVW(channel, uvw)) return Point3();
    return uvw[0] * (1.0f - b1_ - b2_) + uvw[1] * b1_ + uvw[2] * b2_;
}

void RenderShadeContext::DUVWdXY(int channel, Point3& dx, Point3& dy) {
    Point3 uvw[3];
    if (!CornerUVW(channel, uvw)) {
        dx = dy = Point3();
        return;
    }
    Derivatives();
    const Point3 d1 = uvw[1] - uvw[0], d2 = uvw[2] - uvw[0];
    dx = d1 * db1dx_ + d2 * db2dx_;
    dy = d1 * db1dy_ + d2 * db2dy_;
}

Point3 RenderShadeContext::DUVW(int channel) {
    Point3 dx, dy;
    DUVWdXY(channel, dx, dy);
    return {std::fabs(dx.x) + std::fabs(dy.x), std::fabs(dx.y) + std::fabs(dy.y),
            std::fabs(dx.z) + std::fabs(dy.z)};
}

void RenderShadeContext::DPdUVW(int channel, Point3 basis[3]) {
    basis[0] = basis[1] = basis[2] = Point3();
    Point3 uvw[3];
    if (!CornerUVW(channel, uvw)) return;
    const Point3 e1 = corner_[1] - corner_[0], e2 = corner_[2] - corner_[0];
    const float du1 = uvw[1].x - uvw[0].x, dv1 = uvw[1].y - uvw[0].y;
    const float du2 = uvw[2].x - uvw[0].x, dv2 = uvw[2].y - uvw[0].y;
    const float det = du1 * dv2 - dv1 * du2;
    if (std::fabs(det) < 1e-20f) return;
    const float inv = 1.0f / det;
    basis[0] = (e1 * dv2 - e2 * dv1) * inv;
    basis[1] = (e2 * du1 - e1 * du2) * inv;
    basis[2] = ng_;
}

float RenderShadeContext::Curve() {
    Derivatives();
    const Point3 d1 = cornerN_[1] - cornerN_[0], d2 = cornerN_[2] - cornerN_[0];
    const Point3 dndx = d1 * db1dx_ + d2 * db2dx_;
    const Point3 dndy = d1 * db1dy_ + d2 * db2dy_;
    return std::sqrt(0.5f * (DotProd(dndx, dndx) + DotProd(dndy, dndy)));
}

int RenderShadeContext::ObjectID() { return Node() ? Node()->GetGBufID() : 0; }

AColor RenderShadeContext::Background() {
    const BMM_Color_fl& c =
        F().background[size_t(py_ - F().backgroundRow0) * size_t(F().width) + size_t(px_)];
    return {c.r, c.g, c.b, c.a};
}

AColor RenderShadeContext::EvalEnvironMap(const Point3& dir) {
    if (Texmap* env = F().environment) return EvalEnvironmentMap(*env, *this, dir);
    return Background();
}

Color RenderShadeContext::Transmission(const Point3& from, const Point3& dir, float maxDist,
                                       const INode* const* skip, int skipCount) {
    const FrameData& f = F();
    ++thread_.counters.shadow;
    const Point3 origin = OffsetRayOrigin(from, ng_, dir);
    if (!f.anyTransparent && skipCount == 0)
        return f.tracer->Occluded(origin, dir, 0.0f, maxDist) ? Color() : Color(1, 1, 1);

    Color through(1.0f, 1.0f, 1.0f);
    float tnear = 0.0f;
    RayHit hit;
    for (int layer = 0; layer < 4 * f.settings->maxTransparencyLayers + 4; ++layer) {
        if (!f.tracer->Intersect(origin, dir, tnear, maxDist, hit)) return through;
        tnear = hit.t + kLayerStep * (hit.t + 1.0f);
        const RenderInstance& blocker = f.gc->instances[size_t(hit.instance)];
        if (skip && std::find(skip, skip + skipCount, blocker.node) != skip + skipCount) continue;
        const InstanceShading& shading = f.instances[size_t(hit.instance)];
        const int mtlNum = blocker.mesh->faces[size_t(hit.face)].matID;
        if (!shading.mayBeTransparent || !shading.mtl->MayBeTransparent(mtlNum)) return Color();
        RenderShadeContext* nested = thread_.At(depth_ + 1);
        if (!nested) return Color();
        nested->mode = SCMODE_SHADOW;
        nested->SetHit(dir, RayDifferential(), hit, rayLevel, sx_, sy_, px_, py_);
        ++thread_.counters.shaded;
        shading.mtl->Shade(*nested);
        nested->mode = SCMODE_NORMAL;
        through *= nested->out.t;
        if (std::max({through.r, through.g, through.b}) < kOpaqueTransmission) return Color();
    }
    return Color();
}

bool RenderShadeContext::TraceRay(const TraceRequest& ray, TraceResult& result) {
    result = TraceResult();
    const FrameData& f = F();
    RenderShadeContext* nested = thread_.At(depth_ + 1);
    if (rayLevel >= f.settings->maxRayDepth || !nested) return false;
    ++thread_.counters.secondary;
    const Point3 origin = ray.skipSelf ? OffsetRayOrigin(ray.origin, ng_, ray.dir) : ray.origin;
    RayHit hit;
    f.tracer->Intersect(origin, ray.dir, 0.0f, ray.maxDist, hit);
    // The footprint of the ray is the pixel's footprint here, spreading no further.
    Derivatives();
    RayDifferential diff{dpdx_, dpdy_, Point3(), Point3()};
    TraceAccum acc;
    nested->TraceLayers(origin, ray.dir, 0.0f, ray.maxDist, diff, hit, rayLevel + 1, sx_, sy_, px_,
                        py_, false, acc);
    const AColor behind = EvalEnvironMap(Normalize(ray.dir));
    const float covered = 1.0f - (acc.t.r + acc.t.g + acc.t.b) / 3.0f;
    result.color = {acc.c.r + acc.t.r * behind.r, acc.c.g + acc.t.g * behind.g,
                    acc.c.b + acc.t.b * behind.b, covered + (1.0f - covered) * behind.a};
    result.hit = acc.hit;
    if (acc.hit) {
        result.distance = (acc.firstP - ray.origin).Length();
        result.node = f.gc->instances[size_t(acc.firstInstance)].node;
    }
    return acc.hit;
}

void RenderShadeContext::TraceLayers(const Point3& origin, const Point3& dir, float tnear,
                                     float tfar, const RayDifferential& diff, RayHit hit, int level,
                                     float sx, float sy, int px, int py, bool withParts,
                                     TraceAccum& acc) {
    const FrameData& f = F();
    for (int layer = 0; hit.instance >= 0; ++layer) {
        SetHit(dir, diff, hit, level, sx, sy, px, py);
        mode = SCMODE_NORMAL;
        Mtl* mtl = MaterialOf(hit.instance);
        ++thread_.counters.shaded;
        mtl->Shade(*this);
        const Color weight = acc.t;
        acc.c += weight * out.c;
        if (!acc.hit) {
            acc.hit = true;
            acc.firstT = hit.t;
            acc.firstInstance = hit.instance;
            acc.firstNormal = n_;
            acc.firstP = p_;
            acc.firstMtlId = out.gbufId ? out.gbufId : mtl->GetGBufID();
        }
        if (withParts) {
            acc.parts.diffuse += weight * out.parts.diffuse;
            acc.parts.specular += weight * out.parts.specular;
            acc.parts.selfIllum += weight * out.parts.selfIllum;
            acc.parts.reflection += weight * out.parts.reflection;
            acc.parts.shadow += weight * out.parts.shadow;
            const float w = (weight.r + weight.g + weight.b) / 3.0f;
            for (size_t i = 0; i < acc.elementVals.size(); ++i)
                acc.elementVals[i] = acc.elementVals[i] + out.elementVals[i] * w;
        }
        acc.t *= out.t;
        if (std::max({acc.t.r, acc.t.g, acc.t.b}) < kOpaqueTransmission) {
            acc.t = Color();
            return;
        }
        if (layer + 1 >= f.settings->maxTransparencyLayers) return;
        ++thread_.counters.secondary;
        tnear = hit.t + kLayerStep * (hit.t + 1.0f);
        f.tracer->Intersect(origin, dir, tnear, tfar, hit);
    }
}

}  // namespace KvrnShading
