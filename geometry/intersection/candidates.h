// Stage 1 of the intersection: pairs of triangles (one of each mesh) whose
// boxes overlap, the only pairs that can meet.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "geometry/mesh/trimesh.h"

namespace geom::isect {

// In the order the search found them, which may depend on threads: the cuts
// keep the few pairs that meet and put those in (mesh-1 triangle, mesh-2
// triangle) order, which fixes every later order.
std::vector<std::pair<uint32_t, uint32_t>> candidate_pairs(const TriMesh& m1, const TriMesh& m2);

}  // namespace geom::isect
