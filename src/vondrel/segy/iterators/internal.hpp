// Shared by the three iterator files only: the common allocation step.
#pragma once

#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

// The allocation step of every trace iterator: a new instance of `type`
// with the base operation table, index 0 and n_traces 0.  The arguments of
// the constructor call are ignored.  New reference, or null (MemoryError).
PyObject *base_iterator_new(PyTypeObject *type, PyObject *args, PyObject *kwds);

}  // namespace vondrel
