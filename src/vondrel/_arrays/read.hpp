// Reading traces into arrays: the parser that turns a byte stream into
// header rows, back-to-back samples and trace boundaries, and the loops that
// feed it from a descriptor or from a Python stream.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include <sys/types.h>
#include <sys/uio.h>

namespace vondrel::arrays {

// pread until `len` bytes or the end of the file; the count, or -1 with
// errno.  Pure C++: called without the interpreter lock.
ssize_t pread_full(int fd, unsigned char *buf, std::size_t len, std::int64_t at);

// preadv of the `count` buffers at `v` from `at` until `want` bytes, the
// end of the file or an error, advancing `v` past what it read; the count
// read, and in *err the errno of a failure (0 when none).  Pure C++.
std::size_t preadv_full(int fd, iovec *v, int count, std::int64_t at, std::size_t want, int *err);

// _arrays.read(source, offset, nbytes, limit, swap, samples, seek_headers,
//              reserve_traces, reserve_samples, prefix)
PyObject *arrays_read(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// _arrays.scan(fd, offset, nbytes, swap, limit, width=4)
PyObject *arrays_scan(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel::arrays
