#include "geometry/query/ray_triangle.h"

namespace geom {

std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    const double toi = ray_triangle_toi_or_nan(a, b, c, o, d);
    if (std::isnan(toi)) return std::nullopt;
    return toi;
}

}  // namespace geom
