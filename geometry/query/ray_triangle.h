// The ray-triangle test behind every ray query: one triangle, one ray, both
// sides counting, edges and corners included, decided exactly.
#pragma once

#include <cmath>
#include <optional>

#include "geometry/predicates/predicates.h"
#include "geometry/vec3.h"

namespace geom {

// Whether the ray o + s*d (s >= 0) meets the closed triangle (a, b, c): the
// exact answer for the input doubles, with no tolerance. Both sides count, a
// ray running in the triangle's plane never meets it (d . n == 0), and a ray
// starting on the triangle meets it at s = 0.
//
// Decided by the signs of the three edge functions d . (P x Q) over the
// corners relative to the origin (P = p - o), whose sum is d . n, and of the
// volume A . (B x C), which says on which side of the plane the origin is. A
// ray through an edge shared by two triangles gets the same edge function,
// negated, from both, so it meets at least one of them (watertight); a ray
// that misses by more than rounding never meets.
//
// Each sign is taken from plain floating point when a bound on its rounding
// proves it, else from the exact predicates (geometry/predicates), so every
// finite input is decided exactly; non-finite input never meets. `dsum` is
// |d.x| + |d.y| + |d.z|.
bool ray_meets_triangle_slow(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d);

[[gnu::always_inline]] inline bool ray_meets_triangle(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d, double dsum) {
    // Rounding bounds (Shewchuk's orient3d bound, with the permanent bounded
    // by the largest components): |E - d.(P x Q)| <= 2^-48 dsum |P| |Q| and
    // |V - A.(B x C)| <= 2^-46 |A| |B| |C| (max norms), plus 2^-1060 slack
    // per factor for underflowed products.
    constexpr double kTiny = 0x1p-1060;
    const Vec3 A = a - o, B = b - o, C = c - o;
    const double ma = max_abs3(A), mb = max_abs3(B), mc = max_abs3(C);
    // Large magnitudes could overflow a product and give a wrong sign; NaN
    // fails here too.
    if (!(ma + mb + mc <= 0x1p300 && dsum <= 0x1p100)) return ray_meets_triangle_slow(a, b, c, o, d);
    const double k = 0x1p-48 * dsum;
    const Vec3 bc = cross(B, C);
    const double e_bc = dot(d, bc), b_bc = k * mb * mc + kTiny * (1.0 + dsum);
    const Vec3 ca = cross(C, A);
    const double e_ca = dot(d, ca), b_ca = k * mc * ma + kTiny * (1.0 + dsum);
    const int s_bc = (e_bc > b_bc) - (e_bc < -b_bc), s_ca = (e_ca > b_ca) - (e_ca < -b_ca);
    if (s_bc * s_ca < 0) return false;
    const Vec3 ab = cross(A, B);
    const double e_ab = dot(d, ab), b_ab = k * ma * mb + kTiny * (1.0 + dsum);
    const int s_ab = (e_ab > b_ab) - (e_ab < -b_ab);
    if (s_ab * s_bc < 0 || s_ab * s_ca < 0) return false;
    const double v = dot(A, bc), b_v = 0x1p-46 * ma * mb * mc + kTiny * (1.0 + ma);
    const int s_v = (v > b_v) - (v < -b_v);
    if (s_ab != 0 && s_bc != 0 && s_ca != 0) {
        // All three agree: the ray's line crosses the triangle's interior,
        // and d . n has their sign. The crossing is at V / (d . n).
        if (s_v != 0) return s_v == s_ab;
        return ray_meets_triangle_slow(a, b, c, o, d);
    }
    // An edge function too close to call: the line passes near an edge or
    // corner, as rays from a vertex do near their own. Their sum d . n may
    // still prove that the plane lies behind the origin.
    const double dn = e_ab + e_bc + e_ca;
    const double b_dn = b_ab + b_bc + b_ca + 0x1p-51 * (std::fabs(e_ab) + std::fabs(e_bc) + std::fabs(e_ca));
    const int s_dn = (dn > b_dn) - (dn < -b_dn);
    if (s_dn != 0 && s_v != 0 && s_v != s_dn) return false;
    return ray_meets_triangle_slow(a, b, c, o, d);
}

// The same test with bounds that hold for every triangle the caller may
// pass: e_bound >= 2^-48 dsum R^2 and v_bound >= 2^-46 R^3 (plus the
// underflow slack above), R a bound on the max-norm distance from o to any
// corner, R <= 2^300. Most triangles are then decided without their own
// bounds; the rest go through ray_meets_triangle.
[[gnu::always_inline]] inline bool ray_meets_triangle(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d, double dsum,
                                                      double e_bound, double v_bound) {
    // The plane first, as the old test did: most triangles near a ray's
    // origin lie behind it. With |b - a|, |c - a| <= 2R, d . n is off by at
    // most 4 e_bound and A . n (= A . (B x C)) by 4 v_bound.
    const Vec3 A = a - o;
    const Vec3 n = cross(b - a, c - a);
    const double dn = dot(n, d), an = dot(A, n);
    if ((dn > 4.0 * e_bound && an < -4.0 * v_bound) || (dn < -4.0 * e_bound && an > 4.0 * v_bound)) return false;
    const Vec3 B = b - o, C = c - o;
    const Vec3 bc = cross(B, C);
    const double e_bc = dot(d, bc);
    const Vec3 ca = cross(C, A);
    const double e_ca = dot(d, ca);
    const int s_bc = (e_bc > e_bound) - (e_bc < -e_bound), s_ca = (e_ca > e_bound) - (e_ca < -e_bound);
    if (s_bc * s_ca < 0) return false;
    const double e_ab = dot(d, cross(A, B));
    const int s_ab = (e_ab > e_bound) - (e_ab < -e_bound);
    if (s_ab * s_bc < 0 || s_ab * s_ca < 0) return false;
    if (s_ab != 0 && s_bc != 0 && s_ca != 0) {
        const double v = dot(A, bc);
        if (v > v_bound) return s_ab > 0;
        if (v < -v_bound) return s_ab < 0;
    }
    return ray_meets_triangle(a, b, c, o, d, dsum);
}

// Time of impact of the ray o + s*d (s >= 0, in units of d) on triangle
// (a, b, c): empty exactly when ray_meets_triangle says it does not meet.
// The time is |(o - a).n| * (1 / |n.d|) with n = (b - a) x (c - a), in this
// order of operations; where that rounds to zero divisors or overflows
// although the ray meets, it is computed with the ray and triangle rescaled
// by powers of two, and is +inf beyond the double range.
std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d);

}  // namespace geom
