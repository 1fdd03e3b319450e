// Any-hit ray casting against a triangle mesh.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom {

// Whether any triangle of the mesh blocks the ray, by testing every one with
// ray_triangle_toi (geometry/query/ray_triangle.h).
bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d);

// Any-hit queries against one mesh, with the same answer as
// ray_blocked_brute_force for every ray. The caster owns everything it
// builds (padded boxes, a tree of planes from geometry/bvh/plane_tree.h, the
// triangles along one direction); nothing outlives it, so a caller keeps one
// for the rays of one request. The mesh must outlive the caster. Not
// thread-safe.
//
// A first pass over the spatial tree (boxes padded for the test's rounding)
// finds every hit of a ray that crosses the triangle's plane at a clear
// angle; when it finds none, a second pass tests every triangle whose plane
// nearly holds the ray, where rounding alone decides. That pass runs over
// the triangles collected for the ray's direction when the direction
// repeats, else over a tree of all planes, built on first need.
//
// Answered without a search: rays from a non-finite origin or with a NaN in
// the direction (never blocked; a zero direction only meets the fragile
// triangles below). Triangles with a non-finite corner never block and are
// left out.
//
// Checked against every triangle instead: rays with an infinite direction
// component, and rays whose magnitudes could make the test overflow or
// underflow enough to matter: |d| below 2^-900 (|o| + mesh size), or below
// 2^-1003 / min(M, M^2) with M the shortest longest-edge of the mesh.
// Triangles whose own test may underflow or overflow for any ray (normal
// below 2^-400, coordinate above 2^300, or a sliver with |n| < 2^-20 of its
// squared edge) are tested with every ray, so a mesh made only of those
// (say, one scaled below 1e-60) costs a pass over the mesh per ray.
class RayCaster {
public:
    explicit RayCaster(const TriMesh& mesh);
    ~RayCaster();
    RayCaster(RayCaster&&) noexcept;
    RayCaster& operator=(RayCaster&&) noexcept;

    bool blocked(Vec3 o, Vec3 d);

    // One ray per point, all along d, from point + offset (the caller's
    // offset, added component-wise). The answers are those of blocked().
    std::vector<uint8_t> blocked_from(std::span<const Vec3> points, Vec3 offset, Vec3 d);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace geom
