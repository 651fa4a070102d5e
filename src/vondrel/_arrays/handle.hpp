// The byte work of vondrel.open's file handle: columns of header fields and
// whole header rows gathered from selected traces of a mapped file (or with
// positioned reads where nothing is mapped), decoded samples read with
// positioned reads (in file order, each trace into its place in a result),
// and the reverse for edits in place.  The handle's Python side
// (vondrel/_handle.py) hands each call the plan as numbers (where trace 0
// starts, the trace size or every trace's offset, the selection); nothing
// here imports a module of the package.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel::arrays {

// Adds the handle's functions (_h_fields, _h_rows, _h_psamples, _h_place,
// _h_put, _h_encode, _h_walk, _h_pread, _h_pwrite) to the module; 0, or -1 with an
// exception set.
int add_handle_functions(PyObject *module);

}  // namespace vondrel::arrays
