// The trace iterators: BaseTraceIterator, _MemoryTraceIterator and
// _FileTraceIterator, plus the module function _isfileobject.
#pragma once

#include "vondrel/segy/common.hpp"
#include "vondrel/segy/trace/trace.hpp"

namespace vondrel {

struct IteratorObject;
struct FileIteratorObject;

// Native operations, in slot order; a subclass's table starts with its base's.
struct IteratorVTable {
    TraceObject *(*next_trace)(IteratorObject *self);
};

struct FileIteratorVTable {
    IteratorVTable base;
    PyObject *(*_close_file)(FileIteratorObject *self);
};

extern PyTypeObject BaseIteratorType;
extern PyTypeObject MemoryIteratorType;
extern PyTypeObject FileIteratorType;

struct IteratorObject {
    PyObject_HEAD
    IteratorVTable *vtab;
    int index;
    int n_traces;

    static PyTypeObject *type() { return &BaseIteratorType; }
};

struct MemoryIteratorObject {
    IteratorObject base;
    PyObject *traces;

    static PyTypeObject *type() { return &MemoryIteratorType; }
};

struct FileIteratorObject {
    IteratorObject base;
    FILE *fp;
    int file_owner;
    PyObject *file;
    vdl_off_t orig_pos;

    static PyTypeObject *type() { return &FileIteratorType; }
};

static_assert(sizeof(IteratorObject) == 32);
static_assert(sizeof(MemoryIteratorObject) == 40);
static_assert(sizeof(FileIteratorObject) == 64);

extern IteratorVTable base_iterator_vtable;
extern IteratorVTable memory_iterator_vtable;
extern FileIteratorVTable file_iterator_vtable;

// The collection shortcuts of every trace iterator (BaseTraceIterator's
// to_memory, to_file and to_stream), declared here for the iterators'
// method table and defined by the collection (collection/segy.cpp), which
// builds on the iterators: each wraps the iterator into a collection in
// iterator mode and calls the collection's method of the same name.
PyObject *iterator_to_memory(PyObject *self, PyObject *unused);
PyObject *iterator_to_file(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *iterator_to_stream(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// The module-level function _isfileobject(f).
extern PyMethodDef isfileobject_def;

}  // namespace vondrel
