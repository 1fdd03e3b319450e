#include "geometry/triangulation/projection.h"

#include <algorithm>
#include <cmath>

#include "geometry/predicates/predicates.h"

namespace geom {

DropAxisProjection drop_axis_projection(Vec3 p0, Vec3 p1, Vec3 p2) {
    DropAxisProjection out;
    if (!is_finite(p0) || !is_finite(p1) || !is_finite(p2)) return out;
    Vec3 n = cross(p1 - p0, p2 - p0);
    if (!is_finite(n)) {
        // Overflow: the axis choice only needs magnitudes, so scale down.
        double m = 0.0;
        for (Vec3 p : {p0, p1, p2}) m = std::max({m, std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
        const int e = std::ilogb(m);
        n = cross(ldexp3(p1, -e) - ldexp3(p0, -e), ldexp3(p2, -e) - ldexp3(p0, -e));
    }
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    out.axis = (az >= ax && az >= ay) ? 2 : (ay >= ax ? 1 : 0);
    out.flipped = orient2d(out(p0), out(p1), out(p2)) < 0.0;
    return out;
}

}  // namespace geom
