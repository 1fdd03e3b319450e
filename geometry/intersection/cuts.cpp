#include "geometry/intersection/cuts.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <tuple>

#include "geometry/assert.h"
#include "geometry/disjoint_sets.h"
#include "geometry/pair_map.h"
#include "geometry/panic.h"
#include "geometry/parallel.h"
#include "geometry/predicates/predicates.h"
#include "geometry/triangulation/projection.h"

namespace geom::isect {

namespace {

Vec3 lerp(Vec3 a, Vec3 b, double t) { return a + (b - a) * t; }

// A triangle's plane from its canonical corners: every question about it
// uses these same bits.
struct Plane {
    Vec3 c0, c1, c2, n;
    double limit = 0.0;  // tol * |n|: offsets within it are on the plane
};

Plane plane_of(const Vec3 c[3], double tol) {
    Plane pl;
    pl.c0 = c[0];
    pl.c1 = c[1];
    pl.c2 = c[2];
    pl.n = cross(c[1] - c[0], c[2] - c[0]);
    pl.limit = tol * norm(pl.n);
    return pl;
}

Vec3 edge_plane_point(std::pair<Vec3, Vec3> e, const Plane& pl) {
    const Vec3 n = pl.n;
    const double da = dot(n, e.first - pl.c0), db = dot(n, e.second - pl.c0);
    double t = da / (da - db);
    if (!(t >= 0.0)) t = std::isnan(t) ? 0.5 : 0.0;
    if (t > 1.0) t = 1.0;
    return lerp(e.first, e.second, t);
}

// Drops `axis`, keeping the other two in cyclic order.
Vec2 drop(Vec3 p, int axis) { return DropAxisProjection{axis, false}(p); }

// Edge k's corners, lower vertex first, so every pair sees the same line.
std::pair<Vec3, Vec3> edge_of(const TriCorners& t, int k) {
    const int j = next_corner(k);
    return t.v[k] < t.v[j] ? std::pair{t.p[k], t.p[j]} : std::pair{t.p[j], t.p[k]};
}

// Corners rotated to start at the lowest vertex (orientation kept).
void canonical_corners(const TriCorners& t, Vec3 out[3]) {
    int r = 0;
    for (int k = 1; k < 3; ++k)
        if (t.v[k] < t.v[r]) r = k;
    for (int k = 0; k < 3; ++k) out[k] = t.p[(r + k) % 3];
}

// Squared margin on the distance bounds below, so that a point the bound
// calls far is beyond the tolerance also after rounding.
constexpr double kFar = 1.0625;

// A point within `tol` of a line is on it (never with tol 0).
int snapped(int exact, Vec3 q, std::pair<Vec3, Vec3> line, double tol) {
    if (exact == 0 || tol <= 0.0) return exact;
    const Vec3 d = line.second - line.first;
    return norm_squared(cross(d, q - line.first)) <= tol * tol * norm_squared(d) ? 0 : exact;
}

// The triangle seen along one axis: its projected corners and their
// orientation sign (never 0), so that in-plane sides are exact.
struct Flat {
    const TriCorners* tri = nullptr;
    double tol = 0.0;
    int axis = 2;
    int orientation = 0;
    Vec2 p[3];

    // Side of q (a point of the plane) of edge m: > 0 towards the inside.
    int side(int m, Vec3 q) const {
        const Vec2 a = p[m], b = p[next_corner(m)];
        const double o = orient2d(a, b, drop(q, axis));
        const int exact = sign(o) * orientation;
        // |o| is the projected distance times the projected edge length, and
        // projecting never lengthens a distance: far enough, no snapping.
        const double ex = b.x - a.x, ey = b.y - a.y;
        if (o * o > kFar * tol * tol * (ex * ex + ey * ey)) return exact;
        return snapped(exact, q, edge_of(*tri, m), tol);
    }
};

// Prefers the axis of the largest normal component; any axis whose exact
// projected orientation is non-zero is correct.
Flat flat(const TriCorners& tc, double tol) {
    const Vec3* t = tc.p;
    const Vec3 n = cross(t[1] - t[0], t[2] - t[0]);
    const double m[3] = {std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)};
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int i, int j) { return m[i] > m[j]; });
    Flat f;
    f.tri = &tc;
    f.tol = tol;
    for (int axis : order) {
        f.axis = axis;
        for (int k = 0; k < 3; ++k) f.p[k] = drop(t[k], axis);
        f.orientation = sign(orient2d(f.p[0], f.p[1], f.p[2]));
        if (f.orientation != 0) return f;
    }
    return f;
}

// Feature from the three edge sides of a point (edge m: corner m to m + 1);
// false when the point is outside the closed triangle.
bool locate(const int s[3], TriangleFeature& f) {
    if (s[0] < 0 || s[1] < 0 || s[2] < 0) return false;
    const int zeros = (s[0] == 0) + (s[1] == 0) + (s[2] == 0);
    if (zeros == 0) {
        f = {FeatureKind::Face, 0};
    } else if (zeros == 1) {
        f = {FeatureKind::Edge, static_cast<uint8_t>(s[0] == 0 ? 0 : (s[1] == 0 ? 1 : 2))};
    } else if (zeros == 2) {
        // The corner shared by the two edges the point lies on.
        f = {FeatureKind::Vertex, static_cast<uint8_t>(s[0] != 0 ? 2 : (s[1] != 0 ? 0 : 1))};
    } else {
        return false;
    }
    return true;
}

void add_point(LocalCut& out, TriangleFeature f1, TriangleFeature f2) {
    for (int i = 0; i < out.n; ++i)
        if (out.pts[i].f1 == f1 && out.pts[i].f2 == f2) return;
    Q_ASSERT(out.n < LocalCut::kMaxPoints, "cut: two triangles meet in at most 12 named points");
    if (out.n == LocalCut::kMaxPoints) return;
    out.pts[out.n++] = {f1, f2};
}

