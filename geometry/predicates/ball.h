// Midpoint-radius bounds: `m` is the double that plain arithmetic computes
// and `r` bounds its distance from the exact value. One multiply-add per
// bound and no branches, so a filter over them costs a few times the plain
// expression, where outward-rounded intervals cost ten times or more.
//
// Limits. The bounds hold while every input's |m| and r stay at most
// kBallLimit (2^200): an expression of degree up to 4 then neither
// overflows nor loses more than 2^-600 to underflow, which sign() allows
// for. Outside that band, or for a non-finite input, callers must use
// another method; in_band() tells. The radii are themselves rounded: sign()
// widens them by 2^-40, far more than the compounded rounding of the short
// expressions this is meant for (up to about a hundred operations).
#pragma once

#include <cmath>
#include <limits>

namespace geom {

inline constexpr double kBallLimit = 0x1p200;

struct Ball {
    double m = 0.0, r = 0.0;

    constexpr Ball() = default;
    constexpr explicit Ball(double v) : m(v), r(0.0) {}
    constexpr Ball(double mid, double rad) : m(mid), r(rad) {}

    bool in_band() const { return std::fabs(m) <= kBallLimit && r <= kBallLimit; }

    // +1 or -1 when every value within the bound has that sign; 0 when the
    // sign is not certain (which includes an exact zero).
    int sign() const {
        const double slack = r * (1.0 + 0x1p-40) + 0x1p-600;
        if (m > slack) return 1;
        if (-m > slack) return -1;
        return 0;
    }
};

namespace ball_detail {
// |fl(x) - x| <= 2^-53 |x| <= 2^-52 |fl(x)| for a normal result; a sum that
// is subnormal is exact, a product that underflows is off by at most half
// of denorm_min.
inline constexpr double kRound = 0x1p-52;
inline constexpr double kTiny = std::numeric_limits<double>::denorm_min();
}  // namespace ball_detail

inline Ball operator+(Ball a, Ball b) {
    const double m = a.m + b.m;
    return {m, a.r + b.r + ball_detail::kRound * std::fabs(m)};
}

inline Ball operator-(Ball a, Ball b) {
    const double m = a.m - b.m;
    return {m, a.r + b.r + ball_detail::kRound * std::fabs(m)};
}

// (a.m + da)(b.m + db) - a.m b.m = a.m db + b.m da + da db.
inline Ball operator*(Ball a, Ball b) {
    const double m = a.m * b.m;
    return {m, std::fabs(a.m) * b.r + std::fabs(b.m) * a.r + a.r * b.r + ball_detail::kRound * std::fabs(m) +
                   ball_detail::kTiny};
}

inline Ball square(Ball a) { return a * a; }

}  // namespace geom
