// PairEndPoints fixes, pass after pass, the pairs whose ends chose each other, each end taking
// the strictly best score and, among equal scores, the earliest partner. Those choices follow one
// total order on pairs (score, then lower end number, then higher), so its result is the greedy
// matching in that order; so is the result of anything that only fixes pairs that are best for
// both ends among the ends still free (Preis's locally dominant edges). The nearest-neighbour
// chain of hierarchical clustering finds such pairs with O(k) best-partner searches: follow best
// partners until two ends choose each other, fix them, resume from the end below them.
//
// A search visits the groups of ends with equal kind and bit-equal direction in order of angle
// from the opposite of the searching end's direction, and stops once a bound on the score of the
// groups left falls below the best score found. The bound allows for the float rounding of the
// score, so every group that could still beat or tie the best is scored with `score` itself.

#include "coincident_pairing.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "check.h"

namespace KvrnLib {

namespace {

// Directions within this of unit length go into the angle-ordered groups.
constexpr double kUnitTolerance = 1e-5;
// Above |computed score - exact score| for such directions: three float roundings of values
// below 4 (about 4e-7).
constexpr double kScoreSlack = 1e-6;

// 0 for directions at angles [0, pi) from +x, 1 for [pi, 2 pi).
int HalfTurn(Point2 d) { return d.y > 0.0f || (d.y == 0.0f && d.x > 0.0f) ? 0 : 1; }

// Counterclockwise order from +x. Float products are exact in double and a difference has the
// sign of the exact one, so the order is exact.
bool AngleLess(Point2 a, Point2 b) {
    const int ha = HalfTurn(a), hb = HalfTurn(b);
    if (ha != hb) return ha < hb;
    return double(a.x) * double(b.y) - double(a.y) * double(b.x) > 0.0;
}

uint64_t DirectionBits(Point2 d) {
    return uint64_t(std::bit_cast<uint32_t>(d.x)) << 32 | std::bit_cast<uint32_t>(d.y);
}

// Union-find over positions whose removed entries link onwards: Find gives the first position
// at or after p (in the link's direction) that is still present. Path halving.
int32_t Find(std::vector<int32_t>& link, int32_t p) {
    while (link[size_t(p)] != p) {
        link[size_t(p)] = link[size_t(link[size_t(p)])];
        p = link[size_t(p)];
    }
    return p;
}

class CoincidentPairing {
  public:
    CoincidentPairing(const std::vector<CoincidentEnd>& ends, const PairScore& score,
                      const std::function<bool()>& aborted);

    bool Run(std::vector<int32_t>* partner);

  private:
    // Ends of one kind with bit-equal directions: positions [first, end) of members_.
    struct Group {
        Point2 dir;
        double length = 0.0;
        int32_t first = 0, end = 0;
        int32_t present = 0;
    };
    // Groups [first, end) of one kind, in angle order.
    struct KindClass {
        int32_t kind = 0;
        int32_t first = 0, end = 0;
        int32_t present = 0;
    };
    struct Best {
        float score = 0.0f;
        int32_t end = -1;
    };

    int32_t BestPartner(int32_t x);
    void SearchClass(int32_t x, const KindClass& kindClass, Best* best);
    // Scores end j as x's partner; false when the score refuses the pair.
    bool Consider(int32_t x, int32_t j, Best* best);
    void Remove(int32_t e);
    int32_t NextGroup(const KindClass& kindClass, int32_t g);
    int32_t PreviousGroup(const KindClass& kindClass, int32_t g);
    void Step() {
        if ((++steps_ & 1023u) == 0 && aborted_ && aborted_()) stopped_ = true;
    }

