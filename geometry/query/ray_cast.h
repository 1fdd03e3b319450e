// Any-hit ray casting against a triangle mesh.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom {

// Whether any triangle of the mesh meets the ray, by testing every one with
// ray_meets_triangle (geometry/query/ray_triangle.h).
bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d);

// Any-hit queries against one mesh, with the same answer as
// ray_blocked_brute_force for every ray: the triangle test is exact, and the
// boxes of the mesh's tree hold their triangles exactly, so a slab test whose
// far time is widened by its rounding (2^-50 relative, 2^-1070 absolute)
// never skips a triangle that the ray meets. The mesh must outlive the caster.
//
// The ray's direction is first scaled by a power of two to a largest
// component in [1, 2) where that is exact (it does not change which
// triangles the ray meets), so tiny and huge directions cost what unit ones
// do. Rays from a non-finite origin, with a non-finite or zero direction,
// never meet anything.
class RayCaster {
public:
    explicit RayCaster(const TriMesh& mesh);
    ~RayCaster();
    RayCaster(RayCaster&&) noexcept;
    RayCaster& operator=(RayCaster&&) noexcept;

    // One ray, any direction, through the mesh's own tree. Not thread-safe.
    bool blocked(Vec3 o, Vec3 d);

    // One ray per point, all along d, from point + offset (the caller's
    // offset, added component-wise); the answers are those of blocked().
    // Triangles parallel to d (exactly: d . n == 0) can never be met by these
    // rays, so they are left out of a tree built for d, whose boxes hold only
    // the others: rays along walls, in the plane of a flat sheet or along a
    // long bar do not visit the triangles they run beside. The rays are cast
    // on every available processor; the result does not depend on it. Each
    // ray's search starts in the part of the tree where the ray before it was
    // blocked, so points in an order that keeps neighbours close (a mesh's
    // vertices, usually) cost least.
    std::vector<uint8_t> blocked_from(std::span<const Vec3> points, Vec3 offset, Vec3 d);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace geom
