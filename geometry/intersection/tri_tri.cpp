#include "geometry/intersection/tri_tri.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace geom {
namespace {

using tritri::kSnap;

constexpr TriangleFeature corner_f(int k) { return {FeatureKind::Vertex, static_cast<uint8_t>(k)}; }
constexpr TriangleFeature edge_f(int k) { return {FeatureKind::Edge, static_cast<uint8_t>(k)}; }
constexpr TriangleFeature face_f() { return {FeatureKind::Face, 0}; }

constexpr int next(int k) { return k == 2 ? 0 : k + 1; }

bool lex_less(Vec3 a, Vec3 b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z < b.z;
}

// Canonical corner order: lower mesh vertex first. Equal indices fall back to
// the coordinates so that rotating the corners cannot change the order.
bool before(const TriInput& t, int i, int j) {
    if (t.v[i] != t.v[j]) return t.v[i] < t.v[j];
    if (!(t.p[i] == t.p[j])) return lex_less(t.p[i], t.p[j]);
    return i < j;
}

// Endpoints (corner indices) of edge k, canonical one first.
std::pair<int, int> edge_ends(const TriInput& t, int k) {
    int a = k, b = next(k);
    if (before(t, b, a)) std::swap(a, b);
    return {a, b};
}

// Edge k when {i, j} are its corners, for i != j.
int edge_between(int i, int j) { return next(i) == j ? i : j; }

double max_abs(Vec3 a) { return std::max({std::fabs(a.x), std::fabs(a.y), std::fabs(a.z)}); }

// |a|, also when the squares overflow.
double length(Vec3 a) {
    const double n2 = norm_squared(a);
    if (std::isfinite(n2)) return std::sqrt(n2);
    const double m = max_abs(a);
    if (!std::isfinite(m)) return m;
    const double s = std::ldexp(1.0, -std::ilogb(m));
    return norm(a * s) / s;
}

struct Plane {
    Vec3 n;  // unit normal
    Vec3 o;  // the triangle's canonical first corner
};

double dist(const Plane& pl, Vec3 x) { return dot(pl.n, x - pl.o); }

// Plane of a triangle, built from the corners rotated to start at the
// canonical first one, so corner order cannot change a single bit of it.
bool make_plane(const TriInput& t, Plane& pl) {
    int r = 0;
    if (before(t, 1, r)) r = 1;
    if (before(t, 2, r)) r = 2;
    Vec3 a = t.p[r], b = t.p[next(r)], c = t.p[next(next(r))];
    Vec3 n = cross(b - a, c - a);
    double n2 = norm_squared(n);
    if (n2 <= tritri::kDegenerateNormalSq) return false;
    if (!std::isfinite(n2)) {
        // Overflow from huge coordinates: bring them near 1 by a power of
        // two, which is exact.
        const double s = std::ldexp(1.0, -std::ilogb(std::max({max_abs(a), max_abs(b), max_abs(c)})));
        a = a * s, b = b * s, c = c * s;
        n = cross(b - a, c - a);
    }
    // Rounding leaves n off by about eps*|e1|*|e2| in any direction, which on
    // a sliver tilts the plane along its length. Without the component along
    // the longest edge every corner stays within about eps*L of the plane.
    const Vec3 e[3] = {b - a, c - b, a - c};
    double ee[3];
    int k = 0;
    for (int i = 0; i < 3; ++i) {
        ee[i] = norm_squared(e[i]);
        if (ee[i] > ee[k]) k = i;
    }
    n = n - e[k] * (dot(n, e[k]) / ee[k]);
    n2 = norm_squared(n);
    if (!(n2 > 0.0) || !std::isfinite(n2)) return false;
    const double len = std::sqrt(n2);
    pl.n = {n.x / len, n.y / len, n.z / len};
    pl.o = t.p[r];
    return true;
}

// Closest approach of two edges, each taken from its canonical endpoint.
// The formula is symmetric under exchanging the edges, bit for bit.
Vec3 edge_edge_point(Vec3 a1, Vec3 b1, Vec3 a2, Vec3 b2, Vec3 fallback) {
    const Vec3 u = b1 - a1, v = b2 - a2, w = a1 - a2;
    const double a = dot(u, u), b = dot(u, v), c = dot(v, v), d = dot(u, w), e = dot(v, w);
    const double den = a * c - b * b;
    if (!(den > 1e-20 * (a * c))) return fallback;  // (nearly) parallel edges
    const double s = std::clamp((b * e - c * d) / den, 0.0, 1.0);
    const double t = std::clamp((a * e - b * d) / den, 0.0, 1.0);
    const Vec3 r = ((a1 + u * s) + (a2 + v * t)) * 0.5;
    return is_finite(r) ? r : fallback;
}

// Coordinates of a result point from its features; `fallback` is used for an
// edge against a face (it is then already the canonical crossing).
Vec3 resolve(const TriInput& t1, const TriInput& t2, TriangleFeature f1, TriangleFeature f2, Vec3 fallback) {
    const bool c1 = f1.kind == FeatureKind::Vertex, c2 = f2.kind == FeatureKind::Vertex;
    if (c1 && c2) {
        const Vec3 a = t1.p[f1.index], b = t2.p[f2.index];
        return lex_less(b, a) ? b : a;
    }
    if (c1) return t1.p[f1.index];
    if (c2) return t2.p[f2.index];
    if (f1.kind == FeatureKind::Edge && f2.kind == FeatureKind::Edge) {
        const auto [a1, b1] = edge_ends(t1, f1.index);
        const auto [a2, b2] = edge_ends(t2, f2.index);
        return edge_edge_point(t1.p[a1], t1.p[b1], t2.p[a2], t2.p[b2], fallback);
    }
    return fallback;
}

// ---- general position -------------------------------------------------------

struct End {
    TriangleFeature f;
    Vec3 p;
    double t = 0.0;  // position along the common line
};

// Crossing of edge k with a plane, measured from the canonical endpoint.
bool edge_crossing(const TriInput& t, int k, const Plane& pl, End& out) {
    const auto [ia, ib] = edge_ends(t, k);
    const Vec3 a = t.p[ia], b = t.p[ib];
    const Vec3 e = b - a;
    if (!(std::fabs(dot(pl.n, e)) > tritri::kEdgeParallel)) return false;
    const double da = dist(pl, a), db = dist(pl, b);
    const double f = da / (da - db);
    const double len = length(e);
    const double s = f * len;
    if (!(s >= -kSnap && s <= len + kSnap)) return false;  // also rejects NaN
    if (s <= kSnap) {
        out.f = corner_f(ia);
        out.p = a;
    } else if (s >= len - kSnap) {
        out.f = corner_f(ib);
        out.p = b;
    } else {
        out.f = edge_f(k);
        out.p = a + e * f;
    }
    return true;
}

// Where a triangle meets the other plane, as extreme points along `dir`.
struct Seg {
    End lo, hi;
    TriangleFeature inner;  // feature of the points strictly between lo and hi
};

bool plane_segment(const TriInput& t, const Plane& pl, Vec3 dir, Seg& seg) {
    End c[3];
    int n = 0;
    for (int k = 0; k < 3; ++k) {
        End e;
        if (!edge_crossing(t, k, pl, e)) continue;
        bool dup = false;
        for (int i = 0; i < n; ++i) dup = dup || c[i].f == e.f;
        if (dup) continue;
        e.t = dot(dir, e.p);
        c[n++] = e;
    }
    if (n == 0) return false;
    int lo = 0, hi = 0;
    for (int i = 1; i < n; ++i) {
        if (c[i].t < c[lo].t) lo = i;
        if (c[i].t > c[hi].t) hi = i;
    }
    seg.lo = c[lo];
    seg.hi = c[hi];
    seg.inner = face_f();
    // Two corners on the plane: the edge joining them lies in it.
    if (lo != hi && seg.lo.f.kind == FeatureKind::Vertex && seg.hi.f.kind == FeatureKind::Vertex)
        seg.inner = edge_f(edge_between(seg.lo.f.index, seg.hi.f.index));
    return true;
}

TriTriResult general_position(const TriInput& t1, const TriInput& t2, const Plane& pl1,
                              const Plane& pl2, Vec3 dir) {
    TriTriResult r;
    Seg a, b;
    if (!plane_segment(t1, pl2, dir, a) || !plane_segment(t2, pl1, dir, b)) return r;
    const double lo = std::max(a.lo.t, b.lo.t), hi = std::min(a.hi.t, b.hi.t);
    if (!(hi - lo > kSnap)) return r;  // disjoint or touching at one point

    auto end = [&](const End& ea, const End& eb, bool lower) {
        IsectPoint ip;
        Vec3 at;
        if (std::fabs(ea.t - eb.t) <= kSnap) {
            ip.f1 = ea.f;
            ip.f2 = eb.f;
            at = ea.p;
        } else if (lower ? ea.t > eb.t : ea.t < eb.t) {
            ip.f1 = ea.f;
            ip.f2 = b.inner;
            at = ea.p;
        } else {
            ip.f1 = a.inner;
            ip.f2 = eb.f;
            at = eb.p;
        }
        ip.p = resolve(t1, t2, ip.f1, ip.f2, at);
        return ip;
    };
    r.pts[0] = end(a.lo, b.lo, true);
    r.pts[1] = end(a.hi, b.hi, false);
    if (r.pts[0].f1 == r.pts[1].f1 && r.pts[0].f2 == r.pts[1].f2) return TriTriResult{};
    r.kind = TriTriResult::Segment;
    r.n = 2;
    return r;
}

// ---- coplanar -----------------------------------------------------------------

struct EdgeLines {
    Vec3 m[3];  // unit in-plane normal of edge k, pointing into the triangle
    Vec3 o[3];  // canonical endpoint of edge k
};

bool edge_lines(const TriInput& t, const Plane& pl, EdgeLines& el) {
    for (int k = 0; k < 3; ++k) {
        const auto [a, b] = edge_ends(t, k);
        const Vec3 m = cross(pl.n, t.p[b] - t.p[a]);
        const double len = length(m);
        if (!(len > 0.0) || !std::isfinite(len)) return false;
        el.m[k] = a == k ? Vec3{m.x / len, m.y / len, m.z / len} : Vec3{-m.x / len, -m.y / len, -m.z / len};
        el.o[k] = t.p[a];
    }
    return true;
}

int side(double d) { return d > kSnap ? 1 : (d >= -kSnap ? 0 : -1); }

// Overlap vertices before ordering: at most 3 + 3 corners and 9 edge pairs.
struct Candidates {
    int n = 0;
    IsectPoint v[15];

