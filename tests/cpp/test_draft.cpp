#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "geometry/draft/angles.h"
#include "geometry/draft/mask.h"
#include "geometry/draft/overhangs.h"
#include "tests/support/one_processor.h"
#include "tests/support/primitives.h"
#include "geometry/parallel.h"
#include "geometry/strided.h"

using namespace geom;
using namespace geom::draft;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = std::numbers::pi;

// The library acos on a value the compiler cannot see: folded at build time,
// acos may round differently.
double library_acos(double c) {
    volatile double v = c;
    return std::acos(v);
}

double down(double c) { return std::nextafter(c, -kInf); }
double up(double c) { return std::nextafter(c, kInf); }

// Angle limits for the mask: none qualify, some, all, and NaN.
const double kValues[] = {0.0,   -1.0,   kNaN,          5e-324,          1e-300,          1e-8,     0.1, 1.0,
                          kPi / 2, 1.5533430342749532 /* 89 degrees */, 3.0, kPi - 1e-9, kPi, up(kPi), 4.0, kInf};

class AcosThreshold : public ::testing::TestWithParam<double> {};

TEST_P(AcosThreshold, IsWhereTheLibraryAcosCrossesTheValue) {
    const double value = GetParam();
    const double t = acos_threshold(value);
    if (!(library_acos(1.0) < value)) {
        EXPECT_EQ(t, kInf);
    } else if (library_acos(-1.0) < value) {
        EXPECT_EQ(t, -1.0);
    } else {
        ASSERT_GT(t, -1.0);
        ASSERT_LE(t, 1.0);
        EXPECT_TRUE(library_acos(t) < value) << t;
        EXPECT_FALSE(library_acos(down(t)) < value) << down(t);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, AcosThreshold, ::testing::ValuesIn(kValues));

// Normals whose product with (1, 0, 0) is exactly c.
std::vector<Vec3> along_x(const std::vector<double>& products) {
    std::vector<Vec3> normals;
    for (double c : products) normals.push_back({c, 0.0, 0.0});
    return normals;
}

// Products on both sides of the threshold and of the margin within which the
// mask asks acos, the ends of [-1, 1], beyond them, and random ones.
std::vector<double> probing_products(double value) {
    std::vector<double> cs = {-1.0, 1.0, down(1.0), up(-1.0), 0.0, -0.0, up(1.0), down(-1.0),
                              1.5,  -1.5, kNaN,    kInf,     -kInf};
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> anywhere(-1.0, 1.0), near(-1e-8, 1e-8);
    for (int i = 0; i < 200; ++i) cs.push_back(anywhere(rng));
    const double t = acos_threshold(value);
    if (std::isfinite(t)) {
        for (double d : {0.0, 1e-9, -1e-9, 2e-9, -2e-9, 1e-6, -1e-6}) {
            double c = t + d;
            for (int k = 0; k < 3; ++k) c = down(c);
            for (int k = 0; k < 7; ++k, c = up(c))
                if (c >= -1.0 && c <= 1.0) cs.push_back(c);
        }
        for (int i = 0; i < 200; ++i) cs.push_back(std::clamp(t + near(rng), -1.0, 1.0));
    }
    std::shuffle(cs.begin(), cs.end(), rng);  // mixes decided and undecided lanes
    if (cs.size() % 2 == 0) cs.push_back(t);  // an odd count reaches the one-at-a-time tail too
    return cs;
}

class DraftMask : public ::testing::TestWithParam<double> {};

TEST_P(DraftMask, AgreesWithTheLibraryAcos) {
    const double value = GetParam();
    const std::vector<double> cs = probing_products(value);
    const std::vector<Vec3> normals = along_x(cs);
    const auto view = StridedVec3View::of(normals);
    const std::vector<uint8_t> mask = _draft_mask(view, {1.0, 0.0, 0.0}, value, false);
    const std::vector<uint8_t> inverted = _draft_mask(view, {-1.0, 0.0, 0.0}, value, true);
    ASSERT_EQ(mask.size(), cs.size());
    ASSERT_EQ(inverted.size(), cs.size());
    for (size_t i = 0; i < cs.size(); ++i) {
        const bool expected = library_acos(cs[i]) < value;
        EXPECT_EQ(mask[i] != 0, expected) << "c = " << cs[i];
        EXPECT_EQ(inverted[i] != 0, expected) << "c = " << cs[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Values, DraftMask, ::testing::ValuesIn(kValues));

// --- strided views -----------------------------------------------------------

std::vector<Vec3> random_normals(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    std::vector<Vec3> out(n);
    for (Vec3& v : out) {
        v = {g(rng), g(rng), g(rng)};
        v = v * (1.0 / norm(v));
    }
    // Products past +-1 (NaN angles) and exactly +-1.
    if (n > 3) {
        out[1] = {1.0, 0.0, 0.0};
        out[2] = {0.0, 0.0, -1.0};
        out[3] = out[3] * 1.5;
    }
    return out;
}

// The angles of a view, as emitted in order.
std::vector<double> angles_of(const StridedVec3View& normals, Vec3 ref, bool degrees) {
    std::vector<double> out;
    out.reserve(normals.size());
    _normals2angles(normals, ref, degrees, [&](size_t i, double a) {
        EXPECT_EQ(i, out.size());
        out.push_back(a);
    });
    return out;
}

// acos of the product summed x, then y, then z, without fused multiply-add.
double expected_angle(Vec3 n, Vec3 ref, bool degrees) {
    const double a = library_acos(n.x * ref.x + n.y * ref.y + n.z * ref.z);
    return degrees ? a * (180.0 / kPi) : a;
}

// Bits, so that NaN equals NaN and -0 differs from 0.
std::vector<uint64_t> bits(const std::vector<double>& xs) {
    std::vector<uint64_t> out;
    for (double x : xs) out.push_back(std::bit_cast<uint64_t>(x));
    return out;
}

// The same normals as laid out by arrays: padded rows, column-major, reversed.
TEST(StridedNormals, EveryLayoutGivesTheSameAnswers) {
    const size_t n = 1001;
    const std::vector<Vec3> normals = random_normals(n, 3);
    const Vec3 ref{0.0, 0.6, 0.8};
    std::vector<double> padded(n * 5), columns(n * 3), reversed(n * 3);
    for (size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            padded[i * 5 + k] = normals[i][k];
            columns[k * n + i] = normals[i][k];
            reversed[(n - 1 - i) * 3 + k] = normals[i][k];
        }
    }
    const auto bytes = [](const std::vector<double>& v, size_t at) {
        return reinterpret_cast<const char*>(v.data() + at);
    };
    const std::ptrdiff_t d = sizeof(double);
    const StridedVec3View layouts[] = {
        StridedVec3View(bytes(padded, 0), n, 5 * d, d),
        StridedVec3View(bytes(columns, 0), n, d, static_cast<std::ptrdiff_t>(n) * d),
        StridedVec3View(bytes(reversed, (n - 1) * 3), n, -3 * d, d),
    };
    std::vector<double> expected_angles;
    std::vector<uint8_t> expected_mask;
    for (const Vec3& v : normals) {
        expected_angles.push_back(expected_angle(v, ref, false));
        expected_mask.push_back(library_acos(dot_in_order(v, ref)) < 1.0);
    }
    const auto contiguous = StridedVec3View::of(normals);
    EXPECT_EQ(bits(angles_of(contiguous, ref, false)), bits(expected_angles));
    EXPECT_EQ(_draft_mask(contiguous, ref, 1.0, false), expected_mask);
    for (size_t l = 0; l < std::size(layouts); ++l) {
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(layouts[l][i], normals[i]) << "layout " << l << " row " << i;
        EXPECT_EQ(bits(angles_of(layouts[l], ref, false)), bits(expected_angles)) << "layout " << l;
        EXPECT_EQ(_draft_mask(layouts[l], ref, 1.0, false), expected_mask) << "layout " << l;
    }
}

// --- angles on one or two threads -------------------------------------------

#if defined(__linux__)
using geom::testing_support::OneProcessor;
#endif

class Angles : public ::testing::TestWithParam<std::tuple<size_t, bool, bool>> {};

TEST_P(Angles, EmittedInOrderAndBitForBit) {
    const auto& [n, one_processor, degrees] = GetParam();
    const std::vector<Vec3> normals = random_normals(n, n);
    const Vec3 ref{0.0, 0.0, 1.0};
    std::vector<double> expected;
    for (const Vec3& v : normals) expected.push_back(expected_angle(v, ref, degrees));
    std::vector<double> got;
    if (one_processor) {
#if defined(__linux__)
        OneProcessor pin;
        if (!pin.pinned()) GTEST_SKIP() << "cannot pin to one processor";
        ASSERT_FALSE(have_second_processor());
        got = angles_of(StridedVec3View::of(normals), ref, degrees);
#else
        GTEST_SKIP() << "cannot pin to one processor";
#endif
    } else {
        got = angles_of(StridedVec3View::of(normals), ref, degrees);
    }
    EXPECT_EQ(bits(got), bits(expected));
}

// Below and at the size from which a helper computes, and past a full ring.
INSTANTIATE_TEST_SUITE_P(AroundHelperAndRing, Angles,
                         ::testing::Combine(::testing::Values(size_t{0}, size_t{5}, kAnglesHelperFrom - 1,
                                                              kAnglesHelperFrom, kAnglesHelperFrom + 1,
                                                              kAnglesHelperFrom + kPipelineStretch * kPipelineRing + 7),
                                            ::testing::Bool(), ::testing::Bool()));

// --- overhangs ---------------------------------------------------------------

TEST(Overhangs, VerticesUnderTheMeshAreBlocked) {
    MeshData box = make_box({0, 0, 0}, {1, 1, 1});
    const TriMesh mesh = TriMesh::build(std::move(box.points), std::move(box.triangles));
    const std::vector<uint8_t> up_blocked = _overhangs(mesh, {0, 0, 1});
    const std::vector<uint8_t> down_blocked = _overhangs(mesh, {0, 0, -1});
    const std::vector<uint8_t> nowhere = _overhangs(mesh, {0, 0, 0});
    ASSERT_EQ(up_blocked.size(), mesh.points().size());
    ASSERT_EQ(down_blocked.size(), mesh.points().size());
    ASSERT_EQ(nowhere.size(), mesh.points().size());
    for (size_t i = 0; i < mesh.points().size(); ++i) {
        const bool bottom = mesh.points()[i].z == 0.0;
        EXPECT_EQ(up_blocked[i] != 0, bottom) << i;
        EXPECT_EQ(down_blocked[i] != 0, !bottom) << i;
        EXPECT_EQ(nowhere[i], 0) << i;
    }
}

}  // namespace
