// Size and alpha reduction with distance: the engine form of a line set's reduction settings
// and the baked falloff curve it evaluates.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "geometry.h"
#include "scene.h"
#include "texmap_context.h"

namespace KvrnLib {

// A curve sampled 256 times at x = i / 255. Evaluation at x: below 0 (or not a number) the first
// sample; otherwise i = floor(x * 256) (256, not 255, so x = 0.99 falls between samples 253 and
// 254); i outside 0 to 254 gives the last sample, else samples i and i + 1 are mixed with
// weight x * 256 - i.
class BakedCurve final : public CurveInterface {
  public:
    static constexpr int kSampleCount = 256;

    explicit BakedCurve(const std::array<float, kSampleCount>& samples) : samples_(samples) {}
    // Samples `curve` at x = i * 0.003921569 (the single-precision 1/255).
    explicit BakedCurve(const std::function<float(float)>& curve);

    float Evaluate(float x) const override;
    const std::array<float, kSampleCount>& Samples() const { return samples_; }

  private:
    std::array<float, kSampleCount> samples_;
};

struct ReductionSettings {
    float start = 100.0f;  // world units
    float end = 1000.0f;
    std::shared_ptr<const CurveInterface> curve;  // empty: no reduction
    uint8_t objectReference = 0;
    Point3 referencePosition;  // world space; used when objectReference is set

    // Position of distance d between start (0) and end (1), limited to 0 to 1. With end below
    // start the roles swap; with start equal to end, 0 up to start and 1 beyond.
    float Position(float distance) const;
    // Factor for a camera-space point: the curve at the position of its depth -z, or of its
    // distance to the reference position taken into camera space; 1 without a curve.
    float Factor(Point3 cameraPoint, const Camera& camera) const;
};

// 1 without settings, else settings->Factor.
float ReductionFactor(const ReductionSettings* settings, Point3 cameraPoint, const Camera& camera);

}  // namespace KvrnLib
