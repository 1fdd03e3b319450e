// Conversions between Python objects and the native values the analyses take.
// Every conversion throws PyError (or ResumedPanic) on failure.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "binding/error.h"
#include "binding/python.h"
#include "binding/ref.h"
#include "geometry/common.h"
#include "geometry/strided.h"
#include "geometry/vec3.h"

namespace bind {

using Triangle = geom::Triangle;
using PointList = std::vector<geom::Vec3>;
using TriangleList = std::vector<Triangle>;
// The (points, triangles) pair a mesh argument converts to.
using MeshLists = geom::MeshData;

class Buffer;

// Points read from an argument: copied, or, for a float64 array, read in place.
// In place is allowed only when no Python code can run between this conversion
// and the analysis, since that code could change the array's values.
class PointsView {
public:
    PointsView(PointsView&&) noexcept;
    ~PointsView();

    size_t size() const { return rows_.size(); }
    // The rows where they lie: the array's memory, or the copy.
    const geom::StridedVec3View& rows() const { return rows_; }

private:
    friend PointsView to_points_view(PyObject* obj, bool in_place);
    PointsView() = default;

    PointList copy_;
    std::unique_ptr<Buffer> buffer_;
    geom::StridedVec3View rows_;
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

// Result objects, created at their final length and filled by position.
// Holds the cyclic collector off while it lives, restoring its state after.
// Building millions of small lists would set it off again and again (none of
// them can be part of a cycle); and while an array is read in place, a
// collection could run a finalizer that changes or frees that array.
class GcPause {
public:
    GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause();

private:
    bool was_enabled_ = false;
#if PY_VERSION_HEX < 0x030A0000
    Ref enable_;
#endif
};

Ref bool_list(const std::vector<uint8_t>& values);
Ref float_list(const std::vector<double>& values);
Ref float_triple_list(const PointList& points);
Ref index_triple_list(const TriangleList& triangles);
Ref unsigned_list(const std::vector<uint64_t>& values);

}  // namespace bind
