#include "geometry/intersection/assemble.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace geom::isect {

namespace {

struct Tagged {
    Triangle t;
    uint8_t run;
};

// Where one side of a curve has a vertex that the other lacks (two points
// merged in one triangulation and not in its neighbour), a triangle edge u-v
// faces a chain v-w1-...-wk-u of edges on the line through u and v. The
// triangle is split at the chain's vertices, which closes the surface.
// Only edges between vertices of pieces can be unmatched.
class Zipper {
public:
    Zipper(std::vector<Tagged>& tris, const std::vector<Vec3>& points, double tol)
        : tris_(tris), points_(points), tol_(tol) {}

    void run() {
        for (int pass = 0; pass < 4; ++pass) {
            count_edges();
            if (excess_.empty() || !split_all()) return;
        }
    }

private:
    // Directed edges among piece vertices grouped by their first vertex
    // (a counting sort, then a short sort per vertex): linear in the edges
    // where one sort of them all is not.
    void count_edges() {
        const size_t n = points_.size();
        in_piece_.assign(n, 0);
        for (const Tagged& t : tris_)
            if (t.run >= 2)
                for (uint32_t v : t.t) in_piece_[v] = 1;
        start_.assign(n + 1, 0);
        for (const Tagged& t : tris_)
            for (int k = 0; k < 3; ++k) {
                const uint32_t u = t.t[k], v = t.t[next_corner(k)];
                if (in_piece_[u] && in_piece_[v]) ++start_[u + 1];
            }
        for (size_t i = 0; i < n; ++i) start_[i + 1] += start_[i];
        to_.resize(start_[n]);
        std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
        for (const Tagged& t : tris_)
            for (int k = 0; k < 3; ++k) {
                const uint32_t u = t.t[k], v = t.t[next_corner(k)];
                if (in_piece_[u] && in_piece_[v]) to_[fill[u]++] = v;
            }
        excess_.clear();
        for (uint32_t u = 0; u < n; ++u) std::sort(to_.begin() + start_[u], to_.begin() + start_[u + 1]);
        for (uint32_t u = 0; u < n; ++u) {
            const auto lo = to_.begin() + start_[u], hi = to_.begin() + start_[u + 1];
            for (auto i = lo; i != hi;) {
                auto j = i;
                while (j != hi && *j == *i) ++j;
                if (static_cast<int>(j - i) > count(*i, u)) excess_.emplace_back(u, *i);
                i = j;
            }
        }
    }

    int count(uint32_t u, uint32_t v) const {
        const auto r = std::equal_range(to_.begin() + start_[u], to_.begin() + start_[u + 1], v);
        return static_cast<int>(r.second - r.first);
    }

    bool unmatched(uint32_t u, uint32_t v) const { return count(u, v) > count(v, u); }

    // Targets of unmatched edges leaving u, ascending.
    std::pair<const std::pair<uint32_t, uint32_t>*, const std::pair<uint32_t, uint32_t>*> leaving(uint32_t u) const {
        const auto lo = std::lower_bound(excess_.begin(), excess_.end(), std::pair<uint32_t, uint32_t>{u, 0});
        auto hi = lo;
        while (hi != excess_.end() && hi->first == u) ++hi;
        return {excess_.data() + (lo - excess_.begin()), excess_.data() + (hi - excess_.begin())};
    }

    // Parameter of w along u -> v when w lies on that segment, else -1.
    double on_segment(uint32_t u, uint32_t v, uint32_t w) const {
        const Vec3 a = points_[u], d = points_[v] - a, p = points_[w] - a;
        const double dd = dot(d, d);
        if (!(dd > 0.0)) return -1.0;
        const double t = dot(p, d) / dd;
        if (!(t > 0.0 && t < 1.0)) return -1.0;
        const Vec3 off = p - d * t;
        const double limit = std::max(tol_, 1e-9 * std::sqrt(dd));
        return norm(off) <= limit ? t : -1.0;
    }

    // The chain from v back to u along unmatched edges, points moving
    // monotonically from v to u; empty when there is none.
    bool chain(uint32_t u, uint32_t v, std::vector<uint32_t>& out) const {
        out.clear();
        uint32_t at = v;
        double last = 1.0;  // parameter along u -> v
        for (int step = 0; step < 32; ++step) {
            const auto [first, last_edge] = leaving(at);
            if (first == last_edge) return false;
            uint32_t next = kNone;
            double best = -1.0;
            for (auto e = first; e != last_edge; ++e) {
                const uint32_t w = e->second;
                if (w == u) {
                    if (!out.empty()) return true;
                    continue;
                }
                const double t = on_segment(u, v, w);
                if (t >= 0.0 && t < last && t > best) {
                    best = t;
                    next = w;
                }
            }
            if (next == kNone) return false;
            out.push_back(next);
            last = best;
            at = next;
        }
        return false;
    }

