#include "geometry/query/ray_cast.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace geom {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

// NaN when the triangle does not block. The order of operations is fixed:
// callers compare results bit for bit.
inline double toi_or_nan(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    constexpr double kNoHit = std::numeric_limits<double>::quiet_NaN();
    const Vec3 ab = b - a, ac = c - a;
    const Vec3 n = cross(ab, ac);
    const double dn = dot(n, d);
    if (dn == 0.0) return kNoHit;
    const Vec3 ap = o - a;
    const double t = dot(ap, n);
    if ((t < 0.0 && dn < 0.0) || (t > 0.0 && dn > 0.0)) return kNoHit;
    const double D = std::fabs(dn);
    const Vec3 e = -cross(d, ap);
    double toi;
    if (dn > 0.0) {
        const double v = -dot(ac, e);
        if (v < 0.0 || v > D) return kNoHit;
        const double w = dot(ab, e);
        if (w < 0.0 || v + w > D) return kNoHit;
        toi = -t * (1.0 / D);
    } else {
        const double v = dot(ac, e);
        if (v < 0.0 || v > D) return kNoHit;
        const double w = -dot(ab, e);
        if (w < 0.0 || v + w > D) return kNoHit;
        toi = t * (1.0 / D);
    }
    return (toi <= kInf && toi < kMax) ? toi : kNoHit;
}

inline bool blocks(const TriMesh& mesh, uint32_t f, Vec3 o, Vec3 d) {
    const Triangle& t = mesh.triangles()[f];
    const auto& p = mesh.points();
    return !std::isnan(toi_or_nan(p[t[0]], p[t[1]], p[t[2]], o, d));
}

double max_abs3(Vec3 v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); }

// Why two passes find every triangle that accepts the ray.
//
// Write slack = 2^-47 M |d| (M + R), with M = max(|b - a|, |c - a|) and
// R >= |o - a|: it bounds the rounding of dn, v and w (and of t up to M/|d|).
// Rounding of the inputs themselves (o - a, b - a, c - a) moves points by far
// less than the 2^-20 S pad below.
//
// If the exact n.d has |n.d| >= 2^10 slack, an accepted ray has barycentrics
// above -2^-9 where it crosses the plane, and that crossing lies at most
// 2^-10 M behind the origin: the ray passes within 2^-5 M of the triangle.
// The first pass, over the spatial tree with boxes grown by that much, finds it.
//
// Otherwise the ray is nearly parallel to the plane: |cos| < 2^-37 (M + R)/q
// with q = |n|/M; v and w are then so small that the origin lies within
// 2^-34 (M^2/|n|)(M + R)(1 + R/q) of the plane, and the outcome is decided by
// rounding wherever along the plane the triangle is. The second pass walks the
// tree of planes for every triangle meeting both conditions. It only runs when
// the first pass found nothing.
struct RayPass {
    Vec3 o, d, inv, dhat;
    bool divide[3];
    double pad;    // 2^-20 S
    double h_eps;  // rounding of o - a, of normals and offsets
    double R;      // bounds |o - a| over the whole tree

    RayPass(Vec3 o_, Vec3 d_, double scale, const BvhNode& root) : o(o_), d(d_) {
        for (int i = 0; i < 3; ++i) {
            inv[i] = d[i] != 0.0 ? 1.0 / d[i] : 0.0;
            // 1/d overflows for subnormal components; dividing avoids 0 * inf.
            divide[i] = std::isinf(inv[i]);
        }
        const double m = max_abs3(d);
        const Vec3 ds{d.x / m, d.y / m, d.z / m};
        const double l = norm(ds);
        dhat = {ds.x / l, ds.y / l, ds.z / l};
        pad = std::ldexp(scale, -20) + std::ldexp(1.0, -600);
        h_eps = std::ldexp(scale, -40);
        const Vec3 far{std::max(std::fabs(o.x - root.lo.x), std::fabs(o.x - root.hi.x)),
                       std::max(std::fabs(o.y - root.lo.y), std::fabs(o.y - root.hi.y)),
                       std::max(std::fabs(o.z - root.lo.z), std::fabs(o.z - root.hi.z))};
        R = norm(far) * (1.0 + 0x1p-40);
    }

