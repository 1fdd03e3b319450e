// Stage 3 of the intersection: every cut triangle of one mesh re-triangulated
// (constrained Delaunay, in the triangle's plane seen along one axis) with
// the curve's points as vertices and its segments as constraint edges.
//
// A curve point on a mesh edge is given to the triangles on both sides of the
// edge, also where the other mesh only touches that edge, so that the pieces
// of neighbouring triangles meet vertex to vertex.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/intersection/cuts.h"
#include "geometry/mesh/trimesh.h"
#include "geometry/triangulation/cdt.h"
#include "geometry/triangulation/projection.h"

namespace geom::isect {

enum class Which : uint8_t { First, Second };

struct CutTriangle {
    CutTriangle(const TriMesh& mesh, Origin origin, uint32_t t);

    // A curve point on boundary edge `edge`.
    struct EdgePoint {
        Vec3 p;
        VRef ref;
        uint8_t edge;
    };
    // A stretch of the curve along boundary edge `edge`, between two
    // triangulation vertices.
    struct Along {
        uint32_t a, b;
        uint8_t edge;
    };

    uint32_t triangle;
    uint32_t partner = kNone;  // a triangle of the other mesh that meets it: a start for nearest queries
    DropAxisProjection projection;
    TriangleCdt cdt;
    std::vector<VRef> refs;  // per triangulation vertex
    std::vector<EdgePoint> edge_points;
    std::vector<Along> along;
    std::vector<uint32_t> coplanar;  // triangles of the other mesh in its plane that overlap it
    uint32_t refused = 0;            // constraints the triangulation could not take
};

struct MeshCuts {
    std::vector<uint32_t> index;  // per triangle: its entry in `cuts`, or kNone when whole
    std::vector<CutTriangle> cuts;
    // Per triangle: without area and with a curve point on an edge, so left
    // out of the result (it bounds no volume).
    std::vector<uint8_t> dropped;
};

// The cut triangles of mesh 1 (`which` First) or mesh 2, in the order the
// pairs first cut them, then those reached only through an edge point.
MeshCuts retriangulate(const TriMesh& m1, const TriMesh& m2, const Cuts& cuts, Which which);

}  // namespace geom::isect
