// Conversion between the plain lists that cross the Python boundary and the
// geometry library's triangle mesh; the draft module uses it too.
#pragma once

#include "binding/convert.h"
#include "geometry/mesh/trimesh.h"

namespace qboolean {

// Takes both lists (no copy). Panics with the mesh's own messages when it is
// refused: empty triangle list, index out of range, or not manifold.
geom::TriMesh mesh2trimesh(bind::MeshLists&& mesh);

// Hands the mesh's lists back unchanged.
bind::MeshLists trimesh2mesh(geom::TriMesh&& mesh);

}  // namespace qboolean
