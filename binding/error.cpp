#include "binding/error.h"

#include <cstdio>
#include <exception>
#include <new>
#include <source_location>

#include "geometry/panic.h"

namespace bind {
namespace {

PyObject* g_my_error = nullptr;
PyObject* g_panic_exception = nullptr;
constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";

// The object is installed twice (as qdraft and as qboolean), and the dynamic
// loader keeps a separate copy of this file's statics for each, so the classes
// live in the interpreter's extension dictionary (not reachable from Python)
// where both copies find them. Creation may re-enter the interpreter; the
// first class stored wins.
PyObject* shared_classes() { return PyInterpreterState_GetDict(PyInterpreterState_Get()); }

std::string class_key(const char* dotted_name) { return std::string("qgeom:") + dotted_name; }

// The class if either copy has created it already, else null; creates nothing.
PyObject* existing_class(PyObject* cache, const char* dotted_name) {
    if (cache != nullptr) return cache;
    PyObject* shared = shared_classes();
    return shared != nullptr ? PyDict_GetItemString(shared, class_key(dotted_name).c_str()) : nullptr;
}

// The classes' modules ("module", "pyo3_runtime") cannot be imported, so
// pickle cannot find them by name: an instance reduces instead to
// qboolean._restore_exception(dotted name, args), which another process can
// import and call (a pool worker's failure then reaches the parent).
PyObject* reduce_exception(PyObject* self, PyObject* /*unused*/) {
    return guarded([&]() -> PyObject* {
        Ref module(PyImport_ImportModule("qboolean"));
        if (!module) PyError::fetch_and_throw();
        Ref restore(PyObject_GetAttrString(module.get(), "_restore_exception"));
        if (!restore) PyError::fetch_and_throw();
        Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__module__"));
        Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__qualname__"));
        if (!name || !qualname) PyError::fetch_and_throw();
        Ref dotted(PyUnicode_FromFormat("%U.%U", name.get(), qualname.get()));
        Ref args(PyObject_GetAttrString(self, "args"));
        if (!dotted || !args) PyError::fetch_and_throw();
        // Attributes set on the instance (notes, say) travel as its state.
        Ref state(PyObject_GenericGetDict(self, nullptr));
        if (!state) PyError::fetch_and_throw();
        Ref call_args(PyTuple_Pack(2, dotted.get(), args.get()));
        if (!call_args) PyError::fetch_and_throw();
        Ref out(PyDict_Size(state.get()) > 0 ? PyTuple_Pack(3, restore.get(), call_args.get(), state.get())
                                             : PyTuple_Pack(2, restore.get(), call_args.get()));
        if (!out) PyError::fetch_and_throw();
        return out.release();
    });
}

PyMethodDef reduce_def = {"__reduce__", reduce_exception, METH_NOARGS, nullptr};

PyObject* lazy_class(PyObject*& cache, const char* dotted_name, PyObject* base) {
    if (cache != nullptr) return cache;
    PyObject* shared = shared_classes();
    if (shared == nullptr) return nullptr;
    const std::string key = class_key(dotted_name);
    PyObject* found = PyDict_GetItemString(shared, key.c_str());  // borrowed
    if (found == nullptr) {
        Ref created(PyErr_NewException(dotted_name, base, nullptr));
        if (!created) return nullptr;
        Ref reduce(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(created.get()), &reduce_def));
        if (!reduce || PyObject_SetAttrString(created.get(), "__reduce__", reduce.get()) < 0) return nullptr;
        found = PyDict_GetItemString(shared, key.c_str());
        if (found == nullptr) {
            if (PyDict_SetItemString(shared, key.c_str(), created.get()) < 0) return nullptr;
            found = created.get();
        }
    }
    if (cache == nullptr) {
        Py_INCREF(found);
        cache = found;
    }
    return cache;
}

Ref text(const std::string& s) {
    return Ref(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

void write_stderr(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stderr);
    std::fflush(stderr);
}

void report_panic(const std::string& message, const std::source_location& where) {
    write_stderr("panic at " + std::string(where.file_name()) + ":" + std::to_string(where.line()) +
                 ": " + message + "\n");
}

}  // namespace

PyObject* my_error_class() { return lazy_class(g_my_error, "module.MyError", PyExc_Exception); }

PyObject* panic_exception_class() {
    return lazy_class(g_panic_exception, kPanicExceptionName, PyExc_BaseException);
}

PyError PyError::lazy(ClassAccessor cls, std::string message) {
    PyError e;
    e.cls_ = cls;
    e.message_ = std::move(message);
    return e;
}

PyError PyError::type_error(std::string message) {
    return lazy([] { return PyExc_TypeError; }, std::move(message));
}
PyError PyError::value_error(std::string message) {
    return lazy([] { return PyExc_ValueError; }, std::move(message));
}
PyError PyError::overflow_error(std::string message) {
    return lazy([] { return PyExc_OverflowError; }, std::move(message));
}

void PyError::fetch_and_throw() {
    PyError e;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc != nullptr) {
        e.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        e.traceback_ = Ref(PyException_GetTraceback(exc));
        e.value_ = Ref(exc);
    }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    e.type_ = Ref(type);
    e.value_ = Ref(value);
    e.traceback_ = Ref(tb);
#endif
    if (!e.type_) {
        throw lazy([] { return PyExc_SystemError; },
                   "attempted to fetch exception but none was set");
    }
    PyObject* panic_class = existing_class(g_panic_exception, kPanicExceptionName);
    if (panic_class != nullptr && e.type_.get() == panic_class) {
        std::string message = "Unwrapped panic from Python code";
        if (e.value_ && PyUnicode_Check(e.value_.get())) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(e.value_.get(), &size);
            if (utf8 != nullptr) {
                message.assign(utf8, static_cast<size_t>(size));
            } else {
                PyErr_Clear();
            }
        }
        write_stderr("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
        write_stderr("Python stack trace below:\n");
        e.restore();
        PyErr_PrintEx(0);
        throw ResumedPanic{std::move(message)};
    }
    throw e;
}

