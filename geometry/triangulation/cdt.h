// Constrained Delaunay triangulation of one triangle, built online: start from
// the three corners, insert points (interior or on a boundary edge) and
// constraint segments between inserted points. Used to cut a mesh triangle
// along its intersection segments with another mesh.
//
// Geometry. A point that belongs on boundary edge k (because the caller says
// so, or because its coordinates put it outside that edge) but whose
// coordinates are not exactly on the edge is not kept at them: it is placed
// exactly on the edge, at corner_k + t * (corner_{k+1} - corner_k) for a
// double t in (0, 1). The triangulated region is therefore always exactly the
// corner triangle, the boundary stays straight, and points a few ulps off an
// edge cannot fold faces over. All other points keep their coordinates.
// Every orientation and in-circle decision is exact with respect to these
// positions (plain predicates, or a midpoint-radius filter and then BigFloat for
// placed points), so the usual proofs of termination and validity of Lawson
// flips and of cavity retriangulation apply unchanged.
//
// Constraints are recovered by replacing the faces the segment crosses with
// the constrained Delaunay triangulations of the two pseudo-polygons on
// either side (Anglada). When the segment passes around a vertex whose whole
// star it crosses, those faces do not form two simple polygons; then the
// crossing edges are flipped away instead (Sloan) and Lawson flips restore
// the Delaunay property.
//
// Magnitudes. Any finite coordinate is accepted; the predicates handle
// overflow and underflow themselves (see predicates.h), extreme magnitudes
// just take slower exact paths.
//
// Cost. Point location walks from the nearer of the last inserted vertex and
// the vertex stored in a coarse grid cell, so consecutive nearby points and
// uniformly spread ones both locate in near-constant time. Insertion order is
// the caller's (the build is online), so the usual expected bounds of
// randomised incremental construction do not apply to adversarial orders.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <memory>
#include <vector>

#include "geometry/common.h"
#include "geometry/feature.h"
#include "geometry/pair_map.h"
#include "geometry/panic.h"
#include "geometry/predicates/predicates.h"
#include "geometry/predicates/bigfloat.h"
#include "geometry/predicates/ball.h"
#include "geometry/vec2.h"

namespace geom {

// Opaque identity of an inserted point, chosen by the caller.
struct PointKey {
    uint64_t a = 0, b = 0;
    friend bool operator==(PointKey, PointKey) = default;
};

// Edge k runs from corner k to corner k + 1 (mod 3).
enum class OnEdge : int8_t { None = -1, E0 = 0, E1 = 1, E2 = 2 };

class TriangleCdt {
public:
    static constexpr uint32_t kNone = geom::kNone;

    // Corners get vertex ids 0, 1, 2. Collinear corners give a degenerate
    // triangulation: points are still recorded, but there are no faces and no
    // constraint is accepted. NaN or infinite coordinates panic.
    TriangleCdt(Vec2 c0, Vec2 c1, Vec2 c2);

    // Inserts p and returns its vertex id. A key seen before returns the
    // vertex it got then; a new key at coordinates seen before returns that
    // vertex (an alias). `edge` says p lies on that boundary edge; it is then
    // placed exactly on it. Without `edge`, a point on or outside the boundary
    // is moved onto the nearest boundary edge, or merged into a corner. A
    // point placed at a position already taken returns that vertex.
    uint32_t insert(Vec2 p, PointKey key, OnEdge edge = OnEdge::None);

    // Records `key` as another name of corner `corner` (0..2); inserts nothing.
    uint32_t insert_corner(int corner, PointKey key);

    // Makes segment a-b a constraint edge, split at every vertex it passes
    // through. Returns false, changing nothing, when it would properly cross
    // an existing constraint (or the triangulation is degenerate). A segment
    // already present or of zero length is accepted as it is. Ids must be
    // below num_vertices().
    bool add_constraint(uint32_t a, uint32_t b);

    // Faces as vertex triples with the orientation of (c0, c1, c2), each
    // rotated to start at its smallest id, sorted.
    std::vector<Triangle> faces() const;
    // The same faces, and for each its edges k (corner k to k + 1 as listed):
    // the index of the face across (kNone on the boundary) and, in bit k of
    // `fixed`, whether the edge is a constraint or on the boundary.
    struct Links {
        std::array<uint32_t, 3> across;
        uint8_t fixed;
    };
    std::vector<Triangle> faces(std::vector<Links>& links) const;
    size_t num_faces() const { return degenerate_ ? 0 : tris_.size(); }

