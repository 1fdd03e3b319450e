// Orientation and in-circle tests whose sign is exact for every finite input.
//
// Each test first evaluates the determinant in plain floating point and
// returns it when an a-priori error bound proves its sign (Shewchuk 1997,
// "Adaptive Precision Floating-Point Arithmetic and Fast Robust Geometric
// Predicates"). Otherwise it refines adaptively with floating-point expansion
// arithmetic and, if need be, evaluates the determinant exactly.
//
// Range: the error bounds assume no overflow and no underflow. The fast
// filter stays valid anyway: overflow yields inf or NaN, which fails the
// comparison, and underflow only adds absolute errors of at most 2^-1075 per
// product (times the size of the factor it multiplies), which a small
// absolute margin in the bound covers. The adaptive and exact stages are
// error-free only while every coordinate is zero or has a binary exponent in
// [-kSafeExponent, kSafeExponent]; inputs outside that band are rescaled by a
// power of two (exact, and the sign is invariant because both determinants
// are homogeneous in the coordinates) when their exponents span at most
// 2 * kSafeExponent, and wider spans, e.g. 1e300 next to 1e-300, are
// evaluated with BigFloat. So every finite input gets the exact sign; the
// magnitude of the result approximates the determinant only when no rescaling
// was needed.
//
// Non-finite input gives NaN.
#pragma once

#include <cmath>

#include "geometry/vec2.h"
#include "geometry/vec3.h"

namespace geom {

namespace predicates_detail {

inline constexpr int kSafeExponent = 200;

inline constexpr double kEps = 0x1p-53;
inline constexpr double kCcwErrA = (3.0 + 16.0 * kEps) * kEps;
inline constexpr double kIccErrA = (10.0 + 96.0 * kEps) * kEps;

// Absolute slack for products that underflowed; kept a normal number, since
// subnormal arithmetic is slow.
inline constexpr double kUnderflowMargin = 0x1p-1000;

inline constexpr double kO3dErrA = (7.0 + 56.0 * kEps) * kEps;

double orient2d_slow(Vec2 a, Vec2 b, Vec2 c);
double orient3d_slow(Vec3 a, Vec3 b, Vec3 c, Vec3 d);
double incircle_slow(Vec2 a, Vec2 b, Vec2 c, Vec2 d);
// The exact sign (-1, 0, 1) of d . ((p - o) x (q - o)); 0 for non-finite input.
int orient_direction_slow(Vec3 o, Vec3 p, Vec3 q, Vec3 d);

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
    const double errbound = kCcwErrA * (std::fabs(left) + std::fabs(right)) + kUnderflowMargin;
    if (det > errbound || -det > errbound) return det;
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
    const double sa = std::fabs(bdxcdy) + std::fabs(cdxbdy);
    const double sb = std::fabs(cdxady) + std::fabs(adxcdy);
    const double sc = std::fabs(adxbdy) + std::fabs(bdxady);
    const double permanent = sa * alift + sb * blift + sc * clift;
    // An underflowed degree-2 term is multiplied by another degree-2 term.
    const double degree2 = 1.0 + alift + blift + clift + sa + sb + sc;
    const double errbound = kIccErrA * permanent + kUnderflowMargin * degree2;
    if (det > errbound || -det > errbound) return det;
    return incircle_slow(a, b, c, d);
}

// Positive if d lies on the side of the plane through a, b, c that the
// normal (b - a) x (c - a) points to, negative on the other side, zero if the
// four points are coplanar. Six times the signed volume of the tetrahedron.
inline double orient3d(Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
    using namespace predicates_detail;
    const double adx = a.x - d.x, bdx = b.x - d.x, cdx = c.x - d.x;
    const double ady = a.y - d.y, bdy = b.y - d.y, cdy = c.y - d.y;
    const double adz = a.z - d.z, bdz = b.z - d.z, cdz = c.z - d.z;
    const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
    const double cdxady = cdx * ady, adxcdy = adx * cdy;
    const double adxbdy = adx * bdy, bdxady = bdx * ady;
    // det[a - d; b - d; c - d] is the negated volume of (a, b, c, d).
    const double det = adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
    const double sa = std::fabs(bdxcdy) + std::fabs(cdxbdy);
    const double sb = std::fabs(cdxady) + std::fabs(adxcdy);
    const double sc = std::fabs(adxbdy) + std::fabs(bdxady);
    const double permanent = sa * std::fabs(adz) + sb * std::fabs(bdz) + sc * std::fabs(cdz);
    const double degree1 = 1.0 + std::fabs(adz) + std::fabs(bdz) + std::fabs(cdz) + sa + sb + sc;
    const double errbound = kO3dErrA * permanent + kUnderflowMargin * degree1;
    if (det > errbound || -det > errbound) return -det;
    return orient3d_slow(a, b, c, d);
}

// The sign of d . ((p - o) x (q - o)), exact for every finite input: the
// side of the plane through o, p and q that the direction d points to (the
// side the normal (p - o) x (q - o) points to is positive). Zero when d lies
// in that plane or the three points are collinear, and for non-finite input.
// Homogeneous of degree 2 in the points (after translation) and 1 in d, so
// the exact stage rescales each by a power of two like the tests above.
inline int orient_direction(Vec3 o, Vec3 p, Vec3 q, Vec3 d) {
    using namespace predicates_detail;
    const Vec3 po = p - o, qo = q - o;
    const double xy = po.x * qo.y, yx = po.y * qo.x;
    const double yz = po.y * qo.z, zy = po.z * qo.y;
    const double zx = po.z * qo.x, xz = po.x * qo.z;
    const double det = d.x * (yz - zy) + d.y * (zx - xz) + d.z * (xy - yx);
    const double permanent = std::fabs(d.x) * (std::fabs(yz) + std::fabs(zy)) +
                             std::fabs(d.y) * (std::fabs(zx) + std::fabs(xz)) +
                             std::fabs(d.z) * (std::fabs(xy) + std::fabs(yx));
    const double degree1 = 1.0 + std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z);
    const double errbound = kO3dErrA * permanent + kUnderflowMargin * degree1;
    if (det > errbound) return 1;
    if (-det > errbound) return -1;
    return orient_direction_slow(o, p, q, d);
}

// -1, 0 or 1; 0 for NaN.
inline int sign(double v) { return (v > 0.0) - (v < 0.0); }

// An exact decision as a type: which side, or on it.
enum class Sign : int8_t { Negative = -1, Zero = 0, Positive = 1 };

// Zero for NaN, like sign().
constexpr Sign sign_of(double v) { return v > 0.0 ? Sign::Positive : (v < 0.0 ? Sign::Negative : Sign::Zero); }
constexpr Sign operator*(Sign a, Sign b) {
    return static_cast<Sign>(static_cast<int>(a) * static_cast<int>(b));
}

// The sign of orient3d; 0 for non-finite input.
inline int orient3d_sign(Vec3 a, Vec3 b, Vec3 c, Vec3 d) { return sign(orient3d(a, b, c, d)); }

// The sign of orient2d(p, q, r) for the exact point p = a + t (b - a), which
// doubles need not hold: orient2d is affine in p, so this is the sign of
// O(a) + t (O(b) - O(a)), evaluated in expansions without rounding (or in
// BigFloat outside the safe exponent band). 0 for non-finite input.
int orient2d_on_segment(Vec2 a, Vec2 b, double t, Vec2 q, Vec2 r);

}  // namespace geom
