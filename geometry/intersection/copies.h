// Before stage 1 of the intersection: shells that repeat an earlier shell.
//
// A shell is a set of triangles joined across edges that have a twin. A
// shell is a copy of an earlier one when its triangles, in index order,
// repeat that shell's corner for corner, coordinates bit for bit (stacked
// copies of one part, as a tiled array gives). Every triangle of N stacked
// copies meets N copies of each triangle of the other mesh's copies, so
// the pairs grow with N squared; the intersection instead runs on the first
// copy of each shell, and every copy then keeps what its first copy kept:
// the same whole triangles and the same pieces on its own vertices (curve
// vertices are shared, as merging would make them anyway).
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/intersection/classify.h"
#include "geometry/mesh/trimesh.h"

namespace geom::isect {

struct ShellCopies {
    bool any = false;
    std::vector<uint32_t> shell;        // per triangle: its shell
    std::vector<uint32_t> rank;         // per triangle: its position in its shell, in index order
    std::vector<uint32_t> start;        // per shell: first entry in `members` (one past the end at size)
    std::vector<uint32_t> members;      // triangles grouped by shell, each group in index order
    std::vector<uint32_t> copy_start;   // per shell: first entry in `copies`
    std::vector<uint32_t> copies;       // the later copies of each first copy
    std::vector<uint8_t> is_copy;       // per shell
    std::vector<uint32_t> corner_of;    // per vertex: 3 * triangle + corner of a first use, kNone if unused
};

ShellCopies find_shell_copies(const TriMesh& mesh);

// The mesh without its later copies: the same points (so vertex ids keep
// their meaning), the triangles of first copies and unique shells in index
// order. `kept` maps its triangles to the mesh's.
TriMesh without_copies(const TriMesh& mesh, const ShellCopies& sc, std::vector<uint32_t>& kept);

// Runs of the reduced mesh as runs of the whole mesh: triangle ids mapped
// back, and every copy given what its first copy kept, with the copy's own
// vertices for `origin` vertices of that shell.
MeshRuns spread_to_copies(const MeshRuns& runs, const ShellCopies& sc, const std::vector<uint32_t>& kept,
                          const TriMesh& mesh, Origin origin);

}  // namespace geom::isect
