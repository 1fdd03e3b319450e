// TriangleCdt: point location (visibility walk) and the grid of start
// vertices.
#include <algorithm>
#include <cmath>

#include "geometry/assert.h"
#include "geometry/panic.h"
#include "geometry/triangulation/cdt.h"

namespace geom {

TriangleCdt::Location TriangleCdt::classify_in(uint32_t f, const Sign o[3]) const {
    constexpr Sign z = Sign::Zero;
    const int zeros = (o[0] == z) + (o[1] == z) + (o[2] == z);
    if (zeros == 0) return {f, FeatureKind::Face, 0};
    if (zeros == 1) return {f, FeatureKind::Edge, o[0] == z ? 0 : (o[1] == z ? 1 : 2)};
    return {f, FeatureKind::Vertex, o[0] != z ? 0 : (o[1] != z ? 1 : 2)};
}

TriangleCdt::Location TriangleCdt::locate_brute_force(uint32_t p) const {
    for (uint32_t f = 0; f < tris_.size(); ++f) {
        const Tri& t = tris_[f];
        Sign o[3];
        bool ok = true;
        for (int i = 0; i < 3 && ok; ++i) {
            o[i] = orient(t.v[next_corner(i)], t.v[prev_corner(i)], p);
            ok = o[i] != Sign::Negative;
        }
        if (ok) return classify_in(f, o);
    }
    panic("TriangleCdt: point location failed");
}

// Face to start walking from: the vertex in the query's grid cell or the
// last one inserted, whichever is nearer.
uint32_t TriangleCdt::walk_start(uint32_t p) {
    const Vec2 q = verts_[p].p;
    auto d2 = [&](uint32_t v) {
        const Vec2 d = verts_[v].p - q;
        return d.x * d.x + d.y * d.y;
    };
    uint32_t best = last_ < p && verts_[last_].tri != kNone ? last_ : 0;
    if (!grid_.empty()) {
        const uint32_t g = grid_[grid_cell(q)];
        if (g != kNone && g != best && d2(g) < d2(best)) best = g;
    }
    return verts_[best].tri;
}

size_t TriangleCdt::grid_cell(Vec2 q) const {
    // Halved coordinates cannot overflow when subtracted; NaN lands in cell 0.
    const double fx = (q.x * 0.5 - grid_x0_) * grid_sx_;
    const double fy = (q.y * 0.5 - grid_y0_) * grid_sy_;
    const int ix = fx >= 0.0 ? (fx < grid_w_ ? static_cast<int>(fx) : grid_w_ - 1) : 0;
    const int iy = fy >= 0.0 ? (fy < grid_h_ ? static_cast<int>(fy) : grid_h_ - 1) : 0;
    return static_cast<size_t>(iy) * static_cast<size_t>(grid_w_) + static_cast<size_t>(ix);
}

void TriangleCdt::grid_rebuild() {
    double x0 = verts_[0].p.x * 0.5, x1 = x0, y0 = verts_[0].p.y * 0.5, y1 = y0;
    for (int k = 1; k < 3; ++k) {
        x0 = std::min(x0, verts_[k].p.x * 0.5), x1 = std::max(x1, verts_[k].p.x * 0.5);
        y0 = std::min(y0, verts_[k].p.y * 0.5), y1 = std::max(y1, verts_[k].p.y * 0.5);
    }
    const double w = x1 - x0, h = y1 - y0;
    const double cells = static_cast<double>(verts_.size());
    double gw = std::round(std::sqrt(cells * (w / h)));
    if (!(gw >= 1.0)) gw = 1.0;
    gw = std::min(gw, cells);
    const double gh = std::max(1.0, std::round(cells / gw));
    grid_w_ = static_cast<int>(gw);
    grid_h_ = static_cast<int>(gh);
    grid_x0_ = x0, grid_y0_ = y0;
    grid_sx_ = gw / w, grid_sy_ = gh / h;
    grid_.assign(static_cast<size_t>(grid_w_) * static_cast<size_t>(grid_h_), kNone);
    for (uint32_t v = 0; v < verts_.size(); ++v) {
        if (verts_[v].tri != kNone) grid_[grid_cell(verts_[v].p)] = v;
    }
    // Empty cells borrow a neighbour's vertex: sweep rows, then columns.
    const size_t gw_cells = static_cast<size_t>(grid_w_), gh_cells = static_cast<size_t>(grid_h_);
    auto sweep = [&](size_t start, size_t stride, size_t n) {
        for (size_t i = 1; i < n; ++i) {
            uint32_t& c = grid_[start + i * stride];
            if (c == kNone) c = grid_[start + (i - 1) * stride];
        }
        for (size_t i = n - 1; i-- > 0;) {
            uint32_t& c = grid_[start + i * stride];
            if (c == kNone) c = grid_[start + (i + 1) * stride];
        }
    };
    for (size_t y = 0; y < gh_cells; ++y) sweep(y * gw_cells, 1, gw_cells);
    for (size_t x = 0; x < gw_cells; ++x) sweep(x, gw_cells, gh_cells);
    grid_next_rebuild_ = 2 * verts_.size();
}

// Visibility walk with a random edge order, never stepping back through the
// edge it came in by; a walk that takes too long falls back to a scan.
TriangleCdt::Location TriangleCdt::locate(uint32_t p) {
    uint32_t f = walk_start(p);
    uint32_t from = kNone;
    const size_t limit = tris_.size() + 64;
    for (size_t steps = 0;; ++steps) {
        if (steps > limit) return locate_brute_force(p);
        const Tri& t = tris_[f];
        const int r = static_cast<int>(next_random() % 3);
        Sign o[3] = {Sign::Positive, Sign::Positive, Sign::Positive};  // the edge we came in by stays positive
        uint32_t to = kNone;
        bool outside = false;
        for (int j = 0; j < 3; ++j) {
            const int i = (r + j) % 3;
            if (from != kNone && t.n[i] == from) continue;
            o[i] = orient(t.v[next_corner(i)], t.v[prev_corner(i)], p);
            if (o[i] == Sign::Negative) {
                to = t.n[i];
                outside = to == kNone;
                break;
            }
        }
        // Every vertex is inside or exactly on the boundary, so exact
        // predicates never send the walk out; the scan is a release-build
        // safety net.
        Q_ASSERT(!outside, "locate: the walk never crosses the boundary");
        if (outside) return locate_brute_force(p);
        if (to == kNone) {
            return classify_in(f, o);
        }
        from = f;
        f = to;
    }
}

}  // namespace geom
