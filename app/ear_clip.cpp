#include "ear_clip.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "poly_mesh.h"

namespace KvrnApp {

namespace {

// Ear clipping polls for an interrupt once per this many clips (up to 0.1 ms each in a polygon
// of a million corners).
constexpr int kPollClips = 256;

// Up to this size the plain scan is faster than setting up EarClipper's sets.
constexpr int kScanCorners = 16;

// > 0 when a, b, c turn counter-clockwise.
double Orient(Point2d a, Point2d b, Point2d c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

double Distance(Point2d a, Point2d b) { return std::hypot(b.x - a.x, b.y - a.y); }

bool SamePoint(Point2d a, Point2d b) { return a.x == b.x && a.y == b.y; }

// Inside, or within `tolerance` of the triangle's edges.
bool InTriangle(Point2d p, Point2d a, Point2d b, Point2d c, double tolerance) {
    return Orient(a, b, p) >= -tolerance * Distance(a, b) &&
           Orient(b, c, p) >= -tolerance * Distance(b, c) &&
           Orient(c, a, p) >= -tolerance * Distance(c, a);
}

struct Box2d {
    double minX, minY, maxX, maxY;
};

Box2d BoundsOf(const std::vector<Point2d>& pts) {
    Box2d box{pts[0].x, pts[0].y, pts[0].x, pts[0].y};
    for (const Point2d& p : pts) {
        box.minX = std::min(box.minX, p.x);
        box.maxX = std::max(box.maxX, p.x);
        box.minY = std::min(box.minY, p.y);
        box.maxY = std::max(box.maxY, p.y);
    }
    return box;
}

// Float input puts a vertex that lies on a diagonal up to about 1e-7 of the polygon's size off
// it; such near-misses count as hits so that no sliver triangles come out.
double NearMissTolerance(const Box2d& bounds) {
    return 1e-6 * std::max(bounds.maxX - bounds.minX, bounds.maxY - bounds.minY);
}

// Singly linked lists of ints in shared arrays: no allocation per list, and entries unlink in
// place.
struct IntLists {
    std::vector<int> head, next, value;

    void Reset(int lists) {
        head.assign(lists, -1);
        next.clear();
        value.clear();
    }
    void Push(int list, int v) {
        next.push_back(head[list]);
        value.push_back(v);
        head[list] = int(value.size()) - 1;
    }
};

// A set of corner indices as a two-level bit set: the next member after a position is found in a
// few word reads even when the set is large and sparse.
class CornerSet {
  public:
    void Reset(int n) {
        words_.assign((size_t(n) + 63) / 64, 0);
        summary_.assign((words_.size() + 63) / 64, 0);
    }
    void Insert(int i) {
        words_[i >> 6] |= Bit(i);
        summary_[i >> 12] |= Bit(i >> 6);
    }
    void Erase(int i) {
        uint64_t& word = words_[i >> 6];
        word &= ~Bit(i);
        if (word == 0) summary_[i >> 12] &= ~Bit(i >> 6);
    }
    // The first member at or after i, going round to 0; -1 when the set is empty.
    int FirstFrom(int i) const {
        const int found = FirstAtOrAfter(i);
        return found >= 0 ? found : FirstAtOrAfter(0);
    }

  private:
    static uint64_t Bit(int i) { return uint64_t(1) << (i & 63); }
    int FirstAtOrAfter(int i) const {
        const size_t w = size_t(i) >> 6;
        if (const uint64_t bits = words_[w] & (~uint64_t(0) << (i & 63)))
            return int(w * 64 + std::countr_zero(bits));
        size_t s = (w + 1) >> 6;
        if (s >= summary_.size()) return -1;
        uint64_t bits = summary_[s] & (~uint64_t(0) << ((w + 1) & 63));
        while (bits == 0) {
            if (++s == summary_.size()) return -1;
            bits = summary_[s];
        }
        const size_t word = s * 64 + std::countr_zero(bits);
        return int(word * 64 + std::countr_zero(words_[word]));
    }

    std::vector<uint64_t> words_, summary_;
};

}  // namespace

// Working arrays of the ear clippers, kept between polygons so that a mesh of quads allocates
// once.
struct ClipScratch {
    std::vector<Point2d> pts;
    std::vector<int> next, prev;
    std::vector<uint8_t> alive, reflex, inGrid;
    CornerSet candidates;  // corners that may be ears; all others are known not to be
    IntLists cells;        // reflex corners by grid cell
    IntLists waiting;      // per reflex corner: the corners it was found inside the ear of
    std::vector<std::pair<double, int>> heap;  // (corner orientation, corner), max first
    std::vector<std::pair<double, int>> ties;
};

namespace {

// Ear clipping of a counter-clockwise simple polygon (scratch.pts); appends local corner triples
// in polygon order. Self-intersecting or degenerate input still terminates: when no ear exists
// the most convex corner is clipped. This is the plain scan: walk on from the last ear, testing
// every corner against every reflex one. Quadratic, and the fastest for small polygons.
void EarClipByScan(ClipScratch& scratch, std::vector<std::array<int, 3>>* out) {
    const std::vector<Point2d>& pts = scratch.pts;
    std::vector<int>& next = scratch.next;
    std::vector<int>& prev = scratch.prev;
    const int n = static_cast<int>(pts.size());
    next.resize(n);
    prev.resize(n);
    for (int i = 0; i < n; ++i) {
        next[i] = (i + 1) % n;
        prev[i] = (i + n - 1) % n;
    }
    const double tolerance = NearMissTolerance(BoundsOf(pts));
    auto cornerOrient = [&](int i) { return Orient(pts[prev[i]], pts[i], pts[next[i]]); };
    auto isEar = [&](int i) {
        const int a = prev[i], c = next[i];
        if (cornerOrient(i) <= tolerance * Distance(pts[a], pts[c])) return false;
        // A vertex inside a candidate ear is always a reflex one, so only those are tested.
        for (int j = next[c]; j != a; j = next[j]) {
            if (cornerOrient(j) > tolerance * Distance(pts[prev[j]], pts[next[j]])) continue;
            if (SamePoint(pts[j], pts[a]) || SamePoint(pts[j], pts[i]) || SamePoint(pts[j], pts[c]))
                continue;
            if (InTriangle(pts[j], pts[a], pts[i], pts[c], tolerance)) return false;
        }
        return true;
    };
    auto clip = [&](int i) {
        out->push_back({prev[i], i, next[i]});
        next[prev[i]] = next[i];
        prev[next[i]] = prev[i];
    };

    // Starting at corner 1 makes a convex polygon come out as the fan around corner 0.
    int cur = 1 % n;
    for (int remaining = n; remaining > 3; --remaining) {
        bool clipped = false;
        for (int tries = 0; tries < remaining; ++tries, cur = next[cur]) {
            if (isEar(cur)) {
                const int following = next[cur];
                clip(cur);
                cur = following;
                clipped = true;
                break;
            }
        }
        if (!clipped) {
            int best = cur;
            double bestOrient = cornerOrient(cur);
            for (int j = next[cur]; j != cur; j = next[j]) {
                if (cornerOrient(j) > bestOrient) {
                    best = j;
                    bestOrient = cornerOrient(j);
                }
            }
            cur = next[best];
            clip(best);
        }
    }
    out->push_back({prev[cur], cur, next[cur]});
}

// EarClipByScan in near-linear time on large polygons, clipping the same corners in the same
// order:
// - only corners that may be ears are visited: a corner that failed stays failed until one of its
//   neighbours changes or the reflex corner found in its triangle is clipped or turns convex;
// - reflex corners sit in a uniform grid, so an ear test looks only near its triangle;
// - the most convex corner comes from a heap once the polygon is large.
class EarClipper {
  public:
    EarClipper(ClipScratch& scratch, const volatile std::sig_atomic_t* interrupt)
        : s_(scratch),
          pts_(scratch.pts),
          next_(scratch.next),
          prev_(scratch.prev),
          interrupt_(interrupt) {}

