// Conversions between Python objects and the native values the analyses take.
// Every conversion throws PyError (or ResumedPanic) on failure.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "binding/python.h"
#include "binding/ref.h"
#include "geometry/vec3.h"

namespace bind {

using Triangle = std::array<uint32_t, 3>;
using PointList = std::vector<geom::Vec3>;
using TriangleList = std::vector<Triangle>;

struct MeshLists {
    PointList points;
    TriangleList triangles;
};

double to_float(PyObject* obj);
uint32_t to_index(PyObject* obj);
bool to_bool(PyObject* obj);
geom::Vec3 to_vec3(PyObject* obj);
Triangle to_index_triple(PyObject* obj);
PointList to_point_list(PyObject* obj);
TriangleList to_triangle_list(PyObject* obj);
MeshLists to_mesh_lists(PyObject* obj);

// Converts argument `obj` of parameter `name`; a conversion error whose class
// is exactly TypeError gets the prefix "argument '{name}': ".
template <class Conv>
auto convert_argument(const char* name, PyObject* obj, Conv conv) -> decltype(conv(obj));

// Result objects, created at their final length and filled by position.
Ref bool_list(const std::vector<bool>& values);
Ref float_list(const std::vector<double>& values);
Ref float_triple_list(const PointList& points);
Ref index_triple_list(const TriangleList& triangles);
Ref unsigned_list(const std::vector<uint64_t>& values);

[[noreturn]] void throw_prefixed(const char* name, const class PyError& error);

}  // namespace bind

#include "binding/error.h"

namespace bind {

template <class Conv>
auto convert_argument(const char* name, PyObject* obj, Conv conv) -> decltype(conv(obj)) {
    try {
        return conv(obj);
    } catch (const PyError& e) {
        if (!e.is_exact_type_error()) throw;
        throw_prefixed(name, e);
    }
}

}  // namespace bind
