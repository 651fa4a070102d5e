// Positional arguments of the module's functions, which only the package's
// own Python front end calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vondrel::arrays {

// 0 when `nargs` is `expected`, else -1 with TypeError naming the function.
inline int check_nargs(const char *func, Py_ssize_t nargs, Py_ssize_t expected)
{
    if (nargs == expected)
        return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)", func, expected,
                 nargs);
    return -1;
}

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
