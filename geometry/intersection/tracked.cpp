#include "geometry/intersection/tracked.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "geometry/intersection/assemble.h"
#include "geometry/intersection/candidates.h"
#include "geometry/intersection/classify.h"
#include "geometry/intersection/copies.h"
#include "geometry/intersection/cuts.h"
#include "geometry/intersection/retriangulate.h"
#include "geometry/parallel.h"

namespace geom {

const char* display(MeshIntersectionError error) {
    switch (error) {
        case MeshIntersectionError::TopologyMissing:
            return "at least on of the meshes is missing its topology information. Call `mesh.compute_topology` on "
                   "the mesh";
        case MeshIntersectionError::PseudoNormalsMissing:
            return "at least on of the meshes is missing its pseudo-normals. Call `mesh.compute_pseudo_normals` on "
                   "the mesh";
        case MeshIntersectionError::TriangleIntersectionFailed:
            return "internal failure while intersecting two triangles";
    }
    return "";
}

TrackedOutcome tracked_intersection(const TriMesh& mesh1, bool flip1, const TriMesh& mesh2, bool flip2) {
    // Topology and pseudo-normals are built on first use, so neither can be
    // missing here; callers build them up front (both meshes side by side)
    // to keep that work out of the loops.
    using namespace isect;
    const ShellCopies copies1 = find_shell_copies(mesh1), copies2 = find_shell_copies(mesh2);
    std::optional<TriMesh> reduced1, reduced2;
    std::vector<uint32_t> kept1, kept2;
    if (copies1.any) reduced1.emplace(without_copies(mesh1, copies1, kept1));
    if (copies2.any) reduced2.emplace(without_copies(mesh2, copies2, kept2));
    const TriMesh& a = copies1.any ? *reduced1 : mesh1;
    const TriMesh& b = copies2.any ? *reduced2 : mesh2;

    const Cuts cuts = cut_pairs(a, b, candidate_pairs(a, b));
    // From here on each mesh's work reads the shared cuts and writes only its own data.
    const bool split = cuts.pairs.size() >= kTrackedSplitFrom;
    MeshCuts cuts1, cuts2;
    MeshRuns runs1, runs2;
    run_both(
        split,
        [&] {
            cuts1 = retriangulate(a, b, cuts, Which::First);
            runs1 = classify({a, b, cuts1, cuts, a, b, flip1, flip2, true});
        },
        [&] {
            cuts2 = retriangulate(a, b, cuts, Which::Second);
            runs2 = classify({b, a, cuts2, cuts, a, b, flip2, flip1, false});
        });
    if (copies1.any) runs1 = spread_to_copies(runs1, copies1, kept1, mesh1, Origin::Mesh1);
    if (copies2.any) runs2 = spread_to_copies(runs2, copies2, kept2, mesh2, Origin::Mesh2);
    TrackedMesh result = assemble(mesh1, mesh2, cuts, runs1, runs2, flip1, flip2);
    if (result.triangles.empty()) return std::nullopt;
    return result;
}

int magnitude_shift(std::span<const Vec3> a, std::span<const Vec3> b) {
    int top = std::numeric_limits<int>::min(), bottom = std::numeric_limits<int>::max();
    for (const auto points : {a, b})
        for (const Vec3& p : points)
            for (int k = 0; k < 3; ++k) {
                const double v = p[k];
                if (v == 0.0 || !std::isfinite(v)) continue;
                const int e = std::ilogb(v);
                top = std::max(top, e);
                bottom = std::min(bottom, e);
            }
    if (top == std::numeric_limits<int>::min() || (top >= -100 && top <= 100)) return 0;
    const int shift = -top;
    return bottom + shift >= std::numeric_limits<double>::min_exponent - 1 ? shift : 0;
}

void scale_points(std::vector<Vec3>& points, int shift) {
    if (shift == 0) return;
    for (Vec3& p : points) p = ldexp3(p, shift);
}

}  // namespace geom
