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

// The sample view: what keeps the sample memory alive and the shape and
// strides the buffer export hands out.  Sized like the typed view clients
// compile against (208 bytes).
struct SampleView {
    PyObject *owner;              // the NumPy array the samples live in, or null
    float *data;
    Py_ssize_t shape[8];
    Py_ssize_t strides[8];
    Py_ssize_t suboffsets[8];
};
static_assert(sizeof(SampleView) == 208);

struct TraceObject {
    PyObject_HEAD
    TraceVTable *vtab;
    segy *trace;
    int trace_owner;
    int trace_data_owner;
    SampleView samples;
};
static_assert(sizeof(TraceObject) == 248);

extern PyTypeObject TraceType;
extern TraceVTable trace_vtable;

// Makes the constants of the trace part; module execution step 2.
int trace_init();

}  // namespace vondrel
