// SEGYTrace: construction from samples and header keywords, the buffer
// export, the header properties and the native operations that wrap, read
// and write one trace record.
#include "vondrel/segy/trace/trace.hpp"

#include "vondrel/common/binder.hpp"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace vondrel {

// What a trace lets go of when it is destroyed or re-initialised: the record,
// whether it and its sample buffer are to be freed, and the buffer (or the
// 2-D array of a row trace) that keeps the samples' memory alive.
struct HeldMemory {
    segy *record;
    int free_record;
    int free_data;
    Py_buffer source;
};

// Shared by a trace and the buffer exports taken of its current record: each
// export holds one reference (in the Py_buffer's `internal` field), the trace
// another until it lets the record go.  Then the owner takes what the trace
// held and releases it with its last reference, so that no export outlives
// the memory it points at.  The exports' shape and strides live here, where
// re-initialisation cannot change them.
struct SampleOwner {
    Py_ssize_t refs;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    HeldMemory held;                    // empty (record and source.obj null) until the trace lets go
};

namespace {

constexpr const char *msg_no_record = "SEGYTrace holds no trace record.";
constexpr const char *msg_alloc_trace = "Unable to allocate trace.";
constexpr const char *msg_too_many_samples = "Trace data has more than 65535 samples.";
constexpr const char *msg_out_of_bounds = "Out of bounds on buffer access (axis %d)";
constexpr const char *msg_wrong_ndim = "Buffer has wrong number of dimensions (expected %d, got %d)";
constexpr const char *msg_dtype = "Buffer dtype mismatch, expected 'float' but got '%s'";
constexpr const char *msg_not_contiguous = "Buffer not C contiguous.";
constexpr const char *msg_null_pointer = "Cannot create an array from a NULL pointer.";
constexpr const char *msg_null_record = "Cannot wrap a NULL trace record.";
constexpr const char *msg_invalid_shape = "Invalid shape in axis %d: %zd.";
constexpr const char *msg_short_overflow = "value too large to convert to short";
constexpr const char *msg_ushort_negative = "can't convert negative value to unsigned short";
constexpr const char *msg_ushort_overflow = "value too large to convert to unsigned short";

constexpr const char *trace_doc =
    "SEGYTrace(data, unsigned short dt, int tracl=0, int tracr=0, int fldr=0, "
    "int tracf=0, int ep=0, int cdp=0, int cdpt=0, short trid=0, short nvs=1, "
    "short nhs=1, short duse=2, int offset=0, int gelev=0, int selev=0, int sdepth=0, "
    "int gdel=0, int sdel=0, int swdep=0, int gwdep=0, short scalel=1, short scalco=1, "
    "int sx=0, int sy=0, int gx=0, int gy=0, short counit=1, short wevel=1, "
    "short swevel=1, short sut=0, short gut=0, short sstat=0, short gstat=0, "
    "short tstat=0, short laga=0, short lagb=0, short delrt=0, short muts=-1, "
    "short mute=-1, short gain=1, short igc=1, short igi=1, short corr=1, short sfs=1, "
    "short sfe=120, short slen=10000, short styp=3, short stas=0, short stae=10000, "
    "short tatyp=1, short afilf=0, short afils=1, short nofilf=0, short nofils=1, "
    "short lcf=0, short hcf=0, short lcs=1, short hcs=1, short year=1970, short day=0, "
    "short hour=0, short minute=0, short sec=0, short timbas=0, short trwf=0, "
    "short grnors=0, short grnofr=0, short grnlof=0, short gaps=0, short otrav=0, "
    "float d1=1, float f1=0, float d2=1, float f2=0, float ungpow=0, float unscale=1, "
    "int ntr=1, short mark=0, short shortpad=0)";

enum class Kind { Int, Short, Float };

// One header keyword of the constructor: its name, C type, place in the
// record and default.
struct Keyword {
    const char *name;
    Kind kind;
    std::size_t offset;
    double fallback;
};

// The keywords after `data` and `dt`, in parameter order.
constexpr Keyword keywords[] = {
    {"tracl", Kind::Int, offsetof(segy, tracl), 0},
    {"tracr", Kind::Int, offsetof(segy, tracr), 0},
    {"fldr", Kind::Int, offsetof(segy, fldr), 0},
    {"tracf", Kind::Int, offsetof(segy, tracf), 0},
    {"ep", Kind::Int, offsetof(segy, ep), 0},
    {"cdp", Kind::Int, offsetof(segy, cdp), 0},
    {"cdpt", Kind::Int, offsetof(segy, cdpt), 0},
    {"trid", Kind::Short, offsetof(segy, trid), 0},
    {"nvs", Kind::Short, offsetof(segy, nvs), 1},
    {"nhs", Kind::Short, offsetof(segy, nhs), 1},
    {"duse", Kind::Short, offsetof(segy, duse), 2},
    {"offset", Kind::Int, offsetof(segy, offset), 0},
    {"gelev", Kind::Int, offsetof(segy, gelev), 0},
    {"selev", Kind::Int, offsetof(segy, selev), 0},
    {"sdepth", Kind::Int, offsetof(segy, sdepth), 0},
    {"gdel", Kind::Int, offsetof(segy, gdel), 0},
    {"sdel", Kind::Int, offsetof(segy, sdel), 0},
    {"swdep", Kind::Int, offsetof(segy, swdep), 0},
    {"gwdep", Kind::Int, offsetof(segy, gwdep), 0},
    {"scalel", Kind::Short, offsetof(segy, scalel), 1},
    {"scalco", Kind::Short, offsetof(segy, scalco), 1},
    {"sx", Kind::Int, offsetof(segy, sx), 0},
    {"sy", Kind::Int, offsetof(segy, sy), 0},
    {"gx", Kind::Int, offsetof(segy, gx), 0},
    {"gy", Kind::Int, offsetof(segy, gy), 0},
    {"counit", Kind::Short, offsetof(segy, counit), 1},
    {"wevel", Kind::Short, offsetof(segy, wevel), 1},
    {"swevel", Kind::Short, offsetof(segy, swevel), 1},
    {"sut", Kind::Short, offsetof(segy, sut), 0},
    {"gut", Kind::Short, offsetof(segy, gut), 0},
    {"sstat", Kind::Short, offsetof(segy, sstat), 0},
    {"gstat", Kind::Short, offsetof(segy, gstat), 0},
    {"tstat", Kind::Short, offsetof(segy, tstat), 0},
    {"laga", Kind::Short, offsetof(segy, laga), 0},
    {"lagb", Kind::Short, offsetof(segy, lagb), 0},
    {"delrt", Kind::Short, offsetof(segy, delrt), 0},
    {"muts", Kind::Short, offsetof(segy, muts), -1},
    {"mute", Kind::Short, offsetof(segy, mute), -1},
    {"gain", Kind::Short, offsetof(segy, gain), 1},
    {"igc", Kind::Short, offsetof(segy, igc), 1},
    {"igi", Kind::Short, offsetof(segy, igi), 1},
    {"corr", Kind::Short, offsetof(segy, corr), 1},
    {"sfs", Kind::Short, offsetof(segy, sfs), 1},
    {"sfe", Kind::Short, offsetof(segy, sfe), 120},
    {"slen", Kind::Short, offsetof(segy, slen), 10000},
    {"styp", Kind::Short, offsetof(segy, styp), 3},
    {"stas", Kind::Short, offsetof(segy, stas), 0},
    {"stae", Kind::Short, offsetof(segy, stae), 10000},
    {"tatyp", Kind::Short, offsetof(segy, tatyp), 1},
    {"afilf", Kind::Short, offsetof(segy, afilf), 0},
    {"afils", Kind::Short, offsetof(segy, afils), 1},
    {"nofilf", Kind::Short, offsetof(segy, nofilf), 0},
    {"nofils", Kind::Short, offsetof(segy, nofils), 1},
    {"lcf", Kind::Short, offsetof(segy, lcf), 0},
    {"hcf", Kind::Short, offsetof(segy, hcf), 0},
    {"lcs", Kind::Short, offsetof(segy, lcs), 1},
    {"hcs", Kind::Short, offsetof(segy, hcs), 1},
    {"year", Kind::Short, offsetof(segy, year), 1970},
    {"day", Kind::Short, offsetof(segy, day), 0},
    {"hour", Kind::Short, offsetof(segy, hour), 0},
    {"minute", Kind::Short, offsetof(segy, minute), 0},
    {"sec", Kind::Short, offsetof(segy, sec), 0},
    {"timbas", Kind::Short, offsetof(segy, timbas), 0},
    {"trwf", Kind::Short, offsetof(segy, trwf), 0},
    {"grnors", Kind::Short, offsetof(segy, grnors), 0},
    {"grnofr", Kind::Short, offsetof(segy, grnofr), 0},
    {"grnlof", Kind::Short, offsetof(segy, grnlof), 0},
    {"gaps", Kind::Short, offsetof(segy, gaps), 0},
    {"otrav", Kind::Short, offsetof(segy, otrav), 0},
    {"d1", Kind::Float, offsetof(segy, d1), 1},
    {"f1", Kind::Float, offsetof(segy, f1), 0},
    {"d2", Kind::Float, offsetof(segy, d2), 1},
    {"f2", Kind::Float, offsetof(segy, f2), 0},
    {"ungpow", Kind::Float, offsetof(segy, ungpow), 0},
    {"unscale", Kind::Float, offsetof(segy, unscale), 1},
    {"ntr", Kind::Int, offsetof(segy, ntr), 1},
    {"mark", Kind::Short, offsetof(segy, mark), 0},
    {"shortpad", Kind::Short, offsetof(segy, shortpad), 0},
};

constexpr Py_ssize_t n_keywords = sizeof(keywords) / sizeof(keywords[0]);
constexpr Py_ssize_t n_params = n_keywords + 2;    // data, dt, then the header keywords

constexpr std::array<const char *, n_params> param_texts = [] {
    std::array<const char *, n_params> texts{"data", "dt"};
    for (Py_ssize_t i = 0; i < n_keywords; ++i)
        texts[i + 2] = keywords[i].name;
    return texts;
}();
Params<n_params> trace_params{"__init__", param_texts, 2};

segy default_header;                 // every keyword at its default, ns = dt = 0
PyObject *ndarray_type;              // numpy.ndarray, fetched on first use

// Marks a sample view made by hand over one row of a 2-D array (see
// build_row_traces): it holds a plain reference to the array, not a buffer
// export, and is released by dropping that reference.
char row_view_marker;

// ---- value conversion --------------------------------------------------

int to_c_short(PyObject *obj, std::int16_t *out)
{
    int wide;
    if (to_c_int(obj, &wide) < 0) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, msg_short_overflow);
        }
        return -1;
    }
    if (wide < INT16_MIN || wide > INT16_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg_short_overflow);
        return -1;
    }
    *out = static_cast<std::int16_t>(wide);
    return 0;
}

