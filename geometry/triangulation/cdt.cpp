#include "geometry/triangulation/cdt.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "geometry/panic.h"
#include "geometry/predicates/predicates.h"

namespace geom {

namespace {

constexpr int nxt(int i) { return i == 2 ? 0 : i + 1; }
constexpr int prv(int i) { return i == 0 ? 2 : i - 1; }

int sgn(double v) { return (v > 0.0) - (v < 0.0); }

// Sign not settled yet.
constexpr int kUnknown = 2;

// Whether a vertex's bounds are usable by the midpoint-radius filter.
template <class V>
bool in_band(const V& v) {
    return v.bx.in_band() && v.by.in_band();
}

uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

void check_finite(Vec2 p) {
    if (std::isnan(p.x) || std::isnan(p.y)) panic("called `Result::unwrap()` on an `Err` value: NAN");
    if (std::isinf(p.x) || std::isinf(p.y)) panic("called `Result::unwrap()` on an `Err` value: TooLarge");
}

uint64_t edge_key(uint32_t u, uint32_t w) { return (static_cast<uint64_t>(u) << 32) | w; }

}  // namespace

uint32_t TriangleCdt::IdMap::find(uint64_t a, uint64_t b) const {
    if (slots_.empty()) return kNone;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(mix(a ^ mix(b))) & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.id == kNone) return kNone;
        if (s.a == a && s.b == b) return s.id;
    }
}

void TriangleCdt::IdMap::insert(uint64_t a, uint64_t b, uint32_t id) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(mix(a ^ mix(b))) & mask;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (s.id == kNone) {
            s = {a, b, id};
            ++used_;
            return;
        }
        if (s.a == a && s.b == b) return;
    }
}

void TriangleCdt::IdMap::grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    // Room for a typical cut triangle's points before the first growth.
    slots_.assign(old.empty() ? 32 : 2 * old.size(), Slot{0, 0, kNone});
    used_ = 0;
    for (const Slot& s : old) {
        if (s.id != kNone) insert(s.a, s.b, s.id);
    }
}

std::pair<uint64_t, uint64_t> TriangleCdt::pos_key(Vec2 p) {
    // +0.0 and -0.0 are the same position.
    return {std::bit_cast<uint64_t>(p.x + 0.0), std::bit_cast<uint64_t>(p.y + 0.0)};
}

uint64_t TriangleCdt::next_random() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return rng_;
}

TriangleCdt::TriangleCdt(Vec2 c0, Vec2 c1, Vec2 c2) {
    // Room for a typical cut triangle, so that most never grow these.
    verts_.reserve(16);
    tris_.reserve(32);
    const Vec2 c[3] = {c0, c1, c2};
    for (Vec2 p : c) {
        if (std::isnan(p.x) || std::isnan(p.y)) panic("called `Result::unwrap()` on an `Err` value: NAN");
    }
    for (Vec2 p : c) check_finite(p);
    const double o = orient2d(c0, c1, c2);
    mirrored_ = o < 0.0;
    degenerate_ = o == 0.0;
    for (int k = 0; k < 3; ++k) {
        const uint32_t id = add_vertex(internal(c[k]));
        verts_[id].lines = static_cast<uint8_t>((1u << k) | (1u << prv(k)));
        const auto pk = pos_key(verts_[id].p);
        by_pos_.insert(pk.first, pk.second, id);
    }
    if (degenerate_) return;
    tris_.push_back({});
    set_tri(0, {0, 1, 2}, {kNone, kNone, kNone}, 7);
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
    const Vec2 a = sc(verts_[k].p, -e), d = sc(verts_[nxt(k)].p, -e) - a, w = sc(q, -e) - a;
    const double dd = dot(d, d);
    if (dd > 0.0) {
        t = dot(w, d) / dd;
    } else {
        // The edge is negligible next to q: only the direction matters.
        const double me = std::max({std::fabs(verts_[k].p.x), std::fabs(verts_[k].p.y),
                                    std::fabs(verts_[nxt(k)].p.x), std::fabs(verts_[nxt(k)].p.y)});
        const int ee = me > 0.0 ? std::ilogb(me) : 0;
        const Vec2 de = sc(verts_[nxt(k)].p, -ee) - sc(verts_[k].p, -ee);
        t = dot(w, de) > 0.0 ? 1.0 : 0.0;
    }
    if (!(t > 0.0)) t = 0.0;  // also catches NaN
    if (t > 1.0) t = 1.0;
    const Vec2 r = w - d * t;
    dist2 = dot(r, r);
}

