// A native client of vondrel.segy, written the way another extension module
// would use it: its own copy of the trace record layout, the record
// operations taken from vondrel.segy.__pyx_capi__ with their signature
// strings checked, and SEGYTrace's native operations reached through the
// class's __pyx_vtable__ capsule.  Thin wrappers hand all of them to the
// tests.  Every allocation the client makes has one owner, so that a wrong
// free inside the module shows under the sanitizers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The trace record as a client declares it: the 240-byte Seismic Unix
// header, then the sample pointer.
struct segy {
    std::int32_t tracl, tracr, fldr, tracf, ep, cdp, cdpt;
    std::int16_t trid, nvs, nhs, duse;
    std::int32_t offset, gelev, selev, sdepth, gdel, sdel, swdep, gwdep;
    std::int16_t scalel, scalco;
    std::int32_t sx, sy, gx, gy;
    std::int16_t counit, wevel, swevel, sut, gut, sstat, gstat, tstat, laga, lagb, delrt, muts, mute;
    std::uint16_t ns, dt;
    std::int16_t gain, igc, igi, corr, sfs, sfe, slen, styp, stas, stae, tatyp, afilf, afils, nofilf,
        nofils, lcf, hcf, lcs, hcs, year, day, hour, minute, sec, timbas, trwf, grnors, grnofr,
        grnlof, gaps, otrav;
    float d1, f1, d2, f2, ungpow, unscale;
    std::int32_t ntr;
    std::int16_t mark, shortpad;
    std::int16_t unass[14];
    float *data;
};
constexpr std::size_t header_size = 240;
static_assert(sizeof(segy) == 248);
static_assert(offsetof(segy, ns) == 114);
static_assert(offsetof(segy, data) == header_size);

// copy_of's optional-arguments block: the count, then values copy_of never reads.
struct CopyOfOpt {
    int n;
    int values[3];
};

// SEGYTrace's optional arguments of from_trace and its operation table.
struct FromTraceOpt {
    int n;
    int trace_owner;
    int trace_data_owner;
};
struct TraceVTable {
    PyObject *(*from_trace)(segy *trace, FromTraceOpt *opt);
    PyObject *(*from_file_descriptor)(FILE *fp);
    PyObject *(*to_file_descriptor)(PyObject *self, FILE *fp);
};

// A SEGYTrace instance: object header, operation table, native fields.
struct TraceInstance {
    PyObject_HEAD
    TraceVTable *vtab;
    segy *trace;
    int trace_owner;
    int trace_data_owner;
    unsigned char samples[208];
};
static_assert(sizeof(TraceInstance) == 248);

using NewTraceFn = segy *(*)(int);
using CopyOfFn = segy *(*)(segy *, CopyOfOpt *);
using DelTraceFn = void (*)(segy *, int);

constexpr const char *sig_new_trace = "segy *(int)";
constexpr const char *sig_copy_of =
    "segy *(segy *, struct __pyx_opt_args_7vondrel_4segy_copy_of *__pyx_optional_args)";
constexpr const char *sig_del_trace = "void (segy *, int)";

constexpr const char *msg_missing_function = "%.200s does not export expected C function %.200s";
constexpr const char *msg_wrong_signature =
    "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";
constexpr const char *msg_released = "the record has been released";
constexpr const char *msg_no_record = "the SEGYTrace holds no record";
constexpr const char *msg_slot_missing = "SEGYTrace.%s is not available";
constexpr const char *msg_header_size = "a header is exactly 240 bytes";
constexpr const char *msg_sample_size = "expected %zd sample bytes, got %zd";

NewTraceFn new_trace = nullptr;
CopyOfFn copy_of = nullptr;
DelTraceFn del_trace = nullptr;
PyTypeObject *trace_type = nullptr;   // strong reference, kept for the process
TraceVTable *trace_vtab = nullptr;

