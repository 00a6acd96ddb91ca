#include "line_effect.h"

#include "edge_detect.h"
#include "stage_runner.h"
#include "stroke_draw.h"

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
        if (!(detectionSettings_ == settings)) DropDetection();
        if (detection_) {
            ++runs_.cachedDetections;
            return;
        }
        if (!manager) throw LineEffectException("threadManager is null.");
        if (!scene_) throw LineEffectException("invalid LineDetectionSettings.");
        DropDetection();
        detection_ = std::make_unique<DetectionResult>();
        detectionSettings_ = LineDetectionSettings{};
        ++runs_.detections;
        DetectEdges(*detection_, settings, *scene_, *manager, delegate_);
        detectionSettings_ = settings;
    });
    if (!ok) {
        DropDetection();
        detectionSettings_ = LineDetectionSettings{};
    }
    return ok;
}

void LineEffect::DropDetection() {
    connection_.reset();
    connectSettings_.clear();
    detection_.reset();
}

bool LineEffect::Connect(const std::vector<ConnectSettings>& settings,
                         std::shared_ptr<ThreadManager> manager) {
    const bool ok = ContainStageFailure("Connect", [&] {
        if (connectSettings_ != settings) connection_.reset();
        if (connection_) {
            ++runs_.cachedConnections;
            return;
        }
        if (!manager) throw LineEffectException("threadManager is null.");
        if (!detection_ || !scene_) throw LineEffectException("invalid detection result.");
        auto result = std::make_unique<std::vector<ConnectionResult>>();
        connectSettings_.clear();
        ++runs_.connections;
        ConnectEdges(*result, *detection_, *scene_, settings, *manager, delegate_);
        connection_ = std::move(result);
        connectSettings_ = settings;
    });
    if (!ok) {
        connection_.reset();
        connectSettings_.clear();
    }
    return ok;
}

bool LineEffect::Draw(std::shared_ptr<LineEffectRasterInterface> raster,
                      const DrawSettings& settings, std::shared_ptr<ThreadManager> manager,
                      bool flag, std::shared_ptr<LineEffectDrawDelegate> drawDelegate) {
    bool finished = false;
    const bool ok = ContainStageFailure("Draw", [&] {
        if (!manager) throw LineEffectException("threadManager is null.");
        if (!detection_ || !connection_ || !scene_) {
            throw LineEffectException("invalid connection result.");
        }
        if (!raster) throw LineEffectException("invalid raster size.");
        finished = DrawStrokes(*raster, settings, *connection_, *scene_, *manager, delegate_, flag,
                               drawDelegate, workBuffer_);
    });
    return ok && finished;
}

bool LineEffect::Draw(std::shared_ptr<LineEffectDrawDelegate> drawDelegate,
                      const DrawSettings& settings) {
    bool finished = false;
    const bool ok = ContainStageFailure("Draw", [&] {
        if (!detection_ || !connection_ || !scene_) {
            throw LineEffectException("invalid connection result.");
        }
        LineEffectRasterForColorFloatRaster raster(std::make_shared<ColorFloatRaster>(1, 1));
        DrawSettings single = settings;
        single.renderElementOutputs.clear();
        single.renderElementOnly = 0;
        ThreadManagerCore pool(1);
        // A buffer of its own: the 1 x 1 frame must not resize the one kept for rasters.
        std::unique_ptr<LineEffectWorkBuffer> buffer;
        finished = DrawStrokes(raster, single, *connection_, *scene_, pool, delegate_, false,
                               drawDelegate, buffer);
    });
    return ok && finished;
}

}  // namespace KvrnLib
