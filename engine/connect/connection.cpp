#include "connection.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "coincident_pairing.h"
#include "end_pairing.h"
#include "intersection_strokes.h"
#include "stage_runner.h"

namespace KvrnLib {

namespace {

// Buckets of coincident end points up to this size pair all pairs against all: below about 100
// ends that beats the search by direction.
constexpr int32_t kSmallBucket = 64;

uint32_t Bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof(b));
    return b;
}

// Groups items into buckets given by key(i) (ascending bucket, then item order).
template <class Key>
void SortIntoBuckets(int32_t n, Key key, std::vector<int32_t>* bucketStart,
                     std::vector<int32_t>* members) {
    members->resize(size_t(n));
    for (int32_t i = 0; i < n; ++i) (*members)[size_t(i)] = i;
    std::sort(members->begin(), members->end(), [&](int32_t a, int32_t b) {
        const auto ka = key(a), kb = key(b);
        return ka < kb || (ka == kb && a < b);
    });
    bucketStart->clear();
    for (int32_t x = 0; x < n; ++x)
        if (x == 0 || key((*members)[size_t(x)]) != key((*members)[size_t(x - 1)]))
            bucketStart->push_back(x);
    bucketStart->push_back(n);
}

// Pairs buckets of coincident end points: small ones all pairs against all, which is fastest
// there; where many edges meet, by direction (PairCoincidentEnds), which pairs them the same.
template <class Score, class End>
bool PairBuckets(int32_t n, const std::vector<int32_t>& bucketStart,
                 const std::vector<int32_t>& members, const Score& score, const End& end,
                 const std::function<bool()>& aborted, std::vector<int32_t>* partner) {
    std::vector<int32_t> crowded;
    for (size_t b = 0; b + 1 < bucketStart.size(); ++b)
        if (bucketStart[b + 1] - bucketStart[b] > kSmallBucket) crowded.push_back(int32_t(b));
    if (crowded.empty()) return PairEndPointsWith(n, bucketStart, members, score, aborted, partner);
    std::vector<int32_t> smallStart{0}, smallMembers;
    for (size_t b = 0; b + 1 < bucketStart.size(); ++b) {
        if (bucketStart[b + 1] - bucketStart[b] > kSmallBucket) continue;
        smallMembers.insert(smallMembers.end(), members.begin() + bucketStart[b],
                            members.begin() + bucketStart[b + 1]);
        smallStart.push_back(int32_t(smallMembers.size()));
    }
    if (!PairEndPointsWith(n, smallStart, smallMembers, score, aborted, partner)) return false;
    const PairScore scoreFunction = score;
    std::vector<CoincidentEnd> ends;
    for (const int32_t b : crowded) {
        ends.clear();
        for (int32_t x = bucketStart[size_t(b)]; x < bucketStart[size_t(b) + 1]; ++x)
            ends.push_back(end(members[size_t(x)]));
        if (!PairCoincidentEnds(ends, scoreFunction, aborted, partner)) return false;
    }
    return true;
}

// Objects an edge belongs to: its own, and for an intersection edge also the other one.
bool SharesObject(const DetectedEdge& a, const DetectedEdge& b) {
    const auto second = [](const DetectedEdge& e) {
        return e.kind == kEdgeIntersection ? e.secondObject : -1;
    };
    const int32_t sa = second(a), sb = second(b);
    return a.object == b.object || (sb >= 0 && a.object == sb) || (sa >= 0 && sa == b.object) ||
           (sa >= 0 && sa == sb);
}

// Border and cell buckets of the Phase 3 grid: cells row by row, then the vertical grid lines
// (per line and row), the horizontal ones (per column and line) and their crossings.
class EndGrid {
  public:
    EndGrid(const Box2& box, int32_t pointCount, float link) : box_(box), link_(link) {
        const float w = box.maxX - box.minX, h = box.maxY - box.minY;
        const float k = float(std::max(1, pointCount / 48));
        const float cellW = std::max({2.0f * link, w / std::sqrt(k), 0.000001f});
        const float cellH = std::max({2.0f * link, h / std::sqrt(k), 0.000001f});
        nx_ = std::max(1, int(std::floor((w - link) / cellW)));
        ny_ = std::max(1, int(std::floor((h - link) / cellH)));
        cw_ = w / float(nx_);
        ch_ = h / float(ny_);
    }