// Owns one strong reference, or nothing.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *stolen) : p_(stolen) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject *get() const { return p_; }
    PyObject *release() { PyObject *r = p_; p_ = nullptr; return r; }
    explicit operator bool() const { return p_ != nullptr; }
private:
    PyObject *p_ = nullptr;
};

// Closes a stream the client opened.
struct StreamCloser {
    FILE *fp;
    ~StreamCloser() { if (fp) std::fclose(fp); }
};

// ---------------------------------------------------------------- imports

// Takes `name` from `module`.__pyx_capi__ and checks the capsule's name
// against `signature` the way the module checks its own imports.  0, or -1
// with ImportError/TypeError (or the lookup's error) set.
int import_function(PyObject *module, const char *name, void **fn, const char *signature)
{
    Ref capi(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!capi)
        return -1;
    const char *module_name = PyModule_GetName(module);
    if (!module_name)
        return -1;
    Ref capsule(PyMapping_GetItemString(capi.get(), name));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, msg_missing_function, module_name, name);
        return -1;
    }
    const char *actual = PyCapsule_GetName(capsule.get());
    if (!actual && PyErr_Occurred())
        return -1;
    if (!actual || std::strcmp(actual, signature) != 0) {
        PyErr_Format(PyExc_TypeError, msg_wrong_signature, module_name, name, signature,
                     actual ? actual : "");
        return -1;
    }
    *fn = PyCapsule_GetPointer(capsule.get(), actual);
    return *fn ? 0 : -1;
}

// Imports the record operations and finds SEGYTrace's operation table.
// 0, or -1 with an exception set.
int import_segy()
{
    Ref module(PyImport_ImportModule("vondrel.segy"));
    if (!module)
        return -1;
    void *fn[3] = {};
    if (import_function(module.get(), "new_trace", &fn[0], sig_new_trace) < 0 ||
        import_function(module.get(), "copy_of", &fn[1], sig_copy_of) < 0 ||
        import_function(module.get(), "del_trace", &fn[2], sig_del_trace) < 0)
        return -1;
    new_trace = reinterpret_cast<NewTraceFn>(fn[0]);
    copy_of = reinterpret_cast<CopyOfFn>(fn[1]);
    del_trace = reinterpret_cast<DelTraceFn>(fn[2]);

    Ref type(PyObject_GetAttrString(module.get(), "SEGYTrace"));
    if (!type)
        return -1;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "vondrel.segy.SEGYTrace is not a type");
        return -1;
    }
    Ref dict(PyObject_GetAttrString(type.get(), "__dict__"));
    if (!dict)
        return -1;
    Ref capsule(PyMapping_GetItemString(dict.get(), "__pyx_vtable__"));
    if (!capsule)
        return -1;
    trace_vtab = static_cast<TraceVTable *>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!trace_vtab)
        return -1;
    trace_type = reinterpret_cast<PyTypeObject *>(type.release());
    return 0;
}

// ---------------------------------------------------------------- Record

// A handle on one record from new_trace or copy_of.  The handle owns the
// record (and frees it with del_trace(rec, 1)) until del_trace() is called
// through the client; a buffer that del_trace(rec, 0) leaves behind is kept
// in `orphan` and freed by release_orphan() or at destruction.
struct RecordObject {
    PyObject_HEAD
    segy *rec;
    float *orphan;
    Py_ssize_t orphan_bytes;
};

PyTypeObject *record_type = nullptr;      // made in module execution

// Wraps `rec` (stolen); a null record becomes None.  New reference.
PyObject *wrap_record(segy *rec)
{
    if (!rec)
        Py_RETURN_NONE;
    auto *self = PyObject_New(RecordObject, record_type);
    if (!self) {
        del_trace(rec, 1);
        return nullptr;
    }
    self->rec = rec;
    self->orphan = nullptr;
    self->orphan_bytes = 0;
    return reinterpret_cast<PyObject *>(self);
}

RecordObject *as_record(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, record_type)) {
        PyErr_SetString(PyExc_TypeError, "a segy_client.Record is required");
        return nullptr;
    }
    return reinterpret_cast<RecordObject *>(obj);
}

