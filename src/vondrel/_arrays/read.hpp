// Reading traces into arrays: the parser that turns a byte stream into
// header rows, back-to-back samples and trace boundaries, and the loops that
// feed it from a descriptor or from a Python stream.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel::arrays {

// _arrays.read(source, offset, nbytes, limit, swap, samples, seek_headers,
//              reserve_traces, reserve_samples, prefix)
PyObject *arrays_read(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// _arrays.scan(fd, offset, nbytes, swap, limit, width=4)
PyObject *arrays_scan(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel::arrays
