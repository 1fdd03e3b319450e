#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "geometry/pair_map.h"
#include "geometry/panic.h"
#include "geometry/predicates/bigfloat.h"
#include "geometry/triangulation/cdt.h"
#include "geometry/triangulation/projection.h"

using geom::BigFloat;
using geom::OnEdge;
using geom::PointKey;
using geom::TriangleCdt;
using geom::Vec2;

namespace {

struct XPoint {
    BigFloat x, y;
};

BigFloat orient_x(const XPoint& a, const XPoint& b, const XPoint& c) {
    return (a.x - c.x) * (b.y - c.y) - (a.y - c.y) * (b.x - c.x);
}

int incircle_x(const XPoint& a, const XPoint& b, const XPoint& c, const XPoint& d) {
    const BigFloat adx = a.x - d.x, ady = a.y - d.y, bdx = b.x - d.x, bdy = b.y - d.y, cdx = c.x - d.x, cdy = c.y - d.y;
    return ((adx * adx + ady * ady) * (bdx * cdy - cdx * bdy) + (bdx * bdx + bdy * bdy) * (cdx * ady - adx * cdy) +
            (cdx * cdx + cdy * cdy) * (adx * bdy - bdx * ady))
        .sign();
}

// Exact position of a vertex: its coordinates, or corner + t * (next corner - corner).
XPoint exact_pos(const TriangleCdt& cdt, uint32_t v) {
    if (!cdt.vertex_is_placed(v)) return {BigFloat(cdt.vertex(v).x), BigFloat(cdt.vertex(v).y)};
    const int k = static_cast<int>(cdt.vertex_edge(v));
    const Vec2 a = cdt.vertex(static_cast<uint32_t>(k)), b = cdt.vertex(static_cast<uint32_t>((k + 1) % 3));
    const BigFloat t(cdt.vertex_param(v));
    return {BigFloat(a.x) + t * (BigFloat(b.x) - BigFloat(a.x)), BigFloat(a.y) + t * (BigFloat(b.y) - BigFloat(a.y))};
}

bool on_line(const TriangleCdt& cdt, uint32_t v, int k) {
    return v == static_cast<uint32_t>(k) || v == static_cast<uint32_t>((k + 1) % 3) ||
           cdt.vertex_edge(v) == static_cast<OnEdge>(k);
}

struct Seg {
    uint32_t a, b;
};

// Full check of a finished triangulation against exact arithmetic.
void validate(const TriangleCdt& cdt, const std::vector<Seg>& constraints = {}) {
    const auto faces = cdt.faces();
    ASSERT_FALSE(cdt.degenerate());
    const size_t nv = cdt.num_vertices();
    std::vector<XPoint> xp;
    for (uint32_t v = 0; v < nv; ++v) xp.push_back(exact_pos(cdt, v));
    const BigFloat whole = orient_x(xp[0], xp[1], xp[2]);
    const int orientation = whole.sign();
    ASSERT_NE(orientation, 0);

    BigFloat area;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> apex;  // directed edge -> opposite vertex
    std::vector<bool> used(nv, false);
    for (const auto& f : faces) {
        const BigFloat a = orient_x(xp[f[0]], xp[f[1]], xp[f[2]]);
        ASSERT_EQ(a.sign(), orientation) << "inverted or flat face " << f[0] << " " << f[1] << " " << f[2];
        area = area + a;
        for (int i = 0; i < 3; ++i) {
            used[f[i]] = true;
            ASSERT_TRUE(apex.emplace(std::pair{f[i], f[(i + 1) % 3]}, f[(i + 2) % 3]).second) << "edge used twice";
        }
    }
    ASSERT_EQ(compare(area, whole), 0) << "faces do not tile the triangle";
    for (uint32_t v = 0; v < nv; ++v) ASSERT_TRUE(used[v]) << "vertex " << v << " missing";

    for (const auto& [e, w] : apex) {
        const auto rev = apex.find({e.second, e.first});
        if (rev == apex.end()) {
            bool boundary = false;
            for (int k = 0; k < 3; ++k) boundary = boundary || (on_line(cdt, e.first, k) && on_line(cdt, e.second, k));
            ASSERT_TRUE(boundary) << "open edge inside the triangle";
            ASSERT_TRUE(cdt.is_constrained(e.first, e.second));
            continue;
        }
        if (e.first > e.second || cdt.is_constrained(e.first, e.second)) continue;
        ASSERT_LE(orientation * incircle_x(xp[e.first], xp[e.second], xp[w], xp[rev->second]), 0)
            << "edge " << e.first << "-" << e.second << " is not locally Delaunay";
    }

    // The links name the face across each edge and its constraint state.
    std::vector<TriangleCdt::Links> links;
    ASSERT_EQ(cdt.faces(links), faces);
    ASSERT_EQ(links.size(), faces.size());
    for (size_t j = 0; j < faces.size(); ++j) {
        for (int k = 0; k < 3; ++k) {
            const uint32_t u = faces[j][k], v = faces[j][(k + 1) % 3];
            const bool inner = apex.count({v, u}) > 0;
            ASSERT_EQ(links[j].across[k] != TriangleCdt::kNone, inner);
            if (inner) {
                const auto& g = faces[links[j].across[k]];
                bool reverse = false;
                for (int i = 0; i < 3; ++i) reverse = reverse || (g[i] == v && g[(i + 1) % 3] == u);
                ASSERT_TRUE(reverse) << "face across does not hold the edge";
            }
            ASSERT_EQ(((links[j].fixed >> k) & 1) != 0, cdt.is_constrained(u, v));
        }
    }

    // Each accepted constraint is the chain of edges through the vertices on it.
    for (const Seg& s : constraints) {
        if (s.a == s.b || cdt.is_constrained(s.a, s.b)) continue;
        std::vector<std::pair<BigFloat, uint32_t>> on;
        const BigFloat dx = xp[s.b].x - xp[s.a].x, dy = xp[s.b].y - xp[s.a].y;
        for (uint32_t v = 0; v < nv; ++v) {
            if (orient_x(xp[s.a], xp[s.b], xp[v]).sign() != 0) continue;
            const BigFloat along = (xp[v].x - xp[s.a].x) * dx + (xp[v].y - xp[s.a].y) * dy;
            if (along.sign() < 0 || compare(along, dx * dx + dy * dy) > 0) continue;
            on.push_back({along, v});
        }
        std::sort(on.begin(), on.end(), [](const auto& p, const auto& q) { return compare(p.first, q.first) < 0; });
        for (size_t i = 0; i + 1 < on.size(); ++i) {
            ASSERT_TRUE(cdt.is_constrained(on[i].second, on[i + 1].second))
                << "constraint " << s.a << "-" << s.b << " missing piece " << on[i].second << "-" << on[i + 1].second;
        }
    }
}

// Convex combinations, written so that corners near DBL_MAX do not overflow.
Vec2 barycentric(const Vec2 c[3], double u, double v) {
    if (u + v > 1.0) u = 1.0 - u, v = 1.0 - v;
    const double w = 1.0 - u - v;
    return {w * c[0].x + u * c[1].x + v * c[2].x, w * c[0].y + u * c[1].y + v * c[2].y};
}

Vec2 lerp(Vec2 a, Vec2 b, double t) { return {(1.0 - t) * a.x + t * b.x, (1.0 - t) * a.y + t * b.y}; }

Vec2 ulp_nudge(Vec2 p, int kx, int ky) {
    const double inf = std::numeric_limits<double>::infinity();
    for (; kx > 0; --kx) p.x = std::nextafter(p.x, inf);
    for (; kx < 0; ++kx) p.x = std::nextafter(p.x, -inf);
    for (; ky > 0; --ky) p.y = std::nextafter(p.y, inf);
    for (; ky < 0; ++ky) p.y = std::nextafter(p.y, -inf);
    return p;
}

PointKey key(uint64_t i) { return {i, ~i}; }

// A mixed workload: random interior points, points on and a few ulps off
// every edge, some outside, and random constraints. Returns the accepted ones.
std::vector<Seg> workload(TriangleCdt& cdt, const Vec2 c[3], uint64_t seed, int n) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::uniform_int_distribution<int> nudge(-3, 3);
    std::vector<uint32_t> ids;
    std::vector<Seg> accepted;
    for (int i = 0; i < n; ++i) {
        const int kind = static_cast<int>(rng() % 8);
        Vec2 p;
        OnEdge e = OnEdge::None;
        if (kind < 5) {
            p = barycentric(c, u(rng), u(rng));
        } else {
            const int k = static_cast<int>(rng() % 3);
            p = ulp_nudge(lerp(c[k], c[(k + 1) % 3], u(rng)), nudge(rng), nudge(rng));
            if (kind < 7) e = static_cast<OnEdge>(k);
        }
        ids.push_back(cdt.insert(p, key(static_cast<uint64_t>(i)), e));
        if (i % 4 == 3) {  // constraints arrive interleaved with points
            const uint32_t a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
            if (cdt.add_constraint(a, b)) accepted.push_back({a, b});
        }
    }
    return accepted;
}

