// Angles of normals to a pull direction.
#pragma once

#include <cmath>
#include <cstddef>

#include "geometry/parallel.h"
#include "geometry/pipeline.h"
#include "geometry/strided.h"
#include "geometry/vec3.h"

namespace geom::draft {

inline constexpr double kDegreesPerRadian = 57.29577951308232;

// Product of a normal with the reference: accumulated x, then y, then z, each
// step rounded (no fused multiply-add).
inline double dot_in_order(Vec3 n, Vec3 ref) {
    double c = n.x * ref.x;
    c = c + n.y * ref.y;
    c = c + n.z * ref.z;
    return c;
}

// Angle of a normal to `ref`, in radians or degrees, with the library acos.
// No clamping: products outside [-1, 1] give NaN.
inline double angle_to(Vec3 n, Vec3 ref, bool degrees) {
    const double angle = std::acos(dot_in_order(n, ref));
    return degrees ? angle * kDegreesPerRadian : angle;
}

// emit(i, angle) for every normal, in order, on this thread. For many normals
// a helper thread computes stretches of angles too (the library acos, needed
// for bit-exact angles, is most of the cost), so that whatever emit builds
// overlaps their computation.
template <class Emit>
void _normals2angles(const StridedVec3View& normals, Vec3 ref, bool degrees, Emit&& emit) {
    const std::size_t n = normals.size();
    if (n < kAnglesHelperFrom || !have_second_processor()) {
        normals.for_each([&](std::size_t i, Vec3 v) { emit(i, angle_to(v, ref, degrees)); });
        return;
    }
    ordered_pipeline<double>(
        n, true,
        [&](std::size_t begin, std::size_t end, double* out) {
            const std::ptrdiff_t rs = normals.row_stride(), cs = normals.col_stride();
            const char* row = normals.row(begin);
            for (std::size_t i = begin; i < end; ++i, row += rs)
                out[i - begin] = angle_to(StridedVec3View::load(row, cs), ref, degrees);
        },
        [&](std::size_t begin, std::size_t end, const double* angles) {
            for (std::size_t i = begin; i < end; ++i) emit(i, angles[i - begin]);
        });
}

}  // namespace geom::draft
