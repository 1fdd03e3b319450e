#include "geometry/query/ray_cast.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "geometry/assert.h"
#include "geometry/bvh/bvh.h"
#include "geometry/large_vector.h"
#include "geometry/parallel.h"
#include "geometry/predicates/predicates.h"
#include "geometry/query/ray_triangle.h"

namespace geom {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr int kStackSize = Bvh::kStackSize;
// A wide node pushes at most three more entries than it pops, and the wide
// tree is no deeper than the binary one.
constexpr int kWideStackSize = 3 * Bvh::kStackSize;

// d scaled by a power of two to a largest component in [1, 2), when that is
// exact; d itself otherwise (components more than 2^1022 apart).
Vec3 normalised_direction(Vec3 d) {
    int e = 0;
    std::frexp(max_abs3(d), &e);
    const Vec3 s = ldexp3(d, 1 - e);
    return ldexp3(s, e - 1) == d ? s : d;
}

// Per-ray constants of the tree walk.
struct Ray {
    Vec3 o, d, inv;
    double dsum;
    // Whether each axis's near side of a box is its hi side.
    bool near[3];
    // Some 1/d component overflows (d below 2^-1022 next to a component
    // near 1): those axes divide instead.
    bool divide = false;

    // Rounding bounds of the triangle test that hold for every triangle in
    // the root box (see ray_meets_triangle); infinite when the box is too
    // far for them.
    double e_bound = kInf, v_bound = kInf;

    template <class Node>
    Ray(Vec3 o_, Vec3 d_, const Node& root) : o(o_), d(d_ + Vec3{}) {  // + 0 turns -0 into +0
        dsum = std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z);
        double r = 0.0;
        for (int i = 0; i < 3; ++i)
            r = std::max({r, std::fabs(o[i] - double(root.lo[i])), std::fabs(o[i] - double(root.hi[i]))});
        r *= 1.0 + 0x1p-50;
        if (r <= 0x1p300 && dsum <= 0x1p100) {
            constexpr double kTiny = 0x1p-1060;
            e_bound = 0x1p-48 * dsum * r * r * (1.0 + 0x1p-50) + kTiny * (1.0 + dsum);
            v_bound = 0x1p-46 * r * r * r * (1.0 + 0x1p-50) + kTiny * (1.0 + r);
        }
        for (int i = 0; i < 3; ++i) {
            // A zero component gives an infinite inverse: its times are
            // +-inf (outside the slab: rejected) or NaN (on its side: the
            // min/max below skip NaN), as the slab test needs.
            inv[i] = 1.0 / d[i];
            near[i] = d[i] < 0.0;
            if (d[i] != 0.0 && std::isinf(inv[i])) divide = true;
        }
    }

    // Slab test for the parameter range [0, inf); t_near is the entry time.
    // Each time is off by at most three roundings (inv, the difference, the
    // product), so widening the far time by 2^-50 keeps every box that the
    // exact ray enters; 2^-1070 covers times that underflowed. An empty box
    // (lo > hi) gives an empty range.
    template <class Node>
    [[gnu::always_inline]] bool slab(const Node& node, double& t_near) const {
        double tmin = 0.0, tmax = kInf;
        for (int i = 0; i < 3; ++i) {
            const double lo = node.lo[i], hi = node.hi[i];
            const double n = near[i] ? hi : lo, f = near[i] ? lo : hi;
            const double t0 = divide ? (n - o[i]) / d[i] : (n - o[i]) * inv[i];
            const double t1 = divide ? (f - o[i]) / d[i] : (f - o[i]) * inv[i];
            tmin = t0 > tmin ? t0 : tmin;  // NaN skipped
            tmax = t1 < tmax ? t1 : tmax;
        }
        t_near = tmin;
        return tmin <= tmax * (1.0 + 0x1p-50) + 0x1p-1070;
    }

