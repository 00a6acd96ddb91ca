// The pairing of end points with the score as a template parameter, so that the score is
// inlined into the pair loop; PairEndPoints (stroke.h) is the same with a std::function.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "stroke.h"

namespace KvrnLib {

template <class Score>
bool PairEndPointsWith(int32_t n, const std::vector<int32_t>& bucketStart,
                       const std::vector<int32_t>& members, const Score& score,
                       const std::function<bool()>& aborted, std::vector<int32_t>* partnerOut) {
    // partner: a candidate (>= 0), none, a fixed partner p stored as p - n, or kStrokeEnd.
    constexpr int32_t kNone = std::numeric_limits<int32_t>::max();
    constexpr float kLowest = -std::numeric_limits<float>::max();
    std::vector<int32_t>& partner = *partnerOut;
    partner.assign(size_t(n), kNone);
    std::vector<float> best(size_t(n), kLowest);
    const auto fixed = [&](int32_t i) { return partner[size_t(i)] < 0; };

    std::vector<int32_t> active;  // buckets with an unfixed end point
    for (int32_t b = 0; b + 1 < int32_t(bucketStart.size()); ++b)
        if (bucketStart[size_t(b) + 1] - bucketStart[size_t(b)] > 0) active.push_back(b);
    uint32_t tests = 0;
    for (;;) {
        for (const int32_t b : active) {
            const int32_t begin = bucketStart[size_t(b)], end = bucketStart[size_t(b) + 1];
            for (int32_t x = begin; x < end; ++x) {
                const int32_t i = members[size_t(x)];
                if (fixed(i)) continue;
                for (int32_t y = x + 1; y < end; ++y) {
                    const int32_t j = members[size_t(y)];
                    if (fixed(j)) continue;
                    if ((++tests & 1023u) == 0 && aborted && aborted()) return false;
                    float s = 0.0f;
                    if (!score(i, j, &s)) continue;
                    if (s > best[size_t(i)]) {
                        best[size_t(i)] = s;
                        partner[size_t(i)] = j;
                    }
                    if (s > best[size_t(j)]) {
                        best[size_t(j)] = s;
                        partner[size_t(j)] = i;
                    }
                }
            }
        }
        bool reset = false;
        for (int32_t i = 0; i < n; ++i) {
            const int32_t p = partner[size_t(i)];
            if (p < 0) continue;
            if (p == kNone) {
                partner[size_t(i)] = kStrokeEnd;
            } else if (partner[size_t(p)] == i || partner[size_t(p)] == i - n) {
                partner[size_t(i)] = p - n;
            } else {
                partner[size_t(i)] = kNone;
                best[size_t(i)] = kLowest;
                reset = true;
            }
        }
        if (!reset) break;
        // Keep only buckets that still hold an unfixed end point.
        std::vector<int32_t> still;
        for (const int32_t b : active) {
            for (int32_t x = bucketStart[size_t(b)]; x < bucketStart[size_t(b) + 1]; ++x) {
                if (!fixed(members[size_t(x)])) {
                    still.push_back(b);
                    break;
                }
            }
        }
        active.swap(still);
    }
    for (int32_t& p : partner)
        if (p != kStrokeEnd) p += n;
    return true;
}

}  // namespace KvrnLib
