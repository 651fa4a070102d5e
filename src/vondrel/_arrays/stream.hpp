// The streaming side of vondrel._arrays: the trace reader `_traces`, a
// native BaseTraceIterator over SU, collection and SEG-Y sources (paths,
// file objects, pipes) that is handed its plan as data (vondrel.traces,
// in vondrel._stream, makes it), and the per-trace and per-block byte work
// that the Python Writer shares with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel {

// Imports vondrel.segy's native interface, makes the `_traces` type ready
// (derived from BaseTraceIterator) and adds it and the stream functions to
// `module`.  Called from the module's exec slot; 0, or -1 with an exception.
int stream_exec(PyObject *module);

}  // namespace vondrel
