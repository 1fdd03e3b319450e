#include "geometry/intersection/tracked.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <utility>

#include "geometry/bvh/bvh.h"
#include "geometry/intersection/tri_tri.h"
#include "geometry/parallel.h"
#include "geometry/panic.h"
#include "geometry/query/closest_point.h"
#include "geometry/triangulation/cdt.h"
#include "geometry/triangulation/projection.h"

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

namespace {

constexpr uint32_t kNone = 0xffffffffu;
constexpr double kThird = 1.0 / 3.0;

// Each corner scaled by the double nearest 1/3, summed in corner order.
Vec3 centre(Vec3 a, Vec3 b, Vec3 c) { return a * kThird + b * kThird + c * kThird; }

// A result vertex: a vertex of either mesh, or a new one on an intersection curve.
enum class Origin : uint8_t { Mesh1, Mesh2, New };
struct VRef {
    Origin origin;
    uint32_t id;
};

// TriangleFeature codes for point keys: kind in the high word, mesh element below.
enum : uint64_t { kVertexCode = 1, kEdgeCode = 2, kFaceCode = 3 };
uint64_t code(uint64_t kind, uint32_t id) { return kind << 32 | id; }

struct KeyHash {
    size_t operator()(const PointKey& k) const {
        uint64_t h = k.a * 0x9e3779b97f4a7c15ull ^ (k.b + 0x632be59bd9b4e019ull + (k.a << 6) + (k.a >> 2));
        h ^= h >> 31;
        return static_cast<size_t>(h * 0xbf58476d1ce4e5b9ull);
    }
};

// The triangulation of one cut triangle and, per vertex, what it stands for.
struct CutTriangle {
    CutTriangle(const TriMesh& mesh, Origin origin, uint32_t t)
        : triangle(t),
          projection(drop_axis_projection(mesh.points()[mesh.triangles()[t][0]],
                                          mesh.points()[mesh.triangles()[t][1]],
                                          mesh.points()[mesh.triangles()[t][2]])),
          cdt(projection(mesh.points()[mesh.triangles()[t][0]]), projection(mesh.points()[mesh.triangles()[t][1]]),
              projection(mesh.points()[mesh.triangles()[t][2]])) {
        for (uint32_t v : mesh.triangles()[t]) refs.push_back({origin, v});
    }

    // A vertex inserted on boundary edge k: the triangle across that edge
    // must get it too, or the result would have a T-junction there.
    struct EdgePoint {
        Vec3 p;
        PointKey key;
        VRef ref;
        uint8_t edge;
    };

    uint32_t triangle;
    uint32_t partner = kNone;  // a triangle of the other mesh that cuts it: a good start for nearest queries
    DropAxisProjection projection;
    TriangleCdt cdt;
    std::vector<VRef> refs;  // per triangulation vertex
    std::vector<EdgePoint> edge_points;
};

class Intersection {
public:
    Intersection(const TriMesh& m1, bool flip1, const TriMesh& m2, bool flip2)
        : m1_(m1), m2_(m2), flip1_(flip1), flip2_(flip2),
          cut1_(m1.triangles().size(), kNone), cut2_(m2.triangles().size(), kNone),
          replace2_(m2.points().size(), kNone) {}

    std::optional<TrackedMesh> run() {
        const CutPairs cut_pairs = intersect_pairs();
        // From here on the two meshes' work is independent: each side writes
        // only its own cut triangles and runs.
        const bool split = cut_pairs.pairs.size() >= kSplitFrom;
        run_both(split, [&] { feed(cut_pairs, Side::First); }, [&] { feed(cut_pairs, Side::Second); });
        std::vector<Triangle> run0, run1;
        std::vector<std::array<VRef, 3>> run2, run3;
        run_both(
            split,
            [&] {
                run0 = whole_triangles(m1_, cut1_, cuts1_, m2_, flip2_);
                run2 = pieces(cuts1_, cut1_, m1_, m2_, flip1_, flip2_, true);
            },
            [&] {
                run1 = whole_triangles(m2_, cut2_, cuts2_, m1_, flip1_);
                run3 = pieces(cuts2_, cut2_, m2_, m1_, flip2_, flip1_, false);
            });
        if (run0.empty() && run1.empty() && run2.empty() && run3.empty()) return std::nullopt;
        return assemble(run0, run1, run2, run3);
    }

private:
    // Below this many cutting pairs a second thread costs more than it saves.
    static constexpr size_t kSplitFrom = 128;

