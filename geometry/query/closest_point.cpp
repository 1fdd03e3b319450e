#include "geometry/query/closest_point.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace geom {

namespace {
constexpr uint32_t kNoHint = kNone;
}  // namespace

namespace {

TriangleFeature vertex(int k) { return {FeatureKind::Vertex, static_cast<uint8_t>(k)}; }
TriangleFeature edge(int k) { return {FeatureKind::Edge, static_cast<uint8_t>(k)}; }

// Point start + dir * (num / den) of an edge, with num in [0, den]. The ends
// are returned exactly and tagged as corners.
ClosestOnTriangle on_edge(Vec3 start, Vec3 end, Vec3 dir, double num, double den, int k, int k_start, int k_end) {
    if (num == 0.0 || den == 0.0) return {start, vertex(k_start)};
    const double t = num / den;
    if (t == 1.0) return {end, vertex(k_end)};
    return {start + dir * t, edge(k)};
}

// Ranks results by squared distance, NaN last, then by triangle index.
bool precedes(double d2a, uint32_t ta, double d2b, uint32_t tb) {
    const bool na = std::isnan(d2a), nb = std::isnan(d2b);
    if (na != nb) return nb;
    if (!na && d2a != d2b) return d2a < d2b;
    return ta < tb;
}

// Closest point of a zero-area (or numerically broken) triangle: the nearest
// of its three edges, first edge on ties.
ClosestOnTriangle degenerate_closest(Vec3 p, const Vec3 (&v)[3]) {
    ClosestOnTriangle best{};
    double best_d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
        const Vec3 s = v[k], e = v[next_corner(k)];
        const Vec3 dir = e - s;
        const double len2 = dot(dir, dir);
        const double proj = dot(p - s, dir);
        ClosestOnTriangle c;
        if (!(proj > 0.0) || !(len2 > 0.0)) c = {s, vertex(k)};
        else if (proj >= len2) c = {e, vertex(next_corner(k))};
        else c = on_edge(s, e, dir, proj, len2, k, k, next_corner(k));
        const double d2 = norm_squared(p - c.point);
        if (k == 0 || precedes(d2, 1, best_d2, 0)) best = c, best_d2 = d2;
    }
    return best;
}

// Nearly collinear triangles, where the region tests of the main path are
// decided by rounding: the nearest of the edges and, when it falls inside,
// the projection onto the plane (clamped to the triangle's box).
ClosestOnTriangle sliver_closest(Vec3 p, const Vec3 (&v)[3], Vec3 n, double nn) {
    ClosestOnTriangle best = degenerate_closest(p, v);
    if (!(nn > 0.0) || !std::isfinite(nn)) return best;
    const double s = dot(n, p - v[0]) / nn;
    Vec3 q = p - n * s;
    for (int k = 0; k < 3; ++k)
        if (!(dot(cross(v[next_corner(k)] - v[k], q - v[k]), n) >= 0.0)) return best;
    for (int i = 0; i < 3; ++i)
        q[i] = std::clamp(q[i], std::min({v[0][i], v[1][i], v[2][i]}), std::max({v[0][i], v[1][i], v[2][i]}));
    if (norm_squared(p - q) < norm_squared(p - best.point)) best = {q, {FeatureKind::Face, 0}};
    return best;
}

NearestTriangle evaluate(const TriMesh& mesh, uint32_t f, Vec3 p) {
    const Triangle& t = mesh.triangles()[f];
    const auto& pts = mesh.points();
    const ClosestOnTriangle c = closest_point_on_triangle(p, pts[t[0]], pts[t[1]], pts[t[2]]);
    return {c.point, f, c.feature, norm_squared(p - c.point)};
}

// Whether triangle f's plane alone keeps it farther than d2 from p: large
// triangles whose boxes hold p (soups, long slivers) are then skipped without
// the closest-point walk. Its computed distance exceeds the computed plane
// distance less 2^-38 of it and 2^-40 of the coordinates (the rounding of
// both, for triangles that are not slivers: their normal is accurate to
// 2^-43), so a skipped triangle can never win or tie.
bool beyond_plane(const TriMesh& mesh, uint32_t f, Vec3 p, double d2) {
    if (!(d2 >= 0.0)) return false;
    const Triangle& t = mesh.triangles()[f];
    const auto& pts = mesh.points();
    const Vec3 a = pts[t[0]], ab = pts[t[1]] - a, ac = pts[t[2]] - a;
    const Vec3 n = cross(ab, ac);
    const double nn = dot(n, n);
    if (!(nn > dot(ab, ab) * dot(ac, ac) * 0x1p-20) || !std::isfinite(nn)) return false;
    const double h = std::fabs(dot(n, p - a)) / std::sqrt(nn);
    const double lb = h * (1.0 - 0x1p-38) - 0x1p-40 * (max_abs3(p) + max_abs3(a) + max_abs3(ab) + max_abs3(ac));
    return lb > 0.0 && lb * lb > d2 * (1.0 + 0x1p-40);
}

