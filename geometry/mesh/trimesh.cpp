#include "geometry/mesh/trimesh.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "geometry/large_vector.h"
#include "geometry/panic.h"
#include "geometry/parallel.h"

namespace geom {

namespace {

// Directed edges bucketed by origin vertex, each bucket sorted by (target,
// half-edge). Counting sort keeps this linear in points plus triangles.
class OutgoingEdges {
public:
    OutgoingEdges(size_t n_points, const std::vector<Triangle>& tris) : offset_(n_points + 1, 0) {
        const uint32_t n_half = static_cast<uint32_t>(3 * tris.size());
        for (const Triangle& t : tris)
            for (uint32_t v : t) ++offset_[v + 1];
        for (size_t v = 0; v < n_points; ++v) offset_[v + 1] += offset_[v];
        std::vector<uint32_t> cursor(offset_.begin(), offset_.end() - 1);
        keys_.resize(n_half);
        for (uint32_t h = 0; h < n_half; ++h) {
            const Triangle& t = tris[h / 3];
            const uint32_t from = t[h % 3], to = t[next_corner(h % 3)];
            keys_[cursor[from]++] = (uint64_t{to} << 32) | h;
        }
        for (size_t v = 0; v < n_points; ++v)
            if (offset_[v + 1] - offset_[v] > 1) std::sort(keys_.begin() + offset_[v], keys_.begin() + offset_[v + 1]);
    }

    // Lowest half-edge running from -> to, or kNone.
    uint32_t find(uint32_t from, uint32_t to) const {
        const auto first = keys_.begin() + offset_[from], last = keys_.begin() + offset_[from + 1];
        const auto it = std::lower_bound(first, last, uint64_t{to} << 32);
        if (it == last || (*it >> 32) != to) return HalfEdgeTopology::kNone;
        return static_cast<uint32_t>(*it);
    }

    // Lowest triangle index holding a directed edge already used by an earlier half-edge.
    size_t first_repeat(size_t none) const {
        size_t best = none;
        for (size_t v = 0; v + 1 < offset_.size(); ++v)
            for (uint32_t i = offset_[v] + 1; i < offset_[v + 1]; ++i)
                if ((keys_[i] >> 32) == (keys_[i - 1] >> 32))
                    best = std::min<size_t>(best, static_cast<uint32_t>(keys_[i]) / 3);
        return best;
    }

private:
    std::vector<uint32_t> offset_;
    std::vector<uint64_t> keys_;
};

std::string edge_message(size_t g, size_t f, uint32_t from, uint32_t to) {
    return "mesh should be manifold: BadAdjascentTrianglesOrientation { triangle1: " + std::to_string(g) +
           ", triangle2: " + std::to_string(f) + ", edge: (" + std::to_string(from) + ", " + std::to_string(to) +
           ") }";
}

// Divides by the largest component so that products below neither overflow
// nor underflow; the direction is unchanged.
bool rescale(Vec3& v) {
    const double m = max_abs3(v);
    if (!(m > 0.0) || !std::isfinite(m)) return false;
    v = {v.x / m, v.y / m, v.z / m};
    return true;
}

// Unit normal of a triangle and, for k in 0..2, its angle at corner k; false
// for zero-area or non-finite triangles. Each corner's edge vectors are
// rescaled before use.
bool face_frame(Vec3 p0, Vec3 p1, Vec3 p2, int k, Vec3& unit_normal, double& angle) {
    const Vec3 p[3] = {p0, p1, p2};
    for (int j = 0; j < 3; ++j) {
        Vec3 e1 = p[next_corner(j)] - p[j], e2 = p[prev_corner(j)] - p[j];
        if (!rescale(e1) || !rescale(e2)) return false;
        if (j != 0 && j != k) continue;
        const Vec3 c = cross(e1, e2);
        if (j == k) angle = std::atan2(norm(c), dot(e1, e2));
        if (j == 0) {
            Vec3 n = c;
            if (!rescale(n)) return false;
            const double len = norm(n);
            unit_normal = {n.x / len, n.y / len, n.z / len};
        }
    }
    return true;
}

// Whether some directed edge appears twice or some triangle repeats a corner:
// targets bucketed by origin, repeats found with a per-point stamp.
bool has_topology_fault(size_t n_points, const std::vector<Triangle>& tris) {
    for (const Triangle& t : tris)
        if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) return true;
    LargeVector<uint32_t> offset(n_points + 1, 0);
    for (const Triangle& t : tris)
        for (uint32_t v : t) ++offset[v + 1];
    for (size_t v = 0; v < n_points; ++v) offset[v + 1] += offset[v];
    LargeVector<uint32_t> target(3 * tris.size());
    for (const Triangle& t : tris)
        for (int k = 0; k < 3; ++k) target[offset[t[k]]++] = t[next_corner(k)];
    // offset[v] now ends bucket v; stamp[w] = 1 + last origin seen with target w.
    LargeVector<uint32_t> stamp(n_points, 0);
    uint32_t begin = 0;
    for (size_t v = 0; v < n_points; ++v) {
        const uint32_t mark = static_cast<uint32_t>(v) + 1;
        for (uint32_t i = begin; i < offset[v]; ++i) {
            if (stamp[target[i]] == mark) return true;
            stamp[target[i]] = mark;
        }
        begin = offset[v];
    }
    return false;
}

}  // namespace