uint32_t TriangleCdt::insert_on_edge(int k, Vec2 q) {
    const Vec2 a = verts_[k].p, b = verts_[nxt(k)].p, c = verts_[prv(k)].p;
    if (orient2d(a, b, q) == 0.0 && orient2d(b, c, q) > 0.0 && orient2d(c, a, q) > 0.0) {
        const uint32_t id = add_vertex(q);  // exactly on the edge: keep it as it is
        verts_[id].edge = static_cast<int8_t>(k);
        verts_[id].lines = static_cast<uint8_t>(1u << k);
        return insert_located(id);
    }
    double t, dist2;
    edge_projection(k, q, t, dist2);
    if (t <= 0.0) return static_cast<uint32_t>(k);
    if (t >= 1.0) return static_cast<uint32_t>(nxt(k));

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
    if (loc.kind == 2) {
        verts_.pop_back();
        return tris_[loc.face].v[loc.idx];
    }
    if (loc.kind == 0) {
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
        side[k] = sgn(orient2d(verts_[k].p, verts_[nxt(k)].p, q));
        inside = inside && side[k] > 0;
    }
    if (!inside) {
        for (int k = 0; k < 3; ++k) {
            if (side[k] == 0 && side[nxt(k)] > 0 && side[prv(k)] > 0) return insert_on_edge(k, q);
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
        return insert_on_edge(best, q);
    }

    return insert_located(add_vertex(q));
}

// ---------------------------------------------------------------------------
// Predicates on vertex ids

// Parameter along edge `line` for corners and placed points, else NaN.
double TriangleCdt::param_on_line(uint32_t v, int line) const {
    const Vertex& x = verts_[v];
    if (x.placed) return x.t;
    if (v == static_cast<uint32_t>(line)) return 0.0;
    if (v == static_cast<uint32_t>(nxt(line))) return 1.0;
    return std::numeric_limits<double>::quiet_NaN();
}

int TriangleCdt::orient(uint32_t a, uint32_t b, uint32_t c) const {
    const Vertex &A = verts_[a], &B = verts_[b], &C = verts_[c];
    if (!A.placed && !B.placed && !C.placed) return sgn(orient2d(A.p, B.p, C.p));
    // A repeated vertex (asked for by walks that reach the segment's end) is
    // collinear by definition; the filter cannot tell, BigFloat can,
    // slowly.
    if (a == b || b == c || c == a) return 0;

    // Two points on the same edge line: the third is on that line too, or
    // strictly inside; then their order along the line decides, when known.
    auto on_line = [&](uint32_t p, uint32_t q, uint32_t r, uint8_t common) {
        const int line = std::countr_zero(static_cast<unsigned>(common));
        if ((verts_[r].lines >> line) & 1u) return 0;
        const double d = param_on_line(q, line) - param_on_line(p, line);
        return std::isnan(d) ? kUnknown : sgn(d);
    };
    int s = kUnknown;
    if (const uint8_t m = A.lines & B.lines) {
        s = on_line(a, b, c, m);
    } else if (const uint8_t m2 = B.lines & C.lines) {
        s = on_line(b, c, a, m2);
    } else if (const uint8_t m3 = C.lines & A.lines) {
        s = on_line(c, a, b, m3);
    }
    if (s != kUnknown) return s;

    if (in_band(A) && in_band(B) && in_band(C)) {
        const Ball det = (A.bx - C.bx) * (B.by - C.by) - (A.by - C.by) * (B.bx - C.bx);
        if (const int sd = det.sign()) return sd;
    }
    return orient_exact(a, b, c);
}

int TriangleCdt::incircle(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    const Vertex &A = verts_[a], &B = verts_[b], &C = verts_[c], &D = verts_[d];
    if (!A.placed && !B.placed && !C.placed && !D.placed) return sgn(geom::incircle(A.p, B.p, C.p, D.p));
    if (in_band(A) && in_band(B) && in_band(C) && in_band(D)) {
        const Ball adx = A.bx - D.bx, ady = A.by - D.by;
        const Ball bdx = B.bx - D.bx, bdy = B.by - D.by;
        const Ball cdx = C.bx - D.bx, cdy = C.by - D.by;
        const Ball det = (square(adx) + square(ady)) * (bdx * cdy - cdx * bdy) +
                         (square(bdx) + square(bdy)) * (cdx * ady - adx * cdy) +
                         (square(cdx) + square(cdy)) * (adx * bdy - bdx * ady);
        if (const int s = det.sign()) return s;
    }
    return incircle_exact(a, b, c, d);
}

std::array<BigFloat, 2> TriangleCdt::exact_position(uint32_t v) const {
    const Vertex& x = verts_[v];
    if (!x.placed) return {BigFloat(x.p.x), BigFloat(x.p.y)};
    const Vec2 a = verts_[x.edge].p, b = verts_[nxt(x.edge)].p;
    const BigFloat t(x.t), ax(a.x), ay(a.y);
    return {ax + t * (BigFloat(b.x) - ax), ay + t * (BigFloat(b.y) - ay)};
}

int TriangleCdt::orient_exact(uint32_t a, uint32_t b, uint32_t c) const {
    // One placed point (the common case: points along a straight curve):
    // expansions on its edge's corners and parameter, no BigFloat.
    const uint32_t v[3] = {a, b, c};
    for (int k = 0; k < 3; ++k) {
        const Vertex& p = verts_[v[k]];
        const Vertex &q = verts_[v[nxt(k)]], &r = verts_[v[prv(k)]];
        if (!p.placed || q.placed || r.placed) continue;
        return orient2d_on_segment(verts_[p.edge].p, verts_[nxt(p.edge)].p, p.t, q.p, r.p);
    }
    const auto A = exact_position(a), B = exact_position(b), C = exact_position(c);
    return ((A[0] - C[0]) * (B[1] - C[1]) - (A[1] - C[1]) * (B[0] - C[0])).sign();
}

int TriangleCdt::incircle_exact(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    const auto A = exact_position(a), B = exact_position(b), C = exact_position(c), D = exact_position(d);
    const BigFloat adx = A[0] - D[0], ady = A[1] - D[1], bdx = B[0] - D[0], bdy = B[1] - D[1];
    const BigFloat cdx = C[0] - D[0], cdy = C[1] - D[1];
    return ((adx * adx + ady * ady) * (bdx * cdy - cdx * bdy) + (bdx * bdx + bdy * bdy) * (cdx * ady - adx * cdy) +
            (cdx * cdx + cdy * cdy) * (adx * bdy - bdx * ady))
        .sign();
}

// ---------------------------------------------------------------------------
// Point location

TriangleCdt::Location TriangleCdt::classify_in(uint32_t f, const int o[3]) const {
    const int zeros = (o[0] == 0) + (o[1] == 0) + (o[2] == 0);
    if (zeros == 0) return {f, 0, 0};
    if (zeros == 1) return {f, 1, o[0] == 0 ? 0 : (o[1] == 0 ? 1 : 2)};
    return {f, 2, o[0] != 0 ? 0 : (o[1] != 0 ? 1 : 2)};
}

TriangleCdt::Location TriangleCdt::locate_brute_force(uint32_t p) const {
    for (uint32_t f = 0; f < tris_.size(); ++f) {
        const Tri& t = tris_[f];
        int o[3];
        bool ok = true;
        for (int i = 0; i < 3 && ok; ++i) {
            o[i] = orient(t.v[nxt(i)], t.v[prv(i)], p);
            ok = o[i] >= 0;
        }
        if (ok) return classify_in(f, o);
    }
    panic("TriangleCdt: point location failed");
}

// Face to start walking from: the vertex in the query's grid cell or the
// last one inserted, whichever is nearer.
uint32_t TriangleCdt::walk_start(uint32_t p) {
    const Vec2 q = verts_[p].p;
    auto d2 = [&](uint32_t v) {
        const Vec2 d = verts_[v].p - q;
        return d.x * d.x + d.y * d.y;
    };
    uint32_t best = last_ < p && verts_[last_].tri != kNone ? last_ : 0;
    if (!grid_.empty()) {
        const uint32_t g = grid_[grid_cell(q)];
        if (g != kNone && g != best && d2(g) < d2(best)) best = g;
    }
    return verts_[best].tri;
}

size_t TriangleCdt::grid_cell(Vec2 q) const {
    // Halved coordinates cannot overflow when subtracted; NaN lands in cell 0.
    const double fx = (q.x * 0.5 - grid_x0_) * grid_sx_;
    const double fy = (q.y * 0.5 - grid_y0_) * grid_sy_;
    const int ix = fx >= 0.0 ? (fx < grid_w_ ? static_cast<int>(fx) : grid_w_ - 1) : 0;
    const int iy = fy >= 0.0 ? (fy < grid_h_ ? static_cast<int>(fy) : grid_h_ - 1) : 0;
    return static_cast<size_t>(iy) * static_cast<size_t>(grid_w_) + static_cast<size_t>(ix);
}

void TriangleCdt::grid_rebuild() {
    double x0 = verts_[0].p.x * 0.5, x1 = x0, y0 = verts_[0].p.y * 0.5, y1 = y0;
    for (int k = 1; k < 3; ++k) {
        x0 = std::min(x0, verts_[k].p.x * 0.5), x1 = std::max(x1, verts_[k].p.x * 0.5);
        y0 = std::min(y0, verts_[k].p.y * 0.5), y1 = std::max(y1, verts_[k].p.y * 0.5);
    }
    const double w = x1 - x0, h = y1 - y0;
    const double cells = static_cast<double>(verts_.size());
    double gw = std::round(std::sqrt(cells * (w / h)));
    if (!(gw >= 1.0)) gw = 1.0;
    gw = std::min(gw, cells);
    const double gh = std::max(1.0, std::round(cells / gw));
    grid_w_ = static_cast<int>(gw);
    grid_h_ = static_cast<int>(gh);
    grid_x0_ = x0, grid_y0_ = y0;
    grid_sx_ = gw / w, grid_sy_ = gh / h;
    grid_.assign(static_cast<size_t>(grid_w_) * static_cast<size_t>(grid_h_), kNone);
    for (uint32_t v = 0; v < verts_.size(); ++v) {
        if (verts_[v].tri != kNone) grid_[grid_cell(verts_[v].p)] = v;
    }
    // Empty cells borrow a neighbour's vertex: sweep rows, then columns.
    const size_t gw_cells = static_cast<size_t>(grid_w_), gh_cells = static_cast<size_t>(grid_h_);
    auto sweep = [&](size_t start, size_t stride, size_t n) {
        for (size_t i = 1; i < n; ++i) {
            uint32_t& c = grid_[start + i * stride];
            if (c == kNone) c = grid_[start + (i - 1) * stride];
        }
        for (size_t i = n - 1; i-- > 0;) {
            uint32_t& c = grid_[start + i * stride];
            if (c == kNone) c = grid_[start + (i + 1) * stride];
        }
    };
    for (size_t y = 0; y < gh_cells; ++y) sweep(y * gw_cells, 1, gw_cells);
    for (size_t x = 0; x < gw_cells; ++x) sweep(x, gw_cells, gh_cells);
    grid_next_rebuild_ = 2 * verts_.size();
}

// Visibility walk with a random edge order, never stepping back through the
// edge it came in by; a walk that takes too long falls back to a scan.
TriangleCdt::Location TriangleCdt::locate(uint32_t p) {
    uint32_t f = walk_start(p);
    uint32_t from = kNone;
    const size_t limit = tris_.size() + 64;
    for (size_t steps = 0;; ++steps) {
        if (steps > limit) return locate_brute_force(p);
        const Tri& t = tris_[f];
        const int r = static_cast<int>(next_random() % 3);
        int o[3] = {1, 1, 1};  // the edge we came in by stays positive
        uint32_t to = kNone;
        bool outside = false;
        for (int j = 0; j < 3; ++j) {
            const int i = (r + j) % 3;
            if (from != kNone && t.n[i] == from) continue;
            o[i] = orient(t.v[nxt(i)], t.v[prv(i)], p);
            if (o[i] < 0) {
                to = t.n[i];
                outside = to == kNone;
                break;
            }
        }
        if (outside) return locate_brute_force(p);  // cannot happen for interior points
        if (to == kNone) {
            return classify_in(f, o);
        }
        from = f;
        f = to;
    }
}

// ---------------------------------------------------------------------------
// Face surgery

int TriangleCdt::index_of(const Tri& t, uint32_t v) {
    for (int i = 0; i < 3; ++i) {
        if (t.v[i] == v) return i;
    }
    return -1;
}

// Index of the edge u -> w in t, or -1.
int TriangleCdt::edge_index(const Tri& t, uint32_t u, uint32_t w) {
    for (int i = 0; i < 3; ++i) {
        if (t.v[nxt(i)] == u && t.v[prv(i)] == w) return i;
    }
    return -1;
}

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
    stack_.assign({f, f1, f2});
    legalize(p);
}

