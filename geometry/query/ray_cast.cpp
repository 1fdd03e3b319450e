#include "geometry/query/ray_cast.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "geometry/assert.h"
#include "geometry/bvh/bvh.h"
#include "geometry/bvh/plane_tree.h"
#include "geometry/query/ray_triangle.h"

namespace geom {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kStackSize = Bvh::kStackSize;

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
//
// Underflow adds at most 2^-1072 (1 + M + R + |d|) to dn, v, w and t. The
// caster only uses the tree when that is below 2^-20 slack for every
// triangle that can block (see tame()), so the bounds above keep their
// margins.

// A tree node for the first pass: the box grown by the pad of its largest
// blocking triangle and of the caster's base scale; empty (lo > hi) when no
// triangle below it can block.
struct RayNode {
    double lo[3], hi[3];
    uint32_t first, count;
};

Vec3 unit_direction(Vec3 d) {
    const double m = max_abs3(d);
    const Vec3 ds{d.x / m, d.y / m, d.z / m};
    const double l = norm(ds);
    return {ds.x / l, ds.y / l, ds.z / l};
}

// Per-ray constants of both passes.
struct RayPass {
    Vec3 o, d, inv, dhat;
    bool divide[3], zero[3], negative[3];
    double extra;  // pad beyond the one built into the boxes
    double h_eps;  // rounding of o - a, of normals and offsets
    double R;      // bounds |o - a| over the whole tree

    RayPass(Vec3 o_, Vec3 d_, double extra_, double scale, const BvhNode& root) : o(o_), d(d_), extra(extra_) {
        for (int i = 0; i < 3; ++i) {
            inv[i] = d[i] != 0.0 ? 1.0 / d[i] : 0.0;
            // 1/d overflows for subnormal components; dividing avoids 0 * inf.
            divide[i] = std::isinf(inv[i]);
            zero[i] = d[i] == 0.0;
            negative[i] = d[i] < 0.0;
        }
        dhat = unit_direction(d);
        h_eps = std::ldexp(scale, -40);
        const Vec3 far{std::max(std::fabs(o.x - root.lo.x), std::fabs(o.x - root.hi.x)),
                       std::max(std::fabs(o.y - root.lo.y), std::fabs(o.y - root.hi.y)),
                       std::max(std::fabs(o.z - root.lo.z), std::fabs(o.z - root.hi.z))};
        R = norm(far) * (1.0 + 0x1p-40);
    }

    // Slab test for the parameter range [0, inf); t_near is the entry time.
    bool slab(const RayNode& node, double& t_near) const {
        double tmin = 0.0, tmax = kInf;
        for (int i = 0; i < 3; ++i) {
            const double lo = node.lo[i] - extra, hi = node.hi[i] + extra;
            if (zero[i]) {
                if (o[i] < lo || o[i] > hi) return false;
                continue;
            }
            // Near side first: an empty box (lo > hi) then gives an empty range.
            const double near = negative[i] ? hi : lo, far = negative[i] ? lo : hi;
            double t0, t1;
            if (divide[i]) {
                t0 = (near - o[i]) / d[i];
                t1 = (far - o[i]) / d[i];
            } else {
                t0 = (near - o[i]) * inv[i];
                t1 = (far - o[i]) * inv[i];
            }
            tmin = std::max(tmin, t0);
            tmax = std::min(tmax, t1);
        }
        t_near = tmin;
        return tmin <= tmax;
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

}  // namespace

bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d) {
    const auto& p = mesh.points();
    for (const Triangle& t : mesh.triangles())
        if (!std::isnan(ray_triangle_toi_or_nan(p[t[0]], p[t[1]], p[t[2]], o, d))) return true;
    return false;
}

struct RayCaster::Impl {
    const TriMesh& mesh;
    const Vec3* points;
    const Triangle* triangles;
    std::vector<RayNode> nodes;
    std::vector<uint32_t> fragile;     // tested with every ray
    std::vector<uint8_t> can_block;    // per triangle: in the tree, not fragile, non-zero normal
    std::vector<uint32_t> blocking;    // those triangles in tree order, listed on first need
    bool have_blocking = false;
    double scale = 0.0;                // largest coordinate magnitude over the other tree triangles
    double base_scale = 0.0;           // origins up to this magnitude need no pad beyond the boxes'
    double edge_min = kInf;            // smallest max(|b - a|, |c - a|) over blocking triangles
    double diag = 0.0;                 // of the root box

    // Second pass. The tree of all planes is built on first need; the
    // triangles whose plane may hold one direction are kept for it.
    std::unique_ptr<PlaneTree> all_planes;
    PlaneTree direction_planes;
    bool have_direction = false;
    Vec3 direction;
    double direction_r = 0.0;
    bool have_last_miss = false;
    Vec3 last_miss;
    int scans = 0;

