// TriangleCdt: construction and the queries. The other members
// are split by concern over cdt_*.cpp (see cdt.h).
#include "geometry/triangulation/cdt.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "geometry/panic.h"
#include "geometry/predicates/predicates.h"

namespace geom {

std::pair<uint64_t, uint64_t> TriangleCdt::pos_key(Vec2 p) {
    // +0.0 and -0.0 are the same position.
    return {std::bit_cast<uint64_t>(p.x + 0.0), std::bit_cast<uint64_t>(p.y + 0.0)};
}

uint64_t TriangleCdt::next_random() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return rng_;
}

TriangleCdt::TriangleCdt(Vec2 c0, Vec2 c1, Vec2 c2) {
    // Room for a typical cut triangle, so that most never grow these.
    verts_.reserve(16);
    tris_.reserve(32);
    const Vec2 c[3] = {c0, c1, c2};
    for (Vec2 p : c) {
        if (std::isnan(p.x) || std::isnan(p.y)) panic("called `Result::unwrap()` on an `Err` value: NAN");
    }
    for (Vec2 p : c) check_finite(p);
    const double o = orient2d(c0, c1, c2);
    mirrored_ = o < 0.0;
    degenerate_ = o == 0.0;
    for (int k = 0; k < 3; ++k) {
        const uint32_t id = add_vertex(internal(c[k]));
        verts_[id].lines = static_cast<uint8_t>((1u << k) | (1u << prev_corner(k)));
        const auto pk = pos_key(verts_[id].p);
        by_pos_.insert(pk.first, pk.second, id);
    }
    if (degenerate_) return;
    tris_.push_back({});
    set_tri(0, {0, 1, 2}, {kNone, kNone, kNone}, 7);
}

// ---------------------------------------------------------------------------
// Queries

std::vector<Triangle> TriangleCdt::faces() const {
    std::vector<Links> links;
    return faces(links);
}

std::vector<Triangle> TriangleCdt::faces(std::vector<Links>& links) const {
    std::vector<Triangle> out;
    links.clear();
    if (degenerate_) return out;
    // (face rotated to its smallest id, face index, rotation), sorted by face.
    struct Entry {
        Triangle v;
        uint32_t f;
        int r;
    };
    std::vector<Entry> order;
    order.reserve(tris_.size());
    for (uint32_t f = 0; f < tris_.size(); ++f) {
        const Tri& t = tris_[f];
        const int m = t.v[0] < t.v[1] ? (t.v[0] < t.v[2] ? 0 : 2) : (t.v[1] < t.v[2] ? 1 : 2);
        order.push_back({{t.v[m], t.v[next_corner(m)], t.v[prev_corner(m)]}, f, m});
    }
    std::sort(order.begin(), order.end(), [](const Entry& x, const Entry& y) { return x.v < y.v; });
    std::vector<uint32_t> position(tris_.size());
    for (uint32_t i = 0; i < order.size(); ++i) position[order[i].f] = i;
    out.reserve(order.size());
    links.reserve(order.size());
    for (const Entry& e : order) {
        out.push_back(e.v);
        const Tri& t = tris_[e.f];
        Links l{{kNone, kNone, kNone}, 0};
        for (int k = 0; k < 3; ++k) {
            // Listed edge k runs v[r + k] -> v[r + k + 1]: opposite v[r + k + 2].
            const int i = (e.r + k + 2) % 3;
            if (t.n[i] != kNone) l.across[k] = position[t.n[i]];
            if ((t.fixed >> i) & 1u) l.fixed = static_cast<uint8_t>(l.fixed | (1u << k));
        }
        links.push_back(l);
    }
    return out;
}

bool TriangleCdt::vertex_is_placed(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex_is_placed: id out of range");
    return verts_[id].placed;
}

double TriangleCdt::vertex_param(uint32_t id) const {
    if (id >= verts_.size()) panic("TriangleCdt::vertex_param: id out of range");
    return verts_[id].t;
}

bool TriangleCdt::is_constrained(uint32_t a, uint32_t b) const {
    if (degenerate_ || a >= verts_.size() || b >= verts_.size() || a == b) return false;
    uint32_t f;
    int i;
    return find_edge(a, b, f, i) && ((tris_[f].fixed >> i) & 1u);
}

}  // namespace geom
