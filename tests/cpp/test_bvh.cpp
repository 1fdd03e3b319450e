#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "geometry/bvh/bvh.h"
#include "geometry/bvh/radix_sort.h"
#include "tests/support/one_processor.h"
#include "tests/support/primitives.h"
#include "tests/support/same_tree.h"

using namespace geom;

namespace {

using Tri = std::array<uint32_t, 3>;

struct Soup {
    std::vector<Vec3> points;
    std::vector<Tri> tris;
};

Soup random_soup(std::mt19937_64& g, int n, double spread, double size) {
    std::uniform_real_distribution<double> u(-1, 1);
    Soup s;
    for (int i = 0; i < n; ++i) {
        const Vec3 c{u(g) * spread, u(g) * spread, u(g) * spread};
        for (int k = 0; k < 3; ++k) s.points.push_back(c + Vec3{u(g), u(g), u(g)} * size);
        const uint32_t b = uint32_t(3 * i);
        s.tris.push_back({b, b + 1, b + 2});
    }
    return s;
}

bool contains(const BvhNode& n, Vec3 p) {
    return n.lo.x <= p.x && p.x <= n.hi.x && n.lo.y <= p.y && p.y <= n.hi.y && n.lo.z <= p.z && p.z <= n.hi.z;
}

// Every finite triangle sits in exactly one leaf whose box holds it, and
// every node box holds its children's boxes.
void check_structure(const Bvh& bvh, const Soup& s) {
    std::vector<int> seen(s.tris.size(), 0);
    for (uint32_t f : bvh.unbounded()) seen[f] += 100;
    int max_depth = 0;
    std::vector<std::pair<uint32_t, int>> stack;
    if (!bvh.empty()) stack.push_back({0, 1});
    while (!stack.empty()) {
        auto [i, depth] = stack.back();
        stack.pop_back();
        max_depth = std::max(max_depth, depth);
        const BvhNode& n = bvh.nodes()[i];
        if (n.is_leaf()) {
            ASSERT_LE(n.count, Bvh::kLeafSize);
            for (uint32_t j = n.first; j < n.first + n.count; ++j) {
                const uint32_t f = bvh.items()[j];
                ++seen[f];
                for (uint32_t v : s.tris[f]) ASSERT_TRUE(contains(n, s.points[v]));
            }
            continue;
        }
        for (uint32_t c = n.first; c < n.first + 2; ++c) {
            ASSERT_TRUE(contains(n, bvh.nodes()[c].lo) && contains(n, bvh.nodes()[c].hi));
            stack.push_back({c, depth + 1});
        }
    }
    for (size_t f = 0; f < s.tris.size(); ++f) {
        bool finite = true;
        for (uint32_t v : s.tris[f]) finite = finite && is_finite(s.points[v]);
        EXPECT_EQ(seen[f], finite ? 1 : 100) << f;
    }
    EXPECT_EQ(max_depth, bvh.depth());
    EXPECT_LT(bvh.depth(), Bvh::kStackSize);
}

TEST(Bvh, StructureOnSoupsAndShapes) {
    std::mt19937_64 g(1);
    for (int n : {1, 2, 5, 17, 1000}) {
        Soup s = random_soup(g, n, 10, 0.5);
        if (n > 5) {
            s.points[4].y = std::numeric_limits<double>::quiet_NaN();
            s.points[9].z = -std::numeric_limits<double>::infinity();
        }
        check_structure(Bvh::build(s.points, s.tris), s);
    }
    MeshData sphere = make_sphere(10);
    check_structure(Bvh::build(sphere.points, sphere.triangles), Soup{sphere.points, sphere.triangles});
}

TEST(Bvh, CoincidentAndExtremeTrianglesKeepDepthBounded) {
    Soup same;
    same.points = {{1, 1, 1}, {2, 1, 1}, {1, 2, 1}};
    same.tris.assign(5000, Tri{0, 1, 2});
    check_structure(Bvh::build(same.points, same.tris), same);

    // Exponentially spread sizes push the surface-area heuristic to one-sided splits.
    Soup spread;
    for (uint32_t i = 0; i < 600; ++i) {
        const double x = std::ldexp(1.0, int(i) - 300);
        spread.points.insert(spread.points.end(), {{x, 0, 0}, {x, x, 0}, {-x, 0, x}});
        spread.tris.push_back({3 * i, 3 * i + 1, 3 * i + 2});
    }
    spread.points[0] = {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 0};
    check_structure(Bvh::build(spread.points, spread.tris), spread);

    Soup all_nan;
    all_nan.points.assign(3, Vec3{std::numeric_limits<double>::quiet_NaN(), 0, 0});
    all_nan.tris = {{0, 1, 2}};
    const Bvh empty = Bvh::build(all_nan.points, all_nan.tris);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.unbounded().size(), 1u);
}

