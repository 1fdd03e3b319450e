// Stage 1 of the intersection: pairs of triangles (one of each mesh) whose
// boxes overlap, the only pairs that can meet.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "geometry/mesh/trimesh.h"

namespace geom::isect {

// Sorted by (mesh-1 triangle, mesh-2 triangle); that order fixes every later
// order, so the result does not depend on threads or hashing.
std::vector<std::pair<uint32_t, uint32_t>> candidate_pairs(const TriMesh& m1, const TriMesh& m2);

}  // namespace geom::isect