void keep_better(NearestTriangle& best, bool& have, const NearestTriangle& cand) {
    if (!have || precedes(cand.distance_squared, cand.triangle, best.distance_squared, best.triangle)) {
        best = cand;
        have = true;
    }
}

}  // namespace

ClosestOnTriangle closest_point_on_triangle(Vec3 p, Vec3 a, Vec3 b, Vec3 c) {
    const Vec3 ab = b - a, ac = c - a, ap = p - a;
    // Below sin^2 of 2^-20 at corner a the region signs become unreliable.
    const Vec3 n = cross(ab, ac);
    const double nn = dot(n, n);
    if (!(nn > std::ldexp(dot(ab, ab) * dot(ac, ac), -20))) {
        const Vec3 corners[3] = {a, b, c};
        return sliver_closest(p, corners, n, nn);
    }
    const double d1 = dot(ab, ap), d2 = dot(ac, ap);
    if (d1 <= 0.0 && d2 <= 0.0) return {a, vertex(0)};

    const Vec3 bp = p - b;
    const double d3 = dot(ab, bp), d4 = dot(ac, bp);
    if (d3 >= 0.0 && d4 <= d3) return {b, vertex(1)};

    const double vc = d1 * d4 - d3 * d2;
    // A zero-length edge is never the answer: its region tests degenerate to 0 <= 0.
    if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0 && d1 - d3 > 0.0) return on_edge(a, b, ab, d1, d1 - d3, 0, 0, 1);

    const Vec3 cp = p - c;
    const double d5 = dot(ab, cp), d6 = dot(ac, cp);
    if (d6 >= 0.0 && d5 <= d6) return {c, vertex(2)};

    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0 && d2 - d6 > 0.0) return on_edge(a, c, ac, d2, d2 - d6, 2, 0, 2);

    const double va = d3 * d6 - d5 * d4;
    const double e43 = d4 - d3, e56 = d5 - d6;
    if (va <= 0.0 && e43 >= 0.0 && e56 >= 0.0 && e43 + e56 > 0.0) return on_edge(b, c, c - b, e43, e43 + e56, 1, 1, 2);

    const double sum = va + vb + vc;
    if (va > 0.0 && vb > 0.0 && vc > 0.0 && sum < std::numeric_limits<double>::infinity()) {
        const double inv = 1.0 / sum;
        const double v = vb * inv, w = vc * inv;
        return {a + ab * v + ac * w, {FeatureKind::Face, 0}};
    }
    // Only reached through rounding.
    const Vec3 corners[3] = {a, b, c};
    return degenerate_closest(p, corners);
}

NearestTriangle nearest_triangle_brute_force(const TriMesh& mesh, Vec3 p) {
    NearestTriangle best;
    bool have = false;
    const uint32_t n = static_cast<uint32_t>(mesh.triangles().size());
    for (uint32_t f = 0; f < n; ++f) keep_better(best, have, evaluate(mesh, f, p));
    return best;
}

NearestTriangle nearest_triangle(const TriMesh& mesh, Vec3 p) { return nearest_triangle(mesh, p, kNoHint); }

