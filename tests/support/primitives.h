// Closed and open test shapes, consistently oriented (outward normals), for
// the C++ tests and benchmarks; not part of the library.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "geometry/common.h"
#include "geometry/vec3.h"

namespace geom {

// Axis-aligned box [lo, hi], 12 triangles.
MeshData make_box(Vec3 lo, Vec3 hi);
MeshData make_tetrahedron();
// Icosahedron with each face cut into m*m triangles (20*m*m in all), points
// pushed onto the unit sphere, then moved radially by `radius(direction)`
// when given. Shared points are computed once, so the mesh is closed.
MeshData make_sphere(uint32_t m, const std::function<double(Vec3)>& radius = {});
// Torus around z with major radius R, minor radius r, nu x nv quads.
MeshData make_torus(double R, double r, uint32_t nu, uint32_t nv);
// Open nx x ny grid of unit squares at height z, two triangles each.
MeshData make_grid(uint32_t nx, uint32_t ny, double z = 0.0);

}  // namespace geom
