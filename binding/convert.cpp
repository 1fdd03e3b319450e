#include "binding/convert.h"

#include "binding/buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>

namespace bind {
namespace {

// A sequence may report any length; reserve at most this many elements ahead.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

[[noreturn]] void throw_not_sequence(PyObject* obj) {
    throw PyError::type_error("'" + type_qualname(obj) + "' object cannot be converted to 'Sequence'");
}

template <class T>
void reserve_for(std::vector<T>& out, PyObject* obj) {
    const Py_ssize_t len = PySequence_Size(obj);
    if (len < 0) {
        PyErr_Clear();
        return;
    }
    try {
        out.reserve(static_cast<size_t>(std::min(len, kMaxReserve)));
    } catch (const std::bad_alloc&) {
        // Reservation is only a hint.
    }
}

bool read_vec3_buffer(PyObject* obj, geom::Vec3& out) {
    if (!PyObject_CheckBuffer(obj) || !Buffer::eligible(obj, 1)) return false;
    Buffer buf(obj);
    if (!buf.ok() || buf.ndim() != 1 || buf.shape(0) != 3) return false;
    out = {buf.as_double(buf.at(0)), buf.as_double(buf.at(1)), buf.as_double(buf.at(2))};
    return true;
}

bool read_points_buffer(PyObject* obj, PointList& out) {
    if (!PyObject_CheckBuffer(obj) || !Buffer::eligible(obj, 2)) return false;
    Buffer buf(obj);
    if (!buf.ok() || buf.ndim() != 2 || buf.shape(1) != 3) return false;
    const Py_ssize_t n = buf.shape(0);
    out.reserve(static_cast<size_t>(n));
    if (buf.is_double()) {
        // The common case (float64 arrays) without a format switch per value.
        double x, y, z;
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::memcpy(&x, buf.at(i, 0), 8);
            std::memcpy(&y, buf.at(i, 1), 8);
            std::memcpy(&z, buf.at(i, 2), 8);
            out.emplace_back(x, y, z);
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        out.emplace_back(buf.as_double(buf.at(i, 0)), buf.as_double(buf.at(i, 1)), buf.as_double(buf.at(i, 2)));
    return true;
}

bool read_triangles_buffer(PyObject* obj, TriangleList& out) {
    if (!PyObject_CheckBuffer(obj) || !Buffer::eligible(obj, 2)) return false;
    Buffer buf(obj);
    if (!buf.ok() || buf.ndim() != 2 || buf.shape(1) != 3 || buf.kind() == Kind::Float) return false;
    const Py_ssize_t n = buf.shape(0);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Triangle& t = out[static_cast<size_t>(i)];
        for (int k = 0; k < 3; ++k) {
            if (!buf.as_index(buf.at(i, k), t[static_cast<size_t>(k)])) {
                out = TriangleList();
                return false;
            }
        }
    }
    return true;
}

// --- sequence protocol ------------------------------------------------------

// Item k of a sequence as PySequence_GetItem gives it, borrowing from exact
// lists and tuples (whose items it would return anyway).
Ref sequence_item(PyObject* seq, Py_ssize_t k) {
    if (PyList_CheckExact(seq) && k < PyList_GET_SIZE(seq)) return Ref::borrow(PyList_GET_ITEM(seq, k));
    if (PyTuple_CheckExact(seq)) return Ref::borrow(PyTuple_GET_ITEM(seq, k));
    Ref item(PySequence_GetItem(seq, k));
    if (!item) PyError::fetch_and_throw();
    return item;
}

template <class T, class ItemConv>
std::array<T, 3> to_triple(PyObject* obj, ItemConv conv) {
    if (!PySequence_Check(obj)) throw_not_sequence(obj);
    const Py_ssize_t len = PySequence_Size(obj);
    if (len < 0) PyError::fetch_and_throw();
    if (len != 3) throw PyError::value_error("expected a sequence of length 3 (got " + std::to_string(len) + ")");
    std::array<T, 3> out{};
    for (Py_ssize_t k = 0; k < 3; ++k) {
        Ref item = sequence_item(obj, k);
        out[static_cast<size_t>(k)] = conv(item.get());
    }
    return out;
}

template <class T, class Conv>
void convert_items(PyObject* obj, std::vector<T>& out, Conv conv) {
    if (!PySequence_Check(obj)) throw_not_sequence(obj);
    reserve_for(out, obj);
    // Exact lists and tuples: indexing with the size re-read each step is what
    // their iterators do, so nothing observable changes.
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            out.push_back(conv(item.get()));
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) out.push_back(conv(PyTuple_GET_ITEM(obj, i)));
        return;
    }
    Ref iter(PyObject_GetIter(obj));
    if (!iter) PyError::fetch_and_throw();
    while (true) {
        Ref item(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) PyError::fetch_and_throw();
            break;
        }
        out.push_back(conv(item.get()));
    }
}

}  // namespace

