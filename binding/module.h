// Module creation and function registration shared by both modules.
#pragma once

#include "binding/python.h"

namespace bind {

using RegisterFunctions = void (*)(PyObject* module);

// Builds a fresh module from `def` and lets `body` register its functions.
// Returns a new reference, or null with the error set.
PyObject* init_module(PyModuleDef* def, RegisterFunctions body) noexcept;

enum class Listed : bool { No, Yes };

// Creates the function object bound to `module` and adds it to the module
// and, unless it is a helper (Listed::No), to its __all__. Throws PyError on
// failure.
void add_function(PyObject* module, PyMethodDef* def, Listed listed = Listed::Yes);

}  // namespace bind
