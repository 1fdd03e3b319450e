// The qdraft module: angles of normals to a pull direction, the draft mask and
// the per-vertex overhang test.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "binding/module.h"
#include "boolean/src/lib.h"
#include "geometry/parallel.h"
#include "geometry/query/ray_cast.h"

namespace {

using bind::PointList;
using geom::Vec3;

constexpr double kDegreesPerRadian = 57.29577951308232;

// Product of a normal with the reference: accumulated x, then y, then z, each
// step rounded (no fused multiply-add).
inline double dot_in_order(Vec3 n, Vec3 ref) {
    double c = n.x * ref.x;
    c = c + n.y * ref.y;
    c = c + n.z * ref.z;
    return c;
}

// Angle of a normal to `ref`, in radians or degrees. No clamping: products
// outside [-1, 1] give NaN.
inline double angle_to(Vec3 n, Vec3 ref, bool degrees) {
    const double angle = std::acos(dot_in_order(n, ref));
    return degrees ? angle * kDegreesPerRadian : angle;
}

// Below this many normals a helper thread costs more than it saves.
constexpr size_t kHelperFrom = size_t{1} << 16;
constexpr size_t kStretch = 1024;
constexpr size_t kRing = 64;

// emit(i, angle) for every normal, in order. For many normals the angles are
// computed in stretches, claimed in turn by a helper thread and by this
// thread, which holds the GIL and also emits the finished stretches in order:
// the library acos (needed for bit-exact angles) then overlaps the creation of
// the result objects. Stretches in flight share a small ring of slots.
template <class Normals, class Emit>
void _normals2angles(const Normals& normals, Vec3 ref, bool degrees, Emit&& emit) {
    const size_t n = normals.size();
    if (n < kHelperFrom || !geom::have_second_processor()) {
        normals.for_each([&](size_t i, Vec3 v) { emit(i, angle_to(v, ref, degrees)); });
        return;
    }
    const size_t stretches = (n + kStretch - 1) / kStretch;
    const auto ring = std::make_unique_for_overwrite<double[]>(kRing * kStretch);
    // filled[slot] == k + 1 once stretch k is in that slot.
    const auto filled = std::make_unique<std::atomic<size_t>[]>(kRing);
    std::atomic<size_t> next{0}, emitted{0};

    // Computes the next stretch if there is one and its slot is free.
    const auto work = [&]() {
        size_t k = next.load(std::memory_order_relaxed);
        do {
            if (k >= stretches || k >= emitted.load(std::memory_order_acquire) + kRing) return false;
        } while (!next.compare_exchange_weak(k, k + 1, std::memory_order_relaxed));
        const size_t s = k * kStretch, e = std::min(n, s + kStretch);
        const Py_ssize_t rs = normals.row_stride(), cs = normals.col_stride();
        const char* row = normals.base() + static_cast<Py_ssize_t>(s) * rs;
        double* slot = ring.get() + (k % kRing) * kStretch;
        for (size_t i = s; i < e; ++i, row += rs) slot[i - s] = angle_to(Normals::load(row, cs), ref, degrees);
        filled[k % kRing].store(k + 1, std::memory_order_release);
        return true;
    };
    std::jthread helper;  // destroyed first: an emit that throws stops and joins it
    try {
        helper = std::jthread([&](std::stop_token stop) {
            while (!stop.stop_requested() && next.load(std::memory_order_relaxed) < stretches)
                if (!work()) std::this_thread::yield();
        });
    } catch (const std::system_error&) {
        // No thread to be had: this thread computes every stretch.
    }
    for (size_t k = 0; k < stretches; ++k) {
        while (filled[k % kRing].load(std::memory_order_acquire) != k + 1)
            if (!work()) std::this_thread::yield();
        const size_t s = k * kStretch, e = std::min(n, s + kStretch);
        const double* slot = ring.get() + (k % kRing) * kStretch;
        for (size_t i = s; i < e; ++i) emit(i, slot[i - s]);
        emitted.store(k + 1, std::memory_order_release);
    }
}

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
// decreasing, so the answer flips once on [-1, 1], at a threshold found by
// bisection with the library acos itself. Products farther than kMargin from
// it are decided by comparison: the library acos is accurate to a few ulps,
// far below kMargin, so it cannot order them differently. Products near the
// threshold, and everything outside [-1, 1], go through acos as they are.
class AcosBelow {
public:
    explicit AcosBelow(double value) : value_(value) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        if (!(std::acos(1.0) < value)) {
            sure_true_from_ = inf;  // never true
            sure_false_to_ = inf;
        } else if (std::acos(-1.0) < value) {
            sure_true_from_ = -1.0;  // true on all of [-1, 1]
            sure_false_to_ = -inf;
        } else {
            // Invariant: acos(lo) >= value, acos(hi) < value; -1 <= lo < hi <= 1.
            double lo = -1.0, hi = 1.0;
            while (true) {
                const double mid = lo * 0.5 + hi * 0.5;
                if (mid <= lo || mid >= hi) break;
                (std::acos(mid) < value ? hi : lo) = mid;
            }
            sure_true_from_ = hi + kMargin;
            sure_false_to_ = hi - kMargin;
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

template <class Normals>
std::vector<uint8_t> _draft_mask(const Normals& normals, Vec3 ref, double value, bool invert) {
    if (invert) ref = {-ref.x, -ref.y, -ref.z};
    const AcosBelow below(value);
    const size_t n = normals.size();
    std::vector<uint8_t> mask(n);
    uint8_t* out = mask.data();
    const char* row = normals.base();
    const Py_ssize_t rs = normals.row_stride(), cs = normals.col_stride();
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
    for (; i < n; ++i, row += rs) out[i] = below(dot_in_order(Normals::load(row, cs), ref));
    return mask;
}

// For every vertex: is the mesh ahead of it along `normal`? The ray starts
// 0.01 * normal beyond the vertex (normal is not normalised).
std::vector<uint8_t> _overhangs(const geom::TriMesh& mesh, Vec3 normal) {
    const Vec3 offset{normal.x * 0.01, normal.y * 0.01, normal.z * 0.01};
    // A zero direction makes n . d zero or NaN for every triangle: nothing blocks.
    if (normal == Vec3{}) return std::vector<uint8_t>(mesh.points().size(), 0);
    // Non-finite origins never block (the caster answers them without a search).
    geom::RayCaster caster(mesh);
    return caster.blocked_from(mesh.points(), offset, normal);
}

constexpr bind::Signature<3> kOverhangsSig{"overhangs", {"points", "tris", "normal"}};
constexpr bind::Signature<3> kNormals2AnglesSig{"normals2angles", {"normals", "ref_normal", "degrees"}};
constexpr bind::Signature<4> kDraftMaskSig{"draft_mask", {"normals", "ref_normal", "value", "invert"}};

PyObject* overhangs(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kOverhangsSig, args, nargsf, kwnames);
    bind::MeshLists lists;
    lists.points = bind::convert_argument("points", a[0], bind::to_point_list);
    lists.triangles = bind::convert_argument("tris", a[1], bind::to_triangle_list);
    const Vec3 normal = bind::convert_argument("normal", a[2], bind::to_vec3);

    const geom::TriMesh mesh = qboolean::mesh2trimesh(std::move(lists));
    return bind::bool_list(_overhangs(mesh, normal)).release();
}

PyObject* normals2angles(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kNormals2AnglesSig, args, nargsf, kwnames);
    const bool in_place = bind::vec3_converts_inertly(a[1]);
    const auto normals = bind::convert_argument("normals", a[0], [&](PyObject* o) { return bind::to_points_view(o, in_place); });
    const Vec3 ref = bind::convert_argument("ref_normal", a[1], bind::to_vec3);
    const bool degrees = bind::convert_argument("degrees", a[2], bind::to_bool);

