#include "geometry/bvh/bvh.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <atomic>
#include <mutex>
#include <string>

#include "geometry/panic.h"

namespace geom {

namespace {

constexpr int kBins = 16;
constexpr uint32_t kLeafSize = 4;
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Prim {
    Vec3 c;  // centre of the triangle's box
    uint32_t tri;
};

struct Box {
    Vec3 lo{kInf, kInf, kInf};
    Vec3 hi{-kInf, -kInf, -kInf};

    void grow(const Vec3& l, const Vec3& h) {
        lo = {std::min(lo.x, l.x), std::min(lo.y, l.y), std::min(lo.z, l.z)};
        hi = {std::max(hi.x, h.x), std::max(hi.y, h.y), std::max(hi.z, h.z)};
    }
    void grow(const Box& b) { grow(b.lo, b.hi); }

    double half_area() const {
        if (!(lo.x <= hi.x)) return 0.0;
        double ex = hi.x - lo.x, ey = hi.y - lo.y, ez = hi.z - lo.z;
        return ex * ey + ey * ez + ez * ex;
    }
};

double centroid(const Prim& p, int axis) { return axis == 0 ? p.c.x : (axis == 1 ? p.c.y : p.c.z); }

double max_abs3(Vec3 v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); }

struct Task {
    uint32_t node, begin, end;
    int depth;
    Box cbox;  // bounds of the triangles' centres
};

// Bin of a centroid; NaN and out-of-range values are clamped.
int bin_of(double c, double cmin, double scale) {
    double x = (c - cmin) * scale;
    if (!(x > 0.0)) return 0;
    if (!(x < kBins - 1)) return kBins - 1;
    return static_cast<int>(x);
}

}  // namespace

