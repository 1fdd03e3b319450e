// Any-hit ray casting against a triangle mesh.
#pragma once

#include <optional>

#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom {

// Time of impact of the ray o + s*d (s >= 0, in units of d) on triangle
// (a, b, c), both sides counting, edges and corners included. A ray starting
// on the triangle's plane inside it hits at time 0. Empty when the triangle
// does not block the ray; never fails on non-finite input.
std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d);
bool ray_triangle_blocks(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d);

// Whether any triangle of the mesh blocks the ray; stops at the first one.
// Same answer as ray_blocked_brute_force for every ray: a first pass over the
// spatial tree (boxes padded for the test's rounding) finds every hit of a
// ray that crosses the triangle's plane at a clear angle; when it finds none,
// a second pass over a tree of planes (built on first need) tests every
// triangle whose plane nearly holds the ray, where rounding alone decides.
// A direction used by two calls in a row gets its planes cached per thread.
// Rays with a non-finite or very small (below 2^-500) direction, and rays
// whose magnitudes against the mesh could overflow the triangle test, are
// checked against every triangle.
bool ray_blocked(const TriMesh& mesh, Vec3 o, Vec3 d);
bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d);

}  // namespace geom