struct Shape {
    const char* name;
    Vec2 c[3];
};

const Shape kShapes[] = {
    {"unit_ccw", {{0, 0}, {1, 0}, {0, 1}}},
    {"unit_cw", {{0, 0}, {0, 1}, {1, 0}}},
    {"offset", {{1e6 + 0.1, -3e6}, {1e6 + 7.3, -3e6 + 0.7}, {1e6 - 2.2, -3e6 + 5.9}}},
    {"sliver", {{0, 0}, {1, 1e-9}, {0.5, 1.5e-9}}},
    {"huge", {{-1e300, -1e300}, {1e300, -5e299}, {2e299, 1e300}}},
    {"tiny_cw", {{1e-300, 0}, {0, 2e-300}, {3e-300, 3e-300}}},
    {"mixed", {{0, 0}, {1e300, 0}, {0, 1e300}}},
    {"near_max", {{-1.7e308, -1.7e308}, {1.7e308, -1e308}, {0, 1.7e308}}},
    {"subnormal", {{0, 0}, {4e-322, 1e-323}, {1e-323, 3e-322}}},
};

class CdtShapes : public testing::TestWithParam<Shape> {};

TEST_P(CdtShapes, RandomWorkloadIsValid) {
    const Shape& s = GetParam();
    for (uint64_t seed = 1; seed <= 2; ++seed) {
        TriangleCdt cdt(s.c[0], s.c[1], s.c[2]);
        const auto accepted = workload(cdt, s.c, seed, 300);
        validate(cdt, accepted);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CdtShapes, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<Shape>& i) { return std::string(i.param.name); });

