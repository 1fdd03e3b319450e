#include "geometry/intersection/candidates.h"

namespace geom::isect {

std::vector<std::pair<uint32_t, uint32_t>> candidate_pairs(const TriMesh& m1, const TriMesh& m2) {
    return overlapping_pairs(m1.bvh(), m1.points(), m1.triangles(), m2.bvh(), m2.points(), m2.triangles(),
                             PairOrder::Any);
}

}  // namespace geom::isect
