#include "geometry/bvh/bvh.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "geometry/assert.h"
#include "geometry/bvh/radix_sort.h"
#include "geometry/parallel.h"
#include "geometry/panic.h"

namespace geom {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

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
    Vec3 centre() const { return lo * 0.5 + hi * 0.5; }
};

// Up to 21 bits spread to every third bit.
uint64_t spread21(uint64_t x) {
    x &= 0x1fffffu;
    x = (x | (x << 32)) & 0x001f00000000ffffull;
    x = (x | (x << 16)) & 0x001f0000ff0000ffull;
    x = (x | (x << 8)) & 0x100f00f00f00f00full;
    x = (x | (x << 4)) & 0x10c30c30c30c30c3ull;
    x = (x | (x << 2)) & 0x1249249249249249ull;
    return x;
}

// A Morton code above a triangle index in one 64-bit word: the index takes
// the bits its range needs, the code as many of the rest as fit (at least
// 10 per axis, at most 21). Fine codes keep the clusters of detailed parts
// (fillets, threads, small holes: many triangles in one cell of a coarse
// grid) apart without re-quantizing them.
struct Packing {
    int index_bits, axis_bits;

    explicit Packing(size_t n) {
        index_bits = std::max(1, static_cast<int>(std::bit_width(n > 0 ? n - 1 : 0)));
        axis_bits = std::min(21, (64 - index_bits) / 3);
    }
    uint64_t index_mask() const { return (uint64_t{1} << index_bits) - 1; }
    // By code, keeping the present order of equal codes.
    template <class Words>
    void sort(Words& words, bool split = false) const {
        radix_sort_bits(words, index_bits, index_bits + 3 * axis_bits, split);
    }
};

using Tri = std::array<uint32_t, 3>;

Box triangle_box(std::span<const Vec3> points, const Tri& t) {
    const Vec3 a = points[t[0]], b = points[t[1]], c = points[t[2]];
    Box box;
    box.lo = {std::min({a.x, b.x, c.x}), std::min({a.y, b.y, c.y}), std::min({a.z, b.z, c.z})};
    box.hi = {std::max({a.x, b.x, c.x}), std::max({a.y, b.y, c.y}), std::max({a.z, b.z, c.z})};
    return box;
}

// A triangle box on a 16-bit grid, for choosing cuts only: corners lo[0..2],
// then hi[0..2].
struct ShortBox {
    int16_t v[6];
};
static_assert(sizeof(ShortBox) == 12);

// Ranges up to this size are cut at their first differing Morton bit alone.
constexpr uint32_t kSahMin = 256;

// Morton codes of points in a box.
class Quantizer {
public:
    Quantizer(const Box& bounds, const Packing& packing) : lo_(bounds.lo), axis_bits_(packing.axis_bits) {
        const double cells = std::ldexp(1.0, axis_bits_);
        // Halved coordinates keep the extents finite near the overflow threshold.
        double half_max = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double half = bounds.hi[k] * 0.5 - bounds.lo[k] * 0.5;
            half_max = std::max(half_max, half);
            scale_[k] = half > 0.0 ? cells / half * (1.0 - 0x1p-40) : 0.0;
        }
        unit_ = half_max > 0.0 ? 1.0 / half_max : 1.0;
        flat_ = !(half_max > 0.0);
    }

    bool flat() const { return flat_; }

    uint64_t code(Vec3 c) const {
        const uint64_t last = (uint64_t{1} << axis_bits_) - 1;
        uint64_t code = 0;
        for (int k = 0; k < 3; ++k) {
            const double q = (c[k] * 0.5 - lo_[k] * 0.5) * scale_[k];
            const uint64_t cell = q >= static_cast<double>(last) ? last : (q > 0.0 ? static_cast<uint64_t>(q) : 0u);
            code |= spread21(cell) << (2 - k);
        }
        return code;
    }

    // Relative to the box, in 2^-13 of its largest half extent (one scale for
    // all axes: only areas are compared), clamped to [-4, 4).
    ShortBox relative(const Box& b) const {
        auto r = [&](double x, int k) {
            const double q = (x * 0.5 - lo_[k] * 0.5) * unit_ * 8192.0;
            return static_cast<int16_t>(q >= 32767.0 ? 32767.0 : (q > -32768.0 ? q : -32768.0));
        };
        return {{r(b.lo.x, 0), r(b.lo.y, 1), r(b.lo.z, 2), r(b.hi.x, 0), r(b.hi.y, 1), r(b.hi.z, 2)}};
    }

