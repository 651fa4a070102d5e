// `traces`: a native BaseTraceIterator that reads SU files in either byte
// order, collection files and SEG-Y files from a path, a binary file object
// or a pipe, and hands out SEGYTrace objects in native order.  Besides the
// one-trace step it fills a caller's buffer with many whole traces at once
// (`readinto`), the path that `vondrel convert` streams through, and
// `_trace_record`/`_swap_traces` give the Writer the same byte work.
//
// What the source is (format, order, sizes) is decided in Python, by the
// same detection that vondrel.read uses: vondrel._stream.traces, a thin
// subclass of the type here, makes the plan and hands it to the constructor
// as data, with the check that guards to_file.  This file imports nothing of
// the package but vondrel.segy; it only moves and converts bytes.
#include "vondrel/_arrays/stream.hpp"
#include "vondrel/_arrays/block.hpp"
#include "vondrel/_arrays/formats.hpp"
#include "vondrel/_arrays/ibm.hpp"
#include "vondrel/_arrays/layout.hpp"
#include "vondrel/_arrays/segy_traces.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vondrel/common/binder.hpp"
#include "vondrel/common/errors.hpp"
#include "vondrel/common/names.hpp"
#include "vondrel/common/ref.hpp"
#include "vondrel/segy_api.h"

