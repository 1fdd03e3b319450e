// Conversions between Python objects and the native values the analyses take.
// Every conversion throws PyError (or ResumedPanic) on failure.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
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

class Buffer;

// Points read from an argument: copied, or, for a float64 array, read in place.
// In place is allowed only when no Python code can run between this conversion
// and the analysis, since that code could change the array's values.
class PointsView {
public:
    PointsView(PointsView&&) noexcept;
    ~PointsView();

    size_t size() const { return size_; }
    // The rows as memory: point i's x at base() + i * row_stride(), y and z
    // each col_stride() further. A copy is laid out the same way.
    const char* base() const { return base_; }
    Py_ssize_t row_stride() const { return row_stride_; }
    Py_ssize_t col_stride() const { return col_stride_; }

    // f(i, point) for every point, with the layout held in locals so that the
    // caller's stores cannot force it to be reloaded on every step.
    template <class F>
    void for_each(F&& f) const {
        const size_t n = size_;
        const char* row = base_;
        const Py_ssize_t rs = row_stride_, cs = col_stride_;
        for (size_t i = 0; i < n; ++i, row += rs) f(i, load(row, cs));
    }

    static geom::Vec3 load(const char* row, Py_ssize_t col_stride) {
        geom::Vec3 v;
        std::memcpy(&v.x, row, 8);
        std::memcpy(&v.y, row + col_stride, 8);
        std::memcpy(&v.z, row + 2 * col_stride, 8);
        return v;
    }

private:
    friend PointsView to_points_view(PyObject* obj, bool in_place);
    PointsView() = default;

    PointList copy_;
    std::unique_ptr<Buffer> buffer_;
    const char* base_ = nullptr;
    Py_ssize_t row_stride_ = 0, col_stride_ = 0;
    size_t size_ = 0;
};

PointsView to_points_view(PyObject* obj, bool in_place);

// True when converting `obj` as a Vec3 or a float runs no Python code of the
// caller's (exact floats and ints, exact lists and tuples of them, arrays).
bool vec3_converts_inertly(PyObject* obj);
bool float_converts_inertly(PyObject* obj);

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
Ref bool_list(const std::vector<uint8_t>& values);
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