private:
    Vec3 lo_;
    int axis_bits_;
    double scale_[3];
    double unit_;
    bool flat_;
};

struct Task {
    uint32_t node, begin, end;
    int depth;
};

// Tree triangles in Morton order, and the cuts chosen on them.
class Sorter {
public:
    Sorter(std::span<const Vec3> points, std::span<const Tri> triangles, const Packing& packing)
        : packing(packing), points_(points), triangles_(triangles) {}

    const Packing packing;
    // Morton code above triangle index, in Morton order.
    LargeVector<uint64_t> words;

    uint32_t size() const { return static_cast<uint32_t>(words.size()); }
    uint32_t tri(uint32_t i) const { return static_cast<uint32_t>(words[i] & packing.index_mask()); }
    uint64_t code(uint32_t i) const { return words[i] >> packing.index_bits; }

    // by_triangle: each triangle's box relative to the quantizer, by triangle index.
    void take(LargeVector<uint64_t>&& unsorted, std::span<const ShortBox> by_triangle, bool split) {
        words = std::move(unsorted);
        packing.sort(words, words.size() >= kRadixSplitFrom);
        fbox_.resize(words.size() + 1);  // whole 16-byte loads read into the next box
        block_.resize(words.size() / kBlock + 1);
        // Halves on a block boundary, so that each block is summed by one thread.
        const uint32_t half = size() / 2 / kBlock * kBlock;
        auto place = [&](uint32_t begin, uint32_t end) {
            for (uint32_t i = begin; i < end; ++i) fbox_[i] = by_triangle[tri(i)];
            sum_blocks(begin, end);
        };
        run_both(split, [&] { place(0, half); }, [&] { place(half, size()); });
    }

    // Where to cut [begin, end), whose codes share a prefix but differ: the
    // 8 groups below the first differing bit are contiguous, and the cut
    // between two of them with the least surface-area cost wins (small ranges
    // take the cut at that bit). Both sides are never empty.
    uint32_t morton_split(uint32_t begin, uint32_t end) const {
        const int top = 63 - std::countl_zero(code(begin) ^ code(end - 1));
        const int index_bits = packing.index_bits;
        const auto first = words.begin() + begin, last = words.begin() + end;
        if (end - begin <= kSahMin) {
            const uint64_t bit = uint64_t{1} << (top + index_bits);
            return static_cast<uint32_t>(
                std::partition_point(first, last, [bit](uint64_t w) { return (w & bit) == 0; }) - words.begin());
        }
        const int shift = std::max(top - 2, 0);
        const int groups = 1 << (top - shift + 1);
        const uint32_t mask = static_cast<uint32_t>(groups - 1);
        // Group boundaries; the group number rises along the range.
        std::array<uint32_t, 9> bound;
        bound[0] = begin;
        for (int g = 1; g < groups; ++g)
            bound[g] = static_cast<uint32_t>(
                std::partition_point(
                    first, last,
                    [&](uint64_t w) { return ((w >> (index_bits + shift)) & mask) < static_cast<uint32_t>(g); }) -
                words.begin());
        bound[groups] = end;

        std::array<Box, 8> gbox;
        for (int g = 0; g < groups; ++g) gbox[g] = bounds(bound[g], bound[g + 1]);
        std::array<double, 8> right_area{};  // of groups k..
        Box right;
        for (int k = groups - 1; k > 0; --k) {
            right.grow(gbox[k]);
            right_area[k] = right.half_area();
        }
        // The cut at the first differing bit always has both sides filled.
        int best = groups / 2;
        double best_cost = kInf;
        Box left;
        for (int k = 1; k < groups; ++k) {
            left.grow(gbox[k - 1]);
            const uint32_t nl = bound[k] - begin, nr = end - bound[k];
            if (nl == 0 || nr == 0) continue;
            const double cost = left.half_area() * nl + right_area[k] * nr;
            if (cost < best_cost) {
                best_cost = cost;
                best = k;
            }
        }
        return bound[best];
    }

