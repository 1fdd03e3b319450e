#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include "tests/support/primitives.h"
#include "geometry/query/closest_point.h"

using namespace geom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const TriangleFeature kFace{FeatureKind::Face, 0};
TriangleFeature V(int k) { return {FeatureKind::Vertex, uint8_t(k)}; }
TriangleFeature E(int k) { return {FeatureKind::Edge, uint8_t(k)}; }

TriMesh to_mesh(MeshData d) { return TriMesh::build(std::move(d.points), std::move(d.triangles)); }

struct RegionCase {
    Vec3 p, expected;
    TriangleFeature feature;
};

class TriangleRegions : public ::testing::TestWithParam<RegionCase> {};

// Triangle (0,0,0), (2,0,0), (0,2,0): one query in each Voronoi region, plus boundaries.
TEST_P(TriangleRegions, PointAndFeature) {
    const RegionCase& c = GetParam();
    const ClosestOnTriangle r = closest_point_on_triangle(c.p, {0, 0, 0}, {2, 0, 0}, {0, 2, 0});
    EXPECT_EQ(r.point, c.expected);
    EXPECT_EQ(r.feature, c.feature);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TriangleRegions,
    ::testing::Values(RegionCase{{-1, -1, 3}, {0, 0, 0}, V(0)}, RegionCase{{3, -1, 0}, {2, 0, 0}, V(1)},
                      RegionCase{{-1, 5, -2}, {0, 2, 0}, V(2)}, RegionCase{{1, -3, 1}, {1, 0, 0}, E(0)},
                      RegionCase{{2, 2, 0}, {1, 1, 0}, E(1)}, RegionCase{{-4, 0.5, 0}, {0, 0.5, 0}, E(2)},
                      RegionCase{{0.5, 0.25, -7}, {0.5, 0.25, 0}, kFace}, RegionCase{{0, 0, 0}, {0, 0, 0}, V(0)},
                      RegionCase{{0, -1, 0}, {0, 0, 0}, V(0)},   // on the vertex/edge region boundary
                      RegionCase{{3, 1, 0}, {2, 0, 0}, V(1)}));  // between vertex and edge regions

struct Rng {
    std::mt19937_64 g;
    explicit Rng(uint64_t s) : g(s) {}
    double uni(double a, double b) { return std::uniform_real_distribution<double>(a, b)(g); }
    int pick(int n) { return int(g() % n); }
    Vec3 vec(double s) { return {uni(-s, s), uni(-s, s), uni(-s, s)}; }
};

// Reference in long double: projection onto the plane if inside, else the nearest edge point.
long double reference_distance(Vec3 p, Vec3 a, Vec3 b, Vec3 c) {
    using L = long double;
    auto sub = [](Vec3 x, Vec3 y) { return std::array<L, 3>{L(x.x) - y.x, L(x.y) - y.y, L(x.z) - y.z}; };
    auto dotl = [](std::array<L, 3> x, std::array<L, 3> y) { return x[0] * y[0] + x[1] * y[1] + x[2] * y[2]; };
    auto seg = [&](Vec3 s, Vec3 e) {
        auto d = sub(e, s), w = sub(p, s);
        L t = dotl(d, d) > 0 ? std::clamp(dotl(w, d) / dotl(d, d), L(0), L(1)) : L(0);
        std::array<L, 3> r{w[0] - d[0] * t, w[1] - d[1] * t, w[2] - d[2] * t};
        return std::sqrt(dotl(r, r));
    };
    L best = std::min({seg(a, b), seg(b, c), seg(c, a)});
    auto u = sub(b, a), v = sub(c, a), w = sub(p, a);
    L uu = dotl(u, u), uv = dotl(u, v), vv = dotl(v, v), wu = dotl(w, u), wv = dotl(w, v);
    L den = uu * vv - uv * uv;
    L s = (vv * wu - uv * wv) / den, t = (uu * wv - uv * wu) / den;
    if (den > 0 && s >= 0 && t >= 0 && s + t <= 1) {
        std::array<L, 3> r{w[0] - u[0] * s - v[0] * t, w[1] - u[1] * s - v[1] * t, w[2] - u[2] * s - v[2] * t};
        best = std::min(best, std::sqrt(dotl(r, r)));
    }
    return best;
}

