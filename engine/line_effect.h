// The per-effect engine object: runs the stages on a frame's scene and caches their results.
// Every entry point is called on the render thread; each returns false on error or abort after
// writing the failure to the debug output, and never throws.
#pragma once

#include <memory>

#include "connection.h"
#include "detection_result.h"
#include "detection_settings.h"
#include "draw_settings.h"
#include "line_effect_delegate.h"
#include "line_effect_draw_delegate.h"
#include "line_raster.h"
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

    // Draws the connected strokes onto `raster` (and the settings' render-element rasters);
    // `drawDelegate` (may be empty) also receives them as geometry. Needs a connection.
    bool Draw(std::shared_ptr<LineEffectRasterInterface> raster, const DrawSettings& settings,
              std::shared_ptr<ThreadManager> manager, bool flag,
              std::shared_ptr<LineEffectDrawDelegate> drawDelegate);

    // Hands the connected strokes to `drawDelegate` only, one at a time on a pool of its own.
    // Render-element outputs are ignored: nothing reads the pixels.
    bool Draw(std::shared_ptr<LineEffectDrawDelegate> drawDelegate, const DrawSettings& settings);

    // How many times each stage computed its result, and how many times a cached result served
    // instead, over the effect's life.
    struct RunCounts {
        int detections = 0;
        int cachedDetections = 0;
        int connections = 0;
        int cachedConnections = 0;
    };
    const RunCounts& Runs() const { return runs_; }

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
    // Kept between frames: reused while the frame size and over-sampling stay the same.
    std::unique_ptr<LineEffectWorkBuffer> workBuffer_;
    RunCounts runs_;
};

}  // namespace KvrnLib