    // requantize's buffers, one set per thread, kept for the next cluster.
    struct Scratch {
        std::vector<Box> boxes;
        std::vector<uint32_t> tris;
        std::vector<uint64_t> words;
    };

    // For a range whose codes coincide (a cluster small against the whole
    // tree): codes within the range's own centre bounds. False when all the
    // centres coincide.
    bool requantize(uint32_t begin, uint32_t end, Scratch& scratch) {
        // Each box is read once: the centre bounds, the codes and the placed
        // boxes all come from it (clusters are many and small).
        const uint32_t n = end - begin;
        auto& [boxes, tris, local] = scratch;
        boxes.resize(n);
        tris.resize(n);
        Box cbox;
        for (uint32_t i = 0; i < n; ++i) {
            tris[i] = tri(begin + i);
            boxes[i] = triangle_box(points_, triangles_[tris[i]]);
            const Vec3 c = boxes[i].centre();
            cbox.grow(c, c);
        }
        const Quantizer q(cbox, packing);
        if (q.flat()) return false;
        // The position in the range as payload: whole words then sort by
        // code and, among equal codes, keep the present order.
        local.resize(n);
        for (uint32_t i = 0; i < n; ++i)
            local[i] = (q.code(boxes[i].centre()) << packing.index_bits) | i;
        packing.sort(local);
        for (uint32_t k = 0; k < n; ++k) {
            const uint64_t w = local[k];
            const uint32_t i = static_cast<uint32_t>(w & packing.index_mask());
            words[begin + k] = (w & ~packing.index_mask()) | tris[i];
            fbox_[begin + k] = q.relative(boxes[i]);
        }
        // Only the blocks inside the range: the range's cuts never read the
        // others, which hold boxes on the outer grid.
        sum_blocks((begin + kBlock - 1) / kBlock * kBlock, end / kBlock * kBlock);
        return true;
    }

private:
    // Boxes of kBlock consecutive triangles in Morton order: a cut then reads
    // a range's whole blocks instead of its triangles, so that the boxes of
    // all the ranges of one tree level cost a pass over the blocks, not over
    // every triangle (which at millions of triangles streams from memory).
    static constexpr uint32_t kBlock = 32;

    // The lanes that bounds() reads from any box: lo in 0..2, hi in 3..5.
    struct Sum {
        int16_t lo[8], hi[8];
        Sum() {
            std::fill(lo, lo + 8, int16_t{32767});
            std::fill(hi, hi + 8, int16_t{-32768});
        }
        void add(const ShortBox* boxes, uint32_t begin, uint32_t end) {
#if defined(__SSE2__)
            __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
            __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));
            for (uint32_t i = begin; i < end; ++i) {
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(boxes[i].v));
                l = _mm_min_epi16(l, b);
                h = _mm_max_epi16(h, b);
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lo), l);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(hi), h);
#else
            for (uint32_t i = begin; i < end; ++i)
                for (int k = 0; k < 6; ++k)
                    lo[k] = std::min(lo[k], boxes[i].v[k]), hi[k] = std::max(hi[k], boxes[i].v[k]);