void validate_mesh(const std::vector<Vec3>& points, const std::vector<Triangle>& triangles) {
    if (triangles.empty()) panic("A triangle mesh must contain at least one triangle.");
    const size_t n = points.size();
    for (const Triangle& t : triangles)
        for (uint32_t i : t)
            if (i >= n)
                panic("index out of bounds: the len is " + std::to_string(n) + " but the index is " +
                      std::to_string(i));
    if (triangles.size() >= kNone / 3) panic("too many triangles for 32-bit indices");
    if (!has_topology_fault(n, triangles)) return;

    // Which fault comes first, by the rules of the messages.
    const size_t none = triangles.size();
    size_t first_bad = none;
    for (size_t f = 0; f < triangles.size(); ++f) {
        const Triangle& t = triangles[f];
        if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) {
            first_bad = f;
            break;
        }
    }
    const OutgoingEdges edges(n, triangles);
    const size_t first_repeat = edges.first_repeat(none);
    const size_t f = std::min(first_bad, first_repeat);
    if (f == none) return;
    if (f == first_bad) panic("mesh should be manifold: BadTriangle(" + std::to_string(f) + ")");
    const Triangle& t = triangles[f];
    for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t from = t[k], to = t[next_corner(k)];
        const uint32_t h0 = edges.find(from, to);
        if (h0 != 3 * f + k) panic(edge_message(h0 / 3, f, from, to));
    }
    panic("mesh validation: inconsistent edge table");
}

TriMesh TriMesh::build(std::vector<Vec3>&& points, std::vector<Triangle>&& triangles) {
    TriMesh mesh;
    mesh.points_ = std::move(points);
    mesh.triangles_ = std::move(triangles);
    // Large meshes are checked on a helper while the hierarchy is built. The
    // check's fault is the one reported (run_both rethrows the first piece's
    // failure first), and the build reads no point before checking its index.
    run_both(mesh.triangles_.size() >= kCheckBesideBuildFrom, [&] { validate_mesh(mesh.points_, mesh.triangles_); },
             [&] { mesh.bvh_ = Bvh::build(mesh.points_, mesh.triangles_, BvhBoxes::Later); });
    mesh.lazy_ = std::make_unique<Lazy>();
    return mesh;
}

const Bvh& TriMesh::bvh() const {
    if (!lazy_ || lazy_->boxes_ready.load(std::memory_order_acquire)) return bvh_;
    std::call_once(lazy_->boxes_once, [this] {
        bvh_.fit_boxes(points_, triangles_);
        lazy_->boxes_ready.store(true, std::memory_order_release);
    });
    return bvh_;
}

MeshData TriMesh::release() && {
    MeshData out{std::move(points_), std::move(triangles_)};
    points_.clear();
    triangles_.clear();
    bvh_ = Bvh{};
    lazy_.reset();
    return out;
}

const HalfEdgeTopology& TriMesh::topology() const {
    if (!lazy_) panic("topology requested on an empty mesh");
    if (lazy_->topology_ready.load(std::memory_order_acquire)) return lazy_->topology;
    std::call_once(lazy_->topology_once, [this] {
        HalfEdgeTopology topo;
        const uint32_t n_half = static_cast<uint32_t>(3 * triangles_.size());
        const size_t n_points = points_.size();
        {
            // Half-edges bucketed by their lower end; a checked mesh has at most
            // one half-edge each way along an edge, so twins pair up by the
            // upper end within a bucket.
            std::vector<uint32_t> offset(n_points + 1, 0);
            for (uint32_t h = 0; h < n_half; ++h) ++offset[std::min(origin(h), target(h)) + 1];
            for (size_t v = 0; v < n_points; ++v) offset[v + 1] += offset[v];
            std::vector<uint32_t> bucket(n_half);
            for (uint32_t h = 0; h < n_half; ++h) bucket[offset[std::min(origin(h), target(h))]++] = h;
            topo.twin.assign(n_half, HalfEdgeTopology::kNone);
            std::vector<uint32_t> stamp(n_points, 0), seen(n_points);
            uint32_t begin = 0;
            for (size_t v = 0; v < n_points; ++v) {
                const uint32_t mark = static_cast<uint32_t>(v) + 1;
                for (uint32_t i = begin; i < offset[v]; ++i) {
                    const uint32_t h = bucket[i], w = std::max(origin(h), target(h));
                    if (stamp[w] == mark) {
                        topo.twin[h] = seen[w];
                        topo.twin[seen[w]] = h;
                    } else {
                        stamp[w] = mark;
                        seen[w] = h;
                    }
                }
                begin = offset[v];
            }
        }
        topo.edge.resize(n_half);
        for (uint32_t h = 0; h < n_half; ++h) {
            const uint32_t tw = topo.twin[h];
            if (tw == HalfEdgeTopology::kNone || tw > h) {
                topo.edge[h] = static_cast<uint32_t>(topo.edge_halfedge.size());
                topo.edge_halfedge.push_back(h);
            } else {
                topo.edge[h] = topo.edge[tw];
            }
        }
        lazy_->topology = std::move(topo);
        lazy_->topology_ready.store(true, std::memory_order_release);
    });
    return lazy_->topology;
}

