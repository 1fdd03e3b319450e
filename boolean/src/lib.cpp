// The qboolean module: intersection and difference of two closed triangle
// meshes, and the conversion between plain lists and the geometry library's
// triangle mesh.
#include "boolean/src/lib.h"

#include "binding/module.h"

namespace qboolean {

geom::TriMesh mesh2trimesh(bind::MeshLists&& mesh) {
    return geom::TriMesh::build(std::move(mesh.points), std::move(mesh.triangles));
}

bind::MeshLists trimesh2mesh(geom::TriMesh&& mesh) {
    auto [points, triangles] = std::move(mesh).release();
    return {std::move(points), std::move(triangles)};
}

}  // namespace qboolean

namespace {

PyModuleDef qboolean_def = {PyModuleDef_HEAD_INIT, "qboolean", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

void qboolean_body(PyObject* /*module*/) {}

}  // namespace

PyMODINIT_FUNC PyInit_qboolean() { return bind::init_module(&qboolean_def, qboolean_body); }