    void Run(std::vector<std::array<int, 3>>* out) {
        const int n = static_cast<int>(pts_.size());
        Start(n);
        int cur = 1 % n;  // as in EarClipByScan
        for (remaining_ = n; remaining_ > 3; --remaining_) {
            if (remaining_ % kPollClips == 0) PollInterrupt(interrupt_);
            int ear = -1;
            for (int i = s_.candidates.FirstFrom(cur); i >= 0; i = s_.candidates.FirstFrom(i)) {
                const int blocker = EarBlocker(i);
                if (blocker < 0) {
                    ear = i;
                    break;
                }
                s_.candidates.Erase(i);
                if (blocker != i) s_.waiting.Push(blocker, i);
            }
            const int clipped = ear >= 0 ? ear : MostConvex(cur);
            cur = next_[clipped];
            Clip(clipped, remaining_ > 4, out);
        }
        out->push_back({prev_[cur], cur, next_[cur]});
    }

  private:
    // Below these sizes plain scans beat the grid and the heap.
    static constexpr int kGridMinReflex = 32;
    static constexpr int kHeapMinCorners = 64;

    void Start(int n) {
        next_.resize(n);
        prev_.resize(n);
        for (int i = 0; i < n; ++i) {
            next_[i] = (i + 1) % n;
            prev_[i] = (i + n - 1) % n;
        }
        const Box2d bounds = BoundsOf(pts_);
        tolerance_ = NearMissTolerance(bounds);

        s_.alive.assign(n, 1);
        s_.reflex.resize(n);
        s_.inGrid.assign(n, 0);
        s_.candidates.Reset(n);
        s_.waiting.Reset(n);
        s_.heap.clear();
        heapBuilt_ = false;
        int reflexCount = 0;
        for (int i = 0; i < n; ++i) {
            s_.reflex[i] = !Convex(i);
            reflexCount += s_.reflex[i];
        }
        SizeGrid(bounds.minX, bounds.minY, bounds.maxX - bounds.minX, bounds.maxY - bounds.minY,
                 reflexCount);
        for (int i = 0; i < n; ++i) {
            if (s_.reflex[i]) {
                AddToGrid(i);
            } else {
                s_.candidates.Insert(i);
            }
        }
    }

