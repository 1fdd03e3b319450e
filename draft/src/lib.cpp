// The qdraft module: angles of normals to a pull direction, the draft mask and
// the per-vertex overhang test. The analyses live in geometry/draft; this is
// only their Python face.
#include <utility>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "binding/module.h"
#include "boolean/src/lib.h"
#include "geometry/draft/angles.h"
#include "geometry/draft/mask.h"
#include "geometry/draft/overhangs.h"

namespace {

using geom::Vec3;

constexpr bind::Signature<3> kOverhangsSig{"overhangs", {"points", "tris", "normal"}};
constexpr bind::Signature<3> kNormals2AnglesSig{"normals2angles", {"normals", "ref_normal", "degrees"}};
constexpr bind::Signature<4> kDraftMaskSig{"draft_mask", {"normals", "ref_normal", "value", "invert"}};

PyObject* overhangs(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kOverhangsSig, args, nargsf, kwnames);
    bind::MeshLists lists;
    lists.points = a.convert<0>(bind::to_point_list);
    lists.triangles = a.convert<1>(bind::to_triangle_list);
    const Vec3 normal = a.convert<2>(bind::to_vec3);

    const geom::TriMesh mesh = qboolean::mesh2trimesh(std::move(lists));
    return bind::bool_list(geom::draft::_overhangs(mesh, normal)).release();
}

PyObject* normals2angles(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kNormals2AnglesSig, args, nargsf, kwnames);
    // The floats are made here, holding the GIL, while a helper thread may be
    // computing the angles that follow. An array read in place must not meet
    // a collection (its finalizers could resize or rewrite the array) before
    // the last angle is computed: the collector is held off from before the
    // array is taken.
    const bind::GcPause pause;
    const bool in_place = bind::vec3_converts_inertly(a.get<1>());
    const auto normals = a.convert<0>([&](PyObject* o) { return bind::to_points_view(o, in_place); });
    const Vec3 ref = a.convert<1>(bind::to_vec3);
    const bool degrees = a.convert<2>(bind::to_bool);
    bind::Ref list(bind::checked(PyList_New(static_cast<Py_ssize_t>(normals.size()))));
    geom::draft::_normals2angles(normals.rows(), ref, degrees, [&](size_t i, double angle) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), bind::checked(PyFloat_FromDouble(angle)));
    });
    return list.release();
}

PyObject* draft_mask(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kDraftMaskSig, args, nargsf, kwnames);
    const bool in_place = bind::vec3_converts_inertly(a.get<1>()) && bind::float_converts_inertly(a.get<2>());
    const auto normals = a.convert<0>([&](PyObject* o) { return bind::to_points_view(o, in_place); });
    const Vec3 ref = a.convert<1>(bind::to_vec3);
    const double value = a.convert<2>(bind::to_float);
    const bool invert = a.convert<3>(bind::to_bool);
    return bind::bool_list(geom::draft::_draft_mask(normals.rows(), ref, value, invert)).release();
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
