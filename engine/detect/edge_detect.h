// The detection stage: for every line set and render object, the edges of each kind, clipped to
// the depth range and the widened screen, split into visible and hidden pieces by sampled ray
// tests. Runs on the pool: mesh edges and intersection trees are prepared alongside the
// occlusion build, then one EdgeDetectThreadProcess takes parts of objects' edge lists and of
// intersection pairs' walks as its items, so that one big object keeps every worker busy.
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

enum class DetectItemType : int32_t {
    kObjectEdges,  // the edges of faces [begin, end) of object `index`
    kPairPart,     // walk starts [begin, end) of pair `index` (see CandidateWalkStarts)
};

struct DetectWorkItem {
    DetectItemType type = DetectItemType::kObjectEdges;
    int32_t index = 0;
    int32_t begin = 0, end = 0;
    // -1 for the first part of its object or pair, which appends to the result directly; else
    // the slot of its buffered pieces, appended after the job in part order.
    int32_t buffer = -1;
    int64_t cost = 0;  // share of the total work, for the progress ratio
};

// Work item sizes: small enough that one big object or pair keeps every worker busy, large enough
// that per-item costs (a buffer, a merge) stay negligible. Results do not depend on them.
struct DetectPartSizes {
    int facesPerObjectPart = 8192;
    int64_t facesPerPairPart = 16384;
    // An object or pair is cut only when it holds more than 1 / (shareFactor x threads) of all
    // faces: with many small ones the items balance anyway.
    int64_t shareFactor = 2;
};

// Work of the detection stage, listed before it runs. All references must outlive the plan.
class DetectionPlan {
  public:
    // Objects whose entry in `copyOf` is not -1 (see object_copies.h) are left out; an empty
    // `copyOf` leaves none out. Lists the intersection pairs into `result` (sized already).
    // Objects and pairs are cut into parts only for more than one worker, and only when they
    // hold a large share of the work (see DetectPartSizes).
    DetectionPlan(DetectionResult& result, const LineDetectionSettings& settings,
                  const Scene& scene, std::vector<int32_t> copyOf, int threadCount,
                  DetectPartSizes sizes = {});

    // Preparation, run alongside the occlusion build: item i < ObjectCount() prepares the i-th
    // object with work (the mesh edges of one cut into parts), later items the intersection
    // data of the objects in pairs. Any thread; each item writes only its own object's slot.
    int PrepareCount() const { return int(objects_.size() + pairObjects_.size()); }
    void Prepare(int item);
    // The objects with prepared mesh edges that must leave out copies the occlusion found
    // (ascending; mostly none), and the rebuild of one of them, on any thread.
    std::vector<int32_t> ObjectsWithSharedCornerCopies(const OcclusionScene& occlusion) const;
    void RebuildEdges(int object, const OcclusionScene& occlusion);

    // Splits the prepared work into items (render thread, after the prepare job).
    void ListItems();
    const std::vector<DetectWorkItem>& Items() const { return items_; }

    const std::vector<int32_t>& CopyOf() const { return copyOf_; }
    int ObjectCount() const { return int(objects_.size()); }

  private:
    friend class EdgeDetectThreadProcess;

    bool ObjectHasWork(int object) const;
    // Whether work on `faces` of `totalFaces` would keep one worker busy while others wait.
    bool LargeShare(int64_t faces, int64_t totalFaces) const;

    DetectionResult& result_;
    const LineDetectionSettings& settings_;
    const Scene& scene_;
    const ScreenRect rect_;
    const std::vector<int32_t> copyOf_;
    const DetectPartSizes sizes_;
    const int threadCount_;
    std::vector<int32_t> objects_;      // objects with edges to detect, ascending
    std::vector<int32_t> pairObjects_;  // objects in some pair, ascending
    // Per scene object cut into parts: its mesh edges, from the preparation until its last part
    // is done. An object of one part builds them in its item, so that they are not all held at
    // once in a scene of many objects.
    std::vector<MeshEdgeTable> edges_;
    std::vector<uint8_t> inParts_;                // per scene object
    std::vector<std::vector<WalkStart>> starts_;  // per pair; empty: walked as one part
    std::vector<DetectWorkItem> items_;
    int32_t bufferCount_ = 0;
    int64_t totalCost_ = 0;
};

class EdgeDetectThreadProcess final : public ThreadProcess {
  public:
    // All references must outlive the process; the plan's items are listed already.
    EdgeDetectThreadProcess(DetectionPlan& plan, const OcclusionScene& occlusion, bool quiet,
                            int threadCount);

    bool Work(const ThreadProcessInfo& info) override;

    // Appends the buffered parts to the result, in part order (render thread, after the job).
    void MergeParts();

  private:
    struct Scratch {
        MeshEdgeTable edges;  // of an object of one part
        std::vector<VisibilityRun> runs;
        IntersectionScratch intersection;
    };
    // Pieces of a part after the first of its object or pair; most parts have few, so vectors
    // rather than lists of 256-piece blocks.
    struct PartBuffer {
        std::vector<DetectedEdge> visible, hidden;
    };

    // Detects the edges of faces [begin, end) of one object into `buffer`, or into the result
    // when null.
    void DetectObjectEdges(int object, int begin, int end, PartBuffer* buffer, Scratch& scratch,
                           const ThreadProcessInfo& info);
    void RefreshProgress(const ThreadProcessInfo& info) const;
    // Counts a finished part; the last part of an object releases its mesh edges.
    void PartDone(const DetectWorkItem& item);

    DetectionPlan& plan_;
    DetectionResult& result_;
    const LineDetectionSettings& settings_;
    const Scene& scene_;
    const OcclusionScene& occlusion_;
    const bool quiet_;
    // Whether any material or line set masks at all: without, rays need no face filter.
    const bool masking_;
    const bool hiddenMasking_;
    std::vector<std::unique_ptr<Scratch>> scratch_;  // per worker, freed by its worker
    std::vector<PartBuffer> buffers_;
    // Per scene object and per pair: parts not yet done.
    std::vector<std::atomic<int32_t>> objectPartsLeft_, pairPartsLeft_;
    int32_t objectCount_ = 0, pairCount_ = 0;
    std::atomic<int32_t> objectsDone_{0};
    std::atomic<int32_t> pairsDone_{0};
    std::atomic<int64_t> workDone_{0};
};

// Runs detection into `result` on the pool, reporting to `delegate`. Throws LineEffectException
// ("invalid LineDetectionSettings." when the object records do not match the scene; the abort).
void DetectEdges(DetectionResult& result, const LineDetectionSettings& settings, const Scene& scene,
                 ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate,
                 DetectPartSizes sizes = {});

}  // namespace KvrnLib