    // About one reflex corner per cell; one cell (a plain list) when there are few.
    void SizeGrid(double minX, double minY, double width, double height, int reflexCount) {
        gridX_ = minX;
        gridY_ = minY;
        cellsX_ = cellsY_ = 1;
        cellsPerX_ = cellsPerY_ = 0;
        if (reflexCount >= kGridMinReflex && std::isfinite(width) && std::isfinite(height) &&
            (width > 0 || height > 0)) {
            double cell = std::sqrt(width * height / reflexCount);
            if (!(cell > 0)) cell = std::max(width, height) / reflexCount;
            // In double first: a polygon a billion times longer than wide overflows an int.
            cellsX_ = int(std::min(std::floor(width / cell) + 1, double(reflexCount)));
            cellsY_ = int(std::min(std::floor(height / cell) + 1, double(reflexCount)));
            cellsPerX_ = cellsX_ / std::max(width, cell);
            cellsPerY_ = cellsY_ / std::max(height, cell);
        }
        s_.cells.Reset(cellsX_ * cellsY_);
    }
    static int Cell(double offset, double perUnit, int cells) {
        const double t = offset * perUnit;
        if (!(t > 0)) return 0;  // also NaN
        return t < cells - 1 ? int(t) : cells - 1;
    }
    void AddToGrid(int i) {
        s_.inGrid[i] = 1;
        const Point2d p = pts_[i];
        const int cx = Cell(p.x - gridX_, cellsPerX_, cellsX_);
        const int cy = Cell(p.y - gridY_, cellsPerY_, cellsY_);
        s_.cells.Push(cy * cellsX_ + cx, i);
    }

    double CornerOrient(int i) const { return Orient(pts_[prev_[i]], pts_[i], pts_[next_[i]]); }
    bool Convex(int i) const {
        return CornerOrient(i) > tolerance_ * Distance(pts_[prev_[i]], pts_[next_[i]]);
    }

