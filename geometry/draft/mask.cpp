#include "geometry/draft/mask.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "geometry/draft/angles.h"

namespace geom::draft {

double acos_threshold(double value) {
    if (!(std::acos(1.0) < value)) return std::numeric_limits<double>::infinity();
    if (std::acos(-1.0) < value) return -1.0;
    // Invariant: acos(lo) >= value, acos(hi) < value; -1 <= lo < hi <= 1. So
    // the bisection never ends at -1, which stays the answer for "all".
    double lo = -1.0, hi = 1.0;
    while (true) {
        const double mid = lo * 0.5 + hi * 0.5;
        if (mid <= lo || mid >= hi) break;
        (std::acos(mid) < value ? hi : lo) = mid;
    }
    return hi;
}

namespace {

#if defined(__GNUC__)
// Two normals at a time, one per vector lane: lane by lane the same rounded
// operations as dot_in_order and AcosBelow, so the same answers.
using Pair = double __attribute__((vector_size(16)));
using PairMask = decltype(Pair{} < Pair{});

inline double load_double(const char* p) {
    double d;
    std::memcpy(&d, p, 8);
    return d;
}
#endif

// Decides acos(c) < value without calling acos for most c. acos is
// decreasing, so the answer flips once on [-1, 1], at acos_threshold.
// Products farther than kMargin from it are decided by comparison: the
// library acos is accurate to a few ulps, far below kMargin, so it cannot
// order them differently. Products near the threshold, and everything outside
// [-1, 1], go through acos as they are.
class AcosBelow {
public:
    explicit AcosBelow(double value) : value_(value) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const double threshold = acos_threshold(value);
        if (threshold == inf) {
            sure_true_from_ = inf;  // never true
            sure_false_to_ = inf;
        } else if (threshold == -1.0) {
            sure_true_from_ = -1.0;  // true on all of [-1, 1]
            sure_false_to_ = -inf;
        } else {
            sure_true_from_ = threshold + kMargin;
            sure_false_to_ = threshold - kMargin;
        }
    }

    bool operator()(double c) const {
        const bool yes = (c >= sure_true_from_) & (c <= 1.0);
        const bool no = (c <= sure_false_to_) & (c >= -1.0);
        if (yes | no) [[likely]]
            return yes;
        return std::acos(c) < value_;
    }

#if defined(__GNUC__)
    // For two products: lanes that are surely true, and lanes decided without acos.
    struct PairAnswer {
        PairMask yes;
        PairMask decided;
    };
    PairAnswer pair(Pair c) const {
        const Pair from = {sure_true_from_, sure_true_from_}, to = {sure_false_to_, sure_false_to_};
        const Pair one = {1.0, 1.0}, minus_one = {-1.0, -1.0};
        const PairMask yes = (c >= from) & (c <= one);
        const PairMask no = (c <= to) & (c >= minus_one);
        return {yes, yes | no};
    }
#endif

private:
    static constexpr double kMargin = 1e-9;
    double value_;
    double sure_true_from_;
    double sure_false_to_;
};

}  // namespace

std::vector<uint8_t> _draft_mask(const StridedVec3View& normals, Vec3 ref, double value, bool invert) {
    if (invert) ref = {-ref.x, -ref.y, -ref.z};
    const AcosBelow below(value);
    const size_t n = normals.size();
    std::vector<uint8_t> mask(n);
    uint8_t* out = mask.data();
    const char* row = normals.base();
    const std::ptrdiff_t rs = normals.row_stride(), cs = normals.col_stride();
    size_t i = 0;
#if defined(__GNUC__)
    const Pair rx = {ref.x, ref.x}, ry = {ref.y, ref.y}, rz = {ref.z, ref.z};
    for (; i + 2 <= n; i += 2, row += 2 * rs) {
        const char* next = row + rs;
        const Pair x = {load_double(row), load_double(next)};
        const Pair y = {load_double(row + cs), load_double(next + cs)};
        const Pair z = {load_double(row + 2 * cs), load_double(next + 2 * cs)};
        Pair c = x * rx;
        c = c + y * ry;
        c = c + z * rz;
        const auto [yes, decided] = below.pair(c);
        if (decided[0] & decided[1]) [[likely]] {
            out[i] = yes[0] & 1;
            out[i + 1] = yes[1] & 1;
        } else {
            out[i] = below(c[0]);
            out[i + 1] = below(c[1]);
        }
    }
#endif
    for (; i < n; ++i, row += rs) out[i] = below(dot_in_order(StridedVec3View::load(row, cs), ref));
    return mask;
}

}  // namespace geom::draft
