// Conversions of the module's arguments, once the binder has bound them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// A truth-value argument; -1 with an exception set on failure.
inline int to_flag(PyObject *obj, bool *out)
{
    int v = PyObject_IsTrue(obj);
    if (v < 0)
        return -1;
    *out = v != 0;
    return 0;
}

}  // namespace vondrel::arrays
