// The qdraft module: angles of normals to a pull direction, the draft mask and
// the per-vertex overhang test.
#include <cmath>
#include <limits>
#include <vector>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "binding/module.h"
#include "boolean/src/lib.h"
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

// Angle of every normal to `ref`, in radians, handed to `sink(i, angle)`. No
// clamping: products outside [-1, 1] give NaN.
template <class Normals, class Sink>
void _normals2angles(const Normals& normals, Vec3 ref, Sink&& sink) {
    normals.for_each([&](size_t i, Vec3 n) { sink(i, std::acos(dot_in_order(n, ref))); });
}

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
    std::vector<uint8_t> mask(normals.size());
    uint8_t* out = mask.data();
    normals.for_each([&](size_t i, Vec3 n) { out[i] = below(dot_in_order(n, ref)); });
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
    _normals2angles(normals, ref, [&](size_t i, double angle) {
        if (degrees) angle = angle * kDegreesPerRadian;
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