    // Position of the vertex: exact, or for a point placed on an edge its
    // position rounded to doubles (see vertex_is_placed).
    Vec2 vertex(uint32_t id) const;
    size_t num_vertices() const { return verts_.size(); }
    bool degenerate() const { return degenerate_; }

    // Boundary edge a vertex lies on (None for corners and interior points).
    OnEdge vertex_edge(uint32_t id) const;
    // Whether the vertex was placed on its edge at parameter vertex_param
    // rather than kept at its coordinates.
    bool vertex_is_placed(uint32_t id) const;
    double vertex_param(uint32_t id) const;  // meaningful for placed vertices

    // Whether a-b is an edge that is a constraint or lies on the boundary.
    bool is_constrained(uint32_t a, uint32_t b) const;

private:
    // Where the members live:
    //   cdt.cpp            constructor, pos_key, next_random, faces(),
    //                      the vertex accessors and is_constrained
    //   cdt_predicates.cpp orient, incircle and their exact paths
    //   cdt_locate.cpp     locate, classify_in, walk_start and the grid
    //   cdt_insert.cpp     insert, insert_corner and their helpers
    //                      (check_finite, add_vertex, edge_projection, ...),
    //                      face surgery (set_tri, repoint, split_*, flip), legalize
    //   cdt_constrain.cpp  add_constraint, trace, retriangulate,
    //                      triangulate_pseudo, insert_by_flips, find_edge, set_fixed
    // index_of and edge_index are defined here, to stay inline.
    struct Vertex {
        Vec2 p;                  // internal coordinates (x negated when the corners run clockwise)
        Ball bx, by;             // the exact position within a bound
        double t = 0.0;          // parameter along `edge` when placed
        int8_t edge = -1;        // boundary edge it lies on (not for corners), or -1
        bool placed = false;     // position is corner + t * (next corner - corner)
        uint8_t lines = 0;       // bit k: lies on the line of edge k
        uint32_t tri = kNone;    // some incident face
    };
    // Counter-clockwise in internal coordinates. n[i] and bit i of `fixed`
    // belong to the edge opposite v[i], i.e. v[i+1] -> v[i+2].
    struct Tri {
        Triangle v;
        std::array<uint32_t, 3> n;
        uint8_t fixed;  // constraint or boundary
    };
    struct Location {
        uint32_t face;
        FeatureKind kind;  // inside, on edge `idx` or at vertex `idx`
        int idx;
    };
    struct Trace {
        uint32_t stop = kNone;  // next vertex on the segment
        bool blocked = false;   // crosses a constraint
        uint32_t face = kNone;  // when stop is a neighbour: face and index of edge s-stop
        int edge = -1;
    };
    // What a segment s -> stop crosses, as trace finds it: the input of
    // retriangulate and insert_by_flips. Reused between segments so that its
    // buffers are allocated once.
    struct Cavity {
        std::vector<uint32_t> faces;  // crossed faces, from s to stop
        std::vector<uint32_t> left, right;  // vertices on either side, from s to stop
        std::vector<std::pair<uint32_t, uint32_t>> crossed;  // crossed edges, in order
        bool repeats = false;  // a vertex shows up twice along one side
        // Per vertex: stamp of the last trace that met it; finds `repeats`
        // without clearing anything per segment.
        std::vector<uint32_t> seen;
        uint32_t stamp = 0;
    };

    static void check_finite(Vec2 p);  // panics on NaN or infinity

    static std::pair<uint64_t, uint64_t> pos_key(Vec2 p);
    Vec2 internal(Vec2 p) const { return mirrored_ ? Vec2{-p.x, p.y} : p; }
    uint64_t next_random();

    uint32_t add_vertex(Vec2 p);
    uint32_t insert_free(Vec2 q);
    uint32_t insert_on_edge(int k, Vec2 q);
    uint32_t insert_located(uint32_t id);
    void edge_projection(int k, Vec2 q, double& t, double& dist2) const;

