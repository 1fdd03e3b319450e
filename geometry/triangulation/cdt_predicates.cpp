// TriangleCdt: orientation and in-circle signs on vertex ids, exact for
// placed points too.
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "geometry/predicates/predicates.h"
#include "geometry/triangulation/cdt.h"

namespace geom {

namespace {


// Whether a vertex's bounds are usable by the midpoint-radius filter.
template <class V>
bool in_band(const V& v) {
    return v.bx.in_band() && v.by.in_band();
}

}  // namespace

// Parameter along edge `line` for corners and placed points, else NaN.
double TriangleCdt::param_on_line(uint32_t v, int line) const {
    const Vertex& x = verts_[v];
    if (x.placed) return x.t;
    if (v == static_cast<uint32_t>(line)) return 0.0;
    if (v == static_cast<uint32_t>(next_corner(line))) return 1.0;
    return std::numeric_limits<double>::quiet_NaN();
}

Sign TriangleCdt::orient(uint32_t a, uint32_t b, uint32_t c) const {
    const Vertex &A = verts_[a], &B = verts_[b], &C = verts_[c];
    if (!A.placed && !B.placed && !C.placed) return sign_of(orient2d(A.p, B.p, C.p));
    // A repeated vertex (asked for by walks that reach the segment's end) is
    // collinear by definition; the filter cannot tell, BigFloat can,
    // slowly.
    if (a == b || b == c || c == a) return Sign::Zero;

    // Two points on the same edge line: the third is on that line too, or
    // strictly inside; then their order along the line decides, when known
    // (not for an interior point, whose parameter is NaN).
    auto on_line = [&](uint32_t p, uint32_t q, uint32_t r, uint8_t common) -> std::optional<Sign> {
        const int line = std::countr_zero(static_cast<unsigned>(common));
        if ((verts_[r].lines >> line) & 1u) return Sign::Zero;
        const double d = param_on_line(q, line) - param_on_line(p, line);
        if (std::isnan(d)) return std::nullopt;
        return sign_of(d);
    };
    std::optional<Sign> s;
    if (const uint8_t m = A.lines & B.lines) {
        s = on_line(a, b, c, m);
    } else if (const uint8_t m2 = B.lines & C.lines) {
        s = on_line(b, c, a, m2);
    } else if (const uint8_t m3 = C.lines & A.lines) {
        s = on_line(c, a, b, m3);
    }
    if (s) return *s;

    if (in_band(A) && in_band(B) && in_band(C)) {
        const Ball det = (A.bx - C.bx) * (B.by - C.by) - (A.by - C.by) * (B.bx - C.bx);
        if (const int sd = det.sign()) return static_cast<Sign>(sd);
    }
    return orient_exact(a, b, c);
}

Sign TriangleCdt::incircle(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    const Vertex &A = verts_[a], &B = verts_[b], &C = verts_[c], &D = verts_[d];
    if (!A.placed && !B.placed && !C.placed && !D.placed) return sign_of(geom::incircle(A.p, B.p, C.p, D.p));
    if (in_band(A) && in_band(B) && in_band(C) && in_band(D)) {
        const Ball adx = A.bx - D.bx, ady = A.by - D.by;
        const Ball bdx = B.bx - D.bx, bdy = B.by - D.by;
        const Ball cdx = C.bx - D.bx, cdy = C.by - D.by;
        const Ball det = (square(adx) + square(ady)) * (bdx * cdy - cdx * bdy) +
                         (square(bdx) + square(bdy)) * (cdx * ady - adx * cdy) +
                         (square(cdx) + square(cdy)) * (adx * bdy - bdx * ady);
        if (const int s = det.sign()) return static_cast<Sign>(s);
    }
    return incircle_exact(a, b, c, d);
}

std::array<BigFloat, 2> TriangleCdt::exact_position(uint32_t v) const {
    const Vertex& x = verts_[v];
    if (!x.placed) return {BigFloat(x.p.x), BigFloat(x.p.y)};
    const Vec2 a = verts_[x.edge].p, b = verts_[next_corner(x.edge)].p;
    const BigFloat t(x.t), ax(a.x), ay(a.y);
    return {ax + t * (BigFloat(b.x) - ax), ay + t * (BigFloat(b.y) - ay)};
}

Sign TriangleCdt::orient_exact(uint32_t a, uint32_t b, uint32_t c) const {
    // One placed point (the common case: points along a straight curve):
    // expansions on its edge's corners and parameter, no BigFloat.
    const uint32_t v[3] = {a, b, c};
    for (int k = 0; k < 3; ++k) {
        const Vertex& p = verts_[v[k]];
        const Vertex &q = verts_[v[next_corner(k)]], &r = verts_[v[prev_corner(k)]];
        if (!p.placed || q.placed || r.placed) continue;
        return static_cast<Sign>(orient2d_on_segment(verts_[p.edge].p, verts_[next_corner(p.edge)].p, p.t, q.p, r.p));
    }
    const auto A = exact_position(a), B = exact_position(b), C = exact_position(c);
    return static_cast<Sign>(((A[0] - C[0]) * (B[1] - C[1]) - (A[1] - C[1]) * (B[0] - C[0])).sign());
}

Sign TriangleCdt::incircle_exact(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    const auto A = exact_position(a), B = exact_position(b), C = exact_position(c), D = exact_position(d);
    const BigFloat adx = A[0] - D[0], ady = A[1] - D[1], bdx = B[0] - D[0], bdy = B[1] - D[1];
    const BigFloat cdx = C[0] - D[0], cdy = C[1] - D[1];
    return static_cast<Sign>(((adx * adx + ady * ady) * (bdx * cdy - cdx * bdy) +
                              (bdx * bdx + bdy * bdy) * (cdx * ady - adx * cdy) +
                              (cdx * cdx + cdy * cdy) * (adx * bdy - bdx * ady))
                                 .sign());
}

}  // namespace geom
