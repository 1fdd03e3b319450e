// Exact binary floating-point numbers of unbounded size: sign * integer * 2^exp.
// Ring operations only (no division), so every result is exact. Slow, but it
// never overflows or underflows, which makes it the last resort of the
// predicates and the reference in tests.
#pragma once

#include <cstdint>
#include <vector>

namespace geom {

class BigFloat {
public:
    BigFloat() = default;
    // `v` must be finite.
    explicit BigFloat(double v);

    int sign() const { return mag_.empty() ? 0 : (neg_ ? -1 : 1); }
    bool is_zero() const { return mag_.empty(); }
    // Nearest-ish double (truncated to 64 bits first); for diagnostics only.
    double approx() const;

    BigFloat operator-() const {
        BigFloat r = *this;
        if (!r.mag_.empty()) r.neg_ = !r.neg_;
        return r;
    }
    friend BigFloat operator+(const BigFloat& a, const BigFloat& b);
    friend BigFloat operator-(const BigFloat& a, const BigFloat& b);
    friend BigFloat operator*(const BigFloat& a, const BigFloat& b);
    friend int compare(const BigFloat& a, const BigFloat& b) { return (a - b).sign(); }

private:
    void normalize();

    std::vector<uint32_t> mag_;  // little-endian limbs, no zero limb at either end
    int64_t exp_ = 0;            // value = (neg_ ? -1 : 1) * mag_ * 2^exp_
    bool neg_ = false;
};

}  // namespace geom
