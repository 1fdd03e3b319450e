// Stable least-significant-digit radix sort of 64-bit words on a bit range.
// Callers pack a key above a payload (an index) so one array carries both.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace geom {

// Sorts `words` by bits [from, to), keeping the input order of equal keys.
// Digits on which all words agree cost one counting pass and no scatter.
template <class Words>
void radix_sort_bits(Words& words, int from, int to) {
    constexpr int kDigit = 11;
    constexpr size_t kBuckets = size_t{1} << kDigit;
    if (words.size() < 2 || from >= to) return;
    // Small arrays (the clusters a tree build re-sorts) by comparison: the
    // buckets alone would cost more than the words.
    if (words.size() <= 512) {
        const uint64_t key_mask = to - from >= 64 ? ~uint64_t{0} : (uint64_t{1} << (to - from)) - 1;
        std::stable_sort(words.begin(), words.end(), [&](uint64_t a, uint64_t b) {
            return ((a >> from) & key_mask) < ((b >> from) & key_mask);
        });
        return;
    }
    uint64_t all_or = 0, all_and = ~uint64_t{0};
    for (uint64_t w : words) {
        all_or |= w;
        all_and &= w;
    }
    const uint64_t varying = all_or ^ all_and;
    Words scratch(words.size());
    std::array<size_t, kBuckets> offset;
    for (int shift = from; shift < to; shift += kDigit) {
        const int width = to - shift < kDigit ? to - shift : kDigit;
        const uint64_t mask = (uint64_t{1} << width) - 1;
        if (((varying >> shift) & mask) == 0) continue;
        offset.fill(0);
        for (uint64_t w : words) ++offset[(w >> shift) & mask];
        size_t sum = 0;
        for (size_t& o : offset) {
            const size_t c = o;
            o = sum;
            sum += c;
        }
        for (uint64_t w : words) scratch[offset[(w >> shift) & mask]++] = w;
        words.swap(scratch);
    }
}

}  // namespace geom