TEST(ClosestOnTriangle, MatchesReferenceDistance) {
    Rng r(3);
    for (int i = 0; i < 20000; ++i) {
        Vec3 a = r.vec(1), b = r.vec(1), c = r.vec(1);
        if (i % 10 == 0) c = a + (b - a) * r.uni(-1, 2);  // collinear
        if (i % 10 == 1) b = a;                           // coincident corners
        const Vec3 p = r.pick(2) ? r.vec(2) : a + (b - a) * r.uni(-0.5, 1.5) + (c - a) * r.uni(-0.5, 1.5);
        const ClosestOnTriangle q = closest_point_on_triangle(p, a, b, c);
        const long double ref = reference_distance(p, a, b, c);
        ASSERT_NEAR(double(ref), norm(p - q.point), 1e-12) << i;
        if (q.feature.kind == FeatureKind::Vertex) {
            const Vec3 corners[3] = {a, b, c};
            ASSERT_EQ(q.point, corners[q.feature.index]);
        }
    }
}

void expect_same_nearest(const TriMesh& mesh, Vec3 p) {
    const NearestTriangle x = nearest_triangle(mesh, p), y = nearest_triangle_brute_force(mesh, p);
    const bool same_d2 = x.distance_squared == y.distance_squared ||
                         (std::isnan(x.distance_squared) && std::isnan(y.distance_squared));
    ASSERT_TRUE(same_d2 && x.triangle == y.triangle && x.feature == y.feature)
        << "p=(" << p.x << "," << p.y << "," << p.z << ") bvh " << x.triangle << " " << x.distance_squared
        << " brute " << y.triangle << " " << y.distance_squared;
}

