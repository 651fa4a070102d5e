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

struct IteratorObject {
    PyObject_HEAD
    IteratorVTable *vtab;
    int index;
    int n_traces;
};

struct MemoryIteratorObject {
    IteratorObject base;
    PyObject *traces;
};

struct FileIteratorObject {
    IteratorObject base;
    FILE *fp;
    int file_owner;
    PyObject *file;
    vdl_off_t orig_pos;
};

static_assert(sizeof(IteratorObject) == 32);
static_assert(sizeof(MemoryIteratorObject) == 40);
static_assert(sizeof(FileIteratorObject) == 64);

extern PyTypeObject BaseIteratorType;
extern PyTypeObject MemoryIteratorType;
extern PyTypeObject FileIteratorType;
extern IteratorVTable base_iterator_vtable;
extern IteratorVTable memory_iterator_vtable;
extern FileIteratorVTable file_iterator_vtable;

// The module-level function _isfileobject(f).
extern PyMethodDef isfileobject_def;

// Makes the constants of the iterators; module execution step 2.
int iterators_init();

}  // namespace vondrel
