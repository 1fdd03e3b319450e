// Reading (n, 3) and (3,) arrays through the buffer protocol, for the types
// whose sequence protocol gives the same values.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/python.h"

namespace bind {

constexpr uint64_t kMaxIndexValue = 4294967295u;


enum class Kind { Float, Signed, Unsigned };

class Buffer {
public:
    // Only types whose sequence protocol we know to agree with their buffer.
    static bool eligible(PyObject* obj, int ndim) {
        PyTypeObject* type = Py_TYPE(obj);
        if (is_ndarray(type) || ndarray_like_subclass(type)) return true;
        if (ndim != 1) return false;
        return PyMemoryView_Check(obj) || std::strcmp(type->tp_name, "array.array") == 0;
    }

    explicit Buffer(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        ok_ = view_.suboffsets == nullptr && parse_format();
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool ok() const { return ok_; }
    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int i) const { return view_.shape[i]; }
    Kind kind() const { return kind_; }
    Py_ssize_t stride(int i) const { return view_.strides[i]; }
    bool is_double() const { return kind_ == Kind::Float && view_.itemsize == 8; }

    const char* at(Py_ssize_t i) const { return static_cast<const char*>(view_.buf) + i * view_.strides[0]; }
    const char* at(Py_ssize_t i, Py_ssize_t j) const { return at(i) + j * view_.strides[1]; }

    double as_double(const char* p) const {
        switch (kind_) {
            case Kind::Float:
                return view_.itemsize == 4 ? static_cast<double>(load<float>(p)) : load<double>(p);
            case Kind::Signed:
                return static_cast<double>(signed_value(p));
            case Kind::Unsigned:
                return static_cast<double>(unsigned_value(p));
        }
        return 0.0;
    }

    // False when the value is not a valid index (the sequence path reports it).
    bool as_index(const char* p, uint32_t& out) const {
        if (kind_ == Kind::Signed) {
            const int64_t v = signed_value(p);
            if (v < 0 || static_cast<uint64_t>(v) > kMaxIndexValue) return false;
            out = static_cast<uint32_t>(v);
            return true;
        }
        if (kind_ == Kind::Unsigned) {
            const uint64_t v = unsigned_value(p);
            if (v > kMaxIndexValue) return false;
            out = static_cast<uint32_t>(v);
            return true;
        }
        return false;
    }

private:
    static bool is_ndarray(PyTypeObject* type) { return std::strcmp(type->tp_name, "numpy.ndarray") == 0; }

    // A subclass of ndarray (trimesh's TrackedArray, say) that keeps ndarray's
    // length, item access, iteration and buffer: its rows and items are what
    // ndarray's are. One that overrides any of them (np.matrix) is not.
    static bool ndarray_like_subclass(PyTypeObject* type) {
        PyTypeObject* base = type->tp_base;
        while (base != nullptr && !is_ndarray(base)) base = base->tp_base;
        if (base == nullptr) return false;
        const auto seq = [](PyTypeObject* t) { return t->tp_as_sequence; };
        const auto map = [](PyTypeObject* t) { return t->tp_as_mapping; };
        if (seq(type) == nullptr || seq(base) == nullptr || map(type) == nullptr || map(base) == nullptr ||
            type->tp_as_buffer == nullptr || base->tp_as_buffer == nullptr)
            return false;
        // A Python-level subclass gets a generic item slot that calls
        // __getitem__, so look for overrides in the class dictionaries instead.
        PyObject* mro = type->tp_mro;
        if (mro == nullptr || !PyTuple_Check(mro)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            if (t == base) break;
            if (t->tp_dict == nullptr) return false;
            for (const char* name : {"__getitem__", "__len__", "__iter__", "__buffer__"})
                if (PyDict_GetItemString(t->tp_dict, name) != nullptr) return false;
        }
        return type->tp_iter == base->tp_iter && seq(type)->sq_length == seq(base)->sq_length &&
               map(type)->mp_length == map(base)->mp_length && map(type)->mp_subscript == map(base)->mp_subscript &&
               type->tp_as_buffer->bf_getbuffer == base->tp_as_buffer->bf_getbuffer;
    }

    template <class T>
    static T load(const char* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    int64_t signed_value(const char* p) const {
        switch (view_.itemsize) {
            case 1: return load<int8_t>(p);
            case 2: return load<int16_t>(p);
            case 4: return load<int32_t>(p);
            default: return load<int64_t>(p);
        }
    }
    uint64_t unsigned_value(const char* p) const {
        switch (view_.itemsize) {
            case 1: return load<uint8_t>(p);
            case 2: return load<uint16_t>(p);
            case 4: return load<uint32_t>(p);
            default: return load<uint64_t>(p);
        }
    }

    bool parse_format() {
        std::string_view f = view_.format != nullptr ? view_.format : "B";
        if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) {
            // memoryview only indexes native formats; leave the rest to it.
            if (f[0] != '@' && PyMemoryView_Check(view_.obj)) return false;
            f.remove_prefix(1);
        }
        if (f.size() != 1) return false;
        const Py_ssize_t size = view_.itemsize;
        switch (f[0]) {
            case 'f': case 'd':
                kind_ = Kind::Float;
                return size == 4 || size == 8;
            case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
                kind_ = Kind::Signed;
                break;
            case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
                kind_ = Kind::Unsigned;
                break;
            default:
                return false;
        }
        return size == 1 || size == 2 || size == 4 || size == 8;
    }

    Py_buffer view_{};
    bool held_ = false;
    bool ok_ = false;
    Kind kind_ = Kind::Float;
};

}  // namespace bind
