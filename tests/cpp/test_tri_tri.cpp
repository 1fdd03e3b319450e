#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geometry/intersection/tri_tri.h"

using namespace geom;

namespace {

using Kind = TriTriResult::Kind;

TriInput tri(Vec3 a, Vec3 b, Vec3 c, uint32_t va = 0, uint32_t vb = 1, uint32_t vc = 2) {
    return {{a, b, c}, {va, vb, vc}};
}

std::string fname(TriangleFeature f) {
    std::string s(1, "FEC"[int(f.kind)]);
    if (f.kind != FeatureKind::Face) s += char('0' + f.index);
    return s;
}

std::set<std::string> keys(const TriTriResult& r) {
    std::set<std::string> s;
    for (int i = 0; i < r.n; ++i) s.insert(fname(r.pts[i].f1) + "/" + fname(r.pts[i].f2));
    return s;
}

// Exact picture of a result: features and coordinate bits, order-free.
using Exact = std::set<std::tuple<int, int, int, int, double, double, double>>;
Exact exact(const TriTriResult& r, bool swapped = false) {
    Exact s;
    for (int i = 0; i < r.n; ++i) {
        TriangleFeature a = r.pts[i].f1, b = r.pts[i].f2;
        if (swapped) std::swap(a, b);
        s.insert({int(a.kind), a.index, int(b.kind), b.index, r.pts[i].p.x, r.pts[i].p.y, r.pts[i].p.z});
    }
    return s;
}

// Corners rotated by r; unrotate maps a feature of the rotated triangle back.
TriInput rotated(const TriInput& t, int r) {
    TriInput o;
    for (int i = 0; i < 3; ++i) {
        o.p[i] = t.p[(i + r) % 3];
        o.v[i] = t.v[(i + r) % 3];
    }
    return o;
}
TriangleFeature unrotate(TriangleFeature f, int r) {
    if (f.kind != FeatureKind::Face) f.index = uint8_t((f.index + r) % 3);
    return f;
}

double seg_dist(Vec3 p, Vec3 a, Vec3 b) {
    const Vec3 e = b - a;
    const double t = std::clamp(dot(p - a, e) / dot(e, e), 0.0, 1.0);
    return norm(p - (a + e * t));
}

double tri_dist(Vec3 p, const TriInput& t) {
    const Vec3 n = cross(t.p[1] - t.p[0], t.p[2] - t.p[0]);
    bool inside = true;
    for (int k = 0; k < 3; ++k)
        inside = inside && dot(cross(t.p[(k + 1) % 3] - t.p[k], p - t.p[k]), n) >= 0;
    // The edges alone stay exact for slivers, whose normal is only rounding.
    return std::min({inside ? std::fabs(dot(p - t.p[0], n)) / norm(n) : 1e300, seg_dist(p, t.p[0], t.p[1]),
                     seg_dist(p, t.p[1], t.p[2]), seg_dist(p, t.p[2], t.p[0])});
}

// Features must describe where the point is.
void check_feature(Vec3 p, TriangleFeature f, const TriInput& t, double tol) {
    if (f.kind == FeatureKind::Vertex) {
        EXPECT_LE(norm(p - t.p[f.index]), tol);
    } else if (f.kind == FeatureKind::Edge) {
        EXPECT_LE(seg_dist(p, t.p[f.index], t.p[(f.index + 1) % 3]), tol);
    }
    EXPECT_LE(tri_dist(p, t), tol);
}

// Points lie on both triangles, on the features named.
void check_points(const TriInput& t1, const TriInput& t2, const TriTriResult& r, double tol = 1e-9) {
    for (int i = 0; i < r.n; ++i) {
        check_feature(r.pts[i].p, r.pts[i].f1, t1, tol);
        check_feature(r.pts[i].p, r.pts[i].f2, t2, tol);
    }
}

// Swapping the triangles mirrors the features; rotating corners remaps them;
// coordinates stay bit-identical either way.
void check_symmetries(const TriInput& t1, const TriInput& t2, const TriTriResult& r) {
    ASSERT_EQ(exact(intersect_triangles(t2, t1), true), exact(r));
    for (int r1 = 0; r1 < 3; ++r1)
        for (int r2 = 0; r2 < 3; ++r2) {
            TriTriResult q = intersect_triangles(rotated(t1, r1), rotated(t2, r2));
            for (int i = 0; i < q.n; ++i) {
                q.pts[i].f1 = unrotate(q.pts[i].f1, r1);
                q.pts[i].f2 = unrotate(q.pts[i].f2, r2);
            }
            ASSERT_EQ(exact(q), exact(r));
        }
}

struct Case {
    const char* name;
    TriInput t1, t2;
    Kind kind;
    std::set<std::string> keys;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }


const TriInput kBig = tri({-2, -2, 0}, {4, -2, 0}, {-2, 4, 0}, 0, 1, 2);

std::vector<Case> general_cases() {
    return {
        {"pierce", kBig, tri({0, 0, -1}, {1, 0, -1}, {0.5, 0, 1}, 10, 11, 12), Kind::Segment, {"F/E1", "F/E2"}},
        {"link", kBig, tri({1, 0, -1}, {1, 0, 1}, {10, 0, 0.5}, 10, 11, 12), Kind::Segment, {"F/E0", "E1/F"}},
        {"edge in plane", kBig, tri({0, 0, 0}, {1, 0, 0}, {0.5, 0, 1}, 10, 11, 12), Kind::Segment, {"F/C0", "F/C1"}},
        {"corner touch", kBig, tri({0, 0, 0}, {1, 0, 1}, {0, 1, 1}, 10, 11, 12), Kind::None, {}},
        {"edge meets edge", kBig, tri({2, 0, -1}, {2, 0, 1}, {-1, 0, 0.5}, 10, 11, 12), Kind::Segment, {"F/E2", "E1/E0"}},
        {"shared corner", kBig, tri({-2, -2, 0}, {0, 0, 1}, {0, 0, -1}, 10, 11, 12), Kind::Segment, {"C0/C0", "F/E1"}},
        {"nearly shared corner", kBig, tri({-2 + 4e-7, -2, 0}, {0, 0, 1}, {0, 0, -1}, 10, 11, 12), Kind::Segment, {"C0/C0", "F/E1"}},
        {"edge in plane meets edge", kBig, tri({1, 0, 0}, {3, 0, 0}, {2, 0, 1}, 10, 11, 12), Kind::Segment, {"F/C0", "E1/E0"}},
        {"apart along line", kBig, tri({10, 0, -1}, {11, 0, -1}, {10.5, 0, 1}, 10, 11, 12), Kind::None, {}},
        {"above", kBig, tri({0, 0, 1}, {1, 0, 1}, {0, 1, 2}, 10, 11, 12), Kind::None, {}},
        {"shared edge", tri({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), tri({0, 0, 0}, {1, 0, 0}, {0, 0, 1}, 5, 6, 7), Kind::Segment, {"C0/C0", "C1/C1"}},
    };
}

// Cases straddling each tolerance.
std::vector<Case> boundary_cases() {
    std::vector<Case> v;
    for (double h : {0x1p-52, 0x1.00001p-52}) {  // |n|^2 at and just above 2^-104
        const double c = h / 4;
        v.push_back({"degenerate normal", tri({0, 0, 0}, {1, 0, 0}, {0, h, 0}),
                     tri({-1, c, -1}, {3, c, -1}, {-1, c, 3}, 10, 11, 12),
                     h == 0x1p-52 ? Kind::None : Kind::Segment,
                     h == 0x1p-52 ? std::set<std::string>{} : std::set<std::string>{"C0/F", "E1/F"}});
    }
    for (double d : {0x1p-53, 0x1p-51}) {  // |n.e| just inside and outside 2^-52
        const double z = -0x1p-52;
        v.push_back({"edge parallel", tri({0, 0, z}, {1, 0, z + d}, {0.5, 1e-5, 3e-11}), kBig, Kind::Segment,
                     d < 0x1p-52 ? std::set<std::string>{"E2/F", "E1/F"} : std::set<std::string>{"E2/F", "E0/F"}});
    }
    // Crossing of edge A-B with z = 0 at arc length 1e-6 +- 1e-7 before/after
    // corner A, measured from A (A has the lower index) or from B.
    for (bool from_a : {true, false}) {
        for (double za : {-0.9e-6, -1.1e-6, 0.9e-6, 1.1e-6}) {
            const std::set<std::string> want = za == -0.9e-6 || za == 0.9e-6 ? std::set<std::string>{"C0/F", "E1/F"}
                                               : za < 0                      ? std::set<std::string>{"E0/F", "E1/F"}
                                                                             : std::set<std::string>{"E2/F", "E1/F"};
            v.push_back({"snap", tri({0, 0, za}, {0, 0, za + 1}, {1, 0, -1}, from_a ? 0 : 1, from_a ? 1 : 0, 2),
                         tri({-2, -2, 0}, {4, -2, 0}, {-2, 4, 0}, 10, 11, 12), Kind::Segment, want});
        }
    }
    // Second triangle's segment starts at x = d; the first one's spans [0, 2].
    const std::pair<double, std::set<std::string>> shifts[] = {
        {0.9e-6, {"E0/E0", "E2/F"}}, {1.1e-6, {"F/E0", "E2/F"}}, {-1.1e-6, {"E0/F", "E2/F"}},
        {2 - 0.9e-6, {}},            {2 - 1.1e-6, {"F/E0", "E2/F"}}, {2, {}}};
    for (const auto& [d, want] : shifts)
        v.push_back({"endpoints", tri({0, 0, -1}, {0, 0, 1}, {3, 0, 0.5}), tri({d, -1, 0}, {d, 1, 0}, {5, 0, 0}, 10, 11, 12),
                     want.empty() ? Kind::None : Kind::Segment, want});
    return v;
}

Vec3 xy(double x, double y, double z = 0) { return {x, y, z}; }

std::vector<Case> coplanar_cases() {
    const std::set<std::string> nested = {"F/C0", "F/C1", "F/C2"};
    std::vector<Case> v = {
        {"nested", kBig, tri(xy(0, 0), xy(1, 0), xy(0, 1), 10, 11, 12), Kind::Polygon, nested},
        {"nested, facing away", kBig, tri(xy(0, 0), xy(0, 1), xy(1, 0), 10, 11, 12), Kind::Polygon, nested},
        {"identical", kBig, tri(xy(4, -2), xy(-2, 4), xy(-2, -2), 10, 11, 12), Kind::Polygon, {"C0/C2", "C1/C0", "C2/C1"}},
        {"star", tri(xy(0, 2), xy(-1.7, -1), xy(1.7, -1)), tri(xy(0, -2), xy(1.7, 1), xy(-1.7, 1), 10, 11, 12), Kind::Polygon,
         {"E0/E1", "E0/E2", "E1/E0", "E1/E2", "E2/E0", "E2/E1"}},
        {"corner pokes in", kBig, tri(xy(0.5, 0.5), xy(3, 0.5), xy(0.5, 3), 10, 11, 12), Kind::Polygon, {"F/C0", "E1/E0", "E1/E2"}},
        {"corner on edge", kBig, tri(xy(0, -2), xy(1, 0), xy(0, 1), 10, 11, 12), Kind::Polygon, {"E0/C0", "F/C1", "F/C2"}},
        {"shared edge inside", kBig, tri(xy(4, -2), xy(-2, 4), xy(0, 0), 10, 11, 12), Kind::Polygon, {"C1/C0", "C2/C1", "F/C2"}},
        {"shared edge outside", kBig, tri(xy(4, -2), xy(-2, 4), xy(4, 4), 10, 11, 12), Kind::None, {}},
        {"corners touch", kBig, tri(xy(4, -2), xy(5, -2), xy(5, -1), 10, 11, 12), Kind::None, {}},
        {"corner touches edge", kBig, tri(xy(1, 1), xy(3, 2), xy(2, 3), 10, 11, 12), Kind::None, {}},
        {"disjoint", kBig, tri(xy(10, 10), xy(11, 10), xy(10, 11), 10, 11, 12), Kind::None, {}},
        {"parallel apart", kBig, tri(xy(0, 0, 1e-3), xy(1, 0, 1e-3), xy(0, 1, 1e-3), 10, 11, 12), Kind::None, {}},
    };
    for (double z : {0.9e-6, 1.1e-6})
        v.push_back({"plane offset", kBig, tri(xy(0, 0, z), xy(1, 0, z), xy(0, 1, z), 10, 11, 12),
                     z < 1e-6 ? Kind::Polygon : Kind::None, z < 1e-6 ? nested : std::set<std::string>{}});
    for (double w : {0.9e-6, 1.1e-6}) {  // overlap width
        const double c = 1 - w / std::sqrt(2.0);
        v.push_back({"sliver", kBig, tri(xy(4, -2), xy(-2, 4), xy(c, c), 10, 11, 12), w < 1e-6 ? Kind::None : Kind::Polygon,
                     w < 1e-6 ? std::set<std::string>{} : std::set<std::string>{"C1/C0", "C2/C1", "F/C2"}});
    }
    for (double d : {0.9e-6, 1.1e-6})  // corner near corner, near edge
        v.push_back({"corner near", kBig, tri(xy(-2 + d, -2), xy(-1.5, 0), xy(-2 + d, 0), 10, 11, 12), Kind::Polygon,
                     d < 1e-6 ? std::set<std::string>{"C0/C0", "E2/C2", "F/C1"} : std::set<std::string>{"E0/C0", "F/C2", "F/C1"}});
    const std::pair<double, std::set<std::string>> edge_gap[] = {
        {0.9e-6, {"E2/C0", "E2/C2", "F/C1"}}, {-0.9e-6, {"E2/C0", "E2/C2", "F/C1"}},
        {1.1e-6, {"F/C0", "F/C2", "F/C1"}},   {-1.1e-6, {"E2/E0", "E2/E1", "F/C1"}}};
    for (const auto& [d, want] : edge_gap)  // two corners near an edge line, inside or outside
        v.push_back({"edge near", kBig, tri(xy(-2 + d, -1), xy(0, 0), xy(-2 + d, 1), 10, 11, 12), Kind::Polygon, want});
    for (double sn : {0.9e-6, 1.1e-6}) {  // tilt about the x axis
        const double cs = std::sqrt(1 - sn * sn);
        v.push_back({"parallel", tri(xy(-0.5, -0.5), xy(0.5, -0.5), xy(0, 0.5)),
                     tri(xy(-0.4, -0.4 * cs, -0.4 * sn), xy(0.4, -0.4 * cs, -0.4 * sn), xy(0, 0.4 * cs, 0.4 * sn), 10, 11, 12),
                     sn < 1e-6 ? Kind::Polygon : Kind::Segment, sn < 1e-6 ? nested : std::set<std::string>{"F/E1", "F/E2"}});
    }
    return v;
}

class TriTriTable : public ::testing::TestWithParam<Case> {};
TEST_P(TriTriTable, FeaturesAndSymmetry) {
    const Case& c = GetParam();
    const TriTriResult r = intersect_triangles(c.t1, c.t2);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(keys(r), c.keys);
    check_points(c.t1, c.t2, r, 1.5e-6);  // snapped points move by up to the tolerance
    check_symmetries(c.t1, c.t2, r);
}
INSTANTIATE_TEST_SUITE_P(General, TriTriTable, ::testing::ValuesIn(general_cases()));
INSTANTIATE_TEST_SUITE_P(Coplanar, TriTriTable, ::testing::ValuesIn(coplanar_cases()));
INSTANTIATE_TEST_SUITE_P(Boundaries, TriTriTable, ::testing::ValuesIn(boundary_cases()));

TEST(TriTri, HostileInputNeverMisbehaves) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double vals[] = {nan, inf, -inf, 1e308, -1e308, 1e-308, 5e-324, 0.0, 1.0, 1e150};
    std::mt19937_64 rng(7);
    for (int it = 0; it < 20000; ++it) {
        TriInput t[2];
        for (auto& x : t)
            for (int i = 0; i < 3; ++i) {
                x.v[i] = uint32_t(rng() % 4);
                for (int c = 0; c < 3; ++c) x.p[i][c] = rng() % 3 ? double(rng() % 5) - 2.0 : vals[rng() % 10];
            }
        const TriTriResult r = intersect_triangles(t[0], t[1]);
        ASSERT_TRUE(r.kind == Kind::None ? r.n == 0 : r.kind == Kind::Segment ? r.n == 2 : r.n >= 3 && r.n <= 6);
        for (int i = 0; i < r.n; ++i)
            for (TriangleFeature f : {r.pts[i].f1, r.pts[i].f2}) ASSERT_TRUE(f.index < 3 && int(f.kind) <= 2);
    }
    // Huge but finite coordinates still intersect (the normal would overflow).
    const double s = 1e200;
    const TriTriResult r = intersect_triangles(tri(Vec3{-2, -2, 0} * s, Vec3{4, -2, 0} * s, Vec3{-2, 4, 0} * s),
                                               tri(Vec3{0, 0, -1} * s, Vec3{1, 0, -1} * s, Vec3{0.5, 0, 1} * s, 5, 6, 7));
    EXPECT_EQ(keys(r), (std::set<std::string>{"F/E1", "F/E2"}));
}

Vec3 rand_point(std::mt19937_64& rng, double scale = 1.0) {
    std::uniform_real_distribution<double> u(-scale, scale);
    return {u(rng), u(rng), u(rng)};
}

TriInput rand_tri(std::mt19937_64& rng) {
    uint32_t v[3];
    v[0] = uint32_t(rng() % 1000);
    do v[1] = uint32_t(rng() % 1000); while (v[1] == v[0]);
    do v[2] = uint32_t(rng() % 1000); while (v[2] == v[0] || v[2] == v[1]);
    return tri(rand_point(rng), rand_point(rng), rand_point(rng), v[0], v[1], v[2]);
}

// Reference: clip the line common to both planes against the six edge half-planes.
bool reference_overlap(const TriInput& a, const TriInput& b, Vec3& p0, Vec3& d, double& lo, double& hi) {
    const Vec3 n1 = cross(a.p[1] - a.p[0], a.p[2] - a.p[0]), n2 = cross(b.p[1] - b.p[0], b.p[2] - b.p[0]);
    d = cross(n1, n2);
    if (!(norm(d) > 1e-3 * norm(n1) * norm(n2))) return false;  // too close to parallel for a clean reference
    p0 = cross(n2 * dot(n1, a.p[0]) - n1 * dot(n2, b.p[0]), d) * (1.0 / dot(d, d));
    d = d * (1.0 / norm(d));
    lo = -1e300, hi = 1e300;
    for (const TriInput* t : {&a, &b}) {
        const Vec3 n = cross(t->p[1] - t->p[0], t->p[2] - t->p[0]);
        for (int k = 0; k < 3; ++k) {
            const Vec3 m = cross(n, t->p[(k + 1) % 3] - t->p[k]);
            const double md = dot(m, d), c = -dot(m, p0 - t->p[k]), eps = 1e-12 * norm(m);
            if (md > eps) lo = std::max(lo, c / md);
            else if (md < -eps) hi = std::min(hi, c / md);
            else if (c > eps) hi = -1e300;  // parallel to the edge, outside it
        }
    }
    return true;
}

TEST(TriTri, RandomPairsMatchReference) {
    std::mt19937_64 rng(12345);
    int segments = 0;
    for (int it = 0; it < 4000; ++it) {
        TriInput t1 = rand_tri(rng), t2 = rand_tri(rng);
        if (it % 2)  // on a coarse grid: shared corners, corners on edges and planes
            for (TriInput* t : {&t1, &t2})
                for (Vec3& p : t->p) p = {std::round(p.x * 2), std::round(p.y * 2), std::round(p.z * 2)};
        const TriTriResult r = intersect_triangles(t1, t2);
        check_points(t1, t2, r);
        check_symmetries(t1, t2, r);
        Vec3 p0, d;
        double lo, hi;
        if (!reference_overlap(t1, t2, p0, d, lo, hi) || std::fabs(hi - lo) < 1e-5) continue;
        if (hi < lo) {
            EXPECT_EQ(r.kind, Kind::None) << "case " << it;
            continue;
        }
        ASSERT_EQ(r.kind, Kind::Segment) << "case " << it;
        ++segments;
        double a = dot(r.pts[0].p - p0, d), b = dot(r.pts[1].p - p0, d);
        if (a > b) std::swap(a, b);
        EXPECT_NEAR(a, lo, 1e-9) << "case " << it;
        EXPECT_NEAR(b, hi, 1e-9);
    }
    EXPECT_GT(segments, 300);
}

using P2 = std::pair<double, double>;
double cr(P2 o, P2 a, P2 c) { return (a.first - o.first) * (c.second - o.second) - (a.second - o.second) * (c.first - o.first); }

// Reference overlap area: clip a by b in plane coordinates.
double clipped_area(std::vector<P2> poly, P2 b[3]) {
    if (cr(b[0], b[1], b[2]) < 0) std::swap(b[1], b[2]);
    for (int k = 0; k < 3; ++k) {
        std::vector<P2> out;
        for (size_t i = 0; i < poly.size(); ++i) {
            const auto p = poly[i], q = poly[(i + 1) % poly.size()];
            const double dp = cr(b[k], b[(k + 1) % 3], p), dq = cr(b[k], b[(k + 1) % 3], q);
            if (dp >= 0) out.push_back(p);
            if ((dp < 0) != (dq < 0)) {
                const double t = dp / (dp - dq);
                out.push_back({p.first + (q.first - p.first) * t, p.second + (q.second - p.second) * t});
            }
        }
        poly = out;
    }
    double a = 0;
    for (size_t i = 0; i < poly.size(); ++i) a += cr(std::pair{0.0, 0.0}, poly[i], poly[(i + 1) % poly.size()]);
    return std::fabs(a) / 2;
}

TEST(TriTri, RandomCoplanarPairsMatchReference) {
    std::mt19937_64 rng(2024);
    int polygons = 0;
    for (int it = 0; it < 3000; ++it) {
        // Random plane through a random point; corners given in plane coordinates.
        const Vec3 n = rand_point(rng), o = rand_point(rng, 10.0);
        const Vec3 e1 = cross(n, Vec3{1, 2, 3}) * (1.0 / norm(cross(n, Vec3{1, 2, 3})));
        const Vec3 e2 = cross(n, e1) * (1.0 / norm(cross(n, e1)));
        P2 q[2][3];
        TriInput t[2];
        for (int k = 0; k < 2; ++k) {
            t[k] = rand_tri(rng);
            for (int i = 0; i < 3; ++i) {
                q[k][i] = {t[k].p[i].x, t[k].p[i].y};
                if (it % 2) q[k][i] = {std::round(q[k][i].first * 2), std::round(q[k][i].second * 2)};  // shared corners, collinear edges
                t[k].p[i] = o + e1 * q[k][i].first + e2 * q[k][i].second;
            }
        }
        const TriTriResult r = intersect_triangles(t[0], t[1]);
        check_points(t[0], t[1], r);
        check_symmetries(t[0], t[1], r);
        double area = 0;
        for (int i = 0; i < r.n; ++i)
            area += dot(cross(r.pts[i].p - r.pts[0].p, r.pts[(i + 1) % r.n].p - r.pts[0].p), n) / norm(n) / 2;
        if (std::fabs(cr(q[0][0], q[0][1], q[0][2])) < 1e-9 || std::fabs(cr(q[1][0], q[1][1], q[1][2])) < 1e-9) continue;
        const double want = clipped_area({q[0][0], q[0][1], q[0][2]}, q[1]);
        if (want < 1e-5) continue;
        ASSERT_EQ(r.kind, Kind::Polygon) << "case " << it;
        ++polygons;
        // Counter-clockwise about the first triangle's normal.
        const double sign = dot(cross(t[0].p[1] - t[0].p[0], t[0].p[2] - t[0].p[0]), n) > 0 ? 1 : -1;
        EXPECT_NEAR(area * sign, want, 1e-9);
    }
    EXPECT_GT(polygons, 600);
}

TEST(TriTri, NeighboursShareEdgePointsBitForBit) {
    std::mt19937_64 rng(99);
    int shared[2] = {0, 0};
    for (int it = 0; it < 3000; ++it) {
        // Triangles 0-1-2 and 1-0-3 share edge {0,1}; the crossing triangle is t.
        // Every fourth case lies flat in z = 0 (coplanar edge crossings).
        const bool flat = it % 4 == 0;
        auto fl = [&](Vec3 p) { return Vec3{p.x, p.y, flat ? 0.0 : p.z}; };
        const Vec3 a = fl(rand_point(rng)), b = fl(rand_point(rng)), c = fl(rand_point(rng)), e = fl(rand_point(rng));
        const TriInput n1 = tri(a, b, c, 100, 101, 102), n2 = rotated(tri(b, a, e, 101, 100, 103), int(rng() % 3));
        TriInput t = rand_tri(rng);
        for (Vec3& p : t.p) p = fl(p);
        const bool first = rng() % 2;  // shared edge on the first or the second triangle
        const TriTriResult r1 = first ? intersect_triangles(n1, t) : intersect_triangles(t, n1);
        const TriTriResult r2 = first ? intersect_triangles(n2, t) : intersect_triangles(t, n2);
        auto on_shared = [&](const TriInput& n, const IsectPoint& p) {
            const TriangleFeature f = first ? p.f1 : p.f2;
            if (f.kind != FeatureKind::Edge) return false;
            return std::min(n.v[f.index], n.v[(f.index + 1) % 3]) == 100 && std::max(n.v[f.index], n.v[(f.index + 1) % 3]) == 101;
        };
        for (int i = 0; i < r1.n; ++i)
            for (int j = 0; j < r2.n; ++j) {
                if (!on_shared(n1, r1.pts[i]) || !on_shared(n2, r2.pts[j])) continue;
                const TriangleFeature o1 = first ? r1.pts[i].f2 : r1.pts[i].f1, o2 = first ? r2.pts[j].f2 : r2.pts[j].f1;
                if (!(o1 == o2)) continue;
                ++shared[flat];
                EXPECT_EQ(r1.pts[i].p, r2.pts[j].p);
            }
    }
    EXPECT_GT(shared[0], 100);
    EXPECT_GT(shared[1], 50);
}

}  // namespace