// p lies on the interior edge opposite t.v[i].
void TriangleCdt::split_edge(uint32_t f, int i, uint32_t p) {
    const Tri t = tris_[f];
    const uint32_t c = t.v[i], a = t.v[nxt(i)], b = t.v[prv(i)];
    const uint32_t g = t.n[i];
    const Tri s = tris_[g];
    const int j = edge_index(s, b, a);
    const uint32_t d = s.v[j];
    const uint8_t fab = (t.fixed >> i) & 1u, fbc = (t.fixed >> nxt(i)) & 1u, fca = (t.fixed >> prv(i)) & 1u;
    const uint8_t fad = (s.fixed >> nxt(j)) & 1u, fdb = (s.fixed >> prv(j)) & 1u;
    const uint32_t nbc = t.n[nxt(i)], nca = t.n[prv(i)], nad = s.n[nxt(j)], ndb = s.n[prv(j)];
    const auto f1 = static_cast<uint32_t>(tris_.size()), g1 = f1 + 1;
    tris_.resize(tris_.size() + 2);
    set_tri(f, {c, a, p}, {g1, f1, nca}, static_cast<uint8_t>(fab | (fca << 2)));
    set_tri(f1, {c, p, b}, {g, nbc, f}, static_cast<uint8_t>(fab | (fbc << 1)));
    set_tri(g, {d, b, p}, {f1, g1, ndb}, static_cast<uint8_t>(fab | (fdb << 2)));
    set_tri(g1, {d, p, a}, {f, nad, g}, static_cast<uint8_t>(fab | (fad << 1)));
    repoint(nbc, b, c, f1);
    repoint(nad, a, d, g1);
    stack_.assign({f, f1, g, g1});
    legalize(p);
}

