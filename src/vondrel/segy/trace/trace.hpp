// SEGYTrace: one trace record wrapped as a Python object.
#pragma once

#include "vondrel/segy/common.hpp"
#include "vondrel/segy/record/record.hpp"

namespace vondrel {

struct TraceObject;

// Optional arguments of from_trace: n counts the values supplied.
struct FromTraceOpt {
    int n;
    int trace_owner;
    int trace_data_owner;
};

// Native operations of SEGYTrace, in slot order.  Each pointer result is a
// new reference, or null with an exception set.
struct TraceVTable {
    TraceObject *(*from_trace)(segy *trace, FromTraceOpt *opt);
    TraceObject *(*from_file_descriptor)(FILE *fp);
    PyObject *(*to_file_descriptor)(TraceObject *self, FILE *fp);
};

// The reference-counted keeper of a record and its sample memory that the
// trace shares with its buffer exports (trace.cpp).
struct SampleOwner;

// The sample view: what keeps the sample memory alive, the shape and
// strides of the samples, and the owner the live exports share.  Sized like
// the typed view clients compile against (208 bytes); clients treat it as
// opaque.
struct SampleView {
    Py_buffer source;             // the array's buffer, held while the trace holds it; source.obj
                                  // is null when the samples are the record's own
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    SampleOwner *owner;           // made by the first export of this record; null before
    char reserved[208 - sizeof(Py_buffer) - 2 * sizeof(Py_ssize_t) - sizeof(SampleOwner *)];
};
static_assert(sizeof(SampleView) == 208);

extern PyTypeObject TraceType;

struct TraceObject {
    PyObject_HEAD
    TraceVTable *vtab;
    segy *trace;
    int trace_owner;
    int trace_data_owner;
    SampleView samples;

    static PyTypeObject *type() { return &TraceType; }
};
static_assert(sizeof(TraceObject) == 248);

extern TraceVTable trace_vtable;

// Makes the constants of the trace part; module execution step 2.
int trace_init();

// The traces SEGY(rows, dt, **kwargs) builds, made without a view per row
// when `rows` is exactly a numpy.ndarray of two dimensions whose rows are
// writable, C-contiguous native floats, and every keyword value (in
// `kwvalues`, named by `kwnames`: dt, ntr, then the extra keywords) is an
// int, bool or float.  Each trace then points into its row and holds a
// reference to `rows`, which keeps the samples alive as a row view would.
// 1 with *out a new list of one trace per row; 0 with no exception when the
// input does not qualify (the caller builds trace by trace); -1 with the
// constructor's error for the keywords, or MemoryError.
int build_row_traces(PyObject *rows, PyObject *const *kwvalues, PyObject *kwnames, PyObject **out);

// ValueError "SEGYTrace holds no trace record." for a trace made by
// SEGYTrace.__new__ alone; every reader and writer of a trace checks it.
void raise_no_record();

// Sets TypeError "Cannot convert <type of obj> to vondrel.segy.SEGYTrace".
void raise_not_a_trace(PyObject *obj);

}  // namespace vondrel