    int32_t Cell(Point2 p) const { return Row(p.y) * nx_ + Column(p.x); }
    // Appends the border buckets of a point within the link length of grid lines: the line's
    // bucket, and near a crossing the crossing's bucket too. A point near a crossing must also
    // meet the points near just one of its two lines: in the crossing's bucket alone it would
    // miss a partner across one line that lies farther than the link length from the other.
    void Borders(Point2 p, std::vector<int32_t>* out) const {
        const int v = NearLine(p.x - box_.minX, cw_, nx_);
        const int h = NearLine(p.y - box_.minY, ch_, ny_);
        const int32_t cells = nx_ * ny_, verticals = (nx_ - 1) * ny_, horizontals = nx_ * (ny_ - 1);
        if (v > 0) out->push_back(cells + Row(p.y) * (nx_ - 1) + (v - 1));
        if (h > 0) out->push_back(cells + verticals + (h - 1) * nx_ + Column(p.x));
        if (v > 0 && h > 0)
            out->push_back(cells + verticals + horizontals + (h - 1) * (nx_ - 1) + (v - 1));
    }

  private:
    int Column(float x) const { return Index(x - box_.minX, cw_, nx_); }
    int Row(float y) const { return Index(y - box_.minY, ch_, ny_); }
    static int Index(float offset, float size, int count) {
        if (!(size > 0.0f)) return 0;
        return std::clamp(int(std::floor(offset / size)), 0, count - 1);
    }
    // Interior grid line (1 .. count - 1) within the link length of offset, or 0.
    int NearLine(float offset, float size, int count) const {
        if (count < 2 || !(size > 0.0f)) return 0;
        const int line = int(std::lround(offset / size));
        if (line < 1 || line > count - 1) return 0;
        return std::fabs(offset - float(line) * size) <= link_ ? line : 0;
    }

    Box2 box_;
    float link_;
    int nx_ = 1, ny_ = 1;
    float cw_ = 0.0f, ch_ = 0.0f;
};

}  // namespace

bool ChainCoincidentEdges(const std::vector<DetectedEdge*>& edges, const StrokeParams& params,
                          const std::function<bool()>& aborted, std::vector<Stroke>* out) {
    const int32_t n = int32_t(2 * edges.size());
    struct EndKey {
        uint32_t bucket, x, y, z;
        auto operator<=>(const EndKey&) const = default;
    };
    std::vector<EndKey> keys(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        const DetectedEdge& edge = *edges[size_t(i / 2)];
        const Point2 p = EndPoint(edge, uint32_t(i & 1));
        EndKey& key = keys[size_t(i)];
        key.x = Bits(p.x);
        key.y = Bits(p.y);
        key.z = Bits(EndDepth(edge, uint32_t(i & 1)));
        key.bucket = (key.x + key.y + key.z) % 256u;
    }
    // Within a hash bucket only end points with the same bits can pair, so each run of equal
    // bits is paired on its own: the same result as pairing the whole bucket.
    std::vector<int32_t> bucketStart, members;
    SortIntoBuckets(
        n, [&](int32_t i) { return keys[size_t(i)]; }, &bucketStart, &members);
    std::vector<EndKey>().swap(keys);
    const auto leaving = [&](int32_t i) {
        const DetectedEdge& edge = *edges[size_t(i / 2)];
        return (i & 1) ? Point2{-edge.dir.x, -edge.dir.y} : edge.dir;
    };
    const auto score = [&](int32_t i, int32_t j, float* s) {
        if ((i ^ 1) == j) return false;  // the two ends of one (zero-length) edge
        *s = CoincidentScore(leaving(i), leaving(j),
                             edges[size_t(i / 2)]->kind == edges[size_t(j / 2)]->kind);
        return true;
    };
    const auto end = [&](int32_t i) {
        return CoincidentEnd{i, edges[size_t(i / 2)]->kind, leaving(i)};
    };
    std::vector<int32_t> partner;
    if (!PairBuckets(n, bucketStart, members, score, end, aborted, &partner)) return false;
    std::vector<Stroke> chains;
    ExtractEdgeChains(edges, partner, &chains);
    const float cosLimit = SplitCosine(params.splitAngle);
    std::vector<JointRecord> joints;
    for (const Stroke& chain : chains) SplitCorners(chain, cosLimit, &joints, out);
    return true;
}