#endif
        }
    };

    // block_ for the blocks that start in [begin, end); begin is a block's start.
    void sum_blocks(uint32_t begin, uint32_t end) {
        for (uint32_t b = begin; b < end; b += kBlock) {
            Sum sum;
            sum.add(fbox_.data(), b, std::min(b + kBlock, size()));
            block_[b / kBlock] = {{sum.lo[0], sum.lo[1], sum.lo[2], sum.hi[3], sum.hi[4], sum.hi[5]}};
        }
    }

    // Union of fbox_[begin, end).
    Box bounds(uint32_t begin, uint32_t end) const {
        if (begin >= end) return Box{};
        Sum sum;
        const uint32_t first = (begin + kBlock - 1) / kBlock, last = end / kBlock;
        if (first < last) {
            sum.add(fbox_.data(), begin, first * kBlock);
            sum.add(block_.data(), first, last);
            sum.add(fbox_.data(), last * kBlock, end);
        } else {
            sum.add(fbox_.data(), begin, end);
        }
        return Box{{double(sum.lo[0]), double(sum.lo[1]), double(sum.lo[2])},
                   {double(sum.hi[3]), double(sum.hi[4]), double(sum.hi[5])}};
    }

    std::span<const Vec3> points_;
    std::span<const Tri> triangles_;
    LargeVector<ShortBox> fbox_;
    LargeVector<ShortBox> block_;  // one more than whole blocks, for the 16-byte loads
};

// Where to cut a task's range: at the Morton groups' best cut, or in half
// below kSahDepth or where all the centres coincide.
uint32_t cut(Sorter& prims, Sorter::Scratch& scratch, const Task& task) {
    if (task.depth < Bvh::kSahDepth &&
        (prims.code(task.begin) != prims.code(task.end - 1) || prims.requantize(task.begin, task.end, scratch)))
        return prims.morton_split(task.begin, task.end);
    return task.begin + (task.end - task.begin) / 2;
}

// Splits `first` down to leaves of at most kLeafSize; nodes[i] is node
// base + i, and new nodes are appended. Returns the depth reached.
int split_down(Sorter& prims, Sorter::Scratch& scratch, LargeVector<BvhNode>& nodes, uint32_t base, Task first) {
    int depth = 0;
    std::vector<Task> stack{first};
    while (!stack.empty()) {
        const Task task = stack.back();
        stack.pop_back();
        depth = std::max(depth, task.depth + 1);
        BvhNode& node = nodes[task.node - base];
        const uint32_t count = task.end - task.begin;
        if (count <= Bvh::kLeafSize) {
            node.first = task.begin;
            node.count = count;
            continue;
        }
        const uint32_t mid = cut(prims, scratch, task);
        const uint32_t left = base + static_cast<uint32_t>(nodes.size());
        node.first = left;
        node.count = 0;
        nodes.emplace_back();
        nodes.emplace_back();
        stack.push_back({left + 1, mid, task.end, task.depth + 1});
        stack.push_back({left, task.begin, mid, task.depth + 1});
    }
    return depth;
}

}  // namespace

// Morton order first (one radix sort), then top-down cuts chosen by surface
// area among the Morton groups of each range: no per-node sorting or
// partitioning, and the leaves come out in memory order. Codes are only
// recomputed for a range once they all coincide, so a far outlier that
// stretches one axis leaves the rest cut along the other axes first.
Bvh Bvh::build(std::span<const Vec3> points, std::span<const Triangle> triangles, BvhBoxes boxes) {
    Bvh bvh = build_shape(points, triangles);
    if (boxes == BvhBoxes::Fit) bvh.fit_boxes(points, triangles);
    return bvh;
}

