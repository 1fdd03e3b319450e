#include "geometry/query/ray_triangle.h"

#include <algorithm>
#include <limits>

namespace geom {

bool ray_meets_triangle_slow(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    if (!is_finite(a) || !is_finite(b) || !is_finite(c) || !is_finite(o) || !is_finite(d)) return false;
    // Far from 1 in magnitude, the floating-point stage underflows or is
    // skipped; scaled near 1 by a power of two (where that is exact) it
    // decides again without the exact stage.
    const double big = std::max({max_abs3(a), max_abs3(b), max_abs3(c), max_abs3(o)});
    const double dbig = max_abs3(d);
    if ((big != 0.0 && (big < 0x1p-200 || big > 0x1p200)) || dbig < 0x1p-200 || dbig > 0x1p200) {
        int e = 0, ed = 0;
        std::frexp(big, &e);
        std::frexp(dbig, &ed);
        auto exact = [](Vec3 v, int k, Vec3& out) {
            out = ldexp3(v, k);
            return ldexp3(out, -k) == v;
        };
        Vec3 sa, sb, sc, so, sd;
        const int k = big != 0.0 ? -e : 0;
        if (exact(a, k, sa) && exact(b, k, sb) && exact(c, k, sc) && exact(o, k, so) && exact(d, -ed, sd) &&
            max_abs3(sd) >= 0.5) {
            const double dsum = std::fabs(sd.x) + std::fabs(sd.y) + std::fabs(sd.z);
            return ray_meets_triangle(sa, sb, sc, so, sd, dsum);
        }
    }
    const int s_ab = orient_direction(o, a, b, d);
    const int s_bc = orient_direction(o, b, c, d);
    const int s_ca = orient_direction(o, c, a, d);
    if (s_ab * s_bc < 0 || s_bc * s_ca < 0 || s_ab * s_ca < 0) return false;
    // Their sum is d . n: all zero means the ray runs parallel to the plane.
    const int s = s_ab != 0 ? s_ab : (s_bc != 0 ? s_bc : s_ca);
    if (s == 0) return false;
    // A . (B x C) = det[a - o; b - o; c - o] = -orient3d(a, b, c, o).
    const int v = -orient3d_sign(a, b, c, o);
    return v == 0 || v == s;
}

namespace {

// |(o - a).n| * (1 / |n.d|), NaN where a divisor rounds to zero.
double toi_formula(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    const Vec3 n = cross(b - a, c - a);
    const double dn = dot(n, d);
    const double t = dot(o - a, n);
    if (dn == 0.0) return std::numeric_limits<double>::quiet_NaN();
    return std::fabs(t) * (1.0 / std::fabs(dn));
}

}  // namespace

std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    const double dsum = std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z);
    if (!ray_meets_triangle(a, b, c, o, d, dsum)) return std::nullopt;
    const double toi = toi_formula(a, b, c, o, d);
    if (std::isfinite(toi)) return toi;
    // Rescaled: the points about the origin to near 1 (halved first, so that
    // no difference overflows), the direction to near 1; the time scales
    // with the points' factor over the direction's.
    const Vec3 A = a * 0.5 - o * 0.5, B = b * 0.5 - o * 0.5, C = c * 0.5 - o * 0.5;
    const double m = std::max({max_abs3(A), max_abs3(B), max_abs3(C)});
    if (m == 0.0) return 0.0;
    int ep = 0, ed = 0;
    std::frexp(m, &ep);
    std::frexp(max_abs3(d), &ed);
    const double t = toi_formula(ldexp3(A, -ep), ldexp3(B, -ep), ldexp3(C, -ep), Vec3{}, ldexp3(d, -ed));
    if (std::isnan(t)) return std::numeric_limits<double>::infinity();
    return std::ldexp(t, ep + 1 - ed);
}

}  // namespace geom