namespace vondrel {
namespace {

using arrays::swap_header;
using arrays::swap_words;
constexpr Py_ssize_t header_size = arrays::header_size;
// Convert in place without the GIL only when a block is worth the switch.
constexpr Py_ssize_t nogil_bytes = 64 * 1024;
// Small reads (one header, one trace's samples) are served from a buffer of
// this size, refilled with whatever the file has ready: two Python calls per
// trace on a pipe cost more than the traces.
constexpr Py_ssize_t ahead_size = 256 * 1024;

constexpr const char *msg_count_short = "%U: the file ends after %d of its %d traces, at byte %lld.";
constexpr const char *msg_ns_differs = "%U: trace %d at byte %lld has ns %d where every trace has %d.";
constexpr const char *msg_no_samples = "%U: trace %d at byte %lld has no samples.";
constexpr const char *msg_small_buffer = "The buffer of %zd bytes cannot hold trace %d (%zd bytes).";
constexpr const char *msg_count_unknown =
    "%U: the trace count of a stream is not known before its end, and a collection file starts with it; "
    "read it with to_memory() or write it with vondrel.Writer to a seekable file.";
constexpr const char *msg_not_a_trace = "Cannot convert %T to vondrel.segy.SEGYTrace";
constexpr const char *msg_not_traces = "The buffer of %zd bytes does not end at a trace boundary.";
constexpr const char *msg_headers_not_segy =
    "%U: headers= takes the trace headers of a SEG-Y source; this one is %U.";
constexpr const char *msg_small_headers = "The headers buffer of %zd bytes cannot hold the header of trace %d.";

struct StreamObject {
    vondrel_BaseTraceIterator base;
    PyObject *file;      // the file object read from; None once released
    PyObject *name;      // what messages call the source (str)
    PyObject *fill;      // the file's readinto1 (or readinto) name: what refills `ahead` (borrowed)
    PyObject *format;    // "su", "collection" or "segy"
    PyObject *byteorder; // "<" or ">"
    PyObject *what;      // what messages call the reading, e.g. "SU little-endian" (str)
    PyObject *text;      // a SEG-Y file's textual header (str), or None
    PyObject *extended_text; // a SEG-Y file's extended textual headers (list of str), or None
    PyObject *binary;    // a SEG-Y file's binary header (0-d array, native order), or None
    PyObject *layout;    // what the plan read of a SEG-Y file's headers (for Writer(like=)), or None
    PyObject *guard;     // called with to_file's filename before it is written (refuses an input), or None
    const codec::SampleFormat *segy; // a SEG-Y file's sample format; null for SU and collection files
    unsigned char *staging; // one SEG-Y trace's stored samples (malloc'd, freed by dealloc)
    Py_ssize_t staging_cap;
    int fill_dt;         // SEG-Y: the dt every converted trace gets, or 0 for each trace's own
    unsigned char *ahead; // bytes read but not yet handed out (malloc'd, freed by dealloc)
    Py_ssize_t ahead_pos, ahead_len, ahead_cap;
    long long offset;    // the source's byte offset of the next byte to read
    int file_owner;      // the reader opened `file` and closes it
    int swap;            // the file's order is not the machine's
    int ns;              // every trace's ns, or -1 when each header says (SEG-Y: the binary header's)
    int ended;           // the end of the data has been seen
    int pending;         // `header` holds the next trace's header, read but not handed out
    int has_last;        // `last` holds the SEG-Y header of the trace handed out last
    int rounded;         // float32 rounded a sample handed out (32- and 64-bit integers, 64-bit floats)
    unsigned char header[header_size];
    unsigned char last[header_size]; // that header, whole, in native order (SEG-Y sources)
};

PyObject *precision_warning = nullptr;   // vondrel.PrecisionWarning
PyObject *name_readinto = nullptr;
PyObject *name_readinto1 = nullptr;
PyObject *name_close = nullptr;
PyObject *name_to_file = nullptr;
PyObject *name_to_stream = nullptr;
PyObject *name_to_memory = nullptr;

// The arguments of vondrel.traces, bound by `_traces_arguments` so that its
// bad calls read as every native callable's; the type here takes the plan.
Params arguments_params{"__init__", {"source", "format", "byteorder", "ns", "sample_format"}, 1, 3};
Params init_params{"__init__", {"plan", "guard"}};
Params trace_record_params{"_trace_record", {"trace", "swap"}};
Params swap_traces_params{"_swap_traces", {"buffer"}};
Params readinto_params{"readinto", {"buffer", "headers"}, 1};
Params readinto_stored_params{"_readinto_stored", {"samples", "headers"}};
Params to_file_params{"to_file", {"filename"}};
Params to_stream_params{"to_stream", {"stream"}};

vondrel_BaseTraceIterator_vtable stream_vtable;
extern PyTypeObject StreamType;

StreamObject *as_stream(PyObject *op)
{
    return reinterpret_cast<StreamObject *>(op);
}

// ---- byte order ---------------------------------------------------------

// The ns of a header stored in the given order.
inline int header_ns(const unsigned char *h, bool swap)
{
    std::uint16_t ns = arrays::header_ns(h);
    return swap ? __builtin_bswap16(ns) : ns;
}

// The sample count of the trace whose header is pending: a SEG-Y file's
// binary header count where its traces have a fixed length (their own
// headers may say otherwise), else the header's.
inline int pending_ns(const StreamObject *self)
{
    return self->segy && self->ns >= 0 ? self->ns : header_ns(self->header, self->swap);
}

inline Py_ssize_t trace_bytes(int ns)
{
    return header_size + 4 * static_cast<Py_ssize_t>(ns);
}

// Checks and swaps `k` traces of `ns` samples at `p`, in place; pure bytes,
// run without the GIL.  Returns the index of the first trace whose header
// holds another ns (nothing from it on is touched), or k.
Py_ssize_t swap_block(unsigned char *p, Py_ssize_t k, int ns, bool swap)
{
    Py_ssize_t size = trace_bytes(ns);
    for (Py_ssize_t i = 0; i < k; ++i, p += size) {
        if (header_ns(p, swap) != ns)
            return i;
        if (swap) {
            swap_header(p);
            swap_words(p + header_size, ns);
        }
    }
    return k;
}

// Walks the traces of a native-order buffer by their own ns and swaps each
// into the other order.  The number of bytes walked, which is `n` unless the
// last trace runs past the end.
Py_ssize_t swap_native_run(unsigned char *p, Py_ssize_t n)
{
    Py_ssize_t pos = 0;
    while (pos + header_size <= n) {
        Py_ssize_t size = trace_bytes(header_ns(p + pos, false));
        if (pos + size > n)
            break;
        swap_header(p + pos);
        swap_words(p + pos + header_size, (size - header_size) / 4);
        pos += size;
    }
    return pos;
}

// ---- reading ------------------------------------------------------------

// Grows the reader's buffer *buf (PyMem_Raw, freed by dealloc) to hold at
// least `want` bytes.  0, or -1 with MemoryError (the buffer unchanged).
int reserve(unsigned char **buf, Py_ssize_t *cap, Py_ssize_t want)
{
    if (want <= *cap)
        return 0;
    void *grown = PyMem_RawRealloc(*buf, want);
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    *buf = static_cast<unsigned char *>(grown);
    *cap = want;
    return 0;
}

// One call of the file's readinto (`method`) into n bytes at dst.  The view
// of dst is released afterwards, so that a file object that kept it cannot
// write into the reader's memory later.  The count read (0 at the end), or
// -1 with an exception set (BlockingIOError for a stream with no data now,
// OSError for a count outside 0..n).
Py_ssize_t read_once(StreamObject *self, PyObject *method, unsigned char *dst, Py_ssize_t n)
{
    return arrays::read_into_memory(self->file, method, dst, n);
}

// Reads up to `n` bytes into `dst`: what is read ahead first, then small
// requests through the read-ahead buffer and large ones straight from the
// file, until n bytes or the end.  The count read, or -1 with an exception
// set.
Py_ssize_t read_exact(StreamObject *self, unsigned char *dst, Py_ssize_t n)
{
    Py_ssize_t got = 0;
    while (got < n) {
        Py_ssize_t left = self->ahead_len - self->ahead_pos;
        if (left > 0) {
            Py_ssize_t take = left < n - got ? left : n - got;
            std::memcpy(dst + got, self->ahead + self->ahead_pos, take);
            self->ahead_pos += take;
            got += take;
            continue;
        }
        if (self->file == Py_None)
            break;
        Py_ssize_t k;
        if (n - got >= self->ahead_cap) {
            k = read_once(self, name_readinto, dst + got, n - got);
            got += k > 0 ? k : 0;
        } else {
            k = read_once(self, self->fill, self->ahead, self->ahead_cap);
            self->ahead_pos = 0;
            self->ahead_len = k > 0 ? k : 0;
        }
        if (k <= 0) {
            if (k < 0)
                return -1;
            break;
        }
    }
    self->offset += got;
    return got;
}

// Closes the file when the reader opened it, and lets go of it either way.
// 0, or -1 with the close's error set.
int release_file(StreamObject *self)
{
    if (self->file == Py_None)
        return 0;
    Ref file(Py_NewRef(self->file));
    Py_SETREF(self->file, Py_NewRef(Py_None));
    if (!self->file_owner)
        return 0;
    Ref closed(PyObject_CallMethodNoArgs(file.get(), name_close));
    return closed ? 0 : -1;
}

// Marks the end of the data and releases the file, keeping the error the
// caller may have set (the release's own error wins if it fails).  0, or -1
// with an exception set.
int end_data(StreamObject *self)
{
    self->ended = 1;
    PyObject *pending = PyErr_GetRaisedException();
    if (release_file(self) < 0) {
        Py_XDECREF(pending);
        return -1;
    }
    PyErr_SetRaisedException(pending);
    return pending ? -1 : 0;
}

// The end of the data: fine when the count is unknown or reached, an error
// naming the missing traces otherwise.  Releases the file either way.
// 0, or -1 with an exception set.
int reach_end(StreamObject *self)
{
    if (self->base.n_traces >= 0 && self->base.index < self->base.n_traces)
        PyErr_Format(PyExc_ValueError, msg_count_short, self->name, self->base.index, self->base.n_traces,
                     self->offset);
    return end_data(self);
}

// Raises the error of a trace cut short (the data ended `into` bytes into
// it, where the reading stands now) and releases the file.  Always -1.
int truncated(StreamObject *self, long long into)
{
    PyErr_Format(PyExc_ValueError, msg_cut_short, self->name, self->what, self->base.index, self->offset - into,
                 into);
    return end_data(self);
}

// Makes sure the next trace's header is in `self->header`.  1 when it is,
// 0 at the end of the data (or of the count), -1 with an exception set
// (a header cut short, another ns than the file's).
int next_header(StreamObject *self)
{
    if (self->pending)
        return 1;
    if (self->ended)
        return 0;
    if (self->base.index == self->base.n_traces)
        return reach_end(self) < 0 ? -1 : 0;
    Py_ssize_t got = read_exact(self, self->header, header_size);
    if (got < 0)
        return -1;
    if (got == 0)
        return reach_end(self) < 0 ? -1 : 0;
    if (got < header_size)
        return truncated(self, got);
    int ns = header_ns(self->header, self->swap);
    if (!self->segy && self->ns >= 0 && ns != self->ns) {
        PyErr_Format(PyExc_ValueError, msg_ns_differs, self->name, self->base.index, self->offset - header_size,
                     ns, self->ns);
        return -1;
    }
    self->pending = 1;
    return 1;
}

// Whether a format's stored values may lie where float32 holds them
// inexactly: 32- and 64-bit integers, 64-bit floats.
bool narrowing_may_round(const codec::SampleFormat &fmt)
{
    return fmt.width >= 4 && std::strchr("diIqQ", fmt.stored) != nullptr;
}

template <typename T>
bool narrowing_rounded(const unsigned char *src, int n, bool swap, const float *narrowed)
{
    for (int i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, src + sizeof(T) * std::size_t(i), sizeof(T));
        if (swap) {
            if constexpr (sizeof(T) == 8)
                v = std::bit_cast<T>(__builtin_bswap64(std::bit_cast<std::uint64_t>(v)));
            else
                v = std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(v)));
        }
        const float f = narrowed[i];
        if constexpr (std::is_floating_point_v<T>) {
            if (static_cast<double>(f) != v && v == v)
                return true;
        } else {
            // float32 values of magnitude 2**24 and more are integers; those
            // within T's range convert back exactly
            constexpr double top = std::is_signed_v<T> ? 0x1p63 : 0x1p64;
            constexpr double bottom = std::is_signed_v<T> ? -0x1p63 : 0.0;
            const double d = f;
            if (!(d >= bottom && d < top) || static_cast<T>(d) != v)
                return true;
        }
    }
    return false;
}