    // -1 when corner i is an ear, i when it is not convex, otherwise a reflex corner inside its
    // triangle. A vertex inside a candidate ear is always a reflex one, so only those are tested.
    int EarBlocker(int i) {
        const int a = prev_[i], c = next_[i];
        if (s_.reflex[i]) return i;
        if (cellsX_ * cellsY_ == 1 && s_.cells.head[0] < 0) return -1;
        const Point2d pa = pts_[a], pi = pts_[i], pc = pts_[c];
        const double ab = Distance(pa, pi), bc = Distance(pi, pc), ca = Distance(pc, pa);
        // InTriangle with the edge lengths computed once.
        const double limitAB = -tolerance_ * ab, limitBC = -tolerance_ * bc;
        const double limitCA = -tolerance_ * ca;
        auto blocks = [&](int j) {
            if (j == a || j == i || j == c) return false;
            const Point2d pj = pts_[j];
            if (SamePoint(pj, pa) || SamePoint(pj, pi) || SamePoint(pj, pc)) return false;
            return Orient(pa, pi, pj) >= limitAB && Orient(pi, pc, pj) >= limitBC &&
                   Orient(pc, pa, pj) >= limitCA;
        };
        if (cellsX_ * cellsY_ == 1) return FirstInCell(0, blocks);

        // The points InTriangle accepts form the triangle grown by the tolerance on every side:
        // the triangle scaled about its incentre by (r + tolerance) / r, r its inradius. Rows of
        // cells are searched only where that triangle crosses them, so that a long thin ear does
        // not visit its whole bounding box.
        const double perimeter = ab + bc + ca;
        const Point2d centre = {(bc * pa.x + ca * pi.x + ab * pc.x) / perimeter,
                                (bc * pa.y + ca * pi.y + ab * pc.y) / perimeter};
        const double scale = 1 + tolerance_ * perimeter / Orient(pa, pi, pc);
        std::array<Point2d, 3> grown;
        double lowY = centre.y, highY = centre.y;
        for (int k = 0; k < 3; ++k) {
            const Point2d p = k == 0 ? pa : (k == 1 ? pi : pc);
            grown[k] = {centre.x + scale * (p.x - centre.x), centre.y + scale * (p.y - centre.y)};
            lowY = std::min(lowY, grown[k].y);
            highY = std::max(highY, grown[k].y);
        }
        // Rounding margin: a point just outside the grown edges may still test inside.
        const double margin = tolerance_;
        const int y0 = Cell(lowY - margin - gridY_, cellsPerY_, cellsY_);
        const int y1 = Cell(highY + margin - gridY_, cellsPerY_, cellsY_);
        for (int y = y0; y <= y1; ++y) {
            const double slabLow = y == y0 ? -INFINITY : gridY_ + y / cellsPerY_ - margin;
            const double slabHigh = y == y1 ? INFINITY : gridY_ + (y + 1) / cellsPerY_ + margin;
            double lowX = INFINITY, highX = -INFINITY;
            for (int k = 0; k < 3; ++k) {
                Point2d p = grown[k], q = grown[(k + 1) % 3];
                if (p.y > q.y) std::swap(p, q);
                if (q.y < slabLow || p.y > slabHigh) continue;
                const double dy = q.y - p.y;
                const double t0 = p.y < slabLow ? (slabLow - p.y) / dy : 0;
                const double t1 = q.y > slabHigh ? (slabHigh - p.y) / dy : 1;
                const double xa = p.x + t0 * (q.x - p.x), xb = p.x + t1 * (q.x - p.x);
                lowX = std::min({lowX, xa, xb});
                highX = std::max({highX, xa, xb});
            }
            if (!(lowX <= highX)) {  // rounding left the row empty, or NaN: search it all
                lowX = -INFINITY;
                highX = INFINITY;
            }
            const int x0 = Cell(lowX - margin - gridX_, cellsPerX_, cellsX_);
            const int x1 = Cell(highX + margin - gridX_, cellsPerX_, cellsX_);
            for (int x = x0; x <= x1; ++x)
                if (const int j = FirstInCell(y * cellsX_ + x, blocks); j >= 0) return j;
        }
        return -1;
    }
    // The first reflex corner of the cell that passes `test`, or -1. Unlinks the entries of
    // corners that have been clipped or turned convex on the way.
    template <typename Test>
    int FirstInCell(int cell, const Test& test) {
        IntLists& cells = s_.cells;
        int* link = &cells.head[cell];
        while (*link >= 0) {
            const int e = *link, j = cells.value[e];
            if (!s_.alive[j] || !s_.reflex[j]) {
                s_.inGrid[j] = 0;
                *link = cells.next[e];
                continue;
            }
            if (test(j)) return j;
            link = &cells.next[e];
        }
        return -1;
    }

