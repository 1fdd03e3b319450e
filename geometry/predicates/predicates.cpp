#include "geometry/predicates/predicates.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "geometry/predicates/bigfloat.h"

namespace geom::predicates_detail {

namespace {

// Expansion arithmetic: a value is a sum of doubles ("components"), kept
// nonoverlapping and in increasing order of magnitude, so its sign is the
// sign of the last component. Every operation below is error-free as long as
// nothing overflows or underflows; the callers make sure of that.

constexpr double kSplitter = 0x1p27 + 1.0;  // splits a double into two 26-bit halves
constexpr double kResultErr = (3.0 + 8.0 * kEps) * kEps;
constexpr double kCcwErrB = (2.0 + 12.0 * kEps) * kEps;
constexpr double kCcwErrC = (9.0 + 64.0 * kEps) * kEps * kEps;
constexpr double kIccErrB = (4.0 + 48.0 * kEps) * kEps;
constexpr double kIccErrC = (44.0 + 576.0 * kEps) * kEps * kEps;

inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double bv = x - a;
    const double av = x - bv;
    const double br = b - bv;
    const double ar = a - av;
    y = ar + br;
}

// Requires |a| >= |b| (or a == 0).
inline void fast_two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    const double bv = x - a;
    y = b - bv;
}

// Rounding error of x = fl(a - b).
inline double two_diff_tail(double a, double b, double x) {
    const double bv = a - x;
    const double av = x + bv;
    const double br = bv - b;
    const double ar = a - av;
    return ar + br;
}

inline void two_diff(double a, double b, double& x, double& y) {
    x = a - b;
    y = two_diff_tail(a, b, x);
}

// Veltkamp splitting: a == hi + lo, each with at most 26 significant bits.
inline void split(double a, double& hi, double& lo) {
    const double c = kSplitter * a;
    const double big = c - a;
    hi = c - big;
    lo = a - hi;
}

inline void two_product_presplit(double a, double b, double bhi, double blo, double& x, double& y) {
    x = a * b;
    double ahi, alo;
    split(a, ahi, alo);
    const double err1 = x - ahi * bhi;
    const double err2 = err1 - alo * bhi;
    const double err3 = err2 - ahi * blo;
    y = alo * blo - err3;
}

inline void two_product(double a, double b, double& x, double& y) {
    double bhi, blo;
    split(b, bhi, blo);
    two_product_presplit(a, b, bhi, blo, x, y);
}

// (a1 + a0) - (b1 + b0) as four components x[0..3]; some may be zero.
inline void two_two_diff(double a1, double a0, double b1, double b0, double* x) {
    double i, j, k;
    two_diff(a0, b0, i, x[0]);
    two_sum(a1, i, j, k);
    double m;
    two_diff(k, b1, m, x[1]);
    two_sum(j, m, x[3], x[2]);
}

// Drops zero components in place, keeping at least one.
int compress_zeros(int n, double* e) {
    int k = 0;
    for (int i = 0; i < n; ++i) {
        if (e[i] != 0.0) e[k++] = e[i];
    }
    if (k == 0) e[k++] = 0.0;
    return k;
}

// a * b - c * d, exactly, into out[0..3]; returns the component count.
int product_diff(double a, double b, double c, double d, double* out) {
    double p1, p0, q1, q0;
    two_product(a, b, p1, p0);
    two_product(c, d, q1, q0);
    two_two_diff(p1, p0, q1, q0, out);
    return compress_zeros(4, out);
}

// h = e + f; h needs room for elen + flen and must not alias e or f.
int expansion_sum(int elen, const double* e, int flen, const double* f, double* h) {
    int i = 0, j = 0, k = 0;
    while (i < elen && j < flen) {
        if (std::fabs(f[j]) < std::fabs(e[i])) {
            h[k++] = f[j++];
        } else {
            h[k++] = e[i++];
        }
    }
    while (i < elen) h[k++] = e[i++];
    while (j < flen) h[k++] = f[j++];
    // Sweep the merged components from the smallest up; writes never overtake reads.
    double q = h[0];
    int out = 0;
    for (int m = 1; m < k; ++m) {
        double sum, err;
        two_sum(q, h[m], sum, err);
        q = sum;
        if (err != 0.0) h[out++] = err;
    }
    if (q != 0.0 || out == 0) h[out++] = q;
    return out;
}

