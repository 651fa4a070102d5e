#include "vondrel/_arrays/traces.hpp"

#include "vondrel/_arrays/args.hpp"
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/layout.hpp"
#include "vondrel/segy/common.hpp"

#include "vondrel/segy_api.h"

#include <cstdint>
#include <cstring>

namespace vondrel::arrays {

namespace {

constexpr const char *msg_not_trace = "A vondrel.segy.SEGYTrace is required, not %.200s.";
constexpr const char *msg_empty_trace = "The trace holds no record (made by SEGYTrace.__new__ alone).";
constexpr const char *msg_not_collection = "A vondrel.segy.SEGY in memory is required.";
constexpr const char *msg_header_rows = "The header rows do not match the collection's traces.";

// The record of a SEGYTrace (borrowed), or null with TypeError or ValueError.
segy *record_of(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, vondrel_SEGYTraceType)) {
        PyErr_Format(PyExc_TypeError, msg_not_trace, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    segy *record = reinterpret_cast<vondrel_SEGYTrace *>(obj)->trace;
    if (!record)
        PyErr_SetString(PyExc_ValueError, msg_empty_trace);
    return record;
}

// Lends the header of one trace.  It holds an export of the trace's own
// buffer for its whole life: the export keeps the trace, and with it the
// record, alive.
struct HeaderBytesObject {
    PyObject_HEAD
    Py_buffer trace_export;  // released in header_bytes_dealloc
    unsigned char *header;   // inside the record that the export keeps alive
};

void header_bytes_dealloc(PyObject *self)
{
    auto *h = reinterpret_cast<HeaderBytesObject *>(self);
    PyBuffer_Release(&h->trace_export);
    Py_TYPE(self)->tp_free(self);
}

int header_bytes_getbuffer(PyObject *self, Py_buffer *view, int flags)
{
    auto *h = reinterpret_cast<HeaderBytesObject *>(self);
    return PyBuffer_FillInfo(view, self, h->header, static_cast<Py_ssize_t>(header_size), 0, flags);
}

PyBufferProcs header_bytes_as_buffer = {
    .bf_getbuffer = header_bytes_getbuffer,
    .bf_releasebuffer = nullptr,
};

}  // namespace

PyTypeObject HeaderBytesType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel._arrays._HeaderBytes",
    .tp_basicsize = sizeof(HeaderBytesObject),
    .tp_dealloc = header_bytes_dealloc,
    .tp_as_buffer = &header_bytes_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The header bytes of one trace, lent while the trace's own export is held.",
};

int traces_ready()
{
    if (vondrel_segy_import() < 0)
        return -1;
    return PyType_Ready(&HeaderBytesType);
}

// header_bytes(trace): a new object lending the trace's 240 header bytes
// (writable); TypeError for another object, ValueError for a trace with no
// record, or the error of the trace's export.
PyObject *arrays_header_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_nargs("header_bytes", nargs, 1) < 0)
        return nullptr;
    segy *record = record_of(args[0]);
    if (!record)
        return nullptr;
    auto *h = PyObject_New(HeaderBytesObject, &HeaderBytesType);
    if (!h)
        return nullptr;
    Ref hold(reinterpret_cast<PyObject *>(h));
    h->header = nullptr;
    if (PyObject_GetBuffer(args[0], &h->trace_export, PyBUF_SIMPLE) < 0) {
        // Nothing to release: give the object a harmless export-free death.
        h->trace_export.obj = nullptr;
        return nullptr;
    }
    // Taken after the export, which is what keeps this record alive.
    h->header = reinterpret_cast<unsigned char *>(reinterpret_cast<vondrel_SEGYTrace *>(args[0])->trace);
    return hold.release();
}

