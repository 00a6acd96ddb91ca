#include "reduction.h"

#include <cmath>

namespace KvrnLib {

BakedCurve::BakedCurve(const std::function<float(float)>& curve) {
    for (int i = 0; i < kSampleCount; ++i)
        samples_[i] = curve(static_cast<float>(i) * 0.003921569f);
}

float BakedCurve::Evaluate(float x) const {
    if (!(x >= 0.0f)) return samples_.front();
    const float position = x * 256.0f;
    // Compared before the conversion, which would overflow for large x.
    if (!(position < 255.0f)) return samples_.back();
    const int i = static_cast<int>(std::floor(position));
    const float t = position - static_cast<float>(i);
    return samples_[i] + (samples_[i + 1] - samples_[i]) * t;
}

float ReductionSettings::Position(float distance) const {
    if (start <= end) {
        if (distance <= start) return 0.0f;
        if (distance >= end) return 1.0f;
    } else {
        if (distance >= start) return 0.0f;
        if (distance <= end) return 1.0f;
    }
    return (distance - start) / (end - start);
}

float ReductionSettings::Factor(Point3 cameraPoint, const Camera& camera) const {
    if (!curve) return 1.0f;
    float distance = -cameraPoint.z;
    if (objectReference) {
        const Point3 d = cameraPoint - camera.worldToCam.PointTransform(referencePosition);
        distance = std::sqrt(Dot(d, d));
    }
    return curve->Evaluate(Position(distance));
}

float ReductionFactor(const ReductionSettings* settings, Point3 cameraPoint, const Camera& camera) {
    return settings ? settings->Factor(cameraPoint, camera) : 1.0f;
}

}  // namespace KvrnLib
