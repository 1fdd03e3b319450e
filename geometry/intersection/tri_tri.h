// Intersection of two triangles, reporting for every result point the
// feature (corner, edge or interior) it lies on in each triangle.
//
// Results are meant to be merged across many triangle pairs: a point is later
// identified by its pair of features, so the coordinates depend only on those
// features and the geometry involved, never on which neighbouring pair found
// it, on the order of the two triangles or on the corner order of either:
//   corner            -> that corner's stored coordinates (corner against
//                        corner: the lexicographically smaller of the two);
//   edge against face -> the edge crossed with the other triangle's plane,
//                        edge taken from its lower mesh vertex, plane built
//                        from the triangle rotated to start at its lowest
//                        mesh vertex;
//   edge against edge -> midpoint of the closest points of the two edges.
//
// Behaviour at the limits (all tolerances absolute, model units):
//   - a triangle with |(p1-p0) x (p2-p0)|^2 <= 2^-104 meets nothing;
//   - non-finite input meets nothing;
//   - triangles with |n1 x n2| <= 1e-6 are parallel: they give a Polygon
//     when every corner of each lies within 1e-6 of the other's plane and
//     the overlap has positive area (wider than about 1e-6); a shared edge,
//     a touching corner or a sliver thinner than that gives None;
//   - otherwise the result is a Segment of length > 1e-6 or None: a single
//     touching point gives None. Along the common line, segment endpoints
//     of the two triangles closer than 1e-6 are one point carrying both
//     features. A point strictly inside the other triangle's segment lies on
//     that triangle's Face, or on its Edge k when that segment is the whole
//     edge k (the edge lies in the other plane).
//   - an edge crossing the other plane within 1e-6 (arc length) of a corner,
//     or up to 1e-6 beyond it, is that corner; |n . e| <= 2^-52 is no crossing;
//   - in the coplanar case corners closer than 1e-6 are one point, a corner
//     within 1e-6 of the other triangle's edge line lies on that edge, and
//     two edges cross only when all four endpoints are further than 1e-6 from
//     the other edge's line;
//   - nearly parallel triangles whose corners are further than 1e-6 from the
//     other plane give None even if they cross;
//   - coordinates beyond about 1e150 still work in general position; coplanar
//     overlaps of such triangles give None.
#pragma once

#include <cstdint>

#include "geometry/feature.h"
#include "geometry/vec3.h"

namespace geom {

// Corners and their mesh vertex indices (the indices decide canonical order).
struct TriInput {
    Vec3 p[3];
    uint32_t v[3] = {0, 0, 0};
};

// f1 is the feature on the first triangle, f2 on the second.
struct IsectPoint {
    Vec3 p;
    TriangleFeature f1, f2;
};

struct TriTriResult {
    enum Kind : uint8_t { None, Segment, Polygon };
    static constexpr int kMaxPoints = 6;

    Kind kind = None;
    int n = 0;  // 0 for None, 2 for Segment, 3..6 for Polygon
    // Segment ends are ordered along n1 x n2; polygon vertices run
    // counter-clockwise about n1 (n1, n2: the triangles' normals).
    IsectPoint pts[kMaxPoints];
};

namespace tritri {
inline constexpr double kDegenerateNormalSq = 4.930380657631324e-32;  // 2^-104
inline constexpr double kParallelSine = 1e-6;
inline constexpr double kPlaneOffset = 1e-6;
inline constexpr double kEdgeParallel = 2.220446049250313e-16;  // 2^-52
inline constexpr double kSnap = 1e-6;
static_assert(kDegenerateNormalSq == 0x1p-104 && kEdgeParallel == 0x1p-52);
}  // namespace tritri

TriTriResult intersect_triangles(const TriInput& t1, const TriInput& t2);

}  // namespace geom
