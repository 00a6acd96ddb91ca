// The detection stage: for every line set and render object, the edges of each kind, clipped to
// the depth range and the widened screen, split into visible and hidden pieces by sampled ray
// tests. Runs on the pool as one EdgeDetectThreadProcess: prepare items first, then one item per
// object (and, with intersections, per object pair).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "detection_result.h"
#include "detection_settings.h"
#include "edge_clip.h"
#include "edge_kinds.h"
#include "intersection.h"
#include "line_effect_delegate.h"
#include "mesh_edges.h"
#include "occlusion.h"
#include "scene.h"
#include "thread_manager.h"
#include "visibility.h"

namespace KvrnLib {

struct DetectWorkItem {
    int32_t type = 0;  // 0: the edges of object `index`; 1: the lines of pair `index`
    int32_t index = 0;
    int64_t cost = 0;  // share of the total work, for the progress ratio
};

class EdgeDetectThreadProcess final : public ThreadProcess {
  public:
    // All references must outlive the process. `result` is sized already. Objects whose entry
    // in `copyOf` is not -1 (see object_copies.h) are left out; an empty `copyOf` leaves none.
    EdgeDetectThreadProcess(DetectionResult& result, const LineDetectionSettings& settings,
                            const Scene& scene, const OcclusionScene& occlusion, bool quiet,
                            int threadCount, std::vector<int32_t> copyOf = {});

    bool Work(const ThreadProcessInfo& info) override;

    int PrepareCount() const { return int(prepare_.size()); }
    int ItemCount() const { return int(items_.size()); }

    // Detects one object's edges into the result (any thread; writes only that object's lists).
    void DetectObject(int object, const ThreadProcessInfo& info);

  private:
    struct Scratch {
        std::vector<MeshEdge> edges;
        std::vector<VisibilityRun> runs;
        IntersectionScratch intersection;
    };

    void RefreshProgress(const ThreadProcessInfo& info) const;
    bool ObjectHasWork(int object) const;

    DetectionResult& result_;
    const LineDetectionSettings& settings_;
    const Scene& scene_;
    const OcclusionScene& occlusion_;
    const bool quiet_;
    const ScreenRect rect_;
    // Whether any material or line set masks at all: without, rays need no face filter.
    const bool masking_;
    const bool hiddenMasking_;
    const std::vector<int32_t> copyOf_;
    std::vector<std::unique_ptr<Scratch>> scratch_;  // per worker, freed by its worker
    std::vector<int32_t> prepare_;
    std::vector<DetectWorkItem> items_;
    int32_t objectItems_ = 0;
    int32_t pairItems_ = 0;
    int64_t totalCost_ = 0;
    std::atomic<int32_t> objectsDone_{0};
    std::atomic<int32_t> pairsDone_{0};
    std::atomic<int64_t> workDone_{0};
};

// Runs detection into `result` on the pool, reporting to `delegate`. Throws LineEffectException
// ("invalid LineDetectionSettings." when the object records do not match the scene; the abort).
void DetectEdges(DetectionResult& result, const LineDetectionSettings& settings, const Scene& scene,
                 ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate);

}  // namespace KvrnLib