TEST(Cdt, MixedMagnitudePoints) {
    // Points 600 orders of magnitude below the triangle's size.
    const Vec2 c[3] = {{0, 0}, {1e300, 0}, {0, 1e300}};
    TriangleCdt cdt(c[0], c[1], c[2]);
    uint64_t k = 0;
    for (double s : {1e-300, 2e-300, 3e-300}) {
        for (double f : {1.0, 2.0, 3.0}) cdt.insert({s * f, s}, key(k++));
        cdt.insert({s, 0.0}, key(k++));                   // exactly on edge 0
        cdt.insert({0.0, s}, key(k++), OnEdge::E2);       // on edge 2
        cdt.insert({s * 0.5, -s}, key(k++));              // just outside edge 0
    }
    cdt.insert({1e299, 1e299}, key(k++));
    EXPECT_TRUE(cdt.add_constraint(3, 12));
    validate(cdt, {{3, 12}});
}

TEST(Cdt, ScaleInvariance) {
    // Power-of-two scaling is exact, so the combinatorics must not change.
    const Vec2 base[3] = {{0.3, -0.2}, {2.5, 0.4}, {-0.7, 1.9}};
    std::vector<std::array<uint32_t, 3>> reference;
    for (int e : {0, -1000, -500, 500, 900}) {
        Vec2 c[3];
        for (int i = 0; i < 3; ++i) c[i] = {std::ldexp(base[i].x, e), std::ldexp(base[i].y, e)};
        TriangleCdt cdt(c[0], c[1], c[2]);
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<uint32_t> ids;
        for (int i = 0; i < 200; ++i) {
            Vec2 p = barycentric(base, u(rng), u(rng));
            const OnEdge edge = i % 5 == 0 ? static_cast<OnEdge>(i % 3) : OnEdge::None;
            ids.push_back(cdt.insert({std::ldexp(p.x, e), std::ldexp(p.y, e)}, key(static_cast<uint64_t>(i)), edge));
        }
        for (int i = 0; i < 40; ++i) cdt.add_constraint(ids[rng() % ids.size()], ids[rng() % ids.size()]);
        if (e == 0) {
            reference = cdt.faces();
        } else {
            EXPECT_EQ(cdt.faces(), reference) << "scale 2^" << e;
        }
    }
}