// Whether float32 `narrowed` differs from any of the n values stored at src
// in a format of narrowing_may_round (NaNs aside): what narrowing rounded.
bool narrowing_rounded(const codec::SampleFormat &fmt, const unsigned char *src, int n, bool big_endian,
                       const float *narrowed)
{
    const bool swap = big_endian == PY_LITTLE_ENDIAN;
    switch (fmt.stored) {
    case 'd':
        return narrowing_rounded<double>(src, n, swap, narrowed);
    case 'i':
        return narrowing_rounded<std::int32_t>(src, n, swap, narrowed);
    case 'I':
        return narrowing_rounded<std::uint32_t>(src, n, swap, narrowed);
    case 'q':
        return narrowing_rounded<std::int64_t>(src, n, swap, narrowed);
    case 'Q':
        return narrowing_rounded<std::uint64_t>(src, n, swap, narrowed);
    default:
        return false;
    }
}

// Reads the stored samples of a SEG-Y trace into the staging buffer and
// decodes them at `samples`: to float32 when `to_float`, else to the sample
// format's stored type (native order), which keeps every value as the file
// holds it.  0, or -1 with an exception set.
int read_segy_samples(StreamObject *self, unsigned char *samples, int ns, bool to_float = true)
{
    Py_ssize_t want = self->segy->width * static_cast<Py_ssize_t>(ns);
    if (reserve(&self->staging, &self->staging_cap, want) < 0)
        return -1;
    Py_ssize_t got = read_exact(self, self->staging, want);
    if (got < 0)
        return -1;
    if (got < want)
        return truncated(self, header_size + got);
    bool big_endian = PY_LITTLE_ENDIAN ? self->swap : !self->swap;
    codec::decode_samples(*self->segy, self->staging, ns, big_endian, samples, to_float);
    if (to_float && !self->rounded && narrowing_may_round(*self->segy) &&
        narrowing_rounded(*self->segy, self->staging, ns, big_endian, reinterpret_cast<const float *>(samples))) {
        self->rounded = 1;
        if (PyErr_WarnFormat(precision_warning, 1, msg_rounded, self->name, self->segy->code) < 0)
            return -1;
    }
    return 0;
}

