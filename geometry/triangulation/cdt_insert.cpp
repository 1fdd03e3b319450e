// TriangleCdt: point insertion, face surgery and Lawson flips.
#include <algorithm>
#include <cmath>
#include <limits>

#include "geometry/assert.h"
#include "geometry/panic.h"
#include "geometry/predicates/predicates.h"
#include "geometry/triangulation/cdt.h"

namespace geom {

void TriangleCdt::check_finite(Vec2 p) {
    if (std::isnan(p.x) || std::isnan(p.y)) panic("called `Result::unwrap()` on an `Err` value: NAN");
    if (std::isinf(p.x) || std::isinf(p.y)) panic("called `Result::unwrap()` on an `Err` value: TooLarge");
}

uint32_t TriangleCdt::add_vertex(Vec2 p) {
    Vertex v;
    v.p = p;
    v.bx = Ball(p.x);
    v.by = Ball(p.y);
    verts_.push_back(v);
    return static_cast<uint32_t>(verts_.size() - 1);
}

uint32_t TriangleCdt::insert(Vec2 p, PointKey key, OnEdge edge) {
    check_finite(p);
    if (const uint32_t known = by_key_.find(key.a, key.b); known != kNone) return known;
    const Vec2 q = internal(p);
    const auto pk = pos_key(q);
    uint32_t id = by_pos_.find(pk.first, pk.second);
    if (id != kNone) {
        // an alias of a vertex at the same coordinates
    } else if (degenerate_) {
        id = add_vertex(q);
    } else {
        const int k = static_cast<int>(edge);
        id = (k >= 0 && k <= 2) ? insert_on_edge(k, q) : insert_free(q);
    }
    by_key_.insert(key.a, key.b, id);
    by_pos_.insert(pk.first, pk.second, id);
    return id;
}

uint32_t TriangleCdt::insert_corner(int corner, PointKey key) {
    if (corner < 0 || corner > 2) panic("TriangleCdt::insert_corner: corner must be 0, 1 or 2");
    if (const uint32_t known = by_key_.find(key.a, key.b); known != kNone) return known;
    by_key_.insert(key.a, key.b, static_cast<uint32_t>(corner));
    return static_cast<uint32_t>(corner);
}

// Parameter of the projection of q on edge k, clamped to [0, 1], and the
// squared distance to the edge, both approximate. Coordinates are scaled by
// the same power of two for every edge, so nothing overflows and distances
// to different edges compare.
void TriangleCdt::edge_projection(int k, Vec2 q, double& t, double& dist2) const {
    double m = std::max(std::fabs(q.x), std::fabs(q.y));
    for (int c = 0; c < 3; ++c) m = std::max({m, std::fabs(verts_[c].p.x), std::fabs(verts_[c].p.y)});
    const int e = m > 0.0 ? std::ilogb(m) : 0;
    auto sc = [](Vec2 v, int s) { return Vec2{std::ldexp(v.x, s), std::ldexp(v.y, s)}; };
    const Vec2 a = sc(verts_[k].p, -e), d = sc(verts_[next_corner(k)].p, -e) - a, w = sc(q, -e) - a;
    const double dd = dot(d, d);
    if (dd > 0.0) {
        t = dot(w, d) / dd;
    } else {
        // The edge is negligible next to q: only the direction matters.
        const double me = std::max({std::fabs(verts_[k].p.x), std::fabs(verts_[k].p.y),
                                    std::fabs(verts_[next_corner(k)].p.x), std::fabs(verts_[next_corner(k)].p.y)});
        const int ee = me > 0.0 ? std::ilogb(me) : 0;
        const Vec2 de = sc(verts_[next_corner(k)].p, -ee) - sc(verts_[k].p, -ee);
        t = dot(w, de) > 0.0 ? 1.0 : 0.0;
    }
    if (!(t > 0.0)) t = 0.0;  // also catches NaN
    if (t > 1.0) t = 1.0;
    const Vec2 r = w - d * t;
    dist2 = dot(r, r);
}

uint32_t TriangleCdt::insert_on_edge(int k, Vec2 q) {
    const Vec2 a = verts_[k].p, b = verts_[next_corner(k)].p, c = verts_[prev_corner(k)].p;
    if (orient2d(a, b, q) == 0.0 && orient2d(b, c, q) > 0.0 && orient2d(c, a, q) > 0.0) {
        const uint32_t id = add_vertex(q);  // exactly on the edge: keep it as it is
        verts_[id].edge = static_cast<int8_t>(k);
        verts_[id].lines = static_cast<uint8_t>(1u << k);
        return insert_located(id);
    }
    double t, dist2;
    edge_projection(k, q, t, dist2);
    if (t <= 0.0) return static_cast<uint32_t>(k);
    if (t >= 1.0) return static_cast<uint32_t>(next_corner(k));

    Vec2 pos{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)};
    if (!std::isfinite(pos.x)) pos.x = (1.0 - t) * a.x + t * b.x;
    if (!std::isfinite(pos.y)) pos.y = (1.0 - t) * a.y + t * b.y;
    if (!std::isfinite(pos.x)) pos.x = t < 0.5 ? a.x : b.x;
    if (!std::isfinite(pos.y)) pos.y = t < 0.5 ? a.y : b.y;
    const uint32_t id = add_vertex(pos);
    Vertex& v = verts_[id];
    v.edge = static_cast<int8_t>(k);
    v.placed = true;
    v.t = t;
    v.lines = static_cast<uint8_t>(1u << k);
    // The same operations as pos, so the bound is centred on it; a position
    // from the fallbacks above gets no bound and takes the exact path.
    const Ball bt(t);
    v.bx = Ball(a.x) + bt * (Ball(b.x) - Ball(a.x));
    v.by = Ball(a.y) + bt * (Ball(b.y) - Ball(a.y));
    const double inf = std::numeric_limits<double>::infinity();
    if (v.bx.m != pos.x) v.bx = {pos.x, inf};
    if (v.by.m != pos.y) v.by = {pos.y, inf};
    return insert_located(id);
}

