// Stage 5 of the intersection: the result mesh from the kept triangles of
// both meshes, in four runs (whole triangles of mesh 1, of mesh 2, pieces of
// mesh 1, of mesh 2), vertices numbered in order of first use.
#pragma once

#include "geometry/intersection/classify.h"
#include "geometry/intersection/cuts.h"
#include "geometry/intersection/tracked.h"

namespace geom::isect {

// A mesh-2 vertex at the position of a mesh-1 vertex is that vertex
// everywhere, whole triangles included, so the runs share it.
TrackedMesh assemble(const TriMesh& m1, const TriMesh& m2, const Cuts& cuts, const MeshRuns& runs1,
                     const MeshRuns& runs2, bool flip1, bool flip2);

}  // namespace geom::isect
