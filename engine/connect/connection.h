// Edge connection: detected edges joined into strokes in three phases on the worker pool.
// Phase 1 chains the edges of one object, visibility class and edge group whose ends coincide;
// Phase 2 chains each intersection pair's lines (intersection_strokes.h); Phase 3 bridges small
// gaps between the strokes of one line set, class and group, and splits the results at corners.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "detection_result.h"
#include "detection_settings.h"
#include "line_effect_delegate.h"
#include "scene.h"
#include "stroke.h"
#include "thread_manager.h"

namespace KvrnLib {

inline constexpr int kEdgeGroupCount = 10;

struct StrokeParams {
    float splitAngle = 0.0f;  // degrees
    float linkLength = 0.0f;  // screen units

    bool operator==(const StrokeParams&) const = default;
};

// One per line set. A kind whose group lies outside 0-9 is not connected (nor drawn).
struct ConnectSettings {
    std::array<int32_t, kEdgeKindCount> visibleGroup{};
    std::array<int32_t, kEdgeKindCount> hiddenGroup{};
    std::array<StrokeParams, kEdgeGroupCount> visibleParams{};
    std::array<StrokeParams, kEdgeGroupCount> hiddenParams{};
    uint8_t weldAcrossObjects = 0;

    bool operator==(const ConnectSettings&) const = default;
};

// Stroke slots of a line set: the visible groups, then the hidden ones.
inline constexpr int kSlotCount = 2 * kEdgeGroupCount;
constexpr size_t SlotIndex(bool hidden, int group) {
    return size_t(hidden ? kEdgeGroupCount : 0) + size_t(group);
}

// One per line set.
struct ConnectionResult {
    std::array<StrokeList, kSlotCount> slots;

    StrokeList& Slot(bool hidden, int group) { return slots[SlotIndex(hidden, group)]; }
    const StrokeList& Slot(bool hidden, int group) const { return slots[SlotIndex(hidden, group)]; }
};

// Wall-clock time of each phase and the strokes it produced (phase 2: intersection strokes).
struct ConnectStats {
    std::array<double, 3> phaseMs{};
    std::array<int64_t, 3> phaseStrokes{};
};

// Connects the detected edges into `out` (resized to one result per line set), rewriting the
// edges' link fields from scratch. Throws LineEffectException "invalid settings or detection
// results." when the settings or the detection's per-object lists do not match, and the abort
// exception when the delegate cancels; strokes point into `detection`, which must outlive them.
void ConnectEdges(std::vector<ConnectionResult>& out, DetectionResult& detection,
                  const Scene& scene, const std::vector<ConnectSettings>& settings,
                  ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate,
                  ConnectStats* stats = nullptr);

// Phase 1 for one object, class and group: chains the edges (in the given order) whose ends
// have bit-equal x, y and depth, then splits at corners. Exposed for tests and benchmarks.
// Returns false when `aborted` said so.
bool ChainCoincidentEdges(const std::vector<DetectedEdge*>& edges, const StrokeParams& params,
                          const std::function<bool()>& aborted, std::vector<Stroke>* out);

// Phase 3 for one slot: joins stroke ends within the link length (each stroke's edges belong to
// the objects of its end edges), then splits at corners. Returns false when aborted.
bool FarConnectStrokes(std::vector<Stroke>& strokes, const StrokeParams& params,
                       bool weldAcrossObjects, const std::function<bool()>& aborted,
                       std::vector<Stroke>* out);

}  // namespace KvrnLib