// Inserts the vertex just added, or drops it again when its position is
// already taken.
uint32_t TriangleCdt::insert_located(uint32_t id) {
    const Location loc = locate(id);
    if (loc.kind == FeatureKind::Vertex) {
        verts_.pop_back();
        return tris_[loc.face].v[loc.idx];
    }
    if (loc.kind == FeatureKind::Face) {
        split_face(loc.face, id);
    } else if (tris_[loc.face].n[loc.idx] == kNone) {
        split_boundary(loc.face, loc.idx, id);
    } else {
        split_edge(loc.face, loc.idx, id);
    }
    last_ = id;
    if (verts_.size() >= grid_next_rebuild_) {
        grid_rebuild();
    } else if (!grid_.empty()) {
        grid_[grid_cell(verts_[id].p)] = id;
    }
    return id;
}

uint32_t TriangleCdt::insert_free(Vec2 q) {
    int side[3];
    bool inside = true;
    for (int k = 0; k < 3; ++k) {
        side[k] = sign(orient2d(verts_[k].p, verts_[next_corner(k)].p, q));
        inside = inside && side[k] > 0;
    }
    if (!inside) {
        for (int k = 0; k < 3; ++k) {
            if (side[k] == 0 && side[next_corner(k)] > 0 && side[prev_corner(k)] > 0) return insert_on_edge(k, q);
        }
        // Outside: move onto the nearest edge it is not inside of.
        int best = -1;
        double best_d = 0.0;
        for (int k = 0; k < 3; ++k) {
            if (side[k] > 0) continue;
            double t, d2;
            edge_projection(k, q, t, d2);
            if (best < 0 || d2 < best_d) best = k, best_d = d2;
        }
        Q_ASSERT(best >= 0, "insert_free: a point not inside is outside some edge");
        return insert_on_edge(best, q);
    }

    return insert_located(add_vertex(q));
}

// ---------------------------------------------------------------------------
// Face surgery

void TriangleCdt::set_tri(uint32_t f, std::array<uint32_t, 3> v, std::array<uint32_t, 3> n, uint8_t fixed) {
    Tri& t = tris_[f];
    t.v = v;
    t.n = n;
    t.fixed = fixed;
    for (int i = 0; i < 3; ++i) verts_[v[i]].tri = f;
}

// Face f now owns edge u -> w; make the face across it point back to f.
void TriangleCdt::repoint(uint32_t nb, uint32_t u, uint32_t w, uint32_t f) {
    if (nb == kNone) return;
    const int j = edge_index(tris_[nb], w, u);
    Q_ASSERT(j >= 0, "repoint: the face across an edge holds it reversed");
    if (j >= 0) tris_[nb].n[j] = f;
}

void TriangleCdt::split_face(uint32_t f, uint32_t p) {
    const Tri t = tris_[f];
    const uint32_t a = t.v[0], b = t.v[1], c = t.v[2];
    const auto f1 = static_cast<uint32_t>(tris_.size()), f2 = f1 + 1;
    tris_.resize(tris_.size() + 2);
    set_tri(f, {p, b, c}, {t.n[0], f1, f2}, t.fixed & 1u);
    set_tri(f1, {p, c, a}, {t.n[1], f2, f}, (t.fixed >> 1) & 1u);
    set_tri(f2, {p, a, b}, {t.n[2], f, f1}, (t.fixed >> 2) & 1u);
    repoint(t.n[1], c, a, f1);
    repoint(t.n[2], a, b, f2);
    legalize(p, {f, f1, f2});
}

