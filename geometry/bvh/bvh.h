// Bounding-volume hierarchy over the axis-aligned boxes of a triangle list.
// Flat node array; inner nodes keep their two children next to each other.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "geometry/vec3.h"

namespace geom {

struct BvhNode {
    Vec3 lo, hi;
    uint32_t first = 0;  // leaf: offset into items(); inner: left child, right child is first + 1
    uint32_t count = 0;  // leaf: number of triangles (> 0); inner: 0

    bool is_leaf() const { return count != 0; }
};

// Hierarchy over the planes of triangles (unit normal up to sign, offset
// n.a), used to find every triangle whose plane nearly holds a given line.
struct PlaneNode {
    Vec3 ulo, uhi;              // box of the canonical unit normals
    double plo = 0.0, phi = 0.0;  // offsets u . (corner 0)
    double edge_max = 0.0;      // largest max(|b - a|, |c - a|)
    double inv_quality = 0.0;   // largest max(|b - a|, |c - a|) / |n|
    double aspect = 0.0;        // largest max(|b - a|, |c - a|)^2 / |n|
    uint32_t first = 0, count = 0;  // as BvhNode

    bool is_leaf() const { return count != 0; }
};

struct PlaneTree {
    std::vector<PlaneNode> nodes;
    std::vector<uint32_t> items;
};

// Plane tree over the given triangles (those with a zero normal are left out).
PlaneTree build_plane_tree(std::span<const Vec3> points, std::span<const std::array<uint32_t, 3>> triangles,
                           std::span<const uint32_t> subset);

class Bvh {
public:
    // Median splits take over below this depth, so every path is shorter than
    // kSahDepth + 33 nodes and traversals can use a fixed stack of kStackSize.
    static constexpr int kSahDepth = 64;
    static constexpr int kStackSize = 128;

    // Indices must be valid (panics otherwise). Triangles with a non-finite
    // coordinate are not put in the tree but listed in unbounded().
    static Bvh build(std::span<const Vec3> points, std::span<const std::array<uint32_t, 3>> triangles);

    bool empty() const { return nodes_.empty(); }
    const std::vector<BvhNode>& nodes() const { return nodes_; }
    const std::vector<uint32_t>& items() const { return items_; }
    const std::vector<uint32_t>& unbounded() const { return unbounded_; }
    int depth() const { return depth_; }
    // Distinct for every tree built in this process (keys per-thread caches).
    uint64_t id() const { return id_; }
    // Largest coordinate magnitude over the triangles in the tree.
    double max_abs() const { return max_abs_; }

    // Ray casting support. Triangles whose ray test could underflow or
    // overflow (normal below 2^-400, or a coordinate above 2^300) or whose
    // normal is ill-conditioned (|n| < 2^-20 max(|b-a|, |c-a|)^2, nonzero)
    // stay in the tree but are also listed here so that queries test them
    // directly; the scale is the largest coordinate magnitude over the other
    // tree triangles.
    const std::vector<uint32_t>& ray_fragile() const { return ray_fragile_; }
    // Per node: largest max(|b - a|, |c - a|) over its triangles that can
    // block a ray (non-zero normal, not fragile); 0 when there are none.
    const std::vector<double>& ray_edge_max() const { return ray_edge_max_; }
    // Built on first use, thread-safe; covers the same triangles.
    const PlaneTree& plane_tree(std::span<const Vec3> points,
                                std::span<const std::array<uint32_t, 3>> triangles) const;
    double ray_scale() const { return ray_scale_; }

private:
    void build_ray_edge_max(std::span<const Vec3> points, std::span<const std::array<uint32_t, 3>> triangles);
    struct LazyPlanes;

    std::vector<BvhNode> nodes_;
    std::vector<uint32_t> items_;
    std::vector<uint32_t> unbounded_;
    std::vector<uint32_t> ray_fragile_;
    std::vector<double> ray_edge_max_;  // parallel to nodes_
    std::shared_ptr<LazyPlanes> planes_;
    double max_abs_ = 0.0;
    double ray_scale_ = 0.0;
    int depth_ = 0;
    uint64_t id_ = 0;
};

// All pairs (triangle of A, triangle of B) from the two trees whose boxes,
// padded by a small relative margin, overlap. Sorted by (A index, B index).
// Triangles outside the trees (Bvh::unbounded) are not reported.
std::vector<std::pair<uint32_t, uint32_t>> overlapping_pairs(
    const Bvh& a, std::span<const Vec3> points_a, std::span<const std::array<uint32_t, 3>> triangles_a,
    const Bvh& b, std::span<const Vec3> points_b, std::span<const std::array<uint32_t, 3>> triangles_b);

}  // namespace geom
