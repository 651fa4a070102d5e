// The SEG-Y functions of vondrel._arrays, which only the package's own
// Python front end (and the tests, through it) call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vondrel::arrays {

// Adds the functions to the module; 0, or -1 with an exception set.
int add_segy_functions(PyObject *module);

}  // namespace vondrel::arrays