int to_c_ushort(PyObject *obj, std::uint16_t *out)
{
    Ref number(as_int_object(obj));
    if (!number)
        return -1;
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred())
        return -1;
    if (overflow < 0 || (!overflow && value < 0)) {
        PyErr_SetString(PyExc_OverflowError, msg_ushort_negative);
        return -1;
    }
    if (overflow > 0 || value > UINT16_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg_ushort_overflow);
        return -1;
    }
    *out = static_cast<std::uint16_t>(value);
    return 0;
}

// Rounds a double to the nearest float; magnitudes beyond the float range
// become infinities (the plain cast would be undefined there).
float to_float32(double d)
{
    constexpr double rounds_to_inf = 3.4028235677973366e38;   // FLT_MAX + half an ulp
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
        return std::fabs(d) >= rounds_to_inf ? std::copysign(INFINITY, d) : std::copysign(FLT_MAX, d);
    return static_cast<float>(d);
}

int store_keyword(const Keyword &k, PyObject *value, segy *header)
{
    char *field = reinterpret_cast<char *>(header) + k.offset;
    switch (k.kind) {
    case Kind::Int: {
        int v;
        if (to_c_int(value, &v) < 0)
            return -1;
        std::int32_t v32 = v;
        std::memcpy(field, &v32, sizeof v32);
        return 0;
    }
    case Kind::Short: {
        std::int16_t v;
        if (to_c_short(value, &v) < 0)
            return -1;
        std::memcpy(field, &v, sizeof v);
        return 0;
    }
    case Kind::Float: {
        double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred())
            return -1;
        float f = to_float32(d);
        std::memcpy(field, &f, sizeof f);
        return 0;
    }
    }
    return 0;
}

