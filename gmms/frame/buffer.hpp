// What the plain modules (gmms._hazard, gmms._geometry) share: a caller's buffer held for the
// life of an object, the check of its element format, and the guard around an entry point.
// Header-only, like the parts of the frame a plain module may use; each module words its own
// refusals around these.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "frame.hpp"

namespace gmms::frame {

// Runs an entry point's body, turning a failed allocation into MemoryError.
template <class F>
PyObject* guarded(F body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

inline Ref import_numpy() noexcept { return Ref::steal(PyImport_ImportModule("numpy")); }

// Whether a struct-module format describes one 8-byte element whose code is among `codes`, in
// this machine's byte order.
inline bool native_8_bytes(const char* format, Py_ssize_t itemsize, const char* codes) noexcept {
    if (!format) format = "B";
    const char order = format[0];
    if (order == '<' || order == '>' || order == '!') {
        if ((order == '<') != (std::endian::native == std::endian::little)) return false;
        ++format;
    } else if (order == '@' || order == '=') {
        ++format;
    }
    return itemsize == 8 && format[0] != '\0' && format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
}

// A caller's buffer, released with the object.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // PyObject_GetBuffer with `flags`; false with the exporter's error set.
    bool get(PyObject* obj, int flags) noexcept {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }

    int ndim() const noexcept { return view_.ndim; }
    Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }
    Py_ssize_t len() const noexcept { return view_.len; }
    Py_ssize_t itemsize() const noexcept { return view_.itemsize; }
    const char* format() const noexcept { return view_.format ? view_.format : "B"; }
    char* data() const noexcept { return static_cast<char*>(view_.buf); }
    bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

    // The elements in C order: the buffer itself, or a copy of it in `copy`.
    const char* c_order(std::vector<char>& copy) {
        if (c_contiguous()) return data();
        copy.resize(static_cast<size_t>(view_.len));
        if (PyBuffer_ToContiguous(copy.data(), &view_, view_.len, 'C') < 0) return nullptr;
        return copy.data();
    }

    // The element at an index of each axis (no bounds check; memcpy: the buffer may be unaligned).
    template <class T = double>
    T at(Py_ssize_t i) const noexcept {
        return load<T>(i * view_.strides[0]);
    }
    template <class T = double>
    T at(Py_ssize_t i, Py_ssize_t j) const noexcept {
        return load<T>(i * view_.strides[0] + j * view_.strides[1]);
    }

private:
    template <class T>
    T load(Py_ssize_t offset) const noexcept {
        T v;
        std::memcpy(&v, data() + offset, sizeof v);
        return v;
    }

    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace gmms::frame
