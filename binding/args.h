// Binding of fast-call arguments to a function's parameters.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "binding/python.h"

namespace bind {

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

// Returns one borrowed reference per parameter, in parameter order.
template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const Signature<N>& sig, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    detail::bind_arguments(sig.function, sig.params.data(), N, args, nargsf, kwnames, slots.data());
    return slots;
}

}  // namespace bind