// A SEG-Y trace header (native order now) as Seismic Unix makes it: bytes
// 1-180 kept, the SEG-Y fields after them dropped (the Seismic Unix layout
// has other fields there), ns and dt from the samples and the interval.
void segy_to_su_header(const StreamObject *self, unsigned char *h, int ns)
{
    std::uint16_t dt;
    std::memcpy(&dt, h + 116, 2);
    std::memset(h + 180, 0, header_size - 180);
    arrays::set_header_ns(h, static_cast<std::uint16_t>(ns));
    dt = self->fill_dt ? static_cast<std::uint16_t>(self->fill_dt) : dt;
    std::memcpy(h + 116, &dt, 2);
}

// Ends the pending trace: a SEG-Y trace's whole header goes, in native
// order, to `last` and, unless null, to `segy_header`; after the last trace
// of a count the file is released.  0, or -1 with an exception set.
int hand_out(StreamObject *self, unsigned char *segy_header)
{
    if (self->segy) {
        if (self->swap)
            codec::swap_headers(self->header, 0, self->last, 0, 1, codec::segy_header_kinds);
        else
            std::memcpy(self->last, self->header, header_size);
        self->has_last = 1;
        if (segy_header)
            std::memcpy(segy_header, self->last, header_size);
    }
    self->pending = 0;
    self->base.index += 1;
    return self->base.index == self->base.n_traces ? reach_end(self) : 0;
}

// Reads the samples of the trace whose header is pending into `samples`
// (4 * ns bytes, float32) and converts header (copied to `dst_header`) and
// samples to native order; a SEG-Y trace's whole header also goes, in
// native order, to `last` and, unless null, to `segy_header`.  After the
// last trace of a count, releases the file.  0, or -1 with an exception set.
int finish_trace(StreamObject *self, unsigned char *dst_header, unsigned char *samples, int ns,
                 unsigned char *segy_header = nullptr)
{
    if (self->segy) {
        if (read_segy_samples(self, samples, ns) < 0)
            return -1;
    } else {
        Py_ssize_t want = 4 * static_cast<Py_ssize_t>(ns);
        Py_ssize_t got = read_exact(self, samples, want);
        if (got < 0)
            return -1;
        if (got < want)
            return truncated(self, header_size + got);
        if (self->swap)
            swap_words(samples, ns);
    }
    std::memcpy(dst_header, self->header, header_size);
    if (self->swap)
        swap_header(dst_header);
    if (self->segy)
        segy_to_su_header(self, dst_header, ns);
    return hand_out(self, segy_header);
}