// h = e * b; h needs room for 2 * elen and must not alias e.
int scale_expansion(int elen, const double* e, double b, double* h) {
    double bhi, blo;
    split(b, bhi, blo);
    double q, err;
    two_product_presplit(e[0], b, bhi, blo, q, err);
    int out = 0;
    if (err != 0.0) h[out++] = err;
    for (int i = 1; i < elen; ++i) {
        double p1, p0;
        two_product_presplit(e[i], b, bhi, blo, p1, p0);
        double sum;
        two_sum(q, p0, sum, err);
        if (err != 0.0) h[out++] = err;
        fast_two_sum(p1, sum, q, err);
        if (err != 0.0) h[out++] = err;
    }
    if (q != 0.0 || out == 0) h[out++] = q;
    return out;
}

double estimate(int n, const double* e) {
    double s = e[0];
    for (int i = 1; i < n; ++i) s += e[i];
    return s;
}

// The estimate, unless rounding gave it a sign the expansion does not have.
double signed_estimate(int n, const double* e) {
    const double est = estimate(n, e);
    double top = 0.0;
    for (int i = n; i-- > 0;) {
        if (e[i] != 0.0) {
            top = e[i];
            break;
        }
    }
    if ((top > 0.0 && est > 0.0) || (top < 0.0 && est < 0.0) || (top == 0.0 && est == 0.0)) return est;
    return top;
}

// Heap-backed expansions for the rarely reached exact stage.
using Expansion = std::vector<double>;

Expansion exp_diff(double a, double b) {
    double x, y;
    two_diff(a, b, x, y);
    if (y == 0.0) return {x};
    return {y, x};
}

Expansion exp_add(const Expansion& e, const Expansion& f) {
    Expansion h(e.size() + f.size());
    h.resize(static_cast<size_t>(expansion_sum(static_cast<int>(e.size()), e.data(),
                                               static_cast<int>(f.size()), f.data(), h.data())));
    return h;
}

Expansion exp_neg(Expansion e) {
    for (double& c : e) c = -c;
    return e;
}

Expansion exp_sub(const Expansion& e, const Expansion& f) { return exp_add(e, exp_neg(f)); }

Expansion exp_mul(const Expansion& e, const Expansion& f) {
    Expansion acc{0.0};
    Expansion scaled(2 * e.size());
    for (double b : f) {
        const int n = scale_expansion(static_cast<int>(e.size()), e.data(), b, scaled.data());
        Expansion sum(acc.size() + static_cast<size_t>(n));
        sum.resize(static_cast<size_t>(
            expansion_sum(static_cast<int>(acc.size()), acc.data(), n, scaled.data(), sum.data())));
        acc.swap(sum);
    }
    return acc;
}

// Fixed-size: exact collinearity is common in practice. det needs room for
// 16 components; returns how many it got.
int orient2d_expansion(Vec2 a, Vec2 b, Vec2 c, double* det) {
    double acx[2], acy[2], bcx[2], bcy[2];
    two_diff(a.x, c.x, acx[1], acx[0]);
    two_diff(a.y, c.y, acy[1], acy[0]);
    two_diff(b.x, c.x, bcx[1], bcx[0]);
    two_diff(b.y, c.y, bcy[1], bcy[0]);
    // (acx * bcy) and -(acy * bcx), each as the sum of two scaled expansions.
    double t0[4], t1[4], left[8], right[8];
    int n0 = scale_expansion(2, acx, bcy[0], t0);
    int n1 = scale_expansion(2, acx, bcy[1], t1);
    const int nl = expansion_sum(n0, t0, n1, t1, left);
    n0 = scale_expansion(2, acy, -bcx[0], t0);
    n1 = scale_expansion(2, acy, -bcx[1], t1);
    const int nr = expansion_sum(n0, t0, n1, t1, right);
    return expansion_sum(nl, left, nr, right, det);
}