bool FarConnectStrokes(std::vector<Stroke>& strokes, const StrokeParams& params,
                       bool weldAcrossObjects, const std::function<bool()>& aborted,
                       std::vector<Stroke>* out) {
    const float link = std::max(params.linkLength, 0.001f);
    const float weight = float(std::sqrt(std::pow(1.70711, 4.0))) / (link * link);
    const int32_t n = int32_t(2 * strokes.size());
    const auto endPoint = [&](int32_t i) {
        const Stroke& s = strokes[size_t(i / 2)];
        return (i & 1) ? EndPoint(*s.last, s.lastEnd) : EndPoint(*s.first, s.firstEnd);
    };
    const auto endEdge = [&](int32_t i) -> const DetectedEdge& {
        const Stroke& s = strokes[size_t(i / 2)];
        return (i & 1) ? *s.last : *s.first;
    };
    const auto tangent = [&](int32_t i) {
        const Stroke& s = strokes[size_t(i / 2)];
        return (i & 1) ? s.endDir : s.startDir;
    };

    // Loops keep their ends: they never take part.
    Box2 box;
    int32_t freeCount = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (strokes[size_t(i / 2)].loop) continue;
        box.Add(endPoint(i));
        ++freeCount;
    }
    std::vector<int32_t> bucketStart{0}, members;
    if (freeCount > 0) {
        const EndGrid grid(box, freeCount, link);
        std::vector<std::pair<int32_t, int32_t>> entries;  // (bucket, end point)
        std::vector<int32_t> borders;
        entries.reserve(size_t(freeCount) * 2);
        for (int32_t i = 0; i < n; ++i) {
            if (strokes[size_t(i / 2)].loop) continue;
            const Point2 p = endPoint(i);
            entries.push_back({grid.Cell(p), i});
            borders.clear();
            grid.Borders(p, &borders);
            for (const int32_t border : borders) entries.push_back({border, i});
        }
        std::sort(entries.begin(), entries.end());
        bucketStart.clear();
        for (size_t x = 0; x < entries.size(); ++x) {
            if (x == 0 || entries[x].first != entries[x - 1].first)
                bucketStart.push_back(int32_t(x));
            members.push_back(entries[x].second);
        }
        bucketStart.push_back(int32_t(entries.size()));
    }
    const float link2 = link * link;
    const auto score = [&](int32_t i, int32_t j, float* s) {
        if (!weldAcrossObjects && !SharesObject(endEdge(i), endEdge(j))) return false;
        const Point2 a = endPoint(i), b = endPoint(j);
        const float dx = b.x - a.x, dy = b.y - a.y, dist2 = dx * dx + dy * dy;
        if (!(dist2 <= link2)) return false;
        if (i / 2 == j / 2) {
            // Closing a stroke on itself: only when its ends run towards each other.
            const Stroke& stroke = strokes[size_t(i / 2)];
            const Point2 start = endPoint(2 * (i / 2)), end = endPoint(2 * (i / 2) + 1);
            const float cx = end.x - start.x, cy = end.y - start.y;
            const float limit = 0.25f * stroke.length;
            if (std::fabs(cx * stroke.startDir.x + cy * stroke.startDir.y) > limit ||
                std::fabs(cx * stroke.endDir.x + cy * stroke.endDir.y) > limit)
                return false;
        }
        const Point2 ta = tangent(i), tb = tangent(j);
        const float facing = 1.0f - (ta.x * tb.x + ta.y * tb.y);
        const float f2 = facing * facing;
        *s = f2 * f2 - weight * dist2;
        return true;
    };
    std::vector<int32_t> partner;
    if (!PairEndPointsWith(n, bucketStart, members, score, aborted, &partner)) return false;

    // Chains over strokes; a stroke entered at its end is reversed first.
    const float cosLimit = SplitCosine(params.splitAngle);
    std::vector<uint8_t> used(strokes.size(), 0);
    std::vector<JointRecord> joints;
    for (int32_t k = 0; k < n; ++k) {
        if (used[size_t(k / 2)]) continue;
        const int32_t start = ChainStart(partner, k);
        const int32_t first = start / 2;
        if (start & 1) ReverseStroke(&strokes[size_t(first)]);
        used[size_t(first)] = 1;
        Stroke chain = strokes[size_t(first)];
        int32_t current = first;
        uint32_t exitEnd = (start & 1) ? 0u : 1u;  // end point of `current` the chain leaves by
        for (;;) {
            const int32_t p = partner[size_t(2 * current + int32_t(exitEnd))];
            if (p == kStrokeEnd) break;
            const int32_t following = p / 2;
            if (following == first) {
                chain.loop = 1;
                chain.last->next = chain.first;
                chain.last->nextEnd = chain.firstEnd;
                chain.first->prev = chain.last;
                chain.first->prevEnd = chain.lastEnd;
                break;
            }
            if (used[size_t(following)]) break;  // cannot happen with a symmetric table
            Stroke& next = strokes[size_t(following)];
            if (p & 1) ReverseStroke(&next);
            used[size_t(following)] = 1;
            chain.last->next = next.first;
            chain.last->nextEnd = next.firstEnd;
            next.first->prev = chain.last;
            next.first->prevEnd = chain.lastEnd;
            chain.length += next.length;
            chain.last = next.last;
            chain.lastEnd = next.lastEnd;
            chain.endDir = next.endDir;
            current = following;
            exitEnd = (p & 1) ? 0u : 1u;
        }
        SplitCorners(chain, cosLimit, &joints, out);
    }
    return true;
}