// The live record of `self`, or null with ValueError once it was released.
segy *live(PyObject *self)
{
    segy *rec = reinterpret_cast<RecordObject *>(self)->rec;
    if (!rec)
        PyErr_SetString(PyExc_ValueError, msg_released);
    return rec;
}

void record_dealloc(PyObject *self)
{
    auto *r = reinterpret_cast<RecordObject *>(self);
    if (r->rec)
        del_trace(r->rec, 1);
    std::free(r->orphan);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject *record_get_header(PyObject *self, void *)
{
    segy *rec = live(self);
    return rec ? PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec), header_size) : nullptr;
}

PyObject *record_set_header(PyObject *self, PyObject *arg)
{
    segy *rec = live(self);
    if (!rec)
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    if (view.len != static_cast<Py_ssize_t>(header_size)) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, msg_header_size);
        return nullptr;
    }
    std::memcpy(rec, view.buf, header_size);
    PyBuffer_Release(&view);
    Py_RETURN_NONE;
}

PyObject *record_get_data_address(PyObject *self, void *)
{
    segy *rec = live(self);
    return rec ? PyLong_FromVoidPtr(rec->data) : nullptr;
}

// Bytes the allocator granted to the sample buffer (0 when data is null).
PyObject *record_usable_size(PyObject *self, PyObject *)
{
    segy *rec = live(self);
    return rec ? PyLong_FromSize_t(rec->data ? malloc_usable_size(rec->data) : 0) : nullptr;
}

// The ns samples as bytes.
PyObject *record_samples(PyObject *self, PyObject *)
{
    segy *rec = live(self);
    if (!rec)
        return nullptr;
    if (rec->ns && !rec->data) {
        PyErr_SetString(PyExc_ValueError, "the record has no sample buffer");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec->data),
                                     Py_ssize_t{rec->ns} * 4);
}

// Overwrites the ns samples; the argument must hold exactly ns * 4 bytes.
PyObject *record_set_samples(PyObject *self, PyObject *arg)
{
    segy *rec = live(self);
    if (!rec)
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    Py_ssize_t expected = Py_ssize_t{rec->ns} * 4;
    if (view.len != expected || (expected && !rec->data)) {
        PyErr_Format(PyExc_ValueError, msg_sample_size, expected, view.len);
        PyBuffer_Release(&view);
        return nullptr;
    }
    if (expected)
        std::memcpy(rec->data, view.buf, expected);
    PyBuffer_Release(&view);
    Py_RETURN_NONE;
}

// What the buffer left behind by del_trace(rec, 0) still holds.
PyObject *record_orphan_samples(PyObject *self, PyObject *)
{
    auto *r = reinterpret_cast<RecordObject *>(self);
    if (!r->orphan) {
        PyErr_SetString(PyExc_ValueError, "no sample buffer was left behind");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(r->orphan), r->orphan_bytes);
}

PyObject *record_release_orphan(PyObject *self, PyObject *)
{
    auto *r = reinterpret_cast<RecordObject *>(self);
    std::free(r->orphan);
    r->orphan = nullptr;
    r->orphan_bytes = 0;
    Py_RETURN_NONE;
}

