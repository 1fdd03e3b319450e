// The ray-triangle test behind every ray query: one triangle, one ray, both
// sides counting, edges and corners included.
#pragma once

#include <cmath>
#include <limits>
#include <optional>

#include "geometry/vec3.h"

namespace geom {

// Time of impact of the ray o + s*d (s >= 0, in units of d) on triangle
// (a, b, c), both sides counting, edges and corners included. A ray starting
// on the triangle's plane inside it hits at time 0. Empty when the triangle
// does not block the ray; never fails on non-finite input.
std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d);

// The same test, NaN when the triangle does not block. Forced inline: the
// caster runs it in its innermost loops, where a call passes all five
// vectors through memory. The order of operations is fixed: callers compare
// results bit for bit, and the caster's error bounds
// (geometry/query/ray_cast.cpp) are derived for exactly these operations.
[[gnu::always_inline]] inline double ray_triangle_toi_or_nan(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    constexpr double kNoHit = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kMax = std::numeric_limits<double>::max();
    const Vec3 ab = b - a, ac = c - a;
    const Vec3 n = cross(ab, ac);
    const double dn = dot(n, d);
    if (dn == 0.0) return kNoHit;
    const Vec3 ap = o - a;
    const double t = dot(ap, n);
    if ((t < 0.0 && dn < 0.0) || (t > 0.0 && dn > 0.0)) return kNoHit;
    const double D = std::fabs(dn);
    const Vec3 e = -cross(d, ap);
    double toi;
    if (dn > 0.0) {
        const double v = -dot(ac, e);
        if (v < 0.0 || v > D) return kNoHit;
        const double w = dot(ab, e);
        if (w < 0.0 || v + w > D) return kNoHit;
        toi = -t * (1.0 / D);
    } else {
        const double v = dot(ac, e);
        if (v < 0.0 || v > D) return kNoHit;
        const double w = -dot(ab, e);
        if (w < 0.0 || v + w > D) return kNoHit;
        toi = t * (1.0 / D);
    }
    return (toi <= kInf && toi < kMax) ? toi : kNoHit;
}

}  // namespace geom
