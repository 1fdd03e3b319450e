// The qboolean module: intersection and difference of two closed triangle
// meshes, and the conversion between plain lists and the geometry library's
// triangle mesh.
#include "boolean/src/lib.h"

#include <cstdio>
#include <optional>

#include "binding/args.h"
#include "binding/entry.h"
#include "binding/module.h"
#include "geometry/intersection/tracked.h"
#include "geometry/parallel.h"

namespace qboolean {

geom::TriMesh mesh2trimesh(bind::MeshLists&& mesh) {
    return geom::TriMesh::build(std::move(mesh.points), std::move(mesh.triangles));
}

bind::MeshLists trimesh2mesh(geom::TriMesh&& mesh) { return std::move(mesh).release(); }

using IntersectResult = std::pair<bind::MeshLists, geom::TrackingCounts>;

// The intersection of the two meshes' regions (a mesh flipped is taken
// inside-out), or nothing when it has no triangle or the routine failed.
std::optional<IntersectResult> intersect(bind::MeshLists&& m1, bind::MeshLists&& m2, bool flip1, bool flip2) {
    // Meshes of extreme magnitude are intersected near 1 and the result scaled back, exactly.
    const int shift = geom::magnitude_shift(m1.points, m2.points);
    geom::scale_points(m1.points, shift);
    geom::scale_points(m2.points, shift);
    // Each mesh with its hierarchy (boxes fitted), topology and pseudo-normals,
    // side by side when there is enough work; the intersection then finds
    // them built.
    const bool split = m1.triangles.size() + m2.triangles.size() >= geom::kPrepareMeshesSplitFrom;
    geom::TriMesh mesh1, mesh2;
    const auto prepare = [](bind::MeshLists& lists, geom::TriMesh& mesh) {
        mesh = mesh2trimesh(std::move(lists));
        mesh.fit_bvh();
        mesh.compute_topology();
        mesh.compute_pseudo_normals();
    };
    geom::run_both(split, [&] { prepare(m1, mesh1); }, [&] { prepare(m2, mesh2); });
    geom::TrackedOutcome outcome = geom::tracked_intersection(mesh1, flip1, mesh2, flip2);
    if (const auto* error = std::get_if<geom::MeshIntersectionError>(&outcome)) {
        std::printf("Error %s\n", geom::display(*error));
        std::fflush(stdout);
        return std::nullopt;
    }
    auto& result = std::get<std::optional<geom::TrackedMesh>>(outcome);
    if (!result) return std::nullopt;
    geom::scale_points(result->points, -shift);
    return IntersectResult{bind::MeshLists{std::move(result->points), std::move(result->triangles)},
                           result->counts};
}

}  // namespace qboolean

namespace {

constexpr bind::Signature<4> kPyIntersectSig{"pyintersect", {"m1", "m2", "flip1", "flip2"}};

PyObject* pyintersect(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kPyIntersectSig, args, nargsf, kwnames);
    bind::MeshLists m1 = a.convert<0>(bind::to_mesh_lists);
    bind::MeshLists m2 = a.convert<1>(bind::to_mesh_lists);
    const bool flip1 = a.convert<2>(bind::to_bool);
    const bool flip2 = a.convert<3>(bind::to_bool);

    std::optional<qboolean::IntersectResult> result = qboolean::intersect(std::move(m1), std::move(m2), flip1, flip2);
    if (!result) throw bind::PyError::lazy(bind::my_error_class, "derp");

    auto& [mesh, counts] = *result;
    bind::Ref points = bind::float_triple_list(mesh.points);
    mesh.points = {};
    bind::Ref triangles = bind::index_triple_list(mesh.triangles);
    mesh.triangles = {};
    bind::Ref tracking = bind::unsigned_list({counts.begin(), counts.end()});
    bind::Ref pair(bind::checked(PyTuple_New(2)));
    PyTuple_SET_ITEM(pair.get(), 0, points.release());
    PyTuple_SET_ITEM(pair.get(), 1, triangles.release());
    bind::Ref outer(bind::checked(PyTuple_New(2)));
    PyTuple_SET_ITEM(outer.get(), 0, pair.release());
    PyTuple_SET_ITEM(outer.get(), 1, tracking.release());
    return outer.release();
}

PyMethodDef pyintersect_def = bind::method<pyintersect>("pyintersect", "");

constexpr bind::Signature<2> kRestoreSig{"_restore_exception", {"name", "args"}};

// Rebuilds a pickled MyError or PanicException (see their __reduce__).
PyObject* restore_exception(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const auto a = bind::bind_arguments(kRestoreSig, args, nargsf, kwnames);
    PyObject* name = a.get<0>();
    PyObject* cls = nullptr;
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "module.MyError") == 0) {
        cls = bind::my_error_class();
    } else if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "pyo3_runtime.PanicException") == 0) {
        cls = bind::panic_exception_class();
    } else {
        throw bind::PyError::value_error("not an exception class of this module");
    }
    if (cls == nullptr) bind::PyError::fetch_and_throw();
    if (!PyTuple_Check(a.get<1>())) throw bind::PyError::type_error("args must be a tuple");
    PyObject* made = PyObject_Call(cls, a.get<1>(), nullptr);
    if (made == nullptr) bind::PyError::fetch_and_throw();
    return made;
}

PyMethodDef restore_exception_def = bind::method<restore_exception>(
    "_restore_exception", "_restore_exception(name, args, /)\n--\n\nrebuilds a pickled MyError or PanicException");

PyModuleDef qboolean_def = {PyModuleDef_HEAD_INIT, "qboolean", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

void qboolean_body(PyObject* module) {
    bind::add_function(module, &pyintersect_def);
    bind::add_function(module, &restore_exception_def, bind::Listed::No);
}

}  // namespace

PyMODINIT_FUNC PyInit_qboolean() { return bind::init_module(&qboolean_def, qboolean_body); }