    void add(TriangleFeature f1, TriangleFeature f2, Vec3 p) {
        for (int i = 0; i < n; ++i)
            if (v[i].f1 == f1 && v[i].f2 == f2) return;
        v[n++] = {p, f1, f2};
    }
};

// TriangleFeature on the other triangle of a corner with distances d to its edge
// lines; false when the corner lies outside.
bool corner_on_other(const double d[3], TriangleFeature& f) {
    f = face_f();
    double best = 0.0;
    for (int j = 0; j < 3; ++j) {
        const int sj = side(d[j]);
        if (sj < 0) return false;
        if (sj == 0 && (f.kind == FeatureKind::Face || std::fabs(d[j]) < best)) {
            f = edge_f(j);
            best = std::fabs(d[j]);
        }
    }
    return true;
}

// Counter-clockwise about `n`, in the coordinate plane facing it most.
void order_around(Candidates& c, Vec3 n) {
    int ax = 0;
    for (int k = 1; k < 3; ++k)
        if (std::fabs(n[k]) > std::fabs(n[ax])) ax = k;
    const int u = next(ax), w = next(u);
    double cu = 0.0, cw = 0.0;
    for (int i = 0; i < c.n; ++i) {
        cu += c.v[i].p[u];
        cw += c.v[i].p[w];
    }
    cu /= c.n;
    cw /= c.n;
    double ang[15];
    for (int i = 0; i < c.n; ++i) {
        ang[i] = std::atan2(c.v[i].p[w] - cw, c.v[i].p[u] - cu);
        for (int j = i; j > 0 && ang[j] < ang[j - 1]; --j) {
            std::swap(ang[j], ang[j - 1]);
            std::swap(c.v[j], c.v[j - 1]);
        }
    }
    if (n[ax] < 0.0) std::reverse(c.v, c.v + c.n);
}

double turn(const Candidates& c, int i) {
    const Vec3 a = c.v[i == 0 ? c.n - 1 : i - 1].p, b = c.v[i].p, d = c.v[i + 1 == c.n ? 0 : i + 1].p;
    return length(cross(b - a, d - b));
}

TriTriResult coplanar(const TriInput& t1, const TriInput& t2, const Plane& pl1, const Plane& pl2) {
    EdgeLines l1, l2;
    if (!edge_lines(t1, pl1, l1) || !edge_lines(t2, pl2, l2)) return {};
    double d12[3][3], d21[3][3];  // d12[i][j]: corner i of t1 from edge line j of t2
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            d12[i][j] = dot(l2.m[j], t1.p[i] - l2.o[j]);
            d21[i][j] = dot(l1.m[j], t2.p[i] - l1.o[j]);
        }
    // Corners within the snap distance are one point; pair each with its nearest.
    int near1[3] = {-1, -1, -1}, near2[3] = {-1, -1, -1};
    double best1[3] = {0, 0, 0}, best2[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) {
            const double dd = norm_squared(t1.p[i] - t2.p[k]);
            if (!(dd <= kSnap * kSnap)) continue;
            if (near1[i] < 0 || dd < best1[i]) near1[i] = k, best1[i] = dd;
            if (near2[k] < 0 || dd < best2[k]) near2[k] = i, best2[k] = dd;
        }

