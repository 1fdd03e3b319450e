#include "geometry/intersection/copies.h"

#include <algorithm>
#include <bit>
#include <unordered_map>
#include <utility>

#include "geometry/disjoint_sets.h"
#include "geometry/grouping.h"

namespace geom::isect {

namespace {

// Bit patterns, so that -0.0 and 0.0 differ and NaNs compare: a copy must
// repeat the coordinates exactly.
bool same_bits(Vec3 a, Vec3 b) {
    return std::bit_cast<uint64_t>(a.x) == std::bit_cast<uint64_t>(b.x) &&
           std::bit_cast<uint64_t>(a.y) == std::bit_cast<uint64_t>(b.y) &&
           std::bit_cast<uint64_t>(a.z) == std::bit_cast<uint64_t>(b.z);
}

}  // namespace

ShellCopies find_shell_copies(const TriMesh& mesh) {
    ShellCopies sc;
    const auto& tris = mesh.triangles();
    const auto& pts = mesh.points();
    const uint32_t n = static_cast<uint32_t>(tris.size());
    DisjointSets sets(n);
    const std::vector<uint32_t>& twin = mesh.topology().twin;
    for (uint32_t h = 0; h < 3 * n; ++h)
        if (twin[h] != HalfEdgeTopology::kNone) sets.unite_low(h / 3, twin[h] / 3);

    // Shells numbered by their lowest triangle.
    sc.shell.assign(n, kNone);
    uint32_t shells = 0;
    for (uint32_t t = 0; t < n; ++t) {
        const uint32_t root = sets.find(t);
        sc.shell[t] = root == t ? shells++ : sc.shell[root];
    }
    if (shells < 2) return sc;
    Groups by_shell = group_by(shells, n, [&](size_t t) { return sc.shell[t]; });
    sc.start = std::move(by_shell.start);
    sc.members = std::move(by_shell.members);
    sc.rank.resize(n);
    for (uint32_t s = 0; s < shells; ++s)
        for (uint32_t i = sc.start[s]; i < sc.start[s + 1]; ++i) sc.rank[sc.members[i]] = i - sc.start[s];

    // A shell is a copy of the first earlier shell with the same size and
    // coordinates; the hash only narrows the search.
    auto shell_hash = [&](uint32_t s) {
        uint64_t h = sc.start[s + 1] - sc.start[s];
        for (uint32_t i = sc.start[s]; i < sc.start[s + 1]; ++i)
            for (uint32_t v : tris[sc.members[i]])
                for (int k = 0; k < 3; ++k) h = PairHash{}({h, std::bit_cast<uint64_t>(pts[v][k])});
        return h;
    };
    auto same_shell = [&](uint32_t s, uint32_t r) {
        if (sc.start[s + 1] - sc.start[s] != sc.start[r + 1] - sc.start[r]) return false;
        for (uint32_t i = 0; i < sc.start[s + 1] - sc.start[s]; ++i) {
            const Triangle &a = tris[sc.members[sc.start[s] + i]], &b = tris[sc.members[sc.start[r] + i]];
            for (int k = 0; k < 3; ++k)
                if (!same_bits(pts[a[k]], pts[b[k]])) return false;
        }
        return true;
    };
    std::unordered_map<uint64_t, std::vector<uint32_t>> firsts;
    std::vector<uint32_t> first_of(shells, kNone);
    sc.is_copy.assign(shells, 0);
    for (uint32_t s = 0; s < shells; ++s) {
        std::vector<uint32_t>& candidates = firsts[shell_hash(s)];
        for (uint32_t r : candidates)
            if (same_shell(s, r)) {
                first_of[s] = r;
                sc.is_copy[s] = 1;
                sc.any = true;
                break;
            }
        if (!sc.is_copy[s]) candidates.push_back(s);
    }
    if (!sc.any) return sc;

    Groups by_first = group_by(shells, shells, [&](size_t s) { return first_of[s]; });
    sc.copy_start = std::move(by_first.start);
    sc.copies = std::move(by_first.members);

    sc.corner_of.assign(pts.size(), kNone);
    for (uint32_t c = 3 * n; c-- > 0;) sc.corner_of[tris[c / 3][c % 3]] = c;
    return sc;
}

TriMesh without_copies(const TriMesh& mesh, const ShellCopies& sc, std::vector<uint32_t>& kept) {
    std::vector<Vec3> points = mesh.points();
    std::vector<Triangle> triangles;
    kept.clear();
    const auto& tris = mesh.triangles();
    for (uint32_t t = 0; t < tris.size(); ++t) {
        if (sc.is_copy[sc.shell[t]]) continue;
        kept.push_back(t);
        triangles.push_back(tris[t]);
    }
    return TriMesh::build(std::move(points), std::move(triangles));
}

MeshRuns spread_to_copies(const MeshRuns& runs, const ShellCopies& sc, const std::vector<uint32_t>& kept,
                          const TriMesh& mesh, Origin origin) {
    const auto& tris = mesh.triangles();
    MeshRuns out;
    for (uint32_t r : runs.whole) {
        const uint32_t t = kept[r], s = sc.shell[t];
        out.whole.push_back(t);
        for (uint32_t i = sc.copy_start[s]; i < sc.copy_start[s + 1]; ++i) {
            const uint32_t c = sc.copies[i];
            out.whole.push_back(sc.members[sc.start[c] + sc.rank[t]]);
        }
    }
    std::sort(out.whole.begin(), out.whole.end());
    out.pieces = runs.pieces;
    for (uint32_t r : runs.piece_triangle) out.piece_triangle.push_back(kept[r]);
    const size_t first_pieces = out.pieces.size();
    for (size_t j = 0; j < first_pieces; ++j) {
        const uint32_t t = out.piece_triangle[j], s = sc.shell[t];
        for (uint32_t i = sc.copy_start[s]; i < sc.copy_start[s + 1]; ++i) {
            const uint32_t c = sc.copies[i];
            std::array<VRef, 3> p = out.pieces[j];
            for (VRef& v : p) {
                if (v.origin != origin) continue;
                // The vertex at the same corner of the same triangle of the copy.
                const uint32_t corner = sc.corner_of[v.id];
                if (corner == kNone || sc.shell[corner / 3] != s) continue;
                v.id = tris[sc.members[sc.start[c] + sc.rank[corner / 3]]][corner % 3];
            }
            out.pieces.push_back(p);
            out.piece_triangle.push_back(sc.members[sc.start[c] + sc.rank[t]]);
        }
    }
    return out;
}

}  // namespace geom::isect
