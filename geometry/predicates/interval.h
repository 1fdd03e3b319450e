// Closed intervals of doubles that are guaranteed to contain the exact result
// of the operations applied to them. Each operation rounds to nearest and then
// steps one ulp outwards, which covers the rounding error (also in the
// subnormal range). Endpoints may be infinite after overflow; a lower bound is
// never +inf and an upper bound never -inf, so no operation produces NaN.
// Used as a cheap filter before exact arithmetic.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

namespace geom {

inline double next_up(double x) {
    if (x == std::numeric_limits<double>::infinity()) return x;
    if (x == 0.0) return std::numeric_limits<double>::denorm_min();
    const auto bits = std::bit_cast<uint64_t>(x);
    return std::bit_cast<double>(x > 0.0 ? bits + 1 : bits - 1);
}

inline double next_down(double x) { return -next_up(-x); }

struct Interval {
    double lo = 0.0, hi = 0.0;

    constexpr Interval() = default;
    constexpr explicit Interval(double v) : lo(v), hi(v) {}
    constexpr Interval(double l, double h) : lo(l), hi(h) {}

    // +1 or -1 when the whole interval has that sign, 0 when it is exactly
    // zero, kUnknown otherwise.
    static constexpr int kUnknown = 2;
    int sign() const {
        if (lo > 0.0) return 1;
        if (hi < 0.0) return -1;
        if (lo == 0.0 && hi == 0.0) return 0;
        return kUnknown;
    }
};

inline Interval operator+(Interval a, Interval b) { return {next_down(a.lo + b.lo), next_up(a.hi + b.hi)}; }
inline Interval operator-(Interval a, Interval b) { return {next_down(a.lo - b.hi), next_up(a.hi - b.lo)}; }

namespace interval_detail {
// An infinite endpoint stands for unbounded finite values, and 0 times any
// finite value is 0.
inline double mul(double a, double b) { return (a == 0.0 || b == 0.0) ? 0.0 : a * b; }
}  // namespace interval_detail

inline Interval operator*(Interval a, Interval b) {
    using interval_detail::mul;
    const double p1 = mul(a.lo, b.lo), p2 = mul(a.lo, b.hi), p3 = mul(a.hi, b.lo), p4 = mul(a.hi, b.hi);
    return {next_down(std::min(std::min(p1, p2), std::min(p3, p4))),
            next_up(std::max(std::max(p1, p2), std::max(p3, p4)))};
}

inline Interval square(Interval a) {
    using interval_detail::mul;
    const double l = mul(a.lo, a.lo), h = mul(a.hi, a.hi);
    if (a.lo >= 0.0) return {next_down(l), next_up(h)};
    if (a.hi <= 0.0) return {next_down(h), next_up(l)};
    return {0.0, next_up(std::max(l, h))};
}

}  // namespace geom
