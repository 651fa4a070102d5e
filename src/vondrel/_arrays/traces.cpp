#include "vondrel/_arrays/traces.hpp"

#include "vondrel/_arrays/args.hpp"
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/layout.hpp"
#include "vondrel/common/binder.hpp"

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

// The published layouts of vondrel.segy's objects are C structs of the
// interface header, not this package's object structs: these are the only
// casts to them, each after a type check.

// The collection behind a SEGY, or null (no exception) for another object.
vondrel_SEGY *collection_of(PyObject *obj)
{
    return PyObject_TypeCheck(obj, vondrel_SEGYType) ? reinterpret_cast<vondrel_SEGY *>(obj) : nullptr;
}

// The header of a trace whose record record_of() has found.
unsigned char *header_of(PyObject *trace)
{
    return reinterpret_cast<unsigned char *>(reinterpret_cast<vondrel_SEGYTrace *>(trace)->trace);
}

}  // namespace

int traces_ready()
{
    if (vondrel_segy_import() < 0)
        return -1;
    return 0;
}

// header_bytes(trace): a new block lending the trace's 240 header bytes
// (writable) while it holds an export of the trace, which keeps the trace
// and its record alive; TypeError for another object, ValueError for a
// trace with no record, or the error of the trace's export.
Params header_bytes_params{"header_bytes", {"trace"}};

PyObject *arrays_header_bytes(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *trace;
    if (header_bytes_params.bind(call, nargs, kwnames, &trace) < 0 || !record_of(trace))
        return nullptr;
    return block_within(trace, header_of, static_cast<Py_ssize_t>(header_size));
}

// copy_headers(collection, headers): copies row i of `headers` (native
// order, 240 bytes a row) into the record of trace i of an in-memory
// collection, all but ns, which the trace's samples decide.  None; TypeError
// or ValueError when the collection or the rows do not fit.
Params copy_headers_params{"copy_headers", {"collection", "headers"}};

PyObject *arrays_copy_headers(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[2];
    if (copy_headers_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    vondrel_SEGY *c = collection_of(args[0]);
    if (!c || !PyList_Check(c->traces)) {
        PyErr_SetString(PyExc_TypeError, msg_not_collection);
        return nullptr;
    }
    Ref traces = Ref::borrow(c->traces);
    Buffer rows;
    if (rows.get(args[1], false) < 0)
        return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(traces.get());
    int status = 0;
    if (rows.size() != static_cast<std::size_t>(n) * header_size) {
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
        const unsigned char *src = rows.data() + i * header_size;
        std::memcpy(dst, src, ns_offset);
        std::memcpy(dst + ns_offset + 2, src + ns_offset + 2, header_size - ns_offset - 2);
    }
    return status ? nullptr : Py_NewRef(Py_None);
}

// on_disk(obj): (filename, n_traces) of an on-disk SEGY, whose traces its
// own iteration reads from a path or a stream; None for anything else.
Params on_disk_params{"on_disk", {"collection"}};

PyObject *arrays_on_disk(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *obj;
    if (on_disk_params.bind(call, nargs, kwnames, &obj) < 0)
        return nullptr;
    vondrel_SEGY *c = collection_of(obj);
    if (!c || c->filename == Py_None)
        return Py_NewRef(Py_None);
    return Py_BuildValue("(Oi)", c->filename, c->n_traces);
}

// gather(iterable): the headers and samples of every trace the iterable
// yields, in native order.  A new tuple (headers block, samples block,
// offsets block, traces); TypeError for an item that is not a trace,
// MemoryError, or the iteration's own error.
Params gather_params{"gather", {"traces"}};

PyObject *arrays_gather(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *traces;
    if (gather_params.bind(call, nargs, kwnames, &traces) < 0)
        return nullptr;
    Ref it(PyObject_GetIter(traces));
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