    // --- cutting ------------------------------------------------------------

    // A pair of triangles that meet; its intersection points, named, are
    // points[first, first + count) of the list they come with.
    struct PairCut {
        uint32_t a, b;  // triangle of mesh 1, of mesh 2
        uint32_t first;
        uint8_t count;
        bool segment;
    };
    struct NamedPoint {
        IsectPoint ip;
        PointKey key;
        VRef ref;
    };
    struct CutPairs {
        std::vector<PairCut> pairs;
        std::vector<NamedPoint> points;
    };
    enum class Side { First, Second };

    // The pairs that meet, in (mesh 1 triangle, mesh 2 triangle) order, which
    // fixes the order of everything after.
    CutPairs intersect_pairs() {
        const auto& p1 = m1_.points();
        const auto& t1 = m1_.triangles();
        const auto& p2 = m2_.points();
        const auto& t2 = m2_.triangles();
        const auto pairs = overlapping_pairs(m1_.bvh(), p1, t1, m2_.bvh(), p2, t2);
        CutPairs out;
        for (const auto& [a, b] : pairs) {
            TriInput in1, in2;
            for (int k = 0; k < 3; ++k) {
                in1.p[k] = p1[t1[a][k]];
                in1.v[k] = t1[a][k];
                in2.p[k] = p2[t2[b][k]];
                in2.v[k] = t2[b][k];
            }
            const TriTriResult r = intersect_triangles(in1, in2);
            if (r.kind == TriTriResult::None) continue;
            out.pairs.push_back({a, b, static_cast<uint32_t>(out.points.size()), static_cast<uint8_t>(r.n),
                                 r.kind == TriTriResult::Segment});
            for (int i = 0; i < r.n; ++i) {
                NamedPoint& np = out.points.emplace_back();
                np.ip = r.pts[i];
                identify(r.pts[i], a, b, np.key, np.ref);
            }
        }
        return out;
    }

    // Triangulates one mesh's cut triangles: the points and segments of every
    // pair in order, then the edge points carried across to neighbours.
    void feed(const CutPairs& cut_pairs, Side side) {
        const bool first = side == Side::First;
        const TriMesh& mesh = first ? m1_ : m2_;
        const Origin origin = first ? Origin::Mesh1 : Origin::Mesh2;
        std::vector<uint32_t>& index = first ? cut1_ : cut2_;
        std::vector<CutTriangle>& cuts = first ? cuts1_ : cuts2_;
        for (const PairCut& pc : cut_pairs.pairs) {
            const uint32_t own = first ? pc.a : pc.b, other = first ? pc.b : pc.a;
            CutTriangle& c = cuts[cut_of(index, cuts, mesh, origin, own)];
            if (c.partner == kNone) c.partner = other;
            uint32_t ids[TriTriResult::kMaxPoints];
            for (uint32_t i = 0; i < pc.count; ++i) {
                const NamedPoint& np = cut_pairs.points[pc.first + i];
                ids[i] = add_point(c, np.ip.p, first ? np.ip.f1 : np.ip.f2, np.key, np.ref);
            }
            // Left out where it would cross a constraint already there.
            if (pc.segment) c.cdt.add_constraint(ids[0], ids[1]);
        }
        propagate_edge_points(mesh, origin, index, cuts);
    }

    static uint32_t cut_of(std::vector<uint32_t>& index, std::vector<CutTriangle>& cuts, const TriMesh& mesh,
                           Origin origin, uint32_t t) {
        if (index[t] == kNone) {
            index[t] = static_cast<uint32_t>(cuts.size());
            cuts.emplace_back(mesh, origin, t);
        }
        return index[t];
    }