TEST(Cdt, GridWithCollinearConstraints) {
    // Lattice points: massive cocircularity and collinearity, edges hit exactly.
    const int n = 24;
    const Vec2 c[3] = {{0, 0}, {n, 0}, {0, n}};
    TriangleCdt cdt(c[0], c[1], c[2]);
    std::vector<std::pair<int, int>> pts;
    for (int i = 0; i <= n; ++i) {
        for (int j = 0; i + j <= n; ++j) pts.push_back({i, j});
    }
    std::mt19937_64 rng(3);
    std::shuffle(pts.begin(), pts.end(), rng);
    std::map<std::pair<int, int>, uint32_t> id;
    uint64_t k = 0;
    for (auto [i, j] : pts) {
        const OnEdge e = (j == 0 && k % 2) ? OnEdge::E0 : OnEdge::None;
        id[{i, j}] = cdt.insert({double(i), double(j)}, key(k++), e);
    }
    EXPECT_EQ(cdt.num_vertices(), pts.size());
    std::vector<Seg> segs;
    auto add = [&](std::pair<int, int> a, std::pair<int, int> b, bool want) {
        EXPECT_EQ(cdt.add_constraint(id[a], id[b]), want) << a.first << "," << a.second << " " << b.first << "," << b.second;
        if (want) segs.push_back({id[a], id[b]});
    };
    add({1, 1}, {1, 20}, true);    // vertical, through 18 vertices
    add({1, 5}, {1, 22}, true);    // overlaps the previous one
    add({0, 3}, {21, 3}, true);    // crosses the first at a vertex
    add({2, 1}, {9, 8}, true);     // diagonal through lattice points
    add({5, 2}, {2, 6}, false);    // properly crosses the diagonal between vertices
    add({3, 0}, {3, 21}, true);    // boundary vertex to boundary vertex
    add({0, 7}, {17, 7}, true);
    add({4, 4}, {4, 4}, true);     // zero length
    validate(cdt, segs);
}

TEST(Cdt, PointsLandingOnConstraints) {
    // Constraints first, then many points exactly on them (dyadic coordinates
    // on horizontal and diagonal lines), so constraint edges get split.
    const Vec2 c[3] = {{0, 0}, {1, 0}, {0, 1}};
    TriangleCdt cdt(c[0], c[1], c[2]);
    uint64_t k = 0;
    std::vector<Seg> segs;
    for (int row = 1; row <= 3; ++row) {
        const double y = row / 8.0;
        const uint32_t a = cdt.insert({0.0625, y}, key(k++)), b = cdt.insert({0.5, y}, key(k++));
        ASSERT_TRUE(cdt.add_constraint(a, b));
        segs.push_back({a, b});
    }
    const uint32_t d0 = cdt.insert({0.5, 0.0}, key(k++), OnEdge::E0), d1 = cdt.insert({0.75, 0.25}, key(k++));
    ASSERT_TRUE(cdt.add_constraint(d0, d1));  // y = x - 0.5, from the boundary
    segs.push_back({d0, d1});
    std::mt19937_64 rng(8);
    std::uniform_int_distribution<int> m(1, 1023);
    for (int i = 0; i < 400; ++i) {
        const double x = m(rng) / 1024.0;
        if (i % 4 == 3) {
            if (x > 0.5 && x < 0.75) cdt.insert({x, x - 0.5}, key(k++));
        } else {
            const double y = (1 + i % 3) / 8.0;
            if (x > 0.0625 && x < 0.5) cdt.insert({x, y}, key(k++));
        }
        if (i % 50 == 0) validate(cdt, segs);
    }
    validate(cdt, segs);
}