double to_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) PyError::fetch_and_throw();
    return v;
}

uint32_t to_index(PyObject* obj) {
    Ref index(PyNumber_Index(obj));
    if (!index) PyError::fetch_and_throw();
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) PyError::fetch_and_throw();
    if (v < 0 || static_cast<unsigned long>(v) > kMaxIndexValue)
        throw PyError::overflow_error("out of range integral type conversion attempted");
    return static_cast<uint32_t>(v);
}

bool to_bool(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == Py_True;
    throw PyError::type_error("'" + type_qualname(obj) + "' object cannot be converted to 'PyBool'");
}

geom::Vec3 to_vec3(PyObject* obj) {
    geom::Vec3 v;
    if (read_vec3_buffer(obj, v)) return v;
    const auto a = to_triple<double>(obj, to_float);
    return {a[0], a[1], a[2]};
}

Triangle to_index_triple(PyObject* obj) { return to_triple<uint32_t>(obj, to_index); }

PointList to_point_list(PyObject* obj) {
    PointList out;
    if (read_points_buffer(obj, out)) return out;
    convert_items(obj, out, to_vec3);
    return out;
}

TriangleList to_triangle_list(PyObject* obj) {
    TriangleList out;
    if (read_triangles_buffer(obj, out)) return out;
    convert_items(obj, out, to_index_triple);
    return out;
}

PointsView::PointsView(PointsView&&) noexcept = default;
PointsView::~PointsView() = default;

PointsView to_points_view(PyObject* obj, bool in_place) {
    PointsView view;
    if (in_place && PyObject_CheckBuffer(obj) && Buffer::eligible(obj, 2)) {
        auto buf = std::make_unique<Buffer>(obj);
        if (buf->ok() && buf->ndim() == 2 && buf->shape(1) == 3 && buf->is_double()) {
            view.rows_ = geom::StridedVec3View(buf->at(0), static_cast<size_t>(buf->shape(0)), buf->stride(0),
                                               buf->stride(1));
            view.buffer_ = std::move(buf);
            return view;
        }
    }
    view.copy_ = to_point_list(obj);
    view.rows_ = geom::StridedVec3View::of(view.copy_);
    return view;
}

// PyFloat_AsDouble reads any float (subclasses too) directly; only exact ints
// and bools are sure not to have a __float__ of the caller's.
bool float_converts_inertly(PyObject* obj) {
    return PyFloat_Check(obj) || PyLong_CheckExact(obj) || PyBool_Check(obj);
}

bool vec3_converts_inertly(PyObject* obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = Py_SIZE(obj);
        if (n != 3) return true;  // refused before any item is looked at
        PyObject* const* items =
            PyList_CheckExact(obj) ? reinterpret_cast<PyListObject*>(obj)->ob_item : &PyTuple_GET_ITEM(obj, 0);
        for (Py_ssize_t k = 0; k < n; ++k)
            if (!float_converts_inertly(items[k])) return false;
        return true;
    }
    // An array that the buffer path reads whole.
    if (!PyObject_CheckBuffer(obj) || !Buffer::eligible(obj, 1)) return false;
    const Buffer buf(obj);
    return buf.ok() && buf.ndim() == 1 && buf.shape(0) == 3;
}

MeshLists to_mesh_lists(PyObject* obj) {
    if (!PyTuple_Check(obj))
        throw PyError::type_error("'" + type_qualname(obj) + "' object cannot be converted to 'PyTuple'");
    const Py_ssize_t len = PyTuple_GET_SIZE(obj);
    if (len != 2)
        throw PyError::value_error("Expected tuple of length 2, but got tuple of length " + std::to_string(len) +
                                   ".");
    MeshLists mesh;
    mesh.points = to_point_list(PyTuple_GET_ITEM(obj, 0));
    mesh.triangles = to_triangle_list(PyTuple_GET_ITEM(obj, 1));
    return mesh;
}

