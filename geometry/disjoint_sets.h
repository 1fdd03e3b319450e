// Disjoint sets of 0..n-1 with path halving. Callers choose which root
// joins which, so that the surviving root (e.g. the lowest member) and thus
// every result stays independent of the order of unions.
#pragma once

#include <cstdint>
#include <vector>

namespace geom {

class DisjointSets {
public:
    explicit DisjointSets(size_t n = 0) { reset(n); }

    void reset(size_t n) {
        parent_.resize(n);
        for (size_t i = 0; i < n; ++i) parent_[i] = static_cast<uint32_t>(i);
    }

    uint32_t find(uint32_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    // Both must be roots.
    void attach(uint32_t child, uint32_t root) { parent_[child] = root; }

    // Joins the sets of a and b under the lower of their roots.
    void unite_low(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (a < b) attach(b, a);
        else attach(a, b);
    }

private:
    std::vector<uint32_t> parent_;
};

}  // namespace geom
