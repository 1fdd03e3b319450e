#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "tests/support/one_processor.h"
#include "tests/support/primitives.h"
#include "geometry/query/ray_cast.h"
#include "geometry/query/ray_triangle.h"

using namespace geom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TriMesh to_mesh(MeshData d) { return TriMesh::build(std::move(d.points), std::move(d.triangles)); }

// Unconnected triangles, three fresh points each.
TriMesh soup(const std::vector<std::array<Vec3, 3>>& tris) {
    MeshData d;
    for (const auto& t : tris) {
        const uint32_t base = static_cast<uint32_t>(d.points.size());
        d.points.insert(d.points.end(), t.begin(), t.end());
        d.triangles.push_back({base, base + 1, base + 2});
    }
    return to_mesh(std::move(d));
}

TEST(RayTriangle, TwoSquaresFromCorners) {
    MeshData d;
    d.points = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    d.triangles = {{0, 1, 2}, {0, 2, 3}, {4, 5, 6}, {4, 6, 7}};
    TriMesh mesh = to_mesh(std::move(d));
    RayCaster caster(mesh);
    const Vec3 dir{0, 0, 1};
    for (size_t i = 0; i < 8; ++i) {
        const Vec3 o = mesh.points()[i] + dir * 0.01;
        EXPECT_EQ(caster.blocked(o, dir), i < 4) << i;
        EXPECT_EQ(ray_blocked_brute_force(mesh, o, dir), i < 4) << i;
    }
}

TEST(RayTriangle, OriginOnTriangleHitsAtTimeZero) {
    MeshData d;
    d.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.25, 0.25, -0.01}, {3, 3, -0.01}, {3, 2, -0.01}};
    d.triangles = {{0, 1, 2}, {3, 4, 5}};
    TriMesh mesh = to_mesh(std::move(d));
    const Vec3 o = mesh.points()[3] + Vec3{0, 0, 1} * 0.01;
    EXPECT_TRUE(RayCaster(mesh).blocked(o, {0, 0, 1}));
    const auto& p = mesh.points();
    EXPECT_EQ(ray_triangle_toi(p[0], p[1], p[2], o, {0, 0, 1}), 0.0);
    EXPECT_FALSE(ray_triangle_toi(p[3], p[4], p[5], o, {0, 0, 1}).has_value());
}

struct ToiCase {
    Vec3 o, d;
    std::optional<double> toi;
};

class RayTriangleToi : public ::testing::TestWithParam<ToiCase> {};