    explicit Impl(const TriMesh& m)
        : mesh(m), points(m.points().data()), triangles(m.triangles().data()) {
        const Bvh& bvh = mesh.bvh();
        const auto& bnodes = bvh.nodes();
        const auto& items = bvh.items();
        if (bvh.empty()) return;
        const double huge = std::ldexp(1.0, 300);
        const double tiny_normal = std::ldexp(1.0, -400);
        can_block.assign(mesh.triangles().size(), 0);
        std::vector<double> edge_max(bnodes.size(), 0.0);
        for (size_t i = bnodes.size(); i-- > 0;) {
            const BvhNode& node = bnodes[i];
            double em = 0.0;
            if (node.is_leaf()) {
                for (uint32_t j = node.first; j < node.first + node.count; ++j) {
                    const uint32_t f = items[j];
                    const Triangle& t = triangles[f];
                    const Vec3 a = points[t[0]], b = points[t[1]], c = points[t[2]];
                    const double m = std::max({max_abs3(a), max_abs3(b), max_abs3(c)});
                    // Same vectors as the ray test computes.
                    const Vec3 ab = b - a, ac = c - a;
                    const Vec3 n = cross(ab, ac);
                    const double nm = max_abs3(n);
                    const double edge = std::max(norm(ab), norm(ac));
                    if (m > huge || (nm != 0.0 && (nm < tiny_normal || norm(n) < std::ldexp(edge * edge, -20)))) {
                        fragile.push_back(f);
                        continue;
                    }
                    scale = std::max(scale, m);
                    if (nm == 0.0) continue;
                    can_block[f] = 1;
                    em = std::max(em, edge * (1.0 + 0x1p-40));
                    edge_min = std::min(edge_min, edge * (1.0 - 0x1p-40));
                }
            } else {
                em = std::max(edge_max[node.first], edge_max[node.first + 1]);
            }
            edge_max[i] = em;
        }
        std::sort(fragile.begin(), fragile.end());
        // Origins up to 3 scale in magnitude are covered by the boxes' own pad.
        base_scale = 4.0 * scale;
        const double base_pad = std::ldexp(base_scale, -20) + std::ldexp(1.0, -600);
        nodes.resize(bnodes.size());
        for (size_t i = 0; i < bnodes.size(); ++i) {
            const BvhNode& b = bnodes[i];
            RayNode& r = nodes[i];
            r.first = b.first;
            r.count = b.count;
            if (edge_max[i] == 0.0) {
                for (int k = 0; k < 3; ++k) r.lo[k] = kInf, r.hi[k] = -kInf;
                continue;
            }
            const double p = (base_pad + 0x1p-5 * edge_max[i]) * (1.0 + 0x1p-40);
            for (int k = 0; k < 3; ++k) r.lo[k] = b.lo[k] - p, r.hi[k] = b.hi[k] + p;
        }
        diag = norm(bnodes[0].hi - bnodes[0].lo);
    }

    bool blocks(uint32_t f, Vec3 o, Vec3 d) const {
        const Triangle& t = triangles[f];
        return !std::isnan(ray_triangle_toi_or_nan(points[t[0]], points[t[1]], points[t[2]], o, d));
    }

    // Whether the tree passes are exact for this ray: no overflow anywhere in
    // the test, and underflow (see above) far below the slack of every
    // blocking triangle: 2^-1072 (1 + M + R + |d|) <= 2^-67 M |d| (M + R)
    // holds when M |d| and M^2 |d| are at least 2^-1003 (M^2 >= 2^-401 for
    // every non-fragile triangle), and the error of t keeps crossings within
    // 2^-10 M of the origin when M^3 >= 2^-1025 (1 + R). A direction of at
    // least 2^-900 S keeps every time of impact and slab bound below 2^903.
    bool tame(double dmax, double omax, double R) const {
        const double a = scale, limit = std::ldexp(1.0, 1000);
        if (!(32.0 * a * a * dmax <= limit && 32.0 * a * a * (omax + a) <= limit &&
              32.0 * a * dmax * (omax + a) <= limit))
            return false;
        const double m = edge_min;
        return dmax >= std::ldexp(omax + a, -900) && dmax * std::min(m, m * m) >= std::ldexp(1.0, -1003) &&
               m * m * m >= std::ldexp(1.0 + R, -1025);
    }