NearestTriangle nearest_triangle(const TriMesh& mesh, Vec3 p, uint32_t hint) {
    const Bvh& bvh = mesh.bvh();
    if (!is_finite(p) || bvh.empty()) return nearest_triangle_brute_force(mesh, p);

    NearestTriangle best;
    bool have = false;
    // Evaluating a triangle twice changes nothing: ties go to the lower index.
    if (hint < mesh.triangles().size()) keep_better(best, have, evaluate(mesh, hint, p));
    for (uint32_t f : bvh.unbounded()) keep_better(best, have, evaluate(mesh, f, p));

    // Computed closest points stay within this distance of their triangle's
    // box. Clamping p's gap to the grown box then bounds every computed
    // squared distance from below, since rounding is monotone.
    const double pad = std::ldexp(bvh.max_abs(), -40) + std::ldexp(1.0, -1060);
    auto lower_bound = [&](const BvhNode& n) {
        auto gap = [](double x, double lo, double hi) { return x < lo ? lo - x : (x > hi ? x - hi : 0.0); };
        const Vec3 g{gap(p.x, n.lo.x - pad, n.hi.x + pad), gap(p.y, n.lo.y - pad, n.hi.y + pad),
                     gap(p.z, n.lo.z - pad, n.hi.z + pad)};
        return norm_squared(g);
    };
    // Ties must still be explored: a lower index may sit behind an equal bound.
    auto prunable = [&](double bound) { return have && !std::isnan(best.distance_squared) && bound > best.distance_squared; };

    const auto& nodes = bvh.nodes();
    const auto& items = bvh.items();
    struct Entry {
        uint32_t node;
        double bound;
    };
    Entry stack[Bvh::kStackSize];
    int top = 0;
    stack[top++] = {0, lower_bound(nodes[0])};
    while (top > 0) {
        const Entry e = stack[--top];
        if (prunable(e.bound)) continue;
        const BvhNode& n = nodes[e.node];
        if (n.is_leaf()) {
            for (uint32_t i = n.first; i < n.first + n.count; ++i) {
                if (have && beyond_plane(mesh, items[i], p, best.distance_squared)) continue;
                keep_better(best, have, evaluate(mesh, items[i], p));
            }
            continue;
        }
        Entry l{n.first, lower_bound(nodes[n.first])}, r{n.first + 1, lower_bound(nodes[n.first + 1])};
        if (r.bound < l.bound) std::swap(l, r);
        // Push the farther child first so the nearer one is visited next.
        if (!prunable(r.bound)) stack[top++] = r;
        if (!prunable(l.bound)) stack[top++] = l;
    }
    return best;
}

MeshFeature mesh_feature(const TriMesh& mesh, uint32_t triangle, TriangleFeature feature) {
    switch (feature.kind) {
        case FeatureKind::Vertex:
            return {FeatureKind::Vertex, mesh.triangles()[triangle][feature.index]};
        case FeatureKind::Edge:
            return {FeatureKind::Edge, mesh.edge_id(3 * triangle + feature.index)};
        default:
            return {FeatureKind::Face, triangle};
    }
}

InsideResult inside_test(const TriMesh& mesh, Vec3 p) { return inside_test(mesh, p, kNoHint); }

InsideResult inside_test(const TriMesh& mesh, Vec3 p, uint32_t hint) {
    InsideResult r;
    r.nearest = nearest_triangle(mesh, p, hint);
    const NearestTriangle& nt = r.nearest;
    const MeshFeature mf = mesh_feature(mesh, nt.triangle, nt.feature);
    Vec3 n;
    if (mf.kind == FeatureKind::Face) {
        const Triangle& t = mesh.triangles()[nt.triangle];
        const auto& pts = mesh.points();
        n = cross(pts[t[1]] - pts[t[0]], pts[t[2]] - pts[t[0]]);
        if (!(norm_squared(n) > 0.0)) {
            // A face without area has no side: the point is on its edges,
            // whose pseudo-normals come from the faces beside them.
            double best = std::numeric_limits<double>::infinity();
            for (uint8_t k = 0; k < 3; ++k) {
                const Vec3 a = pts[t[k]], d = pts[t[next_corner(k)]] - a;
                const double dd = dot(d, d);
                double u = dd > 0.0 ? dot(nt.point - a, d) / dd : 0.0;
                u = u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
                const double dist = norm_squared(nt.point - (a + d * u));
                if (dist < best) {
                    best = dist;
                    n = mesh.pseudo_normals().edge[mesh_feature(mesh, nt.triangle, {FeatureKind::Edge, k}).id];
                }
            }
        }
    } else if (mf.kind == FeatureKind::Edge) {
        n = mesh.pseudo_normals().edge[mf.id];
    } else {
        n = mesh.pseudo_normals().vertex[mf.id];
    }
    const Vec3 pq = p - nt.point;
    r.inside = dot(pq, n) <= 0.0;
    r.distance = norm(pq);
    return r;
}

bool is_inside(const TriMesh& mesh, Vec3 p) { return inside_test(mesh, p).inside; }

}  // namespace geom
