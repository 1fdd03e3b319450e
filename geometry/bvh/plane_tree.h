// Hierarchy over the planes of triangles (unit normal up to sign, offset
// n.a), to find every triangle whose plane nearly holds a given line. Unlike
// Bvh it groups triangles by orientation and offset, not by position. The ray
// caster (geometry/query/ray_cast.cpp) walks it for rays that graze planes;
// the tolerances here are those of its ray-triangle test.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "geometry/common.h"
#include "geometry/vec3.h"

namespace geom {

struct PlaneNode {
    Vec3 ulo, uhi;                // box of the canonical unit normals
    double plo = 0.0, phi = 0.0;  // offsets u . (corner 0)
    double edge_max = 0.0;        // largest max(|b - a|, |c - a|)
    double inv_quality = 0.0;     // largest max(|b - a|, |c - a|) / |n|
    double aspect = 0.0;          // largest max(|b - a|, |c - a|)^2 / |n|
    uint32_t first = 0, count = 0;  // as BvhNode

    bool is_leaf() const { return count != 0; }
};

struct PlaneTree {
    // Median splits on the widest of (normal, scaled offset): depth stays
    // below 33 for 32-bit counts, so walks fit a fixed stack of this size.
    static constexpr int kStackSize = 128;

    std::vector<PlaneNode> nodes;  // root first; inner nodes' children next to each other
    std::vector<uint32_t> items;   // triangle indices

    bool empty() const { return nodes.empty(); }

    // Tree over the planes of `faces` (indices into `triangles`, in the order
    // given). Triangles with a zero normal never block a ray and are left out.
    static PlaneTree build(std::span<const Vec3> points, std::span<const Triangle> triangles,
                           std::span<const uint32_t> faces);

    // As build, keeping only the planes that may hold direction dhat (a unit
    // vector) for lines within r of the triangle's first corner.
    static PlaneTree build_holding(std::span<const Vec3> points,
                                   std::span<const Triangle> triangles,
                                   std::span<const uint32_t> faces, Vec3 dhat, double r);

    // Triangles of the tree whose plane may hold dhat, as for build_holding.
    std::vector<uint32_t> holding(Vec3 dhat, double r) const;
};

}  // namespace geom
