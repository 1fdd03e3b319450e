// Tracked intersection: error texts, the tolerance, runs of nested and
// crossing shapes, closedness, volume and determinism.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>

#include "geometry/intersection/tracked.h"
#include "tests/support/one_processor.h"
#include "tests/support/primitives.h"

namespace geom {
namespace {

TriMesh mesh(MeshData d, Vec3 shift = {}) {
    for (Vec3& p : d.points) p = p + shift;
    return TriMesh::build(std::move(d.points), std::move(d.triangles));
}

double volume(const TrackedMesh& m) {
    double v = 0.0;
    for (const Triangle& t : m.triangles)
        v += dot(m.points[t[0]], cross(m.points[t[1]], m.points[t[2]])) / 6.0;
    return v;
}

// Directed edges without their reverse, or used twice.
int open_edges(const TrackedMesh& m) {
    std::map<std::pair<uint32_t, uint32_t>, int> count;
    for (const Triangle& t : m.triangles)
        for (int k = 0; k < 3; ++k) ++count[{t[k], t[(k + 1) % 3]}];
    int bad = 0;
    for (const auto& [e, n] : count) {
        auto it = count.find({e.second, e.first});
        if (n != 1 || it == count.end() || it->second != 1) ++bad;
    }
    return bad;
}

std::optional<TrackedMesh> run(const TriMesh& a, bool fa, const TriMesh& b, bool fb) {
    TrackedOutcome out = tracked_intersection(a, fa, b, fb);
    return std::get<std::optional<TrackedMesh>>(std::move(out));
}

TEST(Tracked, ErrorTextsAndTolerance) {
    EXPECT_STREQ(display(MeshIntersectionError::TopologyMissing),
                 "at least on of the meshes is missing its topology information. Call `mesh.compute_topology` on the "
                 "mesh");
    EXPECT_STREQ(display(MeshIntersectionError::PseudoNormalsMissing),
                 "at least on of the meshes is missing its pseudo-normals. Call `mesh.compute_pseudo_normals` on the "
                 "mesh");
    EXPECT_STREQ(display(MeshIntersectionError::TriangleIntersectionFailed),
                 "internal failure while intersecting two triangles");
    EXPECT_EQ(kIntersectionTolerance, std::nextafter(1e-5, 0.0));
}

TEST(Tracked, DisjointIsEmptyAndNestedKeepsTheInnerMesh) {
    const TriMesh outer = mesh(make_box({-1, -1, -1}, {1, 1, 1}));
    const TriMesh inner = mesh(make_sphere(3, [](Vec3) { return 0.5; }), {0.1, 0.0, 0.0});
    const TriMesh far = mesh(make_box({5, 5, 5}, {6, 6, 6}));
    EXPECT_FALSE(run(outer, false, far, false).has_value());

    const auto kept = run(inner, false, outer, false);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->counts, (TrackingCounts{inner.triangles().size(), 0, 0, 0}));
    EXPECT_TRUE(run(inner, true, outer, false).has_value());   // outer minus inner
    EXPECT_FALSE(run(inner, false, outer, true).has_value());  // inner minus outer
}

struct Case {
    double r;
    Vec3 shift;
    bool flip1, flip2;
};

class Crossing : public ::testing::TestWithParam<Case> {};

TEST_P(Crossing, ClosedWithTheExpectedVolume) {
    const Case c = GetParam();
    const TriMesh box = mesh(make_box({-1, -1, -1}, {1, 1, 1}));
    const TriMesh ball = mesh(make_sphere(8, [&](Vec3) { return c.r; }), c.shift);
    const auto a = run(box, c.flip1, ball, c.flip2);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->counts[0] + a->counts[1] + a->counts[2] + a->counts[3], a->triangles.size());
    EXPECT_GT(a->counts[2], 0u);
    EXPECT_GT(a->counts[3], 0u);
    EXPECT_EQ(open_edges(*a), 0);

    // Intersection + difference = the box; the two differences and the
    // (negated) union add up the same way.
    const auto inter = run(box, false, ball, false);
    const auto diff = run(box, false, ball, true);
    const auto rdiff = run(box, true, ball, false);
    const auto uni = run(box, true, ball, true);
    EXPECT_NEAR(volume(*inter) + volume(*diff), 8.0, 1e-9);
    EXPECT_NEAR(-volume(*uni), volume(*inter) + volume(*diff) + volume(*rdiff), 1e-9);

    // Deterministic, bit for bit.
    const auto again = run(box, c.flip1, ball, c.flip2);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->triangles, a->triangles);
    ASSERT_EQ(again->points.size(), a->points.size());
    for (size_t i = 0; i < a->points.size(); ++i) EXPECT_TRUE(again->points[i] == a->points[i]);
}

#if defined(__linux__)
// Large enough for the two meshes to be worked on side by side; the same
// call confined to one processor runs serially and must give the same bits.
TEST(Tracked, SideBySideEqualsSerial) {
    const TriMesh a = mesh(make_sphere(24)), b = mesh(make_torus(0.9, 0.35, 60, 24), {0.21, 0.13, 0.17});
    const auto side_by_side = run(a, false, b, true);
    std::optional<TrackedMesh> serial;
    {
        testing_support::OneProcessor pin;
        ASSERT_TRUE(pin.pinned());
        serial = run(a, false, b, true);
    }
    ASSERT_TRUE(side_by_side && serial);
    EXPECT_EQ(serial->counts, side_by_side->counts);
    EXPECT_EQ(serial->triangles, side_by_side->triangles);
    ASSERT_EQ(serial->points.size(), side_by_side->points.size());
    for (size_t i = 0; i < serial->points.size(); ++i) EXPECT_TRUE(serial->points[i] == side_by_side->points[i]);
}
#endif

INSTANTIATE_TEST_SUITE_P(Shapes, Crossing,
                         ::testing::Values(Case{1.2, {0.1, 0.2, 0.05}, false, false},
                                           Case{0.8, {0.9, 0.3, -0.2}, false, true},
                                           Case{0.7, {-0.6, 0.5, 0.45}, true, false},
                                           Case{1.1, {0.37, -0.21, 0.13}, true, true}));

}  // namespace
}  // namespace geom