// --- results ----------------------------------------------------------------

namespace {

template <class Container, class Make>
Ref build_list(const Container& values, Make make) {
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    Py_ssize_t i = 0;
    for (const auto& v : values) PyList_SET_ITEM(list.get(), i++, make(v));
    return list;
}

PyObject* new_float(double v) { return checked(PyFloat_FromDouble(v)); }

}  // namespace

Ref bool_list(const std::vector<uint8_t>& values) {
    return build_list(values, [](uint8_t v) { PyObject* b = v ? Py_True : Py_False;
        Py_INCREF(b);
        return b; });
}

Ref float_list(const std::vector<double>& values) { return build_list(values, new_float); }

#if PY_VERSION_HEX < 0x030A0000
namespace {

// gc.<name>: the module as sys.modules has it (imported if need be, never
// made anew), the function from its dict. A new reference; null with an
// error set when that fails.
Ref gc_function(const char* name) {
    Ref module_name(PyUnicode_FromString("gc"));
    if (!module_name) return Ref();
    Ref gc(PyImport_GetModule(module_name.get()));
    // Not imported yet: importing it may collect, which is harmless here,
    // before any array is taken.
    if (!gc && !PyErr_Occurred()) gc = Ref(PyImport_Import(module_name.get()));
    if (!gc) return Ref();
    Ref key(PyUnicode_FromString(name));
    if (!key) return Ref();
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(gc.get()), key.get());
    if (!f && !PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "gc.%s is missing", name);
    return Ref::borrow(f);
}

}  // namespace
#endif

GcPause::GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    was_enabled_ = PyGC_Disable();
#else
    // No C call before 3.10: the gc module's own functions, called without
    // an argument tuple. gc.enable is held from here, so that turning the
    // collector back on cannot fail for want of memory.
    Ref isenabled = gc_function("isenabled");
    Ref disable = isenabled ? gc_function("disable") : Ref();
    Ref enable = disable ? gc_function("enable") : Ref();
    if (!enable) PyError::fetch_and_throw();
    Ref enabled(PyObject_CallNoArgs(isenabled.get()));
    if (!enabled) PyError::fetch_and_throw();
    if (PyObject_IsTrue(enabled.get()) == 1) {
        enable_ = std::move(enable);
        Ref done(PyObject_CallNoArgs(disable.get()));
        if (!done) PyError::fetch_and_throw();
        was_enabled_ = true;
    }
#endif
}

GcPause::~GcPause() {
    if (!was_enabled_) return;
#if PY_VERSION_HEX >= 0x030A0000
    PyGC_Enable();
#else
    // Keep an error already set (the destructor may run while one unwinds).
    // gc.enable takes no arguments and returns None: nothing to allocate.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref done(PyObject_CallNoArgs(enable_.get()));
    if (!done) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#endif
}

Ref float_triple_list(const PointList& points) {
    const GcPause pause;
    return build_list(points, [](const geom::Vec3& p) {
        Ref row(checked(PyList_New(3)));
        PyList_SET_ITEM(row.get(), 0, new_float(p.x));
        PyList_SET_ITEM(row.get(), 1, new_float(p.y));
        PyList_SET_ITEM(row.get(), 2, new_float(p.z));
        return row.release();
    });
}

Ref index_triple_list(const TriangleList& triangles) {
    const GcPause pause;
    // Each vertex index appears in several triangles: make its int once and
    // share it (ints are immutable), instead of one object per corner.
    uint32_t max_index = 0;
    for (const Triangle& t : triangles) max_index = std::max({max_index, t[0], t[1], t[2]});
    std::vector<Ref> ints(triangles.empty() ? 0 : size_t{max_index} + 1);
    auto index_object = [&](uint32_t i) {
        Ref& cached = ints[i];
        if (!cached) cached = Ref(checked(PyLong_FromUnsignedLong(i)));
        Py_INCREF(cached.get());
        return cached.get();
    };
    return build_list(triangles, [&](const Triangle& t) {
        Ref row(checked(PyList_New(3)));
        for (Py_ssize_t k = 0; k < 3; ++k) PyList_SET_ITEM(row.get(), k, index_object(t[static_cast<size_t>(k)]));
        return row.release();
    });
}

Ref unsigned_list(const std::vector<uint64_t>& values) {
    return build_list(values, [](uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); });
}

}  // namespace bind