double orient2d_exact(Vec2 a, Vec2 b, Vec2 c) {
    double det[16];
    return det[orient2d_expansion(a, b, c, det) - 1];
}

double incircle_exact(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    const Expansion adx = exp_diff(a.x, d.x), ady = exp_diff(a.y, d.y);
    const Expansion bdx = exp_diff(b.x, d.x), bdy = exp_diff(b.y, d.y);
    const Expansion cdx = exp_diff(c.x, d.x), cdy = exp_diff(c.y, d.y);
    const Expansion alift = exp_add(exp_mul(adx, adx), exp_mul(ady, ady));
    const Expansion blift = exp_add(exp_mul(bdx, bdx), exp_mul(bdy, bdy));
    const Expansion clift = exp_add(exp_mul(cdx, cdx), exp_mul(cdy, cdy));
    const Expansion bc = exp_sub(exp_mul(bdx, cdy), exp_mul(cdx, bdy));
    const Expansion ca = exp_sub(exp_mul(cdx, ady), exp_mul(adx, cdy));
    const Expansion ab = exp_sub(exp_mul(adx, bdy), exp_mul(bdx, ady));
    return exp_add(exp_add(exp_mul(alift, bc), exp_mul(blift, ca)), exp_mul(clift, ab)).back();
}

// Inputs must be in the safe exponent band.
double orient2d_adapt(Vec2 a, Vec2 b, Vec2 c) {
    const double acx = a.x - c.x, bcx = b.x - c.x;
    const double acy = a.y - c.y, bcy = b.y - c.y;

    double left, lefttail, right, righttail;
    two_product(acx, bcy, left, lefttail);
    two_product(acy, bcx, right, righttail);
    double bexp[4];
    two_two_diff(left, lefttail, right, righttail, bexp);
    const double detsum = std::fabs(left) + std::fabs(right);

    double det = estimate(4, bexp);
    double errbound = kCcwErrB * detsum;
    if (det >= errbound || -det >= errbound) return det;

    const double acxtail = two_diff_tail(a.x, c.x, acx);
    const double bcxtail = two_diff_tail(b.x, c.x, bcx);
    const double acytail = two_diff_tail(a.y, c.y, acy);
    const double bcytail = two_diff_tail(b.y, c.y, bcy);
    if (acxtail == 0.0 && acytail == 0.0 && bcxtail == 0.0 && bcytail == 0.0) {
        return signed_estimate(4, bexp);  // the differences were exact
    }

    errbound = kCcwErrC * detsum + kResultErr * std::fabs(det);
    det += (acx * bcytail + bcy * acxtail) - (acy * bcxtail + bcx * acytail);
    if (det >= errbound || -det >= errbound) return det;

    return orient2d_exact(a, b, c);
}