Bvh Bvh::build(std::span<const Vec3> points, std::span<const std::array<uint32_t, 3>> triangles) {
    Bvh bvh;
    const size_t n_points = points.size();
    if (triangles.size() >= 0xffffffffu / 3) panic("too many triangles for 32-bit indices");

    const double huge = std::ldexp(1.0, 300);
    const double tiny_normal = std::ldexp(1.0, -400);

    std::vector<Prim> prims;
    prims.reserve(triangles.size());
    for (size_t f = 0; f < triangles.size(); ++f) {
        const auto& t = triangles[f];
        for (uint32_t i : t)
            if (i >= n_points) panic("bvh: triangle index " + std::to_string(i) + " out of range");
        const Vec3 a = points[t[0]], b = points[t[1]], c = points[t[2]];
        if (!is_finite(a) || !is_finite(b) || !is_finite(c)) {
            bvh.unbounded_.push_back(static_cast<uint32_t>(f));
            continue;
        }
        const Vec3 lo{std::min({a.x, b.x, c.x}), std::min({a.y, b.y, c.y}), std::min({a.z, b.z, c.z})};
        const Vec3 hi{std::max({a.x, b.x, c.x}), std::max({a.y, b.y, c.y}), std::max({a.z, b.z, c.z})};
        prims.push_back({lo * 0.5 + hi * 0.5, static_cast<uint32_t>(f)});

        const double m = std::max(max_abs3(lo), max_abs3(hi));
        bvh.max_abs_ = std::max(bvh.max_abs_, m);
        // Same vectors as the ray test computes.
        const Vec3 ab = b - a, ac = c - a;
        const Vec3 n = cross(ab, ac);
        const double nm = max_abs3(n);
        const double edge = std::max(norm(ab), norm(ac));
        if (m > huge || (nm != 0.0 && (nm < tiny_normal || norm(n) < std::ldexp(edge * edge, -20))))
            bvh.ray_fragile_.push_back(static_cast<uint32_t>(f));
        else
            bvh.ray_scale_ = std::max(bvh.ray_scale_, m);
    }
    if (prims.empty()) return bvh;

    const uint32_t n_prims = static_cast<uint32_t>(prims.size());
    bvh.nodes_.reserve(2 * (n_prims / 2 + 1));
    bvh.nodes_.emplace_back();

    auto centre_bounds = [&](uint32_t begin, uint32_t end) {
        Box cbox;
        for (uint32_t i = begin; i < end; ++i) cbox.grow(prims[i].c, prims[i].c);
        return cbox;
    };
    std::vector<Task> stack(1);
    stack[0] = {0, 0, n_prims, 0, centre_bounds(0, n_prims)};

    // Splits are chosen on the boxes of the triangle centres, which keeps the
    // per-triangle work small; node boxes are computed exactly afterwards.
    struct Bin {
        Box cbox;
        uint32_t count = 0;
    };
    std::array<Bin, kBins> bins;
    std::array<Bin, kBins> right;  // union of bins k.. kBins-1

    while (!stack.empty()) {
        const Task task = stack.back();
        stack.pop_back();
        bvh.depth_ = std::max(bvh.depth_, task.depth + 1);

        BvhNode& node = bvh.nodes_[task.node];
        const uint32_t count = task.end - task.begin;
        if (count <= kLeafSize) {
            node.first = task.begin;
            node.count = count;
            continue;
        }

        const Vec3 ext = task.cbox.hi - task.cbox.lo;
        const int axis = (ext.x >= ext.y && ext.x >= ext.z) ? 0 : (ext.y >= ext.z ? 1 : 2);
        const double cmin = task.cbox.lo[axis], extent = ext[axis];
        int best_split = -1;
        Box left_cbox, right_cbox;
        if (task.depth < kSahDepth && extent > 0.0) {
            const double scale = kBins / extent * (1.0 - 1e-12);
            bins.fill(Bin{});
            for (uint32_t i = task.begin; i < task.end; ++i) {
                const Prim& p = prims[i];
                Bin& bin = bins[bin_of(centroid(p, axis), cmin, scale)];
                bin.cbox.grow(p.c, p.c);
                ++bin.count;
            }
            right[kBins - 1] = bins[kBins - 1];
            for (int k = kBins - 2; k > 0; --k) {
                right[k] = right[k + 1];
                right[k].cbox.grow(bins[k].cbox);
                right[k].count += bins[k].count;
            }
            Bin left;
            double best_cost = kInf;
            for (int k = 0; k < kBins - 1; ++k) {
                left.cbox.grow(bins[k].cbox);
                left.count += bins[k].count;
                if (left.count == 0 || right[k + 1].count == 0) continue;
                const double cost =
                    left.cbox.half_area() * left.count + right[k + 1].cbox.half_area() * right[k + 1].count;
                if (cost < best_cost) {
                    best_cost = cost;
                    best_split = k;
                    left_cbox = left.cbox;
                    right_cbox = right[k + 1].cbox;
                }
            }
        }

        uint32_t mid = task.begin;
        if (best_split >= 0) {
            const double scale = kBins / extent * (1.0 - 1e-12);
            auto it = std::partition(prims.begin() + task.begin, prims.begin() + task.end, [&](const Prim& p) {
                return bin_of(centroid(p, axis), cmin, scale) <= best_split;
            });
            mid = static_cast<uint32_t>(it - prims.begin());
        }
        if (mid == task.begin || mid == task.end) {
            // No useful split (coincident centres, overflowing areas, or too deep): halve by position.
            mid = task.begin + count / 2;
            std::nth_element(prims.begin() + task.begin, prims.begin() + mid, prims.begin() + task.end,
                             [axis](const Prim& p, const Prim& q) {
                                 const double cp = centroid(p, axis), cq = centroid(q, axis);
                                 return cp < cq || (cp == cq && p.tri < q.tri);
                             });
            left_cbox = centre_bounds(task.begin, mid);
            right_cbox = centre_bounds(mid, task.end);
        }

        const uint32_t left = static_cast<uint32_t>(bvh.nodes_.size());
        node.first = left;
        node.count = 0;
        bvh.nodes_.emplace_back();  // invalidates `node`
        bvh.nodes_.emplace_back();
        stack.push_back({left + 1, mid, task.end, task.depth + 1, right_cbox});
        stack.push_back({left, task.begin, mid, task.depth + 1, left_cbox});
    }

    bvh.items_.resize(n_prims);
    for (uint32_t i = 0; i < n_prims; ++i) bvh.items_[i] = prims[i].tri;
    // Children always come after their parent.
    for (size_t i = bvh.nodes_.size(); i-- > 0;) {
        BvhNode& node = bvh.nodes_[i];
        Box box;
        if (node.is_leaf()) {
            for (uint32_t j = node.first; j < node.first + node.count; ++j)
                for (uint32_t v : triangles[bvh.items_[j]]) box.grow(points[v], points[v]);
        } else {
            box.grow(bvh.nodes_[node.first].lo, bvh.nodes_[node.first].hi);
            box.grow(bvh.nodes_[node.first + 1].lo, bvh.nodes_[node.first + 1].hi);
        }
        node.lo = box.lo;
        node.hi = box.hi;
    }
    bvh.build_ray_edge_max(points, triangles);
    bvh.planes_ = std::make_shared<LazyPlanes>();
    static std::atomic<uint64_t> next_id{1};
    bvh.id_ = next_id++;
    return bvh;
}