// Where the segment of one triangle in the other's plane ends: a corner on
// the plane, or an edge whose corners lie strictly on either side.
struct End {
    TriangleFeature own;
    int above = -1, below = -1;  // edge ends: corner on the normal's side, the other
};

int ends_in_plane(const int s[3], End out[3]) {
    int n = 0;
    for (int i = 0; i < 3; ++i)
        if (s[i] == 0) out[n++] = {{FeatureKind::Vertex, static_cast<uint8_t>(i)}, -1, -1};
    for (int k = 0; k < 3; ++k) {
        const int j = next_corner(k);
        if (s[k] * s[j] < 0) out[n++] = {{FeatureKind::Edge, static_cast<uint8_t>(k)}, s[k] > 0 ? k : j, s[k] > 0 ? j : k};
    }
    return n;
}

// Whether an end of `own` lies in the closed triangle `other` (whose plane
// holds it), with its sides of other's edges in s; stops at the first edge
// it is outside of. `other_flat` is needed for corner ends only.
bool end_sides(const End& e, const TriCorners& own, const TriCorners& other, const Plane& other_plane,
               const Flat& other_flat, double tol, int s[3]) {
    if (e.own.kind == FeatureKind::Vertex) {
        for (int m = 0; m < 3; ++m) {
            s[m] = other_flat.side(m, own.p[e.own.index]);
            if (s[m] < 0) return false;
        }
        return true;
    }
    const Vec3 a = own.p[e.above], b = own.p[e.below];
    bool have_crossing = false;
    Vec3 crossing;
    for (int m = 0; m < 3; ++m) {
        const Vec3 u = other.p[m], v = other.p[next_corner(m)];
        // The crossing lies left of edge m exactly when the segment from the
        // upper corner to the lower one turns clockwise about it.
        const double o = orient3d(u, v, a, b);
        s[m] = -sign(o);
        // |o| is at most |ab| |uv| times the crossing's distance from the
        // line of uv: far enough, no snapping.
        if (s[m] != 0 && tol > 0.0 && !(o * o > kFar * tol * tol * norm_squared(b - a) * norm_squared(v - u))) {
            if (!have_crossing) {
                crossing = edge_plane_point(edge_of(own, e.own.index), other_plane);
                have_crossing = true;
            }
            s[m] = snapped(s[m], crossing, edge_of(other, m), tol);
        }
        if (s[m] < 0) return false;
    }
    return true;
}

bool has_corner_end(const End* e, int n) {
    for (int i = 0; i < n; ++i)
        if (e[i].own.kind == FeatureKind::Vertex) return true;
    return false;
}

// Each triangle's flat view, when its caller keeps one per triangle (null: made here).
struct KnownFlats {
    const Flat* a = nullptr;
    const Flat* b = nullptr;
};

void cut_crossing(const TriCorners& a, const TriCorners& b, const Plane& pa, const Plane& pb, const int sa[3],
                  const int sb[3], double tol, KnownFlats known, LocalCut& out) {
    End ea[3], eb[3];
    const int na = ends_in_plane(sa, ea);
    const int nb = ends_in_plane(sb, eb);
    if (na == 0 || nb == 0) return;
    Flat fa, fb;
    if (has_corner_end(eb, nb)) fa = known.a != nullptr ? *known.a : flat(a, tol);
    if (has_corner_end(ea, na)) fb = known.b != nullptr ? *known.b : flat(b, tol);
    for (int i = 0; i < na; ++i) {
        int s[3];
        TriangleFeature f2;
        if (end_sides(ea[i], a, b, pb, fb, tol, s) && locate(s, f2)) add_point(out, ea[i].own, f2);
    }
    for (int i = 0; i < nb; ++i) {
        int s[3];
        TriangleFeature f1;
        if (end_sides(eb[i], b, a, pa, fa, tol, s) && locate(s, f1)) add_point(out, f1, eb[i].own);
    }
    if (out.n == 2) {
        out.ns = 1;
        out.seg[0][0] = 0;
        out.seg[0][1] = 1;
    }
}

