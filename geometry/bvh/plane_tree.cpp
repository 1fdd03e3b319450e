#include "geometry/bvh/plane_tree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "geometry/assert.h"
#include "geometry/bvh/bvh.h"

namespace geom {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using Tri = std::array<uint32_t, 3>;

// Vectors of the ray test for one triangle.
struct RayShape {
    Vec3 a, n;
    double edge = 0.0, len = 0.0;
};

RayShape ray_shape(const Vec3* points, const Tri& t) {
    RayShape r;
    r.a = points[t[0]];
    const Vec3 ab = points[t[1]] - r.a, ac = points[t[2]] - r.a;
    r.n = cross(ab, ac);
    r.edge = std::max(norm(ab), norm(ac)) * (1.0 + 0x1p-40);
    r.len = norm(r.n) * (1.0 - 0x1p-40);
    return r;
}

struct PlaneItem {
    double key[4];  // canonical unit normal, offset scaled to the normal's range
    double offset, edge, inv_quality, aspect;
    uint32_t tri;
};

// False for a zero normal (such a triangle never blocks).
bool plane_item(const Vec3* points, const Tri& t, uint32_t f, PlaneItem& it) {
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

PlaneTree build_from(std::vector<PlaneItem>&& items) {
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
        Q_ASSERT(count > 0, "plane tree: every node covers at least one plane");
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

}  // namespace

PlaneTree PlaneTree::build(std::span<const Vec3> points, std::span<const Tri> triangles,
                           std::span<const uint32_t> faces) {
    std::vector<PlaneItem> found;
    PlaneItem it;
    for (uint32_t f : faces)
        if (plane_item(points.data(), triangles[f], f, it)) found.push_back(it);
    return build_from(std::move(found));
}

PlaneTree PlaneTree::build_holding(std::span<const Vec3> points, std::span<const Tri> triangles,
                                   std::span<const uint32_t> faces, Vec3 dhat, double r) {
    std::vector<PlaneItem> found;
    PlaneItem it;
    for (uint32_t f : faces)
        if (plane_item(points.data(), triangles[f], f, it) && may_hold_direction(leaf_of(it), dhat, r))
            found.push_back(it);
    return build_from(std::move(found));
}

std::vector<uint32_t> PlaneTree::holding(Vec3 dhat, double r) const {
    std::vector<uint32_t> out;
    if (nodes.empty()) return out;
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        const PlaneNode& node = nodes[stack.back()];
        stack.pop_back();
        if (!may_hold_direction(node, dhat, r)) continue;
        if (node.is_leaf()) {
            out.insert(out.end(), items.begin() + node.first, items.begin() + node.first + node.count);
        } else {
            stack.push_back(node.first);
            stack.push_back(node.first + 1);
        }
    }
    return out;
}

}  // namespace geom
