#include "geometry/query/closest_point.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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

// The search's start: the hint (a triangle likely near p; evaluating it twice
// changes nothing, ties go to the lower index) and the triangles outside the
// tree, which no box can rule out.
void seed(const TriMesh& mesh, Vec3 p, uint32_t hint, NearestTriangle& best, bool& have) {
    if (hint < mesh.triangles().size()) keep_better(best, have, evaluate(mesh, hint, p));
    for (uint32_t f : mesh.bvh().unbounded()) keep_better(best, have, evaluate(mesh, f, p));
}

// Computed closest points stay within this distance of their triangle's box.
// Clamping a point's gap to the grown box then bounds every computed squared
// distance from below, since rounding is monotone.
double box_pad(const Bvh& bvh) { return std::ldexp(bvh.max_abs(), -40) + std::ldexp(1.0, -1060); }

// Gap between [x0, x1] and [lo, hi] along one axis, 0 when they overlap.
double gap(double x0, double x1, double lo, double hi) { return x1 < lo ? lo - x1 : (x0 > hi ? x0 - hi : 0.0); }

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
    seed(mesh, p, hint, best, have);
    const double pad = box_pad(bvh);
    auto lower_bound = [&](const BvhNode& n) {
        const Vec3 g{gap(p.x, p.x, n.lo.x - pad, n.hi.x + pad), gap(p.y, p.y, n.lo.y - pad, n.hi.y + pad),
                     gap(p.z, p.z, n.lo.z - pad, n.hi.z + pad)};
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

namespace {

// The points of a batch query in a median-split tree of their boxes. Each
// node keeps the largest squared-distance bound of its points (+inf while a
// point has none, or a NaN one), refreshed as the bounds shrink.
class PointTree {
public:
    struct Node {
        Vec3 lo, hi;
        double bound = 0.0;
        uint32_t first = 0;  // leaf: offset into order(); inner: left child, right child is first + 1
        uint32_t count = 0;  // leaf: number of points (> 0); inner: 0
    };

    PointTree(std::span<const Vec3> points, std::vector<uint32_t> order) : points_(points), order_(std::move(order)) {
        nodes_.reserve(order_.size());
        nodes_.push_back({});
        build(0, 0, static_cast<uint32_t>(order_.size()));
    }

    const std::vector<Node>& nodes() const { return nodes_; }
    const std::vector<uint32_t>& order() const { return order_; }

    void refit(const std::vector<NearestTriangle>& best, const std::vector<uint8_t>& have) {
        // Children come after their parent.
        for (size_t k = nodes_.size(); k-- > 0;) {
            Node& n = nodes_[k];
            if (n.count == 0) {
                n.bound = std::max(nodes_[n.first].bound, nodes_[n.first + 1].bound);
                continue;
            }
            double m = 0.0;
            for (uint32_t i = n.first; i < n.first + n.count; ++i) {
                const uint32_t q = order_[i];
                const double d2 = best[q].distance_squared;
                m = have[q] && !std::isnan(d2) ? std::max(m, d2) : std::numeric_limits<double>::infinity();
                if (m == std::numeric_limits<double>::infinity()) break;
            }
            n.bound = m;
        }
    }

private:
    static constexpr uint32_t kLeafSize = 4;

    // Depth stays below 33: every split halves the range.
    void build(uint32_t node, uint32_t lo, uint32_t hi) {
        Vec3 a = points_[order_[lo]], b = a;
        for (uint32_t i = lo + 1; i < hi; ++i) {
            const Vec3 p = points_[order_[i]];
            for (int k = 0; k < 3; ++k) a[k] = std::min(a[k], p[k]), b[k] = std::max(b[k], p[k]);
        }
        nodes_[node].lo = a;
        nodes_[node].hi = b;
        if (hi - lo <= kLeafSize) {
            nodes_[node].first = lo;
            nodes_[node].count = hi - lo;
            return;
        }
        const Vec3 e = b - a;
        const int axis = e.x >= e.y && e.x >= e.z ? 0 : (e.y >= e.z ? 1 : 2);
        const uint32_t mid = lo + (hi - lo) / 2;
        std::nth_element(order_.begin() + lo, order_.begin() + mid, order_.begin() + hi, [&](uint32_t x, uint32_t y) {
            const double px = points_[x][axis], py = points_[y][axis];
            return px < py || (px == py && x < y);
        });
        const uint32_t left = static_cast<uint32_t>(nodes_.size());
        nodes_.push_back({});
        nodes_.push_back({});
        nodes_[node].first = left;
        build(left, lo, mid);
        build(left + 1, mid, hi);
    }

    std::span<const Vec3> points_;
    std::vector<uint32_t> order_;
    std::vector<Node> nodes_;
};

// Whether a triangle's plane keeps it farther than `bound` (a squared
// distance) from every point of the box: beyond_plane for a whole box, with
// wider margins for the rounding of the box's centre and half extents. The
// centre and extents are halved before they are summed, so no finite box
// overflows; a non-finite plane distance never skips.
bool box_beyond_plane(Vec3 lo, Vec3 hi, double bound, Vec3 a, Vec3 n, double inv_len, double coords) {
    if (!(bound < std::numeric_limits<double>::infinity())) return false;
    const Vec3 c = lo * 0.5 + hi * 0.5, e = hi * 0.5 - lo * 0.5;
    const double centre = std::fabs(dot(n, c - a)) * inv_len;
    const double spread = (std::fabs(n.x) * e.x + std::fabs(n.y) * e.y + std::fabs(n.z) * e.z) * inv_len;
    if (!std::isfinite(centre) || !std::isfinite(spread)) return false;
    const double slack = 0x1p-36 * (max_abs3(lo) + max_abs3(hi) + coords);
    const double h = (centre - spread) * (1.0 - 0x1p-36) - slack;
    return h > 0.0 && h * h > bound * (1.0 + 0x1p-36);
}

}  // namespace

std::vector<NearestTriangle> nearest_triangles(const TriMesh& mesh, std::span<const Vec3> points,
                                               std::span<const uint32_t> hints) {
    const size_t count = points.size();
    std::vector<NearestTriangle> best(count);
    std::vector<uint8_t> have(count, 0);
    const Bvh& bvh = mesh.bvh();
    const auto& tris = mesh.triangles();
    const auto& pts = mesh.points();
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < count; ++i) {
        const Vec3 p = points[i];
        if (!is_finite(p) || bvh.empty()) {
            best[i] = nearest_triangle_brute_force(mesh, p);
            continue;
        }
        bool h = false;
        seed(mesh, p, i < hints.size() ? hints[i] : kNoHint, best[i], h);
        have[i] = h;
        order.push_back(i);
    }
    if (order.empty()) return best;

    PointTree tree(points, std::move(order));
    tree.refit(best, have);
    const auto& nodes = tree.nodes();
    const auto& members = tree.order();
    const double pad = box_pad(bvh);
    // Bounds shrink as triangles are taken; the nodes learn it after 8, 16,
    // 32, ... triangles, and then after every sixteenth of them.
    const auto& items = bvh.items();
    const size_t stride = std::max<size_t>(8, items.size() / 16);
    size_t next_refit = 8;
    uint32_t stack[64];
    for (size_t k = 0; k < items.size(); ++k) {
        if (k == next_refit) {
            tree.refit(best, have);
            next_refit = std::min(2 * k, k + stride);
        }
        const uint32_t f = items[k];
        const Triangle& t = tris[f];
        const Vec3 a = pts[t[0]], b = pts[t[1]], c = pts[t[2]];
        const Vec3 lo{std::min({a.x, b.x, c.x}) - pad, std::min({a.y, b.y, c.y}) - pad, std::min({a.z, b.z, c.z}) - pad};
        const Vec3 hi{std::max({a.x, b.x, c.x}) + pad, std::max({a.y, b.y, c.y}) + pad, std::max({a.z, b.z, c.z}) + pad};
        const Vec3 ab = b - a, ac = c - a, n = cross(ab, ac);
        const double nn = dot(n, n);
        // Slivers have no reliable plane (as in beyond_plane).
        const bool plane = nn > dot(ab, ab) * dot(ac, ac) * 0x1p-20 && std::isfinite(nn);
        const double inv_len = plane ? 1.0 / std::sqrt(nn) : 0.0;
        const double coords = max_abs3(a) + max_abs3(ab) + max_abs3(ac);
        int top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const auto& node = nodes[stack[--top]];
            const Vec3 g{gap(node.lo.x, node.hi.x, lo.x, hi.x), gap(node.lo.y, node.hi.y, lo.y, hi.y),
                         gap(node.lo.z, node.hi.z, lo.z, hi.z)};
            if (norm_squared(g) > node.bound) continue;
            if (plane && box_beyond_plane(node.lo, node.hi, node.bound, a, n, inv_len, coords)) continue;
            if (node.count == 0) {
                stack[top++] = node.first + 1;
                stack[top++] = node.first;
                continue;
            }
            for (uint32_t j = node.first; j < node.first + node.count; ++j) {
                const uint32_t q = members[j];
                const Vec3 p = points[q];
                NearestTriangle& bq = best[q];
                if (have[q] && !std::isnan(bq.distance_squared)) {
                    const Vec3 gp{gap(p.x, p.x, lo.x, hi.x), gap(p.y, p.y, lo.y, hi.y), gap(p.z, p.z, lo.z, hi.z)};
                    if (norm_squared(gp) > bq.distance_squared) continue;
                    if (beyond_plane(mesh, f, p, bq.distance_squared)) continue;
                }
                bool h = have[q];
                keep_better(bq, h, evaluate(mesh, f, p));
                have[q] = h;
            }
        }
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
    return inside_test(mesh, p, nearest_triangle(mesh, p, hint));
}

InsideResult inside_test(const TriMesh& mesh, Vec3 p, const NearestTriangle& nearest) {
    InsideResult r;
    r.nearest = nearest;
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
