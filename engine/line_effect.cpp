#include "line_effect.h"

#include "edge_detect.h"
#include "stage_runner.h"

namespace KvrnLib {

LineEffect::LineEffect(const Scene* scene, std::shared_ptr<LineEffectDelegate> delegate)
    : scene_(scene) {
    SetDelegate(std::move(delegate));
}

void LineEffect::SetDelegate(std::shared_ptr<LineEffectDelegate> delegate) {
    delegate_ = delegate ? std::move(delegate) : DefaultLineEffectDelegate().lock();
}

bool LineEffect::Detect(const LineDetectionSettings& settings,
                        std::shared_ptr<ThreadManager> manager) {
    const bool ok = ContainStageFailure("Detect", [&] {
        if (!(detectionSettings_ == settings)) detection_.reset();
        if (detection_) return;
        if (!manager) throw LineEffectException("threadManager is null.");
        if (!scene_) throw LineEffectException("invalid LineDetectionSettings.");
        detection_ = std::make_unique<DetectionResult>();
        detectionSettings_ = LineDetectionSettings{};
        DetectEdges(*detection_, settings, *scene_, *manager, delegate_);
        detectionSettings_ = settings;
    });
    if (!ok) {
        detection_.reset();
        detectionSettings_ = LineDetectionSettings{};
    }
    return ok;
}

}  // namespace KvrnLib