TEST(Cdt, FuzzOnCoarseLattice) {
    // Coordinates on a 1/8 lattice make duplicates, collinear runs, points
    // exactly on edges and cocircular sets common; edge hints are sometimes
    // wrong on purpose. Each step must leave a valid triangulation.
    std::mt19937_64 rng(21);
    std::uniform_int_distribution<int> lat(-4, 36);
    auto lp = [&] { return Vec2{lat(rng) / 8.0, lat(rng) / 8.0}; };
    for (int round = 0; round < 40; ++round) {
        Vec2 c[3] = {lp(), lp(), lp()};
        TriangleCdt cdt(c[0], c[1], c[2]);
        if (cdt.degenerate()) continue;
        std::vector<uint32_t> ids = {0, 1, 2};
        std::vector<Seg> segs;
        for (int i = 0; i < 60; ++i) {
            const int hint = static_cast<int>(rng() % 5) - 1;  // -1..3; 3 is not an edge
            ids.push_back(cdt.insert(lp(), key(rng() % 80), static_cast<OnEdge>(hint)));
            if (rng() % 3 == 0) {
                const uint32_t a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
                if (cdt.add_constraint(a, b)) segs.push_back({a, b});
            }
        }
        validate(cdt, segs);
        if (HasFatalFailure()) return;
    }
}

TEST(Cdt, SegmentPassingAroundAVertex) {
    // x sits just below the segment s-e and all its neighbours but p are
    // above it, so the segment crosses every face around x: the faces to
    // replace do not form two simple polygons. The constraint p-x must survive.
    TriangleCdt cdt({-10, -10}, {10, -10}, {0, 10});
    uint64_t k = 0;
    const uint32_t x = cdt.insert({0, -0.01}, key(k++)), p = cdt.insert({0, -5}, key(k++));
    for (Vec2 q : {Vec2{-1, 0.5}, Vec2{1, 0.5}, Vec2{0, 1}, Vec2{-2, 0.2}, Vec2{2, 0.2}}) cdt.insert(q, key(k++));
    const uint32_t s = cdt.insert({-5, 0}, key(k++)), e = cdt.insert({5, 0}, key(k++));
    ASSERT_TRUE(cdt.add_constraint(p, x));
    ASSERT_TRUE(cdt.add_constraint(s, e));
    validate(cdt, {{p, x}, {s, e}});
}

TEST(Cdt, RefusedConstraintChangesNothing) {
    const Vec2 c[3] = {{0, 0}, {1, 0}, {0, 1}};
    TriangleCdt cdt(c[0], c[1], c[2]);
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 150; ++i) ids.push_back(cdt.insert(barycentric(c, u(rng), u(rng)), key(uint64_t(i))));
    std::vector<Seg> accepted;
    int refused = 0;
    for (int i = 0; i < 120; ++i) {
        const uint32_t a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
        const auto before = cdt.faces();
        if (cdt.add_constraint(a, b)) {
            accepted.push_back({a, b});
            continue;
        }
        ++refused;
        EXPECT_EQ(cdt.faces(), before);
        // It must really cross an accepted constraint properly.
        const XPoint pa = exact_pos(cdt, a), pb = exact_pos(cdt, b);
        bool crosses = false;
        for (const Seg& s : accepted) {
            const XPoint qa = exact_pos(cdt, s.a), qb = exact_pos(cdt, s.b);
            const int o1 = orient_x(pa, pb, qa).sign(), o2 = orient_x(pa, pb, qb).sign();
            const int o3 = orient_x(qa, qb, pa).sign(), o4 = orient_x(qa, qb, pb).sign();
            crosses = crosses || (o1 * o2 < 0 && o3 * o4 < 0);
        }
        EXPECT_TRUE(crosses);
    }
    EXPECT_GT(refused, 10);
    validate(cdt, accepted);
}

TEST(Cdt, ManyPointsOnOneEdgeStayOnIt) {
    // Rounded points on edge 1 of a skewed triangle, nudged to either side,
    // interleaved with interior points a few ulps inside the same edge.
    const Vec2 c[3] = {{0.1, 0.2}, {3.7, 0.3}, {0.4, 2.9}};
    TriangleCdt cdt(c[0], c[1], c[2]);
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::uniform_int_distribution<int> nudge(-4, 4);
    std::vector<uint32_t> on_edge, inner;
    for (int i = 0; i < 600; ++i) {
        const double t = u(rng);
        const Vec2 p{c[1].x + t * (c[2].x - c[1].x), c[1].y + t * (c[2].y - c[1].y)};
        if (i % 3 == 2) {
            inner.push_back(cdt.insert(ulp_nudge(p, -8, -8), key(uint64_t(i))));
        } else {
            on_edge.push_back(cdt.insert(ulp_nudge(p, nudge(rng), nudge(rng)), key(uint64_t(i)), OnEdge::E1));
        }
    }
    for (uint32_t v : on_edge) {
        EXPECT_TRUE(v == 1 || v == 2 || cdt.vertex_edge(v) == OnEdge::E1);
    }
    std::vector<Seg> segs;
    for (size_t i = 0; i + 1 < inner.size(); i += 7) {
        if (cdt.add_constraint(inner[i], on_edge[i])) segs.push_back({inner[i], on_edge[i]});
    }
    validate(cdt, segs);
}