    bind::Ref list(bind::checked(PyList_New(static_cast<Py_ssize_t>(normals.size()))));
    _normals2angles(normals, ref, degrees, [&](size_t i, double angle) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), bind::checked(PyFloat_FromDouble(angle)));
    });
    return list.release();
}

PyObject* draft_mask(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kDraftMaskSig, args, nargsf, kwnames);
    const bool in_place = bind::vec3_converts_inertly(a[1]) && bind::float_converts_inertly(a[2]);
    const auto normals = bind::convert_argument("normals", a[0], [&](PyObject* o) { return bind::to_points_view(o, in_place); });
    const Vec3 ref = bind::convert_argument("ref_normal", a[1], bind::to_vec3);
    const double value = bind::convert_argument("value", a[2], bind::to_float);
    const bool invert = bind::convert_argument("invert", a[3], bind::to_bool);
    return bind::bool_list(_draft_mask(normals, ref, value, invert)).release();
}

PyMethodDef overhangs_def = bind::method<overhangs>(
    "overhangs",
    "overhangs(points, tris, normal, /)\n--\n\n"
    "return mask: Vec<bool> of points indicating if the blocked by trifaces along normal");

PyMethodDef normals2angles_def = bind::method<normals2angles>(
    "normals2angles",
    "normals2angles(normals, ref_normal, degrees, /)\n--\n\n"
    "calculates angles in radians for normals compared to ref_normal\n\n"
    "warning: \nIt does **not** check if inputs are normalized nor does it normalize for you\n\n"
    "# args: \nnormals: Vec[r=n, c=3]\nnormal: Vec[r=3]\n\nreturns angles: Vec[r=n]");

PyMethodDef draft_mask_def = bind::method<draft_mask>(
    "draft_mask", "draft_mask(normals, ref_normal, value, invert,/)\n--\n\nreturns a mask: Vec<bool>");

PyModuleDef qdraft_def = {PyModuleDef_HEAD_INIT, "qdraft", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

void qdraft(PyObject* module) {
    bind::add_function(module, &overhangs_def);
    bind::add_function(module, &normals2angles_def);
    bind::add_function(module, &draft_mask_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_qdraft() { return bind::init_module(&qdraft_def, qdraft); }
