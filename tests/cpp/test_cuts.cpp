// Exact triangle cuts: the features of every point, exact orientation, and
// the snapping of points within the merge distance of an edge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geometry/intersection/candidates.h"
#include "geometry/intersection/cuts.h"
#include "geometry/intersection/retriangulate.h"
#include "tests/support/primitives.h"
#include "geometry/predicates/bigfloat.h"
#include "geometry/predicates/predicates.h"

using namespace geom;
using namespace geom::isect;

namespace {

int exact_orient3d(Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
    const BigFloat ax(a.x), ay(a.y), az(a.z);
    const BigFloat bx = BigFloat(b.x) - ax, by = BigFloat(b.y) - ay, bz = BigFloat(b.z) - az;
    const BigFloat cx = BigFloat(c.x) - ax, cy = BigFloat(c.y) - ay, cz = BigFloat(c.z) - az;
    const BigFloat dx = BigFloat(d.x) - ax, dy = BigFloat(d.y) - ay, dz = BigFloat(d.z) - az;
    return (dx * (by * cz - bz * cy) + dy * (bz * cx - bx * cz) + dz * (bx * cy - by * cx)).sign();
}

TriCorners tri(Vec3 a, Vec3 b, Vec3 c, uint32_t first_id = 0) { return {{a, b, c}, {first_id, first_id + 1, first_id + 2}}; }

LocalCut cut(const TriCorners& a, const TriCorners& b, double tol = 0.0) {
    int sa[3], sb[3];
    for (int i = 0; i < 3; ++i) {
        sa[i] = orient3d_sign(b.p[0], b.p[1], b.p[2], a.p[i]);
        sb[i] = orient3d_sign(a.p[0], a.p[1], a.p[2], b.p[i]);
    }
    LocalCut out;
    cut_triangles(a, b, sa, sb, tol, out);
    return out;
}

std::string name(TriangleFeature f) {
    if (f.kind == FeatureKind::Face) return "F";
    char out[3] = {f.kind == FeatureKind::Edge ? 'E' : 'V', static_cast<char>('0' + f.index), 0};
    return out;
}

std::set<std::string> points(const LocalCut& c, bool swapped = false) {
    std::set<std::string> out;
    for (int i = 0; i < c.n; ++i)
        out.insert(swapped ? name(c.pts[i].f2) + "/" + name(c.pts[i].f1) : name(c.pts[i].f1) + "/" + name(c.pts[i].f2));
    return out;
}

}  // namespace

TEST(Orient3d, SignIsExactNearThePlane) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 2000; ++i) {
        const Vec3 a{u(rng), u(rng), u(rng)}, b{u(rng), u(rng), u(rng)}, c{u(rng), u(rng), u(rng)};
        // A point on the plane up to rounding, then nudged by a few ulps.
        const double s = u(rng), t = u(rng);
        Vec3 d = a + (b - a) * s + (c - a) * t;
        d.z = std::nextafter(d.z, (i % 3) - 1.0);
        EXPECT_EQ(orient3d_sign(a, b, c, d), exact_orient3d(a, b, c, d)) << i;
    }
}

TEST(Orient3d, ExactlyCoplanarAndExtremeMagnitudes) {
    const Vec3 a{0, 0, 0}, b{3, 1, 0}, c{1, 4, 0};
    EXPECT_EQ(orient3d_sign(a, b, c, {7, -2, 0}), 0);
    EXPECT_EQ(orient3d_sign(a, b, c, {7, -2, 1e-300}), 1);
    EXPECT_EQ(orient3d_sign(a, b, c, {7, -2, -1e-300}), -1);
    for (double s : {1e-200, 1e150, 1e300}) {
        EXPECT_EQ(orient3d_sign(a * s, b * s, c * s, Vec3{7, -2, 1} * s), 1) << s;
        EXPECT_EQ(orient3d_sign(a * s, b * s, c * s, Vec3{7, -2, 0} * s), 0) << s;
    }
    EXPECT_EQ(orient3d_sign(a, b, c, {1e300, 1e-300, 5e-324}), exact_orient3d(a, b, c, {1e300, 1e-300, 5e-324}));
    EXPECT_EQ(orient3d_sign(a, b, c, {0, 0, NAN}), 0);
}