// Both triangles in one plane, seen along one axis. Bit k of open_a / open_b: edge k of a / b bounds its mesh's flat region
// there (the face across it is not in the same plane). Only those edges'
// stretches are cut into the other triangle: inside a coincident region the
// two tessellations need not be overlaid, which would multiply the pieces.
void cut_coplanar(const TriCorners& tri_a, const TriCorners& tri_b, uint8_t open_a, uint8_t open_b, double tol,
                  const Flat* known_a, LocalCut& out) {
    out.coplanar = true;
    // Both inside flat regions: nothing to cut, and coincident corners
    // matter only where pieces use them.
    if (open_a == 0 && open_b == 0) return;
    const Vec3* a = tri_a.p;
    const Vec3* b = tri_b.p;
    const Flat fa = known_a != nullptr ? *known_a : flat(tri_a, tol);
    Flat fb;
    fb.tri = &tri_b;
    fb.tol = tol;
    fb.axis = fa.axis;
    for (int k = 0; k < 3; ++k) fb.p[k] = drop(b[k], fa.axis);
    fb.orientation = sign(orient2d(fb.p[0], fb.p[1], fb.p[2]));
    if (fb.orientation == 0) return;

    // side_b[m][i]: a's corner i against b's edge m; side_a[k][j] likewise.
    int side_b[3][3], side_a[3][3];
    for (int i = 0; i < 3; ++i) {
        int s[3];
        for (int m = 0; m < 3; ++m) s[m] = side_b[m][i] = fb.side(m, a[i]);
        TriangleFeature f2;
        if (locate(s, f2)) add_point(out, {FeatureKind::Vertex, static_cast<uint8_t>(i)}, f2);
    }
    // All of a strictly beyond one edge line of b: no crossing is possible
    // (b lies on the line's other side), so only b's corners can meet a,
    // each ruled out by the first edge of a it is beyond.
    bool separated = false;
    for (int m = 0; m < 3 && !separated; ++m)
        separated = side_b[m][0] < 0 && side_b[m][1] < 0 && side_b[m][2] < 0;
    if (separated) {
        bool any_inside = false;
        for (int j = 0; j < 3 && !any_inside; ++j) {
            bool outside = false;
            for (int k = 0; k < 3 && !outside; ++k) outside = fa.side(k, b[j]) < 0;
            any_inside = !outside;
        }
        if (!any_inside) return;
    }
    for (int j = 0; j < 3; ++j) {
        int s[3];
        for (int k = 0; k < 3; ++k) s[k] = side_a[k][j] = fa.side(k, b[j]);
        TriangleFeature f1;
        if (locate(s, f1)) add_point(out, f1, {FeatureKind::Vertex, static_cast<uint8_t>(j)});
    }
    // Proper crossings of an edge of each, where one of them is cut in; the
    // parameters along both edges are kept to order the points on each edge.
    double ta[3][3] = {}, tb[3][3] = {};  // [edge of a][edge of b]
    for (int k = 0; k < 3; ++k) {
        const Vec2 p = fa.p[k], q = fa.p[next_corner(k)];
        for (int m = 0; m < 3; ++m) {
            if (!((open_a >> k) & 1) && !((open_b >> m) & 1)) continue;
            // A corner on the other edge's line is that corner's crossing, not a proper one.
            if (side_b[m][k] * side_b[m][next_corner(k)] >= 0 || side_a[k][m] * side_a[k][next_corner(m)] >= 0) continue;
            const Vec2 r = fb.p[m], s = fb.p[next_corner(m)];
            const double o1 = orient2d(r, s, p), o2 = orient2d(r, s, q);
            const double o3 = orient2d(p, q, r), o4 = orient2d(p, q, s);
            if (sign(o1) * sign(o2) < 0 && sign(o3) * sign(o4) < 0) {
                ta[k][m] = o1 / (o1 - o2);
                tb[k][m] = o3 / (o3 - o4);
                add_point(out, {FeatureKind::Edge, static_cast<uint8_t>(k)}, {FeatureKind::Edge, static_cast<uint8_t>(m)});
            }
        }
    }
    // The points on each edge, in order along it, give that edge's stretch
    // inside the other triangle.
    auto param = [](Vec2 from, Vec2 to, Vec2 p) {
        const Vec2 d{to.x - from.x, to.y - from.y};
        return ((p.x - from.x) * d.x + (p.y - from.y) * d.y) / (d.x * d.x + d.y * d.y);
    };
    for (int side = 0; side < 2; ++side) {
        const Flat& own = side == 0 ? fa : fb;
        const Flat& other = side == 0 ? fb : fa;
        const uint8_t open = side == 0 ? open_a : open_b;
        for (int k = 0; k < 3; ++k) {
            if (!((open >> k) & 1)) continue;
            std::pair<double, int> on[LocalCut::kMaxPoints];
            int count = 0;
            for (int i = 0; i < out.n; ++i) {
                const TriangleFeature f = side == 0 ? out.pts[i].f1 : out.pts[i].f2;
                const TriangleFeature g = side == 0 ? out.pts[i].f2 : out.pts[i].f1;
                if (!on_closed_edge(f, k)) continue;
                double t;
                if (f.kind == FeatureKind::Vertex) {
                    t = f.index == k ? 0.0 : 1.0;
                } else if (g.kind == FeatureKind::Edge) {
                    t = side == 0 ? ta[k][g.index] : tb[g.index][k];
                } else {
                    t = param(own.p[k], own.p[next_corner(k)], other.p[g.index]);  // a corner of the other
                }
                on[count++] = {t, i};
            }
            // Insertion sort: at most a handful of points.
            for (int i = 1; i < count; ++i)
                for (int j = i; j > 0 && on[j] < on[j - 1]; --j) std::swap(on[j], on[j - 1]);
            for (int i = 0; i + 1 < count && out.ns < LocalCut::kMaxSegments; ++i) {
                out.seg[out.ns][0] = static_cast<uint8_t>(on[i].second);
                out.seg[out.ns][1] = static_cast<uint8_t>(on[i + 1].second);
                ++out.ns;
            }
        }
    }
    // Points that no stretch uses are not needed, coincident corners aside.
    int renumber[LocalCut::kMaxPoints];
    bool used[LocalCut::kMaxPoints] = {};
    for (int i = 0; i < out.ns; ++i) used[out.seg[i][0]] = used[out.seg[i][1]] = true;
    int n = 0;
    for (int i = 0; i < out.n; ++i) {
        const bool corners = out.pts[i].f1.kind == FeatureKind::Vertex && out.pts[i].f2.kind == FeatureKind::Vertex;
        renumber[i] = used[i] || corners ? n : -1;
        if (renumber[i] >= 0) out.pts[n++] = out.pts[i];
    }
    out.n = n;
    for (int i = 0; i < out.ns; ++i)
        for (int e = 0; e < 2; ++e) out.seg[i][e] = static_cast<uint8_t>(renumber[out.seg[i][e]]);
}

}  // namespace

bool spans_plane(Vec3 p0, Vec3 p1, Vec3 p2) {
    for (int axis = 0; axis < 3; ++axis)
        if (orient2d(drop(p0, axis), drop(p1, axis), drop(p2, axis)) != 0.0) return true;
    return false;
}

TriCorners corners_of(const TriMesh& mesh, uint32_t t) {
    TriCorners tc;
    for (int k = 0; k < 3; ++k) {
        tc.v[k] = mesh.triangles()[t][k];
        tc.p[k] = mesh.points()[tc.v[k]];
    }
    return tc;
}

bool cuttable(const TriMesh& mesh, uint32_t t) {
    const TriCorners c = corners_of(mesh, t);
    return is_finite(c.p[0]) && is_finite(c.p[1]) && is_finite(c.p[2]) && spans_plane(c.p[0], c.p[1], c.p[2]);
}