// Inputs must be in the safe exponent band.
double incircle_adapt(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    const double adx = a.x - d.x, bdx = b.x - d.x, cdx = c.x - d.x;
    const double ady = a.y - d.y, bdy = b.y - d.y, cdy = c.y - d.y;

    // Exact determinant of the rounded differences.
    double bc[4], ca[4], ab[4];
    const int bclen = product_diff(bdx, cdy, cdx, bdy, bc);
    const int calen = product_diff(cdx, ady, adx, cdy, ca);
    const int ablen = product_diff(adx, bdy, bdx, ady, ab);

    double t8[8], x16[16], y16[16], adet[32], bdet[32], cdet[32];
    int n8 = scale_expansion(bclen, bc, adx, t8);
    const int ax = scale_expansion(n8, t8, adx, x16);
    n8 = scale_expansion(bclen, bc, ady, t8);
    const int ay = scale_expansion(n8, t8, ady, y16);
    const int alen = expansion_sum(ax, x16, ay, y16, adet);

    n8 = scale_expansion(calen, ca, bdx, t8);
    const int bx = scale_expansion(n8, t8, bdx, x16);
    n8 = scale_expansion(calen, ca, bdy, t8);
    const int by = scale_expansion(n8, t8, bdy, y16);
    const int blen = expansion_sum(bx, x16, by, y16, bdet);

    n8 = scale_expansion(ablen, ab, cdx, t8);
    const int cx = scale_expansion(n8, t8, cdx, x16);
    n8 = scale_expansion(ablen, ab, cdy, t8);
    const int cy = scale_expansion(n8, t8, cdy, y16);
    const int clen = expansion_sum(cx, x16, cy, y16, cdet);

    double abdet[64], fin[96];
    const int ablen2 = expansion_sum(alen, adet, blen, bdet, abdet);
    const int finlen = expansion_sum(ablen2, abdet, clen, cdet, fin);

    const double alift = adx * adx + ady * ady;
    const double blift = bdx * bdx + bdy * bdy;
    const double clift = cdx * cdx + cdy * cdy;
    const double permanent = (std::fabs(bdx * cdy) + std::fabs(cdx * bdy)) * alift +
                             (std::fabs(cdx * ady) + std::fabs(adx * cdy)) * blift +
                             (std::fabs(adx * bdy) + std::fabs(bdx * ady)) * clift;

    double det = estimate(finlen, fin);
    double errbound = kIccErrB * permanent;
    if (det >= errbound || -det >= errbound) return det;

    const double adxtail = two_diff_tail(a.x, d.x, adx);
    const double adytail = two_diff_tail(a.y, d.y, ady);
    const double bdxtail = two_diff_tail(b.x, d.x, bdx);
    const double bdytail = two_diff_tail(b.y, d.y, bdy);
    const double cdxtail = two_diff_tail(c.x, d.x, cdx);
    const double cdytail = two_diff_tail(c.y, d.y, cdy);
    if (adxtail == 0.0 && bdxtail == 0.0 && cdxtail == 0.0 && adytail == 0.0 && bdytail == 0.0 &&
        cdytail == 0.0) {
        return signed_estimate(finlen, fin);
    }

    // First-order correction for the rounding of the differences.
    errbound = kIccErrC * permanent + kResultErr * std::fabs(det);
    det += ((adx * adx + ady * ady) * ((bdx * cdytail + cdy * bdxtail) - (bdy * cdxtail + cdx * bdytail)) +
            2.0 * (adx * adxtail + ady * adytail) * (bdx * cdy - bdy * cdx)) +
           ((bdx * bdx + bdy * bdy) * ((cdx * adytail + ady * cdxtail) - (cdy * adxtail + adx * cdytail)) +
            2.0 * (bdx * bdxtail + bdy * bdytail) * (cdx * ady - cdy * adx)) +
           ((cdx * cdx + cdy * cdy) * ((adx * bdytail + bdy * adxtail) - (ady * bdxtail + bdx * adytail)) +
            2.0 * (cdx * cdxtail + cdy * cdytail) * (adx * bdy - ady * bdx));
    if (det >= errbound || -det >= errbound) return det;

    return incircle_exact(a, b, c, d);
}

// Differences held exactly as one or two components.
struct Diff {
    double v[2];
    int n;
};

Diff exact_diff(double a, double b) {
    Diff d;
    two_diff(a, b, d.v[1], d.v[0]);
    if (d.v[0] == 0.0) {
        d.v[0] = d.v[1];
        d.n = 1;
    } else {
        d.n = 2;
    }
    return d;
}

// x * y into h[0..8).
int diff_product(const Diff& x, const Diff& y, double* h) {
    double t1[4], t2[4];
    const int n1 = scale_expansion(x.n, x.v, y.v[0], t1);
    if (y.n == 1) {
        for (int i = 0; i < n1; ++i) h[i] = t1[i];
        return n1;
    }
    const int n2 = scale_expansion(x.n, x.v, y.v[1], t2);
    return expansion_sum(n1, t1, n2, t2, h);
}

// (x1 * y2 - x2 * y1) * z into h[0..64).
int minor_times(const Diff& x1, const Diff& y2, const Diff& x2, const Diff& y1, const Diff& z, double* h) {
    double p[8], q[8], m[16], t1[32], t2[32];
    const int np = diff_product(x1, y2, p);
    const int nq = diff_product(x2, y1, q);
    for (int i = 0; i < nq; ++i) q[i] = -q[i];
    const int nm = expansion_sum(np, p, nq, q, m);
    const int n1 = scale_expansion(nm, m, z.v[0], t1);
    if (z.n == 1) {
        for (int i = 0; i < n1; ++i) h[i] = t1[i];
        return n1;
    }
    const int n2 = scale_expansion(nm, m, z.v[1], t2);
    return expansion_sum(n1, t1, n2, t2, h);
}

