// Writing header rows and samples as traces, in either byte order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel::arrays {

// _arrays.write(dest, headers, flat, offsets, swap, prefix)
PyObject *arrays_write(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// _arrays.check_ns(headers, offsets)
PyObject *arrays_check_ns(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel::arrays