const PseudoNormals& TriMesh::pseudo_normals() const {
    const HalfEdgeTopology& topo = topology();
    if (lazy_->normals_ready.load(std::memory_order_acquire)) return lazy_->normals;
    std::call_once(lazy_->normals_once, [this, &topo] {
        Lazy& lazy = *lazy_;
        const size_t n_points = points_.size();
        const uint32_t n_half = static_cast<uint32_t>(3 * triangles_.size());
        lazy.corner_offset.assign(n_points + 1, 0);
        for (uint32_t h = 0; h < n_half; ++h) ++lazy.corner_offset[origin(h) + 1];
        for (size_t v = 0; v < n_points; ++v) lazy.corner_offset[v + 1] += lazy.corner_offset[v];
        lazy.corners.resize(n_half);
        std::vector<uint32_t> cursor(lazy.corner_offset.begin(), lazy.corner_offset.end() - 1);
        for (uint32_t h = 0; h < n_half; ++h) lazy.corners[cursor[origin(h)]++] = h;
        lazy.source = {points_.data(), triangles_.data(), &topo, lazy.corner_offset.data(), lazy.corners.data(),
                       n_points};
        lazy.normals.vertex.src = &lazy.source;
        lazy.normals.edge.src = &lazy.source;
        lazy.normals_ready.store(true, std::memory_order_release);
    });
    return lazy_->normals;
}

namespace {

// Index (0..2) of the longest edge of a triangle; edge k runs from corner k.
int longest_edge(const PseudoNormalSource& src, const Triangle& t) {
    int longest = 0;
    double best = -1.0;
    for (int k = 0; k < 3; ++k) {
        const Vec3 d = src.points[t[next_corner(k)]] - src.points[t[k]];
        if (dot(d, d) > best) best = dot(d, d), longest = k;
    }
    return longest;
}

// Unit normal of the face that borders half-edge `half`. A face without area
// lies along its longest edge, so the face that really borders it is across
// that edge (a needle left where an edge was split at a vertex, say); a few
// steps at most. False when there is none.
bool bordering_normal(const PseudoNormalSource& src, uint32_t half, Vec3& normal) {
    for (int step = 0; step < 4 && half != HalfEdgeTopology::kNone; ++step) {
        const uint32_t f = half / 3;
        const Triangle& t = src.triangles[f];
        double angle = 0.0;
        if (face_frame(src.points[t[0]], src.points[t[1]], src.points[t[2]], -1, normal, angle)) return true;
        uint32_t longest = 3 * f + static_cast<uint32_t>(longest_edge(src, t));
        // This edge is the long one: go on along the next edge of the needle.
        if (longest == half) longest = 3 * f + next_corner(half % 3);
        half = src.topology->twin[longest];
    }
    return false;
}

}  // namespace

Vec3 PseudoNormals::Vertices::operator[](size_t v) const {
    if (src == nullptr || v >= src->n_points) panic("pseudo-normal of a point out of range");
    Vec3 sum;
    for (uint32_t i = src->corner_offset[v]; i < src->corner_offset[v + 1]; ++i) {
        const uint32_t h = src->corners[i];
        const Triangle& t = src->triangles[h / 3];
        Vec3 n;
        double angle = 0.0;
        if (face_frame(src->points[t[0]], src->points[t[1]], src->points[t[2]], static_cast<int>(h % 3), n, angle)) {
            sum = sum + n * angle;
            continue;
        }
        // A face without area with this point inside its long edge: the
        // point lies inside an edge of the face across, which sees it at pi.
        const int k = static_cast<int>(h % 3);
        if (longest_edge(*src, t) == next_corner(k) &&
            bordering_normal(*src, src->topology->twin[h - k + next_corner(k)], n))
            sum = sum + n * 3.141592653589793;
    }
    return sum;
}

size_t PseudoNormals::Vertices::size() const { return src ? src->n_points : 0; }

Vec3 PseudoNormals::Edges::operator[](size_t e) const {
    if (src == nullptr || e >= src->topology->edge_halfedge.size()) panic("pseudo-normal of an edge out of range");
    const uint32_t h = src->topology->edge_halfedge[e];
    const uint32_t tw = src->topology->twin[h];
    Vec3 sum;
    // The lower half-edge's triangle first, as a sum in triangle order.
    for (const uint32_t half : {h, tw}) {
        Vec3 n;
        if (half != HalfEdgeTopology::kNone && bordering_normal(*src, half, n)) sum = sum + n;
    }
    return sum;
}

size_t PseudoNormals::Edges::size() const { return src ? src->topology->edge_halfedge.size() : 0; }

}  // namespace geom