Bvh Bvh::build_shape(std::span<const Vec3> points, std::span<const Triangle> triangles) {
    Bvh bvh;
    const size_t n_points = points.size();
    if (triangles.size() >= kNone / 3) panic("too many triangles for 32-bit indices");

    // Bounds of the box centres first; the boxes are recomputed for the
    // codes, in triangle order, and their short forms kept by triangle: in
    // Morton order they are then one read each, not a triangle and three
    // scattered points. Large inputs do each pass in two halves, one on a
    // helper thread; the halves join in order, so the tree does not depend
    // on it.
    const bool split = triangles.size() >= kBvhBuildSplitFrom;
    const size_t half = triangles.size() / 2;
    struct Scan {
        Box cbox;
        double max_abs = 0.0;
        std::vector<uint32_t> unbounded;
    } scans[2];
    auto scan = [&](Scan& out, size_t begin, size_t end) {
        // Sums in locals: the two threads' results share a cache line.
        Box cbox;
        double max_abs = 0.0;
        for (size_t f = begin; f < end; ++f) {
            const auto& t = triangles[f];
            for (uint32_t i : t)
                if (i >= n_points) panic("bvh: triangle index " + std::to_string(i) + " out of range");
            if (!is_finite(points[t[0]]) || !is_finite(points[t[1]]) || !is_finite(points[t[2]])) {
                out.unbounded.push_back(static_cast<uint32_t>(f));
                continue;
            }
            const Box box = triangle_box(points, t);
            max_abs = std::max({max_abs, max_abs3(box.lo), max_abs3(box.hi)});
            const Vec3 c = box.centre();
            cbox.grow(c, c);
        }
        out.cbox = cbox;
        out.max_abs = max_abs;
    };
    run_both(split, [&] { scan(scans[0], 0, half); }, [&] { scan(scans[1], half, triangles.size()); });
    Box cbox = scans[0].cbox;
    cbox.grow(scans[1].cbox);
    bvh.max_abs_ = std::max(scans[0].max_abs, scans[1].max_abs);
    bvh.unbounded_ = std::move(scans[0].unbounded);
    bvh.unbounded_.insert(bvh.unbounded_.end(), scans[1].unbounded.begin(), scans[1].unbounded.end());
    if (bvh.unbounded_.size() == triangles.size()) return bvh;

    const Packing packing(triangles.size());
    const Quantizer quantizer(cbox, packing);
    LargeVector<uint64_t> words(triangles.size() - bvh.unbounded_.size());
    LargeBuffer<ShortBox> by_triangle(triangles.size());  // written by the coding pass alone
    auto code = [&](size_t begin, size_t end, size_t out, std::span<const uint32_t> skip) {
        size_t u = 0;
        for (size_t f = begin; f < end; ++f) {
            if (u < skip.size() && skip[u] == f) {
                ++u;
                continue;
            }
            const Box box = triangle_box(points, triangles[f]);
            by_triangle[f] = quantizer.relative(box);
            words[out++] = (quantizer.code(box.centre()) << packing.index_bits) | f;
        }
    };
    const size_t unbounded_first = bvh.unbounded_.size() - scans[1].unbounded.size();
    const std::span<const uint32_t> skip0(bvh.unbounded_.data(), unbounded_first);
    run_both(split, [&] { code(0, half, 0, skip0); },
             [&] { code(half, triangles.size(), half - unbounded_first, scans[1].unbounded); });
    Sorter prims(points, triangles, packing);
    prims.take(std::move(words), {by_triangle.data(), by_triangle.size()}, split);

    const uint32_t n_prims = prims.size();
    bvh.nodes_.reserve(n_prims);  // pages are only touched when written
    bvh.nodes_.emplace_back();
    const Task root{0, 0, n_prims, 0};
    Sorter::Scratch scratch[2];
    if (!split || n_prims <= kLeafSize) {
        bvh.depth_ = split_down(prims, scratch[0], bvh.nodes_, 0, root);
    } else {
        // The root's two subtrees on two threads. Nodes are numbered as one
        // thread would number them, since a subtree's descendants come before
        // those of its right sibling: [root, left, right, left's descendants,
        // right's descendants]. The right one is built apart (as node 0 of its
        // own list, numbered as if it were node 2) and moved in after.
        const uint32_t mid = cut(prims, scratch[0], root);
        bvh.nodes_[0].first = 1;
        bvh.nodes_.resize(3);
        LargeVector<BvhNode> right(1);
        right.reserve(n_prims - mid);  // as the whole: about 0.7 nodes per triangle
        int depth[2] = {0, 0};
        run_both(true, [&] { depth[0] = split_down(prims, scratch[0], bvh.nodes_, 0, {1, 0, mid, 1}); },
                 [&] { depth[1] = split_down(prims, scratch[1], right, 2, {2, mid, n_prims, 1}); });
        bvh.depth_ = std::max(depth[0], depth[1]);
        const uint32_t shift = static_cast<uint32_t>(bvh.nodes_.size()) - 3;
        for (BvhNode& node : right)
            if (!node.is_leaf()) node.first += shift;
        bvh.nodes_[2] = right[0];
        bvh.nodes_.insert(bvh.nodes_.end(), right.begin() + 1, right.end());
    }

    bvh.items_.resize(n_prims);
    for (uint32_t i = 0; i < n_prims; ++i) bvh.items_[i] = prims.tri(i);
    prims.words = LargeVector<uint64_t>();
    return bvh;
}

