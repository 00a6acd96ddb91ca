// Camera objects. A camera looks down its node's local -Z with +Y up; the node's transform
// places it (the application computes it from eye, target and up).
#pragma once

#include "controller.h"
#include "object.h"
#include "render.h"

// How the perspective focal length is given. Each form keeps the user's own numbers so the
// focal length in pixels comes out of the same arithmetic every time, for any image size.
enum class FovType {
    kHorizontal,  // field of view across the image width, radians (the host's convention)
    kVertical,    // field of view across the image height, degrees
    kLens,        // lens and film width in millimetres, the film across the image width
};

class CameraObject : public Object {
  public:
    SClass_ID SuperClassID() const override { return CAMERA_CLASS_ID; }
    Class_ID ClassID() const override { return Class_ID(0x1001, 0); }
    std::string ClassName() const override { return "Free Camera"; }

    bool IsOrtho() const { return ortho_; }
    void SetOrtho(bool on) { ortho_ = on; }

    // Perspective focal length. Each setter also selects its form; animate sets a key at t.
    FovType GetFovType() const { return fovType_; }
    void SetFOV(TimeValue t, float horizontalRadians, bool animate);
    void SetVerticalFOV(TimeValue t, float degrees, bool animate);
    void SetLens(TimeValue t, float lensMm, float filmWidthMm, bool animate);
    // Focal length in pixels for an image of that size at t; NaN for an angle outside 0 to 180
    // degrees or a lens or film width that is not positive.
    double FocalPixels(TimeValue t, int width, int height) const;
    // Horizontal field of view in radians for an image of that size at t.
    float GetFOV(TimeValue t, int width, int height) const;

    // Orthographic: world units across the image width.
    void SetParallelWidth(TimeValue t, float width, bool animate);
    float GetParallelWidth(TimeValue t) const;

    // Clipping ranges (distances along the view). Off, or a far range of 1e30: no far limit.
    void SetClipManual(bool on) { clipManual_ = on; }
    bool GetClipManual() const { return clipManual_; }
    void SetClipRange(TimeValue t, float nearRange, float farRange, bool animate);
    ViewParams GetViewParams(TimeValue t) const;

    Interval ObjectValidity(TimeValue t) override;
    ReferenceTarget* Clone(RemapDir& remap) override;

  private:
    bool ortho_ = false;
    FovType fovType_ = FovType::kHorizontal;
    KeyController<float> hfov_{0.785398163f, Interpolation::Linear};  // 45 degrees
    KeyController<float> vfovDeg_{45.0f, Interpolation::Linear};
    KeyController<float> lens_{50.0f, Interpolation::Linear};
    float filmWidth_ = 36.0f;
    KeyController<float> parallelWidth_{100.0f, Interpolation::Linear};
    bool clipManual_ = false;
    KeyController<float> nearRange_{0.0f, Interpolation::Linear};
    KeyController<float> farRange_{1e30f, Interpolation::Linear};
};
