// Bounding-volume hierarchy over the axis-aligned boxes of a triangle list.
// Flat node array; inner nodes keep their two children next to each other.
// The tree holds no query-specific data: ray casting builds what it needs on
// top of it (geometry/query/ray_cast.h).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "geometry/common.h"
#include "geometry/large_vector.h"
#include "geometry/vec3.h"

namespace geom {

struct BvhNode {
    Vec3 lo, hi;
    uint32_t first = 0;  // leaf: offset into items(); inner: left child, right child is first + 1
    uint32_t count = 0;  // leaf: number of triangles (> 0); inner: 0

    bool is_leaf() const { return count != 0; }
};

// Whether a build fits the nodes' boxes at once, or leaves them to
// fit_boxes: callers that fit boxes of their own from the tree's shape (the
// ray caster's tree for one direction) then never pay for them.
enum class BvhBoxes : uint8_t { Fit, Later };

class Bvh {
public:
    // Splits follow Morton order below this depth and halve the range beyond
    // it, so every path is shorter than kSahDepth + 33 nodes and traversals
    // can use a fixed stack of kStackSize.
    static constexpr int kSahDepth = 64;
    static constexpr int kStackSize = 128;
    // Up to 8 triangles a leaf: half the nodes that 4 would give, so less
    // memory to fill and walk for a few more exact tests per query; ray casts
    // and overlap walks on CAD meshes measured faster with it.
    static constexpr uint32_t kLeafSize = 8;

    // Indices must be valid (panics otherwise). Triangles with a non-finite
    // coordinate are not put in the tree but listed in unbounded().
    static Bvh build(std::span<const Vec3> points, std::span<const Triangle> triangles,
                     BvhBoxes boxes = BvhBoxes::Fit);
    // The nodes' boxes, for a tree built with BvhBoxes::Later (nothing once
    // fitted). Not safe to call from two threads at once.
    void fit_boxes(std::span<const Vec3> points, std::span<const Triangle> triangles);

    bool empty() const { return nodes_.empty(); }
    // Whether the nodes' lo and hi hold their boxes; until then they are
    // zero, and only the shape (first, count, items) is the tree's.
    bool fitted() const { return fitted_ || nodes_.empty(); }
    const LargeVector<BvhNode>& nodes() const { return nodes_; }
    const LargeVector<uint32_t>& items() const { return items_; }
    const std::vector<uint32_t>& unbounded() const { return unbounded_; }
    int depth() const { return depth_; }
    // Largest coordinate magnitude over the triangles in the tree.
    double max_abs() const { return max_abs_; }

private:
    static Bvh build_shape(std::span<const Vec3> points, std::span<const Triangle> triangles);

    LargeVector<BvhNode> nodes_;
    LargeVector<uint32_t> items_;
    std::vector<uint32_t> unbounded_;
    double max_abs_ = 0.0;
    int depth_ = 0;
    bool fitted_ = false;
};

enum class PairOrder : uint8_t { Sorted, Any };

// All pairs (triangle of A, triangle of B) from the two trees whose boxes,
// padded by a small relative margin, overlap, each once: sorted by (A index,
// B index), or in the order found (which depends on the threads) for callers
// that keep few of them and sort those. Triangles outside the trees
// (Bvh::unbounded) are not reported.
std::vector<std::pair<uint32_t, uint32_t>> overlapping_pairs(
    const Bvh& a, std::span<const Vec3> points_a, std::span<const Triangle> triangles_a,
    const Bvh& b, std::span<const Vec3> points_b, std::span<const Triangle> triangles_b,
    PairOrder order = PairOrder::Sorted);

}  // namespace geom
