// SEGY: a collection of traces in one of three storage modes.
#pragma once

#include "vondrel/segy/common.hpp"
#include "vondrel/segy/iterators/iterators.hpp"

namespace vondrel {

struct CollectionObject;

struct CollectionVTable {
    CollectionObject *(*from_trace_iterator)(IteratorObject *iterator);
};

extern PyTypeObject CollectionType;

struct CollectionObject {
    PyObject_HEAD
    CollectionVTable *vtab;
    PyObject *filename;
    PyObject *traces;
    PyObject *iterator;
    int n_traces;

    static PyTypeObject *type() { return &CollectionType; }
};
static_assert(sizeof(CollectionObject) == 56);
extern CollectionVTable collection_vtable;

// The collection shortcuts of every trace iterator (BaseTraceIterator's
// to_memory, to_file and to_stream): each wraps the iterator with
// from_trace_iterator and calls the collection's method of the same name.
PyObject *iterator_to_memory(PyObject *self, PyObject *unused);
PyObject *iterator_to_file(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *iterator_to_stream(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vondrel
