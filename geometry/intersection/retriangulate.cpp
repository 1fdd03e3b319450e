#include "geometry/intersection/retriangulate.h"

#include <utility>

#include "geometry/grouping.h"

namespace geom::isect {

CutTriangle::CutTriangle(const TriMesh& mesh, Origin origin, uint32_t t)
    : triangle(t),
      projection(drop_axis_projection(mesh.points()[mesh.triangles()[t][0]], mesh.points()[mesh.triangles()[t][1]],
                                      mesh.points()[mesh.triangles()[t][2]])),
      cdt(projection(mesh.points()[mesh.triangles()[t][0]]), projection(mesh.points()[mesh.triangles()[t][1]]),
          projection(mesh.points()[mesh.triangles()[t][2]])) {
    for (uint32_t v : mesh.triangles()[t]) refs.push_back({origin, v});
}

namespace {

class Builder {
public:
    Builder(const TriMesh& mesh, Origin origin, MeshCuts& out) : mesh_(mesh), origin_(origin), out_(out) {
        out_.index.assign(mesh.triangles().size(), kNone);
        out_.dropped.assign(mesh.triangles().size(), 0);
    }

    CutTriangle& cut_of(uint32_t t) {
        if (out_.index[t] == kNone) {
            out_.index[t] = static_cast<uint32_t>(out_.cuts.size());
            out_.cuts.emplace_back(mesh_, origin_, t);
            out_.cuts.back().cdt.lend_scratch(&scratch_);
        }
        return out_.cuts[out_.index[t]];
    }

    // `ref` is canonical; a point merged into a corner is that corner.
    static uint32_t add_point(const Cuts& cuts, CutTriangle& c, Vec3 p, TriangleFeature own, VRef ref) {
        if (own.kind == FeatureKind::Vertex) return own.index;
        for (uint32_t k = 0; k < 3; ++k)
            if (cuts.canonical(c.refs[k]) == ref) return k;
        const OnEdge edge = own.kind == FeatureKind::Edge ? static_cast<OnEdge>(own.index) : OnEdge::None;
        const PointKey key{static_cast<uint64_t>(ref.origin), ref.id};
        const uint32_t id = c.cdt.insert(c.projection(p), key, edge);
        if (id == c.refs.size()) {
            c.refs.push_back(ref);
            // Also a point that the triangulation moved onto an edge: the
            // neighbour there needs it too.
            const OnEdge placed = c.cdt.vertex_edge(id);
            if (placed != OnEdge::None) c.edge_points.push_back({p, ref, static_cast<uint8_t>(placed)});
        }
        return id;
    }

    // Splits the triangles across edges that received a point since the
    // last call; entries are appended while walking, so every new edge point
    // is seen.
    void propagate_edge_points(const Cuts& cuts) {
        std::vector<std::pair<uint32_t, uint32_t>> work;  // (cut, edge point)
        spread_.resize(out_.cuts.size(), 0);
        for (uint32_t c = 0; c < out_.cuts.size(); ++c)
            for (uint32_t e = spread_[c]; e < out_.cuts[c].edge_points.size(); ++e) work.emplace_back(c, e);
        for (size_t w = 0; w < work.size(); ++w) {
            const auto [c, e] = work[w];
            const CutTriangle::EdgePoint ep = out_.cuts[c].edge_points[e];
            const uint32_t twin = mesh_.twin(3 * out_.cuts[c].triangle + ep.edge);
            if (twin == HalfEdgeTopology::kNone) continue;
            const uint32_t nb = TriMesh::triangle_of(twin);
            // A triangle without area (or with a non-finite corner) has no
            // triangulation: it is left out, and the assembly splits its
            // neighbours across it where the points on its edges need it.
            if (!cuttable(mesh_, nb)) {
                out_.dropped[nb] = 1;
                continue;
            }
            CutTriangle& n = cut_of(nb);
            const uint32_t ni = out_.index[nb];
            const size_t before = n.edge_points.size();
            add_point(cuts, n, ep.p, {FeatureKind::Edge, static_cast<uint8_t>(twin % 3)}, ep.ref);
            for (size_t k = before; k < n.edge_points.size(); ++k) work.emplace_back(ni, static_cast<uint32_t>(k));
        }
        spread_.resize(out_.cuts.size());
        for (uint32_t c = 0; c < out_.cuts.size(); ++c) spread_[c] = static_cast<uint32_t>(out_.cuts[c].edge_points.size());
    }

private:
    const TriMesh& mesh_;
    Origin origin_;
    MeshCuts& out_;
    std::vector<uint32_t> spread_;  // per cut triangle: edge points already passed on
    TriangleCdt::Scratch scratch_;  // lent to every triangulation while it is built
};

// A triangle cut by many pairs gets their points before any segment, in a
// random (fixed) order: in pair order, consecutive points along one
// straight curve make each insertion flip a fan of the earlier ones, which
// is quadratic; in random order the flips per point are constant on
// average. Triangles with few points keep pair order.
constexpr uint32_t kRandomOrderFrom = 32;

void insert_many_at_random(const TriMesh& m1, const TriMesh& m2, const Cuts& cuts, Which which, MeshCuts& out) {
    const bool first = which == Which::First;
    std::vector<uint32_t> start(out.cuts.size() + 1, 0);
    for (const PairCut& pc : cuts.pairs) start[out.index[first ? pc.t1 : pc.t2] + 1] += pc.n_points;
    bool any = false;
    for (size_t c = 0; c < out.cuts.size(); ++c) any = any || start[c + 1] >= kRandomOrderFrom;
    if (!any) return;
    for (size_t c = 0; c < out.cuts.size(); ++c) start[c + 1] += start[c];
    std::vector<uint32_t> points(start.back());
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (const PairCut& pc : cuts.pairs) {
        const uint32_t c = out.index[first ? pc.t1 : pc.t2];
        for (uint32_t i = 0; i < pc.n_points; ++i) points[fill[c]++] = pc.first_point + i;
    }
    for (uint32_t c = 0; c < out.cuts.size(); ++c) {
        const uint32_t lo = start[c], hi = start[c + 1];
        if (hi - lo < kRandomOrderFrom) continue;
        CutTriangle& cut = out.cuts[c];
        uint64_t state = 0x9e3779b97f4a7c15ull ^ cut.triangle;
        for (uint32_t k = hi - lo; k > 1; --k) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::swap(points[lo + k - 1], points[lo + static_cast<uint32_t>(state % k)]);
        }
        for (uint32_t k = lo; k < hi; ++k) {
            const CutPoint& cp = cuts.points[points[k]];
            Builder::add_point(cuts, cut, cuts.position(m1, m2, cp.ref), first ? cp.f1 : cp.f2, cp.ref);
        }
    }
}

// Indices of the pairs grouped by their mesh-2 triangle, in the order of
// its cut entry, each group in pair order.
std::vector<uint32_t> grouped_by_second(const Cuts& cuts, const MeshCuts& out) {
    return group_by(out.cuts.size(), cuts.pairs.size(), [&](size_t k) { return out.index[cuts.pairs[k].t2]; }).members;
}

}  // namespace

