// Stage 2 of the intersection: where two triangles meet, and the result
// vertices along the intersection curves.
//
// Every decision is an exact sign (orient3d on the input corners, orient2d on
// corners projected along an axis), so each point of a cut is known
// symbolically: which corner, edge or face of each triangle it lies on. Two
// pairs that share a point name it alike (an edge by its undirected id), and
// its coordinates come from one formula over the features alone, never from
// the pair that found it. So neighbouring triangles and both meshes agree on
// the curve's vertices, and the curve is closed wherever the inputs are.
//
// Coordinates: a corner is stored exactly; an edge crossing a face is the
// edge (from its lower vertex) cut by the face's plane (from its lowest
// corner); two edges crossing meet at the midpoint of their closest points.
// Triangles whose corners are collinear, or that have a non-finite
// coordinate, meet nothing.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "geometry/feature.h"
#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom::isect {

// A result vertex: a vertex of either mesh, or a new one on a curve.
enum class Origin : uint8_t { Mesh1, Mesh2, New };
struct VRef {
    Origin origin = Origin::Mesh1;
    uint32_t id = 0;
    friend bool operator==(VRef, VRef) = default;
    uint64_t code() const { return static_cast<uint64_t>(origin) << 32 | id; }
};

// Hash of a pair of 64-bit codes (two vertices, two features).
struct PairHash {
    size_t operator()(const std::pair<uint64_t, uint64_t>& k) const {
        uint64_t h = k.first * 0x9e3779b97f4a7c15ull ^ (k.second + 0x632be59bd9b4e019ull + (k.first << 6) + (k.first >> 2));
        h ^= h >> 31;
        return static_cast<size_t>(h * 0xbf58476d1ce4e5b9ull);
    }
};

// Twice the area over the longest edge: the height on that edge, a measure
// of how thin a triangle is. NaN for non-finite corners.
inline double height(Vec3 a, Vec3 b, Vec3 c) {
    const double longest = std::max({norm(b - a), norm(c - b), norm(a - c)});
    return norm(cross(b - a, c - a)) / longest;
}

// Where two triangles meet, features only. A crossing gives one segment; a
// coplanar overlap gives the stretches of each triangle's edges that lie in
// the other (the overlap's boundary, and its inner edges).
struct LocalCut {
    static constexpr int kMaxPoints = 12;
    static constexpr int kMaxSegments = 24;
    struct Point {
        TriangleFeature f1, f2;  // on the first, on the second triangle
    };
    bool coplanar = false;
    int n = 0;
    Point pts[kMaxPoints];
    int ns = 0;
    uint8_t seg[kMaxSegments][2];
};

// Whether the corners span a plane (exact).
bool spans_plane(Vec3 p0, Vec3 p1, Vec3 p2);

// Whether triangle t can be cut: finite corners that span a plane.
bool cuttable(const TriMesh& mesh, uint32_t t);

// A triangle's corners and their mesh vertex ids (the ids order edges and
// planes, so that every pair asks the same question the same way).
struct TriCorners {
    Vec3 p[3];
    uint32_t v[3] = {0, 1, 2};
};

TriCorners corners_of(const TriMesh& mesh, uint32_t t);

// Both triangles must span a plane and be finite. sa[i]: side of a's corner
// i of b's plane (-1, 0, 1), sb likewise. A point of one triangle that lies
// within `tol` of the line of an edge of the other is on that edge; with
// exact signs and tol 0, the exact answer. Points are reported even when no
// segment is (a touching corner): coincident corners count.
void cut_triangles(const TriCorners& a, const TriCorners& b, const int sa[3], const int sb[3], double tol,
                   LocalCut& out);

// One pair that meets along at least one segment; its points and segments
// are ranges of the lists in Cuts. Segments index the pair's points.
struct PairCut {
    uint32_t t1 = 0, t2 = 0;
    bool coplanar = false;
    uint32_t first_point = 0, first_segment = 0;
    uint8_t n_points = 0, n_segments = 0;
};

struct CutPoint {
    VRef ref;
    TriangleFeature f1, f2;
};

struct Cuts {
    std::vector<PairCut> pairs;
    std::vector<CutPoint> points;
    std::vector<std::array<uint8_t, 2>> segments;
    std::vector<Vec3> new_points;  // positions of Origin::New vertices
    // Mesh-2 vertex -> the mesh-1 vertex it is merged into, or kNone.
    std::vector<uint32_t> replace2;
    // New vertex -> the vertex it is merged into (itself when none).
    std::vector<VRef> new_rep;
    double merge_tol = 0.0;  // merge_distance of the two meshes' coordinates

    // Points closer than the merge distance are one vertex: a mesh-1 vertex
    // if there is one, else a mesh-2 vertex, else the first new one. Two
    // vertices of the same mesh are never merged.
    VRef canonical(VRef r) const {
        if (r.origin == Origin::Mesh2 && replace2[r.id] != kNone) return {Origin::Mesh1, replace2[r.id]};
        if (r.origin == Origin::New) return new_rep[r.id];
        return r;
    }
    Vec3 position(const TriMesh& m1, const TriMesh& m2, VRef r) const {
        switch (r.origin) {
        case Origin::Mesh1:
            return m1.points()[r.id];
        case Origin::Mesh2:
            return m2.points()[r.id];
        case Origin::New:
            break;
        }
        return new_points[r.id];
    }
};

// Merge distance (max-norm) for coordinates up to `magnitude`: far below any
// feature a part has, far above the rounding of the curve's points, which
// would otherwise leave two vertices where the other mesh's triangles see one.
double merge_distance(double magnitude);

// Pairs in any order: those that meet are taken in (mesh-1 triangle, mesh-2
// triangle) order, which fixes the numbering of new vertices.
// A corner's side of the other triangle's plane is 0 within the merge
// distance of it, by one rule for every pair that shares the corner and the
// plane (the plane from its corners rotated to start at the lowest vertex
// id), so faces coplanar up to rounding are coplanar everywhere alike.
Cuts cut_pairs(const TriMesh& m1, const TriMesh& m2, const std::vector<std::pair<uint32_t, uint32_t>>& pairs);

}  // namespace geom::isect
