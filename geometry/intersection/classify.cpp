#include "geometry/intersection/classify.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "geometry/assert.h"
#include "geometry/disjoint_sets.h"
#include "geometry/pair_map.h"
#include "geometry/predicates/predicates.h"
#include "geometry/query/closest_point.h"

namespace geom::isect {

namespace {

constexpr double kThird = 1.0 / 3.0;
Vec3 centre(Vec3 a, Vec3 b, Vec3 c) { return a * kThird + b * kThird + c * kThird; }

// Roots are the lowest member, so the result does not depend on union order.
class Patches {
public:
    explicit Patches(size_t n) : sets_(n) {}
    uint32_t find(uint32_t x) { return sets_.find(x); }
    void unite(uint32_t a, uint32_t b) { sets_.unite_low(a, b); }

private:
    DisjointSets sets_;
};

// Boundary edge (0..2) of the corner triangle that the face edge a -> b lies on.
int boundary_edge(const TriangleCdt& cdt, uint32_t a, uint32_t b) {
    if (a >= 3 && cdt.vertex_edge(a) != OnEdge::None) return static_cast<int>(cdt.vertex_edge(a));
    if (b >= 3 && cdt.vertex_edge(b) != OnEdge::None) return static_cast<int>(cdt.vertex_edge(b));
    if (a < 3 && b == next_corner(a)) return static_cast<int>(a);
    return -1;
}

double edge_param(const TriangleCdt& cdt, int k, uint32_t v) {
    const Vec2 c = cdt.vertex(static_cast<uint32_t>(k)), d = cdt.vertex(static_cast<uint32_t>(next_corner(k)));
    const Vec2 p = cdt.vertex(v);
    return (p.x - c.x) * (d.x - c.x) + (p.y - c.y) * (d.y - c.y);
}

// Whether the boundary stretch a-b on edge k lies on a curve segment there.
bool on_curve(const CutTriangle& c, int k, uint32_t a, uint32_t b) {
    if (c.along.empty()) return false;
    const double ta = edge_param(c.cdt, k, a), tb = edge_param(c.cdt, k, b);
    for (const CutTriangle::Along& s : c.along) {
        if (s.edge != k) continue;
        const double t0 = edge_param(c.cdt, k, s.a), t1 = edge_param(c.cdt, k, s.b);
        const double lo = std::min(t0, t1), hi = std::max(t0, t1);
        if (ta >= lo && ta <= hi && tb >= lo && tb <= hi) return true;
    }
    return false;
}

// How far the centre is from the triangle's edges, roughly. Non-finite:
// never preferred.
double score(Vec3 a, Vec3 b, Vec3 c) {
    const double s = height(a, b, c);
    return std::isfinite(s) ? s : -1.0;
}

// Unit normals closer than this (|n1 x n2|) count as parallel.
constexpr double kParallelSine = 1e-6;

// From this many inside tests on, one batch query beats one search each.
constexpr size_t kBatchFrom = 64;

class Classifier {
public:
    explicit Classifier(const ClassifyInput& in)
        : in_(in), n_(static_cast<uint32_t>(in.own.triangles().size())) {}

    MeshRuns run() {
        size_t bound = 0;
        for (const CutTriangle& c : in_.own_cuts.cuts) bound += c.cdt.num_faces();
        Patches patches(n_ + bound);
        join_whole(patches);
        collect_pieces(patches, bound);
        return decide(patches);
    }

private:
    struct Piece {
        uint32_t cut;
        std::array<uint32_t, 3> v;  // triangulation vertices
        std::array<VRef, 3> refs;   // canonical
        TriangleCdt::Links links;   // across: index among the cut triangle's pieces
    };

    // Each cut triangle's pieces are joined as soon as they are listed,
    // while its triangulation is still in cache.
    void collect_pieces(Patches& patches, size_t bound) {
        const MeshCuts& mc = in_.own_cuts;
        base_.resize(mc.cuts.size());
        pieces_.reserve(bound);
        PairMap open;  // piece edges (a, b) still to meet their reverse
        std::vector<TriangleCdt::Links> links;
        for (uint32_t t = 0; t < n_; ++t) {
            const uint32_t ci = mc.index[t];
            if (ci == kNone) continue;
            const CutTriangle& c = mc.cuts[ci];
            base_[ci] = static_cast<uint32_t>(pieces_.size());
            const auto faces = c.cdt.faces(links);
            for (size_t j = 0; j < faces.size(); ++j) {
                const auto& f = faces[j];
                pieces_.push_back({ci, f,
                                   {in_.cuts.canonical(c.refs[f[0]]), in_.cuts.canonical(c.refs[f[1]]),
                                    in_.cuts.canonical(c.refs[f[2]])},
                                   links[j]});
            }
            Q_ASSERT(pieces_.size() <= bound, "classify: a triangulation lists no more faces than it counts");
            join_pieces(patches, base_[ci], static_cast<uint32_t>(pieces_.size()), open);
        }
    }

