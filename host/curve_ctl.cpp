#include "curve_ctl.h"

#include <algorithm>

#include "hold.h"

void ICurve::Change(std::vector<CurvePoint> points) {
    if (theHold.Holding()) {
        RefPtr<ICurveCtl> ctl(owner_);
        ICurve* curve = this;
        std::vector<CurvePoint> before = points_;
        std::vector<CurvePoint> after = points;
        // The control owns its curves and the record keeps the control alive.
        theHold.Put(std::make_unique<FunctionRestore>(
            [ctl, curve, before] { curve->Change(before); },
            [ctl, curve, after] { curve->Change(after); }, "CurveRestore"));
    }
    points_ = std::move(points);
    owner_->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

void ICurve::SetNumPts(int n) {
    std::vector<CurvePoint> points = points_;
    points.resize(std::max(0, n));
    Change(std::move(points));
}

CurvePoint ICurve::GetPoint(int i) const {
    if (i < 0 || i >= GetNumPts()) return CurvePoint();
    return points_[i];
}

bool ICurve::SetPoint(int i, const CurvePoint& point) {
    if (i < 0 || i >= GetNumPts()) return false;
    std::vector<CurvePoint> points = points_;
    points[i] = point;
    Change(std::move(points));
    return true;
}

bool ICurve::Insert(int i, const CurvePoint& point) {
    if (i < 0 || i > GetNumPts()) return false;
    std::vector<CurvePoint> points = points_;
    points.insert(points.begin() + i, point);
    Change(std::move(points));
    return true;
}

bool ICurve::Delete(int i) {
    if (i < 0 || i >= GetNumPts()) return false;
    std::vector<CurvePoint> points = points_;
    points.erase(points.begin() + i);
    Change(std::move(points));
    return true;
}

float ICurve::GetValue(float x) const {
    if (points_.empty()) return 0.0f;
    std::vector<CurvePoint> sorted = points_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const CurvePoint& a, const CurvePoint& b) { return a.p.x < b.p.x; });
    if (x <= sorted.front().p.x) return sorted.front().p.y;
    if (x >= sorted.back().p.x) return sorted.back().p.y;
    size_t i = 0;
    while (x > sorted[i + 1].p.x) ++i;
    const CurvePoint& a = sorted[i];
    const CurvePoint& b = sorted[i + 1];
    float x0 = a.p.x;
    float x3 = b.p.x;
    float x1 = std::clamp(a.p.x + a.out.x, x0, x3);
    float x2 = std::clamp(b.p.x + b.in.x, x0, x3);
    float y0 = a.p.y;
    float y1 = a.p.y + a.out.y;
    float y2 = b.p.y + b.in.y;
    float y3 = b.p.y;
    auto bezier = [](float p0, float p1, float p2, float p3, float u) {
        float v = 1.0f - u;
        return v * v * v * p0 + 3 * v * v * u * p1 + 3 * v * u * u * p2 + u * u * u * p3;
    };
    // With the handles inside the segment x(u) is monotone, so bisection finds u.
    float lo = 0.0f;
    float hi = 1.0f;
    for (int step = 0; step < 40; ++step) {
        float mid = 0.5f * (lo + hi);
        if (bezier(x0, x1, x2, x3, mid) < x) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return bezier(y0, y1, y2, y3, 0.5f * (lo + hi));
}

ICurveCtl::ICurveCtl() { SetNumCurves(1); }

void ICurveCtl::SetNumCurves(int n) {
    n = std::max(0, n);
    while (GetNumCurves() > n) curves_.pop_back();
    while (GetNumCurves() < n) curves_.push_back(std::unique_ptr<ICurve>(new ICurve(this)));
}

ICurve* ICurveCtl::GetControlCurve(int i) const {
    if (i < 0 || i >= GetNumCurves()) return nullptr;
    return curves_[i].get();
}

ReferenceTarget* ICurveCtl::Clone(RemapDir& remap) {
    auto* clone = new ICurveCtl;
    clone->SetNumCurves(GetNumCurves());
    for (int i = 0; i < GetNumCurves(); ++i) clone->curves_[i]->points_ = curves_[i]->points_;
    clone->flags_ = flags_;
    BaseClone(this, clone, remap);
    return clone;
}