// p lies on the boundary edge opposite t.v[i].
void TriangleCdt::split_boundary(uint32_t f, int i, uint32_t p) {
    const Tri t = tris_[f];
    const uint32_t c = t.v[i], a = t.v[nxt(i)], b = t.v[prv(i)];
    const uint8_t fbc = (t.fixed >> nxt(i)) & 1u, fca = (t.fixed >> prv(i)) & 1u;
    const uint32_t nbc = t.n[nxt(i)], nca = t.n[prv(i)];
    const auto f1 = static_cast<uint32_t>(tris_.size());
    tris_.resize(tris_.size() + 1);
    set_tri(f, {c, a, p}, {kNone, f1, nca}, static_cast<uint8_t>(1u | (fca << 2)));
    set_tri(f1, {c, p, b}, {kNone, nbc, f}, static_cast<uint8_t>(1u | (fbc << 1)));
    repoint(nbc, b, c, f1);
    stack_.assign({f, f1});
    legalize(p);
}

// Lawson flips around the new vertex p for the faces on stack_.
void TriangleCdt::legalize(uint32_t p) {
    while (!stack_.empty()) {
        const uint32_t f = stack_.back();
        stack_.pop_back();
        const Tri& t = tris_[f];
        const int i = index_of(t, p);
        if (i < 0 || ((t.fixed >> i) & 1u) || t.n[i] == kNone) continue;
        const uint32_t g = t.n[i];
        const int j = edge_index(tris_[g], t.v[prv(i)], t.v[nxt(i)]);
        if (j < 0) continue;
        if (incircle(t.v[0], t.v[1], t.v[2], tris_[g].v[j]) > 0) {
            flip(f, i, g, j);
            stack_.push_back(f);
            stack_.push_back(g);
        }
    }
}

