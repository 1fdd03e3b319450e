#include "geometry/predicates/bigfloat.h"

#include <algorithm>
#include <cmath>

namespace geom {

namespace {

using Limbs = std::vector<uint32_t>;

// mag << bits
Limbs shifted(const Limbs& mag, uint64_t bits) {
    const size_t whole = static_cast<size_t>(bits / 32);
    const unsigned part = static_cast<unsigned>(bits % 32);
    Limbs out(whole, 0u);
    out.reserve(whole + mag.size() + 1);
    if (part == 0) {
        out.insert(out.end(), mag.begin(), mag.end());
        return out;
    }
    uint32_t carry = 0;
    for (uint32_t limb : mag) {
        out.push_back((limb << part) | carry);
        carry = limb >> (32 - part);
    }
    if (carry != 0) out.push_back(carry);
    return out;
}

int compare_mag(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

Limbs add_mag(const Limbs& a, const Limbs& b) {
    const Limbs& lo = a.size() < b.size() ? a : b;
    const Limbs& hi = a.size() < b.size() ? b : a;
    Limbs out(hi.size() + 1, 0u);
    uint64_t carry = 0;
    for (size_t i = 0; i < hi.size(); ++i) {
        uint64_t s = carry + hi[i] + (i < lo.size() ? lo[i] : 0u);
        out[i] = static_cast<uint32_t>(s);
        carry = s >> 32;
    }
    out[hi.size()] = static_cast<uint32_t>(carry);
    return out;
}

// a - b, requires a >= b
Limbs sub_mag(const Limbs& a, const Limbs& b) {
    Limbs out(a.size(), 0u);
    int64_t borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        int64_t d = static_cast<int64_t>(a[i]) - (i < b.size() ? b[i] : 0u) - borrow;
        borrow = d < 0 ? 1 : 0;
        out[i] = static_cast<uint32_t>(d + (borrow << 32));
    }
    return out;
}

}  // namespace

BigFloat::BigFloat(double v) {
    if (v == 0.0 || !std::isfinite(v)) return;
    int e = 0;
    const double f = std::frexp(std::fabs(v), &e);  // f in [0.5, 1)
    const auto m = static_cast<uint64_t>(std::ldexp(f, 53));
    mag_ = {static_cast<uint32_t>(m), static_cast<uint32_t>(m >> 32)};
    exp_ = static_cast<int64_t>(e) - 53;
    neg_ = v < 0;
    normalize();
}

void BigFloat::normalize() {
    while (!mag_.empty() && mag_.back() == 0) mag_.pop_back();
    size_t low = 0;
    while (low < mag_.size() && mag_[low] == 0) ++low;
    if (low > 0) {
        mag_.erase(mag_.begin(), mag_.begin() + static_cast<std::ptrdiff_t>(low));
        exp_ += 32 * static_cast<int64_t>(low);
    }
    if (mag_.empty()) {
        exp_ = 0;
        neg_ = false;
    }
}

double BigFloat::approx() const {
    if (mag_.empty()) return 0.0;
    const size_t n = mag_.size();
    double top = static_cast<double>(mag_[n - 1]);
    if (n >= 2) top = top * 4294967296.0 + static_cast<double>(mag_[n - 2]);
    const int64_t e = exp_ + 32 * static_cast<int64_t>(n >= 2 ? n - 2 : n - 1);
    const int clamped = static_cast<int>(std::clamp<int64_t>(e, -4000, 4000));
    const double r = std::ldexp(top, clamped);
    return neg_ ? -r : r;
}

BigFloat operator+(const BigFloat& a, const BigFloat& b) {
    if (a.mag_.empty()) return b;
    if (b.mag_.empty()) return a;
    const int64_t e = std::min(a.exp_, b.exp_);
    const Limbs am = shifted(a.mag_, static_cast<uint64_t>(a.exp_ - e));
    const Limbs bm = shifted(b.mag_, static_cast<uint64_t>(b.exp_ - e));
    BigFloat r;
    r.exp_ = e;
    if (a.neg_ == b.neg_) {
        r.mag_ = add_mag(am, bm);
        r.neg_ = a.neg_;
    } else {
        const int c = compare_mag(am, bm);
        if (c == 0) return BigFloat();
        r.mag_ = c > 0 ? sub_mag(am, bm) : sub_mag(bm, am);
        r.neg_ = c > 0 ? a.neg_ : b.neg_;
    }
    r.normalize();
    return r;
}

BigFloat operator-(const BigFloat& a, const BigFloat& b) { return a + (-b); }

BigFloat operator*(const BigFloat& a, const BigFloat& b) {
    if (a.mag_.empty() || b.mag_.empty()) return BigFloat();
    BigFloat r;
    r.mag_.assign(a.mag_.size() + b.mag_.size(), 0u);
    for (size_t i = 0; i < a.mag_.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.mag_.size(); ++j) {
            uint64_t cur = static_cast<uint64_t>(a.mag_[i]) * b.mag_[j] + r.mag_[i + j] + carry;
            r.mag_[i + j] = static_cast<uint32_t>(cur);
            carry = cur >> 32;
        }
        size_t k = i + b.mag_.size();
        while (carry != 0) {
            uint64_t cur = static_cast<uint64_t>(r.mag_[k]) + carry;
            r.mag_[k] = static_cast<uint32_t>(cur);
            carry = cur >> 32;
            ++k;
        }
    }
    r.exp_ = a.exp_ + b.exp_;
    r.neg_ = a.neg_ != b.neg_;
    r.normalize();
    return r;
}

}  // namespace geom
