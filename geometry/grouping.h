// Items grouped by a small integer key, by counting: linear, and stable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry/common.h"

namespace geom {

// Group g holds members[start[g] .. start[g + 1]), in ascending item order.
struct Groups {
    std::vector<uint32_t> start;
    std::vector<uint32_t> members;
};

// Items 0 .. n - 1 by key(i), which is below `groups` or kNone (left out).
template <class Key>
Groups group_by(size_t groups, size_t n, Key&& key) {
    Groups g;
    g.start.assign(groups + 1, 0);
    for (size_t i = 0; i < n; ++i)
        if (const uint32_t k = key(i); k != kNone) ++g.start[k + 1];
    for (size_t k = 0; k < groups; ++k) g.start[k + 1] += g.start[k];
    g.members.resize(g.start[groups]);
    std::vector<uint32_t> fill(g.start.begin(), g.start.end() - 1);
    for (size_t i = 0; i < n; ++i)
        if (const uint32_t k = key(i); k != kNone) g.members[fill[k]++] = static_cast<uint32_t>(i);
    return g;
}

}  // namespace geom