// ---- sample conversion ---------------------------------------------------

// Holds an acquired buffer until released or handed over.
class BufferHold {
public:
    BufferHold() { view_.obj = nullptr; }
    ~BufferHold()
    {
        if (view_.obj)
            PyBuffer_Release(&view_);
    }
    BufferHold(const BufferHold &) = delete;
    BufferHold &operator=(const BufferHold &) = delete;
    Py_buffer *get() { return &view_; }
    bool held() const { return view_.obj != nullptr; }
    void release()
    {
        if (view_.obj)
            PyBuffer_Release(&view_);
        view_.obj = nullptr;
    }
    void hand_over(Py_buffer *to)
    {
        *to = view_;
        view_.obj = nullptr;
    }

private:
    Py_buffer view_;
};

// Native 32-bit floats: NumPy spells them "=f" when the array is not
// aligned.  The samples only ever move as bytes, so alignment does not matter.
bool is_native_float_format(const char *format)
{
    return format && (std::strcmp(format, "f") == 0 || std::strcmp(format, "=f") == 0);
}

bool is_native_float32_vector(const Py_buffer &v)
{
    return v.ndim == 1 && v.itemsize == 4 && is_native_float_format(v.format) && (!v.strides || v.strides[0] == 4);
}

// Whether `obj` is exactly a numpy.ndarray, fetching the type on first
// use.  1, 0, or -1 with an exception set.
int is_exact_ndarray(PyObject *obj)
{
    if (!ndarray_type) {
        Ref np(module_global(names.np));
        if (!np)
            return -1;
        ndarray_type = PyObject_GetAttr(np.get(), names.ndarray);
        if (!ndarray_type)
            return -1;
    }
    return Py_TYPE(obj) == as_type(ndarray_type);
}

