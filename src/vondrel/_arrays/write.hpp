// Writing header rows and samples as traces, in either byte order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vondrel/_arrays/block.hpp"
#include "vondrel/common/ref.hpp"

#include <cerrno>
#include <cstddef>

#include <unistd.h>

namespace vondrel::arrays {

// The sink: a descriptor, or a Python object whose write() takes each
// filled chunk.  Called without the interpreter lock; an object's write
// takes the lock back for the call.
struct Sink {
    int fd = -1;
    PyObject *write = nullptr;          // borrowed
    PyThreadState *released = nullptr;  // the caller's state while the lock is released
    int err = 0;                        // errno of a failed descriptor write

    // Writes all of [p, p + len).  0, or -1 (err set for a failed
    // descriptor write; else a Python exception, for an object or from a
    // signal's handler).
    int put(const unsigned char *p, std::size_t len)
    {
        if (fd < 0) {
            PyEval_RestoreThread(released);
            int rc = put_object(p, len);
            released = PyEval_SaveThread();
            return rc;
        }
        while (len) {
            ssize_t w = ::write(fd, p, len);
            if (w < 0) {
                if (errno == EINTR) {
                    if (interrupted() < 0)
                        return -1;
                    continue;
                }
                err = errno;
                return -1;
            }
            p += w;
            len -= static_cast<std::size_t>(w);
            if (len && interrupted() < 0)        // cut short, as a signal cuts a write to a pipe
                return -1;
        }
        return 0;
    }

    // A write that a signal broke off (EINTR, or fewer bytes taken than
    // given): the handlers of the signals that arrived run (with the lock
    // taken back for them), so that an interrupt ends a write that would
    // otherwise wait on, on a pipe nobody reads.  0 to go on, or -1 with
    // the handler's exception (KeyboardInterrupt) set.
    int interrupted()
    {
        PyEval_RestoreThread(released);
        int rc = PyErr_CheckSignals();
        released = PyEval_SaveThread();
        return rc;
    }

    // With the lock held: all of [p, p + len) through write().
    int put_object(const unsigned char *p, std::size_t len)
    {
        while (len) {
            std::size_t done;
            {
                Ref got(call_on_memory(write, nullptr, const_cast<unsigned char *>(p), static_cast<Py_ssize_t>(len),
                                       PyBUF_READ));
                if (!got)
                    return -1;
                // A raw stream may take less than it was given: the rest goes
                // in the next call.  None is taken as all, the rule of
                // vondrel._sinks.write_all for objects whose write() returns
                // nothing; a raw stream's None (it took nothing) never gets
                // here, since vondrel.write hands raw streams over behind
                // _sinks.WholeWrites, which raises BlockingIOError for it.
                done = got.get() == Py_None ? len : PyLong_AsSize_t(got.get());
                if (done == static_cast<std::size_t>(-1) && PyErr_Occurred())
                    return -1;
                if (done == 0 || done > len) {
                    PyErr_SetString(PyExc_OSError, "write() took no bytes; the stream is full or closed.");
                    return -1;
                }
            }
            p += done;
            len -= done;
        }
        return 0;
    }
};

// _arrays.write(dest, headers, flat, offsets, swap, prefix)
PyObject *arrays_write(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// _arrays.check_ns(headers, offsets)
PyObject *arrays_check_ns(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel::arrays