    // The same test for the four boxes of a wide node, in four lanes (the
    // compiler's vector types: SSE2 on x86-64, scalar code elsewhere), the
    // same operations on each. An absent child's box (lo +inf, hi -inf)
    // gives an empty range. Returns the hit lanes as bits.
    template <class Wide>
    [[gnu::always_inline]] unsigned slab4(const Wide& node) const {
        // Two lanes at a time: the width of SSE2, which every x86-64 has.
        using V2f = float __attribute__((vector_size(8)));
        using V2d = double __attribute__((vector_size(16)));
        V2d tmin[2] = {{0.0, 0.0}, {0.0, 0.0}}, tmax[2] = {{kInf, kInf}, {kInf, kInf}};
        for (int i = 0; i < 3; ++i) {
            const float* np = near[i] ? node.hi[i] : node.lo[i];
            const float* fp = near[i] ? node.lo[i] : node.hi[i];
            const V2d oi = {o[i], o[i]}, ii = {inv[i], inv[i]}, di = {d[i], d[i]};
            for (int h = 0; h < 2; ++h) {
                V2f nf, ff;
                std::memcpy(&nf, np + 2 * h, sizeof nf);
                std::memcpy(&ff, fp + 2 * h, sizeof ff);
                const V2d n = __builtin_convertvector(nf, V2d) - oi, f = __builtin_convertvector(ff, V2d) - oi;
                V2d t0, t1;
                if (divide) {
                    t0 = n / di;
                    t1 = f / di;
                } else {
                    t0 = n * ii;
                    t1 = f * ii;
                }
                tmin[h] = t0 > tmin[h] ? t0 : tmin[h];  // NaN skipped
                tmax[h] = t1 < tmax[h] ? t1 : tmax[h];
            }
        }
        unsigned mask = 0;
        for (int h = 0; h < 2; ++h) {
            const auto hit = tmin[h] <= tmax[h] * (1.0 + 0x1p-50) + 0x1p-1070;
            for (int c = 0; c < 2; ++c) mask |= hit[c] ? 1u << (2 * h + c) : 0u;
        }
        return mask;
    }
};

}  // namespace

bool ray_blocked_brute_force(const TriMesh& mesh, Vec3 o, Vec3 d) {
    const auto& p = mesh.points();
    if (is_finite(d) && d != Vec3{}) d = normalised_direction(d);
    const double dsum = std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z);
    for (const Triangle& t : mesh.triangles())
        if (ray_meets_triangle(p[t[0]], p[t[1]], p[t[2]], o, d, dsum)) return true;
    return false;
}

// A node of the tree built for one direction: its box rounded outwards to
// floats, so that more of the tree stays in cache (the exact test decides).
struct CompactNode {
    float lo[3], hi[3];
    uint32_t first, count;
    bool is_leaf() const { return count != 0; }
};
static_assert(sizeof(CompactNode) == 32);