// Acquires, into `hold`, a writable buffer of one C-contiguous dimension of
// native floats for `data`.  An exact numpy.ndarray that already is one is
// taken as it stands (numpy.require would return it unchanged); anything
// else goes through numpy.require(data, dtype=numpy.float32,
// requirements="C").  0, or -1 with an exception set.
int acquire_samples(PyObject *data, BufferHold &hold)
{
    int exact = is_exact_ndarray(data);
    if (exact < 0)
        return -1;
    if (exact) {
        if (PyObject_GetBuffer(data, hold.get(), PyBUF_RECORDS) == 0) {
            if (is_native_float32_vector(*hold.get()))
                return 0;
            PyBuffer_Release(hold.get());
            hold.get()->obj = nullptr;
        } else {
            PyErr_Clear();
        }
    }

    Ref np(module_global(names.np));
    if (!np)
        return -1;
    Ref require(PyObject_GetAttr(np.get(), names.require));
    if (!require)
        return -1;
    Ref float32(PyObject_GetAttr(np.get(), names.float32));
    if (!float32)
        return -1;
    Ref kwnames(PyTuple_Pack(2, names.dtype, names.requirements));
    if (!kwnames)
        return -1;
    PyObject *call_args[] = {data, float32.get(), names.c_order};
    Ref array(PyObject_Vectorcall(require.get(), call_args, 1, kwnames.get()));
    if (!array)
        return -1;
    if (PyObject_GetBuffer(array.get(), hold.get(), PyBUF_RECORDS) < 0)
        return -1;
    const Py_buffer &v = *hold.get();
    if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, msg_wrong_ndim, 1, v.ndim);
        return -1;
    }
    if (v.itemsize != 4 || !is_native_float_format(v.format)) {
        PyErr_Format(PyExc_ValueError, msg_dtype, v.format ? v.format : "B");
        return -1;
    }
    if (v.strides && v.strides[0] != 4 && v.shape[0] > 1) {
        PyErr_SetString(PyExc_ValueError, msg_not_contiguous);
        return -1;
    }
    return 0;
}