namespace {

// Counters and texts shared by the phase processes.
class PhaseProgress {
  public:
    PhaseProgress(std::string phase, int64_t totalWork, int32_t items, bool quiet)
        : phase_(std::move(phase)), totalWork_(totalWork), items_(items), quiet_(quiet) {}

    void Refresh(const ThreadProcessInfo& info) const {
        if (quiet_) return;
        const int64_t done = workDone_.load();
        info.SetProgress(
            totalWork_ > 0 ? int32_t(double(done) * 1000.0 / double(totalWork_) + 0.5) : 0, 1000);
        info.SetMessage(phase_ + std::to_string(itemsDone_.load()) + " / " +
                        std::to_string(items_));
    }
    void Finished(const ThreadProcessInfo& info, int64_t work) {
        workDone_.fetch_add(work);
        itemsDone_.fetch_add(1);
        Refresh(info);
    }
    bool Quiet() const { return quiet_; }

  private:
    const std::string phase_;
    const int64_t totalWork_;
    const int32_t items_;
    const bool quiet_;
    std::atomic<int64_t> workDone_{0};
    std::atomic<int64_t> itemsDone_{0};
};

bool ValidGroup(int32_t group) { return group >= 0 && group < kEdgeGroupCount; }

std::function<bool()> AbortPoll(const ThreadProcessInfo& info) {
    return [&info] { return info.IsAborted(); };
}

// Strokes of one line set before far connection, by slot.
using SlotStrokes = std::array<std::vector<Stroke>, kSlotCount>;

// A phase of `count` items with progress reports: hands each item to RunItem, skipping the
// rest once the run is aborted.
class PhaseThreadProcess : public ThreadProcess {
  public:
    PhaseThreadProcess(std::string phase, int64_t totalWork, int32_t count, bool quiet)
        : count_(count), progress_(std::move(phase), totalWork, count, quiet) {}

    bool Work(const ThreadProcessInfo& info) final {
        const int32_t i = info.itemIndex;
        if (i == 0) progress_.Refresh(info);
        if (i >= count_) return false;
        if (!info.IsAborted()) RunItem(i, info);
        return true;
    }

  protected:
    // Calls progress_.Finished when the item completed.
    virtual void RunItem(int32_t item, const ThreadProcessInfo& info) = 0;

    const int32_t count_;
    PhaseProgress progress_;
};

}  // namespace

struct IndexedEdgeItem {
    int32_t set, object, hidden, group, edgeCount;
};