// Flips the edge opposite t.v[i] (shared with g, opposite g.v[j]).
void TriangleCdt::flip(uint32_t f, int i, uint32_t g, int j) {
    const Tri t = tris_[f], s = tris_[g];
    const uint32_t p = t.v[i], a = t.v[nxt(i)], b = t.v[prv(i)], q = s.v[j];
    const uint32_t nbp = t.n[nxt(i)], npa = t.n[prv(i)], naq = s.n[nxt(j)], nqb = s.n[prv(j)];
    const uint8_t fbp = (t.fixed >> nxt(i)) & 1u, fpa = (t.fixed >> prv(i)) & 1u;
    const uint8_t faq = (s.fixed >> nxt(j)) & 1u, fqb = (s.fixed >> prv(j)) & 1u;
    set_tri(f, {p, a, q}, {naq, g, npa}, static_cast<uint8_t>(faq | (fpa << 2)));
    set_tri(g, {p, q, b}, {nqb, nbp, f}, static_cast<uint8_t>(fqb | (fbp << 1)));
    repoint(naq, a, q, f);
    repoint(nbp, b, p, g);
}

// ---------------------------------------------------------------------------
// Constraints

void TriangleCdt::set_fixed(uint32_t f, int i) {
    Tri& t = tris_[f];
    t.fixed = static_cast<uint8_t>(t.fixed | (1u << i));
    const uint32_t g = t.n[i];
    if (g == kNone) return;
    const int j = edge_index(tris_[g], t.v[prv(i)], t.v[nxt(i)]);
    if (j >= 0) tris_[g].fixed = static_cast<uint8_t>(tris_[g].fixed | (1u << j));
}

