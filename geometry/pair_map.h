// Map from a pair of 64-bit codes to a 32-bit id (never kNone). Most maps
// hold a handful of entries (the points of one cut triangle): those are kept
// inline and scanned, without an allocation or a cold table; beyond kInline,
// open addressing with linear probing in one flat array, so a map of many
// entries costs no allocation per entry either.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "geometry/common.h"

namespace geom {

class PairMap {
public:
    uint32_t find(uint64_t a, uint64_t b) const;  // kNone when absent
    // Keeps an existing entry; returns the id the key then has.
    uint32_t insert(uint64_t a, uint64_t b, uint32_t id);

private:
    struct Slot {
        uint64_t a, b;
        uint32_t id;
    };
    static constexpr uint32_t kInline = 16;
    const Slot* find_inline(uint64_t a, uint64_t b) const;
    // The slot holding (a, b), else the empty one where it would go.
    size_t probe(uint64_t a, uint64_t b) const;
    void grow();
    std::array<Slot, kInline> inline_{};
    uint32_t n_inline_ = 0;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace geom
