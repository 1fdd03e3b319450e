#include "geometry/intersection/assemble.h"

#include <utility>

namespace geom::isect {

TrackedMesh assemble(const TriMesh& m1, const TriMesh& m2, const Cuts& cuts, const MeshRuns& runs1,
                     const MeshRuns& runs2, bool flip1, bool flip2) {
    TrackedMesh out;
    std::vector<uint32_t> number1(m1.points().size(), kNone), number2(m2.points().size(), kNone),
        number_new(cuts.new_points.size(), kNone);
    auto number = [&](VRef r) {
        r = cuts.canonical(r);
        uint32_t& slot = r.origin == Origin::Mesh1   ? number1[r.id]
                         : r.origin == Origin::Mesh2 ? number2[r.id]
                                                     : number_new[r.id];
        if (slot == kNone) {
            slot = static_cast<uint32_t>(out.points.size());
            out.points.push_back(cuts.position(m1, m2, r));
        }
        return slot;
    };
    out.triangles.reserve(runs1.whole.size() + runs2.whole.size() + runs1.pieces.size() + runs2.pieces.size());
    for (const auto& [runs, mesh, origin, flip] :
         {std::tuple{&runs1, &m1, Origin::Mesh1, flip1}, std::tuple{&runs2, &m2, Origin::Mesh2, flip2}}) {
        for (uint32_t t : runs->whole) {
            const Triangle& tri = mesh->triangles()[t];
            Triangle n{number({origin, tri[0]}), number({origin, tri[1]}), number({origin, tri[2]})};
            if (flip) std::swap(n[1], n[2]);
            out.triangles.push_back(n);
        }
    }
    for (const MeshRuns* runs : {&runs1, &runs2})
        for (const auto& p : runs->pieces) out.triangles.push_back({number(p[0]), number(p[1]), number(p[2])});
    out.counts = {runs1.whole.size(), runs2.whole.size(), runs1.pieces.size(), runs2.pieces.size()};
    return out;
}

}  // namespace geom::isect
