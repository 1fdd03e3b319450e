// Stable least-significant-digit radix sort of 64-bit words on a bit range.
// Callers pack a key above a payload (an index) so one array carries both.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "geometry/parallel.h"

namespace geom {

// Sorts `words` by bits [from, to), keeping the input order of equal keys.
// Digits on which all words agree cost no scatter. With `split`, each pass
// is done in two halves, one on a helper thread: the first half's words go
// before the second's within each digit, so the order is the serial one.
template <class Words>
void radix_sort_bits(Words& words, int from, int to, bool split = false) {
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
    const size_t n = words.size();
    // One piece on one processor.
    const bool two = split && have_second_processor();
    const size_t half = two ? n / 2 : n;
    uint64_t all_or[2] = {0, 0}, all_and[2] = {~uint64_t{0}, ~uint64_t{0}};
    auto agree = [&](int h, size_t begin, size_t end) {
        uint64_t o = 0, a = ~uint64_t{0};
        for (size_t i = begin; i < end; ++i) {
            o |= words[i];
            a &= words[i];
        }
        all_or[h] = o;
        all_and[h] = a;
    };
    run_both(two, [&] { agree(0, 0, half); }, [&] { agree(1, half, n); });
    const uint64_t varying = (all_or[0] | all_or[1]) ^ (all_and[0] & all_and[1]);
    Words scratch(n);
    // Counts, then offsets, of the first half's words, then the second's.
    std::vector<size_t> offset(2 * kBuckets);
    for (int shift = from; shift < to; shift += kDigit) {
        const int width = to - shift < kDigit ? to - shift : kDigit;
        const uint64_t mask = (uint64_t{1} << width) - 1;
        if (((varying >> shift) & mask) == 0) continue;
        auto count = [&](size_t* c, size_t begin, size_t end) {
            std::fill(c, c + kBuckets, size_t{0});
            for (size_t i = begin; i < end; ++i) ++c[(words[i] >> shift) & mask];
        };
        size_t* c0 = offset.data();
        size_t* c1 = offset.data() + kBuckets;
        run_both(two, [&] { count(c0, 0, half); }, [&] { count(c1, half, n); });
        size_t sum = 0;
        for (size_t b = 0; b < kBuckets; ++b) {
            const size_t k0 = c0[b], k1 = c1[b];
            c0[b] = sum;
            c1[b] = sum + k0;
            sum += k0 + k1;
        }
        auto scatter = [&](size_t* at, size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) {
                const uint64_t w = words[i];
                scratch[at[(w >> shift) & mask]++] = w;
            }
        };
        run_both(two, [&] { scatter(c0, 0, half); }, [&] { scatter(c1, half, n); });
        words.swap(scratch);
    }
}

}  // namespace geom
