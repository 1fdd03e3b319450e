// TriangleCdt: constraint recovery. trace finds what a segment crosses;
// retriangulate or insert_by_flips then rebuild that cavity.
#include <algorithm>
#include <utility>

#include "geometry/assert.h"
#include "geometry/panic.h"
#include "geometry/triangulation/cdt.h"

namespace geom {

namespace {

uint64_t edge_key(uint32_t u, uint32_t w) { return (static_cast<uint64_t>(u) << 32) | w; }

}  // namespace

void TriangleCdt::set_fixed(uint32_t f, int i) {
    Tri& t = tris_[f];
    t.fixed = static_cast<uint8_t>(t.fixed | (1u << i));
    const uint32_t g = t.n[i];
    if (g == kNone) return;
    const int j = edge_index(tris_[g], t.v[prev_corner(i)], t.v[next_corner(i)]);
    Q_ASSERT(j >= 0, "set_fixed: the face across an edge holds it reversed");
    if (j >= 0) tris_[g].fixed = static_cast<uint8_t>(tris_[g].fixed | (1u << j));
}

// Follows segment s -> b from s up to the next vertex on it. With a cavity,
// fills it with what the piece s -> stop crosses (left empty when the piece
// is an existing edge).
TriangleCdt::Trace TriangleCdt::trace(uint32_t s, uint32_t b, Cavity* cavity) {
    Trace out;
    if (cavity) {
        cavity->faces.clear();
        cavity->left.clear();
        cavity->right.clear();
        cavity->crossed.clear();
        cavity->repeats = false;
        if (cavity->seen.size() < verts_.size()) cavity->seen.resize(verts_.size(), 0);
        if (++cavity->stamp == 0) {
            std::fill(cavity->seen.begin(), cavity->seen.end(), 0);
            cavity->stamp = 1;
        }
    }
    // Find the face around s whose corner at s contains the direction to b.
    const uint32_t f0 = verts_[s].tri;
    uint32_t f = f0;
    bool first_way = true;
    uint32_t hit = kNone;
    int hit_i = -1;
    Sign o1 = Sign::Zero, o2 = Sign::Zero;
    for (size_t guard = 0; guard <= tris_.size(); ++guard) {
        const Tri& t = tris_[f];
        const int i = index_of(t, s);
        Q_ASSERT(i >= 0, "trace: every face met around s has s as a corner");
        if (i < 0) break;
        o1 = orient(s, t.v[next_corner(i)], b);
        if (o1 != Sign::Negative) {
            o2 = orient(s, t.v[prev_corner(i)], b);
            if (o2 != Sign::Positive) {
                hit = f, hit_i = i;
                break;
            }
        }
        uint32_t g = first_way ? t.n[prev_corner(i)] : t.n[next_corner(i)];
        if (g == f0) break;  // full turn
        if (g == kNone) {
            if (!first_way) break;
            first_way = false;  // s is on the boundary: sweep the other way from f0
            const Tri& t0 = tris_[f0];
            g = t0.n[next_corner(index_of(t0, s))];
            if (g == kNone) break;
        }
        f = g;
    }
    // With exact predicates some corner at s holds the direction to b; if
    // none does, release builds refuse the segment.
    Q_ASSERT(hit != kNone, "trace: the star of s covers every direction into the triangle");
    if (hit == kNone) {
        out.blocked = true;
        return out;
    }
    const Tri& th = tris_[hit];
    if (o1 == Sign::Zero) {
        out.stop = th.v[next_corner(hit_i)];
        out.face = hit, out.edge = prev_corner(hit_i);
        return out;
    }
    if (o2 == Sign::Zero) {
        out.stop = th.v[prev_corner(hit_i)];
        out.face = hit, out.edge = next_corner(hit_i);
        return out;
    }
    uint32_t right = th.v[next_corner(hit_i)], left = th.v[prev_corner(hit_i)];
    if (cavity) {
        cavity->faces.push_back(hit);
        cavity->right.push_back(right);
        cavity->left.push_back(left);
        cavity->seen[right] = cavity->seen[left] = cavity->stamp;
    }
    uint32_t cur = hit;
    int edge = hit_i;
    for (size_t guard = 0; guard <= tris_.size(); ++guard) {
        const Tri& t = tris_[cur];
        if ((t.fixed >> edge) & 1u) {
            out.blocked = true;
            return out;
        }
        const uint32_t g = t.n[edge];
        if (g == kNone) break;
        const Tri& u = tris_[g];
        const int j = edge_index(u, left, right);
        if (j < 0) break;
        const uint32_t w = u.v[j];
        if (cavity) {
            cavity->faces.push_back(g);
            cavity->crossed.push_back({left, right});
        }
        if (w == b) {
            out.stop = b;
            return out;
        }
        const Sign ow = orient(s, b, w);
        if (ow == Sign::Zero) {
            out.stop = w;
            return out;
        }
        // w joins the chain on its side: the segment leaves through left-w
        // when w is right of it, else through w-right.
        const bool w_right = ow == Sign::Negative;
        edge = index_of(u, w_right ? right : left);
        (w_right ? right : left) = w;
        if (cavity) {
            (w_right ? cavity->right : cavity->left).push_back(w);
            cavity->repeats = cavity->repeats || cavity->seen[w] == cavity->stamp;
            cavity->seen[w] = cavity->stamp;
        }
        cur = g;
    }
    // Ran off the mesh or lost the crossed edge: the segment ends at a vertex
    // inside the triangle, so only broken adjacency gets here.
    Q_ASSERT(false, "trace: the walk along a segment stays inside the triangulation");
    out.blocked = true;
    return out;
}

bool TriangleCdt::add_constraint(uint32_t a, uint32_t b) {
    if (a >= verts_.size() || b >= verts_.size()) panic("TriangleCdt::add_constraint: vertex id out of range");
    if (a == b) return true;
    if (degenerate_) return false;
    // First check the whole segment, then change anything.
    uint32_t cur = a;
    for (size_t n = 0; cur != b; ++n) {
        const Trace tr = trace(cur, b, nullptr);
        if (tr.blocked || n > verts_.size()) return false;
        cur = tr.stop;
    }
    Cavity& cavity = scratch().cavity;
    cur = a;
    while (cur != b) {
        const Trace tr = trace(cur, b, &cavity);
        // Recovering one piece only touches faces that piece crossed, so the
        // check above still holds for the rest.
        Q_ASSERT(!tr.blocked, "add_constraint: a checked segment is not blocked while it is recovered");
        if (tr.blocked) return false;
        if (tr.face != kNone) {
            set_fixed(tr.face, tr.edge);
        } else if (cavity.repeats) {
            insert_by_flips(cavity, cur, tr.stop);
        } else {
            retriangulate(cavity, cur, tr.stop);
        }
        cur = tr.stop;
    }
    return true;
}

// Delaunay triangulation of the pseudo-polygon base u -> v plus `chain`
// (left of u -> v, ordered from u to v): pick the chain vertex whose
// circumcircle with u, v holds no other, split there, repeat on both sides.
// Appends the new faces to `out`, three ids each.
void TriangleCdt::triangulate_pseudo(uint32_t u, uint32_t v, const std::vector<uint32_t>& chain,
                                     std::vector<uint32_t>& out) const {
    struct Job {
        uint32_t u, v;
        size_t lo, hi;
    };
    std::vector<Job> jobs{{u, v, 0, chain.size()}};
    while (!jobs.empty()) {
        const Job jb = jobs.back();
        jobs.pop_back();
        if (jb.lo >= jb.hi) continue;
        size_t c = jb.lo;
        for (size_t k = jb.lo + 1; k < jb.hi; ++k) {
            if (incircle(jb.u, jb.v, chain[c], chain[k]) == Sign::Positive) c = k;
        }
        out.insert(out.end(), {jb.u, jb.v, chain[c]});
        jobs.push_back({jb.u, chain[c], jb.lo, c});
        jobs.push_back({chain[c], jb.v, c + 1, jb.hi});
    }
}

// Replaces the faces crossed by s-e (the cavity trace found) with the
// constrained Delaunay triangulations of the two pseudo-polygons on either side.
void TriangleCdt::retriangulate(const Cavity& cavity, uint32_t s, uint32_t e) {
    const std::vector<uint32_t>& faces = cavity.faces;
    struct Outer {
        uint64_t key;
        uint32_t face;
        uint8_t fixed;
    };
    std::vector<Outer> outer;
    outer.reserve(faces.size() + 2);
    for (size_t k = 0; k < faces.size(); ++k) {
        const Tri& t = tris_[faces[k]];
        for (int i = 0; i < 3; ++i) {
            const uint32_t nb = t.n[i];
            if ((k > 0 && nb == faces[k - 1]) || (k + 1 < faces.size() && nb == faces[k + 1])) continue;
            outer.push_back({edge_key(t.v[next_corner(i)], t.v[prev_corner(i)]), nb, static_cast<uint8_t>((t.fixed >> i) & 1u)});
        }
    }
    std::sort(outer.begin(), outer.end(), [](const Outer& x, const Outer& y) { return x.key < y.key; });

    std::vector<uint32_t>& new_tris = scratch().new_tris;
    new_tris.clear();
    triangulate_pseudo(s, e, cavity.left, new_tris);
    std::vector<uint32_t> rev(cavity.right.rbegin(), cavity.right.rend());
    triangulate_pseudo(e, s, rev, new_tris);
    if (new_tris.size() != 3 * faces.size()) panic("TriangleCdt: cavity retriangulation mismatch");

    struct Half {
        uint64_t key;
        uint32_t face;
    };
    std::vector<Half> halves;
    halves.reserve(new_tris.size());
    for (size_t k = 0; k < faces.size(); ++k) {
        for (int i = 0; i < 3; ++i) {
            halves.push_back({edge_key(new_tris[3 * k + next_corner(i)], new_tris[3 * k + prev_corner(i)]), faces[k]});
        }
    }
    std::sort(halves.begin(), halves.end(), [](const Half& x, const Half& y) { return x.key < y.key; });

    for (size_t k = 0; k < faces.size(); ++k) {
        const std::array<uint32_t, 3> v = {new_tris[3 * k], new_tris[3 * k + 1], new_tris[3 * k + 2]};
        std::array<uint32_t, 3> n{};
        uint8_t fixed = 0;
        for (int i = 0; i < 3; ++i) {
            const uint32_t x = v[next_corner(i)], y = v[prev_corner(i)];
            const uint64_t rk = edge_key(y, x);
            auto h = std::lower_bound(halves.begin(), halves.end(), rk,
                                      [](const Half& q, uint64_t key) { return q.key < key; });
            if (h != halves.end() && h->key == rk) {
                n[i] = h->face;
                if ((x == s && y == e) || (x == e && y == s)) fixed = static_cast<uint8_t>(fixed | (1u << i));
                continue;
            }
            const uint64_t ok = edge_key(x, y);
            auto o = std::lower_bound(outer.begin(), outer.end(), ok,
                                      [](const Outer& q, uint64_t key) { return q.key < key; });
            if (o == outer.end() || o->key != ok) panic("TriangleCdt: cavity boundary mismatch");
            n[i] = o->face;
            fixed = static_cast<uint8_t>(fixed | (o->fixed << i));
        }
        set_tri(faces[k], v, n, fixed);
    }
    for (size_t k = 0; k < faces.size(); ++k) {
        const Tri& t = tris_[faces[k]];
        for (int i = 0; i < 3; ++i) {
            const uint32_t x = t.v[next_corner(i)], y = t.v[prev_corner(i)];
            const uint64_t ok = edge_key(x, y);
            auto o = std::lower_bound(outer.begin(), outer.end(), ok,
                                      [](const Outer& q, uint64_t key) { return q.key < key; });
            if (o != outer.end() && o->key == ok) repoint(o->face, x, y, faces[k]);
        }
    }
}

// Segment recovery by flips, for the rare cavities that are not two simple
// pseudo-polygons (the segment passes around a vertex whose whole star it
// crosses, so a vertex appears twice along one side). Flips crossing edges
// whose quadrilateral is convex until none is left, then restores the
// Delaunay property by Lawson flips from the new edges.
void TriangleCdt::insert_by_flips(const Cavity& cavity, uint32_t s, uint32_t e) {
    std::vector<std::pair<uint32_t, uint32_t>> queue(cavity.crossed.begin(), cavity.crossed.end());
    std::vector<std::pair<uint32_t, uint32_t>> fresh;
    size_t head = 0;
    const size_t budget = 1000 + 16 * queue.size() * queue.size();
    for (size_t iter = 0; head < queue.size(); ++iter) {
        if (iter > budget) panic("TriangleCdt: segment recovery did not converge");
        const auto [x, y] = queue[head++];
        uint32_t f;
        int i;
        // A queued edge is flipped only when it leaves the queue, and a
        // straight segment crosses each edge once, so it is still there.
        const bool found = find_edge(x, y, f, i);
        Q_ASSERT(found, "insert_by_flips: every queued edge exists");
        if (!found) continue;
        const Tri& t = tris_[f];
        const uint32_t g = t.n[i];
        Q_ASSERT(g != kNone, "insert_by_flips: edges crossed by a segment are interior");
        const uint32_t a = t.v[next_corner(i)], b = t.v[prev_corner(i)], p = t.v[i];
        const int j = edge_index(tris_[g], b, a);
        Q_ASSERT(j >= 0, "insert_by_flips: the face across an edge holds it reversed");
        const uint32_t q = tris_[g].v[j];
        if (orient(p, q, a) * orient(p, q, b) != Sign::Negative) {
            queue.push_back({x, y});  // not strictly convex yet; try again later
            continue;
        }
        flip(f, i, g, j);
        if (orient(s, e, p) * orient(s, e, q) == Sign::Negative) {
            queue.push_back({p, q});
        } else {
            fresh.push_back({p, q});
        }
        if (head > 4096 && 2 * head > queue.size()) {  // keep the queue compact
            queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    }
    uint32_t f;
    int i;
    if (find_edge(s, e, f, i)) set_fixed(f, i);

    while (!fresh.empty()) {
        const auto [x, y] = fresh.back();
        fresh.pop_back();
        if (!find_edge(x, y, f, i)) continue;
        const Tri& t = tris_[f];
        if (((t.fixed >> i) & 1u) || t.n[i] == kNone) continue;
        const uint32_t g = t.n[i];
        const int j = edge_index(tris_[g], t.v[prev_corner(i)], t.v[next_corner(i)]);
        const uint32_t p = t.v[i], a = t.v[next_corner(i)], b = t.v[prev_corner(i)], q = tris_[g].v[j];
        if (incircle(p, a, b, q) == Sign::Positive) {
            flip(f, i, g, j);
            fresh.insert(fresh.end(), {{p, a}, {a, q}, {q, b}, {b, p}});
        }
    }
}

// Face and index of the edge a-b (either direction), if it exists.
bool TriangleCdt::find_edge(uint32_t a, uint32_t b, uint32_t& f, int& i) const {
    const uint32_t f0 = verts_[a].tri;
    if (f0 == kNone) return false;
    for (int dir = 0; dir < 2; ++dir) {  // around a, one way, then the other from the boundary
        uint32_t g = f0;
        for (size_t guard = 0; guard <= tris_.size() && g != kNone; ++guard) {
            const Tri& t = tris_[g];
            const int k = index_of(t, a);
            Q_ASSERT(k >= 0, "find_edge: every face met around a has a as a corner");
            if (k < 0) return false;
            if (t.v[next_corner(k)] == b) {
                f = g, i = prev_corner(k);
                return true;
            }
            if (t.v[prev_corner(k)] == b) {
                f = g, i = next_corner(k);
                return true;
            }
            g = dir == 0 ? t.n[prev_corner(k)] : t.n[next_corner(k)];
            if (g == f0) return false;
        }
    }
    return false;
}

}  // namespace geom
