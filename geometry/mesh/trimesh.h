// Indexed triangle mesh: the points and triangles exactly as handed in, a
// bounding-volume hierarchy over the triangles (its boxes fitted on
// request), and on request the half-edge topology and the pseudo-normals
// used for inside tests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "geometry/bvh/bvh.h"
#include "geometry/common.h"
#include "geometry/vec3.h"

namespace geom {

// Half-edge h = 3*f + k runs from corner k to corner (k+1)%3 of triangle f.
struct HalfEdgeTopology {
    static constexpr uint32_t kNone = geom::kNone;

    std::vector<uint32_t> twin;           // per half-edge, kNone on a boundary
    std::vector<uint32_t> edge;           // per half-edge: undirected edge id
    std::vector<uint32_t> edge_halfedge;  // per edge: its lower half-edge
};

// What the pseudo-normals are computed from; the buffers keep their
// addresses when the mesh is moved.
struct PseudoNormalSource {
    const Vec3* points = nullptr;
    const Triangle* triangles = nullptr;
    const HalfEdgeTopology* topology = nullptr;
    const uint32_t* corner_offset = nullptr;  // per point, into corners
    const uint32_t* corners = nullptr;        // half-edges leaving each point, ascending
    size_t n_points = 0;
};

// Pseudo-normals, each computed when read (inside tests ask for a few).
// vertex[v]: angle-weighted sum of the unit normals of the faces around point
// v; edge[e]: sum of the unit normals of the faces beside edge e. Sums run in
// triangle order; zero-area or non-finite faces add nothing.
struct PseudoNormals {
    struct Vertices {
        const PseudoNormalSource* src = nullptr;
        Vec3 operator[](size_t v) const;
        size_t size() const;
    };
    struct Edges {
        const PseudoNormalSource* src = nullptr;
        Vec3 operator[](size_t e) const;
        size_t size() const;
    };
    Vertices vertex;
    Edges edge;
};

class TriMesh {
public:
    TriMesh() = default;
    TriMesh(TriMesh&&) noexcept = default;
    TriMesh& operator=(TriMesh&&) noexcept = default;

    // Validates indices and orientation (panics on failure) and builds the hierarchy.
    static TriMesh build(std::vector<Vec3>&& points, std::vector<Triangle>&& triangles);

    const std::vector<Vec3>& points() const { return points_; }
    const std::vector<Triangle>& triangles() const { return triangles_; }
    // The hierarchy; its boxes are fitted on first use (thread-safe).
    const Bvh& bvh() const;
    // The hierarchy's shape (nodes' first and count, items, unbounded,
    // max_abs) whether or not its boxes are fitted yet, for callers that fit
    // boxes of their own: read no box from it (another thread may be fitting
    // them).
    const Bvh& bvh_shape() const { return bvh_; }
    void fit_bvh() const { (void)bvh(); }

    // Hands the buffers back; the mesh is left empty.
    MeshData release() &&;

    // Lazily computed, thread-safe on first use. The pseudo-normals need the
    // topology and a table of the corners at each point.
    const HalfEdgeTopology& topology() const;
    const PseudoNormals& pseudo_normals() const;
    void compute_topology() const { (void)topology(); }
    void compute_pseudo_normals() const { (void)pseudo_normals(); }

    static uint32_t triangle_of(uint32_t h) { return h / 3; }
    static uint32_t next(uint32_t h) { return h - h % 3 + next_corner(h % 3); }
    static uint32_t prev(uint32_t h) { return h - h % 3 + prev_corner(h % 3); }
    uint32_t origin(uint32_t h) const { return triangles_[h / 3][h % 3]; }
    uint32_t target(uint32_t h) const { return triangles_[h / 3][next_corner(h % 3)]; }
    uint32_t twin(uint32_t h) const { return topology().twin[h]; }
    uint32_t edge_id(uint32_t h) const { return topology().edge[h]; }
    uint32_t edge_count() const { return static_cast<uint32_t>(topology().edge_halfedge.size()); }

private:
    struct Lazy {
        std::once_flag topology_once, normals_once, boxes_once;
        // Set once the matching member is built: the common case skips call_once.
        std::atomic<bool> topology_ready{false}, normals_ready{false}, boxes_ready{false};
        HalfEdgeTopology topology;
        PseudoNormals normals;
        PseudoNormalSource source;
        std::vector<uint32_t> corner_offset, corners;
    };

    std::vector<Vec3> points_;
    std::vector<Triangle> triangles_;
    // Its boxes are written once, under Lazy::boxes_once, by bvh().
    mutable Bvh bvh_;
    std::unique_ptr<Lazy> lazy_;
};

// Checks a mesh the way TriMesh::build does, without taking ownership.
void validate_mesh(const std::vector<Vec3>& points, const std::vector<Triangle>& triangles);

}  // namespace geom
