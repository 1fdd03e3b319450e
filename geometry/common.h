// Index conventions and the plain mesh value shared by the whole library.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "geometry/vec3.h"

namespace geom {

// "No index": the one sentinel for vertex, triangle, half-edge and slot ids.
inline constexpr uint32_t kNone = 0xffffffffu;

// Three vertex indices; counter-clockwise seen from outside for closed meshes.
using Triangle = std::array<uint32_t, 3>;

// Corners and edges of a triangle go round 0 -> 1 -> 2 -> 0; edge k runs
// from corner k to corner next_corner(k).
template <class I>
constexpr I next_corner(I k) {
    return static_cast<I>(k == 2 ? 0 : k + 1);
}
template <class I>
constexpr I prev_corner(I k) {
    return static_cast<I>(k == 0 ? 2 : k - 1);
}

// Points and the triangles over them, as plain lists.
struct MeshData {
    std::vector<Vec3> points;
    std::vector<Triangle> triangles;
};

}  // namespace geom
