/*
 * A C11 client of vondrel.segy, built by the tests the way another project
 * would build it: against the installed segy_api.h only.  It allocates,
 * copies and releases trace records, wraps them into SEGYTrace objects
 * through the class's native operation table, reads and writes traces on
 * stdio streams it opens itself, and derives a native trace iterator.
 *
 * Every allocation has one owner, so that a wrong free on either side shows
 * under the sanitizers.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "segy_api.h"

#define HEADER_SIZE 240

/* ---- helpers --------------------------------------------------------- */

/* The 240 header bytes of a record as bytes.  New reference or NULL. */
static PyObject *header_bytes(const segy *t)
{
    return PyBytes_FromStringAndSize((const char *)t, HEADER_SIZE);
}

/* The ns samples of a record as bytes (empty without samples). */
static PyObject *sample_bytes(const segy *t)
{
    if (!t->data)
        return PyBytes_FromStringAndSize("", 0);
    return PyBytes_FromStringAndSize((const char *)t->data, (Py_ssize_t)t->ns * 4);
}

/* A record made with new_trace from a 240-byte header and the samples it
 * announces.  The caller frees it with del_trace(t, 1).  NULL with
 * ValueError (wrong sizes) or MemoryError. */
static segy *record_from(Py_buffer *header, Py_buffer *samples)
{
    segy h;
    segy *t;
    if (header->len != HEADER_SIZE) {
        PyErr_SetString(PyExc_ValueError, "a header is 240 bytes");
        return NULL;
    }
    memcpy(&h, header->buf, HEADER_SIZE);
    if (samples->len != (Py_ssize_t)h.ns * 4) {
        PyErr_SetString(PyExc_ValueError, "the samples must be the ns floats the header announces");
        return NULL;
    }
    t = vondrel_new_trace(h.ns);
    if (!t)
        return (segy *)PyErr_NoMemory();
    memcpy(t, header->buf, HEADER_SIZE);
    if (t->data)
        memcpy(t->data, samples->buf, (size_t)samples->len);
    return t;
}

/* The SEGYTrace `obj`, or NULL with TypeError. */
static struct vondrel_SEGYTrace *as_trace(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, vondrel_SEGYTraceType)) {
        PyErr_Format(PyExc_TypeError, "expected a SEGYTrace, not %.200s", Py_TYPE(obj)->tp_name);
        return NULL;
    }
    return (struct vondrel_SEGYTrace *)obj;
}

/* The pending exception as an object, or NULL when none is pending. */
static PyObject *take_exception(void)
{
    return PyErr_GetRaisedException();
}

/* ---- record operations ----------------------------------------------- */

/* make_record(ns) -> (header bytes, has samples) of new_trace(ns).  Writes every sample the
 * buffer is said to hold before releasing it. */
static PyObject *c_make_record(PyObject *self, PyObject *arg)
{
    PyObject *result;
    segy *t;
    int ns = PyLong_AsInt(arg);
    (void)self;
    if (ns == -1 && PyErr_Occurred())
        return NULL;
    t = vondrel_new_trace(ns);
    if (!t)
        return PyErr_NoMemory();
    if (t->data)
        memset(t->data, 0x5a, (size_t)t->ns * 4);
    result = Py_BuildValue("(NO)", header_bytes(t), t->data ? Py_True : Py_False);
    vondrel_del_trace(t, 1);
    return result;
}

/* copy_record(header, samples, with_block) -> (header, samples) of a copy_of the
 * record, read after the source was overwritten and released. */
static PyObject *c_copy_record(PyObject *self, PyObject *args)
{
    Py_buffer header, samples;
    int with_block;
    struct vondrel_copy_of_opt block = {1, 0};
    segy *src, *copy;
    PyObject *result;
    (void)self;
    if (!PyArg_ParseTuple(args, "y*y*p", &header, &samples, &with_block))
        return NULL;
    src = record_from(&header, &samples);
    PyBuffer_Release(&header);
    PyBuffer_Release(&samples);
    if (!src)
        return NULL;
    copy = vondrel_copy_of(src, with_block ? &block : NULL);
    memset(src, 0xff, HEADER_SIZE);
    if (src->data)
        memset(src->data, 0xff, 4);
    vondrel_del_trace(src, 1);
    if (!copy)
        return PyErr_NoMemory();
    result = Py_BuildValue("(NN)", header_bytes(copy), sample_bytes(copy));
    vondrel_del_trace(copy, 1);
    return result;
}