float round_down(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}
float round_up(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

// Four children per node, their boxes side by side (float, rounded
// outwards), so that one visit tests four boxes in one pass over the axes
// and a walk takes half the steps of the binary tree it is collapsed from.
struct WideNode {
    static constexpr uint32_t kNoChild = 0xffffffffu;
    float lo[3][4], hi[3][4];
    uint32_t child[4];  // inner: wide node index; leaf: first item; kNoChild: absent
    uint32_t count[4];  // leaf: number of items (> 0); inner: 0
};
static_assert(sizeof(WideNode) == 128);

// A tree to walk: nodes with their boxes, items (triangle indices) in leaf
// order, and optionally which items may be met at all.
template <class Node>
struct RayTree {
    const Node* nodes = nullptr;
    const uint32_t* items = nullptr;
    const uint8_t* live = nullptr;  // null: every item
    bool empty = true;
};

struct RayCaster::Impl {
    const TriMesh& mesh;
    const Vec3* points;
    const Triangle* triangles;

    // The tree for one direction (blocked_from): the mesh's tree with the
    // triangles parallel to it marked dead and the boxes shrunk to the rest.
    LargeVector<CompactNode> compact_nodes;
    LargeBuffer<WideNode> wide_nodes;  // see collapse
    LargeBuffer<uint32_t> wide_parent;  // of each wide node but the root
    LargeVector<uint8_t> direction_live;

    explicit Impl(const TriMesh& m) : mesh(m), points(m.points().data()), triangles(m.triangles().data()) {}

    RayTree<BvhNode> mesh_tree() const {
        const Bvh& bvh = mesh.bvh();
        return {bvh.nodes().data(), bvh.items().data(), nullptr, bvh.empty()};
    }

    bool meets(uint32_t f, const Ray& ray) const {
        const Triangle& t = triangles[f];
        return ray_meets_triangle(points[t[0]], points[t[1]], points[t[2]], ray.o, ray.d, ray.dsum, ray.e_bound,
                                  ray.v_bound);
    }

    template <class Node>
    bool any_hit(const RayTree<Node>& tree, const Ray& ray) const {
        if (tree.empty) return false;
        const Node* nodes = tree.nodes;
        uint32_t stack[kStackSize];
        int top = 0;
        double t_root = 0.0;
        if (ray.slab(nodes[0], t_root)) stack[top++] = 0;
        while (top > 0) {
            const Node* node = &nodes[stack[--top]];
            while (!node->is_leaf()) {
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
                if ((tree.live == nullptr || tree.live[i]) && meets(tree.items[i], ray)) return true;
        }
        return false;
    }

    // The wide tree over the compact one: each wide node takes the (up to
    // four) nearest descendants that are leaves or would make more than four,
    // opening the largest inner one first; empty boxes are left out.
    //
    // Every wide node but the root stands for a distinct inner compact node,
    // which bounds their number. The top levels are filled here; the subtrees
    // below them are then taken in turn by this thread, numbering its nodes
    // upwards from the front, and a helper, numbering downwards from the end.
    // The unused stretch between them is never written (nor its pages
    // touched) and never reached. The numbering depends on the threads; the
    // tree does not.
    void collapse(std::span<const CompactNode> nodes, bool split) {
        const size_t capacity = nodes.size() / 2 + 1;
        if (capacity > wide_nodes.size()) {
            wide_nodes = LargeBuffer<WideNode>(capacity);
            wide_parent = LargeBuffer<uint32_t>(capacity);
        }
        using Work = std::pair<uint32_t, uint32_t>;  // (compact node, wide node to fill)
        std::vector<Work> top{{0, 0}};
        uint32_t front = 1;
        size_t done = 0;
        while (done < top.size() && top.size() - done < kCollapseTasks)
            fill_wide(nodes, top[done++], [&] { return front++; }, [&](Work w) { top.push_back(w); });
        uint32_t back = static_cast<uint32_t>(capacity);
        std::vector<Work> stacks[2];
        run_tasks(split, top.size() - done, [&](size_t t, int who) {
            std::vector<Work>& stack = stacks[who];
            auto alloc = [&] { return who == 0 ? front++ : --back; };
            auto push = [&](Work w) { stack.push_back(w); };
            stack.assign({top[done + t]});
            while (!stack.empty()) {
                const Work w = stack.back();
                stack.pop_back();
                fill_wide(nodes, w, alloc, push);
            }
        });
        Q_ASSERT(front <= back, "collapse: the two ends never meet");
    }

    // Fills wide node w.second from compact node w.first; each inner child
    // gets a node from `alloc` and is handed to `push` to be filled.
    template <class Alloc, class Push>
    void fill_wide(std::span<const CompactNode> nodes, std::pair<uint32_t, uint32_t> w, Alloc&& alloc,
                   Push&& push) {
        auto empty = [](const CompactNode& n) { return n.lo[0] > n.hi[0] || n.lo[1] > n.hi[1] || n.lo[2] > n.hi[2]; };
        auto area = [](const CompactNode& n) {
            const double x = double(n.hi[0]) - n.lo[0], y = double(n.hi[1]) - n.lo[1], z = double(n.hi[2]) - n.lo[2];
            return x * y + y * z + z * x;
        };
        const auto [from, to] = w;
        uint32_t kids[4];
        int n = 0;
        if (nodes[from].is_leaf()) {
            kids[n++] = from;
        } else {
            kids[n++] = nodes[from].first;
            kids[n++] = nodes[from].first + 1;
            while (n < 4) {
                int open = -1;
                for (int k = 0; k < n; ++k)
                    if (!nodes[kids[k]].is_leaf() && !empty(nodes[kids[k]]) &&
                        (open < 0 || area(nodes[kids[k]]) > area(nodes[kids[open]])))
                        open = k;
                if (open < 0) break;
                const uint32_t inner = kids[open];
                kids[open] = nodes[inner].first;
                kids[n++] = nodes[inner].first + 1;
            }
        }
        WideNode out;
        int m = 0;
        for (int k = 0; k < n; ++k) {
            const CompactNode& c = nodes[kids[k]];
            if (empty(c)) continue;
            for (int a = 0; a < 3; ++a) out.lo[a][m] = c.lo[a], out.hi[a][m] = c.hi[a];
            if (c.is_leaf()) {
                out.child[m] = c.first;
                out.count[m] = c.count;
            } else {
                out.child[m] = alloc();
                wide_parent[out.child[m]] = to;
                out.count[m] = 0;
                push({kids[k], out.child[m]});
            }
            ++m;
        }
        for (; m < 4; ++m) {
            // Never entered: lo > hi on every axis.
            for (int a = 0; a < 3; ++a) out.lo[a][m] = kInfF, out.hi[a][m] = -kInfF;
            out.child[m] = WideNode::kNoChild;
            out.count[m] = 0;
        }
        wide_nodes[to] = out;
    }

    // `hint` is the wide node where the last hit of this run of rays was
    // found (kNoChild: none yet), and is set to this ray's. Neighbouring
    // origins are mostly blocked by the same few triangles, so the walk
    // starts there and widens to each ancestor in turn, leaving out the
    // subtree it comes from: a blocked ray costs a few boxes near its
    // predecessor's hit instead of a walk down from the root, whose length
    // grows with the tree, and a free ray visits what a walk from the root
    // would. The answer does not depend on the hint.
    bool any_hit(const RayTree<WideNode>& tree, const Ray& ray, uint32_t& hint) const {
        if (tree.empty) return false;
        uint32_t from = hint == WideNode::kNoChild ? 0 : hint;
        if (any_hit_below(tree, ray, from, WideNode::kNoChild, hint)) return true;
        while (from != 0) {
            const uint32_t up = wide_parent[from];
            if (any_hit_below(tree, ray, up, from, hint)) return true;
            from = up;
        }
        return false;
    }

    // Whether the ray meets a live item below wide node `start`, not
    // counting its child `skip`.
    bool any_hit_below(const RayTree<WideNode>& tree, const Ray& ray, uint32_t start, uint32_t skip,
                       uint32_t& hint) const {
        const WideNode* nodes = tree.nodes;
        uint32_t stack[kWideStackSize];
        int top = 0;
        stack[top++] = start;
        while (top > 0) {
            const uint32_t at = stack[--top];
            const WideNode& node = nodes[at];
            const unsigned hit = ray.slab4(node);
            if (hit == 0) continue;
            // Leaves at once, inner children pushed. Any order gives the same
            // answer; ordering the children by entry time, per ray or by
            // their place along the direction, cost more than it saved.
            Q_ASSERT(top + 4 <= kWideStackSize, "tree walk: the wide tree is no deeper than the binary one");
            for (int c = 0; c < 4; ++c) {
                if (!((hit >> c) & 1u)) continue;
                if (node.count[c] == 0) {
                    if (node.child[c] != skip) stack[top++] = node.child[c];
                    continue;
                }
                for (uint32_t i = node.child[c]; i < node.child[c] + node.count[c]; ++i) {
                    if ((tree.live == nullptr || tree.live[i]) && meets(tree.items[i], ray)) {
                        hint = at;
                        return true;
                    }
                }
            }
        }
        return false;
    }

    // Marks the items parallel to d dead and shrinks the boxes to the live
    // ones (rounded outwards to floats); a node with none left gets an empty
    // box. The union of outward-rounded boxes is itself one.
    RayTree<WideNode> direction_tree(Vec3 d) {
        const Bvh& bvh = mesh.bvh_shape();  // the boxes come from the live triangles below
        if (bvh.empty()) return {};
        const auto& nodes = bvh.nodes();
        const auto& items = bvh.items();
        const size_t n = nodes.size();
        compact_nodes.resize(n);
        direction_live.assign(items.size(), 0);
        auto leaves = [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) {
                const BvhNode& node = nodes[i];
                CompactNode& c = compact_nodes[i];
                c.first = node.first;
                c.count = node.count;
                if (!node.is_leaf()) continue;
                Vec3 lo{kInf, kInf, kInf}, hi{-kInf, -kInf, -kInf};
                for (uint32_t j = node.first; j < node.first + node.count; ++j) {
                    const Triangle& t = triangles[items[j]];
                    const Vec3 a = points[t[0]], b = points[t[1]], c = points[t[2]];
                    // d . ((b - a) x (c - a)) == 0: every ray along d runs parallel.
                    if (orient_direction(a, b, c, d) == 0) continue;
                    direction_live[j] = 1;
                    for (const Vec3& p : {a, b, c}) {
                        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
                        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
                    }
                }
                for (int k = 0; k < 3; ++k) c.lo[k] = round_down(lo[k]), c.hi[k] = round_up(hi[k]);
            }
        };
        run_both(items.size() >= kRayTreeSplitFrom, [&] { leaves(0, n / 2); }, [&] { leaves(n / 2, n); });
        // Children follow their parent in the array.
        for (size_t i = n; i-- > 0;) {
            CompactNode& node = compact_nodes[i];
            if (node.is_leaf()) continue;
            const CompactNode &l = compact_nodes[node.first], &r = compact_nodes[node.first + 1];
            for (int k = 0; k < 3; ++k) {
                node.lo[k] = std::min(l.lo[k], r.lo[k]);
                node.hi[k] = std::max(l.hi[k], r.hi[k]);
            }
        }
        collapse(compact_nodes, items.size() >= kRayTreeSplitFrom);
        return {wide_nodes.data(), items.data(), direction_live.data(), false};
    }
};

RayCaster::RayCaster(const TriMesh& mesh) : impl_(std::make_unique<Impl>(mesh)) {}
RayCaster::~RayCaster() = default;
RayCaster::RayCaster(RayCaster&&) noexcept = default;
RayCaster& RayCaster::operator=(RayCaster&&) noexcept = default;

namespace {

bool never_meets(Vec3 d) { return !is_finite(d) || d == Vec3{}; }

}  // namespace

bool RayCaster::blocked(Vec3 o, Vec3 d) {
    if (!is_finite(o) || never_meets(d) || impl_->mesh.bvh().empty()) return false;
    return impl_->any_hit(impl_->mesh_tree(), Ray(o, normalised_direction(d), impl_->mesh.bvh().nodes()[0]));
}

std::vector<uint8_t> RayCaster::blocked_from(std::span<const Vec3> points, Vec3 offset, Vec3 d) {
    std::vector<uint8_t> out(points.size(), 0);
    if (never_meets(d) || points.empty()) return out;
    const Vec3 dn = normalised_direction(d);
    const RayTree<WideNode> tree = impl_->direction_tree(dn);
    if (tree.empty) return out;
    const size_t chunks = (points.size() - 1) / kRayChunk + 1;
    run_tasks(points.size() >= kRaysSplitFrom, chunks, [&](size_t k) {
        const size_t end = std::min(points.size(), (k + 1) * kRayChunk);
        uint32_t hint = WideNode::kNoChild;
        for (size_t i = k * kRayChunk; i < end; ++i) {
            const Vec3& p = points[i];
            const Vec3 o{p.x + offset.x, p.y + offset.y, p.z + offset.z};
            out[i] = is_finite(o) && impl_->any_hit(tree, Ray(o, dn, impl_->compact_nodes[0]), hint);
        }
    });
    return out;
}

}  // namespace geom