MeshCuts retriangulate(const TriMesh& m1, const TriMesh& m2, const Cuts& cuts, Which which) {
    const bool first = which == Which::First;
    const TriMesh& mesh = first ? m1 : m2;
    MeshCuts out;
    Builder builder(mesh, first ? Origin::Mesh1 : Origin::Mesh2, out);
    // Cut triangles are numbered in pair order. Room for them up front (and
    // some reached only through an edge point): each move of the list would
    // copy every triangulation.
    size_t distinct = 0;
    for (const PairCut& pc : cuts.pairs) {
        uint32_t& mark = out.index[first ? pc.t1 : pc.t2];
        if (mark == kNone) mark = 0, ++distinct;
    }
    for (const PairCut& pc : cuts.pairs) out.index[first ? pc.t1 : pc.t2] = kNone;
    out.cuts.reserve(distinct + distinct / 8);
    for (const PairCut& pc : cuts.pairs) {
        CutTriangle& c = builder.cut_of(first ? pc.t1 : pc.t2);
        if (c.partner == kNone) c.partner = first ? pc.t2 : pc.t1;
    }
    // Pairs run in mesh-1 order; mesh 2 takes them grouped by its triangle
    // (each group still in pair order, so every triangulation sees the same
    // steps) to keep one triangulation in cache while its points and
    // segments go in.
    const std::vector<uint32_t> order = first ? std::vector<uint32_t>{} : grouped_by_second(cuts, out);
    auto pair_at = [&](size_t k) -> const PairCut& { return cuts.pairs[first ? k : order[k]]; };
    const size_t n_pairs = cuts.pairs.size();
    // Points on an edge go in first, and reach the neighbour across it, so
    // that a point that other pairs see inside the face (two curve points
    // merged) is still placed on the edge.
    for (size_t k = 0; k < n_pairs; ++k) {
        const PairCut& pc = pair_at(k);
        const uint32_t own = first ? pc.t1 : pc.t2, other = first ? pc.t2 : pc.t1;
        CutTriangle& c = out.cuts[out.index[own]];
        if (pc.coplanar) c.coplanar.push_back(other);
        for (uint32_t i = 0; i < pc.n_points; ++i) {
            const CutPoint& cp = cuts.points[pc.first_point + i];
            const TriangleFeature f = first ? cp.f1 : cp.f2;
            if (f.kind == FeatureKind::Edge) Builder::add_point(cuts, c, cuts.position(m1, m2, cp.ref), f, cp.ref);
        }
    }
    builder.propagate_edge_points(cuts);
    insert_many_at_random(m1, m2, cuts, which, out);
    uint32_t ids[256];  // per point of a pair (at most 255)
    for (size_t k = 0; k < n_pairs; ++k) {
        const PairCut& pc = pair_at(k);
        CutTriangle& c = out.cuts[out.index[first ? pc.t1 : pc.t2]];
        for (uint32_t i = 0; i < pc.n_points; ++i) {
            const CutPoint& cp = cuts.points[pc.first_point + i];
            ids[i] = Builder::add_point(cuts, c, cuts.position(m1, m2, cp.ref), first ? cp.f1 : cp.f2, cp.ref);
        }
        for (uint32_t s = 0; s < pc.n_segments; ++s) {
            const auto [i, j] = cuts.segments[pc.first_segment + s];
            if (!c.cdt.add_constraint(ids[i], ids[j])) ++c.refused;
            const CutPoint& pi = cuts.points[pc.first_point + i];
            const CutPoint& pj = cuts.points[pc.first_point + j];
            const TriangleFeature fi = first ? pi.f1 : pi.f2, fj = first ? pj.f1 : pj.f2;
            const TriangleFeature along = segment_feature(fi, fj);
            if (along.kind == FeatureKind::Edge) c.along.push_back({ids[i], ids[j], along.index});
        }
    }
    builder.propagate_edge_points(cuts);
    for (CutTriangle& c : out.cuts) c.cdt.lend_scratch(nullptr);
    return out;
}

}  // namespace geom::isect