// Phase 1: one item per line set, object, class and group with edges.
class SetupIndexedEdgeThreadProcess final : public PhaseThreadProcess {
  public:
    SetupIndexedEdgeThreadProcess(DetectionResult& detection,
                                  const std::vector<ConnectSettings>& settings,
                                  std::vector<IndexedEdgeItem> items, bool quiet)
        : PhaseThreadProcess("[Phase 1] ", TotalEdges(items), int32_t(items.size()), quiet),
          detection_(detection),
          settings_(settings),
          items_(std::move(items)),
          strokes_(items_.size()) {}

    const std::vector<IndexedEdgeItem>& Items() const { return items_; }
    std::vector<Stroke>& Strokes(size_t item) { return strokes_[item]; }

  private:
    void RunItem(int32_t i, const ThreadProcessInfo& info) override {
        const IndexedEdgeItem& item = items_[size_t(i)];
        if (!progress_.Quiet())
            info.SetThreadMessage(std::to_string(item.set + 1) + " : Object " +
                                  std::to_string(item.object + 1));
        const ConnectSettings& set = settings_[size_t(item.set)];
        const auto& groups = item.hidden ? set.hiddenGroup : set.visibleGroup;
        LineSetEdges& lists = detection_.lineSets[size_t(item.set)];
        ObjectEdges& objectEdges =
            item.hidden ? lists.hidden[size_t(item.object)] : lists.visible[size_t(item.object)];
        std::vector<DetectedEdge*> edges;
        edges.reserve(size_t(item.edgeCount));
        for (int kind = 0; kind < kEdgeKindCount; ++kind) {
            if (groups[size_t(kind)] != item.group) continue;
            objectEdges.kinds[size_t(kind)].ForEach([&](DetectedEdge& e) { edges.push_back(&e); });
        }
        const StrokeParams& params =
            (item.hidden ? set.hiddenParams : set.visibleParams)[size_t(item.group)];
        if (ChainCoincidentEdges(edges, params, AbortPoll(info), &strokes_[size_t(i)]))
            progress_.Finished(info, item.edgeCount);
    }

    static int64_t TotalEdges(const std::vector<IndexedEdgeItem>& items) {
        int64_t sum = 0;
        for (const IndexedEdgeItem& item : items) sum += item.edgeCount;
        return sum;
    }

    DetectionResult& detection_;
    const std::vector<ConnectSettings>& settings_;
    const std::vector<IndexedEdgeItem> items_;
    std::vector<std::vector<Stroke>> strokes_;
};

// Phase 2: one item per intersection pair and class with pieces.
class SetupISectEdgeThreadProcess final : public PhaseThreadProcess {
  public:
    struct Item {
        int32_t pair, hidden;
    };

    SetupISectEdgeThreadProcess(DetectionResult& detection, std::vector<Item> items, bool quiet)
        : PhaseThreadProcess("[Phase 2] ", TotalPieces(detection, items), int32_t(items.size()),
                             quiet),
          detection_(detection),
          items_(std::move(items)),
          strokes_(items_.size()) {}

    const std::vector<Item>& Items() const { return items_; }
    std::vector<Stroke>& Strokes(size_t item) { return strokes_[item]; }

  private:
    void RunItem(int32_t i, const ThreadProcessInfo& info) override {
        const Item& item = items_[size_t(i)];
        IntersectionPair& pair = detection_.pairs[size_t(item.pair)];
        if (!progress_.Quiet())
            info.SetThreadMessage("IS " + std::to_string(pair.objectA + 1) + ":" +
                                  std::to_string(pair.objectB + 1) +
                                  (item.hidden ? " (h)" : " (v)"));
        EdgeList& edges = item.hidden ? pair.hiddenEdges : pair.visibleEdges;
        if (ChainIntersectionEdges(edges, pair.objectA, pair.objectB, AbortPoll(info),
                                   &strokes_[size_t(i)]))
            progress_.Finished(info, int64_t(edges.Size()));
    }

    static int64_t TotalPieces(const DetectionResult& detection, const std::vector<Item>& items) {
        int64_t sum = 0;
        for (const Item& item : items) {
            const IntersectionPair& pair = detection.pairs[size_t(item.pair)];
            sum += int64_t((item.hidden ? pair.hiddenEdges : pair.visibleEdges).Size());
        }
        return sum;
    }