TEST(Cdt, ConstraintChainsAndDeterminism) {
    // Polylines added as they grow, the way intersection segments arrive.
    const Vec2 c[3] = {{-1, -1}, {3, -1}, {-1, 3}};
    auto build = [&](std::vector<Seg>& segs) {
        TriangleCdt cdt(c[0], c[1], c[2]);
        uint64_t k = 0;
        for (int chain = 0; chain < 6; ++chain) {
            uint32_t prev = TriangleCdt::kNone;
            for (int i = 0; i <= 60; ++i) {
                const double a = 0.1 * chain + 0.05 * i, r = 0.6 * (0.3 + 0.1 * chain);
                const uint32_t id = cdt.insert({0.2 + r * std::cos(a), 0.2 + r * std::sin(a)}, key(k++));
                if (prev != TriangleCdt::kNone && cdt.add_constraint(prev, id)) segs.push_back({prev, id});
                prev = id;
            }
        }
        return cdt;
    };
    std::vector<Seg> segs, again;
    const TriangleCdt first = build(segs);
    EXPECT_EQ(build(again).faces(), first.faces());
    EXPECT_GT(segs.size(), 200u);
    validate(first, segs);
}

TEST(Cdt, KeysAndAliases) {
    TriangleCdt cdt({0, 0}, {4, 0}, {0, 4});
    const uint32_t a = cdt.insert({1, 1}, key(1));
    EXPECT_EQ(a, 3u);
    EXPECT_EQ(cdt.insert({2, 1}, key(1)), a);           // known key wins over new coordinates
    EXPECT_EQ(cdt.insert({1, 1}, key(2)), a);           // same coordinates, new key: alias
    EXPECT_EQ(cdt.insert({0, 0}, key(3)), 0u);          // a corner
    EXPECT_EQ(cdt.insert({-0.0, 4}, key(4)), 2u);       // signed zero is the same position
    EXPECT_EQ(cdt.insert_corner(1, key(5)), 1u);
    EXPECT_EQ(cdt.insert({3, 3}, key(5)), 1u);          // key now names corner 1
    EXPECT_EQ(cdt.insert({5, -1}, key(6)), 1u);         // outside beyond corner 1: merged into it
    const uint32_t e = cdt.insert({2, -1e-17}, key(7)); // just outside edge 0: placed on it
    EXPECT_EQ(cdt.vertex_edge(e), OnEdge::E0);
    EXPECT_EQ(cdt.insert({2, 0}, key(8), OnEdge::E0), e);  // same parameter on the same edge
    EXPECT_EQ(cdt.num_vertices(), 5u);
    EXPECT_TRUE(cdt.add_constraint(a, a));
    EXPECT_TRUE(cdt.add_constraint(a, e));
    EXPECT_TRUE(cdt.add_constraint(e, a));               // repeated, reversed
    validate(cdt, {{a, e}});
}

TEST(Cdt, FarOutsidePointsLandOnTheBoundary) {
    const struct {
        Vec2 p;
        uint32_t corner;  // expected corner, or kNone for "anywhere on the boundary"
    } cases[] = {
        {{1e300, 1e300}, TriangleCdt::kNone}, {{-1e300, 0.5}, TriangleCdt::kNone}, {{0.5, -1e-300}, TriangleCdt::kNone},
        {{-1e300, -1e300}, 0},                {{1e300, -1.0}, 1},                  {{-3.0, 1e300}, 2},
        {{2.0, -1e-300}, 1},                  {{0.25, -0.5}, TriangleCdt::kNone},
    };
    TriangleCdt cdt({0, 0}, {1, 0}, {0, 1});
    uint64_t k = 0;
    for (const auto& c : cases) {
        const uint32_t id = cdt.insert(c.p, key(k++));
        if (c.corner != TriangleCdt::kNone) {
            EXPECT_EQ(id, c.corner);
        } else {
            EXPECT_TRUE(id < 3 || cdt.vertex_edge(id) != OnEdge::None);
        }
    }
    validate(cdt);
}

