// Stable LSD radix sorts, used where millions of faces or half-edges are ordered per frame and a
// comparison sort would dominate the stage.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace KvrnLib {

namespace radix_detail {

// 11-bit digits: 2048 counters stay in L1, and 22- or 33-bit keys take two or three passes.
inline constexpr int kDigitBits = 11;
inline constexpr uint32_t kBuckets = 1u << kDigitBits;
using Counts = std::array<uint32_t, kBuckets>;

// Digit histograms of every pass in one read; turns them into start offsets and reports which
// passes can be skipped because all keys share that digit.
template <class KeyOf>
std::vector<Counts> Offsets(size_t n, int passes, KeyOf keyOf, std::vector<bool>* skip) {
    if (n >= (size_t(1) << 32)) throw std::invalid_argument("radix sort: 2^32 or more items");
    std::vector<Counts> counts(static_cast<size_t>(passes));
    for (Counts& c : counts) c.fill(0);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t key = keyOf(i);
        for (int p = 0; p < passes; ++p)
            ++counts[size_t(p)][(key >> (p * kDigitBits)) & (kBuckets - 1)];
    }
    skip->assign(size_t(passes), false);
    for (int p = 0; p < passes; ++p) {
        Counts& c = counts[size_t(p)];
        uint32_t sum = 0;
        for (uint32_t& count : c) {
            (*skip)[size_t(p)] = (*skip)[size_t(p)] || count == n;
            const uint32_t start = sum;
            sum += count;
            count = start;
        }
    }
    return counts;
}

inline int PassCount(int bitCount) {
    return (std::clamp(bitCount, 0, 64) + kDigitBits - 1) / kDigitBits;
}

inline uint64_t LowMask(int bitCount) {
    return bitCount >= 64 ? ~uint64_t(0) : (uint64_t(1) << std::max(bitCount, 0)) - 1;
}

}  // namespace radix_detail

// Sorts items ascending on bits [lowBit, lowBit + bitCount) alone; items with equal bits there
// keep their input order. scratch is working storage of the same size, left with unspecified
// contents so that the caller can reuse its memory.
inline void RadixSortBits(std::vector<uint64_t>& items, std::vector<uint64_t>& scratch, int lowBit,
                          int bitCount) {
    using namespace radix_detail;
    const size_t n = items.size();
    scratch.resize(n);
    const int passes = PassCount(bitCount);
    if (n < 2 || passes == 0) return;
    const uint64_t mask = LowMask(bitCount);
    const auto keyOf = [&](size_t i) { return (items[i] >> lowBit) & mask; };
    std::vector<bool> skip;
    std::vector<Counts> offsets = Offsets(n, passes, keyOf, &skip);
    for (int p = 0; p < passes; ++p) {
        if (skip[size_t(p)]) continue;
        Counts& c = offsets[size_t(p)];
        const int shift = p * kDigitBits;
        for (size_t i = 0; i < n; ++i)
            scratch[c[(keyOf(i) >> shift) & (kBuckets - 1)]++] = items[i];
        items.swap(scratch);
    }
}

// Sorts keys ascending on their low keyBits bits (0..64), carrying values along; pairs with equal
// keys keep their input order. keys and values must have the same size.
inline void RadixSortPairs(std::vector<uint64_t>& keys, std::vector<uint32_t>& values,
                           int keyBits) {
    using namespace radix_detail;
    if (keys.size() != values.size())
        throw std::invalid_argument("RadixSortPairs: keys and values differ in size");
    const size_t n = keys.size();
    const int passes = PassCount(keyBits);
    if (n < 2 || passes == 0) return;
    const uint64_t mask = LowMask(keyBits);
    std::vector<bool> skip;
    std::vector<Counts> offsets = Offsets(
        n, passes, [&](size_t i) { return keys[i] & mask; }, &skip);
    std::vector<uint64_t> keyScratch(n);
    std::vector<uint32_t> valueScratch(n);
    for (int p = 0; p < passes; ++p) {
        if (skip[size_t(p)]) continue;
        Counts& c = offsets[size_t(p)];
        const int shift = p * kDigitBits;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t slot = c[((keys[i] & mask) >> shift) & (kBuckets - 1)]++;
            keyScratch[slot] = keys[i];
            valueScratch[slot] = values[i];
        }
        keys.swap(keyScratch);
        values.swap(valueScratch);
    }
}

}  // namespace KvrnLib