namespace {

// Vectors of the ray test for one triangle, and whether it can ever block a
// finite ray through the tree traversal (fragile ones are tested apart, and a
// zero normal gives n.d == 0).
struct RayShape {
    Vec3 a, n;
    double edge = 0.0, len = 0.0;
};

RayShape ray_shape(std::span<const Vec3> points, const std::array<uint32_t, 3>& t) {
    RayShape r;
    r.a = points[t[0]];
    const Vec3 ab = points[t[1]] - r.a, ac = points[t[2]] - r.a;
    r.n = cross(ab, ac);
    r.edge = std::max(norm(ab), norm(ac)) * (1.0 + 0x1p-40);
    r.len = norm(r.n) * (1.0 - 0x1p-40);
    return r;
}

}  // namespace

void Bvh::build_ray_edge_max(std::span<const Vec3> points, std::span<const std::array<uint32_t, 3>> triangles) {
    std::vector<char> fragile(triangles.size(), 0);
    for (uint32_t f : ray_fragile_) fragile[f] = 1;
    ray_edge_max_.assign(nodes_.size(), 0.0);
    for (size_t i = nodes_.size(); i-- > 0;) {
        const BvhNode& node = nodes_[i];
        double m = 0.0;
        if (node.is_leaf()) {
            for (uint32_t j = node.first; j < node.first + node.count; ++j) {
                const uint32_t f = items_[j];
                if (fragile[f]) continue;
                const RayShape r = ray_shape(points, triangles[f]);
                if (r.n == Vec3{}) continue;
                m = std::max(m, r.edge);
            }
        } else {
            m = std::max(ray_edge_max_[node.first], ray_edge_max_[node.first + 1]);
        }
        ray_edge_max_[i] = m;
    }
}

