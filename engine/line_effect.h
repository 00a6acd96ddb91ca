// The per-effect engine object: runs the stages on a frame's scene and caches their results.
// Every entry point is called on the render thread; each returns false on error or abort after
// writing the failure to the debug output, and never throws.
#pragma once

#include <memory>

#include "connection.h"
#include "detection_result.h"
#include "detection_settings.h"
#include "line_effect_delegate.h"
#include "scene.h"
#include "thread_manager.h"

namespace KvrnLib {

class LineEffect {
  public:
    // The scene is not owned and must outlive the effect's use; a null delegate reports to the
    // default delegate.
    LineEffect(const Scene* scene, std::shared_ptr<LineEffectDelegate> delegate);

    // Detection with the cache: identical settings keep the last result; changed settings (or a
    // failure) drop it first.
    bool Detect(const LineDetectionSettings& settings, std::shared_ptr<ThreadManager> manager);

    // Connection with the cache: identical settings keep the last result; changed settings drop
    // only the connection. Needs a detection.
    bool Connect(const std::vector<ConnectSettings>& settings,
                 std::shared_ptr<ThreadManager> manager);

    const DetectionResult* Detection() const { return detection_.get(); }
    const std::vector<ConnectionResult>* Connection() const { return connection_.get(); }
    void SetDelegate(std::shared_ptr<LineEffectDelegate> delegate);

  private:
    void DropDetection();

    const Scene* scene_;
    std::shared_ptr<LineEffectDelegate> delegate_;
    std::unique_ptr<DetectionResult> detection_;
    LineDetectionSettings detectionSettings_;
    // Strokes point into detection_: dropped whenever it is.
    std::unique_ptr<std::vector<ConnectionResult>> connection_;
    std::vector<ConnectSettings> connectSettings_;
};

}  // namespace KvrnLib