    DetectionResult& detection_;
    const std::vector<Item> items_;
    std::vector<std::vector<Stroke>> strokes_;
};

struct FarConnectItem {
    int32_t set, hidden, group;
};

// Phase 3: one item per non-empty slot of the per-set scratch.
class FarConnectThreadProcess final : public PhaseThreadProcess {
  public:
    FarConnectThreadProcess(std::vector<SlotStrokes>& scratch, std::vector<ConnectionResult>& out,
                            const std::vector<ConnectSettings>& settings,
                            std::vector<FarConnectItem> items, int64_t totalStrokes, bool quiet)
        : PhaseThreadProcess("[Phase 3] ", totalStrokes, int32_t(items.size()), quiet),
          scratch_(scratch),
          out_(out),
          settings_(settings),
          items_(std::move(items)) {}

  private:
    void RunItem(int32_t i, const ThreadProcessInfo& info) override {
        const FarConnectItem& item = items_[size_t(i)];
        if (!progress_.Quiet()) info.SetThreadMessage("stroke : " + std::to_string(i + 1));
        const ConnectSettings& set = settings_[size_t(item.set)];
        std::vector<Stroke>& strokes =
            scratch_[size_t(item.set)][SlotIndex(item.hidden != 0, item.group)];
        const StrokeParams& params =
            (item.hidden ? set.hiddenParams : set.visibleParams)[size_t(item.group)];
        std::vector<Stroke> joined;
        if (!FarConnectStrokes(strokes, params, set.weldAcrossObjects != 0, AbortPoll(info),
                               &joined))
            return;
        StrokeList& slot = out_[size_t(item.set)].Slot(item.hidden != 0, item.group);
        for (const Stroke& s : joined) slot.Append(s);
        progress_.Finished(info, int64_t(strokes.size()));
    }

    std::vector<SlotStrokes>& scratch_;
    std::vector<ConnectionResult>& out_;
    const std::vector<ConnectSettings>& settings_;
    const std::vector<FarConnectItem> items_;
};