    const std::vector<CoincidentEnd>& ends_;
    const PairScore& score_;
    const std::function<bool()>& aborted_;
    std::vector<uint8_t> present_;   // per end: not yet paired or made a stroke end
    std::vector<int32_t> group_;     // per end: its group, -1 for irregular directions
    std::vector<int32_t> position_;  // per end in a group: its position in members_
    std::vector<int32_t> irregular_;
    std::vector<int32_t> members_;  // ends of the groups, group by group, ascending in each
    std::vector<Group> groups_;
    std::vector<KindClass> classes_;
    std::vector<int32_t> classOf_;        // per group
    std::vector<int32_t> nextMember_;     // union-find over members_ (+ end sentinel)
    std::vector<int32_t> nextGroup_;      // union-find over groups_ (+ end sentinel)
    std::vector<int32_t> previousGroup_;  // union-find over groups_ shifted by one (0: none)
    double lengthSpread_ = 0.0;           // largest |length - 1| of the grouped directions
    uint32_t steps_ = 0;
    bool stopped_ = false;
};

CoincidentPairing::CoincidentPairing(const std::vector<CoincidentEnd>& ends, const PairScore& score,
                                     const std::function<bool()>& aborted)
    : ends_(ends), score_(score), aborted_(aborted) {
    const int32_t k = int32_t(ends.size());
    present_.assign(size_t(k), 1);
    group_.assign(size_t(k), -1);
    position_.assign(size_t(k), -1);
    for (int32_t e = 0; e < k; ++e) {
        const Point2 d = ends[size_t(e)].leaving;
        // A NaN direction scores NaN with every end, which never beats anything.
        if (std::isnan(d.x) || std::isnan(d.y)) {
            present_[size_t(e)] = 0;
            continue;
        }
        const double length = std::hypot(double(d.x), double(d.y));
        if (std::fabs(length - 1.0) <= kUnitTolerance)
            members_.push_back(e);
        else
            irregular_.push_back(e);
    }
    std::sort(members_.begin(), members_.end(), [&](int32_t a, int32_t b) {
        const CoincidentEnd &ea = ends[size_t(a)], &eb = ends[size_t(b)];
        if (ea.kind != eb.kind) return ea.kind < eb.kind;
        if (AngleLess(ea.leaving, eb.leaving)) return true;
        if (AngleLess(eb.leaving, ea.leaving)) return false;
        const uint64_t ba = DirectionBits(ea.leaving), bb = DirectionBits(eb.leaving);
        return ba < bb || (ba == bb && a < b);
    });
    for (int32_t p = 0; p < int32_t(members_.size()); ++p) {
        const CoincidentEnd& e = ends[size_t(members_[size_t(p)])];
        const CoincidentEnd* before = p > 0 ? &ends[size_t(members_[size_t(p) - 1])] : nullptr;
        const bool newClass = !before || before->kind != e.kind;
        if (newClass) {
            if (!classes_.empty()) classes_.back().end = int32_t(groups_.size());
            classes_.push_back({e.kind, int32_t(groups_.size()), 0, 0});
        }
        if (newClass || DirectionBits(before->leaving) != DirectionBits(e.leaving)) {
            Group g;
            g.dir = e.leaving;
            g.length = std::hypot(double(e.leaving.x), double(e.leaving.y));
            g.first = p;
            lengthSpread_ = std::max(lengthSpread_, std::fabs(g.length - 1.0));
            groups_.push_back(g);
            classOf_.push_back(int32_t(classes_.size()) - 1);
            ++classes_.back().present;
        }
        Group& g = groups_.back();
        g.end = p + 1;
        ++g.present;
        group_[size_t(members_[size_t(p)])] = int32_t(groups_.size()) - 1;
        position_[size_t(members_[size_t(p)])] = p;
    }
    if (!classes_.empty()) classes_.back().end = int32_t(groups_.size());
    nextMember_.resize(members_.size() + 1);
    for (size_t p = 0; p < nextMember_.size(); ++p) nextMember_[p] = int32_t(p);
    nextGroup_.resize(groups_.size() + 1);
    previousGroup_.resize(groups_.size() + 1);
    for (size_t g = 0; g <= groups_.size(); ++g) nextGroup_[g] = previousGroup_[g] = int32_t(g);
}

void CoincidentPairing::Remove(int32_t e) {
    present_[size_t(e)] = 0;
    const int32_t g = group_[size_t(e)];
    if (g < 0) return;
    nextMember_[size_t(position_[size_t(e)])] = position_[size_t(e)] + 1;
    if (--groups_[size_t(g)].present > 0) return;
    nextGroup_[size_t(g)] = g + 1;
    previousGroup_[size_t(g) + 1] = g;
    --classes_[size_t(classOf_[size_t(g)])].present;
}

// The first group of the class still present at or after g, wrapping round; the class must have
// one.
int32_t CoincidentPairing::NextGroup(const KindClass& kindClass, int32_t g) {
    const int32_t found = Find(nextGroup_, g);
    return found < kindClass.end ? found : Find(nextGroup_, kindClass.first);
}

int32_t CoincidentPairing::PreviousGroup(const KindClass& kindClass, int32_t g) {
    const int32_t found = Find(previousGroup_, g + 1) - 1;
    return found >= kindClass.first ? found : Find(previousGroup_, kindClass.end) - 1;
}

bool CoincidentPairing::Consider(int32_t x, int32_t j, Best* best) {
    Step();
    // Always in bucket order, as PairEndPoints asks, so that a pair has one score.
    const int32_t a = std::min(ends_[size_t(x)].id, ends_[size_t(j)].id);
    const int32_t b = std::max(ends_[size_t(x)].id, ends_[size_t(j)].id);
    float s = 0.0f;
    if (!score_(a, b, &s)) return false;
    // PairEndPoints starts each best at the lowest float and keeps only strictly greater ones.
    if (!(s > -std::numeric_limits<float>::max())) return true;
    if (best->end < 0 || s > best->score || (s == best->score && j < best->end)) *best = {s, j};
    return true;
}

void CoincidentPairing::SearchClass(int32_t x, const KindClass& kindClass, Best* best) {
    if (kindClass.present == 0) return;
    const CoincidentEnd& end = ends_[size_t(x)];
    const Point2 target{-end.leaving.x, -end.leaving.y};
    const double targetLength = std::hypot(double(target.x), double(target.y));
    // Score of a group at angle a from the target, exactly: |target| |dir| cos a (+ 2). Past the
    // nearer of the two frontiers every group lies at a larger angle, so its score is below the
    // frontier's |target| cos a, plus the length spread, the bonus and the rounding.
    const double margin =
        targetLength * lengthSpread_ + (kindClass.kind == end.kind ? 2.0 : 0.0) + kScoreSlack;
    if (best->end >= 0 && targetLength + margin < double(best->score)) return;
    const auto bound = [&](int32_t g) {
        const Group& group = groups_[size_t(g)];
        return (double(target.x) * group.dir.x + double(target.y) * group.dir.y) / group.length +
               margin;
    };
    const auto begin = groups_.begin() + kindClass.first, stop = groups_.begin() + kindClass.end;
    const int32_t at =
        int32_t(std::partition_point(begin, stop,
                                     [&](const Group& g) { return AngleLess(g.dir, target); }) -
                groups_.begin());
    int32_t right = NextGroup(kindClass, at), left = PreviousGroup(kindClass, at - 1);
    double rightBound = bound(right), leftBound = bound(left);
    for (int32_t visited = 0; visited < kindClass.present && !stopped_; ++visited) {
        // Equal scores still count: a tie goes to the lower end number.
        if (best->end >= 0 && std::max(rightBound, leftBound) < double(best->score)) break;
        const bool takeRight = rightBound >= leftBound;
        const Group& group = groups_[size_t(takeRight ? right : left)];
        // The group's first end the score accepts scores as well as any later one.
        for (int32_t p = Find(nextMember_, group.first); p < group.end && !stopped_;
             p = Find(nextMember_, p + 1)) {
            const int32_t j = members_[size_t(p)];
            if (j != x && Consider(x, j, best)) break;
        }
        if (takeRight) {
            right = NextGroup(kindClass, right + 1);
            rightBound = bound(right);
        } else {
            left = PreviousGroup(kindClass, left - 1);
            leftBound = bound(left);
        }
    }
}

int32_t CoincidentPairing::BestPartner(int32_t x) {
    Best best;
    if (group_[size_t(x)] < 0) {
        for (int32_t j = 0; j < int32_t(ends_.size()) && !stopped_; ++j)
            if (j != x && present_[size_t(j)]) Consider(x, j, &best);
        return best.end;
    }
    // The ends of x's own kind score 2 more, so searching them first prunes the others.
    const int32_t kind = ends_[size_t(x)].kind;
    const KindClass& own = classes_[size_t(classOf_[size_t(group_[size_t(x)])])];
    SearchClass(x, own, &best);
    for (const KindClass& kindClass : classes_)
        if (kindClass.kind != kind) SearchClass(x, kindClass, &best);
    for (const int32_t j : irregular_)
        if (present_[size_t(j)] && !stopped_) Consider(x, j, &best);
    return best.end;
}

bool CoincidentPairing::Run(std::vector<int32_t>* partner) {
    const int32_t k = int32_t(ends_.size());
    for (const CoincidentEnd& end : ends_) (*partner)[size_t(end.id)] = kStrokeEnd;
    std::vector<int32_t> chain;
    std::vector<uint8_t> onChain(size_t(k), 0);
    for (int32_t start = 0; start < k; ++start) {
        if (!present_[size_t(start)]) continue;
        chain.assign(1, start);
        onChain[size_t(start)] = 1;
        while (!chain.empty()) {
            const int32_t top = chain.back();
            const int32_t best = BestPartner(top);
            if (stopped_) return false;
            if (best < 0) {
                Remove(top);
                onChain[size_t(top)] = 0;
                chain.pop_back();
            } else if (chain.size() >= 2 && chain[chain.size() - 2] == best) {
                (*partner)[size_t(ends_[size_t(top)].id)] = ends_[size_t(best)].id;
                (*partner)[size_t(ends_[size_t(best)].id)] = ends_[size_t(top)].id;
                Remove(top);
                Remove(best);
                onChain[size_t(top)] = onChain[size_t(best)] = 0;
                chain.resize(chain.size() - 2);
            } else {
                // Scores rise along the chain, so it never comes back to an end below the top.
                KVRN_CHECK(!onChain[size_t(best)]);
                onChain[size_t(best)] = 1;
                chain.push_back(best);
            }
        }
    }
    return true;
}

}  // namespace

bool PairCoincidentEnds(const std::vector<CoincidentEnd>& ends, const PairScore& score,
                        const std::function<bool()>& aborted, std::vector<int32_t>* partner) {
    CoincidentPairing pairing(ends, score, aborted);
    return pairing.Run(partner);
}

}  // namespace KvrnLib