void Bvh::fit_boxes(std::span<const Vec3> points, std::span<const Triangle> triangles) {
    if (fitted_) return;
    // Leaf boxes (in two halves of the node array), then inner ones:
    // children always come after their parent.
    auto leaf_boxes = [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            BvhNode& node = nodes_[i];
            if (!node.is_leaf()) continue;
            Box box;
            for (uint32_t j = node.first; j < node.first + node.count; ++j)
                box.grow(triangle_box(points, triangles[items_[j]]));
            node.lo = box.lo;
            node.hi = box.hi;
        }
    };
    const size_t n_nodes = nodes_.size();
    run_both(triangles.size() >= kBvhBuildSplitFrom, [&] { leaf_boxes(0, n_nodes / 2); },
             [&] { leaf_boxes(n_nodes / 2, n_nodes); });
    for (size_t i = n_nodes; i-- > 0;) {
        BvhNode& node = nodes_[i];
        if (node.is_leaf()) continue;
        Box box;
        box.grow(nodes_[node.first].lo, nodes_[node.first].hi);
        box.grow(nodes_[node.first + 1].lo, nodes_[node.first + 1].hi);
        node.lo = box.lo;
        node.hi = box.hi;
    }
    fitted_ = true;
}

namespace {

bool boxes_overlap(const Vec3& alo, const Vec3& ahi, const Vec3& blo, const Vec3& bhi, double pad) {
    return alo.x <= bhi.x + pad && blo.x <= ahi.x + pad && alo.y <= bhi.y + pad && blo.y <= ahi.y + pad &&
           alo.z <= bhi.z + pad && blo.z <= ahi.z + pad;
}

}  // namespace