    bool split_all() {
        bool changed = false;
        std::vector<uint32_t> ws;
        const size_t n = tris_.size();
        for (size_t i = 0; i < n; ++i) {
            for (int k = 0; k < 3; ++k) {
                const Triangle t = tris_[i].t;
                const uint32_t u = t[k], v = t[next_corner(k)], x = t[prev_corner(k)];
                if (!in_piece_[u] || !in_piece_[v] || !unmatched(u, v) || !chain(u, v, ws)) continue;
                // ws runs from v towards u: the triangle becomes u-wk-x, ..., w1-v-x.
                const uint8_t run = tris_[i].run < 2 ? static_cast<uint8_t>(tris_[i].run + 2) : tris_[i].run;
                uint32_t prev = u;
                for (size_t j = ws.size(); j-- > 0;) {
                    tris_.push_back({{prev, ws[j], x}, run});
                    prev = ws[j];
                }
                tris_[i] = {{prev, v, x}, run};
                changed = true;
                break;
            }
        }
        return changed;
    }

    std::vector<Tagged>& tris_;
    const std::vector<Vec3>& points_;
    double tol_;
    std::vector<uint8_t> in_piece_;
    std::vector<uint32_t> start_, to_;                     // directed edges among piece vertices, by first vertex
    std::vector<std::pair<uint32_t, uint32_t>> excess_;    // unmatched ones, sorted
};

}  // namespace

TrackedMesh assemble(const TriMesh& m1, const TriMesh& m2, const Cuts& cuts, const MeshRuns& runs1,
                     const MeshRuns& runs2, bool flip1, bool flip2) {
    // Vertices numbered in order of first use, over the triangles in run order.
    std::vector<Vec3> points;
    std::vector<uint32_t> number1(m1.points().size(), kNone), number2(m2.points().size(), kNone),
        number_new(cuts.new_points.size(), kNone);
    auto number = [&](VRef r) {
        r = cuts.canonical(r);
        uint32_t& slot = r.origin == Origin::Mesh1   ? number1[r.id]
                         : r.origin == Origin::Mesh2 ? number2[r.id]
                                                     : number_new[r.id];
        if (slot == kNone) {
            slot = static_cast<uint32_t>(points.size());
            points.push_back(cuts.position(m1, m2, r));
        }
        return slot;
    };
    std::vector<Tagged> tris;
    tris.reserve(runs1.whole.size() + runs2.whole.size() + runs1.pieces.size() + runs2.pieces.size());
    uint8_t run = 0;
    for (const auto& [runs, mesh, origin, flip] :
         {std::tuple{&runs1, &m1, Origin::Mesh1, flip1}, std::tuple{&runs2, &m2, Origin::Mesh2, flip2}}) {
        for (uint32_t t : runs->whole) {
            const Triangle& tri = mesh->triangles()[t];
            Triangle n{number({origin, tri[0]}), number({origin, tri[1]}), number({origin, tri[2]})};
            if (flip) std::swap(n[1], n[2]);
            tris.push_back({n, run});
        }
        ++run;
    }
    // Pieces thinner than the merge distance are rounding noise (a sliver
    // between points of a curve that lie on the other surface): left out,
    // the zip below closes what they leave.
    bool dropped = false;
    for (const MeshRuns* runs : {&runs1, &runs2}) {
        for (const auto& p : runs->pieces) {
            const VRef a = cuts.canonical(p[0]), b = cuts.canonical(p[1]), c = cuts.canonical(p[2]);
            if (a == b || b == c || c == a ||
                height(cuts.position(m1, m2, a), cuts.position(m1, m2, b), cuts.position(m1, m2, c)) <=
                    cuts.merge_tol) {
                dropped = true;
                continue;
            }
            tris.push_back({{number(a), number(b), number(c)}, run});
        }
        ++run;
    }
    const size_t before = tris.size();
    Zipper(tris, points, cuts.merge_tol).run();

    TrackedMesh out;
    out.counts = {};
    for (const Tagged& t : tris) ++out.counts[t.run];
    if (tris.size() == before && !dropped) {
        out.points = std::move(points);
        out.triangles.reserve(tris.size());
        for (const Tagged& t : tris) out.triangles.push_back(t.t);
        return out;
    }
    // Runs again in order, vertices renumbered by first use.
    std::stable_sort(tris.begin(), tris.end(), [](const Tagged& a, const Tagged& b) { return a.run < b.run; });
    std::vector<uint32_t> renumber(points.size(), kNone);
    out.triangles.reserve(tris.size());
    for (const Tagged& t : tris) {
        Triangle n;
        for (int k = 0; k < 3; ++k) {
            uint32_t& slot = renumber[t.t[k]];
            if (slot == kNone) {
                slot = static_cast<uint32_t>(out.points.size());
                out.points.push_back(points[t.t[k]]);
            }
            n[k] = slot;
        }
        out.triangles.push_back(n);
    }
    return out;
}

}  // namespace geom::isect