// Whether the `len` bytes at `buf` share memory with the record of `self`
// or with its samples.
bool overlaps_trace(const TraceObject *self, const void *buf, Py_ssize_t len)
{
    const segy *record = self->trace;
    if (!record || len <= 0)
        return false;
    auto overlaps = [&](const void *start, std::size_t size) {
        auto a = reinterpret_cast<std::uintptr_t>(buf);
        auto b = reinterpret_cast<std::uintptr_t>(start);
        return a < b + size && b < a + static_cast<std::size_t>(len);
    };
    return overlaps(record, sizeof(segy)) ||
           (record->data && overlaps(record->data, std::size_t(self->samples.shape[0]) * sizeof(float)));
}

// Replaces the buffer in `hold` by one over a private copy of its bytes, in
// a bytearray that only the trace will hold.  0, or -1 with an exception
// set (`hold` then still holds the original).
int take_private_copy(BufferHold &hold)
{
    Ref copy(PyByteArray_FromStringAndSize(static_cast<const char *>(hold.get()->buf), hold.get()->len));
    if (!copy)
        return -1;
    hold.release();
    return PyObject_GetBuffer(copy.get(), hold.get(), PyBUF_WRITABLE);
}

// ---- record ownership -----------------------------------------------------------

// Releases the record when the trace owned it, then what kept the sample
// memory alive.  May run Python code (a last reference to an array).
void release_held(HeldMemory &held)
{
    if (held.record && held.free_record)
        del_trace(held.record, held.free_data);
    if (held.source.internal == &row_view_marker)
        Py_CLEAR(held.source.obj);
    else if (held.source.obj)
        PyBuffer_Release(&held.source);
}

// Drops one reference to `owner`; the last one releases what it holds.
void owner_drop(SampleOwner *owner)
{
    if (--owner->refs > 0)
        return;
    HeldMemory held = owner->held;
    PyMem_Free(owner);
    release_held(held);
}

// The owner of the trace's current record, made on first use with the
// trace's reference.  Borrowed; null with MemoryError.
SampleOwner *current_owner(TraceObject *self)
{
    if (!self->samples.owner) {
        auto *owner = static_cast<SampleOwner *>(PyMem_Calloc(1, sizeof(SampleOwner)));
        if (!owner) {
            PyErr_NoMemory();
            return nullptr;
        }
        owner->refs = 1;
        owner->shape[0] = self->samples.shape[0];
        owner->strides[0] = self->samples.strides[0];
        self->samples.owner = owner;
    }
    return self->samples.owner;
}

void clear_samples(SampleView &s)
{
    s.source.obj = nullptr;
    s.source.internal = nullptr;
    s.source.buf = nullptr;
    s.shape[0] = 0;
    s.strides[0] = sizeof(float);
    s.owner = nullptr;
}

// Takes the record, the flags as they stand (a native client may have
// changed them since from_trace) and the sample buffer out of the trace,
// which is left empty.
HeldMemory take_held(TraceObject *self)
{
    HeldMemory held{self->trace, self->trace_owner, self->trace_data_owner, self->samples.source};
    self->trace = nullptr;
    clear_samples(self->samples);
    return held;
}

// Releases what a trace let go of: at once when `owner` (the owner its
// exports shared, or null when none was taken) is not held by an export,
// otherwise when the last of them is released.  May run Python code, so
// the trace must be consistent again before this runs.
void release_held_by(SampleOwner *owner, HeldMemory &held)
{
    if (!owner) {
        release_held(held);
        return;
    }
    owner->held = held;
    owner_drop(owner);
}

// Releases what the trace holds (destruction); the trace is left empty.
void trace_release(TraceObject *self)
{
    SampleOwner *owner = self->samples.owner;
    HeldMemory held = take_held(self);
    release_held_by(owner, held);
}

// ---- slots -----------------------------------------------------------------

TraceObject *trace_alloc(PyTypeObject *type)
{
    auto *self = as<TraceObject>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    self->vtab = &trace_vtable;
    self->trace = nullptr;
    self->trace_owner = 0;
    self->trace_data_owner = 0;
    clear_samples(self->samples);
    return self;
}

