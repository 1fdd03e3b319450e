// The overhang test: which vertices of a mesh have the mesh ahead of them.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/mesh/trimesh.h"
#include "geometry/vec3.h"

namespace geom::draft {

// For every vertex: is the mesh ahead of it along `normal`? The ray starts
// 0.01 * normal beyond the vertex (normal is not normalised).
std::vector<uint8_t> _overhangs(const TriMesh& mesh, Vec3 normal);

}  // namespace geom::draft