namespace {

// All three corners strictly on one side: the triangles cannot meet.
bool one_side(const int s[3]) { return (s[0] > 0 && s[1] > 0 && s[2] > 0) || (s[0] < 0 && s[1] < 0 && s[2] < 0); }

bool coplanar_sides(const int sa[3], const int sb[3]) {
    return (sa[0] == 0 && sa[1] == 0 && sa[2] == 0) || (sb[0] == 0 && sb[1] == 0 && sb[2] == 0);
}

void cut_with_planes(const TriCorners& a, const TriCorners& b, const Plane& pa, const Plane& pb, const int sa[3],
                     const int sb[3], uint8_t open_a, uint8_t open_b, double tol, LocalCut& out,
                     KnownFlats known = {}) {
    out.coplanar = false;
    out.n = 0;
    out.ns = 0;
    if (one_side(sa) || one_side(sb)) return;
    if (coplanar_sides(sa, sb)) return cut_coplanar(a, b, open_a, open_b, tol, known.a, out);
    cut_crossing(a, b, pa, pb, sa, sb, tol, known, out);
}

Plane canonical_plane(const TriCorners& t, double tol) {
    Vec3 c[3];
    canonical_corners(t, c);
    return plane_of(c, tol);
}

}  // namespace

void cut_triangles(const TriCorners& a, const TriCorners& b, const int sa[3], const int sb[3], double tol,
                   LocalCut& out) {
    cut_with_planes(a, b, canonical_plane(a, tol), canonical_plane(b, tol), sa, sb, 7, 7, tol, out);
}

namespace {

// Side of p of the plane: 0 within the tolerance; beyond it the rounded
// offset has the exact sign.
int plane_side(const Plane& pl, Vec3 p) {
    const double d = dot(pl.n, p - pl.c0);
    if (std::fabs(d) <= pl.limit) return 0;
    if (std::isfinite(d)) return sign(d);
    return orient3d_sign(pl.c0, pl.c1, pl.c2, p);
}

}  // namespace

namespace {

enum : uint64_t { kEdgeCode = 2, kFaceCode = 3 };
uint64_t code(uint64_t kind, uint32_t id) { return kind << 32 | id; }

struct Side {
    const TriMesh& mesh;
    uint32_t t;
    const Triangle& tri() const { return mesh.triangles()[t]; }
    std::pair<Vec3, Vec3> edge(int k) const { return edge_of(corners_of(mesh, t), k); }
    uint64_t feature_code(TriangleFeature f) const {
        if (f.kind == FeatureKind::Edge) return code(kEdgeCode, mesh.edge_id(3 * t + f.index));
        return code(kFaceCode, t);
    }
};


// Midpoint of the closest points of two segments that cross.
Vec3 edge_edge_point(std::pair<Vec3, Vec3> e1, std::pair<Vec3, Vec3> e2) {
    const Vec3 d1 = e1.second - e1.first, d2 = e2.second - e2.first, r = e1.first - e2.first;
    const double a = dot(d1, d1), e = dot(d2, d2), b = dot(d1, d2), c = dot(d1, r), f = dot(d2, r);
    const double denom = a * e - b * b;
    double s = 0.5, t = 0.5;
    if (denom > 0.0) {
        s = (b * f - c * e) / denom;
        t = (a * f - b * c) / denom;
    }
    auto clamp01 = [](double x) { return x >= 0.0 ? (x <= 1.0 ? x : 1.0) : (std::isnan(x) ? 0.5 : 0.0); };
    s = clamp01(s);
    t = clamp01(t);
    return (lerp(e1.first, e1.second, s) + lerp(e2.first, e2.second, t)) * 0.5;
}

// Bit k set: edge k of triangle t bounds its flat region, that is the face
// across it (if any) is not in the same plane, by the plane-side rule both
// ways. A function of the mesh alone, so every pair agrees.
uint8_t flat_region_edges(const TriMesh& mesh, uint32_t t, double tol) {
    const TriCorners own = corners_of(mesh, t);
    const Plane own_plane = canonical_plane(own, tol);
    uint8_t open = 0;
    for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t twin = mesh.twin(3 * t + k);
        if (twin == HalfEdgeTopology::kNone) {
            open |= static_cast<uint8_t>(1u << k);
            continue;
        }
        const TriCorners nb = corners_of(mesh, twin / 3);
        const bool flat = cuttable(mesh, twin / 3) &&
                          plane_side(own_plane, nb.p[prev_corner(twin % 3)]) == 0 &&
                          plane_side(canonical_plane(nb, tol), own.p[prev_corner(k)]) == 0;
        if (!flat) open |= static_cast<uint8_t>(1u << k);
    }
    return open;
}

// Planes and usability of the triangles that some candidate pair names,
// computed once each; the others are never asked about.
class TrianglePlanes {
public:
    TrianglePlanes(const TriMesh& mesh, const std::vector<std::pair<uint32_t, uint32_t>>& pairs, bool first,
                   double tol)
        : slot_(mesh.triangles().size(), kNone) {
        for (const auto& pr : pairs) {
            const uint32_t t = first ? pr.first : pr.second;
            if (slot_[t] != kNone) continue;
            slot_[t] = static_cast<uint32_t>(entries_.size());
            Entry& e = entries_.emplace_back();
            e.corners = corners_of(mesh, t);
            e.ok = cuttable(mesh, t);
            if (e.ok) e.plane = canonical_plane(e.corners, tol);
        }
        for (uint32_t t = 0; t < slot_.size(); ++t)
            if (slot_[t] != kNone && entries_[slot_[t]].ok) entries_[slot_[t]].open = flat_region_edges(mesh, t, tol);
        // Apart from the entries, which every pair reads: only pairs that
        // touch or share a plane need these.
        flats_.reserve(entries_.size());
        for (const Entry& e : entries_) flats_.push_back(e.ok ? flat(e.corners, tol) : Flat{});
    }
    bool usable(uint32_t t) const { return slot_[t] != kNone && entries_[slot_[t]].ok; }
    const Plane& operator[](uint32_t t) const { return entries_[slot_[t]].plane; }
    const TriCorners& corners(uint32_t t) const { return entries_[slot_[t]].corners; }
    uint8_t open_edges(uint32_t t) const { return entries_[slot_[t]].open; }
    const Flat& flat_of(uint32_t t) const { return flats_[slot_[t]]; }
    // Hints for a triangle asked about soon: its slot, then (once the slot
    // is in cache) its entry.
    void prefetch_slot(uint32_t t) const { __builtin_prefetch(&slot_[t]); }
    void prefetch_entry(uint32_t t) const {
        if (const uint32_t i = slot_[t]; i != kNone) {
            const char* e = reinterpret_cast<const char*>(&entries_[i]);
            for (size_t off = 0; off < sizeof(Entry); off += 64) __builtin_prefetch(e + off);
        }
    }

private:
    // Everything a pair test reads about one triangle, side by side: the
    // pairs reach the other mesh's triangles in no particular order.
    struct Entry {
        Plane plane;
        TriCorners corners;
        bool ok = false;
        uint8_t open = 0;  // flat_region_edges
    };
    std::vector<uint32_t> slot_;
    std::vector<Entry> entries_;
    std::vector<Flat> flats_;  // per entry, viewing its corners
};