    // Exact predicates on vertex ids: sign of orient2d / incircle.
    Sign orient(uint32_t a, uint32_t b, uint32_t c) const;
    Sign incircle(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const;
    std::array<BigFloat, 2> exact_position(uint32_t v) const;
    Sign orient_exact(uint32_t a, uint32_t b, uint32_t c) const;
    Sign incircle_exact(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const;
    double param_on_line(uint32_t v, int line) const;

    Location locate(uint32_t p);
    Location classify_in(uint32_t f, const Sign o[3]) const;
    Location locate_brute_force(uint32_t p) const;
    uint32_t walk_start(uint32_t p);
    size_t grid_cell(Vec2 q) const;
    void grid_rebuild();

    // Position of v in t, or -1.
    static int index_of(const Tri& t, uint32_t v) {
        for (int i = 0; i < 3; ++i) {
            if (t.v[i] == v) return i;
        }
        return -1;
    }
    // Index of the edge u -> w in t, or -1.
    static int edge_index(const Tri& t, uint32_t u, uint32_t w) {
        for (int i = 0; i < 3; ++i) {
            if (t.v[next_corner(i)] == u && t.v[prev_corner(i)] == w) return i;
        }
        return -1;
    }
    void set_tri(uint32_t f, std::array<uint32_t, 3> v, std::array<uint32_t, 3> n, uint8_t fixed);
    void repoint(uint32_t nb, uint32_t u, uint32_t w, uint32_t f);
    void split_face(uint32_t f, uint32_t p);
    void split_edge(uint32_t f, int i, uint32_t p);
    void split_boundary(uint32_t f, int i, uint32_t p);
    void legalize(uint32_t p, std::initializer_list<uint32_t> faces);
    void flip(uint32_t f, int i, uint32_t g, int j);

    // With a cavity, trace refills it for the piece s -> stop.
    Trace trace(uint32_t s, uint32_t b, Cavity* cavity);
    void retriangulate(const Cavity& cavity, uint32_t s, uint32_t e);
    void insert_by_flips(const Cavity& cavity, uint32_t s, uint32_t e);
    bool find_edge(uint32_t a, uint32_t b, uint32_t& f, int& i) const;
    void triangulate_pseudo(uint32_t u, uint32_t v, const std::vector<uint32_t>& chain,
                            std::vector<uint32_t>& out) const;
    void set_fixed(uint32_t f, int i);

    std::vector<Vertex> verts_;
    std::vector<Tri> tris_;
    PairMap by_key_;  // the caller's keys
    PairMap by_pos_;  // exact positions
    bool mirrored_ = false;
    bool degenerate_ = false;
    uint32_t last_ = 0;
    uint64_t rng_ = 0x9e3779b97f4a7c15ull;

    // Coarse grid over the corners' bounding box holding a recent vertex per
    // cell, to start point location near the query. Rebuilt as it fills up.
    std::vector<uint32_t> grid_;
    int grid_w_ = 0, grid_h_ = 0;
    double grid_x0_ = 0.0, grid_y0_ = 0.0, grid_sx_ = 0.0, grid_sy_ = 0.0;
    size_t grid_next_rebuild_ = 64;

public:
    // Buffers kept only to avoid reallocation; no result travels through
    // them from one member function to another. `stack` is legalize's work
    // list, `new_tris` holds retriangulate's new faces, and `cavity` is
    // add_constraint's, handed explicitly to trace and then to the recovery
    // it picks. A caller that builds many triangulations on one thread lends
    // them one set (lend_scratch), so that each does not allocate its own;
    // lend_scratch(nullptr) before the lender goes away.
    struct Scratch {
        std::vector<uint32_t> stack, new_tris;
        Cavity cavity;
    };
    void lend_scratch(Scratch* scratch) { scratch_ = scratch != nullptr ? scratch : own_scratch_.get(); }

private:
    Scratch& scratch() {
        if (scratch_ == nullptr) {
            own_scratch_ = std::make_unique<Scratch>();
            scratch_ = own_scratch_.get();
        }
        return *scratch_;
    }
    std::unique_ptr<Scratch> own_scratch_;
    Scratch* scratch_ = nullptr;
};

// Asked for every piece edge by the classification: inline.
inline Vec2 TriangleCdt::vertex(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex: id out of range");
    return internal(verts_[id].p);
}

inline OnEdge TriangleCdt::vertex_edge(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex_edge: id out of range");
    return static_cast<OnEdge>(verts_[id].edge);
}

}  // namespace geom
