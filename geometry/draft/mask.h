// The draft mask: which normals make an angle below a value with a pull
// direction, answered as the library acos would without calling it for most.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/strided.h"
#include "geometry/vec3.h"

namespace geom::draft {

// The least c in [-1, 1] with acos(c) < value for the library acos, found by
// bisection: -1 when every c in [-1, 1] qualifies, +infinity when none does
// (value not above acos(1), or NaN).
double acos_threshold(double value);

// For each normal, acos(n . ref) < value, with n . ref as dot_in_order gives
// it; `invert` takes -ref instead. Products outside [-1, 1] give false.
std::vector<uint8_t> _draft_mask(const StridedVec3View& normals, Vec3 ref, double value, bool invert);

}  // namespace geom::draft