// next_trace: the next trace as a new SEGYTrace owning record and samples;
// StopIteration at the end of the data or of the count.
vondrel_SEGYTrace *stream_next_trace(vondrel_BaseTraceIterator *base)
{
    auto *self = reinterpret_cast<StreamObject *>(base);
    int got = next_header(self);
    if (got <= 0) {
        if (got == 0)
            PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    int ns = pending_ns(self);
    if (ns == 0) {
        PyErr_Format(PyExc_ValueError, msg_no_samples, self->name, base->index, self->offset - header_size);
        return nullptr;
    }
    segy *record = vondrel_new_trace(ns);   // freed here until the trace owns it
    if (!record) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto *samples = reinterpret_cast<unsigned char *>(record->data);
    if (finish_trace(self, reinterpret_cast<unsigned char *>(record), samples, ns) < 0) {
        vondrel_del_trace(record, 1);
        return nullptr;
    }
    vondrel_from_trace_opt owns_all{2, 1, 1};
    vondrel_SEGYTrace *trace = vondrel_SEGYTrace_vtab->from_trace(record, &owns_all);
    if (!trace)
        vondrel_del_trace(record, 1);
    return trace;
}

// Fills `buf` with whole traces of one ns, read in one call and checked and
// swapped without the GIL.  The bytes filled (0 when none fit or the data
// has ended), or -1 with an exception set.
Py_ssize_t fill_fixed(StreamObject *self, unsigned char *buf, Py_ssize_t len)
{
    Py_ssize_t size = trace_bytes(self->ns);
    Py_ssize_t k = len / size;
    if (self->base.n_traces >= 0 && k > self->base.n_traces - self->base.index)
        k = self->base.n_traces - self->base.index;
    if (k == 0)
        return self->base.index == self->base.n_traces && reach_end(self) < 0 ? -1 : 0;
    long long start = self->offset;
    Py_ssize_t got = read_exact(self, buf, k * size);
    if (got < 0)
        return -1;
    Py_ssize_t whole = got / size;
    Py_ssize_t good;
    if (whole * size >= nogil_bytes) {
        Py_BEGIN_ALLOW_THREADS
        good = swap_block(buf, whole, self->ns, self->swap);
        Py_END_ALLOW_THREADS
    } else {
        good = swap_block(buf, whole, self->ns, self->swap);
    }
    self->base.index += static_cast<int>(good);
    if (good < whole) {
        unsigned char *bad = buf + good * size;
        PyErr_Format(PyExc_ValueError, msg_ns_differs, self->name, self->base.index, start + good * size,
                     header_ns(bad, self->swap), self->ns);
        return -1;
    }
    if (got < k * size) {
        if (got > whole * size)
            return truncated(self, got - whole * size);
        if (reach_end(self) < 0)
            return -1;
    } else if (self->base.index == self->base.n_traces && reach_end(self) < 0) {
        return -1;
    }
    return got;
}

// Binds the one argument of `params`, a writable contiguous buffer, and
// exports it into `view` (the caller releases it).  0, or -1 with the
// binding's TypeError or the export's error set.
int bind_buffer(Signature &params, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Py_buffer *view)
{
    PyObject *buffer;
    if (params.bind(args, nargs, kwnames, &buffer) < 0)
        return -1;
    return PyObject_GetBuffer(buffer, view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
}

// ---- slots ----------------------------------------------------------------

PyObject *stream_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    PyObject *op = vondrel_BaseTraceIteratorType->tp_new(type, args, kwds);
    if (!op)
        return nullptr;
    StreamObject *self = as_stream(op);
    self->base.vtab = &stream_vtable;
    self->file = Py_NewRef(Py_None);
    self->name = Py_GetConstant(Py_CONSTANT_EMPTY_STR);
    self->fill = name_readinto;
    self->format = Py_NewRef(Py_None);
    self->byteorder = Py_NewRef(Py_None);
    self->what = Py_GetConstant(Py_CONSTANT_EMPTY_STR);
    self->text = Py_NewRef(Py_None);
    self->extended_text = Py_NewRef(Py_None);
    self->binary = Py_NewRef(Py_None);
    self->layout = Py_NewRef(Py_None);
    self->guard = Py_NewRef(Py_None);
    self->ns = -1;
    self->ended = 1;
    return op;
}

// _traces(plan, guard): takes over a plan made in Python, the tuple (file,
// file_owner, name, head, format, byteorder, ns, n_traces, offset, code,
// fill_dt, text, extended_text, binary, layout, what); `guard` (a callable or
// None) is called with to_file's filename first.  0, or -1 with an
// exception set (the file the plan opened closed).
int stream_init(PyObject *op, PyObject *args, PyObject *kwds)
{
    PyObject *values[2];
    if (init_params.bind(args, kwds, values) < 0)
        return -1;
    PyObject *plan = values[0];
    StreamObject *self = as_stream(op);
    self->ended = 1;
    self->pending = 0;
    self->has_last = 0;
    if (release_file(self) < 0)
        return -1;
    Py_SETREF(self->guard, Py_NewRef(values[1]));
    PyObject *file, *name, *head, *fmt, *order, *text, *extended_text, *binary, *layout, *what;
    int owner, ns, n_traces, code, fill_dt;
    long long offset;
    if (!PyArg_ParseTuple(plan, "OpUSUUiiLiiOOOOU:plan", &file, &owner, &name, &head, &fmt, &order, &ns,
                          &n_traces, &offset, &code, &fill_dt, &text, &extended_text, &binary, &layout, &what))
        return -1;
    // The file is the reader's from here on, so that a failure below closes
    // a file the plan opened.
    Py_SETREF(self->file, Py_NewRef(file));
    self->file_owner = owner;
    Py_SETREF(self->name, Py_NewRef(name));
    self->segy = nullptr;
    if (code) {
        self->segy = codec::sample_format(code);
        if (!self->segy) {
            PyErr_Format(PyExc_ValueError, msg_unknown_format, static_cast<long long>(code));
            return end_data(self);
        }
    }
    self->fill_dt = fill_dt;
    Py_SETREF(self->text, Py_NewRef(text));
    Py_SETREF(self->extended_text, Py_NewRef(extended_text));
    Py_SETREF(self->binary, Py_NewRef(binary));
    Py_SETREF(self->layout, Py_NewRef(layout));
    Py_ssize_t cap = PyBytes_GET_SIZE(head) > ahead_size ? PyBytes_GET_SIZE(head) : ahead_size;
    if (reserve(&self->ahead, &self->ahead_cap, cap) < 0)
        return end_data(self);
    std::memcpy(self->ahead, PyBytes_AS_STRING(head), PyBytes_GET_SIZE(head));
    self->ahead_pos = 0;
    self->ahead_len = PyBytes_GET_SIZE(head);
    int buffered = PyObject_HasAttrWithError(file, name_readinto1);
    if (buffered < 0)
        return end_data(self);
    self->fill = buffered ? name_readinto1 : name_readinto;
    Py_SETREF(self->format, Py_NewRef(fmt));
    Py_SETREF(self->byteorder, Py_NewRef(order));
    Py_SETREF(self->what, Py_NewRef(what));
    self->offset = offset;
    self->swap = PyUnicode_CompareWithASCIIString(order, PY_LITTLE_ENDIAN ? "<" : ">") != 0;
    self->ns = ns;
    self->base.index = 0;
    self->base.n_traces = n_traces;
    self->ended = 0;
    self->pending = 0;
    return 0;
}

// tp_finalize: a reader dropped before its end closes the file it opened;
// an error there goes to sys.unraisablehook.
void stream_finalize(PyObject *op)
{
    PyObject *saved = PyErr_GetRaisedException();
    if (release_file(as_stream(op)) < 0)
        PyErr_WriteUnraisable(op);
    PyErr_SetRaisedException(saved);
}

int stream_traverse(PyObject *op, visitproc visit, void *arg)
{
    StreamObject *self = as_stream(op);
    Py_VISIT(self->file);
    Py_VISIT(self->extended_text);
    Py_VISIT(self->binary);
    Py_VISIT(self->layout);
    Py_VISIT(self->guard);
    return 0;
}

int stream_clear(PyObject *op)
{
    StreamObject *self = as_stream(op);
    Py_SETREF(self->file, Py_NewRef(Py_None));
    Py_SETREF(self->extended_text, Py_NewRef(Py_None));
    Py_SETREF(self->binary, Py_NewRef(Py_None));
    Py_SETREF(self->layout, Py_NewRef(Py_None));
    Py_SETREF(self->guard, Py_NewRef(Py_None));
    return 0;
}

void stream_dealloc(PyObject *op)
{
    if (PyObject_CallFinalizerFromDealloc(op) < 0)
        return;
    PyObject_GC_UnTrack(op);
    StreamObject *self = as_stream(op);
    Py_CLEAR(self->file);
    PyMem_RawFree(self->ahead);
    PyMem_RawFree(self->staging);
    Py_CLEAR(self->text);
    Py_CLEAR(self->extended_text);
    Py_CLEAR(self->binary);
    Py_CLEAR(self->layout);
    Py_CLEAR(self->guard);
    Py_CLEAR(self->name);
    Py_CLEAR(self->format);
    Py_CLEAR(self->byteorder);
    Py_CLEAR(self->what);
    Py_TYPE(op)->tp_free(op);
}

// ---- methods --------------------------------------------------------------

// readinto(buffer, headers=None): fills a writable buffer with as many whole
// traces as fit, in native order, header then samples, and returns the
// bytes filled; 0 at the end.  For a SEG-Y source, `headers` (a writable
// buffer) also receives each trace's whole 240-byte SEG-Y header in native
// order, one after the other, and the filling stops where it is full.
// ValueError when not even the next trace fits, and for `headers` with a
// source that is not SEG-Y.
PyObject *stream_readinto(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[2];
    if (readinto_params.bind(args, nargs, kwnames, values) < 0)
        return nullptr;
    StreamObject *self = as_stream(op);
    bool with_headers = values[1] && values[1] != Py_None;
    if (with_headers && !self->segy)
        return PyErr_Format(PyExc_ValueError, msg_headers_not_segy, self->name, self->format);
    Py_buffer view;
    if (PyObject_GetBuffer(values[0], &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
    Py_buffer headers{};
    if (with_headers && PyObject_GetBuffer(values[1], &headers, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    auto *buf = static_cast<unsigned char *>(view.buf);
    auto *segy_headers = static_cast<unsigned char *>(headers.buf);
    Py_ssize_t pos = 0, header_pos = 0;
    int failed = 0;
    while (!failed) {
        // The block path while a whole trace fits; the trace path otherwise,
        // which refuses a buffer too small for the next trace.
        if (self->ns > 0 && !self->segy && !self->pending && view.len - pos >= trace_bytes(self->ns)) {
            Py_ssize_t filled = fill_fixed(self, buf + pos, view.len - pos);
            failed = filled < 0;
            if (filled <= 0)
                break;
            pos += filled;
            continue;
        }
        int got = next_header(self);
        failed = got < 0;
        if (got <= 0)
            break;
        int ns = pending_ns(self);
        Py_ssize_t size = trace_bytes(ns);
        bool no_room = pos + size > view.len;
        bool no_header_room = with_headers && header_pos + header_size > headers.len;
        if (no_room || no_header_room) {
            if (pos == 0) {
                if (no_room)
                    PyErr_Format(PyExc_ValueError, msg_small_buffer, view.len, self->base.index, size);
                else
                    PyErr_Format(PyExc_ValueError, msg_small_headers, headers.len, self->base.index);
                failed = 1;
            }
            break;
        }
        failed = finish_trace(self, buf + pos, buf + pos + header_size, ns,
                              with_headers ? segy_headers + header_pos : nullptr) < 0;
        pos += size;
        header_pos += header_size;
    }
    PyBuffer_Release(&view);
    if (with_headers)
        PyBuffer_Release(&headers);
    return failed ? nullptr : PyLong_FromSsize_t(pos);
}

// _readinto_stored(samples, headers): for a SEG-Y source, fills `samples`
// with the samples of as many whole traces of one ns as both buffers hold,
// back to back, in the sample format's stored type and native order (every
// value exactly as the file holds it), and `headers` with their whole
// 240-byte headers in native order.  ValueError when not even the next trace fits, and for a source that
// is not SEG-Y.  What a SEG-Y to SEG-Y copy in the same sample format reads.
// Returns (count, ns): the number of traces and their ns, (0, -1) at the end.
PyObject *stream_readinto_stored(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[2];
    if (readinto_stored_params.bind(args, nargs, kwnames, values) < 0)
        return nullptr;
    StreamObject *self = as_stream(op);
    if (!self->segy)
        return PyErr_Format(PyExc_ValueError, msg_headers_not_segy, self->name, self->format);
    Py_buffer samples, headers;
    if (PyObject_GetBuffer(values[0], &samples, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
    if (PyObject_GetBuffer(values[1], &headers, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        PyBuffer_Release(&samples);
        return nullptr;
    }
    auto *out = static_cast<unsigned char *>(samples.buf);
    auto *rows = static_cast<unsigned char *>(headers.buf);
    Py_ssize_t pos = 0, count = 0;
    int first_ns = -1, failed = 0;
    while (!failed) {
        int got = next_header(self);
        failed = got < 0;
        if (got <= 0)
            break;
        int ns = pending_ns(self);
        if (first_ns >= 0 && ns != first_ns)
            break;                    // the next call starts with it
        Py_ssize_t size = static_cast<Py_ssize_t>(ns) * self->segy->stored_size;
        bool no_room = pos + size > samples.len;
        if (no_room || (count + 1) * header_size > headers.len) {
            if (count == 0) {
                if (no_room)
                    PyErr_Format(PyExc_ValueError, msg_small_buffer, samples.len, self->base.index, size);
                else
                    PyErr_Format(PyExc_ValueError, msg_small_headers, headers.len, self->base.index);
                failed = 1;
            }
            break;
        }
        failed = read_segy_samples(self, out + pos, ns, false) < 0 ||
                 hand_out(self, rows + count * header_size) < 0;
        first_ns = ns;
        pos += size;
        count += 1;
    }
    PyBuffer_Release(&samples);
    PyBuffer_Release(&headers);
    return failed ? nullptr : Py_BuildValue("(ni)", count, first_ns);
}

// close(): closes a file the reader opened; the iteration then ends.
PyObject *stream_close(PyObject *op, PyObject *)
{
    StreamObject *self = as_stream(op);
    self->ended = 1;
    self->pending = 0;
    return release_file(self) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *stream_enter(PyObject *op, PyObject *)
{
    return Py_NewRef(op);
}

PyObject *stream_exit(PyObject *op, PyObject *)
{
    return stream_close(op, nullptr);
}

// The collection shortcuts that write a count first refuse a stream whose
// count is unknown; otherwise they delegate as the base's do.
PyObject *shortcut(PyObject *op, PyObject *method, PyObject *arg)
{
    StreamObject *self = as_stream(op);
    if (arg && self->base.n_traces < 0) {
        PyErr_Format(PyExc_ValueError, msg_count_unknown, self->name);
        return nullptr;
    }
    Ref collection(reinterpret_cast<PyObject *>(vondrel_SEGY_vtab->from_trace_iterator(&self->base)));
    if (!collection)
        return nullptr;
    return arg ? PyObject_CallMethodOneArg(collection.get(), method, arg) : PyObject_CallMethodNoArgs(collection.get(), method);
}

PyObject *stream_to_file(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *filename;
    if (to_file_params.bind(args, nargs, kwnames, &filename) < 0)
        return nullptr;
    // The path writers' rule holds here too: no write over the file that
    // this reader (or another) is reading, refused before it is opened.
    PyObject *guard = as_stream(op)->guard;
    if (guard != Py_None) {
        Ref checked(PyObject_CallOneArg(guard, filename));
        if (!checked)
            return nullptr;
    }
    return shortcut(op, name_to_file, filename);
}

PyObject *stream_to_stream(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *stream;
    if (to_stream_params.bind(args, nargs, kwnames, &stream) < 0)
        return nullptr;
    Ref done(shortcut(op, name_to_stream, stream));
    return done ? Py_NewRef(Py_None) : nullptr;
}

PyObject *stream_to_memory(PyObject *op, PyObject *)
{
    return shortcut(op, name_to_memory, nullptr);
}

// ---- getters --------------------------------------------------------------

PyObject *stream_get_n_traces(PyObject *op, void *)
{
    int n = as_stream(op)->base.n_traces;
    return n < 0 ? Py_NewRef(Py_None) : PyLong_FromLong(n);
}

PyObject *stream_get_index(PyObject *op, void *)
{
    return PyLong_FromLong(as_stream(op)->base.index);
}

PyObject *stream_get_ns(PyObject *op, void *)
{
    int ns = as_stream(op)->ns;
    return ns < 0 ? Py_NewRef(Py_None) : PyLong_FromLong(ns);
}

PyObject *stream_get_format(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->format);
}

PyObject *stream_get_byteorder(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->byteorder);
}

PyObject *stream_get_text(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->text);
}

PyObject *stream_get_extended_text(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->extended_text);
}

PyObject *stream_get_binary(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->binary);
}

PyObject *stream_get_layout(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->layout);
}

// _last_header: the whole SEG-Y header of the trace handed out last (240
// bytes, native order), of which vondrel._stream.traces.segy_header makes
// a row; None before the first trace and for sources that are not SEG-Y.
PyObject *stream_get_last_header(PyObject *op, void *)
{
    StreamObject *self = as_stream(op);
    if (!self->segy || !self->has_last)
        return Py_NewRef(Py_None);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(self->last), header_size);
}

PyObject *stream_get_rounded(PyObject *op, void *)
{
    return PyBool_FromLong(as_stream(op)->rounded);
}

PyObject *stream_get_name(PyObject *op, void *)
{
    return Py_NewRef(as_stream(op)->name);
}

// ---- module functions -----------------------------------------------------

// _traces_arguments(source, format=None, byteorder=None, *, ns=None,
// sample_format=None): the five values as a tuple (None where not given),
// bound as vondrel.traces binds them; TypeError for a bad call.
PyObject *traces_arguments(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[5];
    if (arguments_params.bind(args, nargs, kwnames, values) < 0)
        return nullptr;
    for (PyObject *&v : values)
        v = v ? v : Py_None;
    return PyTuple_Pack(5, values[0], values[1], values[2], values[3], values[4]);
}

// _trace_record(trace, swap): the trace's header and samples as bytes, in the
// other byte order when swap is true.  TypeError for anything but a SEGYTrace.
PyObject *trace_record(PyObject *, PyObject *const *call, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *args[2];
    if (trace_record_params.bind(call, nargs, kwnames, args) < 0)
        return nullptr;
    if (!PyObject_TypeCheck(args[0], vondrel_SEGYTraceType))
        return PyErr_Format(PyExc_TypeError, msg_not_a_trace, args[0]);
    int swap = PyObject_IsTrue(args[1]);
    if (swap < 0)
        return nullptr;
    const segy *t = reinterpret_cast<vondrel_SEGYTrace *>(args[0])->trace;
    Py_ssize_t size = t ? trace_bytes(t->ns) : header_size;
    Ref out(PyBytes_FromStringAndSize(nullptr, size));
    if (!out)
        return nullptr;
    auto *p = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(out.get()));
    if (t) {
        std::memcpy(p, t, header_size);
        std::memcpy(p + header_size, t->data, size - header_size);
    } else {
        std::memset(p, 0, size);
    }
    if (swap)
        swap_native_run(p, size);
    return out.release();
}

// _swap_traces(buffer): swaps the native-order traces of a writable buffer
// into the other order, in place, walking them by their ns.  ValueError when
// the buffer does not end at a trace boundary (nothing is then swapped).
PyObject *swap_traces(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Py_buffer view;
    if (bind_buffer(swap_traces_params, args, nargs, kwnames, &view) < 0)
        return nullptr;
    auto *p = static_cast<unsigned char *>(view.buf);
    Py_ssize_t walked = 0;
    Py_ssize_t pos = 0;
    while (pos + header_size <= view.len)
        pos += trace_bytes(header_ns(p + pos, false));
    if (pos == view.len) {
        Py_BEGIN_ALLOW_THREADS
        walked = swap_native_run(p, view.len);
        Py_END_ALLOW_THREADS
    }
    Py_ssize_t len = view.len;
    PyBuffer_Release(&view);
    if (walked != len || pos != len)
        return PyErr_Format(PyExc_ValueError, msg_not_traces, len);
    return Py_NewRef(Py_None);
}

PyMethodDef stream_methods[] = {
    {"readinto", as_cfunction(stream_readinto), METH_FASTCALL | METH_KEYWORDS,
     "traces.readinto(self, buffer, headers=None)"},
    {"_readinto_stored", as_cfunction(stream_readinto_stored), METH_FASTCALL | METH_KEYWORDS,
     "traces._readinto_stored(self, samples, headers)"},
    {"close", stream_close, METH_NOARGS, "traces.close(self)"},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(stream_exit), METH_VARARGS, nullptr},
    {"to_memory", stream_to_memory, METH_NOARGS, "traces.to_memory(self)"},
    {"to_file", as_cfunction(stream_to_file), METH_FASTCALL | METH_KEYWORDS, "traces.to_file(self, filename)"},
    {"to_stream", as_cfunction(stream_to_stream), METH_FASTCALL | METH_KEYWORDS, "traces.to_stream(self, stream)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"n_traces", stream_get_n_traces, nullptr, "the trace count, None while unknown (a stream)", nullptr},
    {"index", stream_get_index, nullptr, "traces handed out so far", nullptr},
    {"ns", stream_get_ns, nullptr, "every trace's ns, None when traces may differ", nullptr},
    {"format", stream_get_format, nullptr, "\"su\", \"collection\" or \"segy\"", nullptr},
    {"byteorder", stream_get_byteorder, nullptr, "the file's byte order, \"<\" or \">\"", nullptr},
    {"name", stream_get_name, nullptr, "the source as messages name it", nullptr},
    {"text", stream_get_text, nullptr, "a SEG-Y file's textual header, None for other files", nullptr},
    {"extended_text", stream_get_extended_text, nullptr,
     "a SEG-Y file's extended textual headers (list of str), None for other files", nullptr},
    {"binary", stream_get_binary, nullptr,
     "a SEG-Y file's binary header (0-d structured array, native order), None for other files", nullptr},
    {"_last_header", stream_get_last_header, nullptr,
     "the whole SEG-Y trace header of the trace handed out last (bytes, native order), or None", nullptr},
    {"_layout", stream_get_layout, nullptr, "the SEG-Y file headers as read, for Writer(like=)", nullptr},
    {"_rounded", stream_get_rounded, nullptr,
     "whether float32 rounded a sample handed out so far", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef module_functions[] = {
    {"_traces_arguments", as_cfunction(traces_arguments), METH_FASTCALL | METH_KEYWORDS,
     "_traces_arguments(source, format=None, byteorder=None, *, ns=None, sample_format=None)"},
    {"_trace_record", as_cfunction(trace_record), METH_FASTCALL | METH_KEYWORDS,
     "_trace_record(trace, swap)"},
    {"_swap_traces", as_cfunction(swap_traces), METH_FASTCALL | METH_KEYWORDS, "_swap_traces(buffer)"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject StreamType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vondrel._arrays._traces",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = stream_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = "_traces(plan, guard)\n--\n\n"
              "The byte engine of vondrel.traces: streams the traces of a planned source one at a time, as\n"
              "SEGYTrace objects in native order, in constant memory.",
    .tp_traverse = stream_traverse,
    .tp_clear = stream_clear,
    .tp_methods = stream_methods,
    .tp_getset = stream_getset,
    .tp_init = stream_init,
    .tp_new = stream_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = stream_finalize,
};

}  // namespace

int stream_exec(PyObject *module)
{
    if (vondrel_segy_import() < 0)
        return -1;
    const NameEntry entries[] = {
        {&name_readinto, "readinto"}, {&name_readinto1, "readinto1"}, {&name_close, "close"},
        {&name_to_file, "to_file"},   {&name_to_stream, "to_stream"}, {&name_to_memory, "to_memory"},
    };
    if (intern_names(entries) < 0)
        return -1;
    stream_vtable = *vondrel_BaseTraceIterator_vtab;
    stream_vtable.next_trace = stream_next_trace;
    StreamType.tp_base = vondrel_BaseTraceIteratorType;
    if (PyType_Ready(&StreamType) < 0)
        return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0)
        return -1;
    if (!precision_warning) {
        precision_warning = PyErr_NewExceptionWithDoc("vondrel.PrecisionWarning",
            "Samples were rounded as they were read as float32: the file stores values float32 cannot hold "
            "(32- or 64-bit integers, 64-bit floats).",
            PyExc_UserWarning, nullptr);
        if (!precision_warning)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "PrecisionWarning", precision_warning) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "_traces", reinterpret_cast<PyObject *>(&StreamType));
}

}  // namespace vondrel