TEST(Cdt, DegenerateCornersDoNotCrash) {
    const Vec2 cases[][3] = {{{0, 0}, {1, 1}, {2, 2}}, {{1, 1}, {1, 1}, {1, 1}}, {{0, 0}, {0, 0}, {1, 0}},
                             {{0, 0}, {1e300, 1e-300}, {2e300, 2e-300}}};
    for (const auto& c : cases) {
        TriangleCdt cdt(c[0], c[1], c[2]);
        EXPECT_TRUE(cdt.degenerate());
        const uint32_t a = cdt.insert({0.5, 0.5}, key(1), OnEdge::E0);
        const uint32_t b = cdt.insert({0.25, 0.75}, key(2));
        EXPECT_EQ(cdt.insert({0.25, 0.75}, key(3)), b);
        EXPECT_FALSE(cdt.add_constraint(a, b));
        EXPECT_TRUE(cdt.faces().empty());
    }
}

TEST(Cdt, NonFiniteCoordinatesPanic) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    auto message = [](auto&& f) {
        try {
            f();
        } catch (const geom::Panic& p) {
            return std::string(p.what());
        }
        return std::string("no panic");
    };
    const std::string kNan = "called `Result::unwrap()` on an `Err` value: NAN";
    const std::string kBig = "called `Result::unwrap()` on an `Err` value: TooLarge";
    TriangleCdt cdt({0, 0}, {1, 0}, {0, 1});
    EXPECT_EQ(message([&] { cdt.insert({nan, 0.5}, key(1)); }), kNan);
    EXPECT_EQ(message([&] { cdt.insert({0.1, -inf}, key(2), OnEdge::E1); }), kBig);
    EXPECT_EQ(message([&] { cdt.insert({inf, nan}, key(3)); }), kNan);
    EXPECT_EQ(message([&] { TriangleCdt({0, 0}, {inf, 0}, {0, 1}); }), kBig);
    EXPECT_EQ(message([&] { TriangleCdt({0, 0}, {inf, 0}, {0, nan}); }), kNan);
    EXPECT_EQ(cdt.num_vertices(), 3u);
    validate(cdt);
}

TEST(Projection, DropsLargestNormalAxisAndReportsFlip) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 2000; ++i) {
        const geom::Vec3 p0{u(rng), u(rng), u(rng)}, p1{u(rng), u(rng), u(rng)}, p2{u(rng), u(rng), u(rng)};
        const double scale = i % 4 == 0 ? 1e305 : 1.0;
        const auto pr = geom::drop_axis_projection(p0 * scale, p1 * scale, p2 * scale);
        const geom::Vec3 n = cross(p1 - p0, p2 - p0);
        const double m = std::max({std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)});
        if (std::fabs(n[pr.axis]) < m * (1 - 1e-12)) ADD_FAILURE() << "not the largest normal component";
        if (std::fabs(n[pr.axis]) > 1e-9) {
            EXPECT_EQ(pr.flipped, n[pr.axis] < 0);
        }
        const Vec2 q = pr(p0);
        EXPECT_TRUE(q.x == p0[(pr.axis + 1) % 3] && q.y == p0[(pr.axis + 2) % 3]);
    }
}

}  // namespace

// Through the inline entries and several growths of the table: every key
// keeps its first id, and keys that differ in one half are apart.
TEST(PairMap, KeepsFirstIdThroughGrowth) {
    geom::PairMap map;
    const uint32_t n = 1000;
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(map.insert(i, i * 7919u, i), i);
        EXPECT_EQ(map.insert(i, i * 7919u, i + n), i);  // an existing key keeps its id
    }
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(map.find(i, i * 7919u), i);
        EXPECT_EQ(map.find(i * 7919u, i), i == 0 ? 0u : geom::kNone);
        EXPECT_EQ(map.find(i, i * 7919u + 1), geom::kNone);
    }
}