PyObject *trace_new(PyTypeObject *type, PyObject *, PyObject *)
{
    return as_object(trace_alloc(type));
}

// Converts the bound constructor arguments (data, dt, then the header
// keywords; null where not given) into `header`: defaults for the keywords
// not given, ns 0.  0, or -1 with the conversion error set.
int convert_header(PyObject *const *values, segy *header)
{
    std::memcpy(header, &default_header, trace_header_size);
    if (to_c_ushort(values[1], &header->dt) < 0)
        return -1;
    for (Py_ssize_t i = 2; i < n_params; ++i) {
        if (values[i] && store_keyword(keywords[i - 2], values[i], header) < 0)
            return -1;
    }
    return 0;
}

// The constructor proper, on bound arguments: converts every argument and
// the samples, builds the record, and only then replaces what the trace
// held.  0, or -1 with an exception set and the trace unchanged.
int trace_construct(TraceObject *self, PyObject *const *values)
{
    segy header;
    if (convert_header(values, &header) < 0)
        return -1;
    PyObject *data = values[0];

    BufferHold hold;
    if (acquire_samples(data, hold) < 0)
        return -1;
    // Samples taken from the trace itself would point into memory that the
    // commit below releases, and the trace would hold an export of itself.
    if (overlaps_trace(self, hold.get()->buf, hold.get()->len) && take_private_copy(hold) < 0)
        return -1;
    Py_ssize_t length = hold.get()->shape ? hold.get()->shape[0] : hold.get()->len / 4;
    if (length > UINT16_MAX) {
        PyErr_SetString(PyExc_ValueError, msg_too_many_samples);
        return -1;
    }
    segy *record = new_trace(0);
    if (!record) {
        PyErr_SetString(PyExc_MemoryError, msg_alloc_trace);
        return -1;
    }
    if (length == 0) {
        del_trace(record, 0);
        PyErr_Format(PyExc_IndexError, msg_out_of_bounds, 0);
        return -1;
    }
    header.ns = static_cast<std::uint16_t>(length);
    std::memcpy(record, &header, trace_header_size);
    record->data = static_cast<float *>(hold.get()->buf);

    // The new record is in place before the old one is released, which may
    // run Python code; exports of the old record keep it until they go.
    SampleOwner *old_owner = self->samples.owner;
    HeldMemory old = take_held(self);
    self->trace = record;
    self->trace_owner = 1;
    self->trace_data_owner = 0;
    hold.hand_over(&self->samples.source);
    self->samples.shape[0] = length;
    self->samples.strides[0] = sizeof(float);
    release_held_by(old_owner, old);
    return 0;
}

int trace_init_slot(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *values[n_params];
    if (trace_params.bind(args, kwargs, values) < 0)
        return -1;
    return trace_construct(as<TraceObject>(self), values);
}

// Calling the type: allocation, then the constructor, without building an
// argument tuple and dictionary.
PyObject *trace_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    PyObject *values[n_params];
    if (trace_params.bind(args, PyVectorcall_NARGS(nargsf), kwnames, values) < 0)
        return nullptr;
    TypedRef<TraceObject> self(trace_alloc(as_type(type)));
    if (!self || trace_construct(self.get(), values) < 0)
        return nullptr;
    return as_object(self.release());
}

void trace_dealloc(PyObject *self)
{
    trace_release(as<TraceObject>(self));
    Py_TYPE(self)->tp_free(self);
}

// ---- buffer export ----------------------------------------------------------

// The samples as one writable dimension of floats: the memory is always
// writable, so every request gets a writable buffer.
int trace_getbuffer(PyObject *obj, Py_buffer *view, int flags)
{
    auto *self = as<TraceObject>(obj);
    if (!self->trace) {
        view->obj = nullptr;
        raise_no_record();
        return -1;
    }
    SampleOwner *owner = current_owner(self);
    if (!owner) {
        view->obj = nullptr;
        return -1;
    }
    ++owner->refs;
    view->obj = Py_NewRef(obj);
    view->buf = self->trace->data;
    view->len = owner->shape[0] * static_cast<Py_ssize_t>(sizeof(float));
    view->itemsize = sizeof(float);
    view->readonly = 0;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char *>("f") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? owner->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? owner->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = owner;
    return 0;
}