    void join_whole(Patches& patches) {
        const std::vector<uint32_t>& twins = in_.own.topology().twin;
        const auto& index = in_.own_cuts.index;
        const auto& dropped = in_.own_cuts.dropped;
        for (uint32_t t = 0; t < n_; ++t) {
            if (index[t] != kNone || dropped[t]) continue;
            for (uint32_t h = 3 * t; h < 3 * t + 3; ++h) {
                const uint32_t twin = twins[h];
                if (twin == HalfEdgeTopology::kNone || twin < h) continue;
                const uint32_t nb = TriMesh::triangle_of(twin);
                if (index[nb] == kNone && !dropped[nb]) patches.unite(t, nb);
            }
        }
    }

    // Pieces of one cut triangle join across their unconstrained edges; on
    // the corner triangle's boundary, away from the curve, they join the
    // neighbour across the mesh edge: a whole triangle, or the piece of a
    // cut one with the reverse edge.
    void join_pieces(Patches& patches, uint32_t from, uint32_t to,
                     PairMap& open) {
        const TriMesh& mesh = in_.own;
        const MeshCuts& mc = in_.own_cuts;
        for (uint32_t piece = from; piece < to; ++piece) {
            const Piece& p = pieces_[piece];
            const CutTriangle& c = mc.cuts[p.cut];
            for (int e = 0; e < 3; ++e) {
                const uint32_t a = p.v[e], b = p.v[next_corner(e)];
                if (const uint32_t across = p.links.across[e]; across != kNone) {
                    if (a < b && !((p.links.fixed >> e) & 1u)) patches.unite(n_ + piece, n_ + base_[p.cut] + across);
                    continue;
                }
                const int k = boundary_edge(c.cdt, a, b);
                if (k < 0 || on_curve(c, k, a, b)) continue;
                const uint32_t twin = mesh.twin(3 * c.triangle + static_cast<uint32_t>(k));
                if (twin == HalfEdgeTopology::kNone) continue;
                const uint32_t nb = TriMesh::triangle_of(twin);
                if (mc.dropped[nb]) continue;
                if (mc.index[nb] == kNone) {
                    patches.unite(n_ + piece, nb);
                    rim_.push_back(nb);
                    continue;
                }
                const uint64_t ra = p.refs[e].code(), rb = p.refs[next_corner(e)].code();
                if (const uint32_t found = open.find(rb, ra); found != kNone) {
                    patches.unite(n_ + piece, found);
                } else {
                    open.insert(ra, rb, n_ + piece);
                }
            }
        }
    }

    Vec3 pos(VRef r) const { return in_.cuts.position(in_.m1, in_.m2, r); }

    Vec3 own_normal(uint32_t t) const {
        const auto& p = in_.own.points();
        const Triangle& tri = in_.own.triangles()[t];
        return cross(p[tri[1]] - p[tri[0]], p[tri[2]] - p[tri[0]]);
    }
    Vec3 other_normal(uint32_t t) const {
        const auto& p = in_.other.points();
        const Triangle& tri = in_.other.triangles()[t];
        return cross(p[tri[1]] - p[tri[0]], p[tri[2]] - p[tri[0]]);
    }

    // +1 when the surfaces face the same way after the flips, -1 when opposite.
    int facing(Vec3 n_own, Vec3 n_other) const {
        return (dot(n_own, n_other) > 0.0) == (in_.flip_own == in_.flip_other) ? 1 : -1;
    }

    // Lying on a triangle of the other mesh in its plane, by exact in-plane
    // tests: the facing; 0 when not.
    int coplanar_overlap(const CutTriangle& c, Vec3 p) const {
        if (c.coplanar.empty()) return 0;
        const auto& op = in_.other.points();
        const Vec2 q = c.projection(p);
        for (uint32_t o : c.coplanar) {
            const Triangle& t = in_.other.triangles()[o];
            const Vec2 a = c.projection(op[t[0]]), b = c.projection(op[t[1]]), d = c.projection(op[t[2]]);
            const int orientation = sign(orient2d(a, b, d));
            if (orientation == 0) continue;
            if (sign(orient2d(a, b, q)) * orientation < 0 || sign(orient2d(b, d, q)) * orientation < 0 ||
                sign(orient2d(d, a, q)) * orientation < 0)
                continue;
            return facing(own_normal(c.triangle), other_normal(o));
        }
        return 0;
    }

    // Whether the patch of a member of triangle t is kept, from the inside
    // test at its test point. A test point within the merge distance of the
    // other surface, on a triangle parallel to its own, lies in a coincident
    // area whose planes differ by rounding only: the facing decides, as for
    // exact ones.
    bool kept(uint32_t t, const InsideResult& r) const {
        if (r.distance <= in_.cuts.merge_tol) {
            const Vec3 a = own_normal(t), b = other_normal(r.nearest.triangle);
            const double la = norm(a), lb = norm(b);
            if (la > 0.0 && lb > 0.0 && norm(cross(a * (1.0 / la), b * (1.0 / lb))) <= kParallelSine) {
                return facing(a, b) > 0 && in_.first;
            }
        }
        return r.inside != in_.flip_other;
    }

