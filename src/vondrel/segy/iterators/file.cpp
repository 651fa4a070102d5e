// _FileTraceIterator: streams the traces of a collection file one at a time
// through a stdio stream borrowed from vondrel._io, and the module function
// _isfileobject.
#include "vondrel/common/binder.hpp"
#include "vondrel/segy/iterators/internal.hpp"
#include "vondrel/segy/iterators/iterators.hpp"

#include <cstdio>
#include <iterator>

namespace vondrel {

namespace {

char dup_mode_rb[] = "rb";   // PyFile_Dup takes a mutable char *
constexpr vdl_off_t count_size = 4;   // the collection file's trace count, skipped in a file we open

Params init_params{"__init__", {"file", "n_traces"}};
Params isfileobject_params{"_isfileobject", {"f"}};

// _close_file: gives the stream back to the bridge, closes a file the
// iterator opened itself and drops the file.  Safe to run any number of
// times.  Returns None (new reference), or null when giving back the stream
// or closing the file (file kept) raised.  The bridge releases the stream
// even when it raises, so fp is cleared either way: keeping it would hand a
// closed stream to the next attempt.  The caller must not have an exception
// pending: the bridge reports through one.
PyObject *file_iterator_close_file(FileIteratorObject *self)
{
    // Held across the calls: the bridge and close() may run Python code.
    Ref file = Ref::borrow(self->file);
    if (self->fp && file.get() != Py_None) {
        FILE *fp = self->fp;
        self->fp = nullptr;
        PyFile_DupClose(file.get(), fp, self->orig_pos);
        if (PyErr_Occurred())
            return nullptr;
    }
    if (self->file_owner && file.get() != Py_None) {
        Ref closed(call_method0(file.get(), names.close));
        if (!closed)
            return nullptr;
    }
    Py_SETREF(self->file, Py_NewRef(Py_None));
    return Py_NewRef(Py_None);
}

// After a failed open step (the bridge's dup or a trace read), releases
// the stream and an owned file, then re-raises the step's exception.  If
// the release fails, its exception wins, with the step's as its context.
// Always null.
PyObject *release_and_reraise(FileIteratorObject *self)
{
    PyObject *pending = PyErr_GetRaisedException();
    Ref closed(file_iterator_close_file(self));
    if (!closed) {
        if (pending) {
            PyObject *failure = PyErr_GetRaisedException();
            PyException_SetContext(failure, pending);
            PyErr_SetRaisedException(failure);
        }
        return nullptr;
    }
    PyErr_SetRaisedException(pending);
    return nullptr;
}

// The file to read from `file`: the object itself when it has `read`
// (borrowed from the caller, *owner false), else the path opened with
// open(os.fspath(file), "rb") (*owner true).  New reference, or null.
PyObject *open_source(PyObject *file, bool *owner)
{
    Ref read(lookup_or_absent(file, names.read));
    if (read) {
        *owner = false;
        return Py_NewRef(file);
    }
    Ref os(module_global(names.os));
    if (!os)
        return nullptr;
    Ref path(call_method1(os.get(), names.fspath, file));
    if (!path)
        return nullptr;
    Ref open(module_global(names.open));
    if (!open)
        return nullptr;
    PyObject *opened = PyObject_CallFunctionObjArgs(open.get(), path.get(), names.rb, nullptr);
    if (opened)
        *owner = true;
    return opened;
}

// Allocation: the base step, this kind's operations, no stream, no file.
// New reference, or null.
PyObject *file_iterator_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    PyObject *self = base_iterator_new(type, args, kwds);
    if (!self)
        return nullptr;
    auto *it = as<FileIteratorObject>(self);
    it->base.vtab = &file_iterator_vtable.base;
    it->fp = nullptr;
    it->file_owner = 0;
    it->file = Py_NewRef(Py_None);
    it->orig_pos = 0;
    return self;
}

// __init__(self, file, n_traces): converts the count before touching any
// file, opens a path itself, then borrows a stream positioned on the first
// trace (past the count in a file it opened; where the caller left a file
// object).  Calling it again on a live iterator first releases what the
// earlier call took, so nothing is left behind.  0, or -1 with the
// stream and an owned file released.
int file_iterator_init(PyObject *op, PyObject *args, PyObject *kwds)
{
    auto *self = as<FileIteratorObject>(op);
    PyObject *values[2];
    if (init_params.bind(args, kwds, values) < 0)
        return -1;
    int count = 0;
    if (to_c_int(values[1], &count) < 0)
        return -1;
    if (self->fp || self->file != Py_None) {
        Ref released(file_iterator_close_file(self));
        if (!released)
            return -1;
    }
    bool owner = false;
    Ref file(open_source(values[0], &owner));
    if (!file)
        return -1;
    self->file_owner = owner;
    Py_SETREF(self->file, Py_NewRef(file.get()));
    self->base.n_traces = count;

    FileDup dup = PyFile_Dup(file.get(), dup_mode_rb);
    if (PyErr_Occurred()) {
        release_and_reraise(self);
        return -1;
    }
    self->fp = dup.fp;
    self->orig_pos = dup.orig_pos;
    if (owner && self->fp)
        fseeko64(self->fp, count_size, SEEK_CUR);
    return 0;
}

// Whether `file` reports itself closed; a failure to tell counts as open.
bool reports_closed(PyObject *file)
{
    PyObject *closed = nullptr;
    int found = PyObject_GetOptionalAttr(file, names.closed, &closed);
    int truth = found > 0 ? PyObject_IsTrue(closed) : 0;
    Py_XDECREF(closed);
    if (truth < 0 || found < 0)
        PyErr_Clear();
    return truth > 0;
}

// tp_finalize: an iterator dropped before its last trace gives its stream
// back and closes a file it opened, as _close_file does, but goes on to
// close the file when giving the stream back raised.  Each error goes to
// sys.unraisablehook; the bridge releases the stream even when it raises.
// A file object that its owner has already closed has no position to be
// given back: the bridge then only closes the stream, and its complaint
// about the closed file is not reported.
void file_iterator_finalize(PyObject *op)
{
    auto *self = as<FileIteratorObject>(op);
    if (!self->fp && (!self->file_owner || self->file == Py_None))
        return;
    PyObject *saved = PyErr_GetRaisedException();
    Ref file = Ref::borrow(self->file);
    if (self->fp && file.get() != Py_None) {
        FILE *fp = self->fp;
        self->fp = nullptr;
        bool closed = reports_closed(file.get());
        PyFile_DupClose(file.get(), fp, self->orig_pos);
        if (PyErr_Occurred()) {
            if (closed)
                PyErr_Clear();
            else
                PyErr_WriteUnraisable(op);
        }
    }
    Ref closed(file_iterator_close_file(self));
    if (!closed)
        PyErr_WriteUnraisable(op);
    PyErr_SetRaisedException(saved);
}

void file_iterator_dealloc(PyObject *op)
{
    if (PyObject_CallFinalizerFromDealloc(op) < 0)
        return;   // resurrected by the finalizer
    PyObject_GC_UnTrack(op);
    Py_CLEAR(as<FileIteratorObject>(op)->file);
    Py_TYPE(op)->tp_free(op);
}

int file_iterator_traverse(PyObject *op, visitproc visit, void *arg)
{
    Py_VISIT(as<FileIteratorObject>(op)->file);
    return 0;
}

// The collector runs the finalizer first, so the stream is already given
// back here.
int file_iterator_clear(PyObject *op)
{
    Py_SETREF(as<FileIteratorObject>(op)->file, Py_NewRef(Py_None));
    return 0;
}

// next_trace, the module's hot path: one trace read per step into a new
// SEGYTrace (new reference).  StopIteration at the count, and also once
// the stream has been released (after a read error or __dealoc__()), so a
// released stream is never read.  The read that reaches the count releases
// the stream and an owned file before the trace is handed out; a failed
// read releases them and re-raises.  Null with an exception set otherwise.
TraceObject *file_iterator_next_trace(IteratorObject *base)
{
    auto *self = as<FileIteratorObject>(base);
    if (base->n_traces == base->index || !self->fp) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    TypedRef<TraceObject> trace(trace_vtable.from_file_descriptor(self->fp));
    if (!trace) {
        release_and_reraise(self);
        return nullptr;
    }
    ++base->index;
    if (base->index == base->n_traces) {
        Ref closed(file_iterator_close_file(self));
        if (!closed)
            return nullptr;
    }
    return trace.release();
}

// __dealoc__(): _close_file for Python code.  None, or null.
PyObject *file_iterator_close_method(PyObject *self, PyObject *)
{
    return file_iterator_close_file(as<FileIteratorObject>(self));
}

// _isfileobject(f): True for an instance of io.FileIO, io.BufferedReader or
// io.BufferedWriter whose fileno() works, False for anything else or when
// fileno() raises OSError; other errors of fileno() (ValueError on a closed
// file) propagate.  New reference, or null.
PyObject *isfileobject(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *f = nullptr;
    if (isfileobject_params.bind(args, nargs, kwnames, &f) < 0)
        return nullptr;
    Ref io(module_global(names.io));
    if (!io)
        return nullptr;
    PyObject *const class_names[] = {names.file_io, names.buffered_reader, names.buffered_writer};
    Ref classes[std::size(class_names)];
    for (std::size_t i = 0; i < std::size(class_names); ++i) {
        classes[i].reset(PyObject_GetAttr(io.get(), class_names[i]));
        if (!classes[i])
            return nullptr;
    }
    bool binary_file = false;
    for (const Ref &cls : classes) {
        int is = PyObject_IsInstance(f, cls.get());
        if (is < 0)
            return nullptr;
        if (is) {
            binary_file = true;
            break;
        }
    }
    if (!binary_file)
        Py_RETURN_FALSE;
    Ref fileno(call_method0(f, names.fileno));
    if (!fileno) {
        if (!PyErr_ExceptionMatches(PyExc_OSError))
            return nullptr;
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

PyMethodDef file_methods[] = {
    {"__dealoc__", file_iterator_close_method, METH_NOARGS, "_FileTraceIterator.__dealoc__(self)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef isfileobject_def = {"_isfileobject", as_cfunction(isfileobject), METH_FASTCALL | METH_KEYWORDS, "_isfileobject(f)"};

FileIteratorVTable file_iterator_vtable{
    .base = {.next_trace = file_iterator_next_trace},
    ._close_file = file_iterator_close_file,
};

PyTypeObject FileIteratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy._FileTraceIterator",
    .tp_basicsize = sizeof(FileIteratorObject),
    .tp_dealloc = file_iterator_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "_FileTraceIterator(file, int n_traces)",
    .tp_traverse = file_iterator_traverse,
    .tp_clear = file_iterator_clear,
    .tp_methods = file_methods,
    .tp_init = file_iterator_init,
    .tp_new = file_iterator_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = file_iterator_finalize,
};

}  // namespace vondrel