class Namer {
public:
    Namer(const TrianglePlanes& planes1, const TrianglePlanes& planes2, Cuts& out)
        : planes1_(planes1), planes2_(planes2), out_(out) {}

    VRef name(const Side& s1, const Side& s2, TriangleFeature f1, TriangleFeature f2) {
        if (f1.kind == FeatureKind::Vertex) return {Origin::Mesh1, s1.tri()[f1.index]};
        if (f2.kind == FeatureKind::Vertex) return {Origin::Mesh2, s2.tri()[f2.index]};
        const uint32_t next = static_cast<uint32_t>(out_.new_points.size());
        const uint32_t id = ids_.insert(s1.feature_code(f1), s2.feature_code(f2), next);
        if (id == next) out_.new_points.push_back(position(s1, s2, f1, f2));
        return {Origin::New, id};
    }

private:
    Vec3 position(const Side& s1, const Side& s2, TriangleFeature f1, TriangleFeature f2) const {
        if (f1.kind == FeatureKind::Edge && f2.kind == FeatureKind::Edge)
            return edge_edge_point(s1.edge(f1.index), s2.edge(f2.index));
        if (f1.kind == FeatureKind::Edge) return edge_plane_point(s1.edge(f1.index), planes2_[s2.t]);
        if (f2.kind == FeatureKind::Edge) return edge_plane_point(s2.edge(f2.index), planes1_[s1.t]);
        panic("intersection: a curve point inside both faces (this is a bug)");
    }

    const TrianglePlanes& planes1_;
    const TrianglePlanes& planes2_;
    Cuts& out_;
    PairMap ids_;
};


}  // namespace

double merge_distance(double magnitude) { return std::ldexp(magnitude, -40); }

namespace {

// Clusters of points within the merge distance, by a grid of cells twice that wide.
class Merger {
public:
    Merger(const TriMesh& m1, const TriMesh& m2, Cuts& cuts)
        : m1_(m1), m2_(m2), cuts_(cuts), seen1_(m1.points().size(), 0), seen2_(m2.points().size(), 0) {
        double m = 0.0;
        for (const Bvh* b : {&m1.bvh(), &m2.bvh()}) m = std::max(m, b->max_abs());
        tol_ = merge_distance(m);
        cuts.merge_tol = tol_;
    }

    void add_vertex(Origin origin, uint32_t v) {
        auto& seen = origin == Origin::Mesh1 ? seen1_ : seen2_;
        if (seen[v]) return;
        seen[v] = 1;
        add({origin, v});
    }
    void add_new(uint32_t id) { add({Origin::New, id}); }
    // Corners that are exactly one point, whatever the distance.
    void force(uint32_t v1, uint32_t v2) { forced_.emplace_back(v1, v2); }

    void run() {
        const size_t n = items_.size();
        sets_.reset(n);
        std::vector<uint32_t> index_of1(m1_.points().size(), kNone), index_of2(m2_.points().size(), kNone);
        for (uint32_t i = 0; i < n; ++i) {
            if (items_[i].ref.origin == Origin::Mesh1) index_of1[items_[i].ref.id] = i;
            if (items_[i].ref.origin == Origin::Mesh2) index_of2[items_[i].ref.id] = i;
        }
        for (const auto& [v1, v2] : forced_) unite(index_of1[v1], index_of2[v2]);
        if (tol_ > 0.0 && std::isfinite(tol_)) {
            std::vector<std::pair<Cell, uint32_t>> sorted;
            sorted.reserve(n);
            for (uint32_t i = 0; i < n; ++i)
                if (items_[i].finite) sorted.emplace_back(items_[i].cell, i);
            std::sort(sorted.begin(), sorted.end());
            for (size_t run = 0; run < sorted.size();) {
                size_t end = run + 1;
                while (end < sorted.size() && sorted[end].first == sorted[run].first) ++end;
                for (size_t a = run; a < end; ++a) {
                    const uint32_t i = sorted[a].second;
                    const Item& item = items_[i];
                    for (size_t b = a + 1; b < end; ++b)
                        if (close(item.p, items_[sorted[b].second].p)) unite(i, sorted[b].second);
                    // Cells are far wider than the distance: only a point near
                    // a face of its cell has partners across it.
                    const Cell& cell = sorted[a].first;
                    for (int corner = 1; corner < 8; ++corner) {
                        Cell c = cell;
                        bool needed = true;
                        for (int d = 0; d < 3 && needed; ++d) {
                            if (!((corner >> d) & 1)) continue;
                            needed = item.near[d] != 0;
                            c[d] += item.near[d];
                        }
                        if (!needed) continue;
                        auto it = std::lower_bound(sorted.begin(), sorted.end(), std::pair<Cell, uint32_t>{c, 0});
                        for (; it != sorted.end() && it->first == c; ++it)
                            if (it->second > i && close(item.p, items_[it->second].p)) unite(i, it->second);
                    }
                }
                run = end;
            }
        }
        // Representatives: the cluster's mesh-1 vertex, else its mesh-2 vertex, else its first new point.
        std::vector<VRef> rep(n);
        std::vector<uint8_t> has(n, 0);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t r = find(i);
            const VRef ref = items_[i].ref;
            if (!has[r] || rank(ref) < rank(rep[r]) || (rank(ref) == rank(rep[r]) && ref.id < rep[r].id)) {
                rep[r] = ref;
                has[r] = 1;
            }
        }
        cuts_.replace2.assign(m2_.points().size(), kNone);
        cuts_.new_rep.resize(cuts_.new_points.size());
        for (uint32_t i = 0; i < cuts_.new_points.size(); ++i) cuts_.new_rep[i] = {Origin::New, i};
        for (uint32_t i = 0; i < n; ++i) {
            const VRef ref = items_[i].ref, to = rep[find(i)];
            if (ref.origin == Origin::Mesh2 && to.origin == Origin::Mesh1) cuts_.replace2[ref.id] = to.id;
            if (ref.origin == Origin::New) cuts_.new_rep[ref.id] = to;
        }
    }

private:
    using Cell = std::array<int64_t, 3>;
    // In merge distances. Wide, so that most points have all their partners in their own cell.
    static constexpr double kCellWidth = 64.0;
    struct Item {
        VRef ref;
        Vec3 p;
        Cell cell;
        int8_t near[3] = {0, 0, 0};  // per axis: the neighbouring cell that may hold partners, or 0
        bool finite;
        uint32_t mesh1 = kNone, mesh2 = kNone;  // the cluster's vertex of each mesh (kept at roots)
    };