// p lies on the interior edge opposite t.v[i].
void TriangleCdt::split_edge(uint32_t f, int i, uint32_t p) {
    const Tri t = tris_[f];
    const uint32_t c = t.v[i], a = t.v[next_corner(i)], b = t.v[prev_corner(i)];
    const uint32_t g = t.n[i];
    const Tri s = tris_[g];
    const int j = edge_index(s, b, a);
    Q_ASSERT(j >= 0, "split_edge: the face across an edge holds it reversed");
    const uint32_t d = s.v[j];
    const uint8_t fab = (t.fixed >> i) & 1u, fbc = (t.fixed >> next_corner(i)) & 1u, fca = (t.fixed >> prev_corner(i)) & 1u;
    const uint8_t fad = (s.fixed >> next_corner(j)) & 1u, fdb = (s.fixed >> prev_corner(j)) & 1u;
    const uint32_t nbc = t.n[next_corner(i)], nca = t.n[prev_corner(i)], nad = s.n[next_corner(j)], ndb = s.n[prev_corner(j)];
    const auto f1 = static_cast<uint32_t>(tris_.size()), g1 = f1 + 1;
    tris_.resize(tris_.size() + 2);
    set_tri(f, {c, a, p}, {g1, f1, nca}, static_cast<uint8_t>(fab | (fca << 2)));
    set_tri(f1, {c, p, b}, {g, nbc, f}, static_cast<uint8_t>(fab | (fbc << 1)));
    set_tri(g, {d, b, p}, {f1, g1, ndb}, static_cast<uint8_t>(fab | (fdb << 2)));
    set_tri(g1, {d, p, a}, {f, nad, g}, static_cast<uint8_t>(fab | (fad << 1)));
    repoint(nbc, b, c, f1);
    repoint(nad, a, d, g1);
    legalize(p, {f, f1, g, g1});
}

// p lies on the boundary edge opposite t.v[i].
void TriangleCdt::split_boundary(uint32_t f, int i, uint32_t p) {
    const Tri t = tris_[f];
    const uint32_t c = t.v[i], a = t.v[next_corner(i)], b = t.v[prev_corner(i)];
    const uint8_t fbc = (t.fixed >> next_corner(i)) & 1u, fca = (t.fixed >> prev_corner(i)) & 1u;
    const uint32_t nbc = t.n[next_corner(i)], nca = t.n[prev_corner(i)];
    const auto f1 = static_cast<uint32_t>(tris_.size());
    tris_.resize(tris_.size() + 1);
    set_tri(f, {c, a, p}, {kNone, f1, nca}, static_cast<uint8_t>(1u | (fca << 2)));
    set_tri(f1, {c, p, b}, {kNone, nbc, f}, static_cast<uint8_t>(1u | (fbc << 1)));
    repoint(nbc, b, c, f1);
    legalize(p, {f, f1});
}

// Lawson flips around the new vertex p, starting from its new faces.
void TriangleCdt::legalize(uint32_t p, std::initializer_list<uint32_t> faces) {
    std::vector<uint32_t>& stack = scratch().stack;
    stack.assign(faces);
    while (!stack.empty()) {
        const uint32_t f = stack.back();
        stack.pop_back();
        const Tri& t = tris_[f];
        const int i = index_of(t, p);
        Q_ASSERT(i >= 0, "legalize: flips keep p a corner of every face on the stack");
        if (i < 0 || ((t.fixed >> i) & 1u) || t.n[i] == kNone) continue;
        const uint32_t g = t.n[i];
        const int j = edge_index(tris_[g], t.v[prev_corner(i)], t.v[next_corner(i)]);
        Q_ASSERT(j >= 0, "legalize: the face across an edge holds it reversed");
        if (j < 0) continue;
        if (incircle(t.v[0], t.v[1], t.v[2], tris_[g].v[j]) == Sign::Positive) {
            flip(f, i, g, j);
            stack.push_back(f);
            stack.push_back(g);
        }
    }
}

// Flips the edge opposite t.v[i] (shared with g, opposite g.v[j]).
void TriangleCdt::flip(uint32_t f, int i, uint32_t g, int j) {
    const Tri t = tris_[f], s = tris_[g];
    const uint32_t p = t.v[i], a = t.v[next_corner(i)], b = t.v[prev_corner(i)], q = s.v[j];
    const uint32_t nbp = t.n[next_corner(i)], npa = t.n[prev_corner(i)], naq = s.n[next_corner(j)], nqb = s.n[prev_corner(j)];
    const uint8_t fbp = (t.fixed >> next_corner(i)) & 1u, fpa = (t.fixed >> prev_corner(i)) & 1u;
    const uint8_t faq = (s.fixed >> next_corner(j)) & 1u, fqb = (s.fixed >> prev_corner(j)) & 1u;
    set_tri(f, {p, a, q}, {naq, g, npa}, static_cast<uint8_t>(faq | (fpa << 2)));
    set_tri(g, {p, q, b}, {nqb, nbp, f}, static_cast<uint8_t>(fqb | (fbp << 1)));
    repoint(naq, a, q, f);
    repoint(nbp, b, p, g);
}

}  // namespace geom
