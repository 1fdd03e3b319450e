// The qboolean module: intersection and difference of two closed triangle
// meshes, and the conversion between plain lists and the geometry library's
// triangle mesh.
#include "binding/module.h"

namespace {

PyModuleDef qboolean_def = {PyModuleDef_HEAD_INIT, "qboolean", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

void qboolean(PyObject* /*module*/) {}

}  // namespace

PyMODINIT_FUNC PyInit_qboolean() { return bind::init_module(&qboolean_def, qboolean); }