    bool first_pass(const RayPass& ray) const {
        const auto& items = mesh.bvh().items();
        uint32_t stack[kStackSize];
        int top = 0;
        double t_root = 0.0;
        if (ray.slab(nodes[0], t_root)) stack[top++] = 0;
        while (top > 0) {
            const RayNode* node = &nodes[stack[--top]];
            while (node->count == 0) {
                Q_ASSERT(top < kStackSize, "tree walk: every path is shorter than Bvh::kStackSize");
                const uint32_t l = node->first, r = l + 1;
                double tl = 0.0, tr = 0.0;
                const bool hl = ray.slab(nodes[l], tl), hr = ray.slab(nodes[r], tr);
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
                if (blocks(items[i], ray.o, ray.d)) return true;
        }
        return false;
    }

    const std::vector<uint32_t>& blocking_faces() {
        if (!have_blocking) {
            for (uint32_t f : mesh.bvh().items())
                if (can_block[f]) blocking.push_back(f);
            have_blocking = true;
        }
        return blocking;
    }

    // Triangles whose plane may hold direction dhat for rays with |o - a| <= r, by one scan.
    PlaneTree scan_planes(Vec3 dhat, double r) {
        return PlaneTree::build_holding(mesh.points(), mesh.triangles(), blocking_faces(), dhat, r);
    }

    const PlaneTree& all_plane_tree() {
        if (!all_planes)
            all_planes = std::make_unique<PlaneTree>(
                PlaneTree::build(mesh.points(), mesh.triangles(), blocking_faces()));
        return *all_planes;
    }

    // The planes to walk for this ray. A new direction gets its own scan
    // twice; after that the tree of all planes serves, and a direction that
    // repeats gets its planes collected from it.
    const PlaneTree& planes_for(const RayPass& ray) {
        const Vec3 d = ray.d;
        const bool repeat = have_last_miss && last_miss == d;
        have_last_miss = true;
        last_miss = d;
        if (have_direction && direction == d && ray.R <= direction_r) return direction_planes;
        const double r = 2.0 * (ray.R + diag);
        if (!all_planes && scans < 2) {
            ++scans;
            direction_planes = scan_planes(ray.dhat, r);
        } else {
            const PlaneTree& all = all_plane_tree();
            if (!repeat) return all;
            direction_planes = PlaneTree::build(mesh.points(), mesh.triangles(), all.holding(ray.dhat, r));
        }
        have_direction = true;
        direction = d;
        direction_r = r;
        return direction_planes;
    }

    bool second_pass(const RayPass& ray) {
        const PlaneTree& planes = planes_for(ray);
        if (planes.empty()) return false;
        uint32_t stack[PlaneTree::kStackSize];
        int top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const PlaneNode& node = planes.nodes[stack[--top]];
            if (!ray.near_plane(node)) continue;
            if (node.is_leaf()) {
                for (uint32_t i = node.first; i < node.first + node.count; ++i)
                    if (blocks(planes.items[i], ray.o, ray.d)) return true;
            } else {
                Q_ASSERT(top + 2 <= PlaneTree::kStackSize, "plane tree walk: the tree is shallower than its stack");
                stack[top++] = node.first;
                stack[top++] = node.first + 1;
            }
        }
        return false;
    }

    bool blocked(Vec3 o, Vec3 d) {
        // From a non-finite origin t = (o - a).n is never finite, and with a
        // NaN in d neither is n.d: the time of impact is +inf or NaN. A
        // triangle with a non-finite corner has a non-finite normal
        // component, so t is not finite either: the tree's outcasts never block.
        if (!is_finite(o) || std::isnan(d.x) || std::isnan(d.y) || std::isnan(d.z)) return false;
        if (!is_finite(d)) return ray_blocked_brute_force(mesh, o, d);
        const double dmax = max_abs3(d);
        if (dmax == 0.0) {
            // Every tree triangle outside the fragile list has a finite normal, so n.d == 0.
            for (uint32_t f : fragile)
                if (blocks(f, o, d)) return true;
            return false;
        }
        const Bvh& bvh = mesh.bvh();
        if (bvh.empty()) return false;
        const double omax = max_abs3(o);
        const double s = omax + scale;
        const double extra = s <= base_scale ? 0.0 : std::ldexp(s, -20) * (1.0 + 0x1p-40);
        const RayPass ray(o, d, extra, s, bvh.nodes()[0]);
        if (!tame(dmax, omax, ray.R)) return ray_blocked_brute_force(mesh, o, d);
        for (uint32_t f : fragile)
            if (blocks(f, o, d)) return true;
        return first_pass(ray) || second_pass(ray);
    }
};

RayCaster::RayCaster(const TriMesh& mesh) : impl_(std::make_unique<Impl>(mesh)) {}
RayCaster::~RayCaster() = default;
RayCaster::RayCaster(RayCaster&&) noexcept = default;
RayCaster& RayCaster::operator=(RayCaster&&) noexcept = default;

bool RayCaster::blocked(Vec3 o, Vec3 d) { return impl_->blocked(o, d); }

std::vector<uint8_t> RayCaster::blocked_from(std::span<const Vec3> points, Vec3 offset, Vec3 d) {
    std::vector<uint8_t> out(points.size(), 0);
    for (size_t i = 0; i < points.size(); ++i) {
        const Vec3& p = points[i];
        out[i] = impl_->blocked({p.x + offset.x, p.y + offset.y, p.z + offset.z}, d);
    }
    return out;
}

}  // namespace geom
