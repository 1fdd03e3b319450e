#include "geometry/query/ray_cast.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "geometry/panic.h"

namespace geom {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr int kStackSize = Bvh::kStackSize;

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


double max_abs3(Vec3 v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); }

// Vectors of the ray test for one triangle.
struct RayShape {
    Vec3 a, n;
    double edge = 0.0, len = 0.0;
};

RayShape ray_shape(const Vec3* points, const Triangle& t) {
    RayShape r;
    r.a = points[t[0]];
    const Vec3 ab = points[t[1]] - r.a, ac = points[t[2]] - r.a;
    r.n = cross(ab, ac);
    r.edge = std::max(norm(ab), norm(ac)) * (1.0 + 0x1p-40);
    r.len = norm(r.n) * (1.0 - 0x1p-40);
    return r;
}

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

// Hierarchy over the planes of triangles (unit normal up to sign, offset
// n.a), used to find every triangle whose plane nearly holds a given line.
struct PlaneNode {
    Vec3 ulo, uhi;                // box of the canonical unit normals
    double plo = 0.0, phi = 0.0;  // offsets u . (corner 0)
    double edge_max = 0.0;        // largest max(|b - a|, |c - a|)
    double inv_quality = 0.0;     // largest max(|b - a|, |c - a|) / |n|
    double aspect = 0.0;          // largest max(|b - a|, |c - a|)^2 / |n|
    uint32_t first = 0, count = 0;  // as BvhNode

    bool is_leaf() const { return count != 0; }
};

struct PlaneTree {
    std::vector<PlaneNode> nodes;
    std::vector<uint32_t> items;
};

struct PlaneItem {
    double key[4];  // canonical unit normal, offset scaled to the normal's range
    double offset, edge, inv_quality, aspect;
    uint32_t tri;
};

// False for a zero normal (such a triangle never blocks).
bool plane_item(const Vec3* points, const Triangle& t, uint32_t f, PlaneItem& it) {
    const RayShape r = ray_shape(points, t);
    if (r.n == Vec3{}) return false;
    const double l = norm(r.n);
    Vec3 u{r.n.x / l, r.n.y / l, r.n.z / l};
    // Orientation does not matter to the plane; pick one sign.
    const double big = std::fabs(u.x) >= std::fabs(u.y) && std::fabs(u.x) >= std::fabs(u.z)
                           ? u.x
                           : (std::fabs(u.y) >= std::fabs(u.z) ? u.y : u.z);
    if (big < 0) u = -u;
    it.key[0] = u.x;
    it.key[1] = u.y;
    it.key[2] = u.z;
    it.offset = dot(u, r.a);
    it.edge = r.edge;
    it.inv_quality = r.edge / r.len * (1.0 + 0x1p-40);
    it.aspect = r.edge * it.inv_quality * (1.0 + 0x1p-40);
    it.tri = f;
    return true;
}

PlaneNode leaf_of(const PlaneItem& it) {
    PlaneNode node;
    node.ulo = node.uhi = {it.key[0], it.key[1], it.key[2]};
    node.plo = node.phi = it.offset;
    node.edge_max = it.edge;
    node.inv_quality = it.inv_quality;
    node.aspect = it.aspect;
    node.count = 1;
    return node;
}

PlaneTree build_plane_tree(std::vector<PlaneItem>&& items) {
    double pmax = 0.0;
    for (const PlaneItem& it : items) pmax = std::max(pmax, std::fabs(it.offset));
    for (PlaneItem& it : items) it.key[3] = pmax > 0 ? it.offset / pmax : 0.0;

    PlaneTree tree;
    if (items.empty()) return tree;
    struct Range {
        uint32_t node, begin, end;
    };
    tree.nodes.emplace_back();
    std::vector<Range> stack{{0, 0, static_cast<uint32_t>(items.size())}};
    while (!stack.empty()) {
        const Range task = stack.back();
        stack.pop_back();
        PlaneNode& node = tree.nodes[task.node];
        double klo[4], khi[4];
        std::fill(klo, klo + 4, kInf);
        std::fill(khi, khi + 4, -kInf);
        node.plo = kInf;
        node.phi = -kInf;
        for (uint32_t i = task.begin; i < task.end; ++i) {
            const PlaneItem& it = items[i];
            for (int k = 0; k < 4; ++k) klo[k] = std::min(klo[k], it.key[k]), khi[k] = std::max(khi[k], it.key[k]);
            node.plo = std::min(node.plo, it.offset);
            node.phi = std::max(node.phi, it.offset);
            node.edge_max = std::max(node.edge_max, it.edge);
            node.inv_quality = std::max(node.inv_quality, it.inv_quality);
            node.aspect = std::max(node.aspect, it.aspect);
        }
        node.ulo = {klo[0], klo[1], klo[2]};
        node.uhi = {khi[0], khi[1], khi[2]};
        const uint32_t count = task.end - task.begin;
        if (count <= Bvh::kLeafSize) {
            node.first = task.begin;
            node.count = count;
            continue;
        }
        int axis = 0;
        for (int k = 1; k < 4; ++k)
            if (khi[k] - klo[k] > khi[axis] - klo[axis]) axis = k;
        const uint32_t mid = task.begin + count / 2;
        std::nth_element(items.begin() + task.begin, items.begin() + mid, items.begin() + task.end,
                         [axis](const PlaneItem& x, const PlaneItem& y) {
                             return x.key[axis] < y.key[axis] || (x.key[axis] == y.key[axis] && x.tri < y.tri);
                         });
        const uint32_t left = static_cast<uint32_t>(tree.nodes.size());
        node.first = left;
        node.count = 0;
        tree.nodes.emplace_back();  // invalidates `node`
        tree.nodes.emplace_back();
        stack.push_back({left + 1, mid, task.end});
        stack.push_back({left, task.begin, mid});
    }
    tree.items.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i) tree.items[i] = items[i].tri;
    return tree;
}

