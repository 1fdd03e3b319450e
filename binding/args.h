// Binding of fast-call arguments to a function's parameters, and their
// conversion under the parameter's name.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "binding/error.h"
#include "binding/python.h"

namespace bind {

// A function's name and its parameters' names, each written here only: the
// binding and the conversion errors take them from it.
template <std::size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> params;
};

namespace detail {
// Fills `slots` (borrowed references, nullptr when empty) or throws PyError.
void bind_arguments(const char* function, const char* const* params, std::size_t n,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots);
}  // namespace detail

// Throws `error` again as a TypeError prefixed "argument '{name}': ".
[[noreturn]] void throw_prefixed(const char* name, const PyError& error);

// Converts argument `obj` of parameter `name`; a conversion error whose class
// is exactly TypeError gets the prefix "argument '{name}': ".
template <class Conv>
auto convert_argument(const char* name, PyObject* obj, Conv conv) -> decltype(conv(obj)) {
    try {
        return conv(obj);
    } catch (const PyError& e) {
        if (!e.is_exact_type_error()) throw;
        throw_prefixed(name, e);
    }
}

// The arguments of one call, one per parameter of the signature (every
// parameter is required, so none is missing), as borrowed references.
template <std::size_t N>
class BoundArguments {
public:
    BoundArguments(const Signature<N>& sig, const std::array<PyObject*, N>& slots) : sig_(sig), slots_(slots) {}

    // The object given for parameter I.
    template <std::size_t I>
    PyObject* get() const {
        static_assert(I < N);
        return slots_[I];
    }

    // The argument of parameter I converted by `conv`, under that
    // parameter's name (see convert_argument).
    template <std::size_t I, class Conv>
    auto convert(Conv conv) const -> decltype(conv(std::declval<PyObject*>())) {
        static_assert(I < N);
        return convert_argument(sig_.params[I], slots_[I], conv);
    }

private:
    const Signature<N>& sig_;
    std::array<PyObject*, N> slots_;
};

// Binds the call's arguments to the signature's parameters, or throws the
// TypeError Python would give.
template <std::size_t N>
BoundArguments<N> bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    detail::bind_arguments(sig.function, sig.params.data(), N, args, nargsf, kwnames, slots.data());
    return {sig, slots};
}

}  // namespace bind