// The batch query must give the single query's answer bit for bit.
void expect_same_batch(const TriMesh& mesh, const std::vector<Vec3>& points, const std::vector<uint32_t>& hints) {
    const std::vector<NearestTriangle> all = nearest_triangles(mesh, points, hints);
    ASSERT_EQ(all.size(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        const NearestTriangle y = nearest_triangle_brute_force(mesh, points[i]);
        const NearestTriangle& x = all[i];
        const bool same_d2 = x.distance_squared == y.distance_squared ||
                             (std::isnan(x.distance_squared) && std::isnan(y.distance_squared));
        ASSERT_TRUE(same_d2 && x.triangle == y.triangle && x.feature == y.feature && x.point == y.point)
            << "point " << i << " batch " << x.triangle << " " << x.distance_squared << " brute " << y.triangle << " "
            << y.distance_squared;
    }
}

// Triangles of size `spread` times the scale around centres in the cube of side 2 * scale.
TriMesh soup(Rng& r, int n, double scale, bool duplicates, double spread = 0.1) {
    MeshData d;
    for (int i = 0; i < n; ++i) {
        const Vec3 c = r.vec(scale);
        std::array<Vec3, 3> t{c + r.vec(spread * scale), c + r.vec(spread * scale), c + r.vec(spread * scale)};
        if (i % 7 == 0) t[2] = t[0] + (t[1] - t[0]) * 0.25;  // zero area
        if (duplicates && i % 5 == 1) {                       // same corners as an earlier triangle
            const auto& q = d.triangles[r.pick(i)];
            t = {d.points[q[1]], d.points[q[2]], d.points[q[0]]};
        }
        const uint32_t base = uint32_t(d.points.size());
        d.points.insert(d.points.end(), t.begin(), t.end());
        d.triangles.push_back({base, base + 1, base + 2});
    }
    return to_mesh(std::move(d));
}

class NearestVsBruteForce : public ::testing::TestWithParam<double> {};

TEST_P(NearestVsBruteForce, SoupsWithTiesAndDegenerates) {
    const double scale = GetParam();
    Rng r(11);
    for (int m = 0; m < 20; ++m) {
        const TriMesh mesh = soup(r, 5 + r.pick(300), scale, m % 2 == 0);
        const auto& pts = mesh.points();
        for (int i = 0; i < 400; ++i) {
            Vec3 p = r.vec(1.5 * scale);
            if (i % 3 == 0) p = pts[r.pick(int(pts.size()))];  // exactly on a corner: many ties
            if (i % 3 == 1) p = pts[r.pick(int(pts.size()))] + r.vec(1e-9 * scale);
            expect_same_nearest(mesh, p);
        }
    }
}

// Many points against soups of small and of large triangles (whose boxes
// hold most points, so only the planes prune), with good, poor and no hints.
TEST_P(NearestVsBruteForce, BatchMatchesSingleQueries) {
    const double scale = GetParam();
    Rng r(23);
    for (int m = 0; m < 12; ++m) {
        const TriMesh mesh = soup(r, 5 + r.pick(400), scale, m % 2 == 0, m % 3 == 0 ? 0.1 : 1.0);
        const auto& pts = mesh.points();
        const uint32_t n = uint32_t(mesh.triangles().size());
        std::vector<Vec3> points;
        std::vector<uint32_t> hints;
        for (int i = 0; i < 1500; ++i) {
            Vec3 p = r.vec(1.5 * scale);
            if (i % 4 == 0) p = pts[r.pick(int(pts.size()))];
            if (i % 4 == 1) p = pts[r.pick(int(pts.size()))] + r.vec(1e-9 * scale);
            if (i % 4 == 2) p = p * 1e-2;  // a dense cluster
            points.push_back(p);
            hints.push_back(i % 5 == 0 ? kNone : (i % 5 == 1 ? n + 7 : uint32_t(r.pick(int(n)))));
        }
        expect_same_batch(mesh, points, hints);
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, NearestVsBruteForce, ::testing::Values(1.0, 1e-150, 1e150, 1e300));

TEST(NearestVsBruteForceSpecial, ClosedShapesAndNonFinite) {
    Rng r(5);
    for (MeshData s : {make_sphere(7), make_torus(2, 0.7, 24, 10), make_box({0, 0, 0}, {1, 1, 0})}) {
        const TriMesh mesh = to_mesh(std::move(s));
        for (int i = 0; i < 3000; ++i) {
            Vec3 p = r.vec(3);
            if (i % 4 == 0) p = p * 1e-3;
            if (i % 50 == 0) p[r.pick(3)] = r.pick(2) ? kNaN : kInf;
            expect_same_nearest(mesh, p);
        }
    }
    MeshData d = make_sphere(3);
    d.points[5].x = kNaN;
    d.points[9].y = kInf;
    const TriMesh broken = to_mesh(std::move(d));
    std::vector<Vec3> points;
    for (int i = 0; i < 1000; ++i) {
        points.push_back(r.vec(2));
        if (i % 50 == 0) points.back()[r.pick(3)] = r.pick(2) ? kNaN : kInf;
        expect_same_nearest(broken, points.back());
    }
    expect_same_batch(broken, points, {});
    expect_same_batch(broken, {}, {});
}

// Winding number from signed solid angles.
double winding_number(const TriMesh& mesh, Vec3 p) {
    double total = 0;
    for (const Triangle& t : mesh.triangles()) {
        const Vec3 a = mesh.points()[t[0]] - p, b = mesh.points()[t[1]] - p, c = mesh.points()[t[2]] - p;
        const double la = norm(a), lb = norm(b), lc = norm(c);
        const double num = dot(a, cross(b, c));
        const double den = la * lb * lc + dot(a, b) * lc + dot(b, c) * la + dot(c, a) * lb;
        total += 2 * std::atan2(num, den);
    }
    return total / (4 * std::numbers::pi);
}

Vec3 unit(Vec3 v) { return v * (1.0 / norm(v)); }

// The reported feature is the expected one or, on flat parts where rounding
// decides, a face or edge around it.
bool contains(const TriMesh& mesh, const NearestTriangle& n, MeshFeature expected) {
    const MeshFeature got = mesh_feature(mesh, n.triangle, n.feature);
    if (got == expected) return true;
    const Triangle& t = mesh.triangles()[n.triangle];
    for (int k = 0; k < 3; ++k) {
        const bool on_edge = got.kind != FeatureKind::Vertex && (got.kind == FeatureKind::Face || n.feature.index == k);
        if (expected.kind == FeatureKind::Edge && got.kind == FeatureKind::Face && mesh.edge_id(3 * n.triangle + k) == expected.id)
            return true;
        if (expected.kind == FeatureKind::Vertex && on_edge && (t[k] == expected.id || t[(k + 1) % 3] == expected.id))
            return true;
    }
    return false;
}

class InsideTest : public ::testing::TestWithParam<int> {};

// Points just off every face, edge and vertex, both sides, then random points
// against the winding number.
TEST_P(InsideTest, ClosedShapes) {
    MeshData shapes[] = {make_box({-1, -2, -0.5}, {2, 1, 0.5}), make_tetrahedron(),
                         make_sphere(4, [](Vec3 u) { return 1 + 0.2 * std::sin(5 * u.x) * std::cos(3 * u.y); }),
                         make_torus(2, 0.6, 20, 9)};
    const TriMesh mesh = to_mesh(std::move(shapes[GetParam()]));
    const auto& pts = mesh.points();
    const auto& pn = mesh.pseudo_normals();
    const double h = 1e-6;
    int feature_checks = 0;
    auto check = [&](Vec3 base, Vec3 n, MeshFeature expected_feature) {
        const Vec3 u = unit(n);
        const InsideResult out = inside_test(mesh, base + u * h), in = inside_test(mesh, base - u * h);
        EXPECT_FALSE(out.inside);
        EXPECT_TRUE(in.inside);
        // On the convex side the feature itself is nearest, at distance h; on
        // the concave side (and at saddles) some face comes closer.
        const InsideResult& far = out.distance >= in.distance ? out : in;
        EXPECT_LE(far.distance, h * (1 + 1e-6));
        if (far.distance >= h * (1 - 1e-6)) {
            EXPECT_TRUE(contains(mesh, far.nearest, expected_feature));
            ++feature_checks;
        }
    };
    for (uint32_t f = 0; f < mesh.triangles().size(); ++f) {
        const Triangle& t = mesh.triangles()[f];
        const Vec3 centroid = (pts[t[0]] + pts[t[1]] + pts[t[2]]) * (1.0 / 3);
        check(centroid, cross(pts[t[1]] - pts[t[0]], pts[t[2]] - pts[t[0]]), {FeatureKind::Face, f});
    }
    for (uint32_t e = 0; e < mesh.edge_count(); ++e) {
        const uint32_t he = mesh.topology().edge_halfedge[e];
        check((pts[mesh.origin(he)] + pts[mesh.target(he)]) * 0.5, pn.edge[e], {FeatureKind::Edge, e});
    }
    for (uint32_t v = 0; v < pts.size(); ++v) check(pts[v], pn.vertex[v], {FeatureKind::Vertex, v});
    // On the surface counts as inside; far away is outside.
    EXPECT_TRUE(is_inside(mesh, pts[0]));
    EXPECT_FALSE(is_inside(mesh, {1e6, -3e5, 2e5}));
    EXPECT_GT(feature_checks, int(mesh.triangles().size() + mesh.edge_count()));

    Rng r(GetParam());
    int checked = 0;
    for (int i = 0; i < 600; ++i) {
        const Vec3 p = r.vec(3);
        const double w = winding_number(mesh, p);
        if (std::fabs(w - 0.5) < 0.4) continue;
        EXPECT_EQ(is_inside(mesh, p), w > 0.5) << i;
        ++checked;
    }
    EXPECT_GT(checked, 550);
}

INSTANTIATE_TEST_SUITE_P(Shapes, InsideTest, ::testing::Values(0, 1, 2, 3));

TEST(InsideTestSpecial, FeatureDoesNotDependOnReportingTriangle) {
    // Duplicated point 4 (= point 1) keeps its own vertex id; shared edges map to one id.
    const TriMesh mesh = to_mesh(make_sphere(2));
    for (uint32_t h = 0; h < 3 * mesh.triangles().size(); ++h) {
        const uint32_t tw = mesh.twin(h);
        EXPECT_EQ(mesh_feature(mesh, h / 3, E(h % 3)), mesh_feature(mesh, tw / 3, E(tw % 3)));
        EXPECT_EQ(mesh_feature(mesh, h / 3, V(h % 3)).id, mesh.origin(h));
    }
}

}  // namespace