// Follows segment s -> b from s up to the next vertex on it. With `collect`,
// records the crossed faces and the vertices left and right of the segment.
TriangleCdt::Trace TriangleCdt::trace(uint32_t s, uint32_t b, bool collect) {
    Trace out;
    if (collect) {
        cav_faces_.clear();
        left_.clear();
        right_.clear();
        crossed_.clear();
        chain_repeats_ = false;
        if (seen_.size() < verts_.size()) seen_.resize(verts_.size(), 0);
        if (++stamp_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            stamp_ = 1;
        }
    }
    // Find the face around s whose corner at s contains the direction to b.
    const uint32_t f0 = verts_[s].tri;
    uint32_t f = f0;
    bool first_way = true;
    uint32_t hit = kNone;
    int hit_i = -1, o1 = 0, o2 = 0;
    for (size_t guard = 0; guard <= tris_.size(); ++guard) {
        const Tri& t = tris_[f];
        const int i = index_of(t, s);
        if (i < 0) break;
        o1 = orient(s, t.v[nxt(i)], b);
        if (o1 >= 0) {
            o2 = orient(s, t.v[prv(i)], b);
            if (o2 <= 0) {
                hit = f, hit_i = i;
                break;
            }
        }
        uint32_t g = first_way ? t.n[prv(i)] : t.n[nxt(i)];
        if (g == f0) break;  // full turn
        if (g == kNone) {
            if (!first_way) break;
            first_way = false;  // s is on the boundary: sweep the other way from f0
            const Tri& t0 = tris_[f0];
            g = t0.n[nxt(index_of(t0, s))];
            if (g == kNone) break;
        }
        f = g;
    }
    if (hit == kNone) {
        out.blocked = true;  // cannot happen with exact predicates; refuse the segment
        return out;
    }
    const Tri& th = tris_[hit];
    if (o1 == 0) {
        out.stop = th.v[nxt(hit_i)];
        out.face = hit, out.edge = prv(hit_i);
        return out;
    }
    if (o2 == 0) {
        out.stop = th.v[prv(hit_i)];
        out.face = hit, out.edge = nxt(hit_i);
        return out;
    }
    uint32_t right = th.v[nxt(hit_i)], left = th.v[prv(hit_i)];
    if (collect) {
        cav_faces_.push_back(hit);
        right_.push_back(right);
        left_.push_back(left);
        seen_[right] = seen_[left] = stamp_;
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
        if (collect) {
            cav_faces_.push_back(g);
            crossed_.push_back({left, right});
        }
        if (w == b) {
            out.stop = b;
            return out;
        }
        const int ow = orient(s, b, w);
        if (ow == 0) {
            out.stop = w;
            return out;
        }
        // w joins the chain on its side: the segment leaves through left-w
        // when w is right of it, else through w-right.
        const bool w_right = ow < 0;
        edge = index_of(u, w_right ? right : left);
        (w_right ? right : left) = w;
        if (collect) {
            (w_right ? right_ : left_).push_back(w);
            chain_repeats_ = chain_repeats_ || seen_[w] == stamp_;
            seen_[w] = stamp_;
        }
        cur = g;
    }
    out.blocked = true;  // ran off the mesh; cannot happen
    return out;
}