    // A point on a corner of the mesh-1 triangle is that vertex; else on a
    // corner of the mesh-2 triangle, that vertex; else one new vertex per
    // pair of features (edges by their undirected id, so neighbours agree).
    void identify(const IsectPoint& ip, uint32_t a, uint32_t b, PointKey& key, VRef& ref) {
        const Triangle& t1 = m1_.triangles()[a];
        const Triangle& t2 = m2_.triangles()[b];
        if (ip.f1.kind == FeatureKind::Vertex) {
            const uint32_t v1 = t1[ip.f1.index];
            if (ip.f2.kind == FeatureKind::Vertex) {
                uint32_t& r = replace2_[t2[ip.f2.index]];
                if (r == kNone) r = v1;
            }
            key = {code(kVertexCode, v1), 0};
            ref = {Origin::Mesh1, v1};
            return;
        }
        if (ip.f2.kind == FeatureKind::Vertex) {
            const uint32_t v2 = t2[ip.f2.index];
            key = {0, code(kVertexCode, v2)};
            ref = {Origin::Mesh2, v2};
            return;
        }
        key = {feature_code(m1_, a, ip.f1), feature_code(m2_, b, ip.f2)};
        auto [it, added] = new_vertices_.try_emplace(key, static_cast<uint32_t>(new_points_.size()));
        if (added) new_points_.push_back(ip.p);
        ref = {Origin::New, it->second};
    }

    static uint64_t feature_code(const TriMesh& mesh, uint32_t t, TriangleFeature f) {
        if (f.kind == FeatureKind::Edge) return code(kEdgeCode, mesh.edge_id(3 * t + f.index));
        return code(kFaceCode, t);
    }

    static uint32_t add_point(CutTriangle& c, Vec3 p, TriangleFeature own, PointKey key, VRef ref) {
        if (own.kind == FeatureKind::Vertex) return own.index;
        const OnEdge edge = own.kind == FeatureKind::Edge ? static_cast<OnEdge>(own.index) : OnEdge::None;
        const uint32_t id = c.cdt.insert(c.projection(p), key, edge);
        if (id == c.refs.size()) {
            c.refs.push_back(ref);
            if (edge != OnEdge::None) c.edge_points.push_back({p, key, ref, own.index});
        }
        return id;
    }

    // Splits the triangles across edges that received a vertex. Usually the
    // intersection curve crosses into the neighbour, which is cut anyway; when
    // it only touches the edge there (a tangency), the neighbour is cut here
    // at that vertex so the result stays closed.
    static void propagate_edge_points(const TriMesh& mesh, Origin origin, std::vector<uint32_t>& index,
                                      std::vector<CutTriangle>& cuts) {
        // Entries are appended while walking: every new edge point is seen.
        std::vector<std::pair<uint32_t, uint32_t>> work;  // (cut, edge point)
        for (uint32_t c = 0; c < cuts.size(); ++c)
            for (uint32_t e = 0; e < cuts[c].edge_points.size(); ++e) work.emplace_back(c, e);
        for (size_t w = 0; w < work.size(); ++w) {
            const auto [c, e] = work[w];
            const CutTriangle::EdgePoint ep = cuts[c].edge_points[e];
            const uint32_t twin = mesh.twin(3 * cuts[c].triangle + ep.edge);
            if (twin == HalfEdgeTopology::kNone) continue;
            const uint32_t nb = TriMesh::triangle_of(twin);
            const uint32_t n = cut_of(index, cuts, mesh, origin, nb);
            const size_t before = cuts[n].edge_points.size();
            add_point(cuts[n], ep.p, TriangleFeature{FeatureKind::Edge, static_cast<uint8_t>(twin % 3)}, ep.key, ep.ref);
            for (size_t k = before; k < cuts[n].edge_points.size(); ++k)
                work.emplace_back(n, static_cast<uint32_t>(k));
        }
    }

    // --- whole triangles ----------------------------------------------------

    // Inside `other` XOR flip.
    static bool kept_side(const TriMesh& mesh, uint32_t t, const TriMesh& other, bool flip_other,
                          uint32_t hint = kNone) {
        const auto& p = mesh.points();
        const Triangle& tri = mesh.triangles()[t];
        return inside_test(other, centre(p[tri[0]], p[tri[1]], p[tri[2]]), hint).inside != flip_other;
    }