// Drops the export's reference to the owner of the record it points into,
// which may be one the trace has since let go of.
void trace_releasebuffer(PyObject *, Py_buffer *view)
{
    owner_drop(static_cast<SampleOwner *>(view->internal));
}

// ---- properties ------------------------------------------------------------

// The getter of the header value `Field` (dt, ns, ntr): a new int, or null
// with ValueError for a trace that holds no record.
template <auto Field>
PyObject *trace_get(PyObject *obj, void *)
{
    const segy *t = as<TraceObject>(obj)->trace;
    if (!t) {
        raise_no_record();
        return nullptr;
    }
    return PyLong_FromLong(t->*Field);
}

// ---- native operations -------------------------------------------------------

// Wraps `record` without copying.  New reference, or null with ValueError
// (no record, no samples, or a null sample pointer); the record then stays
// with the caller, untouched.
TraceObject *trace_from_trace(segy *record, FromTraceOpt *opt)
{
    if (!record) {
        PyErr_SetString(PyExc_ValueError, msg_null_record);
        return nullptr;
    }
    TypedRef<TraceObject> self(trace_alloc(&TraceType));
    if (!self)
        return nullptr;
    self->trace = record;
    if (record->ns == 0) {
        PyErr_Format(PyExc_ValueError, msg_invalid_shape, 0, Py_ssize_t{0});
        return nullptr;
    }
    if (!record->data) {
        PyErr_SetString(PyExc_ValueError, msg_null_pointer);
        return nullptr;
    }
    self->samples.shape[0] = record->ns;
    self->samples.strides[0] = sizeof(float);
    if (opt && opt->n >= 1)
        self->trace_owner = opt->trace_owner;
    if (opt && opt->n >= 2)
        self->trace_data_owner = opt->trace_data_owner;
    return self.release();
}

// Reads one trace at the stream's position.  New reference owning record
// and samples, or null with an exception set and nothing left allocated.
TraceObject *trace_from_file_descriptor(FILE *fp)
{
    segy *record = read_trace_record(fp);
    if (!record)
        return nullptr;
    FromTraceOpt opt{2, 1, 1};
    TraceObject *trace = trace_from_trace(record, &opt);
    if (!trace)
        del_trace(record, 1);
    return trace;
}

