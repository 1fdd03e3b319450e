// Python errors as C++ exceptions, the two exception classes of the system, and
// the guard that every call entry runs its body under.
#pragma once

#include <string>

#include "binding/python.h"
#include "binding/ref.h"

namespace bind {

// Process-wide exception classes, created on first use and kept for good.
PyObject* my_error_class();
PyObject* panic_exception_class();

// A Python exception to raise. Either described lazily (class + message, the
// class fetched only when raised) or fetched from the interpreter as it was.
class PyError {
public:
    using ClassAccessor = PyObject* (*)();

    static PyError lazy(ClassAccessor cls, std::string message);
    static PyError type_error(std::string message);
    static PyError value_error(std::string message);
    static PyError overflow_error(std::string message);

    // Takes the interpreter's pending error. A PanicException coming back from
    // Python code continues as a panic (throws ResumedPanic) instead.
    [[noreturn]] static void fetch_and_throw();

    // True when the error's class is exactly TypeError (not a subclass).
    bool is_exact_type_error() const;
    // str() of the exception; empty when that fails.
    std::string message_text() const;
    // Hands the error to the interpreter.
    void restore();

private:
    PyError() = default;

    ClassAccessor cls_ = nullptr;  // lazy
    std::string message_;
    Ref type_, value_, traceback_;  // fetched
};

// A panic that started in Python code (a PanicException raised by a caller's
// object) and continues through native code. No new report is written for it.
struct ResumedPanic {
    std::string message;
};

// The interpreter could not build a result object: print its error and panic.
[[noreturn]] void python_api_call_failed();

// Returns `p` or panics via python_api_call_failed() when it is null.
inline PyObject* checked(PyObject* p) {
    if (p == nullptr) python_api_call_failed();
    return p;
}

// The "{type}" of conversion messages: the qualified name of the object's type.
std::string type_qualname(PyObject* obj);

namespace detail {
PyObject* handle_current_exception() noexcept;
}  // namespace detail

// Runs `body` (returning a new reference) and turns every failure into a
// Python exception. Nothing escapes as a C++ exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return detail::handle_current_exception();
    }
}

}  // namespace bind
