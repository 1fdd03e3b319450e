// Stage 4 of the intersection: which triangles and pieces of one mesh bound
// the common region.
//
// Whole triangles and pieces are joined into patches across every edge that
// is not on an intersection curve; a patch lies wholly on one side of the
// other mesh, so one test decides all of it, made at the piece farthest from
// its edges (a sliver next to a curve never decides). A patch in the plane of
// the other mesh and overlapping it is coincident: it is kept once, by mesh 1,
// where the two surfaces face the same way (after the flips), and dropped from
// both meshes where they face opposite ways (the regions only touch there).
// Every other patch is kept when its test point is inside the other mesh,
// or outside it when that mesh is flipped.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "geometry/intersection/cuts.h"
#include "geometry/intersection/retriangulate.h"
#include "geometry/mesh/trimesh.h"

namespace geom::isect {

struct MeshRuns {
    std::vector<uint32_t> whole;                // kept uncut triangles, ascending
    std::vector<std::array<VRef, 3>> pieces;    // kept pieces, facing out of the region
    std::vector<uint32_t> piece_triangle;       // per kept piece: the triangle it was cut from
};

struct ClassifyInput {
    const TriMesh& own;
    const TriMesh& other;
    const MeshCuts& own_cuts;
    const Cuts& cuts;
    const TriMesh& m1;  // for positions
    const TriMesh& m2;
    bool flip_own, flip_other;
    bool first;  // own is mesh 1: coincident areas facing alike are kept from it
};

MeshRuns classify(const ClassifyInput& in);

}  // namespace geom::isect
