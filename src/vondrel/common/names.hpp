// Interned Python strings made once per process from a table of texts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace vondrel {

// One interned name: where it is kept and its text.
struct NameEntry {
    PyObject **slot;
    const char *text;
};

// Interns every entry whose slot is still null; a retried module execution
// keeps the names an earlier attempt made.  The names live as long as the
// process.  0, or -1 with an exception set.
int intern_names(std::span<const NameEntry> entries);

}  // namespace vondrel