    MeshRuns decide(Patches& patches) {
        const auto& tris = in_.own.triangles();
        const auto& pts = in_.own.points();
        const uint32_t total = n_ + static_cast<uint32_t>(pieces_.size());
        // A patch with pieces is decided at its best member: the highest
        // score among its pieces and the whole triangles beside them, the
        // lowest id on ties. A patch of whole triangles only is an untouched
        // shell, decided at its root, its lowest triangle.
        std::vector<uint32_t> best(total, kNone);
        std::vector<double> best_score(total, -2.0);
        auto consider = [&](uint32_t id, double s) {
            const uint32_t root = patches.find(id);
            if (s > best_score[root] || (s == best_score[root] && id < best[root])) {
                best_score[root] = s;
                best[root] = id;
            }
        };
        for (uint32_t j = 0; j < pieces_.size(); ++j) {
            const auto& r = pieces_[j].refs;
            consider(n_ + j, score(pos(r[0]), pos(r[1]), pos(r[2])));
        }
        for (uint32_t t : rim_) consider(t, score(pts[tris[t][0]], pts[tris[t][1]], pts[tris[t][2]]));

        // Test points of the patches, in order of first use; one batch of
        // nearest-triangle queries serves them all when there are many.
        std::vector<uint8_t> keep(total, 2);  // 0, 1: the verdict; 2: not decided yet
        std::vector<uint32_t> tested;         // roots waiting for an inside test
        std::vector<uint32_t> tested_triangle;
        std::vector<Vec3> test_points;
        std::vector<uint32_t> hints;
        auto prepare = [&](uint32_t root) {
            if (keep[root] != 2) return;  // decided, or queued (3)
            const uint32_t id = best[root] == kNone ? root : best[root];
            Vec3 p;
            uint32_t t = id, hint = kNone;
            if (id < n_) {
                p = centre(pts[tris[id][0]], pts[tris[id][1]], pts[tris[id][2]]);
            } else {
                const Piece& piece = pieces_[id - n_];
                const CutTriangle& c = in_.own_cuts.cuts[piece.cut];
                p = centre(pos(piece.refs[0]), pos(piece.refs[1]), pos(piece.refs[2]));
                t = c.triangle;
                hint = c.partner;
                if (const int coplanar = coplanar_overlap(c, p); coplanar != 0) {
                    keep[root] = coplanar > 0 && in_.first;
                    return;
                }
            }
            keep[root] = 3;
            tested.push_back(root);
            tested_triangle.push_back(t);
            test_points.push_back(p);
            hints.push_back(hint);
        };
        for (uint32_t t = 0; t < n_; ++t)
            if (in_.own_cuts.index[t] == kNone && !in_.own_cuts.dropped[t]) prepare(patches.find(t));
        for (uint32_t j = 0; j < pieces_.size(); ++j) prepare(patches.find(n_ + j));
        std::vector<NearestTriangle> near;
        if (tested.size() >= kBatchFrom) {
            near = nearest_triangles(in_.other, test_points, hints);
        } else {
            for (size_t k = 0; k < tested.size(); ++k) near.push_back(nearest_triangle(in_.other, test_points[k], hints[k]));
        }
        for (size_t k = 0; k < tested.size(); ++k)
            keep[tested[k]] = kept(tested_triangle[k], inside_test(in_.other, test_points[k], near[k]));
        auto verdict = [&](uint32_t root) { return keep[root] == 1; };

        MeshRuns out;
        for (uint32_t t = 0; t < n_; ++t)
            if (in_.own_cuts.index[t] == kNone && !in_.own_cuts.dropped[t] && verdict(patches.find(t)))
                out.whole.push_back(t);
        for (uint32_t j = 0; j < pieces_.size(); ++j) {
            if (!verdict(patches.find(n_ + j))) continue;
            std::array<VRef, 3> r = pieces_[j].refs;
            if (in_.flip_own) std::swap(r[1], r[2]);
            out.pieces.push_back(r);
            out.piece_triangle.push_back(in_.own_cuts.cuts[pieces_[j].cut].triangle);
        }
        return out;
    }

    const ClassifyInput& in_;
    const uint32_t n_;
    std::vector<Piece> pieces_;
    std::vector<uint32_t> base_;  // per cut triangle: id of its first piece in pieces_
    std::vector<uint32_t> rim_;   // whole triangles beside a piece
};

}  // namespace

MeshRuns classify(const ClassifyInput& in) { return Classifier(in).run(); }

}  // namespace geom::isect
