// The call entry every Python-visible function goes through.
#pragma once

#include "binding/error.h"
#include "binding/python.h"

namespace bind {

using FastBody = PyObject* (*)(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// Fast-call entry (METH_FASTCALL | METH_KEYWORDS) around `Body`, which binds,
// converts, analyses and builds the result; every failure becomes a Python
// exception here.
template <FastBody Body>
PyObject* call_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] { return Body(args, nargsf, kwnames); });
}

template <FastBody Body>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry<Body>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace bind