PyMethodDef record_methods[] = {
    {"set_header", record_set_header, METH_O, nullptr},
    {"usable_size", record_usable_size, METH_NOARGS, nullptr},
    {"samples", record_samples, METH_NOARGS, nullptr},
    {"set_samples", record_set_samples, METH_O, nullptr},
    {"orphan_samples", record_orphan_samples, METH_NOARGS, nullptr},
    {"release_orphan", record_release_orphan, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef record_getset[] = {
    {"header", record_get_header, nullptr, nullptr, nullptr},
    {"data_address", record_get_data_address, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- Leftovers

// What a from_trace call left to the client: the record when the trace does
// not own it, the sample buffer when the trace does not release it.  Freed
// at destruction, which must come after the trace's.
struct LeftoversObject {
    PyObject_HEAD
    segy *rec;        // the record handed to from_trace (address only once the trace owns it)
    segy *free_rec;   // freed here, or null
    float *free_data; // freed here, or null
};

PyTypeObject *leftovers_type = nullptr;   // made in module execution

void leftovers_dealloc(PyObject *self)
{
    auto *l = reinterpret_cast<LeftoversObject *>(self);
    std::free(l->free_data);
    std::free(l->free_rec);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject *leftovers_get_record_address(PyObject *self, void *)
{
    return PyLong_FromVoidPtr(reinterpret_cast<LeftoversObject *>(self)->rec);
}

// Sets the data pointer of a record the client still owns to null, keeping
// the buffer for its own release.
PyObject *leftovers_detach_data(PyObject *self, PyObject *)
{
    auto *l = reinterpret_cast<LeftoversObject *>(self);
    if (!l->free_rec || !l->free_data) {
        PyErr_SetString(PyExc_ValueError, "the client does not own both record and samples");
        return nullptr;
    }
    l->free_rec->data = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef leftovers_methods[] = {
    {"detach_data", leftovers_detach_data, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef leftovers_getset[] = {
    {"record_address", leftovers_get_record_address, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- record functions

PyObject *client_new_trace(PyObject *, PyObject *arg)
{
    int ns = PyLong_AsInt(arg);
    if (ns == -1 && PyErr_Occurred())
        return nullptr;
    return wrap_record(new_trace(ns));
}

// copy_of(record or None, opt=None): opt None passes a null block, an int n
// a block whose count is n followed by values copy_of must not read.
PyObject *client_copy_of(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "copy_of(record, opt=None)");
        return nullptr;
    }
    segy *src = nullptr;
    if (args[0] != Py_None) {
        RecordObject *r = as_record(args[0]);
        if (!r || !(src = live(args[0])))
            return nullptr;
    }
    CopyOfOpt block{.n = 0, .values = {0x5a5a5a5a, -1, 0x7fffffff}};
    CopyOfOpt *opt = nullptr;
    if (nargs == 2 && args[1] != Py_None) {
        block.n = PyLong_AsInt(args[1]);
        if (block.n == -1 && PyErr_Occurred())
            return nullptr;
        opt = &block;
    }
    return wrap_record(copy_of(src, opt));
}

// del_trace(record or None, free_data).  With free_data 0 the record's buffer
// is kept by the handle (see RecordObject).
PyObject *client_del_trace(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "del_trace(record, free_data)");
        return nullptr;
    }
    int free_data = PyLong_AsInt(args[1]);
    if (free_data == -1 && PyErr_Occurred())
        return nullptr;
    if (args[0] == Py_None) {
        del_trace(nullptr, free_data);
        Py_RETURN_NONE;
    }
    RecordObject *r = as_record(args[0]);
    if (!r || !live(args[0]))
        return nullptr;
    segy *rec = r->rec;
    r->rec = nullptr;
    if (!free_data && rec->data) {
        std::free(r->orphan);
        r->orphan = rec->data;
        r->orphan_bytes = Py_ssize_t{rec->ns} * 4;
    }
    del_trace(rec, free_data);
    Py_RETURN_NONE;
}

// Bytes of heap in use (arena and mmapped chunks), or None when a
// sanitizer runtime in the process has replaced the allocator and the count
// means nothing (asked at run time: this module may have been built without it).
PyObject *client_heap_in_use(PyObject *, PyObject *)
{
    if (dlsym(RTLD_DEFAULT, "__asan_init"))
        Py_RETURN_NONE;
    struct mallinfo2 info = mallinfo2();
    return PyLong_FromSize_t(info.uordblks + info.hblkhd);
}

// ---------------------------------------------------------------- SEGYTrace operations

template <typename Fn>
bool slot_ready(Fn fn, const char *name)
{
    if (!fn)
        PyErr_Format(PyExc_NotImplementedError, msg_slot_missing, name);
    return fn != nullptr;
}

TraceInstance *as_trace(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, trace_type)) {
        PyErr_Format(PyExc_TypeError, "a SEGYTrace is required, not %.200s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<TraceInstance *>(obj);
}

// Opens `path` (str or bytes) with `mode`.  Null with OSError set on failure.
FILE *open_path(PyObject *path, const char *mode)
{
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded))
        return nullptr;
    Ref held(encoded);
    FILE *fp = std::fopen(PyBytes_AS_STRING(encoded), mode);
    if (!fp)
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return fp;
}

// (result or the exception raised, stream position): a new tuple; takes
// the pending exception when `result` is null.
PyObject *outcome(PyObject *result, long long position)
{
    Ref value(result ? result : PyErr_GetRaisedException());
    return Py_BuildValue("(OL)", value.get(), position);
}

// read_trace(path, offset) -> (SEGYTrace or exception, position after the call)
PyObject *client_read_trace(PyObject *, PyObject *args)
{
    PyObject *path;
    long long offset;
    if (!PyArg_ParseTuple(args, "OL:read_trace", &path, &offset))
        return nullptr;
    if (!slot_ready(trace_vtab->from_file_descriptor, "from_file_descriptor"))
        return nullptr;
    StreamCloser stream{open_path(path, "rb")};
    if (!stream.fp)
        return nullptr;
    if (fseeko(stream.fp, offset, SEEK_SET) != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    PyObject *trace = trace_vtab->from_file_descriptor(stream.fp);
    return outcome(trace, ftello(stream.fp));
}

// write_trace(trace, path, mode) -> position after the call; the error of
// to_file_descriptor propagates.
PyObject *client_write_trace(PyObject *, PyObject *args)
{
    PyObject *obj;
    PyObject *path;
    const char *mode;
    if (!PyArg_ParseTuple(args, "OOs:write_trace", &obj, &path, &mode))
        return nullptr;
    if (!slot_ready(trace_vtab->to_file_descriptor, "to_file_descriptor") || !as_trace(obj))
        return nullptr;
    StreamCloser stream{open_path(path, mode)};
    if (!stream.fp)
        return nullptr;
    Ref result(trace_vtab->to_file_descriptor(obj, stream.fp));
    if (!result)
        return nullptr;
    if (result.get() != Py_None) {
        PyErr_SetString(PyExc_AssertionError, "to_file_descriptor did not return None");
        return nullptr;
    }
    return PyLong_FromLongLong(ftello(stream.fp));
}

// A write sink that accepts `cap` bytes in total and then refuses.
struct CappedSink {
    char *bytes;
    std::size_t used;
    std::size_t cap;
};

ssize_t capped_write(void *cookie, const char *buf, std::size_t size)
{
    auto *sink = static_cast<CappedSink *>(cookie);
    std::size_t n = std::min(size, sink->cap - sink->used);
    std::memcpy(sink->bytes + sink->used, buf, n);
    sink->used += n;
    return static_cast<ssize_t>(n);
}

// write_trace_capped(trace, cap) -> (None or exception, bytes accepted): the
// trace written to an unbuffered stream that takes at most `cap` bytes.
PyObject *client_write_trace_capped(PyObject *, PyObject *args)
{
    PyObject *obj;
    Py_ssize_t cap;
    if (!PyArg_ParseTuple(args, "On:write_trace_capped", &obj, &cap))
        return nullptr;
    if (!slot_ready(trace_vtab->to_file_descriptor, "to_file_descriptor") || !as_trace(obj))
        return nullptr;
    if (cap < 0) {
        PyErr_SetString(PyExc_ValueError, "cap must not be negative");
        return nullptr;
    }
    Ref accepted(PyBytes_FromStringAndSize(nullptr, cap));
    if (!accepted)
        return nullptr;
    CappedSink sink{PyBytes_AS_STRING(accepted.get()), 0, static_cast<std::size_t>(cap)};
    StreamCloser stream{fopencookie(&sink, "wb", {nullptr, capped_write, nullptr, nullptr})};
    if (!stream.fp)
        return PyErr_SetFromErrno(PyExc_OSError);
    setvbuf(stream.fp, nullptr, _IONBF, 0);
    PyObject *written = trace_vtab->to_file_descriptor(obj, stream.fp);
    Ref value(written ? written : PyErr_GetRaisedException());
    return Py_BuildValue("(Oy#)", value.get(), sink.bytes, static_cast<Py_ssize_t>(sink.used));
}

// from_trace(header, samples or None, trace_owner, trace_data_owner, n or
// None) -> (SEGYTrace or exception, Leftovers).  The record and the sample
// buffer are the client's own allocations; n None passes a null block.
PyObject *client_from_trace(PyObject *, PyObject *args)
{
    Py_buffer header;
    PyObject *samples;
    int trace_owner;
    int trace_data_owner;
    PyObject *n_obj;
    if (!PyArg_ParseTuple(args, "y*OiiO:from_trace", &header, &samples, &trace_owner,
                          &trace_data_owner, &n_obj))
        return nullptr;
    Py_ssize_t header_len = header.len;
    unsigned char raw[header_size];
    if (header_len == static_cast<Py_ssize_t>(header_size))
        std::memcpy(raw, header.buf, header_size);
    PyBuffer_Release(&header);
    if (header_len != static_cast<Py_ssize_t>(header_size)) {
        PyErr_SetString(PyExc_ValueError, msg_header_size);
        return nullptr;
    }
    if (!slot_ready(trace_vtab->from_trace, "from_trace"))
        return nullptr;
    FromTraceOpt block{.n = 0, .trace_owner = trace_owner, .trace_data_owner = trace_data_owner};
    FromTraceOpt *opt = nullptr;
    if (n_obj != Py_None) {
        block.n = PyLong_AsInt(n_obj);
        if (block.n == -1 && PyErr_Occurred())
            return nullptr;
        opt = &block;
    }
    Ref left(reinterpret_cast<PyObject *>(PyObject_New(LeftoversObject, leftovers_type)));
    if (!left)
        return nullptr;
    auto *l = reinterpret_cast<LeftoversObject *>(left.get());
    l->rec = l->free_rec = static_cast<segy *>(std::malloc(sizeof(segy)));
    l->free_data = nullptr;
    if (!l->rec)
        return PyErr_NoMemory();
    std::memcpy(l->rec, raw, header_size);
    l->rec->data = nullptr;
    if (samples != Py_None) {
        char *bytes;
        Py_ssize_t len;
        if (PyBytes_AsStringAndSize(samples, &bytes, &len) < 0)
            return nullptr;
        l->free_data = static_cast<float *>(std::malloc(len ? len : 1));
        if (!l->free_data)
            return PyErr_NoMemory();
        std::memcpy(l->free_data, bytes, len);
        l->rec->data = l->free_data;
    }

    PyObject *trace = trace_vtab->from_trace(l->rec, opt);
    if (trace) {
        // The trace's flags, not the client's arguments, say what it frees.
        auto *t = reinterpret_cast<TraceInstance *>(trace);
        if (t->trace_owner) {
            l->free_rec = nullptr;
            if (t->trace_data_owner)
                l->free_data = nullptr;
        }
    }
    Ref value(trace ? trace : PyErr_GetRaisedException());
    return PyTuple_Pack(2, value.get(), left.get());
}

// from_null_record() -> from_trace(NULL, NULL), which must raise.
PyObject *client_from_null_record(PyObject *, PyObject *)
{
    if (!slot_ready(trace_vtab->from_trace, "from_trace"))
        return nullptr;
    return trace_vtab->from_trace(nullptr, nullptr);
}

// trace_fields(trace) -> (record address or 0, trace_owner, trace_data_owner)
PyObject *client_trace_fields(PyObject *, PyObject *obj)
{
    TraceInstance *t = as_trace(obj);
    if (!t)
        return nullptr;
    Ref address(PyLong_FromVoidPtr(t->trace));
    if (!address)
        return nullptr;
    return Py_BuildValue("(Oii)", address.get(), t->trace_owner, t->trace_data_owner);
}

segy *trace_record(PyObject *obj)
{
    TraceInstance *t = as_trace(obj);
    if (t && !t->trace)
        PyErr_SetString(PyExc_ValueError, msg_no_record);
    return t ? t->trace : nullptr;
}

// The 240 header bytes of the trace's record.
PyObject *client_trace_header(PyObject *, PyObject *obj)
{
    segy *rec = trace_record(obj);
    return rec ? PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec), header_size) : nullptr;
}

// The ns samples of the trace's record, as bytes.
PyObject *client_trace_samples(PyObject *, PyObject *obj)
{
    segy *rec = trace_record(obj);
    if (!rec)
        return nullptr;
    if (rec->ns && !rec->data) {
        PyErr_SetString(PyExc_ValueError, "the record has no sample buffer");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec->data), Py_ssize_t{rec->ns} * 4);
}

// Runs vondrel.segy's execution slot on a fresh module object.
PyObject *client_exec_on_new_module(PyObject *, PyObject *)
{
    Ref segy_module(PyImport_ImportModule("vondrel.segy"));
    if (!segy_module)
        return nullptr;
    PyModuleDef *def = PyModule_GetDef(segy_module.get());
    if (!def) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "vondrel.segy has no module definition");
        return nullptr;
    }
    Ref fresh(PyModule_New("x"));
    if (!fresh || PyModule_ExecDef(fresh.get(), def) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef client_functions[] = {
    {"new_trace", client_new_trace, METH_O, nullptr},
    {"copy_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_copy_of)), METH_FASTCALL, nullptr},
    {"del_trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_del_trace)), METH_FASTCALL, nullptr},
    {"heap_in_use", client_heap_in_use, METH_NOARGS, nullptr},
    {"read_trace", client_read_trace, METH_VARARGS, nullptr},
    {"write_trace", client_write_trace, METH_VARARGS, nullptr},
    {"write_trace_capped", client_write_trace_capped, METH_VARARGS, nullptr},
    {"from_trace", client_from_trace, METH_VARARGS, nullptr},
    {"from_null_record", client_from_null_record, METH_NOARGS, nullptr},
    {"trace_fields", client_trace_fields, METH_O, nullptr},
    {"trace_header", client_trace_header, METH_O, nullptr},
    {"trace_samples", client_trace_samples, METH_O, nullptr},
    {"exec_on_new_module", client_exec_on_new_module, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(record_dealloc)},
    {Py_tp_methods, record_methods},
    {Py_tp_getset, record_getset},
    {0, nullptr},
};
PyType_Spec record_spec = {"segy_client.Record", sizeof(RecordObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, record_slots};

PyType_Slot leftovers_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(leftovers_dealloc)},
    {Py_tp_methods, leftovers_methods},
    {Py_tp_getset, leftovers_getset},
    {0, nullptr},
};
PyType_Spec leftovers_spec = {"segy_client.Leftovers", sizeof(LeftoversObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, leftovers_slots};

int client_exec(PyObject *module)
{
    if (import_segy() < 0)
        return -1;
    record_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&record_spec));
    if (!record_type)
        return -1;
    leftovers_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&leftovers_spec));
    if (!leftovers_type)
        return -1;
    if (PyModule_AddObjectRef(module, "Record", reinterpret_cast<PyObject *>(record_type)) < 0 ||
        PyModule_AddObjectRef(module, "Leftovers", reinterpret_cast<PyObject *>(leftovers_type)) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot client_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(&client_exec)},
    {0, nullptr},
};

PyModuleDef client_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "segy_client",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = client_functions,
    .m_slots = client_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_segy_client()
{
    return PyModuleDef_Init(&client_def);
}