    // The corner with the largest orientation, the first one from cur on a tie.
    int MostConvex(int cur) {
        const double curOrient = CornerOrient(cur);
        if (std::isnan(curOrient)) return cur;  // nothing compares greater
        if (!heapBuilt_ && remaining_ < kHeapMinCorners) {
            int best = cur;
            double bestOrient = curOrient;
            for (int j = next_[cur]; j != cur; j = next_[j]) {
                if (CornerOrient(j) > bestOrient) {
                    best = j;
                    bestOrient = CornerOrient(j);
                }
            }
            return best;
        }
        auto& heap = s_.heap;
        if (!heapBuilt_) {
            heapBuilt_ = true;
            for (int j = cur, k = 0; k < remaining_; j = next_[j], ++k) PushOrient(j);
        }
        // Entries are left behind when a corner changes; a current one matches its corner.
        auto current = [&](const std::pair<double, int>& e) {
            return s_.alive[e.second] && CornerOrient(e.second) == e.first;
        };
        while (!current(heap.front())) {
            std::pop_heap(heap.begin(), heap.end());
            heap.pop_back();
        }
        const double top = heap.front().first;
        if (curOrient == top) return cur;
        const int n = static_cast<int>(pts_.size());
        int best = -1;
        s_.ties.clear();
        while (!heap.empty() && heap.front().first == top) {
            std::pop_heap(heap.begin(), heap.end());
            const std::pair<double, int> e = heap.back();
            heap.pop_back();
            if (!current(e)) continue;
            s_.ties.push_back(e);
            if (best < 0 || (e.second - cur + n) % n < (best - cur + n) % n) best = e.second;
        }
        for (const auto& e : s_.ties) {
            heap.push_back(e);
            std::push_heap(heap.begin(), heap.end());
        }
        return best;
    }
    void PushOrient(int i) {
        const double orient = CornerOrient(i);
        if (std::isnan(orient)) return;
        s_.heap.emplace_back(orient, i);
        std::push_heap(s_.heap.begin(), s_.heap.end());
    }

    // The neighbours need updating unless only the last triangle remains.
    void Clip(int i, bool updateNeighbours, std::vector<std::array<int, 3>>* out) {
        const int a = prev_[i], c = next_[i];
        out->push_back({a, i, c});
        next_[a] = c;
        prev_[c] = a;
        s_.alive[i] = 0;
        s_.candidates.Erase(i);
        if (!updateNeighbours) return;
        if (s_.reflex[i]) Release(i);
        NeighbourChanged(a);
        NeighbourChanged(c);
    }
    void NeighbourChanged(int i) {
        const bool wasReflex = s_.reflex[i];
        s_.reflex[i] = !Convex(i);
        if (s_.reflex[i]) {
            if (!s_.inGrid[i]) AddToGrid(i);
        } else {
            if (wasReflex) Release(i);
            s_.candidates.Insert(i);
        }
        if (heapBuilt_) PushOrient(i);
    }
    // Reflex corner i no longer blocks: the corners waiting on it may be ears again.
    void Release(int i) {
        IntLists& waiting = s_.waiting;
        for (int e = waiting.head[i]; e >= 0; e = waiting.next[e]) {
            const int j = waiting.value[e];
            if (s_.alive[j] && !s_.reflex[j]) s_.candidates.Insert(j);
        }
        waiting.head[i] = -1;
    }

    ClipScratch& s_;
    const std::vector<Point2d>& pts_;
    std::vector<int>& next_;
    std::vector<int>& prev_;
    const volatile std::sig_atomic_t* interrupt_;
    double tolerance_ = 0;
    int remaining_ = 0;
    bool heapBuilt_ = false;
    double gridX_ = 0, gridY_ = 0, cellsPerX_ = 0, cellsPerY_ = 0;
    int cellsX_ = 1, cellsY_ = 1;
};

}  // namespace

EarClip::EarClip() : scratch_(std::make_unique<ClipScratch>()) {}
EarClip::~EarClip() = default;

std::vector<Point2d>& EarClip::Points() { return scratch_->pts; }

void EarClip::Run(const volatile std::sig_atomic_t* interrupt,
                  std::vector<std::array<int, 3>>* out) {
    if (scratch_->pts.size() <= size_t(kScanCorners)) {
        EarClipByScan(*scratch_, out);
    } else {
        EarClipper(*scratch_, interrupt).Run(out);
    }
}

}  // namespace KvrnApp