PlaneTree build_plane_tree(std::span<const Vec3> points, std::span<const std::array<uint32_t, 3>> triangles,
                           std::span<const uint32_t> subset) {
    struct Item {
        double key[4];  // canonical unit normal, offset scaled to the normal's range
        double offset, edge, inv_quality, aspect;
        uint32_t tri;
    };
    std::vector<Item> items;
    double pmax = 0.0;
    for (uint32_t f : subset) {
        const RayShape r = ray_shape(points, triangles[f]);
        if (r.n == Vec3{}) continue;
        const double l = norm(r.n);
        Vec3 u{r.n.x / l, r.n.y / l, r.n.z / l};
        // Orientation does not matter to the plane; pick one sign.
        const double big = std::fabs(u.x) >= std::fabs(u.y) && std::fabs(u.x) >= std::fabs(u.z)
                               ? u.x
                               : (std::fabs(u.y) >= std::fabs(u.z) ? u.y : u.z);
        if (big < 0) u = -u;
        Item it;
        it.key[0] = u.x;
        it.key[1] = u.y;
        it.key[2] = u.z;
        it.offset = dot(u, r.a);
        it.edge = r.edge;
        it.inv_quality = r.edge / r.len * (1.0 + 0x1p-40);
        it.aspect = r.edge * it.inv_quality * (1.0 + 0x1p-40);
        it.tri = f;
        pmax = std::max(pmax, std::fabs(it.offset));
        items.push_back(it);
    }
    for (Item& it : items) it.key[3] = pmax > 0 ? it.offset / pmax : 0.0;

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
            const Item& it = items[i];
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
        if (count <= kLeafSize) {
            node.first = task.begin;
            node.count = count;
            continue;
        }
        int axis = 0;
        for (int k = 1; k < 4; ++k)
            if (khi[k] - klo[k] > khi[axis] - klo[axis]) axis = k;
        const uint32_t mid = task.begin + count / 2;
        std::nth_element(items.begin() + task.begin, items.begin() + mid, items.begin() + task.end,
                         [axis](const Item& x, const Item& y) {
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

struct Bvh::LazyPlanes {
    std::once_flag once;
    PlaneTree tree;
};

const PlaneTree& Bvh::plane_tree(std::span<const Vec3> points,
                                 std::span<const std::array<uint32_t, 3>> triangles) const {
    if (!planes_) panic("plane tree requested on an empty hierarchy");
    std::call_once(planes_->once, [&] {
        std::vector<char> fragile(triangles.size(), 0);
        for (uint32_t f : ray_fragile_) fragile[f] = 1;
        std::vector<uint32_t> subset;
        for (uint32_t f : items_)
            if (!fragile[f]) subset.push_back(f);
        planes_->tree = build_plane_tree(points, triangles, subset);
    });
    return planes_->tree;
}

namespace {

Box triangle_box(std::span<const Vec3> points, const std::array<uint32_t, 3>& t) {
    Box b;
    for (uint32_t i : t) b.grow(points[i], points[i]);
    return b;
}

bool boxes_overlap(const Vec3& alo, const Vec3& ahi, const Vec3& blo, const Vec3& bhi, double pad) {
    return alo.x <= bhi.x + pad && blo.x <= ahi.x + pad && alo.y <= bhi.y + pad && blo.y <= ahi.y + pad &&
           alo.z <= bhi.z + pad && blo.z <= ahi.z + pad;
}

}  // namespace

std::vector<std::pair<uint32_t, uint32_t>> overlapping_pairs(
    const Bvh& a, std::span<const Vec3> points_a, std::span<const std::array<uint32_t, 3>> triangles_a,
    const Bvh& b, std::span<const Vec3> points_b, std::span<const std::array<uint32_t, 3>> triangles_b) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    if (a.empty() || b.empty()) return out;
    // Both boxes grow by the margin, so the gap allowed between them is twice it.
    const double pad = 2.0 * (std::ldexp(std::max(a.max_abs(), b.max_abs()), -40) + std::ldexp(1.0, -1000));
    const auto& na = a.nodes();
    const auto& nb = b.nodes();
    if (!boxes_overlap(na[0].lo, na[0].hi, nb[0].lo, nb[0].hi, pad)) return out;

    std::vector<std::pair<uint32_t, uint32_t>> stack{{0u, 0u}};
    std::array<Box, kLeafSize> leaf_boxes;
    while (!stack.empty()) {
        auto [ia, ib] = stack.back();
        stack.pop_back();
        const BvhNode& x = na[ia];
        const BvhNode& y = nb[ib];
        if (x.is_leaf() && y.is_leaf()) {
            for (uint32_t j = 0; j < y.count; ++j)
                leaf_boxes[j] = triangle_box(points_b, triangles_b[b.items()[y.first + j]]);
            for (uint32_t i = 0; i < x.count; ++i) {
                const uint32_t ta = a.items()[x.first + i];
                const Box ba = triangle_box(points_a, triangles_a[ta]);
                for (uint32_t j = 0; j < y.count; ++j)
                    if (boxes_overlap(ba.lo, ba.hi, leaf_boxes[j].lo, leaf_boxes[j].hi, pad))
                        out.emplace_back(ta, b.items()[y.first + j]);
            }
            continue;
        }
        const bool split_a = !x.is_leaf() && (y.is_leaf() || Box{x.lo, x.hi}.half_area() >= Box{y.lo, y.hi}.half_area());
        if (split_a) {
            for (uint32_t c = x.first; c < x.first + 2; ++c)
                if (boxes_overlap(na[c].lo, na[c].hi, y.lo, y.hi, pad)) stack.emplace_back(c, ib);
        } else {
            for (uint32_t c = y.first; c < y.first + 2; ++c)
                if (boxes_overlap(x.lo, x.hi, nb[c].lo, nb[c].hi, pad)) stack.emplace_back(ia, c);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace geom
