#include "binding/module.h"

#include "binding/error.h"
#include "binding/ref.h"

namespace bind {

PyObject* init_module(PyModuleDef* def, RegisterFunctions body) noexcept {
    return guarded([&]() -> PyObject* {
        Ref module(PyModule_Create2(def, 1013));
        if (!module) PyError::fetch_and_throw();
        body(module.get());
        return module.release();
    });
}

void add_function(PyObject* module, PyMethodDef* def, Listed listed) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) PyError::fetch_and_throw();
    Ref function(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) PyError::fetch_and_throw();

    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) PyError::fetch_and_throw();
    if (!PyUnicode_Check(name.get()))
        throw PyError::type_error("'" + type_qualname(name.get()) + "' object cannot be converted to 'PyString'");

    if (listed == Listed::No) {
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) PyError::fetch_and_throw();
        return;
    }
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PyError::fetch_and_throw();
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all) PyError::fetch_and_throw();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) PyError::fetch_and_throw();
    } else if (!PyList_Check(all.get())) {
        throw PyError::type_error("'" + type_qualname(all.get()) + "' object cannot be converted to 'PyList'");
    }
    if (PyList_Append(all.get(), name.get()) < 0) PyError::fetch_and_throw();
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) PyError::fetch_and_throw();
}

}  // namespace bind