// det[r0; r1; r2] of rows held exactly, by minors along the z column.
double det3_exact(const Diff (&r0)[3], const Diff (&r1)[3], const Diff (&r2)[3]) {
    double ta[64], tb[64], tc[64], ab[128], all[192];
    const int na = minor_times(r1[0], r2[1], r2[0], r1[1], r0[2], ta);
    const int nb = minor_times(r2[0], r0[1], r0[0], r2[1], r1[2], tb);
    const int nc = minor_times(r0[0], r1[1], r1[0], r0[1], r2[2], tc);
    const int nab = expansion_sum(na, ta, nb, tb, ab);
    const int n = expansion_sum(nab, ab, nc, tc, all);
    return all[n - 1];
}

// Rows v - o held exactly, in the safe band.
void diff_row(Vec3 v, Vec3 o, Diff (&row)[3]) {
    for (int k = 0; k < 3; ++k) row[k] = exact_diff(v[k], o[k]);
}

// det[a - d; b - d; c - d], exact in the safe band.
double orient3d_det_exact(Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
    Diff ra[3], rb[3], rc[3];
    diff_row(a, d, ra);
    diff_row(b, d, rb);
    diff_row(c, d, rc);
    return det3_exact(ra, rb, rc);
}

// d . ((p - o) x (q - o)) = det[p - o; q - o; d], exact in the safe band.
double orient_direction_exact(Vec3 o, Vec3 p, Vec3 q, Vec3 d) {
    Diff rp[3], rq[3];
    diff_row(p, o, rp);
    diff_row(q, o, rq);
    const Diff rd[3] = {{{d.x, 0.0}, 1}, {{d.y, 0.0}, 1}, {{d.z, 0.0}, 1}};
    return det3_exact(rp, rq, rd);
}

double orient_direction_bigfloat(Vec3 o, Vec3 p, Vec3 q, Vec3 d) {
    const BigFloat ox(o.x), oy(o.y), oz(o.z);
    const BigFloat px = BigFloat(p.x) - ox, py = BigFloat(p.y) - oy, pz = BigFloat(p.z) - oz;
    const BigFloat qx = BigFloat(q.x) - ox, qy = BigFloat(q.y) - oy, qz = BigFloat(q.z) - oz;
    return (BigFloat(d.x) * (py * qz - pz * qy) + BigFloat(d.y) * (pz * qx - px * qz) +
            BigFloat(d.z) * (px * qy - py * qx))
        .sign();
}

double sign_of(const BigFloat& v) { return static_cast<double>(v.sign()); }

double orient3d_det_bigfloat(Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
    const BigFloat dx(d.x), dy(d.y), dz(d.z);
    const BigFloat adx = BigFloat(a.x) - dx, ady = BigFloat(a.y) - dy, adz = BigFloat(a.z) - dz;
    const BigFloat bdx = BigFloat(b.x) - dx, bdy = BigFloat(b.y) - dy, bdz = BigFloat(b.z) - dz;
    const BigFloat cdx = BigFloat(c.x) - dx, cdy = BigFloat(c.y) - dy, cdz = BigFloat(c.z) - dz;
    return sign_of(adz * (bdx * cdy - cdx * bdy) + bdz * (cdx * ady - adx * cdy) + cdz * (adx * bdy - bdx * ady));
}

double orient2d_bigfloat(Vec2 a, Vec2 b, Vec2 c) {
    const BigFloat cx(c.x), cy(c.y);
    const BigFloat acx = BigFloat(a.x) - cx, acy = BigFloat(a.y) - cy;
    const BigFloat bcx = BigFloat(b.x) - cx, bcy = BigFloat(b.y) - cy;
    return sign_of(acx * bcy - acy * bcx);
}