// copy_headers(collection, headers): copies row i of `headers` (native
// order, 240 bytes a row) into the record of trace i of an in-memory
// collection, all but ns, which the trace's samples decide.  None; TypeError
// or ValueError when the collection or the rows do not fit.
PyObject *arrays_copy_headers(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_nargs("copy_headers", nargs, 2) < 0)
        return nullptr;
    if (!PyObject_TypeCheck(args[0], vondrel_SEGYType) ||
        !PyList_Check(reinterpret_cast<vondrel_SEGY *>(args[0])->traces)) {
        PyErr_SetString(PyExc_TypeError, msg_not_collection);
        return nullptr;
    }
    Ref traces = Ref::borrow(reinterpret_cast<vondrel_SEGY *>(args[0])->traces);
    Py_buffer rows;
    if (PyObject_GetBuffer(args[1], &rows, PyBUF_SIMPLE) < 0)
        return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(traces.get());
    int status = 0;
    if (rows.len != n * static_cast<Py_ssize_t>(header_size)) {
        PyErr_SetString(PyExc_ValueError, msg_header_rows);
        status = -1;
    }
    for (Py_ssize_t i = 0; status == 0 && i < n; ++i) {
        segy *record = record_of(PyList_GET_ITEM(traces.get(), i));
        if (!record) {
            status = -1;
            break;
        }
        auto *dst = reinterpret_cast<unsigned char *>(record);
        const unsigned char *src = static_cast<const unsigned char *>(rows.buf) + i * header_size;
        std::memcpy(dst, src, ns_offset);
        std::memcpy(dst + ns_offset + 2, src + ns_offset + 2, header_size - ns_offset - 2);
    }
    PyBuffer_Release(&rows);
    return status ? nullptr : Py_NewRef(Py_None);
}

// on_disk(obj): (filename, n_traces) of an on-disk SEGY, whose traces its
// own iteration reads from a path or a stream; None for anything else.
PyObject *arrays_on_disk(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_nargs("on_disk", nargs, 1) < 0)
        return nullptr;
    if (!PyObject_TypeCheck(args[0], vondrel_SEGYType) ||
        reinterpret_cast<vondrel_SEGY *>(args[0])->filename == Py_None)
        return Py_NewRef(Py_None);
    auto *c = reinterpret_cast<vondrel_SEGY *>(args[0]);
    return Py_BuildValue("(Oi)", c->filename, c->n_traces);
}

// gather(iterable): the headers and samples of every trace the iterable
// yields, in native order.  A new tuple (headers block, samples block,
// offsets block, traces); TypeError for an item that is not a trace,
// MemoryError, or the iteration's own error.
PyObject *arrays_gather(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (check_nargs("gather", nargs, 1) < 0)
        return nullptr;
    Ref it(PyObject_GetIter(args[0]));
    if (!it)
        return nullptr;
    Store headers, flat, offsets;
    std::size_t n = 0, samples = 0;
    while (true) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred())
                return nullptr;
            break;
        }
        segy *record = record_of(item.get());
        if (!record)
            return nullptr;
        std::size_t ns = record->ns;
        if (!headers.reserve((n + 1) * header_size) || !offsets.reserve((n + 2) * 8) ||
            !flat.reserve((samples + ns) * sample_size))
            return PyErr_NoMemory();
        std::memcpy(headers.data() + n * header_size, record, header_size);
        if (ns)
            std::memcpy(flat.data() + samples * sample_size, record->data, ns * sample_size);
        std::int64_t start = static_cast<std::int64_t>(samples);
        std::memcpy(offsets.data() + n * 8, &start, 8);
        samples += ns;
        ++n;
    }
    if (!offsets.reserve((n + 1) * 8) || !flat.reserve(samples * sample_size) ||
        !headers.reserve(n * header_size))
        return PyErr_NoMemory();
    std::int64_t end = static_cast<std::int64_t>(samples);
    std::memcpy(offsets.data() + n * 8, &end, 8);
    headers.set_size(n * header_size);
    flat.set_size(samples * sample_size);
    offsets.set_size((n + 1) * 8);
    Ref h(block_from_store(headers));
    Ref f(block_from_store(flat));
    Ref o(block_from_store(offsets));
    if (!h || !f || !o)
        return nullptr;
    return Py_BuildValue("(NNNn)", h.release(), f.release(), o.release(), static_cast<Py_ssize_t>(n));
}

}  // namespace vondrel::arrays
