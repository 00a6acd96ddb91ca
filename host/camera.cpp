#include "camera.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace {
template <class T>
T ValueAt(const KeyController<T>& ctrl, TimeValue t) {
    Interval ignored = FOREVER;
    return ctrl.GetValue(t, ignored);
}
}  // namespace

void CameraObject::SetFOV(TimeValue t, float horizontalRadians, bool animate) {
    fovType_ = FovType::kHorizontal;
    hfov_.SetValue(t, horizontalRadians, animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

void CameraObject::SetVerticalFOV(TimeValue t, float degrees, bool animate) {
    fovType_ = FovType::kVertical;
    vfovDeg_.SetValue(t, degrees, animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

void CameraObject::SetLens(TimeValue t, float lensMm, float filmWidthMm, bool animate) {
    fovType_ = FovType::kLens;
    lens_.SetValue(t, lensMm, animate);
    filmWidth_ = filmWidthMm;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

double CameraObject::FocalPixels(TimeValue t, int width, int height) const {
    // Written exactly as the application's camera set-up computes them: same values in, same
    // operations in the same order, same bits out.
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    switch (fovType_) {
        case FovType::kVertical: {
            const float degrees = ValueAt(vfovDeg_, t);
            if (!(degrees > 0 && degrees < 180)) return kNone;
            return 0.5 * height / std::tan(degrees * std::numbers::pi / 360);
        }
        case FovType::kLens: {
            const float lens = ValueAt(lens_, t);
            if (!(lens > 0) || !(filmWidth_ > 0)) return kNone;
            return double(width) * lens / filmWidth_;
        }
        case FovType::kHorizontal:
            break;
    }
    const float radians = ValueAt(hfov_, t);
    if (!(radians > 0 && radians < std::numbers::pi)) return kNone;
    return 0.5 * width / std::tan(double(radians) / 2);
}

float CameraObject::GetFOV(TimeValue t, int width, int height) const {
    return float(2 * std::atan(0.5 * width / FocalPixels(t, width, height)));
}

void CameraObject::SetParallelWidth(TimeValue t, float width, bool animate) {
    parallelWidth_.SetValue(t, width, animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

float CameraObject::GetParallelWidth(TimeValue t) const { return ValueAt(parallelWidth_, t); }

void CameraObject::SetClipRange(TimeValue t, float nearRange, float farRange, bool animate) {
    nearRange_.SetValue(t, nearRange, animate);
    farRange_.SetValue(t, farRange, animate);
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

ViewParams CameraObject::GetViewParams(TimeValue t) const {
    ViewParams vp;
    if (clipManual_) {
        vp.nearRange = ValueAt(nearRange_, t);
        vp.farRange = ValueAt(farRange_, t);
    }
    return vp;
}

Interval CameraObject::ObjectValidity(TimeValue t) {
    Interval valid = FOREVER;
    hfov_.GetValue(t, valid);
    vfovDeg_.GetValue(t, valid);
    lens_.GetValue(t, valid);
    parallelWidth_.GetValue(t, valid);
    nearRange_.GetValue(t, valid);
    farRange_.GetValue(t, valid);
    return valid;
}

ReferenceTarget* CameraObject::Clone(RemapDir& remap) {
    auto* clone = new CameraObject;
    clone->ortho_ = ortho_;
    clone->fovType_ = fovType_;
    clone->hfov_ = hfov_;
    clone->vfovDeg_ = vfovDeg_;
    clone->lens_ = lens_;
    clone->filmWidth_ = filmWidth_;
    clone->parallelWidth_ = parallelWidth_;
    clone->clipManual_ = clipManual_;
    clone->nearRange_ = nearRange_;
    clone->farRange_ = farRange_;
    BaseClone(this, clone, remap);
    return clone;
}