    Candidates c;
    TriangleFeature f;
    for (int i = 0; i < 3; ++i) {
        if (near1[i] >= 0)
            c.add(corner_f(i), corner_f(near1[i]), resolve(t1, t2, corner_f(i), corner_f(near1[i]), t1.p[i]));
        else if (corner_on_other(d12[i], f))
            c.add(corner_f(i), f, t1.p[i]);
        if (near2[i] >= 0)
            c.add(corner_f(near2[i]), corner_f(i), resolve(t1, t2, corner_f(near2[i]), corner_f(i), t2.p[i]));
        else if (corner_on_other(d21[i], f))
            c.add(f, corner_f(i), t2.p[i]);
    }
    // Edges crossing strictly inside both: every endpoint clear of the other line.
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            if (side(d12[i][j]) * side(d12[next(i)][j]) >= 0) continue;
            if (side(d21[j][i]) * side(d21[next(j)][i]) >= 0) continue;
            const double da = d12[i][j], db = d12[next(i)][j];
            const Vec3 at = t1.p[i] + (t1.p[next(i)] - t1.p[i]) * (da / (da - db));
            c.add(edge_f(i), edge_f(j), resolve(t1, t2, edge_f(i), edge_f(j), at));
        }
    if (c.n < 3) return {};
    order_around(c, pl1.n);

    // Only an overlap wider than the snap distance counts as a cut.
    Vec3 mid;
    for (int i = 0; i < c.n; ++i) mid = mid + c.v[i].p * (1.0 / c.n);
    Vec3 area2;
    double diam = 0.0;
    for (int i = 0; i < c.n; ++i) {
        area2 = area2 + cross(c.v[i].p - mid, c.v[i + 1 == c.n ? 0 : i + 1].p - mid);
        for (int j = i + 1; j < c.n; ++j) diam = std::max(diam, length(c.v[i].p - c.v[j].p));
    }
    if (!(length(area2) > kSnap * diam)) return {};

    // Tolerances can admit extra, nearly straight vertices; drop the flattest.
    while (c.n > TriTriResult::kMaxPoints) {
        int drop = 0;
        for (int i = 1; i < c.n; ++i)
            if (turn(c, i) < turn(c, drop)) drop = i;
        std::copy(c.v + drop + 1, c.v + c.n, c.v + drop);
        --c.n;
    }
    TriTriResult r;
    r.kind = TriTriResult::Polygon;
    r.n = c.n;
    std::copy(c.v, c.v + c.n, r.pts);
    return r;
}