void ConnectEdges(std::vector<ConnectionResult>& out, DetectionResult& detection,
                  const Scene& scene, const std::vector<ConnectSettings>& settings,
                  ThreadManager& manager, const std::shared_ptr<LineEffectDelegate>& delegate,
                  ConnectStats* stats) {
    ConnectStats local;
    ConnectStats& timing = stats ? *stats : local;
    timing = ConnectStats{};
    auto phaseStart = std::chrono::steady_clock::now();
    const auto endPhase = [&](int phase, int64_t strokes) {
        const auto now = std::chrono::steady_clock::now();
        timing.phaseMs[size_t(phase)] =
            std::chrono::duration<double, std::milli>(now - phaseStart).count();
        timing.phaseStrokes[size_t(phase)] = strokes;
        phaseStart = now;
    };
    const int objectCount = scene.ObjectCount();
    bool valid = settings.size() == detection.lineSets.size();
    for (const LineSetEdges& set : detection.lineSets)
        valid = valid && int(set.visible.size()) == objectCount &&
                int(set.hidden.size()) == objectCount;
    for (const IntersectionPair& pair : detection.pairs)
        valid = valid && pair.objectA >= 0 && pair.objectA < objectCount && pair.objectB >= 0 &&
                pair.objectB < objectCount;
    if (!valid) throw LineEffectException("invalid settings or detection results.");
    out.clear();
    out.resize(settings.size());

    // Links from an earlier connection of the same result must not leak into this one.
    const auto unlink = [](DetectedEdge& e) {
        e.next = e.prev = nullptr;
        e.nextEnd = e.prevEnd = 0;
    };
    for (LineSetEdges& set : detection.lineSets)
        for (auto* side : {&set.visible, &set.hidden})
            for (ObjectEdges& object : *side)
                for (EdgeList& list : object.kinds) list.ForEach(unlink);
    for (IntersectionPair& pair : detection.pairs) {
        pair.visibleEdges.ForEach(unlink);
        pair.hiddenEdges.ForEach(unlink);
    }

    StageRun run(delegate, manager);
    std::vector<SlotStrokes> scratch(settings.size());

    // Phase 1.
    int64_t phaseStrokes = 0;
    std::vector<IndexedEdgeItem> items;
    for (size_t s = 0; s < settings.size(); ++s) {
        for (int o = 0; o < objectCount; ++o) {
            for (int hidden = 0; hidden < 2; ++hidden) {
                const ObjectEdges& edges = hidden ? detection.lineSets[s].hidden[size_t(o)]
                                                  : detection.lineSets[s].visible[size_t(o)];
                const auto& groups = hidden ? settings[s].hiddenGroup : settings[s].visibleGroup;
                std::vector<int32_t> counts(kEdgeGroupCount, 0);
                for (int kind = 0; kind < kEdgeKindCount; ++kind)
                    if (ValidGroup(groups[size_t(kind)]))
                        counts[size_t(groups[size_t(kind)])] +=
                            int32_t(edges.kinds[size_t(kind)].Size());
                for (int g = 0; g < kEdgeGroupCount; ++g)
                    if (counts[size_t(g)] > 0)
                        items.push_back({int32_t(s), o, hidden, g, counts[size_t(g)]});
            }
        }
    }
    if (!items.empty()) {
        auto phase1 = std::make_shared<SetupIndexedEdgeThreadProcess>(
            detection, settings, std::move(items), run.Quiet());
        run.Run(phase1);
        for (size_t i = 0; i < phase1->Items().size(); ++i) {
            const IndexedEdgeItem& item = phase1->Items()[i];
            std::vector<Stroke>& slot =
                scratch[size_t(item.set)][SlotIndex(item.hidden != 0, item.group)];
            std::vector<Stroke>& strokes = phase1->Strokes(i);
            phaseStrokes += int64_t(strokes.size());
            slot.insert(slot.end(), strokes.begin(), strokes.end());
            std::vector<Stroke>().swap(strokes);
        }
    }

    endPhase(0, phaseStrokes);

    // Phase 2.
    phaseStrokes = 0;
    std::vector<SetupISectEdgeThreadProcess::Item> isectItems;
    for (size_t p = 0; p < detection.pairs.size(); ++p)
        for (int hidden = 0; hidden < 2; ++hidden)
            if (!(hidden ? detection.pairs[p].hiddenEdges : detection.pairs[p].visibleEdges)
                     .Empty())
                isectItems.push_back({int32_t(p), hidden});
    if (!isectItems.empty()) {
        auto phase2 = std::make_shared<SetupISectEdgeThreadProcess>(
            detection, std::move(isectItems), run.Quiet());
        run.Run(phase2);
        for (size_t i = 0; i < phase2->Items().size(); ++i) {
            const int hidden = phase2->Items()[i].hidden;
            phaseStrokes += int64_t(phase2->Strokes(i).size());
            for (const Stroke& stroke : phase2->Strokes(i)) {
                const int32_t set = stroke.first->lineSet;
                if (set < 0 || set >= int32_t(settings.size())) continue;
                const int32_t group =
                    (hidden ? settings[size_t(set)].hiddenGroup
                            : settings[size_t(set)].visibleGroup)[kEdgeIntersection];
                if (!ValidGroup(group)) continue;
                scratch[size_t(set)][SlotIndex(hidden != 0, group)].push_back(stroke);
            }
        }
    }

    endPhase(1, phaseStrokes);

    // Phase 3.
    std::vector<FarConnectItem> farItems;
    int64_t totalStrokes = 0;
    for (size_t s = 0; s < settings.size(); ++s)
        for (int hidden = 0; hidden < 2; ++hidden)
            for (int g = 0; g < kEdgeGroupCount; ++g)
                if (!scratch[s][SlotIndex(hidden != 0, g)].empty()) {
                    farItems.push_back({int32_t(s), hidden, g});
                    totalStrokes += int64_t(scratch[s][SlotIndex(hidden != 0, g)].size());
                }
    if (!farItems.empty()) {
        run.Run(std::make_shared<FarConnectThreadProcess>(
            scratch, out, settings, std::move(farItems), totalStrokes, run.Quiet()));
    }
    phaseStrokes = 0;
    for (const ConnectionResult& result : out)
        for (const StrokeList& slot : result.slots) phaseStrokes += int64_t(slot.Size());
    endPhase(2, phaseStrokes);
}

}  // namespace KvrnLib