double incircle_bigfloat(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    const BigFloat dx(d.x), dy(d.y);
    const BigFloat adx = BigFloat(a.x) - dx, ady = BigFloat(a.y) - dy;
    const BigFloat bdx = BigFloat(b.x) - dx, bdy = BigFloat(b.y) - dy;
    const BigFloat cdx = BigFloat(c.x) - dx, cdy = BigFloat(c.y) - dy;
    const BigFloat alift = adx * adx + ady * ady;
    const BigFloat blift = bdx * bdx + bdy * bdy;
    const BigFloat clift = cdx * cdx + cdy * cdy;
    return sign_of(alift * (bdx * cdy - cdx * bdy) + blift * (cdx * ady - adx * cdy) +
                   clift * (adx * bdy - bdx * ady));
}

enum class Band { AllZero, Safe, Rescale, Wide };

// Classifies the exponents of v[0..n) and, for Band::Rescale, the power of two
// that moves them into the safe band.
Band classify(const double* v, int n, int& shift) {
    int emin = std::numeric_limits<int>::max();
    int emax = std::numeric_limits<int>::min();
    for (int i = 0; i < n; ++i) {
        if (v[i] == 0.0) continue;
        const int field = static_cast<int>((std::bit_cast<uint64_t>(v[i]) >> 52) & 0x7ff);
        const int e = field != 0 ? field - 1023 : std::ilogb(v[i]);  // subnormals are rare
        emin = e < emin ? e : emin;
        emax = e > emax ? e : emax;
    }
    if (emin > emax) return Band::AllZero;
    if (emin >= -kSafeExponent && emax <= kSafeExponent) return Band::Safe;
    if (emax - emin > 2 * kSafeExponent) return Band::Wide;
    const int sum = emax + emin;
    const int half = sum >= 0 ? sum / 2 : -((1 - sum) / 2);  // floor(sum / 2)
    shift = -half;
    return Band::Rescale;
}

bool all_finite(const double* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

// Exact zeros of orient2d that its filter cannot tell from rounding (its
// margin for underflow keeps even 0 - 0 undecided), as in a wall seen along
// it: both products have a zero factor (a wall along an axis), or two points
// are equal (each triangle of a wall has an edge along the line of sight).
// For finite input. Tested on the coordinates as they come: copying them to
// an array first costs more than the test where walls are common.
bool obviously_collinear(Vec2 a, Vec2 b, Vec2 c) {
    return ((a.x == c.x || b.y == c.y) && (a.y == c.y || b.x == c.x)) || (a.x == b.x && a.y == b.y) ||
           (b.x == c.x && b.y == c.y);
}

}  // namespace

double orient2d_slow(Vec2 a, Vec2 b, Vec2 c) {
    if (!(is_finite(a) && is_finite(b) && is_finite(c))) return std::numeric_limits<double>::quiet_NaN();
    if (obviously_collinear(a, b, c)) return 0.0;
    double v[6] = {a.x, a.y, b.x, b.y, c.x, c.y};
    int shift = 0;
    switch (classify(v, 6, shift)) {
    case Band::AllZero:
        return 0.0;
    case Band::Safe:
        return orient2d_adapt(a, b, c);
    case Band::Rescale:
        for (double& x : v) x = std::ldexp(x, shift);
        return orient2d_adapt({v[0], v[1]}, {v[2], v[3]}, {v[4], v[5]});
    case Band::Wide:
        break;
    }
    return orient2d_bigfloat(a, b, c);
}

double incircle_slow(Vec2 a, Vec2 b, Vec2 c, Vec2 d) {
    double v[8] = {a.x, a.y, b.x, b.y, c.x, c.y, d.x, d.y};
    if (!all_finite(v, 8)) return std::numeric_limits<double>::quiet_NaN();
    int shift = 0;
    switch (classify(v, 8, shift)) {
    case Band::AllZero:
        return 0.0;
    case Band::Safe:
        return incircle_adapt(a, b, c, d);
    case Band::Rescale:
        for (double& x : v) x = std::ldexp(x, shift);
        return incircle_adapt({v[0], v[1]}, {v[2], v[3]}, {v[4], v[5]}, {v[6], v[7]});
    case Band::Wide:
        break;
    }
    return incircle_bigfloat(a, b, c, d);
}