std::vector<std::pair<uint32_t, uint32_t>> overlapping_pairs(
    const Bvh& a, std::span<const Vec3> points_a, std::span<const Triangle> triangles_a,
    const Bvh& b, std::span<const Vec3> points_b, std::span<const Triangle> triangles_b, PairOrder order) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    if (a.empty() || b.empty()) return out;
    Q_ASSERT(a.fitted() && b.fitted(), "overlapping_pairs: both trees have their boxes");
    // Both boxes grow by the margin, so the gap allowed between them is twice it.
    const double pad = 2.0 * (std::ldexp(std::max(a.max_abs(), b.max_abs()), -40) + std::ldexp(1.0, -1000));
    const auto& na = a.nodes();
    const auto& nb = b.nodes();
    if (!boxes_overlap(na[0].lo, na[0].hi, nb[0].lo, nb[0].hi, pad)) return out;

    using Pair = std::pair<uint32_t, uint32_t>;
    // One step of the simultaneous descent: the children worth visiting of
    // a node pair (the one with the larger box is split).
    auto expand = [&](Pair p, auto&& visit) {
        const BvhNode& x = na[p.first];
        const BvhNode& y = nb[p.second];
        const bool split_a =
            !x.is_leaf() && (y.is_leaf() || Box{x.lo, x.hi}.half_area() >= Box{y.lo, y.hi}.half_area());
        if (split_a) {
            for (uint32_t c = x.first; c < x.first + 2; ++c)
                if (boxes_overlap(na[c].lo, na[c].hi, y.lo, y.hi, pad)) visit(Pair{c, p.second});
        } else {
            for (uint32_t c = y.first; c < y.first + 2; ++c)
                if (boxes_overlap(x.lo, x.hi, nb[c].lo, nb[c].hi, pad)) visit(Pair{p.first, c});
        }
    };
    auto walk = [&](Pair root, std::vector<Pair>& found, std::vector<Pair>& stack) {
        stack.assign({root});
        std::array<Box, Bvh::kLeafSize> leaf_boxes;
        while (!stack.empty()) {
            const Pair p = stack.back();
            stack.pop_back();
            const BvhNode& x = na[p.first];
            const BvhNode& y = nb[p.second];
            if (x.is_leaf() && y.is_leaf()) {
                for (uint32_t j = 0; j < y.count; ++j)
                    leaf_boxes[j] = triangle_box(points_b, triangles_b[b.items()[y.first + j]]);
                for (uint32_t i = 0; i < x.count; ++i) {
                    const uint32_t ta = a.items()[x.first + i];
                    const Box ba = triangle_box(points_a, triangles_a[ta]);
                    for (uint32_t j = 0; j < y.count; ++j)
                        if (boxes_overlap(ba.lo, ba.hi, leaf_boxes[j].lo, leaf_boxes[j].hi, pad))
                            found.emplace_back(ta, b.items()[y.first + j]);
                }
                continue;
            }
            expand(p, [&](Pair c) { stack.push_back(c); });
        }
    };

    // With enough work, the descent is cut into many node pairs (breadth
    // first), which both threads take in turn: where the meshes meet is
    // usually under one child of a root, so halves by subtree would leave
    // one thread idle.
    std::vector<Pair> tasks{{0u, 0u}};
    const bool split = triangles_a.size() + triangles_b.size() >= kOverlapWalkSplitFrom && have_second_processor();
    while (split && tasks.size() < kOverlapWalkTasks) {
        std::vector<Pair> deeper;
        bool grew = false;
        for (const Pair& p : tasks) {
            if (na[p.first].is_leaf() && nb[p.second].is_leaf()) {
                deeper.push_back(p);
                continue;
            }
            expand(p, [&](Pair c) { deeper.push_back(c); });
            grew = true;
        }
        tasks.swap(deeper);
        if (!grew) break;
    }
    std::vector<Pair> found[2], stacks[2];
    run_tasks(split, tasks.size(), [&](size_t t, int who) { walk(tasks[t], found[who], stacks[who]); });
    if (order == PairOrder::Any) {
        found[0].insert(found[0].end(), found[1].begin(), found[1].end());
        return std::move(found[0]);
    }

    // Bucket by the triangle of A, then order each (short) bucket; the two
    // halves of A's range apart, each scattering and sorting its own.
    const size_t n_a = triangles_a.size();
    std::vector<uint32_t> start(n_a + 1, 0);
    for (const auto& f : found)
        for (const Pair& pr : f) ++start[pr.first + 1];
    for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    const size_t total = start[n_a];
    std::vector<Pair> sorted(total);
    const uint32_t mid = static_cast<uint32_t>(std::upper_bound(start.begin(), start.end(), total / 2) - start.begin() - 1);
    auto scatter = [&](uint32_t lo, uint32_t hi) {
        std::vector<uint32_t> fill(start.begin() + lo, start.begin() + hi);
        for (const auto& f : found)
            for (const Pair& pr : f)
                if (pr.first >= lo && pr.first < hi) sorted[fill[pr.first - lo]++] = pr;
        for (uint32_t i = lo; i < hi; ++i) std::sort(sorted.begin() + start[i], sorted.begin() + start[i + 1]);
    };
    run_both(split, [&] { scatter(0, mid); }, [&] { scatter(mid, static_cast<uint32_t>(n_a)); });
    return sorted;
}

}  // namespace geom