bool all_beyond(const double d[3], double tol) {
    return (d[0] > tol && d[1] > tol && d[2] > tol) || (d[0] < -tol && d[1] < -tol && d[2] < -tol);
}

}  // namespace

TriTriResult intersect_triangles(const TriInput& t1, const TriInput& t2) {
    for (int i = 0; i < 3; ++i)
        if (!is_finite(t1.p[i]) || !is_finite(t2.p[i])) return {};
    Plane pl1, pl2;
    if (!make_plane(t1, pl1) || !make_plane(t2, pl2)) return {};

    double d1[3], d2[3];  // corners of each triangle against the other plane
    for (int i = 0; i < 3; ++i) {
        d1[i] = dist(pl2, t1.p[i]);
        d2[i] = dist(pl1, t2.p[i]);
    }
    const Vec3 c = cross(pl1.n, pl2.n);
    const double sine = norm(c);
    if (sine <= tritri::kParallelSine) {
        for (int i = 0; i < 3; ++i)
            if (!(std::fabs(d1[i]) < tritri::kPlaneOffset) || !(std::fabs(d2[i]) < tritri::kPlaneOffset)) return {};
        return coplanar(t1, t2, pl1, pl2);
    }

    // A triangle wholly beyond the snap distance on one side has no edge that
    // reaches the other plane; the factor 2 keeps this shortcut from ever
    // overruling the per-edge decisions.
    if (all_beyond(d1, 2.0 * kSnap) || all_beyond(d2, 2.0 * kSnap)) return {};
    return general_position(t1, t2, pl1, pl2, {c.x / sine, c.y / sine, c.z / sine});
}

}  // namespace geom