    static int rank(VRef r) { return static_cast<int>(r.origin); }

    void add(VRef ref) {
        Item it;
        it.ref = ref;
        it.p = cuts_.position(m1_, m2_, ref);
        it.finite = is_finite(it.p) && tol_ > 0.0 && std::isfinite(tol_);
        if (it.finite)
            for (int d = 0; d < 3; ++d) {
                const double u = it.p[d] / (kCellWidth * tol_), f = std::floor(u);
                it.cell[d] = static_cast<int64_t>(f);
                // Twice the distance, in cell widths: rounding of u cannot hide a partner.
                constexpr double kNear = 2.0 / kCellWidth;
                it.near[d] = u - f <= kNear ? -1 : (u - f >= 1.0 - kNear ? 1 : 0);
            }
        if (ref.origin == Origin::Mesh1) it.mesh1 = ref.id;
        if (ref.origin == Origin::Mesh2) it.mesh2 = ref.id;
        items_.push_back(it);
    }

    bool close(Vec3 a, Vec3 b) const {
        return std::fabs(a.x - b.x) <= tol_ && std::fabs(a.y - b.y) <= tol_ && std::fabs(a.z - b.z) <= tol_;
    }

    uint32_t find(uint32_t x) { return sets_.find(x); }

    // Refused when both clusters hold a vertex of the same mesh.
    void unite(uint32_t a, uint32_t b) {
        if (a == kNone || b == kNone) return;
        a = find(a);
        b = find(b);
        if (a == b) return;
        Item &ia = items_[a], &ib = items_[b];
        if ((ia.mesh1 != kNone && ib.mesh1 != kNone) || (ia.mesh2 != kNone && ib.mesh2 != kNone)) return;
        if (b < a) std::swap(a, b);
        sets_.attach(b, a);
        if (items_[a].mesh1 == kNone) items_[a].mesh1 = items_[b].mesh1;
        if (items_[a].mesh2 == kNone) items_[a].mesh2 = items_[b].mesh2;
    }

    const TriMesh& m1_;
    const TriMesh& m2_;
    Cuts& cuts_;
    double tol_ = 0.0;
    std::vector<uint8_t> seen1_, seen2_;
    std::vector<Item> items_;
    DisjointSets sets_;
    std::vector<std::pair<uint32_t, uint32_t>> forced_;
};

}  // namespace