bool TriangleCdt::add_constraint(uint32_t a, uint32_t b) {
    if (a >= verts_.size() || b >= verts_.size()) panic("TriangleCdt::add_constraint: vertex id out of range");
    if (a == b) return true;
    if (degenerate_) return false;
    // First check the whole segment, then change anything.
    uint32_t cur = a;
    for (size_t n = 0; cur != b; ++n) {
        const Trace tr = trace(cur, b, false);
        if (tr.blocked || n > verts_.size()) return false;
        cur = tr.stop;
    }
    cur = a;
    while (cur != b) {
        const Trace tr = trace(cur, b, true);
        if (tr.blocked) return false;  // unreachable after the check above
        if (tr.face != kNone) {
            set_fixed(tr.face, tr.edge);
        } else if (chain_repeats_) {
            insert_by_flips(cur, tr.stop);
        } else {
            retriangulate(cur, tr.stop);
        }
        cur = tr.stop;
    }
    return true;
}

// Delaunay triangulation of the pseudo-polygon base u -> v plus `chain`
// (left of u -> v, ordered from u to v): pick the chain vertex whose
// circumcircle with u, v holds no other, split there, repeat on both sides.
void TriangleCdt::triangulate_pseudo(uint32_t u, uint32_t v, const std::vector<uint32_t>& chain) {
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
            if (incircle(jb.u, jb.v, chain[c], chain[k]) > 0) c = k;
        }
        new_tris_.insert(new_tris_.end(), {jb.u, jb.v, chain[c]});
        jobs.push_back({jb.u, chain[c], jb.lo, c});
        jobs.push_back({chain[c], jb.v, c + 1, jb.hi});
    }
}