// May a plane of this node be within the tilt bound of holding direction
// dhat, for some ray with |o - a| <= r?
bool may_hold_direction(const PlaneNode& node, Vec3 dhat, double r) {
    const double theta = 0x1p-37 * (node.edge_max + r) * node.inv_quality * 1.01 + 0x1p-47 * node.aspect;
    double c_lo = 0.0, c_hi = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double a = node.ulo[i] * dhat[i], b = node.uhi[i] * dhat[i];
        c_lo += std::min(a, b);
        c_hi += std::max(a, b);
    }
    const double err = 0x1p-50 * (std::fabs(c_lo) + std::fabs(c_hi));
    return !(c_lo - err > theta || c_hi + err < -theta);
}

// Triangles of `tree` whose plane may hold direction dhat.
std::vector<uint32_t> planes_across(const PlaneTree& tree, Vec3 dhat, double r) {
    std::vector<uint32_t> out;
    if (tree.nodes.empty()) return out;
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        const PlaneNode& node = tree.nodes[stack.back()];
        stack.pop_back();
        if (!may_hold_direction(node, dhat, r)) continue;
        if (node.is_leaf()) {
            out.insert(out.end(), tree.items.begin() + node.first, tree.items.begin() + node.first + node.count);
        } else {
            stack.push_back(node.first);
            stack.push_back(node.first + 1);
        }
    }
    return out;
}

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

std::optional<double> ray_triangle_toi(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) {
    const double toi = toi_or_nan(a, b, c, o, d);
    if (std::isnan(toi)) return std::nullopt;
    return toi;
}

bool ray_triangle_blocks(Vec3 a, Vec3 b, Vec3 c, Vec3 o, Vec3 d) { return !std::isnan(toi_or_nan(a, b, c, o, d)); }

bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d) {
    const auto& p = mesh.points();
    for (const Triangle& t : mesh.triangles())
        if (!std::isnan(toi_or_nan(p[t[0]], p[t[1]], p[t[2]], o, d))) return true;
    return false;
}

struct RayCaster::Impl {
    const TriMesh& mesh;
    const Vec3* points;
    const Triangle* triangles;
    std::vector<RayNode> nodes;
    std::vector<uint32_t> fragile;     // tested with every ray
    std::vector<uint8_t> can_block;    // per triangle: in the tree, not fragile, non-zero normal
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
        return !std::isnan(toi_or_nan(points[t[0]], points[t[1]], points[t[2]], o, d));
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

    // Triangles whose plane may hold direction dhat for rays with |o - a| <= r, by one scan.
    PlaneTree scan_planes(Vec3 dhat, double r) const {
        std::vector<PlaneItem> found;
        PlaneItem it;
        for (uint32_t f : mesh.bvh().items())
            if (can_block[f] && plane_item(points, triangles[f], f, it) && may_hold_direction(leaf_of(it), dhat, r))
                found.push_back(it);
        return build_plane_tree(std::move(found));
    }

    const PlaneTree& all_plane_tree() {
        if (!all_planes) {
            std::vector<PlaneItem> found;
            PlaneItem it;
            for (uint32_t f : mesh.bvh().items())
                if (can_block[f] && plane_item(points, triangles[f], f, it)) found.push_back(it);
            all_planes = std::make_unique<PlaneTree>(build_plane_tree(std::move(found)));
        }
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
            std::vector<PlaneItem> found;
            PlaneItem it;
            for (uint32_t f : planes_across(all, ray.dhat, r))
                if (plane_item(points, triangles[f], f, it)) found.push_back(it);
            direction_planes = build_plane_tree(std::move(found));
        }
        have_direction = true;
        direction = d;
        direction_r = r;
        return direction_planes;
    }

    bool second_pass(const RayPass& ray) {
        const PlaneTree& planes = planes_for(ray);
        if (planes.nodes.empty()) return false;
        uint32_t stack[kStackSize];
        int top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const PlaneNode& node = planes.nodes[stack[--top]];
            if (!ray.near_plane(node)) continue;
            if (node.is_leaf()) {
                for (uint32_t i = node.first; i < node.first + node.count; ++i)
                    if (blocks(planes.items[i], ray.o, ray.d)) return true;
            } else {
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