// Pairs from the joint traversal: all exactly overlapping triangle boxes,
// nothing farther apart than the small margin, sorted and without repeats.
TEST(Bvh, OverlappingPairsAgainstAllPairs) {
    std::mt19937_64 g(2);
    for (int iter = 0; iter < 12; ++iter) {
        const Soup a = random_soup(g, 50 + iter * 40, 4, 0.4);
        Soup b = random_soup(g, 30 + iter * 30, 4, 0.3);
        if (iter % 3 == 0) {
            // Touching boxes: b's triangles copied from a's, shifted by exactly one box width.
            for (size_t i = 0; i < 10; ++i) {
                const Vec3* p = &a.points[3 * i];
                const double w = std::max({p[0].x, p[1].x, p[2].x}) - std::min({p[0].x, p[1].x, p[2].x});
                for (int k = 0; k < 3; ++k) b.points[3 * i + k] = p[k] + Vec3{w, 0, 0};
            }
        }
        const Bvh ba = Bvh::build(a.points, a.tris), bb = Bvh::build(b.points, b.tris);
        const auto pairs = overlapping_pairs(ba, a.points, a.tris, bb, b.points, b.tris);
        EXPECT_TRUE(std::is_sorted(pairs.begin(), pairs.end()));
        EXPECT_EQ(std::adjacent_find(pairs.begin(), pairs.end()), pairs.end());
        auto box = [](const Soup& s, uint32_t f, int axis, bool hi) {
            double v = s.points[s.tris[f][0]][axis];
            for (uint32_t i : s.tris[f]) v = hi ? std::max(v, s.points[i][axis]) : std::min(v, s.points[i][axis]);
            return v;
        };
        auto gap = [&](uint32_t i, uint32_t j) {
            double worst = -1e300;
            for (int ax = 0; ax < 3; ++ax)
                worst = std::max({worst, box(a, i, ax, false) - box(b, j, ax, true), box(b, j, ax, false) - box(a, i, ax, true)});
            return worst;
        };
        size_t expected = 0;
        for (uint32_t i = 0; i < a.tris.size(); ++i)
            for (uint32_t j = 0; j < b.tris.size(); ++j)
                if (gap(i, j) <= 0) {
                    ++expected;
                    EXPECT_TRUE(std::binary_search(pairs.begin(), pairs.end(), std::make_pair(i, j)));
                }
        for (auto [i, j] : pairs) EXPECT_LE(gap(i, j), 1e-9);
        EXPECT_GE(pairs.size(), expected);
    }
}

// Large enough for the descent to be cut into tasks for two threads, with
// the meeting region under one child of the root: the same pairs as a scan.
TEST(Bvh, OverlappingPairsSplitAcrossThreads) {
    std::mt19937_64 g(9);
    const Soup a = random_soup(g, 9000, 8, 0.2);
    Soup b = random_soup(g, 150, 1, 0.3);
    for (Vec3& p : b.points) p = p + Vec3{6, 6, 6};
    const Bvh ba = Bvh::build(a.points, a.tris), bb = Bvh::build(b.points, b.tris);
    const auto pairs = overlapping_pairs(ba, a.points, a.tris, bb, b.points, b.tris);
    auto boxes = [](const Soup& s) {
        std::vector<std::array<Vec3, 2>> out;
        for (const auto& t : s.tris) {
            Vec3 lo = s.points[t[0]], hi = lo;
            for (uint32_t i : t)
                for (int ax = 0; ax < 3; ++ax) lo[ax] = std::min(lo[ax], s.points[i][ax]), hi[ax] = std::max(hi[ax], s.points[i][ax]);
            out.push_back({lo, hi});
        }
        return out;
    };
    const auto xa = boxes(a), xb = boxes(b);
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    for (uint32_t i = 0; i < xa.size(); ++i)
        for (uint32_t j = 0; j < xb.size(); ++j) {
            bool overlap = true;
            for (int ax = 0; ax < 3; ++ax)
                overlap = overlap && xa[i][0][ax] <= xb[j][1][ax] && xb[j][0][ax] <= xa[i][1][ax];
            if (overlap) expected.emplace_back(i, j);
        }
    ASSERT_GT(expected.size(), 50u);
    EXPECT_EQ(pairs, expected);
}

#if defined(__linux__)
// Large enough for the root's two subtrees to be cut on two threads, with
// clusters whose codes coincide (re-quantized while cutting) and triangles
// outside the tree: the tree of one thread, node for node.
TEST(Bvh, TwoThreadBuildEqualsOneThread) {
    std::mt19937_64 g(5);
    Soup s = random_soup(g, 40000, 10, 0.05);
    const Soup cluster = random_soup(g, 3000, 1e-6, 1e-7);
    const uint32_t base = static_cast<uint32_t>(s.points.size());
    for (const Vec3& p : cluster.points) s.points.push_back(p + Vec3{3, -2, 1});
    for (const Tri& t : cluster.tris) s.tris.push_back({t[0] + base, t[1] + base, t[2] + base});
    s.points[7].x = std::numeric_limits<double>::quiet_NaN();
    const Bvh two = Bvh::build(s.points, s.tris);
    check_structure(two, s);
    testing_support::OneProcessor pin;
    ASSERT_TRUE(pin.pinned());
    const Bvh one = Bvh::build(s.points, s.tris);
    testing_support::expect_same_tree(two, one);
}
#endif

// Keys on bits [20, 47) above a 20-bit payload, few distinct ones, so that
// stability shows; some digits all equal. In two halves (a pass's words of
// the first half before the second's) and in one, the order of a stable
// comparison sort. Key bits 11 to 21 (the second digit) are all zero.
TEST(RadixSort, TwoHalvesKeepTheStableOrder) {
    std::mt19937_64 rng(7);
    const size_t n = (size_t{1} << 19) + 12345;
    std::vector<uint64_t> words(n);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t key = (rng() % 300) * 0x9e3779b1u % (uint64_t{1} << 27) & ~(uint64_t{0x7ff} << 11);
        words[i] = key << 20 | (i & 0xfffff);
    }
    std::vector<uint64_t> expected = words;
    std::stable_sort(expected.begin(), expected.end(), [](uint64_t a, uint64_t b) { return a >> 20 < b >> 20; });
    for (bool split : {false, true}) {
        std::vector<uint64_t> got = words;
        radix_sort_bits(got, 20, 47, split);
        EXPECT_EQ(got, expected) << split;
    }
}

}  // namespace
