// The qdraft module: angles of normals to a pull direction, the draft mask and
// the per-vertex overhang test.
#include <cmath>
#include <vector>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "binding/module.h"

namespace {

using bind::PointList;
using geom::Vec3;

constexpr double kDegreesPerRadian = 57.29577951308232;

// Angle of every normal to `ref`, in radians. The dot product is accumulated
// x, then y, then z, each step rounded (no fused multiply-add); no clamping,
// so products outside [-1, 1] give NaN.
std::vector<double> _normals2angles(const PointList& normals, Vec3 ref) {
    std::vector<double> angles(normals.size());
    for (size_t i = 0; i < normals.size(); ++i) {
        const Vec3& n = normals[i];
        double c = n.x * ref.x;
        c = c + n.y * ref.y;
        c = c + n.z * ref.z;
        angles[i] = std::acos(c);
    }
    return angles;
}

std::vector<bool> _draft_mask(const PointList& normals, Vec3 ref, double value, bool invert) {
    if (invert) ref = {-ref.x, -ref.y, -ref.z};
    const std::vector<double> angles = _normals2angles(normals, ref);
    std::vector<bool> mask(angles.size());
    for (size_t i = 0; i < angles.size(); ++i) mask[i] = angles[i] < value;
    return mask;
}

constexpr bind::Signature<3> kNormals2AnglesSig{"normals2angles", {"normals", "ref_normal", "degrees"}};
constexpr bind::Signature<4> kDraftMaskSig{"draft_mask", {"normals", "ref_normal", "value", "invert"}};

PyObject* normals2angles(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kNormals2AnglesSig, args, nargsf, kwnames);
    const PointList normals = bind::convert_argument("normals", a[0], bind::to_point_list);
    const Vec3 ref = bind::convert_argument("ref_normal", a[1], bind::to_vec3);
    const bool degrees = bind::convert_argument("degrees", a[2], bind::to_bool);

    std::vector<double> angles = _normals2angles(normals, ref);
    if (degrees)
        for (double& angle : angles) angle = angle * kDegreesPerRadian;
    return bind::float_list(angles).release();
}

PyObject* draft_mask(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kDraftMaskSig, args, nargsf, kwnames);
    const PointList normals = bind::convert_argument("normals", a[0], bind::to_point_list);
    const Vec3 ref = bind::convert_argument("ref_normal", a[1], bind::to_vec3);
    const double value = bind::convert_argument("value", a[2], bind::to_float);
    const bool invert = bind::convert_argument("invert", a[3], bind::to_bool);
    return bind::bool_list(_draft_mask(normals, ref, value, invert)).release();
}

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
    bind::add_function(module, &normals2angles_def);
    bind::add_function(module, &draft_mask_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_qdraft() { return bind::init_module(&qdraft_def, qdraft); }
