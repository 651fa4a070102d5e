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

}  // namespace vondrel