// Replaces the faces crossed by s-e (as left by trace) with the constrained
// Delaunay triangulations of the two pseudo-polygons on either side.
void TriangleCdt::retriangulate(uint32_t s, uint32_t e) {
    const std::vector<uint32_t> faces = cav_faces_;
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
            outer.push_back({edge_key(t.v[nxt(i)], t.v[prv(i)]), nb, static_cast<uint8_t>((t.fixed >> i) & 1u)});
        }
    }
    std::sort(outer.begin(), outer.end(), [](const Outer& x, const Outer& y) { return x.key < y.key; });

    new_tris_.clear();
    triangulate_pseudo(s, e, left_);
    std::vector<uint32_t> rev(right_.rbegin(), right_.rend());
    triangulate_pseudo(e, s, rev);
    if (new_tris_.size() != 3 * faces.size()) panic("TriangleCdt: cavity retriangulation mismatch");

    struct Half {
        uint64_t key;
        uint32_t face;
    };
    std::vector<Half> halves;
    halves.reserve(new_tris_.size());
    for (size_t k = 0; k < faces.size(); ++k) {
        for (int i = 0; i < 3; ++i) {
            halves.push_back({edge_key(new_tris_[3 * k + nxt(i)], new_tris_[3 * k + prv(i)]), faces[k]});
        }
    }
    std::sort(halves.begin(), halves.end(), [](const Half& x, const Half& y) { return x.key < y.key; });

    for (size_t k = 0; k < faces.size(); ++k) {
        const std::array<uint32_t, 3> v = {new_tris_[3 * k], new_tris_[3 * k + 1], new_tris_[3 * k + 2]};
        std::array<uint32_t, 3> n{};
        uint8_t fixed = 0;
        for (int i = 0; i < 3; ++i) {
            const uint32_t x = v[nxt(i)], y = v[prv(i)];
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
            const uint32_t x = t.v[nxt(i)], y = t.v[prv(i)];
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
void TriangleCdt::insert_by_flips(uint32_t s, uint32_t e) {
    std::vector<std::pair<uint32_t, uint32_t>> queue(crossed_.begin(), crossed_.end());
    std::vector<std::pair<uint32_t, uint32_t>> fresh;
    size_t head = 0;
    const size_t budget = 1000 + 16 * queue.size() * queue.size();
    for (size_t iter = 0; head < queue.size(); ++iter) {
        if (iter > budget) panic("TriangleCdt: segment recovery did not converge");
        const auto [x, y] = queue[head++];
        uint32_t f;
        int i;
        if (!find_edge(x, y, f, i)) continue;  // cannot happen: only queued edges are flipped
        const Tri& t = tris_[f];
        const uint32_t g = t.n[i];
        const uint32_t a = t.v[nxt(i)], b = t.v[prv(i)], p = t.v[i];
        const int j = edge_index(tris_[g], b, a);
        const uint32_t q = tris_[g].v[j];
        if (orient(p, q, a) * orient(p, q, b) >= 0) {
            queue.push_back({x, y});  // not strictly convex yet; try again later
            continue;
        }
        flip(f, i, g, j);
        if (orient(s, e, p) * orient(s, e, q) < 0) {
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
        const int j = edge_index(tris_[g], t.v[prv(i)], t.v[nxt(i)]);
        const uint32_t p = t.v[i], a = t.v[nxt(i)], b = t.v[prv(i)], q = tris_[g].v[j];
        if (incircle(p, a, b, q) > 0) {
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
            if (k < 0) return false;
            if (t.v[nxt(k)] == b) {
                f = g, i = prv(k);
                return true;
            }
            if (t.v[prv(k)] == b) {
                f = g, i = nxt(k);
                return true;
            }
            g = dir == 0 ? t.n[prv(k)] : t.n[nxt(k)];
            if (g == f0) return false;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Queries

std::vector<std::array<uint32_t, 3>> TriangleCdt::faces() const {
    std::vector<Links> links;
    return faces(links);
}

std::vector<std::array<uint32_t, 3>> TriangleCdt::faces(std::vector<Links>& links) const {
    std::vector<std::array<uint32_t, 3>> out;
    links.clear();
    if (degenerate_) return out;
    // (face rotated to its smallest id, face index, rotation), sorted by face.
    struct Entry {
        std::array<uint32_t, 3> v;
        uint32_t f;
        int r;
    };
    std::vector<Entry> order;
    order.reserve(tris_.size());
    for (uint32_t f = 0; f < tris_.size(); ++f) {
        const Tri& t = tris_[f];
        const int m = t.v[0] < t.v[1] ? (t.v[0] < t.v[2] ? 0 : 2) : (t.v[1] < t.v[2] ? 1 : 2);
        order.push_back({{t.v[m], t.v[nxt(m)], t.v[prv(m)]}, f, m});
    }
    std::sort(order.begin(), order.end(), [](const Entry& x, const Entry& y) { return x.v < y.v; });
    std::vector<uint32_t> position(tris_.size());
    for (uint32_t i = 0; i < order.size(); ++i) position[order[i].f] = i;
    out.reserve(order.size());
    links.reserve(order.size());
    for (const Entry& e : order) {
        out.push_back(e.v);
        const Tri& t = tris_[e.f];
        Links l{{kNone, kNone, kNone}, 0};
        for (int k = 0; k < 3; ++k) {
            // Listed edge k runs v[r + k] -> v[r + k + 1]: opposite v[r + k + 2].
            const int i = (e.r + k + 2) % 3;
            if (t.n[i] != kNone) l.across[k] = position[t.n[i]];
            if ((t.fixed >> i) & 1u) l.fixed = static_cast<uint8_t>(l.fixed | (1u << k));
        }
        links.push_back(l);
    }
    return out;
}

Vec2 TriangleCdt::vertex(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex: id out of range");
    return internal(verts_[id].p);
}

OnEdge TriangleCdt::vertex_edge(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex_edge: id out of range");
    return static_cast<OnEdge>(verts_[id].edge);
}

bool TriangleCdt::vertex_is_placed(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex_is_placed: id out of range");
    return verts_[id].placed;
}

double TriangleCdt::vertex_param(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex_param: id out of range");
    return verts_[id].t;
}

bool TriangleCdt::is_constrained(uint32_t a, uint32_t b) const {
    if (degenerate_ || a >= verts_.size() || b >= verts_.size() || a == b) return false;
    uint32_t f;
    int i;
    return find_edge(a, b, f, i) && ((tris_[f].fixed >> i) & 1u);
}

}  // namespace geom
