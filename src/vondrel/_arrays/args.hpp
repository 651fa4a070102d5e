// The arguments of the module's functions once the binder has bound them:
// conversions, and the buffer export held for the length of a call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vondrel/_arrays/formats.hpp"
#include "vondrel/common/errors.hpp"

#include <cstddef>
#include <cstdint>

namespace vondrel::arrays {

// An int64 argument; -1 with an exception set on failure (check PyErr_Occurred).
inline int to_int64(PyObject *obj, std::int64_t *out)
{
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred())
        return -1;
    *out = v;
    return 0;
}

// A SEG-Y sample format code argument: its format, or null with an
// exception set (ValueError for a code this module does not read).
inline const codec::SampleFormat *format_of(PyObject *obj)
{
    std::int64_t code;
    if (to_int64(obj, &code) < 0)
        return nullptr;
    const codec::SampleFormat *fmt = code >= 0 && code < 256 ? codec::sample_format(static_cast<int>(code)) : nullptr;
    if (!fmt)
        PyErr_Format(PyExc_ValueError, msg_unknown_format, static_cast<long long>(code));
    return fmt;
}

// A truth-value argument; -1 with an exception set on failure.
inline int to_flag(PyObject *obj, bool *out)
{
    int v = PyObject_IsTrue(obj);
    if (v < 0)
        return -1;
    *out = v != 0;
    return 0;
}

// A buffer export held for the length of a call.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }
    // Exports obj (writable when asked); 0, or -1 with the exporter's error.
    int get(PyObject *obj, bool writable)
    {
        if (PyObject_GetBuffer(obj, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0)
            return -1;
        held_ = true;
        return 0;
    }
    unsigned char *data() const { return static_cast<unsigned char *>(view_.buf); }
    std::size_t size() const { return held_ ? static_cast<std::size_t>(view_.len) : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vondrel::arrays