/* release_keeping_samples(ns) -> the samples, read after del_trace(t, 0)
 * released the record alone; the client then frees the buffer itself. */
static PyObject *c_release_keeping_samples(PyObject *self, PyObject *arg)
{
    PyObject *result;
    segy *t;
    float *data;
    int ns = PyLong_AsInt(arg);
    int i;
    (void)self;
    if (ns == -1 && PyErr_Occurred())
        return NULL;
    t = vondrel_new_trace(ns);
    if (!t)
        return PyErr_NoMemory();
    for (i = 0; i < t->ns; ++i)
        t->data[i] = (float)i + 0.5f;
    data = t->data;
    vondrel_del_trace(t, 0);
    result = PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)ns * 4);
    free(data);
    return result;
}

/* ---- SEGYTrace's native operations ----------------------------------- */

/* wrap(header, samples, flags) -> (same record, trace_owner,
 * trace_data_owner, ns, header, samples seen through memoryview).
 *
 * The record comes from new_trace, its sample buffer from the client's own
 * malloc.  flags is None (no block) or (n, trace_owner, trace_data_owner),
 * the block as it is passed.  The trace is inspected and dropped; the client then frees
 * whatever the trace's flags left to it.  A refused record is the client's
 * to free, and the module's exception is raised after that. */
static PyObject *c_wrap(PyObject *self, PyObject *args)
{
    Py_buffer header, samples;
    PyObject *flags;
    struct vondrel_from_trace_opt opt = {0, 0, 0};
    struct vondrel_from_trace_opt *block = NULL;
    struct vondrel_SEGYTrace *trace;
    PyObject *result = NULL, *view, *seen;
    segy *record;
    float *data = NULL;
    uint16_t ns = 0;
    int owner, data_owner;
    (void)self;
    if (!PyArg_ParseTuple(args, "y*y*O", &header, &samples, &flags))
        return NULL;
    if (flags != Py_None) {
        if (!PyArg_ParseTuple(flags, "iii", &opt.n, &opt.trace_owner, &opt.trace_data_owner)) {
            PyBuffer_Release(&header);
            PyBuffer_Release(&samples);
            return NULL;
        }
        block = &opt;
    }
    if (header.len == HEADER_SIZE)
        memcpy(&ns, (const char *)header.buf + offsetof(segy, ns), sizeof ns);
    if (header.len != HEADER_SIZE || (samples.len != 0 && samples.len != (Py_ssize_t)ns * 4)) {
        PyBuffer_Release(&header);
        PyBuffer_Release(&samples);
        PyErr_SetString(PyExc_ValueError, "a 240-byte header, then no samples or the ns it announces");
        return NULL;
    }
    record = vondrel_new_trace(0);
    if (record && samples.len > 0) {
        data = (float *)malloc((size_t)samples.len);
        if (!data) {
            vondrel_del_trace(record, 1);
            record = NULL;
        }
    }
    if (!record) {
        PyBuffer_Release(&header);
        PyBuffer_Release(&samples);
        return PyErr_NoMemory();
    }
    memcpy(record, header.buf, HEADER_SIZE);
    if (data)
        memcpy(data, samples.buf, (size_t)samples.len);
    record->data = data;
    PyBuffer_Release(&header);
    PyBuffer_Release(&samples);

    trace = vondrel_SEGYTrace_vtab->from_trace(record, block);
    if (!trace) {
        vondrel_del_trace(record, 1);
        return NULL;
    }
    owner = trace->trace_owner;
    data_owner = trace->trace_data_owner;
    view = PyMemoryView_FromObject((PyObject *)trace);
    seen = view ? PyObject_CallMethod(view, "tobytes", NULL) : NULL;
    Py_XDECREF(view);
    if (seen)
        result = Py_BuildValue("(OiiiNN)", trace->trace == record ? Py_True : Py_False, owner, data_owner,
                               (int)trace->trace->ns, header_bytes(trace->trace), seen);
    Py_DECREF(trace);
    if (!owner)
        vondrel_del_trace(record, 1);
    else if (!data_owner)
        free(data);
    return result;
}

