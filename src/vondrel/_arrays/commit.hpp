// The last step of a write to a path: the rename of the finished temporary
// file over its destination, which an interrupt that has arrived forbids.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel::arrays {

// _arrays.replace(src, dst)
PyObject *arrays_replace(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel::arrays