// Writes the trace at the stream's position.  New reference to None, or
// null with an exception set.
PyObject *trace_to_file_descriptor(TraceObject *self, FILE *fp)
{
    if (!self->trace) {
        raise_no_record();
        return nullptr;
    }
    if (write_trace_record(self->trace, fp) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// ---- tables ---------------------------------------------------------------------

PyMethodDef trace_methods[] = {
    {"__reduce__", as_cfunction(refuse_pickle), METH_NOARGS, nullptr},
    {"__setstate__", as_cfunction(refuse_pickle), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef trace_getset[] = {
    {"dt", trace_get<&segy::dt>, nullptr, nullptr, nullptr},
    {"ns", trace_get<&segy::ns>, nullptr, nullptr, nullptr},
    {"ntr", trace_get<&segy::ntr>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyBufferProcs trace_buffer = {
    .bf_getbuffer = trace_getbuffer,
    .bf_releasebuffer = trace_releasebuffer,
};

// Whether converting `value` as a header keyword runs none of the caller's
// code: then converting it once stands for converting it once per trace.
bool converts_without_side_effects(PyObject *value)
{
    return PyLong_CheckExact(value) || PyBool_Check(value) || PyFloat_CheckExact(value);
}

}  // namespace

int build_row_traces(PyObject *rows, PyObject *const *kwvalues, PyObject *kwnames, PyObject **out)
{
    *out = nullptr;
    int exact = is_exact_ndarray(rows);
    if (exact <= 0) {
        PyErr_Clear();     // the per-row path meets and raises the same error
        return 0;
    }
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (nkw > n_params)
        return 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!converts_without_side_effects(kwvalues[k]))
            return 0;
    }
    BufferHold hold;
    if (PyObject_GetBuffer(rows, hold.get(), PyBUF_RECORDS) < 0) {
        PyErr_Clear();     // read-only and the like: each row's export raises it
        hold.get()->obj = nullptr;
        return 0;
    }
    const Py_buffer &v = *hold.get();
    if (v.ndim != 2 || v.itemsize != 4 || !is_native_float_format(v.format) || !v.shape ||
        !v.strides || v.suboffsets)
        return 0;
    const Py_ssize_t n = v.shape[0];
    const Py_ssize_t ns = v.shape[1];
    if (n < 1 || ns < 1 || ns > UINT16_MAX || (ns > 1 && v.strides[1] != Py_ssize_t{sizeof(float)}))
        return 0;

    // The constructor's binding and conversion, once: every row gets the
    // same keywords, and the values convert without side effects.
    PyObject *stack[1 + n_params];
    stack[0] = rows;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        stack[1 + k] = kwvalues[k];
    PyObject *values[n_params];
    segy header;
    if (trace_params.bind(stack, 1, kwnames, values) < 0 || convert_header(values, &header) < 0)
        return -1;
    header.ns = static_cast<std::uint16_t>(ns);

    Ref list(PyList_New(n));
    if (!list)
        return -1;
    char *row = static_cast<char *>(v.buf);
    for (Py_ssize_t i = 0; i < n; ++i, row += v.strides[0]) {
        TraceObject *t = trace_alloc(&TraceType);
        if (!t)
            return -1;
        PyList_SET_ITEM(list.get(), i, as_object(t));
        segy *record = new_trace(0);
        if (!record) {
            PyErr_SetString(PyExc_MemoryError, msg_alloc_trace);
            return -1;
        }
        std::memcpy(record, &header, trace_header_size);
        record->data = reinterpret_cast<float *>(row);
        t->trace = record;
        t->trace_owner = 1;
        t->trace_data_owner = 0;
        t->samples.shape[0] = ns;
        t->samples.strides[0] = sizeof(float);
        Py_buffer &source = t->samples.source;
        source.buf = row;
        source.obj = Py_NewRef(rows);
        source.len = ns * Py_ssize_t{sizeof(float)};
        source.itemsize = sizeof(float);
        source.readonly = 0;
        source.ndim = 1;
        source.format = const_cast<char *>("f");
        source.shape = t->samples.shape;
        source.strides = t->samples.strides;
        source.suboffsets = nullptr;
        source.internal = &row_view_marker;
    }
    *out = list.release();
    return 1;
}

void raise_no_record()
{
    PyErr_SetString(PyExc_ValueError, msg_no_record);
}

void raise_not_a_trace(PyObject *obj)
{
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, TraceType.tp_name);
}

TraceVTable trace_vtable = {
    .from_trace = trace_from_trace,
    .from_file_descriptor = trace_from_file_descriptor,
    .to_file_descriptor = trace_to_file_descriptor,
};

PyTypeObject TraceType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel.segy.SEGYTrace",
    .tp_basicsize = sizeof(TraceObject),
    .tp_itemsize = 0,
    .tp_dealloc = trace_dealloc,
    .tp_as_buffer = &trace_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = trace_doc,
    .tp_methods = trace_methods,
    .tp_getset = trace_getset,
    .tp_init = trace_init_slot,
    .tp_new = trace_new,
    .tp_vectorcall = trace_vectorcall,
};

int trace_init()
{
    if (trace_params.ready() < 0)
        return -1;
    std::memset(&default_header, 0, sizeof default_header);
    for (const Keyword &k : keywords) {
        char *field = reinterpret_cast<char *>(&default_header) + k.offset;
        switch (k.kind) {
        case Kind::Int: {
            std::int32_t v = static_cast<std::int32_t>(k.fallback);
            std::memcpy(field, &v, sizeof v);
            break;
        }
        case Kind::Short: {
            std::int16_t v = static_cast<std::int16_t>(k.fallback);
            std::memcpy(field, &v, sizeof v);
            break;
        }
        case Kind::Float: {
            float v = static_cast<float>(k.fallback);
            std::memcpy(field, &v, sizeof v);
            break;
        }
        }
    }
    return 0;
}

}  // namespace vondrel
