// Closest point on triangles and meshes, and the pseudo-normal inside test.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "geometry/feature.h"
#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom {

struct ClosestOnTriangle {
    Vec3 point;
    TriangleFeature feature;
};

// Voronoi-region walk over the corners, edges and face. Nearly collinear
// triangles (sin^2 of the angle at corner 0 below 2^-20) take the nearest of
// the edges and the clamped plane projection instead. The point always lies
// within the triangle's box up to rounding, or is non-finite.
ClosestOnTriangle closest_point_on_triangle(Vec3 p, Vec3 a, Vec3 b, Vec3 c);

struct NearestTriangle {
    Vec3 point;
    uint32_t triangle = 0;
    TriangleFeature feature;
    double distance_squared = 0.0;  // |p - point|^2
};

// Nearest triangle by (squared distance, triangle index), NaN distances
// last; identical, bit for bit, to the brute-force search.
NearestTriangle nearest_triangle(const TriMesh& mesh, Vec3 p);
// The same answer; `hint`, a triangle likely to be near p, is evaluated first
// so that the search starts with a tight bound.
NearestTriangle nearest_triangle(const TriMesh& mesh, Vec3 p, uint32_t hint);
NearestTriangle nearest_triangle_brute_force(const TriMesh& mesh, Vec3 p);
// The same answers for many points at once, `hints[i]` for `points[i]`
// (kNone: no hint). Each triangle is taken once and meets only the points
// whose current bound its box and plane can beat, so many points near large
// triangles (an open soup cutting a fine mesh) cost about the candidates
// rather than points times triangles.
std::vector<NearestTriangle> nearest_triangles(const TriMesh& mesh, std::span<const Vec3> points,
                                               std::span<const uint32_t> hints);

// The feature as a mesh element: triangle index, undirected edge id, or point index.
struct MeshFeature {
    FeatureKind kind = FeatureKind::Face;
    uint32_t id = 0;
    friend bool operator==(MeshFeature, MeshFeature) = default;
};
MeshFeature mesh_feature(const TriMesh& mesh, uint32_t triangle, TriangleFeature feature);

struct InsideResult {
    bool inside = false;
    double distance = 0.0;  // |p - q|
    NearestTriangle nearest;
};

// p is inside when (p - q) . n <= 0, q the closest point and n the
// pseudo-normal of its feature; points on the surface count as inside.
InsideResult inside_test(const TriMesh& mesh, Vec3 p);
InsideResult inside_test(const TriMesh& mesh, Vec3 p, uint32_t hint);
// The test with the nearest triangle already known.
InsideResult inside_test(const TriMesh& mesh, Vec3 p, const NearestTriangle& nearest);
bool is_inside(const TriMesh& mesh, Vec3 p);

}  // namespace geom
