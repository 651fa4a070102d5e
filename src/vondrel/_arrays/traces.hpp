// Between arrays and trace objects: the header view of one trace, headers
// copied into a built collection, and traces gathered into arrays.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel::arrays {

// Takes vondrel.segy's interface into this file (each translation unit holds
// its own copy).  0, or -1 with an exception set.
int traces_ready();

// _arrays.header_bytes(trace): the trace's 240 header bytes as a writable buffer.
PyObject *arrays_header_bytes(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// _arrays.copy_headers(collection, headers)
PyObject *arrays_copy_headers(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// _arrays.on_disk(collection)
PyObject *arrays_on_disk(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// _arrays.gather(iterable)
PyObject *arrays_gather(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel::arrays