/* trace_fields(trace) -> (header bytes or None, trace_owner,
 * trace_data_owner), read straight from the instance. */
static PyObject *c_trace_fields(PyObject *self, PyObject *obj)
{
    struct vondrel_SEGYTrace *trace = as_trace(obj);
    (void)self;
    if (!trace)
        return NULL;
    if (!trace->trace)
        return Py_BuildValue("(Oii)", Py_None, trace->trace_owner, trace->trace_data_owner);
    return Py_BuildValue("(Nii)", header_bytes(trace->trace), trace->trace_owner, trace->trace_data_owner);
}

/* read_trace(path, offset) -> (trace or the exception raised, stream
 * position after the read), on a stream the client opens and closes. */
static PyObject *c_read_trace(PyObject *self, PyObject *args)
{
    const char *path;
    long offset, position;
    FILE *fp;
    PyObject *got;
    (void)self;
    if (!PyArg_ParseTuple(args, "sl", &path, &offset))
        return NULL;
    fp = fopen(path, "rb");
    if (!fp)
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    if (fseek(fp, offset, SEEK_SET) != 0) {
        fclose(fp);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    got = (PyObject *)vondrel_SEGYTrace_vtab->from_file_descriptor(fp);
    if (!got)
        got = take_exception();
    position = ftell(fp);
    fclose(fp);
    return got ? Py_BuildValue("(Nl)", got, position) : NULL;
}

/* write_trace(trace, path, mode) -> stream position after the write, on a
 * stream the client opens with `mode` and closes. */
static PyObject *c_write_trace(PyObject *self, PyObject *args)
{
    PyObject *obj, *written;
    const char *path, *mode;
    struct vondrel_SEGYTrace *trace;
    long position;
    FILE *fp;
    (void)self;
    if (!PyArg_ParseTuple(args, "Oss", &obj, &path, &mode))
        return NULL;
    trace = as_trace(obj);
    if (!trace)
        return NULL;
    fp = fopen(path, mode);
    if (!fp)
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    written = vondrel_SEGYTrace_vtab->to_file_descriptor(trace, fp);
    position = ftell(fp);
    if (fclose(fp) != 0 && written) {
        Py_DECREF(written);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    if (!written)
        return NULL;
    if (written != Py_None) {
        Py_DECREF(written);
        PyErr_SetString(PyExc_AssertionError, "to_file_descriptor returned something other than None");
        return NULL;
    }
    Py_DECREF(written);
    return PyLong_FromLong(position);
}

/* collection_of(iterator) -> SEGY standing for it, from SEGY's table. */
static PyObject *c_collection_of(PyObject *self, PyObject *obj)
{
    (void)self;
    if (!PyObject_TypeCheck(obj, vondrel_BaseTraceIteratorType)) {
        PyErr_Format(PyExc_TypeError, "expected a trace iterator, not %.200s", Py_TYPE(obj)->tp_name);
        return NULL;
    }
    return (PyObject *)vondrel_SEGY_vtab->from_trace_iterator((struct vondrel_BaseTraceIterator *)obj);
}

/* reimport() -> None: runs vondrel_segy_import() again, so that the tests
 * can see it refuse a module that does not match. */
static PyObject *c_reimport(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    if (vondrel_segy_import() < 0)
        return NULL;
    Py_RETURN_NONE;
}

/* ---- a native trace iterator ----------------------------------------- */

/* CountingIterator(n_traces, ns, fail_at=-1): hands out n_traces new traces
 * of ns samples; trace i has tracl i + 1, dt 1000 and samples 100 * i + k.
 * Step fail_at raises RuntimeError instead. */
typedef struct {
    struct vondrel_BaseTraceIterator base;
    int ns;
    int fail_at;
} CountingIterator;

/* Its table: the base's, with next_trace replaced. */
static struct vondrel_BaseTraceIterator_vtable counting_vtable;

static struct vondrel_SEGYTrace *counting_next_trace(struct vondrel_BaseTraceIterator *base)
{
    CountingIterator *self = (CountingIterator *)base;
    struct vondrel_from_trace_opt owns_all = {2, 1, 1};
    struct vondrel_SEGYTrace *trace;
    segy *t;
    int k;
    if (base->index == base->n_traces) {
        PyErr_SetNone(PyExc_StopIteration);
        return NULL;
    }
    if (base->index == self->fail_at) {
        PyErr_Format(PyExc_RuntimeError, "trace %d cannot be made", base->index);
        return NULL;
    }
    t = vondrel_new_trace(self->ns);
    if (!t)
        return (struct vondrel_SEGYTrace *)PyErr_NoMemory();
    t->tracl = base->index + 1;
    t->dt = 1000;
    for (k = 0; k < t->ns; ++k)
        t->data[k] = (float)(100 * base->index + k);
    trace = vondrel_SEGYTrace_vtab->from_trace(t, &owns_all);
    if (!trace) {
        vondrel_del_trace(t, 1);
        return NULL;
    }
    base->index += 1;
    return trace;
}

static PyObject *counting_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char *keywords[] = {"n_traces", "ns", "fail_at", NULL};
    int n_traces, ns, fail_at = -1;
    CountingIterator *self;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "ii|i", keywords, &n_traces, &ns, &fail_at))
        return NULL;
    self = (CountingIterator *)vondrel_BaseTraceIteratorType->tp_new(type, args, kwds);
    if (!self)
        return NULL;
    self->base.vtab = &counting_vtable;
    self->base.n_traces = n_traces;
    self->ns = ns;
    self->fail_at = fail_at;
    return (PyObject *)self;
}

