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

// Slab test against a node box grown by `pad` on every side, for the ray
// parameter range [0, inf). The pad dwarfs the rounding of the slab
// arithmetic, so a ray passing within pad of the box is never rejected.
struct SlabRay {
    Vec3 o, d, inv;
    bool divide[3];
    double pad;

    SlabRay(Vec3 o_, Vec3 d_, double pad_) : o(o_), d(d_), pad(pad_) {
        for (int i = 0; i < 3; ++i) {
            inv[i] = d[i] != 0.0 ? 1.0 / d[i] : 0.0;
            // 1/d overflows for subnormal components; dividing avoids 0 * inf.
            divide[i] = std::isinf(inv[i]);
        }
    }

    bool hit(const BvhNode& node, double& t_near) const {
        double tmin = 0.0, tmax = kInf;
        for (int i = 0; i < 3; ++i) {
            const double lo = node.lo[i] - pad, hi = node.hi[i] + pad;
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
};

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

    // Rounding in the triangle test can accept a ray that misses the exact
    // triangle by about eps * |o - a| / (sin(corner angle) * cos(incidence));
    // the pad covers that with a margin of 2^33 over eps.
    const SlabRay ray(o, d, std::ldexp(omax + a, -20) + std::ldexp(1.0, -600));
    const auto& nodes = bvh.nodes();
    const auto& items = bvh.items();
    uint32_t stack[Bvh::kStackSize];
    int top = 0;
    double t_root;
    if (!ray.hit(nodes[0], t_root)) return false;
    stack[top++] = 0;
    while (top > 0) {
        const BvhNode* node = &nodes[stack[--top]];
        while (!node->is_leaf()) {
            const uint32_t l = node->first, r = l + 1;
            double tl, tr;
            const bool hl = ray.hit(nodes[l], tl), hr = ray.hit(nodes[r], tr);
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
    return false;
}

}  // namespace geom
