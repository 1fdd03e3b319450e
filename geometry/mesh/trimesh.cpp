#include "geometry/mesh/trimesh.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "geometry/panic.h"

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
            const uint32_t from = t[h % 3], to = t[(h % 3 + 1) % 3];
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

double max_abs3(Vec3 v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); }

// Divides by the largest component so that products below neither overflow
// nor underflow; the direction is unchanged.
bool rescale(Vec3& v) {
    const double m = max_abs3(v);
    if (!(m > 0.0) || !std::isfinite(m)) return false;
    v = {v.x / m, v.y / m, v.z / m};
    return true;
}

// Unit normal and corner angles of a triangle; false for zero-area or non-finite ones.
bool face_frame(Vec3 p0, Vec3 p1, Vec3 p2, Vec3& unit_normal, std::array<double, 3>& angles) {
    const Vec3 p[3] = {p0, p1, p2};
    for (int k = 0; k < 3; ++k) {
        Vec3 e1 = p[(k + 1) % 3] - p[k], e2 = p[(k + 2) % 3] - p[k];
        if (!rescale(e1) || !rescale(e2)) return false;
        const Vec3 c = cross(e1, e2);
        angles[k] = std::atan2(norm(c), dot(e1, e2));
        if (k == 0) {
            Vec3 n = c;
            if (!rescale(n)) return false;
            const double len = norm(n);
            unit_normal = {n.x / len, n.y / len, n.z / len};
        }
    }
    return true;
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
    if (triangles.size() >= 0xffffffffu / 3) panic("too many triangles for 32-bit indices");

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
        const uint32_t from = t[k], to = t[(k + 1) % 3];
        const uint32_t h0 = edges.find(from, to);
        if (h0 != 3 * f + k) panic(edge_message(h0 / 3, f, from, to));
    }
    panic("mesh validation: inconsistent edge table");
}

TriMesh TriMesh::build(std::vector<Vec3>&& points, std::vector<Triangle>&& triangles) {
    validate_mesh(points, triangles);
    TriMesh mesh;
    mesh.points_ = std::move(points);
    mesh.triangles_ = std::move(triangles);
    mesh.bvh_ = Bvh::build(mesh.points_, mesh.triangles_);
    mesh.lazy_ = std::make_unique<Lazy>();
    return mesh;
}

std::pair<std::vector<Vec3>, std::vector<Triangle>> TriMesh::release() && {
    std::pair<std::vector<Vec3>, std::vector<Triangle>> out{std::move(points_), std::move(triangles_)};
    points_.clear();
    triangles_.clear();
    bvh_ = Bvh{};
    lazy_.reset();
    return out;
}

const HalfEdgeTopology& TriMesh::topology() const {
    if (!lazy_) panic("topology requested on an empty mesh");
    std::call_once(lazy_->topology_once, [this] {
        HalfEdgeTopology topo;
        const uint32_t n_half = static_cast<uint32_t>(3 * triangles_.size());
        {
            const OutgoingEdges edges(points_.size(), triangles_);
            topo.twin.resize(n_half);
            for (uint32_t h = 0; h < n_half; ++h) topo.twin[h] = edges.find(target(h), origin(h));
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
    });
    return lazy_->topology;
}

const PseudoNormals& TriMesh::pseudo_normals() const {
    const HalfEdgeTopology& topo = topology();
    std::call_once(lazy_->normals_once, [this, &topo] {
        PseudoNormals pn;
        pn.vertex.assign(points_.size(), Vec3{});
        pn.edge.assign(topo.edge_halfedge.size(), Vec3{});
        for (size_t f = 0; f < triangles_.size(); ++f) {
            const Triangle& t = triangles_[f];
            Vec3 n;
            std::array<double, 3> angles;
            if (!face_frame(points_[t[0]], points_[t[1]], points_[t[2]], n, angles)) continue;
            for (uint32_t k = 0; k < 3; ++k) {
                pn.vertex[t[k]] = pn.vertex[t[k]] + n * angles[k];
                Vec3& e = pn.edge[topo.edge[3 * f + k]];
                e = e + n;
            }
        }
        lazy_->normals = std::move(pn);
    });
    return lazy_->normals;
}

}  // namespace geom