/* The base's dealloc frees the object; a heap type also drops its class. */
static void counting_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    vondrel_BaseTraceIteratorType->tp_dealloc(self);
    Py_DECREF(type);
}

static PyType_Slot counting_slots[] = {
    {Py_tp_new, (void *)counting_new},
    {Py_tp_dealloc, (void *)counting_dealloc},
    {0, NULL},
};

static PyType_Spec counting_spec = {
    .name = "segy_c_client.CountingIterator",
    .basicsize = sizeof(CountingIterator),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = counting_slots,
};

/* ---- module ------------------------------------------------------------ */

static PyMethodDef client_methods[] = {
    {"make_record", c_make_record, METH_O, NULL},
    {"copy_record", c_copy_record, METH_VARARGS, NULL},
    {"release_keeping_samples", c_release_keeping_samples, METH_O, NULL},
    {"wrap", c_wrap, METH_VARARGS, NULL},
    {"trace_fields", c_trace_fields, METH_O, NULL},
    {"read_trace", c_read_trace, METH_VARARGS, NULL},
    {"write_trace", c_write_trace, METH_VARARGS, NULL},
    {"collection_of", c_collection_of, METH_O, NULL},
    {"reimport", c_reimport, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

/* Imports vondrel.segy, derives CountingIterator from BaseTraceIterator and
 * publishes its table under __pyx_vtable__ as the module's classes do. */
static int client_exec(PyObject *module)
{
    PyObject *type, *capsule;
    int rc;
    if (vondrel_segy_import() < 0)
        return -1;
    counting_vtable = *vondrel_BaseTraceIterator_vtab;
    counting_vtable.next_trace = counting_next_trace;
    type = PyType_FromModuleAndSpec(module, &counting_spec, (PyObject *)vondrel_BaseTraceIteratorType);
    if (!type)
        return -1;
    capsule = PyCapsule_New(&counting_vtable, NULL, NULL);
    rc = capsule ? PyObject_SetAttrString(type, "__pyx_vtable__", capsule) : -1;
    Py_XDECREF(capsule);
    if (rc == 0)
        rc = PyModule_AddObjectRef(module, "CountingIterator", type);
    Py_DECREF(type);
    return rc;
}

static PyModuleDef_Slot client_slots[] = {
    {Py_mod_exec, (void *)client_exec},
    {0, NULL},
};

static struct PyModuleDef client_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "segy_c_client",
    .m_size = 0,
    .m_methods = client_methods,
    .m_slots = client_slots,
};

PyMODINIT_FUNC PyInit_segy_c_client(void)
{
    return PyModuleDef_Init(&client_module);
}