TEST_P(RayTriangleToi, UnitTriangle) {
    const ToiCase& c = GetParam();
    const auto toi = ray_triangle_toi({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, c.o, c.d);
    EXPECT_EQ(toi.has_value(), c.toi.has_value());
    if (toi && c.toi) {
        EXPECT_EQ(*toi, *c.toi);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RayTriangleToi,
    ::testing::Values(ToiCase{{0.2, 0.2, 1}, {0, 0, -1}, 1.0},         // front
                      ToiCase{{0.2, 0.2, -2}, {0, 0, 2}, 1.0},         // back side counts
                      ToiCase{{0.2, 0.2, 1}, {0, 0, 1}, std::nullopt},  // pointing away
                      ToiCase{{1, 0, 1}, {0, 0, -1}, 1.0},             // corner
                      ToiCase{{0.5, 0.5, 1}, {0, 0, -1}, 1.0},         // hypotenuse
                      ToiCase{{0.5, 0.5 + 1e-15, 1}, {0, 0, -1}, std::nullopt},
                      ToiCase{{-1, 0, 0}, {1, 0, 0}, std::nullopt},    // in plane: n.d == 0
                      ToiCase{{0.2, 0.2, 0}, {0, 1, 1}, 0.0},          // starts on it
                      ToiCase{{0.2, 0.2, 1}, {0, 0, 0}, std::nullopt},
                      ToiCase{{0.2, 0.2, 1}, {0, 0, -1e-300}, 1.0 * (1.0 / 1e-300)},
                      // Beyond the double range, but met.
                      ToiCase{{0.2, 0.2, 1}, {0, 0, -1e-310}, kInf},
                      ToiCase{{kNaN, 0.2, 1}, {0, 0, -1}, std::nullopt},
                      ToiCase{{0.2, 0.2, 1}, {0, 0, -kInf}, std::nullopt}));

struct Rng {
    std::mt19937_64 g;
    explicit Rng(uint64_t seed) : g(seed) {}
    double uni(double a, double b) { return std::uniform_real_distribution<double>(a, b)(g); }
    int pick(int n) { return static_cast<int>(g() % n); }
    Vec3 vec(double a, double b) { return {uni(a, b), uni(a, b), uni(a, b)}; }
    // Random direction, often with zero components, sometimes axis-aligned.
    Vec3 dir() {
        Vec3 d = vec(-1, 1);
        const int mode = pick(6);
        if (mode == 1) d[pick(3)] = 0.0;
        if (mode == 2) d = Vec3{}, d[pick(3)] = pick(2) ? 1.0 : -1.0;
        if (mode == 3) d = Vec3{double(pick(3) - 1), double(pick(3) - 1), double(pick(3) - 1)};
        return d;
    }
};

Vec3 unit_vec(Vec3 v) { return v * (1.0 / norm(v)); }

// Rays aimed at the difficult places of a mesh: through vertices, along
// edges, from points on triangles, plus arbitrary ones.
std::pair<Vec3, Vec3> tricky_ray(Rng& r, const TriMesh& mesh, double extent) {
    const auto& p = mesh.points();
    const Triangle& t = mesh.triangles()[r.pick(int(mesh.triangles().size()))];
    const Vec3 a = p[t[0]], b = p[t[1]], c = p[t[2]];
    switch (r.pick(6)) {
        case 0: {  // through a vertex
            const Vec3 d = r.dir();
            return {a - d * r.uni(0, 2), d};
        }
        case 1:  // along an edge, from outside or inside it
            return {a - (b - a) * r.uni(-0.5, 1), b - a};
        case 2: {  // from a point of the triangle or its plane
            const double u = r.uni(-0.2, 1), v = r.uni(-0.2, 1);
            return {a + (b - a) * u + (c - a) * v, r.dir()};
        }
        case 3:  // from a vertex
            return {b, r.dir()};
        case 4: {  // towards a vertex of another triangle, origin at a vertex
            const Vec3 q = p[r.pick(int(p.size()))];
            return {a, q - a};
        }
        default:
            return {r.vec(-extent, extent), r.dir()};
    }
}

void expect_same_as_brute_force(const TriMesh& mesh, Rng& r, int rays, double extent, int* hits = nullptr) {
    RayCaster caster(mesh);
    for (int i = 0; i < rays; ++i) {
        const auto [o, d] = tricky_ray(r, mesh, extent);
        const bool expected = ray_blocked_brute_force(mesh, o, d);
        ASSERT_EQ(caster.blocked(o, d), expected)
            << "ray " << i << " o=(" << o.x << "," << o.y << "," << o.z << ") d=(" << d.x << "," << d.y << "," << d.z
            << ")";
        if (hits) *hits += expected;
    }
}

std::vector<std::array<Vec3, 3>> random_soup(Rng& r, int n, double scale, double size) {
    std::vector<std::array<Vec3, 3>> tris;
    for (int i = 0; i < n; ++i) {
        const Vec3 c = r.vec(-scale, scale);
        tris.push_back({c + r.vec(-size, size), c + r.vec(-size, size), c + r.vec(-size, size)});
    }
    return tris;
}

class RayVsBruteForce : public ::testing::TestWithParam<double> {};

// Few triangles per mesh, so a missed triangle is rarely covered by another hit.
TEST_P(RayVsBruteForce, SmallSoups) {
    const double scale = GetParam();
    Rng r(1234);
    int hits = 0;
    for (int m = 0; m < 150; ++m) {
        auto tris = random_soup(r, 1 + r.pick(12), scale, scale * r.uni(0.01, 1));
        for (auto& t : tris)
            if (r.pick(4) == 0) t[2][r.pick(3)] = t[r.pick(2)][r.pick(3)];  // axis-parallel edges
        expect_same_as_brute_force(soup(tris), r, 300, 2 * scale, &hits);
    }
    if (scale > 1e-200 && scale < 1e200) {
        EXPECT_GT(hits, 1000);
    }
}

TEST_P(RayVsBruteForce, LargeSoup) {
    const double scale = GetParam();
    Rng r(99);
    const TriMesh mesh = soup(random_soup(r, 1000, scale, scale * 0.03));
    // Far from 1, products in the brute force are subnormal and slow.
    const bool extreme = scale < 1e-100 || scale > 1e100;
    expect_same_as_brute_force(mesh, r, extreme ? 400 : 2000, 2 * scale);
}

// Exactly representable grid meshes: the triangle test is exact there, so
// rays through vertices and along edges sit right on the accept boundary.
TEST_P(RayVsBruteForce, GridAlignedMeshes) {
    const double scale = GetParam();
    Rng r(5);
    std::vector<MeshData> shapes;
    shapes.push_back(make_grid(6, 5, 2.0));
    shapes.push_back(make_box({0, 0, 0}, {3, 2, 1}));
    shapes.push_back(make_box({1, 1, 1}, {4, 1, 3}));  // zero thickness
    shapes.push_back(make_box({0, 0, 0}, {2, 2, 1e-12}));
    for (MeshData& s : shapes) {
        for (Vec3& p : s.points) p = p * scale;
        const TriMesh mesh = to_mesh(std::move(s));
        RayCaster caster(mesh);
        for (int i = 0; i < 4000; ++i) {
            Vec3 o = {double(r.pick(9) - 1), double(r.pick(9) - 1), double(r.pick(7) - 1)};
            if (r.pick(2)) o = o * 0.5;
            Vec3 d = {double(r.pick(5) - 2), double(r.pick(5) - 2), double(r.pick(5) - 2)};
            if (r.pick(3) == 0) d = r.dir();
            o = o * scale;
            ASSERT_EQ(caster.blocked(o, d), ray_blocked_brute_force(mesh, o, d)) << i;
        }
        expect_same_as_brute_force(mesh, r, 3000, 4 * scale);
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, RayVsBruteForce, ::testing::Values(1.0, 1e-3, 1e5, 1e-150, 1e150, 1e-300, 1e300));

TEST(RayVsBruteForceSpecial, ClosedShapes) {
    Rng r(17);
    for (MeshData s : {make_sphere(8), make_torus(2, 0.5, 30, 12)}) {
        const TriMesh mesh = to_mesh(std::move(s));
        expect_same_as_brute_force(mesh, r, 5000, 3);
    }
}

TEST(RayVsBruteForceSpecial, NonFiniteInput) {
    Rng r(3);
    auto tris = random_soup(r, 200, 1, 0.3);
    tris[10][1].x = kNaN;
    tris[20][0].y = kInf;
    tris[30][2].z = -kInf;
    tris[40] = {Vec3{kInf, 0, 0}, Vec3{0, kInf, 0}, Vec3{0, 0, kInf}};
    const TriMesh mesh = soup(tris);
    RayCaster caster(mesh);
    const double odd[] = {kNaN, kInf, -kInf, 0.0, 1e308, -1e-310};
    for (int i = 0; i < 3000; ++i) {
        auto [o, d] = tricky_ray(r, mesh, 2);
        if (r.pick(2)) o[r.pick(3)] = odd[r.pick(6)];
        if (r.pick(2)) d[r.pick(3)] = odd[r.pick(6)];
        ASSERT_EQ(caster.blocked(o, d), ray_blocked_brute_force(mesh, o, d)) << i;
    }
}

TEST(RayVsBruteForceSpecial, MixedMagnitudes) {
    Rng r(8);
    std::vector<std::array<Vec3, 3>> tris;
    for (int i = 0; i < 300; ++i) {
        std::array<Vec3, 3> t;
        const double base = std::ldexp(1.0, r.pick(2000) - 1000);
        for (auto& p : t) p = r.vec(-1, 1) * (r.pick(3) ? base : std::ldexp(base, r.pick(80) - 40));
        tris.push_back(t);
    }
    const TriMesh mesh = soup(tris);
    RayCaster caster(mesh);
    for (int i = 0; i < 5000; ++i) {
        auto [o, d] = tricky_ray(r, mesh, 1);
        if (r.pick(3) == 0) d = d * std::ldexp(1.0, r.pick(1200) - 600);
        ASSERT_EQ(caster.blocked(o, d), ray_blocked_brute_force(mesh, o, d)) << i;
    }
}

// Directions far below the mesh's size: the same answers as unit ones.
TEST(RayVsBruteForceSpecial, TinyDirections) {
    Rng r(31);
    std::vector<MeshData> shapes;
    shapes.push_back(make_sphere(6));
    shapes.push_back(make_grid(6, 5, 2.0));
    shapes.push_back(make_box({0, 0, 0}, {1e-150, 2e-150, 1e-150}));
    for (MeshData& s : shapes) {
        const double size = s.points[1].x - s.points[0].x != 0 ? std::fabs(s.points[1].x - s.points[0].x) : 1.0;
        const TriMesh mesh = to_mesh(std::move(s));
        RayCaster caster(mesh);
        for (int i = 0; i < 3000; ++i) {
            auto [o, d] = tricky_ray(r, mesh, 2 * size);
            d = d * std::ldexp(1.0, -(300 + r.pick(790)));
            ASSERT_EQ(caster.blocked(o, d), ray_blocked_brute_force(mesh, o, d)) << i;
        }
        // Origins in a triangle's plane around it, directions near the
        // subnormal range: the barycentric test turns coarse there.
        for (int i = 0; i < 3000; ++i) {
            const auto& p = mesh.points();
            const Triangle& t = mesh.triangles()[r.pick(int(mesh.triangles().size()))];
            const Vec3 o = p[t[0]] + (p[t[1]] - p[t[0]]) * r.uni(-0.3, 1.3) + (p[t[2]] - p[t[0]]) * r.uni(-0.3, 1.3);
            const Vec3 d = r.dir() * std::ldexp(1.0, -(1000 + r.pick(80)));
            ASSERT_EQ(caster.blocked(o, d), ray_blocked_brute_force(mesh, o, d)) << i;
        }
    }
}

// One ray per vertex along a direction of 1e-200 (the overhang query): the
// tree must serve it, or this takes ~10^8 triangle tests.
TEST(RayVsBruteForceSpecial, TinyDirectionOverhangsStayFast) {
    const TriMesh mesh = to_mesh(make_sphere(30, [](Vec3 u) { return 1 + 0.1 * std::sin(7 * u.x) * std::sin(5 * u.y); }));
    RayCaster caster(mesh);
    const Vec3 d{0, 0, 1e-200};
    const std::vector<uint8_t> tiny = caster.blocked_from(mesh.points(), d * 0.01, d);
    size_t blocked = 0;
    for (uint8_t b : tiny) blocked += b;
    // The offset vanishes against the coordinates: rays start on their own triangles.
    EXPECT_GT(blocked, tiny.size() / 2);
    for (size_t i = 0; i < tiny.size(); i += 97) {
        const Vec3 o = mesh.points()[i] + d * 0.01;
        ASSERT_EQ(tiny[i], ray_blocked_brute_force(mesh, o, d)) << i;
    }
}

// Rays lying in (or, after rounding, just beside) the plane of tilted flat
// meshes: exactly parallel ones meet nothing, the others at most where they
// cross the plane.
TEST(RayVsBruteForceSpecial, RaysInTheirPlane) {
    Rng r(21);
    for (int m = 0; m < 6; ++m) {
        MeshData d = make_grid(8, 8);
        const Vec3 axis = unit_vec(r.vec(-1, 1));
        const double angle = r.uni(0.1, 3);
        auto rot = [&](Vec3 p) {
            const double c = std::cos(angle), s = std::sin(angle);
            return p * c + cross(axis, p) * s + axis * (dot(axis, p) * (1 - c));
        };
        for (Vec3& p : d.points) p = rot(p) + Vec3{3, -1, 2};
        const TriMesh mesh = to_mesh(std::move(d));
        RayCaster caster(mesh);
        for (int i = 0; i < 1500; ++i) {
            const Vec3 o = rot(Vec3{double(r.pick(9)), r.uni(-1, 9), 0}) + Vec3{3, -1, 2};
            const Vec3 dir = rot(Vec3{r.uni(-1, 1), r.uni(-1, 1), 0});
            ASSERT_EQ(caster.blocked(o, dir), ray_blocked_brute_force(mesh, o, dir)) << m << " " << i;
        }
    }
}

// One direction for many rays, walls parallel to it, and alternating meshes.
TEST(RayVsBruteForceSpecial, SharedDirection) {
    Rng r(22);
    MeshData walls;
    for (int w = 0; w < 6; ++w) {
        MeshData g = make_grid(5, 5);
        const double a = r.uni(0, 3.14);
        const uint32_t base = uint32_t(walls.points.size());
        for (Vec3 p : g.points)  // vertical wall through the origin at angle a
            walls.points.push_back({p.x * std::cos(a) * 0.5 + w, p.x * std::sin(a) * 0.5, p.y * 0.5});
        for (Triangle t : g.triangles) walls.triangles.push_back({t[0] + base, t[1] + base, t[2] + base});
    }
    const TriMesh a = to_mesh(std::move(walls));
    const TriMesh b = to_mesh(make_sphere(6));
    RayCaster caster_a(a), caster_b(b);
    for (const Vec3 dir : {Vec3{0, 0, 1}, Vec3{0, 0, -2}, Vec3{0.3, -0.1, 1}}) {
        for (int i = 0; i < 3000; ++i) {
            const TriMesh& mesh = (i / 500) % 2 ? b : a;
            RayCaster& caster = (i / 500) % 2 ? caster_b : caster_a;
            const Vec3 o = i % 3 ? mesh.points()[r.pick(int(mesh.points().size()))] + dir * r.uni(-0.5, 0.5)
                                 : r.vec(-2, 6);
            ASSERT_EQ(caster.blocked(o, dir), ray_blocked_brute_force(mesh, o, dir)) << i;
        }
    }
}

TEST(RayTriangle, TimeOfImpactOfTinyDirectionsIsRescaled) {
    // 1 / |n.d| overflows; the time itself (1e10) does not.
    const auto toi = ray_triangle_toi({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.2, 0.2, 1e-300}, {0, 0, -1e-310});
    ASSERT_TRUE(toi.has_value());
    EXPECT_NEAR(*toi / 1e10, 1.0, 1e-12);
}

// A ray through a corner or an edge of a closed mesh, from a point inside,
// meets at least one of the triangles there (the floating-point barycentric
// test missed some: each triangle rounded its own side of the shared edge).
TEST(RayTriangle, RaysThroughEdgesAndCornersOfClosedMeshesAreBlocked) {
    Rng r(41);
    std::vector<MeshData> shapes{make_sphere(12), make_torus(2, 0.5, 40, 16), make_box({0, 0, 0}, {3, 1e-3, 7})};
    for (MeshData& s : shapes) {
        // Irrational-looking coordinates: nothing lies on a grid.
        for (Vec3& p : s.points) p = Vec3{p.x * 1.37 + 0.11, p.y * 0.93 - 0.7, p.z * 1.11 + 0.3};
        const TriMesh mesh = to_mesh(std::move(s));
        RayCaster caster(mesh);
        const auto& p = mesh.points();
        int tested = 0;
        for (const Triangle& t : mesh.triangles()) {
            const Vec3 a = p[t[0]], b = p[t[1]], c = p[t[2]];
            // Just inside the triangle's face, across from the corner or edge aimed at.
            const Vec3 n = cross(b - a, c - a);
            const Vec3 inside = (a + b + c) * (1.0 / 3.0) - n * (1e-3 / norm(n));
            for (const Vec3 target : {a, (a + b) * 0.5, b * 0.3 + c * 0.7}) {
                const Vec3 o = inside + (inside - target) * r.uni(0.01, 0.5);
                const Vec3 d = target - o;
                ASSERT_TRUE(ray_blocked_brute_force(mesh, o, d)) << tested;
                ASSERT_TRUE(caster.blocked(o, d)) << tested;
                ++tested;
            }
        }
    }
}

// A ray nearly parallel to a sliver, passing far from it by the standards of
// rounding, does not meet it.
TEST(RayTriangle, NearlyParallelRayPassingASliverMissesIt) {
    const Vec3 a{0, 0, 0}, b{1000, 1e-3, 0}, c{2000, 0, 1e-9};
    const Vec3 d = b - a;
    for (double gap : {2.7e-4, 1e-6, 1e-9}) {
        const Vec3 o{-1, 1e-3 * (-1.0 / 1000) + gap, 0};
        EXPECT_FALSE(ray_triangle_toi(a, b, c, o, d).has_value()) << gap;
        EXPECT_FALSE(ray_triangle_toi(a, b, c, o, d * 1e-17).has_value()) << gap;
    }
}

// The per-direction tree of blocked_from: the answers of blocked() and of
// testing every triangle, for meshes with many triangles parallel to the
// direction (walls, bars, flat sheets), tiny and huge directions, on one or
// more threads.
TEST(RayCasterBlockedFrom, AgreesWithSingleRaysAndBruteForce) {
    Rng r(52);
    std::vector<MeshData> shapes;
    shapes.push_back(make_box({0, 0, 0}, {40, 1, 1}));
    shapes.push_back(make_grid(30, 30, 0.5));
    shapes.push_back(make_sphere(12));
    MeshData walls;
    for (int w = 0; w < 8; ++w) {
        MeshData g = make_grid(8, 8);
        const double ang = r.uni(0, 3.14);
        const uint32_t base = uint32_t(walls.points.size());
        for (Vec3 p : g.points) walls.points.push_back({p.x * std::cos(ang) + w, p.x * std::sin(ang), p.y});
        for (Triangle t : g.triangles) walls.triangles.push_back({t[0] + base, t[1] + base, t[2] + base});
    }
    shapes.push_back(std::move(walls));
    for (MeshData& s : shapes) {
        const TriMesh mesh = to_mesh(std::move(s));
        RayCaster caster(mesh);
        for (Vec3 d : {Vec3{0, 0, 1}, Vec3{1, 0, 0}, Vec3{0, -1, 0}, Vec3{1, 1, 0}, Vec3{0.3, -0.2, 1},
                       Vec3{0, 0, 1e-300}, Vec3{0, 0, -1e40}, Vec3{1e-300, 0, 1e-300}}) {
            const Vec3 offset = d * 0.01;
            const std::vector<uint8_t> got = caster.blocked_from(mesh.points(), offset, d);
            ASSERT_EQ(got.size(), mesh.points().size());
            for (size_t i = 0; i < got.size(); ++i) {
                const Vec3 o = mesh.points()[i] + offset;
                ASSERT_EQ(bool(got[i]), caster.blocked(o, d)) << i;
                if (i % 5 == 0) {
                    ASSERT_EQ(bool(got[i]), ray_blocked_brute_force(mesh, o, d)) << i;
                }
            }
        }
    }
}

// Each run of rays starts where the previous ray was blocked and widens from
// there. Origins that jump between far tiles, or sit under a gap right after
// a blocked ray, must still get the exact answer: blocked under a tile, free
// under a gap.
TEST(RayCasterBlockedFrom, RaysThatJumpBetweenFarTiles) {
    constexpr int kSide = 40;
    MeshData tiles;
    for (int i = 0; i < kSide; ++i) {
        for (int j = 0; j < kSide; ++j) {
            const uint32_t base = uint32_t(tiles.points.size());
            const double x = 3.0 * i, y = 3.0 * j, z = 1.0 + 0.25 * ((i * 7 + j * 3) % 5);
            for (Vec3 p : {Vec3{x, y, z}, Vec3{x + 1, y, z}, Vec3{x + 1, y + 1, z}, Vec3{x, y + 1, z}})
                tiles.points.push_back(p);
            tiles.triangles.push_back({base, base + 1, base + 2});
            tiles.triangles.push_back({base, base + 2, base + 3});
        }
    }
    const TriMesh mesh = to_mesh(std::move(tiles));
    std::vector<Vec3> origins;
    std::vector<uint8_t> expected;
    const int n = kSide * kSide;
    for (int k = 0; k < n; ++k) {
        // Tile k, the tile across the grid from it, then a gap beside k.
        for (int t : {k, n - 1 - k}) {
            origins.push_back({3.0 * (t / kSide) + 0.5, 3.0 * (t % kSide) + 0.5, 0.0});
            expected.push_back(1);
        }
        origins.push_back({3.0 * (k / kSide) + 2.0, 3.0 * (k % kSide) + 0.5, 0.0});
        expected.push_back(0);
    }
    RayCaster caster(mesh);
    EXPECT_EQ(caster.blocked_from(origins, Vec3{}, Vec3{0, 0, 1}), expected);
#if defined(__linux__)
    testing_support::OneProcessor pin;
    EXPECT_EQ(caster.blocked_from(origins, Vec3{}, Vec3{0, 0, 1}), expected);
#endif
}

#if defined(__linux__)
// Large enough for the four-wide tree to be built by two threads: a bumpy
// torus turned so that its walls fold over each other, with rays along an
// axis and along a skew direction. The answers of single rays through the
// mesh's own tree, and those of one thread.
TEST(RayCasterBlockedFrom, LargeMeshOnTwoThreads) {
    MeshData torus = make_torus(1.0, 0.35, 300, 70);
    const double t = 0.44;
    for (Vec3& p : torus.points) {
        p = {p.x, p.y * std::cos(t) - p.z * std::sin(t), p.y * std::sin(t) + p.z * std::cos(t)};
        p = p * (1.0 + 0.05 * std::sin(9 * p.x) * std::cos(7 * p.y));
    }
    ASSERT_GT(torus.triangles.size(), size_t{1} << 15);
    const TriMesh mesh = to_mesh(std::move(torus));
    for (Vec3 d : {Vec3{0, 0, 1}, Vec3{0.3, -0.2, 1}}) {
        RayCaster caster(mesh);
        const Vec3 offset = d * 0.01;
        const std::vector<uint8_t> two = caster.blocked_from(mesh.points(), offset, d);
        size_t blocked = 0;
        for (size_t i = 0; i < two.size(); ++i) {
            ASSERT_EQ(bool(two[i]), caster.blocked(mesh.points()[i] + offset, d)) << i;
            blocked += two[i];
        }
        EXPECT_GT(blocked, two.size() / 10);
        EXPECT_LT(blocked, two.size() * 9 / 10);
        testing_support::OneProcessor pin;
        ASSERT_TRUE(pin.pinned());
        RayCaster serial(mesh);
        EXPECT_EQ(serial.blocked_from(mesh.points(), offset, d), two);
    }
}
#endif

}  // namespace