double orient3d_slow(Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
    double v[12] = {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z, d.x, d.y, d.z};
    if (!all_finite(v, 12)) return 0.0;
    int shift = 0;
    double det = 0.0;
    switch (classify(v, 12, shift)) {
    case Band::AllZero:
        return 0.0;
    case Band::Safe:
        det = orient3d_det_exact(a, b, c, d);
        break;
    case Band::Rescale:
        for (double& x : v) x = std::ldexp(x, shift);
        det = orient3d_det_exact({v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]}, {v[9], v[10], v[11]});
        break;
    case Band::Wide:
        det = orient3d_det_bigfloat(a, b, c, d);
        break;
    }
    return -det;
}

int orient_direction_slow(Vec3 o, Vec3 p, Vec3 q, Vec3 d) {
    if (!(is_finite(o) && is_finite(p) && is_finite(q) && is_finite(d))) return 0;
    // Along an axis the determinant is that component times the points'
    // orientation seen along it: as exact, and far cheaper where it is
    // zero (walls parallel to the direction).
    const int zeros = (d.x == 0.0) + (d.y == 0.0) + (d.z == 0.0);
    if (zeros == 2) {
        const int axis = d.x != 0.0 ? 0 : (d.y != 0.0 ? 1 : 2);
        const int u = (axis + 1) % 3, w2 = (axis + 2) % 3;
        const Vec2 a{o[u], o[w2]}, b{p[u], p[w2]}, c{q[u], q[w2]};
        if (obviously_collinear(a, b, c)) return 0;
        const int along = d[axis] > 0.0 ? 1 : -1;
        return along * sign(orient2d(a, b, c));
    }
    double v[9] = {o.x, o.y, o.z, p.x, p.y, p.z, q.x, q.y, q.z};
    double w[3] = {d.x, d.y, d.z};
    int shift = 0, dshift = 0;
    const Band points = classify(v, 9, shift), direction = classify(w, 3, dshift);
    if (points == Band::AllZero || direction == Band::AllZero) return 0;
    if (points == Band::Wide || direction == Band::Wide) return sign(orient_direction_bigfloat(o, p, q, d));
    if (points == Band::Rescale)
        for (double& x : v) x = std::ldexp(x, shift);
    if (direction == Band::Rescale)
        for (double& x : w) x = std::ldexp(x, dshift);
    return sign(orient_direction_exact({v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]}, {w[0], w[1], w[2]}));
}

}  // namespace geom::predicates_detail

namespace geom {

int orient2d_on_segment(Vec2 a, Vec2 b, double t, Vec2 q, Vec2 r) {
    using namespace predicates_detail;
    double v[9] = {a.x, a.y, b.x, b.y, q.x, q.y, r.x, r.y, t};
    if (!all_finite(v, 9)) return 0;
    int shift = 0;
    if (classify(v, 9, shift) == Band::Safe) {
        // Degree 3 in band: neither the products nor their tails leave the
        // normal range.
        double oa[16], ob[16], d[32], s[64], sum[80];
        const int na = orient2d_expansion(a, q, r, oa);
        const int nb = orient2d_expansion(b, q, r, ob);
        for (int i = 0; i < na; ++i) oa[i] = -oa[i];
        const int nd = expansion_sum(nb, ob, na, oa, d);
        const int ns = scale_expansion(nd, d, t, s);
        for (int i = 0; i < na; ++i) oa[i] = -oa[i];
        const int n = expansion_sum(na, oa, ns, s, sum);
        return sign(sum[n - 1]);
    }
    const BigFloat bt(t), ax(a.x), ay(a.y);
    const BigFloat px = ax + bt * (BigFloat(b.x) - ax), py = ay + bt * (BigFloat(b.y) - ay);
    const BigFloat rx(r.x), ry(r.y);
    const BigFloat qrx = BigFloat(q.x) - rx, qry = BigFloat(q.y) - ry;
    return ((px - rx) * qry - (py - ry) * qrx).sign();
}

}  // namespace geom