    // Seeds next to the cut triangles and a flood fill that stops at cut
    // triangles and open edges; a shell with no cut triangle is kept or
    // dropped whole by the verdict of its lowest-numbered triangle. Kept
    // triangles are returned in input order.
    static std::vector<Triangle> whole_triangles(const TriMesh& mesh, const std::vector<uint32_t>& cut,
                                                 const std::vector<CutTriangle>& cuts, const TriMesh& other,
                                                 bool flip_other) {
        const auto& tris = mesh.triangles();
        const uint32_t n = static_cast<uint32_t>(tris.size());
        std::vector<uint8_t> keep(n, 0);

        std::vector<uint32_t> stack;
        std::vector<uint8_t> tested(n, 0);  // 1: tested outside, 2: tested kept
        for (uint32_t t = 0; t < n; ++t) {
            if (cut[t] == kNone) continue;
            for (uint32_t h = 3 * t; h < 3 * t + 3; ++h) {
                const uint32_t twin = mesh.twin(h);
                if (twin == HalfEdgeTopology::kNone) continue;
                const uint32_t nb = TriMesh::triangle_of(twin);
                if (cut[nb] != kNone) continue;
                if (tested[nb] == 0)
                    tested[nb] = kept_side(mesh, nb, other, flip_other, cuts[cut[t]].partner) ? 2 : 1;
                if (tested[nb] == 2) stack.push_back(nb);
            }
        }
        while (!stack.empty()) {
            const uint32_t t = stack.back();
            stack.pop_back();
            if (keep[t]) continue;
            keep[t] = 1;
            for (uint32_t h = 3 * t; h < 3 * t + 3; ++h) {
                const uint32_t twin = mesh.twin(h);
                if (twin == HalfEdgeTopology::kNone) continue;
                const uint32_t nb = TriMesh::triangle_of(twin);
                if (cut[nb] == kNone && !keep[nb]) stack.push_back(nb);
            }
        }

        // Shells: triangles connected across twinned half-edges.
        std::vector<uint32_t> shell(n, kNone);
        std::vector<uint8_t> shell_cut;
        for (uint32_t s = 0; s < n; ++s) {
            if (shell[s] != kNone) continue;
            const uint32_t id = static_cast<uint32_t>(shell_cut.size());
            shell_cut.push_back(0);
            shell[s] = id;
            stack.push_back(s);
            while (!stack.empty()) {
                const uint32_t t = stack.back();
                stack.pop_back();
                if (cut[t] != kNone) shell_cut[id] = 1;
                for (uint32_t h = 3 * t; h < 3 * t + 3; ++h) {
                    const uint32_t twin = mesh.twin(h);
                    if (twin == HalfEdgeTopology::kNone) continue;
                    const uint32_t nb = TriMesh::triangle_of(twin);
                    if (shell[nb] == kNone) {
                        shell[nb] = id;
                        stack.push_back(nb);
                    }
                }
            }
        }
        // Shell ids follow their lowest triangle, so the first triangle seen
        // of an untouched shell decides it.
        std::vector<uint8_t> verdict(shell_cut.size(), 0);
        std::vector<uint8_t> decided(shell_cut.size(), 0);
        for (uint32_t t = 0; t < n; ++t) {
            const uint32_t s = shell[t];
            if (shell_cut[s]) continue;
            if (!decided[s]) {
                decided[s] = 1;
                verdict[s] = kept_side(mesh, t, other, flip_other);
            }
            keep[t] = verdict[s];
        }

        std::vector<Triangle> out;
        for (uint32_t t = 0; t < n; ++t)
            if (keep[t]) out.push_back(tris[t]);
        return out;
    }

    // --- pieces -------------------------------------------------------------

    VRef replaced(VRef r) const {
        if (r.origin == Origin::Mesh2 && replace2_[r.id] != kNone) return {Origin::Mesh1, replace2_[r.id]};
        return r;
    }

    Vec3 position(VRef r) const {
        switch (r.origin) {
            case Origin::Mesh1: return m1_.points()[r.id];
            case Origin::Mesh2: return m2_.points()[r.id];
            case Origin::New: break;
        }
        return new_points_[r.id];
    }

    static Vec3 unit_normal(const TriMesh& mesh, uint32_t t) {
        const auto& p = mesh.points();
        const Triangle& tri = mesh.triangles()[t];
        const Vec3 n = cross(p[tri[1]] - p[tri[0]], p[tri[2]] - p[tri[0]]);
        const double len = norm(n);
        return len > 0.0 ? n * (1.0 / len) : Vec3{};
    }