namespace {

// Segments in one triangle that cross (from two triangles of the other mesh
// that cross each other there, or from rounding next to a touching point)
// are split at their crossing, a new curve vertex on both, so that no
// constraint has to be left out. Rare: nothing is rebuilt when none cross.
void split_crossings(const TriMesh& m1, const TriMesh& m2, Cuts& cuts) {
    struct Seg {
        uint32_t pair, index;
        VRef a, b;
        Vec2 pa, pb;  // ends seen along the triangle's drop axis
        double lo_x, hi_x, lo_y, hi_y;
    };
    struct Split {
        uint32_t pair, index;
        VRef x;
        double t;
    };
    std::vector<Split> splits;
    std::map<std::array<uint64_t, 4>, uint32_t> crossing_ids;
    for (int side = 0; side < 2; ++side) {
        const TriMesh& mesh = side == 0 ? m1 : m2;
        // Pairs grouped by this side's triangle.
        std::vector<uint32_t> order(cuts.pairs.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        auto own = [&](uint32_t i) { return side == 0 ? cuts.pairs[i].t1 : cuts.pairs[i].t2; };
        // Pairs come sorted by mesh-1 triangle already.
        if (side == 1) std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return own(x) < own(y); });
        std::vector<Seg> segs;
        std::vector<uint32_t> by_x;
        std::vector<std::pair<uint32_t, uint32_t>> near;
        for (size_t g = 0; g < order.size();) {
            size_t h = g;
            while (h < order.size() && own(order[h]) == own(order[g])) ++h;
            segs.clear();
            for (size_t i = g; i < h; ++i) {
                const PairCut& pc = cuts.pairs[order[i]];
                for (uint32_t k = 0; k < pc.n_segments; ++k) {
                    const auto [u, v] = cuts.segments[pc.first_segment + k];
                    const CutPoint& pu = cuts.points[pc.first_point + u];
                    const CutPoint& pv = cuts.points[pc.first_point + v];
                    const TriangleFeature fu = side == 0 ? pu.f1 : pu.f2, fv = side == 0 ? pv.f1 : pv.f2;
                    // Stretches of the triangle's own edges bound it; only inner ones can cross.
                    if (segment_feature(fu, fv).kind == FeatureKind::Edge || pu.ref == pv.ref) continue;
                    segs.push_back({order[i], k, pu.ref, pv.ref, {}, {}, 0, 0, 0, 0});
                }
            }
            const uint32_t t = own(order[g]);
            g = h;
            if (segs.size() < 2) continue;
            const Triangle& tri = mesh.triangles()[t];
            const DropAxisProjection proj =
                drop_axis_projection(mesh.points()[tri[0]], mesh.points()[tri[1]], mesh.points()[tri[2]]);
            for (Seg& sg : segs) {
                sg.pa = proj(cuts.position(m1, m2, sg.a));
                sg.pb = proj(cuts.position(m1, m2, sg.b));
                sg.lo_x = std::min(sg.pa.x, sg.pb.x);
                sg.hi_x = std::max(sg.pa.x, sg.pb.x);
                sg.lo_y = std::min(sg.pa.y, sg.pb.y);
                sg.hi_y = std::max(sg.pa.y, sg.pb.y);
            }
            // Pairs whose boxes overlap, by a sweep along x (a face cut by
            // many pairs has hundreds of segments), then in the order of the
            // plain double loop, which fixes the numbering of new points.
            near.clear();
            by_x.resize(segs.size());
            for (uint32_t i = 0; i < by_x.size(); ++i) by_x[i] = i;
            std::sort(by_x.begin(), by_x.end(), [&](uint32_t x, uint32_t y) {
                return segs[x].lo_x < segs[y].lo_x || (segs[x].lo_x == segs[y].lo_x && x < y);
            });
            for (size_t a = 0; a < by_x.size(); ++a) {
                const Seg& s = segs[by_x[a]];
                for (size_t b = a + 1; b < by_x.size() && segs[by_x[b]].lo_x <= s.hi_x; ++b) {
                    const Seg& r = segs[by_x[b]];
                    if (s.hi_y < r.lo_y || r.hi_y < s.lo_y) continue;
                    near.emplace_back(std::min(by_x[a], by_x[b]), std::max(by_x[a], by_x[b]));
                }
            }
            std::sort(near.begin(), near.end());
            for (const auto& [i, j] : near) {
                const Seg& s = segs[i];
                const Seg& r = segs[j];
                if (s.a == r.a || s.a == r.b || s.b == r.a || s.b == r.b) continue;
                const Vec2 p = s.pa, q = s.pb, u = r.pa, v = r.pb;
                if (!(sign(orient2d(p, q, u)) * sign(orient2d(p, q, v)) < 0 &&
                      sign(orient2d(u, v, p)) * sign(orient2d(u, v, q)) < 0))
                    continue;
                // One vertex per pair of crossing segments, named by their ends.
                std::array<uint64_t, 4> key{s.a.code(), s.b.code(), r.a.code(), r.b.code()};
                if (key[0] > key[1]) std::swap(key[0], key[1]);
                if (key[2] > key[3]) std::swap(key[2], key[3]);
                if (std::pair{key[0], key[1]} > std::pair{key[2], key[3]}) {
                    std::swap(key[0], key[2]);
                    std::swap(key[1], key[3]);
                }
                auto [it, added] = crossing_ids.try_emplace(key, static_cast<uint32_t>(cuts.new_points.size()));
                const Vec3 ps = cuts.position(m1, m2, s.a), qs = cuts.position(m1, m2, s.b);
                if (added) {
                    const Vec3 pr = cuts.position(m1, m2, r.a), qr = cuts.position(m1, m2, r.b);
                    const bool s_first = key[0] == std::min(s.a.code(), s.b.code()) &&
                                         key[1] == std::max(s.a.code(), s.b.code());
                    cuts.new_points.push_back(s_first ? edge_edge_point({ps, qs}, {pr, qr})
                                                      : edge_edge_point({pr, qr}, {ps, qs}));
                    cuts.new_rep.push_back({Origin::New, it->second});
                }
                const VRef x{Origin::New, it->second};
                const Vec3 px = cuts.new_points[it->second];
                for (const Seg* seg : {&s, &r}) {
                    const Vec3 a = cuts.position(m1, m2, seg->a), d = cuts.position(m1, m2, seg->b) - a;
                    splits.push_back({seg->pair, seg->index, x, dot(px - a, d) / dot(d, d)});
                }
            }
        }
    }
    if (splits.empty()) return;

    // Rebuild the lists with the crossing points added to their pairs and
    // each split segment replaced by its chain.
    std::sort(splits.begin(), splits.end(), [](const Split& x, const Split& y) {
        return std::tie(x.pair, x.index, x.t, x.x.id) < std::tie(y.pair, y.index, y.t, y.x.id);
    });
    std::vector<CutPoint> points;
    std::vector<std::array<uint8_t, 2>> segments;
    size_t next = 0;
    for (uint32_t pi = 0; pi < cuts.pairs.size(); ++pi) {
        PairCut& pc = cuts.pairs[pi];
        const uint32_t first_point = static_cast<uint32_t>(points.size());
        const uint32_t first_segment = static_cast<uint32_t>(segments.size());
        for (uint32_t i = 0; i < pc.n_points; ++i) points.push_back(cuts.points[pc.first_point + i]);
        for (uint32_t k = 0; k < pc.n_segments; ++k) {
            auto [u, v] = cuts.segments[pc.first_segment + k];
            uint8_t prev = u;
            while (next < splits.size() && splits[next].pair == pi && splits[next].index == k) {
                const CutPoint& pu = cuts.points[pc.first_point + u];
                const CutPoint& pv = cuts.points[pc.first_point + v];
                // Inside both faces' common segment: on each triangle, the segment's feature.
                const CutPoint cp{splits[next].x, segment_feature(pu.f1, pv.f1), segment_feature(pu.f2, pv.f2)};
                uint32_t local = kNone;
                for (uint32_t i = first_point; i < points.size(); ++i)
                    if (points[i].ref == cp.ref) local = i - first_point;
                if (local == kNone && points.size() - first_point < 255) {
                    local = static_cast<uint32_t>(points.size() - first_point);
                    points.push_back(cp);
                }
                if (local != kNone && local != prev) {
                    segments.push_back({prev, static_cast<uint8_t>(local)});
                    prev = static_cast<uint8_t>(local);
                }
                ++next;
            }
            if (prev != v) segments.push_back({prev, v});
        }
        pc.first_point = first_point;
        pc.n_points = static_cast<uint8_t>(points.size() - first_point);
        pc.first_segment = first_segment;
        pc.n_segments = static_cast<uint8_t>(std::min<size_t>(segments.size() - first_segment, 255));
    }
    cuts.points = std::move(points);
    cuts.segments = std::move(segments);
}

}  // namespace

