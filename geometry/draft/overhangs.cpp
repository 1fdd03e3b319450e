#include "geometry/draft/overhangs.h"

#include "geometry/query/ray_cast.h"

namespace geom::draft {

std::vector<uint8_t> _overhangs(const TriMesh& mesh, Vec3 normal) {
    const Vec3 offset{normal.x * 0.01, normal.y * 0.01, normal.z * 0.01};
    // A zero direction makes n . d zero or NaN for every triangle: nothing blocks.
    if (normal == Vec3{}) return std::vector<uint8_t>(mesh.points().size(), 0);
    // Non-finite origins never block (the caster answers them without a search).
    RayCaster caster(mesh);
    return caster.blocked_from(mesh.points(), offset, normal);
}

}  // namespace geom::draft