    // Pieces of mesh 1 are kept inside the other mesh or on its surface;
    // pieces of mesh 2 only strictly inside, so a shared area is covered once.
    // "On the surface" means within the tolerance of it AND parallel to the
    // nearest triangle there: a sliver between three points of a curved
    // intersection line also lies within the tolerance of the other surface,
    // but across it, and its side is decided by the inside test alone (else
    // both sides of the line would be kept, or neither).
    std::vector<std::array<VRef, 3>> pieces(const std::vector<CutTriangle>& cuts, const std::vector<uint32_t>& index,
                                            const TriMesh& own, const TriMesh& other, bool flip_own,
                                            bool flip_other, bool first_mesh) const {
        std::vector<std::array<VRef, 3>> out;
        for (uint32_t t = 0; t < index.size(); ++t) {
            if (index[t] == kNone) continue;
            const CutTriangle& c = cuts[index[t]];
            const Vec3 own_normal = unit_normal(own, t);
            for (const auto& face : c.cdt.faces()) {
                std::array<VRef, 3> piece{replaced(c.refs[face[0]]), replaced(c.refs[face[1]]),
                                          replaced(c.refs[face[2]])};
                const Vec3 p0 = position(piece[0]), p1 = position(piece[1]), p2 = position(piece[2]);
                const Vec3 e1 = p1 - p0, e2 = p2 - p0;
                const double area2 = norm(cross(e1, e2));
                if (std::isfinite(area2) && area2 <= std::max(norm(e1), norm(e2)) * kIntersectionTolerance)
                    continue;
                const InsideResult where = inside_test(other, centre(p0, p1, p2), c.partner);
                const bool inside = where.inside != flip_other;
                const bool on_surface =
                    where.distance <= kIntersectionTolerance &&
                    norm(cross(own_normal, unit_normal(other, where.nearest.triangle))) <= tritri::kParallelSine;
                const bool keep = first_mesh ? (inside || on_surface) : (inside && !on_surface);
                if (!keep) continue;
                if (flip_own) std::swap(piece[1], piece[2]);
                out.push_back(piece);
            }
        }
        return out;
    }

    // --- result -------------------------------------------------------------

    TrackedMesh assemble(std::vector<Triangle>& run0, std::vector<Triangle>& run1,
                         const std::vector<std::array<VRef, 3>>& run2,
                         const std::vector<std::array<VRef, 3>>& run3) const {
        TrackedMesh out;
        std::vector<uint32_t> number1(m1_.points().size(), kNone), number2(m2_.points().size(), kNone),
            number_new(new_points_.size(), kNone);
        // Numbers in order of first use.
        auto number = [&](VRef r) {
            uint32_t& slot = r.origin == Origin::Mesh1   ? number1[r.id]
                             : r.origin == Origin::Mesh2 ? number2[r.id]
                                                         : number_new[r.id];
            if (slot == kNone) {
                slot = static_cast<uint32_t>(out.points.size());
                out.points.push_back(position(r));
            }
            return slot;
        };
        out.triangles.reserve(run0.size() + run1.size() + run2.size() + run3.size());
        for (const Triangle& t : run0) {
            Triangle n{number({Origin::Mesh1, t[0]}), number({Origin::Mesh1, t[1]}), number({Origin::Mesh1, t[2]})};
            if (flip1_) std::swap(n[1], n[2]);
            out.triangles.push_back(n);
        }
        for (const Triangle& t : run1) {
            Triangle n{number({Origin::Mesh2, t[0]}), number({Origin::Mesh2, t[1]}), number({Origin::Mesh2, t[2]})};
            if (flip2_) std::swap(n[1], n[2]);
            out.triangles.push_back(n);
        }
        for (const auto* run : {&run2, &run3})
            for (const auto& p : *run) out.triangles.push_back({number(p[0]), number(p[1]), number(p[2])});
        out.counts = {run0.size(), run1.size(), run2.size(), run3.size()};
        return out;
    }

    const TriMesh& m1_;
    const TriMesh& m2_;
    const bool flip1_, flip2_;
    std::vector<uint32_t> cut1_, cut2_;  // per triangle: index into cuts, or kNone
    std::vector<CutTriangle> cuts1_, cuts2_;
    std::vector<uint32_t> replace2_;  // mesh-2 vertex -> mesh-1 vertex on the same corner
    std::unordered_map<PointKey, uint32_t, KeyHash> new_vertices_;
    std::vector<Vec3> new_points_;
};

}  // namespace

TrackedOutcome tracked_intersection(const TriMesh& mesh1, bool flip1, const TriMesh& mesh2, bool flip2) {
    // Topology and pseudo-normals are built on first use, so neither can be
    // missing here; build them up front to keep that work out of the loops.
    mesh1.compute_topology();
    mesh2.compute_topology();
    mesh1.compute_pseudo_normals();
    mesh2.compute_pseudo_normals();
    return Intersection(mesh1, flip1, mesh2, flip2).run();
}

}  // namespace geom