Cuts cut_pairs(const TriMesh& m1, const TriMesh& m2, const std::vector<std::pair<uint32_t, uint32_t>>& pairs) {
    Cuts out;
    Merger merger(m1, m2, out);
    const bool split = pairs.size() >= kCutPairsSplitFrom;
    std::optional<TrianglePlanes> p1, p2;
    run_both(split, [&] { p1.emplace(m1, pairs, true, out.merge_tol); },
             [&] { p2.emplace(m2, pairs, false, out.merge_tol); });
    const TrianglePlanes &planes1 = *p1, &planes2 = *p2;
    Namer namer(planes1, planes2, out);

    // The pair tests read only the meshes and planes: two halves side by
    // side; naming then runs through the pairs that meet in (mesh-1
    // triangle, mesh-2 triangle) order, whatever order they came in.
    struct Met {
        uint32_t a, b;
        LocalCut cut;
    };
    auto test_range = [&](size_t lo, size_t hi, std::vector<Met>& met) {
        LocalCut lc;
        for (size_t i = lo; i < hi; ++i) {
            if (i + 16 < hi) planes2.prefetch_slot(pairs[i + 16].second);
            if (i + 8 < hi) planes2.prefetch_entry(pairs[i + 8].second);
            const auto [a, b] = pairs[i];
            if (!planes1.usable(a) || !planes2.usable(b)) continue;
            const TriCorners &ta = planes1.corners(a), &tb = planes2.corners(b);
            int sa[3], sb[3];
            for (int k = 0; k < 3; ++k) sa[k] = plane_side(planes2[b], ta.p[k]);
            if (one_side(sa)) continue;
            for (int k = 0; k < 3; ++k) sb[k] = plane_side(planes1[a], tb.p[k]);
            if (one_side(sb)) continue;
            uint8_t open_a = 7, open_b = 7;
            if (coplanar_sides(sa, sb)) {
                open_a = planes1.open_edges(a);
                open_b = planes2.open_edges(b);
            }
            cut_with_planes(ta, tb, planes1[a], planes2[b], sa, sb, open_a, open_b, out.merge_tol, lc,
                            {&planes1.flat_of(a), &planes2.flat_of(b)});
            if (lc.n > 0) met.push_back({a, b, lc});
        }
    };
    std::vector<Met> met1, met2;
    const size_t half = pairs.size() / 2;
    run_both(split, [&] { test_range(0, half, met1); }, [&] { test_range(half, pairs.size(), met2); });
    met1.insert(met1.end(), met2.begin(), met2.end());
    met2 = {};
    // Sorted through keys: a LocalCut is large to move.
    struct Key {
        uint32_t a, b, index;
    };
    std::vector<Key> order(met1.size());
    for (uint32_t i = 0; i < met1.size(); ++i) order[i] = {met1[i].a, met1[i].b, i};
    std::sort(order.begin(), order.end(), [](const Key& x, const Key& y) { return std::tie(x.a, x.b) < std::tie(y.a, y.b); });

    for (const Key& key : order) {
        const Met& m = met1[key.index];
        const LocalCut& lc = m.cut;
        const uint32_t a = m.a, b = m.b;
        const Side s1{m1, a}, s2{m2, b};
        for (int i = 0; i < lc.n; ++i) {
            const auto& p = lc.pts[i];
            if (p.f1.kind == FeatureKind::Vertex && p.f2.kind == FeatureKind::Vertex) {
                merger.add_vertex(Origin::Mesh1, s1.tri()[p.f1.index]);
                merger.add_vertex(Origin::Mesh2, s2.tri()[p.f2.index]);
                merger.force(s1.tri()[p.f1.index], s2.tri()[p.f2.index]);
            }
        }
        if (lc.ns == 0) continue;
        for (int k = 0; k < 3; ++k) {
            merger.add_vertex(Origin::Mesh1, s1.tri()[k]);
            merger.add_vertex(Origin::Mesh2, s2.tri()[k]);
        }
        PairCut& pc = out.pairs.emplace_back();
        pc.t1 = a;
        pc.t2 = b;
        pc.coplanar = lc.coplanar;
        pc.first_point = static_cast<uint32_t>(out.points.size());
        pc.n_points = static_cast<uint8_t>(lc.n);
        pc.first_segment = static_cast<uint32_t>(out.segments.size());
        pc.n_segments = static_cast<uint8_t>(lc.ns);
        for (int i = 0; i < lc.n; ++i)
            out.points.push_back({namer.name(s1, s2, lc.pts[i].f1, lc.pts[i].f2), lc.pts[i].f1, lc.pts[i].f2});
        for (int i = 0; i < lc.ns; ++i) out.segments.push_back({lc.seg[i][0], lc.seg[i][1]});
    }
    for (uint32_t i = 0; i < out.new_points.size(); ++i) merger.add_new(i);
    merger.run();
    for (CutPoint& p : out.points) p.ref = out.canonical(p.ref);
    split_crossings(m1, m2, out);
    return out;
}

}  // namespace geom::isect