    // First pass: slab test for the parameter range [0, inf) against the box
    // grown by the pad for its largest triangle.
    bool slab(const BvhNode& node, double edge_max, double& t_near) const {
        if (edge_max == 0.0) return false;
        const double p = pad + 0x1p-5 * edge_max;
        double tmin = 0.0, tmax = kInf;
        for (int i = 0; i < 3; ++i) {
            const double lo = node.lo[i] - p, hi = node.hi[i] + p;
            if (d[i] == 0.0) {
                if (o[i] < lo || o[i] > hi) return false;
                continue;
            }
            double t0, t1;
            if (divide[i]) {
                t0 = (lo - o[i]) / d[i];
                t1 = (hi - o[i]) / d[i];
            } else {
                t0 = (lo - o[i]) * inv[i];
                t1 = (hi - o[i]) * inv[i];
            }
            if (t0 > t1) std::swap(t0, t1);
            tmin = std::max(tmin, t0);
            tmax = std::min(tmax, t1);
            if (tmin > tmax) return false;
        }
        t_near = tmin;
        return true;
    }

    // Second pass: may a plane of this node nearly hold the ray line?
    bool near_plane(const PlaneNode& node) const {
        const double M = node.edge_max;
        // The computed unit normals are within 2^-47 aspect of the exact ones.
        const double tilt = 0x1p-47 * node.aspect;
        const double theta = 0x1p-37 * (M + R) * node.inv_quality * 1.01 + tilt;
        auto range = [](const Vec3& lo, const Vec3& hi, const Vec3& v, double& rmin, double& rmax) {
            rmin = rmax = 0.0;
            for (int i = 0; i < 3; ++i) {
                const double a = lo[i] * v[i], b = hi[i] * v[i];
                rmin += std::min(a, b);
                rmax += std::max(a, b);
            }
            const double err = 0x1p-50 * (std::fabs(rmin) + std::fabs(rmax));
            rmin -= err;
            rmax += err;
        };
        double c_lo, c_hi;
        range(node.ulo, node.uhi, dhat, c_lo, c_hi);
        if (c_lo > theta || c_hi < -theta) return false;
        const double h = 0x1p-34 * node.aspect * (M + R) * (1.0 + R * node.inv_quality) * 1.01 + tilt * R + h_eps;
        double s_lo, s_hi;
        range(node.ulo, node.uhi, o, s_lo, s_hi);
        const double off = 0x1p-50 * (std::fabs(node.plo) + std::fabs(node.phi));
        return !(s_lo - node.phi - off > h || s_hi - node.plo + off < -h);
    }
};

// Planes whose normal may be within the tilt bound of orthogonal to dhat,
// for every ray with |o - a| <= r. Collected once per direction.
std::vector<uint32_t> planes_across(const PlaneTree& tree, Vec3 dhat, double r) {
    std::vector<uint32_t> out;
    if (tree.nodes.empty()) return out;
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        const PlaneNode& node = tree.nodes[stack.back()];
        stack.pop_back();
        const double theta = 0x1p-37 * (node.edge_max + r) * node.inv_quality * 1.01 + 0x1p-47 * node.aspect;
        double c_lo = 0.0, c_hi = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double a = node.ulo[i] * dhat[i], b = node.uhi[i] * dhat[i];
            c_lo += std::min(a, b);
            c_hi += std::max(a, b);
        }
        const double err = 0x1p-50 * (std::fabs(c_lo) + std::fabs(c_hi));
        if (c_lo - err > theta || c_hi + err < -theta) continue;
        if (node.is_leaf()) {
            out.insert(out.end(), tree.items.begin() + node.first, tree.items.begin() + node.first + node.count);
        } else {
            stack.push_back(node.first);
            stack.push_back(node.first + 1);
        }
    }
    return out;
}

// Many rays share one direction (overhang tests cast one per vertex): after a
// direction repeats, the second pass runs over the few planes crossing it.
struct DirectionCache {
    uint64_t bvh = 0, last_bvh = 0;
    Vec3 d, last_d;
    double r = 0.0;
    PlaneTree tree;
};
thread_local DirectionCache t_direction_cache;

}  // namespace

std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    const double toi = toi_or_nan(a, b, c, o, d);
    if (std::isnan(toi)) return std::nullopt;
    return toi;
}

bool ray_triangle_blocks(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) { return !std::isnan(toi_or_nan(a, b, c, o, d)); }

bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d) {
    const uint32_t n = static_cast<uint32_t>(mesh.triangles().size());
    for (uint32_t f = 0; f < n; ++f)
        if (blocks(mesh, f, o, d)) return true;
    return false;
}

bool ray_blocked(const TriMesh& mesh, Vec3 o, Vec3 d) {
    const Bvh& bvh = mesh.bvh();
    for (uint32_t f : bvh.unbounded())
        if (blocks(mesh, f, o, d)) return true;
    if (!is_finite(o) || !is_finite(d)) return ray_blocked_brute_force(mesh, o, d);

    const double dmax = max_abs3(d);
    if (dmax == 0.0) {
        // Every tree triangle outside the fragile list has a finite normal, so n.d == 0.
        for (uint32_t f : bvh.ray_fragile())
            if (blocks(mesh, f, o, d)) return true;
        return false;
    }
    // Beyond these magnitudes the triangle test may overflow or lose
    // everything to underflow, and its answer is no longer tied to geometry.
    const double a = bvh.ray_scale(), omax = max_abs3(o), limit = std::ldexp(1.0, 1000);
    const bool tame = dmax >= std::ldexp(1.0, -500) && 32.0 * a * a * dmax <= limit &&
                      32.0 * a * a * (omax + a) <= limit && 32.0 * a * dmax * (omax + a) <= limit;
    if (!tame) return ray_blocked_brute_force(mesh, o, d);

    for (uint32_t f : bvh.ray_fragile())
        if (blocks(mesh, f, o, d)) return true;
    if (bvh.empty()) return false;

    const auto& nodes = bvh.nodes();
    const auto& edge_max = bvh.ray_edge_max();
    const auto& items = bvh.items();
    const RayPass ray(o, d, omax + a, nodes[0]);
    uint32_t stack[Bvh::kStackSize];
    int top = 0;
    double t_root = 0.0;
    if (ray.slab(nodes[0], edge_max[0], t_root)) stack[top++] = 0;
    while (top > 0) {
        const BvhNode* node = &nodes[stack[--top]];
        while (!node->is_leaf()) {
            const uint32_t l = node->first, r = l + 1;
            double tl = 0.0, tr = 0.0;
            const bool hl = ray.slab(nodes[l], edge_max[l], tl), hr = ray.slab(nodes[r], edge_max[r], tr);
            if (hl && hr) {
                if (tr < tl) {
                    stack[top++] = l;
                    node = &nodes[r];
                } else {
                    stack[top++] = r;
                    node = &nodes[l];
                }
            } else if (hl) {
                node = &nodes[l];
            } else if (hr) {
                node = &nodes[r];
            } else {
                node = nullptr;
                break;
            }
        }
        if (node == nullptr) continue;
        for (uint32_t i = node->first; i < node->first + node->count; ++i)
            if (blocks(mesh, items[i], o, d)) return true;
    }

    const PlaneTree* planes_ptr = &bvh.plane_tree(mesh.points(), mesh.triangles());
    DirectionCache& cache = t_direction_cache;
    if (cache.bvh == bvh.id() && cache.d == d && ray.R <= cache.r) {
        planes_ptr = &cache.tree;
    } else if (cache.last_bvh == bvh.id() && cache.last_d == d) {
        const double diag = norm(nodes[0].hi - nodes[0].lo);
        cache.r = 2.0 * (ray.R + diag);
        cache.tree = build_plane_tree(mesh.points(), mesh.triangles(), planes_across(*planes_ptr, ray.dhat, cache.r));
        cache.bvh = bvh.id();
        cache.d = d;
        planes_ptr = &cache.tree;
    }
    cache.last_bvh = bvh.id();
    cache.last_d = d;
    const PlaneTree& planes = *planes_ptr;
    if (planes.nodes.empty()) return false;
    top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const PlaneNode& node = planes.nodes[stack[--top]];
        if (!ray.near_plane(node)) continue;
        if (node.is_leaf()) {
            for (uint32_t i = node.first; i < node.first + node.count; ++i)
                if (blocks(mesh, planes.items[i], o, d)) return true;
        } else {
            stack[top++] = node.first;
            stack[top++] = node.first + 1;
        }
    }
    return false;
}

}  // namespace geom