bool PyError::is_exact_type_error() const {
    if (cls_ != nullptr) return cls_() == PyExc_TypeError;
    return type_.get() == PyExc_TypeError;
}

std::string PyError::message_text() const {
    if (cls_ != nullptr) return message_;
    Ref value;
#if PY_VERSION_HEX >= 0x030C0000
    value = Ref::borrow(value_.get());
#else
    PyObject *type = type_.get(), *val = value_.get(), *tb = traceback_.get();
    Py_XINCREF(type);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    PyErr_NormalizeException(&type, &val, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    value = Ref(val);
#endif
    if (!value) return {};
    Ref str(PyObject_Str(value.get()));
    if (!str) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(utf8, static_cast<size_t>(size));
}

void PyError::restore() {
    if (cls_ != nullptr) {
        PyObject* cls = cls_();
        if (cls == nullptr) return;  // creating the class failed; its error is pending
        Ref msg = text(message_);
        if (!msg) return;
        PyErr_SetObject(cls, msg.get());
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    type_ = Ref();
    traceback_ = Ref();
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

void python_api_call_failed() {
    if (PyErr_Occurred()) PyErr_Print();
    geom::panic("Python API call failed");
}

std::string type_qualname(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8 != nullptr) return std::string(utf8, static_cast<size_t>(size));
    }
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
}

namespace detail {

void translate_current_exception();

PyObject* handle_current_exception() noexcept {
    try {
        translate_current_exception();
    } catch (...) {
        // Even the error could not be built (out of memory).
        PyErr_NoMemory();
    }
    return nullptr;
}

void translate_current_exception() {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (ResumedPanic& p) {
        PyError::lazy(panic_exception_class, std::move(p.message)).restore();
    } catch (const geom::Panic& p) {
        report_panic(p.what(), p.where());
        PyError::lazy(panic_exception_class, p.what()).restore();
    } catch (const std::bad_alloc&) {
        // Out of memory is the caller's to handle, as for any Python code.
        PyErr_NoMemory();
    } catch (const std::exception& ex) {
        report_panic(ex.what(), std::source_location::current());
        PyError::lazy(panic_exception_class, ex.what()).restore();
    } catch (...) {
        report_panic("unknown native failure", std::source_location::current());
        PyError::lazy(panic_exception_class, "unknown native failure").restore();
    }
}

}  // namespace detail
}  // namespace bind