TEST(Cuts, CrossingTrianglesMeetAlongOneSegment) {
    // b pierces a's interior with its edge 0 and leaves through a's edge 1.
    const TriCorners a = tri({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
    const TriCorners b = tri({1, 1, -1}, {1, 1, 1}, {5, 1, 1}, 10);
    const LocalCut c = cut(a, b);
    ASSERT_EQ(c.ns, 1);
    EXPECT_FALSE(c.coplanar);
    EXPECT_EQ(points(c), (std::set<std::string>{"F/E0", "E1/E2"}));
    // The same pair the other way round names the same points.
    EXPECT_EQ(points(cut(b, a), true), points(c));
}

TEST(Cuts, DegenerateContactsGiveNoSegment) {
    const TriCorners a = tri({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
    // A corner touching the face: one point, no segment.
    LocalCut c = cut(a, tri({1, 1, 0}, {1, 2, 1}, {2, 1, 1}, 10));
    EXPECT_EQ(c.ns, 0);
    EXPECT_EQ(points(c), (std::set<std::string>{"F/V0"}));
    // Sharing only a corner, from above.
    c = cut(a, tri({0, 0, 0}, {1, -1, 1}, {-1, 1, 1}, 10));
    EXPECT_EQ(c.ns, 0);
    EXPECT_EQ(points(c), (std::set<std::string>{"V0/V0"}));
    // Apart.
    EXPECT_EQ(cut(a, tri({0, 0, 1}, {1, 0, 1}, {0, 1, 2}, 10)).n, 0);
}

TEST(Cuts, SegmentAlongAnEdge) {
    // b stands on a's edge 0 (from corner 0 to 1), folded up.
    const TriCorners a = tri({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
    const TriCorners b = tri({1, 0, 0}, {3, 0, 0}, {2, -1, 2}, 10);
    const LocalCut c = cut(a, b);
    ASSERT_EQ(c.ns, 1);
    EXPECT_EQ(points(c), (std::set<std::string>{"E0/V0", "E0/V1"}));
}

TEST(Cuts, CoplanarOverlapGivesEachEdgeStretchInsideTheOther) {
    // Two triangles forming a six-pointed star: six crossings.
    const double h = std::sqrt(3.0);
    const TriCorners a = tri({-3, -h, 0}, {3, -h, 0}, {0, 2 * h, 0});
    const TriCorners b = tri({0, -2 * h, 0}, {3, h, 0}, {-3, h, 0}, 10);
    const LocalCut c = cut(a, b);
    EXPECT_TRUE(c.coplanar);
    EXPECT_EQ(c.n, 6);
    EXPECT_EQ(c.ns, 6);  // the middle stretch of each of the six edges
    for (int i = 0; i < c.n; ++i) {
        EXPECT_EQ(c.pts[i].f1.kind, FeatureKind::Edge);
        EXPECT_EQ(c.pts[i].f2.kind, FeatureKind::Edge);
    }
    // A copy of itself: corners coincide, edges lie on edges.
    const LocalCut same = cut(a, tri(a.p[0], a.p[1], a.p[2], 10));
    EXPECT_EQ(points(same), (std::set<std::string>{"V0/V0", "V1/V1", "V2/V2"}));
    EXPECT_EQ(same.ns, 6);
}

TEST(Cuts, MergeDistanceSnapsCornersOntoEdgeLines) {
    // b's corner 0 lies 1e-13 off a's edge 2 (the line x = 0), inside a.
    const TriCorners a = tri({0, 0, 0}, {4, 0, 0}, {0, 4, 0});
    const TriCorners b = tri({1e-13, 1, 0}, {1, 1, 1}, {1, 2, -1}, 10);
    EXPECT_EQ(points(cut(a, b, 0.0)).count("F/V0"), 1u);
    EXPECT_EQ(points(cut(a, b, 1e-12)).count("E2/V0"), 1u);
    EXPECT_EQ(points(cut(a, b, 1e-14)).count("F/V0"), 1u);
}

TEST(Cuts, CrossingSegmentsAreSplitNotLeftOut) {
    // Two boxes of the second mesh that pass through each other inside the
    // first mesh's top face: their curves on that face cross.
    MeshData plate = make_box({0, 0, 0}, {4, 4, 1});
    MeshData b1 = make_box({1, 1, -1}, {2.5, 2.5, 2}), b2 = make_box({1.7, 0.5, -0.5}, {3.3, 2.1, 3});
    for (const Triangle& t : b2.triangles) b1.triangles.push_back({t[0] + 8, t[1] + 8, t[2] + 8});
    b1.points.insert(b1.points.end(), b2.points.begin(), b2.points.end());
    const TriMesh m1 = TriMesh::build(std::move(plate.points), std::move(plate.triangles));
    const TriMesh m2 = TriMesh::build(std::move(b1.points), std::move(b1.triangles));
    const Cuts cuts = cut_pairs(m1, m2, candidate_pairs(m1, m2));
    // The crossings: two on each face of the plate that both boxes cross.
    size_t crossings = 0;
    for (const CutPoint& p : cuts.points) crossings += p.f1.kind == FeatureKind::Face && p.f2.kind == FeatureKind::Face;
    EXPECT_GT(crossings, 0u);
    for (Which which : {Which::First, Which::Second}) {
        const MeshCuts mc = retriangulate(m1, m2, cuts, which);
        for (const CutTriangle& c : mc.cuts) EXPECT_EQ(c.refused, 0u) << c.triangle;
    }
}
