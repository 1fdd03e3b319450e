// Orientation and in-circle tests whose sign is exact for every finite input.
//
// Each test first evaluates the determinant in plain floating point and
// returns it when an a-priori error bound proves its sign (Shewchuk 1997,
// "Adaptive Precision Floating-Point Arithmetic and Fast Robust Geometric
// Predicates"). Otherwise it refines adaptively with floating-point expansion
// arithmetic and, if need be, evaluates the determinant exactly.
//
// Range: expansion arithmetic is exact only while no product overflows or
// underflows. The fast filter is therefore used only when every coordinate is
// zero or has a binary exponent in [-kSafeExponent, kSafeExponent]. Inputs
// outside that band are rescaled by a power of two (exact; the sign is
// invariant because both determinants are homogeneous in the coordinates)
// when their exponents span at most 2 * kSafeExponent; wider spans, e.g.
// 1e300 next to 1e-300, are evaluated with BigFloat. So every finite input
// gets the exact sign; the magnitude of the result is only an approximation
// of the determinant, and of the rescaled determinant in the rescaled case.
//
// Non-finite input gives NaN.
#pragma once

#include <cmath>

#include "geometry/vec2.h"

namespace geom {

namespace predicates_detail {

inline constexpr int kSafeExponent = 200;
inline constexpr double kSafeMax = 0x1p201;  // exclusive
inline constexpr double kSafeMin = 0x1p-200;

inline constexpr double kEps = 0x1p-53;
inline constexpr double kCcwErrA = (3.0 + 16.0 * kEps) * kEps;
inline constexpr double kIccErrA = (10.0 + 96.0 * kEps) * kEps;

inline bool in_safe_range(double v) {
    const double m = std::fabs(v);
    return (m >= kSafeMin && m < kSafeMax) || v == 0.0;
}

double orient2d_slow(Vec2 a, Vec2 b, Vec2 c);
double incircle_slow(Vec2 a, Vec2 b, Vec2 c, Vec2 d);

}  // namespace predicates_detail

// Positive if a, b, c are in counter-clockwise order, negative if clockwise,
// zero if collinear. Twice the signed area of the triangle.
inline double orient2d(Vec2 a, Vec2 b, Vec2 c) {
    using namespace predicates_detail;
    const double acx = a.x - c.x, bcx = b.x - c.x;
    const double acy = a.y - c.y, bcy = b.y - c.y;
    const double left = acx * bcy;
    const double right = acy * bcx;
    const double det = left - right;
    const double errbound = kCcwErrA * (std::fabs(left) + std::fabs(right));
    if ((det > errbound || -det > errbound) && in_safe_range(a.x) && in_safe_range(a.y) &&
        in_safe_range(b.x) && in_safe_range(b.y) && in_safe_range(c.x) && in_safe_range(c.y)) {
        return det;
    }
    return orient2d_slow(a, b, c);
}

// Positive if d lies inside the circle through a, b, c when these are in
// counter-clockwise order (negative if outside), zero if cocircular. The sign
// flips when a, b, c are clockwise.
inline double incircle(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    using namespace predicates_detail;
    const double adx = a.x - d.x, bdx = b.x - d.x, cdx = c.x - d.x;
    const double ady = a.y - d.y, bdy = b.y - d.y, cdy = c.y - d.y;
    const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
    const double cdxady = cdx * ady, adxcdy = adx * cdy;
    const double adxbdy = adx * bdy, bdxady = bdx * ady;
    const double alift = adx * adx + ady * ady;
    const double blift = bdx * bdx + bdy * bdy;
    const double clift = cdx * cdx + cdy * cdy;
    const double det = alift * (bdxcdy - cdxbdy) + blift * (cdxady - adxcdy) + clift * (adxbdy - bdxady);
    const double permanent = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * alift +
                             (std::fabs(cdxady) + std::fabs(adxcdy)) * blift +
                             (std::fabs(adxbdy) + std::fabs(bdxady)) * clift;
    const double errbound = kIccErrA * permanent;
    if ((det > errbound || -det > errbound) && in_safe_range(a.x) && in_safe_range(a.y) &&
        in_safe_range(b.x) && in_safe_range(b.y) && in_safe_range(c.x) && in_safe_range(c.y) &&
        in_safe_range(d.x) && in_safe_range(d.y)) {
        return det;
    }
    return incircle_slow(a, b, c, d);
}

}  // namespace geom
